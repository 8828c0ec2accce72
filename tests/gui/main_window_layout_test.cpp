// The main window as designed: places, captions, tool tips, tab order and the port list.
#include <QAbstractButton>
#include <QFrame>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QTreeWidget>
#include <QtTest>

#include "tests/gui/gui_rig.h"

using horalign::Control;
using horalign::MainWindow;
using horalign::test::FormRig;

Q_DECLARE_METATYPE(horalign::Control)

class MainWindowLayoutTest : public QObject {
  Q_OBJECT

 private slots:
  // The designed 96-dpi pixels scale with the screen; frame children count from the
  // frame's inner corner.
  void controlsScaleWithTheScreen() {
    MainWindow normal(96.0);
    MainWindow large(144.0);
    for (Control control : {Control::cmb_Mode, Control::txtInterval, Control::cmdRefresh}) {
      const QRect small = Place(normal, control);
      const QRect big = Place(large, control);
      QVERIFY(qAbs(big.width() - small.width() * 3 / 2) <= 1);
      QVERIFY(qAbs(big.height() - small.height() * 3 / 2) <= 2);
      QVERIFY(qAbs(big.x() - small.x() * 3 / 2) <= 2);
    }
    QCOMPARE(Place(normal, Control::cmdRefresh), QRect(543, 250, 73, 23));
  }

  void labelsCarryTheirAccessKeysToTheirControls() {
    MainWindow window(96);
    for (Control control : {Control::lbl_Mode, Control::lblInterval, Control::lblCurrentDate}) {
      auto* label = qobject_cast<QLabel*>(window.Widget(control));
      QVERIFY(label);
      QVERIFY2(label->buddy(), "a label shows its access key only with a buddy");
      QVERIFY(label->text().contains('&'));
    }
  }

  void shownCaptionsDropAccessKeyMarks_data() {
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QString>("shown");
    QTest::addRow("marked letter") << "Ac&tivate"
                                   << "Activate";
    QTest::addRow("double ampersand") << "Current Date && Time:"
                                      << "Current Date & Time:";
    QTest::addRow("no mark") << "Min."
                             << "Min.";
    QTest::addRow("trailing mark") << "Odd&"
                                   << "Odd";
  }
  void shownCaptionsDropAccessKeyMarks() {
    QFETCH(QString, caption);
    QFETCH(QString, shown);
    QCOMPARE(MainWindow::ShownCaption(caption), shown);
  }

  void tabMovesThroughTheControlsInTheDesignedOrder() {
    MainWindow window(96);  // no form: the buttons keep their state whatever has the focus
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    window.Widget(Control::cmb_Mode)->setFocus(Qt::TabFocusReason);
    const Control expected[] = {
        Control::txtInterval,    Control::lvwMessages,    Control::cmdActivate,
        Control::cmdDeactivate,  Control::cmdClose,       Control::cmdHide,
        Control::txtCurrentTime, Control::txtCurrentDate, Control::cmdUpdate,
        Control::cmdRefresh,     Control::cmb_Mode};
    for (Control next : expected) {
      QTest::keyClick(window.focusWidget(), Qt::Key_Tab);
      QCOMPARE(window.FocusedControl(), next);
    }
  }

  void loadingFillsTheWindowFromTheCore() {
    FormRig rig;
    QCOMPARE(rig.window.windowTitle(), QString("Horalign (Version 1.41)"));
    QCOMPARE(qobject_cast<QLineEdit*>(rig.Control(Control::txtInterval))->text(), "0060");
    QCOMPARE(qobject_cast<QLineEdit*>(rig.Control(Control::txtInterval))->maxLength(), 4);
    auto* list = qobject_cast<QTreeWidget*>(rig.Control(Control::lvwMessages));
    QCOMPARE(list->columnCount(), 10);
    QCOMPARE(list->headerItem()->text(3), "Status Date & Time");
    QCOMPARE(list->topLevelItemCount(), 16);
    QCOMPARE(list->topLevelItem(8)->text(0), "09");
    QCOMPARE(list->topLevelItem(15)->text(0), "16");
    for (int hidden : {4, 6, 7, 8, 9}) QCOMPARE(list->columnWidth(hidden), 0);
    QVERIFY(qAbs(list->columnWidth(2) - 4 * list->columnWidth(0)) <= 4);
    QCOMPARE(list->selectionMode(), QAbstractItemView::SingleSelection);
    QCOMPARE(list->selectionBehavior(), QAbstractItemView::SelectRows);
    QCOMPARE(list->editTriggers(), QAbstractItemView::NoEditTriggers);
    QCOMPARE(rig.window.maximumSize(), QSize(627, 348));  // fixed: the client area designed
    QCOMPARE(rig.window.minimumSize(), QSize(627, 348));
    auto* date = qobject_cast<QLineEdit*>(rig.Control(Control::txtCurrentDate));
    QVERIFY(date->isReadOnly());
    QCOMPARE(date->palette().color(QPalette::Base), date->palette().color(QPalette::Button));
  }

  void anUnmovedWindowReportsTheTwipsItWasPlacedAt() {
    MainWindow window(96);
    window.SetPositionTwips(400, 200);  // 26.7 px: not a whole pixel
    QCOMPARE(window.LeftTwips(), 400);
    QCOMPARE(window.TopTwips(), 200);
    window.move(30, 20);
    QCOMPARE(window.LeftTwips(), 450);
    QCOMPARE(window.TopTwips(), 300);
  }

 private:
  static QRect Place(MainWindow& window, Control control) {
    QWidget* widget = window.Widget(control);
    QRect place = widget->geometry();
    auto* frame = qobject_cast<QFrame*>(window.Widget(Control::pbxDetails));
    if (widget->parentWidget() == frame) place.translate(-frame->contentsRect().topLeft());
    return place;
  }
};

QTEST_MAIN(MainWindowLayoutTest)
#include "main_window_layout_test.moc"
