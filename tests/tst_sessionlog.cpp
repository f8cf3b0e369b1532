// The session log: JSON lines that keep the serial line's bytes exactly, rotation, the real
// panel's traffic in the order it happened, nothing written unless asked, a full file system
// reported once while the panel goes on, and every line written still there after SIGKILL.

#include "controlclient.h"
#include "fakecontroller.h"
#include "logline.h"
#include "messageboxwatcher.h"
#include "probe.h"
#include "rotatingfile.h"
#include "sessionlog.h"
#include "simulatorprocess.h"

#include <QAction>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QProcess>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <unistd.h>

namespace {

constexpr qint64 kUtcMs = 1796652202123; // 2026-12-07T14:03:22.123Z

QJsonObject parsed(const QByteArray &line)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(line, &error);
    return error.error == QJsonParseError::NoError ? document.object() : QJsonObject();
}

// Every line of a log file; an unreadable line gives an empty object.
QList<QJsonObject> readLog(const QString &path, bool *whole = nullptr)
{
    QFile file(path);
    QList<QJsonObject> lines;
    if (!file.open(QIODevice::ReadOnly))
        return lines;
    const QByteArray bytes = file.readAll();
    if (whole)
        *whole = bytes.isEmpty() || bytes.endsWith('\n');
    for (const QByteArray &line : bytes.split('\n')) {
        if (!line.isEmpty())
            lines.append(parsed(line));
    }
    return lines;
}

// "sent >inform\r", "event homed", ...: each line as kind and text, for comparing orders.
QStringList summary(const QList<QJsonObject> &lines)
{
    QStringList out;
    for (const QJsonObject &line : lines) {
        const QString kind = line.value(QLatin1String("kind")).toString();
        out << kind + QLatin1Char(' ') +
                   (kind == QLatin1String("event") ? line.value(QLatin1String("event")).toString()
                                                   : line.value(QLatin1String("text")).toString());
    }
    return out;
}

bool runQuietly(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    return process.waitForFinished(10000) && process.exitStatus() == QProcess::NormalExit &&
           process.exitCode() == 0;
}

// Whether the items appear in list in this order (others may come between).
bool inOrder(const QStringList &list, const QStringList &items)
{
    int at = 0;
    for (const QString &item : items) {
        at = list.indexOf(item, at);
        if (at < 0)
            return false;
        ++at;
    }
    return true;
}

} // namespace

class TestSessionLog : public QObject {
    Q_OBJECT

private slots:
    void linesAreJsonAndKeepTheBytes_data();
    void linesAreJsonAndKeepTheBytes();
    void rotatesAndKeepsTheNewestFiles();
    void continuesAnExistingFile();
    void panelLogsItsTrafficInOrder();
    void nothingIsWrittenUnlessAsked();
    void fullFileSystemIsReportedOnceAndThePanelGoesOn();
    void unwritableLogOnTheCommandLine();
    void everyLineSurvivesSigkill();
    void socketStartsAndStopsTheLog();
};

void TestSessionLog::linesAreJsonAndKeepTheBytes_data()
{
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("position") << QByteArray("_cp 12.500 um\r");
    QTest::newRow("move, no line end") << QByteArray(">ma 10000");
    QTest::newRow("quotes and backslash") << QByteArray("\"a\\b\"\r");
    QTest::newRow("controls and NUL") << QByteArray("\x00\x01\x1f\x7f\t\n\r", 7);
    QTest::newRow("bytes beyond ASCII") << QByteArray("\xb5m \xff\xc3\x28\x80");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("long noise") << QByteArray(4096, '\x9b');
}

