#include "serialctl/transfer/zmodem_receiver.h"

#include <algorithm>
#include <span>
#include <string_view>

#include "serialctl/transfer/block_checks.h"
#include "serialctl/transfer/transfer_manager.h"

namespace chanfold {

namespace {

// Our ZRINIT: buffer length 2048 (P1 = 8), full duplex, overlapped I/O, break, and every
// control character escaped (ESCCTL). No CRC-32 is offered.
constexpr uint8_t kOurBufferLengthLow = 0x00;
constexpr uint8_t kOurBufferLengthHigh = 0x08;
constexpr uint8_t kOurFlags = kZCanFdx | kZCanOvio | kZCanBrk | kZEscCtl;  // 0x47
// Pause after a read that found no header while nothing else waits: the sender is busy (a
// disk read, its own time-out), and polling faster gains nothing.
constexpr uint32_t kInvitationPauseMs = 10;
constexpr uint32_t kHeaderPauseMs = 100;
// Before our ZFIN: the sender's ZFIN has just arrived and it now reads.
constexpr uint32_t kFinPauseMs = 1;
// How long the sender's "OO" may take to come after our ZFIN: the time of our ZFIN and the two
// bytes on the line, and this much for the sender to answer, which it does at once. A sender
// that exits may have its "OO" discarded with its tty queues (lrzsz's sz flushes them as it
// exits), and the batch is complete by then, so a longer wait would only hold the end of every
// such transfer back; the wait ends without a time-out warning.
constexpr uint64_t kOverAndOutAnswerMs = 500;
// ZFIN (20 bytes) and "OO", counted at 11 bits a character (a parity bit or a second stop bit).
constexpr uint64_t kOverAndOutLineBits = 22 * 11;
constexpr uint32_t kOverAndOutPollMs = 10;

// A received name stays inside the work folder: it may name a subfolder there, but neither
// an absolute path nor a ".." component (nor an empty name) is taken.
bool NameStaysInWorkFolder(std::string_view name) {
  if (name.empty() || name.front() == '/') return false;
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find('/', start);
    if (end == std::string_view::npos) end = name.size();
    if (name.substr(start, end - start) == "..") return false;
    start = end + 1;
  }
  return true;
}

}  // namespace

const char* ToString(ZReceiverState s) {
  switch (s) {
    case ZReceiverState::kWaitingForInvitation:
      return "WaitingForInvitation";
    case ZReceiverState::kBetweenFiles:
      return "BetweenFiles";
    case ZReceiverState::kFileOpen:
      return "FileOpen";
    case ZReceiverState::kReceivingData:
      return "ReceivingData";
    case ZReceiverState::kRecovering:
      return "Recovering";
    case ZReceiverState::kDone:
      return "Done";
    case ZReceiverState::kAborted:
      return "Aborted";
  }
  return "?";
}

void ZModemReceiver::SetState(ZReceiverState s) {
  if (s != state_) Trace(ctl_, std::string("zmodem receiver: ") + ToString(s));
  state_ = s;
}

void ZModemReceiver::Abort() {
  SetState(ZReceiverState::kAborted);
  AbortRunningTransfer(ctl_);
}

bool ZModemReceiver::Stopped() {
  if (!ctl_.transfer_stop_) return false;
  Abort();
  return true;
}

void ZModemReceiver::SendHex(int type, uint32_t value) {
  z_.frame_type_to_send_ = type;
  PutHeaderValue(z_.header_, value);
  z_.ZSendHexHeader();
}

void ZModemReceiver::SendZRInit() {
  z_.frame_type_to_send_ = kZRInit;
  z_.header_ = {kOurBufferLengthLow, kOurBufferLengthHigh, 0x00, kOurFlags, 0};
  z_.ZSendHexHeader();
}

void ZModemReceiver::AskAgain() {
  SetState(ZReceiverState::kRecovering);
  SendHex(kZRPos, static_cast<uint32_t>(received_));
}

void ZModemReceiver::Run() {
  ctl_.timeout_count_ = 0;
  StartTransferTimeout(ctl_);
  ctl_.RaiseDoInit();
  if (!AwaitInvitation()) return;
  ctl_.timeout_count_ = 0;
  StopTransferTimeout(ctl_);
  SendZRInit();
  received_ = 0;
  SetState(ZReceiverState::kBetweenFiles);
  ReadHeaders();
}

