// What the operator is told besides the error boxes: whether the readout is live, what the stage
// is busy with, Esc stopping it from anywhere, targets beyond the travel refused, and the state
// colours on a dark palette.

#include "activitytracker.h"
#include "console.h"
#include "fakecontroller.h"
#include "messageboxwatcher.h"
#include "probe.h"
#include "readoutmonitor.h"
#include "scriptedstage.h"
#include "settingsdialog.h"
#include "statusview.h"
#include "tooltipwrap.h"
#include "travelnotice.h"

#include <QApplication>
#include <QComboBox>
#include <QHelpEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>
#include <QStatusBar>
#include <QToolTip>
#include <QtTest>

namespace {

using Activity = ActivityTracker::Activity;

// A panel on a fake controller that answers every position request with the position set here
// (or stays silent), and records everything else the panel wrote.
struct Bench {
    FakeController controller;
    Panel panel;
    MainWindow &window = panel.window();
    MainWindowProbe probe{window};
    QByteArray written;
    QByteArray position = "_cp 12.000 um\r";
    bool answering = true;

    Bench()
    {
        panel.preselectPort(controller.portPath());
        QObject::connect(&controller, &FakeController::bytesReceived, &controller, [this] {
            const QByteArray bytes = controller.takeReceived();
            written += bytes;
            if (answering)
                for (int i = 0; i < bytes.count(">cp\r"); ++i)
                    controller.send(position);
        });
    }

    bool connectIdentified()
    {
        probe.ui()->actionConnect->trigger();
        if (!probe.serialPort()->isOpen())
            return false;
        controller.send("_Ver 312 DVX1901\r_offset 2500\r");
        return QTest::qWaitFor([this] { return !probe.controllerModel().isEmpty(); });
    }

    QLabel *readout() const { return probe.ui()->label_Position; }
    bool readoutGrey() const
    {
        const QPalette p = readout()->palette();
        return p.color(QPalette::Active, QPalette::WindowText) ==
               p.color(QPalette::Disabled, QPalette::WindowText);
    }
    QLabel *activity() const
    {
        return probe.ui()->statusBar->findChild<QLabel *>(QStringLiteral("label_Activity"));
    }
    QProgressBar *busyBar() const
    {
        return probe.ui()->statusBar->findChild<QProgressBar *>(QStringLiteral("progressBar_Busy"));
    }
};

QString micro(const char *text)
{
    return QString::fromUtf8(text);
}

} // namespace

class TestStatusView : public QObject {
    Q_OBJECT

private slots:
    void readoutMonitorRules();
    void activityRules();
    void openLoopDriveLasts();
    void travelNotices();
    void readoutThroughTheLink();
    void stateColoursAfterDisconnect();
    void busyIndicatorAgainstSimulator();
    void escapeStops_data();
    void escapeStops();
    void escapeIdleWithoutStop();
    void escapeInSettingsDialog();
    void targetBeyondTravelRefused();
    void stepAtEndOfTravelSaysSo();
    void darkPalette();
    void everyControlExplainsItself();
    void idleOnlyWhileConnected();
    void noticesAlsoInTheConsole_data();
    void noticesAlsoInTheConsole();
    void messagesOnTheBarShowWhole();
    void longTooltipsWrap_data();
    void longTooltipsWrap();
    void longTooltipShownWrapped();
};

void TestStatusView::readoutMonitorRules()
{
    ScriptedStage stage;
    qint64 now = 0;
    ReadoutMonitor monitor(&stage, 500, [&] { return now; });
    QVERIFY(!monitor.isLive());
    QCOMPARE(monitor.reason(), QStringLiteral("disconnected"));

    stage.change([](PanelState &s) { s.connected = true; });
    QCOMPARE(monitor.reason(), QStringLiteral("waiting for the first reply"));
    now = 300;
    stage.report(1.0, PositionSource::Poll);
    QVERIFY(monitor.isLive());
    QVERIFY(monitor.reason().isEmpty());

    // Live up to two poll intervals after the last reply, stale from then on.
    now = 1299;
    monitor.check();
    QVERIFY(monitor.isLive());
    now = 1300;
    monitor.check();
    QVERIFY(!monitor.isLive());
    QCOMPARE(monitor.reason(), QStringLiteral("no reply for 1 s"));
    now = 2400;
    monitor.check();
    QCOMPARE(monitor.reason(), QStringLiteral("no reply for 2 s"));
    stage.report(1.0, PositionSource::Poll);
    QVERIFY(monitor.isLive());

    stage.change([](PanelState &s) { s.closedLoop = false; });
    QCOMPARE(monitor.reason(), QStringLiteral("not polled on the open-loop page"));
    // Back on the closed-loop page, the reply from before the switch does not count.
    stage.change([](PanelState &s) { s.closedLoop = true; });
    QCOMPARE(monitor.reason(), QStringLiteral("waiting for the first reply"));
    stage.change([](PanelState &s) { s.connected = false; });
    QCOMPARE(monitor.reason(), QStringLiteral("disconnected"));
}

