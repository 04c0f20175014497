#include "updater/console/console_login_view.h"

#include <cmath>

#include "updater/console/console_view.h"
#include "updater/text.h"

namespace console {
namespace {

using updater::LoginControl;
using updater::ToUtf8;

// Twips per column of the shake on the screen: the window's 200-twip swing moves the box by
// two columns, which the eye takes for a shake.
constexpr double kTwipsPerColumn = 100;

}  // namespace

ConsoleLoginView::ConsoleLoginView(ConsoleView& main)
    : main_(main), box_(*this), button_(*this), check_(*this) {}

void ConsoleLoginView::Report(const std::string& key, const std::string& value) {
  // A hidden window shows nothing; its state is printed when it appears.
  if (!main_.line_mode() || !visible_) return;
  for (auto& [k, v] : printed_) {
    if (k == key) {
      if (v == value) return;
      v = value;
      main_.PrintLine("@ " + key + "=" + value);
      return;
    }
  }
  printed_.emplace_back(key, value);
  main_.PrintLine("@ " + key + "=" + value);
}

void ConsoleLoginView::Changed() {
  if (!main_.line_mode() && visible_) main_.Refresh();
}

std::string ConsoleLoginView::Shown() const {
  if (box_.mask.empty()) return ToUtf8(box_.text);
  std::string shown;
  for (size_t i = 0; i < box_.text.size(); ++i) shown += ToUtf8(box_.mask);
  return shown;
}

bool ConsoleLoginView::TakeReprompt() {
  bool r = reprompt_;
  reprompt_ = false;
  return r;
}

void ConsoleLoginView::SetCaption(const std::u16string& caption) {
  caption_ = caption;
  Report("frmLogin caption", ToUtf8(caption));
  Changed();
}

void ConsoleLoginView::SetTitle(const std::u16string& caption) {
  title_ = caption;
  Changed();
}

void ConsoleLoginView::SetLeft(double left) {
  left_ = left;
  std::string twips = std::to_string(static_cast<long long>(std::llround(left)));
  Report("frmLogin left", twips);
  Changed();
}

void ConsoleLoginView::SetFocus(LoginControl control) {
  focus_ = control;
  Report("frmLogin focus", LoginControlName(control));
  Changed();
}

void ConsoleLoginView::Show() {
  visible_ = true;
  rest_left_ = left_;
  printed_.clear();
  Report("frmLogin visible", "1");
  Report("frmLogin caption", ToUtf8(caption_));
  Report("txtPassword text", Shown());
  Report("txtPassword enabled", box_.enabled ? "1" : "0");
  Report("cmdSignIn enabled", button_.enabled ? "1" : "0");
  Report("chkViewPassword value", std::to_string(check_.value));
  if (!main_.line_mode()) main_.Refresh();
}

void ConsoleLoginView::Hide() {
  Report("frmLogin visible", "0");
  visible_ = false;
  if (!main_.line_mode()) main_.Refresh();
}

void ConsoleLoginView::Close() {
  if (main_.line_mode() && visible_) main_.PrintLine("@ frmLogin closed");
  visible_ = false;
  printed_.clear();
  if (!main_.line_mode()) main_.Refresh();
}

void ConsoleLoginView::Box::SetText(const std::u16string& t) {
  text = t;
  sel_start = std::min(sel_start, text.size());
  sel_length = std::min(sel_length, text.size() - sel_start);
  view.Report("txtPassword text", view.Shown());
  view.Changed();
}

void ConsoleLoginView::Box::SetPasswordChar(std::u16string_view m) {
  mask = std::u16string(m);
  view.Report("txtPassword text", view.Shown());
  view.Changed();
}

void ConsoleLoginView::Box::SetEnabled(bool e) {
  if (e && !enabled) view.reprompt_ = true;
  enabled = e;
  view.Report("txtPassword enabled", e ? "1" : "0");
  view.Changed();
}

void ConsoleLoginView::Button::SetCaption(const std::u16string& c) {
  caption = c;
  view.Changed();
}

void ConsoleLoginView::Button::SetEnabled(bool e) {
  enabled = e;
  view.Report("cmdSignIn enabled", e ? "1" : "0");
  view.Changed();
}

void ConsoleLoginView::Check::SetValue(int v) {
  value = v;
  view.Report("chkViewPassword value", std::to_string(v));
  view.Changed();
}

void ConsoleLoginView::Check::SetCaption(const std::u16string& c) {
  caption = c;
  view.Changed();
}

std::vector<std::string> ConsoleLoginView::ScreenLines(size_t columns) const {
  std::vector<std::string> lines;
  if (!visible_) return lines;
  const long shift = std::lround((left_ - rest_left_) / kTwipsPerColumn);
  const size_t margin = static_cast<size_t>(4 + shift);  // shift is -2 to +2
  const std::string pad(margin, ' ');
  const size_t inner = columns > margin + 12 ? std::min<size_t>(56, columns - margin - 4) : 20;
  auto row = [&](const std::string& text, size_t visible_length) {
    std::string line = pad + "| " + text;
    if (visible_length < inner) line += std::string(inner - visible_length, ' ');
    return line + " |";
  };
  auto mark = [&](LoginControl c, const std::string& text) {
    return focus_ == c ? "\x1b[7m" + text + "\x1b[0m" : text;
  };
  auto dim = [](bool enabled, const std::string& text) {
    return enabled ? text : "\x1b[2m" + text + "\x1b[0m";
  };
  const std::string rule = pad + "+" + std::string(inner + 2, '-') + "+";
  lines.push_back(rule);
  const std::string caption = ToUtf8(caption_);
  lines.push_back(row("\x1b[1m" + caption + "\x1b[0m", caption.size()));
  lines.push_back(row("", 0));
  const std::string title = "  " + ToUtf8(title_);
  lines.push_back(row(title, title.size()));
  lines.push_back(row("", 0));
  std::string shown = Shown();
  std::string field =
      "[" + shown + std::string(15 - std::min<size_t>(15, box_.text.size()), ' ') + "]";
  std::string button = "[ " + ToUtf8(button_.caption) + " ]";
  std::string password = "  Password : " + dim(box_.enabled, mark(LoginControl::kPassword, field)) +
                         "  " + dim(button_.enabled, mark(LoginControl::kSignIn, button));
  lines.push_back(row(password, 13 + field.size() + 2 + button.size()));
  std::string check = std::string(check_.value == 1 ? "[x] " : "[ ] ") + ToUtf8(check_.caption);
  lines.push_back(
      row("             " + mark(LoginControl::kViewPassword, check), 13 + check.size()));
  lines.push_back(row("", 0));
  const std::string help = "  Enter: next/sign in  Tab: next  Space: check  Esc: close";
  lines.push_back(row(help, help.size()));
  lines.push_back(rule);
  return lines;
}

}  // namespace console
