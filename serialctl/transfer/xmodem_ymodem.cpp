#include "serialctl/transfer/xmodem_ymodem.h"

#include <algorithm>
#include <cstring>
#include <span>
#include <string>

#include "serialctl/transfer/block_checks.h"
#include "serialctl/transfer/transfer_manager.h"

namespace chanfold {

namespace {

constexpr uint8_t kCrcRequest = 'C';
constexpr uint8_t kStreamRequest = 'G';
constexpr int32_t kShortBlock = 128;
constexpr int32_t kLongBlock = 1024;
constexpr int kCancelRun = 5;
// Most waiting loops poll the queue with this pause between passes.
constexpr uint32_t kPollPauseMs = 10;
// Loops that only yield between looks at the queue (a block's reply, the rest of a block) wait
// this long for input when the queue is empty: a byte still ends the wait the moment it
// arrives, and the host's events are seen within a millisecond, as with a loop that spins.
constexpr uint32_t kIdlePauseMs = 1;
// A cancel's CAN bytes come back to back; this long covers a slow line or a peer that writes
// them one at a time, and no longer, since a lone CAN may just be noise.
constexpr uint64_t kCancelWaitMs = 5000;
// A block one byte short after this many empty polls is a checksum block from a sender that
// ignored our request for CRC ...
constexpr int kShortBlockPolls = 6;
// ... provided the line has also been quiet this long. Polls alone take microseconds, less than
// one character time at any line rate, so without a quiet time a CRC block whose last byte is
// still on its way would be judged as a short checksum block; 250 ms is beyond the gaps of any
// sender's pacing and more than a character time down to 50 bit/s.
constexpr uint64_t kShortBlockQuietMs = 250;

std::span<const uint8_t> Field(const Buffer& b, int32_t first, int32_t count) {
  return std::span<const uint8_t>(b).subspan(static_cast<size_t>(first),
                                             static_cast<size_t>(count));
}

int32_t ClampToInt32(int64_t v) {
  return static_cast<int32_t>(std::clamp<int64_t>(v, 0, INT32_MAX));
}

int32_t LeadingCans(const Buffer& b, int32_t from, int32_t to) {
  int32_t n = 0;
  while (from + n < to && b[static_cast<size_t>(from + n)] == kCan) ++n;
  return n;
}

// Waits up to kCancelWaitMs for `want` bytes (or the stop flag) and reads what came, at most
// `want`, into the reply buffer; returns the count read.
int32_t ReadFurtherBytes(ChanfoldCtrl& ctl, int32_t want) {
  platform::EventLoop& loop = *ctl.services().loop;
  const uint64_t deadline = loop.NowMs() + kCancelWaitMs;
  while (ctl.InQueueCount() < want && loop.NowMs() < deadline && !ctl.transfer_stop_) {
    ctl.DoEvents();
    ctl.Sleep(kPollPauseMs);
  }
  const int32_t n = std::min(ctl.InQueueCount(), want);
  if (n > 0) ctl.ReadReply(n);
  return n;
}

// A name from the line may only name a file inside the work folder: no absolute path, no drive,
// no step up out of it.
bool IsSafeReceivedName(const std::string& name) {
  if (name.empty()) return false;
  if (name[0] == '/' || name[0] == '\\') return false;
  if (name.size() >= 2 && name[1] == ':') return false;
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find_first_of("/\\", start);
    if (end == std::string::npos) end = name.size();
    if (name.compare(start, end - start, "..") == 0) return false;
    start = end + 1;
  }
  return true;
}

}  // namespace

const char* ToString(SenderState s) {
  switch (s) {
    case SenderState::kWaitingForStart:
      return "WaitingForStart";
    case SenderState::kSendingFileInfo:
      return "SendingFileInfo";
    case SenderState::kSendingData:
      return "SendingData";
    case SenderState::kEndingFile:
      return "EndingFile";
    case SenderState::kEndingBatch:
      return "EndingBatch";
    case SenderState::kDone:
      return "Done";
    case SenderState::kAborted:
      return "Aborted";
  }
  return "?";
}

const char* ToString(ReceiverState s) {
  switch (s) {
    case ReceiverState::kAsking:
      return "Asking";
    case ReceiverState::kReceivingData:
      return "ReceivingData";
    case ReceiverState::kWaitingForFileInfo:
      return "WaitingForFileInfo";
    case ReceiverState::kDone:
      return "Done";
    case ReceiverState::kAborted:
      return "Aborted";
  }
  return "?";
}

// =============================================================================================
// Sender

