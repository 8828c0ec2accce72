// The commands that talk to devices: scan, update and read.
#include "cli/commands.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "cli/headless_core.h"
#include "cli/service_calls.h"
#include "cli/system.h"
#include "core/device/model_table.h"
#include "core/settings/com_ports.h"
#include "core/sync/time_sync.h"
#include "core/ui/port_list.h"
#include "core/ui/text_format.h"
#include "core/util/civil.h"
#include "core/util/json_text.h"
#include "service/service_main.h"

namespace horalign {

namespace {

constexpr std::int32_t kQueryTimeoutTicks = 30;  // as the window reads a device's time

std::vector<int> PortOperands(const CliOptions& options) {
  std::vector<int> ports;
  for (const std::string& a : options.args) ports.push_back(*ParsePortName(a));
  return ports;
}

// How a port's connection went, with the operating system's reason when it did not open.
struct Connected {
  bool opened = false;
  bool found = false;
  std::string reason;   // "is in use by ..." when it did not open
  std::string problem;  // the path and the reason
};

Connected ConnectPort(HeadlessCore& core, int port) {
  Connected c;
  c.found = core.Connect(port);
  c.opened = core.form.Ports().Active(port) != PortActive::kUnavailable;
  if (!c.opened) {
    const std::string path = core.PortPath(port);
    c.reason = WhyPortDidNotOpen(path);
    c.problem = path + " " + c.reason;
  }
  return c;
}

// "2026-05-12 14:05:09" and, with milliseconds, "2026-05-12 14:05:09.412".
std::string IsoText(const CivilTime& t, bool withMs) {
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour,
                t.minute, t.second);
  std::string out = text;
  if (withMs) out += "." + ZeroPad(t.Millisecond(), 3);
  return out;
}

// The device's time in a valid "QT" reply. A device without a calendar sends no valid
// date: its time of day is then taken on the day nearest the PC's.
CivilTime DeviceTimeOf(const std::string& reply, const CivilTime& pcNow) {
  const int hour = TwoDigits(reply, 0), minute = TwoDigits(reply, 2), second = TwoDigits(reply, 4);
  const int month = TwoDigits(reply, 6), day = TwoDigits(reply, 8), yy = TwoDigits(reply, 10);
  const int year = yy < 0 ? -1 : NearestCentury(yy, pcNow.year);
  CivilTime t = NearestWithTimeOfDay(pcNow, hour * 3600 + minute * 60 + second);
  if (IsValidDate(year, month, day)) {
    t.year = year, t.month = month, t.day = day;
    t.weekday = WeekdayOf(year, month, day);
  }
  t.micro = 0;
  return t;
}

std::string Escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\r') {
      out += "\\r";
    } else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", static_cast<unsigned char>(c));
      out += hex;
    } else {
      out += c;
    }
  }
  return out;
}

// What scan tells of one port: asked of the service when it has the port active, else
// found out here.
struct Probe {
  Connected c;
  std::string path, device, sn, settings, status;
};

Probe ProbePort(HeadlessCore& core, RunningService* service, int port) {
  Probe p;
  if (const ServiceRow* row = service ? service->Owned(port) : nullptr) {
    p.c.opened = true, p.c.found = row->detected;
    p.path = row->path, p.device = row->device, p.sn = row->sn, p.settings = row->settings;
    p.status = row->status;
    return p;
  }
  p.c = ConnectPort(core, port);
  p.path = core.PortPath(port);
  p.device = core.Cell(port, kColDevice), p.sn = core.Cell(port, kColSerial);
  p.settings = core.Cell(port, kColSettings), p.status = core.Cell(port, kColStatus);
  return p;
}

// What update tells of one port.
struct Written {
  std::string outcome, status, path, device, sn;
  std::int64_t msPast = -1;
  bool found = false;
  bool refused = false;  // polkit did not allow it; the status says so
};

Written WriteHere(HeadlessCore& core, int port, bool force) {
  Written w;
  // As the service holds it back: the settings' hold applies to a command's own write too.
  if (const HoldReason hold = core.form.HoldNow(); hold != HoldReason::kNone && !force) {
    w.outcome = "held", w.status = HoldText(hold), w.path = core.PortPath(port);
    return w;
  }
  const Connected c = ConnectPort(core, port);
  w.found = c.found;
  w.outcome = c.opened ? "no-device" : "unavailable";
  w.status = c.opened ? core.Cell(port, kColStatus) : c.problem;
  if (c.found) {
    core.serial.Forget();
    const bool updated = core.form.Sync().WriteTime(static_cast<std::int16_t>(port));
    w.outcome = updated ? "updated" : "failed";
    w.status = core.Cell(port, kColStatus);
    if (core.serial.TimeCommandUs() > 0) w.msPast = core.serial.TimeCommandUs() % 1'000'000 / 1000;
  }
  w.path = core.PortPath(port);
  w.device = core.Cell(port, kColDevice), w.sn = core.Cell(port, kColSerial);
  return w;
}