void TestSessionLog::linesAreJsonAndKeepTheBytes()
{
    QFETCH(QByteArray, bytes);
    QByteArray out;
    LogLine::appendSent(out, kUtcMs, bytes);
    LogLine::appendReceived(out, kUtcMs + 1, bytes);
    QVERIFY(out.endsWith('\n'));
    const QList<QByteArray> lines = out.split('\n');
    QCOMPARE(lines.size(), 3); // two lines, nothing after the last line end
    const QJsonObject sent = parsed(lines.at(0));
    const QJsonObject received = parsed(lines.at(1));
    QCOMPARE(sent.value(QLatin1String("time_utc")).toString(),
             QStringLiteral("2026-12-07T14:03:22.123Z"));
    QCOMPARE(sent.value(QLatin1String("kind")).toString(), QStringLiteral("sent"));
    QCOMPARE(received.value(QLatin1String("time_utc")).toString(),
             QStringLiteral("2026-12-07T14:03:22.124Z"));
    QCOMPARE(received.value(QLatin1String("kind")).toString(), QStringLiteral("received"));
    // The bytes come back exactly, as a reader gets them with text.encode("latin-1").
    QCOMPARE(sent.value(QLatin1String("text")).toString().toLatin1(), bytes);
    QCOMPARE(received.value(QLatin1String("text")).toString().toLatin1(), bytes);

    // An event's text is text: UTF-8 stays as it is.
    out.clear();
    LogLine::appendEvent(out, kUtcMs,
                         PanelEvent{PanelEvent::Kind::Error,
                                    QStringLiteral("Target 9999 \u00b5m refused:\n\"beyond\""),
                                    PanelEvent::Source::Controller});
    const QJsonObject event = parsed(out);
    QCOMPARE(event.value(QLatin1String("event")).toString(), QStringLiteral("error"));
    QCOMPARE(event.value(QLatin1String("text")).toString(),
             QStringLiteral("Target 9999 \u00b5m refused:\n\"beyond\""));
    QCOMPARE(event.value(QLatin1String("source")).toString(), QStringLiteral("controller"));
    QCOMPARE(out.count('\n'), 1);
}

void TestSessionLog::rotatesAndKeepsTheNewestFiles()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("session.jsonl"));
    RotatingFile file;
    int preambles = 0;
    QString error;
    QVERIFY(file.open(
        path, 300, 3,
        [&preambles](bool rotated) {
            ++preambles;
            return rotated ? QByteArray("continued\n") : QByteArray("started\n");
        },
        &error));
    for (int i = 0; i < 100; ++i)
        QVERIFY(file.writeLines(QByteArray::number(i).rightJustified(20, '0') + '\n', &error));
    file.close();

    // PATH, PATH.1 and PATH.2; nothing older.
    QVERIFY(QFileInfo::exists(path));
    QVERIFY(QFileInfo::exists(RotatingFile::olderName(path, 1)));
    QVERIFY(QFileInfo::exists(RotatingFile::olderName(path, 2)));
    QVERIFY(!QFileInfo::exists(RotatingFile::olderName(path, 3)));
    // Each file within the limit, beginning with its preamble; together, the newest lines
    // without a gap.
    QList<int> numbers;
    for (const QString &name :
         {RotatingFile::olderName(path, 2), RotatingFile::olderName(path, 1), path}) {
        QFile part(name);
        QVERIFY(part.open(QIODevice::ReadOnly));
        const QByteArray bytes = part.readAll();
        QVERIFY(bytes.size() <= 300);
        QVERIFY(bytes.startsWith("continued\n"));
        for (const QByteArray &line : bytes.split('\n').mid(1)) {
            if (!line.isEmpty())
                numbers.append(line.toInt());
        }
    }
    QCOMPARE(numbers.last(), 99);
    for (int i = 1; i < numbers.size(); ++i)
        QCOMPARE(numbers.at(i), numbers.at(i - 1) + 1);
    QVERIFY(numbers.size() >= 25);
    QVERIFY(preambles > 3);
}

