#include "updater/recording_view.h"

namespace updater {

std::string ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t c = text[i];
    // A surrogate pair is one code point; a lone surrogate becomes U+FFFD.
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::vector<std::u16string> SplitLogLines(std::u16string_view text) {
  std::vector<std::u16string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(u"\r\n", start);
    if (end == std::u16string_view::npos) {
      lines.emplace_back(text.substr(start));
      break;
    }
    lines.emplace_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

std::string ColorName(Rgb color) {
  if (color == kBlack) return "black";
  if (color == kRed) return "red";
  if (color == kGreen) return "green";
  return std::to_string(color.r) + "," + std::to_string(color.g) + "," + std::to_string(color.b);
}

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

}  // namespace

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
