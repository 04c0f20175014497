// A control on a simulated COM4 with a temporary work folder, an event recorder, and two
// scripted, reactive XModem-family peers: a receiver that checks every block our sender puts on
// the line, and a sender that plays a list of frames to our receiver.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "platform/sim/sim_world.h"
#include "serialctl/chanfold_ctrl.h"
#include "serialctl/transfer/block_checks.h"
#include "tests/support/temp_dir.h"

namespace chanfold::testing {

using Bytes = std::vector<uint8_t>;

inline constexpr uint8_t kSoh = 0x01, kStx = 0x02, kEot = 0x04, kAck = 0x06, kNak = 0x15,
                         kCan = 0x18;

inline std::string Narrow(const std::u16string& s) {
  std::string out;
  for (char16_t c : s) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return out;
}

inline std::u16string Wide(const std::string& s) {
  return std::u16string(s.begin(), s.end());
}

inline Bytes Pattern(size_t n, uint32_t seed = 1) {
  Bytes out(n);
  uint32_t x = seed * 2654435761u + 1;
  for (auto& b : out) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 16);
  }
  return out;
}

struct Event {
  std::string what;
  uint64_t at_ms;
};

class TransferEvents : public ChanfoldEvents {
 public:
  explicit TransferEvents(platform::EventLoop& loop) : loop_(loop) {}
  void HasError(const std::u16string& m) override { Add("HasError " + Narrow(m)); }
  void HasWarning(const std::u16string& m) override { Add("HasWarning " + Narrow(m)); }
  void DoInit() override { Add("DoInit"); }
  void StartFile(const std::u16string& f) override { Add("StartFile " + Narrow(f)); }
  void OneBlockDone() override {
    ++blocks_done;
    if (on_block) on_block();
  }
  void FinishFile(const std::u16string& f) override { Add("FinishFile " + Narrow(f)); }
  void FinishTransfer() override {
    Add("FinishTransfer");
    ended = true;
  }
  void AbortTransfer() override {
    Add("AbortTransfer");
    ended = true;
    if (on_abort) on_abort();
  }

  // Every event but OneBlockDone, which is counted instead.
  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (const Event& e : events) out.push_back(e.what);
    return out;
  }
  void Clear() {
    events.clear();
    blocks_done = 0;
    ended = false;
  }

  std::vector<Event> events;
  int blocks_done = 0;
  bool ended = false;
  std::function<void()> on_block;
  std::function<void()> on_abort;

 private:
  void Add(std::string what) { events.push_back({std::move(what), loop_.NowMs()}); }
  platform::EventLoop& loop_;
};

// One XModem-family block as bytes on the line.
inline Bytes MakeBlock(uint8_t number, const Bytes& data, bool crc, size_t length) {
  Bytes b{length == 128 ? kSoh : kStx, number, static_cast<uint8_t>(255 - number)};
  Bytes field = data;
  field.resize(length, kPadByte);
  b.insert(b.end(), field.begin(), field.end());
  if (crc) {
    const uint16_t c = Crc16(field);
    b.push_back(Crc16High(c));
    b.push_back(Crc16Low(c));
  } else {
    b.push_back(BlockChecksum(field));
  }
  return b;
}

// A YModem block 0 announcing `name` of `size` bytes (NUL padded, as most senders do).
inline Bytes MakeBlock0(const std::string& name, const std::string& size_text, size_t length) {
  Bytes field(length, 0);
  std::copy(name.begin(), name.end(), field.begin());
  std::copy(size_text.begin(), size_text.end(), field.begin() + name.size() + 1);
  Bytes b{length == 128 ? kSoh : kStx, 0, 0xFF};
  b.insert(b.end(), field.begin(), field.end());
  const uint16_t c = Crc16(field);
  b.push_back(Crc16High(c));
  b.push_back(Crc16Low(c));
  return b;
}

// Plays the receiving side against our sender: sends its start bytes, takes blocks apart as
// they arrive, answers each (by default ACK, YModem's block 0 and EOT with ACK "C") and keeps
// what it received.
class ReceiverPeer {
 public:
  struct Block {
    uint8_t first = 0;
    uint8_t number = 0;
    uint8_t complement = 0;
    Bytes field;
    bool check_ok = false;
    uint64_t at_ms = 0;
  };
  struct File {
    std::string name;
    int64_t size = -1;
    Bytes data;
  };

  ReceiverPeer(sim::SimWorld& world, sim::SimPort& port) : world_(world), port_(port) {
    port_.SetOnReceive([this](const uint8_t* p, size_t n) { OnBytes(p, n); });
  }

  void SendLater(Bytes bytes, uint64_t delay_ms = 1) {
    world_.After(delay_ms, [this, bytes] { port_.SendToProgram(bytes.data(), bytes.size()); });
  }
  void SendLater(const std::string& s, uint64_t delay_ms = 1) {
    SendLater(Bytes(s.begin(), s.end()), delay_ms);
  }

  bool crc = true;
  bool ymodem = false;
  bool streaming = false;  // YModem-G: blocks are not answered
  // Replaces the default answer to a block (index counts every block received, from 0).
  std::function<Bytes(const Block&, int index)> answer;
  // Replaces the default answer to an EOT (index counts EOTs from 0).
  std::function<Bytes(int index)> answer_eot;