void XModemYModemSender::SetState(SenderState s) {
  state_ = s;
  Trace(ctl_, std::string("sender: ") + ToString(s));
}

void XModemYModemSender::Abort() {
  SetState(SenderState::kAborted);
  AbortRunningTransfer(ctl_);
}

bool XModemYModemSender::Stopped() {
  if (!ctl_.transfer_stop_) return false;
  Abort();
  return true;
}

bool XModemYModemSender::TimedOutAtLimit() {
  return ctl_.timeout_count_ >= ctl_.retry_limit_;
}

int32_t XModemYModemSender::ReadWaiting() {
  const int32_t n = std::min(ctl_.InQueueCount(), kBufferSize);
  if (n > 0) ctl_.ReadReply(n);
  return n;
}

bool XModemYModemSender::CancelledByPeer(int32_t n) {
  int32_t run = LeadingCans(ctl_.reply_buffer_, 0, n);
  if (run >= kCancelRun) return true;
  if (run < n) return false;  // something else behind the CAN bytes: no run of five
  const int32_t more = ReadFurtherBytes(ctl_, kCancelRun);
  run += LeadingCans(ctl_.reply_buffer_, 0, more);
  return run >= kCancelRun;
}

void XModemYModemSender::Run() {
  protocol_ = ctl_.xfer_protocol_;
  switch (protocol_) {
    case pXModemChecksum:
      block_length_ = kShortBlock, check_length_ = 1, start_char_ = kNak;
      break;
    case pXModemCRC:
      block_length_ = kShortBlock, check_length_ = 2, start_char_ = kCrcRequest;
      break;
    case pXModem1K:
    case pYModem:
      block_length_ = kLongBlock, check_length_ = 2, start_char_ = kCrcRequest;
      break;
    default:
      block_length_ = kLongBlock, check_length_ = 2, start_char_ = kStreamRequest;
      break;
  }
  // XModem sends exactly the first entry of the list.
  if (protocol_ <= pXModem1K) ctl_.file_count_ = 1;
  ctl_.RaiseDoInit();
  ctl_.transfer_stop_ = false;
  ctl_.timeout_count_ = 0;
  StartTransferTimeout(ctl_);
  SetState(SenderState::kWaitingForStart);
  if (!WaitForStart()) return;

  const bool ymodem = protocol_ == pYModem || protocol_ == pYModemG;
  while (ctl_.current_file_index_ < ctl_.file_count_) {
    const std::u16string entry = ctl_.file_list_[static_cast<size_t>(ctl_.current_file_index_)];
    std::unique_ptr<platform::File> file =
        ctl_.services().files->Open(WorkPath(ctl_, entry), platform::OpenMode::kReadExisting);
    if (!file) {
      ctl_.RaiseHasError(u"Can not open file " + entry);
      ++ctl_.current_file_index_;
      if (ctl_.current_file_index_ < ctl_.file_count_) continue;
      // The last file of the list could not be sent: that is no successful end. The receiver
      // is told by a cancel so that it does not wait for a file that never comes.
      SetState(SenderState::kAborted);
      CancelAndAbort(ctl_, nullptr);
      return;
    }
    if (!SendFile(std::move(file), entry)) return;
    ++ctl_.current_file_index_;
  }

  if (ymodem) {
    // The end of the batch: an empty block 0, not acknowledged.
    SetState(SenderState::kEndingBatch);
    if (!AwaitNextFileRequest()) return;
    Buffer& tx = ctl_.transmit_buffer_;
    tx[0] = kSoh;
    tx[1] = 0x00;
    tx[2] = 0xFF;
    std::fill(tx.begin() + 3, tx.begin() + 3 + kShortBlock + 2, 0);
    ctl_.SendBytes(kShortBlock + 5);
  }
  SetState(SenderState::kDone);
  EndTransferNormally(ctl_);
}

