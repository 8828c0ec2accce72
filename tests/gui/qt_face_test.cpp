// The Qt face: the event loop keeps the core's timer rules and termination signals reach it;
// the message dialog, busy pointer and loading window under the real message logic; the main
// window alone and under the real core on virtual time, for what it shows to people and to
// accessibility tools, what it forwards to the form and what it keeps to itself. The loop's
// checks run in real time, kept to a few tens of ms.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <QtTest>
#include <QtWidgets>
#include <chrono>
#include <thread>

#include "core/ui/main_form.h"
#include "core/ui/message.h"
#include "gui/busy_pointer.h"
#include "gui/help.h"
#include "gui/history_window.h"
#include "gui/loading_window.h"
#include "gui/main_window.h"
#include "gui/message_dialog.h"
#include "gui/qt_event_loop.h"
#include "gui/signal_bridge.h"
#include "sim/memory_log_folder.h"
#include "sim/sim_app.h"

using namespace horalign;

struct KeyCase {
  int set, focus, key, answer;
  const char* shown;  // the buttons from left to right
  bool option;
};
// how: 0 the close box, 1 the Close button answered Yes, 2 a termination signal.
// movedTo: px, or (-1, -1) for left where it was put. lastX: "" when the program saves nothing.
struct CloseCase {
  int mode, how, dpi;
  QPoint movedTo;
  const char* lastX;
};

namespace {

// Yields until `done` or until 2 s of real time have passed; returns `done`.
bool YieldUntil(QtEventLoop& loop, const std::function<bool()>& done) {
  for (QDeadlineTimer limit(2000); !done() && !limit.hasExpired();) loop.Yield();
  return done();
}

struct DialogRig {
  QtEventLoop loop;
  BusyPointer pointer;
  QtMessageDialog view{96};
  QV_SYS_Message messages{view, loop, pointer, "Horalign"};
  QObject context;  // ends a pending single shot with the rig

  // Shows a message and runs `whileOpen` once it is up; the time-out ends a stuck test.
  int Show(const KeyCase& c, const std::function<void(MessageWindow&)>& whileOpen,
           int timeoutMs = 3000) {
    QTimer::singleShot(0, &context, [this, whileOpen] {
      if (view.Window()) whileOpen(*view.Window());
    });
    return messages.ShowMessage("Line one\r\nLine two", static_cast<MessageButtons>(c.set), c.focus,
                                MessageIconCode::kExclamation, "",
                                c.option ? "Do not show again" : "", 0, true, timeoutMs);
  }
};

// COM 1 to 16 exist with nothing attached; the form's timers run only when the virtual loop
// turns, and the message dialog and loading window are fakes.
struct FormRig {
  explicit FormRig(int mode = 1, int dpi = 96) : window(dpi) {
    world.AddEmptyPorts(1, 16);
    if (mode) registry.SetString(kConfigKey, kValueConnectionMode, "1");
    window.SetQuitAction([this] { ++quits; });
    window.SetHistoryFolder(&historyFolder);
    window.SetForm([this] { return app.MainForm(); });
    app.Start();
    window.activateWindow();  // focus events reach the controls of the active window only
    if (!QTest::qWaitForWindowActive(&window)) qWarning("not active: focus checks will fail");
  }
  QWidget* Widget(Control c) const { return window.Widget(c); }
  bool Enabled(Control c) const { return window.ControlEnabled(c); }
  // Keys as a person types them, each to the control that has the focus: "\r" is Enter.
  void Type(const QString& keys) {
    for (QChar ch : keys) QTest::keyClicks(window.focusWidget(), QString(ch));
  }

  sim::World world;
  sim::MemoryRegistry registry;
  sim::FakeInstanceGuard instance;
  MainWindow window;
  sim::FakePointer pointer;
  sim::FakeMessageDialog messages{world.loop};
  sim::FakeLoading loading;
  sim::MemoryLogFolder historyFolder;
  HistoryLog history{historyFolder, nullptr};
  Application app{Platform{registry, world.serial, world.clock, world.loop, instance, window,
                           pointer, messages, loading, &history}};
  int quits = 0;
};

}  // namespace

class QtFaceTest : public QObject {
  Q_OBJECT

 public slots:
  void OpenUrl(const QUrl& url) { openedUrls_.append(url); }

