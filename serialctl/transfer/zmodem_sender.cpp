#include "serialctl/transfer/zmodem_sender.h"

#include <algorithm>
#include <span>

#include "serialctl/transfer/block_checks.h"
#include "serialctl/transfer/transfer_manager.h"

namespace chanfold {

namespace {

// Subpackets carry up to this many file bytes.
constexpr int32_t kSubpacketBytes = 1024;
// Each restart halves the subpacket length down to this, so that on a noisy line a subpacket
// has a fair chance to arrive whole; after kGrowAfter subpackets without a restart it doubles
// again, up to kSubpacketBytes.
constexpr int32_t kMinSubpacketBytes = 256;
constexpr int32_t kGrowAfter = 8;
// A receiver that announces no buffer length (0: it can take a whole file) still gets a ZCRCW
// now and then, so that a lost subpacket is noticed within a few kilobytes.
constexpr int32_t kDefaultWindow = 2048;
// Pauses between reads that found no header: short while inviting (the receiver may just be
// starting), longer while waiting for an answer that takes the receiver a disk write.
constexpr uint32_t kInvitePauseMs = 10;
constexpr uint32_t kAnswerPauseMs = 100;
constexpr uint32_t kEofReadPauseMs = 1;
// A moment for a header whose first bytes have arrived to arrive whole.
constexpr uint32_t kHeaderSettleMs = 1;
// Before "OO": lets the receiver's ZFIN leave the line first.
constexpr uint32_t kOverAndOutPauseMs = 1;

}  // namespace

const char* ToString(ZSenderState s) {
  switch (s) {
    case ZSenderState::kInviting:
      return "Inviting";
    case ZSenderState::kOfferingFile:
      return "OfferingFile";
    case ZSenderState::kStreaming:
      return "Streaming";
    case ZSenderState::kWaitingForAck:
      return "WaitingForAck";
    case ZSenderState::kEndingFile:
      return "EndingFile";
    case ZSenderState::kEndingBatch:
      return "EndingBatch";
    case ZSenderState::kDone:
      return "Done";
    case ZSenderState::kAborted:
      return "Aborted";
  }
  return "?";
}

void ZModemSender::SetState(ZSenderState s) {
  if (s != state_) Trace(ctl_, std::string("zmodem sender: ") + ToString(s));
  state_ = s;
}

void ZModemSender::Abort() {
  z_.DropQueued();
  SetState(ZSenderState::kAborted);
  AbortRunningTransfer(ctl_);
}

bool ZModemSender::Stopped() {
  if (!ctl_.transfer_stop_) return false;
  Abort();
  return true;
}

bool ZModemSender::TimeoutHandled() {
  if (!ctl_.timed_out_) return true;
  if (ctl_.timeout_count_ >= ctl_.retry_limit_) {
    Abort();
    return false;
  }
  StartTransferTimeout(ctl_);
  return true;
}

void ZModemSender::SendHex(int type, uint32_t value) {
  z_.frame_type_to_send_ = type;
  PutHeaderValue(z_.header_, value);
  z_.ZSendHexHeader();
}

void ZModemSender::QueueDataHeader(uint32_t position) {
  z_.frame_type_to_send_ = kZData;
  PutHeaderValue(z_.header_, position);
  z_.ZQueueBinHeader();
}

void ZModemSender::CloseFile() {
  ctl_.transfer_file_.reset();
}

void ZModemSender::Run() {
  ctl_.timeout_count_ = 0;
  StartTransferTimeout(ctl_);
  ctl_.RaiseDoInit();
  if (!Invite()) return;

  rx_buffer_length_ = z_.header_[1] * 256 + z_.header_[0];
  z_.peer_escctl_ = (z_.header_[3] & kZEscCtl) != 0;
  ctl_.timeout_count_ = 0;
  StopTransferTimeout(ctl_);
  ctl_.current_file_index_ = 0;

  // The first entry is offered even with an empty list.
  do {
    Next next = SendFile();
    if (next == Next::kEnded) return;
    if (next == Next::kEndBatch) break;
  } while (ctl_.current_file_index_ < ctl_.file_count_ && ctl_.current_file_index_ < kMaxFiles);
  EndBatch();
}

bool ZModemSender::Invite() {
  SetState(ZSenderState::kInviting);
  for (;;) {
    ctl_.PurgeInput();
    SendHex(kZRqInit, 0);
    int type;
    for (;;) {
      if (Stopped()) return false;
      type = z_.ZGetHeader();
      if (type >= 0) break;
      if (ctl_.timed_out_) {
        if (!TimeoutHandled()) return false;
        ctl_.Sleep(kInvitePauseMs);
        break;  // ZRQINIT again
      }
      if (!z_.BytesWaiting()) ctl_.Sleep(kInvitePauseMs);
    }
    if (type == kZChallenge) {
      // Echo the four header bytes in a ZACK, then invite again.
      z_.frame_type_to_send_ = kZAck;
      z_.ZSendHexHeader();
      ctl_.timeout_count_ = 0;
      StartTransferTimeout(ctl_);
    } else if (type == kZCan) {
      ctl_.timeout_count_ = 0;
      Abort();
      return false;
    } else if (type == kZRInit) {
      return true;
    }
  }
}

void ZModemSender::OfferFile() {
  z_.frame_type_to_send_ = kZFile;
  PutHeaderValue(z_.header_, 0);
  z_.header_[3] = kZCBin;
  z_.ZSendBinHeader();
}

void ZModemSender::OfferFileWithInfo(const std::string& ansi_entry) {
  OfferFile();
  // The work buffer may have held other bytes since: build the information again.
  info_length_ = BuildZModemFileInfo(std::span<uint8_t>(ctl_.work_buffer_.data(), kBufferSize - 1),
                                     ansi_entry, file_size_);
  z_.data_count_ = info_length_;
  z_.ZSendData(kZCrcW);
}

ZModemSender::Next ZModemSender::SendFile() {
  SetState(ZSenderState::kOfferingFile);
  entry_ = ctl_.file_list_[ctl_.current_file_index_];
  OfferFile();
  std::unique_ptr<platform::File> file =
      ctl_.services().files->Open(WorkPath(ctl_, entry_), platform::OpenMode::kReadExisting);
  if (!file) {
    ctl_.RaiseHasError(u"Can not open file " + entry_);
    Abort();
    return Next::kEnded;
  }
  int64_t size = file->Size();
  file_size_ = static_cast<int32_t>(std::clamp<int64_t>(size, 0, INT32_MAX));
  ctl_.transfer_file_ = std::move(file);
  ctl_.xfer_curr_file_size_ = file_size_;
  ctl_.xfer_curr_file_name_ = entry_;
  ctl_.xfer_curr_bytes_ = 0;
  const std::string ansi_entry = ToAnsi(ctl_, entry_);
  info_length_ = BuildZModemFileInfo(std::span<uint8_t>(ctl_.work_buffer_.data(), kBufferSize - 1),
                                     ansi_entry, file_size_);

  ctl_.RaiseStartFile(entry_);
  ctl_.PurgeInput();
  z_.data_count_ = info_length_;
  z_.ZSendData(kZCrcW);
  int offers = 1;

  ctl_.timeout_count_ = 0;
  StartTransferTimeout(ctl_);
  for (;;) {
    if (Stopped()) return Next::kEnded;
    int type = z_.ZGetHeader();
    switch (type) {
      case kZSkip:
        ctl_.timeout_count_ = 0;
        StopTransferTimeout(ctl_);
        CloseFile();
        ctl_.RaiseFinishFile(entry_);
        ++ctl_.current_file_index_;
        return Next::kNextFile;
      case kZAbort:
      case kZFin:
      case kZCan:
        Abort();
        return Next::kEnded;
      case kZRPos:
        return SendData();
      case kZRInit:
        // The receiver's own repeat of its ZRINIT (it missed our ZFILE, or answered an earlier
        // ZRQINIT twice): not an answer to this offer. Our time-out offers the file again.
        break;
      case kZNak:
        // The receiver got the offer damaged: offer it again at once, a bounded number of
        // times, so that a receiver that refuses every offer this way cannot hold us forever.
        if (++offers > ctl_.retry_limit_) {
          Abort();
          return Next::kEnded;
        }
        OfferFileWithInfo(ansi_entry);
        break;
      case kZError:
        if (ctl_.timed_out_) {
          if (!TimeoutHandled()) return Next::kEnded;
          // The offer or the receiver's answer was lost on the line: offer the file again.
          OfferFileWithInfo(ansi_entry);
        }
        break;
      default:
        // Any other answer: the receiver does not take files from us; end the batch.
        CloseFile();
        return Next::kEndBatch;
    }
  }
}

void ZModemSender::TakeRestartPosition() {
  RestartAt(GetHeaderValue(z_.header_));
}

void ZModemSender::RestartAt(int64_t pos) {
  // What the receiver said before it sees the restart answers the old stream (it may repeat
  // its ZRPOS for every damaged frame still on the way): drop it, or each repeat would restart
  // the data again and again.
  ctl_.PurgeInput();
  ctl_.read_ahead_pos_ = ctl_.read_ahead_count_;
  send_pos_ = static_cast<int32_t>(std::clamp<int64_t>(pos, 0, file_size_));
  repeat_ignored_ = false;
  subpacket_bytes_ = std::max(kMinSubpacketBytes, subpacket_bytes_ / 2);
  subpackets_since_change_ = 0;
  Trace(ctl_, "zmodem sender: restart at " + std::to_string(send_pos_) + " (sent up to " +
                  std::to_string(current_pos_) + ")");
  ctl_.xfer_curr_bytes_ = std::max(0, send_pos_ - start_pos_);
}

ZModemSender::Next ZModemSender::SendData() {
  ctl_.timeout_count_ = 0;
  StopTransferTimeout(ctl_);
  // A position beyond the file's end is taken as its end: there is nothing more to send.
  start_pos_ = static_cast<int32_t>(
      std::clamp<int64_t>(static_cast<int64_t>(GetHeaderValue(z_.header_)), 0, file_size_));
  send_pos_ = start_pos_;
  repeat_ignored_ = false;
  read_ahead_.Drop();
  for (;;) {
    // (Re)start from send_pos_.
    SetState(ZSenderState::kStreaming);
    QueueDataHeader(static_cast<uint32_t>(send_pos_));
    current_pos_ = send_pos_;
    window_count_ = 0;
    if (ctl_.transfer_file_) ctl_.transfer_file_->Seek(current_pos_);
    if (rx_buffer_length_ == 0) ctl_.PurgeInput();

    DataStep step = DataStep::kGoOn;
    while (step == DataStep::kGoOn) {
      if (Stopped()) return Next::kEnded;
      const int32_t n = read_ahead_.Take(ctl_, ctl_.work_buffer_, 0, subpacket_bytes_);
      if (++subpackets_since_change_ >= kGrowAfter && subpacket_bytes_ < kSubpacketBytes) {
        subpacket_bytes_ *= 2;
        subpackets_since_change_ = 0;
      }
      ctl_.xfer_curr_bytes_ += n;
      current_pos_ += n;
      z_.data_count_ = n;
      if (rx_buffer_length_ == 0) rx_buffer_length_ = kDefaultWindow;
      window_count_ += n;
      // A file that ends early (it shrank while being sent) ends the data like its true end.
      uint8_t end;
      if (current_pos_ >= file_size_ || n == 0) {
        end = kZCrcE;
      } else if (window_count_ > rx_buffer_length_) {
        end = kZCrcW;
      } else {
        end = kZCrcG;
      }
      z_.ZSendData(end);
      ctl_.RaiseOneBlockDone();

      if (end == kZCrcE) {
        step = EndFile();
      } else if (end == kZCrcG) {
        if (z_.BytesWaiting()) {
          ctl_.Sleep(kHeaderSettleMs);
          // A receiver may ask once for every damaged frame it sees, so requests for the
          // position we have just restarted from keep coming for a round trip. Acting on each
          // would restart the data under the receiver again and again; within the first
          // window after a restart such a repeat is taken as stale. (A real repeat shows again
          // at the next ZACK wait, where every request is acted on; or, at the end of the file,
          // as a ZEOF left unanswered, after which the data goes again from send_pos_.)
          if (z_.ZGetHeader() == kZRPos) {
            if (static_cast<int64_t>(GetHeaderValue(z_.header_)) == send_pos_ &&
                current_pos_ - send_pos_ <= rx_buffer_length_) {
              repeat_ignored_ = true;
            } else {
              ctl_.timeout_count_ = 0;
              TakeRestartPosition();
              StopTransferTimeout(ctl_);
              step = DataStep::kRestart;
            }
          }
        }
      } else {
        read_ahead_.Fill(ctl_, subpacket_bytes_);
        step = AwaitAck();
        if (step != DataStep::kGoOn) read_ahead_.Drop();  // a restart reads from its position
        if (step == DataStep::kGoOn) {
          window_count_ = 0;
          SetState(ZSenderState::kStreaming);
          QueueDataHeader(static_cast<uint32_t>(current_pos_));
        }
      }
    }
    if (step == DataStep::kEnded) return Next::kEnded;
    if (step == DataStep::kFileDone) return Next::kNextFile;
    // kRestart: send from send_pos_ again.
  }
}

ZModemSender::DataStep ZModemSender::AwaitAck() {
  SetState(ZSenderState::kWaitingForAck);
  // The count is not cleared here: it is cleared by every answer of the receiver, so a
  // receiver that stopped answering reaches the limit even though each time-out below lets
  // the data go on.
  StartTransferTimeout(ctl_);
  for (;;) {
    if (Stopped()) return DataStep::kEnded;
    int type = z_.ZGetHeader();
    if (type == kZAck) {
      ctl_.timeout_count_ = 0;
      StopTransferTimeout(ctl_);
      return DataStep::kGoOn;
    }
    if (type == kZRPos) {
      // The receiver missed data: restart where it asks, as while streaming.
      ctl_.timeout_count_ = 0;
      TakeRestartPosition();
      StopTransferTimeout(ctl_);
      return DataStep::kRestart;
    }
    if (ctl_.timed_out_) {
      if (!TimeoutHandled()) return DataStep::kEnded;
      // No answer: the ZACK may have been lost. Go on with a new ZDATA header; a receiver that
      // missed data answers it with a ZRPOS, which the streaming loop acts on.
      StopTransferTimeout(ctl_);
      return DataStep::kGoOn;
    }
    if (!z_.BytesWaiting()) ctl_.Sleep(kAnswerPauseMs);
  }
}

ZModemSender::DataStep ZModemSender::EndFile() {
  SetState(ZSenderState::kEndingFile);
  ctl_.timeout_count_ = 0;
  StartTransferTimeout(ctl_);
  bool zeof_repeated = false;
  for (bool first = true;; first = false) {
    zeof_repeated = !first;
    SendHex(kZEof, static_cast<uint32_t>(current_pos_));
    for (;;) {
      if (Stopped()) return DataStep::kEnded;
      ctl_.Sleep(kEofReadPauseMs);
      int type = z_.ZGetHeader();
      if (type == kZRInit) {
        ctl_.timeout_count_ = 0;
        StopTransferTimeout(ctl_);
        CloseFile();
        ctl_.RaiseFinishFile(entry_);
        ++ctl_.current_file_index_;
        return DataStep::kFileDone;
      }
      if (type == kZRPos && static_cast<int64_t>(GetHeaderValue(z_.header_)) == send_pos_ &&
          send_pos_ != start_pos_ && current_pos_ - send_pos_ <= rx_buffer_length_ &&
          !zeof_repeated) {
        // A repeat of the request we have just restarted for (see the streaming loop): stale
        // until the receiver repeats it after our ZEOF went out again.
        repeat_ignored_ = true;
        continue;
      }
      if (type == kZRPos) {
        // The receiver lost data near the end: send again from where it asks.
        ctl_.timeout_count_ = 0;
        TakeRestartPosition();
        StopTransferTimeout(ctl_);
        return DataStep::kRestart;
      }
      if (ctl_.timed_out_) {
        if (!TimeoutHandled()) return DataStep::kEnded;
        if (repeat_ignored_) {
          // The receiver asked for send_pos_, we took it as stale, and no ZRINIT came: the
          // request was real. A receiver still waiting for that position may not answer a
          // ZEOF at another one at all, so send from there again.
          StopTransferTimeout(ctl_);
          RestartAt(send_pos_);
          return DataStep::kRestart;
        }
        ctl_.Sleep(kAnswerPauseMs);
        break;  // ZEOF again
      }
      if (!z_.BytesWaiting()) ctl_.Sleep(kAnswerPauseMs);
    }
  }
}

void ZModemSender::EndBatch() {
  SetState(ZSenderState::kEndingBatch);
  SendHex(kZFin, 0);
  // Every file was acknowledged by now, so the wait for the receiver's ZFIN is bounded: a
  // receiver that exits before its ZFIN reaches us (or whose ZFIN is lost) must not keep the
  // transfer open. ZFIN goes again after each time-out; at the limit the batch ends normally.
  ctl_.timeout_count_ = 0;
  StartTransferTimeout(ctl_);
  for (;;) {
    if (ctl_.transfer_stop_) {
      Abort();
      return;
    }
    if (z_.ZGetHeader() == kZFin) break;
    if (ctl_.timed_out_) {
      if (ctl_.timeout_count_ >= ctl_.retry_limit_) break;
      StartTransferTimeout(ctl_);
      SendHex(kZFin, 0);
    } else if (!z_.BytesWaiting()) {
      ctl_.Sleep(kAnswerPauseMs);
    }
  }
  StopTransferTimeout(ctl_);
  ctl_.Sleep(kOverAndOutPauseMs);
  ctl_.transmit_buffer_[0] = 'O';
  ctl_.transmit_buffer_[1] = 'O';
  ctl_.SendBytes(2);
  SetState(ZSenderState::kDone);
  EndTransferNormally(ctl_);
}

}  // namespace chanfold
