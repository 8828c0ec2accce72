#pragma once

#include "core/ui/views.h"

namespace horalign {

// The application-wide busy pointer on Qt's override cursor. Qt keeps a stack of override
// cursors, the program keeps none: only the first BusyPointerOn pushes, and BusyPointerOff
// pops every override there is, so the arrow always comes back.
class BusyPointer : public PointerView {
 public:
  void BusyPointerOn() override;
  void BusyPointerOff() override;
  bool Busy() const override { return busy_; }

 private:
  bool busy_ = false;
};

}  // namespace horalign
