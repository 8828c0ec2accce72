#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <string>

#include "core/device/monitor_timers.h"
#include "core/sync/clock_hold.h"
#include "core/sync/connection.h"
#include "core/sync/sync_host.h"
#include "core/sync/time_sync.h"
#include "core/ui/message.h"
#include "core/ui/port_actions.h"
#include "core/ui/port_list.h"
#include "core/ui/program.h"
#include "core/ui/text_format.h"
#include "core/ui/window_layout.h"

namespace horalign {

inline constexpr const char* kProgramName = "Horalign";
// From project(VERSION) in the top CMakeLists.txt.
inline constexpr int kVersionMajor = HORALIGN_VERSION_MAJOR;
inline constexpr int kVersionMinor = HORALIGN_VERSION_MINOR;
inline constexpr int kMinuteMs = 60000;
// How often queued pushes look whether the operation they wait for has ended.
inline constexpr int kPushPollMs = 250;

// What the window says as a client of the service that owns the ports.
inline constexpr const char* kServiceOwnsPortsText =
    "The Horalign service runs on this computer and owns its COM ports.\r\n"
    "This window shows the service's ports and passes your changes to it.";
inline constexpr const char* kServiceGoneText =
    "The Horalign service has stopped; the list shows what it last reported";
inline constexpr const char* kServiceRefusedText = "The Horalign service did not do it: ";

// Synchronization modes, held in AppConfig::ConnectionMode.
enum SyncMode : std::int16_t { kModeNone = 0, kModeDeviceFromPc = 1, kModePcFromDevice = 2 };

// The main window's caption: the program name and its version.
std::string VersionCaption();

// Digits and control codes below 20 pass; every other key code becomes 0 (discarded).
int NumericKeyFilter(int keyCode);

// The main window's logic: its fields, its four timers, the port list and every handler.
// A face calls the On... handlers for the user's actions and draws what the view is told.
// What a handler does to the ports goes through PortActions, the window's own or the service's.
// The device routines report to it through SyncHost.
class QV_MainForm final : private SyncHost {
 public:
  explicit QV_MainForm(const ProgramParts& parts);
  ~QV_MainForm();
  QV_MainForm(const QV_MainForm&) = delete;
  QV_MainForm& operator=(const QV_MainForm&) = delete;

  // The load sequence: place, build, show, scan, reconnect, then the two notices.
  void Load();

  // Handlers.
  void OnModeClick();
  void OnActivateClick();
  void OnDeactivateClick();
  void OnUpdateClick();
  void OnRefreshClick();
  void OnHideClick();
  void OnCloseClick();
  // Returns true when the window is to stay (the close is cancelled).
  bool OnQueryClose(CloseReason reason);
  void OnListGotFocus();
  void OnListItemClick();
  void OnIntervalGotFocus();
  int OnIntervalKeyPress(int keyCode);
  void OnIntervalLostFocus();
  void OnTrayNotify(TrayEvent event);
  void OnPopupOptionsClick(TrayMenuItem item);
  void OnHelp();
  // The history key of the main window, and the tray menu's item.
  void OnHistory();

  // Operations other parts of the program call.
  void RefreshPortList();
  void EnableControls(bool enabled);
  void SetFocusSafe(Control control);
  void ApplyUpdateInterval();
  void SaveUsedPorts();
  void FillModeList(int index);
  void TerminateProgram();

  // Timer handlers, public for the faces' tests.
  void OnMinutesTick();
  void OnClockTick();

  // A jump of the local time, as the clock reports it: in mode 1 the devices that now show
  // the wrong time are queued for a write that runs once no other operation does.
  void OnTimeJump(const TimeJump& jump);

  // Brings Activate, Deactivate and Update Now in line with the selected row.
  void UpdateActionButtons();

  // Runs an operation a client of the service asked for as a user's action runs: the
  // window locked, the minute schedule paused, the pushes waiting. False, without running
  // it, while another operation runs; the caller asks again later.
  bool RunRequest(const std::function<void()>& operation);

  // The PC clock's state as last read.
  const PcClockSyncInfo& PcClock() const { return clockWatch_.Last(); }
  // Why a write of the PC time would wait now (kNone: it goes ahead), the state read afresh.
  HoldReason HoldNow();

