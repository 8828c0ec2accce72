#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace horalign {

// A JSON string literal. Bytes outside ASCII pass unchanged (the texts are UTF-8 or
// plain ASCII); control characters are escaped.
inline std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  return out + '"';
}

// One JSON object, built member by member in order.
class JsonObject {
 public:
  JsonObject& Add(std::string_view key, std::string_view text) {
    return Raw(key, JsonString(text));
  }
  JsonObject& Add(std::string_view key, const char* text) {
    return Add(key, std::string_view(text));
  }
  JsonObject& Add(std::string_view key, bool value) { return Raw(key, value ? "true" : "false"); }
  JsonObject& Add(std::string_view key, std::int64_t value) {
    return Raw(key, std::to_string(value));
  }
  JsonObject& Add(std::string_view key, int value) { return Add(key, std::int64_t{value}); }
  JsonObject& Null(std::string_view key) { return Raw(key, "null"); }
  JsonObject& Raw(std::string_view key, std::string_view json) {
    text_ += text_.empty() ? "{" : ", ";
    text_ += JsonString(key) + ": " + std::string(json);
    return *this;
  }
  std::string Text() const { return text_.empty() ? "{}" : text_ + "}"; }

 private:
  std::string text_;
};

inline std::string JsonArray(const std::vector<std::string>& items) {
  std::string out = "[";
  for (std::size_t i = 0; i < items.size(); ++i) out += (i ? ", " : "") + items[i];
  return out + "]";
}

}  // namespace horalign
