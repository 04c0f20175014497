// frmMain: creation, start-up, log, shared routines, verdict and shut-down. The device link
// routines are in device_link.cpp.
#include "updater/main_window.h"

#include <array>

#include "updater/numbers.h"

namespace updater {

using chanfold::kVFalse;
using chanfold::kVTrue;

void ApplyStoredSettings(chanfold::ChanfoldCtrl& rs232) {
  rs232.put_BaudRate(57600);
  rs232.put_DataBits(chanfold::db8Bits);
  rs232.put_Parity(chanfold::pNone);
  rs232.put_StopBits(chanfold::sb1Bit);
  rs232.put_FlowControl(chanfold::fcNone);
  rs232.put_Port(u"COM1");
  rs232.put_RThreshold(0);
  rs232.put_InputQ(16384);
  rs232.put_OutputQ(16384);
  rs232.put_XonChar(17);
  rs232.put_XoffChar(19);
  rs232.put_XferMode(chanfold::aUpload);
  rs232.put_XferProtocol(chanfold::pXModem1K);
  // The device acknowledges a 1 KiB block well within 5 s even while it writes its flash;
  // five such silences in a row mean it is gone.
  rs232.put_XferTimeoutInterval(5000);
  rs232.put_XferTimeoutsAllowed(5);
  rs232.put_XferWorkDir(u"");
  rs232.put_PhoneNumber(u"");
  rs232.put_ModemSelIndex(-1);
}

MainWindow::MainWindow(platform::Services& services, MainView& view)
    : services_(services),
      view_(view),
      rs232_(services),
      timer_delay_(*services.loop, [this] { TimerDelay_Timer(); }),
      login_(std::make_unique<LoginWindow>(services, *this, view.frmLogin())) {
  ApplyStoredSettings(rs232_);
  rs232_.SetEventSink(this);
  timer_delay_.SetInterval(kTimerDelayDesignMs);
}

MainWindow::~MainWindow() {
  rs232_.SetEventSink(nullptr);
}

void MainWindow::Start() {
  Load();
  if (ended_) return;
  view_.Show();
}

void MainWindow::Load() {
  // 1. The separator the device's versions are rewritten to before they are read.
  program_.DecimalSeparator =
      ReadLocaleInfo(services_.locale->GetSystemDefaultLcid(), platform::kLocaleSDecimal);
  // 2. An empty log.
  view_.txtLog().SetText(u"");
  // 3. The caption.
  std::u16string title(kProduct);
  title += u" Firmware Updater to Version ";
  title += FormatVersion(UpdateFirmwareVersion);
  view_.SetCaption(title);
  // 4. The icon: image 2 of Icona.
  view_.SetIcon(kIconaImage2Key);
  // 5. The port scan; unsupported hardware ends the program here.
  ScanPorts();
  if (ended_) return;
  // 6. The sign-in window, loaded and hidden until an update needs it.
  login_->Load();
  // 7. The banner.
  const std::u16string stars = u" ***************************************************";
  WriteLog(stars);
  std::u16string banner = u" * ";
  banner += kProduct;
  banner += u" Firmware Updater to Version ";
  banner += FormatVersion(UpdateFirmwareVersion);
  WriteLog(banner);
  WriteLog(stars);
  // 8. What the update will do.
  Verdict();
}

void MainWindow::Unload() {
  if (ended_) return;
  DeleteTempFile();
  ClosePort(rs232_);
  login_->Close();
}

void MainWindow::WriteLog(std::u16string_view text) {
  std::u16string all = view_.txtLog().Text();
  all += text;
  all += u"\r\n";
  view_.txtLog().SetText(all);
  view_.txtLog().SetSelStart(all.size());
}

std::u16string MainWindow::ReadLocaleInfo(uint32_t locale, uint32_t item) {
  platform::Locale& loc = *services_.locale;
  int needed = loc.GetLocaleInfo(locale, item, nullptr, 0);
  if (needed <= 0) return u"";
  std::string buffer(static_cast<size_t>(needed), ' ');
  int count = loc.GetLocaleInfo(locale, item, buffer.data(), needed);
  if (count <= 0) return u"";
  // The count includes the terminating NUL; never read past the buffer we gave.
  size_t length = static_cast<size_t>(count - 1);
  if (length > buffer.size()) length = buffer.size();
  std::u16string out;
  for (size_t i = 0; i < length; ++i) out += loc.FromAnsi(static_cast<uint8_t>(buffer[i]));
  return out;
}

std::u16string MainWindow::GetTempDir() {
  constexpr uint32_t kMaxPath = 260;
  std::array<char, kMaxPath> buffer{};
  uint32_t count = services_.files->GetTempPath(kMaxPath, buffer.data());
  if (count == 0) return u"";
  // A folder that does not fit leaves the buffer untouched (all NULs): the result is empty.
  std::u16string out;
  for (char c : buffer) {
    if (c == '\0') break;
    out += services_.locale->FromAnsi(static_cast<uint8_t>(c));
  }
  return out;
}

bool MainWindow::FileExists(std::u16string_view path) {
  if (path.empty()) return false;
  std::string ansi;
  for (char16_t c : path) {
    int code = services_.locale->ToAnsi(c);
    // A NUL would cut the name short and a character without an ANSI code names no file.
    if (code <= 0) return false;
    ansi += static_cast<char>(code);
  }
  uint32_t attributes = services_.files->GetAttributes(ansi);
  if (attributes == platform::kInvalidFileAttributes) return false;
  return (attributes & platform::kFileAttributeDirectory) == 0;
}

void MainWindow::ShowHardwareError() {
  view_.MessageBox(kMbOkOnly | kMbCritical, u"Hardware Error !!!",
                   u"This software does not support the connected device.\r\n"
                   u"Contact your device manufacturer for support.\r\n"
                   u"\r\n"
                   u"The updater program will be terminated.");
  ended_ = true;
  view_.EndProgram();
}

std::u16string MainWindow::UserSeparator() {
  std::u16string out;
  for (char c : services_.locale->UserDecimalSeparator()) {
    out += services_.locale->FromAnsi(static_cast<uint8_t>(c));
  }
  return out.empty() ? u"." : out;
}

std::u16string MainWindow::FormatVersion(float value) {
  return FormatNumber(value, UserSeparator());
}

void MainWindow::ScanPorts() {
  for (int n = kFirstPort; n <= kLastPort; ++n) {
    // An identification that fails half-way has already stored what it read. Such a port did
    // not give the device, so its values must not pass for the device's: without this, a cut
    // reply alone would make the verdict report a device "on COM0", and a second port could
    // mix its versions into those of the device found before it. HardwareType is left alone:
    // it is what tells later ports apart.
    const float hardware = program_.HardwareVersion;
    const float software = program_.SoftwareVersion;
    const bool password = program_.PasswordRequired;
    int16_t result = ProbePort(rs232_, n);
    if (result == 1) {
      program_.ComPortNumber = static_cast<int16_t>(n);
    } else if (result == 2) {
      ShowHardwareError();
      return;
    } else {
      program_.HardwareVersion = hardware;
      program_.SoftwareVersion = software;
      program_.PasswordRequired = password;
    }
  }
}

std::u16string MainWindow::DeviceLine() {
  std::u16string line = u" ";
  line += kProduct;
  line += u" Trasmodulator Connected on COM";
  for (char c : std::to_string(program_.ComPortNumber)) line += static_cast<char16_t>(c);
  line += u".";
  return line;
}

void MainWindow::Verdict() {
  const float hw = program_.HardwareVersion;
  const float sw = program_.SoftwareVersion;
  auto same = [](float a, float b) {
    return std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b);
  };

