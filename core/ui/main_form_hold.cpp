// The hold: while the PC clock is not known to be right, its time is not copied to the devices
// unless the user asks for it.
#include "core/settings/com_ports.h"
#include "core/ui/main_form.h"

namespace horalign {

void QV_MainForm::PollPcClock() {
  const std::string text = PcClockText(clockWatch_.Poll());
  if (text == pcClockText_) return;
  pcClockText_ = text;
  deps_.view.ShowPcClockState(text);
  // The tip holds 63 characters on some systems: the state without its figures.
  const std::string state = text.substr(0, text.find(" ("));
  deps_.view.SetTrayTip(text.empty() ? Caption() : Caption() + "\n" + state);
}

HoldReason QV_MainForm::HoldNow() {
  // With the hold off nothing is read here: the minute tick keeps the state shown.
  if (!deps_.config.PushOnlyWhenSynchronized) return HoldReason::kNone;
  PollPcClock();
  return HoldReasonOf(deps_.config, clockWatch_.Last());
}

void QV_MainForm::HoldRow(int port, HoldReason reason) {
  SetStatus(port, HoldText(reason));
  StampStatusTime(port);
}

void QV_MainForm::ResumeHeldWrites() {
  if ((pendingPushes_ | heldWrites_) == 0 || tmrPush_->Enabled()) return;
  if (HoldReasonOf(deps_.config, clockWatch_.Last()) == HoldReason::kNone) {
    tmrPush_->SetEnabled(true);
  }
}

bool QV_MainForm::ConfirmHeldWrite() {
  const int port = SelectedPort();
  if (EffectiveMode() != kModeDeviceFromPc || port == 0 ||
      ports_.Active(port) != PortActive::kYes) {
    return true;
  }
  const HoldReason hold = HoldNow();
  if (hold == HoldReason::kNone) return true;
  const int answer =
      deps_.messages.ShowMessage(HoldQuestion(hold), MessageButtons::kYesNo, QV_SYS_Message::kNo,
                                 MessageIconCode::kQuestion, "", "", 0);
  if (answer == QV_SYS_Message::kYes) {
    heldWrites_ &= ~PortBit(port);
    return true;
  }
  SetFocusSafe(Control::lvwMessages);
  return false;
}

}  // namespace horalign