void TestSessionLog::continuesAnExistingFile()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("session.jsonl"));
    QFile old(path);
    QVERIFY(old.open(QIODevice::WriteOnly));
    old.write("yesterday\n");
    old.close();
    RotatingFile file;
    QString error;
    QVERIFY(file.open(
        path, 1000, 5, [](bool) { return QByteArray("started\n"); }, &error));
    QVERIFY(file.writeLines("today\n", &error));
    file.close();
    QVERIFY(old.open(QIODevice::ReadOnly));
    QCOMPARE(old.readAll(), QByteArray("yesterday\nstarted\ntoday\n"));
    old.close();

    // A file already at its limit is moved aside first.
    QVERIFY(file.open(
        path, 20, 5, [](bool) { return QByteArray("started\n"); }, &error));
    file.close();
    QVERIFY(old.open(QIODevice::ReadOnly));
    QCOMPARE(old.readAll(), QByteArray("started\n"));
    QFile aside(RotatingFile::olderName(path, 1));
    QVERIFY(aside.open(QIODevice::ReadOnly));
    QVERIFY(aside.readAll().startsWith("yesterday\n"));

    // Neither a folder nor a missing folder is a log.
    QVERIFY(!file.open(dir.path(), 1000, 5, {}, &error));
    QVERIFY2(error.contains(dir.path()), qPrintable(error));
    QVERIFY(!file.open(dir.filePath(QStringLiteral("missing/x.jsonl")), 1000, 5, {}, &error));
    QVERIFY2(error.startsWith(QStringLiteral("Cannot write ")), qPrintable(error));
}

void TestSessionLog::panelLogsItsTrafficInOrder()
{
    MessageBoxWatcher boxes;
    FakeController controller;
    Panel panel;
    panel.preselectPort(controller.portPath());
    MainWindowProbe probe(panel.window());
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("session.jsonl"));
    QString error;
    QVERIFY2(panel.startSessionLog(path, &error), qPrintable(error));
    QVERIFY(probe.link()->currentTap());

    probe.ui()->actionConnect->trigger();
    QVERIFY(controller.waitForReceived(">inform\r>status\r"));
    controller.send("_Ver 312 DVX1901\r");
    QTRY_VERIFY(!probe.controllerModel().isEmpty());
    probe.receive("_cp 1.500 um\r");
    QTRY_VERIFY_WITH_TIMEOUT(probe.ui()->pushButton_home->isEnabled(), 5000);
    QVERIFY(panel.session()->home(Mover::operatorMover()).ok());
    panel.sessionLog()->stop();
    QVERIFY(!probe.link()->currentTap());
    // Stopped: nothing more goes in.
    const qint64 size = QFileInfo(path).size();
    probe.receive("_cp 2.500 um\r");
    QVERIFY(panel.session()->stop(Mover::operatorMover()).ok());
    QCOMPARE(QFileInfo(path).size(), size);

    bool whole = false;
    const QList<QJsonObject> lines = readLog(path, &whole);
    QVERIFY(whole);
    for (const QJsonObject &line : lines)
        QVERIFY(!line.isEmpty() && line.value(QLatin1String("time_utc")).toString().endsWith('Z'));
    const QJsonObject first = lines.first();
    QCOMPARE(first.value(QLatin1String("kind")).toString(), QStringLiteral("log"));
    QCOMPARE(first.value(QLatin1String("text")).toString(), QStringLiteral("started"));
    QVERIFY(first.contains(QLatin1String("program")));
    const QStringList got = summary(lines);
    QVERIFY2(
        inOrder(got,
                {QStringLiteral("sent >inform\r"), QStringLiteral("sent >status\r"),
                 QStringLiteral("event connected"), QStringLiteral("received _Ver 312 DVX1901\r"),
                 QStringLiteral("event identified"), QStringLiteral("received _cp 1.500 um\r"),
                 QStringLiteral("sent >stop\r"), QStringLiteral("sent >home\r"),
                 QStringLiteral("event homed"), QStringLiteral("event note")}),
        qPrintable(got.join(QLatin1String(" | "))));
    QCOMPARE(got.last(), QStringLiteral("event note"));
    QCOMPARE(boxes.count(), 0);
}

