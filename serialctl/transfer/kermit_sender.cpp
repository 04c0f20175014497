#include <algorithm>

#include "serialctl/transfer/kermit_engines.h"
#include "serialctl/transfer/kermit_packets.h"
#include "serialctl/transfer/transfer_manager.h"

namespace chanfold {

namespace {

// Polling pause while a state waits for an answer to its S packet: the reader itself already
// sleeps between empty polls, this only spaces out the outer loop.
constexpr uint32_t kInitPollMs = 10;
// After a time-out in the data state the packet is sent again and the sender pauses briefly,
// so that a late answer to the first copy and the purge before the next packet do not race.
constexpr uint32_t kDataResendPauseMs = 100;

}  // namespace

const char* ToString(KermitSenderState s) {
  switch (s) {
    case KermitSenderState::kSendInit:
      return "S";
    case KermitSenderState::kFileHeader:
      return "F";
    case KermitSenderState::kData:
      return "D";
    case KermitSenderState::kEndOfFile:
      return "Z";
    case KermitSenderState::kDone:
      return "done";
    case KermitSenderState::kAborted:
      return "aborted";
  }
  return "?";
}

void KermitSender::SetState(KermitSenderState s) {
  state_ = s;
  Trace(ctl_, std::string("kermit sender: state ") + ToString(s));
}

void KermitSender::FullRestart() {
  ctl_.timeout_count_ = 0;
  ctl_.data_error_count_ = 0;
  StartTransferTimeout(ctl_);
}

void KermitSender::Restart() {
  // After an answer that was not the expected one. The data-error count is kept: it only goes
  // back to 0 when a packet was acknowledged, so a peer that rejects every packet meets the
  // limit instead of holding the sender for ever.
  ctl_.timeout_count_ = 0;
  ctl_.timer_out_.SetEnabled(true);
}

void KermitSender::Abort() {
  SetState(KermitSenderState::kAborted);
  AbortRunningTransfer(ctl_);
}

void KermitSender::SendPacket(uint8_t type, int32_t n) {
  KermitSendPacket(ctl_, type, ctl_.kermit_.own_seq, n);
}

KermitSender::Answer KermitSender::Await() {
  uint8_t type = KermitReadPacket(ctl_);
  if (ctl_.transfer_stop_) return Answer::kGiveUp;
  switch (type) {
    case 'Y':
      return ctl_.kermit_.read_seq == ctl_.kermit_.own_seq ? Answer::kAckOwn : Answer::kAckOther;
    case 'E':
    case 'N':
      return Answer::kErrorOrNak;
    case 'B':
      return Answer::kBreak;
    default:
      break;
  }
  if (!ctl_.timed_out_) return Answer::kNothing;
  if (ctl_.timeout_count_ >= ctl_.retry_limit_) return Answer::kGiveUp;
  ctl_.timed_out_ = false;
  ctl_.timer_out_.SetEnabled(true);
  return Answer::kTimeout;
}

void KermitSender::Run() {
  KermitState& k = ctl_.kermit_;
  ctl_.current_file_index_ = 0;
  k.own_seq = 0;
  SetState(KermitSenderState::kSendInit);
  ctl_.RaiseDoInit();
  if (!SendInit()) return;
  // An empty list has nothing to send: the batch ends at once. (Entry 0 may still hold a name
  // of an earlier list, which must not go out.)
  if (ctl_.file_count_ > 0) {
    if (!OpenFile(0)) return;
    for (;;) {
      if (!SendFileHeader() || !SendData() || !SendEndOfFile()) return;
      StopTransferTimeout(ctl_);
      k.own_seq = (k.own_seq + 1) % 64;
      ctl_.transfer_file_.reset();
      ctl_.RaiseFinishFile(entry_);
      ctl_.current_file_index_++;
      if (ctl_.current_file_index_ >= ctl_.file_count_) break;
      SetState(KermitSenderState::kFileHeader);
      ctl_.timeout_count_ = 0;
      if (!OpenFile(ctl_.current_file_index_)) return;
    }
  }
  if (ctl_.transfer_stop_) {
    Abort();
    return;
  }
  SendPacket('B', 0);
  SetState(KermitSenderState::kDone);
  EndTransferNormally(ctl_);
}

bool KermitSender::OpenFile(int32_t index) {
  entry_ = ctl_.file_list_[index];
  ctl_.transfer_file_ =
      ctl_.services().files->Open(WorkPath(ctl_, entry_), platform::OpenMode::kReadExisting);
  if (!ctl_.transfer_file_) {
    // The first file's message names the entry alone, a later file's the folder too.
    std::u16string where = index == 0 ? u"" : ctl_.xfer_work_dir_ + u"\\";
    ctl_.RaiseHasError(u"Can not open file " + where + entry_);
    Abort();
    return false;
  }
  int64_t size = ctl_.transfer_file_->Size();
  ctl_.xfer_curr_file_size_ = static_cast<int32_t>(std::clamp<int64_t>(size, 0, INT32_MAX));
  ctl_.xfer_curr_file_name_ = entry_;
  ctl_.xfer_curr_bytes_ = 0;
  packet_name_ = ToAnsi(ctl_, entry_);
  for (char& c : packet_name_) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c == '\\') c = '/';
  }
  ctl_.RaiseStartFile(entry_);
  return true;
}

