#include "core/ui/window_layout.h"

#include <algorithm>
#include <cassert>
#include <vector>

namespace horalign {
namespace {

using C = Control;
using K = ControlKind;
using A = Anchor;

// What separates a label's text from the control after it.
constexpr int kLabelGapTwips = 60;
// The designed room right of the rightmost control of a row.
constexpr int kRightMarginTwips = 105;

// Each control in two lines: what it is and says; where it sits and how it behaves
// (place, in the frame, tab index, bold, limit, help topic, anchor, the control it names).
// clang-format off
constexpr ControlDesc kControls[] = {
    {C::lbl_Mode, K::kLabel, "lbl_Mode", "Synchronization &Mode:", "",
     {200, 152, 2000, 210}, false, 0, true, 0, 0, A::kLeft, C::cmb_Mode},
    {C::cmb_Mode, K::kDropDown, "cmb_Mode", "", "Synchronization mode ",
     {2150, 100, 4500, 315}, false, 1, false, 0, 0, A::kLeft, C::cmb_Mode},
    {C::txtInterval, K::kTextBox, "txtInterval", "", "",
     {8350, 107, 500, 300}, false, 3, false, 4, 0, A::kLeft, C::txtInterval},
    {C::lblInterval, K::kLabel, "lblInterval", "Update &Interval:          Min.", "",
     {6950, 150, 2600, 210}, false, 2, true, 0, 0, A::kLeft, C::txtInterval},
    {C::pbxDetails, K::kFrame, "pbxDetails", "", "Press F1 for help ",
     {0, 500, 9400, 4200}, false, 10, false, 0, kHelpTopicMain, A::kStretch, C::pbxDetails},
    {C::lvwMessages, K::kList, "lvwMessages", "", "",
     {0, 0, 9330, 3700}, true, 4, false, 0, kHelpTopicMain, A::kStretch, C::lvwMessages},
    {C::cmdActivate, K::kButton, "cmdActivate", "Ac&tivate", "Activate selected COM port ",
     {200, 3750, 1100, 350}, true, 5, false, 0, 0, A::kLeft, C::cmdActivate},
    {C::cmdDeactivate, K::kButton, "cmdDeactivate", "&Deactivate", "Deactivate selected COM port ",
     {1500, 3750, 1100, 350}, true, 6, false, 0, 0, A::kLeft, C::cmdDeactivate},
    {C::cmdUpdate, K::kButton, "cmdUpdate", "&Update Now", "Update time now ",
     {2800, 3750, 1100, 350}, true, 15, false, 0, 0, A::kLeft, C::cmdUpdate},
    {C::cmdRefresh, K::kButton, "cmdRefresh", "&Refresh",
     "Reconnect to all devices and refresh list ",
     {8150, 3750, 1100, 350}, true, 16, false, 0, 0, A::kRight, C::cmdRefresh},
    {C::cmdClose, K::kButton, "cmdClose", "&Close", "Close & exit ",
     {200, 4800, 1100, 350}, false, 7, false, 0, 0, A::kLeft, C::cmdClose},
    {C::cmdHide, K::kButton, "cmdHide", "&Hide", "Hide (send to system tray) ",
     {1500, 4800, 1100, 350}, false, 8, false, 0, 0, A::kLeft, C::cmdHide},
    {C::lblCurrentDate, K::kLabel, "lblCurrentDate", "Current Date && Time:", "",
     {5400, 4870, 1800, 210}, false, 14, true, 0, 0, A::kRight, C::txtCurrentDate},
    {C::txtCurrentDate, K::kDisplayBox, "txtCurrentDate", "", "",
     {7200, 4825, 1050, 300}, false, 13, false, 0, 0, A::kRight, C::txtCurrentDate},
    {C::txtCurrentTime, K::kDisplayBox, "txtCurrentTime", "", "",
     {8250, 4825, 1050, 300}, false, 12, false, 0, 0, A::kRight, C::txtCurrentTime},
};
// clang-format on
static_assert(std::size(kControls) == kControlCount);

using M = MessageControl;

// clang-format off
constexpr MessageControlDesc kMessageControls[] = {
    {M::lblMessageText, "lblMessageText", "", {720, 150, 3810, 1005}},
    {M::pic_Critical, "pic_Critical", "", {135, 105, 500, 500}},
    {M::pic_Question, "pic_Question", "", {135, 105, 500, 500}},
    {M::pic_Exclamation, "pic_Exclamation", "", {135, 105, 500, 500}},
    {M::pic_Information, "pic_Information", "", {135, 105, 500, 500}},
    {M::cmd_Ok, "cmd_Ok", "&Ok", {0, 0, 1100, 350}},
    {M::cmd_Cancel, "cmd_Cancel", "&Cancel", {0, 0, 1100, 350}},
    {M::cmd_Yes, "cmd_Yes", "&Yes", {0, 0, 1100, 350}},
    {M::cmd_No, "cmd_No", "&No", {0, 0, 1100, 350}},
    {M::chkOption, "chkOption", "", {300, 945, 4200, 240}},
    {M::tmrTimeOut, "tmrTimeOut", "", {}},
};
// clang-format on
// In the order of MessageControl, so a control's row is found by its value.
constexpr bool InEnumOrder() {
  for (std::size_t i = 0; i < std::size(kMessageControls); ++i) {
    if (static_cast<std::size_t>(kMessageControls[i].control) != i) return false;
  }
  return std::size(kMessageControls) == static_cast<std::size_t>(M::tmrTimeOut) + 1;
}
static_assert(InEnumOrder());

bool TakesFocus(const ControlDesc& s) {
  return s.kind != K::kLabel && s.kind != K::kFrame;
}

// The width a control's content needs at the face's font; 0 for what shows no text of its own.
int NeededTwips(const ControlDesc& s, const TextMetrics& m, const LocaleFormat& locale) {
  switch (s.kind) {
    case K::kLabel:
      return m.TextTwips(SplitAtGap(s.caption).before, true);
    case K::kButton:
      return m.TextTwips(ShownCaption(s.caption), false) + m.ChromeTwips(s.kind);
    case K::kDropDown: {
      int widest = 0;
      for (const char* text : kModeTexts) widest = std::max(widest, m.TextTwips(text, false));
      return widest + m.ChromeTwips(s.kind);
    }
    case K::kTextBox:
      return m.TextTwips(std::string(static_cast<std::size_t>(s.maxLength), '0'), false) +
             m.ChromeTwips(s.kind);
    case K::kDisplayBox: {
      const std::string date =
          std::string("00") + locale.dateSeparator + "00" + locale.dateSeparator + "0000";
      const std::string time =
          std::string("00") + locale.timeSeparator + "00" + locale.timeSeparator + "00 ";
      const int text = s.control == C::txtCurrentDate
                           ? m.TextTwips(date, false)
                           : std::max(m.TextTwips(time + locale.am, false),
                                      m.TextTwips(time + locale.pm, false));
      return text + m.ChromeTwips(s.kind);
    }
    case K::kFrame:
    case K::kList:
      break;
  }
  return 0;
}

// The controls of one row: same parent, overlapping from top to bottom.
std::vector<const ControlDesc*> RowOf(const ControlDesc& first) {
  std::vector<const ControlDesc*> row;
  for (const ControlDesc& s : kControls) {
    const bool overlaps = s.rect.top < first.rect.top + first.rect.height &&
                          first.rect.top < s.rect.top + s.rect.height;
    if (s.inFrame == first.inFrame && overlaps) row.push_back(&s);
  }
  std::sort(row.begin(), row.end(),
            [](const ControlDesc* a, const ControlDesc* b) { return a->rect.left < b->rect.left; });
  return row;
}

struct Fitter {
  const TextMetrics& metrics;
  const LocaleFormat& locale;
  MainLayout layout;

