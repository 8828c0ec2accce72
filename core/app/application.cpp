#include "core/app/application.h"

#include <string>

namespace horalign {

Application::Application(const Platform& platform)
    : platform_(platform),
      serialPort_(platform.serial),
      messages_(platform.messageView, platform.loop, platform.pointer, kProgramName),
      loading_(platform.loadingView, platform.loop, platform.pointer, kProgramName),
      paging_(serialPort_, platform.loop, delayTicks_) {}

bool Application::Start() {
  if (!platform_.instance.Claim()) {
    messages_.ShowMessage(std::string(kProgramName) + " is already active.", MessageButtons::kOk, 0,
                          MessageIconCode::kCritical, "", "", 0);
    return false;
  }
  LoadConfig(platform_.registry, config_);
  mainForm_ = std::make_unique<QV_MainForm>(MainFormDeps{
      config_, platform_.registry, platform_.clock, platform_.loop, serialPort_, paging_,
      delayTicks_, platform_.mainView, platform_.pointer, messages_, loading_, platform_.history});
  mainForm_->Load();
  return true;
}

}  // namespace horalign