void TestStatusView::activityRules()
{
    ScriptedStage stage;
    stage.now.connected = true;
    qint64 now = 0;
    ActivityTracker tracker(&stage, [&] { return now; });
    QSignalSpy changes(&tracker, &ActivityTracker::activityChanged);
    QCOMPARE(tracker.activity(), Activity::Idle);
    QCOMPARE(ActivityTracker::text(Activity::Idle), QStringLiteral("Idle"));

    // Home commands the target 0 and then announces itself.
    stage.report(800.0, PositionSource::Poll);
    emit stage.targetCommanded(0.0);
    stage.event(PanelEvent::Kind::Homed);
    QCOMPARE(tracker.activity(), Activity::Homing);
    QCOMPARE(ActivityTracker::text(tracker.activity()), micro("Homing\u2026"));
    stage.report(400.0, PositionSource::Poll);
    QCOMPARE(tracker.activity(), Activity::Homing);
    stage.report(0.3, PositionSource::Poll);
    QCOMPARE(tracker.activity(), Activity::Homing); // still changing
    stage.report(0.3, PositionSource::Poll);
    QCOMPARE(tracker.activity(), Activity::Idle);

    // A move runs until the position settles within 0.5 um of the target.
    emit stage.targetCommanded(1000.0);
    QCOMPARE(tracker.activity(), Activity::Moving);
    stage.report(999.4, PositionSource::Poll);
    stage.report(999.4, PositionSource::Poll);
    QCOMPARE(tracker.activity(), Activity::Moving);
    stage.report(999.6, PositionSource::Poll);
    QCOMPARE(tracker.activity(), Activity::Idle);

    // A target beyond the travel is reached at its end.
    emit stage.targetCommanded(9000.0);
    stage.report(6250.0, PositionSource::Poll);
    stage.report(6250.0, PositionSource::Poll);
    QCOMPARE(tracker.activity(), Activity::Idle);

    // Moved from elsewhere (a typed command): the changing position alone is a move.
    stage.report(6000.0, PositionSource::Poll);
    QCOMPARE(tracker.activity(), Activity::Moving);
    stage.report(6000.0, PositionSource::Poll);
    QCOMPARE(tracker.activity(), Activity::Idle);

    // Held back short of its target, a stage at rest stops counting as moving.
    emit stage.targetCommanded(100.0);
    stage.report(6000.0, PositionSource::Poll);
    now += ActivityTracker::kGiveUpMs - 1;
    stage.report(6000.0, PositionSource::Poll);
    QCOMPARE(tracker.activity(), Activity::Moving);
    now += 1;
    stage.report(6000.0, PositionSource::Poll);
    QCOMPARE(tracker.activity(), Activity::Idle);

    // Calibrating outranks moving, until the status says it is done or Stop aborts it.
    stage.event(PanelEvent::Kind::CalibrationStarted);
    QCOMPARE(tracker.activity(), Activity::Calibrating);
    stage.report(6000.0, PositionSource::Poll);
    QCOMPARE(tracker.activity(), Activity::Calibrating);
    stage.event(PanelEvent::Kind::CalibrationFinished);
    QCOMPARE(tracker.activity(), Activity::Idle);
    stage.event(PanelEvent::Kind::CalibrationStarted);
    stage.event(PanelEvent::Kind::Stop);
    QCOMPARE(tracker.activity(), Activity::Idle);

    // Stop and a lost link end a move.
    emit stage.targetCommanded(10.0);
    stage.event(PanelEvent::Kind::Stop);
    QCOMPARE(tracker.activity(), Activity::Idle);
    emit stage.targetCommanded(10.0);
    stage.event(PanelEvent::Kind::Disconnected);
    QCOMPARE(tracker.activity(), Activity::Idle);
    QVERIFY(changes.count() >= 12);
}

