// The serial link of the real window against a controller on a pseudo-terminal: connecting, the
// framing of received bytes into lines, the receive cap, the poll, the no-device check, failed
// opens, a vanished port, console commands and disconnecting.

#include "console.h"
#include "fakecontroller.h"
#include "mainwindow.h"
#include "messageboxwatcher.h"
#include "probe.h"

#include <QLabel>
#include <QTimer>
#include <QtTest>

#include <ctime>

namespace {

const QByteArray kIdentify312("_Ver 312 DVX1901\r");
const QByteArray kStartup(">inform\r>status\r");
const QString kNoDevice(
    QStringLiteral("No Device found: \n1. Check Device-Connection \n2. Install Device Driver"));
const QString kNoPort(
    QStringLiteral("No COM-Port found: \n1. Check Device-Connection \n2. Install Device Driver"));

// One window wired to one fake controller.
struct Bench {
    FakeController controller;
    Panel panel;
    MainWindow &window = panel.window();
    MainWindowProbe probe{window};

    Bench() { panel.preselectPort(controller.portPath()); }

    void connectPort() { probe.ui()->actionConnect->trigger(); }
    void disconnectPort() { probe.ui()->actionDisconnect->trigger(); }

    // Connects and identifies before the first poll tick can run the no-device check.
    bool connectIdentified(const QByteArray &identification = kIdentify312)
    {
        connectPort();
        if (!probe.serialPort()->isOpen())
            return false;
        controller.send(identification);
        return QTest::qWaitFor([this] { return !probe.controllerModel().isEmpty(); });
    }

    QString consoleText() const { return probe.console()->toPlainText(); }
    QString status() const { return probe.statusLabel()->text(); }
};

} // namespace

class TestSerialLink : public QObject {
    Q_OBJECT

private slots:
    void connectSequence();
    void framing();
    void framingInOneRead();
    void partialLineDoesNotJoinNextConnection();
    void overlongLinesAreDropped();
    void receiveCapResynchronises();
    void receiveCapBoundary();
    void pollIsWrittenButNotEchoed();
    void noDeviceCheck();
    void failedOpen();
    void vanishedPort();
    void errorStreamGivesOneBox_data();
    void errorStreamGivesOneBox();
    void consolePositionRequest();
    void disconnectResetsHomeAndSendsNothing();
};

void TestSerialLink::connectSequence()
{
    Bench b;
    b.connectPort();

    QVERIFY(b.probe.serialPort()->isOpen());
    QVERIFY(b.controller.waitForReceived(kStartup));
    QVERIFY(b.controller.received().startsWith(kStartup));
    QCOMPARE(b.consoleText(), QStringLiteral(">inform\n>status\n"));
    QCOMPARE(b.status(),
             QStringLiteral("Connected to %1: 115200, 8, None, 1, ").arg(b.controller.portPath()));

    auto *ui = b.probe.ui();
    QVERIFY(!ui->actionConnect->isEnabled());
    QVERIFY(ui->actionDisconnect->isEnabled());
    QVERIFY(!ui->actionConfigure->isEnabled());
    QVERIFY(ui->tabWidget_LoopMode->isEnabled());
    QVERIFY(ui->pushButton_stop->isEnabled());
    QVERIFY(b.probe.console()->isEnabled());
    QVERIFY(b.probe.pollTimer()->isActive());
    QCOMPARE(b.probe.pollTimer()->interval(), 500);

    // Identify so the poll does not give up on the device while the window is torn down.
    b.controller.send(kIdentify312);
    QTRY_COMPARE(b.probe.controllerModel(), QStringLiteral("1901"));
}

void TestSerialLink::framing()
{
    Bench b;
    QVERIFY(b.connectIdentified());
    const int start = b.consoleText().size();
    const auto shown = [&] { return b.consoleText().mid(start); };

    // Two lines in one write, handled in order.
    b.controller.send("_a\r_b\r");
    QTRY_COMPARE(shown(), QStringLiteral("_a\n_b\n"));

    // A line split over two writes waits for its "\r".
    b.controller.send("_c");
    QTRY_COMPARE(b.probe.rxBuffer(), QByteArray("_c"));
    QCOMPARE(shown(), QStringLiteral("_a\n_b\n"));
    b.controller.send("d\r");
    QTRY_COMPARE(shown(), QStringLiteral("_a\n_b\n_cd\n"));
    QVERIFY(b.probe.rxBuffer().isEmpty());

    // A lone "\r" is an empty line: nothing to show, and the next line is unaffected.
    b.controller.send("\r");
    b.controller.send("_e\r");
    QTRY_COMPARE(shown(), QStringLiteral("_a\n_b\n_cd\n_e\n"));
    QVERIFY(b.probe.rxBuffer().isEmpty());
}

