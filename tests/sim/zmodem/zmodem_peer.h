// Scripted ZModem peers for the virtual-time tests: a stream decoder for what the program
// writes, encoders for what the peer answers, and a control on a simulated COM3 with an event
// recorder and a private work folder.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "platform/sim/sim_world.h"
#include "serialctl/chanfold_ctrl.h"
#include "serialctl/transfer/block_checks.h"
#include "serialctl/transfer/zmodem_framing.h"
#include "tests/support/temp_dir.h"

namespace chanfold::ztest {

using Bytes = std::vector<uint8_t>;

inline std::string Narrow(const std::u16string& s) {
  std::string out;
  for (char16_t c : s) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return out;
}

// ---- Encoders (the peer's side of the line) ----

inline void PutEscaped(Bytes& out, uint8_t b) {
  // Escapes what either side's rules escape, plus every control character: a valid encoding
  // for any receiver.
  if ((b & 0x60) == 0 || b == 0x7F || b == 0xFF) {
    out.push_back(kZDle);
    out.push_back(b == 0x7F ? kZRub0 : b == 0xFF ? kZRub1 : static_cast<uint8_t>(b ^ 0x40));
  } else {
    out.push_back(b);
  }
}

inline Bytes HexHeader(int type, uint32_t value) {
  HeaderBytes h{};
  PutHeaderValue(h, value);
  uint8_t five[5] = {static_cast<uint8_t>(type), h[0], h[1], h[2], h[3]};
  uint16_t crc = Crc16(std::span<const uint8_t>(five, 5));
  char text[32];
  snprintf(text, sizeof text, "%02x%02x%02x%02x%02x%04x", five[0], five[1], five[2], five[3],
           five[4], crc);
  Bytes out = {'*', '*', kZDle, 'B'};
  for (const char* p = text; *p; ++p) out.push_back(static_cast<uint8_t>(*p));
  out.insert(out.end(), {0x0D, 0x8A});
  if (type != kZFin && type != kZAck) out.push_back(kXon);
  return out;
}

inline Bytes HexHeaderBytes(int type, HeaderBytes h) {
  Bytes out = HexHeader(type, GetHeaderValue(h));
  return out;
}

// A binary header with CRC-16 ("A") or CRC-32 ("C"), as lrzsz sends by default.
inline Bytes BinHeader(int type, uint32_t value, bool crc32 = false) {
  HeaderBytes h{};
  PutHeaderValue(h, value);
  uint8_t five[5] = {static_cast<uint8_t>(type), h[0], h[1], h[2], h[3]};
  Bytes out = {'*', kZDle, static_cast<uint8_t>(crc32 ? 'C' : 'A')};
  for (uint8_t b : five) PutEscaped(out, b);
  if (crc32) {
    Crc32Table t;
    BuildCrc32Table(kCrc32Polynomial, t);
    uint32_t c = ~UpdateCrc32(t, std::span<const uint8_t>(five, 5), kCrc32Init);
    for (int i = 0; i < 4; ++i) PutEscaped(out, static_cast<uint8_t>(c >> (8 * i)));
  } else {
    uint16_t c = Crc16(std::span<const uint8_t>(five, 5));
    PutEscaped(out, Crc16High(c));
    PutEscaped(out, Crc16Low(c));
  }
  return out;
}

inline Bytes Subpacket(const Bytes& data, uint8_t end, bool crc32 = false) {
  Bytes out;
  for (uint8_t b : data) PutEscaped(out, b);
  out.push_back(kZDle);
  out.push_back(end);
  Bytes covered = data;
  covered.push_back(end);
  if (crc32) {
    Crc32Table t;
    BuildCrc32Table(kCrc32Polynomial, t);
    uint32_t c = ~UpdateCrc32(t, covered, kCrc32Init);
    for (int i = 0; i < 4; ++i) PutEscaped(out, static_cast<uint8_t>(c >> (8 * i)));
  } else {
    uint16_t c = Crc16(covered);
    PutEscaped(out, Crc16High(c));
    PutEscaped(out, Crc16Low(c));
  }
  if (end == kZCrcW) out.push_back(kXon);
  return out;
}

// ---- Decoder of the program's output ----

struct Frame {
  bool is_header = true;
  int type = -1;       // headers
  uint32_t value = 0;  // headers: GetHeaderValue of P0..P3
  HeaderBytes hdr{};   // headers
  char format = 0;     // 'A', 'B' or 'C'
  Bytes data;          // subpackets
  uint8_t end = 0;     // subpackets: the frame end
  bool crc_ok = true;
  uint64_t at_ms = 0;
};

class ZDecoder {
 public:
  // After the peer asked for a restart, the program's next frame is a header, even in the
  // middle of a data frame.
  void ExpectHeader() { in_data_ = false; }
  // Frames in the bytes so far; anything incomplete waits for more. "OO" is reported as a
  // header of type 'O'.
  void Feed(const uint8_t* p, size_t n, std::vector<Frame>* out, uint64_t now) {
    buf_.insert(buf_.end(), p, p + n);
    for (;;) {
      Frame f;
      f.at_ms = now;
      size_t used = in_data_ ? ParseData(&f) : ParseHeader(&f);
      if (used == 0) break;
      buf_.erase(buf_.begin(), buf_.begin() + static_cast<long>(used));
      if (f.type != -2) out->push_back(f);
    }
  }