void TestStatusView::openLoopDriveLasts()
{
    QCOMPARE(ActivityTracker::openLoopStepMs(100, 500, 1), 100);
    QCOMPARE(ActivityTracker::openLoopStepMs(100, 500, 3), 1300);
    QCOMPARE(ActivityTracker::openLoopStepMs(5000, 2000, 214700000), 1502899998000LL);

    ScriptedStage stage;
    stage.now.connected = true;
    stage.now.closedLoop = false;
    qint64 now = 0;
    ActivityTracker tracker(&stage, [&] { return now; });
    stage.event(PanelEvent::Kind::OpenLoopParameter, QStringLiteral(">duration 200"));
    stage.event(PanelEvent::Kind::OpenLoopParameter, QStringLiteral(">interval 100"));
    stage.event(PanelEvent::Kind::OpenLoopParameter, QStringLiteral(">cycle 2"));
    stage.event(PanelEvent::Kind::OpenLoopStep, QStringLiteral("forward"));
    QCOMPARE(tracker.activity(), Activity::OpenLoopDrive);
    QCOMPARE(ActivityTracker::text(tracker.activity()), micro("Open-loop drive\u2026"));
    now = 499;
    tracker.check();
    QCOMPARE(tracker.activity(), Activity::OpenLoopDrive);
    now = 500;
    tracker.check();
    QCOMPARE(tracker.activity(), Activity::Idle);
    // Bi drives there and back; steps given during a drive queue behind it.
    stage.event(PanelEvent::Kind::OpenLoopStep, QStringLiteral("bi"));
    stage.event(PanelEvent::Kind::OpenLoopStep, QStringLiteral("reverse"));
    now = 500 + 3 * 500 - 1;
    tracker.check();
    QCOMPARE(tracker.activity(), Activity::OpenLoopDrive);
    stage.event(PanelEvent::Kind::Stop);
    QCOMPARE(tracker.activity(), Activity::Idle);
    // The timer ends the drive without any further signal.
    now = 0;
    ActivityTracker timed(&stage);
    stage.event(PanelEvent::Kind::OpenLoopStep, QStringLiteral("forward"));
    QCOMPARE(timed.activity(), Activity::OpenLoopDrive);
    QTRY_COMPARE(timed.activity(), Activity::Idle);
}

void TestStatusView::travelNotices()
{
    QCOMPARE(TravelNotice::targetBeyond(6300, -250, 6250),
             micro("Target 6300 \u00b5m refused: it lies beyond the travel (-250 \u00b5m to "
                   "6250 \u00b5m)"));
    QVERIFY(TravelNotice::stepAtEnd(6000, 200, -250, 6250).isEmpty());
    QCOMPARE(TravelNotice::stepAtEnd(6100, 200, -250, 6250),
             micro("The step stops short at the end of the travel (6250 \u00b5m)"));
    QCOMPARE(TravelNotice::stepAtEnd(6249.8, 200, -250, 6250),
             micro("The stage is at the end of its travel (6250 \u00b5m): \"+\" moves it no "
                   "further"));
    QCOMPARE(TravelNotice::stepAtEnd(-250, -200, -250, 6250),
             micro("The stage is at the end of its travel (-250 \u00b5m): \"-\" moves it no "
                   "further"));
    QVERIFY(TravelNotice::stepAtEnd(-250, 200, -250, 6250).isEmpty());
}

