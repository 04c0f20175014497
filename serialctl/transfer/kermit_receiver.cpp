#include <algorithm>
#include <span>

#include "serialctl/transfer/block_checks.h"
#include "serialctl/transfer/kermit_engines.h"
#include "serialctl/transfer/kermit_packets.h"
#include "serialctl/transfer/transfer_manager.h"

namespace chanfold {

namespace {

// Polling pause while waiting for the Send-Init, where nothing else is going on.
constexpr uint32_t kInitPollMs = 10;

}  // namespace

const char* ToString(KermitReceiverState s) {
  switch (s) {
    case KermitReceiverState::kWaitInit:
      return "R";
    case KermitReceiverState::kFileHeader:
      return "F";
    case KermitReceiverState::kData:
      return "D";
    case KermitReceiverState::kEndOfFile:
      return "Z";
    case KermitReceiverState::kDone:
      return "done";
    case KermitReceiverState::kAborted:
      return "aborted";
  }
  return "?";
}

bool KermitNameIsSafe(const std::string& name) {
  if (name.empty() || name[0] == '/') return false;
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find('/', start);
    if (end == std::string::npos) end = name.size();
    if (name.compare(start, end - start, "..") == 0) return false;
    start = end + 1;
  }
  return true;
}

void KermitReceiver::SetState(KermitReceiverState s) {
  state_ = s;
  Trace(ctl_, std::string("kermit receiver: state ") + ToString(s));
}

void KermitReceiver::Restart() {
  ctl_.timeout_count_ = 0;
  ctl_.data_error_count_ = 0;
  ctl_.timer_out_.SetEnabled(true);
}

void KermitReceiver::Abort() {
  SetState(KermitReceiverState::kAborted);
  AbortRunningTransfer(ctl_);
}

void KermitReceiver::SendAck(int32_t n) {
  KermitSendPacket(ctl_, 'Y', ctl_.kermit_.read_seq, n);
  have_last_ = true;
  last_type_ = ctl_.kermit_.read_type;
  last_seq_ = ctl_.kermit_.read_seq;
}

void KermitReceiver::Run() {
  KermitState& k = ctl_.kermit_;
  ctl_.RaiseDoInit();
  SetState(KermitReceiverState::kWaitInit);
  KermitDefaults(k);
  k.block_check = '1';
  k.own_seq = 0;
  Restart();
  for (;;) {
    uint8_t type = KermitReadPacket(ctl_);
    if (ctl_.transfer_stop_) {
      Abort();
      return;
    }
    // The same packet again: its acknowledgement was lost. Answer with that acknowledgement
    // once more and do not act on the packet a second time (no data is written twice).
    if (have_last_ && type == last_type_ && k.read_seq == last_seq_) {
      Trace(ctl_, std::string("kermit receiver: repeated ") + static_cast<char>(type));
      KermitResend(ctl_);
      Restart();
      continue;
    }
    bool go_on = false;
    switch (state_) {
      case KermitReceiverState::kWaitInit:
        go_on = HandleWaitInit(type);
        break;
      case KermitReceiverState::kFileHeader:
        go_on = HandleFileHeader(type);
        break;
      case KermitReceiverState::kData:
        go_on = HandleData(type);
        break;
      case KermitReceiverState::kEndOfFile:
        go_on = HandleEndOfFile(type);
        break;
      case KermitReceiverState::kDone:
      case KermitReceiverState::kAborted:
        break;
    }
    if (!go_on) return;
  }
}

bool KermitReceiver::HandleWaitInit(uint8_t type) {
  KermitState& k = ctl_.kermit_;
  k.own_seq = 0;
  switch (type) {
    case 'S': {
      KermitTakeInit(ctl_);
      KermitCheckPrefixes(k);
      int32_t n = KermitBuildInit(ctl_);
      k.block_check = '1';
      SendAck(n);
      k.block_check = k.chkt;
      StopTransferTimeout(ctl_);
      SetState(KermitReceiverState::kFileHeader);
      Restart();
      return true;
    }
    case 'E':
    case 'N':
      Restart();
      return true;
    case 'B':
      Abort();
      return false;
    default:
      break;
  }
  if (!ctl_.timed_out_) {
    ctl_.Sleep(kInitPollMs);
    return true;
  }
  if (ctl_.timeout_count_ >= ctl_.retry_limit_) {
    Abort();
    return false;
  }
  ctl_.timed_out_ = false;
  ctl_.timer_out_.SetEnabled(true);
  return true;
}