  // Fields and parts, for tests and faces.
  PortListModel& Ports() { return ports_; }
  DeviceConnection& Connection() { return connection_; }
  TimeSync& Sync() { return sync_; }
  int MinuteCount() const override { return minuteCount_; }
  void SetMinuteCount(std::int16_t count) { minuteCount_ = count; }
  bool UserBusy() const { return userBusy_; }
  bool SkipTimeEvent() const { return sync_.SkipTimeEvent(); }
  bool Terminated() const { return terminated_; }
  // The stored mode, or 0 when it is none the mode list knows.
  std::int16_t EffectiveMode() const;
  std::string Caption() const;
  std::string HideQuestion() const;

 private:
  void SetupPortListColumns();
  void ResizeListColumns();
  void PlaceWindow();
  void LockWindow(bool userBusy);
  int SelectedPort() const;
  void ServeTimeSource();
  void OnPushTick();
  // Runs an operation of the program's own (an update cycle, a push) with the window locked
  // and the minute schedule paused.
  void RunScheduled(const std::function<void()>& operation);
  // Writes the active devices of `ports` (bit n-1: COM n) and the ones queued meanwhile,
  // reading them back when asked to.
  void WriteDevices(std::uint32_t ports, bool readBack);

  // Reads the PC clock's state and shows it where it changed (main_form_hold.cpp).
  void PollPcClock();
  // Once the hold has lifted, the writes it kept back run as pushes do.
  void ResumeHeldWrites();
  // A row's write waits: its status says why.
  void HoldRow(int port, HoldReason reason);
  // Update Now on a held clock asks once; true to write all the same.
  bool ConfirmHeldWrite();

  bool MinuteTimerPaused() const { return minutePauses_ > 0; }

  ProgramParts deps_;
  PortListModel ports_;
  std::int16_t minuteCount_ = 0;
  bool userBusy_ = false;
  // While a device is served the minute timer counts as off: it keeps running, so the
  // schedule keeps its whole minutes, but the ticks that fall due meanwhile are dropped,
  // the one that comes late after the pause too. (Switching the timer itself off and on
  // would start its period afresh each time.)
  int minutePauses_ = 0;
  std::int64_t minutePauseEndMs_ = std::numeric_limits<std::int64_t>::min();
  DeviceConnection connection_;
  TimeSync sync_;
  MonitorTimers monitor_;  // tmrDelay and tmrCheckCOMPort
  std::unique_ptr<Timer> tmrCurrentTime_;
  std::unique_ptr<Timer> tmrMinutes_;
  std::unique_ptr<Timer> tmrPush_;                 // runs the queued pushes once nothing else runs
  std::uint32_t pendingPushes_ = 0;                // bit n-1: COM n
  std::array<PushCause, kPortRows> pushCauses_{};  // why COM n+1 is queued
  bool terminated_ = false;
  PcClockWatch clockWatch_;
  std::string pcClockText_;            // as the window shows it
  std::uint32_t heldWrites_ = 0;       // bit n-1: COM n's scheduled write waits for the hold
  std::int64_t lastMinuteTickMs_ = 0;  // on the loop's monotonic clock

  // SyncHost, in main_form_ports.cpp.
  PortDevice Port(int port) const override;
  void ShowPort(int port, PortActive active, const PortDevice& device) override;
  void SetDeviceModel(int port, const std::string& model, ModelKind kind) override;
  void SetStatus(int port, const std::string& text) override;
  void StampStatusTime(int port) override;
  void BusyPointerOn() override;
  void BusyPointerOff() override;
  void PauseMinuteTimer(bool paused) override;
  void RestartClockDisplay() override;
  void SetActionButtons(bool activate, bool deactivate, bool update);

  // After the first scan: asks for a mode when there is none, then tells where help is.
  void ShowStartNotices();

  // The two ways of acting on the ports: the window's own (main_form_local.cpp) and as the
  // client of the service that owns them (main_form_client.cpp). Picked once, when the form
  // is built, and declared last: it uses the parts above until it goes.
  class LocalActions;
  class ServiceActions;
  std::unique_ptr<PortActions> MakeLocalActions();
  std::unique_ptr<PortActions> MakeServiceActions(ServiceLink& link);
  std::unique_ptr<PortActions> actions_;
};

}  // namespace horalign
