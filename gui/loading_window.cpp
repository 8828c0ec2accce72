#include "gui/loading_window.h"

#include <QCloseEvent>
#include <QLabel>

#include "core/ui/window_layout.h"

namespace horalign {

LoadingWindow::LoadingWindow(QWidget* owner, double logicalDpi)
    : QWidget(owner, Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint),
      scale_(logicalDpi),
      owner_(owner),
      label_(new QLabel(this)) {
  setAttribute(Qt::WA_ShowWithoutActivating);
  setFocusPolicy(Qt::NoFocus);
  QFont designFont = font();
  designFont.setPointSizeF(kDesignFontPoints);
  setFont(designFont);
  label_->setTextFormat(Qt::PlainText);
  label_->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
  // The owner is disabled while the message is up, and Qt greys its child windows with it;
  // the message stays readable.
  QPalette palette = label_->palette();
  palette.setColor(QPalette::Disabled, QPalette::WindowText,
                   palette.color(QPalette::Active, QPalette::WindowText));
  label_->setPalette(palette);
}

void LoadingWindow::Show(const std::string& caption, const std::string& text, int widthTwips,
                         int heightTwips) {
  setWindowTitle(QString::fromStdString(caption));
  setFixedSize(scale_.ToPx(widthTwips), scale_.ToPx(heightTwips));
  label_->setGeometry(0, scale_.ToPx(kLoadingTextTopTwips), width(),
                      scale_.ToPx(kLoadingTextHeightTwips));
  label_->setText(QString::fromStdString(text));
  if (owner_ && owner_->isVisible()) {
    move(owner_->geometry().center() - QPoint(width() / 2, height() / 2));
  }
  show();
  raise();
}

void LoadingWindow::Hide() {
  hide();
}

void LoadingWindow::closeEvent(QCloseEvent* event) {
  event->ignore();
}

}  // namespace horalign