bool ZModemReceiver::AwaitInvitation() {
  SetState(ZReceiverState::kWaitingForInvitation);
  for (;;) {
    if (Stopped()) return false;
    int type = z_.ZGetHeader();
    if (type == kZRqInit) return true;
    // Ending here sends no cancel sequence: there is no sender to tell.
    if (type == kZCan) {
      ctl_.transfer_stop_ = false;
      Abort();
      return false;
    }
    if (ctl_.timed_out_) {
      if (ctl_.timeout_count_ >= ctl_.retry_limit_) {
        ctl_.transfer_stop_ = false;
        Abort();
        return false;
      }
      StartTransferTimeout(ctl_);
    }
    if (!z_.BytesWaiting()) ctl_.Sleep(kInvitationPauseMs);
  }
}

bool ZModemReceiver::HandleHeaderTimeout() {
  if (ctl_.timeout_count_ >= ctl_.retry_limit_) {
    Abort();
    return false;
  }
  StartTransferTimeout(ctl_);
  // The sender may wait for an answer of ours that was lost: a ZRPOS (after its ZFILE, a
  // ZCRCW or our earlier ZRPOS) while a file is open, our ZRINIT otherwise.
  if (ctl_.transfer_file_) {
    AskAgain();
  } else {
    SendZRInit();
  }
  return true;
}

void ZModemReceiver::ReadHeaders() {
  ctl_.timeout_count_ = 0;
  StartTransferTimeout(ctl_);
  for (;;) {
    if (Stopped()) return;
    int type = z_.ZGetHeader();
    switch (type) {
      case kZFile:
        if (!OnFile()) return;
        break;
      case kZData:
        if (!OnData()) return;
        break;
      case kZEof:
        OnEndOfFile();
        break;
      case kZFin:
        OnFinish();
        return;
      case kZCan:
        Trace(ctl_, "zmodem receiver: ZCAN");
        Abort();
        return;
      case kZRqInit:
        // The sender did not hear our ZRINIT and invites again.
        if (!ctl_.transfer_file_) SendZRInit();
        break;
      default:
        if (ctl_.timed_out_) {
          if (!HandleHeaderTimeout()) return;
          ctl_.Sleep(kHeaderPauseMs);
        } else if (!z_.BytesWaiting()) {
          // Noise or a frame we do not act on; bytes that wait are read on at once, since
          // they may be the rest of a damaged stream being skipped.
          ctl_.Sleep(kHeaderPauseMs);
        }
        break;
    }
  }
}

bool ZModemReceiver::OnFile() {
  ctl_.timeout_count_ = 0;
  StopTransferTimeout(ctl_);
  int end = z_.ZReadData();
  if (end != kZFrameEndFlag + kZCrcW) {
    Trace(ctl_, "zmodem receiver: file information ended with " + std::to_string(end));
    // A damaged offer is asked for again with ZNAK, a bounded number of times; without the
    // file information there is no name to create, so at the limit the transfer ends.
    if (end == kZCan || ++bad_offers_ > ctl_.retry_limit_) {
      Abort();
      return false;
    }
    SendHex(kZNak, 0);
    StartTransferTimeout(ctl_);
    return true;
  }
  bad_offers_ = 0;
  FileInfo info = ParseZModemFileInfo(
      std::span<const uint8_t>(ctl_.work_buffer_.data(), static_cast<size_t>(z_.data_count_)));
  // An offer repeated because our ZRPOS was lost: the file is created anew.
  ctl_.transfer_file_.reset();
  name_ = FromAnsi(ctl_, info.name);
  ctl_.xfer_curr_file_name_ = name_;
  ctl_.dst_file_name_ = name_;
  ctl_.xfer_curr_file_size_ = static_cast<int32_t>(std::clamp<int64_t>(info.size, 0, INT32_MAX));
  ctl_.xfer_curr_bytes_ = 0;
  std::unique_ptr<platform::File> file;
  if (NameStaysInWorkFolder(info.name)) {
    file = ctl_.services().files->Open(WorkPath(ctl_, name_), platform::OpenMode::kCreateAlways);
  }
  if (!file) {
    ctl_.RaiseHasError(u"Can not create file " + name_);
    Abort();
    return false;
  }
  ctl_.transfer_file_ = std::move(file);
  ctl_.RaiseStartFile(name_);
  SendHex(kZRPos, 0);
  ctl_.timeout_count_ = 0;
  StartTransferTimeout(ctl_);
  received_ = 0;
  SetState(ZReceiverState::kFileOpen);
  return true;
}

void ZModemReceiver::WriteSubpacket() {
  StopTransferTimeout(ctl_);
  ctl_.WriteFileBlocks(ctl_.work_buffer_, 0, z_.data_count_);
  ctl_.xfer_curr_bytes_ += z_.data_count_;
  received_ += z_.data_count_;
  ctl_.RaiseOneBlockDone();
}

