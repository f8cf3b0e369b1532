// The control socket as a hostile local user and careless scripts meet it: who may listen and
// who may talk, paths that cannot work, clients beyond the bound and a process out of file
// descriptors, a reply larger than the unread-output limit, clients that half-close or vanish,
// requests past their deadline, exact ids, two panels on one path, and --reconnect. The cases
// that need a second user run where the test runs as root (as CI does) and are skipped, saying
// so, elsewhere.

#include "commandline.h"
#include "controlclient.h"
#include "controldispatcher.h"
#include "controllistener.h"
#include "controlserver.h"
#include "fakecontroller.h"
#include "mainwindow.h"
#include "panelclient.h"
#include "probe.h"
#include "scriptedstage.h"
#include "sequencecommands.h"
#include "sequencerunner.h"
#include "settingsdialog.h"
#include "socketpath.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QJsonArray>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QStandardPaths>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <grp.h>
#include <memory>
#include <poll.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr uid_t kOtherUid = 65534;
constexpr gid_t kOtherGid = 65534;

QJsonObject req(int id, const char *command, QJsonObject arguments = {})
{
    arguments.insert(QStringLiteral("id"), id);
    arguments.insert(QStringLiteral("cmd"), QLatin1String(command));
    return arguments;
}

QByteArray line(const QJsonObject &request)
{
    return QJsonDocument(request).toJson(QJsonDocument::Compact) + '\n';
}

QString messageOf(const QJsonObject &reply)
{
    return reply.value(QLatin1String("error"))
        .toObject()
        .value(QLatin1String("message"))
        .toString();
}

sockaddr_un addressOf(const QString &path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray name = QFile::encodeName(path);
    qstrncpy(address.sun_path, name.constData(), sizeof address.sun_path);
    return address;
}

int connectRaw(const QString &path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_un address = addressOf(path);
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void writeAll(int fd, const QByteArray &bytes)
{
    QCOMPARE(::write(fd, bytes.constData(), size_t(bytes.size())), ssize_t(bytes.size()));
}

// Everything a raw client receives until the panel closes the connection, while the panel's
// event loop runs; null when the connection is still open after timeoutMs.
QByteArray readToEnd(int fd, int timeoutMs = 10000)
{
    QByteArray received;
    bool ended = false;
    [[maybe_unused]] const bool done = QTest::qWaitFor(
        [&] {
            char chunk[65536];
            for (;;) {
                const ssize_t n = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
                if (n > 0) {
                    received.append(chunk, int(n));
                    continue;
                }
                ended = n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
                return ended;
            }
        },
        timeoutMs);
    return ended ? received : QByteArray();
}

QList<QJsonObject> linesOf(const QByteArray &bytes)
{
    QList<QJsonObject> objects;
    for (const QByteArray &text : bytes.split('\n')) {
        if (!text.isEmpty())
            objects.append(QJsonDocument::fromJson(text).object());
    }
    return objects;
}

bool runningAsRoot()
{
    return ::geteuid() == 0;
}

// Becomes the other user in a child process; only system calls from here on.
void becomeOtherUser()
{
    if (::setgroups(0, nullptr) != 0 || ::setgid(kOtherGid) != 0 || ::setuid(kOtherUid) != 0)
        ::_exit(3);
}

// Another user's process that got to the path first: it listens there, and whatever its
// clients send goes into a pipe the test reads.
class Squatter {
public:
    ~Squatter() { stop(); }

    bool start(const QString &path)
    {
        const sockaddr_un address = addressOf(path);
        int ready[2];
        int report[2];
        if (::pipe(ready) != 0 || ::pipe2(report, O_NONBLOCK) != 0)
            return false;
        pid = ::fork();
        if (pid == 0) {
            ::close(ready[0]);
            ::close(report[0]);
            becomeOtherUser();
            const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
            if (::bind(listener, reinterpret_cast<const sockaddr *>(&address), sizeof address) !=
                    0 ||
                ::listen(listener, 8) != 0)
                ::_exit(4);
            [[maybe_unused]] ssize_t n = ::write(ready[1], "r", 1);
            for (;;) {
                const int client = ::accept(listener, nullptr, nullptr);
                if (client < 0)
                    continue;
                char chunk[4096];
                ssize_t got;
                while ((got = ::read(client, chunk, sizeof chunk)) > 0)
                    n = ::write(report[1], chunk, size_t(got));
                ::close(client);
            }
        }
        ::close(ready[1]);
        ::close(report[1]);
        reportFd = report[0];
        char byte = 0;
        const bool started = ::read(ready[0], &byte, 1) == 1;
        ::close(ready[0]);
        return started;
    }

    // What its clients sent it so far.
    QByteArray received()
    {
        char chunk[4096];
        ssize_t n;
        while ((n = ::read(reportFd, chunk, sizeof chunk)) > 0)
            heard.append(chunk, int(n));
        return heard;
    }

    void stop()
    {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            pid = -1;
        }
        if (reportFd >= 0) {
            received();
            ::close(reportFd);
            reportFd = -1;
        }
    }

private:
    pid_t pid = -1;
    int reportFd = -1;
    QByteArray heard;
};

// A stage whose moves arrive on their own, a turn of the event loop after they are commanded,
// and which remembers every target it was sent.
class ArrivingStage : public ScriptedStage {
public:
    QList<double> targets;
    bool arrive = true;

    ArrivingStage()
    {
        now.connected = true;
        now.model = QStringLiteral("1901");
        now.firmware = QStringLiteral("3.12");
        now.homed = true;
    }

