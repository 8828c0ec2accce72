#pragma once

#include <string>

#include "core/ui/main_form.h"
#include "sim/sim_app.h"

namespace horalign::test {

// Stores a mode and the active ports, then runs the load sequence, which connects them.
inline void StartWith(sim::SimApp& s, int mode, int usedPorts) {
  s.Set("Connection Mode", std::to_string(mode));
  s.Set("Used COM Ports", std::to_string(usedPorts));
  ASSERT_TRUE(s.Start());
}

// Selects a row and presses "Update Now".
inline void UpdateNow(sim::SimApp& s, int row) {
  s.Select(row);
  s.Form().OnUpdateClick();
}

}  // namespace horalign::test
