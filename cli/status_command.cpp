// The command that shows the running service: status, as text, JSON or OpenMetrics.
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/service_calls.h"
#include "core/settings/com_ports.h"
#include "core/util/json_text.h"

namespace horalign {
namespace {

// A column: `text` padded to `width`, and one blank after it should it be wider.
std::string Column(std::string text, std::size_t width) {
  if (text.size() < width) text.resize(width, ' ');
  return text + (text.size() > width ? " " : "");
}

std::string Number(double value, const char* format) {
  char text[48];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

const ServiceDevice* DeviceOn(const std::vector<ServiceDevice>& devices, int port) {
  for (const auto& d : devices) {
    if (d.port == port) return &d;
  }
  return nullptr;
}

// A label value of the text format: backslash, double quote and newline escaped.
std::string Label(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c == '\n' ? std::string("\\n") : std::string(1, c);
  }
  return out;
}

std::string Family(const char* name, const char* type, const char* help) {
  return std::string("# TYPE ") + name + " " + type + "\n# HELP " + name + " " + help + "\n";
}

// Whether the service answered: a monitor tells a service that is down from one with no
// figures by these two, so a scrape of a dead service prints them too.
std::string Up(bool up) {
  return Family("horalign_up", "gauge", "1 when the service answered this scrape, else 0.") +
         "horalign_up " + (up ? "1" : "0") + "\n" +
         Family("horalign_last_scrape_error", "gauge",
                "1 when asking the service failed, else 0.") +
         "horalign_last_scrape_error " + (up ? "0" : "1") + "\n";
}

// The PC clock's two figures: no sample for a state or a bound the system does not give.
std::string PcClockMetrics(const PcClockRead& c) {
  std::string out = Family("horalign_pc_clock_synchronized", "gauge",
                           "1 while the PC clock is synchronised, 0 while it is not.");
  if (c.state != "unknown") {
    out += std::string("horalign_pc_clock_synchronized ") +
           (c.state == "synchronized" ? "1" : "0") + "\n";
  }
  out += Family("horalign_pc_clock_max_error_seconds", "gauge",
                "The bound the system gives the PC clock's error.");
  if (!std::isnan(c.maxError)) {
    out += "horalign_pc_clock_max_error_seconds " + Number(c.maxError, "%.17g") + "\n";
  }
  // Only where there is a time daemon to feed: elsewhere no sample could ever be counted.
  out += Family("horalign_time_daemon_samples", "counter",
                "Readings handed to the time daemon, by whether it took them.");
  if (c.feedAvailable) {
    out += "horalign_time_daemon_samples_total{result=\"sent\"} " + std::to_string(c.feedSent) +
           "\nhoralign_time_daemon_samples_total{result=\"refused\"} " +
           std::to_string(c.feedRefused) + "\n";
  }
  return out;
}

Json PcClockJson(const PcClockRead& c) {
  return Json{{"state", c.state},
              {"max_error_s", NumberOrNull(c.maxError)},
              {"est_error_s", NumberOrNull(c.estError)},
              {"source", c.source},
              {"push_only_when_synchronized", c.holdOn},
              {"maximum_clock_error_s", c.maxClockError},
              {"held", c.held.empty() ? Json(nullptr) : Json(c.held)},
              {"time_daemon", Json{{"available", c.feedAvailable},
                                   {"on", c.feedOn},
                                   {"socket", c.feedSocket},
                                   {"sent", c.feedSent},
                                   {"refused", c.feedRefused}}}};
}

std::string PcClockLine(const PcClockRead& c) {
  std::string line = "pc clock  " + c.state;
  if (!std::isnan(c.maxError)) line += Number(c.maxError, ", max. error %.6f s");
  if (!std::isnan(c.estError)) line += Number(c.estError, ", est. error %.6f s");
  if (!c.source.empty()) line += ", source " + c.source;
  line += "\nhold      ";
  line += c.holdOn ? Number(c.maxClockError, "on, bound %g s") : "off";
  if (!c.held.empty()) line += " - " + c.held;
  line += "\nfeed      ";
  if (!c.feedAvailable) return line + "not available: " + kNoTimeDaemonText + "\n";
  line += c.feedOn ? "on" : "off";
  return line + ", socket " + c.feedSocket + ", " + std::to_string(c.feedSent) + " sent, " +
         std::to_string(c.feedRefused) + " refused\n";
}

std::string OpenMetrics(const std::vector<ServiceDevice>& devices, const PcClockRead& clock) {
  struct Figure {
    const char* name;
    const char* type;
    const char* help;
    double (*value)(const ServiceDevice&);
    const char* sample;  // the sample's name where it differs from the family's
  };
  const Figure figures[] = {
      {"horalign_last_success_timestamp_seconds", "gauge",
       "When the PC time was last written to the device successfully.",
       [](const ServiceDevice& d) {
         return d.lastSuccessUtcMs > 0 ? d.lastSuccessUtcMs / 1000.0 : NAN;
       },
       nullptr},
      {"horalign_offset_seconds", "gauge",
       "The device's time minus the PC's, read back after the last write.",
       [](const ServiceDevice& d) { return d.lastOffset; }, nullptr},
      {"horalign_drift_seconds_per_day", "gauge", "How fast the device's clock drifts.",
       [](const ServiceDevice& d) { return d.drift; }, nullptr},
      {"horalign_failed_updates", "counter", "Writes to the device that failed.",
       [](const ServiceDevice& d) { return double(d.failedUpdates); },
       "horalign_failed_updates_total"},
  };
  std::string out = Up(true);
  for (const Figure& f : figures) {
    out += Family(f.name, f.type, f.help);
    for (const auto& d : devices) {
      const double value = f.value(d);
      if (std::isnan(value)) continue;  // not known: no sample
      out += std::string(f.sample ? f.sample : f.name) + "{port=\"" + ComName(d.port) +
             "\",device=\"" + Label(d.model) + "\",sn=\"" + Label(d.sn) + "\"} " +
             Number(value, "%.17g") + "\n";
    }
  }
  return out + PcClockMetrics(clock) + "# EOF\n";
}

Json PortJson(const ServiceRow& r, const ServiceDevice* d) {
  Json o{{"port", ComName(r.port)},
         {"path", r.path},
         {"active", r.active},
         {"status", r.status},
         {"status_time", r.statusTime},
         {"device", r.device},
         {"sn", r.sn},
         {"detected", r.detected},
         {"settings", r.settings}};
  o["drift_s_per_day"] = d ? NumberOrNull(d->drift) : Json(nullptr);
  o["last_offset_s"] = d ? NumberOrNull(d->lastOffset) : Json(nullptr);
  o["last_success_utc_ms"] =
      d && d->lastSuccessUtcMs > 0 ? Json(d->lastSuccessUtcMs) : Json(nullptr);
  o["failed_updates"] = d ? Json(d->failedUpdates) : Json(nullptr);
  return o;
}

Json SettingsJson(const ServiceSettingsRead& s) {
  Json active = Json::array();
  for (int port : s.active) active.push_back(ComName(port));
  return Json{{"settings", s.path},
              {"mode", s.mode},
              {"active", std::move(active)},
              {"interval_min", s.interval},
              {"push_on_time_change", s.pushOnTimeChange},
              {"verify_writes", s.verifyWrites}};
}

void PrintText(const Answer& rows, const Answer& devices, const ServiceSettingsRead& s,
               const PcClockRead& clock) {
  std::string active;
  for (int port : s.active) active += (active.empty() ? "" : " ") + ComName(port);
  Print("settings  " + s.path + "\nmode      " + std::to_string(s.mode) + "\nactive    " +
        (active.empty() ? "none" : active) + "\ninterval  " + std::to_string(s.interval) +
        " minutes\n" + PcClockLine(clock) + "\n");
  Print("PORT   ACTIVE DEVICE            S/N     SETTINGS    DRIFT         STATUS\n");
  for (const ServiceRow& r : rows.rows) {
    const ServiceDevice* d = DeviceOn(devices.devices, r.port);
    const std::string drift =
        d != nullptr && !std::isnan(d->drift) ? Number(d->drift, "%+.3f s/day") : "";
    Print(Column(ComName(r.port), 7) + Column(r.active, 7) + Column(r.device, 18) +
          Column(r.sn, 8) + Column(r.settings, 12) + Column(drift, 14) + r.status +
          (r.statusTime.empty() ? "" : " (" + r.statusTime + ")") + "\n");
  }
}

}  // namespace

int StatusCommand(const CliOptions& options, const std::string&) {
  std::string why;
  const std::unique_ptr<ServiceConnection> service = ConnectToService(&why);
  const Answer rows = service ? service->Call(MakeRequest(RequestKind::kGetPorts)) : Answer{};
  const Answer devices =
      service && rows.Ok() ? service->Call(MakeRequest(RequestKind::kGetDevices)) : Answer{};
  const Answer settings =
      service && devices.Ok() ? service->Call(MakeRequest(RequestKind::kGetSettings)) : Answer{};
  const Answer* failed = !rows.Ok() ? &rows : !devices.Ok() ? &devices : &settings;
  const bool answered = service && failed->Ok() && settings.settings.has_value();
  if (!answered) {
    if (service)
      why = "the service did not answer: " + (failed->error ? failed->error->message : "");
    Complain(why);
    // A monitor's scrape goes on: "down" is a figure, and old ones must not stay behind.
    if (options.openMetrics) Print(Up(false) + "# EOF\n");
    return options.openMetrics ? kExitOk
           : failed->error     ? ExitCodeOf(failed->error->kind)
                               : kExitFailed;
  }
  // A service that cannot tell reads as one whose clock's state is unknown.
  const Answer asked = service->Call(MakeRequest(RequestKind::kGetPcClock));
  PcClockRead clock;
  clock.maxError = clock.estError = NAN;
  if (asked.pcClock) clock = *asked.pcClock;
  if (options.openMetrics) {
    Print(OpenMetrics(devices.devices, clock));
  } else if (options.json) {
    Json ports = Json::array();
    for (const ServiceRow& r : rows.rows)
      ports.push_back(PortJson(r, DeviceOn(devices.devices, r.port)));
    PrintJson(Json{{"settings", SettingsJson(*settings.settings)},
                   {"ports", std::move(ports)},
                   {"pc_clock", PcClockJson(clock)}});
  } else {
    PrintText(rows, devices, *settings.settings, clock);
  }
  return kExitOk;
}

}  // namespace horalign
