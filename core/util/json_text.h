#pragma once

// JSON as the program reads and writes it (the history file, the control protocol, the
// command line's output): nlohmann's ordered JSON (members keep the order they were written
// in), with the limits every reader of ours keeps.
#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>

namespace horalign {

using Json = nlohmann::ordered_json;

// Deeper than any document of ours; a limit keeps a hostile one small.
inline constexpr int kMaxJsonDepth = 32;

// The value in `text`, or nullopt with the reason in `error`: not JSON, text after the
// value, nested deeper than kMaxJsonDepth, or a key twice in one object (which would leave
// readers to guess which one counts).
std::optional<Json> ParseJsonText(std::string_view text, std::string& error,
                                  int maxDepth = kMaxJsonDepth);

// One line of JSON text, without a line break. Bytes that are not UTF-8 come out as U+FFFD,
// so the line is always valid JSON.
std::string JsonLine(const Json& value);

// Null for NaN (a figure not known), else the number.
Json NumberOrNull(double value);

// A member's value of a given type, or a fallback when the member is missing or another type.
std::string TextOf(const Json& object, const char* name);
double NumberOf(const Json& object, const char* name);  // NaN for none
bool FlagOf(const Json& object, const char* name);

// Whether `value` is a number without a fraction (75 and 75.0, not 75.5).
bool IsWholeNumber(const Json& value);

}  // namespace horalign
