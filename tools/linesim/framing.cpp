#include "tools/linesim/framing.h"

#include <cctype>

namespace linesim {

std::string Framing::ToString() const {
  std::string text;
  text += static_cast<char>('0' + data_bits);
  text += parity;
  text += static_cast<char>('0' + stop_bits);
  return text;
}

std::optional<Framing> ParseFraming(std::string_view text) {
  if (text.size() != 3) return std::nullopt;
  Framing framing;
  if (text[0] < '5' || text[0] > '8') return std::nullopt;
  framing.data_bits = text[0] - '0';
  const char parity = static_cast<char>(std::toupper(static_cast<unsigned char>(text[1])));
  switch (parity) {
    case 'N':
    case 'E':
    case 'O':
    case 'M':
    case 'S':
      framing.parity = parity;
      break;
    default:
      return std::nullopt;
  }
  if (text[2] != '1' && text[2] != '2') return std::nullopt;
  framing.stop_bits = text[2] - '0';
  return framing;
}

}  // namespace linesim
