#pragma once

#include <QLabel>

namespace horalign {

// A bold caption drawn to fit its designed place whatever the system's font: the font
// shrinks (down to 6 points) until the shown caption fits the label's width. A caption
// with a gap of blanks, where another control sits, draws its last part just right of
// that control, so the gap lines up with the control in any font.
class CaptionLabel : public QLabel {
 public:
  CaptionLabel(const QString& caption, QWidget* parent);

  // Where the part after the gap starts, in the label's pixels; -1 draws the caption whole.
  void SetGapEnd(int px);
  // Shrinks the font until the caption's first part fits `widthPx`.
  void FitFont(int widthPx);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QString FirstPart() const;
  int gapEnd_ = -1;
};

// Shrinks a widget's font (down to 6 points) until `sample` takes at most `widthPx`.
void FitFontToWidth(QWidget* widget, const QString& sample, int widthPx);

}  // namespace horalign
