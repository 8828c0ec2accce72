#pragma once

#include <systemd/sd-bus.h>

#include <cstdint>
#include <memory>
#include <string>

#include "core/platform/service_link.h"

namespace horalign {

// The window's side of the service's control interface (control/posix/bus_names.h), without
// a blocking call after Connect: every question is sent and its answer handled when the bus
// descriptor says it is in. The face watches Fd() and calls Process() when it is readable
// and once TimeoutMs() has passed.
class ServiceBusLink final : public ServiceLink {
 public:
  // Connected when the service's name has an owner on the system bus, else nullptr.
  static std::unique_ptr<ServiceBusLink> Connect();
  ~ServiceBusLink() override;
  ServiceBusLink(const ServiceBusLink&) = delete;
  ServiceBusLink& operator=(const ServiceBusLink&) = delete;

  void Watch(Listener listener) override;
  void Ask(const ServiceRequest& request,
           std::function<void(const std::string& problem)> done) override;

  int Fd() const;
  // Handles what has arrived and the calls whose time is up.
  void Process();
  // Milliseconds until Process is due for a time-out, -1 for none.
  int TimeoutMs() const;

 private:
  explicit ServiceBusLink(sd_bus* bus, std::string owner);
  void ReadAll();
  void OnOwnerChanged(sd_bus_message* m);
  void AskOwner();
  void SetOwner(const std::string& owner);
  static int OnSignal(sd_bus_message* m, void* userdata, sd_bus_error*);
  static int OnOwner(sd_bus_message* m, void* userdata, sd_bus_error*);
  static int OnPorts(sd_bus_message* m, void* userdata, sd_bus_error*);
  static int OnSettings(sd_bus_message* m, void* userdata, sd_bus_error*);
  void Settings(sd_bus_message* m);

  sd_bus* bus_;
  std::string owner_;  // the unique name that has the service's name, "" while none has
  Listener listener_;
  sd_bus_slot* signals_ = nullptr;       // the interface's own
  sd_bus_slot* ownerSignals_ = nullptr;  // the name's changes of owner
};

}  // namespace horalign
