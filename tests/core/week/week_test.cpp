#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/settings/app_config.h"
#include "core/ui/port_list.h"
#include "sim/fault_schedule.h"
#include "sim/sim_app.h"

// Days of the whole program on five devices that fail at random, with a PC clock that others
// step and a user pressing buttons. No trace is compared; what must always hold is checked as
// it happens. HORALIGN_WEEK_SEED is the first seed, HORALIGN_WEEK_SEEDS how many run,
// HORALIGN_WEEK_DAYS how long each.
// Seeds 1 to 5 by default (the sanitizer tree runs fewer days).
#ifndef HORALIGN_WEEK_DEFAULT_SEEDS
#define HORALIGN_WEEK_DEFAULT_SEEDS 5
#define HORALIGN_WEEK_DEFAULT_DAYS 7
#endif

namespace horalign::test {
namespace {

constexpr std::int64_t kSecondUs = 1'000'000, kMinuteUs = 60 * kSecondUs, kHourUs = 60 * kMinuteUs;
constexpr std::int64_t kDayUs = 24 * kHourUs;

int Failures() {
  return ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count();
}

std::int64_t Env(const char* name, std::int64_t fallback) {
  const char* text = std::getenv(name);
  return text && *text ? std::atoll(text) : fallback;
}

sim::WorldOptions Options(sim::SimRandom& random) {
  sim::WorldOptions options;
  options.utcAtStart.micro = static_cast<int>(random.Uniform(0, 999'999));
  options.localOffsetMinutes = static_cast<int>(random.Uniform(-24, 24)) * 30;
  return options;
}

class Week {
 public:
  Week(std::uint64_t seed, std::int64_t untilUs) : random_(seed), s_(Options(random_)) {
    // COM1 writes in UTC ("T"), COM2 and COM5 in local time ("PT", COM5 only as hh:mm), COM3
    // too and answers "QT", COM4 is a receiver; COM6 to COM8 have nothing attached.
    for (int port = 1; port <= 5; ++port) {
      devices_[port] = &s_.world.AddDevice(
          port, {.letter = "WAK\0G"[port - 1],
                 .clockOffsetSeconds = static_cast<double>(random_.Uniform(-3600, 3600)),
                 .driftPpm = static_cast<double>(random_.Uniform(-100, 100)),
                 .refuseLongPt = port == 5});
      faults_.push_back(std::make_unique<sim::FaultSchedule>(s_.world, port, *devices_[port],
                                                             random_.Next(), 3 * kHourUs, untilUs));
    }
    for (std::int64_t t = random_.Uniform(0, kDayUs); t < untilUs;
         t += random_.Uniform(kHourUs, 2 * kDayUs)) {
      s_.world.time.At(t, [this, step = random_.Uniform(-2 * kHourUs, 2 * kHourUs)] {
        s_.world.clock.StepWallMicros(step);
      });
    }
    s_.view.onCell = [this](int row, int column, const std::string& text) {
      if (column == kColStatus) OnStatus(row, text);
    };
    s_.view.onWindowEnabled = [this](bool on) { OnWindowEnabled(on); };
    s_.Set("Connection Mode", std::to_string(random_.Uniform(1, 2)));
    s_.Set("Used COM Ports", std::to_string(random_.Uniform(0, 255)));
    s_.Set("Update Interval", std::to_string(random_.Uniform(60, 90)));
    s_.Set("Verify Writes", std::to_string(random_.Uniform(0, 1)));
    Act([this] { s_.Start(); });
  }

  // Runs to the end or to the first failure; the user acts at most 500 times.
  void Run(std::int64_t untilUs) {
    for (int n = 0, failures = Failures(); n < 500 && Now() < untilUs && Failures() == failures;
         ++n) {
      // Half the actions come just before a cycle falls due, where they matter most.
      std::int64_t next = Now() + random_.Uniform(kMinuteUs, 4 * kHourUs);
      const std::int64_t due =
          DueUs(s_.app.Config().UpdateInterval) - random_.Uniform(1, 5000) * 1000;
      if (random_.Uniform(0, 1) && due > Now() && due < next) next = due;
      while (Now() < std::min(next, untilUs)) {
        s_.Run((std::min(next - Now(), kHourUs) + 999) / 1000);
        Check();
      }
      UserAction();
      Check();
    }
  }

  int cycles = 0, timeCommands = 0, successes = 0;

 private:
  std::int64_t Now() const { return s_.world.time.NowUs(); }
  // When a cycle falls due with this interval, counted in whole minutes since the last one.
  std::int64_t DueUs(std::int64_t interval) const {
    return (lastCycleEndUs_ / kMinuteUs + interval) * kMinuteUs;
  }

  // The user presses only what is enabled. An action keeps the user busy while it runs.
  void UserAction() {
    static const char* const kIntervals[] = {"60", "61", "75", "90", "120", "0", "59", "10000", ""};
    static const std::pair<Control, void (QV_MainForm::*)()> kButtons[] = {
        {Control::cmdUpdate, &QV_MainForm::OnUpdateClick},
        {Control::cmdRefresh, &QV_MainForm::OnRefreshClick},
        {Control::cmdActivate, &QV_MainForm::OnActivateClick},
        {Control::cmdDeactivate, &QV_MainForm::OnDeactivateClick}};
    s_.Select(static_cast<int>(random_.Uniform(1, 8)));
    QV_MainForm& f = s_.Form();
    if (const auto pick = random_.Uniform(0, 5); pick < 4) {
      if (s_.view.ControlEnabled(kButtons[pick].first)) Act([&] { (f.*kButtons[pick].second)(); });
    } else if (pick == 4) {
      s_.dialog.Answer(random_.Uniform(0, 3) ? QV_SYS_Message::kYes : QV_SYS_Message::kNo);
      s_.view.modeIndex = f.EffectiveMode() == kModeDeviceFromPc ? 1 : 0;
      Act([&] { f.OnModeClick(); });
    } else {
      s_.view.intervalText = kIntervals[random_.Uniform(0, 8)];
      Act([&] { f.OnIntervalLostFocus(); });
    }
  }

  template <typename F>
  void Act(F action) {
    acting_ = true, locks_ = 0;
    const std::int64_t from = Now();
    action();
    acting_ = false;
    busyAtAMinute_ |= Now() >= kMinuteUs && Now() / kMinuteUs * kMinuteUs >= from;
    minInterval_ = std::min(minInterval_, s_.app.Config().UpdateInterval);
    maxInterval_ = std::max(maxInterval_, s_.app.Config().UpdateInterval);
  }

  // A cycle never runs inside a user action (which locks the window once itself). It starts
  // at a whole minute from the load (virtual time 0), the interval's last minute after the
  // previous cycle ended, and later only when a minute fell due while the user was busy.
  void OnWindowEnabled(bool on) {
    if (acting_) {
      EXPECT_FALSE(!on && ++locks_ > 1) << "cycle during a user action at " << Now();
    } else if (on) {
      lastCycleEndUs_ = Now(), busyAtAMinute_ = false;
      minInterval_ = maxInterval_ = s_.app.Config().UpdateInterval;
    } else {
      ++cycles;
      const std::string when =
          " at " + std::to_string(Now()) + ", the last ended at " + std::to_string(lastCycleEndUs_);
      EXPECT_EQ(Now() % kMinuteUs, 0) << "cycle off the minute" << when;
      EXPECT_GE(Now(), DueUs(minInterval_)) << "early cycle" << when;
      EXPECT_TRUE(busyAtAMinute_ || Now() <= DueUs(maxInterval_)) << "late cycle" << when;
    }
  }

  // A row says a device or the PC was updated only when the wire brought the device's own
  // answer to a command of that very operation (an acknowledge or a time: no late answer to
  // an earlier one, no stale input), or a receiver's time event of the last minute; the PC
  // clock then shows the device's time (a receiver's only to the minute and by time of day).
  void OnStatus(int row, const std::string& text) {
    const std::int64_t from =
        std::exchange(lastOutcomeUs_[row], text.ends_with("...") ? lastOutcomeUs_[row] : Now());
    const bool pc = text == "PC updated successfully.";
    if (!pc && text != "Device updated successfully.") return;
    ++successes;
    const sim::SimDevice* dev = row <= 5 ? devices_[row] : nullptr;
    ASSERT_NE(dev, nullptr) << "row " << row << " says " << text;
    const bool receiver = pc && !sim::LetterAnswersTimeQuery(dev->Config().letter);
    const std::int64_t since = receiver ? Now() - kMinuteUs - kSecondUs : from;
    std::int64_t causeUs = -1;
    for (auto it = dev->Sent().rbegin(); it != dev->Sent().rend() && it->endUs > since; ++it) {
      const bool answers = receiver ? it->text.starts_with("0371")
                           : pc     ? it->command == "QT" && it->text.size() == 15
                                    : (it->command[0] == 'T' || it->command.starts_with("PT")) &&
                                      it->text.ends_with("*\r");
      if (answers && it->endUs <= Now() && (receiver || it->causeUs > from) &&
          Delivered(row, it->endUs))
        causeUs = std::max(causeUs, it->causeUs);
    }
    ASSERT_GE(causeUs, 0) << "row " << row << " says " << text << " at " << Now()
                          << " without the device's answer on the wire";
    // Receiver events count only in the last two minutes of an interval.
    EXPECT_TRUE(!receiver || Now() >= DueUs(minInterval_ - 2)) << "early event at " << Now();
    if (!pc) return;
    std::int64_t ahead = dev->ClockEpochUs() - s_.world.clock.UtcEpochMicros() -
                         s_.world.clock.LocalOffsetMinutes() * kMinuteUs;
    if (receiver) ahead = ((ahead + kDayUs / 2) % kDayUs + kDayUs) % kDayUs - kDayUs / 2;
    EXPECT_GT(ahead, -kSecondUs) << "PC clock past the device's at " << Now();
    EXPECT_LE(ahead, Now() - causeUs + (receiver ? kMinuteUs : kSecondUs))
        << "PC clock set to a stale time at " << Now();
  }

  bool Delivered(int port, std::int64_t endUs) const {
    const auto& log = s_.world.serial.WireLog();
    for (auto it = log.rbegin(); it != log.rend() && it->endUs >= endUs; ++it) {
      if (it->port == port && it->direction == sim::WireDirection::kFromDevice &&
          it->endUs == endUs)
        return it->delivered;
    }
    return false;
  }

  // Every time command after a wait for a second starts 1 to 99 ms past a second of the PC
  // clock; what is stored is what the program holds and shows; no operation is left open.
  void Check() {
    const auto& log = s_.world.serial.WireLog();
    for (; checked_ < log.size(); ++checked_) {
      const sim::WireByte& b = log[checked_];
      if (b.direction != sim::WireDirection::kToDevice) continue;
      auto& [startUs, line] = lineToDevice_[b.port];
      if (line.empty()) startUs = b.startUs;
      line += static_cast<char>(b.byte);
      if (b.byte != '\r') continue;
      if ((line.size() == 17 && line[0] == 'T') || (line.size() == 9 && line.starts_with("PT"))) {
        ++timeCommands;
        const std::int64_t pcUs = s_.world.clock.TrueUtcEpochMicros() - Now() + startUs +
                                  s_.world.clock.WallStepAtMicros(startUs);
        const std::int64_t past = (pcUs % kSecondUs + kSecondUs) % kSecondUs;
        EXPECT_TRUE(past >= 1000 && past < 100'000)
            << line << " to COM" << b.port << " at " << startUs << ": " << past << " us past";
      }
      line.clear();
    }
    const AppConfig& held = s_.app.Config();
    AppConfig stored;
    LoadConfig(s_.registry, stored);
    EXPECT_EQ(stored.ConnectionMode, held.ConnectionMode);
    EXPECT_EQ(stored.UpdateInterval, held.UpdateInterval);
    EXPECT_EQ(std::atoi(s_.view.intervalText.c_str()), held.UpdateInterval);
    EXPECT_EQ(stored.UsedComPorts, held.UsedComPorts);
    for (int row = 1; row <= kPortRows; ++row) {
      EXPECT_EQ(s_.Cell(row, kColActive) == "Yes", (held.UsedComPorts >> (row - 1) & 1) != 0)
          << row;
    }
    EXPECT_TRUE(s_.view.enabled && !s_.pointer.busy && !s_.Form().UserBusy());
  }

  sim::SimRandom random_;
  sim::SimApp s_;
  sim::SimDevice* devices_[6] = {};
  std::vector<std::unique_ptr<sim::FaultSchedule>> faults_;
  bool acting_ = false, busyAtAMinute_ = false;
  int locks_ = 0;
  std::int64_t lastCycleEndUs_ = 0;
  std::int16_t minInterval_ = 9999, maxInterval_ = 0;  // in force since the last cycle
  std::int64_t lastOutcomeUs_[kPortRows + 1] = {};
  std::size_t checked_ = 0;
  std::pair<std::int64_t, std::string> lineToDevice_[kPortRows + 1];
};

TEST(SimulatedWeek, EveryInvariantHoldsUnderRandomFaultsClockStepsAndUserActions) {
  const std::int64_t first = Env("HORALIGN_WEEK_SEED", 1);
  const std::int64_t count = Env("HORALIGN_WEEK_SEEDS", HORALIGN_WEEK_DEFAULT_SEEDS);
  const std::int64_t untilUs = Env("HORALIGN_WEEK_DAYS", HORALIGN_WEEK_DEFAULT_DAYS) * kDayUs;
  std::string failed;
  for (std::int64_t seed = first; seed < first + count; ++seed) {
    SCOPED_TRACE("HORALIGN_WEEK_SEED=" + std::to_string(seed));
    const int failures = Failures();
    const auto started = std::chrono::steady_clock::now();
    Week week(static_cast<std::uint64_t>(seed), untilUs);
    week.Run(untilUs);
    std::printf("week seed %lld: %d cycles, %d time commands, %d successes in %.1f s\n",
                static_cast<long long>(seed), week.cycles, week.timeCommands, week.successes,
                std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    std::fflush(stdout);
    if (Failures() != failures) failed += " " + std::to_string(seed);
  }
  std::printf("%lld seeds from %lld, failed:%s\n", static_cast<long long>(count),
              static_cast<long long>(first), failed.empty() ? " none" : failed.c_str());
}

}  // namespace
}  // namespace horalign::test