  std::vector<Block> blocks;
  std::vector<File> files;
  int eots = 0;
  int cans = 0;
  bool batch_ended = false;
  Bytes stray;  // bytes that began nothing

 private:
  void OnBytes(const uint8_t* p, size_t n) {
    rx_.insert(rx_.end(), p, p + n);
    for (;;) {
      if (rx_.empty()) return;
      const uint8_t first = rx_[0];
      if (first == kSoh || first == kStx) {
        const size_t length = first == kSoh ? 128 : 1024;
        const size_t total = 3 + length + (crc ? 2 : 1);
        if (rx_.size() < total) return;
        Block b;
        b.first = first;
        b.number = rx_[1];
        b.complement = rx_[2];
        b.field.assign(rx_.begin() + 3, rx_.begin() + 3 + static_cast<long>(length));
        if (crc) {
          const uint16_t c = Crc16(b.field);
          b.check_ok = rx_[3 + length] == Crc16High(c) && rx_[4 + length] == Crc16Low(c);
        } else {
          b.check_ok = rx_[3 + length] == BlockChecksum(b.field);
        }
        b.at_ms = world_.NowMs();
        rx_.erase(rx_.begin(), rx_.begin() + static_cast<long>(total));
        OnBlock(b);
      } else if (first == kEot) {
        rx_.erase(rx_.begin());
        if (ymodem) expect_info_ = true;
        const int index = eots++;
        Bytes reply = answer_eot ? answer_eot(index) : Bytes{kAck};
        if (!answer_eot && ymodem) reply.push_back(streaming ? 'G' : 'C');
        if (!reply.empty()) SendLater(reply);
      } else if (first == kCan) {
        rx_.erase(rx_.begin());
        ++cans;
      } else {
        stray.push_back(first);
        rx_.erase(rx_.begin());
      }
    }
  }

  void OnBlock(const Block& b) {
    const int index = static_cast<int>(blocks.size());
    blocks.push_back(b);
    Bytes reply;
    const bool info = ymodem && b.number == 0 && expect_info_;
    if (b.check_ok) {
      if (info) {
        const bool empty =
            std::all_of(b.field.begin(), b.field.end(), [](uint8_t x) { return x == 0; });
        if (empty) {
          batch_ended = true;
          reply = {kAck};
        } else {
          FileInfo fi = ParseYModemFileInfo(b.field);
          files.push_back({fi.name, fi.size, {}});
          expect_info_ = false;
          last_ = 0;
          reply = streaming ? Bytes{'G'} : Bytes{kAck, 'C'};
        }
      } else {
        if (files.empty()) files.push_back({});
        if (b.number == static_cast<uint8_t>(last_ + 1)) {
          files.back().data.insert(files.back().data.end(), b.field.begin(), b.field.end());
          last_ = b.number;
        }
        if (!streaming) reply = {kAck};
      }
    } else if (!streaming) {
      reply = {kNak};
    }
    if (answer) reply = answer(b, index);
    if (!reply.empty()) SendLater(reply);
  }

 public:
  // After an EOT in a batch the next block 0 announces a new file.
  void ExpectFileInfo() { expect_info_ = true; }

 private:
  sim::SimWorld& world_;
  sim::SimPort& port_;
  Bytes rx_;
  uint8_t last_ = 0;
  bool expect_info_ = true;
};

// Plays the sending side against our receiver: a list of frames (blocks, EOT), each sent when
// the receiver asks for it. ACK moves on, NAK sends the frame again; after a YModem block 0 or
// EOT the next frame waits for the receiver's "C" (or "G"). In streaming mode the data blocks
// of a file and its EOT go out back to back.
class SenderPeer {
 public:
  struct Frame {
    Bytes bytes;
    bool wait_for_request_after = false;  // YModem block 0 and EOT: ACK, then "C"/"G"
    bool stream_after = false;            // YModem-G: the frames behind this one stream
  };

  SenderPeer(sim::SimWorld& world, sim::SimPort& port) : world_(world), port_(port) {
    port_.SetOnReceive([this](const uint8_t* p, size_t n) { OnBytes(p, n); });
  }

  // XModem: the blocks of `data` and EOT.
  void AddXModemFile(const Bytes& data, size_t length, bool crc) {
    AddBlocks(data, length, crc);
    frames.push_back({{kEot}, false, false});
  }
  // YModem: block 0, the blocks, EOT. Block 0 gives the size as `size_text` when that is
  // given, else the data's true size.
  void AddYModemFile(const std::string& name, const Bytes& data, size_t length = 1024,
                     bool streaming = false, const char* size_text = nullptr) {
    const std::string size = size_text ? size_text : std::to_string(data.size());
    frames.push_back({MakeBlock0(name, size, 128), true, streaming});
    AddBlocks(data, length, true);
    frames.push_back({{kEot}, true, false});
  }
  void EndBatch() { frames.push_back({MakeBlock(0, Bytes(128, 0), true, 128), false, false}); }

