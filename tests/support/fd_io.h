// Reading and writing a descriptor with time limits, for real-time tests on ptys and pipes.
// Every call returns by its deadline whatever the other side does. Header-only.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace testsupport {

// Milliseconds on the monotonic clock.
inline uint64_t NowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

inline void SetNonBlocking(int fd) {
  int fl = fcntl(fd, F_GETFL);
  if (fl >= 0) fcntl(fd, F_SETFL, fl | O_NONBLOCK);
}

// Waits up to timeout_ms for `events` on fd; returns the revents (0 on time-out).
inline short WaitFd(int fd, short events, int timeout_ms) {
  pollfd p{fd, events, 0};
  uint64_t deadline = NowMs() + static_cast<uint64_t>(timeout_ms < 0 ? 0 : timeout_ms);
  for (;;) {
    uint64_t now = NowMs();
    int left = now >= deadline ? 0 : static_cast<int>(deadline - now);
    int r = poll(&p, 1, left);
    if (r > 0) return p.revents;
    if (r == 0 || errno != EINTR) return 0;
  }
}

// Writes all of `data` within timeout_ms; returns the count written (short on time-out or
// error). Works on blocking and non-blocking descriptors; waits only for writability.
inline size_t WriteFor(int fd, const void* data, size_t n, int timeout_ms) {
  const auto* p = static_cast<const uint8_t*>(data);
  size_t done = 0;
  uint64_t deadline = NowMs() + static_cast<uint64_t>(timeout_ms < 0 ? 0 : timeout_ms);
  while (done < n) {
    uint64_t now = NowMs();
    if (now > deadline) break;
    if ((WaitFd(fd, POLLOUT, static_cast<int>(deadline - now)) & POLLOUT) == 0) break;
    ssize_t r = write(fd, p + done, n - done);
    if (r > 0) {
      done += static_cast<size_t>(r);
    } else if (r < 0 && errno != EINTR && errno != EAGAIN) {
      break;
    }
  }
  return done;
}

inline bool WriteAll(int fd, std::string_view s, int timeout_ms = 2000) {
  return WriteFor(fd, s.data(), s.size(), timeout_ms) == s.size();
}

inline bool WriteAll(int fd, const std::vector<uint8_t>& v, int timeout_ms = 2000) {
  return WriteFor(fd, v.data(), v.size(), timeout_ms) == v.size();
}

// Reads until `n` bytes have come or timeout_ms has passed; returns what came (at most n).
inline std::vector<uint8_t> ReadFor(int fd, size_t n, int timeout_ms) {
  std::vector<uint8_t> out;
  uint64_t deadline = NowMs() + static_cast<uint64_t>(timeout_ms < 0 ? 0 : timeout_ms);
  uint8_t buf[4096];
  while (out.size() < n) {
    uint64_t now = NowMs();
    if (now > deadline) break;
    short ev = WaitFd(fd, POLLIN, static_cast<int>(deadline - now));
    if (ev == 0) break;
    size_t want = n - out.size() < sizeof buf ? n - out.size() : sizeof buf;
    ssize_t r = read(fd, buf, want);
    if (r > 0) {
      out.insert(out.end(), buf, buf + r);
    } else if (r == 0 || (errno != EINTR && errno != EAGAIN)) {
      break;  // end of file, or the other side is gone (EIO on a pty master)
    }
  }
  return out;
}

// Reads until `text` has appeared in what came, or timeout_ms has passed; returns all that came.
inline std::string ReadUntil(int fd, std::string_view text, int timeout_ms) {
  std::string out;
  uint64_t deadline = NowMs() + static_cast<uint64_t>(timeout_ms < 0 ? 0 : timeout_ms);
  char buf[1024];
  while (out.find(text) == std::string::npos) {
    uint64_t now = NowMs();
    if (now > deadline) break;
    short ev = WaitFd(fd, POLLIN, static_cast<int>(deadline - now));
    if (ev == 0) break;
    ssize_t r = read(fd, buf, sizeof buf);
    if (r > 0) {
      out.append(buf, static_cast<size_t>(r));
    } else if (r == 0 || (errno != EINTR && errno != EAGAIN)) {
      break;
    }
  }
  return out;
}

// Reads and discards until nothing has come for quiet_ms; returns the count discarded.
inline size_t Drain(int fd, int quiet_ms) {
  size_t total = 0;
  uint8_t buf[4096];
  while (WaitFd(fd, POLLIN, quiet_ms) & POLLIN) {
    ssize_t r = read(fd, buf, sizeof buf);
    if (r <= 0) break;
    total += static_cast<size_t>(r);
  }
  return total;
}

}  // namespace testsupport
