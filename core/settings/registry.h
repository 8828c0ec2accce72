#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/platform/registry_store.h"

namespace horalign {

// Where the program keeps its values, relative to HKEY_LOCAL_MACHINE.
inline constexpr char kRegistryBase[] = "Software\\Quorvane\\Horalign\\";
inline constexpr char kConfigKey[] = "Software\\Quorvane\\Horalign\\Config";
// COM number to device path on platforms without COM names ("COM3" = "/dev/ttyUSB0").
inline constexpr char kPortsKey[] = "Software\\Quorvane\\Horalign\\Ports";
static_assert(std::string_view(kConfigKey).starts_with(kRegistryBase) &&
              std::string_view(kConfigKey).substr(sizeof(kRegistryBase) - 1) == "Config");
static_assert(std::string_view(kPortsKey).starts_with(kRegistryBase) &&
              std::string_view(kPortsKey).substr(sizeof(kRegistryBase) - 1) == "Ports");

inline constexpr char kValueConnectionMode[] = "Connection Mode";
inline constexpr char kValueSerialComPort[] = "Serial COM Port";
inline constexpr char kValueUsedComPorts[] = "Used COM Ports";
inline constexpr char kValueUpdateInterval[] = "Update Interval";
inline constexpr char kValueSignalSource[] = "Signal Source";
inline constexpr char kValueLastX[] = "LastX";
inline constexpr char kValueLastY[] = "LastY";
inline constexpr char kValuePushOnTimeChange[] = "Push On Time Change";
inline constexpr char kValueVerifyWrites[] = "Verify Writes";
// Mode 2 hands its readings to the time daemon's reference-clock socket instead of stepping.
inline constexpr char kValueFeedTimeDaemon[] = "Feed Time Daemon";
inline constexpr char kValueTimeDaemonSocket[] = "Time Daemon Socket";

// The hold: pushes wait while the PC clock is not known to be right.
inline constexpr char kValuePushOnlyWhenSynchronized[] = "Push Only When Synchronized";
inline constexpr char kValueMaximumClockError[] = "Maximum Clock Error";

// Kinds of registry value, by their stored numbers; SaveRegSetting writes strings only.
enum class RegKind : int { kString = 1, kDword = 4 };

// One value as text: a string up to its first NUL ("" when it holds none), a DWORD or a
// binary of up to 4 bytes as the decimal text of a little-endian 32-bit signed integer.
// A missing value, a longer binary or any other type gives "".
std::string QueryRegValue(RegistryStore& store, const std::string& keyPath,
                          const std::string& name);

// The value's text as read, untrimmed; the default instead when a default is given and
// the text holds nothing but spaces.
std::string GetRegSetting(RegistryStore& store, const std::string& keyPath, const std::string& name,
                          const std::optional<std::string>& def = std::nullopt);

// Writes one string value (kind 1), creating the key. A text of nothing but spaces is
// stored as " " so that it reads back as blank. Other kinds and refused writes are
// dropped without a word, as the program never looks at the outcome.
void SaveRegSetting(RegistryStore& store, const std::string& keyPath, const std::string& name,
                    RegKind kind, const std::string& text);

// The longest decimal number at the start of the text: sign, digits, decimal point and
// exponent, with blanks (space, tab, CR, LF) skipped wherever they stand, as the
// program's settings have always been read. No number gives 0. A number too large for a
// double gives an infinity of its sign.
double LeadingNumber(std::string_view text);

// The whole text (blanks around it allowed) as one decimal number, or nullopt when
// anything else is in it.
std::optional<double> WholeNumber(std::string_view text);

// Rounds to the nearest integer, a half going to the even neighbour, and checks that the
// result fits a signed field of `bits` bits (1 to 32). nullopt when it does not fit or
// the value is not finite.
std::optional<std::int32_t> RoundIntoField(double value, int bits);

}  // namespace horalign
