#include "platform/event_loop.h"

#include <algorithm>

namespace platform {

EventLoop::~EventLoop() = default;

int EventLoop::AddPoller(Poller poller) {
  int id = next_poller_id_++;
  pollers_.push_back({id, std::move(poller)});
  return id;
}

void EventLoop::RemovePoller(int id) {
  pollers_.erase(std::remove_if(pollers_.begin(), pollers_.end(),
                                [id](const PollerEntry& e) { return e.id == id; }),
                 pollers_.end());
}

void EventLoop::PollInputs() {
  // Copy: a poller may add or remove pollers (a window closing, for example). One removed by
  // an earlier poller of this pass is not called: its owner may be gone.
  std::vector<PollerEntry> pollers = pollers_;
  for (auto& p : pollers) {
    bool registered = std::any_of(pollers_.begin(), pollers_.end(),
                                  [&p](const PollerEntry& e) { return e.id == p.id; });
    if (registered) p.fn();
  }
}

void EventLoop::FireDueTimers() {
  uint64_t now = NowMs();
  // Snapshot: handlers may create, destroy or re-enable timers.
  std::vector<Timer*> due;
  for (Timer* t : timers_) {
    if (t->enabled_ && t->interval_ > 0 && !t->running_ && t->due_ <= now) due.push_back(t);
  }
  for (Timer* t : due) {
    // The timer may have been destroyed or stopped by an earlier handler of this pass.
    if (std::find(timers_.begin(), timers_.end(), t) == timers_.end()) continue;
    if (!t->enabled_ || t->running_ || t->due_ > NowMs()) continue;
    // Like WM_TIMER: the next period counts from this firing, missed periods are not made up.
    t->due_ = NowMs() + t->interval_;
    t->running_ = true;
    auto fn = t->on_tick_;
    fn();
    // Only touch the timer if it still exists after its handler.
    if (std::find(timers_.begin(), timers_.end(), t) != timers_.end()) t->running_ = false;
  }
}

uint64_t EventLoop::NextTimerDue() const {
  uint64_t next = UINT64_MAX;
  for (const Timer* t : timers_) {
    if (t->enabled_ && t->interval_ > 0 && !t->running_) next = std::min(next, t->due_);
  }
  return next;
}

void EventLoop::Register(Timer* timer) {
  timers_.push_back(timer);
}

void EventLoop::Unregister(Timer* timer) {
  timers_.erase(std::remove(timers_.begin(), timers_.end(), timer), timers_.end());
}

Timer::Timer(EventLoop& loop, std::function<void()> on_tick)
    : loop_(loop), on_tick_(std::move(on_tick)) {
  loop_.Register(this);
}

Timer::~Timer() {
  loop_.Unregister(this);
}

void Timer::SetInterval(uint32_t ms) {
  interval_ = ms;
  if (enabled_) Restart();
}

void Timer::SetEnabled(bool enabled) {
  // Enabling a stopped timer starts a new period; enabling a running one changes nothing,
  // as with a form's timer control.
  if (enabled && !enabled_) Restart();
  enabled_ = enabled;
}

void Timer::Restart() {
  due_ = loop_.NowMs() + interval_;
}

}  // namespace platform
