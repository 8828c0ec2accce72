#include "core/sync/connection.h"

#include <string>

namespace horalign {

int FormContext::PortOfRow(int row) const {
  const std::string& text = ports.Cell(row, kColPort);
  int n = 0;
  for (char c : text) {
    if (c < '0' || c > '9' || n > 1000) break;
    n = n * 10 + (c - '0');
  }
  return n;
}

bool DeviceConnection::OpenPortDefault(std::int16_t comPortId) {
  return ctx_.paging.OpenPort(ctx_.serialPort, comPortId, kDefaultSettings);
}

void DeviceConnection::SetActionButtons(bool activate, bool deactivate, bool update) {
  ctx_.view.SetControlEnabled(Control::cmdActivate, activate);
  ctx_.view.SetControlEnabled(Control::cmdDeactivate, deactivate);
  ctx_.view.SetControlEnabled(Control::cmdUpdate, update);
}

bool DeviceConnection::ConnectDevice(std::int16_t comPortId) {
  const int row = comPortId;
  ctx_.BusyPointerOn();
  ctx_.SetStatus(row, "Connecting to device...");
  if (!OpenPortDefault(comPortId)) {
    MarkPortUnavailable(comPortId);
    ctx_.BusyPointerOff();
    return false;
  }

  bool found = ctx_.paging.ProbeDevice();
  for (const char* settings : {"38400,N,8,1", "1200,N,8,1"}) {
    if (found) break;
    ctx_.paging.OpenPort(ctx_.serialPort, comPortId, settings);
    found = ctx_.paging.ProbeDevice();
  }

  auto& ports = ctx_.ports;
  ports.SetCell(row, kColActive, "Yes");
  if (found) {
    ctx_.paging.IdentifyDevice();
    ctx_.SetStatus(row, "Connected to device.");
    ports.SetCell(row, kColSettings, ctx_.serialPort.Settings());
    ports.SetCell(row, kColDevice, ctx_.paging.DeviceModel);
    ports.SetCell(row, kColSerial, ctx_.paging.DeviceSerial);
    ports.SetCell(row, kColDetected, "Yes");
  } else {
    ctx_.SetStatus(row, "Unable to connect to device - check settings.");
    ports.SetCell(row, kColSettings, kDefaultSettings);
    ports.SetCell(row, kColDevice, "N/A");
    ports.SetCell(row, kColSerial, "N/A");
    ports.SetCell(row, kColDetected, "No");
  }
  ctx_.StampStatusTime(row);
  if (ctx_.view.WindowEnabled()) SetActionButtons(false, true, true);
  ports.SetColour(row, found ? kGreen : kDarkRed);
  ctx_.BusyPointerOff();
  return found;
}

void DeviceConnection::ResetRow(int row, const char* active) {
  auto& ports = ctx_.ports;
  ports.SetCell(row, kColActive, active);
  ctx_.SetStatus(row, "Disconnected from device.");
  ctx_.StampStatusTime(row);
  ports.SetCell(row, kColSettings, kDefaultSettings);
  ports.SetCell(row, kColDevice, "N/A");
  ports.SetCell(row, kColSerial, "N/A");
  ports.SetCell(row, kColDetected, "No");
  ports.SetColour(row, kGrey);
}

void DeviceConnection::DisconnectDevice(std::int16_t comPortId) {
  ctx_.BusyPointerOn();
  ctx_.SetStatus(comPortId, "Disconnecting from device...");
  if (!OpenPortDefault(comPortId)) {
    MarkPortUnavailable(comPortId);
    ctx_.BusyPointerOff();
    return;
  }
  if (ctx_.serialPort.CommPort() == comPortId && ctx_.serialPort.PortOpen()) {
    ctx_.serialPort.SetPortOpen(false);
  }
  if (ctx_.view.WindowEnabled()) SetActionButtons(true, false, false);
  ResetRow(comPortId, "No");
  ctx_.BusyPointerOff();
}

void DeviceConnection::MarkPortUnavailable(std::int16_t comPortId) {
  ctx_.BusyPointerOn();
  if (ctx_.view.WindowEnabled()) SetActionButtons(false, false, false);
  ResetRow(comPortId, "N/A");
  ctx_.BusyPointerOff();
}

void DeviceConnection::UpdateActionButtons() {
  if (ctx_.view.ModeListIndex() < 0 || !ctx_.view.WindowEnabled()) return;
  const int row = ctx_.view.SelectedRow();
  if (!ctx_.ports.HasRow(row)) {
    // No row to act on: nothing to activate, deactivate or update.
    SetActionButtons(false, false, false);
    return;
  }
  const std::string& active = ctx_.ports.Cell(row, kColActive);
  if (active == "N/A") {
    SetActionButtons(false, false, false);
  } else if (active == "Yes") {
    SetActionButtons(false, true, ctx_.ports.Cell(row, kColDevice) != "Receiver");
  } else {
    SetActionButtons(true, false, false);
  }
}

}  // namespace horalign
