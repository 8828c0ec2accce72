#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/app/application.h"
#include "core/history/history_log.h"
#include "core/platform/instance.h"
#include "core/settings/registry.h"
#include "sim/fake_clock_sync.h"
#include "sim/fake_views.h"
#include "sim/memory_log_folder.h"
#include "sim/memory_registry.h"
#include "sim/world.h"

namespace horalign::sim {

class FakeInstanceGuard : public InstanceGuard {
 public:
  bool anotherRunning = false;
  int claims = 0;
  bool Claim() override {
    ++claims;
    return !anotherRunning;
  }
};

// The whole program on the virtual world with recording fake windows. Set up ports,
// devices and settings, then Start(): the load sequence runs in virtual time.
struct SimApp {
  // With `service`, the window is the client of a service that owns the ports. Without
  // `withFeed`, the platform has no time daemon to feed (as Windows).
  explicit SimApp(const WorldOptions& options = {}, ServiceLink* service = nullptr,
                  bool withFeed = true);

  World world;
  MemoryRegistry registry;
  FakeMainWindow view;
  FakePointer pointer;
  FakeLoading loading;
  FakeMessageDialog dialog{world.loop};
  FakeInstanceGuard instance;
  MemoryLogFolder historyFolder;
  HistoryLog history{historyFolder, nullptr};
  // The program's history goes to the file and, when a test sets `also`, there too (a
  // service's figures).
  struct HistoryTee final : HistorySink {
    explicit HistoryTee(HistoryLog& file) : log(file) {}
    void Append(const HistoryEntry& entry) override {
      log.Append(entry);
      if (also != nullptr) also->Append(entry);
    }
    void ForEachKept(const std::function<void(const HistoryEntry&)>& visit) override {
      log.ForEachKept(visit);
    }
    HistoryLog& log;
    HistorySink* also = nullptr;
  } historyTee{history};
  ServiceLink* service;
  FakeClockSync clockSync;  // unknown until a test sets it
  // The time daemon's socket: every sample kept, each answered with `result`.
  struct RecordingFeed final : TimeDaemonFeed {
    FeedResult Send(const TimeDaemonSample& sample) override {
      samples.push_back(sample);
      return result;
    }
    std::vector<TimeDaemonSample> samples;
    FeedResult result = FeedResult::kSent;
  } feed;
  TimeDaemonFeed* feedGiven;
  Application app{Platform{registry, world.serial, world.clock, world.loop, instance, view, pointer,
                           dialog, loading, &historyTee, service, &clockSync, feedGiven}};

  // Stores a setting as the program would find it.
  void Set(const std::string& name, const std::string& text);
  std::optional<std::string> Stored(const std::string& name);
  // Runs the start-up sequence; the two notices of a first run are answered by their
  // focus buttons unless a test scripted the dialog.
  bool Start() { return app.Start(); }
  QV_MainForm& Form() { return *app.MainForm(); }
  const std::string& Cell(int row, int column) const { return view.CellText(row, column); }
  void Select(int row) {
    view.selectedRow = row;
    Form().OnListItemClick();
  }
  // What the history file holds, oldest first.
  std::vector<HistoryEntry> History() { return ReadHistory(historyFolder).entries; }
  // Everything the loop does for this long, as the program would live through it.
  void Run(std::int64_t ms) { world.loop.RunForMs(ms); }
};

}  // namespace horalign::sim
