// The posix event loop in real time: timers fire only while messages are processed, at about
// their interval, never during a plain sleep and never inside their own handler.
#include <cstdint>
#include <memory>
#include <vector>

#include "gtest/gtest.h"
#include "platform/event_loop.h"
#include "platform/posix/posix_backend.h"

namespace {

using platform::EventLoop;
using platform::Timer;

class PosixLoop : public ::testing::Test {
 protected:
  std::unique_ptr<EventLoop> loop_ = platform::posix::NewEventLoop();

  // Runs DoEvents with 1 ms sleeps for `ms`.
  void PumpFor(uint32_t ms) {
    uint64_t end = loop_->NowMs() + ms;
    while (loop_->NowMs() < end) {
      loop_->DoEvents();
      loop_->Sleep(1);
    }
  }

  static void ExpectAboutEvery(const std::vector<uint64_t>& fired, uint64_t interval) {
    ASSERT_GE(fired.size(), 2u);
    for (size_t i = 1; i < fired.size(); ++i) {
      uint64_t gap = fired[i] - fired[i - 1];
      EXPECT_GE(gap, interval) << "firing " << i;
      EXPECT_LE(gap, interval + 100) << "firing " << i;  // room for a loaded machine
    }
    uint64_t mean = (fired.back() - fired.front()) / (fired.size() - 1);
    EXPECT_LE(mean, interval + 15);
  }
};

TEST_F(PosixLoop, TimerFiresAboutEveryIntervalInRun) {
  std::vector<uint64_t> fired;
  Timer tick(*loop_, [&] { fired.push_back(loop_->NowMs()); });
  Timer stop(*loop_, [&] { loop_->Quit(); });
  uint64_t t0 = loop_->NowMs();
  tick.SetInterval(50);
  tick.SetEnabled(true);
  stop.SetInterval(525);
  stop.SetEnabled(true);
  loop_->Run();
  uint64_t took = loop_->NowMs() - t0;
  EXPECT_GE(took, 525u);
  EXPECT_LT(took, 700u);
  EXPECT_GE(fired.size(), 9u);
  EXPECT_LE(fired.size(), 10u);
  ExpectAboutEvery(fired, 50);
}

TEST_F(PosixLoop, TimerFiresAboutEveryIntervalInDoEvents) {
  std::vector<uint64_t> fired;
  Timer tick(*loop_, [&] { fired.push_back(loop_->NowMs()); });
  tick.SetInterval(50);
  tick.SetEnabled(true);
  PumpFor(525);
  EXPECT_GE(fired.size(), 9u);
  EXPECT_LE(fired.size(), 10u);
  ExpectAboutEvery(fired, 50);
}

TEST_F(PosixLoop, NothingFiresOutsideDispatch) {
  int count = 0;
  Timer tick(*loop_, [&] { ++count; });
  tick.SetInterval(50);
  tick.SetEnabled(true);
  uint64_t t0 = loop_->NowMs();
  loop_->Sleep(200);
  uint64_t slept = loop_->NowMs() - t0;
  EXPECT_GE(slept, 200u);
  EXPECT_LT(slept, 300u);
  EXPECT_EQ(count, 0) << "a timer fired during Sleep";
  uint64_t busy_end = loop_->NowMs() + 60;
  while (loop_->NowMs() < busy_end) {
  }
  EXPECT_EQ(count, 0) << "a timer fired without DoEvents";
  // Late periods are not made up: one firing, then the next period starts.
  loop_->DoEvents();
  EXPECT_EQ(count, 1);
  loop_->DoEvents();
  EXPECT_EQ(count, 1);
  tick.SetEnabled(false);
  loop_->Sleep(60);
  loop_->DoEvents();
  EXPECT_EQ(count, 1) << "a disabled timer fired";
}

// A handler that yields (an engine's wait loop) lets other timers fire inside it, but never
// its own timer again.
TEST_F(PosixLoop, NestedDoEventsDoesNotReenterARunningTimer) {
  int depth = 0, max_depth = 0, a_fired = 0, b_inside_a = 0;
  Timer a(*loop_, [&] {
    ++a_fired;
    max_depth = std::max(max_depth, ++depth);
    PumpFor(100);
    --depth;
  });
  Timer b(*loop_, [&] {
    if (depth > 0) ++b_inside_a;
  });
  a.SetInterval(10);
  b.SetInterval(10);
  a.SetEnabled(true);
  b.SetEnabled(true);
  PumpFor(260);
  EXPECT_EQ(max_depth, 1);
  EXPECT_GE(a_fired, 2);
  EXPECT_GE(b_inside_a, 10);
}

TEST_F(PosixLoop, RunReturnsWhenNothingCanHappen) {
  Timer idle(*loop_, [] {});
  Timer zero(*loop_, [] {});
  zero.SetEnabled(true);  // interval 0 never fires
  uint64_t t0 = loop_->NowMs();
  loop_->Run();
  EXPECT_LT(loop_->NowMs() - t0, 5u);
}

TEST_F(PosixLoop, PollersRunWhileRunWaits) {
  int polls = 0;
  loop_->AddPoller([&] { ++polls; });
  Timer stop(*loop_, [&] { loop_->Quit(); });
  stop.SetInterval(200);
  stop.SetEnabled(true);
  uint64_t t0 = loop_->NowMs();
  loop_->Run();
  EXPECT_LT(loop_->NowMs() - t0, 300u);
  // One wake-up every kInputPollMs (10 ms): about 20 in 200 ms.
  EXPECT_GE(polls, 10);
  EXPECT_LE(polls, 22);
}

TEST_F(PosixLoop, APollerRemovedDuringAPassIsNotCalled) {
  int second = -1;
  bool second_called = false;
  loop_->AddPoller([&] { loop_->RemovePoller(second); });
  second = loop_->AddPoller([&] { second_called = true; });
  loop_->DoEvents();
  EXPECT_FALSE(second_called);
}

TEST_F(PosixLoop, ClockAndTickCount) {
  uint64_t a = loop_->NowMs();
  EXPECT_EQ(loop_->TickCount(), static_cast<uint32_t>(loop_->NowMs()));
  loop_->Sleep(30);
  uint64_t b = loop_->NowMs();
  EXPECT_GE(b - a, 30u);
  EXPECT_LT(b - a, 100u);
}

}  // namespace
