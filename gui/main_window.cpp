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
#include <QStyle>
#include <QStyleOption>
#include <QSystemTrayIcon>
#include <QTreeWidget>
#include <cmath>
#include <cstdio>

#include "core/ui/main_form.h"
#include "gui/app_icon.h"
#include "gui/caption_label.h"
#include "gui/help.h"

namespace horalign {
namespace {

// The frame's sunken border; the controls inside it are placed from its inner corner.
constexpr int kFrameBorderPx = 2;

// Widths at the window's own fonts, as the layout asks for them.
class QtTextMetrics : public TextMetrics {
 public:
  QtTextMetrics(const QWidget& window, const TwipsScale& scale) : window_(window), scale_(scale) {}

  int TextTwips(const std::string& text, bool bold) const override {
    QFont font = window_.font();
    font.setBold(bold);
    return ToTwips(QFontMetrics(font).horizontalAdvance(QString::fromStdString(text)));
  }

  int ChromeTwips(ControlKind kind) const override {
    const QStyle* style = window_.style();
    const int height = window_.fontMetrics().height();
    switch (kind) {
      case ControlKind::kDropDown: {
        QStyleOptionComboBox option;
        option.initFrom(&window_);
        return ToTwips(
            style->sizeFromContents(QStyle::CT_ComboBox, &option, QSize(0, height)).width());
      }
      case ControlKind::kTextBox:
      case ControlKind::kDisplayBox: {
        QStyleOptionFrame option;
        option.initFrom(&window_);
        option.lineWidth = style->pixelMetric(QStyle::PM_DefaultFrameWidth);
        // A line edit keeps 2 px of margin each side and a pixel for the cursor.
        return ToTwips(
            style->sizeFromContents(QStyle::CT_LineEdit, &option, QSize(5, height)).width());
      }
      case ControlKind::kButton: {
        QStyleOptionButton option;
        option.initFrom(&window_);
        return ToTwips(
            style->sizeFromContents(QStyle::CT_PushButton, &option, QSize(0, height)).width());
      }
      default:
        return 0;
    }
  }

 private:
  // Rounded up, and a pixel more, so that placing the result in whole pixels cuts nothing.
  int ToTwips(int px) const {
    return static_cast<int>(std::ceil((px + 1) * 1440.0 / scale_.Dpi()));
  }

  const QWidget& window_;
  const TwipsScale& scale_;
};

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
  setWindowFlags(Qt::Window | Qt::MSWindowsFixedSizeDialogHint);
  BuildControls();
  BuildTabOrder();
  ConnectControls();
  installEventFilter(this);
  for (QWidget* child : findChildren<QWidget*>()) child->installEventFilter(this);
}

MainWindow::~MainWindow() = default;

QWidget* MainWindow::CreateControl(const ControlDesc& desc, QWidget* parent) {
  const QString caption = QString::fromUtf8(desc.caption);
  QWidget* widget = nullptr;
  switch (desc.kind) {
    case ControlKind::kLabel:
      widget = new CaptionLabel(caption, parent);
      widget->lower();  // under the controls it may touch
      break;
    case ControlKind::kDropDown:
      widget = modeList_ = new QComboBox(parent);
      modeList_->setEditable(false);
      break;
    case ControlKind::kTextBox:
    case ControlKind::kDisplayBox: {
      auto* box = new QLineEdit(parent);
      if (desc.maxLength > 0) box->setMaxLength(desc.maxLength);
      if (desc.kind == ControlKind::kDisplayBox) {
        box->setReadOnly(true);
        QPalette palette = box->palette();
        palette.setColor(QPalette::Base, palette.color(QPalette::Button));
        box->setPalette(palette);
      }
      widget = box;
      break;
    }
    case ControlKind::kFrame:
      widget = details_ = new QFrame(parent);
      details_->setFrameStyle(QFrame::Panel | QFrame::Sunken);
      details_->setLineWidth(kFrameBorderPx);
      details_->setFocusPolicy(Qt::NoFocus);
      break;
    case ControlKind::kList:
      widget = list_ = new QTreeWidget(parent);
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
      break;
    case ControlKind::kButton: {
      auto* button = new QPushButton(caption, parent);
      button->setAutoDefault(false);
      widget = button;
      break;
    }
  }
  widget->setObjectName(QString::fromUtf8(desc.name));
  if (*desc.toolTip) widget->setToolTip(QString::fromUtf8(desc.toolTip));
  return widget;
}

void MainWindow::BuildControls() {
  for (const ControlDesc& desc : MainWindowControls()) {
    controls_[desc.control] =
        CreateControl(desc, desc.inFrame ? static_cast<QWidget*>(details_) : this);
  }
  interval_ = static_cast<QLineEdit*>(controls_[Control::txtInterval]);
  currentDate_ = static_cast<QLineEdit*>(controls_[Control::txtCurrentDate]);
  currentTime_ = static_cast<QLineEdit*>(controls_[Control::txtCurrentTime]);
  // Labels show their "&" signs as access keys only with a buddy; each has the control it names.
  for (const ControlDesc& desc : MainWindowControls()) {
    if (desc.kind == ControlKind::kLabel) {
      static_cast<QLabel*>(controls_[desc.control])->setBuddy(controls_[desc.names]);
    }
  }
  // Every text whole at this window's fonts, measured.
  const MainLayout layout = FitMainWindow(QtTextMetrics(*this, scale_), Locale());
  designedSize_ =
      QSize(scale_.ToPx(layout.clientWidthTwips), scale_.ToPx(layout.clientHeightTwips));
  setFixedSize(designedSize_);
  const QPoint inner(kFrameBorderPx, kFrameBorderPx);
  for (const ControlDesc& desc : MainWindowControls()) {
    const TwipsRect& r = layout.Rect(desc.control);
    const QRect place = scale_.Rect(r.left, r.top, r.width, r.height);
    controls_[desc.control]->setGeometry(desc.inFrame ? place.translated(inner) : place);
  }
  static_cast<CaptionLabel*>(controls_[Control::lblInterval])
      ->SetGapEnd(scale_.ToPx(layout.gapEndTwips));
}

void MainWindow::BuildTabOrder() {
  const std::span<const Control> order = TabOrder();
  for (std::size_t i = 1; i < order.size(); ++i) {
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
  if (key == kHistoryKeyLetter && event->modifiers() == Qt::ControlModifier) {
    Forward([](QV_MainForm& f) { f.OnHistory(); });
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
