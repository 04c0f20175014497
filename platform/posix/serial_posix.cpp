// Serial devices on termios.
//
// Port names
// ----------
// The control opens "\\.\" + Port. The four-character prefix is removed, then:
//   - a name that contains '/' is a device path and is used as it is ("/dev/ttyUSB0";
//     "\\.\/dev/pts/7" when the Port property holds a path);
//   - "COMn" (letters in any case, n = 1, 2, ... without leading zeros, so COM10 works like
//     COM1) is looked up
//       1. in the environment variable CHANFOLD_COMn (upper case), which holds a device path;
//          set but empty, it hides the port;
//       2. otherwise as the n-th device of the default order below, unless the environment
//          variable CHANFOLD_COM_DEFAULTS is "0" (tests set that so that only the ports they
//          point somewhere exist);
//   - anything else is not a port, and Open fails.
//
// Default order (DefaultSerialDevices):
//   1. /dev/serial/by-id/* sorted by name: udev's links for USB adapters, named after maker,
//      model and serial number, so an adapter keeps its number when it is plugged into
//      another socket or other adapters come and go;
//   2. /dev/ttyUSB* and then /dev/ttyACM* in numeric order (ttyUSB2 before ttyUSB10), leaving
//      out the devices already listed through a by-id link (udev may be absent in a container);
//   3. /dev/ttyS* in numeric order, only those with a UART behind them (sysfs
//      class/tty/ttySn/type other than 0): the kernel makes these nodes whether or not the
//      hardware is there, and opening an empty one only fails.
//   The kernel console (sysfs class/tty/console/active) is never listed: a port scan must not
//   write its probes onto the system console.
// USB adapters come first because they are what a PC without a built-in port uses, and the
// updater scans only COM1 to COM16.
//
// Opening
// -------
// O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC; the device must be a tty (a regular file,
// directory or /dev/null is not a port). Exclusive: flock(LOCK_EX | LOCK_NB) keeps out every
// other opener through this service, in this process or another, root included; TIOCEXCL keeps
// out other programs that open the tty without CAP_SYS_ADMIN. The descriptor stays non-blocking
// and every wait is a poll() bounded by the caller's wait.
#include <dirent.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/posix/line_speed_linux.h"
#include "platform/posix/posix_backend.h"
#include "platform/serial.h"

namespace platform::posix {
namespace {

// ---- names ----

// The four characters backslash, backslash, full stop, backslash.
constexpr char kWin32DevicePrefix[] = "\\\\.\\";

// "COMn" with n >= 1 and no leading zero; returns n, or 0 when the name is no COM name.
unsigned ComNumber(const std::string& name) {
  if (name.size() < 4 || name.size() > 12) return 0;
  if ((name[0] | 0x20) != 'c' || (name[1] | 0x20) != 'o' || (name[2] | 0x20) != 'm') return 0;
  if (name[3] == '0') return 0;
  unsigned long n = 0;
  for (size_t i = 3; i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9') return 0;
    n = n * 10 + static_cast<unsigned>(name[i] - '0');
    if (n > UINT_MAX / 10) return 0;
  }
  return static_cast<unsigned>(n);
}

std::string ReadFirstLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  if (in) std::getline(in, line);
  return line;
}

std::string RealPath(const std::string& path) {
  char buf[PATH_MAX];
  if (realpath(path.c_str(), buf) == nullptr) return {};
  return buf;
}

std::string BaseName(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::vector<std::string> DirEntries(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return names;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] != '.') names.emplace_back(e->d_name);
  }
  closedir(d);
  return names;
}

// Entries "<prefix><digits>" of `names`, by number.
std::vector<std::string> NumberedNames(const std::vector<std::string>& names,
                                       const std::string& prefix) {
  std::vector<std::pair<unsigned long, std::string>> found;
  for (const std::string& n : names) {
    if (n.size() <= prefix.size() || n.compare(0, prefix.size(), prefix) != 0) continue;
    std::string digits = n.substr(prefix.size());
    if (digits.size() > 9 ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      continue;
    }
    found.emplace_back(std::stoul(digits), n);
  }
  std::sort(found.begin(), found.end());
  std::vector<std::string> out;
  for (auto& f : found) out.push_back(f.second);
  return out;
}

// ---- the device ----

