#include "tests/pty/linesim/linesim_harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <random>
#include <sstream>

namespace linesim_test {

namespace {

const char kBinary[] = CHANFOLD_BINARY_DIR "/tools/linesim/linesim";
// Creating two ptys takes milliseconds; the margin is for a loaded CI machine.
constexpr int kStartTimeoutMs = 5000;
// Summary and exit follow a stop request within milliseconds.
constexpr int kStopTimeoutMs = 5000;

using Clock = std::chrono::steady_clock;

int MsSince(Clock::time_point t) {
  return static_cast<int>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

pid_t Spawn(const std::vector<std::string>& args, int* out_fd, int* err_fd) {
  int out[2];
  int err[2];
  if (pipe2(out, O_CLOEXEC) != 0) return -1;
  if (pipe2(err, O_CLOEXEC) != 0) {
    close(out[0]);
    close(out[1]);
    return -1;
  }
  std::vector<std::string> argv_strings = {kBinary};
  argv_strings.insert(argv_strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& s : argv_strings) argv.push_back(s.data());
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    execv(kBinary, argv.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  *out_fd = out[0];
  *err_fd = err[0];
  fcntl(*out_fd, F_SETFL, O_NONBLOCK);
  fcntl(*err_fd, F_SETFL, O_NONBLOCK);
  return pid;
}

// Appends what is readable now (or within timeout_ms) from a non-blocking pipe; false at EOF.
bool ReadPipe(int fd, std::string* into, int timeout_ms) {
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, timeout_ms) <= 0) return true;
  char buf[4096];
  const ssize_t n = read(fd, buf, sizeof buf);
  if (n > 0) into->append(buf, static_cast<size_t>(n));
  return n != 0 && !(n < 0 && errno != EAGAIN && errno != EINTR);
}

}  // namespace

Bytes RandomBytes(size_t size, uint64_t seed) {
  std::mt19937_64 gen(seed);
  Bytes bytes(size);
  for (uint8_t& b : bytes) b = static_cast<uint8_t>(gen());
  return bytes;
}

Summary ParseSummary(const std::string& text) {
  Summary s;
  int found = 0;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    char name[8] = {};
    DirSummary d;
    if (sscanf(line.c_str(),
               "linesim: %7s read %" SCNu64 " carried %" SCNu64 " flipped-bits %" SCNu64
               " dropped %" SCNu64 " duplicated %" SCNu64 " stalls %" SCNu64,
               name, &d.read, &d.carried, &d.flipped, &d.dropped, &d.duplicated, &d.stalls) == 7) {
      if (strcmp(name, "a->b") == 0) s.ab = d, found |= 1;
      if (strcmp(name, "b->a") == 0) s.ba = d, found |= 2;
    }
    char yes_no[4] = {};
    if (sscanf(line.c_str(), "linesim: hung-up %3s", yes_no) == 1) {
      s.hung_up = strcmp(yes_no, "yes") == 0;
      found |= 4;
    }
  }
  s.parsed = found == 7;
  return s;
}

Linesim::~Linesim() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (out_fd_ >= 0) close(out_fd_);
  if (err_fd_ >= 0) close(err_fd_);
}

testing::AssertionResult Linesim::Start(const std::vector<std::string>& args) {
  pid_ = Spawn(args, &out_fd_, &err_fd_);
  if (pid_ < 0) return testing::AssertionFailure() << "spawn: " << strerror(errno);
  std::string out;
  const Clock::time_point t0 = Clock::now();
  while (std::count(out.begin(), out.end(), '\n') < 2) {
    if (MsSince(t0) > kStartTimeoutMs || !ReadPipe(out_fd_, &out, 50)) {
      DrainStderr(100);
      return testing::AssertionFailure() << "no paths on stdout: '" << out << "' " << err_;
    }
  }
  char a[128] = {};
  char b[128] = {};
  if (sscanf(out.c_str(), "A %127s\nB %127s", a, b) != 2) {
    return testing::AssertionFailure() << "unparsable paths: " << out;
  }
  path_a_ = a;
  path_b_ = b;
  return testing::AssertionSuccess();
}

int Linesim::OpenPeer(const std::string& path) {
  return open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
}

void Linesim::DrainStderr(int timeout_ms) {
  const Clock::time_point t0 = Clock::now();
  while (MsSince(t0) < timeout_ms && ReadPipe(err_fd_, &err_, 20)) {
  }
}

testing::AssertionResult Linesim::WaitExit(int timeout_ms, int* status, std::string* err) {
  const Clock::time_point t0 = Clock::now();
  for (;;) {
    // Keep the pipe drained so linesim never blocks on a full stderr.
    ReadPipe(err_fd_, &err_, 10);
    const pid_t done = waitpid(pid_, status, WNOHANG);
    if (done == pid_) break;
    if (MsSince(t0) > timeout_ms) {
      return testing::AssertionFailure() << "linesim still running after " << timeout_ms << " ms";
    }
  }
  pid_ = -1;
  DrainStderr(kStopTimeoutMs);
  *err = err_;
  return testing::AssertionSuccess();
}

