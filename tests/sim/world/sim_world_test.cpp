// The simulated world's clock, timers and lines: the ground every virtual-time test stands on.
#include "platform/sim/sim_world.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

using platform::Timer;
using sim::SimWorld;

TEST(SimWorldTime, TimersFireOnlyWhileMessagesAreProcessed) {
  SimWorld world;
  int ticks = 0;
  Timer timer(world, [&] { ++ticks; });
  timer.SetInterval(100);
  timer.SetEnabled(true);

  world.Sleep(1000);  // a plain sleep lets time pass but runs no handler
  EXPECT_EQ(ticks, 0);
  EXPECT_EQ(world.NowMs(), 1000u);

  world.DoEvents();  // the overdue timer fires once: missed periods are not made up
  EXPECT_EQ(ticks, 1);

  world.RunFor(1000);
  EXPECT_EQ(ticks, 11);
}

TEST(SimWorldTime, TimerIsNotReenteredFromItsOwnYield) {
  SimWorld world;
  int depth = 0, max_depth = 0, ticks = 0;
  Timer timer(world, [&] {
    ++ticks;
    max_depth = std::max(max_depth, ++depth);
    for (int i = 0; i < 50; ++i) world.DoEvents();  // 50 ms of yielding inside the handler
    --depth;
  });
  timer.SetInterval(10);
  timer.SetEnabled(true);
  world.RunFor(200);
  EXPECT_EQ(max_depth, 1);
  EXPECT_GT(ticks, 2);
}

TEST(SimWorldTime, EnablingARunningTimerKeepsItsPeriod) {
  SimWorld world;
  std::vector<uint64_t> at;
  Timer timer(world, [&] { at.push_back(world.NowMs()); });
  timer.SetInterval(500);
  timer.SetEnabled(true);
  world.RunFor(300);
  timer.SetEnabled(true);  // already running: no restart
  world.RunFor(300);
  ASSERT_EQ(at.size(), 1u);
  EXPECT_EQ(at[0], 500u);
  timer.SetEnabled(false);
  timer.SetEnabled(true);  // a stopped timer starts a new period
  world.RunFor(499);
  EXPECT_EQ(at.size(), 1u);
  world.RunFor(1);
  EXPECT_EQ(at.size(), 2u);
}

TEST(SimWorldTime, RunEndsWhenNothingCanHappen) {
  SimWorld world;
  bool fired = false;
  world.After(250, [&] { fired = true; });
  world.Run();
  EXPECT_TRUE(fired);
  EXPECT_EQ(world.NowMs(), 250u);
}

class SimLine : public ::testing::Test {
 protected:
  void Open(uint32_t baud) {
    device_ = world_.Open("\\\\.\\COM3");
    ASSERT_NE(device_, nullptr);
    platform::Dcb dcb;
    ASSERT_TRUE(device_->GetCommState(&dcb));
    dcb.BaudRate = baud;
    ASSERT_TRUE(device_->SetCommState(dcb));
  }
  SimWorld world_;
  sim::SimPort& port_ = world_.AddPort("COM3");
  std::unique_ptr<platform::SerialDevice> device_;
};

TEST_F(SimLine, OpenIsExclusiveAndNamesAreCaseInsensitive) {
  Open(9600);
  EXPECT_EQ(world_.Open("\\\\.\\com3"), nullptr);
  EXPECT_EQ(world_.Open("\\\\.\\COM4"), nullptr);
  device_.reset();
  EXPECT_FALSE(port_.is_open());
  EXPECT_NE(world_.Open("\\\\.\\com3"), nullptr);
}

