// Defining tcsetattr in the program takes every call of it, the posix backend's included; the
// call is recorded and handed on to the C library's own.
#include "tests/pty/platform/tcsetattr_spy.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <map>
#include <mutex>

namespace ptytest {
namespace {

std::mutex& Lock() {
  static std::mutex m;
  return m;
}

std::map<dev_t, termios>& Requests() {
  static std::map<dev_t, termios> r;
  return r;
}

}  // namespace

dev_t TtyDevice(int fd) {
  struct stat st {};
  return fstat(fd, &st) == 0 ? st.st_rdev : 0;
}

bool LastRequestedTermios(dev_t rdev, termios* out) {
  std::lock_guard<std::mutex> g(Lock());
  auto it = Requests().find(rdev);
  if (it == Requests().end()) return false;
  *out = it->second;
  return true;
}

}  // namespace ptytest

extern "C" int tcsetattr(int fd, int action, const struct termios* t) noexcept {
  using Fn = int (*)(int, int, const struct termios*);
  static Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "tcsetattr"));
  if (t != nullptr) {
    std::lock_guard<std::mutex> g(ptytest::Lock());
    ptytest::Requests()[ptytest::TtyDevice(fd)] = *t;
  }
  return real(fd, action, t);
}
