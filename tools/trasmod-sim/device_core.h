// The simulated transmodulator: its firmware's line commands, its bootloader's menu, XModem
// reception of the two update images and the flashing report that follows.
//
// On the line:
//
// Firmware mode. Commands are lines ended by CR, LF or CR LF; every reply ends in CR LF.
//   "V"                     -> "ERROR" (the firmware knows no "V")
//   "VERSION"               -> "OK " then 12 comma-separated fields:
//                              vendor, hardware version, firmware version, 6 filler fields,
//                              "SECUREACCESS" (locked) or "OPENACCESS", a filler field,
//                              hardware type
//   "VERIFYPASSWORD " + pw  -> "OK" when pw is the password or the device is not locked,
//                              else "DENIED"
//   "REBOOT"                -> "REBOOTING", then the reboot below; a locked device that has not
//                              accepted its password since it started answers "ERROR" instead
//   anything else           -> "ERROR"
//
// Reboot. The device is deaf and silent for the reboot time, then its bootloader prints a
// banner and listens for SUB (0x1A) during the boot window. A SUB in that window keeps it in the
// bootloader, which answers with its prompt; otherwise it starts the firmware. So "REBOOT"
// followed by SUBs (as the updater's bootloader wait sends them) lands in the bootloader, and a
// plain "REBOOT" starts the firmware with whatever was flashed.
//
// Bootloader mode. One-character choices, no line end needed; "REBOOT" + CR or LF also works.
//   SUB   -> the prompt kPrompt
//   "V"   -> a banner with "Hardware Version : " and the hardware version, left-justified in
//            five characters, CR LF, then the prompt
//   "B"   -> the bitstream choice line, then an XModem receive of the bitstream: the line is
//            kBitstreamChoiceRebooted when the bootloader was reached by a reboot, and
//            kBitstreamChoiceResident when the device was started in its bootloader
//   "F"   -> kFirmwareChoice, then an XModem receive of the firmware
//   CR, LF and other characters are ignored.
// After a complete receive the device flashes the image and reports it in CR LF lines, a line
// every flash-line time; the last line and the prompt come in one piece, so that the prompt
// arrives together with a CR LF. The four characters in front of ">" are the CR LF and the
// "BL" of the prompt, so a reader that drops them shows exactly the report lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/trasmod-sim/device_link.h"
#include "tools/trasmod-sim/timers.h"
#include "tools/trasmod-sim/xmodem_receiver.h"

namespace trasmod {

// The bootloader's prompt.
inline constexpr std::string_view kPrompt = "\r\nBL>";
// The three characters in front of the fields of the reply to "VERSION".
inline constexpr std::string_view kVersionLead = "OK ";
inline constexpr std::string_view kHardwareLabel = "Hardware Version : ";
inline constexpr std::string_view kBitstreamChoiceRebooted = "B - Flash programming bitstream";
inline constexpr std::string_view kBitstreamChoiceResident = "B - Flash bitstream firmware";
inline constexpr std::string_view kFirmwareChoice = "F - Flash programming firmware";
// What --wrong-menu-reply answers to "F".
inline constexpr std::string_view kWrongFirmwareChoice = "F - Flash firmware image";

// Ways to spoil the reply to "VERSION", for tests of its parser.
enum class Malformed {
  kNone,
  kNul,                 // field 3 is four NUL bytes
  kNulVendor,           // the vendor's space is a NUL byte: "Zandor\0Ltd"
  kHighBit,             // field 3 holds the bytes 0x80 0xC9 0xE8 0xFF
  kShort,               // only vendor and hardware version (2 fields)
  kNonNumericHardware,  // field 1 is "seven"
  kNonNumericFirmware,  // field 2 is "7.x5"
  kTypeAbove255,        // field 11 is "256"
  kTypeNonNumeric,      // field 11 is "one"
  kEmpty,               // the reply is only CR LF
  kLeadOnly,            // the reply is exactly the three lead characters, nothing after them
  kNoReply,             // no reply at all
  kLong,                // field 3 is 5000 'X': the reply is longer than 4096 bytes
  kVendorCase,          // the vendor in other letter case ("ZANDOR LTD" for "Zandor Ltd")
  kPadded,              // fields 0, 9 and 11 framed by spaces and CR LF (still valid)
};
// The command-line names: "nul", "nul-vendor", "high-bit", "short", "non-numeric-hardware",
// "non-numeric-firmware", "type-above-255", "type-non-numeric", "empty", "lead-only",
// "no-reply", "long", "vendor-case", "padded".
std::optional<Malformed> ParseMalformed(std::string_view name);
std::string_view MalformedName(Malformed kind);
std::vector<std::string_view> MalformedNames();

struct DeviceConfig {
  std::string vendor = "Zandor Ltd";
  std::string hardware = "7.0";  // hardware version reported now
  std::string firmware = "7.15";
  std::string new_hardware = "7.0";   // reported after a bitstream has been flashed
  std::string new_firmware = "7.15";  // reported after a firmware has been flashed
  int hardware_type = 1;
  std::optional<std::string> password;  // locks the device
  size_t fields = 12;                   // fields of the VERSION reply actually sent (0 to 12)
  Malformed malformed = Malformed::kNone;

  bool start_in_bootloader = false;
  bool silent = false;                  // answers nothing, ever
  bool wrong_menu_reply = false;        // "B" answers the other bitstream text, "F" a wrong one,
                                        // and neither starts a receive
  bool no_prompt_after_reboot = false;  // the boot window ignores SUB: reboots end in firmware
  bool flash_error = false;             // the flashing report has an "ERROR" line, the image
                                        // is not taken; the prompt follows a line later
  std::optional<size_t> reboot_during_upload;  // reboot after this many good blocks

