// What the main window forwards to the form, and what it keeps to itself.
#include <QComboBox>
#include <QDesktopServices>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest>

#include "core/app/registry.h"
#include "core/ui/main_form.h"
#include "tests/gui/gui_rig.h"

using horalign::CloseReason;
using horalign::Control;
using horalign::MainWindow;
using horalign::test::FormRig;

Q_DECLARE_METATYPE(horalign::Control)

namespace {

QLineEdit* IntervalBox(FormRig& rig) {
  return qobject_cast<QLineEdit*>(rig.Control(Control::txtInterval));
}

bool ActionButtonsEnabled(FormRig& rig) {
  return rig.window.ControlEnabled(Control::cmdActivate) &&
         rig.window.ControlEnabled(Control::cmdDeactivate) &&
         rig.window.ControlEnabled(Control::cmdUpdate);
}

// Runs `act` on the tray menu once it has popped up.
void OnMenu(std::function<void(QMenu&)> act) {
  QTimer::singleShot(0, [act] {
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    QVERIFY(menu);
    act(*menu);
  });
}

}  // namespace

class MainWindowInputTest : public QObject {
  Q_OBJECT

 public slots:
  void OpenUrl(const QUrl& url) { openedUrls_.append(url); }

 private slots:
  void enterMovesTheFocusOnAndNeverReachesTheControl_data() {
    QTest::addColumn<Control>("from");
    QTest::addColumn<Control>("to");
    QTest::addRow("interval box") << Control::txtInterval << Control::lvwMessages;
    QTest::addRow("close button") << Control::cmdClose << Control::cmdHide;
    QTest::addRow("mode list") << Control::cmb_Mode << Control::txtInterval;
  }
  void enterMovesTheFocusOnAndNeverReachesTheControl() {
    QFETCH(Control, from);
    QFETCH(Control, to);
    FormRig rig;
    const auto shownBefore = rig.messages.shown.size();
    rig.Control(from)->setFocus(Qt::TabFocusReason);
    QTest::keyClick(rig.Control(from), Qt::Key_Return);
    QCOMPARE(rig.window.FocusedControl(), to);
    QCOMPARE(rig.messages.shown.size(), shownBefore);  // no button was pressed
    QCOMPARE(rig.quits, 0);
    QCOMPARE(IntervalBox(rig)->text(), "0060");
  }

  void theIntervalBoxTakesOnlyDigitsAndControlKeys_data() {
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("shown");
    QTest::addRow("digits") << "0123"
                            << "0123";
    QTest::addRow("letters and signs are dropped") << "1a-2 +"
                                                   << "12";
    QTest::addRow("backspace works") << "12\b"
                                     << "1";
    QTest::addRow("at most four characters") << "12345"
                                             << "1234";
  }
  void theIntervalBoxTakesOnlyDigitsAndControlKeys() {
    QFETCH(QString, typed);
    QFETCH(QString, shown);
    FormRig rig;
    QLineEdit* box = IntervalBox(rig);
    box->clear();
    for (QChar c : typed) {
      if (c == u'\b') {
        QTest::keyClick(box, Qt::Key_Backspace);
      } else {
        QTest::keyClicks(box, QString(c));
      }
    }
    QCOMPARE(box->text(), shown);
  }

  void theListsFocusIsForwardedOnlyWhenTheUserMovesIt() {
    FormRig rig;  // loaded with a mode: every action button on, row 01 selected
    QVERIFY(rig.active);
    QVERIFY(ActionButtonsEnabled(rig));
    QCOMPARE(rig.window.SelectedRow(), 1);
    rig.window.SetFocus(Control::cmb_Mode);
    rig.window.SetFocus(Control::lvwMessages);  // the core's own focus: not forwarded
    QVERIFY(ActionButtonsEnabled(rig));
    QTest::keyClick(rig.window.focusWidget(), Qt::Key_Backtab);
    QTest::keyClick(rig.window.focusWidget(), Qt::Key_Tab);  // the user's: in line with row 01
    QCOMPARE(rig.window.FocusedControl(), Control::lvwMessages);
    QVERIFY(!rig.window.ControlEnabled(Control::cmdDeactivate));
    QVERIFY(!rig.window.ControlEnabled(Control::cmdUpdate));
  }

