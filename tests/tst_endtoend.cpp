// The real panel against the real simulated controller, dvxsim, over its pseudo-terminal: each
// reply dialect from identification to moves and steps, calibration, and the controller faults
// the panel has to survive (silence, a vanished line, missing line ends, noise, a flood).

#include "console.h"
#include "messageboxwatcher.h"
#include "probe.h"
#include "simulatorprocess.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QProcess>
#include <QTabBar>
#include <QTimer>
#include <QtTest>

#include <memory>

#include <time.h>

namespace {

// The simulator's defaults, which the timeouts below are derived from.
constexpr double kSpeedUmPerS = 2000.0;
constexpr int kPollMs = 500;
// Room for a loaded machine on top of every computed wait.
constexpr int kMarginMs = 1500;
constexpr int kMaxReplyBytes = 4096;

const QString kNoDevice(
    QStringLiteral("No Device found: \n1. Check Device-Connection \n2. Install Device Driver"));

QString micrometres(const char *digits)
{
    return QLatin1String(digits) + QStringLiteral(" \u00b5m");
}

// How long a closed-loop move over the distance may take to show in the position readout: the
// travel, then up to one poll interval for the next position reply.
int arrivalTimeoutMs(double distanceUm)
{
    return int(distanceUm / kSpeedUmPerS * 1000.0) + kPollMs + kMarginMs;
}

// Watches the event loop while it lives: a 20 ms timer records the longest gap between its ticks,
// the most CPU time the GUI thread spent between two ticks, and the receive buffer's size at each
// tick. A loop over input shows as CPU time whatever the machine's load; a blocking wait shows only
// as a long gap, which a loaded machine (or a sanitizer build) can stretch as well, so the gap's
// bound is generous and the CPU time's is tight.
class Heartbeat {
public:
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizers unwind the stack on every allocation: building the first message box of
    // the process alone takes about 100 ms of CPU there.
    static constexpr qint64 kMaxBusyMs = 300;
#else
    static constexpr qint64 kMaxBusyMs = 100;
#endif
    static constexpr qint64 kMaxGapMs = 1000;

    explicit Heartbeat(const MainWindowProbe &probe)
    {
        clock.start();
        lastCpuMs = threadCpuMs();
        timer.setInterval(20);
        QObject::connect(&timer, &QTimer::timeout, [this, &probe] {
            const qint64 now = clock.elapsed();
            const qint64 cpu = threadCpuMs();
            longestGapMs = qMax(longestGapMs, now - lastTickMs);
            longestBusyMs = qMax(longestBusyMs, cpu - lastCpuMs);
            lastTickMs = now;
            lastCpuMs = cpu;
            const int size = probe.rxBuffer().size();
            largestBuffer = qMax(largestBuffer, size);
            bufferShrank = bufferShrank || size < lastBuffer;
            lastBuffer = size;
        });
        timer.start();
    }

    bool stayedResponsive() const
    {
        return longestBusyMs < kMaxBusyMs && longestGapMs < kMaxGapMs;
    }

    QByteArray report() const
    {
        return QByteArray("longest gap ") + QByteArray::number(longestGapMs) +
               " ms, most CPU between ticks " + QByteArray::number(longestBusyMs) + " ms";
    }

