// Cancellable one-shot events on top of a DeviceLink, which only knows "call this later".
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>

#include "tools/trasmod-sim/device_link.h"

namespace trasmod {

// A fixed set of slots, each holding at most one pending event. Arming a slot again or
// cancelling it turns the event already scheduled into a no-op; so does destroying the
// Timers, so an event that outlives its owner never touches it.
template <size_t kSlots>
class Timers {
 public:
  explicit Timers(DeviceLink& link) : link_(link), alive_(std::make_shared<bool>(true)) {}
  ~Timers() { *alive_ = false; }
  Timers(const Timers&) = delete;
  Timers& operator=(const Timers&) = delete;

  void Arm(size_t slot, uint32_t ms, std::function<void()> fn) {
    uint64_t generation = ++generation_[slot];
    armed_[slot] = true;
    std::weak_ptr<bool> alive = alive_;
    link_.After(ms, [this, alive, slot, generation, fn = std::move(fn)] {
      auto lock = alive.lock();
      if (!lock || !*lock || generation_[slot] != generation) return;
      armed_[slot] = false;
      fn();
    });
  }
  void Cancel(size_t slot) {
    ++generation_[slot];
    armed_[slot] = false;
  }
  void CancelAll() {
    for (size_t i = 0; i < kSlots; ++i) Cancel(i);
  }
  bool armed(size_t slot) const { return armed_[slot]; }

 private:
  DeviceLink& link_;
  std::shared_ptr<bool> alive_;
  std::array<uint64_t, kSlots> generation_{};
  std::array<bool, kSlots> armed_{};
};

}  // namespace trasmod
