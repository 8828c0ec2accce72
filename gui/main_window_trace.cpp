#include "gui/main_window_trace.h"

#include <time.h>

#include <QEvent>
#include <QWidget>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace horalign {
namespace {

bool Enabled() {
  static const bool enabled = [] {
    const char* value = std::getenv("HORALIGN_TRACE_STARTUP");
    return value != nullptr && std::strcmp(value, "1") == 0;
  }();
  return enabled;
}

double Seconds(clockid_t clock) {
  timespec t{};
  ::clock_gettime(clock, &t);
  return static_cast<double>(t.tv_sec) + t.tv_nsec / 1e9;
}

}  // namespace

void TraceStartup(const char* event) {
  if (!Enabled()) return;
  std::fprintf(stderr, "horalign-trace %s mono=%.6f cpu=%.6f\n", event, Seconds(CLOCK_MONOTONIC),
               Seconds(CLOCK_PROCESS_CPUTIME_ID));
  std::fflush(stderr);
}

StartupTrace::StartupTrace(QWidget& window, LoadingView& loading) : loading_(loading) {
  if (Enabled()) window.installEventFilter(this);
}

void StartupTrace::Show(const std::string& caption, const std::string& text, int widthTwips,
                        int heightTwips) {
  TraceStartup("scan-start");
  loading_.Show(caption, text, widthTwips, heightTwips);
}

void StartupTrace::Hide() {
  loading_.Hide();
  TraceStartup("scan-done");
}

bool StartupTrace::eventFilter(QObject* watched, QEvent* event) {
  if (!painted_ && event->type() == QEvent::Paint) {
    painted_ = true;
    TraceStartup("shown");
    watched->removeEventFilter(this);
  }
  return false;
}

}  // namespace horalign
