#include "platform/locale.h"

namespace platform {
namespace {

// Windows-1252 bytes 0x80..0x9F; 0 marks the five bytes the code page leaves undefined, which
// Windows maps to the C1 control of the same value.
constexpr char16_t kHigh[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80-87
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,       // 88-8F
    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90-97
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,  // 98-9F
};

}  // namespace

char16_t Cp1252ToUnicode(uint8_t b) {
  if (b >= 0x80 && b <= 0x9F) {
    char16_t c = kHigh[b - 0x80];
    return c != 0 ? c : static_cast<char16_t>(b);
  }
  return static_cast<char16_t>(b);  // ASCII and Latin-1 0xA0..0xFF are the same code points
}

int Cp1252FromUnicode(char16_t c) {
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return c;
  for (int i = 0; i < 32; ++i) {
    char16_t m = kHigh[i] != 0 ? kHigh[i] : static_cast<char16_t>(0x80 + i);
    if (m == c) return 0x80 + i;
  }
  return -1;
}

}  // namespace platform
