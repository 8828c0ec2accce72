#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace horalign {

struct JsonMember;

// A JSON value as the service's pipe and its clients read one: small documents from
// another process, so a parse error is a value, never an exception or a crash.
struct JsonValue {
  enum class Type { kNull, kBool, kNumber, kString, kArray, kObject };
  Type type = Type::kNull;
  bool boolean = false;
  double number = 0;
  std::string text;  // a string's value (UTF-8)
  std::vector<JsonValue> items;
  std::vector<JsonMember> members;

  // The member `key` of an object (the last one when repeated), else null.
  const JsonValue* Find(std::string_view key) const;
  bool IsWholeNumber() const;
};

struct JsonMember {
  std::string name;
  JsonValue value;
};

// The document in `text`, or nullopt with the reason in `error`.
std::optional<JsonValue> ParseJson(std::string_view text, std::string& error);

}  // namespace horalign
