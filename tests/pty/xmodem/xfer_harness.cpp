#include "tests/pty/xmodem/xfer_harness.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

namespace xfer_test {

namespace {

double Now() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

}  // namespace

Bytes RandomBytes(size_t n, uint32_t seed) {
  Bytes out(n);
  uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
  for (auto& b : out) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    b = static_cast<uint8_t>(x >> 24);
  }
  return out;
}

void WriteFile(const std::string& path, const Bytes& data) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

Bytes ReadFile(const std::string& path, bool* exists) {
  std::ifstream f(path, std::ios::binary);
  if (exists) *exists = f.good();
  return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

std::string XferBinary() {
  return std::string(CHANFOLD_BINARY_DIR) + "/tools/chanfold-xfer/chanfold-xfer";
}

std::string LinesimBinary() {
  return std::string(CHANFOLD_BINARY_DIR) + "/tools/linesim/linesim";
}

std::string FindProgram(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    const std::string candidate = dir + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

Child::~Child() {
  Stop();
}

bool Child::Start(const std::vector<std::string>& argv, const std::string& cwd,
                  const std::string& tty, const std::string& err_path) {
  pid_ = fork();
  if (pid_ < 0) return false;
  if (pid_ == 0) {
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    if (!tty.empty()) {
      int fd = open(tty.c_str(), O_RDWR | O_NOCTTY);
      if (fd < 0) _exit(126);
      dup2(fd, 0);
      dup2(fd, 1);
      if (fd > 1) close(fd);
    } else {
      int null_fd = open("/dev/null", O_RDWR);
      dup2(null_fd, 0);
    }
    int err =
        open(err_path.empty() ? "/dev/null" : err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (err >= 0) dup2(err, 2);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  return true;
}

bool Child::Wait(int timeout_ms) {
  if (pid_ <= 0) return true;
  const double end = Now() + timeout_ms / 1000.0;
  for (;;) {
    int status = 0;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      pid_ = -1;
      return true;
    }
    if (Now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void Child::Stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  if (Wait(1000)) {
    exit_code_ = -1;
    return;
  }
  kill(pid_, SIGKILL);
  Wait(1000);
  exit_code_ = -1;
}

Line::Line(const std::vector<std::string>& args) {
  if (!dir_.ok()) return;
  const std::string paths = dir_.File("paths");
  std::vector<std::string> argv{LinesimBinary(), "--quiet", "--paths-file", paths};
  argv.insert(argv.end(), args.begin(), args.end());
  if (!child_.Start(argv, "", "", dir_.File("linesim.err"))) return;
  for (int i = 0; i < 400; ++i) {
    std::ifstream f(paths);
    std::string tag_a, path_a, tag_b, path_b;
    if (f >> tag_a >> path_a >> tag_b >> path_b) {
      a_ = path_a;
      b_ = path_b;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

Outcome RunTransfer(const Line& line, std::vector<std::string> ours,
                    const std::vector<std::string>& peer, const std::string& peer_cwd,
                    int timeout_ms, int peer_grace_ms, bool peer_is_ours) {
  Outcome out;
  testsupport::TempDir logs;
  Child peer_child;
  std::vector<std::string> peer_argv = peer;
  if (peer_is_ours) {
    peer_argv.push_back("--port");
    peer_argv.push_back(line.b());
  }
  peer_child.Start(peer_argv, peer_cwd, peer_is_ours ? "" : line.b(), logs.File("peer.err"));
  // The peer opens its end first, as a receiver waiting on a line would.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));

  ours.insert(ours.begin(), XferBinary());
  ours.push_back("--port");
  ours.push_back(line.a());
  Child ours_child;
  rusage before{};
  getrusage(RUSAGE_CHILDREN, &before);
  const double start = Now();
  ours_child.Start(ours, "", "", logs.File("ours.err"));
  if (ours_child.Wait(timeout_ms)) out.ours = ours_child.exit_code();
  out.seconds = Now() - start;
  ours_child.Stop();
  // Only chanfold-xfer has been reaped since `before`: the peer is waited for below.
  rusage after{};
  getrusage(RUSAGE_CHILDREN, &after);
  auto secs = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  out.cpu_seconds =
      secs(after.ru_utime) - secs(before.ru_utime) + secs(after.ru_stime) - secs(before.ru_stime);
  if (peer_child.Wait(peer_grace_ms)) {
    out.peer = peer_child.exit_code();
  } else {
    peer_child.Stop();
  }
  const Bytes err = ReadFile(logs.File("ours.err"));
  out.ours_err.assign(err.begin(), err.end());
  return out;
}

}  // namespace xfer_test
