// The notification-area icon and its pop-up menu.
#include <QCursor>
#include <QMenu>
#include <QSystemTrayIcon>

#include "core/ui/main_form.h"
#include "gui/main_window.h"

namespace horalign {
namespace {

constexpr int kMenuItems = 4;
constexpr int kDoubleClick = 515;
constexpr int kRightButtonDown = 516;

}  // namespace

bool MainWindow::TrayAvailable() const {
  return QSystemTrayIcon::isSystemTrayAvailable();
}

void MainWindow::AddTrayIcon(const std::string& tip) {
  if (!tray_) {
    tray_ = new QSystemTrayIcon(windowIcon(), this);
    connect(tray_, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
              // The icon's own notifications, as the form knows them.
              int message = 0;
              if (reason == QSystemTrayIcon::DoubleClick) message = kDoubleClick;
              if (reason == QSystemTrayIcon::Context) message = kRightButtonDown;
              if (message) Forward([message](QV_MainForm& f) { f.OnTrayNotify(message); });
            });
  }
  tray_->setToolTip(QString::fromStdString(tip));
  // A desktop without a notification area gets no icon; the form knows (TrayAvailable).
  if (QSystemTrayIcon::isSystemTrayAvailable()) tray_->show();
}

std::unique_ptr<QMenu> MainWindow::BuildTrayMenu(const TrayMenuState& state) {
  auto menu = std::make_unique<QMenu>();
  const QString captions[kMenuItems] = {QStringLiteral("Show"), QStringLiteral("Hide"), QString(),
                                        QStringLiteral("Close")};
  for (int i = 0; i < kMenuItems; ++i) {
    QAction* action = i == 2 ? menu->addSeparator() : menu->addAction(captions[i]);
    action->setData(i);
    action->setEnabled(state.enabled[i]);
    action->setVisible(state.visible[i]);
  }
  return menu;
}

void MainWindow::PopupTrayMenu(const TrayMenuState& state) {
  const std::unique_ptr<QMenu> menu = BuildTrayMenu(state);
  // The menu runs its own loop; the timers go on meanwhile.
  const QAction* chosen = menu->exec(QCursor::pos());
  if (!chosen) return;
  const int index = chosen->data().toInt();
  Forward([index](QV_MainForm& f) { f.OnMenuClick(index); });
}

}  // namespace horalign