void TestSessionLog::nothingIsWrittenUnlessAsked()
{
    QTemporaryDir dir;
    const QString before = QDir::currentPath();
    QDir::setCurrent(dir.path());
    {
        FakeController controller;
        Panel panel;
        panel.preselectPort(controller.portPath());
        MainWindowProbe probe(panel.window());
        QVERIFY(!panel.sessionLog()->isActive());
        QCOMPARE(probe.link()->currentTap(), nullptr);
        probe.ui()->actionConnect->trigger();
        QVERIFY(controller.waitForReceived(">inform\r"));
        controller.send("_Ver 312 DVX1901\r");
        QTRY_VERIFY(!probe.controllerModel().isEmpty());
        QCOMPARE(probe.link()->currentTap(), nullptr);
    }
    QDir::setCurrent(before);
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QStringList());

    // The menu entry is there, under File, unticked.
    Panel panel;
    auto *action = panel.window().findChild<QAction *>(QStringLiteral("actionSessionLog"));
    QVERIFY(action && action->isCheckable() && !action->isChecked());
    auto *file = panel.window().menuBar()->findChild<QMenu *>(QStringLiteral("menuFile"));
    QVERIFY(file && file->actions().contains(action));
    QString error;
    QVERIFY(panel.startSessionLog(dir.filePath(QStringLiteral("on.jsonl")), &error));
    QVERIFY(action->isChecked());
    panel.sessionLog()->stop();
    QVERIFY(!action->isChecked());
}

void TestSessionLog::fullFileSystemIsReportedOnceAndThePanelGoesOn()
{
    if (::geteuid() != 0)
        QSKIP("not root: no small tmpfs can be mounted to fill up");
    QTemporaryDir scratch;
    const QString point = scratch.filePath(QStringLiteral("full"));
    QVERIFY(QDir().mkpath(point));
    if (!runQuietly(QStringLiteral("mount"),
                    {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                     QStringLiteral("size=64k"), QStringLiteral("tmpfs"), point}))
        QSKIP("mount -t tmpfs failed (no CAP_SYS_ADMIN here?)");
    struct Unmount {
        QString point;
        ~Unmount()
        {
            if (!runQuietly(QStringLiteral("umount"), {point}))
                runQuietly(QStringLiteral("umount"), {QStringLiteral("-l"), point});
        }
    } unmount{point};

    MessageBoxWatcher boxes;
    FakeController controller;
    Panel panel;
    panel.preselectPort(controller.portPath());
    MainWindowProbe probe(panel.window());
    QSignalSpy failures(panel.sessionLog(), &SessionLog::failed);
    QSignalSpy events(panel.session(), &Stage::panelEvent);
    const QString path = QDir(point).filePath(QStringLiteral("session.jsonl"));
    QString error;
    QVERIFY(panel.startSessionLog(path, &error));
    probe.ui()->actionConnect->trigger();
    controller.send("_Ver 312 DVX1901\r");
    QTRY_VERIFY(!probe.controllerModel().isEmpty());

    // Far more than 64 KiB of replies: the disk fills on the way.
    for (int i = 0; i < 4000 && failures.isEmpty(); ++i)
        probe.receive(QByteArray("_cp ") + QByteArray::number(i) + ".000 um\r");
    QCOMPARE(failures.count(), 1);
    const QString message = failures.first().first().toString();
    QVERIFY2(message.startsWith(QStringLiteral("Session log stopped: Cannot write ")) &&
                 message.contains(QStringLiteral("No space left on device")),
             qPrintable(message));
    QVERIFY(!panel.sessionLog()->isActive());
    QCOMPARE(probe.link()->currentTap(), nullptr);
    // Said once: on the status bar and as an error event, and no box.
    int errors = 0;
    for (const QList<QVariant> &args : qAsConst(events)) {
        const auto event = args.first().value<PanelEvent>();
        errors += event.kind == PanelEvent::Kind::Error && event.text == message;
    }
    QCOMPARE(errors, 1);
    QVERIFY2(probe.notice().contains(QStringLiteral("Session log")), qPrintable(probe.notice()));
    QCOMPARE(boxes.count(), 0);

    // The panel goes on: replies are read and shown, and the file keeps whole lines.
    for (int i = 0; i < 100; ++i)
        probe.receive("_cp 7.000 um\r");
    QCOMPARE(failures.count(), 1);
    QCOMPARE(probe.currentPosition(), 7.0);
    QVERIFY(probe.serialPort()->isOpen());
    bool whole = false;
    const QList<QJsonObject> lines = readLog(path, &whole);
    QVERIFY(whole);
    QVERIFY(lines.size() > 100);
    for (const QJsonObject &line : lines)
        QVERIFY(!line.isEmpty());
}

