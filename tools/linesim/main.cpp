// linesim: a throttled, fault-injecting null-modem between two pseudo-terminals.
//
// Prints "A <slave path>" and "B <slave path>" as its first lines on stdout, then carries
// bytes between the two ptys at the line rate of --baud/--framing, applying seeded faults.
// On exit it prints a summary on stderr.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

#include "tools/linesim/direction.h"
#include "tools/linesim/framing.h"
#include "tools/linesim/pty_pair.h"

namespace linesim {
namespace {

constexpr int64_t kNsPerMs = 1'000'000;
// After the hang-up budget is spent, how long the receivers get to read what was already
// delivered before the masters close: a hang-up does not erase a receiver's buffer, but a
// pty does (a hung-up slave reads EOF at once). Bounded, because a peer may never read.
constexpr int64_t kHangupDrainNs = 1000 * kNsPerMs;
// How often the drain checks the slaves' input queues.
constexpr int64_t kHangupPollNs = 10 * kNsPerMs;
// A master that keeps reporting hang-up/error after we reopened our slave this many times in
// a row is beyond repair; give up instead of spinning.
constexpr int kMaxSlaveReopens = 3;

struct Options {
  uint64_t baud = 0;
  std::string framing_text = "8N1";
  Framing framing;
  uint64_t seed = 0;
  std::string dir = "both";
  double bit_error_rate = 0;
  double drop_rate = 0;
  double dup_rate = 0;
  double stall_rate = 0;
  int64_t stall_ms = 100;
  uint64_t hangup_after = 0;
  bool hangup_enabled = false;
  bool exit_when_idle = false;
  int64_t idle_ms = 1000;
  double duration_s = 0;
  int64_t tick_us = 1000;
  std::string paths_file;
  std::string link_a;
  std::string link_b;
  bool quiet = false;
};

volatile sig_atomic_t g_signal = 0;
void OnSignal(int signo) {
  g_signal = signo;
}

int64_t Now() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// Replaces a stale symlink of an earlier run, but never a real file.
bool MakeLink(const std::string& link, const std::string& target) {
  struct stat st {};
  if (lstat(link.c_str(), &st) == 0) {
    if (!S_ISLNK(st.st_mode)) {
      fprintf(stderr, "linesim: %s exists and is not a symlink\n", link.c_str());
      return false;
    }
    unlink(link.c_str());
  }
  if (symlink(target.c_str(), link.c_str()) != 0) {
    fprintf(stderr, "linesim: symlink %s: %s\n", link.c_str(), strerror(errno));
    return false;
  }
  return true;
}

// Removes our link unless someone has replaced it since.
void RemoveLink(const std::string& link, const std::string& target) {
  char buf[256];
  const ssize_t n = readlink(link.c_str(), buf, sizeof buf - 1);
  if (n < 0) return;
  buf[n] = '\0';
  if (target == buf) unlink(link.c_str());
}

// Written under a temporary name and renamed, so a script polling for the file never reads
// half of it.
bool WritePathsFile(const std::string& path, const std::string& text) {
  const std::string tmp = path + ".tmp." + std::to_string(getpid());
  FILE* f = fopen(tmp.c_str(), "w");
  if (f == nullptr) {
    fprintf(stderr, "linesim: %s: %s\n", tmp.c_str(), strerror(errno));
    return false;
  }
  const bool written = fputs(text.c_str(), f) >= 0;
  if (fclose(f) != 0 || !written || rename(tmp.c_str(), path.c_str()) != 0) {
    fprintf(stderr, "linesim: %s: %s\n", path.c_str(), strerror(errno));
    unlink(tmp.c_str());
    return false;
  }
  return true;
}

// Writes what the direction has sent into the receiving master. False on a hard error.
bool Flush(Direction& dir, int fd, int64_t now, int64_t* last_activity) {
  while (dir.OutSize() > 0) {
    const ssize_t n = write(fd, dir.OutData(), dir.OutSize());
    if (n > 0) {
      dir.Consume(static_cast<size_t>(n));
      *last_activity = now;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return true;  // the slave's reader is behind; poll POLLOUT
    fprintf(stderr, "linesim: write to pty master: %s\n", n < 0 ? strerror(errno) : "0 bytes");
    return false;
  }
  return true;
}

enum class ReadResult { kOk, kRetry, kFatal };

// Reads what the peer on `pty` wrote into `dir`, at most the room it has left.
ReadResult ReadInto(Pty& pty, Direction& dir, int64_t now, int64_t* last_activity, int* reopens) {
  uint8_t buf[Direction::kTransmitBuffer];
  const size_t want = std::min(sizeof buf, dir.Room());
  if (want == 0) return ReadResult::kOk;
  const ssize_t n = read(pty.master(), buf, want);
  if (n > 0) {
    dir.Accept(buf, static_cast<size_t>(n), now);
    *last_activity = now;
    *reopens = 0;
    return ReadResult::kOk;
  }
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return ReadResult::kOk;
  // EIO (or EOF) on a master means no slave is open. That should not happen while we hold
  // our own slave (even a hang-up of the slave by a peer's session ending leaves our open
  // file counted); should a kernel report it anyway, reopening our slave restores the link.
  if (++*reopens > kMaxSlaveReopens || !pty.ReopenSlave()) {
    fprintf(stderr, "linesim: read %s master: %s\n", pty.slave_path().c_str(),
            n < 0 ? strerror(errno) : "EOF");
    return ReadResult::kFatal;
  }
  return ReadResult::kRetry;
}

void PrintStats(const char* name, const DirectionStats& s) {
  fprintf(stderr,
          "linesim: %s read %" PRIu64 " carried %" PRIu64 " flipped-bits %" PRIu64
          " dropped %" PRIu64 " duplicated %" PRIu64 " stalls %" PRIu64 "\n",
          name, s.read, s.carried, s.bits_flipped, s.dropped, s.duplicated, s.stalls);
}

int Run(const Options& opt) {
  Pty a;
  Pty b;
  std::string error;
  if (!a.Open(&error) || !b.Open(&error)) {
    fprintf(stderr, "linesim: %s\n", error.c_str());
    return 1;
  }
  const std::string paths = "A " + a.slave_path() + "\nB " + b.slave_path() + "\n";
  // File and links first: once the paths appear on stdout, everything is in place.
  if (!opt.paths_file.empty() && !WritePathsFile(opt.paths_file, paths)) return 1;
  if (!opt.link_a.empty() && !MakeLink(opt.link_a, a.slave_path())) return 1;
  if (!opt.link_b.empty() && !MakeLink(opt.link_b, b.slave_path())) return 1;
  fputs(paths.c_str(), stdout);
  fflush(stdout);

  // Signals are blocked except inside ppoll(), so a stop request is seen exactly there.
  sigset_t stop_signals;
  sigset_t wait_mask;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGHUP);
  sigprocmask(SIG_BLOCK, &stop_signals, &wait_mask);
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);