void TestStatusView::readoutThroughTheLink()
{
    Bench b;
    // Nothing read yet: the form's placeholder, greyed, and not passed off as a position.
    QVERIFY(b.readoutGrey());
    QCOMPARE(b.readout()->text(), micro("0.0 \u00b5m"));
    QCOMPARE(b.readout()->toolTip(),
             QStringLiteral("No position has been read yet (disconnected)"));

    QVERIFY(b.connectIdentified());
    QTRY_COMPARE(b.readout()->text(), micro("12.000 \u00b5m"));
    QTRY_VERIFY(!b.readoutGrey());
    const QString liveTip = b.readout()->toolTip();
    QVERIFY2(liveTip.startsWith(micro("Position of the stage in \u00b5m")), qPrintable(liveTip));

    // Silence: grey after two poll intervals, with how long it has lasted.
    b.answering = false;
    QTRY_VERIFY(b.readoutGrey());
    QVERIFY2(b.readout()->toolTip().contains(QLatin1String("no reply for ")),
             qPrintable(b.readout()->toolTip()));
    QCOMPARE(b.readout()->text(), micro("12.000 \u00b5m"));
    b.answering = true;
    QTRY_VERIFY(!b.readoutGrey());

    b.probe.ui()->tabWidget_LoopMode->setCurrentIndex(1);
    QVERIFY(b.readoutGrey());
    QCOMPARE(b.readout()->toolTip(),
             QStringLiteral("Last known position, not live: not polled on the open-loop page"));
    // The last closed-loop position stays in sight.
    QCOMPARE(b.readout()->text(), micro("12.000 \u00b5m"));
    b.probe.ui()->tabWidget_LoopMode->setCurrentIndex(0);
    QTRY_VERIFY(!b.readoutGrey());

    b.probe.ui()->actionDisconnect->trigger();
    QVERIFY(b.readoutGrey());
    QVERIFY(b.readout()->toolTip().endsWith(QLatin1String("disconnected")));
    QCOMPARE(b.readout()->text(), micro("12.000 \u00b5m"));
}

void TestStatusView::stateColoursAfterDisconnect()
{
    Bench b;
    QVERIFY(b.connectIdentified());
    QPushButton *calibrate = b.probe.ui()->pushButton_AutoCalibrate;
    b.controller.send("_status 9\r");
    QTRY_COMPARE(calibrate->text(), QStringLiteral("Calibrated"));
    QCOMPARE(calibrate->styleSheet(), QStringLiteral("color: green"));
    QVERIFY(!calibrate->graphicsEffect());

    // On the open-loop page AutoCalibrate is disabled and looks it, colour and all.
    b.probe.ui()->tabWidget_LoopMode->setCurrentIndex(1);
    QVERIFY(!calibrate->isEnabled());
    QVERIFY(calibrate->graphicsEffect());
    b.probe.ui()->tabWidget_LoopMode->setCurrentIndex(0);
    QVERIFY(!calibrate->graphicsEffect());

    // After a disconnect the last known state stays, greyed.
    b.probe.ui()->actionDisconnect->trigger();
    QCOMPARE(calibrate->text(), QStringLiteral("Calibrated"));
    QCOMPARE(calibrate->styleSheet(), QStringLiteral("color: green"));
    QVERIFY(calibrate->graphicsEffect());
    QCOMPARE(b.probe.ui()->pushButton_home->styleSheet(), QStringLiteral("color: grey"));
}

