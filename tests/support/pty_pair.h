// A pseudo-terminal pair for real-time tests. The object keeps its own descriptor of the
// slave open for its whole life: once the last holder of a slave closes it, reads on the
// master fail, so a program under test may open, close and reopen the slave by its path
// (slave_path(), for CHANFOLD_COMn) while the link stays up. Header-only.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <string>

#include "tests/support/fd_io.h"

namespace testsupport {

class PtyPair {
 public:
  // kRaw puts the slave in raw mode at once (the usual case: peers see bytes unchanged even
  // before the program configures the port); kCooked leaves the kernel's defaults, for tests
  // that check what the program sets.
  enum Mode { kRaw, kCooked };

  explicit PtyPair(Mode mode = kRaw) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
      Close();
      return;
    }
    char name[128];
    if (ptsname_r(master_, name, sizeof name) != 0) {
      Close();
      return;
    }
    slave_path_ = name;
    slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0) {
      Close();
      return;
    }
    if (mode == kRaw) {
      termios t{};
      tcgetattr(slave_, &t);
      cfmakeraw(&t);
      tcsetattr(slave_, TCSANOW, &t);
    }
    SetNonBlocking(master_);
  }

  ~PtyPair() { Close(); }
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  bool ok() const { return master_ >= 0 && slave_ >= 0; }
  // The peer's end: what the program writes to the slave is read here, and the other way.
  int master() const { return master_; }
  // The pair's own slave descriptor, for inspecting settings (tcgetattr) the program made.
  int slave() const { return slave_; }
  const std::string& slave_path() const { return slave_path_; }

  // Hangs up the link from the peer's side: the program's slave reads end and writes fail.
  void CloseMaster() {
    if (master_ >= 0) close(master_);
    master_ = -1;
  }

  void Close() {
    CloseMaster();
    if (slave_ >= 0) close(slave_);
    slave_ = -1;
  }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string slave_path_;
};

}  // namespace testsupport
