// frmMain, the updater's one window: start-up (locale, caption, port scan, identification of
// the device, version verdict), the log, the device link routines and the shut-down. It owns
// the serial control RS232, receives its events, and draws through a MainView.
//
// A front-end creates the window, calls Start() (the load handler, then showing the window
// unless the program ended during start-up), runs the message loop, and calls Unload() when the
// operator closes the window.
#pragma once

#include <bit>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/event_loop.h"
#include "platform/services.h"
#include "serialctl/chanfold_ctrl.h"
#include "serialctl/chanfold_events.h"
#include "updater/login_window.h"
#include "updater/views.h"

namespace updater {

// The product word of every caption and message.
inline constexpr std::u16string_view kProduct = u"Quarn";

// Versions of the update images and the hardware range they accept (single precision; equality
// with them is bit for bit).
inline constexpr float UpdateFirmwareVersion = 7.15f;
inline constexpr float ValidHardwareVersion = 7.0f;
inline constexpr float MinHardwareVersion = 6.0f;
inline constexpr float MaxHardwareVersion = 7.99f;
static_assert(std::bit_cast<uint32_t>(UpdateFirmwareVersion) == 0x40E4CCCDu);
static_assert(std::bit_cast<uint32_t>(ValidHardwareVersion) == 0x40E00000u);

// The device's vendor as field 0 of its "VERSION" reply names it: by name or by web address.
inline constexpr std::u16string_view kVendorName = u"Zandor Ltd";
inline constexpr std::u16string_view kVendorWebAddress = u"www.zandorltd.com";

// Ports of the scan: COM1 to COM16.
inline constexpr int kFirstPort = 1;
inline constexpr int kLastPort = 16;

// The device answers a command within this time at 57600 bit/s; the exchange waits it out
// whatever arrives, without processing messages.
inline constexpr uint32_t kReplyWaitMs = 500;
// Pace of the bootloader wait: one SUB, pending messages, then this sleep.
inline constexpr uint32_t kBootloaderPollMs = 50;
// TimerDelay's design interval (it is disabled at design time).
inline constexpr uint32_t kTimerDelayDesignMs = 1000;
// How long the update waits for the bootloader's prompt after a reboot: the device restarts
// and opens its boot window well within it.
inline constexpr int32_t kBootloaderWaitMs = 5000;
// The wait for the end of the bitstream flashing sleeps this long between rounds of message
// processing, which carry the upload and the device's report.
inline constexpr uint32_t kBitstreamWaitPollMs = 1;

// The update images built into the program, and the temporary file they are uploaded from.
inline constexpr std::string_view kImageResourceType = "FLASHING";
inline constexpr std::string_view kBitstreamResource = "BITSTREAM";
inline constexpr std::string_view kFirmwareResource = "FIRMWARE";
inline constexpr std::u16string_view kTempFileName = u"temp.tmp";

// Variables of the whole program; all start as 0, False or empty.
struct ProgramVariables {
  std::u16string DecimalSeparator;  // decimal separator of the system's default locale
  int16_t ComPortNumber = 0;        // port (1..16) of the device, 0 = none
  std::u16string DeviceMode;        // "Firmware" or "Bootloader"
  float HardwareVersion = 0;
  float SoftwareVersion = 0;
  bool PasswordRequired = false;
  uint8_t HardwareType = 0;  // 1 = hardware that this updater supports
};

// Variables of frmMain; same initial values.
struct MainWindowVariables {
  bool BitstreamPending = false;  // the bitstream is flashed before the firmware
  bool StopRequested = false;     // the operator pressed cmdUpdate
  std::u16string TempDir;         // folder of the temporary image file
  std::u16string TempFile;        // name of the temporary image file
  // Block events still to pass before the next progress line; carried from one upload to the
  // next.
  int16_t ProgressSkip = 0;
  // Text of the device's flashing report received and not handled yet.
  std::u16string DeviceText;
};

class MainWindow : public chanfold::ChanfoldEvents {
 public:
  // Creating the window creates RS232 with the window's stored settings. Nothing is shown.
  MainWindow(platform::Services& services, MainView& view);
  ~MainWindow() override;
  MainWindow(const MainWindow&) = delete;
  MainWindow& operator=(const MainWindow&) = delete;

  // The load handler, then the window is shown; when the program ended during the load
  // (unsupported hardware) nothing is shown.
  void Start();
  // The load handler alone.
  void Load();
  // The unload handler: the operator closed the window.
  void Unload();
  // True once the program has ended (ShowHardwareError): no handler of the window runs any
  // more.
  bool ended() const { return ended_; }

  // Click on cmdUpdate: starts the update, or stops it while the caption reads "Stop".
  void cmdUpdate_Click();
  // The sign-in window, loaded hidden at start-up.
  LoginWindow& frmLogin() { return *login_; }

