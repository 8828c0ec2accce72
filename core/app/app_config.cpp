#include "core/app/app_config.h"

#include <string>

#include "core/app/registry.h"

namespace horalign {
namespace {

template <typename Field>
Field ReadNumber(RegistryStore& store, const char* name, Field def) {
  const std::string text = GetRegSetting(store, kConfigKey, name, std::to_string(def));
  const auto value = RoundIntoField(LeadingNumber(text), 8 * sizeof(Field));
  return value ? static_cast<Field>(*value) : def;
}

}  // namespace

void LoadConfig(RegistryStore& store, AppConfig& config) {
  config.ProtocolOption = 1;
  config.ConnectionMode = ReadNumber<std::int16_t>(store, kValueConnectionMode, 0);
  config.SerialComPort = ReadNumber<std::int16_t>(store, kValueSerialComPort, 0);
  config.UsedComPorts = ReadNumber<std::int32_t>(store, kValueUsedComPorts, 0);
  config.UpdateInterval =
      ReadNumber<std::int16_t>(store, kValueUpdateInterval, kDefaultUpdateInterval);
  config.SignalSource = ReadNumber<std::int16_t>(store, kValueSignalSource, 0);
}

std::int32_t ReadWindowEdge(RegistryStore& store, const std::string& name, std::int32_t def) {
  const auto number = WholeNumber(GetRegSetting(store, kConfigKey, name, std::to_string(def)));
  const auto value = number ? RoundIntoField(*number, 32) : std::nullopt;
  return value.value_or(def);
}

}  // namespace horalign
