#include "core/ui/port_list.h"

#include "core/util/civil.h"

namespace horalign {
namespace {

const char* ActiveText(PortActive active) {
  switch (active) {
    case PortActive::kYes:
      return "Yes";
    case PortActive::kNo:
      return "No";
    case PortActive::kUnavailable:
      return "N/A";
  }
  return "N/A";
}

}  // namespace

void PortListModel::Clear() {
  rows_.clear();
  view_.SetRowCount(0);
}

void PortListModel::AddRow(int port) {
  rows_.emplace_back();
  rows_.back().port = port;
  rows_.back().cells[kColPort] = ZeroPad(port, 2);
  view_.SetRowCount(RowCount());
  view_.SetCell(RowCount(), kColPort, rows_.back().cells[kColPort]);
}

int PortListModel::Port(int row) const {
  return HasRow(row) ? rows_[row - 1].port : 0;
}

PortActive PortListModel::Active(int row) const {
  return HasRow(row) ? rows_[row - 1].active.value_or(PortActive::kNo) : PortActive::kNo;
}

void PortListModel::SetActive(int row, PortActive active) {
  if (!HasRow(row)) return;
  rows_[row - 1].active = active;
  SetCell(row, kColActive, ActiveText(active));
}

bool PortListModel::Undetected(int row) const {
  return HasRow(row) && rows_[row - 1].detected == false;
}

void PortListModel::SetDetected(int row, bool detected) {
  if (!HasRow(row)) return;
  rows_[row - 1].detected = detected;
  SetCell(row, kColDetected, detected ? "Yes" : "No");
}

const std::string& PortListModel::Cell(int row, int column) const {
  static const std::string kEmpty;
  if (!HasRow(row) || column < 0 || column >= kPortColumns) return kEmpty;
  return rows_[row - 1].cells[column];
}

void PortListModel::SetCell(int row, int column, const std::string& text) {
  if (!HasRow(row) || column < 0 || column >= kPortColumns) return;
  rows_[row - 1].cells[column] = text;
  view_.SetCell(row, column, text);
}

Rgb PortListModel::Colour(int row) const {
  return HasRow(row) ? rows_[row - 1].colour : Rgb{};
}

void PortListModel::SetColour(int row, Rgb colour) {
  if (!HasRow(row)) return;
  rows_[row - 1].colour = colour;
  view_.SetRowColour(row, colour);
}

}  // namespace horalign
