// The control's port side: settings applied at open, the connection, text and byte I/O, the
// primitives the protocol engines use, and the Misc line monitor. The transfer members live in
// serialctl/transfer/transfer_manager.cpp.
#include "serialctl/chanfold_ctrl.h"

#include <algorithm>
#include <cmath>

namespace chanfold {

namespace {

// Misc polls the modem lines and the input queue twice a second: often enough that a host's
// OnComm handler sees a device reply promptly, seldom enough to cost nothing.
constexpr uint32_t kMiscIntervalMs = 500;
// The transfer timer is a short one-shot: the property call returns and the engine starts from
// the message loop a moment later.
constexpr uint32_t kTimerXferIntervalMs = 100;

// Every read asks only for bytes the driver has already queued, so it completes at once; the
// wait only guards against a driver that does not.
constexpr uint32_t kReadWaitMs = 5000;
// Writes are short (at most one 1029-byte block, or 256 bytes from SendBytes); half a second
// covers them at any usual line rate without stalling the host on a blocked line.
constexpr uint32_t kWriteWaitMs = 500;
// After each read the control sleeps briefly, so a polling caller does not spin on the queue.
constexpr uint32_t kReadSettleMs = 1;

// SendBytes writes at most this many bytes per call and pauses kSendPauseMs after each piece.
// The device's bootloader takes its uploads at this pace; a faster sender overruns it.
constexpr int32_t kSendPieceBytes = 256;
constexpr uint32_t kSendPauseMs = 10;

// The transfer file is read and written in pieces of this size, with a yield and a 1 ms sleep
// per piece so the host stays responsive while a large block goes to disk.
constexpr int32_t kFilePieceBytes = 3000;
constexpr uint32_t kFilePauseMs = 1;

// The event mask set at open: every event from EV_RXCHAR up to EV_PERR.
constexpr uint32_t kCommMaskAll = 0x03FF;

// The flag-word values OR-ed in for each flow control (positions of the Win32 DCB bits).
constexpr uint32_t kFlowXonXoff = platform::dcb::kOutX | platform::dcb::kInX;  // 0x0300
constexpr uint32_t kFlowHardware =
    platform::dcb::kOutxCtsFlow |
    (platform::dcb::kControlHandshake << platform::dcb::kRtsControlShift);  // 0x2004
constexpr uint32_t kFlowDtr = platform::dcb::kControlEnable
                              << platform::dcb::kDtrControlShift;  // 0x0010
constexpr uint32_t kFlowRts = platform::dcb::kControlEnable
                              << platform::dcb::kRtsControlShift;  // 0x1000
static_assert(kFlowXonXoff == 0x0300 && kFlowHardware == 0x2004 && kFlowDtr == 0x0010 &&
              kFlowRts == 0x1000);

// A value for a one-byte field of the device-control block; false when it does not fit.
bool ToByteField(int32_t v, uint8_t* out) {
  if (v < 0 || v > 255) return false;
  *out = static_cast<uint8_t>(v);
  return true;
}

// A quarter of a queue size as an XON/XOFF limit: rounded to the nearest whole number with
// halves to the even neighbour. The limits are 16-bit fields while the queue sizes are 32-bit
// settings; a quarter beyond 65535 is clamped to 65535 (and a negative one to 0) instead of
// wrapping into a small, wrong limit.
uint16_t QuarterLimit(int32_t queue_size) {
  double limit = std::nearbyint(static_cast<double>(queue_size) * 0.25);
  return static_cast<uint16_t>(std::clamp(limit, 0.0, 65535.0));
}

// ASCII text of the control's own messages as an interface string.
std::u16string Widen(const std::string& ascii) {
  std::u16string out;
  out.reserve(ascii.size());
  for (char c : ascii) out.push_back(static_cast<unsigned char>(c));
  return out;
}

// What a byte-array member returns when it has nothing to return: one element of value 0.
Variant OneByteDefault() {
  return Variant::Bytes({0});
}

}  // namespace

ChanfoldCtrl::ChanfoldCtrl(platform::Services& services)
    : services_(services),
      misc_timer_(*services.loop, [this] { OnMiscTick(); }),
      timer_xfer_(*services.loop, [this] { OnTimerXfer(); }),
      timer_out_(*services.loop, [this] { OnTimerOut(); }) {
  misc_timer_.SetInterval(kMiscIntervalMs);
  timer_xfer_.SetInterval(kTimerXferIntervalMs);
  // The transfer time-out follows XferTimeoutInterval (5000 ms at creation).
  timer_out_.SetInterval(static_cast<uint32_t>(xfer_timeout_interval_));
}

// The device and the transfer file are owned by unique_ptr and released here. Hosts still
// close the port before they unload the control; releasing what is left on destruction only
// keeps a forgotten port from staying locked for the rest of the process.
ChanfoldCtrl::~ChanfoldCtrl() = default;

// ---------------------------------------------------------------------------------------------
// Connection

// Any non-zero value counts as True, as a Boolean condition does.
void ChanfoldCtrl::put_PortOpen(VBool v) {
  if (v != kVFalse) {
    if (connected_) {
      RaiseHasError("The connection was already up.");
      return;
    }
    OpenDevice();
    // Misc runs after every attempt, also a failed one, so a held device is still polled.
    misc_timer_.SetEnabled(true);
    return;
  }
  CloseDevice();
  device_.reset();
  handle_state_ = HandleState::kInvalid;
  connected_ = false;
  misc_timer_.SetEnabled(false);
}

void ChanfoldCtrl::OpenDevice() {
  connected_ = false;
  modem_call_ = false;

  // A device still held from an earlier attempt that failed while configuring is closed first.
  // Otherwise the new open would fail (the device is opened exclusively) and the old handle
  // would be lost, keeping the port locked until the control goes away.
  device_.reset();

  // The path is ANSI; a character of Port outside the code page becomes "?", which names no
  // device, so the open fails as it would on Windows.
  std::string path = "\\\\.\\";
  for (char16_t c : port_) {
    int code = services_.locale->ToAnsi(c);
    path.push_back(code > 0 && code <= 255 ? static_cast<char>(code) : '?');
  }
  const std::u16string open_failed = u"Can not open port " + port_ + u".";

  device_ = services_.serial->Open(path);
  if (!device_) {
    handle_state_ = HandleState::kInvalid;
    misc_timer_.SetEnabled(false);
    RaiseHasError(open_failed);
    return;
  }
  handle_state_ = HandleState::kValid;

  platform::Dcb dcb;
  if (!device_->GetCommState(&dcb)) {
    misc_timer_.SetEnabled(false);
    RaiseHasError("GetCommState() function failed.");
    return;
  }
  // The template's result is ignored: the fields that matter are overwritten below.
  platform::BuildCommDcb("9600,N,8,1", &dcb);
  if (!FillDcb(&dcb)) {
    // A setting that does not fit its field ends the open like any other run-time error of it;
    // the device stays held.
    misc_timer_.SetEnabled(false);
    RaiseHasError(open_failed);
    return;
  }
  if (!device_->SetCommState(dcb)) {
    misc_timer_.SetEnabled(false);
    RaiseHasError("SetCommState() function failed.");
    return;
  }
  if (!device_->SetupComm(static_cast<uint32_t>(input_q_), static_cast<uint32_t>(output_q_))) {
    misc_timer_.SetEnabled(false);
    RaiseHasError("SetupComm() function failed.");
    return;
  }
  if (!device_->SetCommMask(kCommMaskAll)) {
    misc_timer_.SetEnabled(false);
    RaiseHasError("SetCommMask() function failed.");
    return;
  }

  // The device keeps its time-outs and queues: every read asks only for queued bytes.
  connected_ = true;
  cd_ = cts_ = dsr_ = ring_ = false;
  DoEvents();
  if (!modem_call_) misc_timer_.SetEnabled(true);
}

bool ChanfoldCtrl::FillDcb(platform::Dcb* dcb) const {
  dcb->DCBlength = sizeof(platform::Dcb);
  dcb->BaudRate = static_cast<uint32_t>(baud_rate_);
  dcb->flags |= platform::dcb::kBinary;
  if (!ToByteField(static_cast<int32_t>(data_bits_) + 4, &dcb->ByteSize)) return false;
  if (!ToByteField(parity_, &dcb->Parity)) return false;
  if (!ToByteField(stop_bits_, &dcb->StopBits)) return false;
  // Only the bits of the chosen handshake are added; every other bit stays as the driver's
  // state and the template left it. Values outside the enumeration add nothing.
  switch (flow_control_) {
    case fcNone:
      break;
    case fcXonXoff:
      dcb->flags |= kFlowXonXoff;
      if (!ToByteField(xon_char_, &dcb->XonChar)) return false;
      if (!ToByteField(xoff_char_, &dcb->XoffChar)) return false;
      dcb->XonLim = QuarterLimit(input_q_);
      dcb->XoffLim = QuarterLimit(output_q_);
      break;
    case fcHardware:
      dcb->flags |= kFlowHardware;
      break;
    case fcDTR:
      dcb->flags |= kFlowDtr;
      break;
    case fcRTS:
      dcb->flags |= kFlowRts;
      break;
    case fcDTR_RTS:
      dcb->flags |= kFlowDtr | kFlowRts;
      break;
  }
  return true;
}

void ChanfoldCtrl::CloseDevice() {
  device_.reset();
  handle_state_ = HandleState::kInvalid;
  connected_ = false;
  // A running engine sees the flag at its next check and ends through its abort path.
  if (transfer_active_) transfer_stop_ = true;
}

VBool ChanfoldCtrl::get_IsConnected() {
  bool was_connected = connected_;
  // Callers poll this in loops and rely on it to let timers and events run.
  DoEvents();
  return ToVBool(was_connected);
}

// ---------------------------------------------------------------------------------------------
// Text and byte I/O. Every member that touches the queue stops Misc while it runs, so no
// OnComm or line event fires inside it, and starts it again on every path before it returns.

int32_t ChanfoldCtrl::get_AvailDataCount() {
  misc_timer_.SetEnabled(false);
  avail_data_count_ = InQueueCount();
  misc_timer_.SetEnabled(true);
  return avail_data_count_;
}

bool ChanfoldCtrl::ReadIntoInputData(int32_t n) {
  // Nothing queued: there is nothing to read and the InputData value keeps its last bytes.
  if (n <= 0 || !device_) return false;
  std::vector<uint8_t> bytes(static_cast<size_t>(n), 0);
  uint32_t transferred = 0;
  // A failed or short read leaves zeros in the positions it did not fill; it is not reported.
  device_->Read(bytes.data(), static_cast<uint32_t>(n), kReadWaitMs, &transferred);
  Sleep(kReadSettleMs);
  input_data_ = Variant::Bytes(std::move(bytes));
  return true;
}

// Connected with an empty queue returns "" without an error: there is simply no text yet.
std::u16string ChanfoldCtrl::get_InputStringData() {
  misc_timer_.SetEnabled(false);
  avail_data_count_ = InQueueCount();
  std::u16string text;
  if (connected_ && ReadIntoInputData(avail_data_count_)) {
    const std::vector<uint8_t>& bytes = input_data_.bytes();
    text.reserve(bytes.size());
    // One character per byte through the ANSI code page; a zero byte stays a NUL character.
    for (uint8_t b : bytes) text.push_back(services_.locale->FromAnsi(b));
  }
  misc_timer_.SetEnabled(true);
  return text;
}

HResult ChanfoldCtrl::put_OutputStringData(const std::u16string& v) {
  if (!connected_ || v.empty()) return kOk;
  std::vector<uint8_t> bytes;
  bytes.reserve(v.size());
  for (char16_t c : v) {
    int code = services_.locale->ToAnsi(c);
    // A character without a single byte in the code page cannot go on the line as text.
    if (code < 0 || code > 255) return kOverflow;
    bytes.push_back(static_cast<uint8_t>(code));
  }
  output_value_ = Variant::Bytes(bytes);
  misc_timer_.SetEnabled(false);
  WriteOutputValue(bytes);
  misc_timer_.SetEnabled(true);
  return kOk;
}

void ChanfoldCtrl::WriteOutputValue(const std::vector<uint8_t>& bytes) {
  if (bytes.empty()) return;
  if (device_) {
    uint32_t transferred = 0;
    // All bytes in one call; a failure or a write still running after the wait is not reported.
    device_->Write(bytes.data(), static_cast<uint32_t>(bytes.size()), kWriteWaitMs, &transferred);
  }
  DoEvents();
}

// Connected with an empty queue returns the one-byte default without an error.
Variant ChanfoldCtrl::get_InputData() {
  misc_timer_.SetEnabled(false);
  avail_data_count_ = InQueueCount();
  bool read = connected_ && ReadIntoInputData(avail_data_count_);
  misc_timer_.SetEnabled(true);
  return read ? input_data_ : OneByteDefault();
}

Variant ChanfoldCtrl::Read(int32_t count) {
  misc_timer_.SetEnabled(false);
  avail_data_count_ = InQueueCount();
  bool read = false;
  if (count > 0 && connected_) {
    // Bytes beyond count stay queued for the next read.
    read = ReadIntoInputData(std::min(count, avail_data_count_));
  }
  misc_timer_.SetEnabled(true);
  return read ? input_data_ : OneByteDefault();
}

HResult ChanfoldCtrl::put_OutputData(const Variant& v) {
  if (!connected_) return kOk;
  output_value_ = v;
  // The value is converted before anything is sent: a value that is not an array, or an array
  // with one bad element, sends nothing.
  std::vector<uint8_t> bytes;
  if (HResult hr = v.ToBytes(&bytes); Failed(hr)) return hr;
  misc_timer_.SetEnabled(false);
  WriteOutputValue(bytes);
  misc_timer_.SetEnabled(true);
  return kOk;
}

// ---------------------------------------------------------------------------------------------
// Line status

int16_t ChanfoldCtrl::ModemStatusBit(uint32_t bit) {
  if (!device_) return 0;
  uint32_t status = 0;
  if (!device_->GetCommModemStatus(&status)) return 0;
  return (status & bit) != 0 ? 1 : 0;
}

int16_t ChanfoldCtrl::get_CDStatus() {
  return ModemStatusBit(platform::kMsRlsdOn);
}
int16_t ChanfoldCtrl::get_CTSStatus() {
  return ModemStatusBit(platform::kMsCtsOn);
}
int16_t ChanfoldCtrl::get_DSRStatus() {
  return ModemStatusBit(platform::kMsDsrOn);
}
int16_t ChanfoldCtrl::get_RingStatus() {
  return ModemStatusBit(platform::kMsRingOn);
}

// The code goes to the system as given, sign-extended to 32 bits; the result is True either way
// because hosts use this as a fire-and-forget line control.
VBool ChanfoldCtrl::EscapeCommFunc(int16_t v) {
  if (device_) device_->EscapeCommFunction(static_cast<uint32_t>(static_cast<int32_t>(v)));
  return kVTrue;
}

// ---------------------------------------------------------------------------------------------
// Events and yields

void ChanfoldCtrl::RaiseOnComm(int32_t count) {
  if (sink_) sink_->OnComm(count);
}
void ChanfoldCtrl::RaiseHasError(const std::u16string& msg) {
  if (sink_) sink_->HasError(msg);
}
void ChanfoldCtrl::RaiseHasError(const std::string& ansi_msg) {
  RaiseHasError(Widen(ansi_msg));
}
void ChanfoldCtrl::RaiseHasWarning(const std::string& ansi_msg) {
  if (sink_) sink_->HasWarning(Widen(ansi_msg));
}
void ChanfoldCtrl::RaiseDoInit() {
  if (sink_) sink_->DoInit();
}
void ChanfoldCtrl::RaiseStartFile(const std::u16string& name) {
  if (sink_) sink_->StartFile(name);
}
void ChanfoldCtrl::RaiseOneBlockDone() {
  if (sink_) sink_->OneBlockDone();
}
void ChanfoldCtrl::RaiseFinishFile(const std::u16string& name) {
  if (sink_) sink_->FinishFile(name);
}
void ChanfoldCtrl::RaiseFinishTransfer() {
  if (sink_) sink_->FinishTransfer();
}
void ChanfoldCtrl::RaiseAbortTransfer() {
  if (sink_) sink_->AbortTransfer();
}

void ChanfoldCtrl::DoEvents() {
  services_.loop->DoEvents();
}
void ChanfoldCtrl::Sleep(uint32_t ms) {
  services_.loop->Sleep(ms);
}
void ChanfoldCtrl::PollPause(uint32_t ms) {
  if (device_) {
    device_->WaitForInput(ms);
  } else {
    Sleep(ms);
  }
}

// ---------------------------------------------------------------------------------------------
// Primitives of the protocol engines

int32_t ChanfoldCtrl::InQueueCount() {
  if (!connected_ || !device_) return 0;
  uint32_t errors = 0;
  uint32_t in_queue = 0;
  // Clearing the error state is a side effect; the error flags are not reported.
  if (!device_->ClearCommError(&errors, &in_queue)) return 0;
  return static_cast<int32_t>(std::min<uint32_t>(in_queue, INT32_MAX));
}

void ChanfoldCtrl::PurgeInput() {
  // Only the input queue: bytes still going out and a pending operation are left alone.
  if (device_) device_->PurgeComm(platform::kPurgeRxClear);
}

int32_t ChanfoldCtrl::FitInBuffer(int32_t offset, int32_t n) {
  if (offset < 0 || offset >= kBufferSize || n <= 0) return 0;
  return std::min(n, kBufferSize - offset);
}

void ChanfoldCtrl::SendBytes(int32_t n) {
  n = FitInBuffer(0, n);
  for (int32_t p = 0; p < n; p += kSendPieceBytes) {
    uint32_t piece = static_cast<uint32_t>(std::min(kSendPieceBytes, n - p));
    DoEvents();
    uint32_t transferred = 0;
    // A write that fails is neither reported nor repeated: the protocols resend on their own.
    if (device_) device_->Write(&transmit_buffer_[p], piece, kWriteWaitMs, &transferred);
    // The device call starts the write and waits for it in one; the yields that go with a
    // started write (after starting it, before its wait, after the piece) all follow it.
    DoEvents();
    DoEvents();
    DoEvents();
    Sleep(kSendPauseMs);
  }
  if (n > 0) DoEvents();
}

void ChanfoldCtrl::ReadReply(int32_t n) {
  // The engines pass the queued count, which may exceed the reply buffer; what does not fit
  // stays queued for their next read.
  n = FitInBuffer(0, n);
  uint32_t transferred = 0;
  if (n > 0 && device_) {
    device_->Read(reply_buffer_.data(), static_cast<uint32_t>(n), kReadWaitMs, &transferred);
  }
  Sleep(kReadSettleMs);
}

int32_t ChanfoldCtrl::ReadAhead(int32_t offset, int32_t n) {
  // Never past the end of the read-ahead buffer: the count is cut to what fits behind offset,
  // and the count returned is the one actually asked of the device.
  n = FitInBuffer(offset, n);
  uint32_t transferred = 0;
  if (n > 0 && device_) {
    device_->Read(&read_ahead_buffer_[offset], static_cast<uint32_t>(n), kReadWaitMs, &transferred);
  }
  Sleep(kReadSettleMs);
  return n;
}

void ChanfoldCtrl::WriteFileBlocks(const Buffer& buffer, int32_t offset, int32_t n) {
  n = FitInBuffer(offset, n);
  for (int32_t p = 0; p < n; p += kFilePieceBytes) {
    uint32_t piece = static_cast<uint32_t>(std::min(kFilePieceBytes, n - p));
    DoEvents();
    Sleep(kFilePauseMs);
    uint32_t done = 0;
    // Write errors are not reported here; the receivers' protocols have no way to say so.
    if (transfer_file_) transfer_file_->Write(&buffer[offset + p], piece, &done);
  }
}

int32_t ChanfoldCtrl::ReadFileBlocks(Buffer& buffer, int32_t offset, int32_t n) {
  n = FitInBuffer(offset, n);
  int32_t total = 0;
  for (int32_t p = 0; p < n; p += kFilePieceBytes) {
    uint32_t piece = static_cast<uint32_t>(std::min(kFilePieceBytes, n - p));
    DoEvents();
    Sleep(kFilePauseMs);
    uint32_t done = 0;
    if (transfer_file_ && transfer_file_->Read(&buffer[offset + p], piece, &done)) {
      total += static_cast<int32_t>(std::min(done, piece));
    }
  }
  return total;
}

// ---------------------------------------------------------------------------------------------
// The Misc line monitor

void ChanfoldCtrl::TrackLine(bool level, bool* tracker, void (ChanfoldEvents::*changed)()) {
  if (level == *tracker) return;
  *tracker = level;
  if (sink_) (sink_->*changed)();
}

// The modem-call notifications are handled here once the telephony side exists; until then no
// call can be in progress and no notification is pending.
bool ChanfoldCtrl::StepModemCallProgress() {
  return false;
}

void ChanfoldCtrl::OnMiscTick() {
  // Line polling, not while a transfer owns the line or a modem call owns the connection.
  if (has_device() && !transfer_active_ && !modem_call_) {
    uint32_t status = 0;
    // A failing call leaves the word 0: all lines read as off.
    device_->GetCommModemStatus(&status);
    TrackLine((status & platform::kMsRlsdOn) != 0, &cd_, &ChanfoldEvents::CDChanged);
    TrackLine((status & platform::kMsCtsOn) != 0, &cts_, &ChanfoldEvents::CTSChanged);
    TrackLine((status & platform::kMsDsrOn) != 0, &dsr_, &ChanfoldEvents::DSRChanged);
    TrackLine((status & platform::kMsRingOn) != 0, &ring_, &ChanfoldEvents::RingChanged);
  }
  DoEvents();
  if (StepModemCallProgress()) return;
  DoEvents();
  // OnComm is level-triggered: raised on every tick while enough bytes wait, until the host
  // reads them. An RThreshold of 0 (or less) turns it off.
  if (has_device() && !transfer_active_) {
    int32_t n = InQueueCount();
    if (n >= r_threshold_ && n > 0 && r_threshold_ > 0) {
      RaiseOnComm(n);
      DoEvents();
    }
  }
}

}  // namespace chanfold
