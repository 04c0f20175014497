// Text helpers shared by the views: UTF-8 for terminals and tests, log lines, colour names.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "updater/views.h"

namespace updater {

// UTF-16 to UTF-8, for comparing and printing texts.
std::string ToUtf8(std::u16string_view text);
// Splits a log text into its lines at CR LF; a last line without CR LF is kept, the empty
// remainder after a final CR LF is not.
std::vector<std::u16string> SplitLogLines(std::u16string_view text);
// The text with every CR LF pair taken out.
std::u16string RemoveCrLf(std::u16string_view text);
// Leading and trailing spaces removed (spaces only, not tabs).
std::u16string_view TrimSpaces(std::u16string_view text);
// "black", "red", "green", or "r,g,b" for any other colour.
std::string ColorName(Rgb color);

}  // namespace updater
