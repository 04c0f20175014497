// Opening and closing the port: the settings that reach the device, the failure texts, the
// held device after a failed configuration, and the Misc timer around it all.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/sim/control/control_fixture.h"

namespace chanfold::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr uint32_t kFlowBits = platform::dcb::kOutxCtsFlow | platform::dcb::kDtrControlMask |
                               platform::dcb::kOutX | platform::dcb::kInX |
                               platform::dcb::kRtsControlMask;

TEST_F(ControlTest, OpenConfiguresTheDeviceAndStartsTheMonitor) {
  ctrl_.put_BaudRate(57600);
  ctrl_.put_PortOpen(kVTrue);

  EXPECT_THAT(events_.names(), IsEmpty());
  EXPECT_EQ(ctrl_.get_Connected(), kVTrue);
  EXPECT_EQ(ctrl_.get_IsConnected(), kVTrue);
  EXPECT_TRUE(port_.is_open());
  EXPECT_TRUE(ctrl_.misc_timer_.Enabled());
  EXPECT_EQ(ctrl_.misc_timer_.Interval(), 500u);
  const platform::Dcb& dcb = port_.dcb();
  EXPECT_EQ(dcb.DCBlength, sizeof(platform::Dcb));
  EXPECT_EQ(dcb.BaudRate, 57600u);
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_EQ(dcb.Parity, 0);
  EXPECT_EQ(dcb.StopBits, 0);
  EXPECT_NE(dcb.flags & platform::dcb::kBinary, 0u);
  EXPECT_EQ(dcb.flags & kFlowBits, 0u);
  EXPECT_EQ(port_.in_queue_size(), 16384u);
  EXPECT_EQ(port_.out_queue_size(), 16384u);
  EXPECT_EQ(port_.comm_mask(), 0x03FFu);
  // Opening neither purges nor writes anything.
  EXPECT_EQ(port_.purge_count(), 0);
  EXPECT_THAT(port_.written(), IsEmpty());

  ctrl_.put_PortOpen(kVFalse);
  EXPECT_EQ(ctrl_.get_Connected(), kVFalse);
  EXPECT_FALSE(port_.is_open());
  EXPECT_FALSE(ctrl_.misc_timer_.Enabled());
  EXPECT_THAT(events_.names(), IsEmpty());
}

TEST_F(ControlTest, SecondOpenReportsTheConnectionAndKeepsTheFirstSettings) {
  ctrl_.put_BaudRate(57600);
  Open();
  ctrl_.put_BaudRate(9600);

  ctrl_.put_PortOpen(kVTrue);

  EXPECT_THAT(events_.names(), ElementsAre("HasError The connection was already up."));
  EXPECT_EQ(ctrl_.get_Connected(), kVTrue);
  EXPECT_EQ(port_.open_count(), 1);
  EXPECT_EQ(port_.dcb().BaudRate, 57600u);
}

TEST_F(ControlTest, SettingsChangedWhileOpenApplyAtTheNextOpen) {
  Open();
  ctrl_.put_BaudRate(115200);
  ctrl_.put_DataBits(db7Bits);
  EXPECT_EQ(ctrl_.get_BaudRate(), 115200);
  EXPECT_EQ(port_.dcb().BaudRate, 9600u);
  EXPECT_EQ(port_.dcb().ByteSize, 8);

  ctrl_.put_PortOpen(kVFalse);
  Open();
  EXPECT_EQ(port_.dcb().BaudRate, 115200u);
  EXPECT_EQ(port_.dcb().ByteSize, 7);
}

TEST_F(ControlTest, ClosingANeverOpenedControlRaisesNothing) {
  ctrl_.put_PortOpen(kVFalse);
  EXPECT_THAT(events_.names(), IsEmpty());
  EXPECT_EQ(ctrl_.get_Connected(), kVFalse);
  EXPECT_FALSE(ctrl_.misc_timer_.Enabled());
}

TEST_F(ControlTest, SevenEvenTwoReplaceTheTemplate) {
  ctrl_.put_DataBits(db7Bits);
  ctrl_.put_Parity(pEven);
  ctrl_.put_StopBits(sb2Bits);
  Open();
  EXPECT_EQ(port_.dcb().ByteSize, 7);
  EXPECT_EQ(port_.dcb().Parity, 2);
  EXPECT_EQ(port_.dcb().StopBits, 2);
}

TEST_F(ControlTest, TwoDigitPortNamesOpenTheSameWay) {
  sim::SimPort& com10 = world_.AddPort("COM10");
  ctrl_.put_Port(u"COM10");
  Open();
  EXPECT_TRUE(com10.is_open());
  EXPECT_FALSE(port_.is_open());
}

