// The Misc monitor: modem-line change events, level-triggered OnComm, its silence during a
// transfer, and the line-status properties and escape functions.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/sim/control/control_fixture.h"

namespace chanfold::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST_F(ControlTest, OnCommRepeatsEveryTickWithTheCurrentCount) {
  ctrl_.put_RThreshold(1);
  Open();
  uint64_t opened = world_.NowMs();
  port_.SendToProgram("12345");

  world_.RunFor(1100);
  port_.SendToProgram("678");
  world_.RunFor(500);

  ASSERT_THAT(events_.names(), ElementsAre("OnComm 5", "OnComm 5", "OnComm 8"));
  // One event per 500 ms tick, the first half a second after the open.
  for (size_t i = 0; i < events_.events.size(); ++i) {
    uint64_t at = events_.events[i].at_ms - opened;
    EXPECT_GE(at, 500 * (i + 1));
    EXPECT_LE(at, 500 * (i + 1) + 10);
  }
  // The monitor reads nothing itself.
  EXPECT_EQ(port_.program_queue_count(), 8u);
}

TEST_F(ControlTest, OnCommStopsOnceTheHostReads) {
  struct Reader : RecordingEvents {
    using RecordingEvents::RecordingEvents;
    void OnComm(int32_t count) override {
      RecordingEvents::OnComm(count);
      text += ctrl->get_InputStringData();
    }
    ChanfoldCtrl* ctrl = nullptr;
    std::u16string text;
  } reader(world_);
  reader.ctrl = &ctrl_;
  ctrl_.SetEventSink(&reader);
  ctrl_.put_RThreshold(1);
  Open();

  port_.SendToProgram("Flashing... OK\r\n>");
  world_.RunFor(2000);

  EXPECT_THAT(reader.names(), ElementsAre("OnComm 17"));
  EXPECT_EQ(reader.text, u"Flashing... OK\r\n>");
  EXPECT_TRUE(ctrl_.misc_timer_.Enabled());
}

