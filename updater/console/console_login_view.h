// The sign-in window on a terminal.
//
// Line mode (standard output is no terminal) prints what changes, one line each:
//   "@ frmLogin visible=1" / "@ frmLogin visible=0" / "@ frmLogin closed",
//   "@ frmLogin left=<twips>" (the shake after a wrong password),
//   "@ txtPassword text=<text as shown>" (one "*" per character while masked),
//   "@ txtPassword enabled=<0|1>", "@ cmdSignIn enabled=<0|1>", "@ chkViewPassword value=<0|1>",
//   "@ frmLogin focus=<control>".
// Screen mode draws the window as a box over the main window; the box moves sideways while
// the window shakes, the password shows as "*" (or in clear with View password checked), and
// the control with the focus is marked.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "updater/views.h"

namespace console {

class ConsoleView;

class ConsoleLoginView : public updater::LoginView {
 public:
  explicit ConsoleLoginView(ConsoleView& main);

  // updater::LoginView
  updater::PasswordBoxView& txtPassword() override { return box_; }
  updater::ButtonView& cmdSignIn() override { return button_; }
  updater::CheckBoxView& chkViewPassword() override { return check_; }
  void SetCaption(const std::u16string& caption) override;
  void SetTitle(const std::u16string& caption) override;
  double Left() override { return left_; }
  void SetLeft(double left) override;
  void SetFocus(updater::LoginControl control) override;
  void Show() override;
  void Hide() override;
  void Close() override;

  bool visible() const { return visible_; }
  // True once after the box took input again at the end of a shake: the front-end puts the
  // focus back into the box, a new prompt.
  bool TakeReprompt();
  // Screen mode: the lines of the window, drawn over the main window's log.
  std::vector<std::string> ScreenLines(size_t columns) const;

 private:
  struct Box : updater::PasswordBoxView {
    explicit Box(ConsoleLoginView& view) : view(view) {}
    std::u16string Text() override { return text; }
    void SetText(const std::u16string& t) override;
    void SetPasswordChar(std::u16string_view m) override;
    bool Enabled() override { return enabled; }
    void SetEnabled(bool e) override;
    size_t SelStart() override { return sel_start; }
    size_t SelLength() override { return sel_length; }
    void SetSelStart(size_t p) override { sel_start = std::min(p, text.size()); }
    void SetSelLength(size_t n) override { sel_length = std::min(n, text.size() - sel_start); }
    ConsoleLoginView& view;
    std::u16string text;
    std::u16string mask = u"*";
    bool enabled = true;
    size_t sel_start = 0;
    size_t sel_length = 0;
  };
  struct Button : updater::ButtonView {
    explicit Button(ConsoleLoginView& view) : view(view) {}
    std::u16string Caption() override { return caption; }
    void SetCaption(const std::u16string& c) override;
    bool Enabled() override { return enabled; }
    void SetEnabled(bool e) override;
    ConsoleLoginView& view;
    std::u16string caption;
    bool enabled = true;
  };
  struct Check : updater::CheckBoxView {
    explicit Check(ConsoleLoginView& view) : view(view) {}
    int Value() override { return value; }
    void SetValue(int v) override;
    void SetCaption(const std::u16string& c) override;
    ConsoleLoginView& view;
    int value = 0;
    std::u16string caption;
  };

  // The box's text as the window shows it.
  std::string Shown() const;
  // Line mode: prints "@ <what>" unless it is what was printed last for that key.
  void Report(const std::string& key, const std::string& value);
  void Changed();

  ConsoleView& main_;
  Box box_;
  Button button_;
  Check check_;
  std::u16string caption_;
  std::u16string title_;
  // Left edge in twips: where the window stands when shown, and now.
  double rest_left_ = 4320;
  double left_ = 4320;
  bool visible_ = false;
  bool reprompt_ = false;
  updater::LoginControl focus_ = updater::LoginControl::kPassword;
  std::vector<std::pair<std::string, std::string>> printed_;
};

}  // namespace console
