#include "sim/devsim_options.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <set>
#include <system_error>
#include <type_traits>
#include <utility>

#include "core/device/model_table.h"
#include "core/serial/line_settings.h"
#include "core/settings/com_ports.h"

namespace horalign::sim {

namespace {

constexpr int kMaxCom = 16;

template <typename Number>
std::optional<Number> NumberFrom(std::string_view text) {
  Number value{};
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end) return std::nullopt;
  if constexpr (std::is_floating_point_v<Number>) {
    if (!std::isfinite(value)) return std::nullopt;
  }
  return value;
}

bool Fail(std::string& error, std::string reason) {
  error = std::move(reason);
  return false;
}

bool IsWord(std::string_view text) {
  return !text.empty() && std::none_of(text.begin(), text.end(),
                                       [](char c) { return c <= ' ' || c > '~' || c == ','; });
}

bool AllDigits(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// "late:900" and the like; `error` says what is wrong.
bool ApplyFault(std::string_view fault, DevsimDevice& device, std::string& error) {
  const auto colon = fault.find(':');
  const std::string_view name = fault.substr(0, colon);
  const std::string_view arg =
      colon == std::string_view::npos ? std::string_view() : fault.substr(colon + 1);
  const bool hasArg = colon != std::string_view::npos;
  SimDeviceConfig& c = device.config;
  if (name == "silent" && !hasArg) {
    c.silent = true;
  } else if (name == "nocr" && !hasArg) {
    c.missingCr = true;
  } else if (name == "refuse-long-pt" && !hasArg) {
    c.refuseLongPt = true;
  } else if (name == "refuse-pd" && !hasArg) {
    c.refusePd = true;
  } else if (name == "garbage") {
    c.garbageBeforeReply = hasArg ? std::string(arg) : std::string("#~");
    if (c.garbageBeforeReply.empty()) return Fail(error, "garbage needs a text after ':'");
  } else if (name == "wrongreply") {
    // A complete line that is not the acknowledge.
    c.fixedReply = hasArg ? std::string(arg) : std::string("12345678901234");
  } else if (name == "late") {
    const auto ms = NumberFrom<int>(arg);
    if (!ms || *ms < 0) return Fail(error, "late needs milliseconds, e.g. late:900");
    c.replyDelayUs = std::int64_t{*ms} * 1000;
  } else if (name == "unplug") {
    const auto second = arg.find(':');
    const auto after = NumberFrom<double>(arg.substr(0, second));
    std::optional<double> span;
    if (second != std::string_view::npos) span = NumberFrom<double>(arg.substr(second + 1));
    if (!after || *after < 0 || (second != std::string_view::npos && (!span || *span < 0))) {
      return Fail(error, "unplug needs seconds, e.g. unplug:30 or unplug:30:5");
    }
    device.unplugAfterSeconds = after;
    device.unplugForSeconds = span;
  } else {
    return Fail(error, "unknown fault \"" + std::string(fault) + "\"");
  }
  return true;
}

bool ApplyKey(std::string_view key, std::string_view value, DevsimDevice& device,
              std::string& error) {
  SimDeviceConfig& c = device.config;
  if (key == "com") {
    const auto com = NumberFrom<int>(value);
    if (!com || *com < 1 || *com > kMaxCom) return Fail(error, "com must be 1 to 16");
    device.com = *com;
  } else if (key == "letter") {
    if (value == "none") {
      c.letter = kNoLetter;
    } else if (value.size() == 1 && value[0] >= 'A' && value[0] <= 'Z') {
      c.letter = value[0];
    } else {
      return Fail(error, "letter must be one of A to Z, or none");
    }
  } else if (key == "serial") {
    if (!IsWord(value)) return Fail(error, "serial must be a text without blanks");
    c.serial = std::string(value);
  } else if (key == "settings") {
    // Commas separate the keys, so the parts of the settings are joined with ':'.
    std::string text(value);
    std::replace(text.begin(), text.end(), ':', ',');
    const auto line = ParseLineSettings(text);
    if (!line) return Fail(error, "settings like 9600 or 9600:N:8:1");
    c.settings = std::to_string(line->baud) + ',' + line->parity + ',' +
                 std::to_string(line->dataBits) + ',' + std::to_string(line->stopBits);
  } else if (key == "offset") {
    const auto seconds = NumberFrom<double>(value);
    if (!seconds) return Fail(error, "offset must be seconds, e.g. -3.5");
    c.clockOffsetSeconds = *seconds;
  } else if (key == "drift") {
    const auto ppm = NumberFrom<double>(value);
    if (!ppm || std::abs(*ppm) > 1e5) return Fail(error, "drift must be ppm, e.g. 20");
    c.driftPpm = *ppm;
  } else if (key == "events") {
    const auto seconds = NumberFrom<int>(value);
    if (!seconds || *seconds < 0) return Fail(error, "events must be whole seconds (0: none)");
    c.eventEverySeconds = *seconds;
  } else if (key == "ontime") {
    if (value != "0" && value != "1") return Fail(error, "ontime must be 0 or 1");
    c.eventsOnTime = value == "1";
  } else if (key == "quiet") {
    const auto seconds = NumberFrom<double>(value);
    if (!seconds || *seconds < 0) return Fail(error, "quiet must be seconds, e.g. 20");
    c.eventsAfterSeconds = *seconds;
  } else if (key == "part") {
    if (!AllDigits(value)) return Fail(error, "part must be digits, e.g. 0371462");
    c.partNumber = std::string(value);
  } else if (key == "clock") {
    if (value != "utc" && value != "local") return Fail(error, "clock must be utc or local");
    c.keepsUtc = value == "utc";
  } else if (key == "fault") {
    return ApplyFault(value, device, error);
  } else {
    return Fail(error, "unknown key \"" + std::string(key) + "\"");
  }
  return true;
}

}  // namespace

std::optional<DevsimDevice> ParseDeviceOption(std::string_view desc, std::string& error) {
  DevsimDevice device;
  while (!desc.empty()) {
    const auto comma = desc.find(',');
    const std::string_view pair = desc.substr(0, comma);
    desc = comma == std::string_view::npos ? std::string_view() : desc.substr(comma + 1);
    const auto equals = pair.find('=');
    if (equals == std::string_view::npos) {
      error = "\"" + std::string(pair) + "\" is not key=value";
      return std::nullopt;
    }
    if (!ApplyKey(pair.substr(0, equals), pair.substr(equals + 1), device, error)) {
      return std::nullopt;
    }
  }
  if (device.com == 0) {
    error = "com=<1..16> is missing";
    return std::nullopt;
  }
  return device;
}

DevsimArgs ParseDevsimArgs(const std::vector<std::string>& args) {
  DevsimOptions options;
  std::set<int> coms;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const bool takesValue = arg == "--device" || arg == "--ports-file" || arg == "--log" ||
                            arg == "--history" || arg == "--history-days";
    if (takesValue && i + 1 == args.size()) return {std::nullopt, arg + " needs a value"};
    if (arg == "--help" || arg == "-h") {
      options.help = true;
    } else if (arg == "--write-ports") {
      options.writePorts = true;
    } else if (arg == "--ports-file") {
      options.writePorts = true;
      options.portsFile = args[++i];
    } else if (arg == "--log") {
      options.logPath = args[++i];
    } else if (arg == "--history") {
      options.historyDir = args[++i];
    } else if (arg == "--history-days") {
      const auto days = NumberFrom<int>(args[++i]);
      if (!days || *days < 1 || *days > 3650) {
        return {std::nullopt, "--history-days must be whole days, 1 to 3650"};
      }
      options.historyDays = *days;
    } else if (arg == "--device") {
      std::string error;
      auto device = ParseDeviceOption(args[++i], error);
      if (!device) return {std::nullopt, "--device " + args[i] + ": " + error};
      if (!coms.insert(device->com).second) {
        return {std::nullopt, ComName(device->com) + " is given twice"};
      }
      options.devices.push_back(std::move(*device));
    } else {
      return {std::nullopt, "unknown argument \"" + arg + "\""};
    }
  }
  if (options.devices.empty() && !options.help) return {std::nullopt, "no --device given"};
  return {std::move(options), {}};
}

