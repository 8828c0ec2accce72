#pragma once

#include <cstdint>

#include "core/sync/form_context.h"

namespace horalign {

inline constexpr const char* kDefaultSettings = "9600,N,8,1";

// Connecting, disconnecting and marking the ports of the port list.
class DeviceConnection {
 public:
  explicit DeviceConnection(FormContext& ctx) : ctx_(ctx) {}

  // Searches the line speeds for a device, identifies it and records the outcome in the
  // port's row. True when a device answered.
  bool ConnectDevice(std::int16_t comPortId);
  void DisconnectDevice(std::int16_t comPortId);
  void MarkPortUnavailable(std::int16_t comPortId);
  bool OpenPortDefault(std::int16_t comPortId);
  // Brings Activate, Deactivate and Update Now in line with the selected row.
  void UpdateActionButtons();

 private:
  void SetActionButtons(bool activate, bool deactivate, bool update);
  void ResetRow(int row, const char* active);

  FormContext& ctx_;
};

}  // namespace horalign
