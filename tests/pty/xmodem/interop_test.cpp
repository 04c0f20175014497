// chanfold-xfer in real time over linesim at 115200 bit/s against lrzsz and against itself:
// every protocol both sides share, in both directions, files of the sizes at block edges and a
// large random file; refusals and exit codes; and lines with bit errors and drops, where a
// transfer may fail but never report a damaged file as done.
//
// When lrzsz receives, its exit flushes its last ACK away on a pty, so our sender may run into
// its time-outs after a complete file: those cases are judged by the file. When lrzsz sends, it
// may linger after the end; those cases are judged by our receiver's result and the file, and
// the peer is stopped.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/pty/xmodem/xfer_harness.h"

namespace xfer_test {
namespace {

const std::vector<size_t> kEdgeSizes{1, 127, 128, 2 * 1024, 2 * 1024 + 100, 2 * 1024 + 200};
// Our sender gives up this quickly when the peer's last ACK was lost.
const std::vector<std::string> kQuickEnd{"--timeout", "1000", "--timeouts", "2", "-q"};
constexpr size_t kLargeSize = 1'400'000;

class InteropTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* p : {"sx", "rx", "sb", "rb"}) {
      if (FindProgram(p).empty()) {
        if (std::getenv("CHANFOLD_SKIP_MISSING_PEERS")) GTEST_SKIP() << p << " missing";
        FAIL() << p << " is not installed: apt-get install lrzsz";
      }
    }
    ASSERT_TRUE(send_.ok() && recv_.ok());
    std::filesystem::create_directories(send_dir());
    std::filesystem::create_directories(recv_dir());
  }
  std::string send_dir() const { return send_.File("s"); }
  std::string recv_dir() const { return recv_.File("r"); }

  // Our XModem receiver drops the trailing 0x1A bytes of the last block, real or pad.
  static Bytes WithoutTrailingPad(Bytes b) {
    while (!b.empty() && b.back() == 0x1A) b.pop_back();
    return b;
  }
  // What an XModem receiver (lrzsz) may keep: the data, then only pad bytes.
  static ::testing::AssertionResult SameUpToPad(const Bytes& got, const Bytes& want) {
    if (got.size() < want.size() || !std::equal(want.begin(), want.end(), got.begin())) {
      return ::testing::AssertionFailure()
             << "got " << got.size() << " bytes for " << want.size() << ", content differs";
    }
    for (size_t i = want.size(); i < got.size(); ++i) {
      if (got[i] != 0x1A) return ::testing::AssertionFailure() << "byte " << i << " not pad";
    }
    return ::testing::AssertionSuccess();
  }

  testsupport::TempDir send_, recv_;
};

std::vector<std::string> Linesim115200() {
  return {"--baud", "115200"};
}

TEST_F(InteropTest, OurXModemSenderToRx) {
  struct Case {
    const char* protocol;
    std::vector<std::string> rx;
    std::vector<size_t> sizes;
  };
  const std::string rx = FindProgram("rx");
  const Case cases[] = {
      {"xmodem", {rx}, {1, 128, 2148}},
      // A lone "C" moves a checksum sender up to XModem-1K.
      {"xmodem", {rx, "-c"}, {2248}},
      {"xmodem-crc", {rx, "-c"}, {1, 127, 2148}},
      {"xmodem-1k", {rx, "-c"}, kEdgeSizes},
  };
  for (const Case& c : cases) {
    for (size_t size : c.sizes) {
      SCOPED_TRACE(std::string(c.protocol) + " " + c.rx.back() + " " + std::to_string(size));
      const Bytes data = RandomBytes(size, static_cast<uint32_t>(size));
      WriteFile(send_dir() + "/f.bin", data);
      std::filesystem::remove(recv_dir() + "/out.bin");
      Line line(Linesim115200());
      ASSERT_TRUE(line.ok());
      std::vector<std::string> ours{"send", "--protocol", c.protocol, "--dir", send_dir()};
      ours.insert(ours.end(), kQuickEnd.begin(), kQuickEnd.end());
      ours.push_back("f.bin");
      std::vector<std::string> peer = c.rx;
      peer.push_back("out.bin");
      Outcome o = RunTransfer(line, ours, peer, recv_dir(), 60000, 3000);
      EXPECT_NE(o.ours, -1) << "chanfold-xfer did not end";
      EXPECT_TRUE(SameUpToPad(ReadFile(recv_dir() + "/out.bin"), data)) << o.ours_err;
    }
  }
}

