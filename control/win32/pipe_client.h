#pragma once

#include "platform/win32/win32_api.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "cli/system.h"
#include "control/json_read.h"

namespace horalign {

// The command line's side of the service's named pipe (service/pipe_control.h): the same
// questions as its Linux counterpart in cli/bus_client.h asks on the system bus.
class ServiceClient final : public RunningService {
 public:
  using Device = ServiceDevice;
  using Settings = ServiceSettingsRead;

  // Connected when the service serves its pipe, else nullptr.
  static std::unique_ptr<ServiceClient> Connect();
  // Why Connect() found none.
  static std::string NotRunning();
  ~ServiceClient() override;

  // Each returns an exit code; Problem() says why on anything but kExitOk.
  int Rows(std::vector<Row>& rows);
  int Devices(std::vector<Device>& devices);
  int GetSettings(Settings& settings);
  // Sends a request that changes a number (SetMode "mode", SetInterval "minutes").
  int Change(const char* request, const char* member, int number);
  int SetActivePorts(const std::vector<int>& ports);

  const Row* Owned(int port) override;
  int Update(int port, Written& written) override;
  int Read(int port, bool setPc, Answer& answer) override;
  const std::string& Problem() const override { return problem_; }

 private:
  explicit ServiceClient(HANDLE pipe) : pipe_(pipe) {}
  // Sends `request` (a JSON object's text) and takes its answer within `timeoutMs`.
  int Call(const std::string& request, DWORD timeoutMs, JsonValue& answer);
  bool Transfer(bool write, char* data, DWORD size, DWORD timeoutMs, DWORD& done);

  HANDLE pipe_;
  std::string pending_;  // read past the last answer's line break
  std::vector<Row> rows_;
  bool rowsRead_ = false;
  std::string problem_;
};

}  // namespace horalign