testing::AssertionResult Linesim::Stop(std::string* err) {
  if (pid_ <= 0) return testing::AssertionFailure() << "not running";
  kill(pid_, SIGTERM);
  int status = 0;
  testing::AssertionResult exited = WaitExit(kStopTimeoutMs, &status, err);
  if (!exited) return exited;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    return testing::AssertionFailure() << "linesim exit status " << status << ": " << *err;
  }
  return testing::AssertionSuccess();
}

int RunToExit(const std::vector<std::string>& args, std::string* err) {
  int out_fd = -1;
  int err_fd = -1;
  const pid_t pid = Spawn(args, &out_fd, &err_fd);
  if (pid < 0) return -1;
  std::string out;
  const Clock::time_point t0 = Clock::now();
  int status = -1;
  // Either it exits (option error) or it starts; a started linesim is stopped at once.
  while (waitpid(pid, &status, WNOHANG) != pid) {
    ReadPipe(err_fd, err, 10);
    ReadPipe(out_fd, &out, 0);
    if (MsSince(t0) > kStartTimeoutMs || std::count(out.begin(), out.end(), '\n') >= 2) {
      kill(pid, SIGTERM);
    }
  }
  while (ReadPipe(err_fd, err, 100)) {
  }
  close(out_fd);
  close(err_fd);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

Received Exchange(int fd_a, int fd_b, const Traffic& traffic, int quiet_ms, int timeout_ms) {
  Received got;
  size_t sent_b = 0;  // of traffic.to_b, written into A
  size_t sent_a = 0;
  bool write_failed_a = false;
  bool write_failed_b = false;
  const Clock::time_point t0 = Clock::now();
  Clock::time_point last_byte = t0;
  auto done_sending = [&] {
    return (sent_b == traffic.to_b.size() || write_failed_a) &&
           (sent_a == traffic.to_a.size() || write_failed_b);
  };
  auto arrived = [&](size_t have, size_t want, bool eof) {
    return eof || (want != Traffic::kUnknown && have >= want);
  };
  for (;;) {
    if (got.eof_at_a && got.eof_at_b) break;
    if (done_sending()) {
      const bool known =
          traffic.expect_at_a != Traffic::kUnknown && traffic.expect_at_b != Traffic::kUnknown;
      if (arrived(got.at_a.size(), traffic.expect_at_a, got.eof_at_a) &&
          arrived(got.at_b.size(), traffic.expect_at_b, got.eof_at_b) && known) {
        break;
      }
      // With the counts known, wait for them (up to the time-out): on a loaded machine the
      // reader can pause longer than the quiet gap while bytes are still coming.
      if (!known && MsSince(last_byte) >= quiet_ms && MsSince(t0) >= quiet_ms) break;
    }
    if (MsSince(t0) > timeout_ms) break;

    pollfd fds[2] = {{fd_a, 0, 0}, {fd_b, 0, 0}};
    if (!got.eof_at_a) fds[0].events |= POLLIN;
    if (!got.eof_at_b) fds[1].events |= POLLIN;
    if (sent_b < traffic.to_b.size() && !write_failed_a) fds[0].events |= POLLOUT;
    if (sent_a < traffic.to_a.size() && !write_failed_b) fds[1].events |= POLLOUT;
    poll(fds, 2, 10);

    struct Side {
      pollfd& p;
      const Bytes& out;
      size_t& sent;
      bool& write_failed;
      Bytes& in;
      bool& eof;
    };
    Side sides[2] = {{fds[0], traffic.to_b, sent_b, write_failed_a, got.at_a, got.eof_at_a},
                     {fds[1], traffic.to_a, sent_a, write_failed_b, got.at_b, got.eof_at_b}};
    for (Side& s : sides) {
      if ((s.p.revents & POLLOUT) != 0) {
        const size_t n = std::min(traffic.chunk, s.out.size() - s.sent);
        const ssize_t w = write(s.p.fd, s.out.data() + s.sent, n);
        if (w > 0) s.sent += static_cast<size_t>(w);
        if (w < 0 && errno != EAGAIN && errno != EINTR) s.write_failed = true;
      }
      if ((s.p.revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
        uint8_t buf[8192];
        const ssize_t r = read(s.p.fd, buf, sizeof buf);
        if (r > 0) {
          s.in.insert(s.in.end(), buf, buf + r);
          last_byte = Clock::now();
        } else if (r == 0 || (errno != EAGAIN && errno != EINTR)) {
          s.eof = true;
        }
      }
    }
  }
  got.seconds = std::chrono::duration<double>(last_byte - t0).count();
  return got;
}

}  // namespace linesim_test