int IoctlRetry(int fd, unsigned long request, void* arg) {
  int r;
  do {
    r = ioctl(fd, request, arg);
  } while (r < 0 && errno == EINTR);
  return r;
}

uint64_t MonotonicMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

// EV_RXCHAR .. EV_EVENT2: every event bit a Win32 comm mask may hold.
constexpr uint32_t kAllCommEvents = 0x1FFF;
// Queue sizes above this are refused, as a driver refuses to allocate them; it catches
// negative sizes of the control's 32-bit signed properties.
constexpr uint32_t kMaxQueueSize = 16u << 20;

// ClearCommError flags.
constexpr uint32_t kCeOverrun = 0x0002;
constexpr uint32_t kCeRxParity = 0x0004;
constexpr uint32_t kCeFrame = 0x0008;
constexpr uint32_t kCeBreak = 0x0010;

// The line as the control uses it: raw and binary (no echo, no line editing, no signals, no
// CR/NL translation, no output processing), local (DCD is not watched: a modem-less cable
// must not hang the port up), receiving, with no flow control, and reads that never wait
// inside the driver (VMIN 0, VTIME 0). A break is ignored: it would otherwise read as a NUL
// byte in the data, where Win32 reports it only as an error flag.
void MakeRawLine(termios* t) {
  t->c_iflag &= ~(BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | INPCK |
                  IMAXBEL | IUTF8);
  t->c_iflag |= IGNBRK;
  t->c_oflag &= ~OPOST;
  t->c_lflag &= ~(ECHO | ECHOE | ECHOK | ECHONL | ECHOCTL | ECHOKE | ICANON | ISIG | IEXTEN |
                  NOFLSH | TOSTOP);
  t->c_cflag &= ~CRTSCTS;
  t->c_cflag |= CREAD | CLOCAL;
  t->c_cc[VMIN] = 0;
  t->c_cc[VTIME] = 0;
}

class PosixSerialDevice : public SerialDevice {
 public:
  PosixSerialDevice(int fd, bool is_pty) : fd_(fd), is_pty_(is_pty) {
    // What GetCommState reports for the fields termios has no place for, until SetCommState
    // stores others: binary mode, DTR and RTS raised (Linux raises both when a tty opens), the
    // usual XON/XOFF limits of a 4 KiB driver queue.
    last_.flags = dcb::kBinary | (dcb::kControlEnable << dcb::kDtrControlShift) |
                  (dcb::kControlEnable << dcb::kRtsControlShift);
    last_.XonLim = 2048;
    last_.XoffLim = 512;
    serial_icounter_struct c{};
    have_counts_ = IoctlRetry(fd_, TIOCGICOUNT, &c) == 0;
    if (have_counts_) counts_ = c;
  }

  ~PosixSerialDevice() override {
    // TIOCEXCL stays on the tty as long as anyone holds it open; a pty's other side may hold
    // its slave for longer than we do, so give the exclusive mode back before closing.
    ioctl(fd_, TIOCNXCL);
    close(fd_);
  }

