// Serial device service: what the control needs of a COM port, no wider.
//
// The shapes follow the Win32 communications calls so that the Win32 backend is a thin layer
// over kernel32 and the portable control reads like the calls it makes: a device-control block
// with the DCB field meanings and flag-word bit layout, queue sizes, event mask, clear-error
// with the input-queue count, purge, modem status, escape functions, and reads and writes that
// start, wait a bounded time for completion and are cancelled when that time runs out.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace platform {

// Device-control block with the field meanings of the Win32 DCB. `flags` holds the bit fields
// of the Win32 structure in the same positions, so "OR the flag word with 0x2004" is one line.
struct Dcb {
  uint32_t DCBlength = sizeof(Dcb);
  uint32_t BaudRate = 0;
  uint32_t flags = 0;
  uint16_t wReserved = 0;
  uint16_t XonLim = 0;
  uint16_t XoffLim = 0;
  uint8_t ByteSize = 8;
  uint8_t Parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
  uint8_t StopBits = 0;  // 0 one, 1 one and a half, 2 two
  uint8_t XonChar = 0;
  uint8_t XoffChar = 0;
  uint8_t ErrorChar = 0;
  uint8_t EofChar = 0;
  uint8_t EvtChar = 0;
  uint16_t wReserved1 = 0;
};

// Bits of Dcb::flags, positioned as in the Win32 DCB.
namespace dcb {
inline constexpr uint32_t kBinary = 0x0001;
inline constexpr uint32_t kParity = 0x0002;
inline constexpr uint32_t kOutxCtsFlow = 0x0004;
inline constexpr uint32_t kOutxDsrFlow = 0x0008;
inline constexpr uint32_t kDtrControlShift = 4;  // 2 bits: 0 disable, 1 enable, 2 handshake
inline constexpr uint32_t kDtrControlMask = 0x0030;
inline constexpr uint32_t kDsrSensitivity = 0x0040;
inline constexpr uint32_t kTxContinueOnXoff = 0x0080;
inline constexpr uint32_t kOutX = 0x0100;
inline constexpr uint32_t kInX = 0x0200;
inline constexpr uint32_t kErrorCharFlag = 0x0400;
inline constexpr uint32_t kNull = 0x0800;
// 2 bits: 0 disable, 1 enable, 2 handshake, 3 toggle
inline constexpr uint32_t kRtsControlShift = 12;
inline constexpr uint32_t kRtsControlMask = 0x3000;
inline constexpr uint32_t kAbortOnError = 0x4000;

inline constexpr uint32_t kControlDisable = 0;
inline constexpr uint32_t kControlEnable = 1;
inline constexpr uint32_t kControlHandshake = 2;
inline constexpr uint32_t kControlToggle = 3;

inline uint32_t DtrControl(const Dcb& d) {
  return (d.flags & kDtrControlMask) >> kDtrControlShift;
}
inline uint32_t RtsControl(const Dcb& d) {
  return (d.flags & kRtsControlMask) >> kRtsControlShift;
}
}  // namespace dcb

// Modem-status bits (GetCommModemStatus).
inline constexpr uint32_t kMsCtsOn = 0x10;
inline constexpr uint32_t kMsDsrOn = 0x20;
inline constexpr uint32_t kMsRingOn = 0x40;
inline constexpr uint32_t kMsRlsdOn = 0x80;

// PurgeComm flags.
inline constexpr uint32_t kPurgeTxAbort = 0x0001;
inline constexpr uint32_t kPurgeRxAbort = 0x0002;
inline constexpr uint32_t kPurgeTxClear = 0x0004;
inline constexpr uint32_t kPurgeRxClear = 0x0008;

// EscapeCommFunction codes.
inline constexpr uint32_t kSetXoff = 1;
inline constexpr uint32_t kSetXon = 2;
inline constexpr uint32_t kSetRts = 3;
inline constexpr uint32_t kClrRts = 4;
inline constexpr uint32_t kSetDtr = 5;
inline constexpr uint32_t kClrDtr = 6;
inline constexpr uint32_t kSetBreak = 8;
inline constexpr uint32_t kClrBreak = 9;

// Applies a mode text such as "9600,N,8,1" to a block the way BuildCommDCBA does: baud,
// parity letter (N, O, E, M, S), data bits and stop bits (1, 1.5, 2). Fields that the text does
// not name keep their values. Returns false on a malformed text.
bool BuildCommDcb(const char* mode, Dcb* dcb);

enum class IoStatus {
  kDone,      // the operation completed (possibly with fewer bytes than asked)
  kTimedOut,  // it did not complete within the wait and was cancelled
  kFailed,    // the system refused it
};

// One open serial device. Every call mirrors a Win32 call and returns its success.
class SerialDevice {
 public:
  virtual ~SerialDevice() = default;

  virtual bool GetCommState(Dcb* dcb) = 0;
  virtual bool SetCommState(const Dcb& dcb) = 0;
  virtual bool SetupComm(uint32_t in_queue, uint32_t out_queue) = 0;
  virtual bool SetCommMask(uint32_t mask) = 0;
  // Clears the device's error state; reports the error flags and the input-queue count.
  virtual bool ClearCommError(uint32_t* errors, uint32_t* in_queue) = 0;
  virtual bool PurgeComm(uint32_t flags) = 0;
  virtual bool GetCommModemStatus(uint32_t* status) = 0;
  virtual bool EscapeCommFunction(uint32_t func) = 0;

  // Overlapped-style transfer: starts the operation and, when it does not complete at once,
  // waits up to wait_ms for it. An operation still running at the end of the wait is cancelled
  // before the call returns, so `buf` never has to outlive the call. `*transferred` receives the
  // byte count that completed.
  virtual IoStatus Read(uint8_t* buf, uint32_t n, uint32_t wait_ms, uint32_t* transferred) = 0;
  virtual IoStatus Write(const uint8_t* buf, uint32_t n, uint32_t wait_ms,
                         uint32_t* transferred) = 0;

  // Waits up to wait_ms for the input queue to hold at least one byte (the wait of
  // WaitCommEvent on EV_RXCHAR with a time-out); returns whether it does. Nothing is read and
  // no message is processed. A polling loop calls it instead of sleeping, so it reacts to a
  // byte the moment it arrives and costs no processor time while the line is quiet.
  virtual bool WaitForInput(uint32_t wait_ms) = 0;
};

// Opens devices by their Win32 path ("\\.\COM1"). Backends document how such a name maps to a
// device of theirs. Opening is exclusive: a second open of a held device fails.
class SerialPorts {
 public:
  virtual ~SerialPorts() = default;
  // Returns null when the device does not exist, is held, or cannot be opened.
  virtual std::unique_ptr<SerialDevice> Open(const std::string& path) = 0;
};

}  // namespace platform