bool KermitReceiver::HandleOther(uint8_t type, bool sleep_between_reads) {
  switch (type) {
    case 'E':
    case 'N':
      if (!CountDataError(ctl_)) {
        Abort();
        return false;
      }
      Restart();
      return true;
    case 'B':
      Abort();
      return false;
    default:
      break;
  }
  if (!ctl_.timed_out_) {
    if (sleep_between_reads) ctl_.Sleep(kInitPollMs);
    return true;
  }
  if (ctl_.timeout_count_ >= ctl_.retry_limit_) {
    Abort();
    return false;
  }
  ctl_.timed_out_ = false;
  ctl_.timer_out_.SetEnabled(true);
  // Not every sender times out on its own (G-Kermit waits for the receiver): a NAK for the
  // packet expected next makes it send that packet again, or, when our ACK was what got lost,
  // tells it that the last packet arrived.
  if (have_last_ && !ctl_.transfer_stop_) {
    KermitSendPacket(ctl_, 'N', (last_seq_ + 1) % 64, 0);
  }
  return true;
}

bool KermitReceiver::TakeFileHeader(bool in_end_of_file) {
  KermitState& k = ctl_.kermit_;
  StopTransferTimeout(ctl_);
  FileInfo info = ParseZModemFileInfo(
      std::span<const uint8_t>(ctl_.work_buffer_.data() + k.read_data_offset, k.read_data_length));
  name_ = FromAnsi(ctl_, info.name);
  ctl_.dst_file_name_ = name_;
  ctl_.xfer_curr_file_name_ = name_;
  ctl_.xfer_curr_file_size_ = static_cast<int32_t>(std::clamp<int64_t>(info.size, 0, INT32_MAX));
  ctl_.xfer_curr_bytes_ = 0;
  // A name that would lead out of the work folder is refused like a file that cannot be made.
  if (KermitNameIsSafe(info.name)) {
    ctl_.transfer_file_ =
        ctl_.services().files->Open(WorkPath(ctl_, name_), platform::OpenMode::kCreateAlways);
  }
  if (!ctl_.transfer_file_) {
    ctl_.RaiseHasError(u"Can not create file " + name_);
    if (in_end_of_file && !ctl_.transfer_stop_) KermitSendPacket(ctl_, 'B', k.own_seq, 0);
    Abort();
    return false;
  }
  ctl_.RaiseStartFile(name_);
  int32_t n = 0;
  if (!in_end_of_file) {
    n = static_cast<int32_t>(std::min<size_t>(info.name.size(), kBufferSize));
    std::copy_n(info.name.begin(), n, ctl_.work_buffer_.begin());
  }
  ctl_.PurgeInput();
  SendAck(n);
  SetState(KermitReceiverState::kData);
  Restart();
  return true;
}

bool KermitReceiver::HandleFileHeader(uint8_t type) {
  if (type == 'F') return TakeFileHeader(false);
  return HandleOther(type, false);
}

bool KermitReceiver::HandleData(uint8_t type) {
  switch (type) {
    case 'D':
      StopTransferTimeout(ctl_);
      KermitDecodeData(ctl_);
      SendAck(0);
      ctl_.RaiseOneBlockDone();
      Restart();
      return true;
    case 'Z':
      StopTransferTimeout(ctl_);
      SendAck(0);
      ctl_.transfer_file_.reset();
      ctl_.RaiseFinishFile(name_);
      SetState(KermitReceiverState::kEndOfFile);
      Restart();
      return true;
    case 'A':
      // Attributes are acknowledged and not used.
      SendAck(0);
      Restart();
      return true;
    default:
      return HandleOther(type, false);
  }
}

bool KermitReceiver::HandleEndOfFile(uint8_t type) {
  switch (type) {
    case 'F':
      return TakeFileHeader(true);
    case 'B':
      SendAck(0);
      SetState(KermitReceiverState::kDone);
      EndTransferNormally(ctl_);
      return false;
    default:
      return HandleOther(type, false);
  }
}

}  // namespace chanfold
