// The posix serial device on a real pty: what its settings do to the tty, and how reads and
// writes behave against a peer on the master side.
#include <sys/ioctl.h>
#include <termios.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "platform/posix/posix_backend.h"
#include "platform/serial.h"
#include "tests/pty/platform/tcsetattr_spy.h"
#include "tests/pty/platform/termios2_probe.h"
#include "tests/support/fd_io.h"
#include "tests/support/pty_pair.h"
#include "tests/support/scoped_env.h"

namespace {

using platform::Dcb;
using platform::IoStatus;
using testsupport::NowMs;
using testsupport::PtyPair;
using testsupport::ScopedEnv;

class PtyPort : public ::testing::Test {
 protected:
  // The kernel's defaults on the pty (echo, canonical input): the device must undo them.
  PtyPort() : pty_(PtyPair::kCooked) {}

  void SetUp() override {
    ASSERT_TRUE(pty_.ok());
    ports_ = platform::posix::NewSerialPorts();
    Reopen();
  }

  void Reopen() {
    dev_.reset();
    dev_ = ports_->Open("\\\\.\\COM5");
    ASSERT_NE(dev_, nullptr);
  }

  // What the control does when it opens a port: current block, the "9600,N,8,1" template,
  // its own settings on top, flow-control bits ORed in.
  bool Configure(uint32_t baud, uint8_t bits, uint8_t parity, uint8_t stop, uint32_t flow_or = 0,
                 uint8_t xon = 17, uint8_t xoff = 19) {
    Dcb d;
    if (!dev_->GetCommState(&d)) return false;
    platform::BuildCommDcb("9600,N,8,1", &d);
    d.DCBlength = sizeof(Dcb);
    d.BaudRate = baud;
    d.flags |= platform::dcb::kBinary;
    d.ByteSize = bits;
    d.Parity = parity;
    d.StopBits = stop;
    d.flags |= flow_or;
    d.XonChar = xon;
    d.XoffChar = xoff;
    return dev_->SetCommState(d);
  }

  // The tty's settings as the kernel keeps them.
  termios SlaveTermios() {
    termios t{};
    EXPECT_EQ(tcgetattr(pty_.slave(), &t), 0);
    return t;
  }

  // The settings the device last asked of the kernel for this tty. A pty keeps all but the
  // character size and parity enable, which it forces to CS8 without parity.
  termios Requested() {
    termios t{};
    EXPECT_TRUE(ptytest::LastRequestedTermios(ptytest::TtyDevice(pty_.slave()), &t));
    return t;
  }

  uint32_t QueuedIn() {
    uint32_t errors = 0, in = 0;
    EXPECT_TRUE(dev_->ClearCommError(&errors, &in));
    return in;
  }

  // Waits until the device's input queue holds n bytes (the pty delivers asynchronously).
  bool WaitQueued(uint32_t n, int timeout_ms = 1000) {
    uint64_t end = NowMs() + static_cast<uint64_t>(timeout_ms);
    while (NowMs() < end) {
      if (QueuedIn() >= n) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return QueuedIn() >= n;
  }

  PtyPair pty_;
  ScopedEnv defaults_{"CHANFOLD_COM_DEFAULTS", "0"};
  ScopedEnv com5_{"CHANFOLD_COM5", pty_.slave_path()};
  std::unique_ptr<platform::SerialPorts> ports_;
  std::unique_ptr<platform::SerialDevice> dev_;
};

constexpr tcflag_t kFormat = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;

TEST_F(PtyPort, ControlSequenceMakesARawLineWithTheAskedFormat) {
  ASSERT_TRUE(Configure(1234567, 7, 2, 2));
  EXPECT_EQ(Requested().c_cflag & kFormat, static_cast<tcflag_t>(CS7 | PARENB | CSTOPB));
  termios t = SlaveTermios();
  EXPECT_EQ(t.c_cflag & (PARODD | CMSPAR | CSTOPB), static_cast<tcflag_t>(CSTOPB));
  EXPECT_EQ(t.c_cflag & (CREAD | CLOCAL), static_cast<tcflag_t>(CREAD | CLOCAL));
  EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
  EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | IXON | IXOFF | INPCK), 0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  EXPECT_EQ(t.c_cc[VMIN], 0);
  EXPECT_EQ(t.c_cc[VTIME], 0);
  uint32_t out = 0, in = 0;
  ASSERT_TRUE(ptytest::ProbeLineSpeeds(pty_.slave(), &out, &in));
  EXPECT_EQ(out, 1234567u);
  EXPECT_EQ(in, 1234567u);