void TestSessionLog::unwritableLogOnTheCommandLine()
{
    const QString program = QString::fromLocal8Bit(qgetenv("MIRASTELLON"));
    if (program.isEmpty())
        QSKIP("MIRASTELLON names no panel program");
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("no-such-folder/session.jsonl"));
    QProcess panel;
    panel.start(program, {QStringLiteral("--headless"), QStringLiteral("--log"), path});
    QVERIFY(panel.waitForStarted());
    // Reported on standard error, and the panel runs on.
    QByteArray err;
    QVERIFY(QTest::qWaitFor(
        [&] {
            err += panel.readAllStandardError();
            return err.contains("Session log") || panel.state() != QProcess::Running;
        },
        10000));
    QVERIFY2(err.contains("mirastellon: Session log not started: Cannot write ") &&
                 err.contains(path.toLocal8Bit()),
             err.constData());
    QTest::qWait(300);
    QCOMPARE(panel.state(), QProcess::Running);
    panel.terminate();
    QVERIFY(panel.waitForFinished(5000));
    QVERIFY(!QFileInfo::exists(path));
}

void TestSessionLog::everyLineSurvivesSigkill()
{
    const QString program = QString::fromLocal8Bit(qgetenv("MIRASTELLON"));
    if (program.isEmpty() || qEnvironmentVariableIsEmpty("DVXSIM"))
        QSKIP("MIRASTELLON or DVXSIM names no program");
    SimulatorProcess sim;
    QVERIFY(sim.start({QStringLiteral("--calibrated")}));
    QTemporaryDir dir;
    const QString log = dir.filePath(QStringLiteral("session.jsonl"));
    const QString socket = dir.filePath(QStringLiteral("panel.sock"));
    QProcess panel;
    panel.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    panel.start(program,
                {QStringLiteral("--headless"), QStringLiteral("--log"), log,
                 QStringLiteral("--control"), socket, QStringLiteral("--port"), sim.terminal});
    QVERIFY(panel.waitForStarted());
    QVERIFY(QTest::qWaitFor([&] { return QFileInfo::exists(socket); }, 10000));
    ControlClient client(socket);
    QVERIFY(client.connected());
    QJsonObject reply = client.request({{"id", 1}, {"cmd", "connect"}}, 15000);
    QVERIFY2(reply.value(QLatin1String("ok")).toBool(), QJsonDocument(reply).toJson().constData());
    QVERIFY(client.request({{"id", 2}, {"cmd", "home"}}).value(QLatin1String("ok")).toBool());
    // Mid-run: moves going on, the poll running. The last command the panel confirmed is
    // in the file by the time its reply came, because every line goes out as it is written.
    for (int i = 0; i < 20; ++i)
        client.request(
            {{"id", 10 + i}, {"cmd", "send"}, {"line", QStringLiteral(">mr %1").arg(i + 1)}});
    reply = client.request({{"id", 99}, {"cmd", "send"}, {"line", ">ma 4242"}});
    QVERIFY(reply.value(QLatin1String("ok")).toBool());
    ::kill(pid_t(panel.processId()), SIGKILL);
    QVERIFY(panel.waitForFinished(5000));
    QCOMPARE(panel.exitStatus(), QProcess::CrashExit);

    bool whole = false;
    const QList<QJsonObject> lines = readLog(log, &whole);
    QVERIFY(whole);
    QVERIFY(lines.size() > 30);
    for (const QJsonObject &line : lines)
        QVERIFY(!line.isEmpty());
    // A line sent from the socket goes as the console sends it, with its "\r".
    const QStringList got = summary(lines);
    QVERIFY2(got.contains(QStringLiteral("sent >ma 4242\r")),
             qPrintable(got.join(QLatin1String(" | "))));
    for (int i = 1; i <= 20; ++i)
        QVERIFY(got.contains(QStringLiteral("sent >mr %1\r").arg(i)));
    QVERIFY(got.contains(QStringLiteral("event homed")));
}

