// The device link routines one by one: the command exchange, reconnecting and closing, the
// bootloader wait, and the identification of what answers, with the replies a faulty or foreign
// device may give.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "updater_fixture.h"

namespace updater::testing {
namespace {

std::string Written(sim::SimPort& port) {
  return std::string(port.written().begin(), port.written().end());
}

class LinkTest : public UpdaterTest {
 protected:
  LinkTest() : device_(AddDevice(3)) {
    // What the first step of the start-up reads.
    window().program().DecimalSeparator = u".";
  }
  // Opens COM3 the way the update procedure does.
  void Open() {
    ASSERT_TRUE(window().ReconnectPort(window().RS232(), 3));
    ASSERT_TRUE(Port(3).is_open());
    Port(3).ClearWritten();
  }
  chanfold::ChanfoldCtrl& rs232() { return window().RS232(); }

  ScriptedDevice& device_;
};

// ---- SendCommand ----

TEST_F(LinkTest, SendCommandOnAClosedPortSendsNothing) {
  EXPECT_EQ(ToUtf8(window().SendCommand(rs232(), u"REBOOT\r\n")), "Disconnect");
  EXPECT_TRUE(Port(3).written().empty());
}

TEST_F(LinkTest, SendCommandWaitsHalfASecondWhateverArrives) {
  Open();
  device_.replies["B"] = "B - Flash programming bitstream\r\n";
  uint64_t t0 = world_.NowMs();
  EXPECT_EQ(ToUtf8(window().SendCommand(rs232(), u"B")), "B - Flash programming bitstream\r\n");
  EXPECT_GE(world_.NowMs() - t0, 500u);
  EXPECT_LT(world_.NowMs() - t0, 520u);
  EXPECT_EQ(Written(Port(3)), "B") << "no line end is added";

  t0 = world_.NowMs();
  EXPECT_EQ(ToUtf8(window().SendCommand(rs232(), u"F")), "NoData");  // silent peer
  EXPECT_GE(world_.NowMs() - t0, 500u);
}

TEST_F(LinkTest, AReplyInPiecesIsReturnedAsFarAsItHadArrived) {
  Open();
  device_.responder = [&](const std::string& cmd) {
    if (cmd == "REBOOT\r\n") {
      Port(3).world().After(700, [&] { Port(3).SendToProgram("second half\r\n"); });
      return std::string("first half, ");
    }
    return std::string();
  };
  EXPECT_EQ(ToUtf8(window().SendCommand(rs232(), u"REBOOT\r\n")), "first half, ");
  world_.Sleep(300);
  // The rest waits in the queue for the next read.
  EXPECT_EQ(rs232().get_AvailDataCount(), 13);
  EXPECT_EQ(ToUtf8(rs232().get_InputStringData()), "second half\r\n");
}

TEST_F(LinkTest, SendCommandRefusesACharacterThatTheLineCannotCarry) {
  Open();
  EXPECT_EQ(ToUtf8(window().SendCommand(rs232(), u"VERIFYPASSWORD \u4e2d\r\n")), "Error");
  EXPECT_TRUE(Port(3).written().empty());
}

// ---- ReconnectPort and ClosePort ----

TEST_F(LinkTest, ReconnectKeepsAnOpenPortWhicheverItIs) {
  world_.AddPort("COM8");
  ASSERT_TRUE(window().ReconnectPort(rs232(), 8));
  rs232().put_BaudRate(9600);
  EXPECT_TRUE(window().ReconnectPort(rs232(), 3));
  EXPECT_TRUE(Port(8).is_open());
  EXPECT_FALSE(Port(3).is_open());
  EXPECT_EQ(rs232().get_BaudRate(), 9600) << "the settings of the open port are left alone";

  EXPECT_TRUE(window().ClosePort(rs232()));
  EXPECT_FALSE(Port(8).is_open());
  EXPECT_TRUE(window().ClosePort(rs232())) << "closing a closed port is no failure";
}

TEST_F(LinkTest, ReconnectToAPortThatDoesNotOpenStillSaysTrue) {
  Port(3).SetOpenFails(true);
  EXPECT_TRUE(window().ReconnectPort(rs232(), 3));
  EXPECT_EQ(rs232().get_Connected(), chanfold::kVFalse);
  EXPECT_EQ(ToUtf8(window().SendCommand(rs232(), u"REBOOT\r\n")), "Disconnect");
  EXPECT_TRUE(window().ReconnectPort(rs232(), 12)) << "COM12 does not exist";
  EXPECT_EQ(ToUtf8(rs232().get_Port()), "COM12");
}

TEST_F(LinkTest, ProbeOfAPortThatDoesNotOpenGivesMinusOneAndLeavesItClosed) {
  EXPECT_EQ(window().ProbePort(rs232(), 12), -1);  // no such port
  Port(3).SetOpenFails(true);                      // held by another program
  EXPECT_EQ(window().ProbePort(rs232(), 3), -1);
  Port(3).SetOpenFails(false);
  Port(3).SetFailingCall("SetCommState");  // opens, but cannot be configured
  EXPECT_EQ(window().ProbePort(rs232(), 3), -1);
  EXPECT_FALSE(Port(3).is_open()) << "the device held after the failed open is released";
  EXPECT_EQ(rs232().get_Connected(), chanfold::kVFalse);
}

// ---- WaitingBootloader ----

class BootloaderWaitTest : public LinkTest {
 protected:
  std::string Wait(int32_t delay = 5000) {
    int16_t port = 3;
    return ToUtf8(window().WaitingBootloader(rs232(), port, delay));
  }
  int SubsSent() {
    int n = 0;
    for (uint8_t b : Port(3).written()) n += b == 0x1A;
    return n;
  }
  // A click on cmdUpdate, delivered as a message after `ms` of processing.
  void ClickAfter(uint32_t ms) {
    click_ = std::make_unique<platform::Timer>(world_, [this] {
      click_->SetEnabled(false);
      window().cmdUpdate_Click();
    });
    click_->SetInterval(ms);
    click_->SetEnabled(true);
  }
  std::unique_ptr<platform::Timer> click_;
};

TEST_F(BootloaderWaitTest, KeepsSendingSubUntilAReplyHoldsThePrompt) {
  Open();
  int subs = 0;
  device_.responder = [&](const std::string& cmd) -> std::string {
    if (cmd != "\x1A") return "";
    ++subs;
    if (subs < 4) return "\r\nbooting...";
    if (subs == 4) return "\r\n> menu follows";  // the prompt need not end the reply
    return "";
  };
  window().vars().StopRequested = true;  // a click from before the wait does not count
  EXPECT_EQ(Wait(), "OK");
  EXPECT_EQ(SubsSent(), 4);
  EXPECT_FALSE(window().vars().StopRequested);
  EXPECT_EQ(Written(Port(3)), std::string(4, '\x1A')) << "SUB alone, nothing else";
  EXPECT_FALSE(window().TimerDelay().Enabled());
}

TEST_F(BootloaderWaitTest, AClickEndsTheWaitWithWhatItHeld) {
  Open();
  ClickAfter(200);
  EXPECT_EQ(Wait(), "") << "nothing had arrived";
  EXPECT_LT(world_.NowMs(), 400u);

  device_.replies["\x1A"] = "?";
  ClickAfter(200);
  EXPECT_EQ(Wait(), "ERROR") << "only replies without the prompt had arrived";
}

TEST_F(BootloaderWaitTest, ADeviceThatNeverPromptsEndsTheWaitAfterTheDelay) {
  Open();
  uint64_t t0 = world_.NowMs();
  EXPECT_EQ(Wait(5000), "");
  uint64_t took = world_.NowMs() - t0;
  EXPECT_GE(took, 5000u);
  EXPECT_LE(took, 5000u + 2 * 51u) << "within a pass or two of the limit";
  EXPECT_TRUE(window().delay_timed_out());
  EXPECT_FALSE(window().TimerDelay().Enabled());
  // Roughly one SUB per 50 ms sleep plus the pumping.
  EXPECT_GT(SubsSent(), 90);
  EXPECT_LE(SubsSent(), 101);

  device_.replies["\x1A"] = "?";
  t0 = world_.NowMs();
  EXPECT_EQ(Wait(1000), "ERROR");
  EXPECT_LE(world_.NowMs() - t0, 1000u + 2 * 51u);
}

TEST_F(BootloaderWaitTest, AClosedPortOrNoTimeDoesNotHang) {
  EXPECT_EQ(Wait(2000), "");  // never opened: nothing goes out, the limit still ends it
  EXPECT_TRUE(Port(3).written().empty());
  EXPECT_GE(world_.NowMs(), 2000u);

  Open();
  uint64_t t0 = world_.NowMs();
  EXPECT_EQ(Wait(0), "");
  EXPECT_EQ(SubsSent(), 1) << "no time: a single pass";
  EXPECT_LT(world_.NowMs() - t0, 100u);
}

// ---- IdentifyDevice ----

struct IdentifyCase {
  const char* name;
  std::string v_reply;        // answer to "V" ("" = none)
  std::string version_reply;  // answer to "VERSION" ("" = none)
  uint8_t type_before;        // HardwareType from an earlier port
  std::string result;
  float hardware;  // values afterwards (the preset values are 1.5, 2.5, true)
  float software;
  bool password;
  uint8_t type_after;
};

void PrintTo(const IdentifyCase& c, std::ostream* os) {
  *os << c.name;
}

class IdentifyTest : public LinkTest, public ::testing::WithParamInterface<IdentifyCase> {};

TEST_P(IdentifyTest, ResultAndStoredValues) {
  const IdentifyCase& c = GetParam();
  device_.replies["V\r\n"] = c.v_reply;
  device_.replies["VERSION\r\n"] = c.version_reply;
  ProgramVariables& p = window().program();
  p.HardwareVersion = 1.5f;
  p.SoftwareVersion = 2.5f;
  p.PasswordRequired = true;
  p.HardwareType = c.type_before;
  Open();

  EXPECT_EQ(ToUtf8(window().IdentifyDevice(rs232())), c.result);
  EXPECT_EQ(p.HardwareVersion, c.hardware);
  EXPECT_EQ(p.SoftwareVersion, c.software);
  EXPECT_EQ(p.PasswordRequired, c.password);
  EXPECT_EQ(p.HardwareType, c.type_after);
}

const std::string kErr = "\r\nERROR\r\n";
std::string Long(size_t n) {
  return std::string(n, 'z');
}

INSTANTIATE_TEST_SUITE_P(
    Replies, IdentifyTest,
    ::testing::Values(
        // The device in its firmware.
        IdentifyCase{"firmware_locked", kErr,
                     VersionReply("Zandor Ltd", "7.0", "7.15", "SECUREACCESS", "1"), 0, "Firmware",
                     7.0f, 7.15f, true, 1},
        IdentifyCase{"firmware_open", kErr, VersionReply("Zandor Ltd", "6.5", "7.1"), 0, "Firmware",
                     6.5f, 7.1f, false, 1},
        IdentifyCase{"web_address", kErr, VersionReply("www.zandorltd.com", "7.0", "7.15"), 0,
                     "Firmware", 7.0f, 7.15f, false, 1},
        IdentifyCase{
            "field9_framed", kErr,
            VersionReply("\r\n Zandor Ltd ", "7.0", "7.15", "  SECUREACCESS\r\n ", " 1\r\n"), 0,
            "Firmware", 7.0f, 7.15f, true, 1},
        IdentifyCase{"field9_lower_case", kErr,
                     VersionReply("Zandor Ltd", "7.0", "7.15", "secureaccess"), 0, "Firmware", 7.0f,
                     7.15f, false, 1},
        IdentifyCase{"field11_rounds_half_to_even", kErr,
                     VersionReply("Zandor Ltd", "7.0", "7.15", "OPEN", "1.5"), 0, "Hardware", 7.0f,
                     7.15f, false, 2},
        IdentifyCase{"long_reply", kErr,
                     "VR:Zandor Ltd,7.0,7.15," + Long(6000) + ",b,c,d,e,f,OPEN,x,1\r\n", 0,
                     "Firmware", 7.0f, 7.15f, false, 1},
        // Fewer than ten fields keep password and type; the type decides.
        IdentifyCase{"nine_fields_after_supported", kErr, "VR:Zandor Ltd,7.0,7.15,a,b,c,d,e,f\r\n",
                     1, "Firmware", 7.0f, 7.15f, true, 1},
        IdentifyCase{"nine_fields_first", kErr, "VR:Zandor Ltd,7.0,7.15,a,b,c,d,e,f\r\n", 0,
                     "Hardware", 7.0f, 7.15f, true, 0},
        // Foreign or silent firmware: "Hardware" unless a supported device came first.
        IdentifyCase{"other_vendor", kErr, VersionReply("Zandor", "7.0", "7.15"), 0, "Hardware",
                     1.5f, 2.5f, true, 0},
        IdentifyCase{"other_vendor_after_supported", kErr, VersionReply("Zandor", "7.0", "7.15"), 1,
                     "Error", 1.5f, 2.5f, true, 1},
        IdentifyCase{"eight_bit_vendor", kErr, VersionReply("Zandor Ltd\xE9", "7.0", "7.15"), 1,
                     "Error", 1.5f, 2.5f, true, 1},
        IdentifyCase{"no_version_reply", kErr, "", 0, "Hardware", 1.5f, 2.5f, true, 0},
        // Malformed replies of the vendor: "Error" at once, values read so far kept.
        IdentifyCase{"two_characters", kErr, "OK", 0, "Error", 1.5f, 2.5f, true, 0},
        IdentifyCase{"three_characters", kErr, "VR:", 0, "Error", 1.5f, 2.5f, true, 0},
        IdentifyCase{"vendor_only", kErr, "VR:Zandor Ltd", 0, "Error", 1.5f, 2.5f, true, 0},
        IdentifyCase{"no_firmware_field", kErr, "VR:Zandor Ltd,6.5", 0, "Error", 6.5f, 2.5f, true,
                     0},
        IdentifyCase{"hardware_not_a_number", kErr, VersionReply("Zandor Ltd", "seven", "7.15"), 0,
                     "Error", 1.5f, 2.5f, true, 0},
        IdentifyCase{"firmware_trailing_junk", kErr, VersionReply("Zandor Ltd", "7.0", "7.15b"), 0,
                     "Error", 7.0f, 2.5f, true, 0},
        IdentifyCase{"firmware_two_points", kErr, VersionReply("Zandor Ltd", "7.0", "7.1.5"), 0,
                     "Error", 7.0f, 2.5f, true, 0},
        IdentifyCase{"hardware_empty", kErr, VersionReply("Zandor Ltd", "", "7.15"), 0, "Error",
                     1.5f, 2.5f, true, 0},
        IdentifyCase{"hardware_with_nul", kErr,
                     VersionReply("Zandor Ltd", std::string("7\0.0", 4), "7.15"), 0, "Error", 1.5f,
                     2.5f, true, 0},
        IdentifyCase{"hardware_exponent", kErr, VersionReply("Zandor Ltd", "7e0", "7.15"), 0,
                     "Error", 1.5f, 2.5f, true, 0},
        IdentifyCase{"hardware_too_big", kErr,
                     VersionReply("Zandor Ltd", std::string(45, '9'), "7.15"), 0, "Error", 1.5f,
                     2.5f, true, 0},
        IdentifyCase{"field11_above_255", kErr,
                     VersionReply("Zandor Ltd", "7.0", "7.15", "SECUREACCESS", "256"), 0, "Error",
                     7.0f, 7.15f, true, 0},
        IdentifyCase{"field11_negative", kErr,
                     VersionReply("Zandor Ltd", "7.0", "7.15", "OPEN", "-1"), 1, "Error", 7.0f,
                     7.15f, false, 1},
        IdentifyCase{"field11_text", kErr, VersionReply("Zandor Ltd", "7.0", "7.15", "OPEN", "one"),
                     1, "Error", 7.0f, 7.15f, false, 1},
        // The bootloader.
        IdentifyCase{"bootloader", "\r\nBoot\r\nHardware Version : 7.0\r\n>", "", 0, "Bootloader",
                     7.0f, 2.5f, true, 0},
        IdentifyCase{"bootloader_five_characters", "Hardware Version :  6.5\r\n>", "", 1,
                     "Bootloader", 6.5f, 2.5f, true, 1},
        IdentifyCase{"bootloader_long_number", "Hardware Version : 12345678", "", 0, "Bootloader",
                     12345.0f, 2.5f, true, 0},
        IdentifyCase{"bootloader_cut_number", "Hardware Version : 7.15.3", "", 0, "Error", 1.5f,
                     2.5f, true, 0},
        IdentifyCase{"bootloader_nothing_after_label", "Hardware Version : ", "", 0, "Error", 1.5f,
                     2.5f, true, 0},
        IdentifyCase{"bootloader_label_case", "hardware version : 7.0", "", 0, "Error", 1.5f, 2.5f,
                     true, 0},
        // "ERROR" wins over the label: the firmware path is taken.
        IdentifyCase{"error_and_label", "ERROR Hardware Version : 7.0",
                     VersionReply("Zandor Ltd", "6.5", "7.15"), 0, "Firmware", 6.5f, 7.15f, false,
                     1},
        // Anything else.
        IdentifyCase{"silent", "", "", 0, "", 1.5f, 2.5f, true, 0},
        IdentifyCase{"line_end_only", "\r\n", "", 0, "Error", 1.5f, 2.5f, true, 0},
        IdentifyCase{"nul_bytes", std::string("\0\0\0", 3), "", 0, "Error", 1.5f, 2.5f, true, 0},
        IdentifyCase{"error_lower_case", "error", "", 0, "Error", 1.5f, 2.5f, true, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(LinkTest, IdentifyOnAClosedPortIsAnError) {
  device_.AnswerAsFirmware(VersionReply("Zandor Ltd", "7.0", "7.15"));
  EXPECT_EQ(ToUtf8(window().IdentifyDevice(rs232())), "Error");
  EXPECT_TRUE(Port(3).written().empty());
}

TEST_F(LinkTest, IdentifySendsVThenVersionWithHalfASecondEach) {
  device_.AnswerAsFirmware(VersionReply("Zandor Ltd", "7.0", "7.15"));
  Open();
  uint64_t t0 = world_.NowMs();
  EXPECT_EQ(ToUtf8(window().IdentifyDevice(rs232())), "Firmware");
  EXPECT_EQ(device_.received, (std::vector<std::string>{"V\r\n", "VERSION\r\n"}));
  EXPECT_GE(world_.NowMs() - t0, 1000u);
  EXPECT_LT(world_.NowMs() - t0, 1050u);
}

}  // namespace
}  // namespace updater::testing