  const LineRate rate{opt.baud, opt.framing.BitsPerChar()};
  FaultRates faults;
  faults.bit_error = opt.bit_error_rate;
  faults.drop = opt.drop_rate;
  faults.dup = opt.dup_rate;
  faults.stall = opt.stall_rate;
  faults.stall_ns = opt.stall_ms * kNsPerMs;
  const FaultRates none;
  // Each direction has its own generator, so its faults do not depend on how the traffic of
  // the two directions interleaves.
  Direction ab(rate, opt.dir != "ba" ? faults : none, opt.framing.data_bits, opt.seed);
  Direction ba(rate, opt.dir != "ab" ? faults : none, opt.framing.data_bits,
               opt.seed ^ 0xB5AD4ECEDA1CE2A9ull);

  if (!opt.quiet) {
    fprintf(stderr,
            "linesim: A %s B %s baud %" PRIu64 " framing %s bits-per-char %d seed %" PRIu64
            " faults %s\n",
            a.slave_path().c_str(), b.slave_path().c_str(), opt.baud,
            opt.framing.ToString().c_str(), rate.bits_per_char, opt.seed, opt.dir.c_str());
  }

  const int64_t start = Now();
  const int64_t end =
      opt.duration_s > 0 ? start + static_cast<int64_t>(opt.duration_s * 1e9) : kNever;
  const int64_t tick_ns = opt.tick_us * 1000;
  const int64_t idle_ns = opt.idle_ms * kNsPerMs;
  uint64_t budget = opt.hangup_enabled ? opt.hangup_after : std::numeric_limits<uint64_t>::max();
  int64_t last_activity = start;
  bool draining = false;
  int64_t drain_deadline = 0;
  int quiet_checks = 0;
  bool hung_up = false;
  int reopens_a = 0;
  int reopens_b = 0;
  int status = 0;