    CommandResult moveTo(double um, const Mover &) override
    {
        targets.append(um);
        if (arrive) {
            QMetaObject::invokeMethod(
                this,
                [this, um] {
                    for (int i = 0; i < Settling::kConsecutiveSamples; ++i)
                        report(um);
                },
                Qt::QueuedConnection);
        }
        return {};
    }
};

QString ctlProgram()
{
    return QString::fromLocal8Bit(qgetenv("MIRASTELLON_CTL"));
}

QString panelProgram()
{
    return QString::fromLocal8Bit(qgetenv("MIRASTELLON"));
}

struct Run {
    int exitCode = -1;
    QString out;
    QString err;
};

Run runProgram(const QString &program, const QStringList &arguments, const QByteArray &input = {},
               const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment())
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    Run run;
    if (!process.waitForStarted(5000))
        return run;
    process.write(input);
    process.closeWriteChannel();
    // The panel runs in this thread: wait without blocking it.
    [[maybe_unused]] const bool done =
        QTest::qWaitFor([&process] { return process.state() == QProcess::NotRunning; }, 20000);
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(2000);
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = QString::fromLocal8Bit(process.readAllStandardOutput());
    run.err = QString::fromLocal8Bit(process.readAllStandardError());
    return run;
}

// Sets an environment variable for one test and puts it back after.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char *name, const QByteArray &value)
        : variable(name), saved(qgetenv(name)), wasSet(qEnvironmentVariableIsSet(name))
    {
        if (value.isNull())
            qunsetenv(name);
        else
            qputenv(name, value);
    }
    ~ScopedEnvironment()
    {
        if (wasSet)
            qputenv(variable, saved);
        else
            qunsetenv(variable);
    }

private:
    const char *variable;
    QByteArray saved;
    bool wasSet;
};

QLabel *controlLabel(MainWindow &window)
{
    return window.statusBar()->findChild<QLabel *>(QStringLiteral("controlStatusLabel"));
}

int highestOpenDescriptor()
{
    int highest = 2;
    const QStringList names = QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files);
    for (const QString &name : names)
        highest = qMax(highest, name.toInt());
    return highest;
}

} // namespace

class TestControlSocket : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void defaultFolder_data();
    void defaultFolder();
    void pathTooLong();
    void otherUsersAreShutOut();
    void clientsRefuseASquatter_data();
    void clientsRefuseASquatter();

    void extraClientsAreBusy();
    void runningOutOfDescriptors();
    void longRunRepliesInFull();

    void halfClosedClients_data();
    void halfClosedClients();
    void requestsOfAGoneClientNeverStart();
    void requestsPastTheirDeadline();
    void deadlineBehindABox();
    void stoppedPanelNeverRunsWhatTheDeviceGaveUp();
    void exactIds_data();
    void exactIds();

    void lockedPathNamesItsHolder();
    void twoPanelsStartedTogether();
    void reconnectOption();

private:
    std::unique_ptr<QTemporaryDir> dir;
    QString path;
};

void TestControlSocket::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    path = dir->filePath(QStringLiteral("panel.sock"));
}

void TestControlSocket::cleanup()
{
    dir.reset();
}

void TestControlSocket::defaultFolder_data()
{
    // How the temporary folder's mirastellon-UID is found before the panel starts ("" for
    // nothing there), or what XDG_RUNTIME_DIR is; what the panel then says ("" when it listens).
    QTest::addColumn<QString>("found");
    QTest::addColumn<QString>("runtime");
    QTest::addColumn<QString>("refusal");

    QTest::newRow("made") << ""
                          << ""
                          << "";
    QTest::newRow("private") << "0700"
                             << ""
                             << "";
    QTest::newRow("group may enter") << "0750"
                                     << ""
                                     << "has mode 0750, not 0700";
    QTest::newRow("everyone may write") << "0777"
                                        << ""
                                        << "has mode 0777, not 0700";
    QTest::newRow("link") << "link"
                          << ""
                          << "is a symbolic link";
    QTest::newRow("file") << "file"
                          << ""
                          << "is not a folder";
    QTest::newRow("another user's") << "other"
                                    << ""
                                    << "belongs to user 65534";
    QTest::newRow("runtime folder") << ""
                                    << "private"
                                    << "";
    QTest::newRow("runtime folder open to all") << ""
                                                << "0755"
                                                << "other users can reach into it";
    QTest::newRow("runtime folder of another user") << ""
                                                    << "other"
                                                    << "belongs to user 65534, not to user";
    // A relative value is no folder: the temporary folder's private one is used.
    QTest::newRow("relative runtime folder") << ""
                                             << "relative"
                                             << "";
}

