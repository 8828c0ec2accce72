// The message dialog face under the real message logic and the Qt event loop.
#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QtTest>
#include <functional>

#include "core/ui/message.h"
#include "gui/busy_pointer.h"
#include "gui/message_dialog.h"
#include "gui/qt_event_loop.h"

using horalign::MessageWindow;
using horalign::QV_SYS_Message;

namespace {

struct DialogRig {
  horalign::QtEventLoop loop;
  horalign::BusyPointer pointer;
  horalign::QtMessageDialog view{96};
  QV_SYS_Message messages{view, loop, pointer, "Horalign"};
  QObject context;  // ends the pending single shots with the rig
  bool closeIfOpen = true;
  bool stayedOpen = false;

  // Shows a message and runs `whileOpen` once it is up. Unless told otherwise, whatever is
  // still open afterwards is closed with its first shown button, and `stayedOpen` tells so.
  int Show(int buttonSet, int focus, const std::function<void(MessageWindow&)>& whileOpen,
           const std::string& optionText = "", bool timeoutOn = false, int timeoutMs = 0) {
    QTimer::singleShot(0, &context, [this, whileOpen] {
      MessageWindow* window = view.Window();
      if (!window) return;
      whileOpen(*window);
      if (closeIfOpen && view.Window() && view.Window()->isVisible()) {
        stayedOpen = true;
        for (int code : {1, 2, 6, 7}) {
          if (!window->Button(code)->isHidden()) return window->Button(code)->click();
        }
      }
    });
    // A guard against a message that would never close.
    QTimer::singleShot(10000, &context, [this] { view.Close(); });
    return messages.ShowMessage("Line one\r\nLine two", buttonSet, focus, 48, "", optionText, 0,
                                timeoutOn, timeoutMs);
  }
};

}  // namespace

class MessageDialogTest : public QObject {
  Q_OBJECT

 private slots:
  void buttonSetsShowTheirButtonsAtTheirPlaces_data() {
    QTest::addColumn<int>("set");
    QTest::addColumn<QList<int>>("shown");  // codes
    QTest::addColumn<QList<int>>("lefts");  // px at 96 dpi
    QTest::addRow("OK") << 0 << QList<int>{1} << QList<int>{123};
    QTest::addRow("OK and Cancel") << 1 << QList<int>{1, 2} << QList<int>{80, 167};
    QTest::addRow("Cancel") << 2 << QList<int>{2} << QList<int>{123};
    QTest::addRow("Yes, No and Cancel") << 3 << QList<int>{2, 6, 7} << QList<int>{210, 37, 123};
    QTest::addRow("Yes and No") << 4 << QList<int>{6, 7} << QList<int>{80, 167};
    QTest::addRow("unknown set shows OK") << 9 << QList<int>{1} << QList<int>{123};
  }
  void buttonSetsShowTheirButtonsAtTheirPlaces() {
    QFETCH(int, set);
    QFETCH(QList<int>, shown);
    QFETCH(QList<int>, lefts);
    DialogRig rig;
    rig.Show(set, 0, [&](MessageWindow& w) {
      for (int code : {1, 2, 6, 7}) {
        const int at = shown.indexOf(code);
        QCOMPARE(!w.Button(code)->isHidden(), at >= 0);
        if (at >= 0) QCOMPARE(w.Button(code)->geometry(), QRect(lefts[at], 80, 73, 23));
      }
      QCOMPARE(w.size(), QSize(314, 115));
      QCOMPARE(w.windowTitle(), "Horalign - System Message");
      QCOMPARE(w.Text()->text(), "Line one\nLine two");
      QCOMPARE(w.IconKind(), horalign::MessageIcon::kExclamation);
      QVERIFY(!w.Icon()->pixmap().isNull());
      QVERIFY(w.Option()->isHidden());
      QVERIFY(!(w.windowFlags() & Qt::WindowCloseButtonHint));  // only the buttons close it
      QVERIFY(!w.close());
      w.reject();
      QVERIFY(w.isVisible());
    });
    QVERIFY(rig.stayedOpen);
  }

