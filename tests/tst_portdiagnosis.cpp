// Why a port cannot be used, each cause produced for real: a terminal the user may not open, a
// missing path, a port another program holds, a device that is no serial port, a controller that
// never answers, and one that vanishes. Checked in the diagnosis alone and in the error box the
// operator sees.

#include "fakecontroller.h"
#include "messageboxwatcher.h"
#include "portdiagnosis.h"
#include "probe.h"
#include "simulatorprocess.h"

#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QtTest>

#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

const QString kNoPort(
    QStringLiteral("No COM-Port found: \n1. Check Device-Connection \n2. Install Device Driver"));
const QString kNoDevice(
    QStringLiteral("No Device found: \n1. Check Device-Connection \n2. Install Device Driver"));
const QString kDialout(QStringLiteral("Add your user to the dialout group, then log in again"));
const char kHoldPortVariable[] = "TST_PORTDIAGNOSIS_HOLD_PORT";

// Root opens any file whatever its mode. While it lives, this thread loses the capabilities that
// let it, so a mode-000 terminal is refused to it as to any user; not root, nothing changes.
class WithoutFileOverride {
public:
    WithoutFileOverride()
    {
        if (geteuid() != 0)
            return;
        header.version = _LINUX_CAPABILITY_VERSION_3;
        header.pid = 0;
        if (syscall(SYS_capget, &header, saved) != 0)
            return;
        __user_cap_data_struct reduced[2] = {saved[0], saved[1]};
        const unsigned mask = (1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH);
        reduced[0].effective &= ~mask;
        dropped = syscall(SYS_capset, &header, reduced) == 0;
    }
    ~WithoutFileOverride()
    {
        if (dropped)
            syscall(SYS_capset, &header, saved);
    }

private:
    __user_cap_header_struct header{};
    __user_cap_data_struct saved[2]{};
    bool dropped = false;
};

// Another program holding the port: this test program started again, opening the port with a
// QSerialPort (lock file and exclusive mode) and keeping it until its input closes.
int holdPort(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QSerialPort port(QString::fromLocal8Bit(qgetenv(kHoldPortVariable)));
    if (!port.open(QIODevice::ReadWrite)) {
        fprintf(stdout, "failed %s\n", qPrintable(port.errorString()));
        return 1;
    }
    fprintf(stdout, "held\n");
    fflush(stdout);
    char byte = 0;
    while (read(STDIN_FILENO, &byte, 1) > 0) {
    }
    return 0;
}

struct Holder {
    QProcess process;

    bool start(const QString &path)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QString::fromLatin1(kHoldPortVariable), path);
        process.setProcessEnvironment(environment);
        process.start(QCoreApplication::applicationFilePath(), QStringList());
        if (!process.waitForStarted(5000))
            return false;
        if (!QTest::qWaitFor([this] { return process.canReadLine(); }, 5000))
            return false;
        return process.readLine().trimmed() == "held";
    }
    ~Holder()
    {
        process.closeWriteChannel();
        if (!process.waitForFinished(3000))
            process.kill();
        process.waitForFinished(3000);
    }
};

// Connects a fresh window to path and returns the one box it showed.
struct Attempt {
    MessageBoxWatcher boxes;
    Panel panel;
    MainWindow &window = panel.window();
    MainWindowProbe probe{window};

    explicit Attempt(const QString &path)
    {
        panel.preselectPort(path);
        probe.ui()->actionConnect->trigger();
    }
};

} // namespace

class TestPortDiagnosis : public QObject {
    Q_OBJECT

private slots:
    void systemLocation();
    void permissionDenied();
    void missingPath();
    void inUseByAnotherProgram();
    void hostileLockFiles_data();
    void hostileLockFiles();
    void notASerialDevice();
    void silentController();
    void unpluggedController();
};

void TestPortDiagnosis::systemLocation()
{
    QCOMPARE(PortDiagnosis::systemLocation(QStringLiteral("ttyUSB0")),
             QStringLiteral("/dev/ttyUSB0"));
    QCOMPARE(PortDiagnosis::systemLocation(QStringLiteral("pts/4")), QStringLiteral("/dev/pts/4"));
    QCOMPARE(PortDiagnosis::systemLocation(QStringLiteral("/tmp/ttyDVX")),
             QStringLiteral("/tmp/ttyDVX"));
    const auto none = PortDiagnosis::openFailure(QString(), QSerialPort::DeviceNotFoundError, {});
    QCOMPARE(none.cause, PortDiagnosis::Cause::NoPortChosen);
    QVERIFY(none.text.contains(QLatin1String("Configure")));
}

