#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "core/ui/message.h"
#include "core/ui/window_layout.h"
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
};

// Each row presses one key with a time-out of a second. What the dialog did reads
// "<caption>@<left> ... f<focus> =<answer>": the buttons shown and where, the focused one, and
// the answer (3: no shown button took the key and the time-out closed the dialog). The icon,
// the caption and the option box vary along; the user ticks the option every time, and it
// counts only where it was shown, when a button closed the dialog.
TEST(MessageDialog, EachButtonSetShowsItsButtonsAndTakesOnlyTheirKeys) {
  // clang-format off
  for (const auto& [set, focus, key, did, icon, title, option, value, shown, ticked] :
       std::vector<std::tuple<int, int, int, std::string, int, std::string, std::string, int, MessageIcon, bool>>{
    {0, 1, 27, "&Ok@1850 f1 =1", 16, "", "Again", -1, kCritical, true},
    {0, 6, 'y', "&Ok@1850 f0 =3", 32, "", "Again", 0, kQuestion, false},
    {0, 1, 'x', "&Ok@1850 f1 =3", 48, "Notice", "", 1, kExclamation, false},
    {1, 0, 27, "&Ok@1200 &Cancel@2500 f0 =2", 64, "", "Again", INT32_MIN, kInformation, true},
    {1, 2, 'o', "&Ok@1200 &Cancel@2500 f2 =1", 99, "", "", 0, kCritical, false},
    {2, 2, 27, "&Cancel@1850 f2 =2", 64, "", "", 0, kInformation, false},
    {3, 6, 27, "&Cancel@3150 &Yes@550 &No@1850 f6 =2", 64, "", "", 0, kInformation, false},
    {3, 2, 'c', "&Cancel@3150 &Yes@550 &No@1850 f2 =2", 64, "", "", 0, kInformation, false},
    {4, 7, 27, "&Yes@1200 &No@2500 f7 =7", 64, "", "", 0, kInformation, false},
    {4, 6, 'y', "&Yes@1200 &No@2500 f6 =6", 64, "", "", 0, kInformation, false},
    {4, 0, 'N', "&Yes@1200 &No@2500 f0 =7", 64, "", "", 0, kInformation, false},
    {9, 1, 27, "&Ok@1850 f1 =3", 64, "", "", 0, kInformation, false}}) {
    // clang-format on
    SCOPED_TRACE(did);
    MessageRig rig;
    rig.dialog.optionChecked = true;
    bool took = false;
    rig.dialog.Respond([&, key = key](auto&, MessageController& c) { took = c.OnKey(key); });
    const int answer = rig.messages.ShowMessage("Text", static_cast<MessageButtons>(set), focus,
                                                static_cast<MessageIconCode>(icon), title, option,
                                                value, true, 1000);
    std::string seen;
    const MessageLayout& l = rig.dialog.Last();
    for (const auto& b : l.buttons) {
      if (b.visible) seen += b.caption + "@" + std::to_string(b.leftTwips) + " ";
      EXPECT_EQ(b.topTwips, 1200);
    }
    seen += "f" + std::to_string(l.focusCode) + " =" + std::to_string(answer);
    EXPECT_EQ(std::tuple(seen, took, l.icon, l.caption, l.text),
              std::tuple(did, answer != 3, shown,
                         title.empty() ? "Horalign - System Message" : title, "Text"));
    EXPECT_EQ(
        std::tuple(l.optionVisible, l.optionText, l.optionChecked, rig.messages.OptionAnswer()),
        std::tuple(!option.empty(), option, ticked, !option.empty() && took));
  }
}

