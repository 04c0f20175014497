// The simulated transmodulator on the far end of a simulated COM port: a DeviceCore whose line
// is a sim::SimPort and whose clock is the SimWorld's virtual time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "platform/sim/sim_world.h"
#include "tools/trasmod-sim/device_core.h"

namespace trasmod {

class SimDevice : public DeviceLink {
 public:
  // Attaches to the port's actor side; the port must outlive the device.
  SimDevice(sim::SimPort& port, DeviceConfig config = {});
  ~SimDevice() override;
  SimDevice(const SimDevice&) = delete;
  SimDevice& operator=(const SimDevice&) = delete;

  DeviceCore& core() { return core_; }
  const DeviceCore& core() const { return core_; }
  sim::SimPort& port() { return port_; }

  // DeviceLink: bytes go to the program (lost while it does not hold the port, as on a real
  // line); time and events are the world's.
  void Send(const uint8_t* data, size_t n) override;
  void After(uint32_t ms, std::function<void()> fn) override;
  uint64_t NowMs() override;

 private:
  sim::SimPort& port_;
  DeviceCore core_;
};

}  // namespace trasmod
