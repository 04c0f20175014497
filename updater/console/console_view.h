// The main window on a terminal.
//
// Line mode (standard output is no terminal) prints, one per line and as they happen:
//   - every log line as written, verbatim, without its CR LF;
//   - every change of a control as "@ <control> <property>=<value>": the window's caption and
//     icon and its appearance ("@ frmMain caption=...", "@ frmMain icon=Quarn",
//     "@ frmMain visible=1"), a label's caption and colour together
//     ("@ lblHardware caption=7.0 color=green"; black, red, green or r,g,b), the button's
//     caption and state ("@ cmdUpdate caption=Stop", "@ cmdUpdate enabled=1");
//   - a message box as "@ MsgBox title=<title>" and one "@ MsgBox text=<line>" per line of its
//     text.
// Screen mode (standard output is a terminal) draws the window on the whole screen and draws
// it again after every change: caption, the two versions in their colours (black shows in the
// terminal's own colour), the button, and as much of the end of the log as fits.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <utility>

#include "updater/console/console_login_view.h"
#include "updater/views.h"

namespace console {

class ConsoleView : public updater::MainView {
 public:
  enum class Mode { kLines, kScreen };

  explicit ConsoleView(Mode mode);

  // Called while a message box waits to be closed (screen mode with a keyboard); returns
  // true once the operator closed it. Without it a box closes as soon as it is shown.
  void SetMessageBoxWait(std::function<bool()> wait_closed) {
    wait_closed_ = std::move(wait_closed);
  }
  // The key help shown under the button in screen mode.
  void SetKeyHelp(std::string help) { key_help_ = std::move(help); }

  // updater::MainView
  updater::LabelView& lblHardware() override { return hardware_; }
  updater::LabelView& lblSoftware() override { return software_; }
  updater::TextBoxView& txtLog() override { return log_; }
  updater::ButtonView& cmdUpdate() override { return update_; }
  updater::LoginView& frmLogin() override { return login_; }
  ConsoleLoginView& login() { return login_; }
  void SetCaption(const std::u16string& caption) override;
  void SetIcon(std::string_view image_key) override;
  void MessageBox(uint32_t style, const std::u16string& title, const std::u16string& text) override;
  void Show() override;
  void EndProgram() override;

  // Line mode: prints the label changes not printed yet, and at the end of the program also a
  // last log line that never got its line end.
  void Flush(bool end_of_program = false);

  bool line_mode() const { return mode_ == Mode::kLines; }
  // Line mode: prints one line of its own (label changes first).
  void PrintLine(const std::string& line) { Line(line); }
  // Screen mode: draws everything again.
  void Refresh() {
    if (mode_ == Mode::kScreen) Redraw();
  }

 private:
  struct Label : updater::LabelView {
    Label(ConsoleView& view, std::string name) : view(view), name(std::move(name)) {}
    void SetCaption(const std::u16string& c) override;
    void SetForeColor(updater::Rgb c) override;
    ConsoleView& view;
    std::string name;
    std::u16string caption{updater::kVersionDesignCaption};
    updater::Rgb color = updater::kBlack;
    std::string printed;  // the state last printed in line mode
    bool pending = false;
  };
  struct TextBox : updater::TextBoxView {
    explicit TextBox(ConsoleView& view) : view(view) {}
    std::u16string Text() override { return text; }
    void SetText(const std::u16string& t) override;
    void SetSelStart(size_t) override {}
    ConsoleView& view;
    std::u16string text;
    size_t printed = 0;  // characters of `text` already printed as whole lines
  };
  struct Button : updater::ButtonView {
    explicit Button(ConsoleView& view) : view(view) {}
    std::u16string Caption() override { return caption; }
    void SetCaption(const std::u16string& c) override;
    bool Enabled() override { return enabled; }
    void SetEnabled(bool e) override;
    ConsoleView& view;
    std::u16string caption{updater::kUpdateCaption};
    bool enabled = false;
  };

  void Line(const std::string& line);  // line mode: one line, label changes first
  void FlushLabel(Label& label);
  void PrintNewLogLines(bool include_partial);
  void Redraw();

  Mode mode_;
  Label hardware_;
  Label software_;
  TextBox log_;
  Button update_;
  std::u16string caption_;
  std::string icon_;
  bool visible_ = false;
  std::optional<std::pair<std::u16string, std::u16string>> open_box_;
  std::function<bool()> wait_closed_;
  std::string key_help_;
  ConsoleLoginView login_{*this};
};

}  // namespace console
