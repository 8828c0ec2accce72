#include "gui/signal_bridge.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>

namespace horalign {
namespace {

volatile sig_atomic_t gWriteFd = -1;

extern "C" void WriteSignal(int signal) {
  const int savedErrno = errno;
  const unsigned char byte = static_cast<unsigned char>(signal);
  if (gWriteFd >= 0) {
    const ssize_t written = write(gWriteFd, &byte, 1);
    static_cast<void>(written);  // a full pipe already holds a request to end
  }
  errno = savedErrno;
}

}  // namespace

SignalBridge::SignalBridge(std::function<void(int)> onSignal, QObject* parent)
    : QObject(parent), onSignal_(std::move(onSignal)) {}

SignalBridge::~SignalBridge() {
  for (int signal : installed_) ::signal(signal, SIG_DFL);
  if (fds_[1] >= 0 && gWriteFd == fds_[1]) gWriteFd = -1;
  for (int fd : fds_) {
    if (fd >= 0) close(fd);
  }
}

bool SignalBridge::Install(std::initializer_list<int> signalNumbers) {
  if (fds_[0] < 0) {
    if (pipe2(fds_, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    notifier_ = new QSocketNotifier(fds_[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &SignalBridge::Drain);
    gWriteFd = fds_[1];
  }
  struct sigaction action {};
  action.sa_handler = WriteSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signal : signalNumbers) {
    if (sigaction(signal, &action, nullptr) != 0) return false;
    installed_.push_back(signal);
  }
  return true;
}

void SignalBridge::Drain() {
  unsigned char bytes[16];
  ssize_t count = 0;
  while ((count = read(fds_[0], bytes, sizeof bytes)) > 0) {
    for (ssize_t i = 0; i < count; ++i) onSignal_(bytes[i]);
  }
}

}  // namespace horalign
