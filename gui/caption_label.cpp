#include "gui/caption_label.h"

#include <QPainter>
#include <QStyle>

namespace horalign {
namespace {

const QString kGap = QStringLiteral("  ");

}  // namespace

CaptionLabel::CaptionLabel(const QString& caption, QWidget* parent) : QLabel(caption, parent) {
  QFont bold = font();
  bold.setBold(true);
  setFont(bold);
  setAlignment(Qt::AlignLeft | Qt::AlignTop);
}

void CaptionLabel::SetGapEnd(int px) {
  gapEnd_ = px;
  update();
}

void CaptionLabel::paintEvent(QPaintEvent* event) {
  const int gap = text().indexOf(kGap);
  if (gap < 0 || gapEnd_ < 0) {
    QLabel::paintEvent(event);
    return;
  }
  QPainter painter(this);
  int flags = Qt::AlignLeft | Qt::AlignTop;
  // Without a buddy a label has no access key, and its "&&" is drawn as it is.
  if (buddy()) {
    flags |= style()->styleHint(QStyle::SH_UnderlineShortcut, nullptr, this) ? Qt::TextShowMnemonic
                                                                             : Qt::TextHideMnemonic;
  }
  const QString rest = text().mid(gap).trimmed();
  style()->drawItemText(&painter, rect(), flags, palette(), isEnabled(), text().left(gap),
                        foregroundRole());
  style()->drawItemText(&painter, rect().adjusted(gapEnd_, 0, 0, 0), flags, palette(), isEnabled(),
                        rest, foregroundRole());
}

}  // namespace horalign
