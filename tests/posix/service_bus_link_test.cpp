// The window's link to the service on a private bus: only the bus itself says who owns the
// service's name, and only that owner's rows are shown.
#include "control/posix/service_bus_link.h"

#include <poll.h>
#include <systemd/sd-bus.h>

#include "control/posix/bus_names.h"
#include "tests/posix/posix_rig.h"

namespace horalign {
namespace {

using namespace rig;

// On the bus DBUS_SYSTEM_BUS_ADDRESS names, as the link finds it.
sd_bus* Connect() {
  sd_bus* bus = nullptr;
  return sd_bus_open_system(&bus) >= 0 ? bus : nullptr;
}

std::string UniqueName(sd_bus* bus) {
  const char* name = "";
  sd_bus_get_unique_name(bus, &name);
  return name;
}

void SendRow(sd_bus* bus, const char* path) {
  sd_bus_emit_signal(bus, kBusPath, kBusInterface, "PortChanged", kRowSignature, 16, path, "No", "",
                     "", "N/A", "N/A", 0, "9600,N,8,1");
}

// NameOwnerChanged as the bus sends it, from a peer: broadcast, and to every other
// connection alone, which no match rule of theirs can keep out. Returns once the bus has
// routed them (it answers a call after what came before it).
void Forge(sd_bus* forger, const std::string& oldOwner, const std::string& newOwner) {
  char** names = nullptr;
  sd_bus_list_names(forger, &names, nullptr);
  std::vector<std::string> to{""};
  for (char** name = names; name && *name; ++name) {
    if (**name == ':' && *name != UniqueName(forger)) to.push_back(*name);
    free(*name);
  }
  free(names);
  for (const std::string& destination : to) {
    sd_bus_message* m = nullptr;
    sd_bus_message_new_signal(forger, &m, "/org/freedesktop/DBus", "org.freedesktop.DBus",
                              "NameOwnerChanged");
    sd_bus_message_append(m, "sss", kBusName, oldOwner.c_str(), newOwner.c_str());
    if (!destination.empty()) sd_bus_message_set_destination(m, destination.c_str());
    sd_bus_send(forger, m, nullptr);
    sd_bus_message_unref(m);
  }
  SendRow(forger, "/dev/forged");
  sd_bus_call_method(forger, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                     "org.freedesktop.DBus", "GetId", nullptr, nullptr, "");
}

TEST(ServiceBusLink, AForgedChangeOfTheServicesOwnerIsNotBelieved) {
  PrivateBus bus;
  ScopedEnv system("DBUS_SYSTEM_BUS_ADDRESS", bus.address);
  sd_bus* service = Connect();
  sd_bus* forger = Connect();
  ASSERT_TRUE(service && forger);
  ASSERT_GE(sd_bus_request_name(service, kBusName, 0), 0);
  const auto link = ServiceBusLink::Connect();
  ASSERT_TRUE(link);
  std::vector<std::string> heard;  // rows' paths, and "up" or the reason it went
  link->Watch(
      {.row = [&](const ServiceRow& row) { heard.push_back(row.path); },
       .settings = {},
       .availability = [&](bool up, const std::string& why) { heard.push_back(up ? "up" : why); }});
  // Runs both ends until the link has heard `last`, or 5 s have passed.
  const auto runUntil = [&](const std::string& last) {
    for (int i = 0; i < 100 && (heard.empty() || heard.back() != last); ++i) {
      while (sd_bus_process(service, nullptr) > 0) {
      }
      pollfd ready{link->Fd(), POLLIN, 0};
      ::poll(&ready, 1, 50);
      link->Process();
    }
    return heard;
  };
  const std::string serviceName = UniqueName(service);
  for (const std::string& newOwner : {std::string(), UniqueName(forger)}) {
    SCOPED_TRACE("forged new owner \"" + newOwner + "\"");
    heard.clear();
    Forge(forger, serviceName, newOwner);
    SendRow(service, "/dev/service");
    EXPECT_EQ(runUntil("/dev/service"), std::vector<std::string>{"/dev/service"});
  }
  // The bus's own word is taken, both ways.
  heard.clear();
  sd_bus_release_name(service, kBusName);
  EXPECT_EQ(runUntil("the service has stopped"),
            std::vector<std::string>{"the service has stopped"});
  heard.clear();
  sd_bus_request_name(service, kBusName, 0);
  EXPECT_EQ(runUntil("up"), std::vector<std::string>{"up"});
  sd_bus_flush_close_unref(forger);
  sd_bus_flush_close_unref(service);
}

}  // namespace
}  // namespace horalign
