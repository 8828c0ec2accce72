// The control interface's table and its reading methods; the operations are in
// cli/bus_requests.cpp.
#include "service/posix/bus_service.h"

#include <limits.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "control/posix/bus_names.h"
#include "control/posix/polkit_check.h"
#include "core/settings/app_config.h"
#include "core/settings/registry.h"
#include "platform/posix/posix_serial.h"

namespace horalign {
namespace {

constexpr int kQueuePollMs = 50;

bool IsPort(int port) {
  return port >= 1 && port <= kPortRows;
}

int NoSuchPort(sd_bus_error* error, int port) {
  return sd_bus_error_setf(error, kErrorInvalidArgs, "no port %d: the ports are 1 (COM1) to 16",
                           port);
}

// The settings file as its clients name it, whatever the service's working folder.
std::string AbsolutePath(const std::string& path) {
  if (path.empty() || path[0] == '/') return path;
  char folder[PATH_MAX];
  return ::getcwd(folder, sizeof folder) != nullptr ? std::string(folder) + "/" + path : path;
}

double OrNan(const std::optional<double>& value) {
  return value ? *value : std::numeric_limits<double>::quiet_NaN();
}

}  // namespace

// The table's handlers: each reads its arguments, refuses what is wrong at once, and
// either answers or hands the operation to the queue.
struct BusMethods {
  static BusService& Of(void* userdata) { return *static_cast<BusService*>(userdata); }

  static int GetPorts(sd_bus_message* call, void* userdata, sd_bus_error*) {
    BusService& s = Of(userdata);
    sd_bus_message* reply = nullptr;
    int r = sd_bus_message_new_method_return(call, &reply);
    if (r >= 0) r = sd_bus_message_open_container(reply, 'a', "(issssssbs)");
    for (int port = 1; r >= 0 && port <= kPortRows; ++port) {
      r = sd_bus_message_open_container(reply, 'r', kRowSignature);
      if (r >= 0) r = s.AppendRow(reply, port);
      if (r >= 0) r = sd_bus_message_close_container(reply);
    }
    if (r >= 0) r = sd_bus_message_close_container(reply);
    if (r >= 0) r = sd_bus_send(nullptr, reply, nullptr);
    sd_bus_message_unref(reply);
    return r;
  }

  static int GetDevices(sd_bus_message* call, void* userdata, sd_bus_error*) {
    BusService& s = Of(userdata);
    QV_MainForm& form = s.Form();
    sd_bus_message* reply = nullptr;
    int r = sd_bus_message_new_method_return(call, &reply);
    if (r >= 0) r = sd_bus_message_open_container(reply, 'a', "(issxddu)");
    for (int port = 1; r >= 0 && port <= kPortRows; ++port) {
      const PortDevice device = form.Ports().Device(port);
      if (!device.detected || form.Ports().Undetected(port) || device.model.empty()) continue;
      DeviceFigures f = s.metrics_.Figures(port);
      if (f.model != device.model || f.serial != device.serial) f = {};
      const auto drift = form.Sync().Drift().DriftPerDay(device.model, device.serial);
      r = sd_bus_message_append(reply, "(issxddu)", port, device.model.c_str(),
                                device.serial.c_str(),
                                static_cast<std::int64_t>(f.lastSuccessUtcMs), OrNan(f.lastOffset),
                                OrNan(drift), f.failedUpdates);
    }
    if (r >= 0) r = sd_bus_message_close_container(reply);
    if (r >= 0) r = sd_bus_send(nullptr, reply, nullptr);
    sd_bus_message_unref(reply);
    return r;
  }

  static int GetSettings(sd_bus_message* call, void* userdata, sd_bus_error*) {
    BusService& s = Of(userdata);
    sd_bus_message* reply = nullptr;
    int r = sd_bus_message_new_method_return(call, &reply);
    if (r >= 0) r = s.AppendSettings(reply);
    if (r >= 0) r = sd_bus_send(nullptr, reply, nullptr);
    sd_bus_message_unref(reply);
    return r;
  }