void TestSerialLink::framingInOneRead()
{
    Bench b;
    QVERIFY(b.connectIdentified());
    const int start = b.consoleText().size();

    b.probe.receive("_a\r\r_b\r_c");
    QCOMPARE(b.consoleText().mid(start), QStringLiteral("_a\n_b\n"));
    QCOMPARE(b.probe.rxBuffer(), QByteArray("_c"));
    b.probe.receive("\r");
    QCOMPARE(b.consoleText().mid(start), QStringLiteral("_a\n_b\n_c\n"));
}

void TestSerialLink::partialLineDoesNotJoinNextConnection()
{
    Bench b;
    QVERIFY(b.connectIdentified());
    b.controller.send("_Ver 1");
    QTRY_COMPARE(b.probe.rxBuffer(), QByteArray("_Ver 1"));

    b.disconnectPort();
    QVERIFY(!b.probe.serialPort()->isOpen());
    QVERIFY(b.probe.controllerModel().isEmpty());

    b.connectPort();
    QVERIFY(b.probe.serialPort()->isOpen());
    QVERIFY(b.probe.rxBuffer().isEmpty());
    // Joined to the stale "_Ver 1", this line would name firmware 1.26; alone it names none.
    b.controller.send("26 DVX1901\r" + kIdentify312);
    QTRY_COMPARE(b.probe.firmwareVersion(), QStringLiteral("3.12"));
    QCOMPARE(b.probe.controllerModel(), QStringLiteral("1901"));
    QVERIFY(b.probe.rxBuffer().isEmpty());
}

void TestSerialLink::overlongLinesAreDropped()
{
    Bench b;
    QVERIFY(b.connectIdentified());
    int largest = 0;
    connect(b.probe.serialPort(), &QIODevice::readyRead, this,
            [&] { largest = qMax(largest, int(b.probe.rxBuffer().size())); });

    // An identification buried in an overlong line must not count.
    b.controller.send("_Ver 126 DVX1901" + QByteArray(5000, 'x') + "\r_after\r");
    QTRY_VERIFY(b.consoleText().contains(QLatin1String("_after")));
    QCOMPARE(b.probe.firmwareVersion(), QStringLiteral("3.12"));
    QVERIFY(!b.consoleText().contains(QLatin1String("xxxx")));
    QVERIFY(b.probe.rxBuffer().isEmpty());

    // A long stream without any "\r", then the tail of that noise, then a good line.
    b.controller.send(QByteArray(20000, 'n') + "_noise\r_next\r");
    QTRY_VERIFY(b.consoleText().contains(QLatin1String("_next")));
    QVERIFY(!b.consoleText().contains(QLatin1String("_noise")));
    QVERIFY(b.probe.rxBuffer().isEmpty());

    QVERIFY(largest > 0);
    QVERIFY2(largest <= 4096, qPrintable(QString::number(largest)));
}

void TestSerialLink::receiveCapResynchronises()
{
    Bench b;
    QVERIFY(b.connectIdentified());
    const int start = b.consoleText().size();

    b.probe.receive(QByteArray(5000, 'z'));
    QVERIFY(b.probe.rxBuffer().isEmpty());
    // Noise keeps being dropped, and the buffer stays bounded, until the next "\r".
    for (int i = 0; i < 10; ++i) {
        b.probe.receive(QByteArray(1000, 'z'));
        QVERIFY(b.probe.rxBuffer().size() <= 4096);
    }
    b.probe.receive("_noise");
    QVERIFY(b.probe.rxBuffer().size() <= 4096);

    // The rest of the noise goes with its "\r"; framing resumes with the next line.
    b.controller.send("_tail\r_next\r");
    QTRY_COMPARE(b.consoleText().mid(start), QStringLiteral("_next\n"));
    QVERIFY(b.probe.rxBuffer().isEmpty());
}

void TestSerialLink::receiveCapBoundary()
{
    Bench b;
    QVERIFY(b.connectIdentified());
    const int start = b.consoleText().size();

    const QByteArray longest = '_' + QByteArray(4095, 'b');
    b.probe.receive(longest);
    QCOMPARE(b.probe.rxBuffer(), longest);
    b.probe.receive("\r");
    QCOMPARE(b.consoleText().mid(start), QString(longest) + '\n');

    const int before = b.consoleText().size();
    b.probe.receive('_' + QByteArray(4096, 'c') + "\r_next\r");
    QCOMPARE(b.consoleText().mid(before), QStringLiteral("_next\n"));
}