bool XModemYModemSender::WaitForStart() {
  for (;;) {
    if (Stopped()) return false;
    ctl_.DoEvents();
    const int32_t n = ReadWaiting();
    if (n > 0) {
      const uint8_t last = ctl_.reply_buffer_[static_cast<size_t>(n - 1)];
      bool start = last == start_char_;
      if (!start && n < 5 && last == kCrcRequest) {
        // A lone "C": the receiver wants CRC. YModem-G falls back to YModem; XModem with a
        // checksum moves up to XModem-1K (the start character stays as it was).
        if (protocol_ == pYModemG) {
          protocol_ = pYModem;
          ctl_.xfer_protocol_ = pYModem;
          start = true;
        } else if (protocol_ == pXModemChecksum) {
          protocol_ = pXModem1K;
          ctl_.xfer_protocol_ = pXModem1K;
          block_length_ = kLongBlock;
          check_length_ = 2;
          start = true;
        }
        if (start) Trace(ctl_, "sender: lone C, protocol " + std::to_string(protocol_));
      }
      if (start) {
        ctl_.timeout_count_ = 0;
        StopTransferTimeout(ctl_);
        ctl_.current_file_index_ = 0;
        return true;
      }
      if (n >= kCancelRun && LeadingCans(ctl_.reply_buffer_, n - kCancelRun, n) == kCancelRun) {
        StopTransferTimeout(ctl_);
        Abort();
        return false;
      }
    }
    if (ctl_.timed_out_) {
      if (TimedOutAtLimit()) {
        Abort();
        return false;
      }
      StartTransferTimeout(ctl_);
    }
    ctl_.PollPause(kPollPauseMs);
  }
}

bool XModemYModemSender::SendFile(std::unique_ptr<platform::File> file,
                                  const std::u16string& entry) {
  block_counter_ = 1;
  resend_ = false;
  read_ahead_.Drop();
  int64_t size = file->Size();
  if (size < 0) size = 0;
  ctl_.transfer_file_ = std::move(file);
  ctl_.xfer_curr_file_size_ = ClampToInt32(size);
  ctl_.xfer_curr_file_name_ = entry;
  ctl_.xfer_curr_bytes_ = 0;
  bytes_sent_ = 0;
  ctl_.RaiseStartFile(entry);
  block_count_ = (size + block_length_ - 1) / block_length_;
  ctl_.transmit_buffer_[0] = block_length_ == kShortBlock ? kSoh : kStx;

  if (protocol_ == pYModem || protocol_ == pYModemG) {
    if (!SendFileInfo(entry, ClampToInt32(size))) return false;
  }
  SetState(SenderState::kSendingData);
  if (!SendDataBlocks()) return false;
  SetState(SenderState::kEndingFile);
  if (!SendEndOfFile()) return false;
  ctl_.timeout_count_ = 0;
  StopTransferTimeout(ctl_);
  ctl_.transfer_file_.reset();
  ctl_.RaiseFinishFile(entry);
  return true;
}

bool XModemYModemSender::AwaitNextFileRequest() {
  // After a file the receiver asks for the next block 0 with its request character; a block 0
  // sent before that may be thrown away with the receiver's input (lrzsz's rb purges it), and
  // the receiver would then wait for a batch that has ended.
  if (!need_request_) return true;
  need_request_ = false;
  return AwaitRequest();
}

bool XModemYModemSender::SendFileInfo(const std::u16string& entry, int32_t size) {
  SetState(SenderState::kSendingFileInfo);
  if (!AwaitNextFileRequest()) return false;
  Buffer& tx = ctl_.transmit_buffer_;
  tx[1] = 0x00;
  tx[2] = 0xFF;
  if (!BuildYModemFileInfo(std::span<uint8_t>(tx).subspan(3, static_cast<size_t>(block_length_)),
                           ToAnsi(ctl_, entry), size)) {
    ctl_.RaiseHasError(u"File name too long for YModem: " + entry);
    SetState(SenderState::kAborted);
    CancelAndAbort(ctl_, nullptr);
    return false;
  }
  const uint16_t crc = Crc16(Field(tx, 3, block_length_));
  tx[static_cast<size_t>(3 + block_length_)] = Crc16High(crc);
  tx[static_cast<size_t>(4 + block_length_)] = Crc16Low(crc);
  // Block 0 is acknowledged like a data block, and the receiver then asks for the data with its
  // start character. Going on before that answer would take the receiver's late ACK of block 0
  // for the ACK of block 1 and put every later reply one block behind.
  for (;;) {
    if (Stopped()) return false;
    ctl_.PurgeInput();
    ctl_.SendBytes(block_length_ + 5);
    if (protocol_ == pYModemG) break;  // a streaming receiver answers block 0 with "G" only
    const Reply reply = AwaitBlockReply();
    if (reply == Reply::kAborted) return false;
    if (reply == Reply::kAck) break;
  }
  ctl_.data_error_count_ = 0;
  return AwaitDataStart();
}

uint8_t XModemYModemSender::Request() const {
  // YModem asks for block 0 and for a file's data with "C" (also after a fall-back from
  // YModem-G, whose start character stays "G"); a streaming receiver asks with "G".
  return protocol_ == pYModemG ? kStreamRequest : kCrcRequest;
}

