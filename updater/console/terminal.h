// The few things the terminal front-end needs from the OS: whether standard input and output
// are terminals, a key-at-a-time mode for an interactive terminal, non-blocking reads of
// standard input, writes to standard output and the size of the terminal.
#pragma once

#include <string>
#include <string_view>

namespace console {

bool StdinIsTerminal();
bool StdoutIsTerminal();

// Keys arrive one at a time and are not echoed while the object lives (and the terminal is
// put back when the program is interrupted). Does nothing when stdin is no terminal.
class KeyMode {
 public:
  KeyMode();
  ~KeyMode();
  KeyMode(const KeyMode&) = delete;
  KeyMode& operator=(const KeyMode&) = delete;
};

enum class ReadStatus { kData, kNothing, kEnd };
// Appends what standard input holds now, without waiting. kEnd once the input has ended (or
// failed).
ReadStatus ReadInput(std::string* out);

// Writes all of `text` to standard output.
void WriteOut(std::string_view text);
void WriteErr(std::string_view text);

struct TerminalSize {
  int rows = 24;
  int columns = 80;
};
TerminalSize GetTerminalSize();

}  // namespace console
