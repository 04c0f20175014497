// Whole updates in virtual time against the simulated transmodulator: both images go up at
// 57600 bit/s, the device flashes them and reports on the line, and the log reads as the
// operator sees it. Also every way the procedure can end early, Stop, and trying again.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "update_fixture.h"

namespace updater::testing {
namespace {

using ::testing::ElementsAreArray;

// Twelve minutes of virtual time: the two images need about five and a half at 57600 bit/s.
constexpr uint64_t kUpdateLimitMs = 12 * 60 * 1000;

std::vector<std::string> Lines(std::initializer_list<std::string> lines) {
  return std::vector<std::string>(lines);
}

void Append(std::vector<std::string>& to, const std::vector<std::string>& more) {
  to.insert(to.end(), more.begin(), more.end());
}

// The device's report of one flashing, as its lines appear in the log: every line it sends,
// up to the four characters before its prompt.
std::vector<std::string> Report(const std::string& what, const std::string& programmed,
                                int32_t size) {
  const int32_t blocks = (size + 1023) / 1024;
  return {"Received " + std::to_string(blocks * 1024) + " bytes in " + std::to_string(blocks) +
              " blocks",
          "Erasing " + what + " flash ...", "Programming " + what + " flash ...",
          "Verifying " + what + " ...", programmed};
}

// What a phase writes from its banner to the end of its upload, for a device that was found
// in the given mode ("t" is the letter of "trasmodulator" in the upload line).
std::vector<std::string> Phase(const std::string& banner, const std::string& image, bool reboot,
                               int32_t size, int first_event) {
  std::vector<std::string> out = {"", kStars, banner, kStars, ""};
  if (reboot) {
    Append(out, Lines({" Send 'Reboot Command' to Quarn Trasmodulator.", "",
                       " Waiting Bootloader ...", ""}));
  }
  Append(out, Lines({" Send 'Update Command' to Quarn Trasmodulator.", "",
                     " Send " + image + " to Quarn " + (reboot ? "t" : "T") + "rasmodulator.", "",
                     " Initialization transfer ...", "",
                     " Sending " + std::to_string(size) + " bytes.", ""}));
  Append(out, ProgressLines(size, first_event));
  Append(out, Lines({"", " Uploading end.", "", " Now Flashing ...", ""}));
  return out;
}

TEST_F(UpdateTest, CompleteUpdateFromFirmwareModeWithTheBitstream) {
  trasmod::DeviceConfig config;
  config.hardware = "6.5";
  config.new_hardware = "7.0";
  config.firmware = "7.10";
  trasmod::SimDevice& device = AddTrasmod(2, config);
  // A stale file of an earlier run, longer than either image: the upload must not carry any
  // of it.
  std::ofstream(TempPath(), std::ios::binary) << std::string(2000000, 'x');
  const size_t startup = StartWindow();
  ASSERT_TRUE(view_.update_enabled());
  ASSERT_TRUE(window().vars().BitstreamPending);

  const uint64_t t0 = world_.NowMs();
  window().cmdUpdate_Click();
  // The click handler returns once the firmware upload has been started.
  EXPECT_EQ(ToUtf8(view_.update_caption()), "Stop");
  EXPECT_FALSE(window().vars().BitstreamPending);
  ASSERT_TRUE(RunUntilLogHas(" End.", kUpdateLimitMs)) << ToUtf8(view_.log_text());
  const uint64_t took = world_.NowMs() - t0;

  std::vector<std::string> expected =
      Phase(" * Starting bitstream update               *", "Bitstream", true, kBitstreamSize, 1);
  Append(expected, Report("bitstream", "Bitstream programmed", kBitstreamSize));
  Append(expected, Lines({"", " Flashing end."}));
  const int firmware_first_event = (kBitstreamSize + 1023) / 1024 + 1;
  Append(expected, Phase(" * Starting firmware update                *", "Firmware", true,
                         kFirmwareSize, firmware_first_event));
  Append(expected, Report("firmware", "Firmware programmed", kFirmwareSize));
  Append(expected, Lines({"", " Flashing end, now reboot ...", "", " End."}));
  EXPECT_THAT(LogFrom(startup), ElementsAreArray(expected));
  EXPECT_TRUE(view_.log_text().ends_with(u" End.\r\n"));

  // Both images arrived as built in, byte for byte, one after the other.
  const auto& images = device.core().images();
  ASSERT_EQ(images.size(), 2u);
  EXPECT_EQ(images[0].kind, trasmod::ImageKind::kBitstream);
  EXPECT_EQ(images[1].kind, trasmod::ImageKind::kFirmware);
  EXPECT_TRUE(images[0].Unpadded() == BuiltInImage(world_.services(), "BITSTREAM"));
  EXPECT_TRUE(images[1].Unpadded() == BuiltInImage(world_.services(), "FIRMWARE"));
  // A reboot at the start of each phase and the final one.
  EXPECT_EQ(device.core().reboots(), 3);
  EXPECT_EQ(device.core().commands(),
            (std::vector<std::string>{"V", "VERSION", "REBOOT", "B", "REBOOT", "F", "REBOOT"}));
  world_.RunFor(3000);
  EXPECT_EQ(device.core().mode(), trasmod::Mode::kFirmware);
  EXPECT_EQ(device.core().hardware_version(), "7.0");

  // Finished: "Update", disabled for good; the temporary file is gone; no more received-data
  // events.
  EXPECT_EQ(ToUtf8(view_.update_caption()), "Update");
  EXPECT_FALSE(view_.update_enabled());
  EXPECT_FALSE(TempFileExists());
  EXPECT_EQ(window().RS232().get_RThreshold(), 0);
  // The bytes on the wire bound the time from below: 10 bits per byte at 57600 bit/s.
  EXPECT_GT(took, (1465344u + 413696u) * 10u / 57600u * 1000u);
  // Far above it would mean time-outs or retries on a clean line.
  EXPECT_LT(took, 9u * 60u * 1000u);
}

TEST_F(UpdateTest, CompleteUpdateFromBootloaderMode) {
  trasmod::DeviceConfig config;
  config.start_in_bootloader = true;
  config.hardware = "6.5";
  trasmod::SimDevice& device = AddTrasmod(5, config);
  const size_t startup = StartWindow();
  window().cmdUpdate_Click();
  ASSERT_TRUE(RunUntilLogHas(" End.", kUpdateLimitMs)) << ToUtf8(view_.log_text());

  std::vector<std::string> expected =
      Phase(" * Starting bitstream update               *", "Bitstream", false, kBitstreamSize, 1);
  Append(expected, Report("bitstream", "Bitstream programmed", kBitstreamSize));
  Append(expected, Lines({"", " Flashing end."}));
  Append(expected, Phase(" * Starting firmware update                *", "Firmware", false,
                         kFirmwareSize, (kBitstreamSize + 1023) / 1024 + 1));
  Append(expected, Report("firmware", "Firmware programmed", kFirmwareSize));
  Append(expected, Lines({"", " Flashing end, now reboot ...", "", " End."}));
  EXPECT_THAT(LogFrom(startup), ElementsAreArray(expected));
  // No reboot on the way in; only the final one.
  EXPECT_EQ(device.core().commands(), (std::vector<std::string>{"V", "B", "F", "REBOOT"}));
  ASSERT_EQ(device.core().images().size(), 2u);
  EXPECT_TRUE(device.core().images()[1].Unpadded() == BuiltInImage(world_.services(), "FIRMWARE"));
}

TEST_F(UpdateTest, ValidHardwareGetsOnlyTheFirmware) {
  trasmod::DeviceConfig config;
  config.firmware = "7.10";
  trasmod::SimDevice& device = AddTrasmod(1, config);
  const size_t startup = StartWindow();
  ASSERT_FALSE(window().vars().BitstreamPending);
  window().cmdUpdate_Click();
  ASSERT_TRUE(RunUntilLogHas(" End.", kUpdateLimitMs));
  std::vector<std::string> log = LogFrom(startup);
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(log[2], " * Starting firmware update                *");
  EXPECT_FALSE(LogHas(" * Starting bitstream update               *"));
  // The count of block events starts with this upload: lines at blocks 1, 6, 11, ...
  EXPECT_TRUE(LogHas(" Current transfer : 1024 bytes - [ 0% ]"));
  EXPECT_TRUE(LogHas(" Current transfer : 6144 bytes - [ 1% ]"));
  ASSERT_EQ(device.core().images().size(), 1u);
  EXPECT_EQ(device.core().images()[0].kind, trasmod::ImageKind::kFirmware);
  EXPECT_EQ(device.core().firmware_version(), "7.15");
}

TEST_F(UpdateTest, LockedDeviceTakesTheRightPasswordAfterAWrongOne) {
  trasmod::DeviceConfig config;
  config.password = "SECRET7";
  trasmod::SimDevice& device = AddTrasmod(3, config);
  StartWindow();
  RecordingLoginView& login = view_.login();
  LoginWindow& frm = window().frmLogin();
  auto type = [&](const std::string& text) {
    frm.SetFocus(LoginControl::kPassword);  // the operator clicks into the box
    for (char c : text) frm.PressKey(static_cast<char16_t>(c));
    frm.PressKey(kKeyEnter);  // from the box to the button
    frm.PressKey(kKeyEnter);  // on the button
  };
  login.SetOnShow([&] {
    world_.After(300, [&] { type("wrong"); });
    // After the 500 ms exchange and the 1.2 s shake the window takes input again.
    world_.After(2600, [&] { type("secret7"); });
    // A test that goes wrong must not keep the window up for ever.
    world_.After(60000, [&] { frm.Close(); });
  });
  window().cmdUpdate_Click();
  EXPECT_EQ(device.core().passwords_tried(), (std::vector<std::string>{"WRONG", "SECRET7"}));
  EXPECT_TRUE(frm.PasswordOK);
  EXPECT_FALSE(login.visible());
  EXPECT_EQ(login.lefts().size(), 12u) << "one shake";
  ASSERT_TRUE(RunUntilLogHas(" End.", kUpdateLimitMs)) << ToUtf8(view_.log_text());
  EXPECT_EQ(device.core().images().size(), 1u);
}

TEST_F(UpdateTest, SignInAbandonedLocksTheButton) {
  trasmod::DeviceConfig config;
  config.password = "SECRET7";
  trasmod::SimDevice& device = AddTrasmod(3, config);
  StartWindow();
  view_.login().SetOnShow([&] { world_.After(100, [&] { window().frmLogin().Close(); }); });
  window().cmdUpdate_Click();
  EXPECT_THAT(
      view_.log_lines_utf8(),
      ElementsAreArray({std::string(""), kStars,
                        std::string(" * Password invalid, stop firmware update  *"), kStars}));
  EXPECT_FALSE(view_.update_enabled());
  EXPECT_EQ(ToUtf8(view_.update_caption()), "Update");
  EXPECT_EQ(device.core().commands(), (std::vector<std::string>{"V", "VERSION"}));
}

TEST_F(UpdateTest, AStartDuringTheSignInIsRefused) {
  trasmod::DeviceConfig config;
  config.password = "SECRET7";
  AddTrasmod(3, config);
  StartWindow();
  view_.login().SetOnShow([&] {
    world_.After(100, [&] {
      // The button still reads "Update" while the sign-in window is up.
      window().cmdUpdate_Click();
      window().frmLogin().Close();
    });
  });
  window().cmdUpdate_Click();
  EXPECT_EQ(view_.login().show_count(), 1);
  EXPECT_FALSE(window().procedure_running());
}

// ---- Failure exits ----

struct ExitCase {
  const char* name;
  bool bootloader;                // device found in its bootloader
  std::string hardware;           // 6.5: bitstream first
  bool no_prompt;                 // the device never shows its prompt after a reboot
  bool wrong_menu;                // the device answers "B"/"F" with the wrong text
  std::vector<std::string> tail;  // the last log lines
  bool file_left;                 // the temporary file is still there
};

void PrintTo(const ExitCase& c, std::ostream* os) {
  *os << c.name;
}

class ExitTest : public UpdateTest, public ::testing::WithParamInterface<ExitCase> {};

TEST_P(ExitTest, EndsWithItsLinesAndTheButtonReady) {
  const ExitCase& c = GetParam();
  trasmod::DeviceConfig config;
  config.start_in_bootloader = c.bootloader;
  config.hardware = c.hardware;
  config.no_prompt_after_reboot = c.no_prompt;
  config.wrong_menu_reply = c.wrong_menu;
  trasmod::SimDevice& device = AddTrasmod(4, config);
  StartWindow();
  window().cmdUpdate_Click();
  world_.RunFor(2000);
  std::vector<std::string> log = view_.log_lines_utf8();
  ASSERT_GE(log.size(), c.tail.size());
  EXPECT_THAT(
      std::vector<std::string>(log.end() - static_cast<std::ptrdiff_t>(c.tail.size()), log.end()),
      ElementsAreArray(c.tail));
  EXPECT_EQ(ToUtf8(view_.update_caption()), "Update");
  EXPECT_TRUE(view_.update_enabled());
  EXPECT_EQ(TempFileExists(), c.file_left);
  EXPECT_TRUE(device.core().images().empty());
  EXPECT_FALSE(window().procedure_running());
}

const std::vector<std::string> kRebootBitstream = {
    "", " ERROR !!! send 'Reboot Command' to Quarn Trasmodulator.", "",
    " Unable to update the Bitstream."};
const std::vector<std::string> kRebootFirmware = {
    "", " ERROR !!! send 'Reboot Command' to Quarn Trasmodulator.", "",
    " Unable to update the Firmware."};
const std::vector<std::string> kUpdateCommand = {
    "", " ERROR !!! send 'Update Command' to Quarn Trasmodulator.", "",
    " Check power and cable of Quarn Trasmodulator."};

INSTANTIATE_TEST_SUITE_P(
    Exits, ExitTest,
    ::testing::Values(
        ExitCase{"NoPromptBitstream", false, "6.5", true, false, kRebootBitstream, false},
        ExitCase{"NoPromptFirmware", false, "7.0", true, false, kRebootFirmware, false},
        ExitCase{"WrongReplyToB", false, "6.5", false, true, kUpdateCommand, false},
        ExitCase{"WrongReplyToBInBootloader", true, "6.5", false, true, kUpdateCommand, false},
        ExitCase{"WrongReplyToF", false, "7.0", false, true, kUpdateCommand, false},
        ExitCase{"WrongReplyToFInBootloader", true, "7.0", false, true, kUpdateCommand, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(UpdateTest, NoReplyAtAllIsAnUpdateCommandFailure) {
  // The device falls silent once it is in its bootloader: "B" gets "NoData".
  trasmod::DeviceConfig config;
  config.start_in_bootloader = true;
  config.hardware = "6.5";
  trasmod::SimDevice& device = AddTrasmod(4, config);
  StartWindow();
  device.port().SetFault(
      [](sim::Direction dir, uint8_t&) { return dir != sim::Direction::kToProgram; });
  window().cmdUpdate_Click();
  EXPECT_TRUE(LogHas(" ERROR !!! send 'Update Command' to Quarn Trasmodulator."));
  EXPECT_FALSE(TempFileExists());
}

TEST_F(UpdateTest, AModeOfNeitherKindIsAReconnectFailureThatKeepsTheFile) {
  AddTrasmod(4, {});
  StartWindow();
  window().program().DeviceMode = u"Unknown";
  window().cmdUpdate_Click();
  std::vector<std::string> log = view_.log_lines_utf8();
  ASSERT_GE(log.size(), 4u);
  EXPECT_THAT(std::vector<std::string>(log.end() - 4, log.end()),
              ElementsAreArray({"", " ERROR !!! Impossible reconnect to Quarn Trasmodulator.", "",
                                " Check power and cable of Quarn Trasmodulator."}));
  // Left for the unload handler, which removes it.
  EXPECT_TRUE(TempFileExists());
  EXPECT_TRUE(ReadFile(TempPath()) == BuiltInImage(world_.services(), "FIRMWARE"));
  window().Unload();
  EXPECT_FALSE(TempFileExists());
}

TEST_F(UpdateTest, AnImageFileThatCannotBeMadeEndsTheUpdateClearly) {
  trasmod::SimDevice& device = AddTrasmod(4, {});
  StartWindow();
  // Something of that name that is not ours to replace: a folder.
  std::filesystem::create_directory(TempPath());
  window().cmdUpdate_Click();
  std::vector<std::string> log = view_.log_lines_utf8();
  ASSERT_GE(log.size(), 4u);
  EXPECT_THAT(
      std::vector<std::string>(log.end() - 4, log.end()),
      ElementsAreArray(std::vector<std::string>(
          {"", " ERROR !!! Unable to write the temporary file " + temp_.path() + "/temp.tmp.", "",
           " Unable to update the Firmware."})));
  EXPECT_EQ(ToUtf8(view_.update_caption()), "Update");
  EXPECT_TRUE(view_.update_enabled());
  // Nothing was sent to the device.
  EXPECT_EQ(device.core().commands(), (std::vector<std::string>{"V", "VERSION"}));
  EXPECT_TRUE(std::filesystem::is_directory(TempPath()));
}

TEST_F(UpdateTest, ALinkInTheTemporaryFolderNeitherRedirectsNorReceivesTheImage) {
  AddTrasmod(4, {});
  StartWindow();
  const std::string victim = temp_.File("victim");
  std::ofstream(victim) << "keep me";
  std::filesystem::create_symlink(victim, TempPath());
  window().program().DeviceMode = u"Unknown";  // stop right after the file was written
  window().cmdUpdate_Click();
  EXPECT_TRUE(ReadFile(victim) == std::vector<uint8_t>({'k', 'e', 'e', 'p', ' ', 'm', 'e'}));
  EXPECT_FALSE(std::filesystem::is_symlink(TempPath()));
  EXPECT_TRUE(ReadFile(TempPath()) == BuiltInImage(world_.services(), "FIRMWARE"));
}

// ---- Stop and trying again ----

TEST_F(UpdateTest, StopDuringTheBootloaderWait) {
  trasmod::DeviceConfig config;
  config.hardware = "6.5";
  config.no_prompt_after_reboot = true;
  AddTrasmod(4, config);
  const size_t startup = StartWindow();
  // The wait begins after the reboot command's 500 ms.
  world_.After(1500, [&] { window().cmdUpdate_Click(); });
  const uint64_t t0 = world_.NowMs();
  window().cmdUpdate_Click();
  // Ended by the click, long before the wait's own limit.
  EXPECT_LT(world_.NowMs() - t0, 2000u);
  std::vector<std::string> expected = {"",
                                       kStars,
                                       " * Starting bitstream update               *",
                                       kStars,
                                       "",
                                       " Send 'Reboot Command' to Quarn Trasmodulator.",
                                       "",
                                       " Waiting Bootloader ...",
                                       "",
                                       kStars,
                                       " * Stop firmware update                    *",
                                       kStars};
  Append(expected, kRebootBitstream);
  EXPECT_THAT(LogFrom(startup), ElementsAreArray(expected));
  EXPECT_FALSE(TempFileExists());
  EXPECT_EQ(ToUtf8(view_.update_caption()), "Update");
}

TEST_F(UpdateTest, StopDuringTheBitstreamUploadEndsTheProcedureAndAFreshStartCompletes) {
  trasmod::DeviceConfig config;
  config.hardware = "6.5";
  trasmod::SimDevice& device = AddTrasmod(4, config);
  StartWindow();
  // 30 s into the update the bitstream is on its way.
  world_.After(30000, [&] { window().cmdUpdate_Click(); });
  window().cmdUpdate_Click();
  // The click handler came back without going on to the firmware.
  EXPECT_FALSE(LogHas(" * Starting firmware update                *"));
  EXPECT_TRUE(LogHas(" * Stop firmware update                    *"));
  EXPECT_TRUE(LogHas(" Aborting Update."));
  EXPECT_TRUE(window().vars().BitstreamPending);
  EXPECT_EQ(ToUtf8(view_.update_caption()), "Update");
  EXPECT_FALSE(window().procedure_running());
  EXPECT_TRUE(device.core().images().empty());

  // The device got the cancel and waits at its prompt again; a new start goes through.
  world_.RunFor(3000);
  window().cmdUpdate_Click();
  ASSERT_TRUE(RunUntilLogHas(" End.", kUpdateLimitMs)) << ToUtf8(view_.log_text());
  ASSERT_EQ(device.core().images().size(), 2u);
  EXPECT_TRUE(device.core().images()[0].Unpadded() == BuiltInImage(world_.services(), "BITSTREAM"));
}

TEST_F(UpdateTest, AnUploadAbortedByTheDeviceEndsTheWait) {
  // Power fails in the device during the bitstream upload: it restarts its firmware, and
  // the upload gets no more acknowledgements.
  trasmod::DeviceConfig config;
  config.start_in_bootloader = true;
  config.hardware = "6.5";
  config.reboot_during_upload = 10;
  AddTrasmod(4, config);
  StartWindow();
  window().cmdUpdate_Click();
  std::vector<std::string> tail;
  for (int i = 1; i <= 4; ++i) {
    Append(tail,
           {"", " WARNING !!! No response and timeout, try again (" + std::to_string(i) + ") ..."});
  }
  Append(tail, {"", " ERROR !!! Maximum timeouts reached, action terminated.", "", "",
                " Aborting Update."});
  std::vector<std::string> log = view_.log_lines_utf8();
  ASSERT_GE(log.size(), tail.size());
  EXPECT_THAT(
      std::vector<std::string>(log.end() - static_cast<std::ptrdiff_t>(tail.size()), log.end()),
      ElementsAreArray(tail));
  EXPECT_FALSE(LogHas(" * Starting firmware update                *"));
  EXPECT_EQ(ToUtf8(view_.update_caption()), "Update");
  EXPECT_TRUE(view_.update_enabled());
  EXPECT_FALSE(window().procedure_running());
  // The file stays until the window closes.
  EXPECT_TRUE(TempFileExists());
  window().Unload();
  EXPECT_FALSE(TempFileExists());
}

}  // namespace
}  // namespace updater::testing
