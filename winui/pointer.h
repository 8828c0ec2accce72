#pragma once

#include "core/ui/views.h"
#include "platform/win32/win32_api.h"

namespace horalign::winui {

// The application-wide mouse pointer: while busy, every window of the program shows the
// hourglass, also where it is disabled.
class Win32Pointer : public PointerView {
 public:
  void BusyPointerOn() override;
  void BusyPointerOff() override;
  bool Busy() const override { return busy_; }

  // For WM_SETCURSOR: true when it set the hourglass and the message is handled.
  bool OnSetCursor() const;

 private:
  void SetShape(bool busy);

  bool busy_ = false;
};

}  // namespace horalign::winui
