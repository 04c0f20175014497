// The bootloader's XModem receiver: asks with "C" for CRC-16 blocks, takes 1024-byte (STX) and
// 128-byte (SOH) blocks, acknowledges good blocks in sequence, asks again for bad ones and ends
// at EOT. Reactive: it acts on the bytes it is given and on its own timers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tools/trasmod-sim/device_link.h"
#include "tools/trasmod-sim/timers.h"

namespace trasmod {

inline constexpr uint8_t kSoh = 0x01;
inline constexpr uint8_t kStx = 0x02;
inline constexpr uint8_t kEot = 0x04;
inline constexpr uint8_t kAck = 0x06;
inline constexpr uint8_t kNak = 0x15;
inline constexpr uint8_t kCan = 0x18;
inline constexpr uint8_t kSub = 0x1A;
inline constexpr uint8_t kCrcRequest = 'C';

// CRC-16/XMODEM (polynomial 0x1021, initial value 0, no reflection) of n bytes.
uint16_t Crc16Xmodem(const uint8_t* data, size_t n);

// How a receive ended.
enum class ReceiveOutcome {
  kComplete,   // EOT acknowledged; data holds every block in order
  kCancelled,  // the sender cancelled with CAN CAN
  kFailed,     // too many bad blocks or time-outs, or a block out of sequence: we cancelled
  kNoStart,    // no block came while we asked with "C"
};
const char* ReceiveOutcomeName(ReceiveOutcome outcome);

struct ReceiveResult {
  ReceiveOutcome outcome = ReceiveOutcome::kNoStart;
  std::vector<uint8_t> data;  // data fields of the good blocks, padding included
  size_t blocks = 0;
  std::string reason;  // for kFailed: what went wrong
};

// Counters of one receive, for tests and the log.
struct ReceiveStats {
  size_t crc_requests = 0;  // "C" sent
  size_t good_blocks = 0;   // new blocks taken and acknowledged
  size_t duplicates = 0;    // repeats of the last block, acknowledged and dropped
  size_t naks = 0;          // NAK sent (bad blocks, junk, stalls)
  size_t bad_blocks = 0;    // blocks with a wrong CRC or number/complement pair
};

class XModemReceiver {
 public:
  // Time between two "C" while no block has come: XModem's customary start interval, long
  // enough that a sender which has just started reading sees one "C" at a time.
  static constexpr uint32_t kDefaultCrcIntervalMs = 1000;
  // "C" sent before giving up: a minute at the default interval, far longer than any sender
  // takes to begin once the operator has chosen the menu entry.
  static constexpr size_t kMaxCrcRequests = 60;
  // Silence inside a block after which its rest is taken as lost: XModem's one-second
  // character time-out, hundreds of character times even at 1200 bit/s.
  static constexpr uint32_t kCharGapMs = 1000;
  // Silence between blocks after which we ask again with NAK: XModem's ten-second block
  // time-out; a sender that waits for our reply never makes us wait that long.
  static constexpr uint32_t kBlockWaitMs = 10000;
  // After a bad block or junk we wait until the line has been quiet this long before the
  // NAK, so that the NAK is not taken as the reply to bytes still on their way: far more
  // than a character time at any rate we run at, far less than a sender's reply time-out.
  static constexpr uint32_t kQuietMs = 100;
  // Consecutive failures (bad blocks, stalls) after which we give up, as XModem receivers do.
  static constexpr int kMaxRetries = 10;
  // CAN bytes we send to cancel: more than the five that the strictest senders look for.
  static constexpr size_t kCancelBytes = 8;
  // Consecutive CAN bytes, where a block should begin, that cancel the receive. Two is the
  // classic rule; a CAN is never the first byte of a block, so two cannot be line noise in
  // the middle of one.
  static constexpr int kCancelCount = 2;

  using DoneFn = std::function<void(ReceiveResult)>;
  using BlockFn = std::function<void(size_t good_blocks)>;

  explicit XModemReceiver(DeviceLink& link, uint32_t crc_interval_ms = kDefaultCrcIntervalMs);

  // Starts asking for a file. done is called once when the receive ends, whatever the
  // outcome; on_block after every new good block has been acknowledged. Both may call Stop().
  void Start(DoneFn done, BlockFn on_block = nullptr);
  // Ends the receive silently (the device rebooted): no callback, nothing sent.
  void Stop();
  void OnBytes(const uint8_t* data, size_t n);

  bool active() const { return state_ != State::kIdle; }
  const ReceiveStats& stats() const { return stats_; }

 private:
  enum class State { kIdle, kAwaitStart, kAwaitBlock, kInBlock, kResync };
  enum Slot : size_t { kTimer, kSlotCount };

  void OnByte(uint8_t b);
  void SendCrcRequest();
  void AwaitBlock();
  void BlockComplete();
  void Resync();
  void Retry();  // one failure: NAK, or give up after kMaxRetries
  void Cancel(const std::string& reason);
  void Finish(ReceiveOutcome outcome, std::string reason = "");
  void SendByte(uint8_t b);
  // Arms the timer to call fn once the line has been quiet for ms.
  void AfterQuiet(uint32_t ms, void (XModemReceiver::*fn)());
  void OnStall();

  DeviceLink& link_;
  uint32_t crc_interval_ms_;
  Timers<kSlotCount> timers_;
  State state_ = State::kIdle;
  DoneFn done_;
  BlockFn on_block_;
  ReceiveResult result_;
  ReceiveStats stats_;
  std::vector<uint8_t> block_;  // the block being collected, from its first byte
  size_t block_size_ = 0;       // its full size on the line: 3 + data + 2
  uint8_t last_number_ = 0;     // number of the last good block (0 before the first)
  int retries_ = 0;
  int cans_ = 0;
  uint64_t last_activity_ms_ = 0;  // when bytes last came in
};

}  // namespace trasmod