bool XModemYModemSender::AwaitDataStart() {
  // The reply that held the ACK may already hold the start character behind it.
  if (protocol_ != pYModemG && last_reply_has_start_) return true;
  return AwaitRequest();
}

bool XModemYModemSender::AwaitRequest() {
  const uint8_t request = Request();
  ctl_.timeout_count_ = 0;
  StartTransferTimeout(ctl_);
  for (;;) {
    if (Stopped()) return false;
    ctl_.DoEvents();
    const int32_t n = ReadWaiting();
    if (n > 0) {
      const Buffer& r = ctl_.reply_buffer_;
      if (std::find(r.begin(), r.begin() + n, request) != r.begin() + n) {
        ctl_.timeout_count_ = 0;
        StopTransferTimeout(ctl_);
        return true;
      }
      if (r[0] == kCan && CancelledByPeer(n)) {
        Abort();
        return false;
      }
    }
    if (ctl_.timed_out_) {
      if (TimedOutAtLimit()) {
        Abort();
        return false;
      }
      StartTransferTimeout(ctl_);
    }
    if (n == 0) ctl_.PollPause(kIdlePauseMs);
  }
}

bool XModemYModemSender::SendDataBlocks() {
  Buffer& tx = ctl_.transmit_buffer_;
  while (block_counter_ <= block_count_) {
    if (!resend_) {
      ctl_.data_error_count_ = 0;
      tx[1] = static_cast<uint8_t>(block_counter_ % 256);
      tx[2] = static_cast<uint8_t>(255 - tx[1]);
      const int32_t n = read_ahead_.Take(ctl_, tx, 3, block_length_);
      if (block_length_ == kLongBlock && n <= kShortBlock) {
        // A last block with at most 128 bytes goes out as a short block, and so does every
        // later block of this transfer.
        block_length_ = kShortBlock;
        tx[0] = kSoh;
      }
      if (n < block_length_) {
        std::fill(tx.begin() + 3 + n, tx.begin() + 3 + block_length_, kPadByte);
      }
      bytes_sent_ += n;
      const auto field = Field(tx, 3, block_length_);
      const size_t behind = static_cast<size_t>(3 + block_length_);
      if (check_length_ == 1) {
        tx[behind] = BlockChecksum(field);
      } else {
        const uint16_t crc = Crc16(field);
        tx[behind] = Crc16High(crc);
        tx[behind + 1] = Crc16Low(crc);
      }
    }
    if (Stopped()) return false;
    // Stale answers (an extra "C" or NAK from before this block) must not count as its reply.
    ctl_.PurgeInput();
    ctl_.SendBytes(block_length_ + check_length_ + 3);
    ctl_.xfer_curr_bytes_ = ClampToInt32(bytes_sent_);
    ctl_.RaiseOneBlockDone();
    if (protocol_ == pYModemG) {
      ++block_counter_;
      resend_ = false;
      continue;
    }
    if (!read_ahead_.Holding() && block_counter_ < block_count_) {
      read_ahead_.Fill(ctl_, block_length_);
    }
    const Reply reply = AwaitBlockReply();
    if (reply == Reply::kAborted) return false;
    if (reply == Reply::kAck) {
      resend_ = false;
      ++block_counter_;
      ctl_.data_error_count_ = 0;
    } else {
      resend_ = true;
    }
  }
  return true;
}

XModemYModemSender::Reply XModemYModemSender::AwaitBlockReply() {
  ctl_.timeout_count_ = 0;
  StartTransferTimeout(ctl_);
  for (;;) {
    if (Stopped()) return Reply::kAborted;
    ctl_.DoEvents();
    const int32_t n = ReadWaiting();
    if (n > 0) {
      const uint8_t first = ctl_.reply_buffer_[0];
      if (first == kAck) {
        last_reply_has_start_ =
            std::find(ctl_.reply_buffer_.begin() + 1, ctl_.reply_buffer_.begin() + n, Request()) !=
            ctl_.reply_buffer_.begin() + n;
        ctl_.timeout_count_ = 0;
        StopTransferTimeout(ctl_);
        return Reply::kAck;
      }
      if (first == kNak || first == start_char_) {
        if (!CountDataError(ctl_)) {
          Abort();
          return Reply::kAborted;
        }
        ctl_.timeout_count_ = 0;
        StopTransferTimeout(ctl_);
        return Reply::kResend;
      }
      if (first == kCan && CancelledByPeer(n)) {
        Abort();
        return Reply::kAborted;
      }
    }
    if (ctl_.timed_out_) {
      // No reply: the block is not sent again; the receiver's NAK asks for that.
      if (TimedOutAtLimit()) {
        Abort();
        return Reply::kAborted;
      }
      StartTransferTimeout(ctl_);
    }
    if (n == 0) ctl_.PollPause(kIdlePauseMs);
  }
}

