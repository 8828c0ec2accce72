#pragma once

#include <QDialog>
#include <map>

#include "core/ui/views.h"
#include "gui/twips.h"

class QCheckBox;
class QLabel;
class QPushButton;

namespace horalign {

// One message on screen: draws a MessageLayout and forwards buttons and keys to the
// controller, which decides and closes it. The frame has no close box, and Esc reaches the
// controller rather than closing the window: a message closed any other way would leave its
// answer unset.
class MessageWindow : public QDialog {
  Q_OBJECT

 public:
  MessageWindow(const MessageLayout& layout, MessageController& controller,
                const TwipsScale& scale);

  QPushButton* Button(int code) const;
  QLabel* Text() const { return text_; }
  QLabel* Icon() const { return icon_; }
  QCheckBox* Option() const { return option_; }
  MessageIcon IconKind() const { return iconKind_; }

 public slots:
  void reject() override {}

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  bool FilterKey(QKeyEvent* event);

  MessageController& controller_;
  std::map<int, QPushButton*> buttons_;
  QLabel* text_ = nullptr;
  QLabel* icon_ = nullptr;
  QCheckBox* option_ = nullptr;
  MessageIcon iconKind_;
};

// The message dialog face: each message is a fresh window, shown modally. Its loop keeps
// the program's timers running, so a time-out can close it.
class QtMessageDialog : public MessageDialogView {
 public:
  // logicalDpi 0 takes the screen's.
  explicit QtMessageDialog(double logicalDpi = 0) : scale_(logicalDpi) {}

  void ShowModal(const MessageLayout& layout, MessageController& controller) override;
  void Close() override;
  bool OptionChecked() const override;

  // The window while a message is on screen, else null.
  MessageWindow* Window() const { return window_; }

 private:
  TwipsScale scale_;
  MessageWindow* window_ = nullptr;
  bool closed_ = false;
  bool lastOption_ = false;
};

}  // namespace horalign
