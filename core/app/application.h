#pragma once

#include <cstdint>
#include <memory>

#include "core/ui/main_form.h"
#include "core/ui/program.h"

namespace horalign {

// The program: owns its state and wires the parts together. Two can run side by side.
class Application {
 public:
  explicit Application(const Platform& platform);
  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;

  // The start-up sequence. Returns false when the program is to end at once: another
  // instance runs (the user has been told; no port or setting was touched).
  bool Start();

  AppConfig& Config() { return config_; }
  clsSerialCommAPI& SerialPort() { return serialPort_; }
  QV_Paging& Paging() { return paging_; }
  QV_SYS_Message& Messages() { return messages_; }
  QV_SYS_LoadingMessage& Loading() { return loading_; }
  // Exists once Start() has loaded the main window.
  QV_MainForm* MainForm() { return mainForm_.get(); }
  std::int32_t DelayTicks() const { return delayTicks_; }

 private:
  AppConfig config_;
  std::int32_t delayTicks_ = 0;
  clsSerialCommAPI serialPort_;
  QV_SYS_Message messages_;
  QV_SYS_LoadingMessage loading_;
  QV_Paging paging_;
  ProgramParts parts_;
  std::unique_ptr<QV_MainForm> mainForm_;
};

}  // namespace horalign
