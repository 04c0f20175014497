#include "tools/linesim/direction.h"

#include <algorithm>
#include <cstring>

namespace linesim {

namespace {
constexpr int64_t kNsPerSecond = 1'000'000'000;
}  // namespace

int64_t LineRate::TimeFor(uint64_t chars) const {
  if (baud == 0) return 0;
  // Split into whole seconds and a remainder so that chars * bits * 1e9 cannot overflow:
  // the remainder term is below baud * bits * 1e9, which fits for any baud we accept.
  const uint64_t bits = static_cast<uint64_t>(bits_per_char);
  const uint64_t whole = chars / baud;
  const uint64_t rest = chars % baud;
  return static_cast<int64_t>(whole * bits * kNsPerSecond + rest * bits * kNsPerSecond / baud);
}

Direction::Direction(const LineRate& rate, const FaultRates& faults, int data_bits, uint64_t seed)
    : rate_(rate), faults_(faults), data_bits_(data_bits), rng_(seed) {}

void Direction::Accept(const uint8_t* data, size_t size, int64_t now) {
  size = std::min(size, Room());
  if (size == 0) return;
  if (pending_size_ == 0) Reanchor(now);
  for (size_t i = 0; i < size; ++i) {
    pending_[(pending_head_ + pending_size_ + i) % kTransmitBuffer] = data[i];
  }
  pending_size_ += size;
  stats_.read += size;
}

void Direction::Reanchor(int64_t now) {
  if (epoch_ + rate_.TimeFor(chars_) < now) {
    epoch_ = now;
    chars_ = 0;
  }
}

void Direction::Decide(int64_t now) {
  // A fixed sequence of draws per character (for the faults that are enabled), so that the
  // decisions depend only on the seed and the position in the byte stream.
  head_ = Decision{};
  if (faults_.stall > 0) head_.stall = rng_.Chance(faults_.stall);
  if (faults_.drop > 0) head_.drop = rng_.Chance(faults_.drop);
  if (faults_.dup > 0) head_.dup = rng_.Chance(faults_.dup);
  if (faults_.bit_error > 0) {
    for (int bit = 0; bit < data_bits_; ++bit) {
      if (rng_.Chance(faults_.bit_error)) head_.flip_mask |= static_cast<uint8_t>(1u << bit);
    }
  }
  head_decided_ = true;
  if (head_.stall) {
    ++stats_.stalls;
    // The pause begins where this character would have started on the line.
    const int64_t start = rate_.baud == 0 ? now : epoch_ + rate_.TimeFor(chars_);
    stall_until_ = start + faults_.stall_ns;
    epoch_ = stall_until_;
    chars_ = 0;
  }
}

bool Direction::Emit(uint8_t byte, uint64_t* budget) {
  if (*budget == 0) return false;
  if (out_end_ == kOutputBuffer) {
    std::memmove(out_.data(), out_.data() + out_begin_, OutSize());
    out_end_ -= out_begin_;
    out_begin_ = 0;
  }
  out_[out_end_++] = byte;
  --*budget;
  ++stats_.carried;
  return true;
}

void Direction::Release(int64_t now, uint64_t* budget) {
  if (flow_blocked_ && OutSize() + 2 <= kOutputBuffer) {
    // The receiver held the line up; resume from now rather than sending a burst.
    Reanchor(now);
    flow_blocked_ = false;
  }
  while (pending_size_ > 0 && *budget > 0) {
    // Two slots: a duplicated character needs room for both copies.
    if (OutSize() + 2 > kOutputBuffer) {
      flow_blocked_ = true;
      return;
    }
    if (!head_decided_) Decide(now);
    if (now < stall_until_) return;
    if (rate_.baud != 0) {
      if (epoch_ + rate_.TimeFor(chars_ + 1) > now) return;
      ++chars_;
    }
    uint8_t byte = pending_[pending_head_];
    pending_head_ = (pending_head_ + 1) % kTransmitBuffer;
    --pending_size_;
    head_decided_ = false;

    // A dropped character still used its time on the line.
    if (head_.drop) {
      ++stats_.dropped;
      continue;
    }
    if (head_.flip_mask != 0) {
      byte ^= head_.flip_mask;
      stats_.bits_flipped += static_cast<uint64_t>(__builtin_popcount(head_.flip_mask));
    }
    if (!Emit(byte, budget)) return;
    if (head_.dup && Emit(byte, budget)) ++stats_.duplicated;
  }
}

void Direction::Consume(size_t size) {
  out_begin_ += std::min(size, OutSize());
  if (out_begin_ == out_end_) out_begin_ = out_end_ = 0;
}

int64_t Direction::NextWake(int64_t now, int64_t tick_ns) const {
  if (pending_size_ == 0 || flow_blocked_) return kNever;
  int64_t due = now;
  if (head_decided_ && stall_until_ > now) due = stall_until_;
  if (rate_.baud != 0) due = std::max(due, epoch_ + rate_.TimeFor(chars_ + 1));
  if (due <= now) return now;
  return std::max(due, now + tick_ns);
}

}  // namespace linesim