  bool GetCommState(Dcb* out) override {
    termios t{};
    uint32_t baud = 0;
    if (tcgetattr(fd_, &t) != 0 || !GetLineSpeed(fd_, &baud)) return false;
    Dcb d = last_;
    d.DCBlength = sizeof(Dcb);
    d.BaudRate = baud;
    d.flags |= dcb::kBinary;
    switch (t.c_cflag & CSIZE) {
      case CS5:
        d.ByteSize = 5;
        break;
      case CS6:
        d.ByteSize = 6;
        break;
      case CS7:
        d.ByteSize = 7;
        break;
      default:
        d.ByteSize = 8;
        break;
    }
    if (is_pty_) {
      // The pty driver forces CS8 and clears PARENB whatever it is told (there is no wire);
      // report the format that was asked for, as a null-modem cable would carry it.
      d.ByteSize = last_.ByteSize;
      d.Parity = last_.Parity;
    } else if ((t.c_cflag & PARENB) == 0) {
      d.Parity = 0;
    } else if (t.c_cflag & CMSPAR) {
      d.Parity = (t.c_cflag & PARODD) ? 3 : 4;  // stick parity: mark with PARODD, else space
    } else {
      d.Parity = (t.c_cflag & PARODD) ? 1 : 2;
    }
    if ((t.c_cflag & CSTOPB) == 0) {
      d.StopBits = 0;
    } else if (d.ByteSize == 5) {
      d.StopBits = last_.StopBits == 2 ? 2 : 1;  // CSTOPB with 5 bits is 1.5 on the wire
    } else {
      d.StopBits = 2;
    }
    d.flags &= ~(dcb::kOutxCtsFlow | dcb::kOutX | dcb::kInX);
    if (t.c_cflag & CRTSCTS) {
      d.flags |= dcb::kOutxCtsFlow;
      d.flags =
          (d.flags & ~dcb::kRtsControlMask) | (dcb::kControlHandshake << dcb::kRtsControlShift);
    } else if (dcb::RtsControl(d) == dcb::kControlHandshake) {
      d.flags = (d.flags & ~dcb::kRtsControlMask) | (dcb::kControlEnable << dcb::kRtsControlShift);
    }
    if (t.c_iflag & IXON) d.flags |= dcb::kOutX;
    if (t.c_iflag & IXOFF) d.flags |= dcb::kInX;
    d.XonChar = t.c_cc[VSTART];
    d.XoffChar = t.c_cc[VSTOP];
    // The modem lines as they are, where the device can tell (a pty cannot).
    int lines = 0;
    if (IoctlRetry(fd_, TIOCMGET, &lines) == 0) {
      if (dcb::DtrControl(d) != dcb::kControlHandshake) {
        uint32_t dtr = (lines & TIOCM_DTR) ? dcb::kControlEnable : dcb::kControlDisable;
        d.flags = (d.flags & ~dcb::kDtrControlMask) | (dtr << dcb::kDtrControlShift);
      }
      if (dcb::RtsControl(d) != dcb::kControlHandshake) {
        uint32_t rts = (lines & TIOCM_RTS) ? dcb::kControlEnable : dcb::kControlDisable;
        d.flags = (d.flags & ~dcb::kRtsControlMask) | (rts << dcb::kRtsControlShift);
      }
    }
    *out = d;
    return true;
  }

  // Fields with a termios meaning: BaudRate (any rate), ByteSize 5..8, Parity 0..4 (mark and
  // space through CMSPAR), StopBits (1.5 is sent as 2 unless ByteSize is 5, where the UART's
  // long stop bit is 1.5 for either), fOutxCtsFlow or RTS handshake (CRTSCTS, which does both
  // halves), fOutX/fInX (IXON/IXOFF with XonChar/XoffChar), fDtrControl/fRtsControl (the lines
  // raised or lowered; handshake and toggle raise them). The rest (fParity, fDsrSensitivity,
  // fOutxDsrFlow, fNull, fAbortOnError, XonLim, XoffLim, ErrorChar, EofChar, EvtChar) has no
  // termios counterpart: it is kept and reported back by GetCommState, and otherwise ignored.
  // The line is always raw (MakeRawLine). The block is checked before anything is applied, so
  // a refused block leaves the device as it was.
  bool SetCommState(const Dcb& d) override {
    if (d.BaudRate == 0 || d.ByteSize < 5 || d.ByteSize > 8 || d.Parity > 4 || d.StopBits > 2) {
      return false;
    }
    bool soft_flow = (d.flags & (dcb::kOutX | dcb::kInX)) != 0;
    // As a Win32 driver does: XON and XOFF must differ, or flow control could never resume.
    if (soft_flow && d.XonChar == d.XoffChar) return false;

    termios old{};
    if (tcgetattr(fd_, &old) != 0) return false;
    termios t = old;
    MakeRawLine(&t);
    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB);
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag |= kSizes[d.ByteSize - 5];
    switch (d.Parity) {
      case 1:
        t.c_cflag |= PARENB | PARODD;
        break;
      case 2:
        t.c_cflag |= PARENB;
        break;
      case 3:
        t.c_cflag |= PARENB | CMSPAR | PARODD;
        break;
      case 4:
        t.c_cflag |= PARENB | CMSPAR;
        break;
      default:
        break;
    }
    if (d.StopBits != 0) t.c_cflag |= CSTOPB;
    bool hard_flow =
        (d.flags & dcb::kOutxCtsFlow) != 0 || dcb::RtsControl(d) == dcb::kControlHandshake;
    if (hard_flow) t.c_cflag |= CRTSCTS;
    if (d.flags & dcb::kOutX) t.c_iflag |= IXON;
    if (d.flags & dcb::kInX) t.c_iflag |= IXOFF;
    t.c_cc[VSTART] = static_cast<cc_t>(d.XonChar);
    t.c_cc[VSTOP] = static_cast<cc_t>(d.XoffChar);