TEST_F(InteropTest, SxToOurXModemReceiver) {
  struct Case {
    const char* protocol;
    bool one_k;
    std::vector<size_t> sizes;
  };
  const Case cases[] = {
      {"xmodem", false, {1, 128, 2148}},
      {"xmodem-crc", false, {1, 127, 2148}},
      {"xmodem-1k", true, kEdgeSizes},
  };
  for (const Case& c : cases) {
    for (size_t size : c.sizes) {
      SCOPED_TRACE(std::string(c.protocol) + " " + std::to_string(size));
      const Bytes data = RandomBytes(size, static_cast<uint32_t>(size) + 7);
      WriteFile(send_dir() + "/f.bin", data);
      std::filesystem::remove(recv_dir() + "/out.bin");
      Line line(Linesim115200());
      ASSERT_TRUE(line.ok());
      std::vector<std::string> peer{FindProgram("sx")};
      if (c.one_k) peer.push_back("-k");
      peer.push_back("f.bin");
      Outcome o = RunTransfer(
          line,
          {"receive", "--protocol", c.protocol, "--dir", recv_dir(), "--dst", "out.bin", "-q"},
          peer, send_dir(), 60000, 500);
      EXPECT_EQ(o.ours, 0) << o.ours_err;
      EXPECT_EQ(ReadFile(recv_dir() + "/out.bin"), WithoutTrailingPad(data));
    }
  }
}

TEST_F(InteropTest, YModemBatchesBothWays) {
  std::vector<std::string> names;
  std::vector<Bytes> contents;
  for (size_t size : kEdgeSizes) {
    names.push_back("f" + std::to_string(size) + ".bin");
    contents.push_back(RandomBytes(size, static_cast<uint32_t>(size) + 11));
    WriteFile(send_dir() + "/" + names.back(), contents.back());
  }
  {
    SCOPED_TRACE("ours to rb");
    Line line(Linesim115200());
    ASSERT_TRUE(line.ok());
    std::vector<std::string> ours{"send", "--protocol", "ymodem", "--dir", send_dir(), "-q"};
    ours.insert(ours.end(), names.begin(), names.end());
    Outcome o = RunTransfer(line, ours, {FindProgram("rb")}, recv_dir(), 90000, 3000);
    EXPECT_EQ(o.ours, 0) << o.ours_err;
    for (size_t i = 0; i < names.size(); ++i) {
      EXPECT_EQ(ReadFile(recv_dir() + "/" + names[i]), contents[i]) << names[i];
    }
  }
  std::filesystem::remove_all(recv_dir());
  std::filesystem::create_directories(recv_dir());
  {
    SCOPED_TRACE("sb -k to ours, with an empty file in the batch");
    WriteFile(send_dir() + "/empty.bin", {});
    Line line(Linesim115200());
    ASSERT_TRUE(line.ok());
    std::vector<std::string> peer{FindProgram("sb"), "-k", "empty.bin"};
    peer.insert(peer.end(), names.begin(), names.end());
    Outcome o = RunTransfer(line, {"receive", "--protocol", "ymodem", "--dir", recv_dir(), "-q"},
                            peer, send_dir(), 90000, 500);
    EXPECT_EQ(o.ours, 0) << o.ours_err;
    bool exists = false;
    EXPECT_TRUE(ReadFile(recv_dir() + "/empty.bin", &exists).empty());
    EXPECT_TRUE(exists);
    for (size_t i = 0; i < names.size(); ++i) {
      EXPECT_EQ(ReadFile(recv_dir() + "/" + names[i]), contents[i]) << names[i];
    }
  }
}