bool ZModemReceiver::OnData() {
  // Data with no file open has nowhere to go; the sender's next ZFILE or ZFIN sorts it out.
  if (!ctl_.transfer_file_) return true;
  // Data from any other position than the count received would leave a gap or write bytes
  // twice: ask for the right position (again) and skip what comes until then.
  if (static_cast<int64_t>(GetHeaderValue(z_.header_)) != received_) {
    AskAgain();
    return true;
  }
  SetState(ZReceiverState::kReceivingData);
  ctl_.timeout_count_ = 0;
  StartTransferTimeout(ctl_);
  for (;;) {
    if (Stopped()) return false;
    int r = z_.ZReadData();
    switch (r) {
      case kZFrameEndFlag + kZCrcG:
        WriteSubpacket();
        ctl_.timeout_count_ = 0;
        StartTransferTimeout(ctl_);
        break;
      case kZFrameEndFlag + kZCrcQ:
        // More data follows, and the sender wants to hear how far we got.
        WriteSubpacket();
        SendHex(kZAck, static_cast<uint32_t>(received_));
        ctl_.timeout_count_ = 0;
        StartTransferTimeout(ctl_);
        break;
      case kZFrameEndFlag + kZCrcW:
        WriteSubpacket();
        SendHex(kZAck, static_cast<uint32_t>(received_));
        ctl_.timeout_count_ = 0;
        StartTransferTimeout(ctl_);
        SetState(ZReceiverState::kFileOpen);
        return true;
      case kZFrameEndFlag + kZCrcE:
        // End of this frame's data; the header behind it (ZEOF, or a new ZDATA) is read by
        // the header loop.
        WriteSubpacket();
        ctl_.timeout_count_ = 0;
        StartTransferTimeout(ctl_);
        SetState(ZReceiverState::kFileOpen);
        return true;
      case kZCan:
        Trace(ctl_, "zmodem receiver: cancelled in the data");
        Abort();
        return false;
      case kZDataTooLong:
        Abort();
        return false;
      default:
        // A damaged subpacket, or the sender went quiet in the middle of one: nothing of it is
        // written; ask for the data again from the count received.
        if (ctl_.timed_out_) {
          if (ctl_.timeout_count_ >= ctl_.retry_limit_) {
            Abort();
            return false;
          }
          StartTransferTimeout(ctl_);
        }
        AskAgain();
        return true;
    }
  }
}

void ZModemReceiver::OnEndOfFile() {
  if (!ctl_.transfer_file_) {
    // A ZEOF again: our ZRINIT after the file was lost, so the sender repeats its ZEOF.
    SendZRInit();
    return;
  }
  if (static_cast<int64_t>(GetHeaderValue(z_.header_)) != received_) {
    // The sender ended the file at another position than we have: data went missing.
    AskAgain();
    return;
  }
  ctl_.transfer_file_.reset();
  ctl_.RaiseFinishFile(name_);
  SendZRInit();
  received_ = 0;
  ctl_.timeout_count_ = 0;
  StartTransferTimeout(ctl_);
  SetState(ZReceiverState::kBetweenFiles);
}

void ZModemReceiver::OnFinish() {
  if (ctl_.transfer_file_) {
    // The sender ends the batch in the middle of a file: the file is not complete.
    Abort();
    return;
  }
  ctl_.timeout_count_ = 0;
  StopTransferTimeout(ctl_);
  ctl_.Sleep(kFinPauseMs);
  SendHex(kZFin, 0);
  platform::EventLoop& loop = *ctl_.services().loop;
  const uint64_t baud = static_cast<uint64_t>(std::max<int32_t>(ctl_.get_BaudRate(), 1));
  const uint64_t deadline = loop.NowMs() + kOverAndOutLineBits * 1000 / baud + kOverAndOutAnswerMs;
  int over[2] = {-1, -1};
  for (int& b : over) {
    while (!z_.BytesWaiting() && !ctl_.transfer_stop_ && loop.NowMs() < deadline) {
      ctl_.DoEvents();
      ctl_.PollPause(kOverAndOutPollMs);
    }
    if (!z_.BytesWaiting()) break;
    b = z_.ReadLineByte();
  }
  const int first = over[0];
  const int second = over[1];
  // Every file is complete by now, so the batch ends normally whether or not both "O"s came
  // (a sender that exits at once may lose them on the way).
  Trace(ctl_, first == 'O' && second == 'O' ? "zmodem receiver: OO" : "zmodem receiver: no OO");
  SetState(ZReceiverState::kDone);
  EndTransferNormally(ctl_);
}

}  // namespace chanfold