    if (tcsetattr(fd_, TCSANOW, &t) != 0) return false;
    // tcsetattr succeeds when the driver took any part of the change; a driver that cannot
    // make the character format (a USB adapter without 5 bits or mark parity, say) quietly
    // keeps another. Check the format, which would garble every byte if it were wrong. Not
    // on a pty: it always keeps CS8 without parity, and has no wire to garble.
    termios now{};
    constexpr tcflag_t kFormat = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;
    bool format_kept =
        is_pty_ || (tcgetattr(fd_, &now) == 0 && (now.c_cflag & kFormat) == (t.c_cflag & kFormat));
    if (!format_kept || !SetLineSpeed(fd_, d.BaudRate)) {
      tcsetattr(fd_, TCSANOW, &old);
      return false;
    }

    // The modem lines. A pty has none, so failures here are not failures of the call.
    int dtr = TIOCM_DTR;
    int rts = TIOCM_RTS;
    IoctlRetry(fd_, dcb::DtrControl(d) == dcb::kControlDisable ? TIOCMBIC : TIOCMBIS, &dtr);
    if (!hard_flow) {
      IoctlRetry(fd_, dcb::RtsControl(d) == dcb::kControlDisable ? TIOCMBIC : TIOCMBIS, &rts);
    } else {
      IoctlRetry(fd_, TIOCMBIS, &rts);
    }
    last_ = d;
    return true;
  }

  // The kernel sizes its own tty buffers; the sizes are checked and remembered only.
  bool SetupComm(uint32_t in_queue, uint32_t out_queue) override {
    if (in_queue > kMaxQueueSize || out_queue > kMaxQueueSize) return false;
    in_queue_size_ = in_queue;
    out_queue_size_ = out_queue;
    return true;
  }

  // Remembered only: nothing here waits for comm events.
  bool SetCommMask(uint32_t mask) override {
    if (mask & ~kAllCommEvents) return false;
    mask_ = mask;
    return true;
  }

  // The input count from FIONREAD. The error flags come from the driver's error counters
  // (TIOCGICOUNT) where it keeps them, as the change since the last call; a pty keeps none.
  bool ClearCommError(uint32_t* errors, uint32_t* in_queue) override {
    int count = 0;
    if (IoctlRetry(fd_, FIONREAD, &count) != 0) return false;
    uint32_t flags = 0;
    serial_icounter_struct c{};
    if (have_counts_ && IoctlRetry(fd_, TIOCGICOUNT, &c) == 0) {
      if (c.overrun != counts_.overrun || c.buf_overrun != counts_.buf_overrun) {
        flags |= kCeOverrun;
      }
      if (c.parity != counts_.parity) flags |= kCeRxParity;
      if (c.frame != counts_.frame) flags |= kCeFrame;
      if (c.brk != counts_.brk) flags |= kCeBreak;
      counts_ = c;
    }
    if (errors != nullptr) *errors = flags;
    if (in_queue != nullptr) *in_queue = static_cast<uint32_t>(count < 0 ? 0 : count);
    return true;
  }

  // Reads and writes never stay pending between calls, so the abort flags have nothing to
  // cancel; they flush like the clear flags, as a Win32 driver discards what it aborts.
  bool PurgeComm(uint32_t flags) override {
    if (flags & ~0x000Fu) return false;
    bool rx = (flags & (kPurgeRxAbort | kPurgeRxClear)) != 0;
    bool tx = (flags & (kPurgeTxAbort | kPurgeTxClear)) != 0;
    if (rx && tx) return tcflush(fd_, TCIOFLUSH) == 0;
    if (rx) return tcflush(fd_, TCIFLUSH) == 0;
    if (tx) return tcflush(fd_, TCOFLUSH) == 0;
    return true;
  }

  // Fails on a device without modem lines, a pty for one.
  bool GetCommModemStatus(uint32_t* status) override {
    int lines = 0;
    if (IoctlRetry(fd_, TIOCMGET, &lines) != 0) return false;
    uint32_t s = 0;
    if (lines & TIOCM_CTS) s |= kMsCtsOn;
    if (lines & TIOCM_DSR) s |= kMsDsrOn;
    if (lines & TIOCM_RNG) s |= kMsRingOn;
    if (lines & TIOCM_CAR) s |= kMsRlsdOn;
    *status = s;
    return true;
  }

  bool EscapeCommFunction(uint32_t func) override {
    int bits = 0;
    switch (func) {
      case kSetDtr:
        bits = TIOCM_DTR;
        return IoctlRetry(fd_, TIOCMBIS, &bits) == 0;
      case kClrDtr:
        bits = TIOCM_DTR;
        return IoctlRetry(fd_, TIOCMBIC, &bits) == 0;
      case kSetRts:
        bits = TIOCM_RTS;
        return IoctlRetry(fd_, TIOCMBIS, &bits) == 0;
      case kClrRts:
        bits = TIOCM_RTS;
        return IoctlRetry(fd_, TIOCMBIC, &bits) == 0;
      case kSetBreak:
        return IoctlRetry(fd_, TIOCSBRK, nullptr) == 0;
      case kClrBreak:
        return IoctlRetry(fd_, TIOCCBRK, nullptr) == 0;
      // Transmission acts as if XOFF (XON) had been received.
      case kSetXoff:
        return tcflow(fd_, TCOOFF) == 0;
      case kSetXon:
        return tcflow(fd_, TCOON) == 0;
      default:
        return false;
    }
  }

  IoStatus Read(uint8_t* buf, uint32_t n, uint32_t wait_ms, uint32_t* transferred) override {
    return Transfer(buf, nullptr, n, wait_ms, transferred);
  }

  IoStatus Write(const uint8_t* buf, uint32_t n, uint32_t wait_ms, uint32_t* transferred) override {
    return Transfer(nullptr, buf, n, wait_ms, transferred);
  }

  bool WaitForInput(uint32_t wait_ms) override {
    const uint64_t deadline = MonotonicMs() + wait_ms;
    for (;;) {
      pollfd p{fd_, POLLIN, 0};
      const uint64_t now = MonotonicMs();
      const int left = static_cast<int>(now >= deadline ? 0 : deadline - now);
      const int r = poll(&p, 1, left);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) return false;
      // A hung-up pty or an unplugged adapter reports readiness with nothing to read; sleep out
      // the wait instead of returning at once, or a polling loop would spin.
      if ((p.revents & POLLIN) == 0) {
        if (now < deadline) usleep(static_cast<useconds_t>((deadline - now) * 1000));
        return false;
      }
      return true;
    }
  }

 private:
  // One loop for both directions: move what the kernel takes now, then poll() for readiness
  // until the deadline. Neither direction ever waits past wait_ms, and nothing stays pending
  // after the call, so the caller's buffer is free when it returns.
  IoStatus Transfer(uint8_t* in, const uint8_t* out, uint32_t n, uint32_t wait_ms,
                    uint32_t* transferred) {
    uint32_t done = 0;
    const uint64_t deadline = MonotonicMs() + wait_ms;
    bool hung_up = false;
    IoStatus status = IoStatus::kDone;
    while (done < n) {
      ssize_t r = in != nullptr ? read(fd_, in + done, n - done) : write(fd_, out + done, n - done);
      if (r > 0) {
        done += static_cast<uint32_t>(r);
        continue;
      }
      if (r < 0 && errno == EINTR) continue;
      if (r < 0 && errno != EAGAIN) {
        status = IoStatus::kFailed;  // EIO: the other end of a pty is gone, an adapter unplugged
        break;
      }
      // Nothing can move now (EAGAIN, or a read of 0 with VMIN 0: the queue is empty). After
      // a hang-up poll() keeps reporting readiness while reads return 0, so a second empty
      // pass after POLLHUP is the end of the device, not a wait.
      if (hung_up) {
        status = IoStatus::kFailed;
        break;
      }
      uint64_t now = MonotonicMs();
      if (now >= deadline) {
        status = IoStatus::kTimedOut;
        break;
      }
      pollfd p{fd_, static_cast<short>(in != nullptr ? POLLIN : POLLOUT), 0};
      int pr = poll(&p, 1, static_cast<int>(std::min<uint64_t>(deadline - now, INT_MAX)));
      if (pr < 0 && errno != EINTR) {
        status = IoStatus::kFailed;
        break;
      }
      if (pr > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) hung_up = true;
    }
    if (transferred != nullptr) *transferred = done;
    return status;
  }

  int fd_;
  bool is_pty_;
  Dcb last_;
  uint32_t in_queue_size_ = 0;
  uint32_t out_queue_size_ = 0;
  uint32_t mask_ = 0;
  bool have_counts_ = false;
  serial_icounter_struct counts_{};
};