// YModem block 0 gives each file's size, so 0x1A bytes that really end a file are kept: in a
// short last block (cut by the size) and in a full one (nothing to cut).
TEST_F(InteropTest, YModemKeepsFilesEndingIn0x1A) {
  auto ending_in = [](size_t n, size_t subs, uint32_t seed) {
    Bytes b = RandomBytes(n - subs, seed);
    b.back() = 0x42;
    b.insert(b.end(), subs, 0x1A);
    return b;
  };
  const std::vector<std::string> names{"five.bin", "full.bin"};
  const std::vector<Bytes> contents{ending_in(1000, 5, 21), ending_in(2048, 1, 22)};
  for (size_t i = 0; i < names.size(); ++i) WriteFile(send_dir() + "/" + names[i], contents[i]);
  for (bool peer_is_sb : {true, false}) {
    SCOPED_TRACE(peer_is_sb ? "sb -k to ours" : "ours to ours");
    std::filesystem::remove_all(recv_dir());
    std::filesystem::create_directories(recv_dir());
    Line line(Linesim115200());
    ASSERT_TRUE(line.ok());
    Outcome o;
    if (peer_is_sb) {
      std::vector<std::string> peer{FindProgram("sb"), "-k"};
      peer.insert(peer.end(), names.begin(), names.end());
      o = RunTransfer(line, {"receive", "--protocol", "ymodem", "--dir", recv_dir(), "-q"}, peer,
                      send_dir(), 60000, 500);
    } else {
      std::vector<std::string> ours{"send", "--protocol", "ymodem", "--dir", send_dir(), "-q"};
      ours.insert(ours.end(), names.begin(), names.end());
      o = RunTransfer(line, ours,
                      {XferBinary(), "receive", "--protocol", "ymodem", "--dir", recv_dir(), "-q"},
                      "", 60000, 5000, /*peer_is_ours=*/true);
      EXPECT_EQ(o.peer, 0) << "our receiver";
    }
    EXPECT_EQ(o.ours, 0) << o.ours_err;
    for (size_t i = 0; i < names.size(); ++i) {
      EXPECT_EQ(ReadFile(recv_dir() + "/" + names[i]), contents[i]) << names[i];
    }
  }
}

TEST_F(InteropTest, YModemGBothWays) {
  const Bytes data = RandomBytes(20000, 5);
  WriteFile(send_dir() + "/g.bin", data);
  {
    SCOPED_TRACE("ours to rb: rb asks with C, so our YModem-G falls back to YModem");
    Line line(Linesim115200());
    ASSERT_TRUE(line.ok());
    Outcome o =
        RunTransfer(line, {"send", "--protocol", "ymodem-g", "--dir", send_dir(), "-q", "g.bin"},
                    {FindProgram("rb")}, recv_dir(), 60000, 3000);
    EXPECT_EQ(o.ours, 0) << o.ours_err;
    EXPECT_EQ(ReadFile(recv_dir() + "/g.bin"), data);
  }
  std::filesystem::remove(recv_dir() + "/g.bin");
  {
    SCOPED_TRACE("sb to ours asking with G");
    Line line(Linesim115200());
    ASSERT_TRUE(line.ok());
    Outcome o = RunTransfer(line,
                            {"receive", "--protocol", "ymodem-g", "--dir", recv_dir(), "-q",
                             "--timeout", "2000", "--timeouts", "3"},
                            {FindProgram("sb"), "-k", "g.bin"}, send_dir(), 60000, 500);
    // sb does not wait for an answer to its streamed end of the batch and exits at once; the
    // exit flushes the block from the pty before it is read, often enough. The file decides;
    // our exit code may then be 1 (waiting for the end of the batch).
    EXPECT_NE(o.ours, -1);
    EXPECT_EQ(ReadFile(recv_dir() + "/g.bin"), data) << o.ours_err;
  }
}

