// The XModem/YModem family: XModem with checksum, XModem-CRC, XModem-1K, YModem and YModem-G,
// as sender and as receiver. Each engine runs one transfer from its start to FinishTransfer or
// AbortTransfer inside the control's transfer timer event, yielding in every wait, and touches
// the line only through the control's primitives and buffers.
#pragma once

#include <cstdint>
#include <string>

#include "serialctl/chanfold_ctrl.h"
#include "serialctl/transfer/transfer_manager.h"

namespace chanfold {

enum class SenderState {
  kWaitingForStart,  // for the receiver's start character
  kSendingFileInfo,  // YModem block 0
  kSendingData,      // numbered data blocks
  kEndingFile,       // EOT until ACK
  kEndingBatch,      // YModem's empty block 0
  kDone,
  kAborted,
};
const char* ToString(SenderState s);

enum class ReceiverState {
  kAsking,              // sending the start character until a block arrives
  kReceivingData,       // blocks of a file, one held back
  kWaitingForFileInfo,  // YModem: block 0 of the next file or the end of the batch
  kDone,
  kAborted,
};
const char* ToString(ReceiverState s);

class XModemYModemSender {
 public:
  explicit XModemYModemSender(ChanfoldCtrl& ctl) : ctl_(ctl) {}
  // Sends the file list with the control's XferProtocol; returns when the transfer has ended.
  void Run();
  SenderState state() const { return state_; }

 private:
  enum class Reply { kAck, kResend, kAborted };

  bool Stopped();  // true (and aborted) when the transfer-stop flag is set
  void Abort();
  void SetState(SenderState s);
  bool WaitForStart();
  // Sends one file from the current list entry; false when the transfer has ended (aborted).
  bool SendFile(std::unique_ptr<platform::File> file, const std::u16string& entry);
  bool SendFileInfo(const std::u16string& entry, int32_t size);
  bool SendDataBlocks();
  bool SendEndOfFile();
  // Waits for ACK, or NAK / the start character (the same block again), after a block.
  Reply AwaitBlockReply();
  // After an acknowledged block 0: the receiver's start character for the file's data.
  bool AwaitDataStart();
  // Waits for the receiver's request character ("C", or "G" when streaming).
  bool AwaitRequest();
  uint8_t Request() const;
  // Before the block 0 of a later file or the end of the batch: the request for it, unless it
  // came with the ACK of the last EOT.
  bool AwaitNextFileRequest();
  // The reply begins with CAN: true when it and the bytes behind it make five CAN in a row.
  bool CancelledByPeer(int32_t n);
  int32_t ReadWaiting();  // reads every waiting byte (at most one buffer); returns the count
  bool TimedOutAtLimit();

  ChanfoldCtrl& ctl_;
  SenderState state_ = SenderState::kWaitingForStart;
  ProtocolType protocol_ = pXModemChecksum;
  int32_t block_length_ = 128;
  int32_t check_length_ = 1;
  uint8_t start_char_ = 0;
  int64_t block_counter_ = 1;
  bool resend_ = false;
  // The next block's data, read while the current block's reply is awaited.
  FileReadAhead read_ahead_;
  int64_t block_count_ = 0;  // blocks of the current file
  int64_t bytes_sent_ = 0;   // of the current file
  // The reply that acknowledged the last block also held the start character behind the ACK.
  bool last_reply_has_start_ = false;
  // A file ended and its EOT's ACK came without the receiver's next request.
  bool need_request_ = false;
};

class XModemYModemReceiver {
 public:
  explicit XModemYModemReceiver(ChanfoldCtrl& ctl) : ctl_(ctl) {}
  // Receives with the control's XferProtocol into XferWorkDir; returns when the transfer ended.
  void Run();
  ReceiverState state() const { return state_; }

 private:
  bool Stopped();
  void Abort();
  void SetState(ReceiverState s);
  bool Accepted(uint8_t first) const;
  bool IsYModem() const { return protocol_ == pYModem || protocol_ == pYModemG; }
  // Reads every waiting byte into the reply buffer as the bytes to look at next.
  void ReadWaiting();
  int32_t Unread() const { return reply_len_ - reply_pos_; }
  void SendReply(uint8_t b);  // ACK or NAK to a block (nothing with YModem-G)
  void SendBytes2(uint8_t a, uint8_t b);
  // Step of the block loop on the byte at the read position. Returns false when the transfer
  // has ended (by the normal end or an abort).
  bool HandleNext();
  bool HandleCancel();
  bool HandleEndOfFile();
  bool HandleBlock(uint8_t first);
  bool HandleFileInfo();
  bool CollectBlock(int32_t total, bool* short_as_checksum);
  bool CreateFile(const std::u16string& name, bool ymodem_text);
  void WritePending(bool last);
  bool WaitForMore();
  bool TimedOutAtLimit();

  ChanfoldCtrl& ctl_;
  ReceiverState state_ = ReceiverState::kAsking;
  ProtocolType protocol_ = pXModemChecksum;
  int32_t block_length_ = 128;
  int32_t check_length_ = 1;
  uint8_t start_char_ = 0;
  bool accept_stx_ = false;
  // Bytes read from the line and not yet looked at: reply buffer [reply_pos_, reply_len_).
  int32_t reply_pos_ = 0;
  int32_t reply_len_ = 0;
  // A good new block waits in the file block buffer (same layout as in the work buffer) until
  // the next block or EOT arrives.
  bool pending_ = false;
  int32_t pending_length_ = 0;  // its data field length
  uint8_t last_number_ = 0;     // number of the last block taken
  int64_t bytes_written_ = 0;   // of the current file
  // The size that YModem block 0 gave in plain decimal digits, or -1 when none was given.
  int64_t announced_size_ = -1;
};

}  // namespace chanfold