void TestControlSocket::defaultFolder()
{
    QFETCH(QString, found);
    QFETCH(QString, runtime);
    QFETCH(QString, refusal);
    if ((found == QLatin1String("other") || runtime == QLatin1String("other")) && !runningAsRoot())
        QSKIP("needs root to give a folder to another user (CI runs as root)");

    const ScopedEnvironment temporary("TMPDIR", QFile::encodeName(dir->path()));
    const QString folder = dir->filePath(QStringLiteral("mirastellon-%1").arg(::getuid()));
    const QByteArray name = QFile::encodeName(folder);
    if (found == QLatin1String("link")) {
        QVERIFY(QDir(dir->path()).mkdir(QStringLiteral("elsewhere")));
        ::chmod(QFile::encodeName(dir->filePath(QStringLiteral("elsewhere"))).constData(), 0700);
        QVERIFY(QFile::link(dir->filePath(QStringLiteral("elsewhere")), folder));
    } else if (found == QLatin1String("file")) {
        QFile file(folder);
        QVERIFY(file.open(QIODevice::WriteOnly));
    } else if (!found.isEmpty()) {
        QCOMPARE(::mkdir(name.constData(), 0700), 0);
        if (found == QLatin1String("other"))
            QCOMPARE(::chown(name.constData(), kOtherUid, kOtherGid), 0);
        else
            QCOMPARE(::chmod(name.constData(), found.toUInt(nullptr, 8)), 0);
    }

    QString expectedPath = folder + QStringLiteral("/mirastellon.sock");
    QByteArray runtimeValue;
    if (runtime == QLatin1String("relative")) {
        runtimeValue = "run/user";
    } else if (!runtime.isEmpty()) {
        const QString runtimeFolder = dir->filePath(QStringLiteral("run"));
        QVERIFY(QDir().mkdir(runtimeFolder));
        const QByteArray runtimeName = QFile::encodeName(runtimeFolder);
        QCOMPARE(::chmod(runtimeName.constData(), runtime == QLatin1String("0755") ? 0755 : 0700),
                 0);
        if (runtime == QLatin1String("other"))
            QCOMPARE(::chown(runtimeName.constData(), kOtherUid, kOtherGid), 0);
        runtimeValue = runtimeName;
        expectedPath = runtimeFolder + QStringLiteral("/mirastellon.sock");
    }
    const ScopedEnvironment session("XDG_RUNTIME_DIR", runtimeValue);
    QCOMPARE(ControlServer::defaultPath(), expectedPath);

    ScriptedStage stage;
    ControlServer server(&stage);
    QString error;
    const bool listening = server.listen(QString(), &error);
    if (refusal.isEmpty()) {
        QVERIFY2(listening, qPrintable(error));
        QCOMPARE(server.path(), expectedPath);
        if (runtime.isEmpty()) {
            struct stat info {};
            QCOMPARE(::lstat(name.constData(), &info), 0);
            QVERIFY(S_ISDIR(info.st_mode));
            QCOMPARE(int(info.st_mode & 07777), 0700);
        }
        // mirastellon-ctl finds the panel on the same default path.
        const Run ctl = runProgram(ctlProgram(), {QStringLiteral("state")});
        QCOMPARE(ctl.exitCode, 0);
        QVERIFY2(ctl.out.contains(QLatin1String("\"connected\":false")), qPrintable(ctl.out));
        return;
    }
    QVERIFY(!listening);
    QVERIFY2(error.contains(refusal), qPrintable(error));
    QVERIFY2(error.contains(runtime.isEmpty() ? folder : dir->filePath(QStringLiteral("run"))),
             qPrintable(error));
    QVERIFY(!QFileInfo::exists(expectedPath));
    // The client refuses the same folder with the same reason, before it connects anywhere.
    const Run ctl = runProgram(ctlProgram(), {QStringLiteral("state")});
    QCOMPARE(ctl.exitCode, 2);
    QVERIFY2(ctl.err.contains(refusal), qPrintable(ctl.err));
}

void TestControlSocket::pathTooLong()
{
    const QString longPath =
        dir->filePath(QString(120, QLatin1Char('s')) + QStringLiteral(".sock"));
    const QString limit = QString::number(SocketPath::maxPathBytes());
    ScriptedStage stage;
    ControlServer server(&stage);
    QString error;
    QVERIFY(!server.listen(longPath, &error));
    QVERIFY2(error.contains(QLatin1String("too long")), qPrintable(error));
    QVERIFY2(error.contains(QStringLiteral("at most %1").arg(limit)), qPrintable(error));
    QVERIFY(!QFileInfo::exists(longPath));

    const Run ctl = runProgram(ctlProgram(), {QStringLiteral("--socket"), longPath, "state"});
    QCOMPARE(ctl.exitCode, 2);
    QVERIFY2(ctl.err.contains(QLatin1String("too long")) && ctl.err.contains(limit),
             qPrintable(ctl.err));

    // The panel itself says so and exits with 2.
    const Run panel = runProgram(
        panelProgram(), {QStringLiteral("--headless"), QStringLiteral("--control"), longPath});
    QCOMPARE(panel.exitCode, 2);
    QVERIFY2(panel.err.contains(QLatin1String("too long")), qPrintable(panel.err));
}

void TestControlSocket::otherUsersAreShutOut()
{
    if (!runningAsRoot())
        QSKIP("needs root to connect as a second user (CI runs as root)");
    ScriptedStage stage;
    ControlServer server(&stage);
    QString error;
    QVERIFY2(server.listen(path, &error), qPrintable(error));
    // Even where the file system lets the other user reach the socket, the panel does not
    // serve it.
    QCOMPARE(::chmod(QFile::encodeName(dir->path()).constData(), 0777), 0);
    QCOMPARE(::chmod(QFile::encodeName(path).constData(), 0777), 0);

    const sockaddr_un address = addressOf(path);
    const QByteArray request = line(req(1, "state"));
    int report[2];
    QCOMPARE(::pipe(report), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(report[0]);
        becomeOtherUser();
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0)
            ::_exit(5);
        [[maybe_unused]] ssize_t n = ::write(fd, request.constData(), size_t(request.size()));
        pollfd watched{fd, POLLIN, 0};
        char chunk[4096];
        while (::poll(&watched, 1, 5000) > 0 && (n = ::read(fd, chunk, sizeof chunk)) > 0)
            n = ::write(report[1], chunk, size_t(n));
        ::_exit(0);
    }
    ::close(report[1]);
    int status = -1;
    bool exited = false;
    QTRY_VERIFY_WITH_TIMEOUT(exited || (exited = ::waitpid(child, &status, WNOHANG) == child),
                             10000);
    QVERIFY(WIFEXITED(status));
    QCOMPARE(WEXITSTATUS(status), 0);
    char chunk[4096];
    const ssize_t heard = ::read(report[0], chunk, sizeof chunk);
    ::close(report[0]);
    QCOMPARE(heard, ssize_t(0));
    QCOMPARE(server.clientCount(), 0);

    // The owner is served as ever.
    ControlClient owner(path);
    QVERIFY(owner.connected());
    QCOMPARE(owner.request(req(2, "state")).value(QLatin1String("ok")).toBool(), true);
}

