// ChanfoldCtrl: the serial-communications control. It owns at most one COM port (settings,
// opening and closing, text and byte I/O), polls the line on its 500 ms Misc timer and raises
// its events, and transfers files with the engines of serialctl/transfer/.
//
// Members carry the names of the control's interface: properties as get_X/put_X, methods by
// their name. Failures reach the host only as HasError/HasWarning events; a member that can fail
// with a run-time error (a conversion, an index) returns an HResult instead of throwing.
//
// Everything runs on the host's thread. Members that let pending messages run (IsConnected, the
// writes, the engines' primitives) may see timers and events of the control fire inside them.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/services.h"
#include "serialctl/chanfold_events.h"
#include "serialctl/transfer/kermit_state.h"
#include "serialctl/types.h"

namespace chanfold {

// Size of each of the five shared byte buffers (indices 0 to 4096).
inline constexpr int kBufferSize = 4097;
// Entries of the transfer file list (0 to 100).
inline constexpr int kMaxFiles = 101;

using Buffer = std::array<uint8_t, kBufferSize>;

class ChanfoldCtrl {
 public:
  // Creates the control with its creation defaults; its three timers are stopped.
  explicit ChanfoldCtrl(platform::Services& services);
  ~ChanfoldCtrl();
  ChanfoldCtrl(const ChanfoldCtrl&) = delete;
  ChanfoldCtrl& operator=(const ChanfoldCtrl&) = delete;

  // Where events go; null drops them.
  void SetEventSink(ChanfoldEvents* sink) { sink_ = sink; }
  ChanfoldEvents* event_sink() const { return sink_; }
  platform::Services& services() { return services_; }

  // ---- Port settings (stored as given; used at the next open) ----
  std::u16string get_Port() const { return port_; }
  void put_Port(const std::u16string& v) { port_ = v; }
  int32_t get_BaudRate() const { return baud_rate_; }
  void put_BaudRate(int32_t v) { baud_rate_ = v; }
  DataBitsType get_DataBits() const { return data_bits_; }
  void put_DataBits(DataBitsType v) { data_bits_ = v; }
  ParityType get_Parity() const { return parity_; }
  void put_Parity(ParityType v) { parity_ = v; }
  StopBitsType get_StopBits() const { return stop_bits_; }
  void put_StopBits(StopBitsType v) { stop_bits_ = v; }
  FlowControlType get_FlowControl() const { return flow_control_; }
  void put_FlowControl(FlowControlType v) { flow_control_ = v; }
  int32_t get_InputQ() const { return input_q_; }
  void put_InputQ(int32_t v) { input_q_ = v; }
  int32_t get_OutputQ() const { return output_q_; }
  void put_OutputQ(int32_t v) { output_q_ = v; }
  int32_t get_RThreshold() const { return r_threshold_; }
  void put_RThreshold(int32_t v) { r_threshold_ = v; }
  int16_t get_XonChar() const { return xon_char_; }
  void put_XonChar(int16_t v) { xon_char_ = v; }
  int16_t get_XoffChar() const { return xoff_char_; }
  void put_XoffChar(int16_t v) { xoff_char_ = v; }

  // ---- Connection ----
  void put_PortOpen(VBool v);
  VBool get_Connected() const { return ToVBool(connected_); }
  // Reads the Connected flag, lets pending messages run once, returns the value read first.
  VBool get_IsConnected();

  // ---- Text and byte I/O ----
  int32_t get_AvailDataCount();
  std::u16string get_InputStringData();
  // Fails with kOverflow, before anything is sent, for a character outside the ANSI code page.
  HResult put_OutputStringData(const std::u16string& v);
  Variant get_InputData();
  Variant Read(int32_t count);
  // Fails with kTypeMismatch or kOverflow, before anything is sent, for a value that is not an
  // array of numbers 0..255.
  HResult put_OutputData(const Variant& v);

  // ---- Line status ----
  int16_t get_CDStatus();
  int16_t get_CTSStatus();
  int16_t get_DSRStatus();
  int16_t get_RingStatus();
  VBool EscapeCommFunc(int16_t v);

