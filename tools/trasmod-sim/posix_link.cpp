#include "tools/trasmod-sim/posix_link.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace trasmod {
namespace {

std::string Errno(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

bool MakeRaw(int fd, speed_t speed, std::string* error) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) {
    *error = Errno("tcgetattr");
    return false;
  }
  cfmakeraw(&tio);
  tio.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CRTSCTS | CSIZE);
  tio.c_cflag |= CS8 | CLOCAL | CREAD;
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  if (speed != 0 && (cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0)) {
    *error = Errno("cfsetspeed");
    return false;
  }
  if (tcsetattr(fd, TCSANOW, &tio) != 0) {
    *error = Errno("tcsetattr");
    return false;
  }
  return true;
}

speed_t SpeedOf(uint32_t baud) {
  struct Rate {
    uint32_t baud;
    speed_t speed;
  };
  static constexpr std::array<Rate, 17> kRates = {{{300, B300},
                                                   {600, B600},
                                                   {1200, B1200},
                                                   {2400, B2400},
                                                   {4800, B4800},
                                                   {9600, B9600},
                                                   {19200, B19200},
                                                   {38400, B38400},
                                                   {57600, B57600},
                                                   {115200, B115200},
                                                   {230400, B230400},
                                                   {460800, B460800},
                                                   {500000, B500000},
                                                   {576000, B576000},
                                                   {921600, B921600},
                                                   {1000000, B1000000},
                                                   {2000000, B2000000}}};
  for (const Rate& r : kRates) {
    if (r.baud == baud) return r.speed;
  }
  return 0;
}

}  // namespace

uint64_t PosixLink::NowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

void PosixLink::After(uint32_t ms, std::function<void()> fn) {
  events_.emplace(std::make_pair(NowMs() + ms, seq_++), std::move(fn));
}

int PosixLink::RunDue() {
  for (;;) {
    if (events_.empty()) return -1;
    auto it = events_.begin();
    uint64_t now = NowMs();
    if (it->first.first > now) {
      uint64_t wait = it->first.first - now;
      return wait > 60000 ? 60000 : static_cast<int>(wait);
    }
    std::function<void()> fn = std::move(it->second);
    events_.erase(it);
    fn();
  }
}

void PosixLink::Send(const uint8_t* data, size_t n) {
  if (logger_) logger_("tx", data, n);
  size_t done = 0;
  const uint64_t deadline = NowMs() + kWriteWaitMs;
  while (done < n) {
    ssize_t w = write(fd_, data + done, n - done);
    if (w > 0) {
      done += static_cast<size_t>(w);
      continue;
    }
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK) break;
    uint64_t now = NowMs();
    if (now >= deadline) break;
    pollfd p{fd_, POLLOUT, 0};
    poll(&p, 1, static_cast<int>(deadline - now));
  }
  if (done < n && logger_) logger_("dropped", data + done, n - done);
}

bool OpenPty(Pty* pty, std::string* error) {
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0) {
    *error = Errno("posix_openpt");
    return false;
  }
  std::array<char, 128> name{};
  if (grantpt(master) != 0 || unlockpt(master) != 0 ||
      ptsname_r(master, name.data(), name.size()) != 0) {
    *error = Errno("pty setup");
    close(master);
    return false;
  }
  int slave = open(name.data(), O_RDWR | O_NOCTTY);
  if (slave < 0) {
    *error = Errno(std::string("open ") + name.data());
    close(master);
    return false;
  }
  // Raw from the start: no echo of what the PC writes, no line editing, no CR/LF mapping,
  // whatever the PC side later sets or leaves.
  if (!MakeRaw(slave, B57600, error)) {
    close(slave);
    close(master);
    return false;
  }
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  pty->master = master;
  pty->slave = slave;
  pty->slave_path = name.data();
  return true;
}

int OpenSerial(const std::string& path, uint32_t baud, std::string* error) {
  speed_t speed = SpeedOf(baud);
  if (speed == 0) {
    *error = "unsupported baud rate " + std::to_string(baud);
    return -1;
  }
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    *error = Errno("open " + path);
    return -1;
  }
  if (!MakeRaw(fd, speed, error)) {
    close(fd);
    return -1;
  }
  return fd;
}

std::string Printable(const uint8_t* data, size_t n, size_t max_chars) {
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    if (out.size() >= max_chars) {
      out += "...";
      break;
    }
    uint8_t c = data[i];
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\\') {
      out += "\\\\";
    } else if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      std::array<char, 8> hex{};
      std::snprintf(hex.data(), hex.size(), "\\x%02X", c);
      out += hex.data();
    }
  }
  return out;
}

}  // namespace trasmod
