// What the updater's port scan and a port open cost on this backend. Prints the figures; the
// bounds only catch a cost gone wrong by an order of magnitude.
#include <cstdio>
#include <string>

#include "gtest/gtest.h"
#include "platform/posix/posix_backend.h"
#include "platform/serial.h"
#include "tests/support/fd_io.h"
#include "tests/support/pty_pair.h"
#include "tests/support/scoped_env.h"

namespace {

using testsupport::ScopedEnv;

// Microseconds on the monotonic clock.
uint64_t NowUs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

// COM1 to COM16 with none of them present, the way the updater probes at start.
TEST(SerialCost, ScanOfSixteenAbsentComNames) {
  auto ports = platform::posix::NewSerialPorts();
  std::vector<std::unique_ptr<ScopedEnv>> unset;
  for (int i = 1; i <= 16; ++i) {
    unset.push_back(std::make_unique<ScopedEnv>("CHANFOLD_COM" + std::to_string(i), std::nullopt));
  }
  {
    ScopedEnv off("CHANFOLD_COM_DEFAULTS", "0");
    uint64_t t0 = NowUs();
    for (int i = 1; i <= 16; ++i) {
      EXPECT_EQ(ports->Open("\\\\.\\COM" + std::to_string(i)), nullptr);
    }
    uint64_t us = NowUs() - t0;
    std::printf("[ measure ] 16 absent COM names, no default order: %llu us in all\n",
                static_cast<unsigned long long>(us));
    EXPECT_LT(us, 20000u);
  }
  // With the default order the machine's device list is read for every name. Only timed as
  // a scan of absent ports where this machine has no serial device of its own.
  ScopedEnv on("CHANFOLD_COM_DEFAULTS", std::nullopt);
  if (!platform::posix::DefaultSerialDevices().empty()) {
    std::printf("[ measure ] this machine has serial devices; default-order scan not timed\n");
    return;
  }
  uint64_t t0 = NowUs();
  for (int i = 1; i <= 16; ++i) {
    EXPECT_EQ(ports->Open("\\\\.\\COM" + std::to_string(i)), nullptr);
  }
  uint64_t us = NowUs() - t0;
  std::printf("[ measure ] 16 absent COM names, default order read each time: %llu us in all\n",
              static_cast<unsigned long long>(us));
  EXPECT_LT(us, 50000u);
}

// Open, the control's configuration sequence, close: one port-scan probe's fixed cost.
TEST(SerialCost, PtyOpenConfigureClose) {
  testsupport::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  ScopedEnv off("CHANFOLD_COM_DEFAULTS", "0");
  ScopedEnv com3("CHANFOLD_COM3", pty.slave_path());
  auto ports = platform::posix::NewSerialPorts();
  constexpr int kRounds = 200;
  uint64_t worst = 0;
  uint64_t t0 = NowUs();
  for (int i = 0; i < kRounds; ++i) {
    uint64_t r0 = NowUs();
    auto dev = ports->Open("\\\\.\\COM3");
    ASSERT_NE(dev, nullptr);
    platform::Dcb d;
    ASSERT_TRUE(dev->GetCommState(&d));
    platform::BuildCommDcb("9600,N,8,1", &d);
    d.BaudRate = 57600;
    d.flags |= platform::dcb::kBinary;
    d.ByteSize = 8;
    ASSERT_TRUE(dev->SetCommState(d));
    ASSERT_TRUE(dev->SetupComm(16384, 16384));
    ASSERT_TRUE(dev->SetCommMask(0x03FF));
    dev.reset();
    worst = std::max(worst, NowUs() - r0);
  }
  uint64_t mean = (NowUs() - t0) / kRounds;
  std::printf("[ measure ] pty open + configure + close: mean %llu us, worst %llu us (%d rounds)\n",
              static_cast<unsigned long long>(mean), static_cast<unsigned long long>(worst),
              kRounds);
  EXPECT_LT(mean, 5000u);
}

}  // namespace