struct FlowCase {
  FlowControlType flow;
  uint32_t bits;  // the handshake bits the flag word must hold
};

void PrintTo(const FlowCase& c, std::ostream* os) {
  *os << "FlowControl " << c.flow;
}

class FlowControlTest : public ControlTest, public ::testing::WithParamInterface<FlowCase> {};

TEST_P(FlowControlTest, AddsOnlyItsBits) {
  ctrl_.put_FlowControl(GetParam().flow);
  Open();
  EXPECT_EQ(port_.dcb().flags & kFlowBits, GetParam().bits);
  EXPECT_NE(port_.dcb().flags & platform::dcb::kBinary, 0u);
}

INSTANTIATE_TEST_SUITE_P(All, FlowControlTest,
                         ::testing::Values(FlowCase{fcNone, 0}, FlowCase{fcXonXoff, 0x0300},
                                           FlowCase{fcHardware, 0x2004}, FlowCase{fcDTR, 0x0010},
                                           FlowCase{fcRTS, 0x1000}, FlowCase{fcDTR_RTS, 0x1010},
                                           FlowCase{static_cast<FlowControlType>(9), 0}));

TEST_F(ControlTest, XonXoffSetsCharactersAndQuarterQueueLimits) {
  ctrl_.put_FlowControl(fcXonXoff);
  Open();
  EXPECT_EQ(port_.dcb().XonChar, 17);
  EXPECT_EQ(port_.dcb().XoffChar, 19);
  EXPECT_EQ(port_.dcb().XonLim, 4096);
  EXPECT_EQ(port_.dcb().XoffLim, 4096);
}

TEST_F(ControlTest, XonXoffLimitsRoundHalfToEvenAndClampToTheField) {
  struct Case {
    int32_t queue;
    uint16_t limit;
  };
  // 10 / 4 = 2.5 -> 2, 14 / 4 = 3.5 -> 4, 1 / 4 = 0.25 -> 0; 400000 / 4 does not fit 16 bits.
  for (Case c : {Case{10, 2}, Case{14, 4}, Case{1, 0}, Case{262140, 65535}, Case{400000, 65535}}) {
    SCOPED_TRACE(c.queue);
    ctrl_.put_FlowControl(fcXonXoff);
    ctrl_.put_InputQ(c.queue);
    ctrl_.put_OutputQ(c.queue);
    Open();
    EXPECT_EQ(port_.dcb().XonLim, c.limit);
    EXPECT_EQ(port_.dcb().XoffLim, c.limit);
    ctrl_.put_PortOpen(kVFalse);
  }
}

TEST_F(ControlTest, MissingOrBusyDeviceFailsTheOpen) {
  // COM7 does not exist; COM3 exists but is in use elsewhere.
  for (const char* name : {"COM7", "COM3"}) {
    SCOPED_TRACE(name);
    events_.Clear();
    port_.SetOpenFails(true);
    std::string text = name;
    ctrl_.put_Port(std::u16string(text.begin(), text.end()));

    ctrl_.put_PortOpen(kVTrue);

    EXPECT_THAT(events_.names(), ElementsAre("HasError Can not open port " + text + "."));
    EXPECT_EQ(ctrl_.get_Connected(), kVFalse);
    EXPECT_EQ(ctrl_.get_IsConnected(), kVFalse);
    EXPECT_FALSE(ctrl_.has_device());
    // The monitor runs after every attempt; without a device its ticks do nothing.
    EXPECT_TRUE(ctrl_.misc_timer_.Enabled());
  }
  world_.RunFor(2000);
  EXPECT_EQ(events_.names().size(), 1u);
}

struct FailingCallCase {
  const char* call;
  const char* text;
};

void PrintTo(const FailingCallCase& c, std::ostream* os) {
  *os << c.call;
}

class FailingCallTest : public ControlTest,
                        public ::testing::WithParamInterface<FailingCallCase> {};

