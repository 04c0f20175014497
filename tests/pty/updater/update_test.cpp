// quarn-updater updating trasmod-sim in real time, driven through its standard input: the
// whole job over a line paced at 57600 bit/s (about five and a half minutes), and the
// sign-in to a locked device followed by closing the window in the middle of the upload.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "child_process.h"
#include "tests/support/temp_dir.h"

namespace updater::pty_testing {
namespace {

const std::string kUpdater = CHANFOLD_BINARY_DIR "/updater/console/quarn-updater";
const std::string kTrasmod = CHANFOLD_BINARY_DIR "/tools/trasmod-sim/trasmod-sim";
const std::string kLinesim = CHANFOLD_BINARY_DIR "/tools/linesim/linesim";
const std::string kImages = CHANFOLD_SOURCE_DIR "/updater/images";

// The start-up costs a second for a device in firmware mode; the rest is for a loaded machine.
constexpr int kStartUpMs = 15000;
// The two images take 327 s on the line at 57600 bit/s, the reboots and flashings about 10 s
// more; the rest of this limit is for a loaded machine.
constexpr int kUpdateMs = 10 * 60 * 1000;
// The end of the program once told to close: the unload handler and, during an upload, the
// upload's stop (one reply time of the device).
constexpr int kExitMs = 10000;
constexpr int kDeviceStartMs = 5000;
// A sign-in is one exchange of half a second; a wrong password adds the 1.2 s shake.
constexpr int kSignInMs = 10000;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string FileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class UpdateRealTimeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(access(kUpdater.c_str(), X_OK), 0) << kUpdater << ": build target quarn-updater";
    ASSERT_EQ(access(kTrasmod.c_str(), X_OK), 0) << kTrasmod << ": build target trasmod-sim";
    ASSERT_TRUE(dir_.ok());
  }

  std::string StartDevice(std::vector<std::string> options) {
    std::vector<std::string> args = {"--pty", "--save-dir", dir_.path()};
    args.insert(args.end(), options.begin(), options.end());
    if (!device_.Start(kTrasmod, args)) return "";
    if (!device_.WaitForOutput("\n", kDeviceStartMs)) return "";
    const std::string& out = device_.output();
    if (out.rfind("PTY ", 0) != 0) return "";
    return out.substr(4, out.find('\n') - 4);
  }
  void StartUpdater(const std::string& pty) {
    // Its temporary image file goes to a folder of this test.
    ASSERT_TRUE(updater_.Start(
        kUpdater, {},
        {{"CHANFOLD_COM_DEFAULTS", "0"}, {"CHANFOLD_COM1", pty}, {"TMPDIR", dir_.path()}}));
    ASSERT_TRUE(updater_.WaitForOutput("@ frmMain visible=1\n", kStartUpMs))
        << updater_.output() << updater_.errors();
  }
  bool Has(const std::string& line) {
    std::vector<std::string> lines = Lines(updater_.output());
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }

  testsupport::TempDir dir_;
  ChildProcess device_;
  ChildProcess updater_;
  ChildProcess line_;
};

