#include "cli/headless_core.h"

#include <time.h>

#include "core/ui/port_list.h"
#include "core/ui/text_format.h"

namespace horalign {

std::int64_t RealtimeUs() {
  timespec t{};
  ::clock_gettime(CLOCK_REALTIME, &t);
  return std::int64_t{t.tv_sec} * 1'000'000 + t.tv_nsec / 1000;
}

int TimedSerial::Write(CommHandle handle, std::string_view bytes) {
  const std::int64_t startUs = RealtimeUs();
  lastWriteUs_ = startUs;
  if (bytes.starts_with("T") || bytes.starts_with("PT")) timeCommandUs_ = startUs;
  return inner_.Write(handle, bytes);
}

HeadlessCore::HeadlessCore(const std::string& settingsPath, bool logRows)
    : registry(settingsPath),
      form(MainFormDeps{config, registry, clock, loop, serialPort, paging, delayTicks, view,
                        pointer, messages, loading}) {
  view.logRows = logRows;
  LoadConfig(registry, config);
  for (int n = 1; n <= kPortRows; ++n) form.Ports().AddRow(ZeroPad(n, 2));
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
