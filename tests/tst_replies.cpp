// Reply handling of the real window, fed by a controller on a pseudo-terminal: what each dialect
// shows, echoes and drops, the identification, the position, offset and status replies, and the
// check made on every poll tick.

#include "console.h"
#include "fakecontroller.h"
#include "mainwindow.h"
#include "messageboxwatcher.h"
#include "probe.h"

#include <QLabel>
#include <QTimer>
#include <QtTest>

namespace {

const QByteArray kFw312("_Ver 312 DVX1901\r");
const QByteArray kFw126("_Ver 126 DVX1901\r");
const QByteArray kFw210("_Ver 210 DVX1901\r");
const QByteArray kModel1804("VELDMARK Ver 207 DVX1804\r");
const QByteArray kStartup(">inform\r>status\r");
const QString kUm = QStringLiteral(" \u00b5m");

struct Bench {
    FakeController controller;
    Panel panel;
    MainWindow &window = panel.window();
    MainWindowProbe probe{window};

    Bench() { panel.preselectPort(controller.portPath()); }

    bool connectPort()
    {
        probe.ui()->actionConnect->trigger();
        return probe.serialPort()->isOpen();
    }

    // Connects and identifies; without an identification line the poll is held, so the
    // no-device check does not close the port while the test speaks as an unknown device.
    bool connectAs(const QByteArray &identification)
    {
        if (!connectPort())
            return false;
        if (identification.isEmpty()) {
            probe.pollTimer()->stop();
            return true;
        }
        controller.send(identification);
        return QTest::qWaitFor([this] { return !probe.controllerModel().isEmpty(); });
    }

    // Sends one line and returns once the window has taken it in: the body first, seen whole in
    // the receive buffer, then its "\r", after which the buffer is empty again.
    bool deliver(const QByteArray &line)
    {
        const QByteArray body = line.chopped(1);
        controller.send(body);
        if (!QTest::qWaitFor([&] { return probe.rxBuffer() == body; }))
            return false;
        controller.send("\r");
        return QTest::qWaitFor([&] { return probe.rxBuffer().isEmpty(); });
    }

    QString consoleText() const { return probe.console()->toPlainText(); }
    QString status() const { return probe.statusLabel()->text(); }
    QString connectedText(const QString &model) const
    {
        const QString bracket = model.isEmpty() ? QString() : " (DVX" + model + ") ";
        return "Connected to " + controller.portPath() + bracket + ": 115200, 8, None, 1, ";
    }
};

} // namespace

class TestReplies : public QObject {
    Q_OBJECT

private slots:
    void dialectTable_data();
    void dialectTable();
    void identificationOnConsole_data();
    void identificationOnConsole();
    void statusTextNamesTheController();
    void shortIdentificationChangesNothing_data();
    void shortIdentificationChangesNothing();
    void shortIdentificationLeavesDeviceUnfound();
    void model1804SwitchesToOpenLoop();
    void offsetSetsSliderLimits_data();
    void offsetSetsSliderLimits();
    void positionLabelAndSlider_data();
    void positionLabelAndSlider();
    void focusedSliderIsNotMoved();
    void oddPositionValues_data();
    void oddPositionValues();
    void calibrationStatus();
    void pollTickEnablesHome();
};