  Dcb back;
  ASSERT_TRUE(dev_->GetCommState(&back));
  EXPECT_EQ(back.BaudRate, 1234567u);
  EXPECT_EQ(back.ByteSize, 7);
  EXPECT_EQ(back.Parity, 2);
  EXPECT_EQ(back.StopBits, 2);
  EXPECT_TRUE(back.flags & platform::dcb::kBinary);
}

TEST_F(PtyPort, EveryFormatReachesTheTty) {
  struct Case {
    uint32_t baud;
    uint8_t bits, parity, stop;
    tcflag_t cflag;
    uint8_t stop_back;  // what GetCommState reports
  } cases[] = {
      {57600, 8, 0, 0, CS8, 0},
      {300, 5, 1, 1, CS5 | PARENB | PARODD | CSTOPB, 1},     // 1.5 with 5 bits
      {110, 6, 3, 0, CS6 | PARENB | CMSPAR | PARODD, 0},     // mark
      {921600, 8, 4, 2, CS8 | PARENB | CMSPAR | CSTOPB, 2},  // space
      {250000, 7, 2, 1, CS7 | PARENB | CSTOPB, 2},           // 1.5 with 7 bits: sent as 2
      {3000000, 5, 0, 2, CS5 | CSTOPB, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << c.baud << " " << int(c.bits) << int(c.parity) << int(c.stop));
    ASSERT_TRUE(Configure(c.baud, c.bits, c.parity, c.stop));
    EXPECT_EQ(Requested().c_cflag & kFormat, c.cflag);
    constexpr tcflag_t kKept = PARODD | CMSPAR | CSTOPB;  // what a pty does not override
    EXPECT_EQ(SlaveTermios().c_cflag & kKept, c.cflag & kKept);
    uint32_t out = 0, in = 0;
    ASSERT_TRUE(ptytest::ProbeLineSpeeds(pty_.slave(), &out, &in));
    EXPECT_EQ(out, c.baud);
    Dcb back;
    ASSERT_TRUE(dev_->GetCommState(&back));
    EXPECT_EQ(back.ByteSize, c.bits);
    EXPECT_EQ(back.Parity, c.parity);
    EXPECT_EQ(back.StopBits, c.stop_back);
  }
}

TEST_F(PtyPort, FlowControlBitsMapToTermios) {
  namespace dcb = platform::dcb;
  // fcHardware ORs 0x2004 (CTS out-flow, RTS handshake).
  ASSERT_TRUE(Configure(57600, 8, 0, 0, 0x2004));
  termios t = SlaveTermios();
  EXPECT_NE(t.c_cflag & CRTSCTS, 0u);
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF), 0u);
  Dcb back;
  ASSERT_TRUE(dev_->GetCommState(&back));
  EXPECT_TRUE(back.flags & dcb::kOutxCtsFlow);
  EXPECT_EQ(dcb::RtsControl(back), dcb::kControlHandshake);

  // fcXonXoff ORs 0x0300, with characters of the host's choosing.
  Reopen();
  ASSERT_TRUE(Configure(57600, 8, 0, 0, 0x0300, 0x05, 0x06));
  t = SlaveTermios();
  EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXON | IXOFF));
  EXPECT_EQ(t.c_cc[VSTART], 0x05);
  EXPECT_EQ(t.c_cc[VSTOP], 0x06);
  ASSERT_TRUE(dev_->GetCommState(&back));
  EXPECT_EQ(back.flags & (dcb::kOutX | dcb::kInX), dcb::kOutX | dcb::kInX);
  EXPECT_EQ(back.XonChar, 0x05);
  EXPECT_EQ(back.XoffChar, 0x06);
  EXPECT_FALSE(back.flags & dcb::kOutxCtsFlow);
}

// A tty keeps its settings between opens; the control only ORs flow bits in, so a port that
// had flow control must not keep it when it is opened again without.
TEST_F(PtyPort, FlowControlDoesNotSurviveAReopen) {
  ASSERT_TRUE(Configure(57600, 8, 0, 0, 0x2004 | 0x0300));
  ASSERT_EQ(SlaveTermios().c_cflag & CRTSCTS, static_cast<tcflag_t>(CRTSCTS));
  Reopen();
  ASSERT_TRUE(Configure(57600, 8, 0, 0));
  termios t = SlaveTermios();
  EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF), 0u);
}

