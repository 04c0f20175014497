// chanfold-xfer: sends or receives files over a serial port with the Chanfold control, the way
// sz/rz do with their protocols.
//
//   chanfold-xfer send|receive --port PORT --protocol xmodem|xmodem-crc|xmodem-1k|ymodem|
//                 ymodem-g|zmodem|kermit [--baud N] [--dir DIR] [--dst NAME] [--timeout MS]
//                 [--timeouts N] [-q] [FILE...]
//
// The control's errors and warnings go to stderr as they come, with a progress line unless -q.
// The exit status is 0 only when the transfer ended with FinishTransfer: 1 when it was aborted
// or refused, 2 for a usage error, 3 when the port could not be opened.
#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "platform/services.h"
#include "serialctl/chanfold_ctrl.h"

namespace {

using chanfold::ChanfoldCtrl;

std::u16string Wide(const std::string& s) {
  std::u16string out;
  for (unsigned char c : s) out.push_back(c);
  return out;
}

std::string Narrow(const std::u16string& s) {
  std::string out;
  for (char16_t c : s) out.push_back(c < 0x100 ? static_cast<char>(c) : '?');
  return out;
}

class Reporter : public chanfold::ChanfoldEvents {
 public:
  Reporter(ChanfoldCtrl& ctrl, platform::EventLoop& loop, bool quiet)
      : ctrl_(ctrl), loop_(loop), quiet_(quiet) {}

  void HasError(const std::u16string& m) override { Line("error: " + Narrow(m)); }
  void HasWarning(const std::u16string& m) override { Line("warning: " + Narrow(m)); }
  void StartFile(const std::u16string& f) override {
    file_start_ = std::chrono::steady_clock::now();
    Line("file: " + Narrow(f));
  }
  void OneBlockDone() override { Progress(false); }
  void FinishFile(const std::u16string& f) override {
    Progress(true);
    Line("done: " + Narrow(f));
  }
  void FinishTransfer() override { End(true); }
  void AbortTransfer() override {
    // A refused second start also raises AbortTransfer; only the end of our own transfer counts.
    if (ended_) return;
    End(false);
  }

  bool ended() const { return ended_; }
  bool finished() const { return finished_; }

 private:
  void End(bool finished) {
    ended_ = true;
    finished_ = finished;
    loop_.Quit();
  }

  void Line(const std::string& text) {
    if (progress_shown_) std::fputc('\n', stderr);
    progress_shown_ = false;
    std::fprintf(stderr, "%s\n", text.c_str());
  }

  void Progress(bool force) {
    if (quiet_) return;
    const auto now = std::chrono::steady_clock::now();
    // The terminal is not redrawn for every block: ten times a second is enough to follow.
    if (!force && now - last_progress_ < std::chrono::milliseconds(100)) return;
    last_progress_ = now;
    const double secs = std::chrono::duration<double>(now - file_start_).count();
    const int32_t bytes = ctrl_.get_XferCurrBytes();
    const int32_t size = ctrl_.get_XferCurrFileSize();
    std::string pct = size > 0 ? std::to_string(static_cast<int64_t>(bytes) * 100 / size) + "%"
                               : std::string("?%");
    const double rate = secs > 0 ? bytes / secs : 0;
    std::fprintf(stderr, "\r%s  %d bytes  %s  %.0f bytes/s   ",
                 Narrow(ctrl_.get_XferCurrFileName()).c_str(), bytes, pct.c_str(), rate);
    progress_shown_ = true;
  }