void TestReplies::dialectTable_data()
{
    QTest::addColumn<QByteArray>("identification");
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<bool>("echoed");
    QTest::addColumn<QString>("position");
    QTest::addColumn<QString>("calibration");
    QTest::addColumn<QString>("offset");

    const auto row = [](const char *name, const QByteArray &id, const char *line, bool echoed,
                        const QString &position = QString(), const QString &calibration = QString(),
                        const QString &offset = QString()) {
        QTest::newRow(name) << id << QByteArray(line) << echoed << position << calibration
                            << offset;
    };

    row("3.x long position", kFw312, "_cp 1234.5 um\r", false, "1234.5" + kUm);
    row("3.x short position dropped", kFw312, "P 1234.5 um\r", false);
    row("3.x status", kFw312, "_status 9\r", true, {}, "9");
    row("3.x offset", kFw312, "_offset: 2500\r", true, {}, {}, " 2500");
    row("3.x tg", kFw312, "_tg 100\r", false);
    row("3.x ok", kFw312, "ok\r", true);
    row("3.x other underscore", kFw312, "_other\r", true);
    row("3.x underscore with P", kFw312, "_P\r", false);
    row("3.x plain text", kFw312, "hello\r", false);

    row("1.26 P anywhere", kFw126, "xP12.5 um\r", false, "12.5" + kUm);
    row("1.26 long form echoed", kFw126, "_cp 5 um\r", true);
    row("1.26 status only echoed", kFw126, "_status 9\r", true);
    row("1.26 offset", kFw126, "_offset: 0\r", true, {}, {}, " 0");
    row("1.26 tg", kFw126, "_tg\r", false);
    row("1.26 ok", kFw126, "ok\r", true);
    row("1.26 plain text", kFw126, "hello\r", false);

    row("1804 position", kModel1804, "P 1234.5 um\r", false, "1234.5" + kUm);
    row("1804 status", kModel1804, "_status 9\r", true);
    row("1804 offset", kModel1804, "_offset: 2500\r", true);
    row("1804 tg", kModel1804, "_tg\r", true);
    row("1804 plain text", kModel1804, "hello\r", true);
    row("1804 VELDMARK with P", kModel1804, "VELDMARK P\r", true);

    row("2.10 long position", kFw210, "_cp 1234.5 um\r", false);
    row("2.10 short position", kFw210, "P 1 um\r", false);
    row("2.10 status", kFw210, "_status 9\r", false);
    row("2.10 offset", kFw210, "_offset: 2500\r", false);
    row("2.10 ok", kFw210, "ok\r", false);
    row("2.10 underscore", kFw210, "_other\r", false);

    row("unidentified long position", QByteArray(), "_cp 1234.5 um\r", false);
    row("unidentified short position", QByteArray(), "P 1234.5 um\r", false);
    row("unidentified status", QByteArray(), "_status 9\r", false);
    row("unidentified offset", QByteArray(), "_offset: 2500\r", false);
    row("unidentified ok", QByteArray(), "ok\r", false);
}

void TestReplies::dialectTable()
{
    QFETCH(QByteArray, identification);
    QFETCH(QByteArray, line);
    QFETCH(bool, echoed);
    QFETCH(QString, position);
    QFETCH(QString, calibration);
    QFETCH(QString, offset);

    Bench b;
    QVERIFY(b.connectAs(identification));
    const QString consoleBefore = b.consoleText();
    const QString labelBefore = b.probe.ui()->label_Position->text();

    QVERIFY(b.deliver(line));

    const QString shown = b.consoleText().mid(consoleBefore.size());
    QCOMPARE(shown, echoed ? QString(line.chopped(1)) + '\n' : QString());
    QCOMPARE(b.probe.ui()->label_Position->text(), position.isEmpty() ? labelBefore : position);
    QCOMPARE(b.probe.calibrationStatus(), calibration);
    QCOMPARE(b.probe.offsetText(), offset);
}

void TestReplies::identificationOnConsole_data()
{
    QTest::addColumn<QByteArray>("identification");
    QTest::addColumn<int>("shown");

    // The 1901 line passes the echo filter of its own dialect; the 1804 line is shown by the
    // identification and again as an ordinary 1804 reply.
    QTest::newRow("1901 3.12") << kFw312 << 1;
    QTest::newRow("1901 1.26") << kFw126 << 1;
    QTest::newRow("1901 2.10") << kFw210 << 0;
    QTest::newRow("1804") << kModel1804 << 2;
}

void TestReplies::identificationOnConsole()
{
    QFETCH(QByteArray, identification);
    QFETCH(int, shown);

    Bench b;
    QVERIFY(b.connectPort());
    QVERIFY(b.deliver(identification));
    QVERIFY(!b.probe.controllerModel().isEmpty());
    QCOMPARE(b.consoleText().count(QString(identification.chopped(1))), shown);
}

void TestReplies::statusTextNamesTheController()
{
    Bench b;
    QVERIFY(b.connectPort());
    QCOMPARE(b.status(), b.connectedText(QString()));

    QVERIFY(b.deliver(kFw312));
    QCOMPARE(b.status(), b.connectedText("1901"));

    // A later identification replaces the name instead of adding one.
    QVERIFY(b.deliver(kFw312));
    QCOMPARE(b.status(), b.connectedText("1901"));
    QVERIFY(b.deliver(kModel1804));
    QCOMPARE(b.status(), b.connectedText("1804"));
    QVERIFY(b.deliver(kFw126));
    QCOMPARE(b.status(), b.connectedText("1901"));
    QCOMPARE(b.status().count(QStringLiteral("(DVX")), 1);
}

