#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

#include "core/ui/message.h"
#include "sim/fake_views.h"
#include "sim/virtual_loop.h"

namespace horalign::test {
namespace {

using enum MessageIcon;

struct MessageRig {
  sim::VirtualTime time;
  sim::VirtualLoop loop{time};
  sim::FakeMessageDialog dialog{loop};
  sim::FakePointer pointer;
  QV_SYS_Message messages{dialog, loop, pointer, "Horalign"};
  // Something of the program that keeps ticking while a message is up.
  int ticks = 0;
  std::unique_ptr<Timer> ticker = loop.CreateTimer(100, true, [this] { ++ticks; });

  int Show(int buttonSet, int focus, int timeoutMs) {
    return messages.ShowMessage("Text", buttonSet, focus, 64, "", "", 0, true, timeoutMs);
  }
};

// Each row presses one key. What the dialog did reads "<code>@<left> ... f<focus> =<answer>":
// the buttons shown and where, the focused one, and the answer (3: no shown button took the
// key and the time-out closed the dialog).
TEST(MessageDialog, EachButtonSetShowsItsButtonsAndTakesOnlyTheirKeys) {
  struct Case {
    int set, focus, key;
    const char* did;
  };
  for (const Case& c :
       {Case{0, 1, 27, "1@1850 f1 =1"}, Case{0, 6, 'y', "1@1850 f0 =3"},
        Case{1, 0, 27, "1@1200 2@2500 f0 =2"}, Case{1, 2, 'o', "1@1200 2@2500 f2 =1"},
        Case{2, 2, 27, "2@1850 f2 =2"}, Case{3, 6, 27, "2@3150 6@550 7@1850 f6 =2"},
        Case{3, 2, 'c', "2@3150 6@550 7@1850 f2 =2"}, Case{4, 7, 27, "6@1200 7@2500 f7 =7"},
        Case{4, 6, 'y', "6@1200 7@2500 f6 =6"}, Case{4, 0, 'N', "6@1200 7@2500 f0 =7"},
        Case{4, 1, 'o', "6@1200 7@2500 f0 =3"}, Case{4, 6, 'x', "6@1200 7@2500 f6 =3"},
        Case{9, 1, 27, "1@1850 f1 =3"}}) {
    MessageRig rig;
    rig.dialog.PressKey(c.key);
    const int answer = rig.Show(c.set, c.focus, 1000);
    std::string did;
    for (const auto& b : rig.dialog.Last().buttons) {
      if (b.visible) did += std::to_string(b.code) + "@" + std::to_string(b.leftTwips) + " ";
      EXPECT_EQ(b.topTwips, 1200);
    }
    did += "f" + std::to_string(rig.dialog.Last().focusCode) + " =" + std::to_string(answer);
    EXPECT_EQ(did, c.did) << c.set << " " << char(c.key);
  }
}

// The user ticks the option in every row; it counts only where it was shown.
TEST(MessageDialog, TheIconFallsBackToCriticalATitleReplacesTheCaptionAndAnOptionNeedsAText) {
  struct Case {
    int icon;
    const char *title, *option;
    int value;
    MessageIcon shown;
    bool ticked;
  };
  for (const Case& c :
       {Case{16, "", "Again", -1, kCritical, true}, Case{32, "", "Again", 0, kQuestion, false},
        Case{48, "Notice", "", 1, kExclamation, false},
        Case{64, "", "Again", INT32_MIN, kInformation, true},
        Case{99, "", "", 0, kCritical, false}}) {
    MessageRig rig;
    rig.dialog.optionChecked = true;
    rig.messages.ShowMessage("Text", 0, 1, c.icon, c.title, c.option, c.value);
    const MessageLayout& l = rig.dialog.Last();
    EXPECT_EQ(l.icon, c.shown) << c.icon;
    EXPECT_EQ(l.caption, *c.title ? c.title : "Horalign - System Message") << c.icon;
    EXPECT_EQ(
        std::tuple(l.optionVisible, l.optionText, l.optionChecked, rig.messages.OptionAnswer()),
        std::tuple(*c.option != '\0', c.option, c.ticked, *c.option != '\0'))
        << c.icon;
  }
}

// The program's timers keep firing under the dialog, and the pointer shows the arrow meanwhile.
TEST(MessageDialog, TheTimeOutAnswersThreeAndAButtonBeforeItWins) {
  MessageRig rig;
  rig.pointer.SetBusy(true);
  bool busyWhileUp = true;
  rig.dialog.Respond([&](auto&, auto&) { busyWhileUp = rig.pointer.busy; });  // no answer
  EXPECT_EQ(rig.Show(0, 1, 5000), QV_SYS_Message::kTimedOut);
  EXPECT_EQ(std::tuple(rig.time.NowUs(), rig.ticks, busyWhileUp, rig.pointer.busy),
            std::tuple(5'000'000, 50, false, true));
  rig.dialog.Answer(1);
  EXPECT_EQ(rig.Show(0, 1, 5000), QV_SYS_Message::kOk);
  EXPECT_EQ(rig.time.NowUs(), 5'000'000);
  // A time-out of 0 ms never closes the dialog.
  auto pressOk = rig.loop.CreateTimer(60'000, true, [&] { rig.messages.OnButton(1); });
  rig.dialog.Wait();
  EXPECT_EQ(rig.Show(0, 1, 0), QV_SYS_Message::kOk);
  EXPECT_EQ(rig.time.NowUs(), 65'000'000);
}

TEST(LoadingMessage, KeepsItsFirstTextAndEndsWithTheArrow) {
  MessageRig rig;
  sim::FakeLoading view;
  QV_SYS_LoadingMessage loading(view, rig.loop, rig.pointer, "Horalign");
  loading.ShowLoadMessage("Scanning");
  loading.ShowLoadMessage("Something else", 9000, 900);
  EXPECT_EQ(std::tuple(view.caption, view.text, view.width, view.height, view.showCount),
            std::tuple("Horalign", "Scanning", 5910, 585, 1));
  EXPECT_TRUE(rig.pointer.busy);
  // The scan turns the pointer on and off many times; one unload undoes them all.
  for (int i = 0; i < 3; ++i) rig.pointer.SetBusy(true);
  loading.Unload();
  EXPECT_FALSE(rig.pointer.busy || view.visible);
  loading.ShowLoadMessage("Next", 7000, 0);
  EXPECT_EQ(std::tuple(view.text, view.width, view.height), std::tuple("Next", 7000, 585));
}

}  // namespace
}  // namespace horalign::test
