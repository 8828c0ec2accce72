#include "control/json_lines.h"

#include <cmath>
#include <limits>

namespace horalign {
namespace {

ControlError Bad(std::string message) {
  return {ErrorKind::kBadRequest, std::move(message)};
}

// An argument of a request: present and of its type, else why not. Ranges are the
// protocol's to check, the same for every transport.
std::optional<std::string> WholeArg(const Json& request, const char* name, std::int64_t& out) {
  const auto found = request.find(name);
  if (found == request.end()) return std::string("\"") + name + "\" is missing";
  if (!IsWholeNumber(*found)) return std::string("\"") + name + "\" is not a whole number";
  const double value = found->get<double>();
  // Far beyond every range: kept as the widest number, which every check refuses.
  out = std::fabs(value) < 9e18 ? static_cast<std::int64_t>(value)
                                : std::numeric_limits<std::int64_t>::min();
  if (found->is_number_integer()) out = found->get<std::int64_t>();
  return std::nullopt;
}

std::optional<std::string> BoolArg(const Json& request, const char* name, bool optional,
                                   bool& out) {
  const auto found = request.find(name);
  if (found == request.end() && optional) return std::nullopt;
  if (found == request.end() || !found->is_boolean()) {
    return std::string("\"") + name + "\" is " +
           (found != request.end() ? "not true or false" : "missing");
  }
  out = found->get<bool>();
  return std::nullopt;
}

// The arguments of `r.kind` from the line's object; why not, when they are wrong.
std::optional<std::string> ReadArguments(const Json& in, Request& r) {
  switch (r.kind) {
    case RequestKind::kUpdate:
    case RequestKind::kUpdateForced:
      return WholeArg(in, "port", r.port);
    case RequestKind::kSetPushOnlyWhenSynchronized:
    case RequestKind::kSetFeedTimeDaemon:
      return BoolArg(in, "on", false, r.flag);
    case RequestKind::kSetTimeDaemonSocket:
      if (!in.contains("path") || !in["path"].is_string()) return "\"path\" is a text";
      r.path = in["path"].get<std::string>();
      return std::nullopt;
    case RequestKind::kSetMaxClockError: {
      const auto found = in.find("seconds");
      if (found == in.end() || !found->is_number()) return kMaxClockErrorText;
      r.seconds = found->get<double>();
      return std::nullopt;
    }
    case RequestKind::kRead:
      if (auto why = WholeArg(in, "port", r.port)) return why;
      return BoolArg(in, "setPc", true, r.flag);
    case RequestKind::kSetMode:
      return WholeArg(in, "mode", r.number);
    case RequestKind::kSetInterval:
      // A number that is no whole number of minutes gets the interval's own text.
      if (in.contains("minutes") && !IsWholeNumber(in["minutes"])) return kIntervalText;
      return WholeArg(in, "minutes", r.number);
    case RequestKind::kSetPushOnTimeChange:
    case RequestKind::kSetVerifyWrites:
      return BoolArg(in, "on", false, r.flag);
    case RequestKind::kSetActivePorts: {
      const auto ports = in.find("ports");
      if (ports == in.end() || !ports->is_array()) return "\"ports\" is a list of port numbers";
      for (const Json& port : *ports) {
        if (!IsWholeNumber(port)) return "\"ports\" is a list of port numbers";
        const double value = port.get<double>();
        r.ports.push_back(std::fabs(value) < 9e18 ? static_cast<std::int64_t>(value)
                                                  : std::numeric_limits<std::int64_t>::min());
      }
      return std::nullopt;
    }
    case RequestKind::kSetPortPath:
      if (auto why = WholeArg(in, "port", r.port)) return why;
      if (!in.contains("path") || !in["path"].is_string()) return "\"path\" is a text";
      r.path = in["path"].get<std::string>();
      return std::nullopt;
    default:
      return std::nullopt;
  }
}

Json RowJson(const ServiceRow& row) {
  return Json{{"port", row.port},
              {"path", row.path},
              {"active", row.active},
              {"status", row.status},
              {"statusTime", row.statusTime},
              {"device", row.device},
              {"sn", row.sn},
              {"detected", row.detected},
              {"settings", row.settings}};
}

Json SettingsJson(const ServiceSettingsRead& s) {
  return Json{{"mode", s.mode},
              {"activePorts", s.active},
              {"interval", s.interval},
              {"pushOnTimeChange", s.pushOnTimeChange},
              {"verifyWrites", s.verifyWrites},
              {"settings", s.path}};
}

Json DeviceJson(const ServiceDevice& d) {
  return Json{{"port", d.port},
              {"model", d.model},
              {"sn", d.sn},
              {"lastSuccessUtcMs", d.lastSuccessUtcMs},
              {"lastOffset", NumberOrNull(d.lastOffset)},
              {"drift", NumberOrNull(d.drift)},
              {"failedUpdates", d.failedUpdates}};
}

Json WrittenJson(const WriteResult& w, bool withPort) {
  Json o;
  if (withPort) o["port"] = w.port;
  o["outcome"] = w.outcome;
  o["status"] = w.status;
  o["msPastSecond"] = w.msPastSecond;
  return o;
}

// A whole number member that fits an int, else `fallback`.
int IntOf(const Json& object, const char* name, int fallback = 0) {
  const double value = NumberOf(object, name);
  return value >= -2147483648.0 && value <= 2147483647.0 ? static_cast<int>(value) : fallback;
}

ServiceRow RowOf(const Json& r) {
  return ServiceRow{IntOf(r, "port"),    TextOf(r, "path"),       TextOf(r, "active"),
                    TextOf(r, "status"), TextOf(r, "statusTime"), TextOf(r, "device"),
                    TextOf(r, "sn"),     TextOf(r, "settings"),   FlagOf(r, "detected")};
}

ServiceSettingsRead SettingsOf(const Json& s) {
  ServiceSettingsRead out;
  out.mode = IntOf(s, "mode");
  out.interval = IntOf(s, "interval");
  out.pushOnTimeChange = FlagOf(s, "pushOnTimeChange");
  out.verifyWrites = FlagOf(s, "verifyWrites");
  out.path = TextOf(s, "settings");
  if (const auto active = s.find("activePorts"); active != s.end() && active->is_array()) {
    for (const Json& port : *active) {
      if (IsWholeNumber(port) && std::fabs(port.get<double>()) < 1e9) {
        out.active.push_back(port.get<int>());
      }
    }
  }
  return out;
}

ServiceDevice DeviceOf(const Json& d) {
  const double success = NumberOf(d, "lastSuccessUtcMs");
  const double failed = NumberOf(d, "failedUpdates");
  return ServiceDevice{IntOf(d, "port"),
                       TextOf(d, "model"),
                       TextOf(d, "sn"),
                       std::fabs(success) < 9e18 ? static_cast<std::int64_t>(success) : 0,
                       NumberOf(d, "lastOffset"),
                       NumberOf(d, "drift"),
                       failed >= 0 && failed < 4e9 ? static_cast<std::uint32_t>(failed) : 0};
}

WriteResult WrittenOf(const Json& w) {
  return WriteResult{IntOf(w, "port"), TextOf(w, "outcome"), TextOf(w, "status"),
                     IntOf(w, "msPastSecond", -1)};
}

Json PcClockJson(const PcClockRead& c) {
  return Json{{"state", c.state},
              {"maxError", NumberOrNull(c.maxError)},
              {"estError", NumberOrNull(c.estError)},
              {"source", c.source},
              {"holdOn", c.holdOn},
              {"maxClockError", c.maxClockError},
              {"held", c.held},
              {"feedAvailable", c.feedAvailable},
              {"feedOn", c.feedOn},
              {"feedSocket", c.feedSocket},
              {"feedSent", c.feedSent},
              {"feedRefused", c.feedRefused}};
}

std::uint64_t CountOf(const Json& object, const char* name) {
  const double value = NumberOf(object, name);
  return value >= 0 && value < 1.8e19 ? static_cast<std::uint64_t>(value) : 0;
}

PcClockRead PcClockOf(const Json& c) {
  return PcClockRead{
      TextOf(c, "state"),      NumberOf(c, "maxError"),    NumberOf(c, "estError"),
      TextOf(c, "source"),     FlagOf(c, "holdOn"),        NumberOf(c, "maxClockError"),
      TextOf(c, "held"),       FlagOf(c, "feedAvailable"), FlagOf(c, "feedOn"),
      TextOf(c, "feedSocket"), CountOf(c, "feedSent"),     CountOf(c, "feedRefused")};
}

ErrorKind ErrorKindOf(const std::string& name) {
  for (ErrorKind kind :
       {ErrorKind::kBadRequest, ErrorKind::kUnknownRequest, ErrorKind::kInvalidArgs,
        ErrorKind::kAccessDenied, ErrorKind::kLimitsExceeded, ErrorKind::kNotActive,
        ErrorKind::kSettings, ErrorKind::kHeld}) {
    if (name == ErrorName(kind)) return kind;
  }
  return ErrorKind::kFailed;
}

}  // namespace

RequestLine DecodeRequestLine(std::string_view line) {
  RequestLine out;
  std::string why;
  const std::optional<Json> parsed = ParseJsonText(line, why);
  if (!parsed) return out.error = Bad("not JSON: " + why), out;
  if (!parsed->is_object()) return out.error = Bad("a request is a JSON object"), out;
  const Json& in = *parsed;
  if (const auto id = in.find("id"); id != in.end()) {
    if (!id->is_string() && !IsWholeNumber(*id)) {
      return out.error = Bad("\"id\" is a number or a string"), out;
    }
    out.id = *id;
  }
  const auto name = in.find("request");
  if (name == in.end() || !name->is_string()) {
    return out.error = Bad("\"request\" names the request, as a string"), out;
  }
  const std::string text = name->get<std::string>();
  const RequestInfo* info = FindRequest(text);
  if (info == nullptr || info->kind == RequestKind::kSetPortPath) {
    // Windows names its COM ports itself; the pipe serves Windows only.
    const std::string why2 = info ? "SetPortPath is for Linux: Windows names its COM ports itself"
                                  : "no request \"" + text + "\"";
    return out.error = ControlError{ErrorKind::kUnknownRequest, why2}, out;
  }
  Request request;
  request.kind = info->kind;
  if (auto wrong = ReadArguments(in, request)) {
    return out.error = ControlError{ErrorKind::kInvalidArgs, *wrong}, out;
  }
  out.request = std::move(request);
  return out;
}

std::string EncodeRequestLine(const Request& r, std::int64_t id) {
  Json o;
  if (id >= 0) o["id"] = id;
  o["request"] = InfoOf(r.kind).name;
  switch (r.kind) {
    case RequestKind::kUpdate:
    case RequestKind::kUpdateForced:
      o["port"] = r.port;
      break;
    case RequestKind::kSetPushOnlyWhenSynchronized:
    case RequestKind::kSetFeedTimeDaemon:
      o["on"] = r.flag;
      break;
    case RequestKind::kSetTimeDaemonSocket:
      o["path"] = r.path;
      break;
    case RequestKind::kSetMaxClockError:
      o["seconds"] = r.seconds;
      break;
    case RequestKind::kRead:
      o["port"] = r.port;
      o["setPc"] = r.flag;
      break;
    case RequestKind::kSetMode:
      o["mode"] = r.number;
      break;
    case RequestKind::kSetInterval:
      o["minutes"] = r.number;
      break;
    case RequestKind::kSetPushOnTimeChange:
    case RequestKind::kSetVerifyWrites:
      o["on"] = r.flag;
      break;
    case RequestKind::kSetActivePorts:
      o["ports"] = r.ports;
      break;
    case RequestKind::kSetPortPath:
      o["port"] = r.port;
      o["path"] = r.path;
      break;
    default:
      break;
  }
  return JsonLine(o);
}

std::string EncodeAnswerLine(RequestKind kind, const Json& id, const Answer& a) {
  Json o;
  if (!id.is_null()) o["id"] = id;
  o["ok"] = a.Ok();
  if (a.error) {
    o["error"] = ErrorName(a.error->kind);
    o["message"] = a.error->message;
    return JsonLine(o);
  }
  switch (kind) {
    case RequestKind::kGetPorts:
    case RequestKind::kWatch: {
      Json rows = Json::array();
      for (const ServiceRow& row : a.rows) rows.push_back(RowJson(row));
      o["ports"] = std::move(rows);
      if (kind == RequestKind::kWatch && a.settings) o["settings"] = SettingsJson(*a.settings);
      break;
    }
    case RequestKind::kGetDevices: {
      Json devices = Json::array();
      for (const ServiceDevice& d : a.devices) devices.push_back(DeviceJson(d));
      o["devices"] = std::move(devices);
      break;
    }
    case RequestKind::kGetSettings:
      if (a.settings) o["settings"] = SettingsJson(*a.settings);
      break;
    case RequestKind::kUpdate:
    case RequestKind::kUpdateForced:
      if (!a.written.empty()) o.update(WrittenJson(a.written.front(), false));
      break;
    case RequestKind::kGetPcClock:
      if (a.pcClock) o["pcClock"] = PcClockJson(*a.pcClock);
      break;
    case RequestKind::kUpdateAll: {
      Json written = Json::array();
      for (const WriteResult& w : a.written) written.push_back(WrittenJson(w, true));
      o["written"] = std::move(written);
      break;
    }
    case RequestKind::kRead:
      if (a.read) {
        o["reply"] = a.read->reply;
        o["askedUtcUs"] = a.read->askedUtcUs;
        o["status"] = a.read->status;
      }
      break;
    default:
      break;
  }
  return JsonLine(o);
}

std::string TooLongLine() {
  return JsonLine(Json{{"ok", false},
                       {"error", ErrorName(ErrorKind::kBadRequest)},
                       {"message", "the line is longer than " + std::to_string(kMaxControlLine) +
                                       " bytes: one request a line"}});
}

std::string EncodeRowEvent(const ServiceRow& row) {
  return JsonLine(Json{{"event", "PortChanged"}, {"row", RowJson(row)}});
}

std::string EncodeSettingsEvent(const ServiceSettingsRead& settings) {
  return JsonLine(Json{{"event", "SettingsChanged"}, {"settings", SettingsJson(settings)}});
}

std::optional<AnswerLine> DecodeAnswerLine(RequestKind kind, std::string_view line,
                                           std::string& error) {
  std::optional<Json> parsed = ParseJsonText(line, error);
  if (parsed && !parsed->is_object()) error = "not a JSON object";
  if (!parsed || !parsed->is_object()) return std::nullopt;
  const Json& in = *parsed;
  AnswerLine out;
  out.event = TextOf(in, "event");
  if (const auto id = in.find("id"); id != in.end()) out.id = *id;
  Answer& a = out.answer;
  if (out.event == "PortChanged" && in.contains("row")) {
    a.rows.push_back(RowOf(in["row"]));
  } else if (out.event == "SettingsChanged" && in.contains("settings")) {
    a.settings = SettingsOf(in["settings"]);
  }
  if (!out.event.empty()) return out;
  if (!FlagOf(in, "ok")) {
    a.error = ControlError{ErrorKindOf(TextOf(in, "error")), TextOf(in, "message")};
    return out;
  }
  if (const auto ports = in.find("ports"); ports != in.end() && ports->is_array()) {
    for (const Json& row : *ports) a.rows.push_back(RowOf(row));
  }
  if (const auto devices = in.find("devices"); devices != in.end() && devices->is_array()) {
    for (const Json& d : *devices) a.devices.push_back(DeviceOf(d));
  }
  if (const auto settings = in.find("settings"); settings != in.end() && settings->is_object()) {
    a.settings = SettingsOf(*settings);
  }
  if (kind == RequestKind::kUpdate || kind == RequestKind::kUpdateForced) {
    a.written.push_back(WrittenOf(in));
  }
  if (const auto c = in.find("pcClock"); c != in.end() && c->is_object()) a.pcClock = PcClockOf(*c);
  if (const auto written = in.find("written"); written != in.end() && written->is_array()) {
    for (const Json& w : *written) a.written.push_back(WrittenOf(w));
  }
  if (kind == RequestKind::kRead) {
    const double asked = NumberOf(in, "askedUtcUs");
    a.read = ReadResult{TextOf(in, "reply"),
                        std::fabs(asked) < 9e18 ? static_cast<std::int64_t>(asked) : 0,
                        TextOf(in, "status")};
  }
  return out;
}

}  // namespace horalign