 private slots:
  // Ticks that come while the handler waits in a nested loop neither re-enter it nor pile
  // up to be run afterwards.
  void aHandlerIsNeverReenteredAndMissedTicksCoalesce() {
    QtEventLoop loop;
    QElapsedTimer clock;
    int calls = 0;
    qint64 returnedAt = -1;
    auto beat = loop.CreateTimer(5, true, [] {});  // bounds each wait, as the 50 ms tick does
    auto self = loop.CreateTimer(40, true, [&] {
      if (++calls == 1) {
        YieldUntil(loop, [&] { return clock.elapsed() >= 150; });  // misses three ticks
        returnedAt = clock.elapsed();
      }
    });
    clock.start();
    YieldUntil(loop, [&] { return returnedAt >= 0 && clock.elapsed() >= returnedAt + 20; });
    // Not re-entered, and at most one late tick. (That it then goes on ticking shows in
    // timersRunUnderTheMessageUntilItTimesOut.)
    QVERIFY2(calls <= 2, qPrintable(QString::number(calls)));
  }

  // Yield sleeps until the next event (a spinning loop makes thousands of passes), a timer of
  // interval 0 never fires, a handler may destroy its own timer, and enabling a timer starts
  // its period afresh.
  void yieldWaitsAndEnablingATimerStartsItsPeriodAfresh() {
    QtEventLoop loop;
    QElapsedTimer clock;
    int zeroTicks = 0, passes = 0;
    qint64 firedAt = -1;
    auto timer = loop.CreateTimer(60, true, [&] { firedAt = clock.elapsed(); });
    auto zero = loop.CreateTimer(0, true, [&] { ++zeroTicks; });
    std::unique_ptr<Timer> once = loop.CreateTimer(40, true, [&] { once.reset(); });
    clock.start();
    QVERIFY(YieldUntil(loop, [&] { return ++passes, !once; }));
    QVERIFY2(passes < 25, qPrintable(QString::number(passes)));
    timer->SetEnabled(false);
    timer->SetEnabled(true);
    const qint64 restartedAt = clock.elapsed();
    firedAt = -1;  // a slow machine may have seen the first period end already
    YieldUntil(loop, [&] { return firedAt >= 0; });
    // A whole period after the restart, give or take the timer's millisecond rounding; the old
    // period would have ended some 20 ms after it.
    QVERIFY2(firedAt - restartedAt >= 55, qPrintable(QString::number(firedAt - restartedAt)));
    QCOMPARE(zeroTicks, 0);
  }

