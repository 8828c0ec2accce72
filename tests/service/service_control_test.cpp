// The service's control on the simulated program: what one caller may have waiting, reads
// of a device shared, changes before reads, and reads of the state answered at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "tests/service/service_rig.h"

namespace horalign {
namespace {

struct Rig : ServiceRig {
  Rig() {
    for (int port : {2, 3}) {
      devices.push_back(
          &app.world.AddDevice(port, {.letter = 'W', .serial = "3030" + std::to_string(port)}));
    }
    Start(1, "6");
  }
  // A caller whose right is decided at once, or never (it leaves polkit's question open).
  static Caller Allowed(const std::string& who) {
    return {who, [](const Request&, const Caller::Decided& done) { done(true, ""); }};
  }
  static Caller NeverAnswers(const std::string& who) {
    return {who, [](const Request&, const Caller::Decided&) {}};
  }
  // Takes `request` and keeps its answer (or nothing yet) in `answers`.
  std::size_t Send(const Request& request, const Caller& caller) {
    answers.emplace_back();
    const std::size_t index = answers.size() - 1;
    control.Take(request, caller, [this, index](const Answer& a) {
      answers[index] = a;
      order.push_back(index);
    });
    return index;
  }
  std::size_t QueryCount(int device) {
    return std::ranges::count(devices[static_cast<std::size_t>(device)]->Commands(), "QT",
                              &sim::DeviceCommand::line);
  }
  std::vector<sim::SimDevice*> devices;
  std::vector<std::optional<Answer>> answers;
  std::vector<std::size_t> order;  // the answers as they came
};

TEST(ServiceControl, ACallerMayHaveFourRequestsWaitingAndTheNextIsRefusedWhileOthersAreServed) {
  struct Case {
    const char* what;
    Caller (*caller)(const std::string&);
    Request request;
  };
  const Case cases[] = {
      {"reads of a device", &Rig::Allowed, PortRequest(RequestKind::kRead, 2)},
      {"updates whose right polkit never decides", &Rig::NeverAnswers,
       PortRequest(RequestKind::kUpdate, 2)},
  };
  for (const Case& c : cases) {
    Rig rig;
    std::vector<std::size_t> flood;
    for (int i = 0; i < 6; ++i) {
      // Reads of two ports alternate, so that no two are the same read.
      Request r = c.request;
      r.port = 2 + i % 2;
      flood.push_back(rig.Send(r, c.caller("uid:1000")));
    }
    for (std::size_t i = 0; i < flood.size(); ++i) {  // the fifth and sixth are refused
      const std::optional<Answer>& a = rig.answers[flood[i]];
      EXPECT_EQ(a && a->error && a->error->kind == ErrorKind::kLimitsExceeded, i >= 4)
          << c.what << " #" << i;
    }
    const std::size_t other = rig.Send(PortRequest(RequestKind::kUpdate, 3), Rig::Allowed("uid:0"));
    rig.app.world.loop.RunUntil([&] { return rig.answers[other].has_value(); }, 120'000);
    ASSERT_TRUE(rig.answers[other].has_value()) << c.what;
    EXPECT_TRUE(rig.answers[other]->Ok()) << c.what;
  }
}

// Three callers' reads of each device, all queued before the queue's next look: each read
// goes out once and answers its three callers alike, after the update queued behind them.
TEST(ServiceControl, AnUpdateQueuedAfterReadsRunsBeforeThemAndTheSameReadGoesOutOnce) {
  Rig rig;
  std::vector<std::size_t> reads;
  for (const char* who : {"uid:1", "uid:2", "uid:3"}) {
    reads.push_back(rig.Send(PortRequest(RequestKind::kRead, 2), Rig::Allowed(who)));
    reads.push_back(rig.Send(PortRequest(RequestKind::kRead, 3), Rig::Allowed(who)));
  }
  const std::size_t update = rig.Send(PortRequest(RequestKind::kUpdate, 3), Rig::Allowed("uid:0"));
  rig.app.world.loop.RunUntil([&] { return rig.order.size() == 7; }, 120'000);
  ASSERT_EQ(rig.order.size(), 7u);
  ASSERT_TRUE(rig.answers[update]->Ok());
  EXPECT_EQ(rig.order.front(), update) << "the update waited behind the reads";
  EXPECT_EQ(rig.QueryCount(0) + rig.QueryCount(1), 2u);
  for (std::size_t i = 0; i < reads.size(); ++i) {  // COM2 and COM3 by turns
    ASSERT_TRUE(rig.answers[reads[i]]->read);
    EXPECT_FALSE(rig.answers[reads[i]]->read->reply.empty());
    EXPECT_EQ(rig.answers[reads[i]]->read->reply, rig.answers[reads[i % 2]]->read->reply);
  }
  EXPECT_EQ(rig.control.Waiting(), 0u);
}

TEST(ServiceControl, ReadsOfTheStateAreAnsweredAtOnceInTheMiddleOfAnOperation) {
  Rig rig;
  std::optional<Answer> during;
  bool answeredAtOnce = false;
  // While UpdateAll writes the devices, a status read comes in.
  rig.app.world.loop.RunUntil([] { return false; }, 10);
  const std::size_t all = rig.Send(MakeRequest(RequestKind::kUpdateAll), Rig::Allowed("uid:0"));
  const auto probe = rig.app.world.loop.CreateTimer(120, true, [&] {
    if (during || !rig.app.Form().UserBusy()) return;
    rig.control.Take(MakeRequest(RequestKind::kGetPorts), Rig::Allowed("uid:1000"),
                     [&](const Answer& a) { during = a; });
    answeredAtOnce = during.has_value();
  });
  rig.app.world.loop.RunUntil([&] { return rig.answers[all].has_value(); }, 120'000);
  ASSERT_TRUE(rig.answers[all] && rig.answers[all]->Ok());
  ASSERT_TRUE(answeredAtOnce);
  EXPECT_EQ(during->rows.size(), 16u);
  EXPECT_EQ(during->rows[2].device.empty(), false);
}

}  // namespace
}  // namespace horalign
