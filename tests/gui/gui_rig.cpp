#include "tests/gui/gui_rig.h"

#include <QtTest>
#include <string>

#include "core/app/registry.h"

namespace horalign::test {

FormRig::FormRig(int mode, double dpi) : window(dpi) {
  world.AddEmptyPorts(1, 16);
  if (mode != 0) registry.SetString(kConfigKey, kValueConnectionMode, std::to_string(mode));
  window.SetQuitAction([this] { ++quits; });
  app = std::make_unique<Application>(Platform{registry, world.serial, world.clock, world.loop,
                                               instance, window, pointer, messages, loading});
  window.SetForm([this] { return app->MainForm(); });
  app->Start();
  // Focus events reach the controls of the active window only.
  window.activateWindow();
  active = QTest::qWaitForWindowActive(&window);
}

}  // namespace horalign::test
