// The registry rules over values of any type and bytes: reading a value as text, the
// blank-means-default rule, the configuration record, and the number rules on any text.
#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <regex>
#include <string>

#include "core/settings/app_config.h"
#include "core/settings/registry.h"
#include "fuzz/fuzz_check.h"
#include "sim/memory_registry.h"

using namespace horalign;

namespace {

constexpr const char* kNames[] = {kValueConnectionMode, kValueSerialComPort,   kValueUsedComPorts,
                                  kValueUpdateInterval, kValueSignalSource,    kValueLastX,
                                  kValueLastY,          kValuePushOnTimeChange};

RegValue ChooseValue(FuzzedDataProvider& in) {
  static constexpr std::uint32_t kTypes[] = {kRegSz, kRegDword, kRegBinary, kRegNone, 2, 7, 11};
  const std::uint32_t type = in.PickValueInArray(kTypes);
  const std::string bytes = in.ConsumeRandomLengthString(24);
  return {type, std::vector<std::uint8_t>(bytes.begin(), bytes.end())};
}

void CheckQuery(sim::MemoryRegistry& store, const char* name) {
  const std::string text = QueryRegValue(store, kConfigKey, name);
  const auto stored = store.Query(kConfigKey, name);
  if (!stored) {
    FUZZ_CHECK(text.empty());
  } else if (stored->type == kRegSz) {
    // The string up to its NUL, never past it.
    FUZZ_CHECK(text.find('\0') == std::string::npos);
    FUZZ_CHECK(text.size() < stored->data.size() || text.empty());
    FUZZ_CHECK(text == std::string(stored->data.begin(), stored->data.begin() + text.size()));
  } else if ((stored->type == kRegDword || stored->type == kRegBinary) &&
             stored->data.size() <= 4) {
    std::uint32_t bits = 0;
    for (std::size_t i = 0; i < stored->data.size(); ++i)
      bits |= std::uint32_t{stored->data[i]} << (8 * i);
    FUZZ_CHECK(WholeNumber(text) == static_cast<double>(static_cast<std::int32_t>(bits)));
  } else {
    FUZZ_CHECK(text.empty());
  }
  const std::string withDefault = GetRegSetting(store, kConfigKey, name, "D");
  FUZZ_CHECK(withDefault == (text.find_first_not_of(' ') == std::string::npos ? "D" : text));
}

template <typename Field>
Field StoredField(sim::MemoryRegistry& store, const char* name, Field def) {
  const std::string text = GetRegSetting(store, kConfigKey, name, std::to_string(def));
  const auto value = RoundIntoField(LeadingNumber(text), 8 * sizeof(Field));
  return value ? static_cast<Field>(*value) : def;
}

template <typename Field>
void CheckField(sim::MemoryRegistry& store, const char* name, Field def, Field got) {
  FUZZ_CHECK(got == StoredField(store, name, def));
}

// Blanks, a sign, digits with at most one point, an optional exponent, blanks: the texts
// the C library reads the same way.
bool IsPlainNumber(const std::string& s) {
  static const std::regex kPlain(
      R"([ \t\r\n]*[+-]?([0-9]+\.?[0-9]*|\.[0-9]+)([eE][+-]?[0-9]+)?[ \t\r\n]*)");
  return std::regex_match(s, kPlain);
}

void CheckNumberRules(const std::string& text, int bits) {
  const double leading = LeadingNumber(text);
  FUZZ_CHECK(!std::isnan(leading));
  const auto whole = WholeNumber(text);
  if (whole) FUZZ_CHECK(leading == *whole);
  if (IsPlainNumber(text)) {
    FUZZ_CHECK(whole.has_value());
    const double libc = std::strtod(text.c_str(), nullptr);
    // Below the smallest normal double the two may part (0 against a subnormal).
    FUZZ_CHECK(*whole == libc || std::fabs(libc) < DBL_MIN);
  }

  const auto rounded = RoundIntoField(leading, bits);
  if (bits < 1 || bits > 32 || !std::isfinite(leading)) {
    FUZZ_CHECK(!rounded);
    return;
  }
  const double high = std::ldexp(1.0, bits - 1);
  const double nearest = std::nearbyint(leading);  // the default mode: halves to even
  const bool fits = nearest >= -high && nearest <= high - 1;
  FUZZ_CHECK(rounded.has_value() == fits);
  if (rounded) FUZZ_CHECK(*rounded == nearest);
}

}  // namespace

FUZZ_TARGET(in) {
  sim::MemoryRegistry store;
  for (const char* name : kNames) {
    if (in.ConsumeBool()) store.Put(kConfigKey, name, ChooseValue(in));
  }
  for (const char* name : kNames) CheckQuery(store, name);

  AppConfig config;
  LoadConfig(store, config);
  FUZZ_CHECK(config.ProtocolOption == 1);
  // The mode is only ever a whole 1 or 2; anything else is none.
  const auto mode = WholeNumber(GetRegSetting(store, kConfigKey, kValueConnectionMode, "0"));
  FUZZ_CHECK(config.ConnectionMode == (mode == 1.0 || mode == 2.0 ? *mode : 0));
  CheckField<std::int16_t>(store, kValueSerialComPort, 0, config.SerialComPort);
  CheckField<std::int32_t>(store, kValueUsedComPorts, 0, config.UsedComPorts);
  // An interval the four-digit box cannot show is read as leaving the box would make it.
  const std::int16_t interval = StoredField<std::int16_t>(store, kValueUpdateInterval, 60);
  FUZZ_CHECK(config.UpdateInterval == (interval < 0 ? 60 : std::min<std::int16_t>(interval, 9999)));
  CheckField<std::int16_t>(store, kValueSignalSource, 0, config.SignalSource);
  // Only the number 0 turns the pushes off.
  FUZZ_CHECK(config.PushOnTimeChange !=
             (WholeNumber(GetRegSetting(store, kConfigKey, kValuePushOnTimeChange, "1")) == 0.0));
  const std::int32_t left = ReadWindowEdge(store, kValueLastX, 400);
  const auto number = WholeNumber(GetRegSetting(store, kConfigKey, kValueLastX, "400"));
  FUZZ_CHECK(left == (number ? RoundIntoField(*number, 32).value_or(400) : 400));

  const int bits = in.ConsumeIntegralInRange(-1, 40);
  CheckNumberRules(in.ConsumeRemainingBytesAsString(), bits);
}