TEST_F(InteropTest, LargeFilesBothWays) {
  const Bytes data = RandomBytes(kLargeSize, 99);
  WriteFile(send_dir() + "/big.bin", data);
  // A line ten times faster keeps the suite short; our sender's own pacing (10 ms per 256
  // bytes) is then what limits it.
  const std::vector<std::string> fast{"--baud", "1152000"};
  {
    SCOPED_TRACE("XModem-1K ours to rx");
    Line line(fast);
    ASSERT_TRUE(line.ok());
    std::vector<std::string> ours{"send", "--protocol", "xmodem-1k", "--dir", send_dir()};
    ours.insert(ours.end(), kQuickEnd.begin(), kQuickEnd.end());
    ours.push_back("big.bin");
    Outcome o =
        RunTransfer(line, ours, {FindProgram("rx"), "-c", "big.bin"}, recv_dir(), 180000, 3000);
    EXPECT_NE(o.ours, -1);
    EXPECT_TRUE(SameUpToPad(ReadFile(recv_dir() + "/big.bin"), data));
  }
  std::filesystem::remove(recv_dir() + "/big.bin");
  {
    SCOPED_TRACE("XModem-1K sx to ours");
    Line line(fast);
    ASSERT_TRUE(line.ok());
    Outcome o = RunTransfer(
        line, {"receive", "--protocol", "xmodem-1k", "--dir", recv_dir(), "--dst", "big.bin", "-q"},
        {FindProgram("sx"), "-k", "big.bin"}, send_dir(), 180000, 500);
    EXPECT_EQ(o.ours, 0) << o.ours_err;
    EXPECT_EQ(ReadFile(recv_dir() + "/big.bin"), WithoutTrailingPad(data));
  }
  std::filesystem::remove(recv_dir() + "/big.bin");
  {
    SCOPED_TRACE("YModem ours to rb");
    Line line(fast);
    ASSERT_TRUE(line.ok());
    Outcome o =
        RunTransfer(line, {"send", "--protocol", "ymodem", "--dir", send_dir(), "-q", "big.bin"},
                    {FindProgram("rb")}, recv_dir(), 180000, 3000);
    EXPECT_EQ(o.ours, 0) << o.ours_err;
    EXPECT_EQ(ReadFile(recv_dir() + "/big.bin"), data);
  }
  std::filesystem::remove(recv_dir() + "/big.bin");
  {
    SCOPED_TRACE("YModem sb -k to ours");
    Line line(fast);
    ASSERT_TRUE(line.ok());
    Outcome o = RunTransfer(line, {"receive", "--protocol", "ymodem", "--dir", recv_dir(), "-q"},
                            {FindProgram("sb"), "-k", "big.bin"}, send_dir(), 180000, 500);
    EXPECT_EQ(o.ours, 0) << o.ours_err;
    EXPECT_EQ(ReadFile(recv_dir() + "/big.bin"), data);
  }
}

TEST_F(InteropTest, OursToOursEveryProtocol) {
  const Bytes data = RandomBytes(5000, 42);
  WriteFile(send_dir() + "/f.bin", data);
  for (const char* protocol : {"xmodem", "xmodem-crc", "xmodem-1k", "ymodem", "ymodem-g"}) {
    SCOPED_TRACE(protocol);
    std::filesystem::remove(recv_dir() + "/f.bin");
    Line line(Linesim115200());
    ASSERT_TRUE(line.ok());
    const bool ymodem = std::string(protocol).rfind("ymodem", 0) == 0;
    std::vector<std::string> receiver{XferBinary(), "receive",  "--protocol", protocol,
                                      "--dir",      recv_dir(), "-q"};
    if (!ymodem) {
      receiver.push_back("--dst");
      receiver.push_back("f.bin");
    }
    Outcome o =
        RunTransfer(line, {"send", "--protocol", protocol, "--dir", send_dir(), "-q", "f.bin"},
                    receiver, "", 60000, 5000, /*peer_is_ours=*/true);
    EXPECT_EQ(o.ours, 0) << o.ours_err;
    EXPECT_EQ(o.peer, 0);
    EXPECT_EQ(ReadFile(recv_dir() + "/f.bin"), ymodem ? data : WithoutTrailingPad(data));
  }
}

TEST_F(InteropTest, RefusalsAndExitCodes) {
  WriteFile(send_dir() + "/empty.bin", {});
  Line line(Linesim115200());
  ASSERT_TRUE(line.ok());
  {
    SCOPED_TRACE("empty file");
    Outcome o =
        RunTransfer(line, {"send", "--protocol", "xmodem-1k", "--dir", send_dir(), "empty.bin"},
                    {FindProgram("rx"), "-c", "x.bin"}, recv_dir(), 10000, 100);
    EXPECT_EQ(o.ours, 1);
    EXPECT_NE(o.ours_err.find("empty.bin is empty."), std::string::npos) << o.ours_err;
  }
  {
    SCOPED_TRACE("receiver that never answers");
    Outcome o = RunTransfer(line,
                            {"receive", "--protocol", "xmodem-1k", "--dir", recv_dir(), "--dst",
                             "x.bin", "--timeout", "1000", "--timeouts", "2"},
                            {"/bin/sleep", "30"}, recv_dir(), 10000, 100);
    EXPECT_EQ(o.ours, 1);
    EXPECT_NE(o.ours_err.find("Maximum timeouts reached, action terminated."), std::string::npos)
        << o.ours_err;
  }
  {
    SCOPED_TRACE("no such port");
    Child c;
    ASSERT_TRUE(c.Start({XferBinary(), "receive", "--protocol", "ymodem", "--port",
                         "/dev/no-such-tty", "--dir", recv_dir()},
                        "", "", ""));
    ASSERT_TRUE(c.Wait(5000));
    EXPECT_EQ(c.exit_code(), 3);
  }
  {
    SCOPED_TRACE("bad protocol");
    Child c;
    ASSERT_TRUE(c.Start({XferBinary(), "send", "--protocol", "smoke", "--port", line.a(), "x"}, "",
                        "", ""));
    ASSERT_TRUE(c.Wait(5000));
    EXPECT_EQ(c.exit_code(), 2);
  }
}

