// frmMain's handlers of the control's events: the upload's progress in the log, its end or
// abort, the control's errors and warnings, and the reader of the device's flashing report,
// which ends the bitstream phase and, after the firmware, reboots the device.
#include <limits>
#include <string>

#include "updater/main_window.h"
#include "updater/numbers.h"

namespace updater {

namespace {

std::u16string Decimal(int64_t value) {
  std::u16string out;
  for (char c : std::to_string(value)) out += static_cast<char16_t>(c);
  return out;
}

bool Contains(std::u16string_view text, std::u16string_view part) {
  return text.find(part) != std::u16string_view::npos;
}

// A progress line every fifth block event.
constexpr int16_t kProgressEvery = 5;

// The four characters in front of the device's prompt (its line end and its name) are not
// shown.
constexpr size_t kPromptLead = 4;

}  // namespace

int16_t ProgressPercent(int32_t bytes, int32_t size) {
  // Nothing to measure against: the upload has not said how long its file is.
  if (size == 0) return 0;
  double percent = RoundHalfEven(static_cast<double>(bytes) / static_cast<double>(size) * 100.0);
  if (percent > std::numeric_limits<int16_t>::max()) return std::numeric_limits<int16_t>::max();
  if (percent < std::numeric_limits<int16_t>::min()) return std::numeric_limits<int16_t>::min();
  return static_cast<int16_t>(percent);
}

void MainWindow::DoInit() {
  WriteLog(u" Initialization transfer ...");
}

void MainWindow::StartFile(const std::u16string& /*file_name*/) {
  WriteLog(u"");
  WriteLog(u" Sending " + Decimal(rs232_.get_XferCurrFileSize()) + u" bytes.");
  WriteLog(u"");
}

void MainWindow::OneBlockDone() {
  if (vars_.ProgressSkip > 0) {
    --vars_.ProgressSkip;
    return;
  }
  int16_t percent = ProgressPercent(rs232_.get_XferCurrBytes(), rs232_.get_XferCurrFileSize());
  WriteLog(u" Current transfer : " + Decimal(rs232_.get_XferCurrBytes()) + u" bytes" + u" - [ " +
           Decimal(percent) + u"% ]");
  vars_.ProgressSkip = kProgressEvery - 1;
}

void MainWindow::FinishTransfer() {
  WriteLog(u"");
  WriteLog(u" Uploading end.");
  WriteLog(u"");
  WriteLog(u" Now Flashing ...");
  WriteLog(u"");
  rs232_.XferClearAllFiles();
  DeleteTempFile();
  // The device's report of its flashing now comes as received-data events.
  rs232_.put_RThreshold(1);
}

void MainWindow::AbortTransfer() {
  WriteLog(u"");
  WriteLog(u" Aborting Update.");
  view_.cmdUpdate().SetCaption(std::u16string(kUpdateCaption));
  rs232_.XferClearAllFiles();
  update_interrupted_ = true;
}

void MainWindow::HasError(const std::u16string& error_msg) {
  // Texts about a port (one that does not open during the scan) are not the operator's concern.
  if (Contains(error_msg, u"COM")) return;
  WriteLog(u"");
  WriteLog(u" ERROR !!! " + error_msg);
  WriteLog(u"");
}

void MainWindow::HasWarning(const std::u16string& warning_msg) {
  WriteLog(u"");
  WriteLog(u" WARNING !!! " + warning_msg);
}

void MainWindow::OnComm(int32_t /*count*/) {
  vars_.DeviceText += rs232_.get_InputStringData();
  const std::u16string& text = vars_.DeviceText;
  // Text is handled once a line of it is complete. The prompt is handled even when it came in a
  // read of its own, after the line end before it had already been handled: otherwise the end
  // of the flashing would never be seen.
  if (!Contains(text, u"\r\n") && !Contains(text, u">")) return;
  // The whole collected text is one chunk; what follows its last line end goes with it.
  std::u16string chunk = std::move(vars_.DeviceText);
  vars_.DeviceText.clear();

  if (Contains(chunk, u"ERROR")) {
    WriteLog(u"");
    WriteLog(u" ERROR !!! Try again.");
    return;
  }
  size_t prompt = chunk.find(u'>');
  if (prompt == std::u16string::npos) {
    AppendLog(chunk);
    return;
  }
  // The prompt, what follows it and the four characters before it are not shown; a prompt too
  // near the start leaves the chunk whole.
  const size_t p = prompt + 1;
  AppendLog(p >= kPromptLead + 1 ? std::u16string_view(chunk).substr(0, p - kPromptLead - 1)
                                 : std::u16string_view(chunk));
  rs232_.put_RThreshold(0);
  if (vars_.BitstreamPending) {
    // Ends the update procedure's wait; it goes on with the firmware.
    vars_.BitstreamPending = false;
    WriteLog(u"");
    WriteLog(u" Flashing end.");
    return;
  }
  WriteLog(u"");
  WriteLog(u" Flashing end, now reboot ...");
  SendCommand(rs232_, u"REBOOT\r\n");
  WriteLog(u"");
  WriteLog(u" End.");
  view_.cmdUpdate().SetCaption(std::u16string(kUpdateCaption));
  view_.cmdUpdate().SetEnabled(false);
}

}  // namespace updater
