#pragma once

#include <memory>
#include <string>

#include "core/platform/event_loop.h"
#include "core/ui/views.h"

namespace horalign {

// The button sets of a message, by the numbers callers have always passed.
enum class MessageButtons : int {
  kOk = 0,
  kOkCancel = 1,
  kCancel = 2,
  kYesNoCancel = 3,
  kYesNo = 4
};

// The icon a message asks for, by its number; any other number shows the critical icon.
enum class MessageIconCode : int {
  kCritical = 16,
  kQuestion = 32,
  kExclamation = 48,
  kInformation = 64
};

// The program's own message dialog: every notice and question goes through ShowMessage.
class QV_SYS_Message : public MessageController {
 public:
  // Result codes.
  static constexpr int kOk = 1, kCancel = 2, kTimedOut = 3, kYes = 6, kNo = 7, kBusy = -1;

  QV_SYS_Message(MessageDialogView& view, EventLoop& loop, PointerView& pointer,
                 std::string programName);

  // focusButton is a result code (kOk ...). Returns the code of the button that closed the dialog,
  // 3 when the time-out closed it, or -1 when a message was already on screen.
  int ShowMessage(const std::string& text, MessageButtons buttonSet, int focusButton,
                  MessageIconCode icon, const std::string& title, const std::string& optionText,
                  int optionValue, bool timeoutOn = false, int timeoutMs = 0);

  bool OptionAnswer() const { return optionAnswer_; }
  bool Visible() const { return visible_; }

  // The layout a call would show; exposed so every face draws the same thing.
  static MessageLayout Layout(const std::string& programName, const std::string& text,
                              MessageButtons buttonSet, int focusButton, MessageIconCode icon,
                              const std::string& title, const std::string& optionText,
                              int optionValue);

  void OnButton(int code) override;
  bool OnKey(int key) override;

 private:
  void Unload();

  MessageDialogView& view_;
  EventLoop& loop_;
  PointerView& pointer_;
  std::string programName_;
  MessageLayout layout_;
  bool visible_ = false;
  int answer_ = 0;  // kept between calls: a dialog closed another way returns the last answer
  bool optionAnswer_ = false;
  bool savedBusy_ = false;
  std::unique_ptr<Timer> tmrTimeOut_;  // closes the dialog after its time-out
};

// The loading message shown while the ports are scanned.
class QV_SYS_LoadingMessage {
 public:
  static constexpr int kDesignWidthTwips = 5910;
  static constexpr int kDesignHeightTwips = 585;

  QV_SYS_LoadingMessage(LoadingView& view, EventLoop& loop, PointerView& pointer,
                        std::string programName);

  // A message already on screen keeps its first text. Width or height 0 keeps the design size.
  void ShowLoadMessage(const std::string& text, int widthTwips = 0, int heightTwips = 0);
  void Unload();
  bool Loaded() const { return loaded_; }

 private:
  LoadingView& view_;
  EventLoop& loop_;
  PointerView& pointer_;
  std::string programName_;
  bool loaded_ = false;
};

}  // namespace horalign
