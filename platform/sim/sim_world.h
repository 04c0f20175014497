// The simulation backend: a world with a virtual clock and the actors outside the program (the
// simulated device, scripted protocol peers, modem lines), joined to the program by simulated
// serial ports.
//
// Time only moves when the program lets it: Sleep(ms) advances the clock by ms and delivers the
// world events due in that span (bytes arrive, a peer answers) without firing any timer of the
// program; DoEvents() advances it by kDoEventsQuantumMs, delivers due world events and then fires
// the program's due timers; Run() jumps straight to the next due timer or world event. A
// 25-second time-out chain or a 1.8 MB upload therefore takes milliseconds of real time, and
// every time-out is exact.
//
// Actors are reactive: they act in callbacks (bytes received, their own scheduled events), never
// in loops of their own, so they can run inside the program's yields.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/event_loop.h"
#include "platform/serial.h"
#include "platform/services.h"

namespace sim {

class SimWorld;
class SimDevice;

// A locale whose decimal separator a test can choose (",", "." or none).
class SimLocale : public platform::Locale {
 public:
  uint32_t GetSystemDefaultLcid() override { return lcid_; }
  int GetLocaleInfo(uint32_t lcid, uint32_t item, char* buf, int len) override;
  std::string UserDecimalSeparator() override { return separator_; }
  int ToAnsi(char16_t c) override { return platform::Cp1252FromUnicode(c); }
  char16_t FromAnsi(uint8_t b) override { return platform::Cp1252ToUnicode(b); }

  // "" makes GetLocaleInfo fail, as on a system whose separator cannot be read.
  void SetDecimalSeparator(std::string s) { separator_ = std::move(s); }

 private:
  uint32_t lcid_ = 0x0409;
  std::string separator_ = ".";
};

// Which way a byte travels on a simulated line.
enum class Direction { kToProgram, kFromProgram };

// One simulated COM port: the program opens it by name ("\\.\COM5"); the actor on the other end
// uses the members below. Ports exist from AddPort until the world ends.
class SimPort {
 public:
  SimPort(SimWorld& world, std::string name);

  const std::string& name() const { return name_; }
  SimWorld& world() { return world_; }

  // --- actor side ---
  // Bytes for the program. Without line timing they are in the program's input queue at once;
  // with it they arrive one character time after another, after anything already on the line.
  void SendToProgram(const uint8_t* data, size_t n);
  void SendToProgram(std::string_view text);
  // Called with every piece the program writes, when it arrives at this end.
  void SetOnReceive(std::function<void(const uint8_t*, size_t)> fn) { on_receive_ = std::move(fn); }
  // Called after the program opened (configured) or closed the port.
  void SetOnOpen(std::function<void()> fn) { on_open_ = std::move(fn); }
  void SetOnClose(std::function<void()> fn) { on_close_ = std::move(fn); }
  // Modem-status bits as the program reads them (platform::kMsCtsOn, ...).
  void SetModemStatus(uint32_t bits) { modem_status_ = bits; }
  uint32_t modem_status() const { return modem_status_; }

  // --- options ---
  // Carry bytes at the line rate of the program's settings (start bit, data bits, parity, stop
  // bits at BaudRate) instead of instantly.
  void SetLineTiming(bool on) { line_timing_ = on; }
  // A filter over every byte on the line: may change the byte, or return false to drop it.
  using Fault = std::function<bool(Direction, uint8_t&)>;
  void SetFault(Fault fault) { fault_ = std::move(fault); }
  // Make an open fail as if the port were in use by another program.
  void SetOpenFails(bool fails) { open_fails_ = fails; }
  // Make one configuration call of an open fail: "GetCommState", "SetCommState", "SetupComm",
  // "SetCommMask", "GetCommModemStatus"; "" for none.
  void SetFailingCall(std::string call) { failing_call_ = std::move(call); }

  // --- observation ---
  bool is_open() const { return open_; }
  const platform::Dcb& dcb() const { return dcb_; }  // the last SetCommState
  uint32_t in_queue_size() const { return in_queue_size_; }
  uint32_t out_queue_size() const { return out_queue_size_; }
  uint32_t comm_mask() const { return comm_mask_; }
  // Bytes waiting in the program's input queue.
  size_t program_queue_count() const { return program_queue_.size(); }
  // Every byte the program wrote, in order, and the size of each write call.
  const std::vector<uint8_t>& written() const { return written_; }
  const std::vector<uint32_t>& write_sizes() const { return write_sizes_; }
  void ClearWritten() {
    written_.clear();
    write_sizes_.clear();
  }
  const std::vector<uint32_t>& escapes() const { return escapes_; }
  int purge_count() const { return purge_count_; }
  int open_count() const { return open_count_; }