void TestStatusView::busyIndicatorAgainstSimulator()
{
    MessageBoxWatcher boxes;
    QProcess simulator;
    simulator.start(QString::fromLocal8Bit(qgetenv("DVXSIM")),
                    {QStringLiteral("--calibration-seconds"), QStringLiteral("1")});
    QVERIFY(QTest::qWaitFor([&] { return simulator.canReadLine(); }, 5000));
    const QByteArray terminal = simulator.readLine().trimmed().mid(21);
    Panel panel;
    MainWindow &window = panel.window();
    MainWindowProbe probe(window);
    panel.preselectPort(QString::fromLocal8Bit(terminal));
    probe.ui()->actionConnect->trigger();
    QTRY_VERIFY(probe.ui()->pushButton_home->isEnabled());
    auto *label = probe.ui()->statusBar->findChild<QLabel *>(QStringLiteral("label_Activity"));
    auto *bar =
        probe.ui()->statusBar->findChild<QProgressBar *>(QStringLiteral("progressBar_Busy"));
    QVERIFY(label && bar);
    QCOMPARE(label->text(), QStringLiteral("Idle"));
    QVERIFY(bar->isHidden());
    // The Parts' label stays where it was, left of the indicator.
    QVERIFY(probe.statusLabel()->text().startsWith(QLatin1String("Connected to")));

    // Move away first, so homing has a way to go.
    probe.ui()->pushButton_home->click();
    QTRY_COMPARE(label->text(), QStringLiteral("Idle"));
    probe.ui()->doubleSpinBox_Position->setValue(1500);
    emit probe.ui()->doubleSpinBox_Position->editingFinished();
    QCOMPARE(label->text(), micro("Moving\u2026"));
    QVERIFY(!bar->isHidden());
    QCOMPARE(bar->maximum(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(label->text(), QStringLiteral("Idle"), 5000);
    QCOMPARE(probe.ui()->label_Position->text(), micro("1500.000 \u00b5m"));
    QVERIFY(bar->isHidden());

    probe.ui()->pushButton_home->click();
    QCOMPARE(label->text(), micro("Homing\u2026"));
    QVERIFY(!bar->isHidden());
    QTRY_COMPARE_WITH_TIMEOUT(label->text(), QStringLiteral("Idle"), 5000);
    QCOMPARE(probe.ui()->label_Position->text(), micro("0.000 \u00b5m"));

    probe.ui()->pushButton_AutoCalibrate->click();
    QCOMPARE(label->text(), micro("Calibrating\u2026"));
    QVERIFY(!bar->isHidden());
    QTRY_COMPARE_WITH_TIMEOUT(label->text(), QStringLiteral("Idle"), 5000);
    QCOMPARE(probe.ui()->pushButton_AutoCalibrate->text(), QStringLiteral("Calibrated"));
    QCOMPARE(boxes.count(), 0);

    probe.ui()->actionDisconnect->trigger();
    simulator.terminate();
    simulator.waitForFinished(3000);
}

void TestStatusView::escapeStops_data()
{
    QTest::addColumn<QString>("focus");
    QTest::newRow("target spin box") << QStringLiteral("doubleSpinBox_Position");
    QTest::newRow("console") << QStringLiteral("console");
}

void TestStatusView::escapeStops()
{
    QFETCH(QString, focus);
    Bench b;
    QVERIFY(b.connectIdentified());
    QTRY_VERIFY(b.probe.ui()->pushButton_home->isEnabled());
    b.probe.ui()->pushButton_home->click();
    b.window.show();
    QVERIFY(QTest::qWaitForWindowActive(&b.window));
    QWidget *target = b.probe.ui()->doubleSpinBox_Position;
    if (focus == QLatin1String("console")) {
        b.probe.ui()->pushButton_Console->click();
        target = b.probe.console();
    }
    target->setFocus();
    QTRY_VERIFY(target->hasFocus());
    QVERIFY(b.probe.ui()->pushButton_stop->toolTip().contains(QLatin1String("(Esc")));

    b.written.clear();
    QTest::keyClick(target, Qt::Key_Escape);
    QVERIFY(b.controller.waitForReceived(">stop\r", 0) ||
            QTest::qWaitFor([&] { return b.written.contains(">stop\r"); }));
    QCOMPARE(b.written.count(">stop\r"), 1);
    // Nothing else was taken from the focused field: the console did not send a line.
    QVERIFY(!b.written.contains(">ma"));
}

void TestStatusView::escapeIdleWithoutStop()
{
    Bench b;
    b.window.show();
    QVERIFY(QTest::qWaitForWindowActive(&b.window));
    QVERIFY(!b.probe.ui()->pushButton_stop->isEnabled());
    QTest::keyClick(&b.window, Qt::Key_Escape);
    QTest::qWait(50);
    QVERIFY(b.written.isEmpty());
    QVERIFY(!b.window.findChild<QShortcut *>(QStringLiteral("shortcut_Stop"))->isEnabled());
}

void TestStatusView::escapeInSettingsDialog()
{
    Bench b;
    QVERIFY(b.connectIdentified());
    b.window.show();
    QWidget *dialog = b.probe.settingsDialog();
    dialog->show();
    dialog->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(dialog));
    b.written.clear();
    // Stop is enabled once the port is open: Esc stops the stage and still closes the dialog.
    QTest::keyClick(dialog, Qt::Key_Escape);
    QTRY_VERIFY(b.written.contains(">stop\r"));
    QVERIFY(dialog->isHidden());

    // With Stop disabled, Esc only closes the dialog.
    b.probe.ui()->actionDisconnect->trigger();
    b.written.clear();
    dialog->show();
    dialog->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(dialog));
    QTest::keyClick(dialog, Qt::Key_Escape);
    QVERIFY(dialog->isHidden());
    QVERIFY(!b.written.contains(">stop"));
}

