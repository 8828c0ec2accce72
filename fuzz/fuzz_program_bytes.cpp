// The whole program in virtual time with one device whose answers come from the input.
//
// The device answers the probe as usual and every other command with the input's text,
// sends the input's bytes of its own accord, and the user activates, deactivates and
// updates while the update cycle and receiver events come and go. The properties: no
// crash or undefined behaviour; every cell of the port list holds a text the program
// writes there; the PC clock is set only in the PC-from-device mode and only to a date
// and time that exist; after each action the window is usable again.
#include <cstdint>
#include <map>
#include <regex>
#include <set>
#include <string>

#include "core/device/device_text.h"
#include "core/platform/clock.h"
#include "core/ui/main_form.h"
#include "fuzz/fuzz_check.h"
#include "sim/sim_app.h"

using namespace horalign;

namespace {

constexpr const char* kSpeeds[] = {"9600,N,8,1", "38400,N,8,1", "1200,N,8,1"};
constexpr char kLetters[] = {'W', 'J', 'A', 'K', 'T', 'V', 'S', 'C', sim::kNoLetter};
constexpr const char* kPartNumbers[] = {"0371461", "0371437", "0371462", "0371438", "0371400"};

// Whether a cell of the port list holds a text the program writes there.
bool IsKnownCell(int row, int column, const std::string& text) {
  static const std::map<int, std::set<std::string>> kTexts = {
      {kColActive, {"Yes", "No", "N/A"}},
      {kColStatus,
       {"Connecting to device...", "Connected to device.",
        "Unable to connect to device - check settings.", "Disconnecting from device...",
        "Disconnected from device.", "Writing date & time to device...",
        "Device updated successfully.", "Error updating device.",
        "Reading date & time from device...", "PC updated successfully.", "Error reading device.",
        "Unable to set PC time - insufficient rights."}},
      {kColSettings, {"9600,N,8,1", "38400,N,8,1", "1200,N,8,1"}},
      {kColDetected, {"Yes", "No"}}};
  // "MM/DD/YY, HH:NN:SS AM" with the test locale's separators.
  static const std::regex kStatusTime(
      R"([0-9]{2}/[0-9]{2}/[0-9]{2}, [0-9]{2}:[0-9]{2}:[0-9]{2} [AP]M)");
  if (kTexts.contains(column)) return kTexts.at(column).contains(text);
  switch (column) {
    case kColPort:
      return text == (row < 10 ? "0" : "") + std::to_string(row);
    case kColStatusTime:
      return std::regex_match(text, kStatusTime);
    case kColDevice:
      return fuzz::IsKnownModel(text);
    case kColSerial:
      // Five bytes as the device sent them, cleaned: each at most "\xNN".
      return text == "N/A" || (text.size() <= 20 && CleanDeviceText(text) == text);
    default:
      return text.empty();
  }
}

void CheckProgram(sim::SimApp& s, int mode) {
  for (int row = 1; row <= kPortRows; ++row) {
    for (int column = 0; column < kPortColumns; ++column) {
      FUZZ_CHECK(IsKnownCell(row, column, s.Cell(row, column)));
    }
  }
  const auto& sets = s.world.clock.SetLog();
  FUZZ_CHECK(mode == kModePcFromDevice || sets.empty());
  for (const auto& set : sets) FUZZ_CHECK(set.result == ClockSetResult::kOk);
  FUZZ_CHECK(s.view.enabled && !s.pointer.busy && !s.Form().UserBusy());
}

void Act(FuzzedDataProvider& in, sim::SimApp& s, sim::SimDevice& device, int port) {
  QV_MainForm& form = s.Form();
  switch (in.ConsumeIntegralInRange(0, 7)) {
    case 0:
      s.Select(in.ConsumeBool() ? port : in.ConsumeIntegralInRange(0, 17));
      form.OnUpdateClick();
      break;
    case 1:
      s.Select(port);
      form.OnActivateClick();
      break;
    case 2:
      s.Select(port);
      form.OnDeactivateClick();
      break;
    case 3:
      device.SendRaw(in.ConsumeRandomLengthString(64));
      s.Run(in.ConsumeIntegralInRange(0, 2000));
      break;
    case 4:
      // A receiver time event, well formed but for its digits, late in the interval.
      form.SetMinuteCount(static_cast<std::int16_t>(in.ConsumeIntegralInRange(55, 59)));
      device.SendRaw(std::string(in.PickValueInArray(kPartNumbers)) + in.ConsumeBytesAsString(5) +
                     "\r");
      s.Run(1000);
      break;
    case 5:
      // The tick that runs the update cycle.
      form.SetMinuteCount(static_cast<std::int16_t>(s.app.Config().UpdateInterval - 1));
      form.OnMinutesTick();
      break;
    case 6:
      device.Config().fixedReply = in.ConsumeRandomLengthString(32);
      break;
    default:
      s.Run(in.ConsumeIntegralInRange(0, 3000));
      break;
  }
}

}  // namespace

FUZZ_TARGET(in) {
  const int mode = in.ConsumeBool() ? kModePcFromDevice : kModeDeviceFromPc;
  const int port = in.ConsumeIntegralInRange(1, 16);
  sim::SimDeviceConfig config;
  config.letter = in.PickValueInArray(kLetters);
  config.settings = in.PickValueInArray(kSpeeds);
  config.eventEverySeconds = 0;  // the input sends the events
  config.clockOffsetSeconds = in.ConsumeIntegralInRange(-200'000, 200'000);
  config.replyDelayUs = in.ConsumeIntegralInRange<std::int64_t>(0, 2'000'000);
  if (in.ConsumeBool()) config.fixedReply = in.ConsumeRandomLengthString(32);

  sim::SimApp s;
  auto& device = s.world.AddDevice(port, config);
  s.Set("Connection Mode", std::to_string(mode));
  s.Set("Used COM Ports", std::to_string(1 << (port - 1)));
  FUZZ_CHECK(s.Start());
  CheckProgram(s, mode);

  const int actions = in.ConsumeIntegralInRange(1, 5);
  for (int i = 0; i < actions && in.remaining_bytes() > 0; ++i) {
    Act(in, s, device, port);
    CheckProgram(s, mode);
  }
}
