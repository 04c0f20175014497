// trasmod-sim: the simulated transmodulator on a pty or a serial port, in real time.
//
// With --pty it prints "PTY <slave path>" as its first line on stdout. It runs until SIGTERM
// or SIGINT, or with --exit-after-update until the device has started a freshly flashed
// firmware.

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <map>
#include <string>

#include "tools/trasmod-sim/device_core.h"
#include "tools/trasmod-sim/posix_link.h"

namespace trasmod {
namespace {

// Bytes taken from the line per read: one XModem-1K block and then some; the read is bounded
// by this buffer.
constexpr size_t kReadBuffer = 4096;
// Characters of data shown per --log line.
constexpr size_t kLogChars = 96;

volatile sig_atomic_t g_stop = 0;
void OnSignal(int) {
  g_stop = 1;
}

struct Options {
  std::string port;
  bool pty = false;
  uint32_t baud = 57600;
  std::string password;
  std::string malformed = "none";
  std::string save_dir;
  size_t reboot_during_upload = 0;
  bool log = false;
  bool exit_after_update = false;
};

bool SaveFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

int Run(int argc, char** argv) {
  Options opt;
  DeviceConfig config;
  CLI::App app{"Simulated transmodulator: firmware commands, bootloader, XModem-1K reception"};
  auto* port_opt = app.add_option("--port", opt.port, "Serial device or pty slave to open");
  auto* pty_opt = app.add_flag("--pty", opt.pty, "Create a pty and print 'PTY <slave path>'");
  port_opt->excludes(pty_opt);
  app.add_option("--baud", opt.baud, "Line rate for --port")->capture_default_str();
  app.add_option("--vendor", config.vendor, "Field 0 of the VERSION reply")->capture_default_str();
  app.add_option("--hardware", config.hardware, "Hardware version")->capture_default_str();
  app.add_option("--firmware", config.firmware, "Firmware version")->capture_default_str();
  app.add_option("--new-hardware", config.new_hardware, "Hardware version after a bitstream")
      ->capture_default_str();
  app.add_option("--new-firmware", config.new_firmware, "Firmware version after a firmware")
      ->capture_default_str();
  app.add_option("--hardware-type", config.hardware_type, "Field 11 of the VERSION reply")
      ->capture_default_str();
  auto* password_opt =
      app.add_option("--password", opt.password, "Lock the device with this password");
  app.add_option("--fields", config.fields, "Send only the first N fields of VERSION")
      ->check(CLI::Range(0, 12))
      ->capture_default_str();
  std::string kinds;
  for (std::string_view name : MalformedNames())
    kinds += std::string(kinds.empty() ? "" : ", ") + std::string(name);
  app.add_option("--malformed", opt.malformed, "Spoil the VERSION reply: " + kinds)
      ->check([](const std::string& s) {
        return ParseMalformed(s) ? std::string() : "unknown kind " + s;
      });
  app.add_flag("--bootloader", config.start_in_bootloader, "Start in the bootloader");
  app.add_flag("--silent", config.silent, "Answer nothing");
  app.add_flag("--wrong-menu-reply", config.wrong_menu_reply,
               "Answer B and F with the wrong text and start no upload");
  app.add_flag("--no-prompt-after-reboot", config.no_prompt_after_reboot,
               "Ignore SUB after a reboot: always start the firmware");
  app.add_flag("--flash-error", config.flash_error, "Report ERROR while flashing");
  auto* glitch_opt = app.add_option("--reboot-during-upload", opt.reboot_during_upload,
                                    "Reboot after N good blocks");
  app.add_option("--slow", config.slow, "Stretch every device delay by this factor")
      ->check(CLI::PositiveNumber)
      ->capture_default_str();
  app.add_option("--reboot-ms", config.reboot_ms, "Silent time of a reboot")->capture_default_str();
  app.add_option("--boot-wait-ms", config.boot_wait_ms, "Boot window that listens for SUB")
      ->capture_default_str();
  app.add_option("--flash-line-ms", config.flash_line_ms, "Time between flashing report lines")
      ->capture_default_str();
  app.add_option("--report-lead-ms", config.report_lead_ms,
                 "Time from the acknowledged EOT to the first report line")
      ->capture_default_str();
  app.add_option("--c-interval-ms", config.crc_interval_ms,
                 "Time between two 'C' while waiting for an upload")
      ->check(CLI::Range(1u, 60000u))
      ->capture_default_str();
  app.add_option("--save-dir", opt.save_dir,
                 "Save each image as <kind>-<n>.xmodem (as received) and <kind>-<n>.bin "
                 "(trailing 0x1A removed)")
      ->check(CLI::ExistingDirectory);
  app.add_flag("--log", opt.log, "Show what is received and sent on stderr");
  app.add_flag("--exit-after-update", opt.exit_after_update,
               "Exit once a newly flashed firmware has started");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  }
  if (opt.port.empty() && !opt.pty) {
    std::fprintf(stderr, "trasmod-sim: give --port PATH or --pty\n");
    return 2;
  }
  if (password_opt->count() > 0) config.password = opt.password;
  if (glitch_opt->count() > 0) config.reboot_during_upload = opt.reboot_during_upload;
  config.malformed = *ParseMalformed(opt.malformed);

