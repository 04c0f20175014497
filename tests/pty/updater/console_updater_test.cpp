// quarn-updater in real time: against trasmod-sim on a pty (pointed to by CHANFOLD_COMn), and
// against ptys that nobody answers, driven through its standard input.
#include <gtest/gtest.h>
#include <pty.h>

#include <sstream>

#include "child_process.h"

namespace updater::pty_testing {
namespace {

const std::string kUpdater = CHANFOLD_BINARY_DIR "/updater/console/quarn-updater";
const std::string kTrasmod = CHANFOLD_BINARY_DIR "/tools/trasmod-sim/trasmod-sim";

// The start-up costs half a second per port that opens (one more for a device in firmware
// mode); the rest of this limit is for a loaded machine.
constexpr int kStartUpMs = 15000;
// Closing is the unload handler and the end of the program: milliseconds.
constexpr int kExitMs = 5000;
// trasmod-sim makes its pty and prints its name at once.
constexpr int kDeviceStartMs = 5000;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool Executable(const std::string& path) {
  return access(path.c_str(), X_OK) == 0;
}

class ConsoleUpdaterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Executable(kUpdater)) << kUpdater << " is missing: build target quarn-updater";
    ASSERT_TRUE(Executable(kTrasmod)) << kTrasmod << " is missing: build target trasmod-sim";
  }

  // Starts the simulated device on a pty; returns the pty's path.
  std::string StartDevice(const std::vector<std::string>& options) {
    std::vector<std::string> args = {"--pty"};
    args.insert(args.end(), options.begin(), options.end());
    if (!device_.Start(kTrasmod, args)) return "";
    if (!device_.WaitForOutput("\n", kDeviceStartMs)) return "";
    const std::string& out = device_.output();
    if (out.rfind("PTY ", 0) != 0) return "";
    return out.substr(4, out.find('\n') - 4);
  }

  // Starts the updater with only the given COM ports mapped.
  void StartUpdater(const std::map<std::string, std::string>& ports) {
    std::map<std::string, std::string> env = ports;
    env["CHANFOLD_COM_DEFAULTS"] = "0";  // no port of this machine takes part
    ASSERT_TRUE(updater_.Start(kUpdater, {}, env));
  }

  ChildProcess device_;
  ChildProcess updater_;
};

TEST_F(ConsoleUpdaterTest, FirmwareDeviceGivesTheWholeTranscriptAndCloseEndsIt) {
  std::string pty = StartDevice({});
  ASSERT_FALSE(pty.empty()) << device_.output() << device_.errors();
  uint64_t t0 = testsupport::NowMs();
  StartUpdater({{"CHANFOLD_COM3", pty}});
  ASSERT_TRUE(updater_.WaitForOutput("@ frmMain visible=1\n", kStartUpMs))
      << updater_.output() << updater_.errors();
  uint64_t took = testsupport::NowMs() - t0;
  ASSERT_TRUE(updater_.WriteStdin("close\n"));
  EXPECT_EQ(updater_.Wait(kExitMs), 0) << updater_.errors();

  const std::vector<std::string> expected = {
      "@ frmMain caption=Quarn Firmware Updater to Version 7.15",
      "@ frmMain icon=Quarn",
      " ***************************************************",
      " * Quarn Firmware Updater to Version 7.15",
      " ***************************************************",
      "",
      " Update from Firmware Mode.",
      "",
      " Quarn Trasmodulator Connected on COM3.",
      "",
      " Hardware Version : 7.0",
      " Software Version : 7.15",
      "",
      "@ lblHardware caption=7.0 color=green",
      " Hardware is Valid for New Firmware.",
      "",
      "@ cmdUpdate enabled=1",
      " Firmware is the same of Update ... Reflashing.",
      "",
      " Press button Update to start procedure.",
      "@ lblSoftware caption=7.15 color=green",
      "@ frmMain visible=1"};
  EXPECT_EQ(Lines(updater_.output()), expected);
  EXPECT_EQ(updater_.errors(), "");
  // Two exchanges of half a second with the device; the other ports are not there.
  EXPECT_GE(took, 1000u);
  EXPECT_LT(took, 3000u);
}

