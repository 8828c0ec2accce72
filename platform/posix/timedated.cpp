#include "platform/posix/timedated.h"

#include <systemd/sd-bus.h>

#include <memory>

namespace horalign {
namespace {

constexpr const char* kService = "org.freedesktop.timedate1";
constexpr const char* kPath = "/org/freedesktop/timedate1";
constexpr const char* kAutoSyncError = "org.freedesktop.timedate1.AutomaticTimeSyncEnabled";
constexpr const char* kInvalidArgsError = "org.freedesktop.DBus.Error.InvalidArgs";
// Longer than timedated waits for polkit (25 s), so an administrator who lets the question
// lapse gets timedated's answer rather than ours.
constexpr std::uint64_t kAnswerTimeoutMicros = 30'000'000;

struct BusCloser {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct MessageReleaser {
  void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
struct ErrorReleaser {
  void operator()(sd_bus_error* error) const { sd_bus_error_free(error); }
};

ClockSetResult ResultOfError(const sd_bus_error& error) {
  if (sd_bus_error_has_name(&error, kAutoSyncError)) return ClockSetResult::kAutoSyncOn;
  // timedated answers a time the kernel will not take with the errno's name, EINVAL's here.
  if (sd_bus_error_has_name(&error, kInvalidArgsError)) return ClockSetResult::kFailed;
  return ClockSetResult::kNoRight;
}

}  // namespace

ClockSetResult SetTimeThroughTimedated(std::int64_t utcMicros) {
  sd_bus* rawBus = nullptr;
  if (sd_bus_open_system(&rawBus) < 0) return ClockSetResult::kNoRight;
  const std::unique_ptr<sd_bus, BusCloser> bus(rawBus);
  // Lets polkit ask an administrator rather than refuse outright.
  sd_bus_set_allow_interactive_authorization(bus.get(), 1);

  sd_bus_message* rawCall = nullptr;
  if (sd_bus_message_new_method_call(bus.get(), &rawCall, kService, kPath, kService, "SetTime") <
      0) {
    return ClockSetResult::kFailed;
  }
  const std::unique_ptr<sd_bus_message, MessageReleaser> call(rawCall);
  const int relative = 0, interactive = 1;
  if (sd_bus_message_append(call.get(), "xbb", static_cast<std::int64_t>(utcMicros), relative,
                            interactive) < 0) {
    return ClockSetResult::kFailed;
  }

  sd_bus_error error{};  // SD_BUS_ERROR_NULL is a C compound literal, foreign to C++
  const std::unique_ptr<sd_bus_error, ErrorReleaser> errorGuard(&error);
  sd_bus_message* rawReply = nullptr;
  const int r = sd_bus_call(bus.get(), call.get(), kAnswerTimeoutMicros, &error, &rawReply);
  const std::unique_ptr<sd_bus_message, MessageReleaser> reply(rawReply);
  return r >= 0 ? ClockSetResult::kOk : ResultOfError(error);
}

}  // namespace horalign
