// A main window view that draws nothing and records everything the logic does to it, in order,
// with the present state of every control. Tests read it; a test can also act when a message
// box appears (the box "closes" when the callback returns).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "updater/text.h"
#include "updater/views.h"

namespace updater {

// The sign-in window's part of a RecordingView. It records into the same list of events:
//   "frmLogin.Show", "frmLogin.Hide", "frmLogin.Close", "frmLogin.Caption=<text>",
//   "lblTitle.Caption=<text>", "frmLogin.Left=<twips>", "frmLogin.Focus=<control>",
//   "txtPassword.Text=<text>", "txtPassword.PasswordChar=<mask>", "txtPassword.Enabled=<0|1>",
//   "cmdSignIn.Caption=<text>", "cmdSignIn.Enabled=<0|1>", "chkViewPassword.Value=<0|1>",
//   "chkViewPassword.Caption=<text>". Selection changes are kept but not recorded.
class RecordingLoginView : public LoginView {
 public:
  explicit RecordingLoginView(std::vector<std::string>& events);

  PasswordBoxView& txtPassword() override { return box_; }
  ButtonView& cmdSignIn() override { return button_; }
  CheckBoxView& chkViewPassword() override { return check_; }
  void SetCaption(const std::u16string& caption) override;
  void SetTitle(const std::u16string& caption) override;
  double Left() override { return left_; }
  void SetLeft(double left) override;
  void SetFocus(LoginControl control) override;
  void Show() override;
  void Hide() override;
  void Close() override;

  // Called when the window is shown, before its modal loop runs; a test acts from here (or
  // schedules its actions in the simulated world).
  void SetOnShow(std::function<void()> fn) { on_show_ = std::move(fn); }
  // Where the window stands; a test may place it.
  void PlaceAt(double left) { left_ = left; }

  const std::u16string& caption() const { return caption_; }
  const std::u16string& title() const { return title_; }
  const std::u16string& text() const { return box_.text; }
  const std::u16string& password_char() const { return box_.mask; }
  size_t sel_start() const { return box_.sel_start; }
  size_t sel_length() const { return box_.sel_length; }
  bool box_enabled() const { return box_.enabled; }
  bool button_enabled() const { return button_.enabled; }
  const std::u16string& button_caption() const { return button_.caption; }
  int check_value() const { return check_.value; }
  const std::u16string& check_caption() const { return check_.caption; }
  bool visible() const { return visible_; }
  int show_count() const { return show_count_; }
  std::vector<double> lefts() const { return lefts_; }

 private:
  struct Box : PasswordBoxView {
    explicit Box(RecordingLoginView& view) : view(view) {}
    std::u16string Text() override { return text; }
    void SetText(const std::u16string& t) override;
    void SetPasswordChar(std::u16string_view m) override;
    bool Enabled() override { return enabled; }
    void SetEnabled(bool e) override;
    size_t SelStart() override { return sel_start; }
    size_t SelLength() override { return sel_length; }
    void SetSelStart(size_t p) override;
    void SetSelLength(size_t n) override;
    RecordingLoginView& view;
    std::u16string text;
    std::u16string mask = u"*";
    bool enabled = true;
    size_t sel_start = 0;
    size_t sel_length = 0;
  };
  struct Button : ButtonView {
    explicit Button(RecordingLoginView& view) : view(view) {}
    std::u16string Caption() override { return caption; }
    void SetCaption(const std::u16string& c) override;
    bool Enabled() override { return enabled; }
    void SetEnabled(bool e) override;
    RecordingLoginView& view;
    std::u16string caption;
    bool enabled = true;
  };
  struct Check : CheckBoxView {
    explicit Check(RecordingLoginView& view) : view(view) {}
    int Value() override { return value; }
    void SetValue(int v) override;
    void SetCaption(const std::u16string& c) override;
    RecordingLoginView& view;
    int value = 0;
    std::u16string caption;
  };

  void Record(std::string line) { events_.push_back(std::move(line)); }

