#pragma once

#include <QWidget>

#include "core/ui/views.h"
#include "gui/twips.h"

class QLabel;

namespace horalign {

// The small window with one line of text shown while the ports are scanned. It belongs to
// the main window, stays in front of it and takes no input: it has no close box, and a close
// request from the window manager (some draw a close box all the same) is ignored.
class LoadingWindow : public QWidget, public LoadingView {
  Q_OBJECT

 public:
  // logicalDpi 0 takes the screen's.
  explicit LoadingWindow(QWidget* owner, double logicalDpi = 0);

  void Show(const std::string& caption, const std::string& text, int widthTwips,
            int heightTwips) override;
  void Hide() override;
  bool Visible() const override { return isVisible(); }

  QLabel* Label() const { return label_; }

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  TwipsScale scale_;
  QWidget* owner_;
  QLabel* label_;
};

}  // namespace horalign
