// Types of the control's programmatic interface: 16-bit Booleans with True = -1, the call
// results that the COM layer returns as HRESULTs, the enumerations with their fixed values, and
// a small variant for the byte-array members.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace chanfold {

// Booleans of the interface are 16-bit, True = -1.
using VBool = int16_t;
inline constexpr VBool kVTrue = -1;
inline constexpr VBool kVFalse = 0;
inline VBool ToVBool(bool b) {
  return b ? kVTrue : kVFalse;
}

// Result of a member call, with the HRESULT values of the errors a member can fail with.
using HResult = int32_t;
inline constexpr HResult kOk = 0;
inline constexpr HResult kTypeMismatch = static_cast<HResult>(0x80020005);  // DISP_E_TYPEMISMATCH
inline constexpr HResult kOverflow = static_cast<HResult>(0x8002000A);      // DISP_E_OVERFLOW
inline constexpr HResult kBadIndex = static_cast<HResult>(0x8002000B);      // DISP_E_BADINDEX
inline bool Failed(HResult hr) {
  return hr < 0;
}

enum DataBitsType : int32_t { db4Bits = 0, db5Bits = 1, db6Bits = 2, db7Bits = 3, db8Bits = 4 };
enum ParityType : int32_t { pNone = 0, pOdd = 1, pEven = 2, pMark = 3, pSpace = 4 };
enum StopBitsType : int32_t { sb1Bit = 0, sb1X5Bits = 1, sb2Bits = 2 };
enum FlowControlType : int32_t {
  fcNone = 0,
  fcXonXoff = 1,
  fcHardware = 2,
  fcDTR = 3,
  fcRTS = 4,
  fcDTR_RTS = 5,
};
enum ProtocolType : int32_t {
  pXModemChecksum = 0,
  pXModemCRC = 1,
  pXModem1K = 2,
  pYModem = 3,
  pYModemG = 4,
  pZModem = 5,
  pKermit = 6,
};
enum ActionType : int32_t { aUpload = 0, aDownload = 1 };

// A variant as the byte-array members see it: empty, a number, a string, a byte array or an
// array of variants, arrays with a lower bound of their own.
class Variant {
 public:
  enum class Type { kEmpty, kNumber, kString, kByteArray, kArray };

  Variant() = default;
  static Variant Number(double v);
  static Variant String(std::u16string s);
  static Variant Bytes(std::vector<uint8_t> bytes, int32_t lower_bound = 0);
  static Variant Array(std::vector<Variant> elements, int32_t lower_bound = 0);

  Type type() const { return type_; }
  bool is_array() const { return type_ == Type::kByteArray || type_ == Type::kArray; }
  double number() const { return number_; }
  const std::u16string& string() const { return string_; }
  const std::vector<uint8_t>& bytes() const { return bytes_; }
  const std::vector<Variant>& elements() const { return elements_; }
  int32_t lower_bound() const { return lower_bound_; }
  // Upper bound of the first dimension (lower_bound - 1 for an empty array).
  int32_t upper_bound() const;

  // Converts the array into bytes, element by element from the lower bound: numbers and
  // numeric strings in 0..255 (rounded half to even, as a conversion to Byte does). Fails with
  // kTypeMismatch for a value that is not an array or an element that is not a number, and with
  // kOverflow for a number outside 0..255; `out` is left empty then.
  HResult ToBytes(std::vector<uint8_t>* out) const;

 private:
  Type type_ = Type::kEmpty;
  double number_ = 0;
  std::u16string string_;
  std::vector<uint8_t> bytes_;
  std::vector<Variant> elements_;
  int32_t lower_bound_ = 0;
};

}  // namespace chanfold
