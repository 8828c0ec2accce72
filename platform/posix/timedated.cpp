#include "platform/posix/timedated.h"

#include <poll.h>
#include <systemd/sd-bus.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <utility>

namespace horalign {
namespace {

constexpr const char* kService = "org.freedesktop.timedate1";
constexpr const char* kPath = "/org/freedesktop/timedate1";
constexpr const char* kAutoSyncError = "org.freedesktop.timedate1.AutomaticTimeSyncEnabled";
constexpr const char* kInvalidArgsError = "org.freedesktop.DBus.Error.InvalidArgs";
// Longer than timedated waits for polkit (25 s), so an administrator who lets the question
// lapse gets timedated's answer rather than ours.
constexpr std::int64_t kAnswerTimeoutMicros = 30'000'000;
// Output the socket could not take at once is retried this often (reading is what is watched).
constexpr std::int64_t kWriteRetryMicros = 10'000;

struct BusCloser {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct SlotReleaser {
  void operator()(sd_bus_slot* slot) const { sd_bus_slot_unref(slot); }
};
struct MessageReleaser {
  void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};

ClockSetResult ResultOfError(const sd_bus_error& error) {
  if (sd_bus_error_has_name(&error, kAutoSyncError)) return ClockSetResult::kAutoSyncOn;
  // timedated answers a time the kernel will not take with the errno's name, EINVAL's here.
  if (sd_bus_error_has_name(&error, kInvalidArgsError)) return ClockSetResult::kFailed;
  return ClockSetResult::kNoRight;
}

// The answer, or sd-bus's own for a call that timed out or lost its connection.
int OnAnswer(sd_bus_message* reply, void* userdata, sd_bus_error*) {
  auto& result = *static_cast<std::optional<ClockSetResult>*>(userdata);
  const sd_bus_error* error = sd_bus_message_get_error(reply);
  result = error != nullptr ? ResultOfError(*error) : ClockSetResult::kOk;
  return 0;
}

std::int64_t MonotonicMicros() {
  using namespace std::chrono;
  return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

std::int64_t RealtimeMicros() {
  using namespace std::chrono;
  return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

}  // namespace

// Members in this order: the slot goes before the bus it belongs to.
struct Timedated::Call {
  std::unique_ptr<sd_bus, BusCloser> bus;
  std::unique_ptr<sd_bus_slot, SlotReleaser> slot;
  std::int64_t deadlineUs = 0;
  std::optional<ClockSetResult> result;
};

namespace {

// Sends SetTime by the distance from the clock's present reading: timedated applies it to
// its reading when polkit has said yes, so a password typed for ten seconds does not leave
// the clock ten seconds behind (an absolute time would be set as it was asked). A result
// only when it could not be sent.
std::optional<ClockSetResult> Ask(Timedated::Call& call, std::int64_t distanceUs) {
  sd_bus* rawBus = nullptr;
  if (sd_bus_open_system(&rawBus) < 0) return ClockSetResult::kNoRight;
  call.bus.reset(rawBus);
  // Lets polkit ask an administrator rather than refuse outright.
  sd_bus_set_allow_interactive_authorization(rawBus, 1);

  sd_bus_message* rawMessage = nullptr;
  if (sd_bus_message_new_method_call(rawBus, &rawMessage, kService, kPath, kService, "SetTime") <
      0) {
    return ClockSetResult::kFailed;
  }
  const std::unique_ptr<sd_bus_message, MessageReleaser> message(rawMessage);
  const int relative = 1, interactive = 1;
  if (sd_bus_message_append(message.get(), "xbb", distanceUs, relative, interactive) < 0) {
    return ClockSetResult::kFailed;
  }
  call.deadlineUs = MonotonicMicros() + kAnswerTimeoutMicros;
  sd_bus_slot* rawSlot = nullptr;
  if (sd_bus_call_async(rawBus, &rawSlot, message.get(), OnAnswer, &call.result,
                        kAnswerTimeoutMicros) < 0) {
    return ClockSetResult::kNoRight;
  }
  call.slot.reset(rawSlot);
  return std::nullopt;
}

}  // namespace

Timedated::Timedated(BusWaitFn wait) : wait_(std::move(wait)) {}

void Timedated::SetWait(BusWaitFn wait) {
  wait_ = std::move(wait);
}

void Timedated::Await(Call& call, bool watchFd) {
  sd_bus* bus = call.bus.get();
  for (;;) {
    const int r = sd_bus_process(bus, nullptr);
    if (call.result) return;
    if (r < 0) {  // the connection broke
      call.result = ClockSetResult::kNoRight;
      return;
    }
    if (r == 0) break;
  }
  const std::int64_t leftUs = call.deadlineUs - MonotonicMicros();
  if (leftUs <= 0) {
    call.result = ClockSetResult::kNoRight;
    return;
  }
  if (!wait_) {
    if (sd_bus_wait(bus, static_cast<std::uint64_t>(leftUs)) < 0) {
      call.result = ClockSetResult::kNoRight;
    }
    return;
  }
  const bool writing = (sd_bus_get_events(bus) & POLLOUT) != 0;
  const int fd = watchFd && !writing ? sd_bus_get_fd(bus) : -1;
  wait_(fd, writing ? std::min(leftUs, kWriteRetryMicros) : leftUs);
}

ClockSetResult Timedated::SetTime(std::int64_t utcMicros) {
  // Taken now, so that the wait for an earlier question does not age it either.
  const std::int64_t distanceUs = utcMicros - RealtimeMicros();
  // Only the latest question can be unanswered: each one waits for the one before.
  while (open_ != nullptr && !open_->result) Await(*open_, false);
  Call call;
  if (const auto unsent = Ask(call, distanceUs)) return *unsent;
  Call* const before = std::exchange(open_, &call);
  while (!call.result) Await(call, true);
  open_ = before;
  return *call.result;
}

ClockSetResult SetTimeThroughTimedated(std::int64_t utcMicros) {
  return Timedated().SetTime(utcMicros);
}

}  // namespace horalign