void TestStatusView::targetBeyondTravelRefused()
{
    Bench b;
    QVERIFY(b.connectIdentified());
    QTRY_VERIFY(b.probe.ui()->pushButton_home->isEnabled());
    b.probe.ui()->pushButton_home->click();
    QDoubleSpinBox *box = b.probe.ui()->doubleSpinBox_Position;
    QTRY_VERIFY(b.written.contains(">home\r"));
    b.written.clear();

    box->setValue(6250.01);
    emit box->editingFinished();
    QTest::qWait(100);
    QVERIFY2(!b.written.contains(">ma"), b.written.constData());
    QCOMPARE(b.probe.notice(),
             micro("Target 6250.01 \u00b5m refused: it lies beyond the travel (-250 \u00b5m to "
                   "6250 \u00b5m)"));
    QVERIFY(box->property("refused").toBool());
    QCOMPARE(box->toolTip(), b.probe.notice());
    QCOMPARE(box->value(), 6250.01);

    // The next value clears the mark; a target within the travel goes out as before.
    box->setValue(6250);
    QVERIFY(!box->property("refused").toBool());
    QVERIFY(box->toolTip().contains(QLatin1String("Enter sends")));
    emit box->editingFinished();
    QTRY_VERIFY(b.written.contains(">ma 62500"));
}

void TestStatusView::stepAtEndOfTravelSaysSo()
{
    Bench b;
    QVERIFY(b.connectIdentified());
    QTRY_VERIFY(b.probe.ui()->pushButton_home->isEnabled());
    b.probe.ui()->pushButton_home->click();
    QDoubleSpinBox *box = b.probe.ui()->doubleSpinBox_Position;
    box->setValue(6250);
    emit box->editingFinished();
    b.written.clear();
    b.probe.ui()->pushButton_SliderPlus->click();
    QCOMPARE(b.probe.notice(),
             micro("The stage is at the end of its travel (6250 \u00b5m): \"+\" moves it no "
                   "further"));
    // The step is still sent as the operator gave it.
    QTRY_VERIFY(b.written.contains(">mr 2000"));
    b.window.statusView()->notices()->clear();
    b.probe.ui()->pushButton_SliderMinus->click();
    QVERIFY(b.probe.notice().isEmpty());

    // Arrow keys before Home say why they do nothing.
    Bench fresh;
    QVERIFY(fresh.connectIdentified());
    fresh.written.clear();
    QTest::keyClick(&fresh.window, Qt::Key_Right);
    QVERIFY(fresh.probe.notice().contains(QLatin1String("Home")));
    QTest::qWait(50);
    QVERIFY(!fresh.written.contains(">mr"));
}

void TestStatusView::darkPalette()
{
    QPalette dark;
    dark.setColor(QPalette::Window, QColor(0x30, 0x30, 0x30));
    dark.setColor(QPalette::Button, QColor(0x35, 0x35, 0x35));
    dark.setColor(QPalette::ButtonText, Qt::white);
    QPushButton button;
    button.setPalette(dark);
    StateColourGuard guard;
    guard.watch(&button);
    button.setStyleSheet(QStringLiteral("color: green"));
    QCOMPARE(button.styleSheet(), QStringLiteral("color: #5fd35f"));
    button.setStyleSheet(QStringLiteral("color: red"));
    QCOMPARE(button.styleSheet(), QStringLiteral("color: #ff7070"));
    // Each shade reads on the dark button at a contrast of at least 4.5 : 1.
    const auto luminance = [](const QColor &c) {
        const auto channel = [](double v) {
            return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) +
               0.0722 * channel(c.blueF());
    };
    for (const char *shade : {"#5fd35f", "#ff7070", "#a8a8a8"}) {
        const double ratio =
            (luminance(QColor(shade)) + 0.05) / (luminance(dark.color(QPalette::Button)) + 0.05);
        QVERIFY2(ratio >= 4.5, shade);
    }
    button.setEnabled(false);
    QVERIFY(button.graphicsEffect());

    // The default light palette keeps the plain names.
    QPushButton light;
    guard.watch(&light);
    light.setStyleSheet(QStringLiteral("color: green"));
    QCOMPARE(light.styleSheet(), QStringLiteral("color: green"));
}

