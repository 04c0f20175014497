#include "serialctl/transfer/block_checks.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace chanfold {

uint8_t BlockChecksum(std::span<const uint8_t> data) {
  uint32_t sum = 0;
  for (uint8_t b : data) sum += b;
  return static_cast<uint8_t>(sum & 0xFF);
}

uint16_t Crc16(std::span<const uint8_t> data) {
  // The table-free form of the 0x1021 polynomial: one byte swap and three shifted XORs per
  // byte give the same register as eight bit steps.
  uint32_t r = 0;
  for (uint8_t b : data) {
    r = ((r >> 8) | ((r & 0xFF) << 8)) & 0xFFFF;
    r ^= b;
    r ^= (r & 0xF0) >> 4;
    r ^= ((r & 0x0F) << 12) & 0xFFFF;
    r ^= ((r & 0xFF) << 5) & 0xFFFF;
  }
  return static_cast<uint16_t>(r);
}

void BuildCrc32Table(uint32_t polynomial, Crc32Table& table) {
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t x = i;
    for (int k = 0; k < 8; ++k) x = (x & 1) ? polynomial ^ (x >> 1) : x >> 1;
    table[i] = x;
  }
}

uint32_t UpdateCrc32(const Crc32Table& table, std::span<const uint8_t> data, uint32_t reg) {
  for (uint8_t b : data) reg = ((reg & 0xFFFFFF00u) >> 8) ^ table[(reg ^ b) & 0xFF];
  return reg;
}

void PutHeaderValue(HeaderBytes& header, uint32_t v) {
  header[0] = static_cast<uint8_t>(v & 0xFF);
  header[1] = static_cast<uint8_t>((v >> 8) & 0xFF);
  header[2] = static_cast<uint8_t>((v >> 16) & 0xFF);
  header[3] = static_cast<uint8_t>((v >> 24) & 0xFF);
}

uint32_t GetHeaderValue(const HeaderBytes& header) {
  return ((static_cast<uint32_t>(header[3]) * 256 + header[2]) * 256 + header[1]) * 256 + header[0];
}

namespace {

uint8_t HexDigit(uint32_t nibble) {
  return static_cast<uint8_t>(nibble < 10 ? '0' + nibble : 'a' + (nibble - 10));
}

// Decimal digits of a non-negative size, without sign or blanks.
std::string Decimal(int32_t size) {
  return std::to_string(size < 0 ? 0 : size);
}

}  // namespace

uint8_t HexDigitHigh(uint8_t b) {
  return HexDigit((b >> 4) & 0x0F);
}

uint8_t HexDigitLow(uint8_t b) {
  return HexDigit(b & 0x0F);
}

int32_t CountDataWithoutPad(std::span<const uint8_t> field) {
  size_t n = field.size();
  while (n > 0 && field[n - 1] == kPadByte) --n;
  return static_cast<int32_t>(n);
}

bool BuildYModemFileInfo(std::span<uint8_t> field, const std::string& name, int32_t size) {
  const std::string digits = Decimal(size);
  const size_t used = name.size() + 1 + digits.size() + 1;
  if (used > field.size()) return false;
  uint8_t* p = field.data();
  std::memcpy(p, name.data(), name.size());
  p[name.size()] = 0;
  std::memcpy(p + name.size() + 1, digits.data(), digits.size());
  p[used - 1] = 0;
  std::fill(field.begin() + static_cast<std::ptrdiff_t>(used), field.end(), kPadByte);
  return true;
}

int32_t BuildZModemFileInfo(std::span<uint8_t> out, const std::string& name, int32_t size) {
  const std::string digits = Decimal(size);
  const size_t used = name.size() + 1 + digits.size() + 1;
  if (used > out.size()) return 0;
  size_t i = 0;
  for (char c : name) {
    uint8_t b = static_cast<uint8_t>(c);
    if (b >= 'A' && b <= 'Z') b = static_cast<uint8_t>(b - 'A' + 'a');
    if (b == '\\') b = '/';
    out[i++] = b;
  }
  out[i++] = 0;
  for (char c : digits) out[i++] = static_cast<uint8_t>(c);
  out[i++] = 0;
  return static_cast<int32_t>(i);
}

FileInfo ParseYModemFileInfo(std::span<const uint8_t> field) {
  FileInfo info;
  size_t i = 0;
  while (i < field.size() && field[i] != 0 && field[i] != ' ') {
    info.name.push_back(static_cast<char>(field[i]));
    ++i;
  }
  ++i;  // the terminator
  bool all_digits = true;
  int size_bytes = 0;
  for (; i < field.size(); ++i) {
    const uint8_t b = field[i];
    if (b == 0 || b == ' ' || b == kPadByte) break;
    if (b < '0' || b > '9') all_digits = false;
    ++size_bytes;
    // Kept in 64 bits so that a long run of bytes cannot overflow; a size that no longer fits
    // the 32-bit size property is not a statement of a real length.
    if (info.size < (int64_t{1} << 40)) info.size = info.size * 10 + (int64_t{b} - 48);
  }
  info.size_is_decimal = size_bytes > 0 && all_digits && info.size >= 0 && info.size <= INT32_MAX;
  return info;
}

FileInfo ParseZModemFileInfo(std::span<const uint8_t> data) {
  FileInfo info;
  size_t i = 0;
  while (i < data.size() && data[i] != 0 && data[i] != ' ') {
    if (data[i] != ':' && data[i] != '\\') info.name.push_back(static_cast<char>(data[i]));
    ++i;
  }
  ++i;
  bool any = false;
  for (; i < data.size(); ++i) {
    const uint8_t b = data[i];
    if (b == 0 || b == ' ') break;
    if (b < '0' || b > '9') continue;
    any = true;
    if (info.size < (int64_t{1} << 40)) info.size = info.size * 10 + (b - '0');
  }
  info.size_is_decimal = any && info.size <= INT32_MAX;
  return info;
}

}  // namespace chanfold
