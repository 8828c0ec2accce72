#include "platform/win32/win32_event_loop.h"

#include <utility>

namespace horalign {
namespace {

constexpr const char* kWindowClass = "HoralignTimerWindow";
// Messages queued while dispatching are served too, up to this many per call, so a window
// that keeps posting to itself cannot hold a caller forever.
constexpr int kDispatchLimit = 1000;

}  // namespace

struct Win32EventLoop::TimerState {
  UINT_PTR id = 0;
  int intervalMs = 0;
  bool enabled = false;
  bool running = false;
  ULONGLONG armedAt = 0;
  std::function<void()> handler;
};

class Win32EventLoop::Win32Timer : public Timer {
 public:
  Win32Timer(Win32EventLoop& loop, std::shared_ptr<TimerState> state)
      : loop_(loop), state_(std::move(state)) {}
  ~Win32Timer() override { loop_.Forget(state_->id); }

  void SetEnabled(bool enabled) override {
    state_->enabled = enabled;
    if (enabled) {
      loop_.Arm(*state_);
    } else {
      loop_.Disarm(*state_);
    }
  }
  bool Enabled() const override { return state_->enabled; }
  void SetInterval(int intervalMs) override {
    state_->intervalMs = intervalMs;
    if (state_->enabled) loop_.Arm(*state_);
  }
  int Interval() const override { return state_->intervalMs; }

 private:
  Win32EventLoop& loop_;
  std::shared_ptr<TimerState> state_;
};

Win32EventLoop::Win32EventLoop() {
  HINSTANCE instance = ::GetModuleHandleA(nullptr);
  WNDCLASSEXA wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = &Win32EventLoop::WindowProc;
  wc.hInstance = instance;
  wc.lpszClassName = kWindowClass;
  ::RegisterClassExA(&wc);  // fails harmlessly when a second loop registers it again
  window_ = ::CreateWindowExA(0, kWindowClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance,
                              nullptr);
  ::SetWindowLongPtrA(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

Win32EventLoop::~Win32EventLoop() {
  for (auto& [id, state] : timers_) ::KillTimer(window_, id);
  if (window_ != nullptr) ::DestroyWindow(window_);
}

LRESULT CALLBACK Win32EventLoop::WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_TIMER) {
    auto* loop = reinterpret_cast<Win32EventLoop*>(::GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (loop != nullptr) loop->OnTimer(static_cast<UINT_PTR>(wParam));
    return 0;
  }
  return ::DefWindowProcA(hwnd, msg, wParam, lParam);
}

std::unique_ptr<Timer> Win32EventLoop::CreateTimer(int intervalMs, bool enabled,
                                                   std::function<void()> handler) {
  auto state = std::make_shared<TimerState>();
  state->id = nextTimerId_++;
  state->intervalMs = intervalMs;
  state->handler = std::move(handler);
  timers_[state->id] = state;
  auto timer = std::make_unique<Win32Timer>(*this, state);
  timer->SetEnabled(enabled);
  return timer;
}

void Win32EventLoop::Arm(TimerState& state) {
  // An interval of 0 never fires, as with any windowing timer.
  if (state.intervalMs <= 0) {
    ::KillTimer(window_, state.id);
    return;
  }
  // SetTimer on a running id replaces it: the period starts again now.
  state.armedAt = ::GetTickCount64();
  ::SetTimer(window_, state.id, static_cast<UINT>(state.intervalMs), nullptr);
}

std::int64_t Win32EventLoop::MonotonicMs() {
  return static_cast<std::int64_t>(::GetTickCount64());
}

void Win32EventLoop::Disarm(TimerState& state) {
  ::KillTimer(window_, state.id);
}

void Win32EventLoop::Forget(UINT_PTR id) {
  ::KillTimer(window_, id);
  timers_.erase(id);
}

void Win32EventLoop::OnTimer(UINT_PTR id) {
  const auto found = timers_.find(id);
  if (found == timers_.end()) return;
  std::shared_ptr<TimerState> state = found->second;  // the handler may destroy the timer
  if (!state->enabled || state->running || state->intervalMs <= 0) return;
  // A tick generated before the timer was last armed belongs to the old period.
  if (::GetTickCount64() - state->armedAt < static_cast<ULONGLONG>(state->intervalMs) / 2) return;
  state->running = true;
  const std::function<void()> handler = state->handler;
  handler();
  state->running = false;
}

int Win32EventLoop::AddFilter(MessageFilter filter) {
  const int id = nextFilterId_++;
  filters_.emplace_back(id, std::make_shared<MessageFilter>(std::move(filter)));
  return id;
}

void Win32EventLoop::RemoveFilter(int id) {
  for (auto it = filters_.begin(); it != filters_.end(); ++it) {
    if (it->first == id) {
      filters_.erase(it);
      return;
    }
  }
}

void Win32EventLoop::Dispatch(MSG& msg) {
  // A copy: a filter may open or close a window, which adds or removes filters.
  const auto filters = filters_;
  for (auto it = filters.rbegin(); it != filters.rend(); ++it) {
    if ((*it->second)(msg)) return;
  }
  ::TranslateMessage(&msg);
  ::DispatchMessageA(&msg);
}

void Win32EventLoop::OnQuitMessage(const MSG& msg) {
  quit_ = true;
  if (onQuit_) onQuit_(static_cast<int>(msg.wParam));
}

int Win32EventLoop::DispatchQueued(int limit) {
  int count = 0;
  MSG msg;
  while (!quit_ && count < limit && ::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      OnQuitMessage(msg);
      break;
    }
    Dispatch(msg);
    ++count;
  }
  return count;
}

void Win32EventLoop::ProcessPending() {
  if (quit_) return;
  DispatchQueued(kDispatchLimit);
}

void Win32EventLoop::Yield() {
  if (quit_) return;
  if (DispatchQueued(kDispatchLimit) > 0 || quit_) return;
  MSG msg;
  const BOOL got = ::GetMessageA(&msg, nullptr, 0, 0);
  if (got == -1) return;
  if (got == 0) {
    OnQuitMessage(msg);
    return;
  }
  Dispatch(msg);
  DispatchQueued(kDispatchLimit);
}

}  // namespace horalign
