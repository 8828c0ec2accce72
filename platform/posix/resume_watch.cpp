#include "platform/posix/resume_watch.h"

#include <systemd/sd-bus.h>

#include <cstring>

namespace horalign {
namespace {

constexpr const char* kLogin = "org.freedesktop.login1";
constexpr const char* kBusName = "org.freedesktop.DBus";
constexpr const char* kOwnerMatch =
    "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
    "interface='org.freedesktop.DBus',member='NameOwnerChanged',arg0='org.freedesktop.login1'";

bool SentBy(sd_bus_message* message, const std::string& uniqueName) {
  const char* sender = sd_bus_message_get_sender(message);
  return sender != nullptr && !uniqueName.empty() && uniqueName == sender;
}

}  // namespace

ResumeWatch::ResumeWatch(Clock& clock) : clock_(clock) {
  if (sd_bus_open_system(&bus_) < 0) {
    bus_ = nullptr;
    return;
  }
  if (!Listen()) {
    Close();
    return;
  }
  sd_bus_message* reply = nullptr;
  const char* owner = nullptr;
  // No owner yet (logind not running) is an error reply: nobody is believed until one comes.
  if (sd_bus_call_method(bus_, kBusName, "/org/freedesktop/DBus", kBusName, "GetNameOwner", nullptr,
                         &reply, "s", kLogin) >= 0 &&
      sd_bus_message_read(reply, "s", &owner) >= 0) {
    loginOwner_ = owner;
  }
  sd_bus_message_unref(reply);
}

// The owner is followed before it is asked for, so that no change in between is missed.
bool ResumeWatch::Listen() {
  // Only the bus itself says who owns a name: a peer's NameOwnerChanged is ignored too.
  const auto onOwnerChanged = [](sd_bus_message* message, void* userdata, sd_bus_error*) {
    auto& watch = *static_cast<ResumeWatch*>(userdata);
    const char* name = nullptr;
    const char* oldOwner = nullptr;
    const char* newOwner = nullptr;
    if (SentBy(message, kBusName) &&
        sd_bus_message_read(message, "sss", &name, &oldOwner, &newOwner) >= 0 &&
        std::strcmp(name, kLogin) == 0) {
      watch.loginOwner_ = newOwner;
    }
    return 0;
  };
  const auto onPrepareForSleep = [](sd_bus_message* message, void* userdata, sd_bus_error*) {
    auto& watch = *static_cast<ResumeWatch*>(userdata);
    int sleeping = 0;
    if (SentBy(message, watch.loginOwner_) && sd_bus_message_read(message, "b", &sleeping) >= 0 &&
        !sleeping) {
      watch.clock_.NoticeJump({TimeJumpCause::kResume});
    }
    return 0;
  };
  return sd_bus_add_match(bus_, &ownerSlot_, kOwnerMatch, onOwnerChanged, this) >= 0 &&
         sd_bus_match_signal(bus_, &sleepSlot_, kLogin, "/org/freedesktop/login1",
                             "org.freedesktop.login1.Manager", "PrepareForSleep", onPrepareForSleep,
                             this) >= 0;
}

ResumeWatch::~ResumeWatch() {
  Close();
}

void ResumeWatch::Close() {
  sleepSlot_ = sd_bus_slot_unref(sleepSlot_);
  ownerSlot_ = sd_bus_slot_unref(ownerSlot_);
  bus_ = sd_bus_flush_close_unref(bus_);
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
    Close();
    return false;
  }
  return true;
}

}  // namespace horalign