  for (;;) {
    int64_t now = Now();
    if (g_signal != 0 || now >= end) break;
    if (!draining) {
      ab.Release(now, &budget);
      ba.Release(now, &budget);
    }
    if (!Flush(ab, b.master(), now, &last_activity) ||
        !Flush(ba, a.master(), now, &last_activity)) {
      status = 1;
      break;
    }
    if (opt.hangup_enabled && budget == 0 && !draining) {
      draining = true;
      drain_deadline = now + kHangupDrainNs;
    }
    int64_t wake = end;
    if (draining) {
      const bool delivered = ab.OutSize() == 0 && ba.OutSize() == 0 && a.UnreadBySlave() == 0 &&
                             b.UnreadBySlave() == 0;
      quiet_checks = delivered ? quiet_checks + 1 : 0;
      // Two checks in a row: bytes written to a master reach the slave's queue shortly after.
      if (quiet_checks >= 2 || now >= drain_deadline) {
        hung_up = true;
        break;
      }
      wake = std::min(wake, now + kHangupPollNs);
    } else {
      wake = std::min({wake, ab.NextWake(now, tick_ns), ba.NextWake(now, tick_ns)});
      if (opt.exit_when_idle && (ab.stats().read + ba.stats().read) > 0 && ab.Idle() && ba.Idle()) {
        if (now - last_activity >= idle_ns) break;
        wake = std::min(wake, last_activity + idle_ns);
      }
    }

    pollfd fds[2] = {{a.master(), 0, 0}, {b.master(), 0, 0}};
    if (!draining && ab.Room() > 0) fds[0].events |= POLLIN;
    if (!draining && ba.Room() > 0) fds[1].events |= POLLIN;
    if (ba.OutSize() > 0) fds[0].events |= POLLOUT;
    if (ab.OutSize() > 0) fds[1].events |= POLLOUT;

    timespec timeout{};
    timespec* timeout_ptr = nullptr;
    if (wake != kNever) {
      const int64_t wait = std::max<int64_t>(0, wake - now);
      timeout.tv_sec = wait / 1'000'000'000;
      timeout.tv_nsec = wait % 1'000'000'000;
      timeout_ptr = &timeout;
    }
    const int ready = ppoll(fds, 2, timeout_ptr, &wait_mask);
    if (ready < 0) {
      if (errno == EINTR) continue;
      fprintf(stderr, "linesim: ppoll: %s\n", strerror(errno));
      status = 1;
      break;
    }
    now = Now();
    ReadResult result = ReadResult::kOk;
    const short trouble = POLLIN | POLLHUP | POLLERR;
    if ((fds[0].revents & trouble) != 0 && !draining) {
      result = ReadInto(a, ab, now, &last_activity, &reopens_a);
    }
    if (result != ReadResult::kFatal && (fds[1].revents & trouble) != 0 && !draining) {
      result = ReadInto(b, ba, now, &last_activity, &reopens_b);
    }
    if (result == ReadResult::kFatal) {
      status = 1;
      break;
    }
  }

  a.Close();
  b.Close();
  if (!opt.link_a.empty()) RemoveLink(opt.link_a, a.slave_path());
  if (!opt.link_b.empty()) RemoveLink(opt.link_b, b.slave_path());
  if (!opt.paths_file.empty()) unlink(opt.paths_file.c_str());