// Unix98 pty slaves (/dev/pts/N) have the character majors 136 to 143.
bool IsPtySlave(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
  unsigned m = major(st.st_rdev);
  return m >= 136 && m <= 143;
}

// A tty keeps its settings after the last close, so a port may come back with the flow
// control or line editing that another program, or our own last session, left on it. The
// control reads the settings, applies "9600,N,8,1" and ORs in its flow-control bits, so
// anything left over would stay; start every open from no flow control and a raw line. Speed
// and character format are kept: GetCommState reports them and the control replaces them.
void PutInKnownState(int fd) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) return;
  MakeRawLine(&t);
  tcsetattr(fd, TCSANOW, &t);
}

class PosixSerialPorts : public SerialPorts {
 public:
  std::unique_ptr<SerialDevice> Open(const std::string& name) override {
    std::string path = SerialDevicePath(name);
    if (path.empty()) return nullptr;
    int fd;
    do {
      fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return nullptr;
    if (!isatty(fd) || flock(fd, LOCK_EX | LOCK_NB) != 0) {
      close(fd);  // not a port, or held by another opener
      return nullptr;
    }
    // Best effort: a driver without exclusive mode is still usable, flock guards our own.
    ioctl(fd, TIOCEXCL);
    PutInKnownState(fd);
    return std::make_unique<PosixSerialDevice>(fd, IsPtySlave(fd));
  }
};

}  // namespace

