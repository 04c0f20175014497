// quarn-updater: the Quarn Updater on a terminal. It runs the same start-up as the window
// program (port scan, identification, verdict) and shows the window's caption, versions,
// button and log on the terminal (see console_view.h for what it prints).
//
// Input, once the start-up has ended:
//   - a keyboard (standard input is a terminal): u presses Update, q closes the window;
//   - otherwise one command per line: "update" presses Update, "close" closes the window;
//     the end of the input closes it too.
// While the sign-in window is shown, input goes to it:
//   - a keyboard types into it: characters go through the password box's filter and show as
//     "*"; Enter moves from the box to the Sign in button and presses it there; Tab moves on;
//     space checks View password; Esc closes the window. While the window shakes after a
//     wrong password it takes no input; then the box is ready for a new try.
//   - otherwise each line is one try: its characters are typed into the box and then Enter
//     twice (from the box to the button, then on the button). A line that comes while a try
//     is being checked or the window shakes waits for its turn. "close" closes the window.
// Exit status: 0 after the window closed, 2 when the program ended at start-up because the
// connected device is not supported.
#include <deque>
#include <optional>
#include <string>

#include "platform/services.h"
#include "updater/console/console_view.h"
#include "updater/console/terminal.h"
#include "updater/images/images.h"
#include "updater/main_window.h"

namespace {

// Pause between two looks at the keyboard while a message box waits: short enough for a key
// to feel immediate, long enough to cost nothing.
constexpr uint32_t kKeyPollMs = 20;

constexpr int kExitClosed = 0;
constexpr int kExitUnsupportedHardware = 2;

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of(" \t\r");
  return s.substr(b, e - b + 1);
}

}  // namespace

int main() {
  platform::Services& services = platform::HostServices();
  platform::EventLoop& loop = *services.loop;
  updater::RegisterBuiltInImages();

  const bool screen = console::StdoutIsTerminal();
  const bool keys = console::StdinIsTerminal();
  std::optional<console::KeyMode> key_mode;
  if (keys) key_mode.emplace();

  console::ConsoleView view(screen ? console::ConsoleView::Mode::kScreen
                                   : console::ConsoleView::Mode::kLines);
  if (keys) {
    view.SetKeyHelp("u = update   q = close");
    view.SetMessageBoxWait([&loop] {
      std::string pressed;
      if (console::ReadInput(&pressed) != console::ReadStatus::kNothing) return true;
      loop.DoEvents();
      loop.Sleep(kKeyPollMs);
      return false;
    });
  }

  updater::MainWindow window(services, view);
  window.Start();
  view.Flush();
  if (window.ended()) return kExitUnsupportedHardware;

  bool closing = false;
  // Closing the window runs its unload handler at once, also in the middle of an update: the
  // port closes, which stops a running upload, and every wait of the update ends. The program
  // ends once the handlers further up have returned.
  auto close = [&] {
    if (closing) return;
    closing = true;
    // Once more: a temporary file that a stopped upload still held a moment ago goes now.
    window.Unload();
    loop.Quit();
  };
  auto press_update = [&] {
    if (view.cmdUpdate().Enabled()) {
      window.cmdUpdate_Click();
    } else {
      console::WriteErr("cmdUpdate is disabled\n");
    }
  };

  updater::LoginWindow& login = window.frmLogin();
  console::ConsoleLoginView& login_view = view.login();
  std::deque<std::string> tries;  // lines for the sign-in window, not typed yet
  // A try is typed when the box and the button take input again.
  auto type_try = [&] {
    if (login_view.TakeReprompt() && login.visible())
      login.SetFocus(updater::LoginControl::kPassword);
    if (tries.empty() || !login.visible()) return;
    if (!view.frmLogin().txtPassword().Enabled() || !view.frmLogin().cmdSignIn().Enabled()) return;
    std::string line = std::move(tries.front());
    tries.pop_front();
    login.SetFocus(updater::LoginControl::kPassword);
    for (char c : line) login.PressKey(static_cast<char16_t>(static_cast<uint8_t>(c)));
    login.PressKey(updater::kKeyEnter);
    login.PressKey(updater::kKeyEnter);
  };
  // One key of a keyboard for the sign-in window.
  bool in_escape = false;
  auto login_key = [&](char c) {
    if (in_escape) {
      // The rest of an escape sequence (an arrow key, for example) is no input.
      if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '~') in_escape = false;
      return;
    }
    if (c == '\x1b') {
      in_escape = true;
      return;
    }
    if (c == '\n' || c == '\r') {
      login.PressKey(updater::kKeyEnter);
    } else if (c == '\x7f' || c == '\b') {
      login.PressKey(updater::kKeyBackspace);
    } else {
      login.PressKey(static_cast<char16_t>(static_cast<uint8_t>(c)));
    }
  };

  std::string pending;  // a command line not complete yet
  int poller = loop.AddPoller([&] {
    if (closing) return;
    std::string chunk;
    console::ReadStatus status = console::ReadInput(&chunk);
    if (login.visible()) {
      if (keys) {
        // A lone Esc closes the window; Esc as the start of a sequence does not.
        if (chunk == "\x1b") {
          login.Close();
          chunk.clear();
        }
        if (login_view.TakeReprompt()) login.SetFocus(updater::LoginControl::kPassword);
        for (char c : chunk) {
          if (!login.visible()) break;
          login_key(c);
        }
      } else {
        pending += chunk;
        size_t nl;
        while (login.visible() && (nl = pending.find('\n')) != std::string::npos) {
          std::string line = pending.substr(0, nl);
          if (!line.empty() && line.back() == '\r') line.pop_back();
          pending.erase(0, nl + 1);
          if (Trim(line) == "close") {
            tries.clear();
            login.Close();
          } else {
            tries.push_back(line);
          }
        }
        type_try();
      }
      // Without more input the window can only be closed; the program ends.
      if (status == console::ReadStatus::kEnd && tries.empty() && login.visible()) {
        login.Close();
        close();
      }
      view.Flush();
      return;
    }
    if (keys) {
      for (char c : chunk) {
        if (c == 'u' || c == 'U') press_update();
        if (c == 'q' || c == 'Q' || c == '\x04') close();
        if (closing) break;
      }
    } else {
      pending += chunk;
      size_t nl;
      while (!closing && (nl = pending.find('\n')) != std::string::npos) {
        std::string command = Trim(pending.substr(0, nl));
        pending.erase(0, nl + 1);
        if (command == "update") {
          press_update();
        } else if (command == "close") {
          close();
        } else if (!command.empty()) {
          console::WriteErr("unknown command: " + command + " (update, close)\n");
        }
      }
      if (status == console::ReadStatus::kEnd && !closing) {
        if (Trim(pending) == "update") press_update();
        close();
      }
    }
    if (status == console::ReadStatus::kEnd) close();
    view.Flush();
  });

  loop.Run();
  loop.RemovePoller(poller);
  // Once more: a temporary file that a stopped upload still held a moment ago goes now.
  window.Unload();
  view.Flush(true);
  return kExitClosed;
}
