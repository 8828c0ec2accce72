// The Qt event loop keeps the core's timer rules. Real time, kept to a few tens of ms.
#include <QElapsedTimer>
#include <QtTest>

#include "gui/qt_event_loop.h"

using horalign::QtEventLoop;

namespace {

// Yields until `done` or until `limitMs` of real time have passed; returns the yields made.
int YieldUntil(QtEventLoop& loop, const std::function<bool()>& done, int limitMs = 2000) {
  QElapsedTimer clock;
  clock.start();
  int yields = 0;
  while (!done() && clock.elapsed() < limitMs) {
    loop.Yield();
    ++yields;
  }
  return yields;
}

}  // namespace

class QtEventLoopTest : public QObject {
  Q_OBJECT

 private slots:
  void aHandlerIsNeverReenteredByItsOwnTimer() {
    QtEventLoop loop;
    int depth = 0, maxDepth = 0, calls = 0, otherTicks = 0;
    auto other = loop.CreateTimer(2, true, [&] { ++otherTicks; });
    std::unique_ptr<horalign::Timer> self;
    self = loop.CreateTimer(2, true, [&] {
      ++calls;
      maxDepth = std::max(maxDepth, ++depth);
      if (calls == 1) YieldUntil(loop, [&] { return otherTicks >= 5; });  // waits inside
      --depth;
    });
    YieldUntil(loop, [&] { return calls >= 2; });
    QCOMPARE(maxDepth, 1);
    QVERIFY(otherTicks >= 5);
  }

  void enablingATimerStartsItsPeriodAfresh() {
    QtEventLoop loop;
    QElapsedTimer clock;
    qint64 firedAt = -1;
    auto timer = loop.CreateTimer(60, true, [&] { firedAt = clock.elapsed(); });
    auto beat = loop.CreateTimer(5, true, [] {});  // bounds each wait, as the 50 ms tick does
    clock.start();
    YieldUntil(loop, [&] { return clock.elapsed() >= 30; });
    timer->SetEnabled(false);
    timer->SetEnabled(true);
    const qint64 restartedAt = clock.elapsed();
    firedAt = -1;  // a slow machine may have seen the first period end already
    YieldUntil(loop, [&] { return firedAt >= 0; });
    // A whole period after the restart, give or take the timer's millisecond rounding; the old
    // period would have ended 30 ms after it.
    QVERIFY2(firedAt - restartedAt >= 55, qPrintable(QString::number(firedAt - restartedAt)));
  }

  void intervalZeroAndDestroyedTimersNeverFire() {
    QtEventLoop loop;
    int zeroTicks = 0, goneTicks = 0, beats = 0;
    auto zero = loop.CreateTimer(0, true, [&] { ++zeroTicks; });
    auto gone = loop.CreateTimer(2, true, [&] { ++goneTicks; });
    gone.reset();
    auto beat = loop.CreateTimer(5, true, [&] { ++beats; });
    YieldUntil(loop, [&] { return beats >= 3; });
    QCOMPARE(zeroTicks, 0);
    QCOMPARE(goneTicks, 0);
  }

  void aHandlerMayDestroyItsOwnTimer() {
    QtEventLoop loop;
    std::unique_ptr<horalign::Timer> timer;
    int calls = 0;
    timer = loop.CreateTimer(2, true, [&] {
      ++calls;
      timer.reset();
    });
    YieldUntil(loop, [&] { return !timer; });
    QCOMPARE(calls, 1);
  }

  void yieldWaitsForTheNextEventInsteadOfSpinning() {
    QtEventLoop loop;
    bool fired = false;
    auto timer = loop.CreateTimer(40, true, [&] { fired = true; });
    const int yields = YieldUntil(loop, [&] { return fired; });
    QVERIFY2(yields < 25, qPrintable(QString::number(yields)));  // a spinning loop makes thousands
  }
};

QTEST_MAIN(QtEventLoopTest)
#include "qt_event_loop_test.moc"
