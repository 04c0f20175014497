#include "tools/trasmod-sim/xmodem_receiver.h"

#include <utility>

namespace trasmod {

uint16_t Crc16Xmodem(const uint8_t* data, size_t n) {
  uint16_t crc = 0;
  for (size_t i = 0; i < n; ++i) {
    crc = static_cast<uint16_t>(crc ^ (static_cast<uint16_t>(data[i]) << 8));
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021)
                           : static_cast<uint16_t>(crc << 1);
    }
  }
  return crc;
}

const char* ReceiveOutcomeName(ReceiveOutcome outcome) {
  switch (outcome) {
    case ReceiveOutcome::kComplete:
      return "complete";
    case ReceiveOutcome::kCancelled:
      return "cancelled";
    case ReceiveOutcome::kFailed:
      return "failed";
    case ReceiveOutcome::kNoStart:
      return "no start";
  }
  return "?";
}

XModemReceiver::XModemReceiver(DeviceLink& link, uint32_t crc_interval_ms)
    : link_(link), crc_interval_ms_(crc_interval_ms), timers_(link) {}

void XModemReceiver::Start(DoneFn done, BlockFn on_block) {
  timers_.CancelAll();
  done_ = std::move(done);
  on_block_ = std::move(on_block);
  result_ = ReceiveResult{};
  stats_ = ReceiveStats{};
  block_.clear();
  last_number_ = 0;
  retries_ = 0;
  cans_ = 0;
  state_ = State::kAwaitStart;
  SendCrcRequest();
}

void XModemReceiver::Stop() {
  timers_.CancelAll();
  state_ = State::kIdle;
  done_ = nullptr;
  on_block_ = nullptr;
}

void XModemReceiver::OnBytes(const uint8_t* data, size_t n) {
  last_activity_ms_ = link_.NowMs();
  for (size_t i = 0; i < n && state_ != State::kIdle; ++i) OnByte(data[i]);
}

void XModemReceiver::OnByte(uint8_t b) {
  switch (state_) {
    case State::kIdle:
      return;
    case State::kAwaitStart:
    case State::kAwaitBlock:
      if (b == kCan) {
        if (++cans_ >= kCancelCount) Finish(ReceiveOutcome::kCancelled);
        return;
      }
      cans_ = 0;
      if (b == kSoh || b == kStx) {
        block_.assign(1, b);
        block_size_ = 3 + (b == kSoh ? 128u : 1024u) + 2;
        state_ = State::kInBlock;
        AfterQuiet(kCharGapMs, &XModemReceiver::OnStall);
      } else if (b == kEot) {
        SendByte(kAck);
        Finish(ReceiveOutcome::kComplete);
      } else if (state_ == State::kAwaitBlock) {
        Resync();  // junk where a block should begin
      }
      // Before the first block, stray bytes (echoes, line noise) are not worth a NAK.
      return;
    case State::kInBlock:
      block_.push_back(b);
      if (block_.size() == block_size_) BlockComplete();
      return;
    case State::kResync:
      return;  // AfterQuiet sees the activity and waits on
  }
}

void XModemReceiver::SendCrcRequest() {
  if (stats_.crc_requests >= kMaxCrcRequests) {
    Finish(ReceiveOutcome::kNoStart);
    return;
  }
  ++stats_.crc_requests;
  SendByte(kCrcRequest);
  timers_.Arm(kTimer, crc_interval_ms_, [this] {
    if (state_ == State::kAwaitStart) SendCrcRequest();
  });
}

void XModemReceiver::AwaitBlock() {
  state_ = State::kAwaitBlock;
  cans_ = 0;
  timers_.Arm(kTimer, kBlockWaitMs, [this] {
    if (state_ == State::kAwaitBlock) Retry();
  });
}

void XModemReceiver::BlockComplete() {
  const uint8_t number = block_[1];
  const uint8_t complement = block_[2];
  const size_t len = block_size_ - 5;
  const uint16_t crc = Crc16Xmodem(&block_[3], len);
  const uint16_t sent = static_cast<uint16_t>((block_[3 + len] << 8) | block_[4 + len]);
  if (static_cast<uint8_t>(number + complement) != 0xFF || crc != sent) {
    ++stats_.bad_blocks;
    Resync();
    return;
  }
  if (number == static_cast<uint8_t>(last_number_ + 1)) {
    result_.data.insert(result_.data.end(), block_.begin() + 3, block_.begin() + 3 + len);
    ++result_.blocks;
    ++stats_.good_blocks;
    last_number_ = number;
    retries_ = 0;
    SendByte(kAck);
    AwaitBlock();
    if (on_block_) on_block_(stats_.good_blocks);
    return;
  }
  if (number == last_number_) {  // our ACK was lost and the sender repeated the block
    ++stats_.duplicates;
    SendByte(kAck);
    AwaitBlock();
    return;
  }
  Cancel("block out of sequence");
}

void XModemReceiver::Resync() {
  state_ = State::kResync;
  last_activity_ms_ = link_.NowMs();
  AfterQuiet(kQuietMs, &XModemReceiver::Retry);
}

void XModemReceiver::OnStall() {
  if (state_ == State::kInBlock) Retry();
}

void XModemReceiver::Retry() {
  if (++retries_ > kMaxRetries) {
    Cancel("too many errors");
    return;
  }
  ++stats_.naks;
  SendByte(kNak);
  AwaitBlock();
}

void XModemReceiver::AfterQuiet(uint32_t ms, void (XModemReceiver::*fn)()) {
  const State armed_in = state_;
  uint64_t since = link_.NowMs() - last_activity_ms_;
  uint32_t wait = since >= ms ? 1 : static_cast<uint32_t>(ms - since);
  // One timer per quiet period, not per byte: when it fires early because bytes came in
  // meanwhile, it waits for the rest of the period from the last of them.
  timers_.Arm(kTimer, wait, [this, ms, fn, armed_in] {
    if (state_ != armed_in) return;
    if (link_.NowMs() - last_activity_ms_ < ms) {
      AfterQuiet(ms, fn);
      return;
    }
    (this->*fn)();
  });
}

void XModemReceiver::Cancel(const std::string& reason) {
  for (size_t i = 0; i < kCancelBytes; ++i) SendByte(kCan);
  Finish(ReceiveOutcome::kFailed, reason);
}

void XModemReceiver::Finish(ReceiveOutcome outcome, std::string reason) {
  timers_.CancelAll();
  state_ = State::kIdle;
  result_.outcome = outcome;
  result_.reason = std::move(reason);
  DoneFn done = std::move(done_);
  done_ = nullptr;
  on_block_ = nullptr;
  if (done) done(std::move(result_));
}

void XModemReceiver::SendByte(uint8_t b) {
  link_.Send(&b, 1);
}

}  // namespace trasmod
