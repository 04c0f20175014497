// The transfer routines the protocol engines share: the time-out timer, the data-error count,
// the common abort and the normal end, plus the text helpers the engines need to turn the
// control's strings into the bytes on the line and back.
#pragma once

#include <cstdint>
#include <string>

#include "serialctl/chanfold_ctrl.h"

namespace chanfold {

// Control characters of the XModem family.
inline constexpr uint8_t kSoh = 0x01;
inline constexpr uint8_t kStx = 0x02;
inline constexpr uint8_t kEot = 0x04;
inline constexpr uint8_t kAck = 0x06;
inline constexpr uint8_t kBs = 0x08;
inline constexpr uint8_t kNak = 0x15;
inline constexpr uint8_t kCan = 0x18;

// Clears the timed-out flag and enables the time-out timer (a timer already running keeps its
// period).
void StartTransferTimeout(ChanfoldCtrl& ctl);
void StopTransferTimeout(ChanfoldCtrl& ctl);

// Counts one data error: below the limit raises "Data error, try again..." and returns true
// (retry); at the limit raises "Too many errors, action terminated." and returns false (abort).
bool CountDataError(ChanfoldCtrl& ctl);

// Ends a transfer that failed or was stopped: the protocol's cancel sequence when the stop flag
// is set, AbortTransfer while the transfer is active, then the flag cleared, the time-out timer
// stopped and the current file closed.
void AbortRunningTransfer(ChanfoldCtrl& ctl);

// Sends five CAN bytes (the XModem family's cancel) and then aborts; with `error` non-null it is
// raised through HasError first. For an engine that gives up on its own, so that the peer stops
// at once instead of running into its own time-outs.
void CancelAndAbort(ChanfoldCtrl& ctl, const std::u16string* error);

// The normal end after an engine's last exchange: 100 ms for the peer's last bytes to arrive,
// receive queue purged, time-out timer stopped, transfer flag cleared, FinishTransfer.
void EndTransferNormally(ChanfoldCtrl& ctl);

// Strings of the interface to ANSI bytes (a character without an ANSI code becomes "?") and
// back.
std::string ToAnsi(ChanfoldCtrl& ctl, const std::u16string& s);
std::u16string FromAnsi(ChanfoldCtrl& ctl, const std::string& s);
std::u16string Utf16(const char* ascii);

// XferWorkDir, "\" and the name: where the engines find and put the transferred files.
std::string WorkPath(ChanfoldCtrl& ctl, const std::u16string& name);

// One line for the control's transfer trace, when the host asked for one.
void Trace(ChanfoldCtrl& ctl, const std::string& line);

// The next piece of the file being sent, read from the file (with the file routine's pause)
// while the line is still busy with the piece before, so that the line does not stand idle
// during that read after the peer's answer. Held in the file block buffer.
class FileReadAhead {
 public:
  // Reads up to n bytes of the file now.
  void Fill(ChanfoldCtrl& ctl, int32_t n);
  // Puts the bytes read ahead at buffer[offset], or, when none are held, reads up to n bytes
  // of the file there now; returns the count.
  int32_t Take(ChanfoldCtrl& ctl, Buffer& buffer, int32_t offset, int32_t n);
  // Forgets what was read ahead (the file is read again from another position).
  void Drop() { count_ = -1; }
  bool Holding() const { return count_ >= 0; }

 private:
  int32_t count_ = -1;  // bytes held, or -1 for none
};

}  // namespace chanfold