void TestSerialLink::pollIsWrittenButNotEchoed()
{
    Bench b;
    QVERIFY(b.connectIdentified());
    QVERIFY(b.probe.pollTimer()->isActive());
    QCOMPARE(b.probe.pollTimer()->interval(), 500);

    b.controller.clearReceived();
    QVERIFY(b.controller.waitForReceived(">cp\r", 2000));
    QElapsedTimer clock;
    clock.start();
    b.controller.clearReceived();
    QVERIFY(b.controller.waitForReceived(">cp\r", 2000));
    QVERIFY2(clock.elapsed() >= 400, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(b.controller.received(), QByteArray(">cp\r"));
    QVERIFY(!b.consoleText().contains(QLatin1String(">cp")));
}

void TestSerialLink::noDeviceCheck()
{
    MessageBoxWatcher watcher;
    Bench b;
    b.connectPort();
    QVERIFY(b.probe.serialPort()->isOpen());

    QTRY_COMPARE_WITH_TIMEOUT(watcher.count(), 1, 10000);
    QCOMPARE(watcher.titles.first(), QStringLiteral("Error"));
    QCOMPARE(watcher.texts.first(), kNoDevice);
    QCOMPARE(b.status(), QStringLiteral("Open error"));
    QVERIFY(!b.probe.serialPort()->isOpen());
    QVERIFY(!b.probe.pollTimer()->isActive());
    QVERIFY(b.probe.ui()->actionConnect->isEnabled());
    QVERIFY(!b.probe.ui()->actionDisconnect->isEnabled());

    // The position request of that tick is written before the check closes the port.
    QTRY_COMPARE_WITH_TIMEOUT(b.controller.received(), kStartup + ">cp\r", 5000);

    // One check, one box.
    QTest::qWait(600);
    QCOMPARE(watcher.count(), 1);
}

void TestSerialLink::failedOpen()
{
    MessageBoxWatcher watcher;
    Panel panel;
    MainWindow &window = panel.window();
    MainWindowProbe probe(window);
    panel.preselectPort(QStringLiteral("/nonexistent/port"));

    probe.ui()->actionConnect->trigger();

    QCOMPARE(watcher.count(), 1);
    QCOMPARE(watcher.titles.first(), QStringLiteral("Error"));
    QCOMPARE(watcher.texts.first(), kNoPort);
    QCOMPARE(probe.statusLabel()->text(), QStringLiteral("Open error"));
    QVERIFY(!probe.serialPort()->isOpen());
    QVERIFY(probe.ui()->actionConnect->isEnabled());
    QVERIFY(!probe.ui()->actionDisconnect->isEnabled());
    QVERIFY(!probe.console()->isEnabled());
    QVERIFY(!probe.pollTimer()->isActive());
}

void TestSerialLink::vanishedPort()
{
    Bench b;
    QVERIFY(b.connectIdentified());
    QVERIFY(b.controller.waitForReceived(">cp\r", 2000));

    MessageBoxWatcher watcher;
    b.controller.hangUp();

    QTRY_COMPARE_WITH_TIMEOUT(watcher.count(), 1, 10000);
    QCOMPARE(watcher.titles.first(), QStringLiteral("Critical Error"));
    QVERIFY(!watcher.texts.first().isEmpty());
    QCOMPARE(watcher.texts.first(), b.probe.serialPort()->errorString());
    QVERIFY(!b.probe.serialPort()->isOpen());
    QCOMPARE(b.status(), QStringLiteral("Disconnected"));
    QVERIFY(b.probe.ui()->actionConnect->isEnabled());
    QVERIFY(!b.probe.ui()->actionDisconnect->isEnabled());
    QVERIFY(!b.probe.console()->isEnabled());
    QVERIFY(b.probe.controllerModel().isEmpty());

    // The closed port leaves nothing to spin on: the event loop idles.
    const std::clock_t before = std::clock();
    QTest::qWait(1000);
    const double cpuSeconds = double(std::clock() - before) / CLOCKS_PER_SEC;
    QVERIFY2(cpuSeconds < 0.5, qPrintable(QString::number(cpuSeconds)));
    // Two poll intervals passed: a tick still running would have found no device and said so.
    QCOMPARE(watcher.count(), 1);
}

void TestSerialLink::errorStreamGivesOneBox_data()
{
    QTest::addColumn<QSerialPort::SerialPortError>("error");
    QTest::addColumn<bool>("fatal");

    QTest::newRow("read errors") << QSerialPort::ReadError << true;
    QTest::newRow("resource errors") << QSerialPort::ResourceError << true;
    // Line-noise errors (parity, framing) exist only in Qt 5; a failed write stands for every
    // error that leaves the port usable.
    QTest::newRow("write errors") << QSerialPort::WriteError << false;
    QTest::newRow("timeouts") << QSerialPort::TimeoutError << false;
}

void TestSerialLink::errorStreamGivesOneBox()
{
    QFETCH(QSerialPort::SerialPortError, error);
    QFETCH(bool, fatal);

    Bench b;
    QVERIFY(b.connectIdentified());
    MessageBoxWatcher watcher;

    // Some drivers report a vanished adapter as a stream of errors, which keeps coming while
    // the box is open.
    int left = 20;
    QTimer stream;
    stream.setInterval(1);
    connect(&stream, &QTimer::timeout, this, [&] {
        emit b.probe.serialPort()->errorOccurred(error);
        if (--left == 0)
            stream.stop();
    });
    stream.start();
    QTRY_COMPARE(left, 0);

    if (fatal) {
        QTRY_COMPARE(watcher.count(), 1);
        QTRY_VERIFY(!QApplication::activeModalWidget());
        QCOMPARE(watcher.count(), 1);
        QCOMPARE(watcher.titles.first(), QStringLiteral("Critical Error"));
        QVERIFY(!b.probe.serialPort()->isOpen());
        QCOMPARE(b.status(), QStringLiteral("Disconnected"));
        QVERIFY(b.probe.ui()->actionConnect->isEnabled());
        QVERIFY(!b.probe.pollTimer()->isActive());
    } else {
        QCOMPARE(watcher.count(), 0);
        QVERIFY(b.probe.serialPort()->isOpen());
        QCOMPARE(b.probe.controllerModel(), QStringLiteral("1901"));
    }
}

void TestSerialLink::consolePositionRequest()
{
    Bench b;
    QVERIFY(b.connectIdentified());
    b.probe.ui()->pushButton_Console->click();
    Console *console = b.probe.console();

    QTest::keyClicks(console, QStringLiteral("xcpy 42"));
    QTest::keyClick(console, Qt::Key_Return);
    QVERIFY(b.probe.echoNextPosition());
    QVERIFY(b.controller.waitForReceived("xcpy 42\r"));

    b.controller.send("_cp 1.5 um\r");
    QTRY_COMPARE(b.probe.ui()->label_Position->text(), QStringLiteral("1.5 \u00b5m"));
    QVERIFY(b.consoleText().contains(QLatin1String("_cp 1.5 um")));
    QVERIFY(!b.probe.echoNextPosition());

    b.controller.send("_cp 2.5 um\r_marker\r");
    QTRY_VERIFY(b.consoleText().contains(QLatin1String("_marker")));
    QCOMPARE(b.probe.ui()->label_Position->text(), QStringLiteral("2.5 \u00b5m"));
    QVERIFY(!b.consoleText().contains(QLatin1String("_cp 2.5 um")));
}

void TestSerialLink::disconnectResetsHomeAndSendsNothing()
{
    Bench b;
    QVERIFY(b.connectIdentified());
    auto *home = b.probe.ui()->pushButton_home;
    QTRY_VERIFY(home->isEnabled());
    home->click();
    QCOMPARE(home->styleSheet(), QStringLiteral("color: green"));
    QVERIFY(b.probe.homed());
    QVERIFY(b.controller.waitForReceived(">stop\r>home\r"));

    QTRY_COMPARE(b.probe.serialPort()->bytesToWrite(), qint64(0));
    b.controller.clearReceived();
    b.disconnectPort();

    QCOMPARE(home->styleSheet(), QStringLiteral("color: grey"));
    QVERIFY(!home->isEnabled());
    QVERIFY(!b.probe.homed());
    QCOMPARE(b.status(), QStringLiteral("Disconnected"));
    QVERIFY(!b.probe.serialPort()->isOpen());
    // No tick runs any more: nothing reaches the controller, and no missing device is reported.
    MessageBoxWatcher watcher;
    QTest::qWait(3 * b.probe.pollIntervalMs());
    QCOMPARE(b.controller.received(), QByteArray());
    QCOMPARE(watcher.count(), 0);
}

QTEST_MAIN(TestSerialLink)
#include "tst_seriallink.moc"
