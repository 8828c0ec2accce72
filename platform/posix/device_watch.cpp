#include "platform/posix/device_watch.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <systemd/sd-device.h>
#include <systemd/sd-event.h>
#include <unistd.h>

#include <set>

namespace horalign {
namespace {

constexpr std::uint32_t kFolderEvents =
    IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF;

std::string FolderOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// The folder itself when it is there, else its nearest parent that is.
std::string NearestFolder(std::string folder) {
  struct stat info {};
  while (folder.size() > 1 && ::stat(folder.c_str(), &info) != 0) folder = FolderOf(folder);
  return folder;
}

}  // namespace

DeviceWatch::DeviceWatch() {
  inotify_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  int r = sd_event_new(&event_);
  if (r >= 0) r = sd_device_monitor_new(&monitor_);
  if (r >= 0) r = sd_device_monitor_filter_add_match_subsystem_devtype(monitor_, "tty", nullptr);
  if (r >= 0) r = sd_device_monitor_attach_event(monitor_, event_);
  if (r >= 0) {
    r = sd_device_monitor_start(
        monitor_,
        [](sd_device_monitor*, sd_device*, void* userdata) {
          static_cast<DeviceWatch*>(userdata)->changed_ = true;
          return 0;
        },
        this);
  }
  if (r < 0) {
    monitor_ = sd_device_monitor_unref(monitor_);
    event_ = sd_event_unref(event_);
  }
}

DeviceWatch::~DeviceWatch() {
  sd_device_monitor_unref(monitor_);
  sd_event_unref(event_);
  if (inotify_ >= 0) ::close(inotify_);
}

void DeviceWatch::WatchPaths(const std::vector<std::string>& paths) {
  if (inotify_ < 0) return;
  for (int wd : watches_) ::inotify_rm_watch(inotify_, wd);
  watches_.clear();
  std::set<std::string> folders;
  for (const std::string& path : paths) {
    folders.insert(NearestFolder(FolderOf(path)));
    // A link's target may lie elsewhere (/dev/serial/by-id/... -> /dev/ttyUSB0).
    char target[PATH_MAX];
    if (::realpath(path.c_str(), target) != nullptr) folders.insert(FolderOf(target));
  }
  for (const std::string& folder : folders) {
    const int wd = ::inotify_add_watch(inotify_, folder.c_str(), kFolderEvents);
    if (wd >= 0) watches_.push_back(wd);
  }
}

std::vector<int> DeviceWatch::Fds() const {
  std::vector<int> fds;
  if (inotify_ >= 0) fds.push_back(inotify_);
  if (event_ != nullptr) fds.push_back(sd_event_get_fd(event_));
  return fds;
}

bool DeviceWatch::Take() {
  bool changed = false;
  alignas(inotify_event) char buffer[4096];
  while (inotify_ >= 0 && ::read(inotify_, buffer, sizeof buffer) > 0) changed = true;
  if (event_ != nullptr) {
    while (sd_event_run(event_, 0) > 0) {
    }
  }
  changed = changed || changed_;
  changed_ = false;
  return changed;
}

}  // namespace horalign
