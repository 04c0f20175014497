// frmLogin, the sign-in window: it asks the operator for the password of a locked device,
// checks it with the device ("VERIFYPASSWORD " and the password, accepted on "OK") over the
// main window's serial control, and shakes sideways after a wrong one. The update procedure
// shows it modally and reads PasswordOK afterwards.
//
// A window system with real controls calls the handlers below from its own events. A
// front-end without them (the terminal, the tests) gives each key press to PressKey, which
// does what a dialog does with it: the password box's key filter and editing, Tab to the next
// control, Enter or space on the button, space on the check box.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/event_loop.h"
#include "platform/services.h"
#include "updater/views.h"

namespace updater {

class MainWindow;

// Characters the password box takes (after they were turned to capitals).
inline constexpr std::u16string_view kPasswordCharacters =
    u" abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ1234567890";
// The box holds at most this many characters.
inline constexpr size_t kPasswordMaxLength = 15;
// The shake: one step per tick of TimerGraphic, twelve steps, 1.2 s in all.
inline constexpr uint32_t kTimerGraphicMs = 100;
inline constexpr int16_t kShakeLastStep = 11;
inline constexpr double kShakeFirstMove = 200;  // twips to the left at the first step
inline constexpr double kShakeSwing = 400;      // twips from one side to the other

inline constexpr char16_t kKeyBackspace = 8;
inline constexpr char16_t kKeyTab = 9;
inline constexpr char16_t kKeyEnter = 13;
inline constexpr char16_t kKeySpace = 32;

class LoginWindow {
 public:
  LoginWindow(platform::Services& services, MainWindow& main, LoginView& view);
  LoginWindow(const LoginWindow&) = delete;
  LoginWindow& operator=(const LoginWindow&) = delete;

  // True once the device accepted a password; cleared by loading and by every attempt.
  bool PasswordOK = false;
  // The password as last taken from the box (when the box lost the focus).
  std::u16string Password;

  // Loads the window without showing it (the load handler).
  void Load();
  // Shows the window modally: loads it if it is not loaded, shows it, and runs the messages
  // until it is hidden or closed.
  void ShowModal();
  // Hides the window; a modal showing ends.
  void Hide();
  // The close box: unloads the window; a modal showing ends, PasswordOK keeps its value.
  void Close();

  // ---- Handlers ----
  void Form_Load();
  void Form_Activate();
  void SetCaptions();
  void txtPassword_GotFocus();
  void txtPassword_LostFocus();
  // The key filter: returns the character to type, or 0 when the key is discarded.
  char16_t txtPassword_KeyPress(char16_t key);
  void chkViewPassword_Click();
  void cmdSignIn_Click();
  void TimerGraphic_Timer();

  // ---- For front-ends without native controls ----
  // One key press in the window, as a dialog handles it.
  void PressKey(char16_t key);
  // Moves the focus to a control (a click into it).
  void SetFocus(LoginControl control);

  // ---- State ----
  bool loaded() const { return loaded_; }
  bool visible() const { return visible_; }
  LoginControl focus() const { return focus_; }
  platform::Timer& TimerGraphic() { return timer_graphic_; }
  LoginView& view() { return view_; }

  // Kept by the timer handler between its ticks: the step of the shake, and the rest position
  // of the window while it shakes. RestLeft is held wider than a 16-bit number of twips so
  // that a window whose left edge lies beyond 32767 twips (on a second screen) comes back to
  // its place.
  int16_t ShakeStep = 0;
  int32_t RestLeft = 0;

 private:
  // Sends a Tab key press to the window: the focus moves to the next control that takes it.
  void SendTab();
  bool TakesFocus(LoginControl control);
  // What a text box does with a character that its filter let through.
  void EditPasswordBox(char16_t key);

  platform::Services& services_;
  MainWindow& main_;
  LoginView& view_;
  platform::Timer timer_graphic_;
  bool loaded_ = false;
  bool visible_ = false;
  LoginControl focus_ = LoginControl::kPassword;
};

}  // namespace updater