std::string DevsimModelName(const SimDeviceConfig& config) {
  if (config.letter == kNoLetter) return "Receiver";
  const std::string_view model = ModelForLetter(config.letter);
  return model.empty() ? "N/A" : std::string(model);
}

std::string DevsimUsage() {
  return R"(horalign-devsim: simulated devices on pseudo-terminals, in real time.

Usage: horalign-devsim --device DEVICE [--device DEVICE ...] [--write-ports | --ports-file PATH]
                       [--log FILE] [--history DIR [--history-days N]] [--help]

  --device DEVICE     one device; DEVICE is comma-separated key=value pairs:
                      com=N            COM number 1..16 (required)
                      letter=L         model letter A..Z, or none for a receiver without one
                                       (default W)
                      serial=TEXT      serial number as printed (default 00000)
                      settings=S       the one line setting it speaks: 9600 or 9600:N:8:1
                                       (default 9600)
                      offset=SECONDS   its clock minus the true time at start (default 0)
                      drift=PPM        positive runs fast (default 0)
                      clock=utc|local  what its clock keeps (default: by the letter)
                      events=SECONDS   receivers' time event period, 0 for none (default 60)
                      quiet=SECONDS    receivers send no event sooner after start (default 0)
                      part=DIGITS      receivers' part number (default 0371462)
                      ontime=1         receivers send as their clock reaches a whole period,
                                       with seconds and leap flag after the check digit (default 0)
                      fault=F          repeatable: silent, late:MS, nocr, garbage[:TEXT],
                                       wrongreply[:TEXT], refuse-long-pt, refuse-pd,
                                       unplug:AFTER[:FOR] (seconds; without FOR it stays out)
  --write-ports     write COMn = pty path under Software\Quorvane\Horalign\Ports into
                    $XDG_CONFIG_HOME/Quorvane/Horalign.reg (other values are kept)
  --ports-file PATH the same into PATH
  --log FILE        the event log, written afresh (default: standard output)
  --history DIR     before serving, append to DIR/history.jsonl the history the devices
                    would have left in the past week: a write every hour with the offsets
                    read back around it, their drift as given (for the history window)
  --history-days N  that history over N days instead (1..3650); the files rotate at 5 MB as
                    the program's own do, and four devices fill all three in about 530 days

Once the terminals are open and the mapping written, one line per device goes to standard
output, fields separated by blanks:
  COM1 /dev/pts/7 QM8340 ABCDE 9600,N,8,1
(port, terminal, model name (may hold blanks), serial, settings). It then serves until
SIGINT or SIGTERM and exits with 0.

Log: one line per event, fields separated by tabs. Field 1 is the time of the event
(CLOCK_REALTIME, UTC, 2026-05-12T14:05:09.123456Z), field 2 the port (COM1, or - for
the whole simulator), field 3 the kind; texts are escaped (\r \n \t \\ \xNN).
  PORT    path  model  serial  settings      a terminal was opened (at start, and replugged)
  UNPLUG  path                               the terminal was closed
  FRAME   first-byte-time  ms-past-second  line
          a line the device took, without its CR; the time its first byte arrived and
          that time's milliseconds past the whole second (3 decimals)
  NOISE   count  port-settings               bytes heard at another speed or framing
  SEND    first-byte-time  text  ok|garbled  a reply or time event the device sent, CR
          included; garbled when the port's settings differ from the device's
  CLOCK   command  device-clock  offset-ms   the device's clock was set; its new value
          (Z when it keeps UTC) and its offset from the PC clock (UTC or local, same
          kind) in ms, 3 decimals, negative when behind
  STOP    signal                             the simulator ends
)";
}

}  // namespace horalign::sim