  static int Update(sd_bus_message* call, void* userdata, sd_bus_error* error) {
    int port = 0;
    if (const int r = sd_bus_message_read(call, "i", &port); r < 0) return r;
    if (!IsPort(port)) return NoSuchPort(error, port);
    return Of(userdata).Authorize(
        call, [&s = Of(userdata), port](sd_bus_message* m) { s.DoUpdate(m, port); });
  }

  static int UpdateAll(sd_bus_message* call, void* userdata, sd_bus_error*) {
    return Of(userdata).Authorize(call,
                                  [&s = Of(userdata)](sd_bus_message* m) { s.DoUpdateAll(m); });
  }

  static int Read(sd_bus_message* call, void* userdata, sd_bus_error* error) {
    int port = 0, setPc = 0;
    if (const int r = sd_bus_message_read(call, "ib", &port, &setPc); r < 0) return r;
    if (!IsPort(port)) return NoSuchPort(error, port);
    BusService& s = Of(userdata);
    BusService::Work work = [&s, port, setPc](sd_bus_message* m) { s.DoRead(m, port, setPc); };
    // Only setting the PC clock needs the right; a read runs in turn all the same.
    if (setPc) return s.Authorize(call, std::move(work));
    s.Enqueue(call, std::move(work));
    return 1;
  }

  static int Rescan(sd_bus_message* call, void* userdata, sd_bus_error*) {
    return Of(userdata).Authorize(call, [&s = Of(userdata)](sd_bus_message* m) { s.DoRescan(m); });
  }

  static int Reload(sd_bus_message* call, void* userdata, sd_bus_error*) {
    return Of(userdata).Authorize(call, [&s = Of(userdata)](sd_bus_message* m) { s.DoReload(m); });
  }

  static int SetMode(sd_bus_message* call, void* userdata, sd_bus_error* error) {
    int mode = 0;
    if (const int r = sd_bus_message_read(call, "i", &mode); r < 0) return r;
    if (mode < kModeNone || mode > kModePcFromDevice) {
      return sd_bus_error_setf(error, kErrorInvalidArgs, "no mode %d: the modes are 0, 1 and 2",
                               mode);
    }
    return Of(userdata).Authorize(
        call, [&s = Of(userdata), mode](sd_bus_message* m) { s.DoSetMode(m, mode); });
  }

  static int SetActivePorts(sd_bus_message* call, void* userdata, sd_bus_error* error) {
    const void* data = nullptr;
    std::size_t size = 0;
    if (const int r = sd_bus_message_read_array(call, 'i', &data, &size); r < 0) return r;
    std::int32_t mask = 0;
    int count = 0;
    for (std::size_t i = 0; i < size / sizeof(std::int32_t); ++i) {
      std::int32_t port = 0;
      std::memcpy(&port, static_cast<const char*>(data) + i * sizeof port, sizeof port);
      if (!IsPort(port)) return NoSuchPort(error, port);
      count += (mask & (1 << (port - 1))) == 0;
      mask |= 1 << (port - 1);
    }
    if (Of(userdata).app_.Config().ConnectionMode == kModePcFromDevice && count > 1) {
      return sd_bus_error_set(error, kErrorInvalidArgs,
                              "Only one device can be used to synchronize the PC time.");
    }
    return Of(userdata).Authorize(
        call, [&s = Of(userdata), mask](sd_bus_message* m) { s.DoSetActivePorts(m, mask); });
  }

  static int SetInterval(sd_bus_message* call, void* userdata, sd_bus_error* error) {
    int minutes = 0;
    if (const int r = sd_bus_message_read(call, "i", &minutes); r < 0) return r;
    if (minutes < 60 || minutes > 9999) {
      return sd_bus_error_set(error, kErrorInvalidArgs,
                              "the update interval is a whole number of minutes from 60 to 9999");
    }
    return Of(userdata).Authorize(
        call, [&s = Of(userdata), minutes](sd_bus_message* m) { s.DoSetInterval(m, minutes); });
  }