void TestReplies::shortIdentificationChangesNothing_data()
{
    QTest::addColumn<QByteArray>("line");

    QTest::newRow("1901, 7 bytes") << QByteArray("_Ver 3\r");
    QTest::newRow("1804, 15 bytes") << QByteArray("VELDMARK Ver 2\r");
}

void TestReplies::shortIdentificationChangesNothing()
{
    QFETCH(QByteArray, line);

    Bench b;
    QVERIFY(b.connectAs(kFw312));
    const QString statusBefore = b.status();
    b.controller.clearReceived();

    QVERIFY(b.deliver(line));

    QCOMPARE(b.probe.controllerModel(), QStringLiteral("1901"));
    QCOMPARE(b.probe.firmwareVersion(), QStringLiteral("3.12"));
    QCOMPARE(b.status(), statusBefore);
    QCOMPARE(b.probe.ui()->tabWidget_LoopMode->currentIndex(), 0);
    QVERIFY(b.probe.closedLoop());
    QVERIFY(b.probe.pollTimer()->isActive());
    // No open-loop parameters went out: only the poll may have written.
    QVERIFY(!b.controller.received().contains(">duration"));
}

void TestReplies::shortIdentificationLeavesDeviceUnfound()
{
    MessageBoxWatcher watcher;
    Bench b;
    QVERIFY(b.connectPort());
    b.controller.send("VELDMARK Ver 2\r_Ver 3\r");

    QTRY_COMPARE_WITH_TIMEOUT(watcher.count(), 1, 10000);
    QCOMPARE(watcher.titles.first(), QStringLiteral("Error"));
    QVERIFY(watcher.texts.first().startsWith(QLatin1String("No Device found")));
    QVERIFY(!b.probe.serialPort()->isOpen());
}

void TestReplies::model1804SwitchesToOpenLoop()
{
    MessageBoxWatcher watcher;
    Bench b;
    QVERIFY(b.connectPort());
    b.controller.send(kModel1804);

    QTRY_COMPARE(b.controller.received(), kStartup + ">duration 100\r>interval 500\r>cycle 1\r");
    QCOMPARE(b.probe.controllerModel(), QStringLiteral("1804"));
    QCOMPARE(b.probe.firmwareVersion(), QStringLiteral("2.07"));
    QCOMPARE(b.probe.ui()->tabWidget_LoopMode->currentIndex(), 1);
    QVERIFY(!b.probe.closedLoop());
    QVERIFY(!b.probe.pollTimer()->isActive());
    // No position is polled on the open-loop page: the readout keeps what it showed.
    QCOMPARE(b.probe.ui()->label_Position->text(), QStringLiteral("0.0 \u00b5m"));
    QCOMPARE(b.status(), b.connectedText("1804"));

    // With the poll stopped there is no position request and no device check.
    QTest::qWait(600);
    QCOMPARE(watcher.count(), 0);
    QCOMPARE(b.controller.received(), kStartup + ">duration 100\r>interval 500\r>cycle 1\r");
    QVERIFY(b.probe.serialPort()->isOpen());
}

void TestReplies::offsetSetsSliderLimits_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("low");
    QTest::addColumn<double>("high");
    QTest::addColumn<QString>("lowLabel");
    QTest::addColumn<QString>("highLabel");
    QTest::addColumn<int>("sliderLow");
    QTest::addColumn<int>("sliderHigh");

    QTest::newRow("0") << QByteArray("_offset: 0\r") << " 0" << 0.0 << 6500.0 << "0" + kUm
                       << "6500" + kUm << 0 << 6500;
    QTest::newRow("2500") << QByteArray("_offset: 2500\r") << " 2500" << -250.0 << 6250.0
                          << "-250" + kUm << "6250" + kUm << -250 << 6250;
    QTest::newRow("Offset 1000") << QByteArray("_Offset: 1000\r") << " 1000" << -100.0 << 6400.0
                                 << "-100" + kUm << "6400" + kUm << -100 << 6400;
    QTest::newRow("fraction") << QByteArray("_offset: 12.5\r") << " 12.5" << -1.25 << 6498.75
                              << "-1.25" + kUm << "6498.75" + kUm << -1 << 6498;
    QTest::newRow("earlier t") << QByteArray("at offset: 1000\r") << "offset: 1000" << 0.0 << 6500.0
                               << "0" + kUm << "6500" + kUm << 0 << 6500;
    QTest::newRow("not a number") << QByteArray("_offset: abc\r") << " abc" << 0.0 << 6500.0
                                  << "0" + kUm << "6500" + kUm << 0 << 6500;
}

