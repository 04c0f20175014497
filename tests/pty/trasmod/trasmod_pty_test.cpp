// The trasmod-sim program in real time on a pty it creates: what a PC sees on the line.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

const std::string kProgram = std::string(CHANFOLD_BINARY_DIR) + "/tools/trasmod-sim/trasmod-sim";
// How long the program may take to start and print its pty: generous, since the tests of a CI
// run share a loaded machine.
constexpr int kStartMs = 5000;
// Longest wait for a reply that the device sends at once: the updater reads after 500 ms, we
// allow more for the same loaded machine.
constexpr int kReplyMs = 2000;
// Bound on a process that was told to stop.
constexpr int kExitMs = 5000;

int64_t NowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Waits up to ms for the child to exit; its status, or -1 when it is still running.
int WaitExit(pid_t pid, int ms) {
  const int64_t end = NowMs() + ms;
  for (;;) {
    int status = 0;
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) return status;
    if (r < 0 || NowMs() >= end) return -1;
    usleep(10000);
  }
}

class Device {
 public:
  explicit Device(std::vector<std::string> args) {
    int out[2];
    if (pipe(out) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      close(out[0]);
      close(out[1]);
      std::vector<char*> argv;
      argv.push_back(const_cast<char*>(kProgram.c_str()));
      argv.push_back(const_cast<char*>("--pty"));
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(kProgram.c_str(), argv.data());
      _exit(127);
    }
    close(out[1]);
    stdout_ = out[0];
    // The first line: "PTY <path>".
    std::string line;
    const int64_t end = NowMs() + kStartMs;
    while (line.find('\n') == std::string::npos && NowMs() < end) {
      pollfd p{stdout_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(end - NowMs())) <= 0) break;
      char c;
      if (read(stdout_, &c, 1) != 1) break;
      line.push_back(c);
    }
    if (line.rfind("PTY ", 0) == 0 && line.back() == '\n') path_ = line.substr(4, line.size() - 5);
  }
  ~Device() {
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGTERM);
      if (WaitExit(pid_, kExitMs) < 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
      }
    }
    if (stdout_ >= 0) close(stdout_);
  }
  const std::string& path() const { return path_; }
  pid_t pid() const { return pid_; }
  // Status of an exit that happened within ms, or -1.
  int Exit(int ms) {
    int status = WaitExit(pid_, ms);
    if (status >= 0) exited_ = true;
    return status;
  }

 private:
  pid_t pid_ = -1;
  int stdout_ = -1;
  std::string path_;
  bool exited_ = false;
};

// The PC's end: the pty slave opened raw, as a serial port.
class Line {
 public:
  explicit Line(const std::string& path) {
    fd_ = open(path.c_str(), O_RDWR | O_NOCTTY);
    if (fd_ < 0) return;
    termios tio{};
    tcgetattr(fd_, &tio);
    cfmakeraw(&tio);
    cfsetspeed(&tio, B57600);
    tcsetattr(fd_, TCSANOW, &tio);
  }
  ~Line() {
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return fd_ >= 0; }
  void Write(const std::string& s) { ASSERT_EQ(write(fd_, s.data(), s.size()), ssize_t(s.size())); }
  // What arrives within ms, or as soon as it holds `until`.
  std::string Read(int ms, const std::string& until = "") {
    std::string got;
    const int64_t end = NowMs() + ms;
    while (NowMs() < end) {
      if (!until.empty() && got.find(until) != std::string::npos) break;
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(end - NowMs())) <= 0) continue;
      char buf[4096];
      ssize_t n = read(fd_, buf, sizeof buf);
      if (n > 0) got.append(buf, static_cast<size_t>(n));
    }
    return got;
  }
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
};

std::vector<std::string> Fields(const std::string& reply) {
  std::vector<std::string> out;
  if (reply.size() < 3) return out;
  std::string rest = reply.substr(3);
  size_t start = 0;
  for (;;) {
    size_t comma = rest.find(',', start);
    out.push_back(rest.substr(start, comma - start));
    if (comma == std::string::npos) return out;
    start = comma + 1;
  }
}

TEST(TrasmodPty, IdentificationInRealTime) {
  Device device({"--hardware", "6.5", "--firmware", "7.10", "--password", "SECRET"});
  ASSERT_FALSE(device.path().empty());
  Line line(device.path());
  ASSERT_TRUE(line.ok());

  line.Write("V\r\n");
  EXPECT_EQ(line.Read(kReplyMs, "\r\n"), "ERROR\r\n");
  line.Write("VERSION\r\n");
  std::string reply = line.Read(kReplyMs, "\r\n");
  EXPECT_EQ(reply, "OK Zandor Ltd,6.5,7.10,0000,0,0,0,0,0,SECUREACCESS,0,1\r\n");
  ASSERT_EQ(Fields(reply).size(), 12u);
  line.Write("VERIFYPASSWORD WRONG\r\n");
  EXPECT_EQ(line.Read(kReplyMs, "\r\n").find("OK"), std::string::npos);
  line.Write("VERIFYPASSWORD SECRET\r\n");
  EXPECT_EQ(line.Read(kReplyMs, "\r\n"), "OK\r\n");
  // Nothing else comes.
  EXPECT_EQ(line.Read(300), "");
}

