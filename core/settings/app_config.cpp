#include "core/settings/app_config.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "core/settings/registry.h"

namespace horalign {
namespace {

template <typename Field>
Field ReadNumber(RegistryStore& store, const char* name, Field def) {
  const std::string text = GetRegSetting(store, kConfigKey, name, std::to_string(def));
  const auto value = RoundIntoField(LeadingNumber(text), 8 * sizeof(Field));
  return value ? static_cast<Field>(*value) : def;
}

// A mode is one of the numbers the program stores, written whole: "1.5" must not round
// into the mode that sets the PC clock.
std::int16_t ReadMode(RegistryStore& store) {
  const auto number = WholeNumber(GetRegSetting(store, kConfigKey, kValueConnectionMode, "0"));
  return number == 1.0 ? 1 : number == 2.0 ? 2 : 0;
}

// An interval the four-digit box cannot show is brought into range as leaving the box
// would bring it, so that the box shows the interval in use. One below 60 that the box
// can show is kept until then.
std::int16_t ReadInterval(RegistryStore& store) {
  const auto minutes =
      ReadNumber<std::int16_t>(store, kValueUpdateInterval, kDefaultUpdateInterval);
  if (minutes < 0) return kMinUpdateInterval;
  return minutes > kMaxUpdateInterval ? kMaxUpdateInterval : minutes;
}

// A bound of 0 or less would hold every push for good, and one that is no number says nothing.
double ReadMaxClockError(RegistryStore& store) {
  const auto seconds = WholeNumber(
      GetRegSetting(store, kConfigKey, kValueMaximumClockError, kDefaultMaxClockErrorText));
  return seconds && *seconds > 0 && std::isfinite(*seconds) ? *seconds : kDefaultMaxClockError;
}

}  // namespace

void LoadConfig(RegistryStore& store, AppConfig& config) {
  config.ProtocolOption = 1;
  config.ConnectionMode = ReadMode(store);
  config.SerialComPort = ReadNumber<std::int16_t>(store, kValueSerialComPort, 0);
  config.UsedComPorts = ReadNumber<std::int32_t>(store, kValueUsedComPorts, 0);
  config.UpdateInterval = ReadInterval(store);
  config.SignalSource = ReadNumber<std::int16_t>(store, kValueSignalSource, 0);
  config.PushOnTimeChange =
      WholeNumber(GetRegSetting(store, kConfigKey, kValuePushOnTimeChange, "1")) != 0.0;
  config.VerifyWrites =
      WholeNumber(GetRegSetting(store, kConfigKey, kValueVerifyWrites, "0")).value_or(0.0) != 0.0;
  config.PushOnlyWhenSynchronized =
      WholeNumber(GetRegSetting(store, kConfigKey, kValuePushOnlyWhenSynchronized, "0"))
          .value_or(0.0) != 0.0;
  config.MaxClockErrorSeconds = ReadMaxClockError(store);
  config.FeedTimeDaemon =
      WholeNumber(GetRegSetting(store, kConfigKey, kValueFeedTimeDaemon, "0")).value_or(0.0) != 0.0;
  const std::string socket =
      GetRegSetting(store, kConfigKey, kValueTimeDaemonSocket, kDefaultTimeDaemonSocket);
  config.TimeDaemonSocket = IsTimeDaemonSocketPath(socket) ? socket : kDefaultTimeDaemonSocket;
}

bool IsTimeDaemonSocketPath(const std::string& path) {
  return path.starts_with('/') && path.size() <= kMaxTimeDaemonSocketLength &&
         std::none_of(path.begin(), path.end(),
                      [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

std::int32_t ReadWindowEdge(RegistryStore& store, const std::string& name, std::int32_t def) {
  const auto number = WholeNumber(GetRegSetting(store, kConfigKey, name, std::to_string(def)));
  const auto value = number ? RoundIntoField(*number, 32) : std::nullopt;
  return value.value_or(def);
}

}  // namespace horalign