void TestReplies::offsetSetsSliderLimits()
{
    QFETCH(QByteArray, line);
    QFETCH(QString, text);
    QFETCH(double, low);
    QFETCH(double, high);
    QFETCH(QString, lowLabel);
    QFETCH(QString, highLabel);
    QFETCH(int, sliderLow);
    QFETCH(int, sliderHigh);

    Bench b;
    QVERIFY(b.connectAs(kFw312));
    QVERIFY(b.deliver(line));

    auto *ui = b.probe.ui();
    QCOMPARE(b.probe.offsetText(), text);
    QCOMPARE(b.probe.sliderMin(), low);
    QCOMPARE(b.probe.sliderMax(), high);
    QCOMPARE(ui->label_Slidermin->text(), lowLabel);
    QCOMPARE(ui->label_Slidermax->text(), highLabel);
    QCOMPARE(ui->horizontalSlider->minimum(), sliderLow);
    QCOMPARE(ui->horizontalSlider->maximum(), sliderHigh);
}

void TestReplies::positionLabelAndSlider_data()
{
    QTest::addColumn<QByteArray>("identification");
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("label");
    QTest::addColumn<double>("position");
    QTest::addColumn<bool>("sliderFollows");
    QTest::addColumn<int>("slider");

    QTest::newRow("3.x") << kFw312 << QByteArray("_cp 1234.5 um\r") << "1234.5" + kUm << 1234.5
                         << true << 1234;
    QTest::newRow("3.x digits as sent")
        << kFw312 << QByteArray("_cp 0001.50 um\r") << "0001.50" + kUm << 1.5 << true << 1;
    QTest::newRow("3.x negative truncates")
        << kFw312 << QByteArray("_cp -12.7 um\r") << "-12.7" + kUm << -12.7 << true << -12;
    QTest::newRow("1.26") << kFw126 << QByteArray("P 2000.9 um\r") << "2000.9" + kUm << 2000.9
                          << true << 2000;
    QTest::newRow("1804 slider stays")
        << kModel1804 << QByteArray("P 1234.5 um\r") << "1234.5" + kUm << 1234.5 << false << 0;
}

void TestReplies::positionLabelAndSlider()
{
    QFETCH(QByteArray, identification);
    QFETCH(QByteArray, line);
    QFETCH(QString, label);
    QFETCH(double, position);
    QFETCH(bool, sliderFollows);
    QFETCH(int, slider);

    Bench b;
    QVERIFY(b.connectAs(identification));
    const int sliderBefore = b.probe.ui()->horizontalSlider->value();
    QVERIFY(b.deliver(line));

    QCOMPARE(b.probe.ui()->label_Position->text(), label);
    QCOMPARE(b.probe.currentPosition(), position);
    QCOMPARE(b.probe.ui()->horizontalSlider->value(), sliderFollows ? slider : sliderBefore);
}

void TestReplies::focusedSliderIsNotMoved()
{
    Bench b;
    b.window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&b.window));
    QVERIFY(b.connectAs(kFw312));

    auto *ui = b.probe.ui();
    QTRY_VERIFY(ui->pushButton_home->isEnabled());
    ui->pushButton_home->click();
    QVERIFY(ui->horizontalSlider->isEnabled());

    b.window.activateWindow();
    ui->horizontalSlider->setFocus();
    QTRY_VERIFY(ui->horizontalSlider->hasFocus());
    const int held = ui->horizontalSlider->value();
    QVERIFY(b.deliver("_cp 2000 um\r"));
    QCOMPARE(ui->label_Position->text(), "2000" + kUm);
    QCOMPARE(ui->horizontalSlider->value(), held);

    ui->horizontalSlider->clearFocus();
    QVERIFY(b.deliver("_cp 3000 um\r"));
    QCOMPARE(ui->horizontalSlider->value(), 3000);
}

