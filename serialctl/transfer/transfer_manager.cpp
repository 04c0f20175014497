// The control's transfer front: the transfer properties and methods, the file list, the start
// checks, the one-shot start of the engine, the time-out timer with its retry count, the
// data-error count, the common abort and the normal end.
#include "serialctl/transfer/transfer_manager.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "serialctl/transfer/kermit_engines.h"
#include "serialctl/transfer/kermit_packets.h"
#include "serialctl/transfer/xmodem_ymodem.h"
#include "serialctl/transfer/zmodem_receiver.h"
#include "serialctl/transfer/zmodem_sender.h"

namespace chanfold {

namespace {

// Time-out intervals below a second would fire before a peer at a slow line rate could answer
// even one block; such a value is stored but does not reach the timer.
constexpr int32_t kMinTimeoutIntervalMs = 1000;
// The peer's last bytes (an ACK of the end of the batch, say) get this long to arrive before the
// receive queue is purged at the normal end.
constexpr uint32_t kEndSettleMs = 100;
// XferStop lets a running engine see the flag: one yield, then this long before the call returns.
constexpr uint32_t kStopSettleMs = 200;
constexpr int kXModemCancelCount = 5;
constexpr int kZModemCancelCount = 8;

bool IsXModemProtocol(ProtocolType p) {
  return p == pXModemChecksum || p == pXModemCRC || p == pXModem1K;
}

bool IsBlank(const std::u16string& s) {
  return std::all_of(s.begin(), s.end(), [](char16_t c) { return c == u' '; });
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Helpers shared with the engines

std::string ToAnsi(ChanfoldCtrl& ctl, const std::u16string& s) {
  std::string out;
  out.reserve(s.size());
  platform::Locale* locale = ctl.services().locale;
  for (char16_t c : s) {
    int b = locale ? locale->ToAnsi(c) : (c < 0x80 ? c : -1);
    out.push_back(static_cast<char>(b < 0 ? '?' : b));
  }
  return out;
}

std::u16string FromAnsi(ChanfoldCtrl& ctl, const std::string& s) {
  std::u16string out;
  out.reserve(s.size());
  platform::Locale* locale = ctl.services().locale;
  for (char c : s) {
    const uint8_t b = static_cast<uint8_t>(c);
    out.push_back(locale ? locale->FromAnsi(b) : static_cast<char16_t>(b));
  }
  return out;
}

std::u16string Utf16(const char* ascii) {
  std::u16string out;
  for (; *ascii; ++ascii) out.push_back(static_cast<char16_t>(static_cast<uint8_t>(*ascii)));
  return out;
}

std::string WorkPath(ChanfoldCtrl& ctl, const std::u16string& name) {
  return ToAnsi(ctl, ctl.xfer_work_dir_ + u"\\" + name);
}

void Trace(ChanfoldCtrl& ctl, const std::string& line) {
  if (ctl.xfer_trace_) ctl.xfer_trace_(line);
}

void FileReadAhead::Fill(ChanfoldCtrl& ctl, int32_t n) {
  count_ = ctl.ReadFileBlocks(ctl.file_block_buffer_, 0, n);
}

int32_t FileReadAhead::Take(ChanfoldCtrl& ctl, Buffer& buffer, int32_t offset, int32_t n) {
  if (count_ < 0) return ctl.ReadFileBlocks(buffer, offset, n);
  // Never past the end of the buffer it fills.
  const int32_t room = offset >= 0 && offset < kBufferSize ? kBufferSize - offset : 0;
  const int32_t count = std::min(count_, room);
  std::memcpy(buffer.data() + offset, ctl.file_block_buffer_.data(), static_cast<size_t>(count));
  count_ = -1;
  return count;
}

// ---------------------------------------------------------------------------------------------
// Routines of the engines

void StartTransferTimeout(ChanfoldCtrl& ctl) {
  ctl.timed_out_ = false;
  ctl.timer_out_.SetEnabled(true);
}

void StopTransferTimeout(ChanfoldCtrl& ctl) {
  ctl.timer_out_.SetEnabled(false);
}

bool CountDataError(ChanfoldCtrl& ctl) {
  ++ctl.data_error_count_;
  if (ctl.data_error_count_ < ctl.retry_limit_) {
    ctl.RaiseHasError(std::string("Data error, try again..."));
    return true;
  }
  ctl.RaiseHasError(std::string("Too many errors, action terminated."));
  return false;
}

void AbortRunningTransfer(ChanfoldCtrl& ctl) {
  Trace(ctl, "abort");
  if (ctl.transfer_stop_) {
    int n = 0;
    switch (ctl.xfer_protocol_) {
      case pXModemChecksum:
      case pXModemCRC:
      case pXModem1K:
      case pYModem:
      case pYModemG:
        for (; n < kXModemCancelCount; ++n) ctl.transmit_buffer_[n] = kCan;
        break;
      case pZModem:
        for (; n < kZModemCancelCount; ++n) ctl.transmit_buffer_[n] = kCan;
        for (int i = 0; i < kZModemCancelCount; ++i) ctl.transmit_buffer_[n++] = kBs;
        break;
      default:
        // Kermit cancels with its error packet "Cancelled".
        KermitSendError(ctl);
        break;
    }
    ctl.SendBytes(n);
  }
  if (ctl.transfer_active_) ctl.RaiseAbortTransfer();
  ctl.transfer_active_ = false;
  StopTransferTimeout(ctl);
  ctl.transfer_file_.reset();
}

void CancelAndAbort(ChanfoldCtrl& ctl, const std::u16string* error) {
  if (error) ctl.RaiseHasError(*error);
  for (int i = 0; i < kXModemCancelCount; ++i) ctl.transmit_buffer_[i] = kCan;
  ctl.SendBytes(kXModemCancelCount);
  AbortRunningTransfer(ctl);
}

void EndTransferNormally(ChanfoldCtrl& ctl) {
  Trace(ctl, "finish");
  ctl.Sleep(kEndSettleMs);
  ctl.PurgeInput();
  StopTransferTimeout(ctl);
  ctl.transfer_file_.reset();
  ctl.transfer_active_ = false;
  ctl.RaiseFinishTransfer();
}

// ---------------------------------------------------------------------------------------------
// Members of the control

void ChanfoldCtrl::put_XferProtocol(ProtocolType v) {
  if (!transfer_active_) xfer_protocol_ = v;
}

void ChanfoldCtrl::put_XferWorkDir(const std::u16string& v) {
  if (transfer_active_) return;
  xfer_work_dir_ = v;
  if (!xfer_work_dir_.empty() && xfer_work_dir_.back() == u'\\') xfer_work_dir_.pop_back();
  work_dir_present_ = services_.files->SetCurrentDirectory(ToAnsi(*this, xfer_work_dir_));
}

void ChanfoldCtrl::put_XferTimeoutInterval(int32_t v) {
  xfer_timeout_interval_ = v;
  if (v >= kMinTimeoutIntervalMs) timer_out_.SetInterval(static_cast<uint32_t>(v));
}

void ChanfoldCtrl::put_XferTimeoutsAllowed(int16_t v) {
  xfer_timeouts_allowed_ = v;
  if (v > 0) retry_limit_ = v;
}

void ChanfoldCtrl::XferClearAllFiles() {
  if (!transfer_active_) file_count_ = 0;
}

HResult ChanfoldCtrl::XferAddFile(const std::u16string& file_name) {
  if (transfer_active_) return kOk;
  if (IsXModemProtocol(xfer_protocol_) && file_count_ >= 1) {
    RaiseHasError(std::string("All XModem protocols can only transfer one file once."));
    return kOk;
  }
  if (file_count_ >= kMaxFiles) return kBadIndex;
  file_list_[static_cast<size_t>(file_count_)] = file_name;
  ++file_count_;
  return kOk;
}

void ChanfoldCtrl::XferSetDstFile(const std::u16string& file_name) {
  if (!transfer_active_) dst_file_name_ = file_name;
}

namespace {

// Every check that applies runs and raises its own message; the result is whether all passed.
bool RunStartChecks(ChanfoldCtrl& ctl) {
  bool ok = true;
  if (!ctl.work_dir_present_) {
    ctl.RaiseHasError(ctl.xfer_work_dir_ + u" does not exist.");
    ok = false;
  }
  const bool download = ctl.xfer_mode_ == aDownload;
  if (IsBlank(ctl.xfer_work_dir_)) {
    ctl.RaiseHasError(std::string(download
                                      ? "Please specify the work directory on the download side."
                                      : "Please specify the work directory on the upload side."));
    ok = false;
  }
  if (!download) {
    platform::FileSystem& files = *ctl.services().files;
    for (int32_t i = 0; i < ctl.file_count_; ++i) {
      const std::u16string path = ctl.xfer_work_dir_ + u"\\" + ctl.file_list_[i];
      const std::string ansi = ToAnsi(ctl, path);
      const uint32_t attributes = files.GetAttributes(ansi);
      // A folder of that name is not a file to send.
      if (attributes == platform::kInvalidFileAttributes ||
          (attributes & platform::kFileAttributeDirectory) != 0) {
        ctl.RaiseHasError(path + u" does not exist.");
        ok = false;
        continue;
      }
      std::unique_ptr<platform::File> file = files.Open(ansi, platform::OpenMode::kReadExisting);
      if (file && file->Size() == 0) {
        ctl.RaiseHasError(path + u" is empty.");
        ok = false;
      }
    }
  }
  if (IsXModemProtocol(ctl.xfer_protocol_) && download && IsBlank(ctl.dst_file_name_)) {
    ctl.RaiseHasError(
        std::string("For all XModem protocols, the name of the file on the download side must be "
                    "specified."));
    return false;
  }
  return ok;
}

}  // namespace

void ChanfoldCtrl::put_XferStart(VBool v) {
  if (v != kVTrue) return;
  if (transfer_active_) {
    RaiseHasError(
        std::string("You can't do the file-transfer now since another file-transfer is underway."));
    RaiseAbortTransfer();
    return;
  }
  transfer_active_ = true;
  if (!RunStartChecks(*this)) {
    RaiseAbortTransfer();
    transfer_active_ = false;
    return;
  }
  if (!connected_) {
    if (modem_call_) {
      RaiseHasError(std::string("There is no connection yet."));
    } else {
      RaiseHasError(port_ + u" is not open yet.");
    }
    RaiseAbortTransfer();
    transfer_active_ = false;
    return;
  }
  transfer_stop_ = false;
  // The engine runs inside the timer's event, so this call returns at once.
  timer_xfer_.SetEnabled(true);
}

void ChanfoldCtrl::put_XferStop(VBool v) {
  transfer_stop_ = v != 0;
  DoEvents();
  Sleep(kStopSettleMs);
}

void ChanfoldCtrl::OnTimerXfer() {
  // One-shot: disabled before anything can yield, so the engine never starts twice.
  timer_xfer_.SetEnabled(false);
  DoEvents();
  transfer_active_ = true;
  transfer_stop_ = false;
  read_ahead_count_ = 0;
  read_ahead_pos_ = 0;
  xfer_curr_file_size_ = 0;
  xfer_curr_file_name_.clear();
  xfer_curr_bytes_ = 0;
  DoEvents();
  const bool download = xfer_mode_ == aDownload;
  switch (xfer_protocol_) {
    case pXModemChecksum:
    case pXModemCRC:
    case pXModem1K:
    case pYModem:
    case pYModemG:
      if (download) {
        XModemYModemReceiver(*this).Run();
      } else {
        XModemYModemSender(*this).Run();
      }
      break;
    case pZModem:
      if (download) {
        ZModemReceiver(*this).Run();
      } else {
        ZModemSender(*this).Run();
      }
      break;
    default:
      if (download) {
        KermitReceiver(*this).Run();
      } else {
        KermitSender(*this).Run();
      }
      break;
  }
  DoEvents();
}

void ChanfoldCtrl::OnTimerOut() {
  timer_out_.SetEnabled(false);
  timed_out_ = true;
  DoEvents();
  ++timeout_count_;
  if (timeout_count_ < retry_limit_) {
    RaiseHasWarning("No response and timeout, try again (" + std::to_string(timeout_count_) +
                    ") ...");
  } else {
    RaiseHasError(std::string("Maximum timeouts reached, action terminated."));
  }
}

}  // namespace chanfold
