#pragma once

// The service's body on the simulated program: its operations, state and control, with the
// pipe's sessions as one transport, so that requests can be sent as lines and answers read.
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "control/pipe_sessions.h"
#include "core/util/json_text.h"
#include "service/operations.h"
#include "service/service_control.h"
#include "service/service_state.h"
#include "sim/sim_app.h"

namespace horalign {

struct NoHistory final : HistorySink {
  void Append(const HistoryEntry&) override {}
};

struct ServiceRig {
  // Without `feed`, as on Windows: no time daemon to feed.
  explicit ServiceRig(bool feed = true) : app({}, nullptr, feed) {
    app.historyTee.also = &metrics;
    // The headless window says when a row has settled; here every cell is a settled row.
    app.view.onCell = [this](int row, int, const std::string&) { control.RowSettled(row); };
  }
  // Starts the program with the ports of the mask `used` active (COM3), as the service would.
  void Start(int mode = 1, const char* used = "4") {
    app.Set("Connection Mode", std::to_string(mode));
    app.Set("Used COM Ports", used);
    app.Start();
    control.Started();
  }
  // The stored settings a client may change, to see that nothing changed.
  std::map<std::string, std::optional<std::string>> StoredSettings() {
    std::map<std::string, std::optional<std::string>> stored;
    for (const char* name : {"Connection Mode", "Used COM Ports", "Update Interval",
                             "Push On Time Change", "Verify Writes", "Push Only When Synchronized",
                             "Maximum Clock Error", "Feed Time Daemon", "Time Daemon Socket"}) {
      stored[name] = app.Stored(name);
    }
    return stored;
  }
  // Sends `line` as client 1 and runs the loop until its answer is back.
  Json Ask(const std::string& line, bool mayChange, int client = 1) {
    const std::size_t before = sent.size();
    sessions.Take(client, line, mayChange);
    app.world.loop.RunUntil([&] { return sent.size() > before; }, 60'000);
    std::string error;
    return sent.size() > before ? ParseJsonText(sent.back(), error).value_or(Json{}) : Json{};
  }

  sim::SimApp app;
  NoHistory none;
  MetricsHistory metrics{none};
  // The device COM n stands for; a test may map a port elsewhere.
  std::function<std::string(int)> path = [](int port) { return "/dev/sim" + std::to_string(port); };
  ServiceState state{{app.app, metrics, [this](int port) { return path(port); }, "the settings"}};
  ServiceOperations operations{{app.app,
                                app.view,
                                app.registry,
                                metrics,
                                "the settings",
                                {},
                                [this](int port) { return path(port); },
                                [this](int port) { return state.Row(port).path; }}};
  ServiceControl control{app.app, operations, state, app.world.loop};
  std::vector<std::string> sent;
  PipeSessions sessions{control, [this](int, const std::string& line) { sent.push_back(line); }};
};

}  // namespace horalign
