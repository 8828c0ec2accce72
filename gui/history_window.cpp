#include "gui/history_window.h"

#include <QChart>
#include <QChartView>
#include <QComboBox>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLegend>
#include <QLineSeries>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QSplitter>
#include <QStyle>
#include <QTableView>
#include <QVBoxLayout>
#include <QValueAxis>
#include <algorithm>
#include <cmath>
#include <limits>
#include <tuple>

#include "core/history/history_log.h"

namespace horalign {
namespace {

QString Q(const std::string& text) {
  return QString::fromStdString(text);
}

QVariant Number(const std::optional<double>& value, int role) {
  if (!value) return {};
  return role == Qt::DisplayRole ? QVariant(QString::number(*value, 'f', 3)) : QVariant(*value);
}

// The lowest and highest value a series of an axis reaches, with a margin; a flat or empty
// series still gets a range to draw in.
struct Span {
  double low = std::numeric_limits<double>::max(), high = std::numeric_limits<double>::lowest();
  void Take(double v) { low = std::min(low, v), high = std::max(high, v); }
  void Apply(QValueAxis* axis) const {
    if (low > high) return axis->setRange(-1, 1);
    const double margin = high > low ? (high - low) * 0.05 : std::max(std::abs(low) * 0.1, 0.5);
    axis->setRange(low - margin, high + margin);
  }
};

}  // namespace

void HistoryModel::SetEntries(std::vector<HistoryEntry> entries) {
  beginResetModel();
  entries_ = std::move(entries);
  endResetModel();
}

int HistoryModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(entries_.size());
}

int HistoryModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : kColumnCount;
}

QVariant HistoryModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid()) return {};
  if (role == Qt::ToolTipRole && index.column() != kStatus) return {};
  if (role != Qt::DisplayRole && role != kSortRole && role != Qt::ToolTipRole) return {};
  const HistoryEntry& e = entries_[static_cast<std::size_t>(index.row())];
  const bool display = role == Qt::DisplayRole;
  switch (index.column()) {
    case kTime:
      if (!display) return QVariant::fromValue<qint64>(e.utcMs);
      return QDateTime::fromMSecsSinceEpoch(e.utcMs).toString("yyyy-MM-dd HH:mm:ss.zzz");
    case kPort:
      return display ? QVariant(Q(PortName(e.port))) : QVariant(e.port);
    case kModel:
      return Q(e.model);
    case kSerial:
      return Q(e.serial);
    case kAction:
      return QString::fromUtf8(HistoryActionWord(e.action));
    case kCause:
      return QString::fromUtf8(PushCauseWord(e.cause));
    case kOutcome:
      return e.ok ? QStringLiteral("ok") : QStringLiteral("failed");
    case kStatus:
      return Q(e.status);  // the tooltip too: the column may be too narrow for it
    case kMsPastSecond:
      return e.msPastSecond < 0 ? QVariant() : QVariant(e.msPastSecond);
    case kOffsetBefore:
      return Number(e.offsetBefore, role);
    case kOffsetAfter:
      return Number(e.offsetAfter, role);
    case kDrift:
      return Number(e.driftPerDay, role);
    default:
      return {};
  }
}

QVariant HistoryModel::headerData(int section, Qt::Orientation orientation, int role) const {
  static const char* const kTitles[kColumnCount] = {"Time",
                                                    "Port",
                                                    "Model",
                                                    "S/N",
                                                    "Action",
                                                    "Cause",
                                                    "Outcome",
                                                    "Status",
                                                    "ms",
                                                    "Offset before (s)",
                                                    "Offset after (s)",
                                                    "Drift (s/day)"};
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
      section >= kColumnCount) {
    return QAbstractTableModel::headerData(section, orientation, role);
  }
  return QString::fromUtf8(kTitles[section]);
}

bool HistoryDevice::Matches(const HistoryEntry& e) const {
  return Q(e.model) == model && Q(e.serial) == serial;
}

void HistoryFilter::SetDevice(const std::optional<HistoryDevice>& device) {
  device_ = device;
  invalidateFilter();
}

