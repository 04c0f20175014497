#include "serialctl/types.h"

#include <cmath>
#include <cstdlib>
#include <string>

namespace chanfold {

namespace {

// A numeric text as the conversion of a string to a number reads it: blanks around it are
// allowed, the decimal point is ".", the whole text must be the number. Non-ASCII characters
// can never be part of a number.
bool ParseNumericString(const std::u16string& s, double* out) {
  std::string ascii;
  ascii.reserve(s.size());
  for (char16_t c : s) {
    if (c > 0x7F) return false;
    ascii.push_back(static_cast<char>(c));
  }
  size_t first = ascii.find_first_not_of(' ');
  if (first == std::string::npos) return false;
  size_t last = ascii.find_last_not_of(' ');
  std::string text = ascii.substr(first, last - first + 1);
  char* end = nullptr;
  double v = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size()) return false;
  // strtod also takes "nan", "inf" and hexadecimal floats; none of them is a plain number.
  if (!std::isfinite(v) || text.find_first_of("xXnN") != std::string::npos) return false;
  *out = v;
  return true;
}

// A number converted to a byte: rounded to the nearest whole number with halves going to the
// even neighbour (nearbyint in the default rounding mode), then checked against 0..255.
HResult NumberToByte(double v, uint8_t* out) {
  if (!std::isfinite(v)) return kOverflow;
  double r = std::nearbyint(v);
  if (r < 0 || r > 255) return kOverflow;
  *out = static_cast<uint8_t>(r);
  return kOk;
}

}  // namespace

Variant Variant::Number(double v) {
  Variant out;
  out.type_ = Type::kNumber;
  out.number_ = v;
  return out;
}

Variant Variant::String(std::u16string s) {
  Variant out;
  out.type_ = Type::kString;
  out.string_ = std::move(s);
  return out;
}

Variant Variant::Bytes(std::vector<uint8_t> bytes, int32_t lower_bound) {
  Variant out;
  out.type_ = Type::kByteArray;
  out.bytes_ = std::move(bytes);
  out.lower_bound_ = lower_bound;
  return out;
}

Variant Variant::Array(std::vector<Variant> elements, int32_t lower_bound) {
  Variant out;
  out.type_ = Type::kArray;
  out.elements_ = std::move(elements);
  out.lower_bound_ = lower_bound;
  return out;
}

int32_t Variant::upper_bound() const {
  size_t n = 0;
  if (type_ == Type::kByteArray) n = bytes_.size();
  if (type_ == Type::kArray) n = elements_.size();
  return lower_bound_ + static_cast<int32_t>(n) - 1;
}

HResult Variant::ToBytes(std::vector<uint8_t>* out) const {
  out->clear();
  if (type_ == Type::kByteArray) {
    *out = bytes_;
    return kOk;
  }
  if (type_ != Type::kArray) return kTypeMismatch;
  std::vector<uint8_t> bytes;
  bytes.reserve(elements_.size());
  for (const Variant& e : elements_) {
    uint8_t b = 0;
    double v = 0;
    switch (e.type_) {
      case Type::kEmpty:
        // An empty element converts to 0, as an uninitialised variant does in any numeric
        // conversion.
        break;
      case Type::kNumber:
        if (HResult hr = NumberToByte(e.number_, &b); Failed(hr)) return hr;
        break;
      case Type::kString:
        if (!ParseNumericString(e.string_, &v)) return kTypeMismatch;
        if (HResult hr = NumberToByte(v, &b); Failed(hr)) return hr;
        break;
      case Type::kByteArray:
      case Type::kArray:
        return kTypeMismatch;
    }
    bytes.push_back(b);
  }
  *out = std::move(bytes);
  return kOk;
}

}  // namespace chanfold
