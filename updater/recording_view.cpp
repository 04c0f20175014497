#include "updater/recording_view.h"

namespace updater {

namespace {

std::string Escaped(std::u16string_view text) {
  std::string out;
  for (char c : ToUtf8(text)) {
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

std::string Number(double value) {
  std::string s = std::to_string(value);
  // Whole numbers without their decimals.
  if (s.find('.') != std::string::npos) {
    while (!s.empty() && s.back() == '0') s.pop_back();
    if (!s.empty() && s.back() == '.') s.pop_back();
  }
  return s;
}

}  // namespace

RecordingLoginView::RecordingLoginView(std::vector<std::string>& events)
    : events_(events), box_(*this), button_(*this), check_(*this) {}

void RecordingLoginView::SetCaption(const std::u16string& caption) {
  caption_ = caption;
  Record("frmLogin.Caption=" + Escaped(caption));
}

void RecordingLoginView::SetTitle(const std::u16string& caption) {
  title_ = caption;
  Record("lblTitle.Caption=" + Escaped(caption));
}

void RecordingLoginView::SetLeft(double left) {
  left_ = left;
  lefts_.push_back(left);
  Record("frmLogin.Left=" + Number(left));
}

void RecordingLoginView::SetFocus(LoginControl control) {
  Record(std::string("frmLogin.Focus=") + LoginControlName(control));
}

void RecordingLoginView::Show() {
  visible_ = true;
  ++show_count_;
  Record("frmLogin.Show");
  if (on_show_) on_show_();
}

void RecordingLoginView::Hide() {
  visible_ = false;
  Record("frmLogin.Hide");
}

void RecordingLoginView::Close() {
  visible_ = false;
  Record("frmLogin.Close");
}

void RecordingLoginView::Box::SetText(const std::u16string& t) {
  text = t;
  if (sel_start > text.size()) sel_start = text.size();
  if (sel_start + sel_length > text.size()) sel_length = text.size() - sel_start;
  view.Record("txtPassword.Text=" + Escaped(t));
}

void RecordingLoginView::Box::SetPasswordChar(std::u16string_view m) {
  mask = std::u16string(m);
  view.Record("txtPassword.PasswordChar=" + Escaped(m));
}

void RecordingLoginView::Box::SetEnabled(bool e) {
  enabled = e;
  view.Record(std::string("txtPassword.Enabled=") + (e ? "1" : "0"));
}

void RecordingLoginView::Box::SetSelStart(size_t p) {
  sel_start = p > text.size() ? text.size() : p;
  if (sel_start + sel_length > text.size()) sel_length = text.size() - sel_start;
}

void RecordingLoginView::Box::SetSelLength(size_t n) {
  sel_length = sel_start + n > text.size() ? text.size() - sel_start : n;
}

void RecordingLoginView::Button::SetCaption(const std::u16string& c) {
  caption = c;
  view.Record("cmdSignIn.Caption=" + Escaped(c));
}

void RecordingLoginView::Button::SetEnabled(bool e) {
  enabled = e;
  view.Record(std::string("cmdSignIn.Enabled=") + (e ? "1" : "0"));
}

void RecordingLoginView::Check::SetValue(int v) {
  value = v;
  view.Record("chkViewPassword.Value=" + std::to_string(v));
}

void RecordingLoginView::Check::SetCaption(const std::u16string& c) {
  caption = c;
  view.Record("chkViewPassword.Caption=" + Escaped(c));
}

RecordingView::RecordingView()
    : hardware_(*this, "lblHardware"),
      software_(*this, "lblSoftware"),
      log_(*this),
      update_(*this) {}

void RecordingView::Record(std::string line) {
  events_.push_back(std::move(line));
}

void RecordingView::SetCaption(const std::u16string& caption) {
  caption_ = caption;
  Record("frmMain.Caption=" + Escaped(caption));
}

void RecordingView::SetIcon(std::string_view image_key) {
  icon_ = std::string(image_key);
  Record("frmMain.Icon=" + icon_);
}

void RecordingView::MessageBox(uint32_t style, const std::u16string& title,
                               const std::u16string& text) {
  message_boxes_.push_back({style, title, text});
  Record("MsgBox " + std::to_string(style) + " " + Escaped(title) + "|" + Escaped(text));
  if (on_message_box_) on_message_box_(message_boxes_.back());
}

void RecordingView::Show() {
  shown_ = true;
  Record("frmMain.Show");
}

void RecordingView::EndProgram() {
  ended_ = true;
  Record("frmMain.End");
}

std::vector<std::string> RecordingView::log_lines_utf8() const {
  std::vector<std::string> out;
  for (const auto& line : log_lines()) out.push_back(ToUtf8(line));
  return out;
}

void RecordingView::Label::SetCaption(const std::u16string& c) {
  caption = c;
  view.Record(name + ".Caption=" + Escaped(c));
}

void RecordingView::Label::SetForeColor(Rgb c) {
  color = c;
  view.Record(name + ".ForeColor=" + ColorName(c));
}

void RecordingView::TextBox::SetText(const std::u16string& t) {
  if (!t.empty() && t.size() >= text.size() && t.compare(0, text.size(), text) == 0) {
    view.Record("txtLog+=" + Escaped(std::u16string_view(t).substr(text.size())));
  } else {
    view.Record("txtLog.Text=" + Escaped(t));
  }
  text = t;
  // A text box keeps its caret within the text.
  if (sel_start > text.size()) sel_start = text.size();
}

void RecordingView::TextBox::SetSelStart(size_t position) {
  sel_start = position > text.size() ? text.size() : position;
  view.Record("txtLog.SelStart=" + std::to_string(sel_start));
}

void RecordingView::Button::SetCaption(const std::u16string& c) {
  caption = c;
  view.Record("cmdUpdate.Caption=" + Escaped(c));
}

void RecordingView::Button::SetEnabled(bool e) {
  enabled = e;
  view.Record(std::string("cmdUpdate.Enabled=") + (e ? "1" : "0"));
}

}  // namespace updater
