#include "tools/trasmod-sim/device_core.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>

namespace trasmod {
namespace {

constexpr std::string_view kRebootCommand = "REBOOT";
constexpr std::string_view kVerifyCommand = "VERIFYPASSWORD ";

struct MalformedEntry {
  Malformed kind;
  std::string_view name;
};
constexpr std::array<MalformedEntry, 15> kMalformedNames = {{
    {Malformed::kNone, "none"},
    {Malformed::kNul, "nul"},
    {Malformed::kNulVendor, "nul-vendor"},
    {Malformed::kHighBit, "high-bit"},
    {Malformed::kShort, "short"},
    {Malformed::kNonNumericHardware, "non-numeric-hardware"},
    {Malformed::kNonNumericFirmware, "non-numeric-firmware"},
    {Malformed::kTypeAbove255, "type-above-255"},
    {Malformed::kTypeNonNumeric, "type-non-numeric"},
    {Malformed::kEmpty, "empty"},
    {Malformed::kLeadOnly, "lead-only"},
    {Malformed::kNoReply, "no-reply"},
    {Malformed::kLong, "long"},
    {Malformed::kVendorCase, "vendor-case"},
    {Malformed::kPadded, "padded"},
}};

// The same letters in the other case: all capitals, or all small for a text that is all
// capitals already. "Zandor Ltd" becomes "ZANDOR LTD".
std::string OtherCase(std::string s) {
  std::string upper = s;
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  if (upper != s) return upper;
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

}  // namespace

std::optional<Malformed> ParseMalformed(std::string_view name) {
  for (const auto& entry : kMalformedNames) {
    if (entry.name == name) return entry.kind;
  }
  return std::nullopt;
}

std::string_view MalformedName(Malformed kind) {
  for (const auto& entry : kMalformedNames) {
    if (entry.kind == kind) return entry.name;
  }
  return "?";
}

std::vector<std::string_view> MalformedNames() {
  std::vector<std::string_view> names;
  for (const auto& entry : kMalformedNames) names.push_back(entry.name);
  return names;
}

const char* ModeName(Mode mode) {
  switch (mode) {
    case Mode::kFirmware:
      return "firmware";
    case Mode::kRebooting:
      return "rebooting";
    case Mode::kBootWindow:
      return "boot window";
    case Mode::kBootloader:
      return "bootloader";
    case Mode::kReceiving:
      return "receiving";
    case Mode::kFlashing:
      return "flashing";
  }
  return "?";
}

const char* ImageKindName(ImageKind kind) {
  return kind == ImageKind::kBitstream ? "bitstream" : "firmware";
}

std::vector<uint8_t> ReceivedImage::Unpadded() const {
  size_t n = data.size();
  while (n > 0 && data[n - 1] == kSub) --n;
  return std::vector<uint8_t>(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(n));
}

DeviceCore::DeviceCore(DeviceLink& link, DeviceConfig config)
    : link_(link),
      config_(std::move(config)),
      timers_(link),
      receiver_(link, config_.crc_interval_ms),
      hardware_(config_.hardware),
      firmware_(config_.firmware) {
  if (config_.start_in_bootloader) {
    mode_ = Mode::kBootloader;
    reached_by_reboot_ = false;
  }
}

uint32_t DeviceCore::Scaled(uint32_t ms) const {
  double scaled = std::round(static_cast<double>(ms) * config_.slow);
  if (scaled < 0) return 0;
  if (scaled > 4.0e9) return 4000000000u;  // bounded: a day-long delay is as good as forever
  return static_cast<uint32_t>(scaled);
}

void DeviceCore::SetMode(Mode mode) {
  if (mode == mode_) return;
  mode_ = mode;
  if (hooks_.on_mode) hooks_.on_mode(mode);
}

void DeviceCore::Note(std::string_view text) {
  if (hooks_.on_note) hooks_.on_note(text);
}

void DeviceCore::Send(std::string_view text) {
  if (text.empty()) return;
  link_.Send(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

void DeviceCore::OnBytes(const uint8_t* data, size_t n) {
  if (config_.silent || n == 0) return;
  switch (mode_) {
    case Mode::kFirmware:
      for (size_t i = 0; i < n && mode_ == Mode::kFirmware; ++i) FirmwareByte(data[i]);
      return;
    case Mode::kRebooting:
    case Mode::kFlashing:
      return;
    case Mode::kBootWindow:
      for (size_t i = 0; i < n; ++i) {
        if (data[i] == kSub && !config_.no_prompt_after_reboot) {
          ++sub_count_;
          reached_by_reboot_ = true;
          EnterBootloader();
          Send(kPrompt);
          // What came after the SUB in the same piece is for the bootloader.
          if (i + 1 < n) BootloaderBytes(data + i + 1, n - i - 1);
          return;
        }
      }
      return;
    case Mode::kBootloader:
      BootloaderBytes(data, n);
      return;
    case Mode::kReceiving:
      receiver_.OnBytes(data, n);
      return;
  }
}

// ---------------------------------------------------------------------------------------------
// Firmware

void DeviceCore::FirmwareByte(uint8_t b) {
  if (b == '\r' || b == '\n') {
    if (line_too_long_) {
      line_too_long_ = false;
      line_.clear();
      Note("command line too long");
      Send("ERROR\r\n");
      return;
    }
    if (line_.empty()) return;  // the LF of a CR LF, or an empty line
    std::string line = std::move(line_);
    line_.clear();
    FirmwareLine(line);
    return;
  }
  if (b < 0x20 || b == 0x7F) return;  // control characters (the SUBs of a bootloader wait)
  if (line_.size() >= kMaxLine) {
    line_too_long_ = true;
    return;
  }
  line_.push_back(static_cast<char>(b));
}

void DeviceCore::FirmwareLine(const std::string& line) {
  commands_.push_back(line);
  Note("command " + line);
  if (line == "V") {
    Send("ERROR\r\n");
  } else if (line == "VERSION") {
    if (config_.malformed != Malformed::kNoReply) Send(VersionReply());
  } else if (line.rfind(kVerifyCommand, 0) == 0 || line == "VERIFYPASSWORD") {
    std::string tried =
        line.size() > kVerifyCommand.size() ? line.substr(kVerifyCommand.size()) : std::string();
    passwords_tried_.push_back(tried);
    if (!config_.password || tried == *config_.password) {
      unlocked_ = true;
      Send("OK\r\n");
    } else {
      Send("DENIED\r\n");
    }
  } else if (line == kRebootCommand) {
    if (config_.password && !unlocked_) {
      Note("reboot refused: locked");
      Send("ERROR\r\n");
      return;
    }
    Send("REBOOTING\r\n");
    Reboot();
  } else {
    Send("ERROR\r\n");
  }
}

std::string DeviceCore::VersionReply() const {
  std::vector<std::string> fields = {config_.vendor,
                                     hardware_,
                                     firmware_,
                                     "0000",
                                     "0",
                                     "0",
                                     "0",
                                     "0",
                                     "0",
                                     config_.password ? "SECUREACCESS" : "OPENACCESS",
                                     "0",
                                     std::to_string(config_.hardware_type)};
  switch (config_.malformed) {
    case Malformed::kNone:
    case Malformed::kNoReply:
      break;
    case Malformed::kNul:
      fields[3] = std::string(4, '\0');
      break;
    case Malformed::kNulVendor:
      for (char& c : fields[0]) {
        if (c == ' ') c = '\0';
      }
      break;
    case Malformed::kHighBit:
      fields[3] = "\x80\xC9\xE8\xFF";
      break;
    case Malformed::kShort:
      fields.resize(2);
      break;
    case Malformed::kNonNumericHardware:
      fields[1] = "seven";
      break;
    case Malformed::kNonNumericFirmware:
      fields[2] = "7.x5";
      break;
    case Malformed::kTypeAbove255:
      fields[11] = "256";
      break;
    case Malformed::kTypeNonNumeric:
      fields[11] = "one";
      break;
    case Malformed::kEmpty:
      return "\r\n";
    case Malformed::kLeadOnly:
      return std::string(kVersionLead);
    case Malformed::kLong:
      fields[3] = std::string(5000, 'X');
      break;
    case Malformed::kVendorCase:
      fields[0] = OtherCase(fields[0]);
      break;
    case Malformed::kPadded:
      fields[0] = " \r\n " + fields[0] + " \r\n";
      fields[9] = " \r\n" + fields[9] + "\r\n ";
      fields[11] = " " + fields[11] + " ";
      break;
  }
  if (fields.size() > config_.fields) fields.resize(config_.fields);
  std::string reply(kVersionLead);
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) reply += ',';
    reply += fields[i];
  }
  reply += "\r\n";
  return reply;
}

// ---------------------------------------------------------------------------------------------
// Reboot

void DeviceCore::Reboot() {
  ++reboots_;
  timers_.CancelAll();
  receiver_.Stop();
  line_.clear();
  line_too_long_ = false;
  menu_buf_.clear();
  unlocked_ = false;
  Note("reboot");
  SetMode(Mode::kRebooting);
  timers_.Arm(kModeTimer, Scaled(config_.reboot_ms), [this] {
    SetMode(Mode::kBootWindow);
    Send("\r\n" + config_.vendor + " bootloader 1.0\r\n");
    timers_.Arm(kModeTimer, Scaled(config_.boot_wait_ms), [this] { StartFirmware(); });
  });
}

void DeviceCore::StartFirmware() {
  Note("firmware " + firmware_ + " started");
  SetMode(Mode::kFirmware);
}

void DeviceCore::EnterBootloader() {
  timers_.Cancel(kModeTimer);
  Note(reached_by_reboot_ ? "bootloader caught after reboot" : "bootloader");
  SetMode(Mode::kBootloader);
}

// ---------------------------------------------------------------------------------------------
// Bootloader

void DeviceCore::BootloaderBytes(const uint8_t* data, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (mode_ != Mode::kBootloader) {
      OnBytes(data + i, n - i);  // a choice started a receive: the rest is for it
      return;
    }
    menu_buf_.push_back(static_cast<char>(data[i]));
    DrainMenu(false);
  }
}

// Takes the menu choices out of menu_buf_. A buffer that may still become "REBOOT" + CR or LF
// is kept, for at most kCommandGapMs; when that runs out its characters are choices.
void DeviceCore::DrainMenu(bool timed_out) {
  static constexpr std::string_view kRebootLine = "REBOOT\r";
  while (!menu_buf_.empty() && mode_ == Mode::kBootloader) {
    if (menu_buf_ == "REBOOT\r" || menu_buf_ == "REBOOT\n") {
      menu_buf_.clear();
      timers_.Cancel(kMenuGapTimer);
      commands_.emplace_back(kRebootCommand);
      Send("\r\nREBOOTING\r\n");
      Reboot();
      return;
    }
    if (menu_buf_[0] == 'R') {
      if (timed_out) {  // an unfinished "REBOOT": dropped, its letters are no choices
        menu_buf_.clear();
        break;
      }
      if (kRebootLine.substr(0, menu_buf_.size()) == menu_buf_) {
        timers_.Arm(kMenuGapTimer, kCommandGapMs, [this] { DrainMenu(true); });
        return;
      }
      // Not "REBOOT" after all: drop what was taken for it and look at the newest character
      // on its own (the buffer only ever holds a prefix and one character more).
      menu_buf_.erase(0, menu_buf_.size() - 1);
      continue;
    }
    uint8_t c = static_cast<uint8_t>(menu_buf_[0]);
    menu_buf_.erase(0, 1);
    MenuChoice(c);
  }
  if (menu_buf_.empty()) timers_.Cancel(kMenuGapTimer);
  if (mode_ != Mode::kBootloader && !menu_buf_.empty()) {
    std::string rest = std::move(menu_buf_);
    menu_buf_.clear();
    OnBytes(reinterpret_cast<const uint8_t*>(rest.data()), rest.size());
  }
}

void DeviceCore::MenuChoice(uint8_t c) {
  switch (c) {
    case kSub:
      ++sub_count_;
      Send(kPrompt);
      return;
    case 'V':
      commands_.emplace_back("V");
      Send("\r\n" + config_.vendor + " bootloader 1.0\r\n" + std::string(kHardwareLabel) +
           (hardware_ + "     ").substr(0, std::max<size_t>(5, hardware_.size())) + "\r\n" +
           std::string(kPrompt));
      return;
    case 'B':
    case 'F': {
      commands_.emplace_back(1, static_cast<char>(c));
      const bool bitstream = c == 'B';
      std::string_view right = !bitstream           ? kFirmwareChoice
                               : reached_by_reboot_ ? kBitstreamChoiceRebooted
                                                    : kBitstreamChoiceResident;
      if (config_.wrong_menu_reply) {
        std::string_view wrong = !bitstream           ? kWrongFirmwareChoice
                                 : reached_by_reboot_ ? kBitstreamChoiceResident
                                                      : kBitstreamChoiceRebooted;
        Note("wrong menu reply");
        Send("\r\n" + std::string(wrong) + "\r\n" + std::string(kPrompt));
        return;
      }
      Send("\r\n" + std::string(right) + "\r\nWaiting for XModem-1K upload ...\r\n");
      StartReceive(bitstream ? ImageKind::kBitstream : ImageKind::kFirmware);
      return;
    }
    default:
      return;  // CR, LF and unknown choices
  }
}

void DeviceCore::StartReceive(ImageKind kind) {
  Note(std::string("receiving ") + ImageKindName(kind));
  SetMode(Mode::kReceiving);
  receiver_.Start(
      [this, kind](ReceiveResult result) { ReceiveDone(kind, std::move(result)); },
      [this](size_t good_blocks) {
        if (config_.reboot_during_upload && good_blocks >= *config_.reboot_during_upload) {
          Note("power glitch during the upload");
          Reboot();
        }
      });
}

void DeviceCore::ReceiveDone(ImageKind kind, ReceiveResult result) {
  const char* name = ImageKindName(kind);
  Note(std::string("receive of ") + name + " " + ReceiveOutcomeName(result.outcome) +
       (result.reason.empty() ? "" : ": " + result.reason));
  if (result.outcome != ReceiveOutcome::kComplete || result.blocks == 0) {
    SetMode(Mode::kBootloader);
    std::string why = result.outcome == ReceiveOutcome::kCancelled ? "Upload cancelled"
                      : result.outcome == ReceiveOutcome::kNoStart ? "ERROR: no upload"
                      : result.outcome == ReceiveOutcome::kFailed  ? "ERROR: upload failed"
                                                                   : "ERROR: empty upload";
    timers_.Arm(kReportTimer, Scaled(config_.report_lead_ms),
                [this, why] { Send("\r\n" + why + "\r\n" + std::string(kPrompt)); });
    return;
  }

  ReceivedImage image;
  image.kind = kind;
  image.blocks = result.blocks;
  image.data = std::move(result.data);
  image.flashed = !config_.flash_error;
  images_.push_back(std::move(image));
  const ReceivedImage& stored = images_.back();
  if (hooks_.on_image) hooks_.on_image(stored);

  SetMode(Mode::kFlashing);
  const std::string what = kind == ImageKind::kBitstream ? "bitstream" : "firmware";
  std::vector<std::string> lines = {
      "Received " + std::to_string(stored.data.size()) + " bytes in " +
          std::to_string(stored.blocks) + " blocks",
      "Erasing " + what + " flash ...",
      "Programming " + what + " flash ...",
  };
  if (config_.flash_error) {
    lines.push_back("ERROR: " + what + " verify failed");
  } else {
    lines.push_back("Verifying " + what + " ...");
    lines.push_back(std::string(kind == ImageKind::kBitstream ? "Bitstream" : "Firmware") +
                    " programmed");
    if (kind == ImageKind::kBitstream) {
      hardware_ = config_.new_hardware;
    } else {
      firmware_ = config_.new_firmware;
    }
  }
  SendReport(std::move(lines), config_.flash_error);
}

// Sends one report line per flash-line time, the first after the report lead. The prompt goes
// with the last line, or (prompt_apart) a line time after it.
void DeviceCore::SendReport(std::vector<std::string> lines, bool prompt_apart) {
  auto shared = std::make_shared<std::vector<std::string>>(std::move(lines));
  auto step = std::make_shared<std::function<void(size_t)>>();
  std::weak_ptr<std::function<void(size_t)>> weak_step = step;
  *step = [this, shared, prompt_apart, weak_step](size_t i) {
    auto self = weak_step.lock();
    if (i == shared->size()) {  // only with prompt_apart
      Send(kPrompt);
      Note("flashing ended");
      SetMode(Mode::kBootloader);
      return;
    }
    std::string text = (*shared)[i] + "\r\n";
    const bool last = i + 1 == shared->size();
    if (last && !prompt_apart) {
      Send(text + std::string(kPrompt));
      Note("flashing ended");
      SetMode(Mode::kBootloader);
      return;
    }
    Send(text);
    timers_.Arm(kReportTimer, Scaled(config_.flash_line_ms), [self, i] { (*self)(i + 1); });
  };
  timers_.Arm(kReportTimer, Scaled(config_.report_lead_ms), [step] { (*step)(0); });
}

}  // namespace trasmod