// Bit errors and lost bytes: every run either ends with exit 0 and the exact file, or fails
// with a non-zero exit. The 8-bit checksum of plain XModem can miss errors and is left out.
TEST_F(InteropTest, FaultyLinesNeverYieldADamagedFileReportedAsDone) {
  const Bytes data = RandomBytes(30000, 3);
  WriteFile(send_dir() + "/f.bin", data);
  struct Case {
    const char* what;
    bool ours_send;  // else ours receives
    bool peer_ours;  // the peer is a second chanfold-xfer
    const char* protocol;
    std::vector<std::string> faults;
  };
  const Case cases[] = {
      {"1K ours to rx, bit errors", true, false, "xmodem-1k", {"--bit-error-rate", "0.00002"}},
      {"1K sx to ours, bit errors", false, false, "xmodem-1k", {"--bit-error-rate", "0.00002"}},
      {"1K sx to ours, drops", false, false, "xmodem-1k", {"--drop-rate", "0.0002"}},
      {"YModem ours to ours, drops", true, true, "ymodem", {"--drop-rate", "0.0002"}},
      {"YModem-G ours to ours, bit errors",
       true,
       true,
       "ymodem-g",
       {"--bit-error-rate", "0.00002"}},
  };
  int successes = 0, failures = 0;
  for (const Case& c : cases) {
    for (int seed = 1; seed <= 2; ++seed) {
      SCOPED_TRACE(std::string(c.what) + " seed " + std::to_string(seed));
      std::filesystem::remove(recv_dir() + "/f.bin");
      std::vector<std::string> args{"--baud", "115200", "--seed", std::to_string(seed)};
      args.insert(args.end(), c.faults.begin(), c.faults.end());
      Line line(args);
      ASSERT_TRUE(line.ok());
      const bool ymodem = std::string(c.protocol).rfind("ymodem", 0) == 0;
      std::vector<std::string> send{"send", "--protocol", c.protocol, "--dir", send_dir()};
      send.insert(send.end(), kQuickEnd.begin(), kQuickEnd.end());
      send.push_back("f.bin");
      std::vector<std::string> receive{"receive",    "--protocol", c.protocol,  "--dir",
                                       recv_dir(),   "-q",         "--timeout", "2000",
                                       "--timeouts", "3"};
      if (!ymodem) {
        receive.push_back("--dst");
        receive.push_back("f.bin");
      }
      Outcome o;
      if (c.peer_ours) {
        receive.insert(receive.begin(), XferBinary());
        o = RunTransfer(line, send, receive, "", 90000, 10000, true);
      } else if (c.ours_send) {
        o = RunTransfer(line, send, {FindProgram("rx"), "-c", "f.bin"}, recv_dir(), 90000, 3000);
      } else {
        o = RunTransfer(line, receive, {FindProgram("sx"), "-k", "f.bin"}, send_dir(), 90000, 500);
      }
      const Bytes got = ReadFile(recv_dir() + "/f.bin");
      // The receiving side's verdict: its exit code (rx's when lrzsz receives).
      const int verdict = c.peer_ours || c.ours_send ? o.peer : o.ours;
      if (verdict == 0) {
        ++successes;
        if (c.ours_send && !c.peer_ours) {
          EXPECT_TRUE(SameUpToPad(got, data)) << "reported done, file damaged";
        } else {
          EXPECT_EQ(got, ymodem ? data : WithoutTrailingPad(data)) << "reported done, file damaged";
        }
      } else {
        ++failures;
      }
    }
  }
  RecordProperty("successes", successes);
  RecordProperty("failures", failures);
  std::printf("faulty lines: %d completed, %d failed cleanly\n", successes, failures);
}

}  // namespace
}  // namespace xfer_test