void TestStatusView::everyControlExplainsItself()
{
    Panel panel;
    MainWindow &window = panel.window();
    MainWindowProbe probe(window);
    QWidget *dialog = probe.settingsDialog();
    // The tooltip a pointer over the widget shows: its own, else its nearest parent's.
    const auto shownTip = [](QWidget *widget) {
        for (QWidget *w = widget; w && !w->isWindow(); w = w->parentWidget())
            if (!w->toolTip().isEmpty())
                return w->toolTip();
        return QString();
    };
    int checked = 0;
    for (QWidget *top : {static_cast<QWidget *>(&window), dialog}) {
        const QList<QWidget *> widgets = top->findChildren<QWidget *>();
        for (QWidget *widget : widgets) {
            if (widget->objectName().startsWith(QLatin1String("qt_")))
                continue;
            // The scroll bars of the area the contents scroll in on a small screen.
            if (widget->parentWidget() &&
                widget->parentWidget()->objectName().startsWith(QLatin1String("qt_")))
                continue;
            auto *label = qobject_cast<QLabel *>(widget);
            const bool control =
                qobject_cast<QAbstractButton *>(widget) ||
                qobject_cast<QAbstractSpinBox *>(widget) ||
                qobject_cast<QAbstractSlider *>(widget) || qobject_cast<QComboBox *>(widget) ||
                qobject_cast<QPlainTextEdit *>(widget) || (label && !label->text().isEmpty());
            if (!control || qobject_cast<QAbstractSlider *>(widget->parentWidget()))
                continue;
            if (widget->parentWidget() && widget->parentWidget()->inherits("QAbstractSpinBox"))
                continue;
            if (widget->parentWidget() && widget->parentWidget()->inherits("QToolBar"))
                continue;
            ++checked;
            QVERIFY2(!shownTip(widget).isEmpty(), qPrintable(widget->objectName()));
        }
    }
    QVERIFY(checked >= 40);
    QVERIFY(probe.ui()->statusBar->isAncestorOf(probe.statusLabel()));
    QVERIFY(!shownTip(probe.statusLabel()).isEmpty());
}

void TestStatusView::idleOnlyWhileConnected()
{
    Bench b;
    // Nothing to say about a stage the panel is not connected to.
    QCOMPARE(b.activity()->text(), QString());
    QVERIFY(b.busyBar()->isHidden());
    QVERIFY(b.connectIdentified());
    QTRY_COMPARE(b.activity()->text(), QStringLiteral("Idle"));
    b.probe.ui()->actionDisconnect->trigger();
    QCOMPARE(b.activity()->text(), QString());
    QVERIFY(b.busyBar()->isHidden());
}

void TestStatusView::noticesAlsoInTheConsole_data()
{
    QTest::addColumn<int>("cause");
    QTest::addColumn<QString>("notice");
    QTest::newRow("target refused")
        << 0
        << micro("Target 9999 \u00b5m refused: it lies beyond the travel (-250 \u00b5m to "
                 "6250 \u00b5m)");
    QTest::newRow("step at the end of the travel")
        << 1
        << micro("The stage is at the end of its travel (-250 \u00b5m): \"-\" moves it no "
                 "further");
    QTest::newRow("controller refused the move")
        << 2 << micro("The controller refused the move to 100 \u00b5m: out of range");
    QTest::newRow("arrow key before Home")
        << 3 << QStringLiteral("The arrow keys move the stage once it is homed: press Home first");
}