  ChanfoldCtrl& ctrl_;
  platform::EventLoop& loop_;
  bool quiet_;
  bool ended_ = false;
  bool finished_ = false;
  bool progress_shown_ = false;
  std::chrono::steady_clock::time_point file_start_ = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point last_progress_{};
};

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Send or receive files over a serial port with the Chanfold control"};
  std::string direction, port, protocol_name, dir, dst;
  int32_t baud = 115200;
  int32_t timeout_ms = 0;
  int timeouts = 0;
  bool quiet = false;
  bool verbose = false;
  std::vector<std::string> files;
  app.add_option("direction", direction, "send or receive")
      ->required()
      ->check(CLI::IsMember({"send", "receive"}));
  app.add_option("--port", port, "device path (/dev/ttyUSB0) or COM name (COM3)")->required();
  const std::map<std::string, chanfold::ProtocolType> protocols{
      {"xmodem", chanfold::pXModemChecksum}, {"xmodem-crc", chanfold::pXModemCRC},
      {"xmodem-1k", chanfold::pXModem1K},    {"ymodem", chanfold::pYModem},
      {"ymodem-g", chanfold::pYModemG},      {"zmodem", chanfold::pZModem},
      {"kermit", chanfold::pKermit}};
  app.add_option("--protocol", protocol_name, "transfer protocol")
      ->required()
      ->check(CLI::IsMember(
          {"xmodem", "xmodem-crc", "xmodem-1k", "ymodem", "ymodem-g", "zmodem", "kermit"}));
  app.add_option("--baud", baud, "line rate in bit/s (default 115200)");
  app.add_option("--dir", dir, "work folder (default: the current folder)");
  app.add_option("--dst", dst, "XModem receive: name of the file to write");
  app.add_option("--timeout", timeout_ms, "time-out interval in ms (at least 1000)");
  app.add_option("--timeouts", timeouts, "time-outs (and data errors) allowed");
  app.add_flag("-q,--quiet", quiet, "no progress line");
  app.add_flag("-v,--verbose", verbose, "log the engine's states and decisions");
  app.add_option("files", files, "files to send, by name inside the work folder");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : 2;
  }
  const bool sending = direction == "send";
  if (sending && files.empty()) {
    std::fprintf(stderr, "chanfold-xfer: send needs at least one file\n");
    return 2;
  }
  if (dir.empty()) dir = std::filesystem::current_path().string();

  platform::Services& services = platform::HostServices();
  ChanfoldCtrl ctrl(services);
  Reporter reporter(ctrl, *services.loop, quiet);
  ctrl.SetEventSink(&reporter);
  if (verbose) {
    ctrl.xfer_trace_ = [](const std::string& line) {
      std::fprintf(stderr, "trace: %s\n", line.c_str());
    };
  }
  // Settings first: the protocol decides how XferAddFile counts the list.
  ctrl.put_Port(Wide(port));
  ctrl.put_BaudRate(baud);
  ctrl.put_XferProtocol(protocols.at(protocol_name));
  ctrl.put_XferMode(sending ? chanfold::aUpload : chanfold::aDownload);
  ctrl.put_XferWorkDir(Wide(dir));
  if (timeout_ms > 0) ctrl.put_XferTimeoutInterval(timeout_ms);
  if (timeouts > 0) ctrl.put_XferTimeoutsAllowed(static_cast<int16_t>(timeouts));
  ctrl.XferClearAllFiles();
  for (const std::string& f : files) {
    if (chanfold::Failed(ctrl.XferAddFile(Wide(f)))) {
      std::fprintf(stderr, "chanfold-xfer: too many files\n");
      return 2;
    }
  }
  // XModem takes one file only; the control has said so already.
  if (ctrl.file_count_ != static_cast<int32_t>(files.size())) return 2;
  ctrl.XferSetDstFile(Wide(dst));

  ctrl.put_PortOpen(chanfold::kVTrue);
  if (ctrl.get_Connected() != chanfold::kVTrue) {
    std::fprintf(stderr, "chanfold-xfer: can not open %s\n", port.c_str());
    return 3;
  }
  ctrl.put_XferStart(chanfold::kVTrue);
  if (!reporter.ended()) services.loop->Run();
  ctrl.put_PortOpen(chanfold::kVFalse);
  if (!quiet)
    std::fprintf(stderr, "%s\n", reporter.finished() ? "transfer complete" : "transfer aborted");
  return reporter.finished() ? 0 : 1;
}
