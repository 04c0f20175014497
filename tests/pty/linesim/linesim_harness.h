// Runs the linesim binary as a child process and talks to its two ptys as peers would.
#ifndef TESTS_PTY_LINESIM_LINESIM_HARNESS_H_
#define TESTS_PTY_LINESIM_LINESIM_HARNESS_H_

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace linesim_test {

using Bytes = std::vector<uint8_t>;

Bytes RandomBytes(size_t size, uint64_t seed);

struct DirSummary {
  uint64_t read = 0;
  uint64_t carried = 0;
  uint64_t flipped = 0;
  uint64_t dropped = 0;
  uint64_t duplicated = 0;
  uint64_t stalls = 0;
};

struct Summary {
  DirSummary ab;
  DirSummary ba;
  bool hung_up = false;
  bool parsed = false;
};

// Parses the summary linesim prints on stderr when it exits.
Summary ParseSummary(const std::string& text);

class Linesim {
 public:
  Linesim() = default;
  Linesim(const Linesim&) = delete;
  Linesim& operator=(const Linesim&) = delete;
  ~Linesim();

  // Starts linesim with `args` and reads the two slave paths from its stdout.
  testing::AssertionResult Start(const std::vector<std::string>& args);
  const std::string& path_a() const { return path_a_; }
  const std::string& path_b() const { return path_b_; }

  // Opens a slave the way a peer program would: read/write, no controlling tty, non-blocking.
  // The tty mode is left as linesim set it, so a test sees what a peer sees.
  static int OpenPeer(const std::string& path);

  // SIGTERM, then waits for the exit; returns everything linesim wrote to stderr.
  testing::AssertionResult Stop(std::string* err);
  // Waits for linesim to exit by itself within timeout_ms.
  testing::AssertionResult WaitExit(int timeout_ms, int* status, std::string* err);
  bool running() const { return pid_ > 0; }

 private:
  void DrainStderr(int timeout_ms);

  pid_t pid_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
  std::string err_;
  std::string path_a_;
  std::string path_b_;
};

// Runs linesim to completion (for option errors); returns its exit status and stderr.
int RunToExit(const std::vector<std::string>& args, std::string* err);

struct Traffic {
  Bytes to_b;  // written into A's slave
  Bytes to_a;  // written into B's slave
  static constexpr size_t kUnknown = std::numeric_limits<size_t>::max();
  size_t expect_at_b = kUnknown;  // stop as soon as this many arrived (else: wait for quiet)
  size_t expect_at_a = kUnknown;
  size_t chunk = 4096;  // largest single write
};

struct Received {
  Bytes at_b;
  Bytes at_a;
  double seconds = 0;     // first write to last byte read
  bool eof_at_a = false;  // read on A's slave failed or hit EOF
  bool eof_at_b = false;
};

// Writes and reads both slaves concurrently until the expected byte counts arrived, or, when
// a count is unknown, until nothing arrived for quiet_ms after all was written; or until both
// sides saw a hang-up, or timeout_ms passed.
Received Exchange(int fd_a, int fd_b, const Traffic& traffic, int quiet_ms, int timeout_ms);

}  // namespace linesim_test

#endif  // TESTS_PTY_LINESIM_LINESIM_HARNESS_H_
