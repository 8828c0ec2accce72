#include "core/sync/clock_hold.h"

#include <cstdio>
#include <iterator>

namespace horalign {
namespace {

constexpr const char* kHoldTexts[] = {"", "Waiting: PC clock not synchronized.",
                                      "Waiting: PC clock error over bound.",
                                      "Waiting: PC clock state unknown."};

}  // namespace

HoldReason HoldReasonOf(const AppConfig& config, const PcClockSyncInfo& info) {
  if (!config.PushOnlyWhenSynchronized) return HoldReason::kNone;
  switch (info.state) {
    case ClockSyncState::kUnknown:
      return HoldReason::kStateUnknown;
    case ClockSyncState::kUnsynchronized:
      return HoldReason::kUnsynchronized;
    case ClockSyncState::kSynchronized:
      break;
  }
  // A synchronised clock that gives no bound is taken at its word.
  return info.maxErrorSeconds && *info.maxErrorSeconds > config.MaxClockErrorSeconds
             ? HoldReason::kErrorOverBound
             : HoldReason::kNone;
}

const char* HoldText(HoldReason reason) {
  return kHoldTexts[static_cast<int>(reason)];
}

std::string HoldQuestion(HoldReason reason) {
  const char* why = reason == HoldReason::kErrorOverBound ? "may be off by more than the bound set"
                    : reason == HoldReason::kStateUnknown ? "cannot be told to be right"
                                                          : "is not synchronized";
  return std::string("The PC clock ") + why + ".\r\nWrite its time to the device anyway?";
}

HoldReason HoldOfText(const std::string& text) {
  for (int i = 1; i < static_cast<int>(std::size(kHoldTexts)); ++i) {
    if (text == kHoldTexts[i]) return static_cast<HoldReason>(i);
  }
  return HoldReason::kNone;
}

const char* ClockStateName(ClockSyncState state) {
  return state == ClockSyncState::kSynchronized     ? "synchronized"
         : state == ClockSyncState::kUnsynchronized ? "unsynchronized"
                                                    : "unknown";
}

std::string PcClockText(const PcClockSyncInfo& info) {
  if (info.state == ClockSyncState::kUnknown) return "";
  if (info.state == ClockSyncState::kUnsynchronized) return "PC clock: not synchronized";
  std::string text = "PC clock: synchronized";
  if (info.maxErrorSeconds) {
    char error[40];
    std::snprintf(error, sizeof error, " (max. error %.3f s)", *info.maxErrorSeconds);
    text += error;
  }
  return text;
}

}  // namespace horalign