  // A question on the system bus waits this way: the descriptor wakes the loop (written from
  // another thread, so no event of the loop's own does), and without one the limit does.
  void yieldWatchingWakesForItsDescriptorAndForItsLimit() {
    QtEventLoop loop;
    int fds[2];
    QVERIFY(::pipe(fds) == 0);
    QElapsedTimer clock;
    clock.start();
    loop.YieldWatching(-1, 20'000);
    std::thread writer([fd = fds[1]] {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      (void)!::write(fd, "x", 1);
    });
    pollfd readable{fds[0], POLLIN, 0};
    while (::poll(&readable, 1, 0) == 0 && clock.elapsed() < 5000) {
      loop.YieldWatching(fds[0], 10'000'000);
    }
    writer.join();
    QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
    ::close(fds[0]);
    ::close(fds[1]);
  }

  void aSignalIsDeliveredOnTheLoopNotInItsHandler() {
    QList<int> received;
    SignalBridge bridge([&received](int signal) { received.append(signal); });
    QVERIFY(bridge.Install({SIGHUP, SIGTERM}));
    raise(SIGHUP);
    raise(SIGTERM);
    QVERIFY(received.isEmpty());
    QTRY_COMPARE(received, (QList<int>{SIGHUP, SIGTERM}));
  }

  // Letters and Esc reach the message logic, Enter presses the focused button; only the
  // buttons close the message (its frame has no close box), and the option box is read back.
  void keysPressTheirButtons_data() {
    QTest::addColumn<KeyCase>("c");
    QTest::addRow("Esc in OK, option") << KeyCase{0, 0, Qt::Key_Escape, 1, "&Ok", true};
    QTest::addRow("Enter on No") << KeyCase{3, 7, Qt::Key_Enter, 7, "&Yes &No &Cancel", false};
    QTest::addRow("Enter, focus hidden") << KeyCase{0, 6, Qt::Key_Return, 1, "&Ok", false};
  }
  void keysPressTheirButtons() {
    QFETCH(KeyCase, c);
    DialogRig rig;
    const int result = rig.Show(c, [&](MessageWindow& w) {
      QCOMPARE(w.Text()->text(), "Line one\nLine two");
      QMap<int, QString> byPlace;
      for (QPushButton* b : w.findChildren<QPushButton*>()) {
        if (!b->isHidden()) byPlace[b->x()] = b->text();
      }
      QCOMPARE(byPlace.values().join(' '), c.shown);
      QCOMPARE(w.Option()->isHidden(), !c.option);
      w.Option()->setChecked(true);
      QVERIFY(!w.close());
      w.reject();
      QVERIFY(QTest::qWaitForWindowActive(&w));  // still up; the focus is set once active
      QTest::keyClick(w.focusWidget() ? w.focusWidget() : &w, Qt::Key(c.key));
    });
    QCOMPARE(result, c.answer);  // a key that did nothing would leave it to the time-out: 3
    QCOMPARE(rig.messages.OptionAnswer(), c.option);
  }

  // The program's timers run under the message; a message they ask for meanwhile gets -1 at
  // once; the time-out closes the first. The pointer is the arrow while it is up and busy
  // again after; one BusyPointerOff undoes any number of BusyPointerOn.
  void timersRunUnderTheMessageUntilItTimesOut() {
    DialogRig rig;
    int ticks = 0, nested = 0;
    auto other = rig.loop.CreateTimer(5, true, [&] {
      if (++ticks == 2)
        nested = rig.messages.ShowMessage("Again", MessageButtons::kOk, 1,
                                          MessageIconCode::kExclamation, "", "", 0);
    });
    rig.pointer.BusyPointerOn();
    rig.pointer.BusyPointerOn();
    const int result = rig.Show(
        KeyCase{0, 1, 0, 0, "", false},
        [](MessageWindow&) { QVERIFY(!QGuiApplication::overrideCursor()); }, 60);
    QCOMPARE(result, QV_SYS_Message::kTimedOut);
    QCOMPARE(nested, QV_SYS_Message::kBusy);
    QVERIFY(ticks > 2);
    QCOMPARE(QGuiApplication::overrideCursor()->shape(), Qt::WaitCursor);
    rig.pointer.BusyPointerOff();
    QVERIFY(!QGuiApplication::overrideCursor());
  }

  // A window manager's close must not end the loading message while the scan runs.
  void theLoadingWindowIgnoresCloseRequests() {
    LoadingWindow loading(nullptr, 96);
    loading.Show("Horalign", "Loading COM ports and detecting devices. Please wait...", 5910, 585);
    QCOMPARE(loading.Label()->text(), "Loading COM ports and detecting devices. Please wait...");
    QVERIFY(!loading.close() && loading.Visible());
    loading.Hide();
    QVERIFY(!loading.Visible());
  }

  // Screen readers and external checks read these texts: the accessible names here, the
  // designed captions (with their access key marks) and tool tips. Tab walks the focusable
  // controls in this table's order, from the mode list round to it again.
  void everyControlHasItsAccessibleNameAndCaptionInTabOrder() {
    using enum Control;
    const std::pair<Control, const char*> rows[] = {{cmb_Mode, "Synchronization Mode:"},
                                                    {txtInterval, "Update Interval:          Min."},
                                                    {lvwMessages, ""},
                                                    {cmdActivate, "Activate"},
                                                    {cmdDeactivate, "Deactivate"},
                                                    {cmdClose, "Close"},
                                                    {cmdHide, "Hide"},
                                                    {txtCurrentTime, ""},
                                                    {txtCurrentDate, "Current Date & Time:"},
                                                    {cmdUpdate, "Update Now"},
                                                    {cmdRefresh, "Refresh"},
                                                    {lbl_Mode, "Synchronization Mode:"},
                                                    {lblInterval, "Update Interval:          Min."},
                                                    {lblCurrentDate, "Current Date & Time:"},
                                                    {pbxDetails, ""}};
    MainWindow window(96);  // no form: the buttons keep their state whatever has the focus
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    for (const auto& [control, name] : rows) {
      QWidget* widget = window.Widget(control);
      QAccessibleInterface* face = QAccessible::queryAccessibleInterface(widget);
      QCOMPARE(face->text(QAccessible::Name), name);
      QCOMPARE(face->text(QAccessible::Description), DescOf(control).toolTip);
      QCOMPARE(widget->property("text").toString(), DescOf(control).caption);
    }
    // Every text whole at the window's own fonts: each label's before what it names, and
    // the longest mode in the closed list.
    for (const ControlDesc& desc : MainWindowControls()) {
      if (desc.kind != ControlKind::kLabel) continue;
      const QWidget* label = window.Widget(desc.control);
      const QString text = QString::fromStdString(SplitAtGap(desc.caption).before);
      QVERIFY2(label->x() + label->fontMetrics().horizontalAdvance(text) <
                   window.Widget(desc.names)->x(),
               desc.name);
    }
    auto* modes = qobject_cast<QComboBox*>(window.Widget(cmb_Mode));
    for (const char* text : kModeTexts) modes->addItem(text);
    QCOMPARE_GE(modes->width(), modes->sizeHint().width());
    modes->setFocus(Qt::TabFocusReason);
    for (int i = 1; i <= 11; ++i) {
      QTest::keyClick(window.focusWidget(), Qt::Key_Tab);
      QCOMPARE(window.FocusedControl(), rows[i % 11].first);
    }
  }

  // What the core sets itself is not forwarded back to it; what the user does is: Enter moves
  // on as Tab does and presses no button, the interval box takes four digits at most, rows
  // chosen by mouse or keys bring the buttons in line, the mode choice asks, F1 opens help.
  void theUsersActionsReachTheFormAndTheCoresOwnDoNot() {
    FormRig rig;  // loaded with a mode: every action button on, row 01 selected
    QCOMPARE(rig.window.SelectedRow(), 1);
    const auto shownBefore = rig.messages.shown.size();
    rig.Widget(Control::txtInterval)->setFocus(Qt::TabFocusReason);
    rig.window.SetControlEnabled(Control::txtInterval, false);  // the focus moves on to the list
    rig.window.SetModeListIndex(1);
    rig.window.SetModeListIndex(0);
    QVERIFY(rig.Enabled(Control::cmdActivate) && rig.Enabled(Control::cmdUpdate));
    rig.window.SetControlEnabled(Control::txtInterval, true);

    // From Close past Hide, the clock, Update Now, Refresh and the mode list to the interval,
    // whose text is selected, and on to the list.
    rig.Widget(Control::cmdClose)->setFocus(Qt::TabFocusReason);
    rig.Type("\r\r\r\r\r\r\r1a-2 +\b2345\r");
    QCOMPARE(GetRegSetting(rig.registry, kConfigKey, "Update Interval"), "1234");
    // In line with row 01, which is not active: the list has the focus.
    QVERIFY(!rig.Enabled(Control::cmdDeactivate) && !rig.Enabled(Control::cmdUpdate));
    QCOMPARE(rig.messages.shown.size(), shownBefore);  // Close, had it been pressed, asks

    auto* list = qobject_cast<QTreeWidget*>(rig.Widget(Control::lvwMessages));
    auto clickRow = [list](int row) {
      QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                        list->visualItemRect(list->topLevelItem(row - 1)).center());
    };
    rig.app.MainForm()->Ports().SetActive(3, PortActive::kYes);
    clickRow(3);
    QVERIFY(!rig.Enabled(Control::cmdActivate) && rig.Enabled(Control::cmdDeactivate));
    rig.window.SetControlEnabled(Control::cmdDeactivate, false);
    clickRow(3);  // a click on the row already chosen still counts
    QVERIFY(rig.Enabled(Control::cmdDeactivate));

    auto* modes = qobject_cast<QComboBox*>(rig.Widget(Control::cmb_Mode));
    // Asks (ModeList in tests/core says what); the fake answers No and the mode stays.
    QTest::keyClick(modes, Qt::Key_Down);
    QCOMPARE(modes->currentIndex(), 0);

    QDesktopServices::setUrlHandler("file", this, "OpenUrl");
    QTest::keyClick(rig.window.focusWidget(), Qt::Key_F1);
    QDesktopServices::unsetUrlHandler("file");
    QCOMPARE(openedUrls_.size(), 1);
    QCOMPARE(openedUrls_[0].fileName() + "#" + openedUrls_[0].fragment(), "index.html#main-window");
  }

