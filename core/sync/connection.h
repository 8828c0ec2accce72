#pragma once

#include <cstdint>
#include <string>

#include "core/sync/sync_host.h"

namespace horalign {

inline constexpr const char* kDefaultSettings = "9600,N,8,1";
inline constexpr const char* kDisconnectedText = "Disconnected from device.";

// Connecting, disconnecting and marking the ports of the port list.
class DeviceConnection {
 public:
  explicit DeviceConnection(const SyncParts& parts) : parts_(parts), host_(parts.host) {}

  // Searches the line speeds for a device, identifies it and records the outcome in the
  // port's row. True when a device answered.
  bool ConnectDevice(std::int16_t comPortId);
  void DisconnectDevice(std::int16_t comPortId);
  void MarkPortUnavailable(std::int16_t comPortId);
  bool OpenPortDefault(std::int16_t comPortId);
  // The status the last connection left in its row.
  const std::string& LastStatus() const { return lastStatus_; }

 private:
  void ResetRow(int row, PortActive active);

  SyncParts parts_;
  SyncHost& host_;
  std::string lastStatus_;
};

}  // namespace horalign
