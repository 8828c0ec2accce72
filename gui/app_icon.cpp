#include "gui/app_icon.h"

#include <QPainter>
#include <QPixmap>
#include <QtMath>
#include <vector>

namespace horalign {
namespace {

const QColor kRim(20, 60, 120);
const QColor kFace(250, 250, 240);
const QColor kHand(30, 30, 30);
const QColor kSecondHand(200, 30, 30);

struct Stroke {
  QPointF from, to;
  qreal width;
  QColor colour;
  bool round;  // hands end round, hour marks square
};

struct ClockShape {
  QRectF face;
  qreal rimWidth;
  std::vector<Stroke> strokes;
};

// One description of the face, so the painted and the SVG icon cannot drift apart.
ClockShape Clock(int size) {
  const qreal pen = qMax<qreal>(1.0, size / 14.0);
  ClockShape shape{QRectF(pen / 2, pen / 2, size - pen, size - pen), pen, {}};
  const QPointF centre = shape.face.center();
  const qreal radius = shape.face.width() / 2;
  // Hour marks at 12, 3, 6 and 9.
  for (int i = 0; i < 4; ++i) {
    const qreal a = i * M_PI / 2;
    const QPointF dir(std::sin(a), -std::cos(a));
    shape.strokes.push_back(
        {centre + dir * radius * 0.72, centre + dir * radius * 0.9, pen * 0.8, kRim, false});
  }
  // Ten past ten, the hands of every clock advertisement.
  auto hand = [&](qreal minutes, qreal length, qreal width, QColor colour) {
    const qreal a = minutes / 60.0 * 2 * M_PI;
    shape.strokes.push_back({centre, centre + QPointF(std::sin(a), -std::cos(a)) * radius * length,
                             width, colour, true});
  };
  hand(50.8, 0.5, pen * 1.4, kHand);
  hand(10, 0.75, pen, kHand);
  hand(25, 0.7, qMax<qreal>(1.0, pen / 2), kSecondHand);
  return shape;
}

QString Num(qreal v) {
  return QString::number(v, 'f', 2);
}

}  // namespace

QImage ClockImage(int size) {
  QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  const ClockShape shape = Clock(size);
  p.setPen(QPen(kRim, shape.rimWidth));
  p.setBrush(kFace);
  p.drawEllipse(shape.face);
  for (const Stroke& s : shape.strokes) {
    p.setPen(QPen(s.colour, s.width, Qt::SolidLine, s.round ? Qt::RoundCap : Qt::SquareCap));
    p.drawLine(s.from, s.to);
  }
  return image;
}

QByteArray ClockSvg(int size) {
  const ClockShape shape = Clock(size);
  QString svg = QStringLiteral(
                    "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%1\" height=\"%1\" "
                    "viewBox=\"0 0 %1 %1\">\n")
                    .arg(size);
  svg += QStringLiteral(
             "  <circle cx=\"%1\" cy=\"%2\" r=\"%3\" fill=\"%4\" stroke=\"%5\" "
             "stroke-width=\"%6\"/>\n")
             .arg(Num(shape.face.center().x()), Num(shape.face.center().y()),
                  Num(shape.face.width() / 2), kFace.name(), kRim.name(), Num(shape.rimWidth));
  for (const Stroke& s : shape.strokes) {
    svg += QStringLiteral(
               "  <line x1=\"%1\" y1=\"%2\" x2=\"%3\" y2=\"%4\" stroke=\"%5\" stroke-width=\"%6\" "
               "stroke-linecap=\"%7\"/>\n")
               .arg(Num(s.from.x()), Num(s.from.y()), Num(s.to.x()), Num(s.to.y()), s.colour.name(),
                    Num(s.width), s.round ? QStringLiteral("round") : QStringLiteral("square"));
  }
  svg += QStringLiteral("</svg>\n");
  return svg.toUtf8();
}

QIcon ClockIcon() {
  QIcon icon;
  for (int size : {16, 22, 24, 32, 48, 64}) icon.addPixmap(QPixmap::fromImage(ClockImage(size)));
  return icon;
}

}  // namespace horalign
