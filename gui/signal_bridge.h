#pragma once

#include <QObject>
#include <functional>
#include <initializer_list>
#include <vector>

class QSocketNotifier;

namespace horalign {

// Brings termination signals (SIGTERM, SIGINT, SIGHUP) onto the user-interface thread: the
// handler only writes the signal number into a pipe, and the loop reads it from there and
// calls `onSignal`. One bridge at a time; the signals get their default action back when it
// is destroyed.
class SignalBridge : public QObject {
  Q_OBJECT

 public:
  explicit SignalBridge(std::function<void(int signal)> onSignal, QObject* parent = nullptr);
  ~SignalBridge() override;
  SignalBridge(const SignalBridge&) = delete;
  SignalBridge& operator=(const SignalBridge&) = delete;

  // False when the pipe or a handler could not be set up; the signals then keep their
  // default action.
  bool Install(std::initializer_list<int> signalNumbers);

 private:
  void Drain();

  std::function<void(int)> onSignal_;
  int fds_[2] = {-1, -1};
  QSocketNotifier* notifier_ = nullptr;
  std::vector<int> installed_;
};

}  // namespace horalign
