#pragma once

#include <string>

#include "core/platform/clock.h"

struct sd_bus;
struct sd_bus_slot;

namespace horalign {

// Hears logind say that the PC woke from sleep (PrepareForSleep(false) on the system bus)
// and reports it as a jump of `clock`. Without a system bus or logind there are simply no
// such reports. DBUS_SYSTEM_BUS_ADDRESS, when set, names the bus.
//
// Only the connection that owns logind's name is believed: any peer may send a signal to
// this connection alone, and such a one passes every match rule.
class ResumeWatch {
 public:
  explicit ResumeWatch(Clock& clock);
  ~ResumeWatch();
  ResumeWatch(const ResumeWatch&) = delete;
  ResumeWatch& operator=(const ResumeWatch&) = delete;

  // The bus connection's descriptor for the event loop to watch; -1 without a bus.
  int Fd() const;
  // Reads what the bus sent; call it whenever Fd() is readable. False once the bus is gone
  // (the descriptor is then closed and must no longer be watched).
  bool Process();

 private:
  bool Listen();
  void Close();

  Clock& clock_;
  sd_bus* bus_ = nullptr;
  sd_bus_slot* sleepSlot_ = nullptr;
  sd_bus_slot* ownerSlot_ = nullptr;
  std::string loginOwner_;  // the unique name that owns logind's name; "": nobody
};

}  // namespace horalign
