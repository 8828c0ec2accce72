// The control interface's lines: each request is read, refused at once when it is wrong,
// and either answered or queued; the operations mirror cli/bus_requests.cpp.
#include "service/pipe_control.h"

#include <chrono>
#include <cmath>
#include <cstdio>

#include "control/json_text.h"
#include "core/device/model_table.h"
#include "core/settings/app_config.h"
#include "core/settings/registry.h"
#include "core/ui/port_list.h"

namespace horalign {
namespace {

constexpr int kQueuePollMs = 50;
constexpr std::int32_t kQueryTimeoutTicks = 30;  // as the window reads a device's time

// The errors, by name: the request is no JSON object, names no request we know, has a
// wrong value, comes from a client that may not change, is for a port the service does
// not have active, was not done by the device, or could not be saved.
constexpr const char* kBadRequest = "BadRequest";
constexpr const char* kUnknownRequest = "UnknownRequest";
constexpr const char* kInvalidArgs = "InvalidArgs";
constexpr const char* kAccessDenied = "AccessDenied";
constexpr const char* kNotActive = "NotActive";
constexpr const char* kFailed = "Failed";
constexpr const char* kSettings = "Settings";

std::int64_t UtcMicrosNow() {
  using namespace std::chrono;
  return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

// An object's members without its braces, to be joined to others.
std::string Members(const JsonObject& o) {
  const std::string text = o.Text();
  return text.size() > 2 ? text.substr(1, text.size() - 2) : "";
}

std::string Error(const char* name, const std::string& message) {
  return Members(JsonObject().Add("ok", false).Add("error", name).Add("message", message));
}

std::string Done(const JsonObject& more = {}) {
  const std::string rest = Members(more);
  return "\"ok\": true" + (rest.empty() ? "" : ", " + rest);
}

std::string Number(double value) {
  if (std::isnan(value)) return "null";
  char text[48];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

std::string OrNull(const std::optional<double>& value) {
  return value ? Number(*value) : "null";
}

std::string NoSuchPort(double port) {
  return "no port " + Number(port) + ": the ports are 1 (COM1) to 16";
}

// An argument of a request: present, of its type, and in range, else `why` says what is
// wrong with it.
bool WholeArg(const JsonValue& request, const char* name, int low, int high, int& out,
              std::string& why) {
  const JsonValue* value = request.Find(name);
  if (value == nullptr) {
    why = std::string("\"") + name + "\" is missing";
  } else if (!value->IsWholeNumber()) {
    why = std::string("\"") + name + "\" is not a whole number";
  } else if (value->number < low || value->number > high) {
    why = std::string("\"") + name + "\" is out of range (" + std::to_string(low) + " to " +
          std::to_string(high) + ")";
  } else {
    out = static_cast<int>(value->number);
    return true;
  }
  return false;
}

bool BoolArg(const JsonValue& request, const char* name, bool optional, bool& out,
             std::string& why) {
  const JsonValue* value = request.Find(name);
  if (value == nullptr && optional) return true;
  if (value == nullptr || value->type != JsonValue::Type::kBool) {
    why = std::string("\"") + name + "\" is " + (value ? "not true or false" : "missing");
    return false;
  }
  out = value->boolean;
  return true;
}

}  // namespace

PipeControl::PipeControl(Application& app, MainWindowView& window, RegistryStore& registry,
                         MetricsHistory& metrics, EventLoop& loop, std::string settingsName,
                         PortPath path, Send send)
    : app_(app),
      window_(window),
      registry_(registry),
      metrics_(metrics),
      loop_(loop),
      settingsName_(std::move(settingsName)),
      path_(std::move(path)),
      send_(std::move(send)),
      tmrQueue_(loop_.CreateTimer(kQueuePollMs, false, [this] { RunQueued(); })) {}

void PipeControl::Reply(int client, const std::string& id, const std::string& members) {
  if (gone_.count(client)) return;
  send_(client, "{" + (id.empty() ? "" : "\"id\": " + id + ", ") + members + "}");
}

void PipeControl::Refuse(int client, const std::string& id, const char* error,
                         const std::string& message) {
  Reply(client, id, Error(error, message));
}

void PipeControl::TooLong(int client, std::size_t limit) {
  Refuse(client, "", kBadRequest,
         "the line is longer than " + std::to_string(limit) + " bytes: one request a line");
}

void PipeControl::Gone(int client) {
  watching_.erase(client);
  // Its queued operations still run, as a caller that leaves the bus does not undo them.
  for (const Queued& q : queue_) {
    if (q.client == client) {
      gone_.insert(client);
      return;
    }
  }
}

void PipeControl::Take(int client, const std::string& line, bool mayChange) {
  gone_.erase(client);
  std::string error;
  const std::optional<JsonValue> parsed = ParseJson(line, error);
  if (!parsed) return Refuse(client, "", kBadRequest, "not JSON: " + error);
  if (parsed->type != JsonValue::Type::kObject) {
    return Refuse(client, "", kBadRequest, "a request is a JSON object");
  }
  const JsonValue& request = *parsed;
  std::string id;
  if (const JsonValue* given = request.Find("id")) {
    if (given->type == JsonValue::Type::kString) {
      id = JsonString(given->text);
    } else if (given->IsWholeNumber()) {
      id = Number(given->number);
    } else {
      return Refuse(client, "", kBadRequest, "\"id\" is a number or a string");
    }
  }
  const JsonValue* nameValue = request.Find("request");
  if (nameValue == nullptr || nameValue->type != JsonValue::Type::kString) {
    return Refuse(client, id, kBadRequest, "\"request\" names the request, as a string");
  }
  const std::string& name = nameValue->text;
  if (app_.MainForm() == nullptr) return Refuse(client, id, kFailed, "the service is starting");

  // What reads is answered at once, also in the middle of an operation.
  if (name == "GetPorts") return Reply(client, id, Done(JsonObject().Raw("ports", RowsJson())));
  if (name == "GetDevices") {
    return Reply(client, id, Done(JsonObject().Raw("devices", DevicesJson())));
  }
  if (name == "GetSettings") {
    return Reply(client, id, Done(JsonObject().Raw("settings", SettingsJson())));
  }
  if (name == "Watch") {
    watching_.insert(client);
    return Reply(client, id,
                 Done(JsonObject().Raw("ports", RowsJson()).Raw("settings", SettingsJson())));
  }

  std::string why;
  int number = 0;
  bool flag = false;
  Work work;
  bool changes = true;
  if (name == "Update") {
    if (!WholeArg(request, "port", 1, kPortRows, number, why)) {
      const JsonValue* port = request.Find("port");
      if (port && port->IsWholeNumber()) why = NoSuchPort(port->number);
    }
    work = [this, number](std::string& r) { DoUpdate(r, number); };
  } else if (name == "UpdateAll") {
    work = [this](std::string& r) { DoUpdateAll(r); };
  } else if (name == "Read") {
    if (WholeArg(request, "port", 1, kPortRows, number, why)) {
      BoolArg(request, "setPc", true, flag, why);
    } else if (const JsonValue* port = request.Find("port"); port && port->IsWholeNumber()) {
      why = NoSuchPort(port->number);
    }
    // Only setting the PC clock needs the right; a read runs in turn all the same.
    changes = flag;
    work = [this, number, flag](std::string& r) { DoRead(r, number, flag); };
  } else if (name == "Rescan") {
    work = [this](std::string& r) {
      Form().RefreshPortList();
      r = Done();
    };
  } else if (name == "Reload") {
    work = [this](std::string& r) { DoReload(r); };
  } else if (name == "SetMode") {
    if (!WholeArg(request, "mode", kModeNone, kModePcFromDevice, number, why) &&
        why.find("range") != std::string::npos) {
      why = "no mode " + Number(request.Find("mode")->number) + ": the modes are 0, 1 and 2";
    }
    work = [this, number](std::string& r) { DoSetMode(r, number); };
  } else if (name == "SetActivePorts") {
    const JsonValue* ports = request.Find("ports");
    std::int32_t mask = 0;
    int count = 0;
    if (ports == nullptr || ports->type != JsonValue::Type::kArray) {
      why = "\"ports\" is a list of port numbers";
    } else {
      for (const JsonValue& port : ports->items) {
        if (!port.IsWholeNumber()) {
          why = "\"ports\" is a list of port numbers";
        } else if (port.number < 1 || port.number > kPortRows) {
          why = NoSuchPort(port.number);
        } else {
          const auto bit = std::int32_t{1} << (static_cast<int>(port.number) - 1);
          count += (mask & bit) == 0;
          mask |= bit;
          continue;
        }
        break;
      }
    }
    if (why.empty() && app_.Config().ConnectionMode == kModePcFromDevice && count > 1) {
      why = "Only one device can be used to synchronize the PC time.";
    }
    work = [this, mask](std::string& r) { DoSetActivePorts(r, mask); };
  } else if (name == "SetInterval") {
    if (!WholeArg(request, "minutes", 60, 9999, number, why) &&
        why.find("missing") == std::string::npos) {
      why = "the update interval is a whole number of minutes from 60 to 9999";
    }
    work = [this, number](std::string& r) { DoSetInterval(r, number); };
  } else if (name == "SetPushOnTimeChange" || name == "SetVerifyWrites") {
    BoolArg(request, "on", false, flag, why);
    const char* value = name == "SetVerifyWrites" ? kValueVerifyWrites : kValuePushOnTimeChange;
    work = [this, value, flag](std::string& r) { DoSetSwitch(r, value, flag); };
  } else if (name == "SetPortPath") {
    return Refuse(client, id, kUnknownRequest,
                  "SetPortPath is for Linux: Windows names its COM ports itself");
  } else {
    return Refuse(client, id, kUnknownRequest, "no request \"" + name + "\"");
  }
  if (!why.empty()) return Refuse(client, id, kInvalidArgs, why);
  if (changes && !mayChange) {
    return Refuse(client, id, kAccessDenied, name + " needs an administrator");
  }
  Enqueue(client, id, std::move(work));
}

void PipeControl::Enqueue(int client, const std::string& id, Work work) {
  queue_.push_back({client, id, std::move(work)});
  tmrQueue_->SetEnabled(true);
}

void PipeControl::RunQueued() {
  if (running_ || queue_.empty() || app_.MainForm() == nullptr) return;
  Queued next = std::move(queue_.front());
  queue_.pop_front();
  running_ = true;
  std::string reply;
  const bool ran = Form().RunRequest([&] { next.work(reply); });
  running_ = false;
  if (!ran) {
    queue_.push_front(std::move(next));
    return;
  }
  Reply(next.client, next.id, reply);
  bool pending = false;
  for (const Queued& q : queue_) pending = pending || q.client == next.client;
  if (!pending) gone_.erase(next.client);
  tmrQueue_->SetEnabled(!queue_.empty());
}

void PipeControl::RowChanged(int port) {
  if (watching_.empty() || app_.MainForm() == nullptr) return;
  const std::string line =
      JsonObject().Add("event", "PortChanged").Raw("row", RowJson(port)).Text();
  for (int client : watching_) send_(client, line);
}

void PipeControl::SettingsChanged() {
  const std::string line =
      JsonObject().Add("event", "SettingsChanged").Raw("settings", SettingsJson()).Text();
  for (int client : watching_) send_(client, line);
}

std::string PipeControl::RowJson(int port) {
  const PortListModel& rows = Form().Ports();
  const PortDevice device = rows.Device(port);
  return JsonObject()
      .Add("port", port)
      .Add("path", path_(port))
      .Add("active", rows.Cell(port, kColActive))
      .Add("status", rows.Cell(port, kColStatus))
      .Add("statusTime", rows.Cell(port, kColStatusTime))
      .Add("device", rows.Cell(port, kColDevice))
      .Add("sn", rows.Cell(port, kColSerial))
      .Add("detected", device.detected && !rows.Undetected(port))
      .Add("settings", rows.Cell(port, kColSettings))
      .Text();
}

std::string PipeControl::RowsJson() {
  std::vector<std::string> rows;
  for (int port = 1; port <= kPortRows; ++port) rows.push_back(RowJson(port));
  return JsonArray(rows);
}

std::string PipeControl::DevicesJson() {
  QV_MainForm& form = Form();
  std::vector<std::string> devices;
  for (int port = 1; port <= kPortRows; ++port) {
    const PortDevice device = form.Ports().Device(port);
    if (!device.detected || form.Ports().Undetected(port) || device.model.empty()) continue;
    DeviceFigures f = metrics_.Figures(port);
    if (f.model != device.model || f.serial != device.serial) f = {};
    const auto drift = form.Sync().Drift().DriftPerDay(device.model, device.serial);
    devices.push_back(JsonObject()
                          .Add("port", port)
                          .Add("model", device.model)
                          .Add("sn", device.serial)
                          .Add("lastSuccessUtcMs", f.lastSuccessUtcMs)
                          .Raw("lastOffset", OrNull(f.lastOffset))
                          .Raw("drift", OrNull(drift))
                          .Add("failedUpdates", std::int64_t{f.failedUpdates})
                          .Text());
  }
  return JsonArray(devices);
}

std::string PipeControl::SettingsJson() {
  const AppConfig& config = app_.Config();
  std::vector<std::string> active;
  for (int port = 1; port <= kPortRows; ++port) {
    if (config.UsedComPorts & (1 << (port - 1))) active.push_back(std::to_string(port));
  }
  return JsonObject()
      .Add("mode", int{config.ConnectionMode})
      .Raw("activePorts", JsonArray(active))
      .Add("interval", int{config.UpdateInterval})
      .Add("pushOnTimeChange", bool{config.PushOnTimeChange})
      .Add("verifyWrites", bool{config.VerifyWrites})
      .Add("settings", settingsName_)
      .Text();
}

std::string PipeControl::WritePort(int port) {
  QV_MainForm& form = Form();
  metrics_.ForgetWrite(port);
  form.Sync().WriteTime(static_cast<std::int16_t>(port), app_.Config().VerifyWrites);
  const std::optional<HistoryEntry>& entry = metrics_.LastWrite(port);
  const bool ok = entry && entry->ok;
  const char* outcome = ok                                                      ? "updated"
                        : form.Ports().Active(port) == PortActive::kUnavailable ? "unavailable"
                        : form.Ports().Undetected(port)                         ? "no-device"
                                                                                : "failed";
  return Members(JsonObject()
                     .Add("outcome", outcome)
                     .Add("status", form.Ports().Cell(port, kColStatus))
                     .Add("msPastSecond", entry ? entry->msPastSecond : -1));
}

void PipeControl::DoUpdate(std::string& reply, int port) {
  if (Form().Ports().Active(port) != PortActive::kYes) {
    reply = Error(kNotActive, "COM" + std::to_string(port) + " is not active in the service");
    return;
  }
  reply = Done().append(", ").append(WritePort(port));
}

void PipeControl::DoUpdateAll(std::string& reply) {
  std::vector<std::string> written;
  for (int port = 1; port <= kPortRows; ++port) {
    if (Form().Ports().Active(port) != PortActive::kYes) continue;
    written.push_back("{\"port\": " + std::to_string(port) + ", " + WritePort(port) + "}");
  }
  reply = Done(JsonObject().Raw("written", JsonArray(written)));
}

void PipeControl::DoRead(std::string& reply, int port, bool setPc) {
  QV_MainForm& form = Form();
  const auto id = static_cast<std::int16_t>(port);
  const PortDevice device = form.Ports().Device(port);
  if (form.Ports().Active(port) != PortActive::kYes) {
    reply = Error(kNotActive, "COM" + std::to_string(port) + " is not active in the service");
    return;
  }
  if (!device.detected || form.Ports().Undetected(port)) {
    reply = Error(kFailed, form.Ports().Cell(port, kColStatus));
    return;
  }
  if (!SupportsTimeQuery(device.kind)) {
    reply = Error(kFailed, "the " + device.model + " does not tell its time (QT)");
    return;
  }
  // The query as the window makes it: only a line that arrives during it is an answer.
  QV_Paging& paging = app_.Paging();
  paging.OpenPort(app_.SerialPort(), id, device.settings);
  const std::uint64_t linesBefore = paging.LinesReceived();
  const std::int64_t askedUs = UtcMicrosNow();
  std::string line;
  paging.QueryDevice("QT", "", 13, Frame::kPlain, kQueryTimeoutTicks, line);
  if (paging.LinesReceived() == linesBefore) line.clear();
  std::string status;
  if (setPc && !line.empty()) {
    form.Sync().ProcessTime(id, line);
    status = form.Ports().Cell(port, kColStatus);
  }
  reply = Done(JsonObject().Add("reply", line).Add("askedUtcUs", askedUs).Add("status", status));
}

bool PipeControl::SaveConfig(const char* name, const std::string& value) {
  return registry_.SetString(kConfigKey, name, value);
}

void PipeControl::DoSetMode(std::string& reply, int mode) {
  AppConfig& config = app_.Config();
  // As in the window: a new mode starts with no port active.
  if (!SaveConfig(kValueConnectionMode, std::to_string(mode)) ||
      !SaveConfig(kValueUsedComPorts, "0")) {
    reply = Error(kSettings, "cannot write " + settingsName_);
    return;
  }
  if (mode != config.ConnectionMode) {
    config.ConnectionMode = static_cast<std::int16_t>(mode);
    window_.SetModeListIndex(mode - 1);
  }
  config.UsedComPorts = 0;
  Form().RefreshPortList();
  reply = Done();
  SettingsChanged();
}

void PipeControl::DoSetActivePorts(std::string& reply, std::int32_t mask) {
  AppConfig& config = app_.Config();
  if (config.ConnectionMode == kModePcFromDevice && (mask & (mask - 1)) != 0) {
    reply = Error(kInvalidArgs, "Only one device can be used to synchronize the PC time.");
    return;
  }
  if (!SaveConfig(kValueUsedComPorts, std::to_string(mask))) {
    reply = Error(kSettings, "cannot write " + settingsName_);
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
  reply = Done();
  SettingsChanged();
}

void PipeControl::DoSetInterval(std::string& reply, int minutes) {
  if (!SaveConfig(kValueUpdateInterval, std::to_string(minutes))) {
    reply = Error(kSettings, "cannot write " + settingsName_);
    return;
  }
  // The interval field is where the window takes it from.
  window_.SetIntervalText(std::to_string(minutes));
  Form().ApplyUpdateInterval();
  reply = Done();
  SettingsChanged();
}

void PipeControl::DoSetSwitch(std::string& reply, const char* name, bool on) {
  if (!SaveConfig(name, on ? "1" : "0")) {
    reply = Error(kSettings, "cannot write " + settingsName_);
    return;
  }
  AppConfig& config = app_.Config();
  (std::string_view(name) == kValueVerifyWrites ? config.VerifyWrites : config.PushOnTimeChange) =
      on;
  reply = Done();
  SettingsChanged();
}

void PipeControl::DoReload(std::string& reply) {
  AppConfig& config = app_.Config();
  LoadConfig(registry_, config);
  window_.SetModeListIndex(config.ConnectionMode - 1);
  window_.SetIntervalText(std::to_string(config.UpdateInterval));
  Form().ApplyUpdateInterval();
  Form().RefreshPortList();
  reply = Done();
  SettingsChanged();
}

}  // namespace horalign
