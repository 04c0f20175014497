// The event loop on the monotonic clock. Timers are the window-style timers of the common
// EventLoop; this file supplies the clock, the plain sleep and the waiting of the top-level
// loop. Input sources are pollers (functions, not descriptors), so the loop waits by sleeping
// until the next timer is due, waking every kInputPollMs while pollers are registered.
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <memory>

#include "platform/event_loop.h"
#include "platform/posix/posix_backend.h"

namespace platform::posix {
namespace {

constexpr uint64_t kNsPerMs = 1000000u;

uint64_t MonotonicNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

// Sleeps until the monotonic clock reads `ns`. An absolute deadline makes interruptions
// (EINTR) harmless and wakes exactly at a millisecond boundary, so NowMs() has reached the
// timer's due time when the loop looks again.
void SleepUntilNs(uint64_t ns) {
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(ns / 1000000000u);
  ts.tv_nsec = static_cast<long>(ns % 1000000000u);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
  }
}

class PosixEventLoop : public EventLoop {
 public:
  uint64_t NowMs() override { return MonotonicNs() / kNsPerMs; }

  void Sleep(uint32_t ms) override { SleepUntilNs(MonotonicNs() + ms * kNsPerMs); }

  void DoEvents() override {
    PollInputs();
    FireDueTimers();
  }

  void Run() override {
    while (!QuitRequested()) {
      uint64_t next = NextTimerDue();
      bool polling = HasPollers();
      if (next == UINT64_MAX && !polling) return;  // nothing could ever happen
      uint64_t now = NowMs();
      if (polling) next = std::min(next, now + kInputPollMs);
      if (next > now) SleepUntilNs(next * kNsPerMs);
      PollInputs();
      FireDueTimers();
    }
  }
};

}  // namespace

std::unique_ptr<EventLoop> NewEventLoop() {
  return std::make_unique<PosixEventLoop>();
}

}  // namespace platform::posix
