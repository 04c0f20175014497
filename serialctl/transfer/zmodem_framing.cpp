#include "serialctl/transfer/zmodem_framing.h"

namespace chanfold {

namespace {

// ReadLineByte polls the line this many times, 10 ms apart when nothing came: about ten
// seconds for one byte. The transfer time-out (normally 5 s) fires within that wait and is
// acted on by the engine when the read returns. A pause ends as soon as a byte arrives, so a
// header is seen when it comes, not up to 10 ms later.
constexpr int kLinePolls = 1001;
constexpr uint32_t kLinePollSleepMs = 10;
// The read-ahead buffer is refilled with at most this many bytes at a time, so single-byte
// reading costs one port read per run of bytes rather than one per byte.
constexpr int32_t kReadAheadChunk = 1200;
// CAN has the value of ZDLE; five in a row cancel a transfer.
constexpr int kCanByte = 0x18;

// Bytes that rule A and rule B escape whatever the peer asked for: DLE, XON, XOFF (with and
// without the parity bit) and ZDLE itself.
bool AlwaysEscaped(uint8_t x) {
  switch (x) {
    case 0x10:
    case 0x11:
    case 0x13:
    case 0x90:
    case 0x91:
    case 0x93:
    case 0x18:
      return true;
    default:
      return false;
  }
}

bool IsCrAfterAt(uint8_t x, uint8_t last) {
  return (x & 0x7F) == 0x0D && (last & 0x7F) == 0x40;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Reading

namespace {
bool IsFlowControl(uint8_t b) {
  return b == kXon || b == kXoff || b == (kXon | 0x80) || b == (kXoff | 0x80);
}
}  // namespace

bool ZModemFraming::BytesWaiting() {
  // The XON behind a hex header stays in the read-ahead buffer after the header was read; it
  // is not something to read (ReadLineByte would skip it and then wait for more).
  while (ctrl_.read_ahead_pos_ >= 0 && ctrl_.read_ahead_pos_ < ctrl_.read_ahead_count_ &&
         ctrl_.read_ahead_pos_ < kBufferSize &&
         IsFlowControl(ctrl_.read_ahead_buffer_[ctrl_.read_ahead_pos_])) {
    ++ctrl_.read_ahead_pos_;
  }
  return ctrl_.read_ahead_pos_ < ctrl_.read_ahead_count_ || ctrl_.InQueueCount() > 0;
}

int ZModemFraming::ReadLineByte() {
  // The transfer time-out firing during the wait ends it too: the engine acts on the time-out
  // at once (a resend, or the end at the limit) instead of after the full ten seconds.
  const int32_t timeouts_before = ctrl_.timeout_count_;
  for (int pass = 0; pass < kLinePolls; ++pass) {
    ctrl_.DoEvents();
    if (ctrl_.read_ahead_pos_ >= ctrl_.read_ahead_count_) {
      int32_t waiting = ctrl_.InQueueCount();
      if (waiting > 0) {
        int32_t want = waiting < kReadAheadChunk ? waiting : kReadAheadChunk;
        ctrl_.read_ahead_count_ = ctrl_.ReadAhead(0, want);
        ctrl_.read_ahead_pos_ = 0;
      }
    }
    while (ctrl_.read_ahead_pos_ >= 0 && ctrl_.read_ahead_pos_ < ctrl_.read_ahead_count_ &&
           ctrl_.read_ahead_count_ <= kBufferSize) {
      uint8_t b = ctrl_.read_ahead_buffer_[ctrl_.read_ahead_pos_++];
      if (IsFlowControl(b)) continue;
      return b;
    }
    ctrl_.PollPause(kLinePollSleepMs);
    if (ctrl_.transfer_stop_) return 0;
    if (ctrl_.timeout_count_ != timeouts_before) return kZTimeout;
  }
  return kZTimeout;
}

int ZModemFraming::ZReadEscaped() {
  int c = ReadLineByte();
  if (c != kZDle) return c;
  c = ReadLineByte();
  if (c < 0) return c;
  for (int more = 0; c == kCanByte && more < 3; ++more) {
    c = ReadLineByte();
    if (c < 0) return c;
  }
  if (c == kCanByte) return kZFiveCan;
  if (c == kZCrcE || c == kZCrcG || c == kZCrcQ || c == kZCrcW) return c + kZFrameEndFlag;
  if (c == kZRub0) return 0x7F;
  if (c == kZRub1) return 0xFF;
  if ((c & 0x60) == 0x40) return c ^ 0x40;
  return kZError;
}

int ZModemFraming::ZReadHexByte() {
  int hi = ReadLineByte();
  if (hi < 0) return kZError;
  int lo = ReadLineByte();
  if (lo < 0) return kZError;
  auto digit = [](int c) { return c >= '0' && c <= '9' ? c - 48 : c - 97 + 10; };
  return digit(hi) * 16 + digit(lo);
}

int ZModemFraming::ZGetHeader() {
  last_read_timed_out_ = false;
  auto fail = [this](int c) {
    last_read_timed_out_ = c == kZTimeout;
    last_frame_type_ = kZError;
    return kZError;
  };
  int c = ReadLineByte();
  if (c == 'r') {
    // The "rz" and CR a sender may put before its first header to start a remote receiver.
    for (int i = 0; i < 2; ++i) {
      c = ReadLineByte();
      if (c < 0) return fail(c);
    }
    c = ReadLineByte();
    if (c != kZPad) return fail(c);
  }
  if (c != kZPad) return fail(c);
  c = ReadLineByte();
  int result;
  if (c == kZPad) {
    c = ReadLineByte();
    if (c != kZDle) return fail(c);
    c = ReadLineByte();
    if (c != kZHex) return fail(c);
    result = ReadHexHeader();
  } else if (c == kZDle) {
    c = ReadLineByte();
    if (c == kZBin) {
      result = ReadBinHeader(false);
    } else if (c == kZBin32) {
      result = ReadBinHeader(true);
    } else {
      return fail(c);
    }
  } else {
    return fail(c);
  }
  if (result < 0) return fail(result);
  last_frame_type_ = result;
  return result;
}

int ZModemFraming::ReadHexHeader() {
  // Frame type, P0..P3 and the two CRC bytes: seven hex pairs.
  uint8_t bytes[7];
  for (uint8_t& b : bytes) {
    int v = ZReadHexByte();
    if (v < 0) return kZError;
    b = static_cast<uint8_t>(v);
  }
  uint16_t crc = Crc16(std::span<const uint8_t>(bytes, 5));
  if (bytes[5] != Crc16High(crc) || bytes[6] != Crc16Low(crc)) return kZError;
  // CR and LF (XON behind them is skipped by ReadLineByte).
  for (int i = 0; i < 2; ++i) {
    int c = ReadLineByte();
    if (c < 0) return c;
  }
  for (int i = 0; i < 4; ++i) header_[i] = bytes[1 + i];
  return bytes[0];
}

int ZModemFraming::ReadBinHeader(bool crc32) {
  // Frame type, P0..P3 and two or four CRC bytes.
  uint8_t bytes[9];
  const int n = crc32 ? 9 : 7;
  for (int i = 0; i < n; ++i) {
    int v = ZReadEscaped();
    if (v < 0 || v > 255) return v == kZTimeout ? kZTimeout : kZError;
    bytes[i] = static_cast<uint8_t>(v);
  }
  if (crc32) {
    BuildCrc32Table(kCrc32Polynomial, crc32_table_);
    uint32_t reg = UpdateCrc32(crc32_table_, std::span<const uint8_t>(bytes, 9), kCrc32Init);
    if (reg != kCrc32Residue) return kZError;
  } else {
    uint16_t crc = Crc16(std::span<const uint8_t>(bytes, 5));
    if (bytes[5] != Crc16High(crc) || bytes[6] != Crc16Low(crc)) return kZError;
  }
  for (int i = 0; i < 4; ++i) header_[i] = bytes[1 + i];
  return bytes[0];
}

int ZModemFraming::ZReadData() {
  data_count_ = 0;
  while (!ctrl_.transfer_stop_) {
    int r = ZReadEscaped();
    if (r >= 0 && r <= 255) {
      // The frame end byte goes behind the data for the CRC, so data may fill the work buffer
      // up to index 4095 only.
      if (data_count_ >= kBufferSize - 1) return kZDataTooLong;
      ctrl_.work_buffer_[data_count_++] = static_cast<uint8_t>(r);
    } else if (r == kZFiveCan) {
      return kZCan;
    } else if (r >= kZFrameEndFlag + kZCrcE && r <= kZFrameEndFlag + kZCrcW) {
      ctrl_.work_buffer_[data_count_] = static_cast<uint8_t>(r & 0xFF);
      uint16_t crc = Crc16(std::span<const uint8_t>(ctrl_.work_buffer_.data(), data_count_ + 1));
      int hi = ZReadEscaped();
      if (hi == kZTimeout) return kZTimeout;
      int lo = ZReadEscaped();
      if (lo == kZTimeout) return kZTimeout;
      if (hi != Crc16High(crc) || lo != Crc16Low(crc)) return kZError;
      return r;
    } else if (r == kZTimeout) {
      return kZTimeout;
    } else {
      return kZError;
    }
  }
  return kZError;
}

// ---------------------------------------------------------------------------------------------
// Writing. Frames are built in the transmit buffer and written with one SendBytes call each,
// so a header costs one paced write instead of one per byte; the bytes on the line are the
// same as byte-by-byte sending.

void ZModemFraming::Flush() {
  if (tx_fill_ > 0) ctrl_.SendBytes(tx_fill_);
  tx_fill_ = 0;
}

void ZModemFraming::PutPlain(uint8_t x) {
  // An escaped byte needs two places; a frame that outgrows the buffer goes out in pieces.
  if (tx_fill_ + 2 > kBufferSize) Flush();
  ctrl_.transmit_buffer_[tx_fill_++] = x;
}

void ZModemFraming::PutRuleA(uint8_t x) {
  if (tx_fill_ + 2 > kBufferSize) Flush();
  bool escape;
  if ((x & 0x60) != 0 || !peer_escctl_) {
    escape = AlwaysEscaped(x) || IsCrAfterAt(x, last_sent_);
  } else {
    escape = true;  // the peer wants every control character escaped
  }
  if (escape) {
    ctrl_.transmit_buffer_[tx_fill_++] = kZDle;
    x ^= 0x40;
  }
  ctrl_.transmit_buffer_[tx_fill_++] = x;
  last_sent_ = x;
}

void ZModemFraming::PutRuleB() {
  last_sent_ = 0;
  for (int32_t i = 0; i < data_count_ && i < kBufferSize; ++i) {
    if (tx_fill_ + 2 > kBufferSize) Flush();
    uint8_t x = ctrl_.work_buffer_[i];
    bool escape =
        ((x & 0x60) == 0 && AlwaysEscaped(x)) || (IsCrAfterAt(x, last_sent_) && !peer_escctl_);
    if (escape) {
      ctrl_.transmit_buffer_[tx_fill_++] = kZDle;
      x ^= 0x40;
    }
    ctrl_.transmit_buffer_[tx_fill_++] = x;
    last_sent_ = x;
  }
}

void ZModemFraming::PutHex(uint8_t b) {
  PutPlain(HexDigitHigh(b));
  PutPlain(HexDigitLow(b));
}

void ZModemFraming::ZSendByte(uint8_t x) {
  PutRuleA(x);
  Flush();
}

void ZModemFraming::ZEscapeData() {
  PutRuleB();
  Flush();
}

void ZModemFraming::ZSendHexHeader() {
  uint8_t bytes[5] = {static_cast<uint8_t>(frame_type_to_send_), header_[0], header_[1], header_[2],
                      header_[3]};
  uint16_t crc = Crc16(std::span<const uint8_t>(bytes, 5));
  PutPlain(kZPad);
  PutPlain(kZPad);
  PutPlain(kZDle);
  PutPlain(kZHex);
  for (uint8_t b : bytes) PutHex(b);
  PutHex(Crc16High(crc));
  PutHex(Crc16Low(crc));
  PutPlain(0x0D);
  PutPlain(0x8A);
  // ZFIN and ZACK end without XON: the peer may be about to close, or streams on at once.
  if (frame_type_to_send_ != kZFin && frame_type_to_send_ != kZAck) PutPlain(kXon);
  Flush();
}

void ZModemFraming::ZSendBinHeader() {
  ZQueueBinHeader();
  Flush();
}

void ZModemFraming::ZQueueBinHeader() {
  uint8_t bytes[5] = {static_cast<uint8_t>(frame_type_to_send_), header_[0], header_[1], header_[2],
                      header_[3]};
  uint16_t crc = Crc16(std::span<const uint8_t>(bytes, 5));
  PutPlain(kZPad);
  PutPlain(kZDle);
  PutPlain(kZBin);
  for (uint8_t b : bytes) PutRuleA(b);
  PutRuleA(Crc16High(crc));
  PutRuleA(Crc16Low(crc));
}

void ZModemFraming::ZSendData(uint8_t frame_end) {
  if (data_count_ < 0) data_count_ = 0;
  if (data_count_ > kBufferSize - 1) data_count_ = kBufferSize - 1;
  ctrl_.work_buffer_[data_count_] = frame_end;
  PutRuleB();
  PutPlain(kZDle);
  PutPlain(frame_end);
  uint16_t crc = Crc16(std::span<const uint8_t>(ctrl_.work_buffer_.data(), data_count_ + 1));
  PutRuleA(Crc16High(crc));
  PutRuleA(Crc16Low(crc));
  if (frame_end == kZCrcW) PutPlain(kXon);
  Flush();
}

}  // namespace chanfold
