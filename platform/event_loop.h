// Event loop and time: window-style timers that fire only while messages are processed,
// "process pending messages once" (DoEvents), a plain sleep that processes nothing, a tick count
// and the top-level message loop.
//
// Everything runs on one thread. Dispatch may nest (a timer can fire inside another handler's
// DoEvents), but a timer is never re-entered while its own handler runs.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace platform {

class Timer;

class EventLoop {
 public:
  virtual ~EventLoop();

  // Milliseconds on a monotonic clock (virtual in the simulation).
  virtual uint64_t NowMs() = 0;
  // The Win32 GetTickCount view of NowMs().
  uint32_t TickCount() { return static_cast<uint32_t>(NowMs()); }

  // Plain sleep: no timer fires and no input is handled while it lasts.
  virtual void Sleep(uint32_t ms) = 0;

  // Processes pending messages once: polls the input sources, then fires every due timer that
  // is not already running.
  virtual void DoEvents() = 0;

  // The top-level message loop: waits for the next due timer or input and dispatches it, until
  // Quit() is called.
  virtual void Run() = 0;

  void Quit() { quit_ = true; }
  bool QuitRequested() const { return quit_; }
  void ClearQuit() { quit_ = false; }

  // An input source polled on every DoEvents and loop pass (the console's standard input, for
  // example). While any is registered, Run() wakes at least every kInputPollMs to call them.
  using Poller = std::function<void()>;
  int AddPoller(Poller poller);
  void RemovePoller(int id);

  // Wake-up period of Run() while pollers are registered: short enough that typed input feels
  // immediate, long enough to cost nothing.
  static constexpr uint32_t kInputPollMs = 10;

 protected:
  // For backends: call every poller once.
  void PollInputs();
  // For backends: fire every enabled timer whose time has come, once each, skipping timers whose
  // handler is running further up the stack.
  void FireDueTimers();
  // For backends: the earliest due time of an enabled timer, or UINT64_MAX when none is enabled.
  uint64_t NextTimerDue() const;
  bool HasPollers() const { return !pollers_.empty(); }

 private:
  friend class Timer;
  void Register(Timer* timer);
  void Unregister(Timer* timer);

  std::vector<Timer*> timers_;
  struct PollerEntry {
    int id;
    Poller fn;
  };
  std::vector<PollerEntry> pollers_;
  int next_poller_id_ = 1;
  bool quit_ = false;
};

// A window-style timer (the semantics of SetTimer/WM_TIMER and of a form's timer control):
// while enabled it is due `interval` ms after it was enabled or last fired; it fires only inside
// DoEvents or Run; enabling or changing the interval restarts the period; an interval of 0 never
// fires.
class Timer {
 public:
  Timer(EventLoop& loop, std::function<void()> on_tick);
  ~Timer();
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;

  void SetInterval(uint32_t ms);
  uint32_t Interval() const { return interval_; }
  void SetEnabled(bool enabled);
  bool Enabled() const { return enabled_; }
  bool Running() const { return running_; }

 private:
  friend class EventLoop;
  void Restart();

  EventLoop& loop_;
  std::function<void()> on_tick_;
  uint32_t interval_ = 0;
  bool enabled_ = false;
  bool running_ = false;
  uint64_t due_ = 0;
};

}  // namespace platform
