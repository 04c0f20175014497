#include "updater/text.h"

namespace updater {

std::string ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t c = text[i];
    // A surrogate pair is one code point; a lone surrogate becomes U+FFFD.
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::vector<std::u16string> SplitLogLines(std::u16string_view text) {
  std::vector<std::u16string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(u"\r\n", start);
    if (end == std::u16string_view::npos) {
      lines.emplace_back(text.substr(start));
      break;
    }
    lines.emplace_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

std::u16string RemoveCrLf(std::u16string_view text) {
  std::u16string out;
  size_t start = 0;
  for (;;) {
    size_t p = text.find(u"\r\n", start);
    if (p == std::u16string_view::npos) break;
    out += text.substr(start, p - start);
    start = p + 2;
  }
  out += text.substr(start);
  return out;
}

std::u16string_view TrimSpaces(std::u16string_view text) {
  size_t begin = text.find_first_not_of(u' ');
  if (begin == std::u16string_view::npos) return {};
  size_t end = text.find_last_not_of(u' ');
  return text.substr(begin, end - begin + 1);
}

std::string ColorName(Rgb color) {
  if (color == kBlack) return "black";
  if (color == kRed) return "red";
  if (color == kGreen) return "green";
  return std::to_string(color.r) + "," + std::to_string(color.g) + "," + std::to_string(color.b);
}

}  // namespace updater