void TestControlSocket::clientsRefuseASquatter_data()
{
    QTest::addColumn<QString>("client");
    // The socket file is handed to this user: only the listening process's user gives it away.
    QTest::addColumn<bool>("disguised");
    QTest::addColumn<QString>("reason");

    for (const char *client : {"mirastellon-ctl", "scan_positions.py", "PanelClient"}) {
        QTest::newRow(qPrintable(QStringLiteral("%1, another user's socket").arg(client)))
            << client << false << "belongs to user 65534";
        QTest::newRow(qPrintable(QStringLiteral("%1, socket handed over").arg(client)))
            << client << true << "served by a process of user 65534";
    }
}

void TestControlSocket::clientsRefuseASquatter()
{
    QFETCH(QString, client);
    QFETCH(bool, disguised);
    QFETCH(QString, reason);
    if (!runningAsRoot())
        QSKIP("needs root to listen as a second user (CI runs as root)");
    // A folder where anyone may make files, as the temporary folder is.
    QCOMPARE(::chmod(QFile::encodeName(dir->path()).constData(), 01777), 0);
    Squatter squatter;
    QVERIFY(squatter.start(path));
    if (disguised)
        QCOMPARE(::chown(QFile::encodeName(path).constData(), ::getuid(), ::getgid()), 0);

    if (client == QLatin1String("PanelClient")) {
        PanelClient panel(path, {}, {});
        PanelClient::Reply reply;
        QTRY_VERIFY_WITH_TIMEOUT(
            (reply = panel.request(QStringLiteral("state"), {}, 500)).message.contains(reason),
            5000);
        QCOMPARE(reply.code, QStringLiteral("unreachable"));
    } else {
        const Run run =
            client == QLatin1String("mirastellon-ctl")
                ? runProgram(ctlProgram(), {QStringLiteral("--socket"), path,
                                            QStringLiteral("send"), QStringLiteral(">ma 50")})
                : runProgram(QStringLiteral("python3"),
                             {QStringLiteral(MIRASTELLON_SOURCE_DIR "/examples/scan_positions.py"),
                              QStringLiteral("--socket"), path});
        QCOMPARE(run.exitCode, 2);
        QVERIFY2(run.err.contains(reason), qPrintable(run.err));
    }
    // Not one byte reached the other user's process.
    QTest::qWait(100);
    QCOMPARE(squatter.received(), QByteArray());
}

void TestControlSocket::extraClientsAreBusy()
{
    ScriptedStage stage;
    ControlServer server(&stage);
    QString error;
    QVERIFY2(server.listen(path, &error), qPrintable(error));
    std::vector<int> served;
    for (int i = 0; i < ControlServer::kMaxClients; ++i) {
        served.push_back(connectRaw(path));
        QVERIFY(served.back() >= 0);
        // Taken as they come, so that no connect waits for room in the backlog.
        QCoreApplication::processEvents();
    }
    QTRY_COMPARE(server.clientCount(), ControlServer::kMaxClients);

    // One more is told why and closed; the others go on.
    const int extra = connectRaw(path);
    QVERIFY(extra >= 0);
    const QList<QJsonObject> refusal = linesOf(readToEnd(extra));
    ::close(extra);
    QCOMPARE(refusal.size(), 1);
    QCOMPARE(ControlClient::errorCode(refusal.first()), QStringLiteral("busy"));
    QVERIFY(messageOf(refusal.first()).contains(QString::number(ControlServer::kMaxClients)));
    QCOMPARE(server.clientCount(), ControlServer::kMaxClients);

    writeAll(served.front(), line(req(1, "state")));
    ::shutdown(served.front(), SHUT_WR);
    QCOMPARE(linesOf(readToEnd(served.front())).value(0).value(QLatin1String("id")).toInt(), 1);
    for (int fd : served)
        ::close(fd);
    QTRY_COMPARE(server.clientCount(), 0);
    ControlClient after(path);
    QVERIFY(after.connected());
    QCOMPARE(after.request(req(2, "state")).value(QLatin1String("ok")).toBool(), true);
}

