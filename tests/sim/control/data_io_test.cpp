// Text and byte I/O of the host: what reaches the line, what comes back, the one-byte default
// and the conversion failures that must send nothing, and the Misc timer around every member.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>

#include "tests/sim/control/control_fixture.h"

namespace chanfold::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

TEST_F(ControlTest, NotConnectedMembersDoNothing) {
  // Closed, and also held after a failed configuration: both are "not connected".
  for (bool held : {false, true}) {
    SCOPED_TRACE(held ? "held" : "closed");
    if (held) {
      port_.SetFailingCall("SetCommMask");
      ctrl_.put_PortOpen(kVTrue);
      ASSERT_TRUE(ctrl_.has_device());
    }
    events_.Clear();
    EXPECT_EQ(ctrl_.get_AvailDataCount(), 0);
    EXPECT_EQ(ctrl_.get_InputStringData(), u"");
    EXPECT_EQ(ctrl_.put_OutputStringData(u"OK"), kOk);
    EXPECT_THAT(Bytes(ctrl_.get_InputData()), ElementsAre(0));
    EXPECT_THAT(Bytes(ctrl_.Read(5)), ElementsAre(0));
    EXPECT_EQ(ctrl_.put_OutputData(Variant::Bytes({1, 2, 3})), kOk);
    // Not even a bad value is looked at while the port is not open.
    EXPECT_EQ(ctrl_.put_OutputData(Variant::Number(7)), kOk);
    EXPECT_EQ(ctrl_.InQueueCount(), 0);
    EXPECT_THAT(port_.written(), IsEmpty());
    EXPECT_THAT(events_.names(), IsEmpty());
  }
}

TEST_F(ControlTest, InputStringDataKeepsANulInTheMiddle) {
  Open();
  const uint8_t reply[] = {0x41, 0x00, 0x42};
  port_.SendToProgram(reply, sizeof reply);

  EXPECT_EQ(ctrl_.get_AvailDataCount(), 3);
  std::u16string text = ctrl_.get_InputStringData();
  EXPECT_EQ(text, std::u16string(u"A\0B", 3));
  EXPECT_EQ(ctrl_.get_AvailDataCount(), 0);
}

TEST_F(ControlTest, AReplyInTwoPiecesIsReadAsItArrives) {
  ctrl_.put_BaudRate(9600);
  Open();
  port_.SetLineTiming(true);
  // 40 characters at 9600 8N1 take about 42 ms on the line.
  port_.SendToProgram("VERSION 1.20,2.05,Firmware,Unlocked\r\n>  ");
  world_.RunFor(20);

  int32_t first = ctrl_.get_AvailDataCount();
  ASSERT_GT(first, 0);
  ASSERT_LT(first, 40);
  std::u16string head = ctrl_.get_InputStringData();
  EXPECT_EQ(static_cast<int32_t>(head.size()), first);

  world_.RunFor(100);
  std::u16string tail = ctrl_.get_InputStringData();
  EXPECT_EQ(Narrow(head + tail), "VERSION 1.20,2.05,Firmware,Unlocked\r\n>  ");
}

TEST_F(ControlTest, EightBitTextGoesThroughTheCodePage) {
  Open();
  // 0x80 is the euro sign, 0xE9 e-acute, 0x9F Y-diaeresis in Windows-1252.
  const uint8_t reply[] = {0x80, 0xE9, 0x9F, 0x7E};
  port_.SendToProgram(reply, sizeof reply);
  EXPECT_EQ(ctrl_.get_InputStringData(), u"\u20AC\u00E9\u0178~");

  EXPECT_EQ(ctrl_.put_OutputStringData(u"\u20AC\u00E9\u0178~"), kOk);
  EXPECT_THAT(port_.written(), ElementsAre(0x80, 0xE9, 0x9F, 0x7E));
  EXPECT_THAT(port_.write_sizes(), ElementsAre(4u));
}

TEST_F(ControlTest, OutputStringDataOutsideTheCodePageSendsNothing) {
  Open();
  // U+4E2D has no byte in Windows-1252; the characters before it must not go out either.
  EXPECT_EQ(ctrl_.put_OutputStringData(u"AB\u4E2D"), kOverflow);
  EXPECT_EQ(ctrl_.put_OutputStringData(u""), kOk);
  EXPECT_THAT(port_.write_sizes(), IsEmpty());

  EXPECT_EQ(ctrl_.put_OutputStringData(u"V\r"), kOk);
  EXPECT_THAT(port_.written(), ElementsAre('V', '\r'));
}

TEST_F(ControlTest, ReadTakesAtMostCountAndLeavesTheRestQueued) {
  Open();
  port_.SendToProgram("1234");
  EXPECT_THAT(Bytes(ctrl_.Read(2)), ElementsAre('1', '2'));
  EXPECT_EQ(port_.program_queue_count(), 2u);
  EXPECT_THAT(Bytes(ctrl_.Read(10)), ElementsAre('3', '4'));
  EXPECT_EQ(port_.program_queue_count(), 0u);

  port_.SendToProgram("xy");
  EXPECT_THAT(Bytes(ctrl_.Read(0)), ElementsAre(0));
  EXPECT_THAT(Bytes(ctrl_.Read(-3)), ElementsAre(0));
  EXPECT_EQ(port_.program_queue_count(), 2u);
  EXPECT_THAT(Bytes(ctrl_.get_InputData()), ElementsAre('x', 'y'));
  EXPECT_EQ(ctrl_.get_AvailDataCount(), 0);
}

