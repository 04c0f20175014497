// Numbers as the operator sees them and as the device writes them.
//
// Shown numbers follow the pattern "#0.#0": at least one digit before the decimal separator,
// rounded to two decimals (halves away from zero), the first decimal always shown and the
// second only when it is not zero: 7 shows as "7.0", 6.5 as "6.5", 7.15 as "7.15", 7.999 as
// "8.0".
//
// Read numbers accept what a person would call a plain decimal number: optional blanks (space,
// tab, CR, LF) around it, an optional sign right before the digits, digits with at most one
// decimal separator and at least one digit. Anything else (exponents, thousands separators,
// letters, NULs, 8-bit characters, an empty text, a value beyond the single-precision range) is
// not a number. Nothing here throws.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace updater {

// `value` with the pattern "#0.#0" and `separator` as the decimal separator.
std::u16string FormatNumber(float value, std::u16string_view separator);

// Reads `text` as a single-precision number with `separator` as its decimal separator (which
// may be longer than one character; it must not be empty). False when it is not a number.
bool ParseSingle(std::u16string_view text, std::u16string_view separator, float* out);

// Reads `text` as a number and converts it to a byte the way a conversion to Byte does:
// rounded to the nearest whole number, halves to the even neighbour, then 0 to 255. False when
// it is not a number or out of range.
bool ParseByte(std::u16string_view text, std::u16string_view separator, uint8_t* out);

// Rounds to the nearest whole number, exact halves to the even neighbour (2.5 to 2, 3.5 to 4),
// as the conversions to whole numbers of the window system do. NaN gives 0.
double RoundHalfEven(double value);

}  // namespace updater
