#include "serialctl/transfer/kermit_packets.h"

#include <algorithm>
#include <cstring>

#include "serialctl/chanfold_ctrl.h"

namespace chanfold {

namespace {

// KermitReadByte polls up to this many times, 10 ms apart: about 10 s without a byte ends a
// packet read. That is twice the transfer time-out's default, so the time-out timer (which
// fires inside the reader's yields) decides about retries, and a silent line still cannot hold
// a read for ever. The pause between passes ends as soon as a byte arrives, so a packet's
// answer is taken when it comes, not up to 10 ms later.
constexpr int kReadBytePasses = 1001;
constexpr uint32_t kReadBytePollMs = 10;
// The most bytes taken from the input queue into the read-ahead buffer in one read.
constexpr int32_t kReadAheadChunk = 1600;
// The sender reads the file in pieces of this size into the file block buffer.
constexpr int32_t kFileReadPiece = 2048;
// The receiver writes the decoded data out before the file block buffer passes this fill.
constexpr int32_t kDecodeFlushAt = 4000;
// A packet's header before its data: MARK, LEN, SEQ, TYPE (+ LENX1, LENX2, HCHECK).
constexpr int32_t kNormalDataOffset = 4;
constexpr int32_t kExtendedDataOffset = 7;
// Largest data length that one packet can carry: the packet (extended header, data, a 3-byte
// check and EOL) must fit into the transmit and last-packet buffers.
constexpr int32_t kMaxPacketData = kBufferSize - kExtendedDataOffset - 3 - 1;
// The largest length that LENX1/LENX2 can state.
constexpr int32_t kMaxExtendedLength = 95 * 95 - 1;

// CAPAS bits: 0x08 attribute packets, 0x02 long packets.
constexpr int32_t kKermitTakenCapas = 0x08 | 0x02;

constexpr uint8_t kCancelledText[] = {'C', 'a', 'n', 'c', 'e', 'l', 'l', 'e', 'd'};

uint8_t Fold6(int32_t s) {
  return KermitToChar((s + ((s & 0xC0) >> 6)) & 0x3F);
}

bool IsPrefixRange(uint8_t c, bool upper_allowed) {
  return (c >= 33 && c <= 62) || (upper_allowed && c >= 96 && c <= 126);
}

void SendPads(ChanfoldCtrl& ctrl) {
  KermitState& k = ctrl.kermit_;
  if (k.npad <= 0) return;
  int32_t n = std::min<int32_t>(k.npad, kBufferSize);
  std::fill_n(ctrl.transmit_buffer_.begin(), n, k.padc);
  ctrl.SendBytes(n);
}

// Result of taking one byte inside a packet: a byte, a new MARK (the packet starts over), or
// nothing (the read ends without a packet).
enum class Next { kByte, kMark, kNone };

Next ReadInPacket(ChanfoldCtrl& ctrl, uint8_t* b) {
  if (!KermitReadByte(ctrl, b)) return Next::kNone;
  return *b == kKermitMark ? Next::kMark : Next::kByte;
}

}  // namespace

uint16_t Crc16Kermit(std::span<const uint8_t> data) {
  uint32_t r = 0;
  for (uint8_t b : data) {
    r = (r >> 4) ^ (((r ^ b) & 0x0F) * 0x1081);
    r = (r >> 4) ^ (((r ^ (b >> 4)) & 0x0F) * 0x1081);
  }
  return static_cast<uint16_t>(r);
}

int32_t KermitCheckLength(uint8_t check_type) {
  if (check_type == '2') return 2;
  if (check_type == '3') return 3;
  return 1;
}

int32_t KermitBlockCheck(uint8_t check_type, std::span<const uint8_t> covered, uint8_t* out) {
  if (check_type == '3') {
    uint16_t r = Crc16Kermit(covered);
    out[0] = KermitToChar((r >> 12) & 0x0F);
    out[1] = KermitToChar((r >> 6) & 0x3F);
    out[2] = KermitToChar(r & 0x3F);
    return 3;
  }
  int32_t s = 0;
  for (uint8_t b : covered) s += b;
  if (check_type == '2') {
    s &= 0xFFF;
    out[0] = KermitToChar((s >> 6) & 0x3F);
    out[1] = KermitToChar(s & 0x3F);
    return 2;
  }
  out[0] = Fold6(s);
  return 1;
}

void KermitSendPacket(ChanfoldCtrl& ctrl, uint8_t type, int32_t seq, int32_t n) {
  KermitState& k = ctrl.kermit_;
  n = std::clamp(n, 0, kMaxPacketData);
  SendPads(ctrl);
  Buffer& t = ctrl.transmit_buffer_;
  int32_t chk = KermitCheckLength(k.block_check);
  int32_t len = n + 2 + chk;
  int32_t off = kNormalDataOffset;
  t[0] = kKermitMark;
  t[2] = KermitToChar(seq & 63);
  t[3] = type;
  if (len > k.maxl) {
    int32_t x = std::min(n + chk, kMaxExtendedLength);
    t[1] = KermitToChar(0);
    t[4] = KermitToChar(x / 95);
    t[5] = KermitToChar(x % 95);
    t[6] = Fold6(t[1] + t[2] + t[3] + t[4] + t[5]);
    off = kExtendedDataOffset;
  } else {
    t[1] = KermitToChar(len);
  }
  std::copy_n(ctrl.work_buffer_.begin(), n, t.begin() + off);
  int32_t end = off + n;
  end += KermitBlockCheck(k.block_check, std::span<const uint8_t>(t.data() + 1, end - 1),
                          t.data() + end);
  t[end++] = k.eol;
  ctrl.SendBytes(end);
  std::copy_n(t.begin(), end, k.last_packet.begin());
  k.last_packet_length = end;
}

void KermitResend(ChanfoldCtrl& ctrl) {
  KermitState& k = ctrl.kermit_;
  ctrl.PurgeInput();
  SendPads(ctrl);
  std::copy_n(k.last_packet.begin(), k.last_packet_length, ctrl.transmit_buffer_.begin());
  ctrl.SendBytes(k.last_packet_length);
}

bool KermitReadByte(ChanfoldCtrl& ctrl, uint8_t* byte) {
  for (int pass = 0; pass < kReadBytePasses; ++pass) {
    if (ctrl.transfer_stop_) return false;
    ctrl.DoEvents();
    if (ctrl.transfer_stop_) return false;
    if (ctrl.read_ahead_pos_ >= ctrl.read_ahead_count_) {
      int32_t queued = ctrl.InQueueCount();
      if (queued > 0) {
        ctrl.read_ahead_count_ = ctrl.ReadAhead(0, std::min(queued, kReadAheadChunk));
        ctrl.read_ahead_pos_ = 0;
      }
    }
    if (ctrl.read_ahead_pos_ < ctrl.read_ahead_count_) {
      *byte = ctrl.read_ahead_buffer_[ctrl.read_ahead_pos_++];
      return true;
    }
    ctrl.PollPause(kReadBytePollMs);
  }
  return false;
}

uint8_t KermitReadPacket(ChanfoldCtrl& ctrl) {
  KermitState& k = ctrl.kermit_;
  Buffer& w = ctrl.work_buffer_;
  k.read_type = 'Q';
  k.read_data_length = 0;
  uint8_t b = 0;
  do {
    if (!KermitReadByte(ctrl, &b)) return k.read_type;
  } while (b != kKermitMark);

  // Here a MARK has just been read. A MARK inside a packet cannot be data (control characters
  // travel prefixed), so it means the packet was cut short and a new one begins: start over.
  for (;;) {
    w[0] = kKermitMark;
    do {
      if (!KermitReadByte(ctrl, &b)) return k.read_type;
    } while (b == kKermitMark);
    w[1] = b;
    Next next = Next::kByte;
    for (int i = 2; i <= 3 && next == Next::kByte; ++i) {
      next = ReadInPacket(ctrl, &b);
      w[i] = b;
    }
    if (next == Next::kNone) return k.read_type;
    if (next == Next::kMark) continue;
    // Send-Init packets always carry the type 1 check: a repeated Send-Init still reads
    // correctly after the two sides switched to the check they agreed on.
    uint8_t check_type = w[3] == 'S' ? '1' : k.block_check;
    int32_t chk = KermitCheckLength(check_type);
    int32_t off = kNormalDataOffset;
    int32_t data_length = 0;
    if (w[1] != KermitToChar(0)) {
      data_length = KermitUnChar(w[1]) - (2 + chk);
    } else {
      for (int i = 4; i <= 6 && next == Next::kByte; ++i) {
        next = ReadInPacket(ctrl, &b);
        w[i] = b;
      }
      if (next == Next::kNone) return k.read_type;
      if (next == Next::kMark) continue;
      if (w[6] != Fold6(w[1] + w[2] + w[3] + w[4] + w[5])) return k.read_type;
      data_length = KermitUnChar(w[4]) * 95 + KermitUnChar(w[5]) - chk;
      off = kExtendedDataOffset;
    }
    // A length that the work buffer cannot hold (data plus the 0 behind it) is not taken: the
    // packet counts as not received and its remaining bytes are skipped by the next read.
    if (data_length < 0 || data_length > kBufferSize - 1 - off) return k.read_type;
    int32_t end = off + data_length;
    for (int32_t i = off; i < end && next == Next::kByte; ++i) {
      next = ReadInPacket(ctrl, &b);
      w[i] = b;
    }
    if (next == Next::kNone) return k.read_type;
    if (next == Next::kMark) continue;
    w[end] = 0;
    uint8_t got[3] = {0, 0, 0};
    for (int32_t i = 0; i < chk && next == Next::kByte; ++i) next = ReadInPacket(ctrl, &got[i]);
    if (next == Next::kNone) return k.read_type;
    if (next == Next::kMark) continue;
    uint8_t want[3] = {0, 0, 0};
    KermitBlockCheck(check_type, std::span<const uint8_t>(w.data() + 1, end - 1), want);
    if (std::memcmp(got, want, chk) != 0) return k.read_type;
    k.read_seq = KermitUnChar(w[2]);
    k.read_data_offset = off;
    k.read_data_length = data_length;
    k.read_type = w[3];
    return k.read_type;
  }
}

void KermitDefaults(KermitState& k) {
  k.maxl = 94;
  k.time = 5;
  k.npad = 0;
  k.padc = 0x00;
  k.eol = 13;
  k.qctl = '#';
  k.qbin = '&';
  k.bin_prefixing = true;
  k.block_check = '1';
  k.chkt = '3';
  k.rept = '~';
  k.repeat_counts = true;
  k.capas = 3;
  k.windo = 1;
  k.maxlx = 255;
}

int32_t KermitBuildInit(ChanfoldCtrl& ctrl) {
  const KermitState& k = ctrl.kermit_;
  Buffer& w = ctrl.work_buffer_;
  w[0] = KermitToChar(k.maxl);
  w[1] = KermitToChar(k.time);
  w[2] = KermitToChar(k.npad);
  w[3] = KermitCtl(k.padc);
  w[4] = KermitToChar(k.eol);
  w[5] = k.qctl;
  w[6] = k.qbin;
  w[7] = k.chkt;
  w[8] = k.rept;
  w[9] = KermitToChar(k.capas);
  w[10] = KermitToChar((k.capas & 0x04) != 0 ? k.windo : 0);
  bool long_packets = (k.capas & 0x02) != 0;
  w[11] = KermitToChar(long_packets ? k.maxlx / 95 : 0);
  w[12] = KermitToChar(long_packets ? k.maxlx % 95 : 0);
  return 13;
}

void KermitTakeInit(ChanfoldCtrl& ctrl) {
  KermitState& k = ctrl.kermit_;
  const int32_t n = k.read_data_length;
  const uint8_t* f = ctrl.work_buffer_.data() + k.read_data_offset;
  // A field the peer left out keeps its default.
  auto has = [n](int32_t i) { return i < n; };
  k.maxl = has(0) ? KermitUnChar(f[0]) : 94;
  // Below 10 the peer said nothing useful; above 94 no normal packet could state it.
  if (k.maxl < 10 || k.maxl > 94) k.maxl = 94;
  k.time = has(1) ? KermitUnChar(f[1]) : 5;
  if (k.time < 0) k.time = 5;
  k.npad = has(2) ? KermitUnChar(f[2]) : 0;
  if (k.npad < 0) k.npad = 0;
  k.padc = has(3) ? KermitCtl(f[3]) : 0x00;
  k.eol = 13;
  if (has(4)) {
    int32_t eol = KermitUnChar(f[4]);
    if (eol >= 2 && eol < 32) k.eol = static_cast<uint8_t>(eol);
  }
  k.qctl = has(5) ? f[5] : '#';
  if (n < 7) {
    k.bin_prefixing = false;
    k.qbin = ' ';  // not stated: fails every test of KermitCheckPrefixes
  } else {
    k.bin_prefixing = true;
    k.qbin = f[6];
  }
  if (n > 7) {
    k.chkt = (f[7] >= '1' && f[7] <= '3') ? f[7] : '1';
  } else {
    k.chkt = '1';
  }
  if (n < 9) {
    k.repeat_counts = false;
    k.rept = ' ';
  } else {
    k.repeat_counts = true;
    k.rept = f[8];
  }
  // Only the capabilities this side has are taken over, since the Send-Init of a receiver
  // repeats them to the peer: long packets and attribute packets (acknowledged, not used).
  // Sliding windows, locking shifts and the rest would make the peer send what this side does
  // not decode; and a continuation bit would announce CAPAS bytes that never follow.
  k.capas = has(9) ? std::max(KermitUnChar(f[9]), 0) & kKermitTakenCapas : 0;
  k.windo = 0;
  if ((k.capas & 0x04) != 0) k.windo = std::clamp(has(10) ? KermitUnChar(f[10]) : 0, 0, 1);
  k.maxlx = 0;
  if ((k.capas & 0x02) != 0) {
    int32_t x1 = has(11) ? KermitUnChar(f[11]) : 0;
    int32_t x2 = has(12) ? KermitUnChar(f[12]) : 0;
    k.maxlx = x1 * 95 + x2;
    if (k.maxlx < 10) k.maxlx = 80;
    if (k.maxlx > 1024) k.maxlx = 1024;
  }
}

void KermitCheckPrefixes(KermitState& k) {
  if (!IsPrefixRange(k.qctl, true)) k.qctl = '#';
  if (k.qbin == 'Y' && k.bin_prefixing) {
    k.qbin = '&';
  } else if (IsPrefixRange(k.qbin, k.bin_prefixing) && !(k.qbin == 'N' && k.bin_prefixing)) {
    k.bin_prefixing = true;
  } else {
    k.qbin = '&';
    k.bin_prefixing = false;
  }
  if (IsPrefixRange(k.rept, k.repeat_counts)) {
    k.repeat_counts = true;
  } else {
    k.rept = ' ';
    k.repeat_counts = false;
  }
}

int32_t KermitEncodeData(ChanfoldCtrl& ctrl) {
  KermitState& k = ctrl.kermit_;
  Buffer& src = ctrl.file_block_buffer_;
  Buffer& w = ctrl.work_buffer_;
  const int32_t full_at = k.maxl - (2 + KermitCheckLength(k.block_check)) - 6;
  // With 8-bit prefixing the top bit travels as the prefix and every byte goes out 7-bit;
  // without it the line is 8-bit and the byte keeps its top bit.
  const uint8_t keep = k.bin_prefixing ? 0x7F : 0xFF;
  int32_t n = 0;
  k.consumed = 0;
  for (;;) {
    if (k.block_pos >= k.block_fill) {
      k.block_fill = ctrl.ReadFileBlocks(src, 0, kFileReadPiece);
      k.block_pos = 0;
      if (k.block_fill <= 0) {
        k.block_fill = 0;
        k.end_of_file = true;
        break;
      }
    }
    const int32_t at = k.block_pos++;
    uint8_t x = src[at];
    k.consumed++;
    if (k.repeat_counts) {
      // Runs of 4 to 94 go out as REPT, count, byte; tochar(95) would be DEL, so a run counted
      // to 95 is not compressed at this byte.
      int32_t run = 1;
      while (run < 95 && at + run < k.block_fill && src[at + run] == x) run++;
      if (run >= 4 && run <= 94) {
        w[n++] = k.rept;
        w[n++] = KermitToChar(run);
        k.block_pos += run - 1;
        k.consumed += run - 1;
      }
    }
    const uint8_t a7 = x & 0x7F;
    const bool top = (x & 0x80) != 0;
    if (k.bin_prefixing && a7 == k.qbin) {
      if (top) w[n++] = k.qbin;
      w[n++] = k.qctl;
      w[n++] = a7;
    } else {
      if (k.bin_prefixing && top) w[n++] = k.qbin;
      if (a7 < 32 || a7 == 127) {
        w[n++] = k.qctl;
        w[n++] = KermitCtl(x) & keep;
      } else {
        if (a7 == k.qctl || (k.repeat_counts && a7 == k.rept)) w[n++] = k.qctl;
        w[n++] = x & keep;
      }
    }
    if (n > full_at) break;
  }
  return n;
}

int32_t KermitDecodeData(ChanfoldCtrl& ctrl) {
  KermitState& k = ctrl.kermit_;
  const uint8_t* d = ctrl.work_buffer_.data() + k.read_data_offset;
  const int32_t len = k.read_data_length;
  Buffer& out = ctrl.file_block_buffer_;
  int32_t fill = 0;
  int32_t written = 0;
  int32_t i = 0;
  while (i < len) {
    uint8_t c = d[i++];
    int32_t count = 1;
    // A prefix at the very end of the data has nothing to apply to and is dropped.
    if (k.repeat_counts && c == k.rept) {
      if (i + 1 >= len) break;
      count = std::max(KermitUnChar(d[i++]), 0);
      c = d[i++];
    }
    uint8_t top = 0;
    if (k.bin_prefixing && c == k.qbin) {
      if (i >= len) break;
      top = 0x80;
      c = d[i++];
    }
    if (c == k.qctl) {
      if (i >= len) break;
      c = d[i++];
      uint8_t a7 = c & 0x7F;
      if (a7 >= 63 && a7 <= 95) c = KermitCtl(c);
    }
    c |= top;
    if (fill + count > kDecodeFlushAt) {
      ctrl.WriteFileBlocks(out, 0, fill);
      written += fill;
      fill = 0;
    }
    std::fill_n(out.begin() + fill, count, c);
    fill += count;
  }
  ctrl.WriteFileBlocks(out, 0, fill);
  written += fill;
  ctrl.xfer_curr_bytes_ += written;
  return written;
}

void KermitSendError(ChanfoldCtrl& ctrl) {
  std::copy(std::begin(kCancelledText), std::end(kCancelledText), ctrl.work_buffer_.begin());
  KermitSendPacket(ctrl, 'E', ctrl.kermit_.own_seq, sizeof kCancelledText);
}

}  // namespace chanfold