  // The close box, the Close button and a termination signal all ask the form, which saves
  // the window's place in twips: exactly where it was put when unmoved, else where it is.
  void closingAsksTheFormAndKeepsThePlace_data() {
    QTest::addColumn<CloseCase>("c");
    const QPoint unmoved(-1, -1);
    QTest::addRow("close box without a mode ends") << CloseCase{0, 0, 96, unmoved, ""};
    QTest::addRow("Close button") << CloseCase{1, 1, 96, unmoved, "400"};
    QTest::addRow("signal, moved at 168 dpi") << CloseCase{1, 2, 168, QPoint(31, 20), "266"};
  }
  void closingAsksTheFormAndKeepsThePlace() {
    QFETCH(CloseCase, c);
    FormRig rig(c.mode, c.dpi);
    rig.window.SetPositionTwips(400, 200);  // 26.7 px at 96 dpi: not a whole pixel
    if (c.movedTo.x() >= 0) rig.window.move(c.movedTo);
    rig.messages.Answer(6);
    if (c.how == 0) rig.window.close();
    if (c.how == 1) QTest::mouseClick(rig.Widget(Control::cmdClose), Qt::LeftButton);
    if (c.how == 2) QVERIFY(!rig.window.RequestClose(CloseReason::kSignal));
    QCOMPARE(rig.quits, 1);
    if (*c.lastX) QCOMPARE(GetRegSetting(rig.registry, kConfigKey, "LastX"), c.lastX);
  }

