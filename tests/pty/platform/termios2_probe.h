// Reads the speeds a tty really has, through termios2, independently of the code under test.
#pragma once

#include <cstdint>

namespace ptytest {

// Output and input speed of the tty on fd in bit/s; false when TCGETS2 fails.
bool ProbeLineSpeeds(int fd, uint32_t* out_speed, uint32_t* in_speed);

}  // namespace ptytest
