// Integrity checks and small encodings shared by the transfer engines: the 8-bit checksum and
// CRC-16 of XModem/YModem blocks, the CRC-32 of ZModem frames, the four ZModem header bytes,
// lowercase hex digits, the length of a received data field without its pad bytes, and the
// file information block of YModem block 0 and the ZModem ZFILE subpacket.
//
// Pure computations on bytes: nothing here touches the port or a file. Ranges are spans; the
// engines form them inside the control's 4097-byte buffers (their largest block is 1029 bytes).
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace chanfold {

// The pad byte of short data fields.
inline constexpr uint8_t kPadByte = 0x1A;

// Sum of the bytes modulo 256: the check of XModem blocks with a checksum.
uint8_t BlockChecksum(std::span<const uint8_t> data);

// CRC-16/XMODEM (poly 0x1021, init 0, no reflection, no final XOR; check value over "123456789"
// is 0x31C3), computed byte by byte without a table. On the wire the high byte goes first.
uint16_t Crc16(std::span<const uint8_t> data);
inline uint8_t Crc16High(uint16_t crc) {
  return static_cast<uint8_t>(crc >> 8);
}
inline uint8_t Crc16Low(uint16_t crc) {
  return static_cast<uint8_t>(crc & 0xFF);
}

// CRC-32/ISO-HDLC (the CRC-32 of IEEE 802.3 and ZModem's ZBIN32 frames): reflected polynomial
// 0xEDB88320, register preset to 0xFFFFFFFF; the complemented register is the CRC (check value
// over "123456789" is 0xCBF43926). Running the register over a frame and its four CRC bytes, low
// byte first, leaves the residue below.
inline constexpr uint32_t kCrc32Polynomial = 0xEDB88320u;
inline constexpr uint32_t kCrc32Init = 0xFFFFFFFFu;
inline constexpr uint32_t kCrc32Residue = 0xDEBB20E3u;
using Crc32Table = std::array<uint32_t, 256>;
void BuildCrc32Table(uint32_t polynomial, Crc32Table& table);
uint32_t UpdateCrc32(const Crc32Table& table, std::span<const uint8_t> data, uint32_t reg);

// The ZModem header bytes P0..P3 (low byte first) and a spare fifth byte. P3 doubles as the flag
// byte ZF0, P2 as ZF1, P1 as ZF2, P0 as ZF3.
using HeaderBytes = std::array<uint8_t, 5>;
void PutHeaderValue(HeaderBytes& header, uint32_t v);
uint32_t GetHeaderValue(const HeaderBytes& header);

// ASCII code of the lowercase hex digit of the high or the low nibble of b.
uint8_t HexDigitHigh(uint8_t b);
uint8_t HexDigitLow(uint8_t b);

// The count of data bytes of a received block before its trailing pad bytes. `field` is the
// data field (index 3 on of the block in the work buffer); a field of pad bytes only gives 0.
int32_t CountDataWithoutPad(std::span<const uint8_t> field);

// YModem block 0: name (ANSI bytes, as in the file list), NUL, the size in decimal, NUL, then
// pad bytes to the end of `field` (128 or 1024 bytes). False, with `field` untouched, when the
// name and size do not fit.
bool BuildYModemFileInfo(std::span<uint8_t> field, const std::string& name, int32_t size);

// ZModem ZFILE subpacket: name with "A".."Z" lowered and "\" turned into "/", NUL, the size in
// decimal, NUL. Returns the length written, or 0 when it does not fit into `out`.
int32_t BuildZModemFileInfo(std::span<uint8_t> out, const std::string& name, int32_t size);

struct FileInfo {
  std::string name;  // ANSI bytes
  int64_t size = 0;
  // The YModem size field held at least one byte and every byte of it was a digit (the size
  // is then the sender's own statement of the file's length).
  bool size_is_decimal = false;
};

// YModem receiver: name = bytes up to the first NUL or space; size = the bytes behind that up
// to the next NUL, space, pad byte or the end of the field, each taken as a digit
// (size * 10 + byte - 48) without a test that it is one.
FileInfo ParseYModemFileInfo(std::span<const uint8_t> field);

// ZModem (and Kermit) receiver: name = bytes up to the first NUL or space without any ":" or
// "\"; size = the decimal digits behind it up to the next NUL or space, other bytes skipped.
FileInfo ParseZModemFileInfo(std::span<const uint8_t> data);

}  // namespace chanfold
