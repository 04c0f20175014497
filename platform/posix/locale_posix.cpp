// Locale on POSIX: the decimal separator comes from the environment's LC_NUMERIC locale
// (LC_ALL, LC_NUMERIC, LANG as usual), read anew on every call; text on the line is
// Windows-1252.
#include <langinfo.h>
#include <locale.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "platform/locale.h"
#include "platform/posix/posix_backend.h"

namespace platform::posix {
namespace {

// Any fixed identifier will do: it only travels back into GetLocaleInfo. 0x0409 is en-US.
constexpr uint32_t kLcid = 0x0409;
// GetLocaleInfoA flags that may ride in the item's high bits.
constexpr uint32_t kLocaleNoUserOverride = 0x80000000u;
constexpr uint32_t kLocaleUseCpAcp = 0x40000000u;

// The locale's text turned into Windows-1252 bytes. In a UTF-8 locale each sequence is
// decoded and mapped; in a single-byte locale ASCII and Latin-1 (0xA0..0xFF, which
// Windows-1252 shares) pass. Anything else becomes '?', Windows' own replacement.
std::string ToCp1252(const char* text, bool utf8) {
  std::string out;
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  while (*p != 0) {
    uint32_t c = *p++;
    if (c < 0x80) {
      out += static_cast<char>(c);
      continue;
    }
    if (!utf8) {
      out += c >= 0xA0 ? static_cast<char>(c) : '?';
      continue;
    }
    int extra = c >= 0xF8 ? -1 : c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : -1;
    if (extra > 0) c &= 0x3Fu >> extra;
    for (int i = 0; i < extra; ++i, ++p) {
      if ((*p & 0xC0) != 0x80) {
        extra = -1;  // a broken sequence; what follows is read afresh
        break;
      }
      c = (c << 6) | (*p & 0x3Fu);
    }
    int b = extra > 0 && c <= 0xFFFF ? Cp1252FromUnicode(static_cast<char16_t>(c)) : -1;
    out += b < 0 ? '?' : static_cast<char>(b);
  }
  return out;
}

// The radix character of the environment's numeric locale, "." when that locale can't be made
// (not installed, say) or says nothing.
std::string DecimalSeparator() {
  locale_t loc = newlocale(LC_NUMERIC_MASK | LC_CTYPE_MASK, "", static_cast<locale_t>(0));
  if (loc == static_cast<locale_t>(0)) {
    // LC_CTYPE may name a locale that doesn't exist while LC_NUMERIC does; try it alone.
    loc = newlocale(LC_NUMERIC_MASK, "", static_cast<locale_t>(0));
  }
  if (loc == static_cast<locale_t>(0)) return ".";
  const char* radix = nl_langinfo_l(RADIXCHAR, loc);
  const char* codeset = nl_langinfo_l(CODESET, loc);
  bool utf8 = codeset != nullptr && std::strcmp(codeset, "UTF-8") == 0;
  std::string s = radix != nullptr ? ToCp1252(radix, utf8) : std::string();
  freelocale(loc);
  return s.empty() ? "." : s;
}

class PosixLocale : public Locale {
 public:
  uint32_t GetSystemDefaultLcid() override { return kLcid; }

  int GetLocaleInfo(uint32_t /*lcid*/, uint32_t item, char* buf, int len) override {
    item &= ~(kLocaleNoUserOverride | kLocaleUseCpAcp);
    if (item != kLocaleSDecimal || len < 0) return 0;
    std::string s = DecimalSeparator();
    int needed = static_cast<int>(s.size()) + 1;
    if (len == 0) return needed;
    if (buf == nullptr || len < needed) return 0;  // ERROR_INSUFFICIENT_BUFFER
    std::memcpy(buf, s.c_str(), s.size() + 1);
    return needed;
  }

  std::string UserDecimalSeparator() override { return DecimalSeparator(); }

  int ToAnsi(char16_t c) override { return Cp1252FromUnicode(c); }
  char16_t FromAnsi(uint8_t b) override { return Cp1252ToUnicode(b); }
};

}  // namespace

std::unique_ptr<Locale> NewLocale() {
  return std::make_unique<PosixLocale>();
}

}  // namespace platform::posix
