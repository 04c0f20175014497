#include "updater/console/console_view.h"

#include <algorithm>

#include "updater/console/terminal.h"
#include "updater/text.h"

namespace console {
namespace {

using updater::ToUtf8;

// A log line on the screen: control characters would move the cursor, so they show as '.';
// long lines are cut at the screen's edge.
std::string ForScreen(std::u16string_view text, size_t columns) {
  std::u16string shown;
  for (char16_t c : text) shown += (c < 0x20 || c == 0x7F) ? u'.' : c;
  if (shown.size() > columns) shown.resize(columns);
  return ToUtf8(shown);
}

std::string ColorStart(updater::Rgb color) {
  if (color == updater::kBlack) return "";
  if (color == updater::kRed) return "\x1b[1;31m";
  if (color == updater::kGreen) return "\x1b[1;32m";
  return "\x1b[38;2;" + std::to_string(color.r) + ";" + std::to_string(color.g) + ";" +
         std::to_string(color.b) + "m";
}

constexpr const char* kReset = "\x1b[0m";

}  // namespace

ConsoleView::ConsoleView(Mode mode)
    : mode_(mode),
      hardware_(*this, "lblHardware"),
      software_(*this, "lblSoftware"),
      log_(*this),
      update_(*this) {}

void ConsoleView::Line(const std::string& line) {
  FlushLabel(hardware_);
  FlushLabel(software_);
  WriteOut(line + "\n");
}

void ConsoleView::FlushLabel(Label& label) {
  if (!label.pending) return;
  label.pending = false;
  std::string state =
      "caption=" + ToUtf8(label.caption) + " color=" + updater::ColorName(label.color);
  if (state == label.printed) return;
  label.printed = state;
  WriteOut("@ " + label.name + " " + state + "\n");
}

void ConsoleView::Flush(bool end_of_program) {
  if (mode_ != Mode::kLines) return;
  FlushLabel(hardware_);
  FlushLabel(software_);
  PrintNewLogLines(end_of_program);
}

void ConsoleView::PrintNewLogLines(bool include_partial) {
  const std::u16string& text = log_.text;
  for (;;) {
    size_t end = text.find(u"\r\n", log_.printed);
    if (end == std::u16string::npos) break;
    Line(ToUtf8(std::u16string_view(text).substr(log_.printed, end - log_.printed)));
    log_.printed = end + 2;
  }
  // A line still being written (text appended without a line end) waits for its end.
  if (include_partial && log_.printed < text.size()) {
    Line(ToUtf8(std::u16string_view(text).substr(log_.printed)));
    log_.printed = text.size();
  }
}

void ConsoleView::Label::SetCaption(const std::u16string& c) {
  caption = c;
  pending = true;
  if (view.mode_ == Mode::kScreen) view.Redraw();
}

void ConsoleView::Label::SetForeColor(updater::Rgb c) {
  color = c;
  pending = true;
  if (view.mode_ == Mode::kScreen) view.Redraw();
}

void ConsoleView::TextBox::SetText(const std::u16string& t) {
  bool extends = t.size() >= text.size() && t.compare(0, text.size(), text) == 0;
  if (!extends) {
    if (view.mode_ == Mode::kLines) view.Line("@ txtLog cleared");
    printed = 0;
  }
  text = t;
  if (view.mode_ == Mode::kLines) {
    view.PrintNewLogLines(false);
  } else {
    view.Redraw();
  }
}

void ConsoleView::Button::SetCaption(const std::u16string& c) {
  if (c == caption) return;
  caption = c;
  if (view.mode_ == Mode::kLines) {
    view.Line("@ cmdUpdate caption=" + ToUtf8(c));
  } else {
    view.Redraw();
  }
}

void ConsoleView::Button::SetEnabled(bool e) {
  if (e == enabled) return;
  enabled = e;
  if (view.mode_ == Mode::kLines) {
    view.Line(std::string("@ cmdUpdate enabled=") + (e ? "1" : "0"));
  } else {
    view.Redraw();
  }
}

void ConsoleView::SetCaption(const std::u16string& caption) {
  caption_ = caption;
  if (mode_ == Mode::kLines) {
    Line("@ frmMain caption=" + ToUtf8(caption));
  } else {
    Redraw();
  }
}

void ConsoleView::SetIcon(std::string_view image_key) {
  icon_ = std::string(image_key);
  if (mode_ == Mode::kLines) {
    Line("@ frmMain icon=" + icon_);
  } else {
    Redraw();
  }
}

void ConsoleView::MessageBox(uint32_t /*style*/, const std::u16string& title,
                             const std::u16string& text) {
  if (mode_ == Mode::kLines) {
    Flush();
    Line("@ MsgBox title=" + ToUtf8(title));
    for (const std::u16string& line : updater::SplitLogLines(text)) {
      Line("@ MsgBox text=" + ToUtf8(line));
    }
  }
  open_box_.emplace(title, text);
  if (mode_ == Mode::kScreen) Redraw();
  if (wait_closed_) {
    while (!wait_closed_()) {
    }
  }
  open_box_.reset();
  if (mode_ == Mode::kScreen) Redraw();
}

void ConsoleView::Show() {
  visible_ = true;
  if (mode_ == Mode::kLines) {
    Flush();
    Line("@ frmMain visible=1");
  } else {
    Redraw();
  }
}

void ConsoleView::EndProgram() {
  if (mode_ == Mode::kLines) {
    Flush(true);
  } else {
    WriteOut("\n");
  }
}

void ConsoleView::Redraw() {
  TerminalSize size = GetTerminalSize();
  const size_t columns = static_cast<size_t>(std::max(size.columns - 1, 20));
  std::vector<std::string> head;
  head.push_back(" " + ForScreen(caption_, columns - 12) + (visible_ ? "" : "  (starting)"));
  auto label_line = [&](std::u16string_view static_caption, const Label& label) {
    std::string line = " ";
    line += ToUtf8(static_caption);
    line += ColorStart(label.color);
    line += ForScreen(label.caption, columns / 2);
    line += kReset;
    return line;
  };
  head.push_back("");
  head.push_back(label_line(updater::kVersionHardwareCaption, hardware_));
  head.push_back(label_line(updater::kVersionSoftwareCaption, software_));
  head.push_back("");
  std::string button = " ";
  button += update_.enabled ? "\x1b[1m" : "\x1b[2m";
  button += "[ ";
  button += ToUtf8(update_.caption);
  button += " ]";
  if (!update_.enabled) button += " (disabled)";
  button += kReset;
  button += "   ";
  button += key_help_;
  head.push_back(button);
  head.push_back(" " + std::string(columns - 1, '-'));

  std::vector<std::string> box;
  if (open_box_) {
    box.push_back(" +" + std::string(columns - 3, '-') + "+");
    box.push_back(" | \x1b[1m" + ForScreen(open_box_->first, columns - 5) + kReset);
    box.push_back(" |");
    for (const auto& line : updater::SplitLogLines(open_box_->second)) {
      box.push_back(" | " + ForScreen(line, columns - 5));
    }
    box.push_back(" |");
    box.push_back(" |   [ OK ]  (press any key)");
    box.push_back(" +" + std::string(columns - 3, '-') + "+");
  }

  for (auto& line : login_.ScreenLines(columns)) box.push_back(std::move(line));

  std::vector<std::u16string> log = updater::SplitLogLines(log_.text);
  int room = size.rows - static_cast<int>(head.size()) - static_cast<int>(box.size()) - 1;
  size_t first = 0;
  if (room < 0) room = 0;
  if (log.size() > static_cast<size_t>(room)) first = log.size() - static_cast<size_t>(room);

  std::string screen = "\x1b[H\x1b[2J";
  for (const auto& line : head) screen += line + "\n";
  for (size_t i = first; i < log.size(); ++i) screen += ForScreen(log[i], columns) + "\n";
  for (const auto& line : box) screen += line + "\n";
  WriteOut(screen);
}

}  // namespace console
