#include "control/json_read.h"

#include <cmath>
#include <cstdlib>

namespace horalign {
namespace {

// Deeper than any document of ours; a limit keeps a hostile one off the stack.
constexpr int kMaxDepth = 32;

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  std::optional<JsonValue> Document(std::string& error) {
    JsonValue value;
    if (Value(value, 0)) {
      SkipSpace();
      if (pos_ == text_.size()) return value;
      Fail("text after the value");
    }
    error = error_ + " at offset " + std::to_string(pos_);
    return std::nullopt;
  }

 private:
  bool Fail(const char* why) {
    if (error_.empty()) error_ = why;
    return false;
  }
  void SkipSpace() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t' ||
                                   text_[pos_] == '\r' || text_[pos_] == '\n')) {
      ++pos_;
    }
  }
  bool Literal(std::string_view word) {
    if (text_.substr(pos_, word.size()) != word) return Fail("an unexpected character");
    pos_ += word.size();
    return true;
  }

  bool Value(JsonValue& out, int depth) {
    if (depth > kMaxDepth) return Fail("nested too deeply");
    SkipSpace();
    if (pos_ >= text_.size()) return Fail("a value is missing");
    switch (text_[pos_]) {
      case '{':
        return Object(out, depth);
      case '[':
        return Array(out, depth);
      case '"':
        out.type = JsonValue::Type::kString;
        return String(out.text);
      case 't':
        out.type = JsonValue::Type::kBool, out.boolean = true;
        return Literal("true");
      case 'f':
        out.type = JsonValue::Type::kBool, out.boolean = false;
        return Literal("false");
      case 'n':
        out.type = JsonValue::Type::kNull;
        return Literal("null");
      default:
        return Number(out);
    }
  }

  bool Object(JsonValue& out, int depth) {
    out.type = JsonValue::Type::kObject;
    ++pos_;
    SkipSpace();
    if (pos_ < text_.size() && text_[pos_] == '}') return ++pos_, true;
    for (;;) {
      SkipSpace();
      std::string key;
      if (pos_ >= text_.size() || text_[pos_] != '"') return Fail("a member's name is missing");
      if (!String(key)) return false;
      SkipSpace();
      if (pos_ >= text_.size() || text_[pos_] != ':') return Fail("':' is missing");
      ++pos_;
      JsonValue value;
      if (!Value(value, depth + 1)) return false;
      out.members.push_back({std::move(key), std::move(value)});
      SkipSpace();
      if (pos_ < text_.size() && text_[pos_] == ',') {
        ++pos_;
        continue;
      }
      if (pos_ < text_.size() && text_[pos_] == '}') return ++pos_, true;
      return Fail("',' or '}' is missing");
    }
  }

  bool Array(JsonValue& out, int depth) {
    out.type = JsonValue::Type::kArray;
    ++pos_;
    SkipSpace();
    if (pos_ < text_.size() && text_[pos_] == ']') return ++pos_, true;
    for (;;) {
      JsonValue value;
      if (!Value(value, depth + 1)) return false;
      out.items.push_back(std::move(value));
      SkipSpace();
      if (pos_ < text_.size() && text_[pos_] == ',') {
        ++pos_;
        continue;
      }
      if (pos_ < text_.size() && text_[pos_] == ']') return ++pos_, true;
      return Fail("',' or ']' is missing");
    }
  }

  bool Hex4(unsigned& code) {
    if (pos_ + 4 > text_.size()) return Fail("a \\u escape is cut short");
    code = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = text_[pos_++];
      const int digit = c >= '0' && c <= '9'   ? c - '0'
                        : c >= 'a' && c <= 'f' ? c - 'a' + 10
                        : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                               : -1;
      if (digit < 0) return Fail("a \\u escape is not hexadecimal");
      code = code * 16 + static_cast<unsigned>(digit);
    }
    return true;
  }

  static void AppendUtf8(std::string& out, unsigned code) {
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (code < 0x800) {
      out += static_cast<char>(0xC0 | (code >> 6));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      out += static_cast<char>(0xE0 | (code >> 12));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (code >> 18));
      out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    }
  }

  bool String(std::string& out) {
    ++pos_;
    while (pos_ < text_.size()) {
      const char c = text_[pos_++];
      if (c == '"') return true;
      if (static_cast<unsigned char>(c) < 0x20) return Fail("a control character in a string");
      if (c != '\\') {
        out += c;
        continue;
      }
      if (pos_ >= text_.size()) break;
      const char e = text_[pos_++];
      switch (e) {
        case '"':
        case '\\':
        case '/':
          out += e;
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u': {
          unsigned code = 0;
          if (!Hex4(code)) return false;
          if (code >= 0xDC00 && code <= 0xDFFF) return Fail("a lone low surrogate");
          if (code >= 0xD800 && code <= 0xDBFF) {
            unsigned low = 0;
            if (text_.substr(pos_, 2) != "\\u") return Fail("a lone high surrogate");
            pos_ += 2;
            if (!Hex4(low)) return false;
            if (low < 0xDC00 || low > 0xDFFF) return Fail("a lone high surrogate");
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
          }
          AppendUtf8(out, code);
          break;
        }
        default:
          return Fail("an unknown escape in a string");
      }
    }
    return Fail("a string is not closed");
  }

  bool Number(JsonValue& out) {
    const std::size_t start = pos_;
    auto digits = [this] {
      const std::size_t from = pos_;
      while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') ++pos_;
      return pos_ > from;
    };
    if (pos_ < text_.size() && text_[pos_] == '-') ++pos_;
    const std::size_t intStart = pos_;
    if (!digits()) return Fail("an unexpected character");
    if (text_[intStart] == '0' && pos_ - intStart > 1) return Fail("a number with a leading 0");
    if (pos_ < text_.size() && text_[pos_] == '.') {
      ++pos_;
      if (!digits()) return Fail("a number without digits after '.'");
    }
    if (pos_ < text_.size() && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
      ++pos_;
      if (pos_ < text_.size() && (text_[pos_] == '+' || text_[pos_] == '-')) ++pos_;
      if (!digits()) return Fail("a number without an exponent");
    }
    const std::string copy(text_.substr(start, pos_ - start));
    out.type = JsonValue::Type::kNumber;
    out.number = std::strtod(copy.c_str(), nullptr);
    return true;
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  std::string error_;
};

}  // namespace

const JsonValue* JsonValue::Find(std::string_view key) const {
  const JsonValue* found = nullptr;
  for (const auto& [name, value] : members) {
    if (name == key) found = &value;
  }
  return found;
}

bool JsonValue::IsWholeNumber() const {
  return type == Type::kNumber && std::isfinite(number) && std::floor(number) == number &&
         std::fabs(number) < 9.0e15;
}

std::optional<JsonValue> ParseJson(std::string_view text, std::string& error) {
  return Parser(text).Document(error);
}

}  // namespace horalign
