#include "core/util/json_text.h"

#include <cmath>
#include <limits>
#include <set>
#include <stdexcept>
#include <vector>

namespace horalign {
namespace {

// Thrown from the parser's callback to end a parse that broke one of our limits.
struct LimitBroken : std::runtime_error {
  using std::runtime_error::runtime_error;
};

}  // namespace

std::optional<Json> ParseJsonText(std::string_view text, std::string& error, int maxDepth) {
  std::vector<std::set<std::string>> keys;  // per open object, the keys seen so far
  const Json::parser_callback_t limits = [&keys, maxDepth](int depth, Json::parse_event_t event,
                                                           Json& parsed) {
    if (depth > maxDepth) throw LimitBroken("nested too deeply");
    switch (event) {
      case Json::parse_event_t::object_start:
        keys.emplace_back();
        break;
      case Json::parse_event_t::object_end:
        if (!keys.empty()) keys.pop_back();
        break;
      case Json::parse_event_t::key:
        if (!keys.empty() && !keys.back().insert(parsed.get<std::string>()).second) {
          throw LimitBroken("the key \"" + parsed.get<std::string>() + "\" is given twice");
        }
        break;
      default:
        break;
    }
    return true;
  };
  try {
    return Json::parse(text.begin(), text.end(), limits);
  } catch (const LimitBroken& broken) {
    error = broken.what();
  } catch (const Json::exception& e) {
    // "[json.exception.parse_error.101] parse error at ..." without the library's tag.
    const std::string what = e.what();
    const auto tag = what.find("] ");
    error = tag == std::string::npos ? what : what.substr(tag + 2);
  }
  return std::nullopt;
}

std::string JsonLine(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

Json NumberOrNull(double value) {
  return std::isnan(value) ? Json(nullptr) : Json(value);
}

std::string TextOf(const Json& object, const char* name) {
  const auto found = object.find(name);
  return found != object.end() && found->is_string() ? found->get<std::string>() : "";
}

double NumberOf(const Json& object, const char* name) {
  const auto found = object.find(name);
  return found != object.end() && found->is_number() ? found->get<double>()
                                                     : std::numeric_limits<double>::quiet_NaN();
}

bool FlagOf(const Json& object, const char* name) {
  const auto found = object.find(name);
  return found != object.end() && found->is_boolean() && found->get<bool>();
}

bool IsWholeNumber(const Json& value) {
  if (value.is_number_integer()) return true;
  if (!value.is_number_float()) return false;
  const double number = value.get<double>();
  return std::isfinite(number) && std::floor(number) == number;
}

}  // namespace horalign