  TwipsRect& At(C c) { return layout.rects[static_cast<std::size_t>(c)]; }
  int Needed(const ControlDesc& s) const { return NeededTwips(s, metrics, locale); }

  // Left-anchored controls flow right: each keeps its designed place unless the text of the
  // one before it pushes it on. Returns where the row's content ends.
  int FlowRight(const std::vector<const ControlDesc*>& row) {
    int shift = 0, next = 0, contentEnd = 0;
    const ControlDesc* gapLabel = nullptr;
    for (const ControlDesc* s : row) {
      if (s->anchor != A::kLeft) continue;
      TwipsRect& r = At(s->control);
      const int needed = Needed(*s);
      r.left = std::max(s->rect.left + shift, next);
      shift = r.left - s->rect.left;
      r.width = std::max(s->rect.width, needed);
      // A box that grew keeps its designed distance to the next; a label's text is what counts.
      if (s->kind != K::kLabel) shift += r.width - s->rect.width;
      contentEnd = s->kind == K::kLabel ? r.left + needed : r.Right();
      next = s->kind == K::kLabel ? contentEnd + kLabelGapTwips : r.Right();
      if (gapLabel && s->rect.left < gapLabel->rect.Right()) {
        // The control in the gap: the caption's second part follows it.
        TwipsRect& label = At(gapLabel->control);
        const int after = metrics.TextTwips(SplitAtGap(gapLabel->caption).after, true);
        layout.gapEndTwips = r.Right() + kLabelGapTwips - label.left;
        label.width = std::max(label.width, layout.gapEndTwips + after);
        contentEnd = label.left + layout.gapEndTwips + after;
        next = contentEnd + kLabelGapTwips;
        gapLabel = nullptr;
      }
      if (s->kind == K::kLabel && !SplitAtGap(s->caption).after.empty()) gapLabel = s;
    }
    return contentEnd;
  }

