// The ZModem sender: invites the receiver with ZRQINIT, offers each file of the list with
// ZFILE, streams its data from the position the receiver asks for in subpackets of up to 1024
// bytes (shorter for a while after each restart) with CRC-16, waits for a ZACK whenever more
// than the receiver's buffer length went out without one, ends each file with ZEOF and the
// batch with ZFIN and "OO". It sends CRC-16 frames only, whatever the receiver offers.
#pragma once

#include <cstdint>
#include <string>

#include "serialctl/chanfold_ctrl.h"
#include "serialctl/transfer/transfer_manager.h"
#include "serialctl/transfer/zmodem_framing.h"

namespace chanfold {

enum class ZSenderState {
  kInviting,       // ZRQINIT until a ZRINIT
  kOfferingFile,   // ZFILE sent, waiting for ZRPOS or ZSKIP
  kStreaming,      // subpackets with ZCRCG, restarting on ZRPOS
  kWaitingForAck,  // after a ZCRCW subpacket
  kEndingFile,     // ZEOF until ZRINIT
  kEndingBatch,    // ZFIN until the receiver's ZFIN, then "OO"
  kDone,
  kAborted,
};
const char* ToString(ZSenderState s);

class ZModemSender {
 public:
  explicit ZModemSender(ChanfoldCtrl& ctl) : ctl_(ctl), z_(ctl) {}
  // Sends every entry of the file list; returns when the transfer has ended.
  void Run();
  ZSenderState state() const { return state_; }

 private:
  // How a step ended: go on with the next file, end the batch, or the transfer has ended.
  enum class Next { kNextFile, kEndBatch, kEnded };
  // How a wait inside the data phase ended.
  enum class DataStep { kGoOn, kRestart, kFileDone, kEnded };

  void SetState(ZSenderState s);
  bool Stopped();  // true (and aborted) when the transfer-stop flag is set
  void Abort();
  // The time-out handling of every wait: false (and aborted) at the limit, otherwise the
  // time-out runs again.
  bool TimeoutHandled();
  void SendHex(int type, uint32_t value);
  // A ZDATA header for `position`, written together with the subpacket that follows it.
  void QueueDataHeader(uint32_t position);
  bool Invite();
  Next SendFile();
  void OfferFile();
  // ZFILE and the file information subpacket again.
  void OfferFileWithInfo(const std::string& ansi_entry);
  Next SendData();
  DataStep AwaitAck();
  DataStep EndFile();
  // Takes a ZRPOS value as the position to send from.
  void TakeRestartPosition();
  // Makes pos the position to send from.
  void RestartAt(int64_t pos);
  void CloseFile();
  void EndBatch();

  ChanfoldCtrl& ctl_;
  ZModemFraming z_;
  ZSenderState state_ = ZSenderState::kInviting;
  int32_t rx_buffer_length_ = 0;  // from ZRINIT; 0 becomes 2048 once data flow
  int32_t file_size_ = 0;
  int32_t start_pos_ = 0;     // the first ZRPOS of the file
  int32_t send_pos_ = 0;      // where the next (re)start sends from
  int32_t current_pos_ = 0;   // file offset of the next data byte
  int32_t window_count_ = 0;  // bytes sent since the last ZDATA header
  int32_t info_length_ = 0;   // the file information subpacket's length
  // File bytes per subpacket: shorter after restarts (see the streaming loop).
  int32_t subpacket_bytes_ = 1024;
  int32_t subpackets_since_change_ = 0;
  // The next subpacket's data, read while a ZACK is awaited.
  FileReadAhead read_ahead_;
  // A request for send_pos_ came since the last restart and was taken as stale.
  bool repeat_ignored_ = false;
  std::u16string entry_;  // the list entry being sent
};

}  // namespace chanfold
