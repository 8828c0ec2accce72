#include "core/app/application.h"

#include <string>

namespace horalign {

Application::Application(const Platform& platform)
    : serialPort_(platform.serial),
      messages_(platform.messageView, platform.loop, platform.pointer, kProgramName),
      loading_(platform.loadingView, platform.loop, platform.pointer, kProgramName),
      paging_(serialPort_, platform.loop, delayTicks_),
      parts_{platform, config_, delayTicks_, serialPort_, paging_, messages_, loading_} {}

bool Application::Start() {
  if (!parts_.instance.Claim()) {
    messages_.ShowMessage(std::string(kProgramName) + " is already active.", MessageButtons::kOk, 0,
                          MessageIconCode::kCritical, "", "", 0);
    return false;
  }
  LoadConfig(parts_.registry, config_);
  mainForm_ = std::make_unique<QV_MainForm>(parts_);
  // The drift figures go on from where the history left them.
  if (parts_.history) {
    parts_.history->ForEachKept(
        [this](const HistoryEntry& e) { mainForm_->Sync().Drift().Replay(e); });
  }
  mainForm_->Load();
  return true;
}

}  // namespace horalign
