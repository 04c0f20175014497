// The device on a simulated COM port at 57600 bit/s, talked to through the port as a program
// would: identification, and a whole update of the two built-in images.
#include "tools/trasmod-sim/sim_device.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "platform/sim/sim_world.h"
#include "tests/sim/trasmod/trasmod_fixture.h"

namespace trasmod::testing {
namespace {

// The program's end of the port, with the waits the updater uses.
class Pc {
 public:
  Pc(sim::SimWorld& world, const std::string& name) : world_(world) {
    dev_ = world.Open("\\\\.\\" + name);
    EXPECT_NE(dev_, nullptr);
    platform::Dcb dcb;
    platform::BuildCommDcb("57600,N,8,1", &dcb);
    dcb.flags |= platform::dcb::kBinary;
    EXPECT_TRUE(dev_->SetCommState(dcb));
  }
  void Write(std::string_view text) {
    Write(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  }
  void Write(const uint8_t* data, size_t n) {
    uint32_t done = 0;
    ASSERT_EQ(dev_->Write(data, static_cast<uint32_t>(n), 5000, &done), platform::IoStatus::kDone);
    ASSERT_EQ(done, n);
  }
  // Everything waiting in the input queue.
  std::string ReadAll() {
    uint32_t errors = 0, queued = 0;
    dev_->ClearCommError(&errors, &queued);
    std::string out(queued, '\0');
    uint32_t got = 0;
    if (queued > 0) dev_->Read(reinterpret_cast<uint8_t*>(out.data()), queued, 0, &got);
    out.resize(got);
    return out;
  }
  // Writes, sleeps as the updater's command exchange does, returns what came.
  std::string Command(std::string_view text, uint32_t ms = 500) {
    Write(text);
    world_.Sleep(ms);
    return ReadAll();
  }
  // The next byte within wait_ms, or -1.
  int ReadByte(uint32_t wait_ms) {
    uint8_t b = 0;
    uint32_t got = 0;
    dev_->Read(&b, 1, wait_ms, &got);
    return got == 1 ? b : -1;
  }
  void Close() { dev_.reset(); }

 private:
  sim::SimWorld& world_;
  std::unique_ptr<platform::SerialDevice> dev_;
};

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// The updater's XModem-1K upload: wait for "C", 1024-byte blocks (128-byte ones for a last
// block of at most 128 bytes), each acknowledged, then EOT.
void Upload(Pc& pc, const std::vector<uint8_t>& file) {
  int c = -1;
  for (int i = 0; i < 3 && c != 'C'; ++i) c = pc.ReadByte(5000);
  ASSERT_EQ(c, 'C');
  uint8_t number = 1;
  for (size_t pos = 0; pos < file.size(); ++number) {
    size_t left = file.size() - pos;
    size_t len = left <= 128 ? 128 : 1024;
    size_t take = std::min(left, len);
    std::vector<uint8_t> block =
        Block(number, std::vector<uint8_t>(file.begin() + pos, file.begin() + pos + take), len);
    pc.ReadAll();  // the sender purges its input before each block
    pc.Write(block.data(), block.size());
    ASSERT_EQ(pc.ReadByte(5000), kAck) << "block " << int{number};
    pos += take;
  }
  const uint8_t eot = kEot;
  pc.Write(&eot, 1);
  ASSERT_EQ(pc.ReadByte(5000), kAck);
}

// Collects the device's report up to the prompt, as the updater's 500 ms reader would.
std::string ReadReport(sim::SimWorld& world, Pc& pc) {
  std::string text;
  for (int i = 0; i < 40 && text.find('>') == std::string::npos; ++i) {
    world.Sleep(500);
    text += pc.ReadAll();
  }
  return text;
}

std::string Bootloader(sim::SimWorld& world, Pc& pc) {
  pc.Command("REBOOT\r\n");
  std::string seen;
  for (int i = 0; i < 100 && seen.find('>') == std::string::npos; ++i) {
    pc.Write("\x1a");
    world.Sleep(50);
    seen += pc.ReadAll();
  }
  return seen;
}

TEST(SimDevice, IdentificationOverTheLine) {
  sim::SimWorld world;
  sim::SimPort& port = world.AddPort("COM4");
  port.SetLineTiming(true);
  DeviceConfig config;
  config.password = "PW";
  SimDevice device(port, config);
  Pc pc(world, "COM4");

  EXPECT_EQ(pc.Command("V\r\n"), "ERROR\r\n");
  auto fields = VersionFields(pc.Command("VERSION\r\n"));
  ASSERT_EQ(fields.size(), 12u);
  EXPECT_EQ(fields[0], "Zandor Ltd");
  EXPECT_EQ(fields[9], "SECUREACCESS");
  EXPECT_EQ(pc.Command("VERIFYPASSWORD PW\r\n"), "OK\r\n");

  // The device reboots on its own while the program has the port closed.
  pc.Write("REBOOT\r\n");
  pc.Close();
  world.Sleep(2000);
  Pc again(world, "COM4");
  EXPECT_EQ(device.core().reboots(), 1);
  EXPECT_EQ(device.core().mode(), Mode::kFirmware);
  EXPECT_EQ(again.Command("V\r\n"), "ERROR\r\n");
}

TEST(SimDevice, WholeUpdateOfTheBuiltInImages) {
  const std::string dir = std::string(CHANFOLD_SOURCE_DIR) + "/updater/images/";
  const std::vector<uint8_t> bitstream = ReadFile(dir + "bitstream.bin");
  const std::vector<uint8_t> firmware = ReadFile(dir + "firmware.bin");
  ASSERT_EQ(bitstream.size(), 1464880u);
  ASSERT_EQ(firmware.size(), 412936u);
  // Stripping the padding gives the images back only because they do not end in 0x1A.
  ASSERT_NE(bitstream.back(), kSub);
  ASSERT_NE(firmware.back(), kSub);

  sim::SimWorld world;
  sim::SimPort& port = world.AddPort("COM2");
  port.SetLineTiming(true);
  DeviceConfig config;
  config.hardware = "6.5";
  config.firmware = "7.10";
  SimDevice device(port, config);
  Pc pc(world, "COM2");

  ASSERT_NE(Bootloader(world, pc).find('>'), std::string::npos);
  EXPECT_NE(pc.Command("B").find(kRebootedB), std::string::npos);
  Upload(pc, bitstream);
  std::string report = ReadReport(world, pc);
  EXPECT_NE(report.find("Bitstream programmed\r\n" + std::string(kPrompt)), std::string::npos)
      << report;

  ASSERT_NE(Bootloader(world, pc).find('>'), std::string::npos);
  EXPECT_NE(pc.Command("F").find(kFirmwareF), std::string::npos);
  Upload(pc, firmware);
  report = ReadReport(world, pc);
  EXPECT_NE(report.find("Firmware programmed\r\n" + std::string(kPrompt)), std::string::npos)
      << report;

  pc.Command("REBOOT\r\n", 2000);
  auto fields = VersionFields(pc.Command("VERSION\r\n"));
  ASSERT_EQ(fields.size(), 12u);
  EXPECT_EQ(fields[1], "7.0");
  EXPECT_EQ(fields[2], "7.15");

  const auto& images = device.core().images();
  ASSERT_EQ(images.size(), 2u);
  // The last block of each image is a 1024-byte block padded with 0x1A.
  EXPECT_EQ(images[0].data.size(), 1431 * 1024u);
  EXPECT_EQ(images[1].data.size(), 404 * 1024u);
  EXPECT_TRUE(images[0].Unpadded() == bitstream);
  EXPECT_TRUE(images[1].Unpadded() == firmware);
  EXPECT_EQ(device.core().receive_stats().naks, 0u);
}

}  // namespace
}  // namespace trasmod::testing