void TestPortDiagnosis::permissionDenied()
{
    FakeController controller;
    const QString path = controller.portPath();
    const QByteArray encoded = QFile::encodeName(path);
    struct stat before {};
    QVERIFY(::stat(encoded.constData(), &before) == 0);
    QVERIFY(::chmod(encoded.constData(), 0) == 0);
    WithoutFileOverride unprivileged;

    const auto finding =
        PortDiagnosis::openFailure(path, QSerialPort::PermissionError, QStringLiteral("denied"));
    QCOMPARE(finding.cause, PortDiagnosis::Cause::PermissionDenied);
    QVERIFY2(finding.text.contains(path), qPrintable(finding.text));
    QVERIFY2(finding.text.contains(kDialout), qPrintable(finding.text));
    QVERIFY2(finding.text.contains(QLatin1String("sudo usermod -aG dialout ")),
             qPrintable(finding.text));

    {
        Attempt attempt(path);
        QCOMPARE(attempt.boxes.count(), 1);
        QCOMPARE(attempt.boxes.titles.first(), QStringLiteral("Error"));
        QCOMPARE(attempt.boxes.texts.first(), kNoPort);
        QCOMPARE(attempt.boxes.informativeTexts.first(), finding.text);
        QCOMPARE(attempt.probe.statusLabel()->text(), QStringLiteral("Open error"));
    }
    ::chmod(encoded.constData(), before.st_mode & 07777);
}

void TestPortDiagnosis::missingPath()
{
    const QString path = QStringLiteral("/nonexistent/ttyUSB9");
    const auto finding =
        PortDiagnosis::openFailure(path, QSerialPort::DeviceNotFoundError, QString());
    QCOMPARE(finding.cause, PortDiagnosis::Cause::NoSuchFile);
    QVERIFY2(finding.text.startsWith(path + QLatin1String(" does not exist")),
             qPrintable(finding.text));

    Attempt attempt(path);
    QCOMPARE(attempt.boxes.count(), 1);
    QCOMPARE(attempt.boxes.texts.first(), kNoPort);
    QCOMPARE(attempt.boxes.informativeTexts.first(), finding.text);

    // A /dev/serial/by-id link whose adapter is gone names where it pointed.
    QTemporaryDir directory;
    const QString link = directory.filePath(QStringLiteral("usb-controller"));
    QVERIFY(QFile::link(QStringLiteral("/dev/ttyUSB97"), link));
    const auto dangling = PortDiagnosis::openFailure(link, QSerialPort::DeviceNotFoundError, {});
    QCOMPARE(dangling.cause, PortDiagnosis::Cause::NoSuchFile);
    QVERIFY2(dangling.text.contains(QLatin1String("/dev/ttyUSB97")), qPrintable(dangling.text));
}

void TestPortDiagnosis::inUseByAnotherProgram()
{
    FakeController controller;
    Holder holder;
    QVERIFY(holder.start(controller.portPath()));
    const QString program = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    const QString process = QString::number(holder.process.processId());

    const QStringList holders = PortDiagnosis::holders(controller.portPath());
    QVERIFY2(holders.join(QLatin1Char('|')).contains(process), qPrintable(holders.join('|')));

    Attempt attempt(controller.portPath());
    QCOMPARE(attempt.boxes.count(), 1);
    QCOMPARE(attempt.boxes.titles.first(), QStringLiteral("Error"));
    QCOMPARE(attempt.boxes.texts.first(), kNoPort);
    const QString informative = attempt.boxes.informativeTexts.first();
    QVERIFY2(informative.startsWith(controller.portPath() + QLatin1String(" is in use by another "
                                                                          "program: ")),
             qPrintable(informative));
    QVERIFY2(informative.contains(program + QLatin1String(" (process ") + process + ')'),
             qPrintable(informative));
    QVERIFY(!attempt.probe.serialPort()->isOpen());
}

