#include "updater/login_window.h"

#include <cmath>
#include <limits>

#include "updater/main_window.h"
#include "updater/numbers.h"
#include "updater/text.h"

namespace updater {

namespace {

// While the window is shown modally the program waits for the operator. Between two rounds of
// message processing it sleeps this long: typed keys and the 100 ms shake timer are handled
// at once, and the waiting costs next to nothing.
constexpr uint32_t kModalIdleMs = 1;

constexpr std::u16string_view kMask = u"*";

// Only the small letters a to z matter here: no other letter passes the filter in either case.
char16_t ToUpper(char16_t c) {
  if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - u'a' + u'A');
  return c;
}

int32_t ToTwips(double value) {
  double rounded = RoundHalfEven(value);
  if (rounded > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (rounded < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(rounded);
}

}  // namespace

LoginWindow::LoginWindow(platform::Services& services, MainWindow& main, LoginView& view)
    : services_(services),
      main_(main),
      view_(view),
      timer_graphic_(*services.loop, [this] { TimerGraphic_Timer(); }) {
  timer_graphic_.SetInterval(kTimerGraphicMs);
}

void LoginWindow::Load() {
  if (loaded_) return;
  loaded_ = true;
  // A window that is loaded again starts from its design state.
  timer_graphic_.SetEnabled(false);
  ShakeStep = 0;
  view_.txtPassword().SetPasswordChar(kMask);
  view_.txtPassword().SetEnabled(true);
  view_.cmdSignIn().SetEnabled(true);
  view_.chkViewPassword().SetValue(0);
  focus_ = LoginControl::kPassword;
  Form_Load();
}

void LoginWindow::ShowModal() {
  if (!loaded_) Load();
  visible_ = true;
  view_.Show();
  Form_Activate();
  // A window that appears puts the focus on the first control of its tab order that takes it.
  for (LoginControl c :
       {LoginControl::kPassword, LoginControl::kSignIn, LoginControl::kViewPassword}) {
    if (TakesFocus(c)) {
      focus_ = c;
      view_.SetFocus(c);
      if (c == LoginControl::kPassword) txtPassword_GotFocus();
      break;
    }
  }
  // Modal: the main window takes no input, but timers, the control's events and the
  // operator's input to this window go on. The program's end ends the showing too.
  platform::EventLoop& loop = *services_.loop;
  while (visible_ && loaded_ && !loop.QuitRequested()) {
    loop.DoEvents();
    if (!visible_ || !loaded_) break;
    loop.Sleep(kModalIdleMs);
  }
}

void LoginWindow::Hide() {
  if (!visible_) return;
  visible_ = false;
  view_.Hide();
}

void LoginWindow::Close() {
  if (!loaded_) return;
  timer_graphic_.SetEnabled(false);
  loaded_ = false;
  visible_ = false;
  view_.Close();
}

void LoginWindow::Form_Load() {
  view_.txtPassword().SetText(u"");
  SetCaptions();
  PasswordOK = false;
}

void LoginWindow::Form_Activate() {
  view_.txtPassword().SetText(u"");
  SetCaptions();
}

void LoginWindow::SetCaptions() {
  view_.SetCaption(u"Sign in");
  view_.SetTitle(u"Sign in to your device");
  view_.cmdSignIn().SetCaption(u"Sign in");
  view_.chkViewPassword().SetCaption(u"View password");
}

void LoginWindow::txtPassword_GotFocus() {
  PasswordBoxView& box = view_.txtPassword();
  box.SetSelStart(0);
  box.SetSelLength(box.Text().size());
}

void LoginWindow::txtPassword_LostFocus() {
  Password = view_.txtPassword().Text();
}

char16_t LoginWindow::txtPassword_KeyPress(char16_t key) {
  key = ToUpper(key);
  if (key == kKeyEnter) {
    SendTab();
    return 0;
  }
  if (key == kKeyBackspace) return key;
  if (kPasswordCharacters.find(key) == std::u16string_view::npos) return 0;
  return key;
}

void LoginWindow::chkViewPassword_Click() {
  view_.txtPassword().SetPasswordChar(view_.chkViewPassword().Value() == 1 ? u"" : kMask);
}

void LoginWindow::cmdSignIn_Click() {
  view_.txtPassword().SetEnabled(false);
  view_.cmdSignIn().SetEnabled(false);
  PasswordOK = false;
  chanfold::ChanfoldCtrl& rs232 = main_.RS232();
  if (!main_.ReconnectPort(rs232, main_.program().ComPortNumber)) return;
  std::u16string reply = main_.SendCommand(rs232, u"VERIFYPASSWORD " + Password + u"\r\n");
  std::u16string answer(TrimSpaces(RemoveCrLf(reply)));
  if (answer == u"OK") {
    timer_graphic_.SetEnabled(false);
    view_.txtPassword().SetEnabled(true);
    view_.cmdSignIn().SetEnabled(true);
    PasswordOK = true;
    Hide();
    return;
  }
  PasswordOK = false;
  timer_graphic_.SetEnabled(true);
}

void LoginWindow::TimerGraphic_Timer() {
  const double left = view_.Left();
  switch (ShakeStep) {
    case 0:
      RestLeft = ToTwips(left);
      view_.SetLeft(left - kShakeFirstMove);
      break;
    case 1:
    case 3:
    case 5:
    case 7:
    case 9:
      view_.SetLeft(left + kShakeSwing);
      break;
    case 2:
    case 4:
    case 6:
    case 8:
    case 10:
      view_.SetLeft(left - kShakeSwing);
      break;
    case kShakeLastStep:
      view_.SetLeft(RestLeft);
      timer_graphic_.SetEnabled(false);
      view_.txtPassword().SetEnabled(true);
      view_.cmdSignIn().SetEnabled(true);
      ShakeStep = 0;
      return;
    default:
      view_.SetLeft(RestLeft);
      ShakeStep = 0;
      return;
  }
  ++ShakeStep;
}

void LoginWindow::PressKey(char16_t key) {
  if (!loaded_ || !visible_) return;
  if (key == kKeyTab) {
    SendTab();
    return;
  }
  switch (focus_) {
    case LoginControl::kPassword: {
      if (!view_.txtPassword().Enabled()) return;
      char16_t typed = txtPassword_KeyPress(key);
      if (typed != 0) EditPasswordBox(typed);
      return;
    }
    case LoginControl::kSignIn:
      if ((key == kKeyEnter || key == kKeySpace) && view_.cmdSignIn().Enabled()) {
        cmdSignIn_Click();
      }
      return;
    case LoginControl::kViewPassword:
      if (key == kKeySpace) {
        CheckBoxView& check = view_.chkViewPassword();
        check.SetValue(check.Value() == 1 ? 0 : 1);
        chkViewPassword_Click();
      }
      return;
  }
}

void LoginWindow::SetFocus(LoginControl control) {
  if (!TakesFocus(control)) return;
  const LoginControl old = focus_;
  if (old == control) return;
  focus_ = control;
  if (old == LoginControl::kPassword) txtPassword_LostFocus();
  view_.SetFocus(control);
  if (control == LoginControl::kPassword) txtPassword_GotFocus();
}

void LoginWindow::SendTab() {
  static constexpr LoginControl kOrder[] = {LoginControl::kPassword, LoginControl::kSignIn,
                                            LoginControl::kViewPassword};
  size_t at = 0;
  for (size_t i = 0; i < 3; ++i) {
    if (kOrder[i] == focus_) at = i;
  }
  for (size_t step = 1; step <= 3; ++step) {
    LoginControl next = kOrder[(at + step) % 3];
    if (TakesFocus(next)) {
      SetFocus(next);
      return;
    }
  }
}

bool LoginWindow::TakesFocus(LoginControl control) {
  switch (control) {
    case LoginControl::kPassword:
      return view_.txtPassword().Enabled();
    case LoginControl::kSignIn:
      return view_.cmdSignIn().Enabled();
    case LoginControl::kViewPassword:
      return true;
  }
  return false;
}

void LoginWindow::EditPasswordBox(char16_t key) {
  PasswordBoxView& box = view_.txtPassword();
  std::u16string text = box.Text();
  size_t start = std::min(box.SelStart(), text.size());
  size_t length = std::min(box.SelLength(), text.size() - start);
  if (key == kKeyBackspace) {
    if (length > 0) {
      text.erase(start, length);
    } else if (start > 0) {
      --start;
      text.erase(start, 1);
    } else {
      return;
    }
  } else {
    // A full box takes no more characters (unless they replace a selection).
    if (text.size() - length >= kPasswordMaxLength) return;
    text.replace(start, length, 1, key);
    ++start;
  }
  box.SetText(text);
  box.SetSelStart(start);
  box.SetSelLength(0);
}

}  // namespace updater