void TestReplies::oddPositionValues_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("label");
    QTest::addColumn<int>("slider");

    // The form's slider range is -250 to 6250 until an offset arrives. A value that is no finite
    // number leaves the slider where the last position put it (100).
    QTest::newRow("huge") << QByteArray("_cp 1e300 um\r") << "1e300" + kUm << 6250;
    QTest::newRow("huge negative") << QByteArray("_cp -1e300 um\r") << "-1e300" + kUm << -250;
    QTest::newRow("nan") << QByteArray("_cp nan um\r") << "nan" + kUm << 100;
    QTest::newRow("inf") << QByteArray("_cp inf um\r") << "inf" + kUm << 100;
    QTest::newRow("not a number") << QByteArray("_cp abc um\r") << "abc" + kUm << 0;
}

void TestReplies::oddPositionValues()
{
    QFETCH(QByteArray, line);
    QFETCH(QString, label);
    QFETCH(int, slider);

    Bench b;
    QVERIFY(b.connectAs(kFw312));
    // Start away from the expected value, so the reply has to move the slider.
    QVERIFY(b.deliver("_cp 100 um\r"));
    QCOMPARE(b.probe.ui()->horizontalSlider->value(), 100);

    QVERIFY(b.deliver(line));
    auto *bar = b.probe.ui()->horizontalSlider;
    QCOMPARE(b.probe.ui()->label_Position->text(), label);
    QCOMPARE(bar->value(), slider);
    QVERIFY(bar->value() >= bar->minimum() && bar->value() <= bar->maximum());
}

void TestReplies::calibrationStatus()
{
    Bench b;
    QVERIFY(b.connectAs(kFw312));
    auto *ui = b.probe.ui();
    auto *calibrate = ui->pushButton_AutoCalibrate;
    auto *home = ui->pushButton_home;

    QVERIFY(b.deliver("_status 1\r"));
    QCOMPARE(b.probe.calibrationStatus(), QStringLiteral("1"));
    QCOMPARE(calibrate->text(), QStringLiteral("AutoCalibrate"));
    QCOMPARE(calibrate->styleSheet(), QStringLiteral("color: red"));
    QVERIFY(calibrate->isEnabled());
    QVERIFY(home->isEnabled());

    // Home pressed: green until a calibrated status asks for homing again.
    home->click();
    QCOMPARE(home->styleSheet(), QStringLiteral("color: green"));
    QVERIFY(b.deliver("_status 9\r"));
    QCOMPARE(b.probe.calibrationStatus(), QStringLiteral("9"));
    QCOMPARE(calibrate->text(), QStringLiteral("Calibrated"));
    QCOMPARE(calibrate->styleSheet(), QStringLiteral("color: green"));
    QCOMPARE(home->styleSheet(), QStringLiteral("color: red"));

    // Too short to hold a state, or an unknown state: nothing changes.
    for (const QByteArray &line : {QByteArray("_status\r"), QByteArray("status\r")}) {
        QVERIFY(b.deliver(line));
        QCOMPARE(b.probe.calibrationStatus(), QStringLiteral("9"));
        QCOMPARE(calibrate->text(), QStringLiteral("Calibrated"));
        QCOMPARE(calibrate->styleSheet(), QStringLiteral("color: green"));
    }
    QVERIFY(b.deliver("_status 5\r"));
    QCOMPARE(calibrate->text(), QStringLiteral("Calibrated"));
    QCOMPARE(calibrate->styleSheet(), QStringLiteral("color: green"));

    QVERIFY(b.deliver("_status 1\r"));
    QCOMPARE(calibrate->text(), QStringLiteral("AutoCalibrate"));
    QCOMPARE(calibrate->styleSheet(), QStringLiteral("color: red"));
}

void TestReplies::pollTickEnablesHome()
{
    Bench b;
    QVERIFY(b.connectAs(kFw312));
    auto *home = b.probe.ui()->pushButton_home;
    auto *calibrate = b.probe.ui()->pushButton_AutoCalibrate;

    QVERIFY(b.controller.waitForReceived(">cp\r", 2000));
    QTRY_VERIFY(home->isEnabled());
    QVERIFY(calibrate->isEnabled());
    QCOMPARE(home->styleSheet(), QStringLiteral("color: red"));

    // Once homed, later ticks keep Home green.
    home->click();
    QCOMPARE(home->styleSheet(), QStringLiteral("color: green"));
    b.controller.clearReceived();
    QVERIFY(b.controller.waitForReceived(">cp\r", 2000));
    QVERIFY(home->isEnabled());
    QCOMPARE(home->styleSheet(), QStringLiteral("color: green"));
    QVERIFY(b.probe.serialPort()->isOpen());
}

QTEST_MAIN(TestReplies)
#include "tst_replies.moc"