  if (!opt.quiet) {
    PrintStats("a->b", ab.stats());
    PrintStats("b->a", ba.stats());
    fprintf(stderr, "linesim: hung-up %s elapsed-ms %" PRId64 "\n", hung_up ? "yes" : "no",
            (Now() - start) / kNsPerMs);
  }
  return status;
}

}  // namespace
}  // namespace linesim

int main(int argc, char** argv) {
  linesim::Options opt;
  CLI::App app{"Throttled, fault-injecting null-modem between two pseudo-terminals."};
  // 100 Mbaud is far beyond any UART and keeps the pacing arithmetic clear of overflow.
  app.add_option("--baud", opt.baud, "Line rate in bit/s; 0 = unthrottled")
      ->check(CLI::Range(uint64_t{0}, uint64_t{100'000'000}));
  app.add_option("--framing", opt.framing_text, "Data bits 5-8, parity N/E/O/M/S, stop bits 1/2")
      ->check([](const std::string& text) {
        return linesim::ParseFraming(text) ? std::string() : "expected e.g. 8N1, 7E2";
      });
  auto* seed = app.add_option("--seed", opt.seed, "Seed of the fault generator");
  app.add_option("--dir", opt.dir, "Direction(s) the faults apply to")
      ->check(CLI::IsMember({"ab", "ba", "both"}));
  app.add_option("--bit-error-rate", opt.bit_error_rate, "Probability to flip each data bit")
      ->check(CLI::Range(0.0, 1.0));
  app.add_option("--drop-rate", opt.drop_rate, "Probability to drop a byte")
      ->check(CLI::Range(0.0, 1.0));
  app.add_option("--dup-rate", opt.dup_rate, "Probability to duplicate a byte")
      ->check(CLI::Range(0.0, 1.0));
  app.add_option("--stall-rate", opt.stall_rate, "Probability per byte to pause the direction")
      ->check(CLI::Range(0.0, 1.0));
  // An hour is far more than any test waits; it bounds the arithmetic, nothing else.
  app.add_option("--stall-ms", opt.stall_ms, "Length of a stall in ms")
      ->capture_default_str()
      ->check(CLI::Range(int64_t{0}, int64_t{3'600'000}));
  auto* hangup = app.add_option("--hangup-after-bytes", opt.hangup_after,
                                "Close both masters after this many bytes carried in total");
  app.add_flag("--exit-when-idle", opt.exit_when_idle,
               "Exit once bytes have moved and then nothing moved for --idle-ms");
  app.add_option("--idle-ms", opt.idle_ms, "Quiet time for --exit-when-idle")
      ->capture_default_str()
      ->check(CLI::Range(int64_t{1}, int64_t{3'600'000}));
  app.add_option("--duration-s", opt.duration_s, "Exit after this many seconds")
      ->check(CLI::NonNegativeNumber);
  // Characters due within one tick are sent together, which keeps the wake-ups (and CPU)
  // low at high rates; the long-run rate is exact either way. 0 = wake per character.
  app.add_option("--tick-us", opt.tick_us, "Shortest sleep between sends in us")
      ->capture_default_str()
      ->check(CLI::Range(int64_t{0}, int64_t{100'000}));
  app.add_option("--paths-file", opt.paths_file, "Also write the two slave paths to this file");
  app.add_option("--link-a", opt.link_a, "Create this symlink to side A's slave");
  app.add_option("--link-b", opt.link_b, "Create this symlink to side B's slave");
  app.add_flag("--quiet", opt.quiet, "No banner and no summary on stderr");
  CLI11_PARSE(app, argc, argv);

  opt.framing = *linesim::ParseFraming(opt.framing_text);
  opt.hangup_enabled = hangup->count() > 0;
  if (seed->count() == 0) {
    // Unseeded runs still differ from each other; the banner prints the seed to replay one.
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    opt.seed = static_cast<uint64_t>(ts.tv_sec) * 1'000'000'007ull ^
               static_cast<uint64_t>(ts.tv_nsec) ^ static_cast<uint64_t>(getpid());
  }
  return linesim::Run(opt);
}