  static int SetSwitch(sd_bus_message* call, void* userdata, const char* name) {
    int on = 0;
    if (const int r = sd_bus_message_read(call, "b", &on); r < 0) return r;
    return Of(userdata).Authorize(call, [&s = Of(userdata), name, on](sd_bus_message* m) {
      s.DoSetSwitch(m, name, on != 0);
    });
  }
  static int SetPushOnTimeChange(sd_bus_message* call, void* userdata, sd_bus_error*) {
    return SetSwitch(call, userdata, kValuePushOnTimeChange);
  }
  static int SetVerifyWrites(sd_bus_message* call, void* userdata, sd_bus_error*) {
    return SetSwitch(call, userdata, kValueVerifyWrites);
  }

  static int SetPortPath(sd_bus_message* call, void* userdata, sd_bus_error* error) {
    int port = 0;
    const char* path = nullptr;
    if (const int r = sd_bus_message_read(call, "is", &port, &path); r < 0) return r;
    if (!IsPort(port)) return NoSuchPort(error, port);
    const std::string text = path;
    if (!text.empty() && text[0] != '/') {
      return sd_bus_error_setf(error, kErrorInvalidArgs, "the device path must be absolute: %s",
                               path);
    }
    return Of(userdata).Authorize(call, [&s = Of(userdata), port, text](sd_bus_message* m) {
      s.DoSetPortPath(m, port, text);
    });
  }
};

namespace {

const sd_bus_vtable kTable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("GetPorts", "", "a(issssssbs)", BusMethods::GetPorts, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("GetDevices", "", "a(issxddu)", BusMethods::GetDevices,
                  SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("GetSettings", "", "iaiibbs", BusMethods::GetSettings,
                  SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("Update", "i", "ssi", BusMethods::Update, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("UpdateAll", "", "a(issi)", BusMethods::UpdateAll, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("Read", "ib", "sxs", BusMethods::Read, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("Rescan", "", "", BusMethods::Rescan, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("Reload", "", "", BusMethods::Reload, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("SetMode", "i", "", BusMethods::SetMode, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("SetActivePorts", "ai", "", BusMethods::SetActivePorts,
                  SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("SetInterval", "i", "", BusMethods::SetInterval, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("SetPushOnTimeChange", "b", "", BusMethods::SetPushOnTimeChange,
                  SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("SetVerifyWrites", "b", "", BusMethods::SetVerifyWrites,
                  SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("SetPortPath", "is", "", BusMethods::SetPortPath, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_SIGNAL("PortChanged", kRowSignature, 0),
    SD_BUS_SIGNAL("SettingsChanged", kSettingsSignature, 0),
    SD_BUS_VTABLE_END};

}  // namespace

BusService::BusService(Application& app, LogMainWindow& window, RegistryStore& registry,
                       MetricsHistory& metrics, PollEventLoop& loop, std::string settingsPath,
                       std::FILE* log)
    : app_(app),
      window_(window),
      registry_(registry),
      metrics_(metrics),
      loop_(loop),
      settingsPath_(AbsolutePath(settingsPath)),
      log_(log) {}

BusService::~BusService() {
  for (const Queued& q : queue_) sd_bus_message_unref(q.call);
  sd_bus_slot_unref(slot_);
  sd_bus_flush_close_unref(bus_);
}

bool BusService::Start() {
  int r = sd_bus_open_system(&bus_);
  if (r >= 0) r = sd_bus_add_object_vtable(bus_, &slot_, kBusPath, kBusInterface, kTable, this);
  if (r >= 0) r = sd_bus_request_name(bus_, kBusName, 0);
  if (r < 0) {
    LogLine(log_, "warning=" + LogValue(std::string("the control interface is off: ") + kBusName +
                                        " could not be taken on the system bus (" +
                                        std::strerror(-r) + ")"));
    sd_bus_flush_close_unref(bus_);
    bus_ = nullptr;
    return false;
  }
  tmrQueue_ = loop_.CreateTimer(kQueuePollMs, false, [this] {
    Process();
    RunQueued();
  });
  loop_.WatchFd(sd_bus_get_fd(bus_), [this] {
    Process();
    return true;
  });
  return true;
}

void BusService::Process() {
  if (bus_ == nullptr) return;
  while (sd_bus_process(bus_, nullptr) > 0) {
  }
  tmrQueue_->SetEnabled(!queue_.empty() || asking_ > 0);
}

void BusService::Flush() {
  if (bus_ != nullptr) sd_bus_flush(bus_);
}

int BusService::AppendRow(sd_bus_message* message, int port) {
  const PortListModel& rows = Form().Ports();
  const PortDevice device = rows.Device(port);
  const std::string path = PortPathFromRegistry(registry_, port);
  return sd_bus_message_append(
      message, kRowSignature, port, path.c_str(), rows.Cell(port, kColActive).c_str(),
      rows.Cell(port, kColStatus).c_str(), rows.Cell(port, kColStatusTime).c_str(),
      rows.Cell(port, kColDevice).c_str(), rows.Cell(port, kColSerial).c_str(),
      int{device.detected && !rows.Undetected(port)}, rows.Cell(port, kColSettings).c_str());
}

int BusService::AppendSettings(sd_bus_message* message) {
  const AppConfig& config = app_.Config();
  int r = sd_bus_message_append(message, "i", int{config.ConnectionMode});
  if (r >= 0) r = sd_bus_message_open_container(message, 'a', "i");
  for (int port = 1; r >= 0 && port <= kPortRows; ++port) {
    if (config.UsedComPorts & (1 << (port - 1))) r = sd_bus_message_append(message, "i", port);
  }
  if (r >= 0) r = sd_bus_message_close_container(message);
  if (r >= 0) {
    r = sd_bus_message_append(message, "ibbs", int{config.UpdateInterval},
                              int{config.PushOnTimeChange}, int{config.VerifyWrites},
                              settingsPath_.c_str());
  }
  return r;
}

BusService::SettingsSeen BusService::Seen() {
  const AppConfig& c = app_.Config();
  return {c.ConnectionMode, c.UsedComPorts, c.UpdateInterval, c.PushOnTimeChange, c.VerifyWrites};
}

void BusService::SettingsChanged() {
  sd_bus_message* signal = nullptr;
  int r = sd_bus_message_new_signal(bus_, &signal, kBusPath, kBusInterface, "SettingsChanged");
  if (r >= 0) r = AppendSettings(signal);
  if (r >= 0) sd_bus_send(bus_, signal, nullptr);
  sd_bus_message_unref(signal);
}

void BusService::RowChanged(int port) {
  if (bus_ == nullptr || app_.MainForm() == nullptr) return;
  sd_bus_message* signal = nullptr;
  int r = sd_bus_message_new_signal(bus_, &signal, kBusPath, kBusInterface, "PortChanged");
  if (r >= 0) r = AppendRow(signal, port);
  if (r >= 0) sd_bus_send(bus_, signal, nullptr);
  sd_bus_message_unref(signal);
  Flush();
}

int BusService::Authorize(sd_bus_message* call, Work work) {
  sd_bus_message_ref(call);
  ++asking_;
  tmrQueue_->SetEnabled(true);
  CheckAuthorization(bus_, call, kManageAction,
                     [this, call, work = std::move(work)](bool allowed, const std::string& why) {
                       --asking_;
                       if (allowed) {
                         Enqueue(call, work);
                       } else {
                         sd_bus_reply_method_errorf(call, kErrorAccessDenied, "%s", why.c_str());
                       }
                       sd_bus_message_unref(call);
                     });
  return 1;
}

void BusService::Enqueue(sd_bus_message* call, Work work) {
  queue_.push_back({sd_bus_message_ref(call), std::move(work)});
  tmrQueue_->SetEnabled(true);
}

void BusService::RunQueued() {
  if (running_ || queue_.empty() || app_.MainForm() == nullptr) return;
  Queued next = std::move(queue_.front());
  queue_.pop_front();
  running_ = true;
  const SettingsSeen before = Seen();
  const bool ran = Form().RunRequest([&] { next.work(next.call); });
  running_ = false;
  if (!ran) {
    queue_.push_front(std::move(next));
    return;
  }
  sd_bus_message_unref(next.call);
  // Windows that are the service's clients show the settings as the service has them.
  if (Seen() != before) SettingsChanged();
  Flush();
  tmrQueue_->SetEnabled(!queue_.empty() || asking_ > 0);
}

}  // namespace horalign