  void choosingARowBringsTheButtonsInLine() {
    FormRig rig;
    auto* list = qobject_cast<QTreeWidget*>(rig.Control(Control::lvwMessages));
    const QRect third = list->visualItemRect(list->topLevelItem(2));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, third.center());
    QCOMPARE(rig.window.SelectedRow(), 3);
    QVERIFY(rig.window.ControlEnabled(Control::cmdActivate));  // COM 3 opens, inactive
    QVERIFY(!rig.window.ControlEnabled(Control::cmdDeactivate));
    rig.Form().Ports().SetCell(4, horalign::kColActive, "Yes");
    QTest::keyClick(list, Qt::Key_Down);
    QCOMPARE(rig.window.SelectedRow(), 4);
    QVERIFY(!rig.window.ControlEnabled(Control::cmdActivate));
    QVERIFY(rig.window.ControlEnabled(Control::cmdDeactivate));
    rig.window.SetControlEnabled(Control::cmdDeactivate, false);
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                      list->visualItemRect(list->topLevelItem(3)).center());
    QVERIFY(rig.window.ControlEnabled(Control::cmdDeactivate));  // a click on the same row
  }

  void onlyTheUsersModeChoiceAsksTheQuestion() {
    FormRig rig;
    auto* modes = qobject_cast<QComboBox*>(rig.Control(Control::cmb_Mode));
    const auto shownBefore = rig.messages.shown.size();
    rig.window.SetModeListIndex(1);
    rig.window.SetModeListIndex(0);
    QCOMPARE(rig.messages.shown.size(), shownBefore);
    QTest::keyClick(modes, Qt::Key_Down);  // answered No: the mode stays
    QCOMPARE(rig.messages.shown.size(), shownBefore + 1);
    QCOMPARE(rig.messages.Last().text, "Are you sure you to change time synchronization mode?");
    QCOMPARE(modes->currentIndex(), 0);
  }

  void buttonClicksReachTheForm() {
    FormRig rig;
    rig.messages.Answer(6);
    QTest::mouseClick(rig.Control(Control::cmdClose), Qt::LeftButton);
    QCOMPARE(rig.messages.Last().text,
             "This will terminate time synchronization of all connected devices. Are you sure "
             "you want to quit?");
    QCOMPARE(rig.quits, 1);
  }

  void theCloseBoxAsksTheFormWhetherToClose_data() {
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("staysOpen");
    QTest::addRow("no mode yet: the program ends") << 0 << false;
    QTest::addRow("with a mode: the program stays") << 1 << true;
  }
  void theCloseBoxAsksTheFormWhetherToClose() {
    QFETCH(int, mode);
    QFETCH(bool, staysOpen);
    FormRig rig(mode);
    rig.window.close();
    QCOMPARE(rig.quits, staysOpen ? 0 : 1);
    QCOMPARE(rig.window.isVisible(), staysOpen);
  }

  void aSignalEndsTheProgramAndSavesThePosition() {
    FormRig rig;
    rig.window.SetPositionTwips(1200, 900);
    QVERIFY(!rig.window.RequestClose(CloseReason::kSignal));
    QCOMPARE(rig.quits, 1);
    QCOMPARE(horalign::GetRegSetting(rig.registry, horalign::kConfigKey, "LastX"), "1200");
  }

  void f1OpensTheMainWindowsHelpSection() {
    FormRig rig;
    QDesktopServices::setUrlHandler("file", this, "OpenUrl");
    QTest::keyClick(rig.window.focusWidget(), Qt::Key_F1);
    QDesktopServices::unsetUrlHandler("file");
    QCOMPARE(openedUrls_.size(), 1);
    QCOMPARE(openedUrls_[0].fileName(), "index.html");
    QCOMPARE(openedUrls_[0].fragment(), "main-window");
  }

  void theTrayMenuPopsUpWithTheStatesOfTheWindow_data() {
    QTest::addColumn<bool>("visible");
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<QStringList>("items");  // the entries shown
    QTest::addRow("visible window") << true << true << QStringList{"Hide", "", "Close"};
    QTest::addRow("hidden window") << false << true << QStringList{"Show", "", "Close"};
    QTest::addRow("during an operation") << true << false << QStringList{"Hide", "", "Close"};
  }
  void theTrayMenuPopsUpWithTheStatesOfTheWindow() {
    QFETCH(bool, visible);
    QFETCH(bool, enabled);
    QFETCH(QStringList, items);
    FormRig rig;
    rig.window.setVisible(visible);
    rig.window.setEnabled(enabled);
    QStringList shown;
    OnMenu([&](QMenu& menu) {
      for (QAction* a : menu.actions()) {
        if (!a->isVisible()) continue;
        shown.append(a->text());
        if (!a->isSeparator()) QCOMPARE(a->isEnabled(), enabled);
      }
      menu.close();
    });
    rig.Form().OnTrayNotify(516);  // the right button
    QCOMPARE(shown, items);
  }

  void aTrayMenuChoiceReachesTheForm() {
    FormRig rig;
    auto choose = [](int index) {
      return [index](QMenu& menu) {
        menu.setActiveAction(menu.actions().at(index));
        QTest::keyClick(&menu, Qt::Key_Return);
      };
    };
    OnMenu(choose(1));
    rig.Form().OnTrayNotify(516);
    QVERIFY(!rig.window.isVisible());
    OnMenu(choose(0));
    rig.Form().OnTrayNotify(516);
    QVERIFY(rig.window.isVisible());
  }

 private:
  QList<QUrl> openedUrls_;
};

QTEST_MAIN(MainWindowInputTest)
#include "main_window_input_test.moc"
