// Records the settings every tcsetattr() of this test program asks of the kernel. The Linux
// pty driver forces 8 data bits without parity whatever it is told, so a pty's own termios
// cannot show the character format a program asked for; the request can.
#pragma once

#include <sys/types.h>
#include <termios.h>

namespace ptytest {

// The settings last asked of the tty with device number `rdev` (st_rdev of any descriptor of
// it); false when none was asked since the program started.
bool LastRequestedTermios(dev_t rdev, termios* out);

// st_rdev of the tty open on fd.
dev_t TtyDevice(int fd);

}  // namespace ptytest