  std::vector<std::string>& events_;
  Box box_;
  Button button_;
  Check check_;
  std::u16string caption_;
  std::u16string title_;
  // Centred on a main window near the left of the screen.
  double left_ = 4320;
  std::vector<double> lefts_;
  bool visible_ = false;
  int show_count_ = 0;
  std::function<void()> on_show_;
};

class RecordingView : public MainView {
 public:
  struct MessageBoxRecord {
    uint32_t style = 0;
    std::u16string title;
    std::u16string text;
  };

  RecordingView();

  // MainView
  LabelView& lblHardware() override { return hardware_; }
  LabelView& lblSoftware() override { return software_; }
  TextBoxView& txtLog() override { return log_; }
  ButtonView& cmdUpdate() override { return update_; }
  LoginView& frmLogin() override { return login_; }
  RecordingLoginView& login() { return login_; }
  void SetCaption(const std::u16string& caption) override;
  void SetIcon(std::string_view image_key) override;
  void MessageBox(uint32_t style, const std::u16string& title, const std::u16string& text) override;
  void Show() override;
  void EndProgram() override;

  // Called while a message box is open.
  void SetOnMessageBox(std::function<void(const MessageBoxRecord&)> fn) {
    on_message_box_ = std::move(fn);
  }

  // Every change in order, one readable line each, in UTF-8:
  //   "frmMain.Caption=<text>", "frmMain.Icon=<key>", "frmMain.Show", "frmMain.End",
  //   "lblHardware.Caption=<text>", "lblHardware.ForeColor=<colour>", (lblSoftware alike),
  //   "txtLog+=<appended text>" when the new text extends the old one, else "txtLog.Text=<text>",
  //   "txtLog.SelStart=<n>", "cmdUpdate.Caption=<text>", "cmdUpdate.Enabled=<0|1>",
  //   "MsgBox <style> <title>|<text>".
  // CR and LF inside texts are written as \r and \n.
  const std::vector<std::string>& events() const { return events_; }

  // Present state.
  const std::u16string& caption() const { return caption_; }
  const std::string& icon() const { return icon_; }
  const std::u16string& hardware_caption() const { return hardware_.caption; }
  Rgb hardware_color() const { return hardware_.color; }
  const std::u16string& software_caption() const { return software_.caption; }
  Rgb software_color() const { return software_.color; }
  const std::u16string& log_text() const { return log_.text; }
  size_t log_sel_start() const { return log_.sel_start; }
  std::vector<std::u16string> log_lines() const { return SplitLogLines(log_.text); }
  std::vector<std::string> log_lines_utf8() const;
  const std::u16string& update_caption() const { return update_.caption; }
  bool update_enabled() const { return update_.enabled; }
  bool shown() const { return shown_; }
  bool ended() const { return ended_; }
  const std::vector<MessageBoxRecord>& message_boxes() const { return message_boxes_; }

 private:
  struct Label : LabelView {
    Label(RecordingView& view, std::string name) : view(view), name(std::move(name)) {}
    void SetCaption(const std::u16string& c) override;
    void SetForeColor(Rgb c) override;
    RecordingView& view;
    std::string name;
    std::u16string caption{kVersionDesignCaption};
    Rgb color = kBlack;
  };
  struct TextBox : TextBoxView {
    explicit TextBox(RecordingView& view) : view(view) {}
    std::u16string Text() override { return text; }
    void SetText(const std::u16string& t) override;
    void SetSelStart(size_t position) override;
    RecordingView& view;
    std::u16string text;
    size_t sel_start = 0;
  };
  struct Button : ButtonView {
    explicit Button(RecordingView& view) : view(view) {}
    std::u16string Caption() override { return caption; }
    void SetCaption(const std::u16string& c) override;
    bool Enabled() override { return enabled; }
    void SetEnabled(bool e) override;
    RecordingView& view;
    std::u16string caption{kUpdateCaption};
    bool enabled = false;
  };

  void Record(std::string line);

  Label hardware_;
  Label software_;
  TextBox log_;
  Button update_;
  std::u16string caption_;
  std::string icon_;
  bool shown_ = false;
  bool ended_ = false;
  std::vector<MessageBoxRecord> message_boxes_;
  std::function<void(const MessageBoxRecord&)> on_message_box_;
  std::vector<std::string> events_;
  RecordingLoginView login_{events_};
};

}  // namespace updater