void TestControlSocket::runningOutOfDescriptors()
{
    Panel panel;
    MainWindow &window = panel.window();
    QString error;
    ControlServer *server = panel.startControlServer(path, &error);
    QVERIFY2(server, qPrintable(error));
    QLabel *label = controlLabel(window);
    QVERIFY(label);
    QCOMPARE(label->toolTip(), QStringLiteral("Control: ") + path);

    ControlClient subscriber(path);
    QVERIFY(subscriber.connected());
    QCOMPARE(subscriber
                 .request(req(1, "subscribe",
                              {{QStringLiteral("events"), QJsonArray{QStringLiteral("error")}}}))
                 .value(QLatin1String("ok"))
                 .toBool(),
             true);

    // Standard error goes to a file for the while.
    QTemporaryFile errors;
    QVERIFY(errors.open());
    const int savedStderr = ::dup(STDERR_FILENO);
    ::dup2(int(errors.handle()), STDERR_FILENO);

    // Clients made while descriptors are plenty connect once they are scarce: the panel has
    // two left for their connections, and then none.
    std::vector<int> clients;
    for (int i = 0; i < 8; ++i)
        clients.push_back(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int highest = highestOpenDescriptor();
    std::vector<int> fillers;
    for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0 && fd < highest;)
        fillers.push_back(fd);
    ::close(highest + 1);
    rlimit saved{};
    QCOMPARE(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit scarce = saved;
    scarce.rlim_cur = rlim_t(highest + 3);
    QCOMPARE(::setrlimit(RLIMIT_NOFILE, &scarce), 0);
    const sockaddr_un address = addressOf(path);
    for (int fd : clients)
        QCOMPARE(::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address), 0);

    // The operator sees it, scripts hear it, and standard error says it.
    QTRY_COMPARE(label->text(), QStringLiteral("Control: refusing clients"));
    QVERIFY2(label->toolTip().contains(QLatin1String("cannot take new clients")),
             qPrintable(label->toolTip()));
    const QJsonObject event = subscriber.nextLine();
    QCOMPARE(event.value(QLatin1String("event")).toString(), QStringLiteral("error"));
    QVERIFY(event.value(QLatin1String("message")).toString().contains(path));
    QVERIFY(!server->isAccepting());

    // Those that could not be taken were told so rather than left waiting.
    int busy = 0;
    for (int fd : clients) {
        char chunk[4096];
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (n > 0 &&
            ControlClient::errorCode(QJsonDocument::fromJson(QByteArray(chunk, int(n))).object()) ==
                QLatin1String("busy"))
            ++busy;
    }
    QVERIFY(busy > 0);

    // Descriptors come free as clients leave: the socket takes clients again, on the same path.
    for (int fd : clients)
        ::close(fd);
    QTRY_VERIFY_WITH_TIMEOUT(server->isAccepting(), 5000);
    QTRY_COMPARE(label->toolTip(), QStringLiteral("Control: ") + path);
    QVERIFY(label->text().startsWith(QLatin1String("Control: /")));
    const int again = connectRaw(path);
    QVERIFY(again >= 0);
    writeAll(again, line(req(2, "state")));
    ::shutdown(again, SHUT_WR);
    const QList<QJsonObject> replies = linesOf(readToEnd(again));
    ::close(again);
    QCOMPARE(::setrlimit(RLIMIT_NOFILE, &saved), 0);
    for (int fd : fillers)
        ::close(fd);

    ::dup2(savedStderr, STDERR_FILENO);
    ::close(savedStderr);
    QCOMPARE(replies.size(), 1);
    QCOMPARE(replies.first().value(QLatin1String("ok")).toBool(), true);
    errors.seek(0);
    const QString said = QString::fromLocal8Bit(errors.readAll());
    QVERIFY2(said.contains(QLatin1String("cannot take new clients")), qPrintable(said));
    QVERIFY2(said.contains(QLatin1String("takes clients again")), qPrintable(said));
}

void TestControlSocket::longRunRepliesInFull()
{
    ArrivingStage stage;
    ControlServer server(&stage);
    SequenceRunner runner(&stage);
    addSequenceCommands(server, &runner);
    QString error;
    QVERIFY2(server.listen(path, &error), qPrintable(error));

    // 100 positions, 1,000 times: 100,000 steps, a reply of over 10 MB. Under the sanitizers,
    // whose unwinding on every allocation makes a step cost milliseconds, 10,000 steps with
    // long labels make a reply of the same order.
#if defined(__SANITIZE_ADDRESS__)
    const int repeats = 100;
    const QString label(200, QLatin1Char('L'));
#else
    const int repeats = 1000;
    const QString label;
#endif
    QJsonArray steps;
    for (int i = 0; i < 100; ++i)
        steps.append(QJsonObject{{QStringLiteral("um"), i * 10}, {QStringLiteral("label"), label}});
    ControlClient client(path);
    QVERIFY(client.connected());
    client.send(req(1, "sequence_run",
                    {{QStringLiteral("steps"), steps}, {QStringLiteral("repeat"), repeats}}));
    // A real event loop: a step takes a turn of it, and the tests' polling waits would sleep
    // between turns.
    QEventLoop loop;
    connect(&client.socket, &QLocalSocket::readyRead, &loop, [&client, &loop] {
        if (client.socket.canReadLine())
            loop.quit();
    });
    connect(&client.socket, &QLocalSocket::disconnected, &loop, &QEventLoop::quit);
    QTimer::singleShot(240000, &loop, &QEventLoop::quit);
    loop.exec();
    const QJsonObject reply = client.nextReply(0);
    QVERIFY2(reply.value(QLatin1String("ok")).toBool(), qPrintable(messageOf(reply)));
    const QJsonArray log =
        reply.value(QLatin1String("result")).toObject().value(QLatin1String("log")).toArray();
    QCOMPARE(log.size(), 100 * repeats);
    // Well beyond what a client may leave unread.
    QVERIFY(QJsonDocument(log).toJson(QJsonDocument::Compact).size() >
            2 * ControlProtocol::kMaxPendingOutputBytes);
    QCOMPARE(log.last().toObject().value(QLatin1String("repeat")).toInt(), repeats);
    QCOMPARE(log.last().toObject().value(QLatin1String("settled_um")).toDouble(), 990.0);
    QCOMPARE(client.socket.state(), QLocalSocket::ConnectedState);
    QCOMPARE(client.request(req(2, "state")).value(QLatin1String("id")).toInt(), 2);
}

