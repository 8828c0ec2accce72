#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <tuple>

#include "core/util/civil.h"
#include "tests/core/sync/scenario.h"

namespace horalign::test {
namespace {

using sim::SimApp;

struct DecisionCase {
  std::string text;
  CivilTime now;
  bool accepted;
  std::optional<CivilTime> target;  // unset: the PC clock already agrees
};

// The date and time of day, without the weekday.
std::optional<std::array<int, 7>> Fields(const std::optional<CivilTime>& t) {
  if (!t) return std::nullopt;
  return std::array{t->year, t->month, t->day, t->hour, t->minute, t->second, t->micro};
}

void ExpectDecisions(ClockDecision (*decide)(const std::string&, const CivilTime&),
                     const std::vector<DecisionCase>& cases) {
  for (const DecisionCase& c : cases) {
    SCOPED_TRACE(c.text);
    const ClockDecision d = decide(c.text, c.now);
    EXPECT_EQ(d.accepted, c.accepted);
    EXPECT_EQ(Fields(d.target), Fields(c.target));
  }
}

// hhmmss MMDDYY, weekday, digit sum of the thirteen digits modulo 10, CR. Replies one digit
// away from 09301512052615 (another date, an invalid one, 2076, 1996) are swept in the next
// test; these are the rest: the agreeing clock, the century's edges, the wrong lengths.
TEST(QtReply, IsCheckedAndComparedWithThePcTimeToTheSecond) {
  const CivilTime pc{2026, 12, 5, 9, 30, 10};
  ExpectDecisions(
      DecideQtReply,
      {{"09301012052610\r", pc, true, std::nullopt},
       {"09301501017715\r", pc, true, CivilTime{1977, 1, 1, 9, 30, 15}},
       {"09301501012912\r", {2080, 1, 1, 9, 30, 10}, true, CivilTime{2129, 1, 1, 9, 30, 15}},
       {"09301501013014\r", {2080, 1, 1, 9, 30, 10}, true, CivilTime{2030, 1, 1, 9, 30, 15}},
       {"0930151206265\r", pc, false, std::nullopt},
       {"093015120626117\r", pc, false, std::nullopt}});
}

// Every digit of a reply changed to every digit and to the characters beside the digits
// ('/', ':'), with its check digit made to fit and as it was: the reply is read as its
// fields say, or refused.
TEST(QtReply, EveryDigitPositionChangedIsReadAsItSaysOrRefused) {
  const CivilTime pc{2026, 12, 5, 9, 30, 10};
  const std::string reply = "09301512052615\r";
  const auto two = [](const std::string& s, int at) {
    const auto digit = [](char c) { return c >= '0' && c <= '9'; };
    return digit(s[at]) && digit(s[at + 1]) ? (s[at] - '0') * 10 + s[at + 1] - '0' : -1;
  };
  for (int pos = 0; pos < 14; ++pos) {
    for (const char c : std::string("/0123456789:")) {
      for (const bool fitCheck : {true, false}) {
        std::string s = reply;
        s[pos] = c;
        int sum = 0;
        for (int i = 0; i < 13; ++i) sum += s[i] >= '0' && s[i] <= '9' ? s[i] - '0' : 0;
        if (fitCheck && pos < 13) s[13] = static_cast<char>('0' + sum % 10);
        SCOPED_TRACE(s);
        const int h = two(s, 0), m = two(s, 2), sec = two(s, 4);
        const int check = s[13] >= '0' && s[13] <= '9' ? s[13] - '0' : 0;
        const bool ok =
            sum % 10 == check && h >= 0 && h < 24 && m >= 0 && m < 60 && sec >= 0 && sec < 60;
        const ClockDecision d = DecideQtReply(s, pc);
        ASSERT_EQ(d.accepted, ok);
        ASSERT_EQ(QtReplySecondsOfDay(s),
                  ok ? std::optional(h * 3600 + m * 60 + sec) : std::nullopt);
        if (!ok) continue;
        const int mo = two(s, 6), day = two(s, 8), yy = two(s, 10);
        CivilTime want{pc.year, pc.month, pc.day, h, m, sec};
        if (yy >= 0 && IsValidDate(yy < 77 ? 2000 + yy : 1900 + yy, mo, day)) {
          want.year = yy < 77 ? 2000 + yy : 1900 + yy, want.month = mo, want.day = day;
        }
        ASSERT_EQ(Fields(d.target.value_or(pc)), Fields(want));
      }
    }
  }
}

// Part number, hh mm of the receiver's clock (seven hours ahead), digit sum of hhmm.
TEST(ReceiverEvent, IsCheckedAndSetsTheTimeOfDayNearestThePresent) {
  const CivilTime pc{2026, 12, 5, 15, 3, 0};
  ExpectDecisions(
      DecideReceiverEvent,
      {{"037146214050\r", pc, true, CivilTime{2026, 12, 5, 7, 5, 0}},
       {"037143814050\r", pc, true, CivilTime{2026, 12, 5, 7, 5, 0}},
       // The other branch means the end of that minute.
       {"037146114050\r", pc, true, CivilTime{2026, 12, 5, 7, 5, 59}},
       {"037143714050\r", pc, true, CivilTime{2026, 12, 5, 7, 5, 59}},
       {"037146114050\r", {2026, 12, 5, 7, 5, 0}, true, std::nullopt},
       {"037146107007\r", {2026, 12, 6, 0, 0, 0}, true, std::nullopt},
       // Before 07:00 at the receiver: branch B always sets, branch A compares the evening.
       {"037146103104\r", {2026, 12, 5, 20, 10, 0}, true, CivilTime{2026, 12, 5, 20, 10, 59}},
       {"037146203104\r", {2026, 12, 5, 20, 10, 0}, true, std::nullopt},
       // Across midnight the date nearest the present is kept.
       {"037146207007\r", {2026, 12, 5, 23, 59, 30}, true, CivilTime{2026, 12, 6, 0, 0, 0}},
       {"037146206590\r", {2026, 12, 6, 0, 1, 0}, true, CivilTime{2026, 12, 5, 23, 59, 0}},
       {"037146206006\r", {1970, 1, 1, 0, 30, 0}, true, CivilTime{1969, 12, 31, 23, 0, 0}},
       // One character short, the CR stands where the check digit goes and counts as 0.
       {"03714621405\r", pc, true, CivilTime{2026, 12, 5, 7, 5, 0}},
       {"037146314050\r", pc, false, std::nullopt},
       {"037146114051\r", pc, false, std::nullopt},
       {"037146225052\r", pc, false, std::nullopt},
       {"03714611a056\r", pc, false, std::nullopt},
       {"03714621405", pc, false, std::nullopt}});
}

// A KR9010 on COM 4 is the time source of a PC in PcFromDevice mode.
TEST(ReadTime, SetsThePcFromTheReplyAndNeverFromAReplyThatDidNotCome) {
  SimApp s;
  auto& device = StartWith(s, 2, 4, {.letter = 'J', .clockOffsetSeconds = 3600});
  Click(s, 4, &QV_MainForm::OnUpdateClick);
  EXPECT_EQ(s.Cell(4, kColStatusTime), "12/05/26, 03:05:10 PM");
  ASSERT_EQ(s.world.clock.SetLog().size(), 1u);
  EXPECT_NEAR(static_cast<double>(s.world.clock.WallStepMicros()), 3600e6, 1e6);
  s.world.clock.StepWallMicros(-30'000'000);  // someone moves the PC clock meanwhile
  device.Config().silent = true;
  EXPECT_FALSE(s.Form().Sync().ReadTime(4));
  EXPECT_EQ(s.Cell(4, kColStatus), "Error reading device.");
  EXPECT_EQ(s.world.clock.SetLog().size(), 1u);
  std::vector<std::tuple<HistoryAction, bool, std::string>> kept;
  for (const auto& e : s.History()) kept.emplace_back(e.action, e.ok, e.status);
  EXPECT_EQ(kept, (decltype(kept){{HistoryAction::kConnect, true, "Connected to device."},
                                  {HistoryAction::kSetPcClock, true, "PC updated successfully."},
                                  {HistoryAction::kRead, false, "Error reading device."}}));
  const auto queries = SentStartingWith(s, 4, "QT");
  ASSERT_EQ(queries.size(), 4u) << "one answered, three unanswered";
  EXPECT_NEAR(queries[3].firstByteUs - queries[2].firstByteUs, 1'550'000, 25'000);
  // A minute tick that fell due while a reply was handled is dropped.
  s.world.clock.SleepMicros(60'000'000);
  s.Form().Sync().ProcessTime(4, "");
  s.world.loop.ProcessPending();
  EXPECT_EQ(s.Form().MinuteCount(), 0);
}

// Events count only in the last two minutes of the update interval. A row with nothing
// identified yet is named "Receiver" by its first accepted event.
TEST(ReceiverEvents, CountOnlyInTheIntervalsLastTwoMinutes) {
  SimApp s;
  StartWith(s, 1, 1, {.letter = 'A'});
  EXPECT_FALSE(s.Form().Sync().ProcessTime(1, "037146214050\r")) << "not a time source";
  EXPECT_EQ(s.Cell(1, kColStatus), "Error reading device.");
  Click(s, 9, &QV_MainForm::OnActivateClick);  // nothing attached: Device "N/A"
  const auto rowBefore = s.view.rows[8];
  s.Form().SetMinuteCount(57);
  EXPECT_FALSE(s.Form().Sync().ProcessTime(9, "037146214050\r"));
  EXPECT_TRUE(s.Form().SkipTimeEvent());
  EXPECT_EQ(s.view.rows[8], rowBefore);
  s.Form().SetMinuteCount(58);
  EXPECT_FALSE(s.Form().Sync().ProcessTime(9, "037146214051\r"));
  EXPECT_FALSE(s.Form().SkipTimeEvent());
  EXPECT_EQ(s.Cell(9, kColStatus), "Error reading device.");
  EXPECT_EQ(s.Cell(9, kColDevice), "N/A");
  s.world.clock.SleepMicros(60'000'000);  // a minute tick falls due meanwhile: dropped
  EXPECT_TRUE(s.Form().Sync().ProcessTime(9, "037146214050\r"));
  s.world.loop.ProcessPending();
  EXPECT_EQ(s.Form().MinuteCount(), 58);
  s.Select(9);  // a receiver is only listened to: nothing to update
  EXPECT_EQ(std::tuple(s.Cell(9, kColStatus), s.Cell(9, kColStatusTime), s.Cell(9, kColDevice),
                       s.view.ControlEnabled(Control::cmdUpdate)),
            std::tuple("PC updated successfully.", "12/05/26, 07:05:00 AM", "Receiver", false));
  ASSERT_EQ(s.world.clock.SetLog().size(), 1u);
  EXPECT_EQ(Fields(s.world.clock.SetLog()[0].local), Fields(CivilTime{2026, 12, 5, 7, 5, 0}));
}

// However often a receiver speaks, the schedule keeps its whole minutes: four hours run four
// cycles, and only the events of an interval's last two minutes are used (the clock cannot be
// set here, so each is one attempt). The monitor hands on every receiver line, but only the
// mode that sets the PC clock takes it.
TEST(ReceiverEvents, AReceiverThatSpeaksOftenNeverHoldsTheScheduleBack) {
  for (const auto& [mode, every] : {std::pair(2, 30), {2, 60}, {1, 30}}) {
    SimApp s;
    s.world.clock.RefuseSets(ClockSetResult::kNoRight);
    StartWith(s, mode, 2, {.letter = sim::kNoLetter, .eventEverySeconds = every});
    int cycles = 0;
    s.view.onWindowEnabled = [&cycles](bool on) { cycles += on ? 0 : 1; };
    RunToUs(s, 240 * kMinuteUs + 1000);
    EXPECT_EQ(cycles, 4) << mode << ", " << every << " s";
    EXPECT_EQ(s.world.clock.SetLog().size(), mode == 2 ? 4u * 120 / every : 0u) << every << " s";
    for (const auto& set : s.world.clock.SetLog()) EXPECT_GE(set.atUs / kMinuteUs % 60, 58);
  }
}

}  // namespace
}  // namespace horalign::test
