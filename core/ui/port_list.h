#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "core/sync/sync_host.h"
#include "core/ui/views.h"

namespace horalign {

// Columns of the port list, one PortRecord a row.
enum PortColumn : int {
  kColPort = 0,    // "01".."16", the row's own text
  kColActive = 1,  // "Yes", "No", "N/A"
  kColStatus = 2,
  kColStatusTime = 3,
  kColSettings = 4,
  kColDevice = 5,
  kColSerial = 8,
  kColDetected = 9,
};
inline constexpr int kPortColumns = 10;
inline constexpr int kPortRows = 16;

inline constexpr Rgb kGreen{0, 128, 0};
inline constexpr Rgb kDarkRed{192, 0, 0};
inline constexpr Rgb kGrey{128, 128, 128};

// One port's row: the state decisions read, and the cells as shown, rendered from it.
struct PortRecord {
  int port = 0;
  std::optional<PortActive> active;  // unset until the row is first filled
  std::optional<PortDevice> device;  // unset until a connection's outcome fills it
  std::array<std::string, kPortColumns> cells;
  Rgb colour;
};

// The rows of the port list: the only store of the port records. Every change is
// mirrored to the view at once; a cell's text is never read back to decide anything.
class PortListModel {
 public:
  explicit PortListModel(MainWindowView& view) : view_(view) {}

  void Clear();
  // A row for COM `port`, which its first cell names ("03").
  void AddRow(int port);
  int RowCount() const { return static_cast<int>(rows_.size()); }
  bool HasRow(int row) const { return row >= 1 && row <= RowCount(); }

  // Rows count from 1. A row that does not exist reads as empty and ignores writes.
  const std::string& Cell(int row, int column) const;
  // The text columns of the outcome: status and its time.
  void SetCell(int row, int column, const std::string& text);
  // The port a row stands for; 0 when there is no such row.
  int Port(int row) const;
  // A missing or never filled row counts as not active.
  PortActive Active(int row) const;
  void SetActive(int row, PortActive active);
  // True only once the row says that no device answered.
  bool Undetected(int row) const;
  // A row not filled yet reads as detected, without settings or model.
  PortDevice Device(int row) const;
  // Fills the device's columns: settings, model, serial number, detected.
  void SetDevice(int row, const PortDevice& device);
  // Names the model of a device found earlier.
  void SetModel(int row, const std::string& model, ModelKind kind);
  Rgb Colour(int row) const;
  void SetColour(int row, Rgb colour);

 private:
  MainWindowView& view_;
  std::vector<PortRecord> rows_;
};

}  // namespace horalign