// The service writes a port it has active, between its own operations.
Written WriteThrough(RunningService& service, int port, bool force) {
  const ServiceRow row = *service.Owned(port);
  Written w;
  w.path = row.path, w.device = row.device, w.sn = row.sn, w.found = row.detected;
  const Answer answer =
      service.Call(PortRequest(force ? RequestKind::kUpdateForced : RequestKind::kUpdate, port));
  const bool done = answer.Ok() && !answer.written.empty();
  w.refused = answer.error && answer.error->kind == ErrorKind::kAccessDenied;
  const bool held = answer.error && answer.error->kind == ErrorKind::kHeld;
  w.outcome = done ? answer.written.front().outcome : held ? "held" : "failed";
  w.status = done ? answer.written.front().status : answer.error ? answer.error->message : "";
  if (done) w.msPast = answer.written.front().msPastSecond;
  return w;
}

// A device's answer to "QT" and who gave it.
struct Asked {
  std::string model, sn, reply;
  std::int64_t askedUs = 0;  // when the question was written
  std::string status;        // the service's, after it set the PC clock
};

int AskHere(HeadlessCore& core, int port, Asked& a) {
  const auto id = static_cast<std::int16_t>(port);
  const Connected c = ConnectPort(core, port);
  if (!c.opened) {
    Complain(ComName(port) + ": " + c.problem);
    return kExitPort;
  }
  const PortDevice device = core.form.Ports().Device(port);
  if (!c.found) {
    Complain(ComName(port) + ": " + core.Cell(port, kColStatus));
    return kExitFailed;
  }
  if (!SupportsTimeQuery(device.kind)) {
    Complain(ComName(port) + ": the " + device.model + " does not tell its time (QT)");
    return kExitFailed;
  }
  // The query as the window makes it: only a line that arrives during it is an answer.
  core.paging.OpenPort(core.serialPort, id, device.settings);
  const std::uint64_t linesBefore = core.paging.LinesReceived();
  core.paging.QueryDevice("QT", "", 13, Frame::kPlain, kQueryTimeoutTicks, a.reply);
  if (core.paging.LinesReceived() == linesBefore) a.reply.clear();
  a.askedUs = core.serial.LastWriteUs();
  a.model = device.model, a.sn = core.Cell(port, kColSerial);
  return kExitOk;
}

// The service asks a device it has active, and sets the PC clock from it when told to.
int AskThrough(RunningService& service, int port, bool setPc, Asked& a) {
  const ServiceRow row = *service.Owned(port);
  const Answer answer = service.Call(PortRequest(RequestKind::kRead, port, setPc));
  if (const int code = Complained(answer, ComName(port) + ": "); code != kExitOk) return code;
  const ReadResult read = answer.read.value_or(ReadResult{});
  a.model = row.device, a.sn = row.sn, a.reply = read.reply, a.askedUs = read.askedUtcUs;
  a.status = read.status;
  return kExitOk;
}

}  // namespace

void Print(const std::string& text) {
  std::fputs(text.c_str(), stdout);
}

std::string Padded(std::string text, std::size_t width) {
  if (text.size() < width) text.resize(width, ' ');
  return text;
}

void PrintJson(const Json& value) {
  Print(JsonLine(value) + "\n");
}

int ScanCommand(const CliOptions& options, const std::string& settingsPath) {
  CheckSettingsFile(settingsPath);
  HeadlessCore core(settingsPath, options.verbose);
  const std::unique_ptr<RunningService> service = RunningService::Find();
  std::vector<int> ports = PortOperands(options);
  if (ports.empty()) {
    for (int n = 1; n <= kPortRows; ++n) ports.push_back(n);
  }
  Json json = Json::array();
  if (!options.json)
    Print("PORT   PATH                            OPEN DEVICE            S/N     SETTINGS\n");
  for (int port : ports) {
    const Probe p = ProbePort(core, service.get(), port);
    const Connected& c = p.c;
    Json o{{"port", ComName(port)}, {"path", p.path}, {"open", c.opened}};
    if (c.found) {
      o.update({{"device", p.device},
                {"sn", p.sn},
                {"settings", p.settings},
                {"speed", std::atoi(p.settings.c_str())}});
    } else {
      o.update({{"device", nullptr}, {"sn", nullptr}, {"settings", nullptr}, {"speed", nullptr}});
      o["problem"] = c.opened ? p.status : c.problem;
    }
    json.push_back(std::move(o));
    if (options.json) continue;
    std::string line =
        Padded(ComName(port), 7) + Padded(p.path, 32) + " " + Padded(c.opened ? "yes" : "no", 5);
    if (c.found) {
      line += Padded(p.device, 18) + Padded(p.sn, 8) + p.settings;
    } else {
      line += c.opened ? "no device answered" : c.reason;
    }
    Print(line + "\n");
  }
  if (options.json) PrintJson(Json{{"ports", std::move(json)}});
  return kExitOk;
}

