#pragma once

#include <systemd/sd-bus.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "cli/system.h"

namespace horalign {

struct BusReply {
  sd_bus_message* m = nullptr;
  ~BusReply() { sd_bus_message_unref(m); }
};
struct BusError {
  sd_bus_error e{};  // SD_BUS_ERROR_NULL is a C compound literal, foreign to C++
  ~BusError() { sd_bus_error_free(&e); }
};

// The command line's side of the service's control interface (control/posix/bus_names.h).
class ServiceClient final : public RunningService {
 public:
  using Device = ServiceDevice;
  using Settings = ServiceSettingsRead;

  // Connected when the service's name has an owner on the system bus, else nullptr.
  static std::unique_ptr<ServiceClient> Connect();
  ~ServiceClient() override;

  // Each returns an exit code; Problem() says why on anything but kExitOk.
  int Rows(std::vector<Row>& rows);
  int Devices(std::vector<Device>& devices);
  int GetSettings(Settings& settings);
  // Calls a method that takes a number and returns nothing (SetMode, SetInterval, ...).
  int Change(const char* method, int number);
  int SetPortPath(int port, const std::string& path);
  int SetActivePorts(const std::vector<int>& ports);

  const Row* Owned(int port) override;
  int Update(int port, Written& written) override;
  int Read(int port, bool setPc, Answer& answer) override;
  const std::string& Problem() const override { return problem_; }

 private:
  explicit ServiceClient(sd_bus* bus) : bus_(bus) {}
  // Calls `method` on the service, waiting as long as device work and polkit may take.
  template <typename... Values>
  int Call(const char* method, BusError& error, BusReply& reply, const char* types,
           Values... values);
  // The exit code for a failed call, and the problem's text.
  int Failed(const sd_bus_error& error, int r);

  sd_bus* bus_;
  std::vector<Row> rows_;
  bool rowsRead_ = false;
  std::string problem_;
};

}  // namespace horalign
