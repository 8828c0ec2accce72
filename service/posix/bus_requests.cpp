// The control interface's operations: each runs in turn between the service's own, with the
// window locked as a user's action has it, and answers its caller when done. A caller that
// has gone meanwhile misses the answer and nothing else.
#include <chrono>
#include <string>

#include "control/posix/bus_names.h"
#include "core/device/model_table.h"
#include "core/settings/app_config.h"
#include "core/settings/registry.h"
#include "core/ui/port_list.h"
#include "service/posix/bus_service.h"

namespace horalign {
namespace {

constexpr std::int32_t kQueryTimeoutTicks = 30;  // as the window reads a device's time

std::int64_t UtcMicrosNow() {
  using namespace std::chrono;
  return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

void ReplyDone(sd_bus_message* call) {
  sd_bus_reply_method_return(call, nullptr);
}

}  // namespace

int BusService::WritePort(sd_bus_message* reply, int port) {
  QV_MainForm& form = Form();
  metrics_.ForgetWrite(port);
  form.Sync().WriteTime(static_cast<std::int16_t>(port), app_.Config().VerifyWrites);
  const std::optional<HistoryEntry>& entry = metrics_.LastWrite(port);
  const bool ok = entry && entry->ok;
  const char* outcome = ok                                                      ? "updated"
                        : form.Ports().Active(port) == PortActive::kUnavailable ? "unavailable"
                        : form.Ports().Undetected(port)                         ? "no-device"
                                                                                : "failed";
  return sd_bus_message_append(reply, "ssi", outcome, form.Ports().Cell(port, kColStatus).c_str(),
                               entry ? entry->msPastSecond : -1);
}

void BusService::DoUpdate(sd_bus_message* call, int port) {
  if (Form().Ports().Active(port) != PortActive::kYes) {
    sd_bus_reply_method_errorf(call, kErrorNotActive, "COM%d is not active in the service", port);
    return;
  }
  sd_bus_message* reply = nullptr;
  if (sd_bus_message_new_method_return(call, &reply) >= 0 && WritePort(reply, port) >= 0) {
    sd_bus_send(nullptr, reply, nullptr);
  }
  sd_bus_message_unref(reply);
}

void BusService::DoUpdateAll(sd_bus_message* call) {
  sd_bus_message* reply = nullptr;
  int r = sd_bus_message_new_method_return(call, &reply);
  if (r >= 0) r = sd_bus_message_open_container(reply, 'a', "(issi)");
  for (int port = 1; r >= 0 && port <= kPortRows; ++port) {
    if (Form().Ports().Active(port) != PortActive::kYes) continue;
    r = sd_bus_message_open_container(reply, 'r', "issi");
    if (r >= 0) r = sd_bus_message_append(reply, "i", port);
    if (r >= 0) r = WritePort(reply, port);
    if (r >= 0) r = sd_bus_message_close_container(reply);
  }
  if (r >= 0) r = sd_bus_message_close_container(reply);
  if (r >= 0) sd_bus_send(nullptr, reply, nullptr);
  sd_bus_message_unref(reply);
}

void BusService::DoRead(sd_bus_message* call, int port, bool setPc) {
  QV_MainForm& form = Form();
  const auto id = static_cast<std::int16_t>(port);
  const PortDevice device = form.Ports().Device(port);
  if (form.Ports().Active(port) != PortActive::kYes) {
    sd_bus_reply_method_errorf(call, kErrorNotActive, "COM%d is not active in the service", port);
    return;
  }
  if (!device.detected || form.Ports().Undetected(port)) {
    sd_bus_reply_method_errorf(call, kErrorFailed, "%s",
                               form.Ports().Cell(port, kColStatus).c_str());
    return;
  }
  if (!SupportsTimeQuery(device.kind)) {
    sd_bus_reply_method_errorf(call, kErrorFailed, "the %s does not tell its time (QT)",
                               device.model.c_str());
    return;
  }
  // The query as the window makes it: only a line that arrives during it is an answer.
  QV_Paging& paging = app_.Paging();
  paging.OpenPort(app_.SerialPort(), id, device.settings);
  const std::uint64_t linesBefore = paging.LinesReceived();
  const std::int64_t askedUs = UtcMicrosNow();
  std::string reply;
  paging.QueryDevice("QT", "", 13, Frame::kPlain, kQueryTimeoutTicks, reply);
  if (paging.LinesReceived() == linesBefore) reply.clear();
  std::string status;
  if (setPc && !reply.empty()) {
    form.Sync().ProcessTime(id, reply);
    status = form.Ports().Cell(port, kColStatus);
  }
  sd_bus_reply_method_return(call, "sxs", reply.c_str(), static_cast<std::int64_t>(askedUs),
                             status.c_str());
}

void BusService::DoRescan(sd_bus_message* call) {
  Form().RefreshPortList();
  ReplyDone(call);
}

bool BusService::SaveConfig(const char* name, const std::string& value) {
  return registry_.SetString(kConfigKey, name, value);
}

void BusService::DoSetMode(sd_bus_message* call, int mode) {
  AppConfig& config = app_.Config();
  // As in the window: a new mode starts with no port active.
  if (!SaveConfig(kValueConnectionMode, std::to_string(mode)) ||
      !SaveConfig(kValueUsedComPorts, "0")) {
    sd_bus_reply_method_errorf(call, kErrorSettings, "cannot write %s", settingsPath_.c_str());
    return;
  }
  if (mode != config.ConnectionMode) {
    config.ConnectionMode = static_cast<std::int16_t>(mode);
    window_.SetModeListIndex(mode - 1);
  }
  config.UsedComPorts = 0;
  Form().RefreshPortList();
  ReplyDone(call);
}

void BusService::DoSetActivePorts(sd_bus_message* call, std::int32_t mask) {
  AppConfig& config = app_.Config();
  if (config.ConnectionMode == kModePcFromDevice && (mask & (mask - 1)) != 0) {
    sd_bus_reply_method_errorf(call, kErrorInvalidArgs,
                               "Only one device can be used to synchronize the PC time.");
    return;
  }
  if (!SaveConfig(kValueUsedComPorts, std::to_string(mask))) {
    sd_bus_reply_method_errorf(call, kErrorSettings, "cannot write %s", settingsPath_.c_str());
    return;
  }
  const std::int32_t before = config.UsedComPorts;
  config.UsedComPorts = mask;
  // Off first, so that mode 2 never has two sources at once.
  for (int n = 1; n <= kPortRows; ++n) {
    if ((before & ~mask) & (1 << (n - 1))) {
      Form().Connection().DisconnectDevice(static_cast<std::int16_t>(n));
    }
  }
  for (int n = 1; n <= kPortRows; ++n) {
    if ((mask & ~before) & (1 << (n - 1))) {
      Form().Connection().ConnectDevice(static_cast<std::int16_t>(n));
    }
  }
  ReplyDone(call);
}

void BusService::DoSetInterval(sd_bus_message* call, int minutes) {
  if (!SaveConfig(kValueUpdateInterval, std::to_string(minutes))) {
    sd_bus_reply_method_errorf(call, kErrorSettings, "cannot write %s", settingsPath_.c_str());
    return;
  }
  // The interval field is where the window takes it from.
  window_.SetIntervalText(std::to_string(minutes));
  Form().ApplyUpdateInterval();
  ReplyDone(call);
}

void BusService::DoSetSwitch(sd_bus_message* call, const char* name, bool on) {
  if (!SaveConfig(name, on ? "1" : "0")) {
    sd_bus_reply_method_errorf(call, kErrorSettings, "cannot write %s", settingsPath_.c_str());
    return;
  }
  AppConfig& config = app_.Config();
  (std::string_view(name) == kValueVerifyWrites ? config.VerifyWrites : config.PushOnTimeChange) =
      on;
  ReplyDone(call);
}

void BusService::DoSetPortPath(sd_bus_message* call, int port, const std::string& path) {
  // A blank value reads as no mapping: the port is back on its default path.
  if (!registry_.SetString(kPortsKey, "COM" + std::to_string(port), path)) {
    sd_bus_reply_method_errorf(call, kErrorSettings, "cannot write %s", settingsPath_.c_str());
    return;
  }
  // An active port moves to its new path at once.
  if (app_.Config().UsedComPorts & (1 << (port - 1))) {
    Form().Connection().ConnectDevice(static_cast<std::int16_t>(port));
  }
  ReplyDone(call);
}

void BusService::DoReload(sd_bus_message* call) {
  AppConfig& config = app_.Config();
  LoadConfig(registry_, config);
  LogLine(log_, "reload settings=" + LogValue(settingsPath_) +
                    " mode=" + std::to_string(config.ConnectionMode) +
                    " interval=" + std::to_string(config.UpdateInterval));
  window_.SetModeListIndex(config.ConnectionMode - 1);
  window_.SetIntervalText(std::to_string(config.UpdateInterval));
  Form().ApplyUpdateInterval();
  Form().RefreshPortList();
  ReplyDone(call);
}

}  // namespace horalign