TEST_F(ConsoleUpdaterTest, BootloaderDeviceWithOldHardwareAndTheEndOfInput) {
  std::string pty = StartDevice({"--bootloader", "--hardware", "6.5"});
  ASSERT_FALSE(pty.empty()) << device_.output() << device_.errors();
  StartUpdater({{"CHANFOLD_COM12", pty}});
  ASSERT_TRUE(updater_.WaitForOutput("@ frmMain visible=1\n", kStartUpMs)) << updater_.output();
  ASSERT_TRUE(updater_.WriteStdin("update\n"));
  updater_.CloseStdin();  // the end of the input closes the window
  EXPECT_EQ(updater_.Wait(kExitMs), 0) << updater_.errors();

  std::vector<std::string> lines = Lines(updater_.output());
  auto has = [&](const std::string& l) {
    return std::find(lines.begin(), lines.end(), l) != lines.end();
  };
  EXPECT_TRUE(has(" Update from Bootloader Mode."));
  EXPECT_TRUE(has(" Quarn Trasmodulator Connected on COM12."));
  EXPECT_TRUE(has(" Hardware Version : 6.5"));
  EXPECT_TRUE(has("@ lblHardware caption=6.5 color=red"));
  EXPECT_TRUE(has(" Hardware is not Valid for New Firmware, need upgrade."));
  EXPECT_TRUE(has("@ cmdUpdate enabled=1"));
  EXPECT_FALSE(has("@ lblSoftware caption=None color=black")) << "lblSoftware keeps N.D.";
  EXPECT_EQ(updater_.errors(), "") << "update was accepted";
}

TEST_F(ConsoleUpdaterTest, UnsupportedHardwareShowsTheBoxAndEndsWithStatus2) {
  std::string pty = StartDevice({"--hardware-type", "2"});
  ASSERT_FALSE(pty.empty()) << device_.output() << device_.errors();
  StartUpdater({{"CHANFOLD_COM1", pty}});
  updater_.CloseStdin();
  EXPECT_EQ(updater_.Wait(kStartUpMs), 2) << updater_.output() << updater_.errors();

  const std::vector<std::string> expected = {
      "@ frmMain caption=Quarn Firmware Updater to Version 7.15",
      "@ frmMain icon=Quarn",
      "@ MsgBox title=Hardware Error !!!",
      "@ MsgBox text=This software does not support the connected device.",
      "@ MsgBox text=Contact your device manufacturer for support.",
      "@ MsgBox text=",
      "@ MsgBox text=The updater program will be terminated."};
  EXPECT_EQ(Lines(updater_.output()), expected);
}

TEST_F(ConsoleUpdaterTest, NoDeviceAndAnUpdateThatCannotBePressed) {
  StartUpdater({});
  ASSERT_TRUE(updater_.WaitForOutput("@ frmMain visible=1\n", kStartUpMs)) << updater_.output();
  ASSERT_TRUE(updater_.WriteStdin("update\nfrobnicate\nclose\n"));
  EXPECT_EQ(updater_.Wait(kExitMs), 0);
  const std::vector<std::string> expected = {
      "@ frmMain caption=Quarn Firmware Updater to Version 7.15",
      "@ frmMain icon=Quarn",
      " ***************************************************",
      " * Quarn Firmware Updater to Version 7.15",
      " ***************************************************",
      "@ lblHardware caption=None color=black",
      "@ lblSoftware caption=None color=black",
      "",
      " This update version is not valid for connected hardware.",
      "",
      "@ frmMain visible=1"};
  EXPECT_EQ(Lines(updater_.output()), expected);
  EXPECT_EQ(updater_.errors(),
            "cmdUpdate is disabled\nunknown command: frobnicate (update, close)\n");
}

TEST_F(ConsoleUpdaterTest, EveryPortThatOpensCostsHalfASecond) {
  // Four ptys that nobody answers: each is opened, asked "V" and waited on once.
  std::vector<std::pair<int, int>> ptys;
  std::map<std::string, std::string> ports;
  for (int n = 1; n <= 4; ++n) {
    int master = -1, slave = -1;
    char name[128] = {};
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    ptys.emplace_back(master, slave);
    ports["CHANFOLD_COM" + std::to_string(n * 4)] = name;
  }
  uint64_t t0 = testsupport::NowMs();
  StartUpdater(ports);
  ASSERT_TRUE(updater_.WaitForOutput("@ frmMain visible=1\n", kStartUpMs)) << updater_.output();
  uint64_t took = testsupport::NowMs() - t0;
  updater_.CloseStdin();
  EXPECT_EQ(updater_.Wait(kExitMs), 0);
  EXPECT_GE(took, 2000u);
  EXPECT_LT(took, 4000u);
  for (auto [master, slave] : ptys) {
    std::vector<uint8_t> probe = testsupport::ReadFor(master, 3, 100);
    EXPECT_EQ(std::string(probe.begin(), probe.end()), "V\r\n");
    close(master);
    close(slave);
  }
}

}  // namespace
}  // namespace updater::pty_testing
