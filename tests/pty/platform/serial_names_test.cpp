// How the posix serial service turns the control's device names into devices, and which
// devices it refuses.
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "platform/posix/posix_backend.h"
#include "tests/support/fd_io.h"
#include "tests/support/pty_pair.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"

namespace {

using platform::posix::DefaultSerialDevices;
using platform::posix::DeviceRoots;
using platform::posix::SerialDevicePath;
using testsupport::PtyPair;
using testsupport::ScopedEnv;
using testsupport::TempDir;

TEST(SerialNames, MapsControlNamesToDevicePaths) {
  ScopedEnv defaults("CHANFOLD_COM_DEFAULTS", "0");
  ScopedEnv com1("CHANFOLD_COM1", "/dev/pts/71");
  ScopedEnv com10("CHANFOLD_COM10", "/dev/pts/72");
  ScopedEnv com2("CHANFOLD_COM2", std::nullopt);
  ScopedEnv com3("CHANFOLD_COM3", "");  // set but empty: the port is hidden
  struct Case {
    const char* name;
    const char* path;
  } cases[] = {
      {"\\\\.\\COM1", "/dev/pts/71"},
      {"COM1", "/dev/pts/71"},
      {"\\\\.\\com1", "/dev/pts/71"},
      {"\\\\.\\COM10", "/dev/pts/72"},
      {"\\\\.\\cOm10", "/dev/pts/72"},
      {"\\\\.\\/dev/ttyUSB0", "/dev/ttyUSB0"},
      {"/dev/ttyACM3", "/dev/ttyACM3"},
      {"\\\\.\\COM2", ""},
      {"\\\\.\\COM3", ""},
      {"\\\\.\\COM0", ""},
      {"\\\\.\\COM01", ""},
      {"\\\\.\\COM", ""},
      {"\\\\.\\COM1x", ""},
      {"\\\\.\\COM 1", ""},
      {"\\\\.\\COM-1", ""},
      {"\\\\.\\COM99999999999", ""},
      {"\\\\.\\LPT1", ""},
      {"\\\\.\\", ""},
      {"", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SerialDevicePath(c.name), c.path) << "name " << c.name;
  }
}

// A /dev and /sys of our own, with what a PC with two USB adapters, a modem-class device and
// three 8250 nodes (one real UART, one empty node, one serving as the console) shows.
class DefaultOrder : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(tmp_.ok());
    roots_.dev = tmp_.File("dev");
    roots_.sys = tmp_.File("sys");
    ASSERT_EQ(mkdir(roots_.dev.c_str(), 0755), 0);
    for (const char* n : {"ttyUSB10", "ttyUSB2", "ttyACM0", "ttyS0", "ttyS1", "ttyS2", "ttyS10",
                          "ttyUSBx", "tty5"}) {
      Touch(roots_.dev + "/" + n);
    }
    std::string by_id = roots_.dev + "/serial/by-id";
    ASSERT_EQ(system(("mkdir -p " + by_id).c_str()), 0);
    ASSERT_EQ(symlink("../../ttyUSB10", (by_id + "/usb-FTDI_FT232R_A9XK3").c_str()), 0);
    ASSERT_EQ(symlink("../../ttyACM0", (by_id + "/usb-Arduino_Uno_7533").c_str()), 0);
    ASSERT_EQ(symlink("../../ttyUSB7", (by_id + "/usb-Gone_Adapter").c_str()), 0);  // dangling
    SysType("ttyS0", "4");
    SysType("ttyS1", "0");
    SysType("ttyS2", "4");
    SysType("ttyS10", "4");
    std::ofstream(roots_.sys + "/class/tty/console/active") << "tty0 ttyS2\n";
  }

  void Touch(const std::string& path) { std::ofstream(path).put('x'); }
  void SysType(const std::string& tty, const char* type) {
    std::string dir = roots_.sys + "/class/tty/" + tty;
    ASSERT_EQ(system(("mkdir -p " + dir + " " + roots_.sys + "/class/tty/console").c_str()), 0);
    std::ofstream(dir + "/type") << type << "\n";
  }

  TempDir tmp_;
  DeviceRoots roots_;
};

