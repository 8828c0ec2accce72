// Termination signals reach the user-interface thread through the bridge.
#include <signal.h>

#include <QElapsedTimer>
#include <QtTest>

#include "gui/signal_bridge.h"

class SignalBridgeTest : public QObject {
  Q_OBJECT

 private slots:
  void aSignalIsDeliveredOnTheLoopAndItsDefaultComesBack() {
    QList<int> received;
    {
      horalign::SignalBridge bridge([&received](int signal) { received.append(signal); });
      QVERIFY(bridge.Install({SIGHUP, SIGTERM}));
      raise(SIGHUP);
      raise(SIGTERM);
      QVERIFY(received.isEmpty());  // nothing runs inside the handler
      QTRY_COMPARE(received, (QList<int>{SIGHUP, SIGTERM}));
    }
    struct sigaction now {};
    sigaction(SIGTERM, nullptr, &now);
    QVERIFY(now.sa_handler == SIG_DFL);
  }
};

QTEST_MAIN(SignalBridgeTest)
#include "signal_bridge_test.moc"
