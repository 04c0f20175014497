#include "tools/linesim/pty_pair.h"

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

namespace linesim {

namespace {

std::string Describe(const char* what) {
  return std::string(what) + ": " + strerror(errno);
}

}  // namespace

bool Pty::Open(std::string* error) {
  // O_NOCTTY: linesim must never acquire one of its ptys as controlling terminal, or a
  // peer's exit could hang it up.
  master_ = posix_openpt(O_RDWR | O_NOCTTY);
  if (master_ < 0) {
    *error = Describe("posix_openpt");
    return false;
  }
  if (grantpt(master_) != 0 || unlockpt(master_) != 0) {
    *error = Describe("grantpt/unlockpt");
    return false;
  }
  char name[128];
  if (ptsname_r(master_, name, sizeof name) != 0) {
    *error = Describe("ptsname_r");
    return false;
  }
  slave_path_ = name;
  // Holding our own slave descriptor keeps the pty alive while peers come and go: once the
  // last holder of the slave closes it, reads on the master fail with EIO.
  if (!ReopenSlave()) {
    *error = Describe(("open " + slave_path_).c_str());
    return false;
  }
  // On Linux the termios requests on a pty master act on the slave's line discipline, the
  // one that would otherwise echo, translate CR/LF and buffer lines. A null-modem carries
  // bytes, so both ends start raw; a peer may still set its own mode on the slave.
  termios tio{};
  if (tcgetattr(master_, &tio) != 0) {
    *error = Describe("tcgetattr");
    return false;
  }
  cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  if (tcsetattr(master_, TCSANOW, &tio) != 0) {
    *error = Describe("tcsetattr");
    return false;
  }
  const int flags = fcntl(master_, F_GETFL);
  if (flags < 0 || fcntl(master_, F_SETFL, flags | O_NONBLOCK) != 0) {
    *error = Describe("fcntl O_NONBLOCK");
    return false;
  }
  return true;
}

bool Pty::ReopenSlave() {
  if (slave_ >= 0) close(slave_);
  // Non-blocking and never read: it only keeps the slave open.
  slave_ = open(slave_path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  return slave_ >= 0;
}

int Pty::UnreadBySlave() const {
  int queued = 0;
  if (slave_ < 0 || ioctl(slave_, TIOCINQ, &queued) != 0) return 0;
  return queued;
}

void Pty::Close() {
  if (master_ >= 0) close(master_);
  if (slave_ >= 0) close(slave_);
  master_ = slave_ = -1;
}

}  // namespace linesim
