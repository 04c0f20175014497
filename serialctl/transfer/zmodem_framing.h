// The ZModem frame layer shared by the ZModem sender and receiver: single bytes from the line
// through the read-ahead buffer with a time-out, ZDLE escaping both ways, the three header
// formats (hex, binary with CRC-16, binary with CRC-32, the last only received) and data
// subpackets with a CRC-16.
//
// Everything goes through the control's primitives and buffers: received bytes come from the
// read-ahead buffer, frames are built in the transmit buffer, subpacket data lives in the work
// buffer from index 0. Nothing is allocated per frame.
#pragma once

#include <cstdint>
#include <span>

#include "serialctl/chanfold_ctrl.h"
#include "serialctl/transfer/block_checks.h"

namespace chanfold {

// Bytes of the frame layer.
inline constexpr uint8_t kZPad = 0x2A;    // "*", header lead-in
inline constexpr uint8_t kZDle = 0x18;    // escape character, the same value as CAN
inline constexpr uint8_t kZBin = 0x41;    // "A", binary header with CRC-16
inline constexpr uint8_t kZHex = 0x42;    // "B", hex header
inline constexpr uint8_t kZBin32 = 0x43;  // "C", binary header with CRC-32 (received only)
inline constexpr uint8_t kZCrcE = 0x68;   // "h", end of data, a header follows
inline constexpr uint8_t kZCrcG = 0x69;   // "i", more data follows, no answer
inline constexpr uint8_t kZCrcQ = 0x6A;   // "j", more data follows, answer ZACK
inline constexpr uint8_t kZCrcW = 0x6B;   // "k", end of frame, answer ZACK, XON follows
inline constexpr uint8_t kZRub0 = 0x6C;   // "l", escaped 0x7F
inline constexpr uint8_t kZRub1 = 0x6D;   // "m", escaped 0xFF
inline constexpr uint8_t kXon = 0x11;
inline constexpr uint8_t kXoff = 0x13;

// Frame types (16 is also the code of five CAN bytes in a row).
inline constexpr int kZRqInit = 0;
inline constexpr int kZRInit = 1;
inline constexpr int kZAck = 3;
inline constexpr int kZFile = 4;
inline constexpr int kZSkip = 5;
inline constexpr int kZNak = 6;
inline constexpr int kZAbort = 7;
inline constexpr int kZFin = 8;
inline constexpr int kZRPos = 9;
inline constexpr int kZData = 10;
inline constexpr int kZEof = 11;
inline constexpr int kZChallenge = 14;
inline constexpr int kZCan = 16;

// Flags of ZRINIT's ZF0 (header byte P3) and the ZFILE option for binary files.
inline constexpr uint8_t kZCanFdx = 0x01;
inline constexpr uint8_t kZCanOvio = 0x02;
inline constexpr uint8_t kZCanBrk = 0x04;
inline constexpr uint8_t kZEscCtl = 0x40;
inline constexpr uint8_t kZCBin = 1;

// Results of the reading operations besides data bytes and frame types.
inline constexpr int kZError = -1;            // bad CRC, bad escape, not a header
inline constexpr int kZTimeout = -2;          // no byte for about ten seconds
inline constexpr int kZDataTooLong = -3;      // a subpacket that does not fit the work buffer
inline constexpr int kZFrameEndFlag = 0x100;  // ZReadEscaped: frame end byte + 0x100
inline constexpr int kZFiveCan = 0x110;       // ZReadEscaped: ZDLE and four CAN

class ZModemFraming {
 public:
  explicit ZModemFraming(ChanfoldCtrl& ctrl) : ctrl_(ctrl) {}

  // One byte from the line, 0..255, through the read-ahead buffer; XON/XOFF (also with the
  // parity bit) are skipped. -2 after about ten seconds without a byte, or as soon as the
  // transfer time-out fires; 0 when the transfer is being stopped.
  int ReadLineByte();
  // One byte with ZDLE decoding: 0..255, a frame end + 0x100, 0x110 for five CAN, -1 for a
  // bad escape, or a negative result of ReadLineByte.
  int ZReadEscaped();
  // Two lowercase hex digits; -1 when a read failed.
  int ZReadHexByte();

  // One header or CRC byte with escaping rule A, in one write of one or two bytes.
  void ZSendByte(uint8_t x);
  // The data count bytes of the work buffer with escaping rule B, in one write.
  void ZEscapeData();
  // The frame type to send and the header bytes as a hex header (one write).
  void ZSendHexHeader();
  // The frame type to send and the header bytes as a binary header with CRC-16 (one write).
  void ZSendBinHeader();
  // The same header, built but not yet written: it goes out in one write with the frame sent
  // next (a ZDATA header with its first subpacket). Written alone, a header of ten bytes
  // would be followed by the write primitive's pause with the line standing idle.
  void ZQueueBinHeader();
  // Forgets a queued frame that will not be sent (the transfer ended before its data).
  void DropQueued() { tx_fill_ = 0; }
  // Reads one header of any of the three formats: its frame type, or -1. Sets the header bytes
  // and the last frame type.
  int ZGetHeader();
  // The data count bytes of the work buffer as one subpacket ending with `frame_end`.
  void ZSendData(uint8_t frame_end);
  // One subpacket into the work buffer from index 0: the frame end + 0x100, 16 for five CAN,
  // -2 on the time-out, -1 for a CRC or escape error, -3 when it outgrows the work buffer.
  int ZReadData();

  // Why the last ZGetHeader failed: true when the line went quiet (a read timed out), false
  // when bytes came that were not a good header. Quiet lines are worth a pause; noise is not.
  bool last_read_timed_out() const { return last_read_timed_out_; }

  // Bytes waiting to be read, in the read-ahead buffer or in the input queue.
  bool BytesWaiting();

  // Header bytes P0..P3 of the last header received or of the next one to send.
  HeaderBytes header_{};
  int frame_type_to_send_ = 0;
  int last_frame_type_ = -1;
  // The receiver asked for every control character to be escaped (ESCCTL in its ZRINIT).
  bool peer_escctl_ = false;
  // The last byte written through an escaping rule (for the CR after an at sign).
  uint8_t last_sent_ = 0;
  // Data bytes of the subpacket in the work buffer.
  int32_t data_count_ = 0;

 private:
  // Appends x with rule A, or plain, to the frame being built in the transmit buffer.
  void PutRuleA(uint8_t x);
  void PutPlain(uint8_t x);
  void PutHex(uint8_t b);
  // Appends the data of the work buffer with rule B.
  void PutRuleB();
  // Writes the frame built so far (one SendBytes call) and starts a new one.
  void Flush();
  int ReadHexHeader();
  int ReadBinHeader(bool crc32);

  ChanfoldCtrl& ctrl_;
  int32_t tx_fill_ = 0;  // bytes of the transmit buffer holding the frame being built
  bool last_read_timed_out_ = false;
  Crc32Table crc32_table_{};
};

}  // namespace chanfold