TEST(TrasmodPty, PortCanBeOpenedAgainAndAgain) {
  Device device({});
  ASSERT_FALSE(device.path().empty());
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    Line line(device.path());
    ASSERT_TRUE(line.ok());
    line.Write("V\r\n");
    EXPECT_EQ(line.Read(kReplyMs, "\r\n"), "ERROR\r\n");
  }
  // It is still running, and stops on SIGTERM.
  EXPECT_EQ(device.Exit(0), -1);
  kill(device.pid(), SIGTERM);
  int status = device.Exit(kExitMs);
  ASSERT_GE(status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(TrasmodPty, RebootIntoTheBootloaderWithSub) {
  Device device({"--reboot-ms", "200"});
  ASSERT_FALSE(device.path().empty());
  Line line(device.path());
  ASSERT_TRUE(line.ok());
  line.Write("REBOOT\r\n");
  // The bootloader wait: SUB every 50 ms until a reply holds ">".
  std::string seen;
  const int64_t end = NowMs() + 5000;
  while (seen.find('>') == std::string::npos && NowMs() < end) {
    line.Write("\x1a");
    seen += line.Read(50);
  }
  ASSERT_NE(seen.find('>'), std::string::npos) << seen;
  line.Write("V\r\n");
  std::string v = line.Read(kReplyMs, ">");
  size_t p = v.find("Hardware Version : ");
  ASSERT_NE(p, std::string::npos) << v;
  EXPECT_EQ(v.substr(p + 19, 5), "7.0  ");
  line.Write("B");
  std::string b = line.Read(kReplyMs, "C");
  EXPECT_NE(b.find("B - Flash programming bitstream"), std::string::npos) << b;
  EXPECT_EQ(b.back(), 'C');
}

TEST(TrasmodPty, ReceivesFromLrzszAndExitsAfterTheUpdate) {
  if (access("/usr/bin/sx", X_OK) != 0) GTEST_SKIP() << "lrzsz's sx is not installed";
  const std::string image = std::string(CHANFOLD_SOURCE_DIR) + "/updater/images/firmware.bin";
  std::ifstream in(image, std::ios::binary);
  const std::vector<char> original((std::istreambuf_iterator<char>(in)), {});
  ASSERT_EQ(original.size(), 412936u);

  char tmpl[] = "/tmp/trasmod-pty-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string dir = tmpl;
  // The report waits long enough for us to stop sx first: both would read the same tty.
  Device device({"--bootloader", "--save-dir", dir, "--exit-after-update", "--report-lead-ms",
                 "1500", "--flash-line-ms", "50", "--reboot-ms", "100", "--boot-wait-ms", "300"});
  ASSERT_FALSE(device.path().empty());
  Line line(device.path());
  ASSERT_TRUE(line.ok());
  line.Write("F");
  EXPECT_NE(line.Read(kReplyMs, "C").find("F - Flash programming firmware"), std::string::npos);

  pid_t sx = fork();
  if (sx == 0) {
    int fd = open(device.path().c_str(), O_RDWR | O_NOCTTY);
    dup2(fd, 0);
    dup2(fd, 1);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 2);
    execl("/usr/bin/sx", "sx", "-k", "-b", image.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  ASSERT_GT(sx, 0);
  // The receive is over when the device has saved the image. 412,936 bytes on a pty take well
  // under a second; the bound is for a loaded machine.
  const std::string saved = dir + "/firmware-1.bin";
  const int64_t end = NowMs() + 60000;
  while (!std::filesystem::exists(saved) && NowMs() < end) usleep(20000);
  // sx may linger retrying an EOT whose ACK its own purge discarded: it has done its part.
  kill(sx, SIGTERM);
  if (WaitExit(sx, kExitMs) < 0) {
    kill(sx, SIGKILL);
    waitpid(sx, nullptr, 0);
  }
  ASSERT_TRUE(std::filesystem::exists(saved));

  std::ifstream got_in(saved, std::ios::binary);
  const std::vector<char> got((std::istreambuf_iterator<char>(got_in)), {});
  EXPECT_TRUE(got == original) << got.size();
  const auto raw_size = std::filesystem::file_size(dir + "/firmware-1.xmodem");
  EXPECT_EQ(raw_size % 128, 0u);
  EXPECT_GE(raw_size, original.size());
  EXPECT_LT(raw_size, original.size() + 1024);

  std::string report = line.Read(10000, ">");
  EXPECT_NE(report.find("Firmware programmed\r\n\r\nBL>"), std::string::npos) << report;
  // The final reboot starts the new firmware, and the program ends.
  line.Write("REBOOT\r\n");
  int status = device.Exit(kExitMs);
  ASSERT_GE(status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  std::filesystem::remove_all(dir);
}

}  // namespace