void TestControlSocket::halfClosedClients_data()
{
    // What the client sends before it shuts down its sending side, how, and the ids of the
    // replies it must get before the panel closes the connection.
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QString>("tool");
    QTest::addColumn<QList<int>>("ids");

    const QByteArray state = line(req(1, "state"));
    const QByteArray three = line(req(1, "state")) + line(req(2, "fly")) + line(req(3, "state"));
    const QByteArray waiting =
        line(req(1, "move_to", {{QStringLiteral("um"), 40}, {QStringLiteral("wait"), true}})) +
        line(req(2, "state"));
    for (const char *tool : {"shutdown", "socat", "nc -N"}) {
        QTest::newRow(qPrintable(QStringLiteral("%1: one request").arg(tool)))
            << state << tool << QList<int>{1};
        QTest::newRow(qPrintable(QStringLiteral("%1: three requests").arg(tool)))
            << three << tool << QList<int>{1, 2, 3};
        QTest::newRow(qPrintable(QStringLiteral("%1: waiting move").arg(tool)))
            << waiting << tool << QList<int>{1, 2};
    }
    // A last request without a line end is a request all the same.
    QTest::newRow("no line end") << QByteArray(R"({"id":7,"cmd":"state"})") << "shutdown"
                                 << QList<int>{7};
}

void TestControlSocket::halfClosedClients()
{
    QFETCH(QByteArray, input);
    QFETCH(QString, tool);
    QFETCH(QList<int>, ids);

    ArrivingStage stage;
    ControlServer server(&stage);
    QString error;
    QVERIFY2(server.listen(path, &error), qPrintable(error));

    QByteArray received;
    if (tool == QLatin1String("shutdown")) {
        const int fd = connectRaw(path);
        QVERIFY(fd >= 0);
        writeAll(fd, input);
        QCOMPARE(::shutdown(fd, SHUT_WR), 0);
        received = readToEnd(fd);
        ::close(fd);
    } else {
        // The tools scripts use from a shell; scripts/test.sh installs them.
        const QString program =
            tool == QLatin1String("socat") ? QStringLiteral("socat") : QStringLiteral("nc");
        if (QStandardPaths::findExecutable(program).isEmpty())
            QSKIP(qPrintable(program + QStringLiteral(" is not installed")));
        const QStringList arguments =
            tool == QLatin1String("socat")
                ? QStringList{QStringLiteral("-t"), QStringLiteral("30"), QStringLiteral("-"),
                              QStringLiteral("UNIX-CONNECT:") + path}
                : QStringList{QStringLiteral("-N"), QStringLiteral("-U"), path};
        const Run run = runProgram(program, arguments, input);
        QCOMPARE(run.exitCode, 0);
        received = run.out.toUtf8();
    }
    const QList<QJsonObject> replies = linesOf(received);
    QCOMPARE(replies.size(), ids.size());
    for (int i = 0; i < ids.size(); ++i)
        QCOMPARE(replies.at(i).value(QLatin1String("id")).toInt(), ids.at(i));
    if (input.contains("move_to")) {
        QCOMPARE(stage.targets, QList<double>{40.0});
        QCOMPARE(replies.first().value(QLatin1String("ok")).toBool(), true);
    }
    QTRY_COMPARE(server.clientCount(), 0);
}

void TestControlSocket::requestsOfAGoneClientNeverStart()
{
    ArrivingStage stage;
    stage.arrive = false;
    ControlServer server(&stage);
    QString error;
    QVERIFY2(server.listen(path, &error), qPrintable(error));

    // Written and gone before the panel looked: as to a panel that was stopped meanwhile.
    const int fd = connectRaw(path);
    QVERIFY(fd >= 0);
    writeAll(fd, line(req(1, "move_to", {{QStringLiteral("um"), 10}})) +
                     line(req(2, "move_by", {{QStringLiteral("um"), 5}})));
    ::close(fd);
    QTest::qWait(200);
    QCOMPARE(stage.targets, QList<double>());

    // Gone while its waiting move runs: the move it asked for happened, the rest does not.
    const int waiter = connectRaw(path);
    QVERIFY(waiter >= 0);
    writeAll(waiter,
             line(req(3, "move_to", {{QStringLiteral("um"), 20}, {QStringLiteral("wait"), true}})) +
                 line(req(4, "move_to", {{QStringLiteral("um"), 30}})));
    QTRY_COMPARE(stage.targets, QList<double>{20.0});
    QCOMPARE(::shutdown(waiter, SHUT_WR), 0);
    QTest::qWait(50);
    ::close(waiter);
    QTRY_COMPARE(server.clientCount(), 0);
    for (int i = 0; i < Settling::kConsecutiveSamples; ++i)
        stage.report(20.0);
    QTest::qWait(100);
    QCOMPARE(stage.targets, QList<double>{20.0});
    // The waiting move was the client's: once it has gone, others may move.
    ControlClient other(path);
    QVERIFY(other.connected());
    QCOMPARE(other.request(req(5, "move_to", {{QStringLiteral("um"), 1}}))
                 .value(QLatin1String("ok"))
                 .toBool(),
             true);
}