bool HistoryFilter::filterAcceptsRow(int sourceRow, const QModelIndex&) const {
  if (!device_) return true;
  const auto& entries = static_cast<const HistoryModel*>(sourceModel())->Entries();
  return device_->Matches(entries[static_cast<std::size_t>(sourceRow)]);
}

HistoryWindow::HistoryWindow(LogFolder& folder, QWidget* parent)
    : QWidget(parent, Qt::Window), folder_(folder) {
  setWindowTitle(QStringLiteral("Horalign History"));
  setObjectName(QStringLiteral("HistoryWindow"));
  setAccessibleName(QStringLiteral("History"));

  auto* deviceLabel = new QLabel(QStringLiteral("&Device:"), this);
  devices_ = new QComboBox(this);
  devices_->setObjectName(QStringLiteral("cmbDevice"));
  devices_->setAccessibleName(QStringLiteral("Device"));
  deviceLabel->setBuddy(devices_);
  summary_ = new QLabel(this);
  summary_->setObjectName(QStringLiteral("lblSummary"));
  summary_->setAccessibleName(QStringLiteral("Summary"));

  filter_.setSourceModel(&model_);
  filter_.setSortRole(HistoryModel::kSortRole);
  table_ = new QTableView(this);
  table_->setObjectName(QStringLiteral("tblHistory"));
  table_->setAccessibleName(QStringLiteral("History entries"));
  table_->setModel(&filter_);
  table_->setSortingEnabled(true);
  table_->setSelectionBehavior(QAbstractItemView::SelectRows);
  table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table_->setWordWrap(false);
  table_->verticalHeader()->hide();
  table_->verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
  table_->sortByColumn(HistoryModel::kTime, Qt::DescendingOrder);

  chart_ = new QChart();
  chart_->setTitle(QStringLiteral("Offset and drift"));
  // Below the plot the names have room; each marker is a piece of its line, so a device's
  // solid offset and dashed drift, one colour, stay two things.
  chart_->legend()->setAlignment(Qt::AlignBottom);
  chart_->legend()->setMarkerShape(QLegend::MarkerShapeFromSeries);
  chartView_ = new QChartView(chart_, this);
  chartView_->setObjectName(QStringLiteral("chtOffsetDrift"));
  chartView_->setAccessibleName(QStringLiteral("Offset and drift plot"));
  chartView_->setRenderHint(QPainter::Antialiasing);
  chartView_->setMinimumHeight(280);

  export_ = new QPushButton(QStringLiteral("&Export CSV..."), this);
  export_->setObjectName(QStringLiteral("cmdExport"));
  export_->setAccessibleName(QStringLiteral("Export CSV"));
  close_ = new QPushButton(QStringLiteral("&Close"), this);
  close_->setObjectName(QStringLiteral("cmdCloseHistory"));
  close_->setAccessibleName(QStringLiteral("Close"));

  auto* top = new QHBoxLayout;
  top->addWidget(deviceLabel);
  top->addWidget(devices_, 1);
  top->addWidget(summary_, 2);
  auto* split = new QSplitter(Qt::Vertical, this);
  split->addWidget(table_);
  split->addWidget(chartView_);
  split->setStretchFactor(0, 1);
  split->setStretchFactor(1, 1);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(export_);
  buttons->addWidget(close_);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addWidget(split, 1);
  layout->addLayout(buttons);
  FitColumns();
  resize(width_, 700);

  connect(devices_, &QComboBox::currentIndexChanged, this, &HistoryWindow::ChooseDevice);
  connect(export_, &QPushButton::clicked, this, &HistoryWindow::AskAndExport);
  connect(close_, &QPushButton::clicked, this, &QWidget::close);
}