void TestPortDiagnosis::hostileLockFiles_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("binary noise") << QByteArray("\x00\xff\x13\n\r\x80garbage", 14);
    QTest::newRow("huge") << QByteArray(1 << 20, '7');
    QTest::newRow("negative") << QByteArray("-1\n");
    QTest::newRow("ended process") << QByteArray("2147483646\nmirastellon\nhost\n");
}

void TestPortDiagnosis::hostileLockFiles()
{
    QFETCH(QByteArray, content);
    FakeController controller;
    QString name = controller.portPath().mid(5);
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    QFile lock(QStringLiteral("/var/lock/LCK..") + name);
    if (!lock.open(QIODevice::WriteOnly))
        QSKIP("The lock directory is not writable here");
    lock.write(content);
    lock.close();

    // A lock file names nobody unless it holds the number of a running process; reading it is
    // bounded whatever its size.
    QElapsedTimer clock;
    clock.start();
    const QStringList holders = PortDiagnosis::holders(controller.portPath());
    const qint64 elapsed = clock.elapsed();
    lock.remove();
    QVERIFY2(holders.isEmpty(), qPrintable(holders.join('|')));
    qInfo("holders() took %lld ms", elapsed);
}

void TestPortDiagnosis::notASerialDevice()
{
    const QString path = QStringLiteral("/dev/null");
    const auto finding = PortDiagnosis::openFailure(path, QSerialPort::UnknownError, {});
    QCOMPARE(finding.cause, PortDiagnosis::Cause::NotSerial);
    QVERIFY(finding.text.startsWith(QLatin1String("/dev/null is not a serial device")));
    QCOMPARE(PortDiagnosis::noAnswer(path, 500).cause, PortDiagnosis::Cause::NotSerial);

    // Whether the port refuses /dev/null at once or only nothing answers there, the box says
    // it is no serial device.
    Attempt attempt(path);
    QTRY_COMPARE(attempt.boxes.count(), 1);
    QCOMPARE(attempt.boxes.titles.first(), QStringLiteral("Error"));
    QVERIFY(attempt.boxes.texts.first() == kNoPort || attempt.boxes.texts.first() == kNoDevice);
    QCOMPARE(attempt.boxes.informativeTexts.first(), finding.text);
}

void TestPortDiagnosis::silentController()
{
    SimulatorProcess simulator;
    QVERIFY(simulator.start({QStringLiteral("--silent")}));
    Attempt attempt(simulator.terminal);
    QVERIFY(attempt.probe.serialPort()->isOpen());
    QTRY_COMPARE(attempt.boxes.count(), 1);
    QCOMPARE(attempt.boxes.titles.first(), QStringLiteral("Error"));
    QCOMPARE(attempt.boxes.texts.first(), kNoDevice);
    QCOMPARE(attempt.boxes.informativeTexts.first(),
             simulator.terminal +
                 QStringLiteral(" opened, but nothing answered \">inform\" within 0.5 s. Check "
                                "that the controller is switched on and that this is its port; a "
                                "different device or a wrong cable answers nothing the panel "
                                "understands."));
}

void TestPortDiagnosis::unpluggedController()
{
    SimulatorProcess simulator;
    QVERIFY(simulator.start({QStringLiteral("--hangup-after"), QStringLiteral("1.5")}));
    Attempt attempt(simulator.terminal);
    QVERIFY(attempt.probe.serialPort()->isOpen());
    QTRY_COMPARE_WITH_TIMEOUT(attempt.boxes.count(), 1, 5000);
    QCOMPARE(attempt.boxes.titles.first(), QStringLiteral("Critical Error"));
    const QString informative = attempt.boxes.informativeTexts.first();
    QVERIFY2(informative.startsWith(simulator.terminal +
                                    QLatin1String(" was removed or stopped answering.")),
             qPrintable(informative));
    QVERIFY2(informative.contains(QLatin1String("Connect again")), qPrintable(informative));
    QCOMPARE(attempt.probe.statusLabel()->text(), QStringLiteral("Disconnected"));
}

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsSet(kHoldPortVariable))
        return holdPort(argc, argv);
    QApplication app(argc, argv);
    TestPortDiagnosis test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_portdiagnosis.moc"