TEST_F(ControlTest, ReadsOfAnEmptyQueueReturnTheEmptyValue) {
  Open();
  EXPECT_EQ(ctrl_.get_InputStringData(), u"");
  EXPECT_THAT(Bytes(ctrl_.get_InputData()), ElementsAre(0));
  EXPECT_THAT(Bytes(ctrl_.Read(8)), ElementsAre(0));
  EXPECT_TRUE(ctrl_.misc_timer_.Enabled());
  EXPECT_THAT(events_.names(), IsEmpty());
  // The empty reads leave the port fully usable.
  port_.SendToProgram("ok");
  EXPECT_EQ(ctrl_.get_InputStringData(), u"ok");
}

TEST_F(ControlTest, OutputDataSendsFromTheLowerBound) {
  Open();
  Variant one_based =
      Variant::Array({Variant::Number(0x43), Variant::Number(0x44), Variant::String(u" 69 ")}, 1);
  EXPECT_EQ(ctrl_.put_OutputData(one_based), kOk);
  EXPECT_EQ(ctrl_.put_OutputData(Variant::Bytes({0xFF, 0x00}, 5)), kOk);
  EXPECT_THAT(port_.written(), ElementsAre(0x43, 0x44, 69, 0xFF, 0x00));
  EXPECT_THAT(port_.write_sizes(), ElementsAre(3u, 2u));
}

TEST_F(ControlTest, OutputDataThatDoesNotConvertSendsNothing) {
  Open();
  struct Case {
    const char* what;
    Variant value;
    HResult result;
  };
  const Case cases[] = {
      {"element 256", Variant::Array({Variant::Number(1), Variant::Number(256)}), kOverflow},
      {"element -1", Variant::Array({Variant::Number(-1)}), kOverflow},
      {"text element", Variant::Array({Variant::Number(1), Variant::String(u"A")}), kTypeMismatch},
      {"not an array", Variant::Number(65), kTypeMismatch},
      {"a string", Variant::String(u"65"), kTypeMismatch},
      {"empty", Variant(), kTypeMismatch},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(ctrl_.put_OutputData(c.value), c.result);
  }
  EXPECT_THAT(port_.write_sizes(), IsEmpty());
  // An empty array is no error and writes nothing.
  EXPECT_EQ(ctrl_.put_OutputData(Variant::Bytes({})), kOk);
  EXPECT_THAT(port_.write_sizes(), IsEmpty());
}

TEST_F(ControlTest, DataMembersStopTheMonitorAndStartItAgain) {
  Open();
  struct Case {
    const char* what;
    std::function<void()> call;
  };
  const Case cases[] = {
      {"AvailDataCount", [&] { ctrl_.get_AvailDataCount(); }},
      {"InputStringData", [&] { ctrl_.get_InputStringData(); }},
      {"InputData", [&] { ctrl_.get_InputData(); }},
      {"Read", [&] { ctrl_.Read(3); }},
      {"Read of an empty queue",
       [&] {
         ctrl_.PurgeInput();
         ctrl_.Read(3);
       }},
      {"InputStringData of an empty queue",
       [&] {
         ctrl_.PurgeInput();
         ctrl_.get_InputStringData();
       }},
      {"OutputStringData", [&] { ctrl_.put_OutputStringData(u"hi"); }},
      {"OutputData",
       [&] {
         ctrl_.put_OutputData(Variant::Bytes({1, 2}));
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    port_.SendToProgram("abc");
    ctrl_.misc_timer_.SetEnabled(false);
    c.call();
    EXPECT_TRUE(ctrl_.misc_timer_.Enabled());
  }

  // During a write the monitor is stopped: the actor hears the bytes inside the write's yield.
  bool misc_during_write = true;
  port_.SetOnReceive(
      [&](const uint8_t*, size_t) { misc_during_write = ctrl_.misc_timer_.Enabled(); });
  ctrl_.put_OutputStringData(u"x");
  EXPECT_FALSE(misc_during_write);
  EXPECT_TRUE(ctrl_.misc_timer_.Enabled());
}

TEST_F(ControlTest, NoMonitorEventFiresInsideADataMember) {
  ctrl_.put_RThreshold(1);
  Open();
  port_.SetModemStatus(platform::kMsCtsOn | platform::kMsDsrOn);
  port_.SendToProgram("waiting");
  // A plain sleep fires no timer, so the monitor is overdue when the write starts; the write
  // lets messages run, and the tick must still not fire inside it.
  world_.Sleep(600);
  ctrl_.put_OutputStringData(u"q");
  EXPECT_THAT(events_.names(), IsEmpty());

  // It comes once the member has returned.
  world_.RunFor(600);
  EXPECT_THAT(events_.names(), ElementsAre("CTSChanged", "DSRChanged", "OnComm 7"));
}

}  // namespace
}  // namespace chanfold::testing