TEST_F(PtyPort, InvalidBlocksAreRefusedAndChangeNothing) {
  ASSERT_TRUE(Configure(57600, 8, 0, 0));
  termios before = SlaveTermios();
  struct Case {
    const char* what;
    void (*edit)(Dcb*);
  } cases[] = {
      {"4 data bits", [](Dcb* d) { d->ByteSize = 4; }},
      {"9 data bits", [](Dcb* d) { d->ByteSize = 9; }},
      {"parity 5", [](Dcb* d) { d->Parity = 5; }},
      {"parity 7", [](Dcb* d) { d->Parity = 7; }},
      {"stop bits 3", [](Dcb* d) { d->StopBits = 3; }},
      {"baud 0", [](Dcb* d) { d->BaudRate = 0; }},
      {"XON equal to XOFF",
       [](Dcb* d) {
         d->flags |= platform::dcb::kOutX;
         d->XonChar = d->XoffChar = 17;
       }},
  };
  for (const Case& c : cases) {
    Dcb d;
    ASSERT_TRUE(dev_->GetCommState(&d));
    d.BaudRate = 300;  // a change that must not be applied either
    d.ByteSize = 6;
    c.edit(&d);
    EXPECT_FALSE(dev_->SetCommState(d)) << c.what;
    termios after = SlaveTermios();
    EXPECT_EQ(after.c_cflag, before.c_cflag) << c.what;
    EXPECT_EQ(after.c_iflag, before.c_iflag) << c.what;
    uint32_t out = 0, in = 0;
    ASSERT_TRUE(ptytest::ProbeLineSpeeds(pty_.slave(), &out, &in));
    EXPECT_EQ(out, 57600u) << c.what;
  }
}

// Every byte value both ways, 4096 bytes: nothing is translated, eaten or echoed.
TEST_F(PtyPort, BinaryRoundTripOf4096Bytes) {
  ASSERT_TRUE(Configure(115200, 8, 0, 0));
  std::vector<uint8_t> data(4096);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + i / 256);

  uint32_t n = 0;
  ASSERT_EQ(dev_->Write(data.data(), 4096, 500, &n), IoStatus::kDone);
  EXPECT_EQ(n, 4096u);
  EXPECT_EQ(testsupport::ReadFor(pty_.master(), 4096, 2000), data);

  ASSERT_TRUE(testsupport::WriteAll(pty_.master(), data));
  std::vector<uint8_t> got(4096);
  ASSERT_EQ(dev_->Read(got.data(), 4096, 2000, &n), IoStatus::kDone);
  EXPECT_EQ(n, 4096u);
  EXPECT_EQ(got, data);
  EXPECT_EQ(testsupport::Drain(pty_.master(), 50), 0u) << "the device echoed";
}

TEST_F(PtyPort, ReadTakesWhatIsQueuedAndNeverWaitsPastItsWait) {
  ASSERT_TRUE(Configure(57600, 8, 0, 0));
  uint8_t buf[16] = {};
  uint32_t n = 99;

  uint64_t t0 = NowMs();
  EXPECT_EQ(dev_->Read(buf, 0, 5000, &n), IoStatus::kDone);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(dev_->Read(buf, sizeof buf, 0, &n), IoStatus::kTimedOut);
  EXPECT_EQ(n, 0u);
  EXPECT_LT(NowMs() - t0, 20u) << "reads with nothing to wait for must return at once";

  t0 = NowMs();
  EXPECT_EQ(dev_->Read(buf, sizeof buf, 100, &n), IoStatus::kTimedOut);
  uint64_t waited = NowMs() - t0;
  EXPECT_EQ(n, 0u);
  EXPECT_GE(waited, 99u);
  EXPECT_LT(waited, 400u);

  // Queued bytes: exactly those come, at once; a longer ask ends at its wait with the part.
  ASSERT_TRUE(testsupport::WriteAll(pty_.master(), "ABC"));
  ASSERT_TRUE(WaitQueued(3));
  t0 = NowMs();
  EXPECT_EQ(dev_->Read(buf, 3, 5000, &n), IoStatus::kDone);
  EXPECT_LT(NowMs() - t0, 20u);
  EXPECT_EQ(n, 3u);
  EXPECT_EQ(std::memcmp(buf, "ABC", 3), 0);
  ASSERT_TRUE(testsupport::WriteAll(pty_.master(), "DE"));
  ASSERT_TRUE(WaitQueued(2));
  EXPECT_EQ(dev_->Read(buf, sizeof buf, 50, &n), IoStatus::kTimedOut);
  EXPECT_EQ(n, 2u);
  EXPECT_EQ(std::memcmp(buf, "DE", 2), 0);
}

TEST_F(PtyPort, ReadWaitsForBytesThatComeLater) {
  ASSERT_TRUE(Configure(57600, 8, 0, 0));
  std::thread peer([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(80));
    testsupport::WriteAll(pty_.master(), "LA");
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    testsupport::WriteAll(pty_.master(), "TE");
  });
  uint8_t buf[4] = {};
  uint32_t n = 0;
  uint64_t t0 = NowMs();
  IoStatus s = dev_->Read(buf, 4, 3000, &n);
  uint64_t took = NowMs() - t0;
  peer.join();
  EXPECT_EQ(s, IoStatus::kDone);
  EXPECT_EQ(n, 4u);
  EXPECT_EQ(std::memcmp(buf, "LATE", 4), 0);
  EXPECT_GE(took, 100u);
  EXPECT_LT(took, 1500u);
}

