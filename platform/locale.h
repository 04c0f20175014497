// Locale service: the locale texts the updater reads and the ANSI code page that carries the
// control's strings on the line (Windows-1252 outside Windows).
#pragma once

#include <cstdint>
#include <string>

namespace platform {

inline constexpr uint32_t kLocaleSDecimal = 14;  // LOCALE_SDECIMAL

class Locale {
 public:
  virtual ~Locale() = default;
  virtual uint32_t GetSystemDefaultLcid() = 0;
  // GetLocaleInfoA: with len 0 returns the size needed (NUL included); otherwise copies the
  // text and a NUL into buf and returns the count written (NUL included), 0 on failure.
  virtual int GetLocaleInfo(uint32_t lcid, uint32_t item, char* buf, int len) = 0;
  // The decimal separator of the user's regional settings, used for formatting and reading
  // numbers shown to the operator.
  virtual std::string UserDecimalSeparator() = 0;
  // The ANSI code of one character, or -1 when the code page has no single byte for it.
  virtual int ToAnsi(char16_t c) = 0;
  // The character of one ANSI byte.
  virtual char16_t FromAnsi(uint8_t b) = 0;
};

// Windows-1252, the ANSI code page used outside Windows. Shared by the backends.
int Cp1252FromUnicode(char16_t c);
char16_t Cp1252ToUnicode(uint8_t b);

}  // namespace platform
