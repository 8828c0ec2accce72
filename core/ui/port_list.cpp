#include "core/ui/port_list.h"

namespace horalign {

void PortListModel::Clear() {
  rows_.clear();
  view_.SetRowCount(0);
}

void PortListModel::AddRow(const std::string& text) {
  rows_.emplace_back();
  rows_.back().cells[kColPort] = text;
  view_.SetRowCount(RowCount());
  view_.SetCell(RowCount(), kColPort, text);
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