// A peer that does not read: the write ends at its wait with what the kernel took.
TEST_F(PtyPort, WriteToAStalledPeerEndsAtItsWait) {
  ASSERT_TRUE(Configure(57600, 8, 0, 0));
  std::vector<uint8_t> big(1 << 20, 0x55);
  uint32_t n = 0;
  uint64_t t0 = NowMs();
  EXPECT_EQ(dev_->Write(big.data(), static_cast<uint32_t>(big.size()), 200, &n),
            IoStatus::kTimedOut);
  uint64_t took = NowMs() - t0;
  EXPECT_GT(n, 0u);
  EXPECT_LT(n, big.size());
  EXPECT_GE(took, 199u);
  EXPECT_LT(took, 1000u);
  // Once the peer has read, the line works as before.
  EXPECT_EQ(testsupport::Drain(pty_.master(), 50), n);
  const uint8_t ok[] = {'O', 'K'};
  EXPECT_EQ(dev_->Write(ok, 2, 500, &n), IoStatus::kDone);
  EXPECT_EQ(testsupport::ReadFor(pty_.master(), 2, 1000), std::vector<uint8_t>(ok, ok + 2));
}

TEST_F(PtyPort, PeerHangUpFailsReadsAndWritesAtOnce) {
  ASSERT_TRUE(Configure(57600, 8, 0, 0));
  pty_.CloseMaster();
  uint8_t buf[8] = {'x'};
  uint32_t n = 0;
  uint64_t t0 = NowMs();
  EXPECT_EQ(dev_->Write(buf, sizeof buf, 1000, &n), IoStatus::kFailed);
  EXPECT_EQ(dev_->Read(buf, sizeof buf, 1000, &n), IoStatus::kFailed);
  EXPECT_EQ(n, 0u);
  EXPECT_LT(NowMs() - t0, 200u);
}

TEST_F(PtyPort, QueueCountAndPurge) {
  ASSERT_TRUE(Configure(57600, 8, 0, 0));
  EXPECT_EQ(QueuedIn(), 0u);
  ASSERT_TRUE(testsupport::WriteAll(pty_.master(), "0123456789"));
  ASSERT_TRUE(WaitQueued(10));
  EXPECT_EQ(QueuedIn(), 10u);
  EXPECT_TRUE(dev_->PurgeComm(platform::kPurgeRxClear | platform::kPurgeTxClear));
  EXPECT_EQ(QueuedIn(), 0u);
  uint8_t buf[4];
  uint32_t n = 0;
  EXPECT_EQ(dev_->Read(buf, 4, 20, &n), IoStatus::kTimedOut);
  EXPECT_EQ(n, 0u);
  // The line still carries what comes after the purge.
  ASSERT_TRUE(testsupport::WriteAll(pty_.master(), "next"));
  EXPECT_EQ(dev_->Read(buf, 4, 1000, &n), IoStatus::kDone);
  EXPECT_EQ(std::memcmp(buf, "next", 4), 0);
  EXPECT_FALSE(dev_->PurgeComm(0x10));
}

TEST_F(PtyPort, ControlCallsOnAPty) {
  ASSERT_TRUE(Configure(57600, 8, 0, 0));
  EXPECT_TRUE(dev_->SetupComm(16384, 16384));
  EXPECT_FALSE(dev_->SetupComm(static_cast<uint32_t>(-1), 16384));  // a negative InputQ
  EXPECT_TRUE(dev_->SetCommMask(0x03FF));
  EXPECT_FALSE(dev_->SetCommMask(0x10000));
  uint32_t status = 0;
  EXPECT_FALSE(dev_->GetCommModemStatus(&status)) << "a pty has no modem lines";
  EXPECT_TRUE(dev_->EscapeCommFunction(platform::kSetBreak));
  EXPECT_TRUE(dev_->EscapeCommFunction(platform::kClrBreak));
  EXPECT_FALSE(dev_->EscapeCommFunction(7));  // RESETDEV: nothing to reset

  // SETXOFF holds transmission as if the peer had sent XOFF; SETXON releases it.
  ASSERT_TRUE(dev_->EscapeCommFunction(platform::kSetXoff));
  const uint8_t msg[] = {'h', 'i'};
  uint32_t n = 0;
  EXPECT_EQ(dev_->Write(msg, 2, 50, &n), IoStatus::kTimedOut);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(testsupport::Drain(pty_.master(), 30), 0u);
  ASSERT_TRUE(dev_->EscapeCommFunction(platform::kSetXon));
  EXPECT_EQ(dev_->Write(msg, 2, 500, &n), IoStatus::kDone);
  EXPECT_EQ(testsupport::ReadFor(pty_.master(), 2, 1000), std::vector<uint8_t>(msg, msg + 2));
}

}  // namespace