int UpdateCommand(const CliOptions& options, const std::string& settingsPath) {
  CheckSettingsFile(settingsPath);
  HeadlessCore core(settingsPath, options.verbose);
  std::vector<int> ports = PortOperands(options);
  if (ports.empty()) {
    for (int n = 1; n <= kPortRows; ++n) {
      if (core.config.UsedComPorts & PortBit(n)) ports.push_back(n);
    }
  }
  if (ports.empty()) {
    Complain("no port given, and none is active in " + settingsPath);
    return kExitUsage;
  }
  const std::unique_ptr<RunningService> service = RunningService::Find();
  bool portProblem = false, deviceProblem = false, heldBack = false;
  Json json = Json::array();
  for (int port : ports) {
    Written w = service && service->Owned(port) ? WriteThrough(*service, port, options.force)
                                                : WriteHere(core, port, options.force);
    if (w.refused) {
      Complain(ComName(port) + ": " + w.status);
      return kExitRefused;
    }
    heldBack |= w.outcome == "held";
    (w.outcome == "unavailable" ? portProblem : deviceProblem) |=
        w.outcome != "updated" && w.outcome != "held";
    Json o{{"port", ComName(port)},
           {"path", w.path},
           {"outcome", w.outcome},
           {"status", w.status},
           {"ms_past_second", w.msPast >= 0 ? Json(w.msPast) : Json(nullptr)}};
    if (w.found) o.update({{"device", w.device}, {"sn", w.sn}});
    json.push_back(std::move(o));
    if (!options.json) {
      Print(Padded(ComName(port), 7) + Padded(w.outcome, 12) +
            Padded(w.msPast >= 0 ? std::to_string(w.msPast) + " ms" : "", 8) + w.status + "\n");
    }
  }
  if (options.json) PrintJson(Json{{"ports", std::move(json)}});
  if (heldBack) Complain("the PC clock's state holds the writes back; --force writes anyway");
  return portProblem ? kExitPort : deviceProblem ? kExitFailed : heldBack ? kExitHeld : kExitOk;
}

int ReadCommand(const CliOptions& options, const std::string& settingsPath) {
  CheckSettingsFile(settingsPath);
  HeadlessCore core(settingsPath, options.verbose);
  const int port = *ParsePortName(options.args[0]);
  const std::unique_ptr<RunningService> service = RunningService::Find();
  const bool through = service && service->Owned(port);
  Asked a;
  if (const int code =
          through ? AskThrough(*service, port, options.setPc, a) : AskHere(core, port, a);
      code != kExitOk) {
    return code;
  }
  const std::string& reply = a.reply;
  // The device answers within milliseconds; the monitor takes the answer in up to half a
  // second later. The PC's time is therefore the time the question was written.
  const std::int64_t sinceAskedUs = RealtimeUs() - a.askedUs;
  const CivilTime pcNow = FromEpochMicros(ToEpochMicros(core.clock.LocalNow()) - sinceAskedUs);
  if (!DecideQtReply(reply, pcNow).accepted) {
    Complain(ComName(port) + ": no valid time in the answer \"" + Escaped(reply) + "\"");
    return kExitFailed;
  }
  const CivilTime deviceTime = DeviceTimeOf(reply, pcNow);
  CivilTime pcSecond = pcNow;
  pcSecond.micro = 0;
  const std::int64_t offsetS = (ToEpochMicros(deviceTime) - ToEpochMicros(pcSecond)) / 1'000'000;

  std::string status = a.status;
  int code = kExitOk;
  if (options.setPc) {
    if (!through) {
      core.form.Sync().ProcessTime(static_cast<std::int16_t>(port), reply);
      status = core.Cell(port, kColStatus);
    }
    if (status != "PC updated successfully.") {
      code = status.starts_with("Unable to set PC time") ? kExitClock : kExitFailed;
    }
  }
  if (options.json) {
    PrintJson(Json{{"port", ComName(port)},
                   {"device", a.model},
                   {"sn", a.sn},
                   {"reply", reply},
                   {"device_time", IsoText(deviceTime, false)},
                   {"pc_time", IsoText(pcNow, true)},
                   {"offset_s", offsetS},
                   {"status", options.setPc ? Json(status) : Json(nullptr)}});
  } else {
    Print(ComName(port) + " " + a.model + " S/N " + a.sn + "\n");
    Print("device time  " + IsoText(deviceTime, false) + "\n");
    Print("PC time      " + IsoText(pcNow, true) + " (when asked)\n");
    Print("offset       " + std::string(offsetS > 0 ? "+" : "") + std::to_string(offsetS) +
          " s (device minus PC, in whole seconds)\n");
    if (options.setPc) Print("status       " + status + "\n");
  }
  return code;
}

}  // namespace horalign