    qint64 longestGapMs = 0;
    qint64 longestBusyMs = 0;
    int largestBuffer = 0;
    bool bufferShrank = false;

private:
    static qint64 threadCpuMs()
    {
        timespec now{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
        return qint64(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
    }

    QElapsedTimer clock;
    QTimer timer;
    qint64 lastTickMs = 0;
    qint64 lastCpuMs = 0;
    int lastBuffer = 0;
};

// A panel and the simulator at the other end of its line. The watcher closes and counts every
// message box, so an unexpected one fails the test instead of hanging it.
struct Rig {
    MessageBoxWatcher boxes;
    SimulatorProcess simulator;
    Panel panel;
    MainWindow &window = panel.window();
    MainWindowProbe probe{window};
    int expectedBoxes = 0;

    Ui::MainWindow *ui() const { return probe.ui(); }
    QString status() const { return probe.statusLabel()->text(); }
    QString position() const { return ui()->label_Position->text(); }

    bool connectTo(const QStringList &arguments)
    {
        if (!simulator.start(arguments))
            return false;
        panel.preselectPort(simulator.terminal);
        ui()->actionConnect->trigger();
        return probe.serialPort()->isOpen();
    }

    QString consoleText() const
    {
        QString text = probe.console()->toPlainText();
        text.replace(QChar::ParagraphSeparator, QLatin1Char('\n'));
        text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
        return text;
    }

    // The controller's acknowledgements the console has shown.
    int acknowledgements() const
    {
        return consoleText().split(QLatin1Char('\n')).count(QStringLiteral("ok"));
    }

    void click(QAbstractButton *button) { QTest::mouseClick(button, Qt::LeftButton); }

    void selectPage(int index)
    {
        QTabBar *bar = ui()->tabWidget_LoopMode->tabBar();
        QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(index).center());
    }

    void typeAndConfirm(QAbstractSpinBox *box, const QString &text)
    {
        box->setFocus();
        box->selectAll();
        QTest::keyClicks(box, text);
        QTest::keyClick(box, Qt::Key_Return);
    }

    // Asks for the position from the console, as an operator would without the poll, until the
    // readout shows the expected text.
    bool askPositionUntil(const QString &expected, int timeoutMs)
    {
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < timeoutMs) {
            emit probe.console()->getData(">cp\r");
            if (QTest::qWaitFor([&] { return position() == expected; }, 100))
                return true;
        }
        return false;
    }
};

} // namespace

class TestEndToEnd : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void model1901_data();
    void model1901();
    void model1804OpenLoop();
    void autoCalibration();
    void silentControllerIsNoDevice();
    void hangUpDisconnectsOnce();
    void missingLineEndsMeanNoDevice();
    void unframedFloodKeepsPanelResponsive();
    void noiseStillLetsPositionThrough();

private:
    std::unique_ptr<Rig> rig;
};

void TestEndToEnd::initTestCase()
{
    if (qEnvironmentVariableIsEmpty("DVXSIM"))
        QSKIP("DVXSIM names no simulator; configure with the simulator to run these tests");
    const QFileInfo simulator(QString::fromLocal8Bit(qgetenv("DVXSIM")));
    QVERIFY2(simulator.isExecutable(), qPrintable(simulator.filePath()));
}

void TestEndToEnd::init()
{
    rig = std::make_unique<Rig>();
    rig->window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&rig->window));
    rig->window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&rig->window));
}

void TestEndToEnd::cleanup()
{
    // The panel lets go of the line first, so ending the simulator raises no error in it.
    if (rig->probe.serialPort()->isOpen())
        rig->ui()->actionDisconnect->trigger();
    const bool endedOnRequest = rig->simulator.stop();
    const QString diagnostics = rig->simulator.diagnostics();
    const int boxes = rig->boxes.count();
    const int expected = rig->expectedBoxes;
    const QStringList texts = rig->boxes.texts;
    rig.reset();
    QVERIFY2(endedOnRequest, qPrintable(QStringLiteral("dvxsim ignored SIGTERM: ") + diagnostics));
    QVERIFY2(boxes == expected, qPrintable(texts.join(QLatin1String(" | "))));
}

void TestEndToEnd::model1901_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("firmware");

    QTest::newRow("firmware 3.12, long replies") << QStringList() << QStringLiteral("3.12");
    QTest::newRow("firmware 1.26, short replies")
        << QStringList{QStringLiteral("--firmware"), QStringLiteral("1.26")}
        << QStringLiteral("1.26");
}

