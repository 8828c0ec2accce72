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
  return HasRow(row) && rows_[row - 1].device && !rows_[row - 1].device->detected;
}

PortDevice PortListModel::Device(int row) const {
  PortDevice unfilled;
  unfilled.detected = true;
  return HasRow(row) ? rows_[row - 1].device.value_or(unfilled) : unfilled;
}

void PortListModel::SetDevice(int row, const PortDevice& device) {
  if (!HasRow(row)) return;
  rows_[row - 1].device = device;
  SetCell(row, kColSettings, device.settings);
  SetCell(row, kColDevice, device.model);
  SetCell(row, kColSerial, device.serial);
  SetCell(row, kColDetected, device.detected ? "Yes" : "No");
}

void PortListModel::SetModel(int row, const std::string& model, ModelKind kind) {
  if (!HasRow(row)) return;
  PortDevice& device = rows_[row - 1].device.emplace(Device(row));
  device.model = model;
  device.kind = kind;
  SetCell(row, kColDevice, model);
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
