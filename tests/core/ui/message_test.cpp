#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <vector>

#include "core/ui/message.h"
#include "sim/fake_views.h"
#include "sim/virtual_loop.h"

namespace horalign::test {
namespace {

struct MessageRig {
  sim::VirtualTime time;
  sim::VirtualLoop loop{time};
  sim::FakeMessageDialog dialog{loop};
  sim::FakePointer pointer;
  QV_SYS_Message messages{dialog, loop, pointer, "Horalign"};
  // Something of the program that keeps ticking while a message is up.
  int ticks = 0;
  std::unique_ptr<Timer> ticker = loop.CreateTimer(100, true, [this] { ++ticks; });

  int Show(int buttonSet, int focus = 0, bool timeoutOn = false, int timeoutMs = 0) {
    return messages.ShowMessage("Text", buttonSet, focus, 64, "", "", 0, timeoutOn, timeoutMs);
  }
  std::vector<std::pair<int, int>> VisibleButtons() const {
    std::vector<std::pair<int, int>> codesAndLefts;
    for (const auto& b : dialog.Last().buttons) {
      if (b.visible) codesAndLefts.emplace_back(b.code, b.leftTwips);
    }
    return codesAndLefts;
  }
};

using Buttons = std::vector<std::pair<int, int>>;

TEST(Message, EachButtonSetShowsItsButtonsAndMarksTheOneEscPresses) {
  struct Case {
    int set;
    Buttons buttons;
    int escAnswer;  // 3: Esc pressed nothing, the time-out closed the dialog
  };
  for (const Case& c : {Case{0, {{1, 1850}}, 1}, Case{1, {{1, 1200}, {2, 2500}}, 2},
                        Case{2, {{2, 1850}}, 2}, Case{3, {{2, 3150}, {6, 550}, {7, 1850}}, 2},
                        Case{4, {{6, 1200}, {7, 2500}}, 7}, Case{9, {{1, 1850}}, 3}}) {
    MessageRig rig;
    rig.dialog.PressKey(27);
    EXPECT_EQ(rig.Show(c.set, 0, true, 1000), c.escAnswer) << c.set;
    EXPECT_EQ(rig.VisibleButtons(), c.buttons) << c.set;
    for (const auto& b : rig.dialog.Last().buttons) EXPECT_EQ(b.topTwips, 1200);
    EXPECT_EQ(rig.dialog.Last().windowHeightTwips, 2100);
  }
}

TEST(Message, LettersPressOnlyButtonsThatAreShown) {
  struct Case {
    int set;
    int key;
    int answer;
  };
  for (const Case& c : {Case{4, 'y', 6}, Case{4, 'N', 7}, Case{1, 'o', 1}, Case{3, 'c', 2},
                        Case{0, 'y', 3}, Case{4, 'o', 3}, Case{4, 'x', 3}}) {
    MessageRig rig;
    rig.dialog.PressKey(c.key);
    EXPECT_EQ(rig.Show(c.set, 0, true, 1000), c.answer) << c.set << " " << char(c.key);
  }
}

TEST(Message, TheFocusGoesOnlyToAButtonThatIsShown) {
  struct Case {
    int set, focus, focusCode;
  };
  for (const Case& c :
       {Case{4, 7, 7}, Case{4, 6, 6}, Case{0, 1, 1}, Case{0, 6, 0}, Case{1, 0, 0}, Case{3, 2, 2}}) {
    MessageRig rig;
    rig.dialog.Answer(c.set == 4 ? 6 : 2);
    rig.Show(c.set, c.focus, true, 1000);
    EXPECT_EQ(rig.dialog.Last().focusCode, c.focusCode) << c.set << " " << c.focus;
  }
}

TEST(Message, TheTimeOutAnswersThreeWhileTheProgramsTimersKeepFiring) {
  MessageRig rig;
  rig.dialog.Wait();
  EXPECT_EQ(rig.Show(0, 1, true, 5000), QV_SYS_Message::kTimedOut);
  EXPECT_EQ(rig.time.NowUs(), 5'000'000);
  EXPECT_EQ(rig.ticks, 50);
  // A button pressed before the time-out wins.
  rig.dialog.Answer(1);
  EXPECT_EQ(rig.Show(0, 1, true, 5000), QV_SYS_Message::kOk);
  EXPECT_EQ(rig.time.NowUs(), 5'000'000);
}

TEST(Message, ATimeOutOfZeroNeverClosesTheDialog) {
  MessageRig rig;
  auto pressOk = rig.loop.CreateTimer(60'000, true, [&] { rig.messages.OnButton(1); });
  rig.dialog.Wait();
  EXPECT_EQ(rig.Show(0, 1, true, 0), QV_SYS_Message::kOk);
  EXPECT_EQ(rig.time.NowUs(), 60'000'000);
}

TEST(Message, ASecondMessageWhileOneIsUpGetsMinusOneAndShowsNothing) {
  MessageRig rig;
  int nested = 0;
  rig.dialog.Respond([&](const MessageLayout&, MessageController& c) {
    nested = rig.Show(4, 6);
    c.OnButton(1);
  });
  EXPECT_EQ(rig.Show(0, 1), QV_SYS_Message::kOk);
  EXPECT_EQ(nested, QV_SYS_Message::kBusy);
  EXPECT_EQ(rig.dialog.shown.size(), 1u);
  EXPECT_FALSE(rig.messages.Visible());
}

TEST(Message, TheIconFallsBackToCriticalAndATitleReplacesTheCaption) {
  struct Case {
    int icon;
    const char* title;
    MessageIcon shown;
    const char* caption;
  };
  for (const Case& c : {Case{16, "", MessageIcon::kCritical, "Horalign - System Message"},
                        Case{32, "", MessageIcon::kQuestion, "Horalign - System Message"},
                        Case{48, "Notice", MessageIcon::kExclamation, "Notice"},
                        Case{64, "", MessageIcon::kInformation, "Horalign - System Message"},
                        Case{99, "", MessageIcon::kCritical, "Horalign - System Message"}}) {
    MessageRig rig;
    rig.messages.ShowMessage("Text", 0, 1, c.icon, c.title, "", 0);
    EXPECT_EQ(rig.dialog.Last().icon, c.shown) << c.icon;
    EXPECT_EQ(rig.dialog.Last().caption, c.caption) << c.icon;
    EXPECT_EQ(rig.dialog.Last().text, "Text");
  }
}

TEST(Message, TheOptionIsShownOnlyWithATextAndReadWhenAButtonCloses) {
  struct Case {
    const char* text;
    int value;
    bool ticked;  // by the user before pressing OK
    bool shownTicked, answer;
  };
  for (const Case& c :
       {Case{"Again", -1, true, true, true}, Case{"Again", 0, false, false, false},
        Case{"", 1, true, false, false}, Case{"Again", INT_MIN, false, true, false}}) {
    MessageRig rig;
    rig.dialog.optionChecked = c.ticked;
    rig.messages.ShowMessage("Text", 0, 1, 64, "", c.text, c.value);
    EXPECT_EQ(rig.dialog.Last().optionVisible, *c.text != '\0') << c.text << c.value;
    EXPECT_EQ(rig.dialog.Last().optionChecked, c.shownTicked) << c.text << c.value;
    EXPECT_EQ(rig.messages.OptionAnswer(), c.answer) << c.text << c.value;
  }
}

TEST(Message, ShowsTheArrowAndPutsBackTheBusyPointer) {
  MessageRig rig;
  rig.pointer.SetBusy(true);
  bool busyWhileUp = true;
  rig.dialog.Respond([&](const MessageLayout&, MessageController& c) {
    busyWhileUp = rig.pointer.busy;
    c.OnButton(1);
  });
  rig.Show(0, 1);
  EXPECT_FALSE(busyWhileUp);
  EXPECT_TRUE(rig.pointer.busy);
}

TEST(LoadingMessage, KeepsItsFirstTextAndEndsWithTheArrow) {
  MessageRig rig;
  sim::FakeLoading view;
  QV_SYS_LoadingMessage loading(view, rig.loop, rig.pointer, "Horalign");
  loading.ShowLoadMessage("Scanning");
  loading.ShowLoadMessage("Something else", 9000, 900);
  EXPECT_EQ(view.text, "Scanning");
  EXPECT_EQ(view.caption, "Horalign");
  EXPECT_EQ(view.showCount, 1);
  EXPECT_EQ(std::make_pair(view.width, view.height), std::make_pair(5910, 585));
  EXPECT_TRUE(rig.pointer.busy);
  // The scan turns the pointer on and off many times; one unload undoes them all.
  for (int i = 0; i < 3; ++i) rig.pointer.SetBusy(true);
  loading.Unload();
  EXPECT_FALSE(rig.pointer.busy);
  EXPECT_FALSE(view.visible);
  loading.ShowLoadMessage("Next", 7000, 0);
  EXPECT_EQ(view.text, "Next");
  EXPECT_EQ(std::make_pair(view.width, view.height), std::make_pair(7000, 585));
}

}  // namespace
}  // namespace horalign::test
