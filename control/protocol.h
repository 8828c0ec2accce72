#pragma once

// The service's control protocol: what a client may ask, what it gets back and why a request
// is refused, one description for every transport. The system bus (control/posix) and the
// named pipe (control/win32, in JSON lines: control/json_lines.h) only carry these values.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/platform/service_link.h"

namespace horalign {

enum class RequestKind : std::uint8_t {
  kGetPorts,
  kGetDevices,
  kGetSettings,
  kWatch,  // the pipe's: the rows and the settings, then every change of them
  kUpdate,
  kUpdateAll,
  kRead,
  kRescan,
  kReload,
  kSetMode,
  kSetActivePorts,
  kSetInterval,
  kSetPushOnTimeChange,
  kSetVerifyWrites,
  kSetPortPath,
  // The hold on the PC clock's state.
  kUpdateForced,  // Update, also while the hold keeps the writes back
  kGetPcClock,
  kSetPushOnlyWhenSynchronized,
  kSetMaxClockError,
  // Mode 2's readings as samples for the time daemon.
  kSetFeedTimeDaemon,
  kSetTimeDaemonSocket,
};

// What a request needs of its caller: nothing (reading), or the right to manage the
// service (polkit's action on Linux, an administrator on Windows). A read of a device's
// time needs it only to set the PC clock from it.
enum class Right : std::uint8_t { kNone, kManage, kManageToSetPc };

struct RequestInfo {
  RequestKind kind;
  const char* name;  // the bus method's and the pipe request's name
  Right right;
  // Answered from the service's last state at once, also in the middle of an operation;
  // everything else runs in turn between the service's own operations.
  bool atOnce;
};
const RequestInfo& InfoOf(RequestKind kind);
const RequestInfo* FindRequest(std::string_view name);

// One request's value, whichever transport carried it. Numbers are kept wide so that a
// value out of range is refused with its own number rather than wrapped.
struct Request {
  RequestKind kind = RequestKind::kGetPorts;
  std::int64_t port = 0;            // Update, Read, SetPortPath
  std::int64_t number = 0;          // SetMode's mode, SetInterval's minutes
  bool flag = false;                // Read's "set the PC clock", the switches' on
  std::vector<std::int64_t> ports;  // SetActivePorts
  std::string path;                 // SetPortPath ("" puts the port back on its default),
                                    // SetTimeDaemonSocket
  double seconds = 0;               // SetMaxClockError
};
// A request without values, with a port (and the flag), or with a number.
Request MakeRequest(RequestKind kind);
Request PortRequest(RequestKind kind, std::int64_t port, bool flag = false);
Request NumberRequest(RequestKind kind, std::int64_t number);

// Whether this request, with its values, needs the right to manage the service.
bool NeedsRight(const Request& request);

// Why a request was not done. The pipe names these as they stand; the bus maps them onto
// its own errors and the service's (control/posix/bus_names.h).
enum class ErrorKind : std::uint8_t {
  kBadRequest,      // not a request at all (not JSON, no "request")
  kUnknownRequest,  // no request of that name
  kInvalidArgs,     // a value of the wrong type or out of range
  kAccessDenied,    // the caller may not do it
  kLimitsExceeded,  // the caller has too many requests waiting
  kNotActive,       // the port is not active in the service
  kFailed,          // the device did not do it, or the service could not
  kSettings,        // the settings could not be written
  kHeld,            // the PC clock's state holds the write back (UpdateForced writes anyway)
};
const char* ErrorName(ErrorKind kind);

struct ControlError {
  ErrorKind kind = ErrorKind::kFailed;
  std::string message;
};

// A device's figures as the service keeps them (GetDevices); NaN for one not known.
struct ServiceDevice {
  int port = 0;
  std::string model, sn;
  std::int64_t lastSuccessUtcMs = 0;  // 0: no successful write known
  double lastOffset = 0, drift = 0;
  std::uint32_t failedUpdates = 0;
};

// The service's settings as it answers for them, and where it keeps them.
struct ServiceSettingsRead {
  int mode = 0;
  std::vector<int> active;
  int interval = 0;
  bool pushOnTimeChange = false, verifyWrites = false;
  std::string path;  // the settings file, or the registry key
  friend bool operator==(const ServiceSettingsRead&, const ServiceSettingsRead&) = default;
};

// One device written (Update, UpdateAll): "updated", "failed", "no-device" or
// "unavailable", the row's status, and how far past the second the time command began.
struct WriteResult {
  int port = 0;
  std::string outcome, status;
  int msPastSecond = -1;
};

// A device's answer to "QT" (Read): its line ("" for none), when the question was written,
// and the row's status after the PC clock was set from it (with "set the PC clock").
struct ReadResult {
  std::string reply;
  std::int64_t askedUtcUs = 0;
  std::string status;
};

// The PC clock's state as the service last read it, and its hold.
struct PcClockRead {
  std::string state = "unknown";      // ClockStateName's
  double maxError = 0, estError = 0;  // seconds; NaN where the system gives none
  std::string source;
  bool holdOn = false;
  double maxClockError = 0;  // the bound, seconds
  std::string held;          // the hold's text while it keeps writes back, else ""
  // The time daemon's feed: whether this system has one, whether it is on (it is used in
  // mode 2), its socket, and the samples taken and not taken since the service started.
  bool feedAvailable = false, feedOn = false;
  std::string feedSocket;
  std::uint64_t feedSent = 0, feedRefused = 0;
  friend bool operator==(const PcClockRead&, const PcClockRead&) = default;
};

// A request's answer: an error, or what the request gives (the rest stays empty).
struct Answer {
  std::optional<ControlError> error;
  std::vector<ServiceRow> rows;                 // GetPorts, Watch
  std::vector<ServiceDevice> devices;           // GetDevices
  std::optional<ServiceSettingsRead> settings;  // GetSettings, Watch
  std::vector<WriteResult> written;             // Update (one), UpdateAll
  std::optional<ReadResult> read;               // Read
  std::optional<PcClockRead> pcClock;           // GetPcClock

  static Answer Refused(ErrorKind kind, std::string message);
  bool Ok() const { return !error.has_value(); }
};

// The longest device path a port may be mapped to, as the system bounds a path.
inline constexpr std::size_t kMaxPortPath = 4096;

// The checks of a request's values that need nothing of the service but its mode; the
// same texts whatever carried the request. Nullopt when it may go on.
std::optional<ControlError> CheckArguments(const Request& request, int mode);

// "no port 17: the ports are 1 (COM1) to 16".
std::string NoSuchPortText(std::int64_t port);
// "COM3 is not active in the service".
std::string NotActiveText(int port);
inline constexpr const char* kOneSourceText =
    "Only one device can be used to synchronize the PC time.";
inline constexpr const char* kMaxClockErrorText =
    "the maximum clock error is a number of seconds above 0";
inline constexpr const char* kTimeDaemonSocketText =
    "the time daemon's socket is an absolute path of at most 107 bytes, without control "
    "characters";
inline constexpr const char* kNoTimeDaemonText =
    "Windows has no time daemon socket to feed: mode 2 sets the PC clock";
inline constexpr const char* kIntervalText =
    "the update interval is a whole number of minutes from 60 to 9999";

}  // namespace horalign
