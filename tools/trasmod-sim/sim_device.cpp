#include "tools/trasmod-sim/sim_device.h"

#include <utility>

namespace trasmod {

SimDevice::SimDevice(sim::SimPort& port, DeviceConfig config)
    : port_(port), core_(*this, std::move(config)) {
  port_.SetOnReceive([this](const uint8_t* data, size_t n) { core_.OnBytes(data, n); });
}

SimDevice::~SimDevice() {
  port_.SetOnReceive(nullptr);
}

void SimDevice::Send(const uint8_t* data, size_t n) {
  port_.SendToProgram(data, n);
}

void SimDevice::After(uint32_t ms, std::function<void()> fn) {
  port_.world().After(ms, std::move(fn));
}

uint64_t SimDevice::NowMs() {
  return port_.world().NowMs();
}

}  // namespace trasmod
