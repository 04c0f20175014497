// termios2 only: <asm/termbits.h> cannot share a file with <termios.h>.
#include "tests/pty/platform/termios2_probe.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace ptytest {

bool ProbeLineSpeeds(int fd, uint32_t* out_speed, uint32_t* in_speed) {
  struct termios2 t {};
  if (ioctl(fd, TCGETS2, &t) != 0) return false;
  *out_speed = t.c_ospeed;
  *in_speed = t.c_ispeed;
  return true;
}

}  // namespace ptytest
