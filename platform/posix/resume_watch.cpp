#include "platform/posix/resume_watch.h"

#include <systemd/sd-bus.h>

namespace horalign {
namespace {

int OnPrepareForSleep(sd_bus_message* message, void* userdata, sd_bus_error*) {
  int sleeping = 0;
  if (sd_bus_message_read(message, "b", &sleeping) >= 0 && !sleeping) {
    static_cast<Clock*>(userdata)->NoticeJump({TimeJumpCause::kResume});
  }
  return 0;
}

}  // namespace

ResumeWatch::ResumeWatch(Clock& clock) : clock_(clock) {
  if (sd_bus_open_system(&bus_) < 0) {
    bus_ = nullptr;
    return;
  }
  if (sd_bus_match_signal(bus_, &slot_, "org.freedesktop.login1", "/org/freedesktop/login1",
                          "org.freedesktop.login1.Manager", "PrepareForSleep", OnPrepareForSleep,
                          &clock_) < 0) {
    bus_ = sd_bus_flush_close_unref(bus_);
  }
}

ResumeWatch::~ResumeWatch() {
  sd_bus_slot_unref(slot_);
  sd_bus_flush_close_unref(bus_);
}

int ResumeWatch::Fd() const {
  return bus_ ? sd_bus_get_fd(bus_) : -1;
}

bool ResumeWatch::Process() {
  if (!bus_) return false;
  int r = 0;
  while ((r = sd_bus_process(bus_, nullptr)) > 0) {
  }
  if (r < 0) {
    slot_ = sd_bus_slot_unref(slot_);
    bus_ = sd_bus_flush_close_unref(bus_);
    return false;
  }
  return true;
}

}  // namespace horalign
