#include "core/ui/message.h"

#include <cctype>

#include "core/ui/window_layout.h"

namespace horalign {
namespace {

constexpr int kButtonTopTwips = 1200;
constexpr int kEscapeKey = 27;

MessageIcon IconFor(MessageIconCode icon) {
  switch (icon) {
    case MessageIconCode::kQuestion:
      return MessageIcon::kQuestion;
    case MessageIconCode::kExclamation:
      return MessageIcon::kExclamation;
    case MessageIconCode::kInformation:
      return MessageIcon::kInformation;
    default:
      return MessageIcon::kCritical;
  }
}

MessageButton ButtonOf(int code, MessageControl control) {
  MessageButton b;
  b.code = code;
  b.control = control;
  b.caption = DescOf(control).caption;
  b.topTwips = kButtonTopTwips;
  return b;
}

}  // namespace

QV_SYS_Message::QV_SYS_Message(MessageDialogView& view, EventLoop& loop, PointerView& pointer,
                               std::string programName)
    : view_(view), loop_(loop), pointer_(pointer), programName_(std::move(programName)) {}

MessageLayout QV_SYS_Message::Layout(const std::string& programName, const std::string& text,
                                     MessageButtons buttonSet, int focusButton,
                                     MessageIconCode icon, const std::string& title,
                                     const std::string& optionText, int optionValue) {
  MessageLayout l;
  l.caption = title.empty() ? programName + " - System Message" : title;
  l.text = text;
  l.icon = IconFor(icon);
  using enum MessageControl;
  l.buttons = {ButtonOf(kOk, cmd_Ok), ButtonOf(kCancel, cmd_Cancel), ButtonOf(kYes, cmd_Yes),
               ButtonOf(kNo, cmd_No)};
  auto place = [&l](int code, int left) {
    for (auto& b : l.buttons) {
      if (b.code == code) {
        b.visible = true;
        b.leftTwips = left;
      }
    }
  };
  switch (buttonSet) {
    case MessageButtons::kOkCancel:
      place(kOk, 1200), place(kCancel, 2500), l.escapeCode = kCancel;
      break;
    case MessageButtons::kCancel:
      place(kCancel, 1850), l.escapeCode = kCancel;
      break;
    case MessageButtons::kYesNoCancel:
      place(kYes, 550), place(kNo, 1850), place(kCancel, 3150), l.escapeCode = kCancel;
      break;
    case MessageButtons::kYesNo:
      place(kYes, 1200), place(kNo, 2500), l.escapeCode = kNo;
      break;
    case MessageButtons::kOk:
      place(kOk, 1850), l.escapeCode = kOk;
      break;
    default:
      place(kOk, 1850), l.escapeCode = 0;
      break;
  }
  // The focus moves only to a button that is shown.
  for (const auto& b : l.buttons) {
    if (b.code == focusButton && b.visible) l.focusCode = focusButton;
  }
  l.optionVisible = !optionText.empty();
  l.optionText = optionText;
  l.optionChecked = l.optionVisible && optionValue != 0;
  return l;
}

int QV_SYS_Message::ShowMessage(const std::string& text, MessageButtons buttonSet, int focusButton,
                                MessageIconCode icon, const std::string& title,
                                const std::string& optionText, int optionValue, bool timeoutOn,
                                int timeoutMs) {
  if (visible_) return kBusy;

  // Loading the dialog: the pointer shows the arrow while the user answers.
  savedBusy_ = pointer_.Busy();
  pointer_.BusyPointerOff();
  layout_ =
      Layout(programName_, text, buttonSet, focusButton, icon, title, optionText, optionValue);
  // A time-out of 0 ms never fires, as with any timer of interval 0.
  if (timeoutOn && timeoutMs > 0) {
    tmrTimeOut_ = loop_.CreateTimer(timeoutMs, true, [this] {
      answer_ = kTimedOut;
      Unload();
    });
  }
  visible_ = true;
  view_.ShowModal(layout_, *this);
  visible_ = false;
  tmrTimeOut_.reset();
  if (savedBusy_) {
    pointer_.BusyPointerOn();
  } else {
    pointer_.BusyPointerOff();
  }
  return answer_;
}

void QV_SYS_Message::Unload() {
  if (tmrTimeOut_) tmrTimeOut_->SetEnabled(false);
  view_.Close();
}

void QV_SYS_Message::OnButton(int code) {
  if (!visible_) return;
  answer_ = code;
  optionAnswer_ = layout_.optionVisible && view_.OptionChecked();
  Unload();
}

bool QV_SYS_Message::OnKey(int key) {
  if (!visible_) return false;
  int code = 0;
  if (key == kEscapeKey) {
    code = layout_.escapeCode;
  } else {
    switch (std::toupper(key & 0xFF)) {
      case 'Y':
        code = kYes;
        break;
      case 'N':
        code = kNo;
        break;
      case 'O':
        code = kOk;
        break;
      case 'C':
        code = kCancel;
        break;
      default:
        break;
    }
    bool shown = false;
    for (const auto& b : layout_.buttons) shown |= b.code == code && b.visible;
    if (!shown) code = 0;
  }
  if (code == 0) return false;
  OnButton(code);
  return true;
}

QV_SYS_LoadingMessage::QV_SYS_LoadingMessage(LoadingView& view, EventLoop& loop,
                                             PointerView& pointer, std::string programName)
    : view_(view), loop_(loop), pointer_(pointer), programName_(std::move(programName)) {}

void QV_SYS_LoadingMessage::ShowLoadMessage(const std::string& text, int widthTwips,
                                            int heightTwips) {
  if (loaded_ && view_.Visible()) return;
  if (!loaded_) {
    loop_.ProcessPending();
    pointer_.BusyPointerOn();
    loaded_ = true;
  }
  const int width = widthTwips > 0 ? widthTwips : kDesignWidthTwips;
  const int height = heightTwips > 0 ? heightTwips : kDesignHeightTwips;
  loop_.ProcessPending();
  view_.Show(programName_, text, width, height);
}

void QV_SYS_LoadingMessage::Unload() {
  if (!loaded_) return;
  view_.Hide();
  loaded_ = false;
  pointer_.BusyPointerOff();
  loop_.ProcessPending();
}

}  // namespace horalign
