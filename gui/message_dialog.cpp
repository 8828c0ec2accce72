#include "gui/message_dialog.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QStyle>

#include "core/ui/window_layout.h"

namespace horalign {
namespace {

// The designed outer height is 2100 for the client area: the rest is the frame's.
constexpr int kFrameHeightTwips = 2100 - kMessageClientHeightTwips;
constexpr int kEscapeKey = 27;

QRect ToPx(const TwipsScale& scale, const TwipsRect& r) {
  return scale.Rect(r.left, r.top, r.width, r.height);
}

// A control of the description: its design place, and its name as the object's name.
void Describe(QWidget* widget, MessageControl control, const TwipsScale& scale) {
  const MessageControlDesc& desc = DescOf(control);
  widget->setObjectName(QString::fromUtf8(desc.name));
  widget->setGeometry(ToPx(scale, desc.rect));
}

QStyle::StandardPixmap PixmapFor(MessageIcon icon) {
  switch (icon) {
    case MessageIcon::kQuestion:
      return QStyle::SP_MessageBoxQuestion;
    case MessageIcon::kExclamation:
      return QStyle::SP_MessageBoxWarning;
    case MessageIcon::kInformation:
      return QStyle::SP_MessageBoxInformation;
    case MessageIcon::kCritical:
      break;
  }
  return QStyle::SP_MessageBoxCritical;
}

}  // namespace

MessageWindow::MessageWindow(const MessageLayout& layout, MessageController& controller,
                             const TwipsScale& scale)
    : QDialog(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::MSWindowsFixedSizeDialogHint),
      controller_(controller),
      iconKind_(layout.icon) {
  setWindowTitle(QString::fromStdString(layout.caption));
  setWindowModality(Qt::ApplicationModal);
  QFont designFont = font();
  designFont.setPointSizeF(kDesignFontPoints);
  setFont(designFont);
  setFixedSize(scale.ToPx(kMessageClientWidthTwips),
               scale.ToPx(layout.windowHeightTwips - kFrameHeightTwips));

  // The picture box of the chosen icon; the other three are never shown.
  icon_ = new QLabel(this);
  Describe(icon_, PictureOf(layout.icon), scale);
  const int iconPx = std::min(icon_->width(), style()->pixelMetric(QStyle::PM_MessageBoxIconSize));
  icon_->setPixmap(style()->standardIcon(PixmapFor(layout.icon)).pixmap(iconPx, iconPx));
  icon_->setAlignment(Qt::AlignLeft | Qt::AlignTop);

  text_ = new QLabel(this);
  Describe(text_, MessageControl::lblMessageText, scale);
  text_->setTextFormat(Qt::PlainText);
  text_->setWordWrap(true);
  text_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  text_->setText(QString::fromStdString(layout.text).replace(QStringLiteral("\r\n"), "\n"));

  option_ = new QCheckBox(QString::fromStdString(layout.optionText), this);
  Describe(option_, MessageControl::chkOption, scale);
  option_->setChecked(layout.optionChecked);
  option_->setVisible(layout.optionVisible);

  QWidget* previous = nullptr;
  for (const MessageButton& b : layout.buttons) {
    auto* button = new QPushButton(QString::fromStdString(b.caption), this);
    button->setAutoDefault(false);
    const TwipsRect& size = DescOf(b.control).rect;
    button->setObjectName(QString::fromUtf8(DescOf(b.control).name));
    button->setGeometry(scale.Rect(b.leftTwips, b.topTwips, size.width, size.height));
    button->setVisible(b.visible);
    connect(button, &QPushButton::clicked, this,
            [this, code = b.code] { controller_.OnButton(code); });
    buttons_[b.code] = button;
    if (previous) QWidget::setTabOrder(previous, button);
    previous = button;
  }
  if (previous) QWidget::setTabOrder(previous, option_);

  // Without a focus button the platform puts the focus, on the first control that takes it.
  if (QPushButton* focus = Button(layout.focusCode); focus && !focus->isHidden()) {
    focus->setFocus(Qt::OtherFocusReason);
  }
  installEventFilter(this);
  for (QWidget* child : findChildren<QWidget*>()) child->installEventFilter(this);
}

QPushButton* MessageWindow::Button(int code) const {
  auto it = buttons_.find(code);
  return it == buttons_.end() ? nullptr : it->second;
}

void MessageWindow::closeEvent(QCloseEvent* event) {
  event->ignore();
}

bool MessageWindow::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress && FilterKey(static_cast<QKeyEvent*>(event))) return true;
  return QDialog::eventFilter(watched, event);
}

bool MessageWindow::FilterKey(QKeyEvent* event) {
  const int key = event->key();
  if (key == Qt::Key_Return || key == Qt::Key_Enter) {
    // Enter presses the button that has the focus, and nothing else.
    for (const auto& [code, button] : buttons_) {
      if (button->hasFocus() || focusWidget() == button) {
        controller_.OnButton(code);
        break;
      }
    }
    return true;
  }
  if (key == Qt::Key_Escape) {
    controller_.OnKey(kEscapeKey);
    return true;
  }
  const QString text = event->text();
  if (text.size() == 1 && text[0].isLetter() && text[0].unicode() < 128) {
    controller_.OnKey(text[0].toLatin1());
    return true;
  }
  return false;
}

void QtMessageDialog::ShowModal(const MessageLayout& layout, MessageController& controller) {
  MessageWindow window(layout, controller, scale_);
  window_ = &window;
  closed_ = false;
  lastOption_ = layout.optionChecked;
  if (!closed_) window.exec();
  lastOption_ = window.Option()->isChecked();
  window_ = nullptr;
}

void QtMessageDialog::Close() {
  closed_ = true;
  if (window_) window_->done(QDialog::Accepted);
}

bool QtMessageDialog::OptionChecked() const {
  return window_ ? window_->Option()->isChecked() : lastOption_;
}

}  // namespace horalign
