// The commands that talk to devices: scan, update and read.
#include "cli/commands.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "cli/headless_core.h"
#include "cli/json_text.h"
#include "core/device/model_table.h"
#include "core/sync/time_sync.h"
#include "core/ui/port_list.h"
#include "core/ui/text_format.h"
#include "core/util/civil.h"

namespace horalign {
namespace {

constexpr std::int32_t kQueryTimeoutTicks = 30;  // as the window reads a device's time

std::string ComName(int port) {
  return "COM" + std::to_string(port);
}

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

void Print(const std::string& text) {
  std::fputs(text.c_str(), stdout);
}

std::string Padded(std::string text, std::size_t width) {
  if (text.size() < width) text.resize(width, ' ');
  return text;
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

}  // namespace

void Complain(const std::string& text) {
  std::fprintf(stderr, "horalign-cli: %s\n", text.c_str());
}

int ScanCommand(const CliOptions& options, const std::string& settingsPath) {
  CheckSettingsFile(settingsPath);
  HeadlessCore core(settingsPath, options.verbose);
  std::vector<int> ports = PortOperands(options);
  if (ports.empty()) {
    for (int n = 1; n <= kPortRows; ++n) ports.push_back(n);
  }
  std::vector<std::string> json;
  if (!options.json)
    Print("PORT   PATH                            OPEN DEVICE            S/N     SETTINGS\n");
  for (int port : ports) {
    const Connected c = ConnectPort(core, port);
    const std::string path = core.PortPath(port);
    const std::string& settings = core.Cell(port, kColSettings);
    JsonObject o;
    o.Add("port", ComName(port)).Add("path", path).Add("open", c.opened);
    if (c.found) {
      o.Add("device", core.Cell(port, kColDevice)).Add("sn", core.Cell(port, kColSerial));
      o.Add("settings", settings).Add("speed", std::atoi(settings.c_str()));
    } else {
      o.Null("device").Null("sn").Null("settings").Null("speed");
      o.Add("problem", c.opened ? core.Cell(port, kColStatus) : c.problem);
    }
    json.push_back(o.Text());
    if (options.json) continue;
    std::string line =
        Padded(ComName(port), 7) + Padded(path, 32) + " " + Padded(c.opened ? "yes" : "no", 5);
    if (c.found) {
      line += Padded(core.Cell(port, kColDevice), 18) + Padded(core.Cell(port, kColSerial), 8) +
              settings;
    } else {
      line += c.opened ? "no device answered" : c.reason;
    }
    Print(line + "\n");
  }
  if (options.json) Print(JsonObject().Raw("ports", JsonArray(json)).Text() + "\n");
  return kExitOk;
}

int UpdateCommand(const CliOptions& options, const std::string& settingsPath) {
  CheckSettingsFile(settingsPath);
  HeadlessCore core(settingsPath, options.verbose);
  std::vector<int> ports = PortOperands(options);
  if (ports.empty()) {
    for (int n = 1; n <= kPortRows; ++n) {
      if (core.config.UsedComPorts & (1 << (n - 1))) ports.push_back(n);
    }
  }
  if (ports.empty()) {
    Complain("no port given, and none is active in " + settingsPath);
    return kExitUsage;
  }
  bool portProblem = false, deviceProblem = false;
  std::vector<std::string> json;
  for (int port : ports) {
    const Connected c = ConnectPort(core, port);
    std::string outcome = c.opened ? "no-device" : "unavailable";
    std::string status = c.opened ? core.Cell(port, kColStatus) : c.problem;
    std::int64_t msPast = -1;
    if (c.found) {
      core.serial.Forget();
      const bool updated = core.form.Sync().WriteTime(static_cast<std::int16_t>(port));
      outcome = updated ? "updated" : "failed";
      status = core.Cell(port, kColStatus);
      if (core.serial.TimeCommandUs() > 0) msPast = core.serial.TimeCommandUs() % 1'000'000 / 1000;
    }
    (outcome == "unavailable" ? portProblem : deviceProblem) |= outcome != "updated";
    JsonObject o;
    o.Add("port", ComName(port)).Add("path", core.PortPath(port)).Add("outcome", outcome);
    o.Add("status", status);
    if (msPast >= 0) {
      o.Add("ms_past_second", msPast);
    } else {
      o.Null("ms_past_second");
    }
    if (c.found)
      o.Add("device", core.Cell(port, kColDevice)).Add("sn", core.Cell(port, kColSerial));
    json.push_back(o.Text());
    if (!options.json) {
      Print(Padded(ComName(port), 7) + Padded(outcome, 12) +
            Padded(msPast >= 0 ? std::to_string(msPast) + " ms" : "", 8) + status + "\n");
    }
  }
  if (options.json) Print(JsonObject().Raw("ports", JsonArray(json)).Text() + "\n");
  return portProblem ? kExitPort : deviceProblem ? kExitFailed : kExitOk;
}

int ReadCommand(const CliOptions& options, const std::string& settingsPath) {
  CheckSettingsFile(settingsPath);
  HeadlessCore core(settingsPath, options.verbose);
  const int port = *ParsePortName(options.args[0]);
  const auto id = static_cast<std::int16_t>(port);
  const Connected c = ConnectPort(core, port);
  if (!c.opened) {
    Complain(ComName(port) + ": " + c.problem);
    return kExitPort;
  }
  const PortDevice device = core.form.Ports().Device(port);
  const std::string& model = device.model;
  if (!c.found) {
    Complain(ComName(port) + ": " + core.Cell(port, kColStatus));
    return kExitFailed;
  }
  if (!SupportsTimeQuery(device.kind)) {
    Complain(ComName(port) + ": the " + model + " does not tell its time (QT)");
    return kExitFailed;
  }
  // The query as the window makes it: only a line that arrives during it is an answer.
  core.paging.OpenPort(core.serialPort, id, device.settings);
  const std::uint64_t linesBefore = core.paging.LinesReceived();
  std::string reply;
  core.paging.QueryDevice("QT", "", 13, Frame::kPlain, kQueryTimeoutTicks, reply);
  if (core.paging.LinesReceived() == linesBefore) reply.clear();
  // The device answers within milliseconds; the monitor takes the answer in up to half a
  // second later. The PC's time is therefore the time the question was written.
  const std::int64_t sinceAskedUs = RealtimeUs() - core.serial.LastWriteUs();
  const CivilTime pcNow = FromEpochMicros(ToEpochMicros(core.clock.LocalNow()) - sinceAskedUs);
  if (!DecideQtReply(reply, pcNow).accepted) {
    Complain(ComName(port) + ": no valid time in the answer \"" + Escaped(reply) + "\"");
    return kExitFailed;
  }
  const CivilTime deviceTime = DeviceTimeOf(reply, pcNow);
  CivilTime pcSecond = pcNow;
  pcSecond.micro = 0;
  const std::int64_t offsetS = (ToEpochMicros(deviceTime) - ToEpochMicros(pcSecond)) / 1'000'000;

  std::string status;
  int code = kExitOk;
  if (options.setPc) {
    core.form.Sync().ProcessTime(id, reply);
    status = core.Cell(port, kColStatus);
    if (status != "PC updated successfully.") {
      code = status.starts_with("Unable to set PC time") ? kExitClock : kExitFailed;
    }
  }
  if (options.json) {
    JsonObject o;
    o.Add("port", ComName(port)).Add("device", model).Add("sn", core.Cell(port, kColSerial));
    o.Add("reply", reply).Add("device_time", IsoText(deviceTime, false));
    o.Add("pc_time", IsoText(pcNow, true)).Add("offset_s", offsetS);
    if (options.setPc) {
      o.Add("status", status);
    } else {
      o.Null("status");
    }
    Print(o.Text() + "\n");
  } else {
    Print(ComName(port) + " " + model + " S/N " + core.Cell(port, kColSerial) + "\n");
    Print("device time  " + IsoText(deviceTime, false) + "\n");
    Print("PC time      " + IsoText(pcNow, true) + " (when asked)\n");
    Print("offset       " + std::string(offsetS > 0 ? "+" : "") + std::to_string(offsetS) +
          " s (device minus PC, in whole seconds)\n");
    if (options.setPc) Print("status       " + status + "\n");
  }
  return code;
}

}  // namespace horalign
