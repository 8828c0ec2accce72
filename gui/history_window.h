#pragma once

#include <QAbstractTableModel>
#include <QSortFilterProxyModel>
#include <QString>
#include <QWidget>
#include <optional>
#include <vector>

#include "core/history/history_format.h"
#include "core/platform/log_folder.h"

class QChart;
class QChartView;
class QComboBox;
class QLabel;
class QPushButton;
class QTableView;

namespace horalign {

// The history's entries as a table: one row per entry, in the file's order. The sort role
// gives numbers where the column holds them, so times and offsets sort as values.
class HistoryModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  enum Column {
    kTime,
    kPort,
    kModel,
    kSerial,
    kAction,
    kCause,
    kOutcome,
    kStatus,
    kMsPastSecond,
    kOffsetBefore,
    kOffsetAfter,
    kDrift,
    kColumnCount
  };
  static constexpr int kSortRole = Qt::UserRole;

  void SetEntries(std::vector<HistoryEntry> entries);
  const std::vector<HistoryEntry>& Entries() const { return entries_; }

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

 private:
  std::vector<HistoryEntry> entries_;
};

// A device as the filter names it: model and serial number, so that it follows the device
// from port to port.
struct HistoryDevice {
  QString model, serial;
  bool operator==(const HistoryDevice&) const = default;
  bool Matches(const HistoryEntry& e) const;
};

// The rows of one device, or of all when no device is chosen.
class HistoryFilter : public QSortFilterProxyModel {
  Q_OBJECT

 public:
  void SetDevice(const std::optional<HistoryDevice>& device);

 protected:
  bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const override;

 private:
  std::optional<HistoryDevice> device_;
};

// The history window: the table (sortable by any column), a filter by device, a plot of the
// chosen devices' offsets and drift over time, and an export of the rows shown as CSV.
class HistoryWindow : public QWidget {
  Q_OBJECT

 public:
  explicit HistoryWindow(LogFolder& folder, QWidget* parent = nullptr);

  // Reads every history file again (the files are never changed).
  void Reload();
  // Writes the rows as shown (filtered and sorted) to `path`; false when it could not.
  bool ExportCsv(const QString& path) const;

  QTableView* Table() const { return table_; }
  QComboBox* DeviceList() const { return devices_; }
  QChart* Chart() const { return chart_; }
  QLabel* Summary() const { return summary_; }
  const HistoryFilter& Filter() const { return filter_; }

 private:
  static constexpr int kWindowFrameAllowance = 8;

  void FitColumns();
  int Room() const;
  void ChooseDevice(int index);
  void Plot();
  void AskAndExport();

  LogFolder& folder_;
  HistoryModel model_;
  HistoryFilter filter_;
  std::vector<HistoryDevice> deviceList_;
  QComboBox* devices_ = nullptr;
  QTableView* table_ = nullptr;
  QChart* chart_ = nullptr;
  QChartView* chartView_ = nullptr;
  QLabel* summary_ = nullptr;
  QPushButton* export_ = nullptr;
  QPushButton* close_ = nullptr;
  QString summaryText_;
  int width_ = 0;  // the window's first width: every column whole where the screen allows
};

}  // namespace horalign
