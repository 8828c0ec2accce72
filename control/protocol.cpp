#include "control/protocol.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <set>

#include "core/settings/app_config.h"
#include "core/settings/com_ports.h"

namespace horalign {
namespace {

constexpr RequestInfo kRequests[] = {
    {RequestKind::kGetPorts, "GetPorts", Right::kNone, true},
    {RequestKind::kGetDevices, "GetDevices", Right::kNone, true},
    {RequestKind::kGetSettings, "GetSettings", Right::kNone, true},
    {RequestKind::kWatch, "Watch", Right::kNone, true},
    {RequestKind::kUpdate, "Update", Right::kManage, false},
    {RequestKind::kUpdateAll, "UpdateAll", Right::kManage, false},
    {RequestKind::kRead, "Read", Right::kManageToSetPc, false},
    {RequestKind::kRescan, "Rescan", Right::kManage, false},
    {RequestKind::kReload, "Reload", Right::kManage, false},
    {RequestKind::kSetMode, "SetMode", Right::kManage, false},
    {RequestKind::kSetActivePorts, "SetActivePorts", Right::kManage, false},
    {RequestKind::kSetInterval, "SetInterval", Right::kManage, false},
    {RequestKind::kSetPushOnTimeChange, "SetPushOnTimeChange", Right::kManage, false},
    {RequestKind::kSetVerifyWrites, "SetVerifyWrites", Right::kManage, false},
    {RequestKind::kSetPortPath, "SetPortPath", Right::kManage, false},
    {RequestKind::kUpdateForced, "UpdateForced", Right::kManage, false},
    {RequestKind::kGetPcClock, "GetPcClock", Right::kNone, true},
    {RequestKind::kSetPushOnlyWhenSynchronized, "SetPushOnlyWhenSynchronized", Right::kManage,
     false},
    {RequestKind::kSetMaxClockError, "SetMaxClockError", Right::kManage, false},
    {RequestKind::kSetFeedTimeDaemon, "SetFeedTimeDaemon", Right::kManage, false},
    {RequestKind::kSetTimeDaemonSocket, "SetTimeDaemonSocket", Right::kManage, false},
};

constexpr int kModeNoneNumber = 0, kModePcFromDeviceNumber = 2;

}  // namespace

const RequestInfo& InfoOf(RequestKind kind) {
  return kRequests[static_cast<std::size_t>(kind)];
}

const RequestInfo* FindRequest(std::string_view name) {
  const auto found = std::find_if(std::begin(kRequests), std::end(kRequests),
                                  [name](const RequestInfo& r) { return r.name == name; });
  return found == std::end(kRequests) ? nullptr : found;
}

Request MakeRequest(RequestKind kind) {
  Request request;
  request.kind = kind;
  return request;
}

Request PortRequest(RequestKind kind, std::int64_t port, bool flag) {
  Request request = MakeRequest(kind);
  request.port = port;
  request.flag = flag;
  return request;
}

Request NumberRequest(RequestKind kind, std::int64_t number) {
  Request request = MakeRequest(kind);
  request.number = number;
  return request;
}

bool NeedsRight(const Request& request) {
  const Right right = InfoOf(request.kind).right;
  return right == Right::kManage || (right == Right::kManageToSetPc && request.flag);
}

const char* ErrorName(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::kBadRequest:
      return "BadRequest";
    case ErrorKind::kUnknownRequest:
      return "UnknownRequest";
    case ErrorKind::kInvalidArgs:
      return "InvalidArgs";
    case ErrorKind::kAccessDenied:
      return "AccessDenied";
    case ErrorKind::kLimitsExceeded:
      return "LimitsExceeded";
    case ErrorKind::kNotActive:
      return "NotActive";
    case ErrorKind::kFailed:
      return "Failed";
    case ErrorKind::kSettings:
      return "Settings";
    case ErrorKind::kHeld:
      return "Held";
  }
  return "Failed";
}

Answer Answer::Refused(ErrorKind kind, std::string message) {
  Answer answer;
  answer.error = ControlError{kind, std::move(message)};
  return answer;
}

std::string NoSuchPortText(std::int64_t port) {
  return "no port " + std::to_string(port) + ": the ports are 1 (COM1) to 16";
}

std::string NotActiveText(int port) {
  return ComName(port) + " is not active in the service";
}

std::optional<ControlError> CheckArguments(const Request& request, int mode) {
  const auto invalid = [](std::string text) {
    return ControlError{ErrorKind::kInvalidArgs, std::move(text)};
  };
  switch (request.kind) {
    case RequestKind::kUpdate:
    case RequestKind::kUpdateForced:
    case RequestKind::kRead:
      if (!IsComPort(request.port)) return invalid(NoSuchPortText(request.port));
      break;
    case RequestKind::kSetPortPath:
      if (!IsComPort(request.port)) return invalid(NoSuchPortText(request.port));
      if (!request.path.empty() && request.path[0] != '/') {
        return invalid("the device path must be absolute: " + request.path);
      }
      if (request.path.size() > kMaxPortPath) {
        return invalid("the device path is longer than " + std::to_string(kMaxPortPath) + " bytes");
      }
      if (request.path.find('\0') != std::string::npos) {
        return invalid("the device path holds a NUL byte");
      }
      break;
    case RequestKind::kSetMode:
      if (request.number < kModeNoneNumber || request.number > kModePcFromDeviceNumber) {
        return invalid("no mode " + std::to_string(request.number) + ": the modes are 0, 1 and 2");
      }
      break;
    case RequestKind::kSetInterval:
      if (request.number < kMinUpdateInterval || request.number > kMaxUpdateInterval) {
        return invalid(kIntervalText);
      }
      break;
    case RequestKind::kSetMaxClockError:
      if (!(request.seconds > 0) || !std::isfinite(request.seconds))
        return invalid(kMaxClockErrorText);
      break;
    case RequestKind::kSetTimeDaemonSocket:
      if (!IsTimeDaemonSocketPath(request.path)) return invalid(kTimeDaemonSocketText);
      break;
    case RequestKind::kSetActivePorts: {
      std::set<std::int64_t> distinct;
      for (std::int64_t port : request.ports) {
        if (!IsComPort(port)) return invalid(NoSuchPortText(port));
        distinct.insert(port);
      }
      if (mode == kModePcFromDeviceNumber && distinct.size() > 1) return invalid(kOneSourceText);
      break;
    }
    default:
      break;
  }
  return std::nullopt;
}

}  // namespace horalign
