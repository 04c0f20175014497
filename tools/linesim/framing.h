// Character framing on an asynchronous serial line ("8N1", "7E2", ...).
#ifndef TOOLS_LINESIM_FRAMING_H_
#define TOOLS_LINESIM_FRAMING_H_

#include <optional>
#include <string>
#include <string_view>

namespace linesim {

struct Framing {
  int data_bits = 8;  // 5..8
  char parity = 'N';  // N, E, O, M or S
  int stop_bits = 1;  // 1 or 2

  // Start bit + data bits + parity bit (if any) + stop bits.
  int BitsPerChar() const { return 1 + data_bits + (parity == 'N' ? 0 : 1) + stop_bits; }
  std::string ToString() const;
};

// Parses "<data bits><parity><stop bits>", e.g. "8N1" or "7e2"; nullopt if malformed.
std::optional<Framing> ParseFraming(std::string_view text);

}  // namespace linesim

#endif  // TOOLS_LINESIM_FRAMING_H_
