#include "gui/twips.h"

#include <QGuiApplication>
#include <QScreen>
#include <cmath>

namespace horalign {

TwipsScale::TwipsScale(double logicalDpi) : dpi_(logicalDpi) {
  if (dpi_ <= 0) {
    const QScreen* screen = QGuiApplication::primaryScreen();
    dpi_ = screen ? screen->logicalDotsPerInch() : 96.0;
  }
  if (!(dpi_ > 0)) dpi_ = 96.0;
}

int TwipsScale::ToPx(int twips) const {
  return static_cast<int>(std::lround(twips * dpi_ / 1440.0));
}

int TwipsScale::ToTwips(int px) const {
  return static_cast<int>(std::lround(px * 1440.0 / dpi_));
}

QRect TwipsScale::Rect(int left, int top, int width, int height) const {
  return QRect(ToPx(left), ToPx(top), ToPx(width), ToPx(height));
}

}  // namespace horalign