  // Hardware outside the accepted range, or no device at all (version 0).
  if (hw < MinHardwareVersion || hw > MaxHardwareVersion) {
    view_.lblHardware().SetForeColor(kBlack);
    view_.lblHardware().SetCaption(u"None");
    view_.lblSoftware().SetForeColor(kBlack);
    view_.lblSoftware().SetCaption(u"None");
    WriteLog(u"");
    WriteLog(u" This update version is not valid for connected hardware.");
    WriteLog(u"");
    return;
  }

  auto judge_hardware = [&] {
    if (same(hw, ValidHardwareVersion)) {
      vars_.BitstreamPending = false;
      view_.lblHardware().SetForeColor(kGreen);
      view_.lblHardware().SetCaption(FormatVersion(hw));
      WriteLog(u" Hardware is Valid for New Firmware.");
      WriteLog(u"");
    } else {
      vars_.BitstreamPending = true;
      view_.lblHardware().SetForeColor(kRed);
      view_.lblHardware().SetCaption(FormatVersion(hw));
      WriteLog(u" Hardware is not Valid for New Firmware, need upgrade.");
      WriteLog(u"");
    }
  };

  if (program_.DeviceMode == u"Firmware") {
    if (program_.PasswordRequired) {
      WriteLog(u"");
      WriteLog(u" Password is required to continue upgrade.");
    }
    WriteLog(u"");
    WriteLog(u" Update from Firmware Mode.");
    WriteLog(u"");
    if (sw == 0) {
      view_.lblHardware().SetForeColor(kBlack);
      view_.lblHardware().SetCaption(u"None");
      view_.lblSoftware().SetForeColor(kBlack);
      view_.lblSoftware().SetCaption(u"None");
      std::u16string line = u" ERROR !!! ";
      line += kProduct;
      line += u" Trasmodulator not Connected.";
      WriteLog(line);
      WriteLog(u"");
      line = u" Check power and cable of ";
      line += kProduct;
      line += u" Trasmodulator.";
      WriteLog(line);
      return;
    }
    WriteLog(DeviceLine());
    WriteLog(u"");
    WriteLog(u" Hardware Version : " + FormatVersion(hw));
    WriteLog(u" Software Version : " + FormatVersion(sw));
    WriteLog(u"");
    judge_hardware();
    view_.cmdUpdate().SetEnabled(true);
    if (same(sw, UpdateFirmwareVersion)) {
      WriteLog(u" Firmware is the same of Update ... Reflashing.");
    } else if (sw > UpdateFirmwareVersion) {
      WriteLog(u" The firmware is more recent of update ... Downgrade.");
    } else {
      WriteLog(u" The firmware is less recent of update ... Upgrade.");
    }
    WriteLog(u"");
    WriteLog(u" Press button Update to start procedure.");
    view_.lblSoftware().SetCaption(FormatVersion(sw));
    if (same(sw, UpdateFirmwareVersion)) {
      view_.lblSoftware().SetForeColor(kGreen);
    } else if (sw < UpdateFirmwareVersion) {
      view_.lblSoftware().SetForeColor(kRed);
    } else {
      view_.lblSoftware().SetForeColor(kBlack);
    }
    return;
  }

  // The bootloader does not report the firmware version: lblSoftware keeps "N.D.".
  WriteLog(u"");
  WriteLog(u" Update from Bootloader Mode.");
  WriteLog(u"");
  WriteLog(DeviceLine());
  WriteLog(u"");
  WriteLog(u" Hardware Version : " + FormatVersion(hw));
  WriteLog(u"");
  judge_hardware();
  view_.cmdUpdate().SetEnabled(true);
  WriteLog(u" Press button Update to start procedure.");
}

void MainWindow::TimerDelay_Timer() {
  timer_delay_.SetEnabled(false);
  delay_timed_out_ = true;
}

}  // namespace updater