bool XModemYModemSender::SendEndOfFile() {
  for (;;) {
    if (Stopped()) return false;
    ctl_.transmit_buffer_[0] = kEot;
    ctl_.SendBytes(1);
    ctl_.Sleep(kPollPauseMs);
    StartTransferTimeout(ctl_);
    for (;;) {
      if (Stopped()) return false;
      ctl_.DoEvents();
      const int32_t n = ReadWaiting();
      if (n > 0) {
        if (ctl_.reply_buffer_[0] == kAck) {
          const Buffer& r = ctl_.reply_buffer_;
          need_request_ = std::find(r.begin() + 1, r.begin() + n, Request()) == r.begin() + n;
          return true;
        }
        StopTransferTimeout(ctl_);
        break;
      }
      if (ctl_.timed_out_) {
        if (TimedOutAtLimit()) {
          Abort();
          return false;
        }
        StartTransferTimeout(ctl_);
        ctl_.Sleep(kPollPauseMs);
        break;
      }
      ctl_.PollPause(kIdlePauseMs);
    }
  }
}

// =============================================================================================
// Receiver

void XModemYModemReceiver::SetState(ReceiverState s) {
  state_ = s;
  Trace(ctl_, std::string("receiver: ") + ToString(s));
}

void XModemYModemReceiver::Abort() {
  SetState(ReceiverState::kAborted);
  AbortRunningTransfer(ctl_);
}

bool XModemYModemReceiver::Stopped() {
  if (!ctl_.transfer_stop_) return false;
  Abort();
  return true;
}

bool XModemYModemReceiver::TimedOutAtLimit() {
  return ctl_.timeout_count_ >= ctl_.retry_limit_;
}

bool XModemYModemReceiver::Accepted(uint8_t first) const {
  return first == kSoh || (accept_stx_ && first == kStx);
}

void XModemYModemReceiver::ReadWaiting() {
  const int32_t n = std::min(ctl_.InQueueCount(), kBufferSize);
  reply_pos_ = 0;
  reply_len_ = 0;
  if (n <= 0) return;
  ctl_.ReadReply(n);
  reply_len_ = n;
}

void XModemYModemReceiver::SendReply(uint8_t b) {
  if (protocol_ == pYModemG) return;
  ctl_.transmit_buffer_[0] = b;
  ctl_.SendBytes(1);
}

void XModemYModemReceiver::SendBytes2(uint8_t a, uint8_t b) {
  ctl_.transmit_buffer_[0] = a;
  ctl_.transmit_buffer_[1] = b;
  ctl_.SendBytes(2);
}

void XModemYModemReceiver::Run() {
  protocol_ = ctl_.xfer_protocol_;
  switch (protocol_) {
    case pXModemChecksum:
      block_length_ = kShortBlock, check_length_ = 1, start_char_ = kNak, accept_stx_ = false;
      break;
    case pXModemCRC:
      block_length_ = kShortBlock, check_length_ = 2, start_char_ = kCrcRequest;
      accept_stx_ = false;
      break;
    case pXModem1K:
    case pYModem:
      block_length_ = kLongBlock, check_length_ = 2, start_char_ = kCrcRequest, accept_stx_ = true;
      break;
    default:
      block_length_ = kLongBlock, check_length_ = 2, start_char_ = kStreamRequest;
      accept_stx_ = true;
      break;
  }
  if (!IsYModem()) ctl_.xfer_curr_file_size_ = 0;
  ctl_.RaiseDoInit();
  ctl_.timeout_count_ = 0;
  StartTransferTimeout(ctl_);
  SetState(ReceiverState::kAsking);

  // Ask until the first block arrives; the start character never changes.
  bool asking = true;
  while (asking) {
    ctl_.PurgeInput();
    ctl_.transmit_buffer_[0] = start_char_;
    ctl_.SendBytes(1);
    for (;;) {
      if (Stopped()) return;
      ctl_.DoEvents();
      ReadWaiting();
      if (reply_len_ > 0) {
        if (Accepted(ctl_.reply_buffer_[0])) {
          asking = false;
          break;
        }
        if (reply_len_ >= kCancelRun &&
            LeadingCans(ctl_.reply_buffer_, 0, kCancelRun) == kCancelRun) {
          Abort();
          return;
        }
        reply_len_ = 0;  // anything else is dropped
      }
      if (ctl_.timed_out_) {
        if (TimedOutAtLimit()) {
          Abort();
          return;
        }
        StartTransferTimeout(ctl_);
        ctl_.Sleep(kPollPauseMs);
        break;
      }
      ctl_.PollPause(kPollPauseMs);
    }
  }

  ctl_.timeout_count_ = 0;
  StopTransferTimeout(ctl_);
  if (!IsYModem()) {
    if (!CreateFile(ctl_.dst_file_name_, false)) return;
    SetState(ReceiverState::kReceivingData);
  } else {
    SetState(ReceiverState::kWaitingForFileInfo);
  }
  bytes_written_ = 0;
  pending_ = false;
  last_number_ = 0;

  for (;;) {
    if (!HandleNext()) return;
    if (Unread() > 0) continue;  // bytes of the last read that follow what was handled
    if (!WaitForMore()) return;
  }
}

