#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>

#include "updater/console/terminal.h"

namespace console {
namespace {

termios g_saved{};
bool g_key_mode = false;

void RestoreTerminal() {
  if (g_key_mode) {
    tcsetattr(STDIN_FILENO, TCSANOW, &g_saved);
    g_key_mode = false;
  }
}

// Ctrl-C and friends end the program; the operator's terminal must not stay in key mode.
void OnSignal(int sig) {
  RestoreTerminal();
  signal(sig, SIG_DFL);
  raise(sig);
}

void WriteAll(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t n = write(fd, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // a closed pipe: nobody reads any more
    }
    text.remove_prefix(static_cast<size_t>(n));
  }
}

}  // namespace

bool StdinIsTerminal() {
  return isatty(STDIN_FILENO) == 1;
}
bool StdoutIsTerminal() {
  return isatty(STDOUT_FILENO) == 1;
}

KeyMode::KeyMode() {
  if (!StdinIsTerminal() || tcgetattr(STDIN_FILENO, &g_saved) != 0) return;
  termios raw = g_saved;
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  raw.c_cc[VMIN] = 0;
  raw.c_cc[VTIME] = 0;
  if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0) return;
  g_key_mode = true;
  std::atexit(RestoreTerminal);
  signal(SIGINT, OnSignal);
  signal(SIGTERM, OnSignal);
  signal(SIGHUP, OnSignal);
}

KeyMode::~KeyMode() {
  RestoreTerminal();
}

ReadStatus ReadInput(std::string* out) {
  // Non-blocking for this read only: the descriptor may be shared with the parent shell.
  int flags = fcntl(STDIN_FILENO, F_GETFL);
  if (flags >= 0 && (flags & O_NONBLOCK) == 0) fcntl(STDIN_FILENO, F_SETFL, flags | O_NONBLOCK);
  ReadStatus status = ReadStatus::kNothing;
  char buf[512];
  for (;;) {
    ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
    if (n > 0) {
      out->append(buf, static_cast<size_t>(n));
      status = ReadStatus::kData;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    // A terminal in key mode reads 0 when no key is waiting; elsewhere 0 is the end of the
    // input, and so is a failed read. Data read before it is handed out first.
    if (n == 0 && g_key_mode) break;
    if (status != ReadStatus::kData) status = ReadStatus::kEnd;
    break;
  }
  if (flags >= 0 && (flags & O_NONBLOCK) == 0) fcntl(STDIN_FILENO, F_SETFL, flags);
  return status;
}

void WriteOut(std::string_view text) {
  WriteAll(STDOUT_FILENO, text);
}
void WriteErr(std::string_view text) {
  WriteAll(STDERR_FILENO, text);
}

TerminalSize GetTerminalSize() {
  TerminalSize size;
  winsize ws{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_row > 0 && ws.ws_col > 0) {
    size.rows = ws.ws_row;
    size.columns = ws.ws_col;
  }
  return size;
}

}  // namespace console
