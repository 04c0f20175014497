// Real time for the device on Linux: a timer queue on CLOCK_MONOTONIC and a file descriptor
// (a pty master or a serial port) as its line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>

#include "tools/trasmod-sim/device_link.h"

namespace trasmod {

class PosixLink : public DeviceLink {
 public:
  // How long one Send may wait for room on the line before the rest is dropped: several
  // seconds of our longest reply at 57600 bit/s; a PC that has not read for that long has
  // lost the bytes on a real line too.
  static constexpr int kWriteWaitMs = 2000;

  using Logger = std::function<void(const char* what, const uint8_t* data, size_t n)>;

  explicit PosixLink(int fd) : fd_(fd) {}

  void set_logger(Logger logger) { logger_ = std::move(logger); }

  void Send(const uint8_t* data, size_t n) override;
  void After(uint32_t ms, std::function<void()> fn) override;
  uint64_t NowMs() override;

  // Runs every event that is due. Returns the milliseconds until the next one, -1 if none.
  int RunDue();

 private:
  int fd_;
  Logger logger_;
  uint64_t seq_ = 0;
  std::multimap<std::pair<uint64_t, uint64_t>, std::function<void()>> events_;
};

// A pseudo-terminal whose slave the PC side opens. We keep a descriptor of the slave open
// ourselves for the life of the program, so that the master keeps working while the PC has
// the port closed.
struct Pty {
  int master = -1;
  int slave = -1;
  std::string slave_path;
};
bool OpenPty(Pty* pty, std::string* error);

// Opens a serial device (or a pty slave) raw, 8N1, no flow control, at baud.
int OpenSerial(const std::string& path, uint32_t baud, std::string* error);

// Text for a log line: printable ASCII as is, the rest escaped, cut after max_chars.
std::string Printable(const uint8_t* data, size_t n, size_t max_chars);

}  // namespace trasmod