TEST_F(UpdateRealTimeTest, TheWholeUpdateAt57600) {
  // A pty alone carries bytes as fast as they are written; linesim paces them at 57600 bit/s
  // 8N1 as the device's line does. The device is on its A end, the updater on its B end.
  ASSERT_EQ(access(kLinesim.c_str(), X_OK), 0) << kLinesim << ": build target linesim";
  ASSERT_TRUE(line_.Start(kLinesim, {"--baud", "57600"}));
  // Both lines, each with its line end, before either path is used.
  for (int waited = 0; std::count(line_.output().begin(), line_.output().end(), '\n') < 2;
       waited += 50) {
    ASSERT_LT(waited, kDeviceStartMs) << line_.output() << line_.errors();
    line_.WaitForOutput("(the line end of B)", 50);
  }
  std::vector<std::string> ends = Lines(line_.output());
  ASSERT_GE(ends.size(), 2u);
  ASSERT_EQ(ends[0].rfind("A ", 0), 0u);
  ASSERT_EQ(ends[1].rfind("B ", 0), 0u);
  ASSERT_TRUE(device_.Start(kTrasmod, {"--port", ends[0].substr(2), "--baud", "57600", "--save-dir",
                                       dir_.path(), "--hardware", "6.5", "--new-hardware", "7.0",
                                       "--firmware", "7.10", "--exit-after-update"}));
  // The device opens its end at once and says nothing; the updater's first "V" must find it.
  usleep(500 * 1000);
  StartUpdater(ends[1].substr(2));
  ASSERT_TRUE(Has("@ cmdUpdate enabled=1"));
  const uint64_t t0 = testsupport::NowMs();
  ASSERT_TRUE(updater_.WriteStdin("update\n"));
  ASSERT_TRUE(updater_.WaitForOutput("\n End.\n", kUpdateMs))
      << updater_.output() << updater_.errors();
  const uint64_t took = testsupport::NowMs() - t0;
  ASSERT_TRUE(updater_.WriteStdin("close\n"));
  EXPECT_EQ(updater_.Wait(kExitMs), 0) << updater_.errors();
  // The device ends once its new firmware runs, after the final reboot.
  EXPECT_EQ(device_.Wait(kExitMs), 0) << device_.errors();

  std::vector<std::string> lines = Lines(updater_.output());
  // The road of the update, in order.
  const std::vector<std::string> road = {" * Starting bitstream update               *",
                                         " Send 'Reboot Command' to Quarn Trasmodulator.",
                                         " Waiting Bootloader ...",
                                         " Send Bitstream to Quarn trasmodulator.",
                                         " Sending 1464880 bytes.",
                                         " Current transfer : 1464880 bytes - [ 100% ]",
                                         " Uploading end.",
                                         "Bitstream programmed",
                                         " Flashing end.",
                                         " * Starting firmware update                *",
                                         " Send Firmware to Quarn trasmodulator.",
                                         " Sending 412936 bytes.",
                                         " Uploading end.",
                                         "Firmware programmed",
                                         " Flashing end, now reboot ...",
                                         " End.",
                                         "@ cmdUpdate enabled=0"};
  auto next = lines.begin();
  for (const std::string& step : road) {
    next = std::find(next, lines.end(), step);
    ASSERT_NE(next, lines.end()) << "missing or out of order: " << step;
    ++next;
  }
  EXPECT_FALSE(Has(" Aborting Update."));
  EXPECT_EQ(updater_.errors(), "");
  // Both images arrived byte for byte; the temporary file is gone.
  EXPECT_TRUE(FileText(dir_.File("bitstream-1.bin")) == FileText(kImages + "/bitstream.bin"));
  EXPECT_TRUE(FileText(dir_.File("firmware-1.bin")) == FileText(kImages + "/firmware.bin"));
  EXPECT_FALSE(std::filesystem::exists(dir_.File("temp.tmp")));
  // The bytes on the wire bound the time from below: 1835 blocks of 1029 bytes, 10 bits each.
  const uint64_t line_ms = 1835ull * 1029 * 10 * 1000 / 57600;
  EXPECT_GT(took, line_ms);
  // Far above it would mean time-outs or repeated blocks on a clean line.
  EXPECT_LT(took, line_ms * 3 / 2);
  std::cout << "update took " << took << " ms; line time of the images " << line_ms << " ms\n";
}

TEST_F(UpdateRealTimeTest, SignInWithAWrongThenTheRightPasswordThenCloseDuringTheUpload) {
  std::string pty = StartDevice({"--password", "SECRET7", "--log"});
  ASSERT_FALSE(pty.empty()) << device_.output() << device_.errors();
  StartUpdater(pty);
  ASSERT_TRUE(Has(" Password is required to continue upgrade."));
  // Both tries at once: the second waits until the window takes input again after the shake.
  ASSERT_TRUE(updater_.WriteStdin("update\nwr-ng\nsecret7\n"));
  ASSERT_TRUE(updater_.WaitForOutput("@ frmLogin visible=0\n", kSignInMs))
      << updater_.output() << updater_.errors();
  // The box showed the characters masked; the device got them filtered and upper-cased.
  EXPECT_TRUE(Has("@ txtPassword text=****"));
  EXPECT_TRUE(Has("@ txtPassword text=*******"));
  device_.WaitForOutput("(collect the device's log)", 300);
  EXPECT_NE(device_.errors().find("VERIFYPASSWORD WRNG"), std::string::npos) << device_.errors();
  EXPECT_NE(device_.errors().find("VERIFYPASSWORD SECRET7"), std::string::npos);
  // One shake: twelve steps, the last back at the rest position.
  std::vector<std::string> moves;
  for (const std::string& line : Lines(updater_.output())) {
    if (line.rfind("@ frmLogin left=", 0) == 0) moves.push_back(line);
  }
  ASSERT_EQ(moves.size(), 12u);
  EXPECT_EQ(moves.front(), "@ frmLogin left=4120");
  EXPECT_EQ(moves.back(), "@ frmLogin left=4320");

  ASSERT_TRUE(updater_.WaitForOutput(" Current transfer : 1024 bytes", kSignInMs))
      << updater_.output();
  ASSERT_TRUE(updater_.WriteStdin("close\n"));
  EXPECT_EQ(updater_.Wait(kExitMs), 0) << updater_.errors();
  EXPECT_TRUE(Has(" Aborting Update.")) << "closing stops the upload";
  EXPECT_FALSE(std::filesystem::exists(dir_.File("temp.tmp")));
}

}  // namespace
}  // namespace updater::pty_testing
