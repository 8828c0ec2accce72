// Device bytes through the port monitor and the exchange routines, in virtual time.
//
// The input picks the line speeds (a mismatch scrambles every byte), bursts and floods
// the device sends at chosen times, and the exchanges the program runs meanwhile. The
// properties: no crash or undefined behaviour; ReplyLine is empty or one line with its CR,
// never longer than the monitor's limit; the exchanges answer only what their rules
// allow; and once the line has gone quiet, the next poll finds the receiver idle.
#include <cstdint>
#include <memory>
#include <string>

#include "core/device/line_rules.h"
#include "core/device/model_table.h"
#include "core/device/monitor_timers.h"
#include "core/device/paging.h"
#include "core/serial/delay.h"
#include "core/serial/serial_comm.h"
#include "fuzz/fuzz_check.h"
#include "sim/world.h"

using namespace horalign;

namespace {

constexpr const char* kSpeeds[] = {"1200,N,8,1", "9600,N,8,1", "38400,N,8,1", "115200,N,8,1",
                                   "9600,E,7,1"};
constexpr int kPort = 4;

struct Rig {
  sim::World world;
  std::int32_t delayTicks = 0;
  clsSerialCommAPI serialPort{world.serial};
  QV_Paging paging{serialPort, world.loop, delayTicks};
  MonitorTimers timers{world.loop, paging, delayTicks};
};

void CheckLinkState(const QV_Paging& paging) {
  const std::string& line = paging.ReplyLine;
  FUZZ_CHECK(line.size() <= QV_Paging::kMaxLineLength);
  FUZZ_CHECK(line.empty() || line.find(kCR) == line.size() - 1);
  FUZZ_CHECK(!paging.Collecting() || !paging.ReceiverIdle);
}

void ScheduleDeviceOutput(FuzzedDataProvider& in, Rig& rig, sim::SimDevice& device) {
  const int bursts = in.ConsumeIntegralInRange(0, 12);
  for (int i = 0; i < bursts; ++i) {
    const auto atUs = in.ConsumeIntegralInRange<std::int64_t>(0, 6'000'000);
    if (in.ConsumeIntegralInRange(0, 7) == 0) {
      const auto durationUs = in.ConsumeIntegralInRange<std::int64_t>(1, 400'000);
      std::string pattern = in.ConsumeRandomLengthString(4);
      if (pattern.empty()) pattern = "#~";
      rig.world.time.At(atUs,
                        [&device, durationUs, pattern] { device.Flood(durationUs, pattern); });
    } else {
      std::string bytes = in.ConsumeRandomLengthString(200);
      rig.world.time.At(atUs, [&device, bytes] { device.SendRaw(bytes); });
    }
  }
}

void RunExchange(FuzzedDataProvider& in, Rig& rig) {
  QV_Paging& paging = rig.paging;
  const auto timeout = in.ConsumeIntegralInRange<std::int32_t>(0, 24);
  switch (in.ConsumeIntegralInRange(0, 5)) {
    case 0:
      FUZZ_CHECK(!paging.ProbeDevice() || IsProbeAnswer(paging.ReplyLine));
      break;
    case 1: {
      std::string reply = "before";
      const std::string command = in.ConsumeRandomLengthString(8);
      if (paging.SendCommand(command, "", in.ConsumeBool() ? Frame::kPlain : Frame::kMarked,
                             timeout, reply, in.ConsumeBool() ? LineEnd::kCr : LineEnd::kNone)) {
        FUZZ_CHECK(reply == kAcknowledge);
      }
      break;
    }
    case 2: {
      std::string reply;
      const auto expected = in.ConsumeIntegralInRange<std::int16_t>(-4, 30);
      const bool acceptError = in.ConsumeBool();
      const std::string result =
          paging.QueryDevice("QT", "", expected, in.ConsumeBool() ? Frame::kPlain : Frame::kMarked,
                             timeout, reply, LineEnd::kCr, acceptError);
      FUZZ_CHECK(result.empty() || static_cast<int>(result.size()) == expected ||
                 (acceptError && result == "?99"));
      break;
    }
    case 3:
      // What it names is the identification line's (fuzz_identification) and the core's
      // identification tests'; here only its exchanges amid the device's bytes.
      paging.IdentifyDevice();
      break;
    case 4:
      paging.OpenPort(rig.serialPort, kPort, in.PickValueInArray(kSpeeds));
      break;
    default:
      rig.world.loop.RunForMs(in.ConsumeIntegralInRange(0, 1500));
      break;
  }
}

}  // namespace

FUZZ_TARGET(in) {
  Rig rig;
  auto& device =
      rig.world.AddDevice(kPort, {.settings = in.PickValueInArray(kSpeeds), .silent = true});
  rig.paging.OpenPort(rig.serialPort, kPort, in.PickValueInArray(kSpeeds));
  rig.paging.DeviceKind = in.ConsumeBool() ? ModelKind::kReceiver : ModelKind::kUtcClock;
  rig.paging.OnReceiverTimeLine = [](std::int16_t port, const std::string& line) {
    FUZZ_CHECK(port == kPort && IsReceiverTimeLine(line));
  };
  rig.world.loop.SetYieldHook([&](std::int64_t) { CheckLinkState(rig.paging); });

  ScheduleDeviceOutput(in, rig, device);
  const int exchanges = in.ConsumeIntegralInRange(0, 4);
  for (int i = 0; i < exchanges; ++i) {
    RunExchange(in, rig);
    CheckLinkState(rig.paging);
  }

  // Let the device finish, then make the line quiet: a line being collected ends by its
  // CR or its deadline, and the poll after that finds the receiver idle.
  for (int i = 0; i < 100 && rig.world.time.PendingEvents() > 0; ++i) rig.world.loop.RunForMs(500);
  CheckLinkState(rig.paging);
  if (!rig.serialPort.PortOpen()) return;
  rig.serialPort.SetInBufferCount(0);
  rig.world.loop.RunForMs(1100);  // the longest a line may be collected
  rig.serialPort.SetInBufferCount(0);
  rig.world.loop.RunForMs(500);
  FUZZ_CHECK(!rig.paging.Collecting() && rig.paging.ReceiverIdle);
}
