#pragma once

#include <cstdint>

namespace horalign {

// What the window does to the ports, done one of two ways: by the window itself, which owns
// them, or by asking the service that owns them. The form picks one when it is built; its
// handlers decide what the user asked for (a row chosen, a change confirmed) and then call
// this. Each action leaves the window as the user can use it again, or locked until an answer
// that unlocks it; a failure is shown in the rows or told in a message, never returned.
class PortActions {
 public:
  virtual ~PortActions() = default;

  // The load sequence's last step, with the window shown: fills the list and says what the
  // user needs to know first.
  virtual void Load() = 0;
  // Update Now on the selected row: its device is given the PC time or, in mode 2, the PC
  // clock is set from it. A row that is not active is left alone.
  virtual void Update() = 0;
  // Refresh: every port looked at again and the active ones connected again.
  virtual void Rescan() = 0;
  // COM `port` (1..16) made active or inactive, and the active ports kept.
  virtual void Activate(int port) = 0;
  virtual void Deactivate(int port) = 0;
  // A confirmed change to `mode` (1 or 2): every port becomes inactive and the list is filled
  // again.
  virtual void SetMode(int mode) = 0;
  // An interval other than the one in force, already within its limits, in minutes.
  virtual void SetInterval(std::int16_t minutes) = 0;
  // Whether this side serves the devices itself: counts the minutes to the next update and
  // pushes the time after the PC clock jumps. Asked at every minute tick and every jump.
  virtual bool KeepsSchedule() const = 0;
};

}  // namespace horalign
