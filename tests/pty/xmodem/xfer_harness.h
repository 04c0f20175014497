// Real-time transfers between chanfold-xfer and peer programs (lrzsz's sx, rx, sb, rb, or a
// second chanfold-xfer) through linesim, a paced null-modem between two ptys.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace xfer_test {

using Bytes = std::vector<uint8_t>;

Bytes RandomBytes(size_t n, uint32_t seed);
void WriteFile(const std::string& path, const Bytes& data);
// The file's bytes; `exists` false when it cannot be read.
Bytes ReadFile(const std::string& path, bool* exists = nullptr);

std::string XferBinary();
std::string LinesimBinary();
// The absolute path of a program on PATH, or "" when it is not installed.
std::string FindProgram(const std::string& name);

// A child process. With `tty` non-empty, standard input and output are that device (how lrzsz
// talks to the line); standard error goes to `err_path`.
class Child {
 public:
  Child() = default;
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool Start(const std::vector<std::string>& argv, const std::string& cwd, const std::string& tty,
             const std::string& err_path);
  // Waits up to timeout_ms; returns true when the child exited (exit_code() is then valid).
  bool Wait(int timeout_ms);
  // SIGTERM, a moment, then SIGKILL if needed. Only this child's own pid is signalled.
  void Stop();
  int exit_code() const { return exit_code_; }
  bool running() const { return pid_ > 0; }

 private:
  pid_t pid_ = -1;
  int exit_code_ = -1;
};

// linesim started with `args`, its two slave paths read from its paths file.
class Line {
 public:
  explicit Line(const std::vector<std::string>& args);
  bool ok() const { return !a_.empty() && !b_.empty(); }
  const std::string& a() const { return a_; }
  const std::string& b() const { return b_; }

 private:
  testsupport::TempDir dir_;
  Child child_;
  std::string a_, b_;
};

struct Outcome {
  int ours = -1;           // chanfold-xfer's exit code (-1: did not end in time)
  int peer = -1;           // the peer's exit code (-1: stopped by us)
  double seconds = 0;      // wall time of chanfold-xfer
  double cpu_seconds = 0;  // user + system time of chanfold-xfer
  std::string ours_err;    // what chanfold-xfer printed
};

// Runs our `ours` arguments (the port is added) against `peer` argv (run with the line as its
// terminal, in peer_cwd) over `line`; waits up to timeout_ms for chanfold-xfer, then for the
// peer up to peer_grace_ms, and stops whatever still runs.
Outcome RunTransfer(const Line& line, std::vector<std::string> ours,
                    const std::vector<std::string>& peer, const std::string& peer_cwd,
                    int timeout_ms, int peer_grace_ms, bool peer_is_ours = false);

}  // namespace xfer_test