bool XModemYModemReceiver::CreateFile(const std::u16string& name, bool ymodem_text) {
  std::u16string error = u"Can not create file " + name;
  if (ymodem_text) error += u".";
  ctl_.transfer_file_ =
      ctl_.services().files->Open(WorkPath(ctl_, name), platform::OpenMode::kCreateAlways);
  if (!ctl_.transfer_file_) {
    ctl_.RaiseHasError(error);
    Abort();
    return false;
  }
  ctl_.RaiseStartFile(name);
  ctl_.xfer_curr_file_name_ = name;
  ctl_.xfer_curr_bytes_ = 0;
  return true;
}

bool XModemYModemReceiver::WaitForMore() {
  ctl_.timeout_count_ = 0;
  StartTransferTimeout(ctl_);
  for (;;) {
    if (Stopped()) return false;
    ctl_.DoEvents();
    if (ctl_.InQueueCount() > 0) {
      ctl_.timeout_count_ = 0;
      StopTransferTimeout(ctl_);
      ReadWaiting();
      if (reply_len_ > 0) return true;
    }
    if (ctl_.timed_out_) {
      if (TimedOutAtLimit()) {
        Abort();
        return false;
      }
      StartTransferTimeout(ctl_);
      // Inside a file nothing is sent: the sender repeats on its own time-out. Before a
      // YModem file's first block and between the files of a batch the sender waits for our
      // request instead, and the one sent with the ACK may have been lost (lrzsz's sb purges
      // its input right after reading an ACK), so it is asked again.
      const bool before_data = !pending_ && bytes_written_ == 0;
      if (IsYModem() && (state_ == ReceiverState::kWaitingForFileInfo || before_data)) {
        ctl_.transmit_buffer_[0] = start_char_;
        ctl_.SendBytes(1);
      }
    }
    ctl_.PollPause(kIdlePauseMs);
  }
}

bool XModemYModemReceiver::HandleNext() {
  if (Stopped()) return false;
  const uint8_t first = ctl_.reply_buffer_[static_cast<size_t>(reply_pos_)];
  if (first == kCan) return HandleCancel();
  if (first == kEot) {
    ++reply_pos_;
    return HandleEndOfFile();
  }
  if (Accepted(first)) return HandleBlock(first);
  // Not the start of anything: drop this read and ask for the block again.
  Trace(ctl_, "receiver: " + std::to_string(Unread()) + " bytes that start no block, first " +
                  std::to_string(first));
  reply_pos_ = reply_len_;
  if (protocol_ == pYModemG) {
    // A streaming sender does not repeat: whatever this was cost data of the file.
    const std::u16string error = u"Data error in streaming mode, action terminated.";
    SetState(ReceiverState::kAborted);
    CancelAndAbort(ctl_, &error);
    return false;
  }
  SendBytes2(kNak, kNak);
  return true;
}

bool XModemYModemReceiver::HandleCancel() {
  int32_t run = LeadingCans(ctl_.reply_buffer_, reply_pos_, reply_len_);
  const bool only_cans = reply_pos_ + run == reply_len_;
  reply_pos_ = reply_len_;
  if (run < kCancelRun && only_cans) {
    const int32_t more = ReadFurtherBytes(ctl_, kCancelRun);
    run += LeadingCans(ctl_.reply_buffer_, 0, more);
  }
  if (run >= kCancelRun) {
    Abort();
    return false;
  }
  return true;
}

