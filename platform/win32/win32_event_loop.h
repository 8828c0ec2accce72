#pragma once

#include "platform/win32/win32_api.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "core/platform/event_loop.h"

namespace horalign {

// The user-interface thread's message loop. Timers are SetTimer timers of a message-only
// window, so their ticks are WM_TIMER messages: low priority, and coalesced by the system
// when the thread falls behind. A tick that arrives while its own handler runs is dropped,
// and arming a timer starts its period afresh.
class Win32EventLoop : public EventLoop {
 public:
  // Sees a message before it is translated and dispatched; true means it was handled.
  using MessageFilter = std::function<bool(MSG& msg)>;

  Win32EventLoop();
  ~Win32EventLoop() override;
  Win32EventLoop(const Win32EventLoop&) = delete;
  Win32EventLoop& operator=(const Win32EventLoop&) = delete;

  // Dispatches what is queued; when nothing was, waits for the next message (a timer tick
  // at the latest while a timer runs) and dispatches it and what followed it.
  void Yield() override;
  // Dispatches what is queued and returns without waiting.
  void ProcessPending() override;
  std::unique_ptr<Timer> CreateTimer(int intervalMs, bool enabled,
                                     std::function<void()> handler) override;
  std::int64_t MonotonicMs() override;

  // Windows add filters for their keyboard rules and dialog navigation. The newest filter
  // sees a message first.
  int AddFilter(MessageFilter filter);
  void RemoveFilter(int id);

  // Runs when WM_QUIT arrives (the program never posts it itself). Without a handler the
  // loop remembers it: QuitReceived() turns true and later calls return at once.
  void SetQuitHandler(std::function<void(int exitCode)> handler) { onQuit_ = std::move(handler); }
  bool QuitReceived() const { return quit_; }

  // The message-only window that owns the timers (for tests).
  HWND TimerWindow() const { return window_; }

 private:
  struct TimerState;
  class Win32Timer;

  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
  void OnTimer(UINT_PTR id);
  void Arm(TimerState& state);
  void Disarm(TimerState& state);
  void Forget(UINT_PTR id);
  // Returns the number of messages dispatched, at most `limit`.
  int DispatchQueued(int limit);
  void Dispatch(MSG& msg);
  void OnQuitMessage(const MSG& msg);

  HWND window_ = nullptr;
  UINT_PTR nextTimerId_ = 1;
  std::map<UINT_PTR, std::shared_ptr<TimerState>> timers_;
  int nextFilterId_ = 1;
  std::vector<std::pair<int, std::shared_ptr<MessageFilter>>> filters_;
  std::function<void(int)> onQuit_;
  bool quit_ = false;
};

}  // namespace horalign