void TestStatusView::noticesAlsoInTheConsole()
{
    QFETCH(int, cause);
    QFETCH(QString, notice);
    Bench b;
    QVERIFY(b.connectIdentified());
    QTRY_VERIFY(b.probe.ui()->pushButton_home->isEnabled());
    if (cause != 3)
        b.probe.ui()->pushButton_home->click();
    QDoubleSpinBox *box = b.probe.ui()->doubleSpinBox_Position;
    switch (cause) {
    case 0:
        box->setValue(9999);
        emit box->editingFinished();
        break;
    case 1:
        box->setValue(-250);
        emit box->editingFinished();
        b.probe.ui()->pushButton_SliderMinus->click();
        break;
    case 2:
        box->setValue(100);
        emit box->editingFinished();
        b.controller.send("_err out of range\r");
        break;
    case 3:
        QTest::keyClick(&b.window, Qt::Key_Left);
        break;
    }
    QTRY_COMPARE(b.probe.notice(), notice);
    // Shown whole in the status bar, and kept in the console, once.
    QCOMPARE(b.window.statusView()->notices()->noticeLabel()->text(), notice);
    QTRY_COMPARE(b.probe.console()->toPlainText().count(notice), 1);
}

void TestStatusView::messagesOnTheBarShowWhole()
{
    Panel panel;
    MainWindow &window = panel.window();
    MainWindowProbe probe(window);
    const QString text =
        QStringLiteral("A message put on the status bar directly, longer than one line of it can "
                       "hold at the window's width, with its last words still in sight");
    window.statusBar()->showMessage(text);
    // The bar would draw it on one line and cut it: the notice area shows it instead.
    QCOMPARE(window.statusBar()->currentMessage(), QString());
    QCOMPARE(probe.notice(), text);
    QVERIFY(!window.statusView()->notices()->noticeLabel()->isHidden());
    QVERIFY(probe.statusLabel()->isHidden());
    window.statusView()->notices()->clear();
    QVERIFY(!probe.statusLabel()->isHidden());
}

void TestStatusView::longTooltipsWrap_data()
{
    QTest::addColumn<QString>("tip");
    QTest::addColumn<QString>("shown");
    const QString longTip =
        QStringLiteral("Step of \"-\" and \"+\" (and the arrow keys) in \u00b5m, "
                       "for <every> move & more");
    QTest::newRow("short") << QStringLiteral("Lower end of the travel in \u00b5m")
                           << QStringLiteral("Lower end of the travel in \u00b5m");
    QTest::newRow("long plain")
        << longTip
        << QStringLiteral("<p style=\"white-space:pre-wrap\">Step of &quot;-&quot; and "
                          "&quot;+&quot; (and the arrow keys) in \u00b5m, for &lt;every&gt; "
                          "move &amp; more</p>");
    QTest::newRow("already rich") << QStringLiteral("<b>x</b>") + longTip
                                  << QStringLiteral("<b>x</b>") + longTip;
    QTest::newRow("empty") << QString() << QString();
}

void TestStatusView::longTooltipsWrap()
{
    QFETCH(QString, tip);
    QFETCH(QString, shown);
    QCOMPARE(TooltipWrap::wrapped(tip), shown);
}

void TestStatusView::longTooltipShownWrapped()
{
    Panel panel;
    MainWindow &window = panel.window();
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QWidget *control = MainWindowProbe(window).ui()->pushButton_home;
    QVERIFY(control->toolTip().size() > TooltipWrap::kLongTipCharacters);
    const QPoint at = control->rect().center();
    QHelpEvent help(QEvent::ToolTip, at, control->mapToGlobal(at));
    QApplication::sendEvent(control, &help);
    QTRY_VERIFY(QToolTip::isVisible());
    QCOMPARE(QToolTip::text(), TooltipWrap::wrapped(control->toolTip()));
    // A readable width, not one line across the screen.
    QWidget *tip = nullptr;
    for (QWidget *top : QApplication::topLevelWidgets())
        if (top->inherits("QTipLabel") && top->isVisible())
            tip = top;
    QVERIFY(tip);
    QVERIFY2(tip->width() < 100 * tip->fontMetrics().averageCharWidth(),
             qPrintable(QString::number(tip->width())));
    QVERIFY(tip->height() > 2 * tip->fontMetrics().lineSpacing());
    QToolTip::hideText();
}

QTEST_MAIN(TestStatusView)
#include "tst_statusview.moc"
