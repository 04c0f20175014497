#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/serial.h"

namespace platform {

// The classic mode text "baud,parity,data,stop", as the MODE command and BuildCommDCBA accept
// it. The Win32 backend calls the real BuildCommDCBA instead.
bool BuildCommDcb(const char* mode, Dcb* dcb) {
  if (mode == nullptr || dcb == nullptr) return false;
  std::string fields[4];
  int count = 0;
  for (const char* p = mode; *p != '\0'; ++p) {
    if (*p == ',') {
      if (++count >= 4) return false;
      continue;
    }
    if (*p != ' ') fields[count] += *p;
  }
  Dcb out = *dcb;
  char* end = nullptr;
  long baud = std::strtol(fields[0].c_str(), &end, 10);
  if (fields[0].empty() || *end != '\0' || baud <= 0) return false;
  out.BaudRate = static_cast<uint32_t>(baud);
  if (count >= 1 && !fields[1].empty()) {
    switch (fields[1][0] | 0x20) {
      case 'n':
        out.Parity = 0;
        break;
      case 'o':
        out.Parity = 1;
        break;
      case 'e':
        out.Parity = 2;
        break;
      case 'm':
        out.Parity = 3;
        break;
      case 's':
        out.Parity = 4;
        break;
      default:
        return false;
    }
    if (out.Parity != 0)
      out.flags |= dcb::kParity;
    else
      out.flags &= ~dcb::kParity;
  }
  if (count >= 2 && !fields[2].empty()) {
    long bits = std::strtol(fields[2].c_str(), &end, 10);
    if (*end != '\0' || bits < 5 || bits > 8) return false;
    out.ByteSize = static_cast<uint8_t>(bits);
  }
  if (count >= 3 && !fields[3].empty()) {
    if (fields[3] == "1")
      out.StopBits = 0;
    else if (fields[3] == "1.5")
      out.StopBits = 1;
    else if (fields[3] == "2")
      out.StopBits = 2;
    else
      return false;
  }
  *dcb = out;
  return true;
}

}  // namespace platform
