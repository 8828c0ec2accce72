// The notification-area icon and its pop-up menu.
#include <QCursor>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>
#include <optional>

#include "core/ui/main_form.h"
#include "gui/main_window.h"

namespace horalign {
namespace {

// How often the notification area is looked for; each look is one short query at most.
constexpr int kTrayWatchMs = 1000;

}  // namespace

// The window may hide only while its icon is shown: hidden without one, it could never
// come back.
bool MainWindow::TrayAvailable() const {
  return trayShown_ && QSystemTrayIcon::isSystemTrayAvailable();
}

void MainWindow::AddTrayIcon(const std::string& tip) {
  if (!tray_) {
    tray_ = new QSystemTrayIcon(windowIcon(), this);
    connect(tray_, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
              // The icon's own notifications, as the form knows them.
              std::optional<TrayEvent> event;
              if (reason == QSystemTrayIcon::DoubleClick) event = TrayEvent::kDoubleClick;
              if (reason == QSystemTrayIcon::Context) event = TrayEvent::kRightButtonDown;
              if (event) Forward([e = *event](QV_MainForm& f) { f.OnTrayNotify(e); });
            });
    // A tray host may start after the program (a login race) or end while it runs.
    trayWatch_ = new QTimer(this);
    connect(trayWatch_, &QTimer::timeout, this, &MainWindow::WatchTray);
    trayWatch_->start(kTrayWatchMs);
  }
  tray_->setToolTip(QString::fromStdString(tip));
  WatchTray();
}

void MainWindow::SetTrayTip(const std::string& tip) {
  if (tray_) tray_->setToolTip(QString::fromStdString(tip));
}

void MainWindow::WatchTray() {
  const bool available = QSystemTrayIcon::isSystemTrayAvailable();
  if (available != trayShown_) {
    trayShown_ = available;
    // Qt docks its icon only if a tray is there when the icon is shown: show it anew.
    tray_->hide();
    if (available) tray_->show();
  }
  // No icon to bring the window back: a hidden window comes back by itself.
  if (!trayShown_ && hiddenToTray_ && !isVisible()) ShowWindow();
}

std::unique_ptr<QMenu> MainWindow::BuildTrayMenu(const TrayMenuState& state) {
  auto menu = std::make_unique<QMenu>();
  menu->setObjectName(QString::fromUtf8(mnuPopup.name));
  for (const TrayMenuItem item : mnuPopup.order) {
    const int i = static_cast<int>(item);
    QAction* action = item == TrayMenuItem::kSeparator
                          ? menu->addSeparator()
                          : menu->addAction(QString::fromUtf8(mnuPopup.mnuPopupOptions[i]));
    // One array of items: the index tells them apart.
    action->setObjectName(QString::fromUtf8(mnuPopup.itemsName));
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
  const auto item = static_cast<TrayMenuItem>(chosen->data().toInt());
  Forward([item](QV_MainForm& f) { f.OnPopupOptionsClick(item); });
}

}  // namespace horalign