TEST_F(ControlTest, RThresholdDecidesWhetherOnCommFires) {
  struct Case {
    int32_t threshold;
    const char* waiting;
    std::vector<std::string> events;
  };
  const Case cases[] = {
      {0, "plenty of bytes", {}},
      {-1, "plenty of bytes", {}},
      {10, "123456789", {}},
      {10, "1234567890", {"OnComm 10", "OnComm 10"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.threshold);
    ctrl_.put_RThreshold(c.threshold);
    Open();
    port_.SendToProgram(c.waiting);
    world_.RunFor(1100);
    EXPECT_EQ(events_.names(), c.events);
    ctrl_.put_PortOpen(kVFalse);
  }
}

TEST_F(ControlTest, EachLineChangeRaisesItsEventOnce) {
  // All four lines active at the open: each is reported on the first tick, in CD, CTS, DSR,
  // RING order, and not again while it stays.
  port_.SetModemStatus(platform::kMsRlsdOn | platform::kMsCtsOn | platform::kMsDsrOn |
                       platform::kMsRingOn);
  Open();
  world_.RunFor(1600);
  EXPECT_THAT(events_.names(), ElementsAre("CDChanged", "CTSChanged", "DSRChanged", "RingChanged"));

  events_.Clear();
  port_.SetModemStatus(platform::kMsRlsdOn | platform::kMsDsrOn);
  world_.RunFor(1600);
  EXPECT_THAT(events_.names(), ElementsAre("CTSChanged", "RingChanged"));

  events_.Clear();
  port_.SetModemStatus(0);
  world_.RunFor(600);
  EXPECT_THAT(events_.names(), ElementsAre("CDChanged", "DSRChanged"));
}

TEST_F(ControlTest, ReopeningResetsTheLineTrackers) {
  port_.SetModemStatus(platform::kMsCtsOn);
  Open();
  world_.RunFor(600);
  ASSERT_THAT(events_.names(), ElementsAre("CTSChanged"));

  // CTS stays active across a close and an open: the new connection reports it again.
  ctrl_.put_PortOpen(kVFalse);
  Open();
  world_.RunFor(600);
  EXPECT_THAT(events_.names(), ElementsAre("CTSChanged"));
}

TEST_F(ControlTest, FailingModemStatusReadsAsAllLinesOff) {
  port_.SetModemStatus(platform::kMsCtsOn);
  Open();
  world_.RunFor(600);
  ASSERT_THAT(events_.names(), ElementsAre("CTSChanged"));
  events_.Clear();

  port_.SetFailingCall("GetCommModemStatus");
  world_.RunFor(600);
  EXPECT_THAT(events_.names(), ElementsAre("CTSChanged"));
  EXPECT_EQ(ctrl_.get_CTSStatus(), 0);
}

TEST_F(ControlTest, TransferKeepsTheMonitorQuietUntilItEnds) {
  ctrl_.put_RThreshold(1);
  Open();
  ctrl_.transfer_active_ = true;
  port_.SetModemStatus(platform::kMsCtsOn);
  port_.SendToProgram("\x06");
  world_.RunFor(2100);
  EXPECT_THAT(events_.names(), IsEmpty());

  // The change that happened meanwhile is reported on the first tick after the transfer.
  ctrl_.transfer_active_ = false;
  world_.RunFor(500);
  EXPECT_THAT(events_.names(), ElementsAre("CTSChanged", "OnComm 1"));
}

TEST_F(ControlTest, ModemCallKeepsTheLinePollingQuiet) {
  ctrl_.put_RThreshold(1);
  Open();
  ctrl_.modem_call_ = true;
  port_.SetModemStatus(platform::kMsRlsdOn);
  port_.SendToProgram("CONNECT");
  world_.RunFor(600);
  // Line events belong to the call then; waiting data is still reported.
  EXPECT_THAT(events_.names(), ElementsAre("OnComm 7"));
}

TEST_F(ControlTest, HeldDeviceIsPolledButRaisesNoOnComm) {
  ctrl_.put_RThreshold(1);
  port_.SetFailingCall("SetCommMask");
  port_.SetModemStatus(platform::kMsDsrOn);
  ctrl_.put_PortOpen(kVTrue);
  events_.Clear();
  port_.SendToProgram("abc");
  world_.RunFor(600);
  EXPECT_THAT(events_.names(), ElementsAre("DSRChanged"));
}

TEST_F(ControlTest, StatusPropertiesReadTheLinesNow) {
  EXPECT_EQ(ctrl_.get_CTSStatus(), 0);  // closed
  port_.SetModemStatus(platform::kMsCtsOn | platform::kMsRingOn);
  EXPECT_EQ(ctrl_.get_CTSStatus(), 0);  // still closed: the lines are not read

  Open();
  EXPECT_EQ(ctrl_.get_CTSStatus(), 1);
  EXPECT_EQ(ctrl_.get_RingStatus(), 1);
  EXPECT_EQ(ctrl_.get_CDStatus(), 0);
  EXPECT_EQ(ctrl_.get_DSRStatus(), 0);
  port_.SetModemStatus(platform::kMsRlsdOn | platform::kMsDsrOn);
  EXPECT_EQ(ctrl_.get_CTSStatus(), 0);
  EXPECT_EQ(ctrl_.get_RingStatus(), 0);
  EXPECT_EQ(ctrl_.get_CDStatus(), 1);
  EXPECT_EQ(ctrl_.get_DSRStatus(), 1);

  ctrl_.put_PortOpen(kVFalse);
  EXPECT_EQ(ctrl_.get_CDStatus(), 0);
}

TEST_F(ControlTest, EscapeCommFuncPassesTheCodeAndAlwaysSucceeds) {
  EXPECT_EQ(ctrl_.EscapeCommFunc(6), kVTrue);  // closed port
  EXPECT_THAT(port_.escapes(), IsEmpty());

  Open();
  EXPECT_EQ(ctrl_.EscapeCommFunc(5), kVTrue);
  EXPECT_EQ(ctrl_.EscapeCommFunc(8), kVTrue);
  EXPECT_EQ(ctrl_.EscapeCommFunc(77), kVTrue);  // refused by the driver, still True
  EXPECT_EQ(ctrl_.EscapeCommFunc(-2), kVTrue);  // widened with its sign
  EXPECT_THAT(port_.escapes(), ElementsAre(5u, 8u, 77u, 0xFFFFFFFEu));
}

}  // namespace
}  // namespace chanfold::testing
