#pragma once

#include <QRect>

namespace horalign {

// The windows were designed around an 8.25-point font; captions and texts fit it.
inline constexpr double kDesignFontPoints = 8.25;

// Window geometry is designed in twips (1/1440 inch); Qt places widgets in logical pixels.
class TwipsScale {
 public:
  // logicalDpi 0 takes the primary screen's logical dots per inch.
  explicit TwipsScale(double logicalDpi = 0);

  double Dpi() const { return dpi_; }
  int ToPx(int twips) const;
  int ToTwips(int px) const;
  QRect Rect(int left, int top, int width, int height) const;

 private:
  double dpi_;
};

}  // namespace horalign