  // Right-anchored controls flow left from the right edge, which moved by `growth`.
  void FlowLeft(const std::vector<const ControlDesc*>& row, int growth) {
    int limit = 1 << 30;  // where the control right of this one starts
    for (auto it = row.rbegin(); it != row.rend(); ++it) {
      const ControlDesc* s = *it;
      if (s->anchor != A::kRight) continue;
      TwipsRect& r = At(s->control);
      const int needed = Needed(*s);
      if (s->kind == K::kLabel) {
        r.left = std::min(s->rect.left + growth, limit - kLabelGapTwips - needed);
        r.width = std::max(needed, std::min(s->rect.width, limit - r.left));
      } else {
        r.width = std::max(s->rect.width, needed);
        r.left = std::min(s->rect.Right() + growth, limit) - r.width;
      }
      limit = r.left;
    }
  }
};

// Each row once, by its leftmost control.
bool FirstOfRow(const ControlDesc& s) {
  return RowOf(s).front() == &s;
}

}  // namespace

std::span<const ControlDesc> MainWindowControls() {
  return kControls;
}

const ControlDesc& DescOf(Control control) {
  const ControlDesc& s = kControls[0];
  for (const ControlDesc& c : kControls) {
    if (c.control == control) return c;
  }
  assert(false && "every control has a row");
  return s;
}

const MessageControlDesc& DescOf(MessageControl control) {
  return kMessageControls[static_cast<std::size_t>(control)];
}

MessageControl PictureOf(MessageIcon icon) {
  switch (icon) {
    case MessageIcon::kQuestion:
      return M::pic_Question;
    case MessageIcon::kExclamation:
      return M::pic_Exclamation;
    case MessageIcon::kInformation:
      return M::pic_Information;
    case MessageIcon::kCritical:
      break;
  }
  return M::pic_Critical;
}

std::span<const Control> TabOrder() {
  static const std::vector<Control> order = [] {
    std::vector<const ControlDesc*> focusable;
    for (const ControlDesc& s : kControls) {
      if (TakesFocus(s)) focusable.push_back(&s);
    }
    std::sort(focusable.begin(), focusable.end(),
              [](const ControlDesc* a, const ControlDesc* b) { return a->tabIndex < b->tabIndex; });
    std::vector<Control> controls;
    for (const ControlDesc* s : focusable) controls.push_back(s->control);
    return controls;
  }();
  return order;
}

int HelpTopicOf(Control focused) {
  const ControlDesc& s = DescOf(focused);
  if (s.helpTopic) return s.helpTopic;
  if (s.inFrame) return HelpTopicOf(Control::pbxDetails);
  return kHelpTopicMain;  // the window's own
}

std::string HelpAnchor(int topic) {
  return topic == kHelpTopicMain ? "main-window" : "";
}

char AccessKeyOf(std::string_view caption) {
  for (std::size_t i = 0; i + 1 < caption.size(); ++i) {
    if (caption[i] != '&') continue;
    if (caption[i + 1] != '&') {
      const char c = caption[i + 1];
      return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    }
    ++i;
  }
  return 0;
}

std::string ShownCaption(std::string_view caption) {
  std::string shown;
  for (std::size_t i = 0; i < caption.size(); ++i) {
    if (caption[i] == '&' && ++i == caption.size()) break;
    shown += caption[i];
  }
  return shown;
}

CaptionParts SplitAtGap(std::string_view caption) {
  const auto gap = caption.find("  ");
  if (gap == std::string_view::npos) return {ShownCaption(caption), ""};
  const auto rest = caption.find_first_not_of(' ', gap);
  return {ShownCaption(caption.substr(0, gap)),
          rest == std::string_view::npos ? "" : ShownCaption(caption.substr(rest))};
}

MainLayout FitMainWindow(const TextMetrics& metrics, const LocaleFormat& locale) {
  Fitter fit{metrics, locale, {}};
  for (const ControlDesc& s : kControls) fit.At(s.control) = s.rect;
  // The window widens until the longest top-level row fits, with the designed margin.
  int widest = kMainClientWidthTwips;
  for (const ControlDesc& s : kControls) {
    if (!s.inFrame && FirstOfRow(s)) {
      widest = std::max(widest, fit.FlowRight(RowOf(s)) + kRightMarginTwips);
    }
  }
  const int growth = widest - kMainClientWidthTwips;
  fit.layout.clientWidthTwips = widest;
  for (const ControlDesc& s : kControls) {
    if (s.anchor == A::kStretch) fit.At(s.control).width += growth;
  }
  // The frame grew as the window did; what it holds follows the same way.
  for (const ControlDesc& s : kControls) {
    if (!FirstOfRow(s)) continue;
    if (s.inFrame) fit.FlowRight(RowOf(s));
    fit.FlowLeft(RowOf(s), growth);
  }
  return fit.layout;
}

}  // namespace horalign