void TestControlSocket::requestsPastTheirDeadline()
{
    ArrivingStage stage;
    stage.arrive = false;
    ControlServer server(&stage);
    QString error;
    QVERIFY2(server.listen(path, &error), qPrintable(error));

    ControlClient client(path);
    QVERIFY(client.connected());
    client.sendRaw(
        line(req(1, "move_to", {{QStringLiteral("um"), 10}, {QStringLiteral("wait"), true}})) +
        line(req(2, "move_to", {{QStringLiteral("um"), 99}, {QStringLiteral("deadline_ms"), 50}})) +
        line(req(3, "state", {{QStringLiteral("deadline_ms"), 60000}})) +
        line(req(4, "state", {{QStringLiteral("deadline_ms"), -1}})));
    QTRY_COMPARE(stage.targets, QList<double>{10.0});
    // The waiting move takes longer than the second request's deadline.
    QTest::qWait(200);
    for (int i = 0; i < Settling::kConsecutiveSamples; ++i)
        stage.report(10.0);
    QCOMPARE(client.nextReply().value(QLatin1String("ok")).toBool(), true);
    const QJsonObject late = client.nextReply();
    QCOMPARE(late.value(QLatin1String("id")).toInt(), 2);
    QCOMPARE(ControlClient::errorCode(late), QStringLiteral("timeout"));
    QVERIFY2(messageOf(late).contains(QLatin1String("not run")), qPrintable(messageOf(late)));
    QCOMPARE(client.nextReply().value(QLatin1String("ok")).toBool(), true);
    const QJsonObject bad = client.nextReply();
    QCOMPARE(bad.value(QLatin1String("id")).toInt(), 4);
    QCOMPARE(ControlClient::errorCode(bad), QStringLiteral("bad_request"));
    // The late move never went out.
    QTest::qWait(50);
    QCOMPARE(stage.targets, QList<double>{10.0});
}

void TestControlSocket::deadlineBehindABox()
{
    Panel panel;
    QString error;
    QVERIFY2(panel.startControlServer(path, &error), qPrintable(error));
    ControlClient client(path);
    QVERIFY(client.connected());
    // The connect opens the error box; the next request of the same client waits behind it
    // until the operator closes it, longer than its deadline.
    bool closed = false;
    QTimer closer;
    closer.setInterval(20);
    QElapsedTimer open;
    connect(&closer, &QTimer::timeout, this, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        if (!open.isValid())
            open.start();
        if (open.elapsed() < 300)
            return;
        closer.stop();
        closed = true;
        box->done(QMessageBox::Ok);
    });
    closer.start();
    client.sendRaw(line(req(1, "connect",
                            {{QStringLiteral("port"), dir->filePath(QStringLiteral("no-tty"))}})) +
                   line(req(2, "stop", {{QStringLiteral("deadline_ms"), 100}})) +
                   line(req(3, "state", {{QStringLiteral("deadline_ms"), 60000}})));
    QCOMPARE(ControlClient::errorCode(client.nextReply()), QStringLiteral("open_failed"));
    QTRY_VERIFY_WITH_TIMEOUT(closed, 10000);
    const QJsonObject late = client.nextReply();
    QCOMPARE(late.value(QLatin1String("id")).toInt(), 2);
    QCOMPARE(ControlClient::errorCode(late), QStringLiteral("timeout"));
    QCOMPARE(client.nextReply().value(QLatin1String("id")).toInt(), 3);
}

void TestControlSocket::stoppedPanelNeverRunsWhatTheDeviceGaveUp()
{
    FakeController controller;
    QProcess panel;
    panel.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    panel.start(panelProgram(), {QStringLiteral("--headless"), QStringLiteral("--control"), path});
    QVERIFY(panel.waitForStarted(5000));
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(path), 10000);
    std::atomic<bool> linked{false};
    PanelClient device(path, {}, [&linked](bool up) { linked = up; });
    QTRY_VERIFY_WITH_TIMEOUT(linked, 5000);
    QCOMPARE(device.request(QStringLiteral("state")).ok, true);

    // The panel stops (a debugger, a stuck desktop); the device gives up on its request.
    ::kill(panel.processId(), SIGSTOP);
    const PanelClient::Reply reply = device.request(
        QStringLiteral("connect"), {{QStringLiteral("port"), controller.portPath()}}, 300);
    QCOMPARE(reply.code, QStringLiteral("timeout"));
    ::kill(panel.processId(), SIGCONT);
    // The panel goes on and reads the request, but its client has gone: the port stays shut.
    QTest::qWait(1000);
    QCOMPARE(controller.received(), QByteArray());
    // The device's new link works.
    QTRY_VERIFY_WITH_TIMEOUT(device.request(QStringLiteral("state")).ok, 5000);
    panel.terminate();
    QVERIFY(panel.waitForFinished(5000));
}

void TestControlSocket::exactIds_data()
{
    QTest::addColumn<QByteArray>("id");
    QTest::addColumn<QByteArray>("echoed");

    QTest::newRow("2^53 + 1") << QByteArray("9007199254740993") << QByteArray("9007199254740993");
    QTest::newRow("negative") << QByteArray("-9007199254740993") << QByteArray("-9007199254740993");
    QTest::newRow("beyond 64 bits") << QByteArray("123456789012345678901234567890")
                                    << QByteArray("123456789012345678901234567890");
    QTest::newRow("fraction") << QByteArray("0.10000000000000000001")
                              << QByteArray("0.10000000000000000001");
    QTest::newRow("exponent") << QByteArray("1E2") << QByteArray("1E2");
    QTest::newRow("negative zero") << QByteArray("-0") << QByteArray("-0");
    // Qt's parser takes it, JSON does not: it goes back as JSON writes that number.
    QTest::newRow("lenient number") << QByteArray(".5") << QByteArray("0.5");
    QTest::newRow("spaces around") << QByteArray(" 42 ") << QByteArray("42");
    QTest::newRow("string") << QByteArray("\"9007199254740993\"")
                            << QByteArray("\"9007199254740993\"");
    QTest::newRow("null") << QByteArray("null") << QByteArray("null");
}

