// The registry rules over values of any type and bytes: reading a value as text, the
// blank-means-default rule, the bounds of the configuration record, and the number rules on
// any text.
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

  // The record's rules are held by the registry rules' tables; here only its bounds: no
  // mode but 0, 1 or 2, and no interval the four-digit box cannot show.
  AppConfig config;
  LoadConfig(store, config);
  FUZZ_CHECK(config.ProtocolOption == 1);
  FUZZ_CHECK(config.ConnectionMode >= 0 && config.ConnectionMode <= 2);
  FUZZ_CHECK(config.UpdateInterval >= 0 && config.UpdateInterval <= 9999);

  const int bits = in.ConsumeIntegralInRange(-1, 40);
  CheckNumberRules(in.ConsumeRemainingBytesAsString(), bits);
}
