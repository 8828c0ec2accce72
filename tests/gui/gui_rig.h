#pragma once

#include <memory>

#include "core/app/application.h"
#include "gui/main_window.h"
#include "sim/fake_views.h"
#include "sim/memory_registry.h"
#include "sim/world.h"

namespace horalign::test {

class FreeInstance : public InstanceGuard {
 public:
  bool Claim() override { return true; }
};

// The Qt main window driven by the real core on virtual time: the form's timers run only
// when a test turns the virtual loop, the message dialog and loading window are fakes, and
// COM 1 to 16 exist with nothing attached.
struct FormRig {
  // mode: the stored synchronization mode; 0 leaves it unset.
  explicit FormRig(int mode = 1, double dpi = 96);

  QV_MainForm& Form() { return *app->MainForm(); }
  QWidget* Control(horalign::Control c) const { return window.Widget(c); }

  sim::World world;
  sim::MemoryRegistry registry;
  FreeInstance instance;
  MainWindow window;
  sim::FakePointer pointer;
  sim::FakeMessageDialog messages{world.loop};
  sim::FakeLoading loading;
  std::unique_ptr<Application> app;
  int quits = 0;
  bool active = false;  // the window became the active one
};

}  // namespace horalign::test
