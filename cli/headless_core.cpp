#include "cli/headless_core.h"

#include <chrono>

#include "core/ui/port_list.h"
#include "core/ui/text_format.h"

namespace horalign {

std::int64_t RealtimeUs() {
  using namespace std::chrono;
  return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

int TimedSerial::CommWrite(CommHandle handle, std::string_view bytes) {
  const std::int64_t startUs = RealtimeUs();
  lastWriteUs_ = startUs;
  if (bytes.starts_with("T") || bytes.starts_with("PT")) timeCommandUs_ = startUs;
  return inner_.CommWrite(handle, bytes);
}

HeadlessCore::HeadlessCore(const std::string& settingsPath, bool logRows)
    : system(OpenCliSystem(settingsPath)),
      registry(system->Settings()),
      clock(system->PcClock()),
      loop(system->Loop()),
      form(ProgramParts{Platform{registry, serial, clock, loop, instance, view, pointer, dialog,
                                 loadingView, nullptr, nullptr, system->ClockSync()},
                        config, delayTicks, serialPort, paging, messages, loading}) {
  view.logRows = logRows;
  LoadConfig(registry, config);
  for (int n = 1; n <= kPortRows; ++n) form.Ports().AddRow(n);
}

bool HeadlessCore::Connect(int port) {
  const auto id = static_cast<std::int16_t>(port);
  form.Connection().OpenPortDefault(id);
  if (!serialPort.PortOpen()) {
    form.Connection().MarkPortUnavailable(id);
    return false;
  }
  return form.Connection().ConnectDevice(id);
}

}  // namespace horalign