  // ---- Routines shared by the window's handlers ----
  // Appends `text` and CR LF to the log and moves the caret to the end.
  void WriteLog(std::u16string_view text);
  // The locale text of `item` (GetLocaleInfoA, asking for the size first); "" when it cannot
  // be read.
  std::u16string ReadLocaleInfo(uint32_t locale, uint32_t item);
  // The temporary folder with its trailing separator; "" when the system gives none.
  std::u16string GetTempDir();
  // True when `path` names something that exists and is not a folder.
  bool FileExists(std::u16string_view path);
  // The unsupported-hardware box; when it closes, the program ends.
  void ShowHardwareError();
  // A version as the operator sees it: "#0.#0" with the user's decimal separator.
  std::u16string FormatVersion(float value);

  // ---- The device link ----
  // Probes port n: 1 device found (DeviceMode set), 2 unsupported hardware, 0 nothing of ours,
  // -1 the port did not open. The port is closed afterwards.
  int16_t ProbePort(chanfold::ChanfoldCtrl& seriale, int n);
  // Identifies what answers on the open port: "Firmware", "Bootloader", "Hardware", "Error" or
  // "" (nothing answered).
  std::u16string IdentifyDevice(chanfold::ChanfoldCtrl& seriale);
  // Sends `cmd` as it is, waits, returns the reply, "NoData", "Disconnect" or "Error".
  std::u16string SendCommand(chanfold::ChanfoldCtrl& seriale, std::u16string_view cmd);
  // Makes sure a port is open (port n when none is); False only when the control failed.
  bool ReconnectPort(chanfold::ChanfoldCtrl& seriale, int16_t n);
  // Closes the port if it is open; False only when the control failed.
  bool ClosePort(chanfold::ChanfoldCtrl& seriale);
  // Waits for the bootloader prompt: "OK", or "" / "ERROR" when stopped, timed out or failed.
  std::u16string WaitingBootloader(chanfold::ChanfoldCtrl& seriale, int16_t& com_port,
                                   int32_t& delay);

  // ---- State, for front-ends and tests ----
  chanfold::ChanfoldCtrl& RS232() { return rs232_; }
  ProgramVariables& program() { return program_; }
  MainWindowVariables& vars() { return vars_; }
  platform::Timer& TimerDelay() { return timer_delay_; }
  bool delay_timed_out() const { return delay_timed_out_; }
  // True while a click's update procedure is still in its own steps (up to the start of the
  // firmware upload).
  bool procedure_running() const { return procedure_running_; }

  // ---- Events of RS232 ----
  void OnComm(int32_t count) override;
  void HasError(const std::u16string& error_msg) override;
  void HasWarning(const std::u16string& warning_msg) override;
  void DoInit() override;
  void StartFile(const std::u16string& file_name) override;
  void OneBlockDone() override;
  void FinishTransfer() override;
  void AbortTransfer() override;

 private:
  void ScanPorts();
  void Verdict();
  void SetLineSettings(chanfold::ChanfoldCtrl& seriale, int n);
  // Field conversion of versions: "." becomes DecimalSeparator, then the regional reading.
  bool ConvertVersion(std::u16string_view text, float* out);
  // The decimal separator of the user's regional settings ("." when the system gives none).
  std::u16string UserSeparator();
  std::u16string DeviceLine();
  void TimerDelay_Timer();

  // ---- The update procedure ----
  void RunUpdate();
  // Each phase: false when it ended the procedure.
  struct Phase;
  static const Phase kBitstreamPhase;
  static const Phase kFirmwarePhase;
  bool BitstreamPhase();
  bool FirmwarePhase();
  // Writes the phase's image, brings the device to the bootloader's menu, chooses the phase's
  // flashing and starts the upload; false when it ended the procedure.
  bool RunPhase(const Phase& phase);
  // Waits until the device ended the bitstream flashing; false when the update was stopped
  // or its upload aborted first.
  bool WaitBitstreamEnd();
  void StopUpdate();
  // Writes the built-in image into TempDir & TempFile; false when that failed (nothing of it
  // is left then).
  bool WriteImage(std::string_view resource_name);
  void DeleteTempFile();
  void StartUpload();
  // Log lines of the failure exits.
  void WriteReconnectFailure();
  void WriteUpdateCommandFailure();
  void WriteRebootFailure(std::u16string_view what);
  void WriteImageFailure(std::u16string_view what);
  // Appends device text to the log without a line end.
  void AppendLog(std::u16string_view text);
  // A path in the ANSI code page; false when a character has no code there.
  bool ToAnsiPath(std::u16string_view path, std::string* out);

  platform::Services& services_;
  MainView& view_;
  ProgramVariables program_;
  MainWindowVariables vars_;
  chanfold::ChanfoldCtrl rs232_;
  platform::Timer timer_delay_;
  bool delay_timed_out_ = false;
  bool ended_ = false;
  std::unique_ptr<LoginWindow> login_;
  bool procedure_running_ = false;
  // Set by Stop and by an aborted upload: the running procedure must not go on.
  bool update_interrupted_ = false;
};

// Applies the settings that frmMain stores for its RS232 control.
void ApplyStoredSettings(chanfold::ChanfoldCtrl& rs232);

// The percentage of a progress line: bytes of size, rounded to a whole number with halves to
// the even neighbour; 0 while the size is 0.
int16_t ProgressPercent(int32_t bytes, int32_t size);

}  // namespace updater
