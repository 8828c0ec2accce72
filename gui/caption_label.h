#pragma once

#include <QLabel>

namespace horalign {

// A bold caption. A caption with a gap of blanks, where another control sits, draws its last
// part just right of that control, so the gap lines up with the control in any font.
class CaptionLabel : public QLabel {
 public:
  CaptionLabel(const QString& caption, QWidget* parent);

  // Where the part after the gap starts, in the label's pixels; -1 draws the caption whole.
  void SetGapEnd(int px);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  int gapEnd_ = -1;
};

}  // namespace horalign
