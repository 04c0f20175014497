// Kermit packets and encoding, shared by KermitSender and KermitReceiver: the packet format
// (normal and extended packets) with its three block checks, sending and reading a packet, the
// Send-Init parameters and their negotiation, the prefix encoding of file data and its decoding,
// and the error packet that the abort routine sends when a Kermit transfer is stopped.
//
// The routines work on the control's buffers and its KermitState (ChanfoldCtrl::kermit_): a
// packet is built in the transmit buffer from data in the work buffer, a packet read leaves its
// header and data in the work buffer, the file data goes through the file block buffer. They
// touch the line only through the control's primitives.
#pragma once

#include <cstdint>
#include <span>

#include "serialctl/transfer/kermit_state.h"

namespace chanfold {

class ChanfoldCtrl;

inline constexpr uint8_t kKermitMark = 0x01;  // SOH, the start of every packet

// The printable encodings of the protocol.
constexpr uint8_t KermitToChar(int32_t x) {
  return static_cast<uint8_t>(x + 32);
}
constexpr int32_t KermitUnChar(uint8_t x) {
  return static_cast<int32_t>(x) - 32;
}
constexpr uint8_t KermitCtl(uint8_t x) {
  return static_cast<uint8_t>(x ^ 0x40);
}

// CRC-16/KERMIT: the CRC-CCITT with the reflected polynomial (0x8408), register preset 0, no
// final XOR, computed four bits at a time; check value over "123456789" is 0x2189.
uint16_t Crc16Kermit(std::span<const uint8_t> data);

// 1, 2 or 3 for the block check types '1', '2' and '3' (anything else counts as '1').
int32_t KermitCheckLength(uint8_t check_type);
// Writes the block check of `check_type` over `covered` (LEN through the last DATA byte) into
// `out` (room for 3 bytes); returns its length.
int32_t KermitBlockCheck(uint8_t check_type, std::span<const uint8_t> covered, uint8_t* out);

// Sends a packet of `type` with sequence number `seq` whose data are work buffer bytes 0..n-1,
// as an extended packet when its length would exceed MAXL; keeps a copy as the last packet.
void KermitSendPacket(ChanfoldCtrl& ctrl, uint8_t type, int32_t seq, int32_t n);
// Purges the receive queue and sends the last packet again.
void KermitResend(ChanfoldCtrl& ctrl);
// One byte through the read-ahead buffer; false after about 10 s without one or as soon as the
// transfer-stop flag is set.
bool KermitReadByte(ChanfoldCtrl& ctrl, uint8_t* byte);
// Reads one packet. Leaves its type (Q when none came intact), sequence number, data length and
// data offset in ctrl.kermit_ and the packet from MARK on in the work buffer, with a 0 byte
// behind the data. Returns the type.
uint8_t KermitReadPacket(ChanfoldCtrl& ctrl);

// The parameter table's defaults.
void KermitDefaults(KermitState& k);
// Writes the own 13 Send-Init data bytes into the work buffer from index 0; returns 13.
int32_t KermitBuildInit(ChanfoldCtrl& ctrl);
// Takes over the peer's Send-Init data from the last packet read.
void KermitTakeInit(ChanfoldCtrl& ctrl);
// Validates QCTL, QBIN and REPT after KermitTakeInit.
void KermitCheckPrefixes(KermitState& k);

// Fills the work buffer from index 0 with the next encoded data of the transfer file (through
// the file block buffer); returns the encoded count. Sets kermit_.consumed to the source bytes
// taken and kermit_.end_of_file when the file had nothing more.
int32_t KermitEncodeData(ChanfoldCtrl& ctrl);
// Decodes the data of the last packet read into the file block buffer and writes it to the
// transfer file; XferCurrBytes grows by the bytes written. Returns that count.
int32_t KermitDecodeData(ChanfoldCtrl& ctrl);

// Sends the error packet (type E, own sequence number) with the text Cancelled.
void KermitSendError(ChanfoldCtrl& ctrl);

}  // namespace chanfold
