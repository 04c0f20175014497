// One direction of the simulated line: a bounded transmit buffer, paced at the line rate,
// with seeded faults applied to each character as it goes out.
#ifndef TOOLS_LINESIM_DIRECTION_H_
#define TOOLS_LINESIM_DIRECTION_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "tools/linesim/prng.h"

namespace linesim {

inline constexpr int64_t kNever = std::numeric_limits<int64_t>::max();

struct LineRate {
  uint64_t baud = 0;  // 0 = unthrottled
  int bits_per_char = 10;

  // Time from the start of the line's epoch to the end of character n (n characters sent).
  // Computed from the count, never by adding rounded per-character times, so a long run does
  // not drift from the nominal rate.
  int64_t TimeFor(uint64_t chars) const;
};

struct FaultRates {
  double bit_error = 0;  // per data bit
  double drop = 0;       // per character
  double dup = 0;        // per character
  double stall = 0;      // per character
  int64_t stall_ns = 0;  // length of one stall
};

struct DirectionStats {
  uint64_t read = 0;     // bytes taken from the sending side
  uint64_t carried = 0;  // bytes handed to the receiving side (duplicates included)
  uint64_t bits_flipped = 0;
  uint64_t dropped = 0;
  uint64_t duplicated = 0;
  uint64_t stalls = 0;
};

class Direction {
 public:
  // A fast writer is held back once this many bytes wait for the line: the caller stops
  // reading its side, as a UART with a full transmit FIFO would.
  static constexpr size_t kTransmitBuffer = 4096;
  // Bytes already sent but not yet accepted by the receiving pty; the line pauses when this
  // fills (the receiver is not reading), instead of queueing without bound.
  static constexpr size_t kOutputBuffer = 4096;

  Direction(const LineRate& rate, const FaultRates& faults, int data_bits, uint64_t seed);

  // Room left in the transmit buffer; Accept() takes at most this many bytes.
  size_t Room() const { return kTransmitBuffer - pending_size_; }
  void Accept(const uint8_t* data, size_t size, int64_t now);

  // Sends every character whose transmission has ended by `now` to the output. `budget`
  // is the number of bytes the link may still carry (shared by both directions, for the
  // hang-up fault); it is decremented per byte handed to the output.
  void Release(int64_t now, uint64_t* budget);

  const uint8_t* OutData() const { return out_.data() + out_begin_; }
  size_t OutSize() const { return out_end_ - out_begin_; }
  void Consume(size_t size);

  // When Release() next has something to do; kNever if only input or output readiness
  // can change that. `tick_ns` is the shortest sleep: characters due within it go together.
  int64_t NextWake(int64_t now, int64_t tick_ns) const;

  bool Idle() const { return pending_size_ == 0 && OutSize() == 0; }
  const DirectionStats& stats() const { return stats_; }

 private:
  struct Decision {
    bool stall = false;
    bool drop = false;
    bool dup = false;
    uint8_t flip_mask = 0;
  };

  void Decide(int64_t now);
  // Starts a new epoch if the line has been idle so that it does not "catch up" later.
  void Reanchor(int64_t now);
  bool Emit(uint8_t byte, uint64_t* budget);

  LineRate rate_;
  FaultRates faults_;
  int data_bits_;
  Xoshiro256 rng_;

  std::array<uint8_t, kTransmitBuffer> pending_{};
  size_t pending_head_ = 0;
  size_t pending_size_ = 0;

  std::array<uint8_t, kOutputBuffer> out_{};
  size_t out_begin_ = 0;
  size_t out_end_ = 0;

  int64_t epoch_ = 0;        // when character 0 of the current run started
  uint64_t chars_ = 0;       // characters sent since epoch_
  int64_t stall_until_ = 0;  // line paused by a stall fault until then
  bool flow_blocked_ = false;
  bool head_decided_ = false;
  Decision head_;

  DirectionStats stats_;
};

}  // namespace linesim

#endif  // TOOLS_LINESIM_DIRECTION_H_