  std::vector<Frame> frames;
  // Called with the frame index and its bytes before each sending (attempt counts from 0).
  std::function<void(size_t index, int attempt, Bytes& bytes)> mutate;
  uint8_t request = 'C';     // the byte that asks for the first frame
  int requests_to_miss = 0;  // requests after block 0 or EOT that the sender does not see

  Bytes received;  // every byte our receiver sent
  size_t next = 0;
  int naks = 0;
  bool done = false;

 private:
  void AddBlocks(const Bytes& data, size_t length, bool crc) {
    for (size_t pos = 0, n = 1; pos < data.size(); pos += length, ++n) {
      Bytes chunk(data.begin() + static_cast<long>(pos),
                  data.begin() + static_cast<long>(std::min(data.size(), pos + length)));
      frames.push_back({MakeBlock(static_cast<uint8_t>(n), chunk, crc, length), false, false});
    }
  }

  void Send(size_t index) {
    if (index >= frames.size()) {
      done = true;
      return;
    }
    Bytes bytes = frames[index].bytes;
    if (mutate) mutate(index, attempts_[index]++, bytes);
    world_.After(1, [this, bytes] { port_.SendToProgram(bytes.data(), bytes.size()); });
  }

  void Stream(size_t from) {
    // Everything up to and including the next frame that waits for a request.
    size_t i = from;
    for (; i < frames.size(); ++i) {
      Send(i);
      if (frames[i].wait_for_request_after) break;
    }
    next = i;
    waiting_ack_ = true;
  }

  void OnBytes(const uint8_t* p, size_t n) {
    received.insert(received.end(), p, p + n);
    attempts_.resize(frames.size() + 1, 0);
    for (size_t k = 0; k < n; ++k) {
      const uint8_t b = p[k];
      if (!started_) {
        if (b == request) {
          started_ = true;
          waiting_ack_ = true;
          Send(next);
        }
        continue;
      }
      if (waiting_request_) {
        if ((b == 'C' || b == 'G') && requests_to_miss > 0) {
          --requests_to_miss;  // as if purged away with the ACK before it
          continue;
        }
        if (b == 'C' || b == 'G') {
          waiting_request_ = false;
          if (frames[next - 1].stream_after) {
            Stream(next);
          } else {
            waiting_ack_ = true;
            Send(next);
          }
        }
        continue;
      }
      if (!waiting_ack_) continue;
      if (b == 'G' && next < frames.size() && frames[next].stream_after) {
        // A streaming receiver answers block 0 with "G" alone.
        ++next;
        Stream(next);
        continue;
      }
      if (next == 0 && b == request && b != kNak) {
        Send(next);  // asked again: the first frame did not arrive
        continue;
      }
      if (b == kAck) {
        if (next >= frames.size()) continue;
        const bool wait = frames[next].wait_for_request_after;
        ++next;
        if (next >= frames.size()) {
          done = true;
          waiting_ack_ = false;
        } else if (wait) {
          waiting_ack_ = false;
          waiting_request_ = true;
        } else {
          Send(next);
        }
      } else if (b == kNak) {
        ++naks;
        Send(next);
      }
    }
  }

  sim::SimWorld& world_;
  sim::SimPort& port_;
  std::vector<int> attempts_;
  bool started_ = false;
  bool waiting_ack_ = false;
  bool waiting_request_ = false;
};

class TransferTest : public ::testing::Test {
 protected:
  TransferTest() : port_(world_.AddPort("COM4")), ctrl_(world_.services()), events_(world_) {
    ctrl_.SetEventSink(&events_);
    ctrl_.put_Port(u"COM4");
    ctrl_.put_BaudRate(115200);
    ctrl_.put_XferWorkDir(Wide(dir_.path()));
  }

  void Open() {
    ctrl_.put_PortOpen(kVTrue);
    ASSERT_EQ(ctrl_.get_Connected(), kVTrue);
    events_.Clear();
  }

  void WriteFile(const std::string& name, const Bytes& data) {
    std::ofstream f(dir_.File(name), std::ios::binary);
    f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  }
  Bytes ReadFile(const std::string& name) {
    std::ifstream f(dir_.File(name), std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  }

  // Upload (or download) with `protocol`, started at once; the file list is given by the test.
  void Start(ProtocolType protocol, ActionType mode) {
    ctrl_.put_XferProtocol(protocol);
    ctrl_.put_XferMode(mode);
    ctrl_.put_XferStart(kVTrue);
  }

  // Runs the world until the transfer ended, at most limit_ms of virtual time.
  bool RunToEnd(uint64_t limit_ms = 120000) {
    return world_.RunUntil([this] { return events_.ended && !ctrl_.transfer_active_; }, limit_ms);
  }

  bool Finished() const {
    return !events_.events.empty() && events_.events.back().what == "FinishTransfer";
  }
  bool Aborted() const {
    return !events_.events.empty() && events_.events.back().what == "AbortTransfer";
  }

  testsupport::TempDir dir_;
  sim::SimWorld world_;
  sim::SimPort& port_;
  ChanfoldCtrl ctrl_;
  TransferEvents events_;
};

}  // namespace chanfold::testing