void TestEndToEnd::model1901()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, firmware);
    Rig &r = *rig;
    QVERIFY2(r.connectTo(arguments), qPrintable(r.simulator.diagnostics()));

    QTRY_VERIFY(r.status().contains(QLatin1String("(DVX1901)")));
    QCOMPARE(r.probe.firmwareVersion(), firmware);
    QCOMPARE(r.ui()->tabWidget_LoopMode->currentIndex(), 0);
    // The offset reply set the travel.
    QCOMPARE(r.probe.sliderMin(), -250.0);
    QCOMPARE(r.probe.sliderMax(), 6250.0);

    // The first poll tick finds the device identified and offers Home; its reply shows where the
    // stage stands.
    QTRY_VERIFY_WITH_TIMEOUT(r.ui()->pushButton_home->isEnabled(), kPollMs + kMarginMs);
    QTRY_COMPARE_WITH_TIMEOUT(r.position(), micrometres("0.000"), kPollMs + kMarginMs);
    r.click(r.ui()->pushButton_home);
    QVERIFY(r.probe.homed());
    QVERIFY(r.ui()->doubleSpinBox_Position->isEnabled());

    r.typeAndConfirm(r.ui()->doubleSpinBox_Position, QStringLiteral("1000"));
    QTRY_COMPARE_WITH_TIMEOUT(r.position(), micrometres("1000.000"), arrivalTimeoutMs(1000));
    QCOMPARE(r.probe.currentPosition(), 1000.0);
    QCOMPARE(r.ui()->horizontalSlider->value(), 1000);

    QCOMPARE(r.ui()->doubleSpinBox_mrstp->value(), 200.0);
    r.click(r.ui()->pushButton_SliderMinus);
    QTRY_COMPARE_WITH_TIMEOUT(r.position(), micrometres("800.000"), arrivalTimeoutMs(200));
    r.click(r.ui()->pushButton_SliderPlus);
    QTRY_COMPARE_WITH_TIMEOUT(r.position(), micrometres("1000.000"), arrivalTimeoutMs(200));

    // Homing from there brings the stage back to zero.
    r.click(r.ui()->pushButton_home);
    QTRY_COMPARE_WITH_TIMEOUT(r.position(), micrometres("0.000"), arrivalTimeoutMs(1000));
    QCOMPARE(r.ui()->horizontalSlider->value(), 0);

    // The controller acknowledged both homings and refused nothing.
    QVERIFY(r.acknowledgements() >= 4);
    QVERIFY2(!r.consoleText().contains(QLatin1String("_err")), qPrintable(r.consoleText()));
    QVERIFY(r.probe.serialPort()->isOpen());
}

void TestEndToEnd::model1804OpenLoop()
{
    Rig &r = *rig;
    QVERIFY2(r.connectTo({QStringLiteral("--model"), QStringLiteral("1804")}),
             qPrintable(r.simulator.diagnostics()));

    // The 1804 works in open loop: the panel switches by itself and sends the three drive
    // parameters, which the controller acknowledges.
    QTRY_VERIFY(r.status().contains(QLatin1String("(DVX1804)")));
    QCOMPARE(r.probe.firmwareVersion(), QStringLiteral("2.07"));
    QCOMPARE(r.ui()->tabWidget_LoopMode->currentIndex(), 1);
    QVERIFY(!r.probe.closedLoop());
    QVERIFY(!r.probe.pollTimer()->isActive());
    // Nothing was read: the readout keeps the form's placeholder, greyed, and says so.
    QCOMPARE(r.position(), QStringLiteral("0.0 \u00b5m"));
    QVERIFY(r.ui()->label_Position->toolTip().startsWith(
        QLatin1String("No position has been read yet")));
    QTRY_COMPARE(r.acknowledgements(), 3);

    // A new duration reaches the controller: 250 ms of drive at 0.1 um/ms is a 25 um step.
    r.typeAndConfirm(r.ui()->spinBox_Duration, QStringLiteral("250"));
    QTRY_COMPARE(r.acknowledgements(), 4);

    r.click(r.ui()->pushButton_SliderPlus);
    QTRY_COMPARE(r.acknowledgements(), 5);
    QVERIFY(r.askPositionUntil(micrometres("25.000"), 250 + kMarginMs));
    QCOMPARE(r.probe.currentPosition(), 25.0);
    // The 1804 reports no position the slider follows.
    QCOMPARE(r.ui()->horizontalSlider->value(), 0);

    r.click(r.ui()->pushButton_SliderMinus);
    QTRY_COMPARE(r.acknowledgements(), 6);
    QVERIFY(r.askPositionUntil(micrometres("0.000"), 250 + kMarginMs));

    r.click(r.ui()->pushButton_Bi);
    QTRY_COMPARE(r.acknowledgements(), 7);

    QVERIFY2(!r.consoleText().contains(QLatin1String("_err")), qPrintable(r.consoleText()));
    // With the poll stopped in open loop, no identification check ever disconnects.
    QVERIFY(r.probe.serialPort()->isOpen());
}