  // The menu offers Hide or Show as the window is, and the history, greyed ("-") during an
  // operation, and the choice reaches the form. Ctrl+H opens the history too.
  void theTrayMenuFollowsTheWindow() {
    FormRig rig;
    auto popUp = [&rig](int choose) {
      QStringList shown;
      QTimer::singleShot(0, [&shown, choose] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (!menu) QFAIL("no menu");
        for (QAction* a : menu->actions()) {
          if (a->isVisible()) shown << a->text() + (a->isEnabled() || a->isSeparator() ? "" : "-");
        }
        if (choose < 0) return void(menu->close());
        menu->setActiveAction(menu->actions().at(choose));
        QTest::keyClick(menu, Qt::Key_Return);
      });
      rig.app.MainForm()->OnTrayNotify(TrayEvent::kRightButtonDown);
      return shown.join(',');
    };
    QCOMPARE(popUp(1), "Hide,History...,,Close");
    QVERIFY(!rig.window.isVisible());
    QCOMPARE(popUp(0), "Show,History...,,Close");
    QCOMPARE(popUp(2), "Hide,History...,,Close");
    QVERIFY(rig.window.History() && rig.window.History()->isVisible());
    QCOMPARE(rig.window.History()->Summary()->text(), "No history yet.");
    rig.window.History()->close();
    HistoryEntry connected;
    connected.port = 1;
    rig.history.Append(connected);
    QTest::keyClick(rig.window.focusWidget(), Qt::Key_H, Qt::ControlModifier);
    QCOMPARE(rig.window.History()->Summary()->text(), "1 entry");  // read again
    rig.window.setEnabled(false);
    QCOMPARE(popUp(-1), "Hide-,History...-,,Close-");
  }

  // The PC clock's state gets a line of its own below the designed window, with its own
  // accessible name, and the tray's tip; an unknown state shows neither.
  void thePcClockStateHasALineOfItsOwnAndTheTraysTip() {
    FormRig rig;
    const QSize designed = rig.window.size();
    rig.window.ShowPcClockState("PC clock: not synchronized");
    auto* label = rig.window.findChild<QLabel*>("lblPcClockState");
    QVERIFY(label && label->isVisible());
    QCOMPARE(label->accessibleName(), "PC clock state");
    QCOMPARE(label->text(), "PC clock: not synchronized");
    QVERIFY(rig.window.height() > designed.height() && rig.window.width() == designed.width());
    QVERIFY(label->geometry().bottom() < rig.window.height());
    rig.window.SetTrayTip("tip");
    if (rig.window.TrayIcon()) QCOMPARE(rig.window.TrayIcon()->toolTip(), "tip");
    rig.window.ShowPcClockState("");
    QVERIFY(!label->isVisible());
    QCOMPARE(rig.window.size(), designed);
  }

  // Help is taken from beside the program (the build tree), else from the installed data
  // folder; with neither, the place beside the program.
  void helpIsFoundWhereTheBuildOrTheInstallPutsIt() {
    const QString bin = HORALIGN_TEST_BINDIR, beside = bin + "/help",
                  installed = HORALIGN_TEST_HELPDIR;
    auto found = [&](bool hasBeside, bool hasInstalled) {
      QTemporaryDir prefix;
      const QDir root(prefix.path());
      for (const auto& [has, folder] :
           {std::pair{hasBeside, beside}, std::pair{hasInstalled, installed}}) {
        if (has && root.mkpath(folder))
          QFile(root.filePath(folder + "/index.html")).open(QIODevice::WriteOnly);
      }
      return root.relativeFilePath(FindHelpFolder(HelpFolderCandidates(root.filePath(bin))));
    };
    QCOMPARE(found(false, true), installed);
    QCOMPARE(found(true, true), beside);
    QCOMPARE(found(false, false), beside);
  }

 private:
  QList<QUrl> openedUrls_;
};

QTEST_MAIN(QtFaceTest)
#include "qt_face_test.moc"