void XModemYModemReceiver::WritePending(bool last) {
  Buffer& held = ctl_.file_block_buffer_;
  int32_t count = pending_length_;
  if (last) {
    count = CountDataWithoutPad(Field(held, 3, pending_length_));
    // YModem says how long the file is: that length, not the pad bytes, ends it, so a file
    // whose own last bytes are 0x1A keeps them.
    if (IsYModem() && announced_size_ >= bytes_written_ &&
        announced_size_ - bytes_written_ <= pending_length_) {
      count = static_cast<int32_t>(announced_size_ - bytes_written_);
    }
  }
  bytes_written_ += count;
  ctl_.xfer_curr_bytes_ = ClampToInt32(bytes_written_);
  ctl_.RaiseOneBlockDone();
  ctl_.WriteFileBlocks(held, 3, count);
  pending_ = false;
}

bool XModemYModemReceiver::HandleEndOfFile() {
  const bool file_open = ctl_.transfer_file_ != nullptr;
  if (pending_) WritePending(true);
  ctl_.transfer_file_.reset();
  // A repeated EOT (our ACK of the first one went astray) finds no file open: it is only
  // acknowledged again.
  if (file_open) ctl_.RaiseFinishFile(ctl_.dst_file_name_);
  if (IsYModem()) {
    SendBytes2(kAck, protocol_ == pYModemG ? kStreamRequest : kCrcRequest);
    bytes_written_ = 0;
    pending_ = false;
    last_number_ = 0;
    announced_size_ = -1;
    SetState(ReceiverState::kWaitingForFileInfo);
    return true;  // the block loop's wait starts the time-out again
  }
  ctl_.transmit_buffer_[0] = kAck;
  ctl_.SendBytes(1);
  SetState(ReceiverState::kDone);
  StopTransferTimeout(ctl_);
  EndTransferNormally(ctl_);
  return false;
}

bool XModemYModemReceiver::CollectBlock(int32_t total, bool* short_as_checksum) {
  Buffer& work = ctl_.work_buffer_;
  int32_t have = std::min(total, Unread());
  std::memcpy(work.data(), ctl_.reply_buffer_.data() + reply_pos_, static_cast<size_t>(have));
  reply_pos_ += have;
  int empty_polls = 0;
  platform::EventLoop& loop = *ctl_.services().loop;
  uint64_t last_arrival = loop.NowMs();
  *short_as_checksum = false;
  while (have < total) {
    if (Stopped()) return false;
    ctl_.DoEvents();
    const int32_t queued = ctl_.InQueueCount();
    if (queued > 0) {
      // Only the bytes this block still misses: the work buffer never receives more.
      const int32_t n = std::min(queued, total - have);
      ctl_.ReadReply(n);
      std::memcpy(work.data() + have, ctl_.reply_buffer_.data(), static_cast<size_t>(n));
      have += n;
      reply_pos_ = reply_len_ = 0;
      last_arrival = loop.NowMs();
    } else {
      ++empty_polls;
      if (empty_polls >= kShortBlockPolls && have == total - 1 &&
          loop.NowMs() - last_arrival >= kShortBlockQuietMs) {
        *short_as_checksum = true;
        break;
      }
      ctl_.PollPause(kIdlePauseMs);
    }
    if (ctl_.timed_out_) {
      if (TimedOutAtLimit()) {
        Abort();
        return false;
      }
      StartTransferTimeout(ctl_);
    }
  }
  return true;
}

