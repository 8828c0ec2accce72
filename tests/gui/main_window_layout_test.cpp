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
  void controlsSitAtTheirDesignedPixels_data() {
    QTest::addColumn<Control>("control");
    QTest::addColumn<double>("dpi");
    QTest::addColumn<QRect>("expected");  // frame children: from the frame's inner corner
    QTest::addRow("mode label") << Control::lbl_Mode << 96.0 << QRect(13, 10, 133, 14);
    QTest::addRow("mode list") << Control::cmb_Mode << 96.0 << QRect(143, 7, 300, 21);
    QTest::addRow("interval label") << Control::lblInterval << 96.0 << QRect(463, 10, 173, 14);
    QTest::addRow("interval box") << Control::txtInterval << 96.0 << QRect(557, 7, 33, 20);
    QTest::addRow("frame") << Control::pbxDetails << 96.0 << QRect(0, 33, 627, 280);
    QTest::addRow("port list") << Control::lvwMessages << 96.0 << QRect(0, 0, 622, 247);
    QTest::addRow("activate") << Control::cmdActivate << 96.0 << QRect(13, 250, 73, 23);
    QTest::addRow("deactivate") << Control::cmdDeactivate << 96.0 << QRect(100, 250, 73, 23);
    QTest::addRow("update now") << Control::cmdUpdate << 96.0 << QRect(187, 250, 73, 23);
    QTest::addRow("refresh") << Control::cmdRefresh << 96.0 << QRect(543, 250, 73, 23);
    QTest::addRow("close") << Control::cmdClose << 96.0 << QRect(13, 320, 73, 23);
    QTest::addRow("hide") << Control::cmdHide << 96.0 << QRect(100, 320, 73, 23);
    QTest::addRow("date label") << Control::lblCurrentDate << 96.0 << QRect(360, 325, 120, 14);
    QTest::addRow("date box") << Control::txtCurrentDate << 96.0 << QRect(480, 322, 70, 20);
    QTest::addRow("time box") << Control::txtCurrentTime << 96.0 << QRect(550, 322, 70, 20);
    QTest::addRow("mode list at 144 dpi") << Control::cmb_Mode << 144.0 << QRect(215, 10, 450, 32);
    QTest::addRow("interval box at 144 dpi")
        << Control::txtInterval << 144.0 << QRect(835, 11, 50, 30);
    QTest::addRow("refresh at 144 dpi") << Control::cmdRefresh << 144.0 << QRect(815, 375, 110, 35);
  }
  void controlsSitAtTheirDesignedPixels() {
    QFETCH(Control, control);
    QFETCH(double, dpi);
    QFETCH(QRect, expected);
    MainWindow window(dpi);
    QWidget* widget = window.Widget(control);
    QRect place = widget->geometry();
    auto* frame = qobject_cast<QFrame*>(window.Widget(Control::pbxDetails));
    if (widget->parentWidget() == frame) place.translate(-frame->contentsRect().topLeft());
    QCOMPARE(place, expected);
  }

  void captionsAndToolTipsAreAsDesigned_data() {
    QTest::addColumn<Control>("control");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QString>("toolTip");
    QTest::addRow("mode label") << Control::lbl_Mode << "Synchronization &Mode:"
                                << "";
    QTest::addRow("interval label") << Control::lblInterval << "Update &Interval:          Min."
                                    << "";
    QTest::addRow("date label") << Control::lblCurrentDate << "Current Date && Time:"
                                << "";
    QTest::addRow("mode list") << Control::cmb_Mode << ""
                               << "Synchronization mode ";
    QTest::addRow("frame") << Control::pbxDetails << ""
                           << "Press F1 for help ";
    QTest::addRow("close") << Control::cmdClose << "&Close"
                           << "Close & exit ";
    QTest::addRow("hide") << Control::cmdHide << "&Hide"
                          << "Hide (send to system tray) ";
    QTest::addRow("activate") << Control::cmdActivate << "Ac&tivate"
                              << "Activate selected COM port ";
    QTest::addRow("deactivate") << Control::cmdDeactivate << "&Deactivate"
                                << "Deactivate selected COM port ";
    QTest::addRow("update now") << Control::cmdUpdate << "&Update Now"
                                << "Update time now ";
    QTest::addRow("refresh") << Control::cmdRefresh << "&Refresh"
                             << "Reconnect to all devices and refresh list ";
  }
  void captionsAndToolTipsAreAsDesigned() {
    QFETCH(Control, control);
    QFETCH(QString, caption);
    QFETCH(QString, toolTip);
    MainWindow window(96);
    QWidget* widget = window.Widget(control);
    if (auto* label = qobject_cast<QLabel*>(widget)) {
      QCOMPARE(label->text(), caption);
      QVERIFY2(label->buddy(), "a label shows its access key only with a buddy");
      QVERIFY(label->font().bold());
    } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
      QCOMPARE(button->text(), caption);
    }
    QCOMPARE(widget->toolTip(), toolTip);
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
};

QTEST_MAIN(MainWindowLayoutTest)
#include "main_window_layout_test.moc"