void TestControlSocket::exactIds()
{
    QFETCH(QByteArray, id);
    QFETCH(QByteArray, echoed);
    ScriptedStage stage;
    ControlServer server(&stage);
    QString error;
    QVERIFY2(server.listen(path, &error), qPrintable(error));
    const int fd = connectRaw(path);
    QVERIFY(fd >= 0);
    // The id first, last, and written with an escaped key; a refused request keeps it too.
    writeAll(fd, "{\"id\":" + id + ",\"cmd\":\"state\"}\n" + "{\"cmd\":\"fly\",\"id\":" + id +
                     "}\n" + "{\"\\u0069d\":" + id + ",\"cmd\":\"state\"}\n");
    QByteArray received;
    QVERIFY(QTest::qWaitFor(
        [&] {
            char chunk[65536];
            const ssize_t n = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
            if (n > 0)
                received.append(chunk, int(n));
            return received.count('\n') >= 3;
        },
        5000));
    ::close(fd);
    const QList<QByteArray> replies = received.split('\n');
    QCOMPARE(replies.size(), 4);
    for (int i = 0; i < 3; ++i)
        QVERIFY2(replies.at(i).startsWith("{\"id\":" + echoed +
                                          ",\"ok\":" + (i == 1 ? "false" : "true")),
                 replies.at(i).constData());
}

void TestControlSocket::lockedPathNamesItsHolder()
{
    // A panel that has taken the path's lock and not yet made its socket.
    const QByteArray lockName = QFile::encodeName(ControlListener::lockPathFor(path));
    const int held = ::open(lockName.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    QVERIFY(held >= 0);
    QCOMPARE(::flock(held, LOCK_EX | LOCK_NB), 0);
    writeAll(held, "4242\n");

    ScriptedStage stage;
    ControlServer second(&stage);
    QString error;
    QVERIFY(!second.listen(path, &error));
    // The system's list of locks names the holder, whatever its file says.
    QCOMPARE(error, QStringLiteral("Another panel is already listening on %1 (process %2)")
                        .arg(path)
                        .arg(::getpid()));
    QVERIFY(!QFileInfo::exists(path));
    ::close(held);

    // Left behind by a panel that died, the lock file is no obstacle; the panel removes it
    // when it ends.
    {
        ControlServer third(&stage);
        QVERIFY2(third.listen(path, &error), qPrintable(error));
        QFile lock(QFile::decodeName(lockName));
        QVERIFY(lock.open(QIODevice::ReadOnly));
        QCOMPARE(lock.readAll().trimmed(), QByteArray::number(qint64(::getpid())));
    }
    QVERIFY(!QFileInfo::exists(path));
    QVERIFY(!QFile::exists(QFile::decodeName(lockName)));
}

void TestControlSocket::twoPanelsStartedTogether()
{
    for (int round = 0; round < 3; ++round) {
        QProcess first;
        QProcess second;
        const QStringList arguments{QStringLiteral("--headless"), QStringLiteral("--control"),
                                    path};
        first.start(panelProgram(), arguments);
        second.start(panelProgram(), arguments);
        QVERIFY(first.waitForStarted(5000) && second.waitForStarted(5000));
        // One of them gives up; the other stays.
        QTRY_VERIFY_WITH_TIMEOUT(
            first.state() == QProcess::NotRunning || second.state() == QProcess::NotRunning, 15000);
        QProcess &loser = first.state() == QProcess::NotRunning ? first : second;
        QProcess &winner = &loser == &first ? second : first;
        QTest::qWait(300);
        QCOMPARE(winner.state(), QProcess::Running);
        QCOMPARE(loser.exitCode(), 2);
        const QString said = QString::fromLocal8Bit(loser.readAllStandardError());
        QVERIFY2(said.contains(QStringLiteral("(process %1)").arg(winner.processId())),
                 qPrintable(said));
        // The winner is the one that answers.
        ControlClient client(path);
        QVERIFY(client.connected());
        QCOMPARE(client.request(req(1, "state")).value(QLatin1String("ok")).toBool(), true);
        // Ended as a service manager would: the next round finds what it left behind.
        winner.terminate();
        QVERIFY(winner.waitForFinished(5000));
    }
}

void TestControlSocket::reconnectOption()
{
    const CommandLineOptions options =
        parseCommandLine({QStringLiteral("mirastellon"), QStringLiteral("--headless"),
                          QStringLiteral("--reconnect")});
    QVERIFY2(options.error.isEmpty(), qPrintable(options.error));
    QVERIFY(options.reconnect);
    QVERIFY(!parseCommandLine({QStringLiteral("mirastellon")}).reconnect);
    QVERIFY(commandLineHelp().contains(QLatin1String("--reconnect")));

    Panel panel;
    MainWindow &window = panel.window();
    SettingsDialog *settings = MainWindowProbe(window).settingsDialog();
    QVERIFY(settings);
    QVERIFY(!settings->settings().reconnectAutomatically);
    panel.setReconnectAutomatically(true);
    QVERIFY(settings->settings().reconnectAutomatically);
    const auto boxes = settings->findChildren<QCheckBox *>();
    const auto box = std::find_if(boxes.cbegin(), boxes.cend(), [](const QCheckBox *candidate) {
        return candidate->text() == QLatin1String("Reconnect automatically");
    });
    QVERIFY(box != boxes.cend());
    QVERIFY((*box)->isChecked());
}

QTEST_MAIN(TestControlSocket)
#include "tst_controlsocket.moc"