bool XModemYModemReceiver::HandleBlock(uint8_t first) {
  block_length_ = first == kSoh ? kShortBlock : kLongBlock;
  ctl_.timeout_count_ = 0;
  StartTransferTimeout(ctl_);
  bool as_checksum = false;
  if (!CollectBlock(block_length_ + check_length_ + 3, &as_checksum)) return false;
  ctl_.timeout_count_ = 0;
  StopTransferTimeout(ctl_);

  const Buffer& work = ctl_.work_buffer_;
  const auto field = Field(work, 3, block_length_);
  const size_t behind = static_cast<size_t>(3 + block_length_);
  bool good;
  if (as_checksum || check_length_ == 1) {
    good = BlockChecksum(field) == work[behind];
  } else {
    const uint16_t crc = Crc16(field);
    good = work[behind] == Crc16High(crc) && work[behind + 1] == Crc16Low(crc);
  }
  const uint8_t number = work[1];
  // The number and its complement lie outside the checked data field, so the check cannot
  // vouch for them; only their agreement can. A damaged number would otherwise be taken as a
  // block out of sequence, or as a repeat of the last block that is acknowledged and dropped
  // so that the next one is out of sequence: either way the transfer would be cancelled for a
  // block the sender would gladly have sent again. With YModem block 0 a damaged number could
  // even be taken for data block 1 before any file is open.
  const bool header_ok = work[2] == static_cast<uint8_t>(255 - number);
  if (!good || !header_ok) {
    if (protocol_ == pYModemG) {
      // No retransmission in streaming mode: a bad block, by its check or by its header, is a
      // damaged file.
      const std::u16string error = u"Data error in streaming mode, action terminated.";
      SetState(ReceiverState::kAborted);
      CancelAndAbort(ctl_, &error);
      return false;
    }
    // Only this block is dropped: a good block held back stays held (its number is still the
    // last one taken), so the sender's repeat of this block follows it in sequence and it is
    // written once, when that repeat or EOT arrives.
    Trace(ctl_, std::string("receiver: bad ") + (good ? "header" : "check") + ", block " +
                    std::to_string(number) + " complement " + std::to_string(work[2]) +
                    (as_checksum ? " taken as a checksum block" : "") + ", " +
                    std::to_string(Unread()) + " bytes behind it dropped");
    reply_pos_ = reply_len_;  // the sender sends the block again; what came with it is stale
    SendReply(kNak);
    return true;
  }
  if (number != 0 || bytes_written_ > 0 || pending_) {
    if (number == static_cast<uint8_t>(last_number_ + 1)) {
      // The block held back so far is not the last one: it goes to the file whole. The new
      // block is held in the file block buffer until the next block or EOT shows whether its
      // pad bytes belong to the file.
      if (pending_) WritePending(false);
      std::memcpy(ctl_.file_block_buffer_.data(), work.data(),
                  static_cast<size_t>(3 + block_length_));
      pending_ = true;
      pending_length_ = block_length_;
      last_number_ = number;
      if (state_ != ReceiverState::kReceivingData) SetState(ReceiverState::kReceivingData);
      SendReply(kAck);
    } else if (number == last_number_) {
      // A repeat of the block just taken (our ACK was lost): acknowledged, not taken twice.
      SendReply(kAck);
    } else {
      // Neither the next block nor a repeat: blocks went missing. Every later block would be
      // dropped as well and the file would end short, so the transfer is cancelled instead.
      Trace(ctl_,
            "receiver: block " + std::to_string(number) + " after " + std::to_string(last_number_));
      const std::u16string error = u"Block out of sequence, action terminated.";
      SetState(ReceiverState::kAborted);
      CancelAndAbort(ctl_, &error);
      return false;
    }
    return true;
  }
  return HandleFileInfo();
}

bool XModemYModemReceiver::HandleFileInfo() {
  const Buffer& work = ctl_.work_buffer_;
  const auto field = Field(work, 3, block_length_);
  // The end of the batch is a block 0 without a name. Most senders fill it with zeros (and
  // its CRC is then 0 as well), but lrzsz's sb leaves other bytes behind the empty name.
  const bool empty = field[0] == 0;
  if (empty) {
    SendReply(kAck);
    SetState(ReceiverState::kDone);
    StopTransferTimeout(ctl_);
    EndTransferNormally(ctl_);
    return false;
  }
  if (ctl_.xfer_trace_) {
    std::string head = "receiver: block 0,";
    static const char kHex[] = "0123456789abcdef";
    for (int i = 0; i < 16; ++i) {
      head += ' ';
      head += kHex[field[static_cast<size_t>(i)] >> 4];
      head += kHex[field[static_cast<size_t>(i)] & 15];
    }
    Trace(ctl_, head);
  }
  const FileInfo info = ParseYModemFileInfo(field);
  const std::u16string name = FromAnsi(ctl_, info.name);
  ctl_.dst_file_name_ = name;
  ctl_.xfer_curr_file_name_ = name;
  ctl_.xfer_curr_file_size_ = ClampToInt32(info.size);
  announced_size_ = info.size_is_decimal ? info.size : -1;
  if (!IsSafeReceivedName(info.name)) {
    const std::u16string error = u"Can not create file " + name + u".";
    SetState(ReceiverState::kAborted);
    CancelAndAbort(ctl_, &error);
    return false;
  }
  if (!CreateFile(name, true)) return false;
  SetState(ReceiverState::kReceivingData);
  if (protocol_ == pYModem) {
    SendBytes2(kAck, kCrcRequest);
  } else if (protocol_ == pYModemG) {
    ctl_.transmit_buffer_[0] = kStreamRequest;
    ctl_.SendBytes(1);
  }
  return true;
}

}  // namespace chanfold
