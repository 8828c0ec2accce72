#include "gui/app_icon.h"

#include <QPainter>
#include <QPixmap>
#include <QtMath>

namespace horalign {
namespace {

QPixmap DrawClock(int size) {
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  const qreal pen = qMax<qreal>(1.0, size / 14.0);
  const QRectF face(pen / 2, pen / 2, size - pen, size - pen);
  p.setPen(QPen(QColor(20, 60, 120), pen));
  p.setBrush(QColor(250, 250, 240));
  p.drawEllipse(face);

  const QPointF centre = face.center();
  const qreal radius = face.width() / 2;
  // Hour marks at 12, 3, 6 and 9.
  p.setPen(QPen(QColor(20, 60, 120), pen * 0.8));
  for (int i = 0; i < 4; ++i) {
    const qreal a = i * M_PI / 2;
    const QPointF dir(std::sin(a), -std::cos(a));
    p.drawLine(centre + dir * radius * 0.72, centre + dir * radius * 0.9);
  }
  // Ten past ten, the hands of every clock advertisement.
  auto hand = [&](qreal minutes, qreal length, qreal width, QColor colour) {
    const qreal a = minutes / 60.0 * 2 * M_PI;
    p.setPen(QPen(colour, width, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(centre, centre + QPointF(std::sin(a), -std::cos(a)) * radius * length);
  };
  hand(50.8, 0.5, pen * 1.4, QColor(30, 30, 30));
  hand(10, 0.75, pen, QColor(30, 30, 30));
  hand(25, 0.7, qMax<qreal>(1.0, pen / 2), QColor(200, 30, 30));
  return pixmap;
}

}  // namespace

QIcon ClockIcon() {
  QIcon icon;
  for (int size : {16, 22, 24, 32, 48, 64}) icon.addPixmap(DrawClock(size));
  return icon;
}

}  // namespace horalign