// Widths by the texts a column holds: measuring 10,000 rows would cost more than the rest.
// The window opens wide enough for them all where the screen allows; on a narrower screen
// the status column gives up the difference (its texts elide, their tooltips stay whole).
void HistoryWindow::FitColumns() {
  const QString widest[HistoryModel::kColumnCount] = {
      "0000-00-00 00:00:00.000",
      "COM16",
      "Tone Generator",
      "00000",
      "set-pc-clock",
      "offset-change",
      "failed",
      "Unable to connect to device - check settings.",
      "999",
      "-000.000",
      "-000.000",
      "-000.000"};
  // A caption needs room beside its text for the sort arrow.
  const QFontMetrics headerFont = table_->horizontalHeader()->fontMetrics();
  int columns = 0;
  for (int c = 0; c < HistoryModel::kColumnCount; ++c) {
    const QString caption = table_->model()->headerData(c, Qt::Horizontal).toString();
    const int width = std::max(fontMetrics().horizontalAdvance(widest[c]) + 16,
                               headerFont.horizontalAdvance(caption) + 28);
    table_->setColumnWidth(c, width);
    columns += width;
  }
  // Around the columns: the table's frame and scroll bar and the layout's margins.
  const QMargins margins = layout()->contentsMargins();
  const int around = 2 * table_->frameWidth() +
                     style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, table_) +
                     margins.left() + margins.right();
  width_ = columns + around;
  if (width_ <= Room()) return;
  const int status = table_->columnWidth(HistoryModel::kStatus);
  const int least = headerFont.horizontalAdvance(QStringLiteral("Status")) + 28;
  table_->setColumnWidth(HistoryModel::kStatus, std::max(least, status - (width_ - Room())));
  width_ = Room();
}

// The width a window may take on its screen, the window manager's frame (not known before
// it is shown) left aside.
int HistoryWindow::Room() const {
  return screen()->availableGeometry().width() - 2 * kWindowFrameAllowance;
}

void HistoryWindow::Reload() {
  HistoryRead read = ReadHistory(folder_);
  const std::size_t count = read.entries.size();
  QString text = count == 0   ? QStringLiteral("No history yet.")
                 : count == 1 ? QStringLiteral("1 entry")
                              : QStringLiteral("%1 entries").arg(count);
  const auto lines = [](int n) {
    return n == 1 ? QStringLiteral("1 line") : QStringLiteral("%1 lines").arg(n);
  };
  if (read.unreadable > 0) text += QStringLiteral("; %1 unreadable").arg(lines(read.unreadable));
  if (read.newer > 0) text += QStringLiteral("; %1 of a newer version").arg(lines(read.newer));
  summary_->setText(text);

  const std::optional<HistoryDevice> chosen =
      devices_->currentIndex() > 0 ? std::optional(deviceList_[devices_->currentIndex() - 1])
                                   : std::nullopt;
  deviceList_.clear();
  for (const HistoryEntry& e : read.entries) {
    const HistoryDevice d{Q(e.model), Q(e.serial)};
    if (std::find(deviceList_.begin(), deviceList_.end(), d) == deviceList_.end()) {
      deviceList_.push_back(d);
    }
  }
  std::sort(deviceList_.begin(), deviceList_.end(), [](const auto& a, const auto& b) {
    return std::tie(a.model, a.serial) < std::tie(b.model, b.serial);
  });
  model_.SetEntries(std::move(read.entries));

  const QSignalBlocker quiet(devices_);
  devices_->clear();
  devices_->addItem(QStringLiteral("All devices"));
  int index = 0;
  for (std::size_t i = 0; i < deviceList_.size(); ++i) {
    devices_->addItem(
        QStringLiteral("%1  S/N %2").arg(deviceList_[i].model, deviceList_[i].serial));
    if (chosen && deviceList_[i] == *chosen) index = static_cast<int>(i) + 1;
  }
  devices_->setCurrentIndex(index);
  ChooseDevice(index);
}

void HistoryWindow::ChooseDevice(int index) {
  filter_.SetDevice(index > 0 ? std::optional(deviceList_[static_cast<std::size_t>(index - 1)])
                              : std::nullopt);
  Plot();
}

