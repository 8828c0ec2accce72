#pragma once

#include <array>
#include <span>
#include <string>
#include <string_view>

#include "core/ui/views.h"

namespace horalign {

// The one description of the program's windows that every face draws: each control's kind,
// caption, tool tip, place in twips, tab index and help topic, the tray menu and its events,
// and the dialogs' geometry. A face adds nothing but its drawing.

inline constexpr int kHelpTopicMain = 100000;
inline constexpr int kControlCount = static_cast<int>(Control::lblCurrentDate) + 1;
inline constexpr int kMainClientWidthTwips = 9405;
inline constexpr int kMainClientHeightTwips = 5220;

// The two synchronization modes as the mode list shows them, mode 1 first.
inline constexpr std::array<const char*, 2> kModeTexts = {
    "Synchronize Device Time to PC Time", "Synchronize PC Time to Device Time (Single COM Port)"};

enum class ControlKind { kLabel, kDropDown, kTextBox, kDisplayBox, kFrame, kList, kButton };

// How a control follows a window that grew to hold its texts: it stays, it keeps its distance
// to the right edge, or it widens with it.
enum class Anchor { kLeft, kRight, kStretch };

struct TwipsRect {
  int left = 0, top = 0, width = 0, height = 0;
  int Right() const { return left + width; }
  friend bool operator==(const TwipsRect&, const TwipsRect&) = default;
};

struct ControlDesc {
  Control control;
  ControlKind kind;
  const char* name;
  const char* caption;  // "&" marks the access key and is not shown; "&&" shows "&"
  const char* toolTip;  // "" for none
  TwipsRect rect;       // as designed; inside pbxDetails for the controls it holds
  bool inFrame;
  int tabIndex;
  bool bold;
  int maxLength;  // the most characters a text box takes; 0 for no limit
  int helpTopic;  // 0: the topic of what holds the control
  Anchor anchor;
  Control names;  // a label: the control its access key leads to; others: itself
};

// Every control of the main window, in creation order, which is also the stacking order
// where two overlap: the interval box sits in the gap of its label's caption, above it.
std::span<const ControlDesc> MainWindowControls();
const ControlDesc& DescOf(Control control);
// The controls that take the focus, in the order Tab moves it.
std::span<const Control> TabOrder();
// What F1 opens with `focused` holding the focus.
int HelpTopicOf(Control focused);
// The section of the help page for a topic.
std::string HelpAnchor(int topic);

// The letter after a caption's single "&" (lower case), or 0.
char AccessKeyOf(std::string_view caption);
// A caption as shown: "&" marks dropped, "&&" shown as "&".
std::string ShownCaption(std::string_view caption);
// A caption with a gap of blanks, where another control sits, in its two parts (shown);
// `after` is empty for a caption without a gap.
struct CaptionParts {
  std::string before, after;
};
CaptionParts SplitAtGap(std::string_view caption);

// The tray's pop-up menu mnuPopup, shown only as a pop-up, and the indices of its item array
// mnuPopupOptions. The history came later: it keeps the indices before it and is shown above
// the separator.
enum class TrayMenuItem { kShow = 0, kHide = 1, kSeparator = 2, kClose = 3, kHistory = 4 };
struct PopupMenuDesc {
  const char* name;
  const char* itemsName;
  // The items' captions by index; "" for the separator.
  std::array<const char*, kTrayMenuItems> mnuPopupOptions;
  // The items in the order the menu shows them.
  std::array<TrayMenuItem, kTrayMenuItems> order;
};
inline constexpr PopupMenuDesc mnuPopup{
    "mnuPopup",
    "mnuPopupOptions",
    {"Show", "Hide", "", "Close", "History..."},
    {TrayMenuItem::kShow, TrayMenuItem::kHide, TrayMenuItem::kHistory, TrayMenuItem::kSeparator,
     TrayMenuItem::kClose}};
// The main window's key for the history window: Ctrl and this letter.
inline constexpr char kHistoryKeyLetter = 'H';
// The mouse messages the tray icon reports.
enum class TrayEvent { kDoubleClick = 515, kRightButtonDown = 516 };

// The message dialog. Its controls as designed; a button's left and top come with each
// message's layout, and the four picture boxes share one place, one of them shown.
inline constexpr int kMessageClientWidthTwips = 4710;
inline constexpr int kMessageClientHeightTwips = 1725;
struct MessageControlDesc {
  MessageControl control;
  const char* name;
  const char* caption;  // a button's, with its access key; "" where each message gives it
  TwipsRect rect;       // empty for the timer
};
const MessageControlDesc& DescOf(MessageControl control);
// The picture box that shows an icon.
MessageControl PictureOf(MessageIcon icon);
// The loading message's one line, across the whole window.
inline constexpr int kLoadingTextTopTwips = 135;
inline constexpr int kLoadingTextHeightTwips = 255;

// What a face measures at its own font, in twips.
class TextMetrics {
 public:
  virtual ~TextMetrics() = default;
  // The width `text` takes as drawn.
  virtual int TextTwips(const std::string& text, bool bold) const = 0;
  // What a control of this kind needs around its text: frame, margins, a drop-down's arrow.
  virtual int ChromeTwips(ControlKind kind) const = 0;
};

// The main window with every text whole at a face's font: the designed places where the
// texts fit, else controls moved along their row and the window widened as far as needed.
struct MainLayout {
  int clientWidthTwips = kMainClientWidthTwips;
  int clientHeightTwips = kMainClientHeightTwips;
  std::array<TwipsRect, kControlCount> rects{};
  // Where a gap caption's second part starts, from its label's left edge.
  int gapEndTwips = 0;
  const TwipsRect& Rect(Control c) const { return rects[static_cast<std::size_t>(c)]; }
};

MainLayout FitMainWindow(const TextMetrics& metrics, const LocaleFormat& locale);

}  // namespace horalign