void TestSessionLog::socketStartsAndStopsTheLog()
{
    const QString ctl = QString::fromLocal8Bit(qgetenv("MIRASTELLON_CTL"));
    QTemporaryDir dir;
    Panel panel;
    QString error;
    const QString socket = dir.filePath(QStringLiteral("panel.sock"));
    QVERIFY(panel.startControlServer(socket, &error));
    ControlClient client(socket);
    QVERIFY(client.connected());

    const QString path = dir.filePath(QStringLiteral("script.jsonl"));
    QJsonObject reply =
        client.request({{"id", 1}, {"cmd", "log"}, {"action", "start"}, {"path", path}});
    QVERIFY(reply.value(QLatin1String("ok")).toBool());
    const QJsonObject result = reply.value(QLatin1String("result")).toObject();
    QCOMPARE(result.value(QLatin1String("logging")).toBool(), true);
    QCOMPARE(result.value(QLatin1String("path")).toString(), path);
    QVERIFY(panel.sessionLog()->isActive());

    // Refused: a relative path, an unknown action, a file that cannot be written.
    reply = client.request({{"id", 2}, {"cmd", "log"}, {"action", "start"}, {"path", "x.jsonl"}});
    QCOMPARE(ControlClient::errorCode(reply), QStringLiteral("bad_request"));
    reply = client.request({{"id", 3}, {"cmd", "log"}, {"action", "rotate"}});
    QCOMPARE(ControlClient::errorCode(reply), QStringLiteral("bad_request"));
    reply = client.request({{"id", 4}, {"cmd", "log"}, {"action", "stop"}, {"path", path}});
    QCOMPARE(ControlClient::errorCode(reply), QStringLiteral("bad_request"));
    reply = client.request({{"id", 5},
                            {"cmd", "log"},
                            {"action", "start"},
                            {"path", dir.filePath(QStringLiteral("missing/x.jsonl"))}});
    QCOMPARE(ControlClient::errorCode(reply), QStringLiteral("open_failed"));
    QVERIFY(!panel.sessionLog()->isActive());

    reply = client.request({{"id", 6}, {"cmd", "log"}, {"action", "stop"}});
    QVERIFY(reply.value(QLatin1String("ok")).toBool());
    QCOMPARE(reply.value(QLatin1String("result")).toObject().value(QLatin1String("logging")),
             QJsonValue(false));

    // mirastellon-ctl names the file from its own folder.
    if (ctl.isEmpty())
        QSKIP("MIRASTELLON_CTL names no mirastellon-ctl");
    QProcess run;
    run.setWorkingDirectory(dir.path());
    run.start(ctl, {QStringLiteral("--socket"), socket, QStringLiteral("log"),
                    QStringLiteral("start"), QStringLiteral("from-ctl.jsonl")});
    QVERIFY(QTest::qWaitFor([&] { return run.state() == QProcess::NotRunning; }, 10000));
    QCOMPARE(run.exitCode(), 0);
    QCOMPARE(panel.sessionLog()->path(), dir.filePath(QStringLiteral("from-ctl.jsonl")));
    run.start(ctl,
              {QStringLiteral("--socket"), socket, QStringLiteral("log"), QStringLiteral("stop")});
    QVERIFY(QTest::qWaitFor([&] { return run.state() == QProcess::NotRunning; }, 10000));
    QCOMPARE(run.exitCode(), 0);
    QVERIFY(!panel.sessionLog()->isActive());
    run.start(ctl,
              {QStringLiteral("--socket"), socket, QStringLiteral("log"), QStringLiteral("begin")});
    QVERIFY(QTest::qWaitFor([&] { return run.state() == QProcess::NotRunning; }, 10000));
    QCOMPARE(run.exitCode(), 2);
}

QTEST_MAIN(TestSessionLog)
#include "tst_sessionlog.moc"