bool KermitSender::SendInit() {
  KermitState& k = ctl_.kermit_;
  FullRestart();
  for (;;) {
    if (ctl_.transfer_stop_) {
      Abort();
      return false;
    }
    k.own_seq = 0;
    KermitDefaults(k);
    int32_t n = KermitBuildInit(ctl_);
    ctl_.PurgeInput();
    k.block_check = '1';
    SendPacket('S', n);
    bool resend = false;
    while (!resend) {
      switch (Await()) {
        case Answer::kAckOwn:
          StopTransferTimeout(ctl_);
          ctl_.timeout_count_ = 0;
          ctl_.data_error_count_ = 0;
          ctl_.timed_out_ = false;
          KermitTakeInit(ctl_);
          KermitCheckPrefixes(k);
          k.own_seq = (k.own_seq + 1) % 64;
          k.block_check = k.chkt;
          SetState(KermitSenderState::kFileHeader);
          return true;
        case Answer::kAckOther:
          if (!CountDataError(ctl_)) {
            Abort();
            return false;
          }
          ctl_.timeout_count_ = 0;
          ctl_.timer_out_.SetEnabled(true);
          resend = true;
          break;
        case Answer::kErrorOrNak:
          // A receiver that waits for Send-Init may NAK now and then; counted, so that one
          // that only ever answers E or N ends at the limit.
          if (!CountDataError(ctl_)) {
            Abort();
            return false;
          }
          Restart();
          resend = true;
          break;
        case Answer::kNothing:
          ctl_.Sleep(kInitPollMs);
          break;
        case Answer::kTimeout:
          ctl_.Sleep(kInitPollMs);
          resend = true;
          break;
        case Answer::kBreak:
        case Answer::kGiveUp:
          Abort();
          return false;
      }
    }
  }
}

bool KermitSender::SendFileHeader() {
  FullRestart();
  for (;;) {
    if (ctl_.transfer_stop_) {
      Abort();
      return false;
    }
    ctl_.PurgeInput();
    int32_t n = static_cast<int32_t>(std::min<size_t>(packet_name_.size(), kBufferSize));
    std::copy_n(packet_name_.begin(), n, ctl_.work_buffer_.begin());
    SendPacket('F', n);
    bool resend = false;
    while (!resend) {
      Answer a = Await();
      switch (a) {
        case Answer::kAckOwn: {
          KermitState& k = ctl_.kermit_;
          ctl_.timeout_count_ = 0;
          ctl_.data_error_count_ = 0;
          StopTransferTimeout(ctl_);
          k.block_fill = 0;
          k.block_pos = 0;
          k.end_of_file = false;
          SetState(KermitSenderState::kData);
          k.own_seq = (k.own_seq + 1) % 64;
          ctl_.RaiseStartFile(entry_);
          return true;
        }
        case Answer::kAckOther:
        case Answer::kErrorOrNak:
          if (!CountDataError(ctl_)) {
            Abort();
            return false;
          }
          if (a == Answer::kAckOther) ctl_.timer_out_.SetEnabled(true);
          resend = true;
          break;
        case Answer::kNothing:
          break;
        case Answer::kTimeout:
          resend = true;
          break;
        case Answer::kBreak:
        case Answer::kGiveUp:
          Abort();
          return false;
      }
    }
  }
}

bool KermitSender::SendData() {
  KermitState& k = ctl_.kermit_;
  for (;;) {
    // Every packet starts afresh: the peer answered the last one as expected.
    FullRestart();
    if (ctl_.transfer_stop_) {
      Abort();
      return false;
    }
    int32_t n = KermitEncodeData(ctl_);
    ctl_.PurgeInput();
    SendPacket('D', n);
    ctl_.xfer_curr_bytes_ += k.consumed;
    ctl_.RaiseOneBlockDone();
    for (bool acked = false; !acked;) {
      Answer a = Await();
      switch (a) {
        case Answer::kAckOwn:
          acked = true;
          break;
        case Answer::kAckOther:
        case Answer::kErrorOrNak:
          if (!CountDataError(ctl_)) {
            Abort();
            return false;
          }
          if (ctl_.transfer_stop_) {
            Abort();
            return false;
          }
          if (a == Answer::kAckOther) {
            Restart();
            KermitResend(ctl_);
          } else {
            KermitResend(ctl_);
            Restart();
          }
          break;
        case Answer::kNothing:
          break;
        case Answer::kTimeout:
          if (ctl_.transfer_stop_) {
            Abort();
            return false;
          }
          KermitResend(ctl_);
          ctl_.Sleep(kDataResendPauseMs);
          break;
        case Answer::kBreak:
        case Answer::kGiveUp:
          Abort();
          return false;
      }
    }
    StopTransferTimeout(ctl_);
    k.own_seq = (k.own_seq + 1) % 64;
    if (k.end_of_file) {
      SetState(KermitSenderState::kEndOfFile);
      return true;
    }
  }
}

bool KermitSender::SendEndOfFile() {
  FullRestart();
  for (;;) {
    if (ctl_.transfer_stop_) {
      Abort();
      return false;
    }
    ctl_.PurgeInput();
    SendPacket('Z', 0);
    bool resend = false;
    while (!resend) {
      switch (Await()) {
        case Answer::kAckOwn:
          return true;
        case Answer::kAckOther:
        case Answer::kErrorOrNak:
          if (!CountDataError(ctl_)) {
            Abort();
            return false;
          }
          Restart();
          resend = true;
          break;
        case Answer::kNothing:
          break;
        case Answer::kTimeout:
          resend = true;
          break;
        case Answer::kBreak:
        case Answer::kGiveUp:
          Abort();
          return false;
      }
    }
  }
}

}  // namespace chanfold
