// frmMain's side of the device link: the probe of one port, the identification of what
// answers there, the command exchange, reconnecting and closing, and the bootloader wait.
//
// The device speaks a line-oriented text protocol at 57600 bit/s, 8N1, no flow control.
// Replies are tested with case-sensitive substring tests; the exchange neither trims nor parses
// them.
#include <vector>

#include "updater/main_window.h"
#include "updater/numbers.h"
#include "updater/text.h"

namespace updater {

using chanfold::Failed;
using chanfold::kVFalse;
using chanfold::kVTrue;

namespace {

constexpr std::u16string_view kBootloaderLabel = u"Hardware Version : ";
// Characters of the version that follow the bootloader's label.
constexpr size_t kBootloaderVersionLength = 5;
// The "VERSION" reply carries three characters before its fields.
constexpr size_t kVersionReplySkip = 3;

bool Contains(std::u16string_view text, std::u16string_view part) {
  return text.find(part) != std::u16string_view::npos;
}

// Splits at every comma; a text without commas is one field.
std::vector<std::u16string_view> SplitFields(std::u16string_view text) {
  std::vector<std::u16string_view> fields;
  size_t start = 0;
  for (;;) {
    size_t p = text.find(u',', start);
    if (p == std::u16string_view::npos) {
      fields.push_back(text.substr(start));
      return fields;
    }
    fields.push_back(text.substr(start, p - start));
    start = p + 1;
  }
}

std::u16string PortName(int n) {
  std::u16string name = u"COM";
  for (char c : std::to_string(n)) name += static_cast<char16_t>(c);
  return name;
}

}  // namespace

void MainWindow::SetLineSettings(chanfold::ChanfoldCtrl& seriale, int n) {
  seriale.put_Port(PortName(n));
  seriale.put_BaudRate(57600);
  seriale.put_DataBits(chanfold::db8Bits);
  seriale.put_StopBits(chanfold::sb1Bit);
  seriale.put_Parity(chanfold::pNone);
  seriale.put_RThreshold(0);  // no receive events: replies are polled
  seriale.put_FlowControl(chanfold::fcNone);
}

bool MainWindow::ConvertVersion(std::u16string_view text, float* out) {
  // The device always writes a point; rewrite it to the system's separator so that the
  // regional reading takes it. Without a known separator the points simply go.
  std::u16string rewritten;
  for (char16_t c : text) {
    if (c == u'.') {
      rewritten += program_.DecimalSeparator;
    } else {
      rewritten += c;
    }
  }
  return ParseSingle(rewritten, UserSeparator(), out);
}

int16_t MainWindow::ProbePort(chanfold::ChanfoldCtrl& seriale, int n) {
  if (seriale.get_IsConnected()) seriale.put_PortOpen(kVFalse);
  SetLineSettings(seriale, n);
  seriale.put_PortOpen(kVTrue);
  int16_t result;
  if (!seriale.get_IsConnected()) {
    // A missing port, one held by another program, or one whose configuration failed (the
    // control then still holds the device, which the close below releases).
    result = -1;
  } else {
    std::u16string answer = IdentifyDevice(seriale);
    if (answer == u"Bootloader") {
      program_.DeviceMode = u"Bootloader";
      result = 1;
    } else if (answer == u"Firmware") {
      program_.DeviceMode = u"Firmware";
      result = 1;
    } else if (answer == u"Hardware") {
      result = 2;
    } else {
      result = 0;
    }
  }
  seriale.put_PortOpen(kVFalse);
  return result;
}

std::u16string MainWindow::IdentifyDevice(chanfold::ChanfoldCtrl& seriale) {
  if (!seriale.get_IsConnected()) return u"Error";

  if (Failed(seriale.put_OutputStringData(u"V\r\n"))) return u"Error";
  services_.loop->Sleep(kReplyWaitMs);
  if (seriale.get_AvailDataCount() == 0) return u"";
  std::u16string reply = seriale.get_InputStringData();

  if (Contains(reply, u"ERROR")) {
    // The firmware rejects "V"; it tells who it is when asked for its "VERSION".
    std::u16string result;
    if (Failed(seriale.put_OutputStringData(u"VERSION\r\n"))) return u"Error";
    services_.loop->Sleep(kReplyWaitMs);
    if (seriale.get_AvailDataCount() == 0) {
      result = u"Error";
    } else {
      reply = seriale.get_InputStringData();
      if (reply.size() <= kVersionReplySkip) return u"Error";
      std::vector<std::u16string_view> fields =
          SplitFields(std::u16string_view(reply).substr(kVersionReplySkip));
      std::u16string vendor(TrimSpaces(RemoveCrLf(fields[0])));
      if (vendor != kVendorName && vendor != kVendorWebAddress) {
        result = u"Error";
      } else {
        // Each value is stored as soon as it is read; a failure further on keeps it.
        if (fields.size() < 2) return u"Error";
        float hardware = 0;
        if (!ConvertVersion(fields[1], &hardware)) return u"Error";
        program_.HardwareVersion = hardware;
        if (fields.size() < 3) return u"Error";
        float software = 0;
        if (!ConvertVersion(fields[2], &software)) return u"Error";
        program_.SoftwareVersion = software;
        if (fields.size() >= 10) {
          program_.PasswordRequired = TrimSpaces(RemoveCrLf(fields[9])) == u"SECUREACCESS";
          if (fields.size() >= 12) {
            uint8_t type = 0;
            std::u16string text = RemoveCrLf(fields[11]);
            if (!ParseByte(TrimSpaces(text), UserSeparator(), &type)) return u"Error";
            program_.HardwareType = type;
          } else {
            program_.HardwareType = 0;
          }
        }
        result = u"Firmware";
      }
    }
    // Something that talks like the firmware but is not known as supported hardware. Once a
    // supported device has been seen in this scan, such an answer is only an error.
    if (program_.HardwareType != 1) result = u"Hardware";
    return result;
  }

  size_t p = reply.find(kBootloaderLabel);
  if (p != std::u16string::npos) {
    std::u16string_view version =
        std::u16string_view(reply).substr(p + kBootloaderLabel.size(), kBootloaderVersionLength);
    float hardware = 0;
    if (!ConvertVersion(TrimSpaces(version), &hardware)) return u"Error";
    program_.HardwareVersion = hardware;
    return u"Bootloader";
  }
  return u"Error";
}

std::u16string MainWindow::SendCommand(chanfold::ChanfoldCtrl& seriale, std::u16string_view cmd) {
  if (!seriale.get_IsConnected()) return u"Disconnect";
  if (Failed(seriale.put_OutputStringData(std::u16string(cmd)))) return u"Error";
  // The device's answer to any command is complete within this wait at 57600 bit/s.
  services_.loop->Sleep(kReplyWaitMs);
  if (seriale.get_AvailDataCount() != 0) return seriale.get_InputStringData();
  return u"NoData";
}

bool MainWindow::ReconnectPort(chanfold::ChanfoldCtrl& seriale, int16_t n) {
  // An open port is taken as the device's, whichever it is.
  if (seriale.get_IsConnected()) return true;
  SetLineSettings(seriale, n);
  // A port that does not open is reported by the control's HasError; the next exchange finds
  // it closed ("Disconnect").
  seriale.put_PortOpen(kVTrue);
  return true;
}

bool MainWindow::ClosePort(chanfold::ChanfoldCtrl& seriale) {
  if (seriale.get_IsConnected()) seriale.put_PortOpen(kVFalse);
  return true;
}

std::u16string MainWindow::WaitingBootloader(chanfold::ChanfoldCtrl& seriale, int16_t& /*com_port*/,
                                             int32_t& delay) {
  vars_.StopRequested = false;
  std::u16string result;

  // A device that never shows its prompt must not hold the program forever: TimerDelay ends
  // the wait after `delay` ms (the caller's limit). The timer fires only while messages are
  // processed, which this loop does on every pass, so the wait ends within one pass of the
  // limit. With no time at all the wait makes a single pass.
  delay_timed_out_ = false;
  if (delay > 0) {
    timer_delay_.SetEnabled(false);
    timer_delay_.SetInterval(static_cast<uint32_t>(delay));
    timer_delay_.SetEnabled(true);
  } else {
    delay_timed_out_ = true;
  }

  for (;;) {
    // The bootloader answers SUB with its prompt once it runs.
    if (Failed(seriale.put_OutputStringData(u"\x1A"))) {
      result = u"ERROR";
      break;
    }
    services_.loop->DoEvents();
    services_.loop->Sleep(kBootloaderPollMs);
    if (vars_.StopRequested) break;
    if (seriale.get_AvailDataCount() != 0) {
      std::u16string reply = seriale.get_InputStringData();
      if (Contains(reply, u">")) {
        result = u"OK";
        break;
      }
      result = u"ERROR";
    }
    if (delay_timed_out_) break;
  }
  timer_delay_.SetEnabled(false);
  return result;
}

}  // namespace updater
