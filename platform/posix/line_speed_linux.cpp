// termios2 code only: this file must not include <termios.h> (see line_speed_linux.h).
#if !defined(__linux__)
#error "line_speed_linux.cpp needs Linux termios2 (BOTHER); this system has no posix backend yet"
#endif

#include "platform/posix/line_speed_linux.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>
#include <cerrno>

namespace platform::posix {
namespace {

int Ioctl(int fd, unsigned long request, void* arg) {
  int r;
  do {
    r = ioctl(fd, request, arg);
  } while (r < 0 && errno == EINTR);
  return r;
}

}  // namespace

bool SetLineSpeed(int fd, uint32_t baud) {
  if (baud == 0) return false;  // B0 would mean "hang up", never a speed the control asks for
  struct termios2 t {};
  if (Ioctl(fd, TCGETS2, &t) != 0) return false;
  // BOTHER in both the output and the input speed field: the rate is taken from c_ospeed and
  // c_ispeed as a plain number, so 1234567 works as well as 57600.
  t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
  t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  t.c_ospeed = baud;
  t.c_ispeed = baud;
  return Ioctl(fd, TCSETS2, &t) == 0;
}

bool GetLineSpeed(int fd, uint32_t* baud) {
  struct termios2 t {};
  if (Ioctl(fd, TCGETS2, &t) != 0) return false;
  *baud = t.c_ospeed;
  return true;
}

}  // namespace platform::posix