TEST_F(DefaultOrder, ByIdThenUsbThenRealUartsWithoutDuplicatesOrConsole) {
  std::vector<std::string> expected = {
      roots_.dev + "/serial/by-id/usb-Arduino_Uno_7533",
      roots_.dev + "/serial/by-id/usb-FTDI_FT232R_A9XK3",
      roots_.dev + "/ttyUSB2",  // ttyUSB10 and ttyACM0 are listed through their by-id links
      roots_.dev + "/ttyS0",
      roots_.dev + "/ttyS10",  // ttyS1 has no UART, ttyS2 is the console
  };
  EXPECT_EQ(DefaultSerialDevices(roots_), expected);
  EXPECT_EQ(DefaultSerialDevices(roots_), expected) << "the order must be stable";
}

TEST_F(DefaultOrder, NumbersComPortsAndYieldsToTheEnvironment) {
  ScopedEnv defaults("CHANFOLD_COM_DEFAULTS", std::nullopt);
  ScopedEnv com1("CHANFOLD_COM1", std::nullopt);
  ScopedEnv com3("CHANFOLD_COM3", std::nullopt);
  ScopedEnv com6("CHANFOLD_COM6", std::nullopt);
  ScopedEnv com4("CHANFOLD_COM4", "/dev/pts/9");
  EXPECT_EQ(SerialDevicePath("\\\\.\\COM1", roots_),
            roots_.dev + "/serial/by-id/usb-Arduino_Uno_7533");
  EXPECT_EQ(SerialDevicePath("\\\\.\\COM3", roots_), roots_.dev + "/ttyUSB2");
  EXPECT_EQ(SerialDevicePath("\\\\.\\COM4", roots_), "/dev/pts/9");
  EXPECT_EQ(SerialDevicePath("\\\\.\\COM6", roots_), "");
  {
    ScopedEnv off("CHANFOLD_COM_DEFAULTS", "0");
    EXPECT_EQ(SerialDevicePath("\\\\.\\COM1", roots_), "");
    EXPECT_EQ(SerialDevicePath("\\\\.\\COM4", roots_), "/dev/pts/9");
  }
}

// COM1 and COM10 each reach their own pty: a two-digit number is not read as COM1.
TEST(SerialNames, Com1AndCom10OpenTheirOwnPty) {
  PtyPair one, ten;
  ASSERT_TRUE(one.ok() && ten.ok());
  ScopedEnv defaults("CHANFOLD_COM_DEFAULTS", "0");
  ScopedEnv com1("CHANFOLD_COM1", one.slave_path());
  ScopedEnv com10("CHANFOLD_COM10", ten.slave_path());
  auto ports = platform::posix::NewSerialPorts();
  auto dev1 = ports->Open("\\\\.\\COM1");
  auto dev10 = ports->Open("\\\\.\\COM10");
  ASSERT_NE(dev1, nullptr);
  ASSERT_NE(dev10, nullptr);
  uint32_t n = 0;
  const uint8_t a[] = {'o', 'n', 'e'};
  const uint8_t b[] = {'t', 'e', 'n'};
  EXPECT_EQ(dev1->Write(a, 3, 500, &n), platform::IoStatus::kDone);
  EXPECT_EQ(dev10->Write(b, 3, 500, &n), platform::IoStatus::kDone);
  EXPECT_EQ(testsupport::ReadFor(one.master(), 3, 1000), std::vector<uint8_t>(a, a + 3));
  EXPECT_EQ(testsupport::ReadFor(ten.master(), 3, 1000), std::vector<uint8_t>(b, b + 3));
}

// Only a tty is a port: everything else that can be opened is refused.
TEST(SerialNames, RefusesWhatIsNotAPort) {
  TempDir tmp;
  ASSERT_TRUE(tmp.ok());
  std::string file = tmp.File("regular");
  std::ofstream(file) << "not a port";
  std::string fifo = tmp.File("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  ScopedEnv defaults("CHANFOLD_COM_DEFAULTS", "0");
  ScopedEnv com7("CHANFOLD_COM7", std::nullopt);
  ScopedEnv com8("CHANFOLD_COM8", file);
  auto ports = platform::posix::NewSerialPorts();
  for (std::string name :
       {file, tmp.path(), fifo, std::string("/dev/null"), tmp.File("missing"),
        std::string("\\\\.\\COM7"), std::string("\\\\.\\COM8"), std::string("\\\\.\\NUL")}) {
    EXPECT_EQ(ports->Open(name), nullptr) << name;
  }
}

}  // namespace
