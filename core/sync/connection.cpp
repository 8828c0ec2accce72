#include "core/sync/connection.h"

#include "core/device/model_table.h"
#include "core/sync/history_note.h"

namespace horalign {

bool DeviceConnection::OpenPortDefault(std::int16_t comPortId) {
  return parts_.paging.OpenPort(parts_.serialPort, comPortId, kDefaultSettings);
}

bool DeviceConnection::ConnectDevice(std::int16_t comPortId) {
  const int row = comPortId;
  const BusyScope busy(host_);
  host_.SetStatus(row, "Connecting to device...");
  if (!OpenPortDefault(comPortId)) {
    MarkPortUnavailable(comPortId);
    lastStatus_ = kDisconnectedText;
    NoteHistory(parts_, HistoryEntryNow(parts_, row, HistoryAction::kConnect, false, lastStatus_));
    return false;
  }

  bool found = parts_.paging.ProbeDevice();
  for (const char* settings : {"38400,N,8,1", "1200,N,8,1"}) {
    if (found) break;
    parts_.paging.OpenPort(parts_.serialPort, comPortId, settings);
    found = parts_.paging.ProbeDevice();
  }

  lastStatus_ = found ? "Connected to device." : "Unable to connect to device - check settings.";
  if (found) {
    parts_.paging.IdentifyDevice();
    host_.SetStatus(row, lastStatus_);
    host_.ShowPort(row, PortActive::kYes,
                   {true, parts_.serialPort.Settings(), parts_.paging.DeviceModel,
                    parts_.paging.DeviceSerial, parts_.paging.DeviceKind});
  } else {
    host_.SetStatus(row, lastStatus_);
    host_.ShowPort(row, PortActive::kYes,
                   {false, kDefaultSettings, kNoModel, kNoModel, ModelKind::kUnknown});
  }
  host_.StampStatusTime(row);
  NoteHistory(parts_, HistoryEntryNow(parts_, row, HistoryAction::kConnect, found, lastStatus_));
  return found;
}

void DeviceConnection::ResetRow(int row, PortActive active) {
  host_.SetStatus(row, kDisconnectedText);
  host_.StampStatusTime(row);
  host_.ShowPort(row, active, {false, kDefaultSettings, kNoModel, kNoModel, ModelKind::kUnknown});
}

void DeviceConnection::DisconnectDevice(std::int16_t comPortId) {
  const BusyScope busy(host_);
  host_.SetStatus(comPortId, "Disconnecting from device...");
  if (!OpenPortDefault(comPortId)) {
    MarkPortUnavailable(comPortId);
    return;
  }
  if (parts_.serialPort.CommPort() == comPortId && parts_.serialPort.PortOpen()) {
    parts_.serialPort.SetPortOpen(false);
  }
  ResetRow(comPortId, PortActive::kNo);
}

void DeviceConnection::MarkPortUnavailable(std::int16_t comPortId) {
  const BusyScope busy(host_);
  ResetRow(comPortId, PortActive::kUnavailable);
}

}  // namespace horalign
