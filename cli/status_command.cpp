// The command that shows the running service: status, as text, JSON or OpenMetrics.
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#if defined(_WIN32)
#include "control/win32/pipe_client.h"
#else
#include "control/posix/bus_client.h"
#include "control/posix/bus_names.h"
#endif
#include "cli/commands.h"
#include "control/json_text.h"
#include "core/ui/port_list.h"

namespace horalign {
namespace {

void Print(const std::string& text) {
  std::fputs(text.c_str(), stdout);
}

std::string Padded(std::string text, std::size_t width) {
  if (text.size() < width) text.resize(width, ' ');
  return text + (text.size() > width ? " " : "");
}

std::string Number(double value, const char* format) {
  char text[48];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

const ServiceClient::Device* DeviceOn(const std::vector<ServiceClient::Device>& devices, int port) {
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

std::string OpenMetrics(const std::vector<ServiceClient::Device>& devices) {
  struct Family {
    const char* name;
    const char* type;
    const char* help;
    double (*value)(const ServiceClient::Device&);
    const char* sample;  // the sample's name where it differs from the family's
  };
  const Family families[] = {
      {"horalign_last_success_timestamp_seconds", "gauge",
       "When the PC time was last written to the device successfully.",
       [](const ServiceClient::Device& d) {
         return d.lastSuccessUtcMs > 0 ? d.lastSuccessUtcMs / 1000.0 : NAN;
       },
       nullptr},
      {"horalign_offset_seconds", "gauge",
       "The device's time minus the PC's, read back after the last write.",
       [](const ServiceClient::Device& d) { return d.lastOffset; }, nullptr},
      {"horalign_drift_seconds_per_day", "gauge", "How fast the device's clock drifts.",
       [](const ServiceClient::Device& d) { return d.drift; }, nullptr},
      {"horalign_failed_updates", "counter", "Writes to the device that failed.",
       [](const ServiceClient::Device& d) { return double(d.failedUpdates); },
       "horalign_failed_updates_total"},
  };
  std::string out;
  for (const Family& f : families) {
    out += std::string("# TYPE ") + f.name + " " + f.type + "\n";
    out += std::string("# HELP ") + f.name + " " + f.help + "\n";
    for (const auto& d : devices) {
      const double value = f.value(d);
      if (std::isnan(value)) continue;  // not known: no sample
      out += std::string(f.sample ? f.sample : f.name) + "{port=\"COM" + std::to_string(d.port) +
             "\",device=\"" + Label(d.model) + "\",sn=\"" + Label(d.sn) + "\"} " +
             Number(value, "%.17g") + "\n";
    }
  }
  return out + "# EOF\n";
}

std::string JsonNumber(double value) {
  return std::isnan(value) ? "null" : Number(value, "%.17g");
}

std::string PortJson(int port, const RunningService::Row& r, const ServiceClient::Device* d) {
  JsonObject o;
  o.Add("port", "COM" + std::to_string(port)).Add("path", r.path).Add("active", r.active);
  o.Add("status", r.status).Add("status_time", r.statusTime).Add("device", r.device);
  o.Add("sn", r.sn).Add("detected", r.detected).Add("settings", r.settings);
  if (d != nullptr) {
    o.Raw("drift_s_per_day", JsonNumber(d->drift)).Raw("last_offset_s", JsonNumber(d->lastOffset));
    o.Raw("last_success_utc_ms",
          d->lastSuccessUtcMs > 0 ? std::to_string(d->lastSuccessUtcMs) : "null");
    o.Add("failed_updates", std::int64_t{d->failedUpdates});
  } else {
    o.Null("drift_s_per_day").Null("last_offset_s").Null("last_success_utc_ms");
    o.Null("failed_updates");
  }
  return o.Text();
}

std::string SettingsJson(const ServiceClient::Settings& s) {
  std::vector<std::string> active;
  for (int port : s.active) active.push_back(JsonString("COM" + std::to_string(port)));
  return JsonObject()
      .Add("settings", s.path)
      .Add("mode", s.mode)
      .Raw("active", JsonArray(active))
      .Add("interval_min", s.interval)
      .Add("push_on_time_change", s.pushOnTimeChange)
      .Add("verify_writes", s.verifyWrites)
      .Text();
}

void PrintText(const std::vector<RunningService::Row>& rows,
               const std::vector<ServiceClient::Device>& devices,
               const ServiceClient::Settings& s) {
  std::string active;
  for (int port : s.active) active += (active.empty() ? "COM" : " COM") + std::to_string(port);
  Print("settings  " + s.path + "\nmode      " + std::to_string(s.mode) + "\nactive    " +
        (active.empty() ? "none" : active) + "\ninterval  " + std::to_string(s.interval) +
        " minutes\n\n");
  Print("PORT   ACTIVE DEVICE            S/N     SETTINGS    DRIFT         STATUS\n");
  for (int port = 1; port <= static_cast<int>(rows.size()); ++port) {
    const RunningService::Row& r = rows[static_cast<std::size_t>(port - 1)];
    const ServiceClient::Device* d = DeviceOn(devices, port);
    const std::string drift =
        d != nullptr && !std::isnan(d->drift) ? Number(d->drift, "%+.3f s/day") : "";
    Print(Padded("COM" + std::to_string(port), 7) + Padded(r.active, 7) + Padded(r.device, 18) +
          Padded(r.sn, 8) + Padded(r.settings, 12) + Padded(drift, 14) + r.status +
          (r.statusTime.empty() ? "" : " (" + r.statusTime + ")") + "\n");
  }
}

}  // namespace

int StatusCommand(const CliOptions& options, const std::string&) {
  const std::unique_ptr<ServiceClient> service = ServiceClient::Connect();
  if (!service) {
#if defined(_WIN32)
    Complain(ServiceClient::NotRunning());
#else
    Complain(std::string("no service runs: ") + kBusName + " has no owner on the system bus");
#endif
    return kExitFailed;
  }
  std::vector<RunningService::Row> rows;
  std::vector<ServiceClient::Device> devices;
  ServiceClient::Settings settings;
  int code = service->Rows(rows);
  if (code == kExitOk) code = service->Devices(devices);
  if (code == kExitOk) code = service->GetSettings(settings);
  if (code != kExitOk) {
    Complain("the service did not answer: " + service->Problem());
    return code;
  }
  if (options.openMetrics) {
    Print(OpenMetrics(devices));
  } else if (options.json) {
    std::vector<std::string> ports;
    for (int port = 1; port <= static_cast<int>(rows.size()); ++port) {
      ports.push_back(
          PortJson(port, rows[static_cast<std::size_t>(port - 1)], DeviceOn(devices, port)));
    }
    Print(
        JsonObject().Raw("settings", SettingsJson(settings)).Raw("ports", JsonArray(ports)).Text() +
        "\n");
  } else {
    PrintText(rows, devices, settings);
  }
  return kExitOk;
}

}  // namespace horalign
