// The two Kermit engines: KermitSender uploads every entry of the file list, KermitReceiver
// downloads into XferWorkDir under the names the sender gives. Both are stop-and-wait state
// machines over the packet layer of kermit_packets.h, with the transfer manager's time-out and
// error counts; each runs one transfer from its start to FinishTransfer or AbortTransfer inside
// the control's transfer timer event and touches the line only through the control's
// primitives.
#pragma once

#include <cstdint>
#include <string>

#include "serialctl/chanfold_ctrl.h"

namespace chanfold {

// The sender's packet states, named after the packet each one sends.
enum class KermitSenderState {
  kSendInit,    // S: Send-Init until its ACK
  kFileHeader,  // F: the file name
  kData,        // D: data packets
  kEndOfFile,   // Z
  kDone,        // B sent, transfer finished
  kAborted,
};
const char* ToString(KermitSenderState s);

enum class KermitReceiverState {
  kWaitInit,    // R: waiting for Send-Init
  kFileHeader,  // F: waiting for a file header
  kData,        // D: data, attributes or end of file
  kEndOfFile,   // Z: the next file header or the end of the batch
  kDone,
  kAborted,
};
const char* ToString(KermitReceiverState s);

class KermitSender {
 public:
  explicit KermitSender(ChanfoldCtrl& ctl) : ctl_(ctl) {}
  // Sends the file list; returns when the transfer has ended.
  void Run();
  KermitSenderState state() const { return state_; }

 private:
  // What a wait for the peer's answer gave.
  enum class Answer {
    kAckOwn,      // Y with the own sequence number
    kAckOther,    // Y with another one
    kErrorOrNak,  // E or N
    kBreak,       // B
    kNothing,     // no packet (yet), not timed out
    kTimeout,     // timed out below the limit; the timer is re-armed
    kGiveUp,      // timed out at the limit, or the transfer-stop flag
  };
  Answer Await();
  bool SendInit();
  bool SendFileHeader();
  bool SendData();
  bool SendEndOfFile();
  // Opens list entry `index`, sets the current-file values and the name for the F packet and
  // raises StartFile; false (after HasError and the abort) when it cannot.
  bool OpenFile(int32_t index);
  void SendPacket(uint8_t type, int32_t n);
  void FullRestart();
  void Restart();
  void Abort();
  void SetState(KermitSenderState s);

  ChanfoldCtrl& ctl_;
  KermitSenderState state_ = KermitSenderState::kSendInit;
  std::u16string entry_;     // the current list entry
  std::string packet_name_;  // its name as the F packet carries it
};

class KermitReceiver {
 public:
  explicit KermitReceiver(ChanfoldCtrl& ctl) : ctl_(ctl) {}
  // Receives files into XferWorkDir; returns when the transfer has ended.
  void Run();
  KermitReceiverState state() const { return state_; }

 private:
  // Handles the packet just read in the present state; false when the transfer ended.
  bool HandleWaitInit(uint8_t type);
  bool HandleFileHeader(uint8_t type);
  bool HandleData(uint8_t type);
  bool HandleEndOfFile(uint8_t type);
  // F packet: creates the file and acknowledges; false (aborted) when the file cannot be made.
  bool TakeFileHeader(bool in_end_of_file);
  // E, N, B and nothing received, as the F, D and Z states treat them.
  bool HandleOther(uint8_t type, bool sleep_between_reads);
  void SendAck(int32_t n);
  void Restart();
  void Abort();
  void SetState(KermitReceiverState s);

  ChanfoldCtrl& ctl_;
  KermitReceiverState state_ = KermitReceiverState::kWaitInit;
  std::u16string name_;  // the file being received
  // The last packet acted on: a packet that comes again with the same type and sequence number
  // lost its acknowledgement on the way and is answered with that acknowledgement again.
  bool have_last_ = false;
  uint8_t last_type_ = 0;
  int32_t last_seq_ = 0;
};

// A received name that stays inside the work folder: not empty, not absolute, no ".."
// component.
bool KermitNameIsSafe(const std::string& name);

}  // namespace chanfold