TEST_F(SimLine, TimedWriteTakesItsLineTime) {
  port_.SetLineTiming(true);
  std::vector<uint8_t> heard;
  port_.SetOnReceive([&](const uint8_t* d, size_t n) { heard.insert(heard.end(), d, d + n); });
  Open(57600);
  std::vector<uint8_t> block(1029, 0x55);
  uint32_t sent = 0;
  uint64_t t0 = world_.NowUs();
  EXPECT_EQ(device_->Write(block.data(), 1029, 500, &sent), platform::IoStatus::kDone);
  EXPECT_EQ(sent, 1029u);
  // 1029 characters of 10 bits at 57600 bit/s.
  EXPECT_NEAR(static_cast<double>(world_.NowUs() - t0), 1029 * 10 * 1e6 / 57600, 2.0);
  EXPECT_EQ(heard.size(), 1029u);
}

TEST_F(SimLine, TimedWriteBeyondItsWaitIsCancelled) {
  port_.SetLineTiming(true);
  Open(1200);  // 120 characters a second: 500 ms carry 60 of them
  std::vector<uint8_t> data(256, 1);
  uint32_t sent = 0;
  EXPECT_EQ(device_->Write(data.data(), 256, 500, &sent), platform::IoStatus::kTimedOut);
  EXPECT_EQ(sent, 60u);
}

TEST_F(SimLine, BytesArriveOverTimeAndReadsTakeWhatIsQueued) {
  port_.SetLineTiming(true);
  Open(9600);  // about 1.04 ms a character
  port_.SendToProgram("0123456789012345678901234567890123456789");
  uint32_t queued = 0;
  device_->ClearCommError(nullptr, &queued);
  EXPECT_EQ(queued, 0u);
  world_.Sleep(20);
  device_->ClearCommError(nullptr, &queued);
  EXPECT_EQ(queued, 16u);  // one arrival piece so far
  world_.Sleep(30);
  device_->ClearCommError(nullptr, &queued);
  EXPECT_EQ(queued, 40u);
  uint8_t buf[8];
  uint32_t got = 0;
  EXPECT_EQ(device_->Read(buf, 8, 5000, &got), platform::IoStatus::kDone);
  EXPECT_EQ(got, 8u);
  EXPECT_EQ(std::string(buf, buf + 8), "01234567");
}

TEST_F(SimLine, ReadWaitsForMissingBytesThenTimesOut) {
  Open(9600);
  world_.After(100, [&] { port_.SendToProgram("ab"); });
  uint8_t buf[4];
  uint32_t got = 0;
  uint64_t t0 = world_.NowMs();
  EXPECT_EQ(device_->Read(buf, 4, 5000, &got), platform::IoStatus::kTimedOut);
  EXPECT_EQ(got, 2u);
  EXPECT_EQ(world_.NowMs() - t0, 5000u);
}

TEST_F(SimLine, FaultFilterCanDropAndChangeBytes) {
  int count = 0;
  port_.SetFault([&](sim::Direction dir, uint8_t& b) {
    if (dir != sim::Direction::kToProgram) return true;
    ++count;
    if (b == 'x') return false;
    if (b == 'a') b = 'A';
    return true;
  });
  Open(9600);
  port_.SendToProgram("axbx");
  uint8_t buf[4];
  uint32_t got = 0;
  device_->Read(buf, 2, 0, &got);
  EXPECT_EQ(count, 4);
  EXPECT_EQ(std::string(buf, buf + got), "Ab");
}

TEST(SimLocaleTest, DecimalSeparatorFollowsTheSizeProtocol) {
  sim::SimLocale locale;
  locale.SetDecimalSeparator(",");
  EXPECT_EQ(locale.GetLocaleInfo(0, platform::kLocaleSDecimal, nullptr, 0), 2);
  char buf[2] = {'x', 'x'};
  EXPECT_EQ(locale.GetLocaleInfo(0, platform::kLocaleSDecimal, buf, 2), 2);
  EXPECT_EQ(buf[0], ',');
  EXPECT_EQ(buf[1], '\0');
  locale.SetDecimalSeparator("");
  EXPECT_EQ(locale.GetLocaleInfo(0, platform::kLocaleSDecimal, nullptr, 0), 0);
}

}  // namespace