  Pty pty;
  int fd = -1;
  std::string error;
  if (opt.pty) {
    if (!OpenPty(&pty, &error)) {
      std::fprintf(stderr, "trasmod-sim: %s\n", error.c_str());
      return 1;
    }
    fd = pty.master;
    std::printf("PTY %s\n", pty.slave_path.c_str());
    std::fflush(stdout);
  } else {
    fd = OpenSerial(opt.port, opt.baud, &error);
    if (fd < 0) {
      std::fprintf(stderr, "trasmod-sim: %s\n", error.c_str());
      return 1;
    }
  }

  PosixLink link(fd);
  const uint64_t start_ms = link.NowMs();
  auto stamp = [&] { return static_cast<double>(link.NowMs() - start_ms) / 1000.0; };
  if (opt.log) {
    link.set_logger([&](const char* what, const uint8_t* data, size_t n) {
      std::fprintf(stderr, "trasmod-sim: %9.3f %s %zu \"%s\"\n", stamp(), what, n,
                   Printable(data, n, kLogChars).c_str());
    });
  }

  DeviceCore core(link, config);
  std::map<ImageKind, int> saved;
  bool firmware_flashed = false;
  bool done = false;
  DeviceHooks hooks;
  hooks.on_note = [&](std::string_view note) {
    if (opt.log) {
      std::fprintf(stderr, "trasmod-sim: %9.3f -- %.*s\n", stamp(), static_cast<int>(note.size()),
                   note.data());
    }
  };
  hooks.on_image = [&](const ReceivedImage& image) {
    if (image.kind == ImageKind::kFirmware && image.flashed) firmware_flashed = true;
    if (opt.save_dir.empty()) return;
    std::string base =
        opt.save_dir + "/" + ImageKindName(image.kind) + "-" + std::to_string(++saved[image.kind]);
    if (!SaveFile(base + ".xmodem", image.data) || !SaveFile(base + ".bin", image.Unpadded())) {
      std::fprintf(stderr, "trasmod-sim: cannot save %s\n", base.c_str());
    }
  };
  hooks.on_mode = [&](Mode mode) {
    if (opt.log) std::fprintf(stderr, "trasmod-sim: %9.3f -- mode %s\n", stamp(), ModeName(mode));
    if (opt.exit_after_update && mode == Mode::kFirmware && firmware_flashed) done = true;
  };
  core.SetHooks(hooks);

  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  // The signals are blocked except inside ppoll, so one that comes between two waits is not
  // missed.
  sigset_t block, wait_mask;
  sigemptyset(&block);
  sigaddset(&block, SIGINT);
  sigaddset(&block, SIGTERM);
  sigprocmask(SIG_BLOCK, &block, &wait_mask);
  sigdelset(&wait_mask, SIGINT);
  sigdelset(&wait_mask, SIGTERM);

  std::vector<uint8_t> buf(kReadBuffer);
  int status = 0;
  while (!g_stop && !done) {
    int wait = link.RunDue();
    if (done) break;
    pollfd p{fd, POLLIN, 0};
    timespec ts{};
    timespec* tsp = nullptr;
    if (wait >= 0) {
      ts.tv_sec = wait / 1000;
      ts.tv_nsec = static_cast<long>(wait % 1000) * 1000000;
      tsp = &ts;
    }
    int r = ppoll(&p, 1, tsp, &wait_mask);
    if (r < 0) {
      if (errno == EINTR) continue;
      std::perror("trasmod-sim: ppoll");
      status = 1;
      break;
    }
    if (r == 0) continue;
    if (p.revents & POLLIN) {
      ssize_t n = read(fd, buf.data(), buf.size());
      if (n > 0) {
        if (opt.log) {
          std::fprintf(stderr, "trasmod-sim: %9.3f rx %zd \"%s\"\n", stamp(), n,
                       Printable(buf.data(), static_cast<size_t>(n), kLogChars).c_str());
        }
        core.OnBytes(buf.data(), static_cast<size_t>(n));
        continue;
      }
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    }
    if (p.revents & (POLLHUP | POLLERR | POLLNVAL | POLLIN)) {
      // A serial adapter that went away; a pty cannot hang up while we hold its slave.
      std::fprintf(stderr, "trasmod-sim: the line is gone\n");
      status = 1;
      break;
    }
  }
  if (pty.slave >= 0) close(pty.slave);
  close(fd);
  return status;
}

}  // namespace
}  // namespace trasmod

int main(int argc, char** argv) {
  return trasmod::Run(argc, argv);
}
