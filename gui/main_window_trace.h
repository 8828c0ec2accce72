#pragma once

#include <QObject>

#include "core/ui/views.h"

class QWidget;

namespace horalign {

// An opt-in trace of the program's start for the benchmarks. With HORALIGN_TRACE_STARTUP=1
// in the environment, a few moments go to standard error as
//   horalign-trace <event> mono=<seconds> cpu=<seconds>
// (CLOCK_MONOTONIC, and the process's CPU time). Events: "main" (entered), "shown" (the main
// window's first paint), "scan-start" and "scan-done" (the loading message shown and taken
// away around every port scan). Without the variable nothing is printed.
void TraceStartup(const char* event);

// Watches the main window for its first paint and passes the loading message through,
// noting when it comes and goes.
class StartupTrace : public QObject, public LoadingView {
 public:
  StartupTrace(QWidget& window, LoadingView& loading);

  void Show(const std::string& caption, const std::string& text, int widthTwips,
            int heightTwips) override;
  void Hide() override;
  bool Visible() const override { return loading_.Visible(); }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  LoadingView& loading_;
  bool painted_ = false;
};

}  // namespace horalign
