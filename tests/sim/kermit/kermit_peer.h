// A scripted Kermit peer on a simulated port, written independently of the control's packet
// layer: it splits what the program writes into packets (checking their block checks), builds
// its own packets with the type 1 or type 3 check, and decodes data packets. A test script
// decides the answer to every packet the program sends; the default scripts act as a plain
// receiver or sender.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/sim/sim_world.h"

namespace chanfold::testing {

using Octets = std::vector<uint8_t>;

inline Octets O(std::string_view s) {
  return Octets(s.begin(), s.end());
}

struct Packet {
  uint8_t type = 0;
  int seq = 0;
  Octets data;
  bool extended = false;
};

inline uint8_t ToChar(int x) {
  return static_cast<uint8_t>(x + 32);
}
inline int UnChar(uint8_t x) {
  return x - 32;
}

// Bitwise CRC-16/KERMIT (reflected 0x8408, preset 0).
inline uint16_t PeerCrc(const uint8_t* p, size_t n) {
  uint16_t crc = 0;
  for (size_t i = 0; i < n; ++i) {
    crc ^= p[i];
    for (int b = 0; b < 8; ++b) crc = (crc & 1) ? (crc >> 1) ^ 0x8408 : crc >> 1;
  }
  return crc;
}

inline Octets PeerCheck(uint8_t type, const uint8_t* p, size_t n) {
  if (type == '3') {
    uint16_t c = PeerCrc(p, n);
    return {ToChar((c >> 12) & 0x0F), ToChar((c >> 6) & 0x3F), ToChar(c & 0x3F)};
  }
  int s = 0;
  for (size_t i = 0; i < n; ++i) s += p[i];
  return {ToChar((s + ((s & 0xC0) >> 6)) & 0x3F)};
}

class KermitPeer {
 public:
  explicit KermitPeer(sim::SimPort& port) : port_(port) {
    port_.SetOnReceive([this](const uint8_t* d, size_t n) { OnBytes(d, n); });
  }

  // Block check the peer uses for reading and building (switched by the scripts).
  uint8_t check = '1';
  // Delay of every answer.
  uint32_t answer_delay_ms = 2;
  // Every intact packet the program sent, in order, and how many arrived damaged.
  std::vector<Packet> got;
  int bad_packets = 0;
  // Called for every intact packet from the program.
  std::function<void(const Packet&)> on_packet;

  Octets Build(uint8_t type, int seq, const Octets& data) const {
    Octets p = {0x01};
    size_t chk = check == '3' ? 3 : 1;
    size_t len = data.size() + 2 + chk;
    if (len > 94) {
      size_t x = data.size() + chk;
      p.insert(p.end(), {ToChar(0), ToChar(seq), type, ToChar(static_cast<int>(x / 95)),
                         ToChar(static_cast<int>(x % 95))});
      int s = p[1] + p[2] + p[3] + p[4] + p[5];
      p.push_back(ToChar((s + ((s & 0xC0) >> 6)) & 0x3F));
    } else {
      p.insert(p.end(), {ToChar(static_cast<int>(len)), ToChar(seq), type});
    }
    p.insert(p.end(), data.begin(), data.end());
    Octets c = PeerCheck(check, p.data() + 1, p.size() - 1);
    p.insert(p.end(), c.begin(), c.end());
    p.push_back('\r');
    return p;
  }

  void SendRaw(const Octets& bytes) {
    Octets copy = bytes;
    port_.world().After(answer_delay_ms,
                        [this, copy] { port_.SendToProgram(copy.data(), copy.size()); });
  }
  void Send(uint8_t type, int seq, const Octets& data = {}) { SendRaw(Build(type, seq, data)); }

 private:
  void OnBytes(const uint8_t* d, size_t n) {
    buf_.insert(buf_.end(), d, d + n);
    for (;;) {
      size_t m = 0;
      while (m < buf_.size() && buf_[m] != 0x01) ++m;
      buf_.erase(buf_.begin(), buf_.begin() + m);
      if (buf_.size() < 4) return;
      size_t chk = (check == '3' && buf_[3] != 'S') ? 3 : 1;
      size_t off = 4, total = 0;
      if (buf_[1] != ' ') {
        total = 2 + UnChar(buf_[1]);
      } else {
        if (buf_.size() < 7) return;
        off = 7;
        total = 7 + UnChar(buf_[4]) * 95 + UnChar(buf_[5]);
      }
      if (buf_.size() < total + 1) return;  // + EOL
      Octets want = PeerCheck(chk == 3 ? '3' : '1', buf_.data() + 1, total - chk - 1);
      Packet p;
      p.type = buf_[3];
      p.seq = UnChar(buf_[2]);
      p.extended = off == 7;
      p.data.assign(buf_.begin() + off, buf_.begin() + (total - chk));
      bool ok = std::equal(want.begin(), want.end(), buf_.begin() + (total - chk));
      buf_.erase(buf_.begin(), buf_.begin() + total + 1);
      if (!ok) {
        ++bad_packets;
        continue;
      }
      got.push_back(p);
      if (on_packet) on_packet(p);
    }
  }

  sim::SimPort& port_;
  Octets buf_;
};

// Decodes data with the default prefixes ("#", "&" when `bin`, "~" when `rept`).
inline Octets PeerDecode(const Octets& d, bool bin = true, bool rept = true) {
  Octets out;
  for (size_t i = 0; i < d.size();) {
    int count = 1;
    uint8_t c = d[i++];
    if (rept && c == '~' && i + 1 < d.size()) {
      count = UnChar(d[i++]);
      c = d[i++];
    }
    uint8_t top = 0;
    if (bin && c == '&' && i < d.size()) {
      top = 0x80;
      c = d[i++];
    }
    if (c == '#' && i < d.size()) {
      c = d[i++];
      if ((c & 0x7F) >= 63 && (c & 0x7F) <= 95) c ^= 0x40;
    }
    out.insert(out.end(), count, static_cast<uint8_t>(c | top));
  }
  return out;
}

// Encodes data with "#" and "&" prefixes, no repeat counts, up to 80 bytes per packet.
inline std::vector<Octets> PeerEncode(const Octets& src) {
  std::vector<Octets> packets(1);
  for (uint8_t x : src) {
    Octets& p = packets.back();
    uint8_t a = x & 0x7F;
    if (x & 0x80) p.push_back('&');
    if (a < 32 || a == 127) {
      p.push_back('#');
      p.push_back(a ^ 0x40);
    } else {
      if (a == '#' || a == '&' || a == '~') p.push_back('#');
      p.push_back(a);
    }
    if (p.size() > 80) packets.emplace_back();
  }
  if (packets.back().empty()) packets.pop_back();
  return packets;
}

}  // namespace chanfold::testing
