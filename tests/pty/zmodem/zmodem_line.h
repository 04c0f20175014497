// Real-time ZModem runs: linesim between two ptys, our chanfold-xfer on one end and a peer
// (lrzsz's sz/rz, or a second chanfold-xfer) on the other, each a child process with a time
// limit. Header-only.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "tests/support/fd_io.h"

namespace zpty {

using Bytes = std::vector<uint8_t>;

inline std::string Binary(const std::string& rel) {
  return std::string(CHANFOLD_BINARY_DIR) + "/" + rel;
}
inline std::string XferPath() {
  return Binary("tools/chanfold-xfer/chanfold-xfer");
}
inline std::string LinesimPath() {
  return Binary("tools/linesim/linesim");
}
inline bool HaveProgram(const std::string& name) {
  return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

inline Bytes RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  Bytes b(n);
  for (auto& v : b) v = static_cast<uint8_t>(gen());
  return b;
}
inline void WriteFile(const std::string& path, const Bytes& b) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}
inline bool ReadFile(const std::string& path, Bytes* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  *out = Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

// A child process. With `tty` set, its stdin and stdout are that pty slave (the way sz and rz
// are run on a line); its stderr goes to `log`.
class Child {
 public:
  Child() = default;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() { Kill(); }

  bool Start(const std::vector<std::string>& argv, const std::string& cwd, const std::string& tty,
             const std::string& log) {
    pid_ = fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
      setpgid(0, 0);
      if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
      int err = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (err >= 0) dup2(err, 2);
      if (!tty.empty()) {
        int fd = open(tty.c_str(), O_RDWR | O_NOCTTY);
        if (fd < 0) _exit(125);
        dup2(fd, 0);
        dup2(fd, 1);
      } else {
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
      }
      std::vector<char*> args;
      for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      execvp(args[0], args.data());
      _exit(127);
    }
    start_ms_ = testsupport::NowMs();
    return true;
  }

  // Waits for the exit up to timeout_ms: the exit status, or -1 when it did not exit (it is
  // then killed).
  int Wait(int timeout_ms) {
    if (pid_ <= 0) return status_;
    uint64_t deadline = testsupport::NowMs() + static_cast<uint64_t>(timeout_ms);
    for (;;) {
      int st = 0;
      pid_t r = waitpid(pid_, &st, WNOHANG);
      if (r == pid_) {
        pid_ = -1;
        end_ms_ = testsupport::NowMs();
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        return status_;
      }
      if (testsupport::NowMs() >= deadline) {
        Kill();
        return -1;
      }
      usleep(20000);
    }
  }
  void Kill() {
    if (pid_ <= 0) return;
    kill(-pid_, SIGKILL);
    int st = 0;
    waitpid(pid_, &st, 0);
    pid_ = -1;
    end_ms_ = testsupport::NowMs();
  }
  double Seconds() const { return static_cast<double>(end_ms_ - start_ms_) / 1000.0; }
  uint64_t start_ms() const { return start_ms_; }
  uint64_t end_ms() const { return end_ms_; }

 private:
  pid_t pid_ = -1;
  int status_ = -1;
  uint64_t start_ms_ = 0;
  uint64_t end_ms_ = 0;
};

// linesim with its two slave paths.
class Line {
 public:
  bool Start(const std::vector<std::string>& options, const std::string& log_dir) {
    std::string paths = log_dir + "/linesim.out";
    std::vector<std::string> argv = {LinesimPath()};
    argv.insert(argv.end(), options.begin(), options.end());
    // stdout to a file we read back for the two paths.
    pid_ = fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
      setpgid(0, 0);
      int out = open(paths.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      int err = open((log_dir + "/linesim.err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(out, 1);
      dup2(err, 2);
      std::vector<char*> args;
      for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      execv(args[0], args.data());
      _exit(127);
    }
    uint64_t deadline = testsupport::NowMs() + 5000;
    while (testsupport::NowMs() < deadline) {
      std::ifstream in(paths);
      std::string tag, path;
      while (in >> tag >> path) {
        if (tag == "A") a_ = path;
        if (tag == "B") b_ = path;
      }
      if (!a_.empty() && !b_.empty()) return true;
      usleep(20000);
    }
    return false;
  }
  ~Line() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      int st = 0;
      waitpid(pid_, &st, 0);
    }
  }
  const std::string& a() const { return a_; }
  const std::string& b() const { return b_; }

 private:
  pid_t pid_ = -1;
  std::string a_, b_;
};

}  // namespace zpty