  void keysPressTheirButtons_data() {
    QTest::addColumn<int>("set");
    QTest::addColumn<int>("focus");
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("answer");  // 0: the key does nothing
    QTest::addRow("Y answers Yes") << 4 << 7 << int(Qt::Key_Y) << 6;
    QTest::addRow("N answers No") << 4 << 6 << int(Qt::Key_N) << 7;
    QTest::addRow("O answers OK") << 1 << 0 << int(Qt::Key_O) << 1;
    QTest::addRow("C answers Cancel") << 3 << 0 << int(Qt::Key_C) << 2;
    QTest::addRow("O without an OK button does nothing") << 4 << 7 << int(Qt::Key_O) << 0;
    QTest::addRow("another letter does nothing") << 4 << 7 << int(Qt::Key_X) << 0;
    QTest::addRow("Esc answers No in Yes/No") << 4 << 6 << int(Qt::Key_Escape) << 7;
    QTest::addRow("Esc answers OK alone") << 0 << 0 << int(Qt::Key_Escape) << 1;
    QTest::addRow("Esc in an unknown set does nothing") << 9 << 0 << int(Qt::Key_Escape) << 0;
    QTest::addRow("Enter presses the focused No") << 4 << 7 << int(Qt::Key_Return) << 7;
    QTest::addRow("Enter presses the focused Yes") << 4 << 6 << int(Qt::Key_Enter) << 6;
  }
  void keysPressTheirButtons() {
    QFETCH(int, set);
    QFETCH(int, focus);
    QFETCH(int, key);
    QFETCH(int, answer);
    DialogRig rig;
    const int result = rig.Show(set, focus, [key](MessageWindow& w) {
      QWidget* target = w.focusWidget() ? w.focusWidget() : &w;
      QTest::keyClick(target, Qt::Key(key));
    });
    QCOMPARE(rig.stayedOpen, answer == 0);
    if (answer != 0) QCOMPARE(result, answer);
  }

  void theFocusButtonHasTheFocus_data() {
    QTest::addColumn<int>("set");
    QTest::addColumn<int>("focus");
    QTest::addColumn<int>("focused");
    QTest::addRow("No of Yes/No") << 4 << 7 << 7;
    QTest::addRow("Yes of Yes/No/Cancel") << 3 << 6 << 6;
    QTest::addRow("a hidden button leaves it to the first") << 0 << 6 << 1;
  }
  void theFocusButtonHasTheFocus() {
    QFETCH(int, set);
    QFETCH(int, focus);
    QFETCH(int, focused);
    DialogRig rig;
    rig.Show(set, focus, [focused](MessageWindow& w) {
      QVERIFY(QTest::qWaitForWindowActive(&w));  // without a focus button the platform picks
      QCOMPARE(w.focusWidget(), static_cast<QWidget*>(w.Button(focused)));
    });
  }

  void theOptionBoxIsDrawnAndReadBack() {
    DialogRig rig;
    rig.Show(
        0, 1,
        [](MessageWindow& w) {
          QVERIFY(!w.Option()->isHidden());
          QCOMPARE(w.Option()->geometry(), QRect(20, 63, 280, 16));
          w.Option()->setChecked(true);
          w.Button(1)->click();
        },
        "Do not show again");
    QVERIFY(rig.messages.OptionAnswer());
  }

  void timersFireUnderTheDialogWithTheArrowPointerUntilTheTimeOut() {
    DialogRig rig;
    int ticks = 0;
    auto other = rig.loop.CreateTimer(5, true, [&ticks] { ++ticks; });
    rig.closeIfOpen = false;
    rig.pointer.SetBusy(true);
    const int result = rig.Show(
        0, 1, [](MessageWindow&) { QVERIFY(!QGuiApplication::overrideCursor()); }, "", true, 60);
    QCOMPARE(result, QV_SYS_Message::kTimedOut);
    QVERIFY(ticks > 0);
    QVERIFY(QGuiApplication::overrideCursor());  // busy again, as before the message
    rig.pointer.SetBusy(false);
  }
};

QTEST_MAIN(MessageDialogTest)
#include "message_dialog_test.moc"