TEST_P(FailingCallTest, ReportsTheCallAndHoldsTheDevice) {
  port_.SetFailingCall(GetParam().call);
  ctrl_.put_PortOpen(kVTrue);

  EXPECT_THAT(events_.names(), ElementsAre(std::string("HasError ") + GetParam().text));
  EXPECT_EQ(ctrl_.get_Connected(), kVFalse);
  EXPECT_TRUE(port_.is_open());
  EXPECT_TRUE(ctrl_.has_device());
  EXPECT_TRUE(ctrl_.misc_timer_.Enabled());
  // Held, not connected: the data members do nothing.
  EXPECT_EQ(ctrl_.get_AvailDataCount(), 0);
  EXPECT_EQ(ctrl_.put_OutputStringData(u"OK"), kOk);
  EXPECT_THAT(port_.written(), IsEmpty());

  ctrl_.put_PortOpen(kVFalse);
  EXPECT_FALSE(port_.is_open());
  EXPECT_FALSE(ctrl_.misc_timer_.Enabled());
  EXPECT_EQ(events_.names().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    All, FailingCallTest,
    ::testing::Values(FailingCallCase{"GetCommState", "GetCommState() function failed."},
                      FailingCallCase{"SetCommState", "SetCommState() function failed."},
                      FailingCallCase{"SetupComm", "SetupComm() function failed."},
                      FailingCallCase{"SetCommMask", "SetCommMask() function failed."}),
    [](const auto& info) { return std::string(info.param.call); });

TEST_F(ControlTest, ByteFieldOutOfRangeFailsTheOpenAndHoldsTheDevice) {
  struct Case {
    const char* what;
    void (*set)(ChanfoldCtrl&);
  };
  const Case cases[] = {
      {"XonChar 300", [](ChanfoldCtrl& c) { c.put_XonChar(300); }},
      {"XoffChar -1", [](ChanfoldCtrl& c) { c.put_XoffChar(-1); }},
      {"DataBits 252", [](ChanfoldCtrl& c) { c.put_DataBits(static_cast<DataBitsType>(252)); }},
      {"Parity 256", [](ChanfoldCtrl& c) { c.put_Parity(static_cast<ParityType>(256)); }},
      {"StopBits -1", [](ChanfoldCtrl& c) { c.put_StopBits(static_cast<StopBitsType>(-1)); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ChanfoldCtrl ctrl(world_.services());
    RecordingEvents events(world_);
    ctrl.SetEventSink(&events);
    ctrl.put_Port(u"COM3");
    ctrl.put_FlowControl(fcXonXoff);
    c.set(ctrl);

    ctrl.put_PortOpen(kVTrue);

    EXPECT_THAT(events.names(), ElementsAre("HasError Can not open port COM3."));
    EXPECT_EQ(ctrl.get_Connected(), kVFalse);
    EXPECT_TRUE(port_.is_open());
    ctrl.put_PortOpen(kVFalse);
    EXPECT_FALSE(port_.is_open());
  }
}

TEST_F(ControlTest, HeldDeviceIsReleasedBeforeTheNextOpen) {
  port_.SetFailingCall("SetupComm");
  ctrl_.put_PortOpen(kVTrue);
  ASSERT_TRUE(port_.is_open());
  ASSERT_EQ(ctrl_.get_Connected(), kVFalse);

  // The cause is gone; the next open must not trip over the handle the control still holds.
  port_.SetFailingCall("");
  events_.Clear();
  ctrl_.put_PortOpen(kVTrue);

  EXPECT_THAT(events_.names(), IsEmpty());
  EXPECT_EQ(ctrl_.get_Connected(), kVTrue);
  EXPECT_EQ(port_.open_count(), 2);
  ctrl_.put_PortOpen(kVFalse);
  EXPECT_FALSE(port_.is_open());
}

TEST_F(ControlTest, ClosingDuringATransferTellsTheEngineToStop) {
  Open();
  ctrl_.transfer_active_ = true;
  ctrl_.put_PortOpen(kVFalse);
  EXPECT_TRUE(ctrl_.transfer_stop_);

  // Without a transfer the flag is left alone.
  ctrl_.transfer_active_ = false;
  ctrl_.transfer_stop_ = false;
  Open();
  ctrl_.put_PortOpen(kVFalse);
  EXPECT_FALSE(ctrl_.transfer_stop_);
}

TEST_F(ControlTest, IsConnectedLetsTimersRun) {
  Open();
  port_.SetModemStatus(platform::kMsCtsOn);
  // Polling IsConnected alone lets virtual time pass and the monitor tick.
  uint64_t start = world_.NowMs();
  while (events_.events.empty() && world_.NowMs() - start < 2000) {
    ASSERT_EQ(ctrl_.get_IsConnected(), kVTrue);
  }
  EXPECT_THAT(events_.names(), ElementsAre("CTSChanged"));
}

TEST_F(ControlTest, TimersAreStoppedAtCreation) {
  ChanfoldCtrl ctrl(world_.services());
  EXPECT_EQ(ctrl.get_Port(), u"COM1");
  EXPECT_FALSE(ctrl.misc_timer_.Enabled());
  EXPECT_FALSE(ctrl.timer_xfer_.Enabled());
  EXPECT_FALSE(ctrl.timer_out_.Enabled());
  EXPECT_EQ(ctrl.misc_timer_.Interval(), 500u);
  EXPECT_EQ(ctrl.timer_xfer_.Interval(), 100u);
  EXPECT_EQ(ctrl.timer_out_.Interval(), 5000u);
}

}  // namespace
}  // namespace chanfold::testing