std::vector<std::string> DefaultSerialDevices(const DeviceRoots& roots) {
  std::set<std::string> console;
  {
    std::istringstream active(ReadFirstLine(roots.sys + "/class/tty/console/active"));
    std::string n;
    while (active >> n) console.insert(n);
  }
  std::vector<std::string> out;
  std::set<std::string> seen;  // real paths already listed
  auto add = [&](const std::string& path) {
    std::string real = RealPath(path);
    if (real.empty() || seen.count(real) != 0 || console.count(BaseName(real)) != 0) return;
    seen.insert(real);
    out.push_back(path);
  };

  const std::string by_id = roots.dev + "/serial/by-id";
  std::vector<std::string> links = DirEntries(by_id);
  std::sort(links.begin(), links.end());
  for (const std::string& l : links) add(by_id + "/" + l);

  std::vector<std::string> dev = DirEntries(roots.dev);
  for (const char* prefix : {"ttyUSB", "ttyACM"}) {
    for (const std::string& n : NumberedNames(dev, prefix)) add(roots.dev + "/" + n);
  }
  for (const std::string& n : NumberedNames(dev, "ttyS")) {
    std::string type = ReadFirstLine(roots.sys + "/class/tty/" + n + "/type");
    if (!type.empty() && type != "0") add(roots.dev + "/" + n);
  }
  return out;
}

std::string SerialDevicePath(const std::string& name, const DeviceRoots& roots) {
  std::string s = name;
  if (s.compare(0, sizeof(kWin32DevicePrefix) - 1, kWin32DevicePrefix) == 0) {
    s.erase(0, sizeof(kWin32DevicePrefix) - 1);
  }
  if (s.find('/') != std::string::npos) return s;
  unsigned n = ComNumber(s);
  if (n == 0) return {};
  std::string var = "CHANFOLD_COM" + std::to_string(n);
  if (const char* mapped = std::getenv(var.c_str())) return mapped;  // "" hides the port
  const char* defaults = std::getenv("CHANFOLD_COM_DEFAULTS");
  if (defaults != nullptr && std::strcmp(defaults, "0") == 0) return {};
  std::vector<std::string> devices = DefaultSerialDevices(roots);
  return n <= devices.size() ? devices[n - 1] : std::string();
}

std::unique_ptr<SerialPorts> NewSerialPorts() {
  return std::make_unique<PosixSerialPorts>();
}

}  // namespace platform::posix
