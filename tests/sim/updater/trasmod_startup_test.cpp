// Start-up against the simulated transmodulator (trasmod-sim's device core) on a simulated
// COM port: the whole log, the two modes, and the ways its "VERSION" reply can be spoilt.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tools/trasmod-sim/sim_device.h"
#include "updater_fixture.h"

namespace updater::testing {
namespace {

using ::testing::ElementsAreArray;

class TrasmodStartupTest : public UpdaterTest {
 protected:
  trasmod::SimDevice& AddTrasmod(int n, trasmod::DeviceConfig config = {}) {
    sim::SimPort& port = world_.AddPort("COM" + std::to_string(n));
    trasmods_.push_back(std::make_unique<trasmod::SimDevice>(port, std::move(config)));
    return *trasmods_.back();
  }
  bool LogHas(const std::string& line) {
    auto lines = view_.log_lines_utf8();
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }

  std::vector<std::unique_ptr<trasmod::SimDevice>> trasmods_;
};

TEST_F(TrasmodStartupTest, FullTranscriptOfALockedDeviceInFirmwareMode) {
  world_.AddPort("COM1");  // a port without a device
  trasmod::DeviceConfig config;
  config.password = "SECRET";
  trasmod::SimDevice& device = AddTrasmod(4, config);
  window().Start();

  const std::vector<std::string> expected = {" ***************************************************",
                                             " * Quarn Firmware Updater to Version 7.15",
                                             " ***************************************************",
                                             "",
                                             " Password is required to continue upgrade.",
                                             "",
                                             " Update from Firmware Mode.",
                                             "",
                                             " Quarn Trasmodulator Connected on COM4.",
                                             "",
                                             " Hardware Version : 7.0",
                                             " Software Version : 7.15",
                                             "",
                                             " Hardware is Valid for New Firmware.",
                                             "",
                                             " Firmware is the same of Update ... Reflashing.",
                                             "",
                                             " Press button Update to start procedure."};
  EXPECT_THAT(view_.log_lines_utf8(), ElementsAreArray(expected));
  EXPECT_TRUE(view_.log_text().ends_with(u"\r\n"));
  EXPECT_EQ(view_.hardware_color(), kGreen);
  EXPECT_EQ(view_.software_color(), kGreen);
  EXPECT_TRUE(view_.update_enabled());
  EXPECT_FALSE(window().vars().BitstreamPending);
  EXPECT_EQ(device.core().commands(), (std::vector<std::string>{"V", "VERSION"}));
  EXPECT_EQ(device.core().mode(), trasmod::Mode::kFirmware);
  EXPECT_EQ(window().program().HardwareType, 1);
  // One silent port (500 ms) and the device (two waits).
  EXPECT_EQ(world_.NowMs() / 100, 15u);
}

TEST_F(TrasmodStartupTest, DeviceWaitingInItsBootloader) {
  trasmod::DeviceConfig config;
  config.start_in_bootloader = true;
  config.hardware = "6.5";
  AddTrasmod(2, config);
  window().Start();

  EXPECT_EQ(ToUtf8(window().program().DeviceMode), "Bootloader");
  EXPECT_EQ(window().program().HardwareVersion, 6.5f);
  EXPECT_TRUE(LogHas(" Update from Bootloader Mode."));
  EXPECT_TRUE(LogHas(" Quarn Trasmodulator Connected on COM2."));
  EXPECT_TRUE(LogHas(" Hardware is not Valid for New Firmware, need upgrade."));
  EXPECT_EQ(ToUtf8(view_.hardware_caption()), "6.5");
  EXPECT_EQ(view_.hardware_color(), kRed);
  EXPECT_EQ(ToUtf8(view_.software_caption()), "N.D.");
  EXPECT_TRUE(window().vars().BitstreamPending);
  EXPECT_TRUE(view_.update_enabled());
}

TEST_F(TrasmodStartupTest, OlderFirmwareOnOlderHardware) {
  trasmod::DeviceConfig config;
  config.hardware = "6.5";
  config.firmware = "7.10";
  AddTrasmod(16, config);
  window().Start();
  EXPECT_EQ(window().program().ComPortNumber, 16);
  EXPECT_TRUE(LogHas(" Quarn Trasmodulator Connected on COM16."));
  EXPECT_TRUE(LogHas(" The firmware is less recent of update ... Upgrade."));
  EXPECT_EQ(view_.software_color(), kRed);
  EXPECT_FALSE(window().program().PasswordRequired);
}

TEST_F(TrasmodStartupTest, ASilentDeviceIsNoDevice) {
  trasmod::DeviceConfig config;
  config.silent = true;
  AddTrasmod(3, config);
  window().Start();
  EXPECT_EQ(window().program().ComPortNumber, 0);
  EXPECT_FALSE(view_.update_enabled());
  EXPECT_TRUE(LogHas(" This update version is not valid for connected hardware."));
}

// What the start-up makes of each spoilt "VERSION" reply of a device that is alone on the line.
struct SpoiltCase {
  trasmod::Malformed kind;
  enum Outcome { kDevice, kNoDevice, kHardwareStop } outcome;
};

void PrintTo(const SpoiltCase& c, std::ostream* os) {
  *os << trasmod::MalformedName(c.kind);
}

class SpoiltReplyTest : public TrasmodStartupTest,
                        public ::testing::WithParamInterface<SpoiltCase> {};

TEST_P(SpoiltReplyTest, GivesAClearOutcome) {
  trasmod::DeviceConfig config;
  config.malformed = GetParam().kind;
  AddTrasmod(3, config);
  window().Start();

  switch (GetParam().outcome) {
    case SpoiltCase::kDevice:
      EXPECT_EQ(window().program().ComPortNumber, 3);
      EXPECT_TRUE(view_.update_enabled());
      EXPECT_TRUE(LogHas(" Firmware is the same of Update ... Reflashing."));
      break;
    case SpoiltCase::kNoDevice:
      EXPECT_EQ(window().program().ComPortNumber, 0);
      EXPECT_EQ(window().program().HardwareVersion, 0.0f);
      EXPECT_FALSE(view_.update_enabled());
      EXPECT_THAT(
          view_.log_lines_utf8(),
          ElementsAreArray(Concat(
              Banner(), {"", " This update version is not valid for connected hardware.", ""})));
      break;
    case SpoiltCase::kHardwareStop:
      EXPECT_EQ(view_.message_boxes().size(), 1u);
      EXPECT_TRUE(window().ended());
      EXPECT_FALSE(view_.shown());
      break;
  }
  if (GetParam().outcome != SpoiltCase::kHardwareStop) {
    EXPECT_TRUE(view_.shown());
    EXPECT_TRUE(view_.message_boxes().empty());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, SpoiltReplyTest,
    ::testing::Values(SpoiltCase{trasmod::Malformed::kNone, SpoiltCase::kDevice},
                      SpoiltCase{trasmod::Malformed::kNul, SpoiltCase::kDevice},
                      SpoiltCase{trasmod::Malformed::kHighBit, SpoiltCase::kDevice},
                      SpoiltCase{trasmod::Malformed::kLong, SpoiltCase::kDevice},
                      SpoiltCase{trasmod::Malformed::kPadded, SpoiltCase::kDevice},
                      SpoiltCase{trasmod::Malformed::kShort, SpoiltCase::kNoDevice},
                      SpoiltCase{trasmod::Malformed::kNonNumericHardware, SpoiltCase::kNoDevice},
                      SpoiltCase{trasmod::Malformed::kNonNumericFirmware, SpoiltCase::kNoDevice},
                      SpoiltCase{trasmod::Malformed::kTypeAbove255, SpoiltCase::kNoDevice},
                      SpoiltCase{trasmod::Malformed::kTypeNonNumeric, SpoiltCase::kNoDevice},
                      SpoiltCase{trasmod::Malformed::kEmpty, SpoiltCase::kNoDevice},
                      SpoiltCase{trasmod::Malformed::kLeadOnly, SpoiltCase::kNoDevice},
                      SpoiltCase{trasmod::Malformed::kNulVendor, SpoiltCase::kHardwareStop},
                      SpoiltCase{trasmod::Malformed::kNoReply, SpoiltCase::kHardwareStop},
                      SpoiltCase{trasmod::Malformed::kVendorCase, SpoiltCase::kHardwareStop}),
    [](const auto& info) {
      std::string name(trasmod::MalformedName(info.param.kind));
      for (char& c : name) c = c == '-' ? '_' : c;
      return name;
    });

TEST_F(TrasmodStartupTest, FieldCountsOfTheVendor) {
  // 10 or 11 fields: the type is taken as 0 and the program stops; 12 is the normal reply.
  for (size_t fields : {10u, 11u}) {
    RecordingView view;
    sim::SimWorld world;
    sim::SimPort& port = world.AddPort("COM2");
    trasmod::DeviceConfig config;
    config.fields = fields;
    trasmod::SimDevice device(port, config);
    MainWindow window(world.services(), view);
    window.Start();
    EXPECT_TRUE(window.ended()) << fields;
    EXPECT_EQ(window.program().HardwareType, 0) << fields;
  }
}

// ---- The link routines the update builds on, against the device ----

TEST_F(TrasmodStartupTest, RebootThenTheBootloaderWaitCatchesThePrompt) {
  trasmod::SimDevice& device = AddTrasmod(3);
  window().program().DecimalSeparator = u".";
  chanfold::ChanfoldCtrl& rs232 = window().RS232();
  ASSERT_TRUE(window().ReconnectPort(rs232, 3));
  // The reply is whatever came within the half second: the answer and the bootloader's banner.
  EXPECT_TRUE(ToUtf8(window().SendCommand(rs232, u"REBOOT\r\n")).starts_with("REBOOTING\r\n"));
  int16_t port = 3;
  int32_t delay = 5000;
  EXPECT_EQ(ToUtf8(window().WaitingBootloader(rs232, port, delay)), "OK");
  EXPECT_EQ(device.core().mode(), trasmod::Mode::kBootloader);
  EXPECT_GT(device.core().sub_count(), 0u);
  EXPECT_TRUE(window().ClosePort(rs232));
}

TEST_F(TrasmodStartupTest, ADeviceThatNeverPromptsEndsTheWaitAtItsLimit) {
  trasmod::DeviceConfig config;
  config.no_prompt_after_reboot = true;
  trasmod::SimDevice& device = AddTrasmod(3, config);
  chanfold::ChanfoldCtrl& rs232 = window().RS232();
  ASSERT_TRUE(window().ReconnectPort(rs232, 3));
  window().SendCommand(rs232, u"REBOOT\r\n");
  int16_t port = 3;
  int32_t delay = 5000;
  uint64_t t0 = world_.NowMs();
  std::string result = ToUtf8(window().WaitingBootloader(rs232, port, delay));
  uint64_t took = world_.NowMs() - t0;
  EXPECT_NE(result, "OK");
  EXPECT_GE(took, 5000u);
  EXPECT_LE(took, 5000u + 2 * 51u);
  EXPECT_EQ(device.core().mode(), trasmod::Mode::kFirmware);
}

}  // namespace
}  // namespace updater::testing
