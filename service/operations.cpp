#include "service/operations.h"

#include <chrono>
#include <cstdio>

#include "core/device/device_text.h"
#include "core/device/model_table.h"
#include "core/settings/app_config.h"
#include "core/settings/com_ports.h"
#include "core/settings/registry.h"
#include "core/ui/main_form.h"
#include "core/ui/port_list.h"
#include "service/headless_views.h"

namespace horalign {
namespace {

constexpr std::int32_t kQueryTimeoutTicks = 30;  // as the window reads a device's time

std::int64_t UtcMicrosNow() {
  using namespace std::chrono;
  return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

}  // namespace

Answer ServiceOperations::Run(const Request& r) {
  const auto port = static_cast<int>(r.port);
  switch (r.kind) {
    case RequestKind::kUpdate:
      return Update(port);
    case RequestKind::kUpdateAll:
      return UpdateAll();
    case RequestKind::kRead:
      return Read(port, r.flag);
    case RequestKind::kRescan:
      Form().RefreshPortList();
      return {};
    case RequestKind::kReload:
      return Reload();
    case RequestKind::kSetMode:
      return SetMode(static_cast<int>(r.number));
    case RequestKind::kSetActivePorts: {
      std::uint32_t mask = 0;
      for (std::int64_t p : r.ports) mask |= PortBit(static_cast<int>(p));
      return SetActivePorts(mask);
    }
    case RequestKind::kSetInterval:
      return SetInterval(static_cast<int>(r.number));
    case RequestKind::kSetPushOnTimeChange:
      return SetSwitch(kValuePushOnTimeChange, r.flag);
    case RequestKind::kSetVerifyWrites:
      return SetSwitch(kValueVerifyWrites, r.flag);
    case RequestKind::kSetPortPath:
      return SetPortPath(port, r.path);
    case RequestKind::kUpdateForced:
      return Update(port, true);
    case RequestKind::kSetPushOnlyWhenSynchronized:
      return SetSwitch(kValuePushOnlyWhenSynchronized, r.flag);
    case RequestKind::kSetMaxClockError:
      return SetMaxClockError(r.seconds);
    case RequestKind::kSetFeedTimeDaemon:
      return SetFeedTimeDaemon(r.flag);
    case RequestKind::kSetTimeDaemonSocket:
      return SetTimeDaemonSocket(r.path);
    default:
      return Answer::Refused(ErrorKind::kFailed, "a read is answered from the service's state");
  }
}

WriteResult ServiceOperations::WritePort(int port) {
  QV_MainForm& form = Form();
  p_.metrics.ForgetWrite(port);
  form.Sync().WriteTime(static_cast<std::int16_t>(port), p_.app.Config().VerifyWrites);
  const std::optional<HistoryEntry>& entry = p_.metrics.LastWrite(port);
  const bool ok = entry && entry->ok;
  const char* outcome = ok                                                      ? "updated"
                        : form.Ports().Active(port) == PortActive::kUnavailable ? "unavailable"
                        : form.Ports().Undetected(port)                         ? "no-device"
                                                                                : "failed";
  return WriteResult{port, outcome, form.Ports().Cell(port, kColStatus),
                     entry ? entry->msPastSecond : -1};
}

Answer ServiceOperations::Update(int port, bool force) {
  if (Form().Ports().Active(port) != PortActive::kYes) {
    return Answer::Refused(ErrorKind::kNotActive, NotActiveText(port));
  }
  // As Update Now asks in the window: a held clock is written only when the caller insists.
  if (const HoldReason hold = Form().HoldNow(); hold != HoldReason::kNone && !force) {
    return Answer::Refused(ErrorKind::kHeld, HoldText(hold));
  }
  Answer answer;
  answer.written.push_back(WritePort(port));
  return answer;
}

Answer ServiceOperations::UpdateAll() {
  // No forced form: a caller that insists names the ports (UpdateForced).
  if (const HoldReason hold = Form().HoldNow(); hold != HoldReason::kNone) {
    return Answer::Refused(ErrorKind::kHeld, HoldText(hold));
  }
  Answer answer;
  for (int port = 1; port <= kComPortCount; ++port) {
    if (Form().Ports().Active(port) == PortActive::kYes) answer.written.push_back(WritePort(port));
  }
  return answer;
}

Answer ServiceOperations::Read(int port, bool setPc) {
  QV_MainForm& form = Form();
  const auto id = static_cast<std::int16_t>(port);
  const PortDevice device = form.Ports().Device(port);
  if (form.Ports().Active(port) != PortActive::kYes) {
    return Answer::Refused(ErrorKind::kNotActive, NotActiveText(port));
  }
  if (!device.detected || form.Ports().Undetected(port)) {
    return Answer::Refused(ErrorKind::kFailed, form.Ports().Cell(port, kColStatus));
  }
  if (!SupportsTimeQuery(device.kind)) {
    return Answer::Refused(ErrorKind::kFailed,
                           "the " + device.model + " does not tell its time (QT)");
  }
  // The query as the window makes it: only a line that arrives during it is an answer.
  QV_Paging& paging = p_.app.Paging();
  paging.OpenPort(p_.app.SerialPort(), id, device.settings);
  const std::uint64_t linesBefore = paging.LinesReceived();
  ReadResult read;
  read.askedUtcUs = UtcMicrosNow();
  paging.QueryDevice("QT", "", 13, Frame::kPlain, kQueryTimeoutTicks, read.reply);
  if (paging.LinesReceived() == linesBefore) read.reply.clear();
  // The line goes on to clients as text: a device's noise must not break the bus's string
  // or reach a terminal (a valid time reply, with the CR that ends it, comes through as it is).
  const bool endsWithCr = !read.reply.empty() && read.reply.back() == '\r';
  read.reply =
      CleanDeviceText(std::string_view(read.reply).substr(0, read.reply.size() - endsWithCr)) +
      (endsWithCr ? "\r" : "");
  if (setPc && !read.reply.empty()) {
    form.Sync().ProcessTime(id, read.reply);
    read.status = form.Ports().Cell(port, kColStatus);
  }
  Answer answer;
  answer.read = std::move(read);
  return answer;
}

bool ServiceOperations::Save(const char* key, const std::string& name, const std::string& value) {
  return p_.registry.SetString(key, name, value);
}

Answer ServiceOperations::CannotWrite() const {
  return Answer::Refused(ErrorKind::kSettings, "cannot write " + p_.settingsName);
}

Answer ServiceOperations::SetMode(int mode) {
  AppConfig& config = p_.app.Config();
  // As in the window: a new mode starts with no port active.
  if (!Save(kConfigKey, kValueConnectionMode, std::to_string(mode)) ||
      !Save(kConfigKey, kValueUsedComPorts, "0")) {
    return CannotWrite();
  }
  if (mode != config.ConnectionMode) {
    config.ConnectionMode = static_cast<std::int16_t>(mode);
    p_.window.SetModeListIndex(mode - 1);
  }
  config.UsedComPorts = 0;
  Form().RefreshPortList();
  return {};
}

Answer ServiceOperations::SetActivePorts(std::uint32_t mask) {
  AppConfig& config = p_.app.Config();
  // The mode may have changed since the request was checked.
  if (config.ConnectionMode == kModePcFromDevice && (mask & (mask - 1)) != 0) {
    return Answer::Refused(ErrorKind::kInvalidArgs, kOneSourceText);
  }
  if (!Save(kConfigKey, kValueUsedComPorts, std::to_string(mask))) return CannotWrite();
  const auto before = static_cast<std::uint32_t>(config.UsedComPorts);
  config.UsedComPorts = static_cast<std::int32_t>(mask);
  // Off first, so that mode 2 never has two sources at once.
  for (int n : PortsOfMask(before & ~mask)) {
    Form().Connection().DisconnectDevice(static_cast<std::int16_t>(n));
  }
  for (int n : PortsOfMask(mask & ~before)) {
    Form().Connection().ConnectDevice(static_cast<std::int16_t>(n));
  }
  return {};
}

Answer ServiceOperations::SetInterval(int minutes) {
  if (!Save(kConfigKey, kValueUpdateInterval, std::to_string(minutes))) return CannotWrite();
  // The interval field is where the window takes it from.
  p_.window.SetIntervalText(std::to_string(minutes));
  Form().ApplyUpdateInterval();
  return {};
}

Answer ServiceOperations::SetSwitch(const char* name, bool on) {
  if (!Save(kConfigKey, name, on ? "1" : "0")) return CannotWrite();
  AppConfig& config = p_.app.Config();
  const std::string_view which = name;
  (which == kValueVerifyWrites               ? config.VerifyWrites
   : which == kValuePushOnlyWhenSynchronized ? config.PushOnlyWhenSynchronized
   : which == kValueFeedTimeDaemon           ? config.FeedTimeDaemon
                                             : config.PushOnTimeChange) = on;
  return {};
}

// Where no feed was given (Windows), mode 2 steps the clock whatever the setting says: a
// switch that would do nothing is refused rather than stored.
Answer ServiceOperations::SetFeedTimeDaemon(bool on) {
  if (on && !Form().Sync().FeedAvailable()) {
    return Answer::Refused(ErrorKind::kFailed, kNoTimeDaemonText);
  }
  Answer answer = SetSwitch(kValueFeedTimeDaemon, on);
  if (answer.Ok() && p_.feedSwitched) p_.feedSwitched();
  return answer;
}

Answer ServiceOperations::SetTimeDaemonSocket(const std::string& path) {
  if (!Save(kConfigKey, kValueTimeDaemonSocket, path)) return CannotWrite();
  p_.app.Config().TimeDaemonSocket = path;  // the feed reads it at its next sample
  return {};
}

Answer ServiceOperations::SetMaxClockError(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.9g", seconds);
  if (!Save(kConfigKey, kValueMaximumClockError, text)) return CannotWrite();
  p_.app.Config().MaxClockErrorSeconds = seconds;
  return {};
}

Answer ServiceOperations::SetPortPath(int port, const std::string& path) {
  // A blank value reads as no mapping: the port is back on its default path.
  if (!Save(kPortsKey, ComName(port), path)) return CannotWrite();
  // An active port moves to its new path at once.
  if (p_.app.Config().UsedComPorts & PortBit(port)) {
    Form().Connection().ConnectDevice(static_cast<std::int16_t>(port));
  }
  return {};
}

// The file read again, in place: a new mode scans afresh as in the window; otherwise only
// what changed is touched, so that no device the reload leaves as it was is dropped.
Answer ServiceOperations::Reload() {
  AppConfig& config = p_.app.Config();
  const AppConfig before = config;
  LoadConfig(p_.registry, config);
  if (p_.log) {
    p_.log(LogLevel::kInfo, "reload settings=" + LogValue(p_.settingsName) +
                                " mode=" + LogValue(ModeName(config.ConnectionMode)) +
                                " interval=" + std::to_string(config.UpdateInterval));
  }
  p_.window.SetIntervalText(std::to_string(config.UpdateInterval));
  Form().ApplyUpdateInterval();
  if (config.ConnectionMode != before.ConnectionMode) {
    p_.window.SetModeListIndex(config.ConnectionMode - 1);
    Form().RefreshPortList();
  } else {
    ReconnectChanged(static_cast<std::uint32_t>(before.UsedComPorts),
                     static_cast<std::uint32_t>(config.UsedComPorts));
  }
  return {};
}

void ServiceOperations::ReconnectChanged(std::uint32_t before, std::uint32_t now) {
  // Off first, so that mode 2 never has two sources at once.
  for (int n : PortsOfMask(before & ~now)) {
    Form().Connection().DisconnectDevice(static_cast<std::int16_t>(n));
  }
  for (int n : PortsOfMask(now)) {
    const bool moved = p_.knownPath && p_.portPath && p_.knownPath(n) != p_.portPath(n);
    if ((now & ~before & PortBit(n)) != 0 || moved) {
      Form().Connection().ConnectDevice(static_cast<std::int16_t>(n));
    }
  }
}

}  // namespace horalign