  // ---- Modem settings (stored and persisted; the telephony calls come with their own code) --
  int32_t get_ModemSelIndex() const { return modem_sel_index_; }
  void put_ModemSelIndex(int32_t v) { modem_sel_index_ = v; }
  std::u16string get_PhoneNumber() const { return phone_number_; }
  void put_PhoneNumber(const std::u16string& v) { phone_number_ = v; }

  // ---- File transfer (serialctl/transfer/transfer_manager.cpp) ----
  ProtocolType get_XferProtocol() const { return xfer_protocol_; }
  void put_XferProtocol(ProtocolType v);
  ActionType get_XferMode() const { return xfer_mode_; }
  void put_XferMode(ActionType v) { xfer_mode_ = v; }
  std::u16string get_XferWorkDir() const { return xfer_work_dir_; }
  void put_XferWorkDir(const std::u16string& v);
  int32_t get_XferTimeoutInterval() const { return xfer_timeout_interval_; }
  void put_XferTimeoutInterval(int32_t v);
  int16_t get_XferTimeoutsAllowed() const { return xfer_timeouts_allowed_; }
  void put_XferTimeoutsAllowed(int16_t v);
  std::u16string get_XferCurrFileName() const { return xfer_curr_file_name_; }
  int32_t get_XferCurrFileSize() const { return xfer_curr_file_size_; }
  int32_t get_XferCurrBytes() const { return xfer_curr_bytes_; }
  void XferClearAllFiles();
  // Fails with kBadIndex for a name beyond the 101 entries of the list.
  HResult XferAddFile(const std::u16string& file_name);
  void XferSetDstFile(const std::u16string& file_name);
  void put_XferStart(VBool v);
  void put_XferStop(VBool v);

  // =====================================================================================
  // Shared state and primitives of the protocol engines (serialctl/transfer/). Not part of
  // the host's interface.
  // =====================================================================================

  // Raising events.
  void RaiseOnComm(int32_t count);
  void RaiseHasError(const std::u16string& msg);
  void RaiseHasError(const std::string& ansi_msg);  // ASCII text
  void RaiseHasWarning(const std::string& ansi_msg);
  void RaiseDoInit();
  void RaiseStartFile(const std::u16string& name);
  void RaiseOneBlockDone();
  void RaiseFinishFile(const std::u16string& name);
  void RaiseFinishTransfer();
  void RaiseAbortTransfer();

  // Yields: let pending messages run once / plain sleep.
  void DoEvents();
  void Sleep(uint32_t ms);
  // The pause of a polling loop: a plain sleep of at most ms that ends as soon as a byte is in
  // the input queue (a full sleep when not connected). Loops that look for bytes between yields
  // use it, so a reply is seen when it arrives rather than at the end of a fixed pause, and a
  // loop that "only yields" does not keep a processor busy while the line is quiet.
  void PollPause(uint32_t ms);

  // Bytes waiting in the input queue; 0 when not connected.
  int32_t InQueueCount();
  void PurgeInput();
  // Sends transmit buffer bytes 0..n-1 in paced pieces of at most 256 bytes.
  void SendBytes(int32_t n);
  // Reads n waiting bytes into the reply buffer from 0 (bounded by the buffer).
  void ReadReply(int32_t n);
  // Reads n waiting bytes into the read-ahead buffer from offset (bounded); returns n.
  int32_t ReadAhead(int32_t offset, int32_t n);
  // Transfer-file block I/O on the current transfer file.
  void WriteFileBlocks(const Buffer& buffer, int32_t offset, int32_t n);
  int32_t ReadFileBlocks(Buffer& buffer, int32_t offset, int32_t n);

  // The five buffers.
  Buffer transmit_buffer_{};
  Buffer work_buffer_{};
  Buffer reply_buffer_{};
  Buffer read_ahead_buffer_{};
  Buffer file_block_buffer_{};
  int32_t read_ahead_count_ = 0;  // fill count of the read-ahead buffer
  int32_t read_ahead_pos_ = 0;    // read position in it

  // Transfer state shared with the engines.
  bool transfer_active_ = false;
  bool transfer_stop_ = false;
  bool modem_call_ = false;  // the connection belongs to a modem call
  std::unique_ptr<platform::File> transfer_file_;

