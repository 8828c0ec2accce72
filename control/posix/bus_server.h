#pragma once

// The service's control interface on the system bus (control/posix/bus_names.h): each
// method call becomes a request for the service (ControlHandler), its answer a method
// return, and what the service tells its clients becomes PortChanged and SettingsChanged.
// Whether a caller may manage the service is polkit's to decide (root is allowed at once).
#include <systemd/sd-bus.h>

#include <functional>
#include <memory>
#include <string>

#include "control/control_handler.h"
#include "core/platform/event_loop.h"

namespace horalign {

class BusServer final : public ControlListener {
 public:
  using Warn = std::function<void(const std::string&)>;
  BusServer(ControlHandler& handler, EventLoop& loop, Warn warn);
  ~BusServer() override;
  BusServer(const BusServer&) = delete;
  BusServer& operator=(const BusServer&) = delete;

  // Connects to the system bus and takes the service's name; false, with a warning, when it
  // cannot: the service then runs without it.
  bool Start();
  // The bus connection's descriptor (-1 before Start), to be watched by the loop and during
  // the service's blocking waits, and what to do when it is readable.
  int Fd() const;
  void Process();

  void RowChanged(const ServiceRow& row) override;
  void SettingsChanged(const ServiceSettingsRead& settings) override;

  // Every method of the table comes here (it names the request).
  static int OnMethod(sd_bus_message* call, void* userdata, sd_bus_error* error);

 private:
  void Authorize(sd_bus_message* call, const Caller::Decided& done);
  // Sends a signal of the interface with a row's or the settings' values.
  template <typename Value>
  void Emit(const char* member, const Value& value);
  void Flush();

  ControlHandler& handler_;
  Warn warn_;
  sd_bus* bus_ = nullptr;
  sd_bus_slot* slot_ = nullptr;
  int asking_ = 0;  // polkit answers awaited
  // Runs the bus's own time-outs while polkit is asked; off otherwise, so an idle service
  // does not wake for it.
  std::unique_ptr<Timer> tmrTimeouts_;
};

}  // namespace horalign
