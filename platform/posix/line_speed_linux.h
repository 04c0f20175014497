// Any line speed on Linux through termios2 and BOTHER. Kept apart from the rest of the serial
// code because <asm/termbits.h>, which defines termios2, redefines the struct termios of
// <termios.h>; the two headers cannot meet in one translation unit.
#pragma once

#include <cstdint>

namespace platform::posix {

// Sets the output and input speed of the tty on `fd` to `baud` bit/s, leaving every other
// setting as it is. Returns false when the driver refuses it. A driver may round to the nearest
// rate it can make; GetLineSpeed reports what it took.
bool SetLineSpeed(int fd, uint32_t baud);

// The output speed of the tty on `fd` in bit/s.
bool GetLineSpeed(int fd, uint32_t* baud);

}  // namespace platform::posix