  bool connected() const { return connected_; }
  // The device handle is "greater than 0": open, whether configured or held after a failure.
  bool has_device() const { return device_ != nullptr; }

 private:
  enum class HandleState { kNone, kInvalid, kValid };

  void OpenDevice();
  // Fills the device-control block from the settings; false when a value does not fit its
  // one-byte field.
  bool FillDcb(platform::Dcb* dcb) const;
  void CloseDevice();
  bool ReadIntoInputData(int32_t n);  // the read into the InputData value
  // The write of the output value, given as the bytes it converted to.
  void WriteOutputValue(const std::vector<uint8_t>& bytes);
  // Bytes for an overlapped-style read or write at `offset` of a 4097-byte buffer, cut to what
  // fits behind that offset (0 for an offset outside the buffer).
  static int32_t FitInBuffer(int32_t offset, int32_t n);
  void OnMiscTick();
  // One line of the monitor: raises `changed` when the line's level differs from its tracker.
  void TrackLine(bool level, bool* tracker, void (ChanfoldEvents::*changed)());
  // The progress step of a modem call; true when it handled a notification (the tick ends).
  bool StepModemCallProgress();
  // 1 when `bit` of the modem status is set, 0 when clear, when the call fails or without device.
  int16_t ModemStatusBit(uint32_t bit);
  // Transfer timers (serialctl/transfer/transfer_manager.cpp).
  void OnTimerXfer();
  void OnTimerOut();

  platform::Services& services_;
  ChanfoldEvents* sink_ = nullptr;

  // Settings.
  std::u16string port_ = u"COM1";
  int32_t baud_rate_ = 9600;
  DataBitsType data_bits_ = db8Bits;
  ParityType parity_ = pNone;
  StopBitsType stop_bits_ = sb1Bit;
  FlowControlType flow_control_ = fcNone;
  int32_t input_q_ = 16384;
  int32_t output_q_ = 16384;
  int32_t r_threshold_ = 0;
  int16_t xon_char_ = 17;
  int16_t xoff_char_ = 19;
  int32_t modem_sel_index_ = -1;
  std::u16string phone_number_;

  // Connection.
  std::unique_ptr<platform::SerialDevice> device_;
  HandleState handle_state_ = HandleState::kNone;
  bool connected_ = false;
  bool cd_ = false, cts_ = false, dsr_ = false, ring_ = false;  // line-state trackers

  // Text I/O values.
  int32_t avail_data_count_ = 0;
  Variant input_data_;
  Variant output_value_;

 public:
  // Transfer settings and state (transfer_manager.cpp and the engines use these directly).
  ProtocolType xfer_protocol_ = pXModemChecksum;
  ActionType xfer_mode_ = aUpload;
  std::u16string xfer_work_dir_;
  bool work_dir_present_ = false;
  int32_t xfer_timeout_interval_ = 5000;
  int16_t xfer_timeouts_allowed_ = 5;
  std::u16string xfer_curr_file_name_;
  int32_t xfer_curr_file_size_ = 0;
  int32_t xfer_curr_bytes_ = 0;
  int32_t retry_limit_ = 5;
  bool timed_out_ = false;
  int32_t timeout_count_ = 0;
  int32_t data_error_count_ = 0;
  std::array<std::u16string, kMaxFiles> file_list_;
  int32_t file_count_ = 0;
  int32_t current_file_index_ = 0;
  std::u16string dst_file_name_;
  // Kermit packet layer: parameters, own sequence, last packet sent (kermit_state.h).
  KermitState kermit_;
  // Optional log of the engines' state changes and decisions (one line each, ASCII); null
  // logs nothing. Hosts and tests set it to see what an engine did on the line.
  std::function<void(const std::string&)> xfer_trace_;

  // The control's three timers: the 500 ms line monitor, the one-shot 100 ms transfer start
  // and the transfer time-out.
  platform::Timer misc_timer_;
  platform::Timer timer_xfer_;
  platform::Timer timer_out_;
};

}  // namespace chanfold
