// The main window as the core sees it: every call draws or reads, and nothing Qt raises
// during a call is forwarded back to the form.
#include <QComboBox>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QScreen>
#include <QTreeWidget>

#include "gui/help.h"
#include "gui/history_window.h"
#include "gui/main_window.h"

namespace horalign {
namespace {

constexpr int kColumns = 10;

QString Q(const std::string& text) {
  return QString::fromStdString(text);
}

// The first separator of a date or time pattern ("dd/MM/yyyy" gives '/').
char PatternSeparator(const QString& pattern, char fallback) {
  bool quoted = false;
  for (QChar c : pattern) {
    if (c == u'\'') quoted = !quoted;
    if (quoted || c.isLetter() || c.isSpace() || c == u'\'') continue;
    const char latin = c.toLatin1();
    return latin > 32 && latin < 127 ? latin : fallback;
  }
  return fallback;
}

}  // namespace

void MainWindow::AddListColumn(const std::string& title, int widthTwips) {
  CoreCall call(coreCalls_);
  const int column = list_->columnCount();
  list_->setColumnCount(column + 1);
  list_->headerItem()->setText(column, Q(title));
  list_->setColumnWidth(column, scale_.ToPx(widthTwips));
}

void MainWindow::SetListColumnWidth(int column, int widthTwips) {
  CoreCall call(coreCalls_);
  if (column >= 0 && column < list_->columnCount()) {
    list_->setColumnWidth(column, scale_.ToPx(widthTwips));
  }
}

int MainWindow::ListWidthTwips() const {
  return scale_.ToTwips(list_->width());
}

int MainWindow::ListHeightTwips() const {
  return scale_.ToTwips(list_->height());
}

int MainWindow::FirstRowHeightTwips() const {
  if (list_->topLevelItemCount() == 0) return 0;
  const QModelIndex first = list_->model()->index(0, 0);
  int height = list_->visualRect(first).height();
  // A list not yet laid out reports an empty rectangle; ask the delegate instead.
  if (height <= 0) height = list_->sizeHintForRow(0);
  return scale_.ToTwips(height);
}

void MainWindow::SetRowCount(int rows) {
  CoreCall call(coreCalls_);
  rows = std::max(rows, 0);
  while (list_->topLevelItemCount() > rows) {
    delete list_->takeTopLevelItem(list_->topLevelItemCount() - 1);
  }
  while (list_->topLevelItemCount() < rows) {
    auto* item = new QTreeWidgetItem(list_);
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
  }
}

void MainWindow::SetCell(int row, int column, const std::string& text) {
  CoreCall call(coreCalls_);
  QTreeWidgetItem* item = list_->topLevelItem(row - 1);
  if (item && column >= 0 && column < kColumns) item->setText(column, Q(text));
}

void MainWindow::SetRowColour(int row, Rgb colour) {
  CoreCall call(coreCalls_);
  QTreeWidgetItem* item = list_->topLevelItem(row - 1);
  if (!item) return;
  const QBrush brush(QColor(colour.r, colour.g, colour.b));
  for (int c = 0; c < kColumns; ++c) item->setForeground(c, brush);
}

int MainWindow::SelectedRow() const {
  const QList<QTreeWidgetItem*> selected = list_->selectedItems();
  return selected.isEmpty() ? 0 : list_->indexOfTopLevelItem(selected.first()) + 1;
}

void MainWindow::SetSelectedRow(int row) {
  CoreCall call(coreCalls_);
  if (QTreeWidgetItem* item = list_->topLevelItem(row - 1)) {
    list_->setCurrentItem(item);  // selected, and the keys move on from here
  } else {
    list_->clearSelection();
  }
}

void MainWindow::SetControlEnabled(Control control, bool enabled) {
  CoreCall call(coreCalls_);
  if (QWidget* w = Widget(control)) w->setEnabled(enabled);
}

// The control's own setting: a control stays enabled while only its window is disabled.
bool MainWindow::ControlEnabled(Control control) const {
  const QWidget* w = Widget(control);
  return w && !w->testAttribute(Qt::WA_ForceDisabled);
}

bool MainWindow::ControlVisible(Control control) const {
  const QWidget* w = Widget(control);
  return w && w->isVisibleTo(this);
}

void MainWindow::SetFocus(Control control) {
  CoreCall call(coreCalls_);
  if (QWidget* w = Widget(control)) w->setFocus(Qt::OtherFocusReason);
}

Control MainWindow::FocusedControl() const {
  const QWidget* focus = focusWidget();
  for (const auto& [control, widget] : controls_) {
    if (control != Control::pbxDetails && (focus == widget || widget->isAncestorOf(focus))) {
      return control;
    }
  }
  return Control::pbxDetails;  // no control of the list has it
}

void MainWindow::AddModeEntry(const std::string& text, int itemData) {
  CoreCall call(coreCalls_);
  const QSignalBlocker block(modeList_);  // the first entry would select itself
  modeList_->addItem(Q(text), itemData);
}

int MainWindow::ModeEntryCount() const {
  return modeList_->count();
}

int MainWindow::ModeListIndex() const {
  return modeList_->currentIndex();
}

void MainWindow::SetModeListIndex(int index) {
  CoreCall call(coreCalls_);
  const QSignalBlocker block(modeList_);
  modeList_->setCurrentIndex(index >= 0 && index < modeList_->count() ? index : -1);
}

int MainWindow::ModeItemData(int index) const {
  return index >= 0 && index < modeList_->count() ? modeList_->itemData(index).toInt() : 0;
}

std::string MainWindow::IntervalText() const {
  return interval_->text().toStdString();
}

void MainWindow::SetIntervalText(const std::string& text) {
  CoreCall call(coreCalls_);
  interval_->setText(Q(text));
}

int MainWindow::IntervalMaxLength() const {
  return interval_->maxLength();
}

void MainWindow::SelectIntervalText(int start, int length) {
  CoreCall call(coreCalls_);
  interval_->setSelection(start, length);
}

void MainWindow::SetCurrentDate(const std::string& text) {
  currentDate_->setText(Q(text));
}

void MainWindow::SetCurrentTime(const std::string& text) {
  currentTime_->setText(Q(text));
}

void MainWindow::ShowPcClockState(const std::string& text) {
  if (!pcClockState_) {
    pcClockState_ = new QLabel(this);
    pcClockState_->setObjectName("lblPcClockState");
    pcClockState_->setAccessibleName("PC clock state");
    pcClockState_->hide();
  }
  pcClockState_->setText(Q(text));
  if (text.empty()) {
    pcClockState_->hide();
    setFixedSize(designedSize_);
    return;
  }
  const int margin = scale_.ToPx(120);
  const int line = pcClockState_->sizeHint().height();
  pcClockState_->setGeometry(margin, designedSize_.height(), designedSize_.width() - 2 * margin,
                             line);
  setFixedSize(designedSize_.width(), designedSize_.height() + line + margin / 2);
  pcClockState_->show();
}

void MainWindow::SetCaption(const std::string& caption) {
  setWindowTitle(Q(caption));
}

void MainWindow::SetPositionTwips(int left, int top) {
  CoreCall call(coreCalls_);
  placedPx_ = QPoint(scale_.ToPx(left), scale_.ToPx(top));
  placedTwips_ = QPoint(left, top);
  move(placedPx_);
}

int MainWindow::LeftTwips() const {
  return pos() == placedPx_ ? placedTwips_.x() : scale_.ToTwips(pos().x());
}

int MainWindow::TopTwips() const {
  return pos() == placedPx_ ? placedTwips_.y() : scale_.ToTwips(pos().y());
}

int MainWindow::ScreenWidthTwips() const {
  const QScreen* s = screen() ? screen() : QGuiApplication::primaryScreen();
  return s ? scale_.ToTwips(s->geometry().width()) : 0;
}

int MainWindow::ScreenHeightTwips() const {
  const QScreen* s = screen() ? screen() : QGuiApplication::primaryScreen();
  return s ? scale_.ToTwips(s->geometry().height()) : 0;
}

void MainWindow::ShowWindow() {
  CoreCall call(coreCalls_);
  hiddenToTray_ = false;
  // Qt marks a window it minimizes to come back iconic when it is next mapped, and keeps
  // that mark when the window manager restores it: map it minimized, then restore it
  // through Qt, which clears the mark.
  if (iconicMark_ && !isVisible()) showMinimized();
  if (isMinimized()) {
    showNormal();
    iconicMark_ = false;
  }
  show();
  raise();
  activateWindow();
}

void MainWindow::HideWindow() {
  CoreCall call(coreCalls_);
  hiddenToTray_ = true;
  hide();
}

void MainWindow::MinimizeWindow() {
  CoreCall call(coreCalls_);
  showMinimized();
  iconicMark_ = true;
}

bool MainWindow::WindowVisible() const {
  return isVisible();
}

void MainWindow::SetWindowEnabled(bool enabled) {
  CoreCall call(coreCalls_);
  setEnabled(enabled);
}

bool MainWindow::WindowEnabled() const {
  return isEnabled();
}

LocaleFormat MainWindow::Locale() const {
  const QLocale system = QLocale::system();
  LocaleFormat format;
  format.dateSeparator = PatternSeparator(system.dateFormat(QLocale::ShortFormat), '/');
  format.timeSeparator = PatternSeparator(system.timeFormat(QLocale::ShortFormat), ':');
  // Locales of the 24-hour clock may have no designators; the clock text needs some.
  if (!system.amText().isEmpty()) format.am = system.amText().toStdString();
  if (!system.pmText().isEmpty()) format.pm = system.pmText().toStdString();
  return format;
}

void MainWindow::ShowHelp(int topic) {
  QDesktopServices::openUrl(HelpUrl(helpFolder_, topic));
}

void MainWindow::ShowHistory() {
  if (historyFolder_ == nullptr) return;
  if (!history_) history_ = new HistoryWindow(*historyFolder_, this);
  // Read anew at every opening: the program has appended to it meanwhile.
  history_->Reload();
  history_->show();
  history_->raise();
  history_->activateWindow();
}

void MainWindow::Quit() {
  if (quit_) quit_();
}

}  // namespace horalign
