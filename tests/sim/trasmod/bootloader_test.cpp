// The reboot, the bootloader's wait for SUB and its menu.
#include <gtest/gtest.h>

#include "tests/sim/trasmod/trasmod_fixture.h"

namespace trasmod::testing {
namespace {

using Bootloader = DeviceTest;

TEST_F(Bootloader, RebootIsSilentThenSubCatchesTheBootloader) {
  Make();
  std::string seen = RebootIntoBootloader();
  EXPECT_EQ(core_->mode(), Mode::kBootloader);
  EXPECT_EQ(core_->reboots(), 1);
  // REBOOTING at once, nothing during the 300 ms of the reboot, then the banner, and the
  // prompt for the first SUB after it.
  const auto& sends = link_.sends();
  ASSERT_GE(sends.size(), 3u);
  EXPECT_EQ(sends[0].bytes, "REBOOTING\r\n");
  EXPECT_EQ(sends[0].at_ms, 0u);
  EXPECT_EQ(sends[1].at_ms, 300u);
  EXPECT_NE(sends[1].bytes.find("bootloader"), std::string::npos);
  EXPECT_EQ(sends[2].bytes, kPrompt);
  EXPECT_GT(sends[2].at_ms, 300u);
  EXPECT_LE(sends[2].at_ms, 360u);
  EXPECT_EQ(sends.size(), 3u);
  // SUBs sent during the reboot were not heard.
  EXPECT_EQ(core_->sub_count(), 1u);
  // Every further SUB gets the prompt again.
  EXPECT_EQ(Ask("\x1a"), kPrompt);
  EXPECT_EQ(Ask("\x1a\x1a"), std::string(kPrompt) + std::string(kPrompt));
}

TEST_F(Bootloader, WithoutSubTheFirmwareStarts) {
  Make();
  Ask("REBOOT\r\n");
  link_.Advance(1280);  // 1290 ms after REBOOT: still in the boot window
  EXPECT_EQ(core_->mode(), Mode::kBootWindow);
  link_.Advance(20);
  EXPECT_EQ(core_->mode(), Mode::kFirmware);
  EXPECT_EQ(Ask("V\r\n"), "ERROR\r\n");
}

TEST_F(Bootloader, NoPromptAfterReboot) {
  DeviceConfig config;
  config.no_prompt_after_reboot = true;
  Make(config);
  std::string seen = RebootIntoBootloader();
  EXPECT_EQ(seen.find('>'), std::string::npos) << seen;
  EXPECT_EQ(core_->mode(), Mode::kFirmware);
  EXPECT_EQ(core_->reboots(), 1);
}

TEST_F(Bootloader, SlowStretchesTheReboot) {
  DeviceConfig config;
  config.slow = 3;
  Make(config);
  Ask("REBOOT\r\n");
  link_.Advance(880);  // 890 ms: 300 ms times three not over yet
  EXPECT_EQ(core_->mode(), Mode::kRebooting);
  link_.Advance(20);
  EXPECT_EQ(core_->mode(), Mode::kBootWindow);
}

TEST_F(Bootloader, VReportsTheHardwareVersion) {
  for (const char* hw : {"7.0", "6.5", "10.25"}) {
    SCOPED_TRACE(hw);
    DeviceConfig config;
    config.start_in_bootloader = true;
    config.hardware = hw;
    Make(config);
    std::string reply = Ask("V\r\n");
    EXPECT_EQ(reply.find("ERROR"), std::string::npos);
    size_t p = reply.find("Hardware Version : ");
    ASSERT_NE(p, std::string::npos) << reply;
    // The five characters after the label, spaces trimmed, are the version.
    EXPECT_EQ(Cleaned(reply.substr(p + 19, 5)), hw);
    EXPECT_NE(reply.find('>'), std::string::npos);
    EXPECT_EQ(core_->commands(), std::vector<std::string>{"V"});
  }
}

TEST_F(Bootloader, MenuReplies) {
  struct Case {
    const char* name;
    bool rebooted;  // reached by REBOOT + SUB, else started in the bootloader
    bool wrong;
    const char* choice;
    std::string_view expected;
    std::string_view absent;
    bool receives;
  };
  const std::vector<Case> cases = {
      {"B after reboot", true, false, "B", kRebootedB, kResidentB, true},
      {"B resident", false, false, "B", kResidentB, kRebootedB, true},
      {"F after reboot", true, false, "F", kFirmwareF, kRebootedB, true},
      {"F resident", false, false, "F", kFirmwareF, kResidentB, true},
      {"wrong B after reboot", true, true, "B", kResidentB, kRebootedB, false},
      {"wrong B resident", false, true, "B", kRebootedB, kResidentB, false},
      {"wrong F", true, true, "F", kWrongFirmwareChoice, kFirmwareF, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DeviceConfig config;
    config.start_in_bootloader = !c.rebooted;
    config.wrong_menu_reply = c.wrong;
    Make(config);
    if (c.rebooted) {
      ASSERT_NE(RebootIntoBootloader().find('>'), std::string::npos);
    }
    std::string reply = Ask(c.choice, 500);
    EXPECT_NE(reply.find(c.expected), std::string::npos) << reply;
    EXPECT_EQ(reply.find(c.absent), std::string::npos) << reply;
    EXPECT_EQ(core_->mode(), c.receives ? Mode::kReceiving : Mode::kBootloader);
    // A receive asks for the upload with "C" at once; a refused choice shows the prompt.
    EXPECT_EQ(reply.back(), c.receives ? 'C' : '>');
    EXPECT_EQ(core_->commands().back(), c.choice);
  }
}

TEST_F(Bootloader, RebootCommandInTheBootloader) {
  DeviceConfig config;
  config.start_in_bootloader = true;
  Make(config);
  // The "B" inside "REBOOT" is no menu choice, whether the line comes whole or in pieces.
  EXPECT_EQ(Ask("REB", 50), "");
  EXPECT_EQ(Ask("OOT\r\n").substr(0, 13), "\r\nREBOOTING\r\n");
  EXPECT_EQ(core_->mode(), Mode::kRebooting);
  EXPECT_EQ(core_->commands(), std::vector<std::string>{"REBOOT"});

  // Caught after the reboot: the bitstream choice now has its after-reboot text.
  std::string seen;
  for (int i = 0; i < 20 && seen.find('>') == std::string::npos; ++i) seen += Ask("\x1a", 50);
  ASSERT_EQ(core_->mode(), Mode::kBootloader);
  EXPECT_EQ(Ask("REBOOT\n").substr(0, 13), "\r\nREBOOTING\r\n");
  EXPECT_EQ(core_->reboots(), 2);
}

TEST_F(Bootloader, UnfinishedRebootIsDropped) {
  DeviceConfig config;
  config.start_in_bootloader = true;
  Make(config);
  EXPECT_EQ(Ask("REBO", 200), "");
  EXPECT_EQ(core_->mode(), Mode::kBootloader);
  EXPECT_EQ(Ask("REBOOTX", 200), "");
  EXPECT_EQ(core_->mode(), Mode::kBootloader);
  EXPECT_TRUE(core_->commands().empty());
  // A SUB that breaks a started "REBOOT" is still answered.
  EXPECT_EQ(Ask("RE\x1a"), kPrompt);
}

}  // namespace
}  // namespace trasmod::testing
