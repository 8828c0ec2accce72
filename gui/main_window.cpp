#include "gui/main_window.h"

#include <unistd.h>
#include <QCloseEvent>
#include <QComboBox>
#include <QFocusEvent>
#include <QFrame>
#include <QGuiApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTreeWidget>
#include <cstdio>

#include "core/ui/main_form.h"
#include "gui/app_icon.h"
#include "gui/caption_label.h"
#include "gui/help.h"

namespace horalign {
namespace {

constexpr int kClientWidthTwips = 9405;
constexpr int kClientHeightTwips = 5220;
// The frame's sunken border; the controls inside it are placed from its inner corner.
constexpr int kFrameBorderPx = 2;
// A line edit's frame and text margins, both sides together.
constexpr int kBoxMarginsPx = 10;

}  // namespace

MainWindow::MainWindow(double logicalDpi) : scale_(logicalDpi), helpFolder_(DefaultHelpFolder()) {
  quit_ = [this] {
    // The settings are already written; end at once, as no handler may run after this.
    if (tray_) tray_->hide();
    std::fflush(nullptr);
    _exit(0);
  };
  setWindowIcon(ClockIcon());
  QFont designFont = font();
  designFont.setPointSizeF(kDesignFontPoints);
  setFont(designFont);
  setFixedSize(scale_.ToPx(kClientWidthTwips), scale_.ToPx(kClientHeightTwips));
  setWindowFlags(Qt::Window | Qt::MSWindowsFixedSizeDialogHint);
  BuildControls();
  BuildTabOrder();
  ConnectControls();
  installEventFilter(this);
  for (QWidget* child : findChildren<QWidget*>()) child->installEventFilter(this);
}

MainWindow::~MainWindow() = default;

QPushButton* MainWindow::AddButton(Control control, QWidget* parent, const char* caption,
                                   const char* toolTip, QRect place) {
  auto* button = new QPushButton(QString::fromUtf8(caption), parent);
  button->setToolTip(QString::fromUtf8(toolTip));
  button->setAutoDefault(false);
  button->setGeometry(place);
  controls_[control] = button;
  return button;
}

// Labels show their "&" signs as access keys only with a buddy; each has the control it names.
CaptionLabel* MainWindow::AddBoldLabel(Control control, const char* caption, QRect place,
                                       QWidget* buddy) {
  auto* label = new CaptionLabel(QString::fromUtf8(caption), this);
  label->setGeometry(place);
  label->setBuddy(buddy);
  label->lower();  // under the controls it may touch
  controls_[control] = label;
  return label;
}

QLineEdit* MainWindow::AddDisplayBox(Control control, QRect place) {
  auto* box = new QLineEdit(this);
  box->setReadOnly(true);
  box->setGeometry(place);
  QPalette palette = box->palette();
  palette.setColor(QPalette::Base, palette.color(QPalette::Button));
  box->setPalette(palette);
  // The longest texts the clock shows must fit inside the frame and margins.
  const LocaleFormat locale = Locale();
  const std::string& designator = locale.am.size() > locale.pm.size() ? locale.am : locale.pm;
  const QString longest = control == Control::txtCurrentDate
                              ? QStringLiteral("00/00/0000")
                              : QStringLiteral("00:00:00 ") + QString::fromStdString(designator);
  FitFontToWidth(box, longest, box->width() - kBoxMarginsPx);
  controls_[control] = box;
  return box;
}

void MainWindow::BuildControls() {
  const TwipsScale& s = scale_;
  modeList_ = new QComboBox(this);
  modeList_->setEditable(false);
  modeList_->setToolTip(QStringLiteral("Synchronization mode "));
  modeList_->setGeometry(s.Rect(2150, 100, 4500, 315));
  controls_[Control::cmb_Mode] = modeList_;
  AddBoldLabel(Control::lbl_Mode, "Synchronization &Mode:", s.Rect(200, 152, 2000, 210), modeList_)
      ->FitFont(s.ToPx(2150 - 200) - 2);

  interval_ = new QLineEdit(this);
  interval_->setMaxLength(4);
  interval_->setGeometry(s.Rect(8350, 107, 500, 300));
  controls_[Control::txtInterval] = interval_;
  // The box sits in the gap of its label's caption.
  CaptionLabel* intervalLabel =
      AddBoldLabel(Control::lblInterval, "Update &Interval:          Min.",
                   s.Rect(6950, 150, 2600, 210), interval_);
  intervalLabel->SetGapEnd(interval_->geometry().right() + 4 - intervalLabel->x());
  intervalLabel->FitFont(interval_->x() - intervalLabel->x() - 3);

  details_ = new QFrame(this);
  details_->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  details_->setLineWidth(kFrameBorderPx);
  details_->setToolTip(QStringLiteral("Press F1 for help "));
  details_->setGeometry(s.Rect(0, 500, 9400, 4200));
  controls_[Control::pbxDetails] = details_;
  const QPoint inner(kFrameBorderPx, kFrameBorderPx);

  list_ = new QTreeWidget(details_);
  list_->setGeometry(s.Rect(0, 0, 9330, 3700).translated(inner));
  list_->setColumnCount(0);
  list_->setRootIsDecorated(false);
  list_->setItemsExpandable(false);
  list_->setUniformRowHeights(true);
  list_->setSelectionMode(QAbstractItemView::SingleSelection);
  list_->setSelectionBehavior(QAbstractItemView::SelectRows);
  list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  list_->setAllColumnsShowFocus(true);
  list_->header()->setStretchLastSection(false);
  list_->header()->setMinimumSectionSize(0);
  list_->header()->setSectionsMovable(false);
  controls_[Control::lvwMessages] = list_;

  AddButton(Control::cmdActivate, details_, "Ac&tivate", "Activate selected COM port ",
            s.Rect(200, 3750, 1100, 350).translated(inner));
  AddButton(Control::cmdDeactivate, details_, "&Deactivate", "Deactivate selected COM port ",
            s.Rect(1500, 3750, 1100, 350).translated(inner));
  AddButton(Control::cmdUpdate, details_, "&Update Now", "Update time now ",
            s.Rect(2800, 3750, 1100, 350).translated(inner));
  AddButton(Control::cmdRefresh, details_, "&Refresh", "Reconnect to all devices and refresh list ",
            s.Rect(8150, 3750, 1100, 350).translated(inner));

  AddButton(Control::cmdClose, this, "&Close", "Close & exit ", s.Rect(200, 4800, 1100, 350));
  AddButton(Control::cmdHide, this, "&Hide", "Hide (send to system tray) ",
            s.Rect(1500, 4800, 1100, 350));
  currentDate_ = AddDisplayBox(Control::txtCurrentDate, s.Rect(7200, 4825, 1050, 300));
  currentTime_ = AddDisplayBox(Control::txtCurrentTime, s.Rect(8250, 4825, 1050, 300));
  AddBoldLabel(Control::lblCurrentDate, "Current Date && Time:", s.Rect(5400, 4870, 1800, 210),
               currentDate_)
      ->FitFont(s.ToPx(1800));
}

// The designed tab indices: mode list 1, interval 3, list 4, Activate 5, Deactivate 6,
// Close 7, Hide 8, time 12, date 13, Update Now 15, Refresh 16. Labels and the frame take no
// focus.
void MainWindow::BuildTabOrder() {
  const Control order[] = {Control::cmb_Mode,    Control::txtInterval,    Control::lvwMessages,
                           Control::cmdActivate, Control::cmdDeactivate,  Control::cmdClose,
                           Control::cmdHide,     Control::txtCurrentTime, Control::txtCurrentDate,
                           Control::cmdUpdate,   Control::cmdRefresh};
  details_->setFocusPolicy(Qt::NoFocus);
  for (std::size_t i = 1; i < std::size(order); ++i) {
    QWidget::setTabOrder(controls_[order[i - 1]], controls_[order[i]]);
  }
}

void MainWindow::ConnectControls() {
  const std::pair<Control, void (QV_MainForm::*)()> clicks[] = {
      {Control::cmdActivate, &QV_MainForm::OnActivateClick},
      {Control::cmdDeactivate, &QV_MainForm::OnDeactivateClick},
      {Control::cmdUpdate, &QV_MainForm::OnUpdateClick},
      {Control::cmdRefresh, &QV_MainForm::OnRefreshClick},
      {Control::cmdClose, &QV_MainForm::OnCloseClick},
      {Control::cmdHide, &QV_MainForm::OnHideClick}};
  for (const auto& [control, handler] : clicks) {
    connect(static_cast<QPushButton*>(controls_[control]), &QPushButton::clicked, this,
            [this, handler = handler] { Forward([handler](QV_MainForm& f) { (f.*handler)(); }); });
  }
  connect(modeList_, &QComboBox::currentIndexChanged, this,
          [this] { Forward([](QV_MainForm& f) { f.OnModeClick(); }); });
  // A row chosen by mouse or keys changes the selection; a click on the row that was
  // already selected changes nothing and is caught as a click.
  connect(list_, &QTreeWidget::itemSelectionChanged, this,
          [this] { Forward([](QV_MainForm& f) { f.OnListItemClick(); }); });
  connect(list_, &QTreeWidget::itemClicked, this, [this] {
    if (SelectedRow() == selectedBeforePress_) {
      Forward([](QV_MainForm& f) { f.OnListItemClick(); });
    }
  });
}

QString MainWindow::ShownCaption(const QString& caption) {
  QString shown;
  for (int i = 0; i < caption.size(); ++i) {
    if (caption[i] == u'&') {
      if (i + 1 < caption.size() && caption[i + 1] == u'&') shown += u'&';
      ++i;
      if (i < caption.size() && caption[i] != u'&') shown += caption[i];
      continue;
    }
    shown += caption[i];
  }
  return shown;
}

void MainWindow::Forward(const std::function<void(QV_MainForm&)>& action) {
  if (coreCalls_ > 0 || !form_) return;
  if (QV_MainForm* form = form_()) action(*form);
}

bool MainWindow::RequestClose(CloseReason reason) {
  QV_MainForm* form = form_ ? form_() : nullptr;
  return form ? form->OnQueryClose(reason) : false;
}

void MainWindow::closeEvent(QCloseEvent* event) {
  if (RequestClose(CloseReason::kUser)) {
    event->ignore();
  } else {
    event->accept();
  }
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
  switch (event->type()) {
    case QEvent::KeyPress:
      return FilterKey(watched, static_cast<QKeyEvent*>(event));
    case QEvent::FocusIn:
    case QEvent::FocusOut:
      FilterFocus(watched, static_cast<QFocusEvent*>(event));
      break;
    case QEvent::MouseButtonPress:
      if (watched == list_->viewport()) selectedBeforePress_ = SelectedRow();
      break;
    default:
      break;
  }
  return QWidget::eventFilter(watched, event);
}

// The window sees every key before the focused control does.
bool MainWindow::FilterKey(QObject* watched, QKeyEvent* event) {
  const int key = event->key();
  if (key == Qt::Key_Return || key == Qt::Key_Enter) {
    // Enter works as Tab everywhere in the window and never reaches the control.
    focusNextChild();
    return true;
  }
  if (key == Qt::Key_F1) {
    Forward([](QV_MainForm& f) { f.OnHelp(); });
    return true;
  }
  // Typed characters of the interval box go through the form's filter; keys that type
  // nothing (arrows, Delete) are not key presses in that sense and pass.
  if (watched == interval_ && !event->text().isEmpty() && key != Qt::Key_Delete && form_) {
    if (QV_MainForm* form = form_())
      return form->OnIntervalKeyPress(event->text().at(0).unicode()) == 0;
  }
  return false;
}

void MainWindow::FilterFocus(QObject* watched, QFocusEvent* event) {
  // Switching windows and opening menus leave the focus where it was.
  const Qt::FocusReason reason = event->reason();
  if (reason == Qt::ActiveWindowFocusReason || reason == Qt::PopupFocusReason) return;
  const bool in = event->type() == QEvent::FocusIn;
  if (watched == interval_) {
    if (in) {
      Forward([](QV_MainForm& f) { f.OnIntervalGotFocus(); });
    } else {
      Forward([](QV_MainForm& f) { f.OnIntervalLostFocus(); });
    }
  } else if (watched == list_ && in && reason != Qt::OtherFocusReason) {
    Forward([](QV_MainForm& f) { f.OnListGotFocus(); });
  }
}

QWidget* MainWindow::Widget(Control control) const {
  auto it = controls_.find(control);
  return it == controls_.end() ? nullptr : it->second;
}

}  // namespace horalign
