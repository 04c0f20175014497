#include "platform/sim/sim_world.h"

#include <algorithm>
#include <cstring>

namespace sim {
namespace {

// Bytes of one arrival on a timed line: small enough that a reader sees a block come in
// piece by piece, large enough that a 1.8 MB upload stays cheap to simulate.
constexpr size_t kArrivalPiece = 16;

std::string Upper(std::string s) {
  for (char& c : s) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return s;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// SimLocale

int SimLocale::GetLocaleInfo(uint32_t /*lcid*/, uint32_t item, char* buf, int len) {
  if (item != platform::kLocaleSDecimal || separator_.empty()) return 0;
  int needed = static_cast<int>(separator_.size()) + 1;
  if (len == 0) return needed;
  if (len < needed || buf == nullptr) return 0;
  std::memcpy(buf, separator_.c_str(), separator_.size() + 1);
  return needed;
}

// ---------------------------------------------------------------------------------------------
// The program side of a simulated port, handed out by SimWorld::Open.

class SimDevice : public platform::SerialDevice {
 public:
  explicit SimDevice(SimPort& port) : port_(port) {}
  ~SimDevice() override {
    port_.open_ = false;
    port_.program_queue_.clear();
    if (port_.on_close_) port_.on_close_();
  }

  bool GetCommState(platform::Dcb* dcb) override {
    if (Fails("GetCommState") || dcb == nullptr) return false;
    *dcb = port_.dcb_;
    return true;
  }
  bool SetCommState(const platform::Dcb& dcb) override {
    if (Fails("SetCommState")) return false;
    // What a serial driver refuses: no speed, a character size it cannot make, unknown parity
    // or stop-bit codes.
    if (dcb.BaudRate == 0 || dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > 4 ||
        dcb.StopBits > 2) {
      return false;
    }
    port_.dcb_ = dcb;
    return true;
  }
  bool SetupComm(uint32_t in_queue, uint32_t out_queue) override {
    if (Fails("SetupComm")) return false;
    port_.in_queue_size_ = in_queue;
    port_.out_queue_size_ = out_queue;
    return true;
  }
  bool SetCommMask(uint32_t mask) override {
    if (Fails("SetCommMask")) return false;
    port_.comm_mask_ = mask;
    return true;
  }
  bool ClearCommError(uint32_t* errors, uint32_t* in_queue) override {
    if (errors) *errors = 0;
    if (in_queue) *in_queue = static_cast<uint32_t>(port_.program_queue_.size());
    return true;
  }
  bool PurgeComm(uint32_t flags) override {
    ++port_.purge_count_;
    if (flags & platform::kPurgeRxClear) port_.program_queue_.clear();
    return true;
  }
  bool GetCommModemStatus(uint32_t* status) override {
    if (Fails("GetCommModemStatus")) return false;
    if (status) *status = port_.modem_status_;
    return true;
  }
  bool EscapeCommFunction(uint32_t func) override {
    port_.escapes_.push_back(func);
    return func >= platform::kSetXoff && func <= platform::kClrBreak;
  }

  platform::IoStatus Read(uint8_t* buf, uint32_t n, uint32_t wait_ms,
                          uint32_t* transferred) override {
    SimWorld& world = port_.world_;
    uint32_t got = 0;
    uint64_t deadline = world.NowUs() + static_cast<uint64_t>(wait_ms) * 1000;
    for (;;) {
      while (got < n && !port_.program_queue_.empty()) {
        buf[got++] = port_.program_queue_.front();
        port_.program_queue_.pop_front();
      }
      if (got == n) break;
      // An overlapped read waits for the rest, without pumping messages, until its wait ends.
      uint64_t next = world.NextEventUs();
      if (next > deadline) {
        world.AdvanceTo(deadline);
        if (transferred) *transferred = got;
        return platform::IoStatus::kTimedOut;
      }
      world.AdvanceTo(next);
    }
    if (transferred) *transferred = got;
    return platform::IoStatus::kDone;
  }

  platform::IoStatus Write(const uint8_t* buf, uint32_t n, uint32_t wait_ms,
                           uint32_t* transferred) override {
    port_.write_sizes_.push_back(n);
    uint32_t sent = port_.TransmitFromProgram(buf, n, wait_ms);
    if (transferred) *transferred = sent;
    return sent == n ? platform::IoStatus::kDone : platform::IoStatus::kTimedOut;
  }

  bool WaitForInput(uint32_t wait_ms) override {
    // World events up to the end of the wait, one at a time, until one of them queued a byte.
    SimWorld& world = port_.world_;
    const uint64_t deadline = world.NowUs() + static_cast<uint64_t>(wait_ms) * 1000;
    while (port_.program_queue_.empty()) {
      const uint64_t next = world.NextEventUs();
      if (next > deadline) {
        world.AdvanceTo(deadline);
        return false;
      }
      world.AdvanceTo(next);
    }
    return true;
  }

 private:
  bool Fails(const char* call) const { return port_.failing_call_ == call; }
  SimPort& port_;
};

// ---------------------------------------------------------------------------------------------
// SimPort

SimPort::SimPort(SimWorld& world, std::string name) : world_(world), name_(std::move(name)) {
  // A fresh port reads back the settings of a freshly installed COM port.
  platform::BuildCommDcb("9600,N,8,1", &dcb_);
  dcb_.flags |= platform::dcb::kBinary;
}

uint64_t SimPort::CharTimeNs() const {
  double bits = 1.0 + dcb_.ByteSize + (dcb_.Parity != 0 ? 1.0 : 0.0) +
                (dcb_.StopBits == 0   ? 1.0
                 : dcb_.StopBits == 1 ? 1.5
                                      : 2.0);
  uint32_t baud = dcb_.BaudRate == 0 ? 9600 : dcb_.BaudRate;
  return static_cast<uint64_t>(bits * 1e9 / baud + 0.5);
}

std::vector<uint8_t> SimPort::ApplyFault(Direction dir, const uint8_t* data, size_t n) {
  std::vector<uint8_t> out;
  out.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    uint8_t b = data[i];
    if (fault_ && !fault_(dir, b)) continue;
    out.push_back(b);
  }
  return out;
}

void SimPort::SendToProgram(std::string_view text) {
  SendToProgram(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

void SimPort::SendToProgram(const uint8_t* data, size_t n) {
  // Bytes sent while the program does not hold the port are lost, as on a real line.
  std::vector<uint8_t> bytes = ApplyFault(Direction::kToProgram, data, n);
  if (!line_timing_) {
    if (open_) program_queue_.insert(program_queue_.end(), bytes.begin(), bytes.end());
    return;
  }
  uint64_t ct = CharTimeNs();
  uint64_t start = std::max(rx_line_free_ns_, world_.NowUs() * 1000);
  for (size_t pos = 0; pos < bytes.size(); pos += kArrivalPiece) {
    size_t len = std::min(kArrivalPiece, bytes.size() - pos);
    uint64_t arrive_ns = start + (pos + len) * ct;
    std::vector<uint8_t> piece(bytes.begin() + pos, bytes.begin() + pos + len);
    world_.AtUs((arrive_ns + 999) / 1000, [this, piece = std::move(piece)] {
      if (open_) program_queue_.insert(program_queue_.end(), piece.begin(), piece.end());
    });
  }
  rx_line_free_ns_ = start + bytes.size() * ct;
}

uint32_t SimPort::TransmitFromProgram(const uint8_t* data, uint32_t n, uint32_t wait_ms) {
  written_.insert(written_.end(), data, data + n);
  if (!line_timing_) {
    std::vector<uint8_t> bytes = ApplyFault(Direction::kFromProgram, data, n);
    // The actor hears the bytes at the next step of the world, never inside the program's call.
    world_.AtUs(world_.NowUs(), [this, bytes = std::move(bytes)] {
      if (on_receive_ && !bytes.empty()) on_receive_(bytes.data(), bytes.size());
    });
    return n;
  }
  uint64_t ct = CharTimeNs();
  uint64_t now_ns = world_.NowUs() * 1000;
  uint64_t start = std::max(tx_line_free_ns_, now_ns);
  uint64_t deadline_ns = now_ns + static_cast<uint64_t>(wait_ms) * 1000000;
  // A write that has not finished when its wait ends is cancelled: the characters not yet on
  // the line by then are not sent.
  uint32_t sendable = n;
  if (start + n * ct > deadline_ns) {
    sendable = deadline_ns > start ? static_cast<uint32_t>((deadline_ns - start) / ct) : 0;
  }
  for (uint32_t pos = 0; pos < sendable; pos += kArrivalPiece) {
    uint32_t len = std::min<uint32_t>(kArrivalPiece, sendable - pos);
    std::vector<uint8_t> piece = ApplyFault(Direction::kFromProgram, data + pos, len);
    uint64_t arrive_ns = start + (pos + len) * ct;
    world_.AtUs((arrive_ns + 999) / 1000, [this, piece = std::move(piece)] {
      if (on_receive_ && !piece.empty()) on_receive_(piece.data(), piece.size());
    });
  }
  tx_line_free_ns_ = start + sendable * ct;
  // The overlapped write completes when its last character has left; the program waits for it
  // without pumping messages.
  world_.AdvanceTo((std::min(tx_line_free_ns_, deadline_ns) + 999) / 1000);
  return sendable;
}

// ---------------------------------------------------------------------------------------------
// SimWorld

SimWorld::SimWorld() {
  platform::Services& host = platform::HostServices();
  services_.loop = this;
  services_.serial = this;
  services_.files = host.files;
  services_.locale = &locale_;
  services_.resources = host.resources;
}

SimWorld::~SimWorld() = default;

void SimWorld::AtUs(uint64_t time_us, std::function<void()> fn) {
  events_.emplace(std::make_pair(std::max(time_us, now_us_), seq_++), std::move(fn));
}

uint64_t SimWorld::NextEventUs() const {
  return events_.empty() ? UINT64_MAX : events_.begin()->first.first;
}

void SimWorld::AdvanceTo(uint64_t t_us) {
  while (!events_.empty() && events_.begin()->first.first <= t_us) {
    auto it = events_.begin();
    now_us_ = std::max(now_us_, it->first.first);
    std::function<void()> fn = std::move(it->second);
    events_.erase(it);
    fn();
  }
  now_us_ = std::max(now_us_, t_us);
}

void SimWorld::Sleep(uint32_t ms) {
  AdvanceTo(now_us_ + static_cast<uint64_t>(ms) * 1000);
}

void SimWorld::DoEvents() {
  AdvanceTo(now_us_ + kDoEventsQuantumMs * 1000);
  PollInputs();
  FireDueTimers();
}

void SimWorld::Dispatch() {
  PollInputs();
  FireDueTimers();
}

namespace {

uint64_t TimerDueUs(uint64_t due_ms) {
  return due_ms == UINT64_MAX ? UINT64_MAX : due_ms * 1000;
}

}  // namespace

void SimWorld::Run() {
  while (!QuitRequested()) {
    uint64_t next = std::min(TimerDueUs(NextTimerDue()), NextEventUs());
    if (HasPollers()) next = std::min(next, now_us_ + kInputPollMs * 1000);
    if (next == UINT64_MAX) return;  // nothing can ever happen again
    AdvanceTo(std::max(next, now_us_));
    Dispatch();
  }
}

void SimWorld::RunFor(uint64_t ms) {
  uint64_t end = now_us_ + ms * 1000;
  for (;;) {
    uint64_t next = std::min(TimerDueUs(NextTimerDue()), NextEventUs());
    if (next > end) {
      AdvanceTo(end);
      Dispatch();
      return;
    }
    AdvanceTo(std::max(next, now_us_));
    Dispatch();
  }
}

bool SimWorld::RunUntil(const std::function<bool()>& done, uint64_t limit_ms) {
  uint64_t end = now_us_ + limit_ms * 1000;
  while (!done()) {
    uint64_t next = std::min(TimerDueUs(NextTimerDue()), NextEventUs());
    if (next > end) {
      AdvanceTo(end);
      Dispatch();
      return done();
    }
    AdvanceTo(std::max(next, now_us_));
    Dispatch();
  }
  return true;
}

SimPort& SimWorld::AddPort(const std::string& name) {
  auto& slot = ports_[Upper(name)];
  if (!slot) slot = std::make_unique<SimPort>(*this, Upper(name));
  return *slot;
}

SimPort* SimWorld::FindPort(const std::string& name) {
  auto it = ports_.find(Upper(name));
  return it == ports_.end() ? nullptr : it->second.get();
}

std::unique_ptr<platform::SerialDevice> SimWorld::Open(const std::string& path) {
  std::string name = path;
  if (name.rfind("\\\\.\\", 0) == 0) name = name.substr(4);
  SimPort* port = FindPort(name);
  if (port == nullptr || port->open_ || port->open_fails_) return nullptr;
  port->open_ = true;
  ++port->open_count_;
  port->program_queue_.clear();
  if (port->on_open_) port->on_open_();
  return std::make_unique<SimDevice>(*port);
}

}  // namespace sim
