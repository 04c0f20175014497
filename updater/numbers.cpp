#include "updater/numbers.h"

#include <array>
#include <charconv>
#include <cmath>
#include <system_error>

namespace updater {
namespace {

bool IsBlank(char16_t c) {
  return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n';
}
bool IsDigit(char16_t c) {
  return c >= u'0' && c <= u'9';
}

// Checks the shape of a plain decimal number and writes it as ASCII ("-12.5") into `ascii`.
bool ToAsciiNumber(std::u16string_view text, std::u16string_view separator, std::string* ascii) {
  if (separator.empty()) return false;
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  std::u16string_view body = text.substr(begin, end - begin);

  ascii->clear();
  size_t i = 0;
  if (i < body.size() && (body[i] == u'+' || body[i] == u'-')) {
    if (body[i] == u'-') *ascii += '-';
    ++i;
  }
  bool seen_separator = false;
  int digits = 0;
  while (i < body.size()) {
    if (IsDigit(body[i])) {
      *ascii += static_cast<char>(body[i]);
      ++digits;
      ++i;
    } else if (!seen_separator && body.substr(i, separator.size()) == separator) {
      seen_separator = true;
      *ascii += '.';
      i += separator.size();
    } else {
      return false;
    }
  }
  return digits > 0;
}

}  // namespace

std::u16string FormatNumber(float value, std::u16string_view separator) {
  double d = value;
  if (!std::isfinite(d)) return d != d ? u"NaN" : (d < 0 ? u"-Infinity" : u"Infinity");

  // Exact enough a decimal expansion that rounding it at two places decides halves exactly:
  // a single-precision value has no tie hidden beyond 60 decimals.
  std::array<char, 128> buf{};
  auto res = std::to_chars(buf.data(), buf.data() + buf.size(), std::fabs(d),
                           std::chars_format::fixed, 60);
  std::string digits(buf.data(), res.ptr);
  size_t point = digits.find('.');
  std::string whole = digits.substr(0, point);
  std::string frac = digits.substr(point + 1);

  // Round at two decimals, halves away from zero.
  std::string kept = whole + frac.substr(0, 2);
  if (frac[2] >= '5') {
    int k = static_cast<int>(kept.size()) - 1;
    while (k >= 0 && kept[k] == '9') kept[k--] = '0';
    if (k < 0) {
      kept.insert(kept.begin(), '1');
    } else {
      ++kept[k];
    }
  }
  std::string int_part = kept.substr(0, kept.size() - 2);
  std::string dec_part = kept.substr(kept.size() - 2);
  if (dec_part[1] == '0') dec_part.pop_back();
  bool zero = int_part.find_first_not_of('0') == std::string::npos &&
              dec_part.find_first_not_of('0') == std::string::npos;

  std::u16string out;
  if (d < 0 && !zero) out += u'-';
  for (char c : int_part) out += static_cast<char16_t>(c);
  out += separator;
  for (char c : dec_part) out += static_cast<char16_t>(c);
  return out;
}

bool ParseSingle(std::u16string_view text, std::u16string_view separator, float* out) {
  std::string ascii;
  if (!ToAsciiNumber(text, separator, &ascii)) return false;
  float value = 0;
  auto res =
      std::from_chars(ascii.data(), ascii.data() + ascii.size(), value, std::chars_format::fixed);
  if (res.ec != std::errc() || res.ptr != ascii.data() + ascii.size()) return false;
  *out = value;
  return true;
}

bool ParseByte(std::u16string_view text, std::u16string_view separator, uint8_t* out) {
  std::string ascii;
  if (!ToAsciiNumber(text, separator, &ascii)) return false;
  double value = 0;
  auto res =
      std::from_chars(ascii.data(), ascii.data() + ascii.size(), value, std::chars_format::fixed);
  if (res.ec != std::errc() || res.ptr != ascii.data() + ascii.size()) return false;
  double rounded = std::nearbyint(value);  // the default rounding mode: halves to even
  if (!(rounded >= 0 && rounded <= 255)) return false;
  *out = static_cast<uint8_t>(rounded);
  return true;
}

double RoundHalfEven(double value) {
  if (std::isnan(value)) return 0;
  double down = std::floor(value);
  double fraction = value - down;
  if (fraction > 0.5) return down + 1;
  if (fraction < 0.5) return down;
  return std::fmod(down, 2.0) == 0 ? down : down + 1;
}

}  // namespace updater