  // Time of one character at the program's present settings (start bit, data bits, parity,
  // stop bits at BaudRate), in nanoseconds.
  uint64_t CharTimeNs() const;

 private:
  friend class SimDevice;
  friend class SimWorld;

  // Applies the fault filter to bytes going one way.
  std::vector<uint8_t> ApplyFault(Direction dir, const uint8_t* data, size_t n);
  // Puts bytes on the line from the program; returns when the device has sent them (the
  // virtual clock moves on by their line time), at most wait_ms. Returns the count sent.
  uint32_t TransmitFromProgram(const uint8_t* data, uint32_t n, uint32_t wait_ms);

  SimWorld& world_;
  std::string name_;
  std::function<void(const uint8_t*, size_t)> on_receive_;
  std::function<void()> on_open_;
  std::function<void()> on_close_;
  uint32_t modem_status_ = 0;
  bool line_timing_ = false;
  Fault fault_;
  bool open_fails_ = false;
  std::string failing_call_;

  bool open_ = false;
  platform::Dcb dcb_;
  uint32_t in_queue_size_ = 0;
  uint32_t out_queue_size_ = 0;
  uint32_t comm_mask_ = 0;
  std::deque<uint8_t> program_queue_;
  uint64_t rx_line_free_ns_ = 0;  // when the line towards the program is next free
  uint64_t tx_line_free_ns_ = 0;  // when the line from the program is next free
  std::vector<uint8_t> written_;
  std::vector<uint32_t> write_sizes_;
  std::vector<uint32_t> escapes_;
  int purge_count_ = 0;
  int open_count_ = 0;
};

class SimWorld : public platform::EventLoop, public platform::SerialPorts {
 public:
  SimWorld();
  ~SimWorld() override;

  // Virtual time advanced by one DoEvents: small, so that a loop that only yields still lets
  // time pass at a realistic pace.
  static constexpr uint32_t kDoEventsQuantumMs = 1;

  // platform::EventLoop
  uint64_t NowMs() override { return now_us_ / 1000; }
  void Sleep(uint32_t ms) override;
  void DoEvents() override;
  // Runs until Quit(), or until nothing is left to happen (no enabled timer, no world event).
  void Run() override;

  // platform::SerialPorts: "\\.\COMn" (or "COMn") opens the port of that name if AddPort made
  // it and no one holds it.
  std::unique_ptr<platform::SerialDevice> Open(const std::string& path) override;

  SimPort& AddPort(const std::string& name);  // "COM5"
  SimPort* FindPort(const std::string& name);

  // World events, run in time order (and in order of scheduling at equal times).
  void At(uint64_t time_ms, std::function<void()> fn) { AtUs(time_ms * 1000, std::move(fn)); }
  void After(uint64_t delay_ms, std::function<void()> fn) {
    AtUs(now_us_ + delay_ms * 1000, std::move(fn));
  }
  void AtUs(uint64_t time_us, std::function<void()> fn);
  uint64_t NowUs() const { return now_us_; }

  // Test drivers: advance time as the top-level message loop would (timers fire), for ms of
  // virtual time, or until `done` holds (checked after every dispatch), at most limit_ms.
  // RunUntil returns whether `done` held.
  void RunFor(uint64_t ms);
  bool RunUntil(const std::function<bool()>& done, uint64_t limit_ms);

  SimLocale& locale() { return locale_; }
  // Sim loop, sim ports and sim locale; files and resources of the host.
  platform::Services& services() { return services_; }

 private:
  friend class SimDevice;
  friend class SimPort;

  // Runs every world event due at or before `t_us`, moving the clock to each, then to t_us.
  void AdvanceTo(uint64_t t_us);
  uint64_t NextEventUs() const;
  void Dispatch();  // one pass of the top-level loop at the present time

  uint64_t now_us_ = 0;
  uint64_t seq_ = 0;
  std::multimap<std::pair<uint64_t, uint64_t>, std::function<void()>> events_;
  std::map<std::string, std::unique_ptr<SimPort>> ports_;
  SimLocale locale_;
  platform::Services services_;
};

}  // namespace sim