// One line of offsets per device on the left axis and one of its drift on the right. The
// offset is the one read before a write where there is one (what the device drifted since
// the last write), else the one read after it: both at one instant would draw a comb.
void HistoryWindow::Plot() {
  chart_->removeAllSeries();
  for (QAbstractAxis* axis : chart_->axes()) {
    chart_->removeAxis(axis);
    delete axis;
  }
  auto* time = new QDateTimeAxis;
  time->setFormat(QStringLiteral("MM-dd HH:mm"));
  time->setTickCount(6);
  time->setTitleText(QStringLiteral("Time"));
  auto* offsetAxis = new QValueAxis;
  offsetAxis->setTitleText(QStringLiteral("Offset (s)"));
  auto* driftAxis = new QValueAxis;
  driftAxis->setTitleText(QStringLiteral("Drift (s/day)"));
  chart_->addAxis(time, Qt::AlignBottom);
  chart_->addAxis(offsetAxis, Qt::AlignLeft);
  chart_->addAxis(driftAxis, Qt::AlignRight);

  const int chosen = devices_->currentIndex();
  Span offsets, drifts;
  qint64 first = std::numeric_limits<qint64>::max(), last = std::numeric_limits<qint64>::min();
  for (std::size_t i = 0; i < deviceList_.size(); ++i) {
    if (chosen > 0 && static_cast<std::size_t>(chosen - 1) != i) continue;
    const HistoryDevice& device = deviceList_[i];
    QList<QPointF> offsetPoints, driftPoints;
    for (const HistoryEntry& e : model_.Entries()) {
      if (!device.Matches(e)) continue;
      const auto at = static_cast<qreal>(e.utcMs);
      if (const auto& value = e.offsetBefore ? e.offsetBefore : e.offsetAfter) {
        offsetPoints.append({at, *value}), offsets.Take(*value);
      }
      if (e.driftPerDay) driftPoints.append({at, *e.driftPerDay}), drifts.Take(*e.driftPerDay);
      if (e.offsetBefore || e.offsetAfter || e.driftPerDay) {
        first = std::min<qint64>(first, e.utcMs), last = std::max<qint64>(last, e.utcMs);
      }
    }
    // A device keeps its colour: its offset drawn solid, its drift dashed.
    const QString name = device.model + QStringLiteral(" ") + device.serial;
    std::optional<QColor> colour;
    for (auto [points, axis, what] : {std::tuple(&offsetPoints, offsetAxis, "offset"),
                                      std::tuple(&driftPoints, driftAxis, "drift")}) {
      if (points->isEmpty()) continue;
      auto* series = new QLineSeries;
      series->setName(name + QStringLiteral(" ") + QString::fromUtf8(what));
      series->replace(*points);
      chart_->addSeries(series);
      series->attachAxis(time);
      series->attachAxis(axis);
      QPen pen = series->pen();
      pen.setWidth(2);
      if (colour) {
        pen.setColor(*colour);
        // Short dashes: even the legend's piece of the line shows three of them.
        pen.setDashPattern({2, 1.5});
      }
      colour = pen.color();
      series->setPen(pen);
    }
  }
  // Zero, where a device keeps time, is the offset axis's middle line.
  if (offsets.low <= offsets.high) {
    const double reach = std::max(std::abs(offsets.low), std::abs(offsets.high));
    offsets.Take(-reach), offsets.Take(reach);
  }
  offsets.Apply(offsetAxis);
  drifts.Apply(driftAxis);
  // Ticks at round values (1, 2 or 5 times a power of ten), not at a fifth of the span.
  offsetAxis->applyNiceNumbers();
  driftAxis->applyNiceNumbers();
  if (first <= last) {
    time->setRange(QDateTime::fromMSecsSinceEpoch(first),
                   QDateTime::fromMSecsSinceEpoch(std::max(last, first + 60'000)));
  }
}

bool HistoryWindow::ExportCsv(const QString& path) const {
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
  std::string text = HistoryCsvHeader();
  for (int row = 0; row < filter_.rowCount(); ++row) {
    const int source = filter_.mapToSource(filter_.index(row, 0)).row();
    text += HistoryCsvRow(model_.Entries()[static_cast<std::size_t>(source)]);
  }
  const auto size = static_cast<qint64>(text.size());
  return file.write(text.data(), size) == size && file.flush();
}

void HistoryWindow::AskAndExport() {
  const QString path = QFileDialog::getSaveFileName(
      this, QStringLiteral("Export History"), QStringLiteral("history.csv"),
      QStringLiteral("CSV files (*.csv);;All files (*)"));
  if (path.isEmpty() || ExportCsv(path)) return;
  QMessageBox::warning(this, QStringLiteral("Export History"),
                       QStringLiteral("The history could not be written to %1.").arg(path));
}

}  // namespace horalign