  // Times of the device, in milliseconds; `slow` multiplies every one of them.
  uint32_t reboot_ms = 300;      // deaf and silent after "REBOOT"
  uint32_t boot_wait_ms = 1000;  // the boot window: long enough for a PC that sends SUB every
                                 // 50 ms to be caught even with a slow start
  uint32_t flash_line_ms = 200;  // between two lines of the flashing report
  // From the acknowledged EOT to the first report line. A sender may purge its input just
  // after the EOT is acknowledged (100 ms later is common), so the report must come later.
  uint32_t report_lead_ms = 1000;
  double slow = 1.0;
  // Between two "C" while waiting for an upload (protocol timing, not stretched by `slow`).
  uint32_t crc_interval_ms = XModemReceiver::kDefaultCrcIntervalMs;
};

enum class Mode {
  kFirmware,
  kRebooting,   // deaf and silent
  kBootWindow,  // the bootloader has started and listens for SUB
  kBootloader,  // at the menu
  kReceiving,   // XModem reception
  kFlashing,    // writing the image and sending the report; input ignored
};
const char* ModeName(Mode mode);

enum class ImageKind { kBitstream, kFirmware };
const char* ImageKindName(ImageKind kind);

struct ReceivedImage {
  ImageKind kind = ImageKind::kFirmware;
  // The data fields of every block in order: the file and the sender's 0x1A padding of the
  // last block, so always a multiple of 128 bytes.
  std::vector<uint8_t> data;
  size_t blocks = 0;
  bool flashed = false;  // false when the flashing failed (--flash-error)
  // The data without its trailing 0x1A bytes: the file exactly, when the file does not itself
  // end in 0x1A.
  std::vector<uint8_t> Unpadded() const;
};

// Calls out of the device, for logs and for the standalone program.
struct DeviceHooks {
  std::function<void(Mode)> on_mode;                   // after every change of mode
  std::function<void(const ReceivedImage&)> on_image;  // a complete upload, before flashing
  std::function<void(std::string_view)> on_note;       // one line on what the device does
};

class DeviceCore {
 public:
  // Longest firmware command line kept; longer lines are answered "ERROR" whole.
  static constexpr size_t kMaxLine = 256;
  // In the bootloader, how long a started "REBOOT" may take to be completed before its
  // characters count as menu choices: many character times at any line rate, much less than
  // a PC waits for a reply.
  static constexpr uint32_t kCommandGapMs = 100;

  DeviceCore(DeviceLink& link, DeviceConfig config);
  DeviceCore(const DeviceCore&) = delete;
  DeviceCore& operator=(const DeviceCore&) = delete;

  void SetHooks(DeviceHooks hooks) { hooks_ = std::move(hooks); }
  // Bytes from the PC.
  void OnBytes(const uint8_t* data, size_t n);

  // The reply to "VERSION" as it would be sent now, malformations included.
  std::string VersionReply() const;

  // --- observation ---
  Mode mode() const { return mode_; }
  int reboots() const { return reboots_; }
  // Firmware lines without their line end, and bootloader commands ("V", "B", "F",
  // "REBOOT"), in the order they were taken. SUB is not listed: see sub_count().
  const std::vector<std::string>& commands() const { return commands_; }
  size_t sub_count() const { return sub_count_; }
  const std::vector<std::string>& passwords_tried() const { return passwords_tried_; }
  const std::vector<ReceivedImage>& images() const { return images_; }
  bool unlocked() const { return unlocked_; }
  const std::string& hardware_version() const { return hardware_; }
  const std::string& firmware_version() const { return firmware_; }
  // Counters of the present or last XModem receive.
  const ReceiveStats& receive_stats() const { return receiver_.stats(); }
  const DeviceConfig& config() const { return config_; }

 private:
  enum Slot : size_t { kModeTimer, kReportTimer, kMenuGapTimer, kSlotCount };

  uint32_t Scaled(uint32_t ms) const;
  void SetMode(Mode mode);
  void Note(std::string_view text);
  void Send(std::string_view text);

  void FirmwareByte(uint8_t b);
  void FirmwareLine(const std::string& line);
  void Reboot();
  void StartFirmware();
  void EnterBootloader();

  void BootloaderBytes(const uint8_t* data, size_t n);
  void DrainMenu(bool timed_out);
  void MenuChoice(uint8_t c);
  void StartReceive(ImageKind kind);
  void ReceiveDone(ImageKind kind, ReceiveResult result);
  void SendReport(std::vector<std::string> lines, bool prompt_apart);

  DeviceLink& link_;
  DeviceConfig config_;
  DeviceHooks hooks_;
  Timers<kSlotCount> timers_;
  XModemReceiver receiver_;

  Mode mode_ = Mode::kFirmware;
  bool reached_by_reboot_ = false;  // how the bootloader was entered
  bool unlocked_ = false;
  std::string hardware_;
  std::string firmware_;
  std::string line_;  // firmware command being collected
  bool line_too_long_ = false;
  std::string menu_buf_;  // bootloader input that may be the start of "REBOOT"

  int reboots_ = 0;
  size_t sub_count_ = 0;
  std::vector<std::string> commands_;
  std::vector<std::string> passwords_tried_;
  std::vector<ReceivedImage> images_;
};

}  // namespace trasmod