 private:
  // Unescapes one byte at p: 0..255, 0x100 + frame end, or -3 when more bytes are needed.
  int Unesc(size_t* p) {
    while (*p < buf_.size() && (buf_[*p] == kXon || buf_[*p] == kXoff)) ++*p;
    if (*p >= buf_.size()) return -3;
    uint8_t b = buf_[(*p)++];
    if (b != kZDle) return b;
    if (*p >= buf_.size()) return -3;
    uint8_t c = buf_[(*p)++];
    if (c >= kZCrcE && c <= kZCrcW) return 0x100 + c;
    if (c == kZRub0) return 0x7F;
    if (c == kZRub1) return 0xFF;
    return c ^ 0x40;
  }

  size_t ParseHeader(Frame* f) {
    f->type = -2;  // noise, unless a header is found
    size_t p = 0;
    while (p < buf_.size() && buf_[p] != '*' && buf_[p] != 'O') ++p;
    if (p == buf_.size()) return p;  // noise: dropped
    if (buf_[p] == 'O') {
      if (p + 1 >= buf_.size()) return p;
      if (buf_[p + 1] == 'O') {
        f->type = 'O';
        return p + 2;
      }
      return p + 1;
    }
    size_t start = p;
    if (buf_.size() - p < 4) return start;
    if (buf_[p + 1] == '*' && buf_[p + 2] == kZDle && buf_[p + 3] == 'B') {
      if (buf_.size() - p < 4 + 14 + 2) return start;
      uint8_t v[7];
      for (int i = 0; i < 7; ++i) {
        v[i] = static_cast<uint8_t>(std::stoi(
            std::string(buf_.begin() + p + 4 + 2 * i, buf_.begin() + p + 6 + 2 * i), nullptr, 16));
      }
      f->format = 'B';
      f->type = v[0];
      for (int i = 0; i < 4; ++i) f->hdr[i] = v[1 + i];
      uint16_t crc = Crc16(std::span<const uint8_t>(v, 5));
      f->crc_ok = v[5] == Crc16High(crc) && v[6] == Crc16Low(crc);
      f->value = GetHeaderValue(f->hdr);
      p += 4 + 14 + 2;
      if (p < buf_.size() && buf_[p] == kXon) ++p;
    } else if (buf_[p + 1] == kZDle && (buf_[p + 2] == 'A' || buf_[p + 2] == 'C')) {
      f->format = static_cast<char>(buf_[p + 2]);
      p += 3;
      int n = f->format == 'A' ? 7 : 9;
      uint8_t v[9] = {};
      for (int i = 0; i < n; ++i) {
        int b = Unesc(&p);
        if (b == -3) return 0;
        v[i] = static_cast<uint8_t>(b);
      }
      f->type = v[0];
      for (int i = 0; i < 4; ++i) f->hdr[i] = v[1 + i];
      uint16_t crc = Crc16(std::span<const uint8_t>(v, 5));
      f->crc_ok = v[5] == Crc16High(crc) && v[6] == Crc16Low(crc);
      f->value = GetHeaderValue(f->hdr);
      if (f->type == kZData || f->type == kZFile) in_data_ = true;
    } else {
      return start + 1;
    }
    return p;
  }

