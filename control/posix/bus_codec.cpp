#include "control/posix/bus_codec.h"

#include <cerrno>
#include <cstring>
#include <string>

#include "control/posix/bus_names.h"

namespace horalign {
namespace {

constexpr const char* kDeviceStruct = "(issxddu)";
constexpr const char* kWrittenStruct = "(issi)";

int AppendWritten(sd_bus_message* m, const WriteResult& w) {
  return sd_bus_message_append(m, "ssi", w.outcome.c_str(), w.status.c_str(), w.msPastSecond);
}

int ReadWritten(sd_bus_message* m, WriteResult& w) {
  const char *outcome = "", *status = "";
  const int r = sd_bus_message_read(m, "ssi", &outcome, &status, &w.msPastSecond);
  if (r > 0) w.outcome = outcome, w.status = status;
  return r;
}

// An array of structs, each appended (or read) by `each`.
template <typename Each>
int AppendArray(sd_bus_message* m, const char* structSignature, std::size_t count, Each each) {
  const std::string inner(structSignature + 1, std::strlen(structSignature) - 2);
  int r = sd_bus_message_open_container(m, 'a', structSignature);
  for (std::size_t i = 0; r >= 0 && i < count; ++i) {
    r = sd_bus_message_open_container(m, 'r', inner.c_str());
    if (r >= 0) r = each(i);
    if (r >= 0) r = sd_bus_message_close_container(m);
  }
  return r < 0 ? r : sd_bus_message_close_container(m);
}

template <typename Each>
int ReadArray(sd_bus_message* m, const char* structSignature, Each each) {
  const std::string inner(structSignature + 1, std::strlen(structSignature) - 2);
  int r = sd_bus_message_enter_container(m, 'a', structSignature);
  while (r > 0 && (r = sd_bus_message_enter_container(m, 'r', inner.c_str())) > 0) {
    r = each();
    if (r >= 0) r = sd_bus_message_exit_container(m);
    if (r >= 0) r = 1;
  }
  return r < 0 ? r : sd_bus_message_exit_container(m);
}

}  // namespace

const char* ArgumentSignature(RequestKind kind) {
  switch (kind) {
    case RequestKind::kUpdate:
    case RequestKind::kUpdateForced:
    case RequestKind::kSetMode:
    case RequestKind::kSetInterval:
      return "i";
    case RequestKind::kSetPushOnlyWhenSynchronized:
    case RequestKind::kSetFeedTimeDaemon:
      return "b";
    case RequestKind::kSetTimeDaemonSocket:
      return "s";
    case RequestKind::kSetMaxClockError:
      return "d";
    case RequestKind::kRead:
      return "ib";
    case RequestKind::kSetActivePorts:
      return "ai";
    case RequestKind::kSetPushOnTimeChange:
    case RequestKind::kSetVerifyWrites:
      return "b";
    case RequestKind::kSetPortPath:
      return "is";
    default:
      return "";
  }
}

const char* AnswerSignature(RequestKind kind) {
  switch (kind) {
    case RequestKind::kGetPorts:
      return "a(issssssbs)";
    case RequestKind::kGetDevices:
      return "a(issxddu)";
    case RequestKind::kGetSettings:
      return kSettingsSignature;
    case RequestKind::kUpdate:
    case RequestKind::kUpdateForced:
      return "ssi";
    case RequestKind::kGetPcClock:
      return kPcClockSignature;
    case RequestKind::kUpdateAll:
      return "a(issi)";
    case RequestKind::kRead:
      return "sxs";
    default:
      return "";
  }
}

int ReadRequest(sd_bus_message* call, Request& r) {
  std::int32_t number = 0;
  int flag = 0;
  int result = 0;
  switch (r.kind) {
    case RequestKind::kSetMaxClockError:
      return sd_bus_message_read(call, "d", &r.seconds);
    case RequestKind::kSetTimeDaemonSocket: {
      const char* path = "";
      result = sd_bus_message_read(call, "s", &path);
      if (result >= 0) r.path = path;
      return result;
    }
    case RequestKind::kUpdate:
    case RequestKind::kUpdateForced:
      result = sd_bus_message_read(call, "i", &number);
      r.port = number;
      return result;
    case RequestKind::kRead:
      result = sd_bus_message_read(call, "ib", &number, &flag);
      r.port = number, r.flag = flag != 0;
      return result;
    case RequestKind::kSetMode:
    case RequestKind::kSetInterval:
      result = sd_bus_message_read(call, "i", &number);
      r.number = number;
      return result;
    case RequestKind::kSetPushOnTimeChange:
    case RequestKind::kSetVerifyWrites:
    case RequestKind::kSetPushOnlyWhenSynchronized:
    case RequestKind::kSetFeedTimeDaemon:
      result = sd_bus_message_read(call, "b", &flag);
      r.flag = flag != 0;
      return result;
    case RequestKind::kSetActivePorts: {
      const void* data = nullptr;
      std::size_t size = 0;
      result = sd_bus_message_read_array(call, 'i', &data, &size);
      for (std::size_t i = 0; result >= 0 && i < size / sizeof(std::int32_t); ++i) {
        std::memcpy(&number, static_cast<const char*>(data) + i * sizeof number, sizeof number);
        r.ports.push_back(number);
      }
      return result;
    }
    case RequestKind::kSetPortPath: {
      const char* path = "";
      result = sd_bus_message_read(call, "is", &number, &path);
      r.port = number;
      if (result >= 0) r.path = path;
      return result;
    }
    default:
      return 0;
  }
}

int AppendRequest(sd_bus_message* call, const Request& r) {
  const auto port = static_cast<std::int32_t>(r.port);
  const auto number = static_cast<std::int32_t>(r.number);
  switch (r.kind) {
    case RequestKind::kSetMaxClockError:
      return sd_bus_message_append(call, "d", r.seconds);
    case RequestKind::kSetTimeDaemonSocket:
      return sd_bus_message_append(call, "s", r.path.c_str());
    case RequestKind::kUpdate:
    case RequestKind::kUpdateForced:
      return sd_bus_message_append(call, "i", port);
    case RequestKind::kRead:
      return sd_bus_message_append(call, "ib", port, int{r.flag});
    case RequestKind::kSetMode:
    case RequestKind::kSetInterval:
      return sd_bus_message_append(call, "i", number);
    case RequestKind::kSetPushOnTimeChange:
    case RequestKind::kSetVerifyWrites:
    case RequestKind::kSetPushOnlyWhenSynchronized:
    case RequestKind::kSetFeedTimeDaemon:
      return sd_bus_message_append(call, "b", int{r.flag});
    case RequestKind::kSetActivePorts: {
      int result = sd_bus_message_open_container(call, 'a', "i");
      for (std::int64_t p : r.ports) {
        if (result >= 0) result = sd_bus_message_append(call, "i", static_cast<std::int32_t>(p));
      }
      return result < 0 ? result : sd_bus_message_close_container(call);
    }
    case RequestKind::kSetPortPath:
      return sd_bus_message_append(call, "is", port, r.path.c_str());
    default:
      return 0;
  }
}

int AppendRow(sd_bus_message* m, const ServiceRow& row) {
  return sd_bus_message_append(m, kRowSignature, row.port, row.path.c_str(), row.active.c_str(),
                               row.status.c_str(), row.statusTime.c_str(), row.device.c_str(),
                               row.sn.c_str(), int{row.detected}, row.settings.c_str());
}

int ReadRow(sd_bus_message* m, ServiceRow& row) {
  const char *path, *active, *status, *time, *device, *sn, *settings;
  int detected = 0;
  const int r = sd_bus_message_read(m, kRowSignature, &row.port, &path, &active, &status, &time,
                                    &device, &sn, &detected, &settings);
  if (r > 0)
    row = ServiceRow{row.port, path, active, status, time, device, sn, settings, detected != 0};
  return r;
}

int AppendSettings(sd_bus_message* m, const ServiceSettingsRead& s) {
  int r = sd_bus_message_append(m, "i", s.mode);
  if (r >= 0)
    r = sd_bus_message_append_array(m, 'i', s.active.data(), s.active.size() * sizeof(int));
  if (r >= 0) {
    r = sd_bus_message_append(m, "ibbs", s.interval, int{s.pushOnTimeChange}, int{s.verifyWrites},
                              s.path.c_str());
  }
  return r;
}

int ReadSettings(sd_bus_message* m, ServiceSettingsRead& s) {
  const void* ports = nullptr;
  std::size_t size = 0;
  const char* path = "";
  int push = 0, verify = 0;
  int r = sd_bus_message_read(m, "i", &s.mode);
  if (r >= 0) r = sd_bus_message_read_array(m, 'i', &ports, &size);
  if (r >= 0) r = sd_bus_message_read(m, "ibbs", &s.interval, &push, &verify, &path);
  if (r < 0) return r;
  s.active.resize(size / sizeof(std::int32_t));
  if (!s.active.empty())
    std::memcpy(s.active.data(), ports, s.active.size() * sizeof(std::int32_t));
  s.pushOnTimeChange = push != 0, s.verifyWrites = verify != 0, s.path = path;
  return 1;
}

int AppendAnswer(sd_bus_message* m, RequestKind kind, const Answer& a) {
  switch (kind) {
    case RequestKind::kGetPorts:
      return AppendArray(m, "(issssssbs)", a.rows.size(),
                         [&](std::size_t i) { return AppendRow(m, a.rows[i]); });
    case RequestKind::kGetDevices:
      return AppendArray(m, kDeviceStruct, a.devices.size(), [&](std::size_t i) {
        const ServiceDevice& d = a.devices[i];
        return sd_bus_message_append(m, kDeviceSignature, d.port, d.model.c_str(), d.sn.c_str(),
                                     d.lastSuccessUtcMs, d.lastOffset, d.drift, d.failedUpdates);
      });
    case RequestKind::kGetSettings:
      return a.settings ? AppendSettings(m, *a.settings) : -EINVAL;
    case RequestKind::kUpdate:
    case RequestKind::kUpdateForced:
      return a.written.empty() ? -EINVAL : AppendWritten(m, a.written.front());
    case RequestKind::kGetPcClock: {
      if (!a.pcClock) return -EINVAL;
      const PcClockRead& c = *a.pcClock;
      return sd_bus_message_append(m, kPcClockSignature, c.state.c_str(), c.maxError, c.estError,
                                   c.source.c_str(), int{c.holdOn}, c.maxClockError, c.held.c_str(),
                                   int{c.feedAvailable}, int{c.feedOn}, c.feedSocket.c_str(),
                                   std::uint64_t{c.feedSent}, std::uint64_t{c.feedRefused});
    }
    case RequestKind::kUpdateAll:
      return AppendArray(m, kWrittenStruct, a.written.size(), [&](std::size_t i) {
        const int r = sd_bus_message_append(m, "i", a.written[i].port);
        return r < 0 ? r : AppendWritten(m, a.written[i]);
      });
    case RequestKind::kRead:
      if (!a.read) return -EINVAL;
      return sd_bus_message_append(m, "sxs", a.read->reply.c_str(), a.read->askedUtcUs,
                                   a.read->status.c_str());
    default:
      return 0;
  }
}

int ReadAnswer(sd_bus_message* m, RequestKind kind, Answer& a) {
  switch (kind) {
    case RequestKind::kGetPorts:
      return ReadArray(m, "(issssssbs)", [&] {
        ServiceRow row;
        const int r = ReadRow(m, row);
        if (r > 0) a.rows.push_back(std::move(row));
        return r;
      });
    case RequestKind::kGetDevices:
      return ReadArray(m, kDeviceStruct, [&] {
        ServiceDevice d;
        const char *model = "", *sn = "";
        const int r =
            sd_bus_message_read(m, kDeviceSignature, &d.port, &model, &sn, &d.lastSuccessUtcMs,
                                &d.lastOffset, &d.drift, &d.failedUpdates);
        if (r > 0) d.model = model, d.sn = sn, a.devices.push_back(std::move(d));
        return r;
      });
    case RequestKind::kGetSettings:
      a.settings.emplace();
      return ReadSettings(m, *a.settings);
    case RequestKind::kUpdate:
    case RequestKind::kUpdateForced:
      a.written.emplace_back();
      return ReadWritten(m, a.written.back());
    case RequestKind::kGetPcClock: {
      const char *state = "", *source = "", *held = "", *socket = "";
      int on = 0, available = 0, feedOn = 0;
      std::uint64_t sent = 0, refused = 0;
      PcClockRead c;
      const int r = sd_bus_message_read(m, kPcClockSignature, &state, &c.maxError, &c.estError,
                                        &source, &on, &c.maxClockError, &held, &available, &feedOn,
                                        &socket, &sent, &refused);
      if (r > 0) c.state = state, c.source = source, c.holdOn = on != 0, c.held = held;
      if (r > 0) c.feedAvailable = available != 0, c.feedOn = feedOn != 0, c.feedSocket = socket;
      if (r > 0) c.feedSent = sent, c.feedRefused = refused;
      if (r > 0) a.pcClock = std::move(c);
      return r;
    }
    case RequestKind::kUpdateAll:
      return ReadArray(m, kWrittenStruct, [&] {
        WriteResult w;
        int r = sd_bus_message_read(m, "i", &w.port);
        if (r > 0) r = ReadWritten(m, w);
        if (r > 0) a.written.push_back(std::move(w));
        return r;
      });
    case RequestKind::kRead: {
      const char *reply = "", *status = "";
      ReadResult read;
      const int r = sd_bus_message_read(m, "sxs", &reply, &read.askedUtcUs, &status);
      if (r > 0) read.reply = reply, read.status = status, a.read = std::move(read);
      return r;
    }
    default:
      return 0;
  }
}

const char* BusErrorName(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::kBadRequest:
    case ErrorKind::kInvalidArgs:
      return kErrorInvalidArgs;
    case ErrorKind::kUnknownRequest:
      return SD_BUS_ERROR_UNKNOWN_METHOD;
    case ErrorKind::kAccessDenied:
      return kErrorAccessDenied;
    case ErrorKind::kLimitsExceeded:
      return SD_BUS_ERROR_LIMITS_EXCEEDED;
    case ErrorKind::kNotActive:
      return kErrorNotActive;
    case ErrorKind::kSettings:
      return kErrorSettings;
    case ErrorKind::kFailed:
      return kErrorFailed;
    case ErrorKind::kHeld:
      return kErrorHeld;
  }
  return kErrorFailed;
}

ErrorKind ErrorKindOfBus(const sd_bus_error& error) {
  for (ErrorKind kind : {ErrorKind::kInvalidArgs, ErrorKind::kAccessDenied,
                         ErrorKind::kLimitsExceeded, ErrorKind::kNotActive, ErrorKind::kSettings,
                         ErrorKind::kUnknownRequest, ErrorKind::kHeld}) {
    if (sd_bus_error_has_name(&error, BusErrorName(kind))) return kind;
  }
  return ErrorKind::kFailed;
}

}  // namespace horalign
