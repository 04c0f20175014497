// A program run as a child with pipes on its standard input, output and error, and extra
// environment variables. Header-only, for the real-time tests of this folder.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/fd_io.h"

namespace updater::pty_testing {

class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    CloseStdin();
    if (out_ >= 0) close(out_);
    if (err_ >= 0) close(err_);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts `path` with `args`; `env` is added to (or overrides) this process's environment.
  bool Start(const std::string& path, const std::vector<std::string>& args,
             const std::map<std::string, std::string>& env = {}) {
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
      return false;
    }
    std::vector<std::string> argv_s = {path};
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    pid_ = fork();
    if (pid_ == 0) {
      for (const auto& [k, v] : env) setenv(k.c_str(), v.c_str(), 1);
      dup2(in[0], STDIN_FILENO);
      dup2(out[1], STDOUT_FILENO);
      dup2(err[1], STDERR_FILENO);
      std::vector<char*> argv;
      for (std::string& s : argv_s) argv.push_back(s.data());
      argv.push_back(nullptr);
      execv(path.c_str(), argv.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    in_ = in[1];
    out_ = out[0];
    err_ = err[0];
    testsupport::SetNonBlocking(out_);
    testsupport::SetNonBlocking(err_);
    return pid_ > 0;
  }

  // Reads standard output until `text` has come (or the time is up); all output read so far
  // is kept in output().
  bool WaitForOutput(const std::string& text, int timeout_ms) {
    uint64_t deadline = testsupport::NowMs() + static_cast<uint64_t>(timeout_ms);
    for (;;) {
      bool open = Collect();
      if (output_.find(text) != std::string::npos) return true;
      uint64_t now = testsupport::NowMs();
      if (!open || now >= deadline) return false;
      testsupport::WaitFd(out_, POLLIN, static_cast<int>(std::min<uint64_t>(deadline - now, 50)));
    }
  }

  bool WriteStdin(const std::string& text) { return testsupport::WriteAll(in_, text); }
  void CloseStdin() {
    if (in_ >= 0) close(in_);
    in_ = -1;
  }

  // Waits for the exit; the exit status, or nullopt when it did not end in time (or was
  // killed by a signal). Reads the rest of the output meanwhile.
  std::optional<int> Wait(int timeout_ms) {
    uint64_t deadline = testsupport::NowMs() + static_cast<uint64_t>(timeout_ms);
    for (;;) {
      Collect();
      int status = 0;
      pid_t r = waitpid(pid_, &status, WNOHANG);
      if (r == pid_) {
        pid_ = -1;
        Collect();
        if (WIFEXITED(status)) return WEXITSTATUS(status);
        return std::nullopt;
      }
      if (testsupport::NowMs() >= deadline) return std::nullopt;
      usleep(10000);
    }
  }

  void Terminate() {
    if (pid_ > 0) kill(pid_, SIGTERM);
  }

  const std::string& output() const { return output_; }
  const std::string& errors() const { return errors_; }

 private:
  // Reads what both pipes hold now; false once standard output has ended.
  bool Collect() {
    char buf[4096];
    bool open = true;
    for (int fd : {out_, err_}) {
      for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n == 0 && fd == out_) open = false;
        if (n <= 0) break;
        (fd == out_ ? output_ : errors_).append(buf, static_cast<size_t>(n));
      }
    }
    return open;
  }

  pid_t pid_ = -1;
  int in_ = -1, out_ = -1, err_ = -1;
  std::string output_, errors_;
};

}  // namespace updater::pty_testing
