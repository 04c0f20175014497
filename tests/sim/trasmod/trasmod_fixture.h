// A virtual-time line for the simulated transmodulator: records what the device sends and runs
// its scheduled events in time order; plus the XModem blocks a sender would put on the line.
#pragma once

#include <gtest/gtest.h>
#include <algorithm>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tools/trasmod-sim/device_core.h"
#include "tools/trasmod-sim/xmodem_receiver.h"

namespace trasmod::testing {

// The texts the update procedure looks for in the replies to "B" and "F", byte for byte.
inline constexpr std::string_view kRebootedB = "B - Flash programming bitstream";
inline constexpr std::string_view kResidentB = "B - Flash bitstream firmware";
inline constexpr std::string_view kFirmwareF = "F - Flash programming firmware";

class FakeLink : public DeviceLink {
 public:
  void Send(const uint8_t* data, size_t n) override {
    out_.append(reinterpret_cast<const char*>(data), n);
    sends_.push_back({now_, std::string(reinterpret_cast<const char*>(data), n)});
  }
  void After(uint32_t ms, std::function<void()> fn) override {
    events_.emplace(std::make_pair(now_ + ms, seq_++), std::move(fn));
  }
  uint64_t NowMs() override { return now_; }

  // Runs every event due within the next ms, moving the clock to each.
  void Advance(uint64_t ms) {
    const uint64_t end = now_ + ms;
    while (!events_.empty() && events_.begin()->first.first <= end) {
      auto it = events_.begin();
      now_ = it->first.first;
      auto fn = std::move(it->second);
      events_.erase(it);
      fn();
    }
    now_ = end;
  }
  // Everything sent since the last Take().
  std::string Take() { return std::exchange(out_, {}); }

  struct Piece {
    uint64_t at_ms;
    std::string bytes;
  };
  // Every Send with its time, since the start.
  const std::vector<Piece>& sends() const { return sends_; }

 private:
  uint64_t now_ = 0;
  uint64_t seq_ = 0;
  std::string out_;
  std::vector<Piece> sends_;
  std::multimap<std::pair<uint64_t, uint64_t>, std::function<void()>> events_;
};

// A device on a FakeLink, with helpers to talk to it as the PC does.
class DeviceTest : public ::testing::Test {
 protected:
  void Make(DeviceConfig config = {}) { core_ = std::make_unique<DeviceCore>(link_, config); }
  void Put(std::string_view bytes) {
    core_->OnBytes(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  }
  void Put(const std::vector<uint8_t>& bytes) { core_->OnBytes(bytes.data(), bytes.size()); }
  // Sends a command and returns what came back within ms.
  std::string Ask(std::string_view bytes, uint64_t ms = 10) {
    link_.Take();
    Put(bytes);
    link_.Advance(ms);
    return link_.Take();
  }
  // REBOOT, then SUB every 50 ms until the prompt (as the updater's bootloader wait does).
  // Returns what arrived meanwhile.
  std::string RebootIntoBootloader() {
    std::string seen = Ask("REBOOT\r\n");
    for (int i = 0; i < 100 && seen.find('>') == std::string::npos; ++i) seen += Ask("\x1a", 50);
    return seen;
  }

  FakeLink link_;
  std::unique_ptr<DeviceCore> core_;
};

// One XModem block: SOH for 128 data bytes, STX for 1024; data shorter than that is padded
// with 0x1A; CRC-16 high byte first.
inline std::vector<uint8_t> Block(uint8_t number, std::vector<uint8_t> data, size_t len = 1024) {
  data.resize(len, kSub);
  // Sized up front and copied into: g++ 12 at -O2 warns falsely (array-bounds) about inserting
  // into a vector built from a three-element list.
  std::vector<uint8_t> b(3 + data.size());
  b[0] = len == 128 ? kSoh : kStx;
  b[1] = number;
  b[2] = static_cast<uint8_t>(255 - number);
  std::copy(data.begin(), data.end(), b.begin() + 3);
  uint16_t crc = Crc16Xmodem(data.data(), data.size());
  b.push_back(static_cast<uint8_t>(crc >> 8));
  b.push_back(static_cast<uint8_t>(crc & 0xFF));
  return b;
}

// Bytes i*7+seed, an image whose last byte is not 0x1A.
inline std::vector<uint8_t> Pattern(size_t n, uint8_t seed = 0) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7 + seed);
  if (!v.empty() && v.back() == kSub) v.back() = 0;
  return v;
}

// Splits the reply to "VERSION" the way the updater reads it: three characters dropped, the
// rest cut at every comma.
inline std::vector<std::string> VersionFields(const std::string& reply) {
  std::vector<std::string> fields;
  if (reply.size() < 3) return fields;
  std::string rest = reply.substr(3);
  size_t start = 0;
  for (;;) {
    size_t comma = rest.find(',', start);
    fields.push_back(rest.substr(start, comma - start));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return fields;
}

// CR LF pairs removed, then leading and trailing spaces.
inline std::string Cleaned(std::string s) {
  for (size_t p; (p = s.find("\r\n")) != std::string::npos;) s.erase(p, 2);
  size_t b = s.find_first_not_of(' ');
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of(' ');
  return s.substr(b, e - b + 1);
}

}  // namespace trasmod::testing