  size_t ParseData(Frame* f) {
    size_t p = 0;
    f->is_header = false;
    f->type = -1;
    for (;;) {
      int b = Unesc(&p);
      if (b == -3) return 0;
      if (b >= 0x100) {
        f->end = static_cast<uint8_t>(b & 0xFF);
        break;
      }
      f->data.push_back(static_cast<uint8_t>(b));
    }
    int hi = Unesc(&p);
    if (hi == -3) return 0;
    int lo = Unesc(&p);
    if (lo == -3) return 0;
    Bytes covered = f->data;
    covered.push_back(f->end);
    uint16_t crc = Crc16(covered);
    f->crc_ok = hi == Crc16High(crc) && lo == Crc16Low(crc);
    if (f->end == kZCrcW && p < buf_.size() && buf_[p] == kXon) ++p;
    if (f->end == kZCrcE || f->end == kZCrcW) in_data_ = false;
    return p;
  }

  Bytes buf_;
  bool in_data_ = false;
};

// ---- The control under test ----

class Recorder : public ChanfoldEvents {
 public:
  void HasError(const std::u16string& m) override { Add("HasError " + Narrow(m)); }
  void HasWarning(const std::u16string& m) override { Add("HasWarning " + Narrow(m)); }
  void DoInit() override { Add("DoInit"); }
  void StartFile(const std::u16string& f) override { Add("StartFile " + Narrow(f)); }
  void OneBlockDone() override { ++blocks; }
  void FinishFile(const std::u16string& f) override { Add("FinishFile " + Narrow(f)); }
  void FinishTransfer() override {
    Add("FinishTransfer");
    ended = true;
  }
  void AbortTransfer() override {
    Add("AbortTransfer");
    ended = true;
  }
  void Add(const std::string& s) { events.push_back(s); }
  std::vector<std::string> events;
  int blocks = 0;
  bool ended = false;
};

class ZSimTest : public ::testing::Test {
 protected:
  ZSimTest() : port_(world_.AddPort("COM3")), ctrl_(world_.services()) {
    ctrl_.SetEventSink(&rec_);
    ctrl_.put_Port(u"COM3");
    ctrl_.put_BaudRate(115200);
    port_.SetOnReceive([this](const uint8_t* p, size_t n) {
      std::vector<Frame> frames;
      decoder_.Feed(p, n, &frames, world_.NowMs());
      for (const Frame& f : frames) {
        log_.push_back(f);
        if (on_frame_) on_frame_(log_.back());
      }
    });
  }

  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    ctrl_.put_PortOpen(kVTrue);
    ASSERT_EQ(ctrl_.get_Connected(), kVTrue);
    ctrl_.put_XferProtocol(pZModem);
    ctrl_.put_XferWorkDir(std::u16string(dir_.path().begin(), dir_.path().end()));
  }

  void WriteFile(const std::string& name, const Bytes& data) {
    std::ofstream(dir_.File(name), std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()),
               static_cast<std::streamsize>(data.size()));
  }
  Bytes ReadFile(const std::string& name) {
    std::ifstream in(dir_.File(name), std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  static Bytes Pattern(size_t n, uint32_t seed = 1) {
    Bytes b(n);
    uint32_t x = seed;
    for (auto& v : b) {
      x = x * 1103515245u + 12345u;
      v = static_cast<uint8_t>(x >> 16);
    }
    return b;
  }

  void Send(const Bytes& b) { port_.SendToProgram(b.data(), b.size()); }
  void SendLater(uint64_t ms, Bytes b) {
    world_.After(ms, [this, b] { Send(b); });
  }

  // Starts the transfer and runs virtual time until it ended; false when it did not end
  // within limit_ms.
  bool RunTransfer(uint64_t limit_ms = 600000) {
    ctrl_.put_XferStart(kVTrue);
    return world_.RunUntil([this] { return rec_.ended && !ctrl_.transfer_active_; }, limit_ms);
  }

  // Frames of the log that are headers of `type`.
  std::vector<Frame> Headers(int type) const {
    std::vector<Frame> out;
    for (const Frame& f : log_) {
      if (f.is_header && f.type == type) out.push_back(f);
    }
    return out;
  }

  sim::SimWorld world_;
  sim::SimPort& port_;
  ChanfoldCtrl ctrl_;
  Recorder rec_;
  testsupport::TempDir dir_;
  ZDecoder decoder_;
  std::vector<Frame> log_;
  std::function<void(const Frame&)> on_frame_;
};

}  // namespace chanfold::ztest
