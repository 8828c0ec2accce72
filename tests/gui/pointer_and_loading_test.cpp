// The busy pointer and the loading window, alone and under the loading logic.
#include <QLabel>
#include <QtTest>

#include "core/ui/message.h"
#include "gui/busy_pointer.h"
#include "gui/loading_window.h"
#include "gui/main_window.h"
#include "gui/qt_event_loop.h"

using horalign::BusyPointer;
using horalign::LoadingWindow;

class PointerAndLoadingTest : public QObject {
  Q_OBJECT

 private slots:
  void oneSetBusyFalseUndoesAnyNumberOfSetBusyTrue_data() {
    QTest::addColumn<int>("busyCalls");
    QTest::addRow("once") << 1;
    QTest::addRow("twice") << 2;
    QTest::addRow("five times") << 5;
  }
  void oneSetBusyFalseUndoesAnyNumberOfSetBusyTrue() {
    QFETCH(int, busyCalls);
    BusyPointer pointer;
    for (int i = 0; i < busyCalls; ++i) pointer.SetBusy(true);
    QVERIFY(pointer.Busy());
    QCOMPARE(QGuiApplication::overrideCursor()->shape(), Qt::WaitCursor);
    pointer.SetBusy(false);
    QVERIFY(!pointer.Busy());
    QVERIFY(!QGuiApplication::overrideCursor());
  }

  void theLoadingWindowKeepsItsDesignSizeWithTheTextAcrossIt() {
    horalign::MainWindow owner(96);
    LoadingWindow loading(&owner, 96);
    loading.Show("Horalign", "Loading COM ports and detecting devices. Please wait...", 5910, 585);
    QVERIFY(loading.Visible());
    QCOMPARE(loading.size(), QSize(394, 39));
    QCOMPARE(loading.Label()->geometry(), QRect(0, 9, 394, 17));
    QVERIFY(loading.Label()->alignment() & Qt::AlignHCenter);
    QCOMPARE(loading.windowTitle(), "Horalign");
    QCOMPARE(loading.parentWidget(), &owner);  // owned: it stays in front of the main window
    QVERIFY(loading.isWindow());
    // No close box, and a close request (a window manager's own close) is ignored: the
    // scan under it must not lose its message.
    QVERIFY(!(loading.windowFlags() & Qt::WindowCloseButtonHint));
    QVERIFY(!loading.close());
    QVERIFY(loading.Visible());
    loading.Hide();
    QVERIFY(!loading.Visible());
  }

  void afterAScanThePointerIsTheArrowAndTheFirstTextStayed() {
    horalign::QtEventLoop loop;
    BusyPointer pointer;
    horalign::MainWindow owner(96);
    LoadingWindow view(&owner, 96);
    horalign::QV_SYS_LoadingMessage loading(view, loop, pointer, "Horalign");
    loading.ShowLoadMessage("First");
    for (int device = 0; device < 3; ++device) {  // each device operation toggles the pointer
      pointer.SetBusy(true);
      pointer.SetBusy(false);
    }
    loading.ShowLoadMessage("Second");
    QCOMPARE(view.Label()->text(), "First");
    loading.Unload();
    QVERIFY(!view.Visible());
    QVERIFY(!QGuiApplication::overrideCursor());
  }
};

QTEST_MAIN(PointerAndLoadingTest)
#include "pointer_and_loading_test.moc"
