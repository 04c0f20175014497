// What the simulated transmodulator needs of the world around it: a line to send on, a clock
// and a way to be called back later. The simulation and the standalone program each provide
// one; the device itself never loops or sleeps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace trasmod {

class DeviceLink {
 public:
  virtual ~DeviceLink() = default;
  // Puts bytes on the line towards the PC, in order after everything sent before.
  virtual void Send(const uint8_t* data, size_t n) = 0;
  // Calls fn once, ms milliseconds from now. Events due at the same time run in the order in
  // which they were scheduled.
  virtual void After(uint32_t ms, std::function<void()> fn) = 0;
  // Milliseconds on a monotonic clock.
  virtual uint64_t NowMs() = 0;
};

}  // namespace trasmod