void TestEndToEnd::autoCalibration()
{
    Rig &r = *rig;
    QVERIFY2(r.connectTo({QStringLiteral("--calibration-seconds"), QStringLiteral("0.5")}),
             qPrintable(r.simulator.diagnostics()));
    QPushButton *calibrate = r.ui()->pushButton_AutoCalibrate;

    QTRY_VERIFY_WITH_TIMEOUT(calibrate->isEnabled(), kPollMs + kMarginMs);
    QCOMPARE(calibrate->text(), QStringLiteral("AutoCalibrate"));
    QCOMPARE(calibrate->styleSheet(), QStringLiteral("color: red"));
    QCOMPARE(r.probe.calibrationStatus(), QStringLiteral("1"));

    QElapsedTimer clock;
    clock.start();
    r.click(calibrate);
    QTRY_COMPARE_WITH_TIMEOUT(calibrate->text(), QStringLiteral("Calibrated"), 500 + kMarginMs);
    // The simulated calibration takes its time; the status request right after ">auto" still
    // reads "not calibrated".
    QVERIFY2(clock.elapsed() >= 400, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(calibrate->styleSheet(), QStringLiteral("color: green"));
    QCOMPARE(r.probe.calibrationStatus(), QStringLiteral("9"));
    QCOMPARE(r.ui()->pushButton_home->styleSheet(), QStringLiteral("color: red"));
    QVERIFY(r.consoleText().contains(QLatin1String("_status 9")));
}

void TestEndToEnd::silentControllerIsNoDevice()
{
    Rig &r = *rig;
    r.expectedBoxes = 1;
    QVERIFY2(r.connectTo({QStringLiteral("--silent")}), qPrintable(r.simulator.diagnostics()));

    QTRY_COMPARE_WITH_TIMEOUT(r.boxes.count(), 1, kPollMs + kMarginMs);
    QCOMPARE(r.boxes.titles.first(), QStringLiteral("Error"));
    QCOMPARE(r.boxes.texts.first(), kNoDevice);
    QCOMPARE(r.status(), QStringLiteral("Open error"));
    QVERIFY(!r.probe.serialPort()->isOpen());
    QVERIFY(!r.probe.pollTimer()->isActive());
    QVERIFY(r.ui()->actionConnect->isEnabled());
    // The status reply before any identification was neither shown nor acted on.
    QVERIFY(!r.consoleText().contains(QLatin1String("_status")));
    QVERIFY(r.probe.calibrationStatus().isEmpty());
}

void TestEndToEnd::hangUpDisconnectsOnce()
{
    Rig &r = *rig;
    r.expectedBoxes = 1;
    QVERIFY2(r.connectTo({QStringLiteral("--hangup-after"), QStringLiteral("1")}),
             qPrintable(r.simulator.diagnostics()));
    QTRY_VERIFY(r.status().contains(QLatin1String("(DVX1901)")));

    QTRY_COMPARE_WITH_TIMEOUT(r.boxes.count(), 1, 1000 + kMarginMs);
    QCOMPARE(r.boxes.titles.first(), QStringLiteral("Critical Error"));
    QCOMPARE(r.status(), QStringLiteral("Disconnected"));
    QVERIFY(!r.probe.serialPort()->isOpen());
    QVERIFY(!r.probe.pollTimer()->isActive());
    QVERIFY(r.ui()->actionConnect->isEnabled());
    QVERIFY(!r.ui()->actionDisconnect->isEnabled());
    QVERIFY(r.probe.controllerModel().isEmpty());

    // The simulator exits by itself after hanging up.
    QProcess &simulator = r.simulator.process;
    QTRY_COMPARE(simulator.state(), QProcess::NotRunning);
    QCOMPARE(simulator.exitStatus(), QProcess::NormalExit);
    QCOMPARE(simulator.exitCode(), 0);
    // Errors still queued from the dead line raise no second box.
    QTest::qWait(300);
    QCOMPARE(r.boxes.count(), 1);
}

void TestEndToEnd::missingLineEndsMeanNoDevice()
{
    Rig &r = *rig;
    r.expectedBoxes = 1;
    QVERIFY2(r.connectTo({QStringLiteral("--no-cr")}), qPrintable(r.simulator.diagnostics()));
    Heartbeat heartbeat(r.probe);

    // The identification arrives, but without its line end it is never a complete reply.
    QTRY_VERIFY(r.probe.rxBuffer().contains("_Ver 312 DVX1901"));
    QTRY_COMPARE_WITH_TIMEOUT(r.boxes.count(), 1, kPollMs + kMarginMs);
    QCOMPARE(r.boxes.texts.first(), kNoDevice);
    QCOMPARE(r.status(), QStringLiteral("Open error"));
    QVERIFY(r.probe.controllerModel().isEmpty());
    QVERIFY(r.probe.rxBuffer().size() <= kMaxReplyBytes);
    QVERIFY2(heartbeat.stayedResponsive(), heartbeat.report().constData());
}

void TestEndToEnd::unframedFloodKeepsPanelResponsive()
{
    Rig &r = *rig;
    QVERIFY2(r.connectTo({QStringLiteral("--no-cr"), QStringLiteral("--flood")}),
             qPrintable(r.simulator.diagnostics()));
    // Open loop has no identification check, so the line stays open under the flood.
    r.selectPage(1);
    QVERIFY(!r.probe.pollTimer()->isActive());

    Heartbeat heartbeat(r.probe);
    // More than a receive buffer's worth arrives without a line end, and the buffer is let go.
    QTRY_VERIFY_WITH_TIMEOUT(heartbeat.bufferShrank, 2 * kMaxReplyBytes * 1000 / 11520 + kMarginMs);
    QVERIFY2(heartbeat.largestBuffer <= kMaxReplyBytes,
             qPrintable(QString::number(heartbeat.largestBuffer)));
    QVERIFY2(heartbeat.stayedResponsive(), heartbeat.report().constData());
    QVERIFY(r.probe.serialPort()->isOpen());

    r.ui()->actionDisconnect->trigger();
    QVERIFY(!r.probe.serialPort()->isOpen());
    QCOMPARE(r.status(), QStringLiteral("Disconnected"));
    QVERIFY(r.ui()->actionConnect->isEnabled());
}

void TestEndToEnd::noiseStillLetsPositionThrough()
{
    Rig &r = *rig;
    // This seed leaves the first three replies (identification, offset, status) clean, so the
    // panel identifies before the noise sets in.
    QVERIFY2(r.connectTo({QStringLiteral("--garbage"), QStringLiteral("0.5"),
                          QStringLiteral("--seed"), QStringLiteral("27")}),
             qPrintable(r.simulator.diagnostics()));
    Heartbeat heartbeat(r.probe);
    QTRY_VERIFY(r.status().contains(QLatin1String("(DVX1901)")));
    QCOMPARE(r.probe.firmwareVersion(), QStringLiteral("3.12"));

    QTRY_VERIFY_WITH_TIMEOUT(r.ui()->pushButton_home->isEnabled(), kPollMs + kMarginMs);
    r.click(r.ui()->pushButton_home);
    r.typeAndConfirm(r.ui()->doubleSpinBox_Position, QStringLiteral("1000"));
    // About every other reply is spoilt; a clean one gets through within a few polls.
    QTRY_COMPARE_WITH_TIMEOUT(r.position(), micrometres("1000.000"),
                              arrivalTimeoutMs(1000) + 10 * kPollMs);
    QCOMPARE(r.probe.currentPosition(), 1000.0);

    QVERIFY(heartbeat.largestBuffer <= kMaxReplyBytes);
    QVERIFY2(heartbeat.stayedResponsive(), heartbeat.report().constData());
    r.ui()->actionDisconnect->trigger();
    QVERIFY(!r.probe.serialPort()->isOpen());
    QCOMPARE(r.status(), QStringLiteral("Disconnected"));
}

QTEST_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