// The dialog as designed, as both faces place it and accessibility tools read it: each
// control's name, caption and place, the window's size, and the picture box of each icon.
TEST(MessageDialog, EveryControlIsTheOneTheDialogIsDesignedWith) {
  const char* const designed[] = {"lblMessageText||720,150,3810,1005",
                                  "pic_Critical||135,105,500,500",
                                  "pic_Question||135,105,500,500",
                                  "pic_Exclamation||135,105,500,500",
                                  "pic_Information||135,105,500,500",
                                  "cmd_Ok|&Ok|0,0,1100,350",
                                  "cmd_Cancel|&Cancel|0,0,1100,350",
                                  "cmd_Yes|&Yes|0,0,1100,350",
                                  "cmd_No|&No|0,0,1100,350",
                                  "chkOption||300,945,4200,240",
                                  "tmrTimeOut||0,0,0,0"};
  std::vector<std::string> seen;
  for (int c = 0; c <= static_cast<int>(MessageControl::tmrTimeOut); ++c) {
    const MessageControlDesc& d = DescOf(static_cast<MessageControl>(c));
    const TwipsRect& r = d.rect;
    seen.push_back(std::string(d.name) + "|" + d.caption + "|" + std::to_string(r.left) + "," +
                   std::to_string(r.top) + "," + std::to_string(r.width) + "," +
                   std::to_string(r.height));
  }
  EXPECT_EQ(seen, std::vector<std::string>(std::begin(designed), std::end(designed)));
  EXPECT_EQ(std::pair(kMessageClientWidthTwips, kMessageClientHeightTwips), std::pair(4710, 1725));
  for (const auto& [icon, box] : {std::pair{kCritical, "pic_Critical"},
                                  {kQuestion, "pic_Question"},
                                  {kExclamation, "pic_Exclamation"},
                                  {kInformation, "pic_Information"}}) {
    EXPECT_STREQ(DescOf(PictureOf(icon)).name, box);
  }
}

// The program's timers keep firing under the dialog.
TEST(MessageDialog, TheTimeOutAnswersThreeAndAButtonBeforeItWins) {
  MessageRig rig;
  const auto ok = [&rig](bool timeOut, int ms) {
    return rig.messages.ShowMessage("Text", MessageButtons::kOk, 1, MessageIconCode::kInformation,
                                    "", "", 0, timeOut, ms);
  };
  rig.dialog.Wait();  // no answer
  EXPECT_EQ(ok(true, 5000), 3);
  EXPECT_EQ(std::tuple(rig.time.NowUs(), rig.ticks), std::tuple(5'000'000, 50));
  rig.dialog.Answer(1);
  EXPECT_EQ(ok(true, 5000), 1);
  EXPECT_EQ(rig.time.NowUs(), 5'000'000);
  EXPECT_FALSE(rig.messages.OnKey('o')) << "no dialog is up";
  // Without a time-out, or with one of 0 ms, the dialog waits for the user.
  auto pressOk = rig.loop.CreateTimer(60'000, true, [&] { rig.messages.OnButton(1); });
  for (auto [on, ms] : {std::pair(true, 0), std::pair(false, 5000)}) {
    rig.dialog.Wait();
    EXPECT_EQ(ok(on, ms), 1) << ms;
  }
  EXPECT_EQ(rig.time.NowUs(), 125'000'000);
}

// The screen catches up (the loop yields) before the pointer turns busy, before the message
// shows and once it is gone, so neither is drawn late.
TEST(LoadingMessage, KeepsItsFirstTextAndEndsWithTheArrow) {
  MessageRig rig;
  sim::FakeLoading view;
  QV_SYS_LoadingMessage loading(view, rig.loop, rig.pointer, "Horalign");
  std::string yields;  // at each yield: the pointer (b busy, a arrow), the message (s shown, -)
  rig.loop.SetYieldHook([&](std::int64_t) {
    yields += std::string(rig.pointer.busy ? "b" : "a") + (view.visible ? "s " : "- ");
  });
  loading.ShowLoadMessage("Scanning");
  loading.ShowLoadMessage("Something else", 9000, 900);
  EXPECT_EQ(std::tuple(view.caption, view.text, view.width, view.height, view.showCount),
            std::tuple("Horalign", "Scanning", 5910, 585, 1));
  view.visible = false;  // gone from the screen, yet not unloaded: shown again
  loading.ShowLoadMessage("Again", 1, 1);
  EXPECT_EQ(std::tuple(view.text, view.width, view.height, rig.pointer.busyOnCount),
            std::tuple("Again", 1, 1, 1));
  // The scan turns the pointer on and off many times; one unload undoes them all.
  for (int i = 0; i < 3; ++i) rig.pointer.BusyPointerOn();
  loading.Unload();
  EXPECT_FALSE(rig.pointer.busy || view.visible);
  loading.ShowLoadMessage("Next");
  EXPECT_EQ(std::tuple(view.text, rig.pointer.busy), std::tuple("Next", true));
  EXPECT_EQ(yields, "a- b- b- a- a- b- ");
}

}  // namespace
}  // namespace horalign::test
