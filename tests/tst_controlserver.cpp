// The control socket without a controller: who may connect, what happens to a path already in
// use, and hostile clients (garbage, floods of requests, overlong lines, clients that vanish or
// never read) against a real panel window.

#include "controlclient.h"
#include "controldispatcher.h"
#include "controlserver.h"
#include "messageboxwatcher.h"
#include "probe.h"

#include <QApplication>
#include <QFile>
#include <QJsonArray>
#include <QLabel>
#include <QMessageBox>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

QJsonObject req(int id, const char *command, QJsonObject arguments = {})
{
    arguments.insert(QStringLiteral("id"), id);
    arguments.insert(QStringLiteral("cmd"), QLatin1String(command));
    return arguments;
}

// Leaves a socket file behind as a panel that died would: bound, never unlinked, nobody listening.
bool leaveDeadSocket(const QString &path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray name = QFile::encodeName(path);
    qstrncpy(address.sun_path, name.constData(), sizeof(address.sun_path));
    const bool bound = ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0;
    ::close(fd);
    return bound;
}

// A client socket outside Qt, for a client that never reads.
int connectRaw(const QString &path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray name = QFile::encodeName(path);
    qstrncpy(address.sun_path, name.constData(), sizeof(address.sun_path));
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

class TestControlServer : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void onlyTheOwnerMayConnect();
    void defaultPathFollowsTheRuntimeFolder();
    void pathInUse();
    void notConnectedBeforeConnect();
    void badRequestsKeepTheirId();
    void thousandRequestsInOneWrite();
    void overlongLineClosesOnlyThatClient();
    void clientsThatVanishMidRequest();
    void fiftyClientsAtOnce();
    void nonReadingSubscriberIsDropped();
    void openFailureIsAnsweredWhileTheBoxIsOpen();
    void commandsCanBeAdded();

private:
    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<Panel> panel;
    MainWindow *window = nullptr;
    ControlServer *server = nullptr;
    QString path;
};

void TestControlServer::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    path = dir->filePath(QStringLiteral("panel.sock"));
    panel = std::make_unique<Panel>();
    window = &panel->window();
    QString error;
    server = panel->startControlServer(path, &error);
    QVERIFY2(server, qPrintable(error));
}

void TestControlServer::cleanup()
{
    panel.reset();
    window = nullptr;
    server = nullptr;
    // The socket file goes with the panel.
    QVERIFY(!QFile::exists(path));
    dir.reset();
}

void TestControlServer::onlyTheOwnerMayConnect()
{
    struct stat info {};
    QCOMPARE(::stat(QFile::encodeName(path).constData(), &info), 0);
    QVERIFY(S_ISSOCK(info.st_mode));
    QCOMPARE(info.st_uid, ::getuid());
    // Nobody but the owner may even open the socket.
    QCOMPARE(int(info.st_mode & 077), 0);
    // The operator can see that scripting is on.
    const auto labels = window->statusBar()->findChildren<QLabel *>();
    const auto label =
        std::find_if(labels.cbegin(), labels.cend(), [this](const QLabel *candidate) {
            return candidate->toolTip() == QStringLiteral("Control: ") + path;
        });
    QVERIFY(label != labels.cend());
    // A long path is shortened to fit beside the connection text; its end still shows.
    QVERIFY((*label)->text().startsWith(QLatin1String("Control: ")));
    QVERIFY((*label)->text().endsWith(QLatin1String("panel.sock")));
}

void TestControlServer::defaultPathFollowsTheRuntimeFolder()
{
    const QByteArray saved = qgetenv("XDG_RUNTIME_DIR");
    qputenv("XDG_RUNTIME_DIR", dir->path().toLocal8Bit());
    QCOMPARE(ControlServer::defaultPath(), dir->filePath(QStringLiteral("mirastellon.sock")));
    qunsetenv("XDG_RUNTIME_DIR");
    // Without it, a private folder of this user's in the temporary folder.
    QCOMPARE(ControlServer::defaultPath(),
             QDir::tempPath() + QStringLiteral("/mirastellon-%1/mirastellon.sock").arg(::getuid()));
    if (!saved.isNull())
        qputenv("XDG_RUNTIME_DIR", saved);
}

void TestControlServer::pathInUse()
{
    // A live panel keeps its path; the second is refused with the reason.
    {
        Panel secondPanel;
        QString error;
        QVERIFY(!secondPanel.startControlServer(path, &error));
        QVERIFY2(error.contains(QLatin1String("Another panel is already listening")),
                 qPrintable(error));
    }
    ControlClient client(path);
    QVERIFY(client.connected());
    QCOMPARE(client.request(req(1, "state")).value(QLatin1String("ok")).toBool(), true);

    // A socket file left by a panel that died is replaced.
    const QString stale = dir->filePath(QStringLiteral("stale.sock"));
    QVERIFY(leaveDeadSocket(stale));
    {
        Panel secondPanel;
        QString error;
        QVERIFY2(secondPanel.startControlServer(stale, &error), qPrintable(error));
        ControlClient other(stale);
        QVERIFY(other.connected());
        QCOMPARE(other.request(req(2, "state")).value(QLatin1String("id")).toInt(), 2);
    }

    // Anything else at the path is not the panel's to delete.
    const QString file = dir->filePath(QStringLiteral("notes.txt"));
    {
        QFile notes(file);
        QVERIFY(notes.open(QIODevice::WriteOnly));
        notes.write("keep me");
    }
    Panel thirdPanel;
    QString error;
    QVERIFY(!thirdPanel.startControlServer(file, &error));
    QVERIFY(error.contains(QLatin1String("not a socket")));
    QFile notes(file);
    QVERIFY(notes.open(QIODevice::ReadOnly));
    QCOMPARE(notes.readAll(), QByteArray("keep me"));
}

void TestControlServer::notConnectedBeforeConnect()
{
    ControlClient client(path);
    QVERIFY(client.connected());
    const QJsonObject state = client.request(req(1, "state"));
    QCOMPARE(state.value(QLatin1String("result")).toObject().value(QLatin1String("connected")),
             QJsonValue(false));
    QCOMPARE(state.value(QLatin1String("result")).toObject().value(QLatin1String("position_um")),
             QJsonValue(QJsonValue::Null));
    const QList<QJsonObject> refused{
        req(2, "home"),
        req(3, "stop"),
        req(4, "move_to", {{QStringLiteral("um"), 100}}),
        req(5, "move_by", {{QStringLiteral("um"), -5}, {QStringLiteral("wait"), true}}),
        req(6, "send", {{QStringLiteral("line"), QStringLiteral(">cp")}}),
        req(7, "disconnect"),
        req(8, "step", {{QStringLiteral("direction"), QStringLiteral("forward")}}),
        req(9, "open_loop", {{QStringLiteral("duration"), 100}}),
    };
    for (const QJsonObject &request : refused) {
        const QJsonObject reply = client.request(request);
        QCOMPARE(reply.value(QLatin1String("id")), request.value(QLatin1String("id")));
        QCOMPARE(ControlClient::errorCode(reply), QStringLiteral("not_connected"));
    }
    QVERIFY(!MainWindowProbe(*window).serialPort()->isOpen());
}

void TestControlServer::badRequestsKeepTheirId()
{
    ControlClient client(path);
    QVERIFY(client.connected());
    const QList<QJsonObject> bad{
        req(1, "fly"),
        req(2, "move_to"),
        req(3, "move_to", {{QStringLiteral("um"), QStringLiteral("100")}}),
        req(4, "move_to",
            {{QStringLiteral("um"), 1}, {QStringLiteral("wait"), QStringLiteral("yes")}}),
        req(5, "move_to", {{QStringLiteral("um"), 1}, {QStringLiteral("timeout_s"), -1}}),
        req(6, "step", {{QStringLiteral("direction"), QStringLiteral("up")}}),
        req(7, "open_loop", {{QStringLiteral("cycle"), 2.5}}),
        req(8, "subscribe", {{QStringLiteral("events"), QJsonArray{QStringLiteral("everything")}}}),
        req(9, "state", {{QStringLiteral("verbose"), true}}),
    };
    for (const QJsonObject &request : bad) {
        const QJsonObject reply = client.request(request);
        QCOMPARE(reply.value(QLatin1String("id")), request.value(QLatin1String("id")));
        QCOMPARE(ControlClient::errorCode(reply), QStringLiteral("bad_request"));
    }
    // Lines that are no request at all get a reply with a null id, and the connection lives on.
    const char hostile[] = "\x00\x01garbage\n{\"id\":5,\"cmd\":\n\xff\xfe\n[1,2]\n\n   \n";
    client.sendRaw(QByteArray(hostile, int(sizeof(hostile)) - 1));
    for (int i = 0; i < 4; ++i) {
        const QJsonObject reply = client.nextReply();
        QCOMPARE(reply.value(QLatin1String("id")), QJsonValue(QJsonValue::Null));
        QCOMPARE(ControlClient::errorCode(reply), QStringLiteral("bad_request"));
    }
    QCOMPARE(client.request(req(10, "state")).value(QLatin1String("id")).toInt(), 10);
}

void TestControlServer::thousandRequestsInOneWrite()
{
    ControlClient client(path);
    QVERIFY(client.connected());
    QByteArray batch;
    for (int i = 0; i < 1000; ++i)
        batch +=
            QJsonDocument(req(i, i % 2 ? "state" : "fly")).toJson(QJsonDocument::Compact) + '\n';
    client.sendRaw(batch);
    for (int i = 0; i < 1000; ++i) {
        const QJsonObject reply = client.nextReply();
        QCOMPARE(reply.value(QLatin1String("id")).toInt(-1), i);
        QCOMPARE(reply.value(QLatin1String("ok")).toBool(), i % 2 == 1);
    }
}

void TestControlServer::overlongLineClosesOnlyThatClient()
{
    ControlClient bystander(path);
    ControlClient hostile(path);
    QVERIFY(bystander.connected() && hostile.connected());
    // Requests before the long line are still answered, in order.
    hostile.send(req(1, "state"));
    hostile.sendRaw(QByteArray(ControlProtocol::kMaxRequestBytes + 100, 'x'));
    QCOMPARE(hostile.nextReply().value(QLatin1String("id")).toInt(), 1);
    QCOMPARE(ControlClient::errorCode(hostile.nextReply()), QStringLiteral("bad_request"));
    QVERIFY(hostile.closedByPanel());
    QCOMPARE(bystander.request(req(2, "state")).value(QLatin1String("ok")).toBool(), true);
    QTRY_COMPARE(server->clientCount(), 1);
}

void TestControlServer::clientsThatVanishMidRequest()
{
    {
        ControlClient client(path);
        QVERIFY(client.connected());
        client.sendRaw(R"({"id":1,"cmd":"sta)");
        QTRY_COMPARE(server->clientCount(), 1);
        client.socket.abort();
    }
    {
        // Gone with requests written but not yet answered.
        ControlClient client(path);
        QVERIFY(client.connected());
        QByteArray batch;
        for (int i = 0; i < 200; ++i)
            batch += R"({"id":1,"cmd":"state"})"
                     "\n";
        client.sendRaw(batch);
        client.socket.flush();
        client.socket.abort();
    }
    QTRY_COMPARE(server->clientCount(), 0);
    ControlClient after(path);
    QVERIFY(after.connected());
    QCOMPARE(after.request(req(3, "state")).value(QLatin1String("id")).toInt(), 3);
}

void TestControlServer::fiftyClientsAtOnce()
{
    std::vector<std::unique_ptr<ControlClient>> clients;
    for (int i = 0; i < 50; ++i)
        clients.push_back(std::make_unique<ControlClient>(path));
    for (auto &client : clients)
        QVERIFY(client->connected());
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 50; ++i)
            clients[size_t(i)]->send(req(i * 10 + round, "state"));
    }
    for (int i = 0; i < 50; ++i) {
        for (int round = 0; round < 3; ++round)
            QCOMPARE(clients[size_t(i)]->nextReply().value(QLatin1String("id")).toInt(),
                     i * 10 + round);
    }
    QCOMPARE(server->clientCount(), 50);
}

void TestControlServer::nonReadingSubscriberIsDropped()
{
    ControlClient reader(path);
    QVERIFY(reader.connected());
    const QJsonObject positions{{QStringLiteral("events"), QJsonArray{QStringLiteral("position")}}};
    QCOMPARE(reader.request(req(1, "subscribe", positions)).value(QLatin1String("ok")).toBool(),
             true);
    // The sleeper subscribes and then never reads again: a plain socket nobody reads from.
    const int sleeper = connectRaw(path);
    QVERIFY(sleeper >= 0);
    const QByteArray subscribe = R"({"id":1,"cmd":"subscribe","events":["position"]})"
                                 "\n";
    QCOMPARE(::write(sleeper, subscribe.constData(), size_t(subscribe.size())),
             ssize_t(subscribe.size()));
    QTRY_COMPARE(server->clientCount(), 2);
    QTest::qWait(50);

    Stage *stage = window->session();
    int received = 0;
    for (int burst = 0; burst < 200 && server->clientCount() == 2; ++burst) {
        for (int i = 0; i < 1000; ++i)
            emit stage->positionReceived(1000.0 + i, PositionSource::Fast);
        // The reader keeps up.
        QTest::qWait(1);
        received += int(reader.socket.readAll().count('\n'));
    }
    QTRY_COMPARE(server->clientCount(), 1);
    char byte = 0;
    // The panel has closed the sleeper's end: after what was queued, it reads end of file.
    ssize_t got = 0;
    while ((got = ::read(sleeper, &byte, 1)) > 0) {
    }
    QCOMPARE(got, ssize_t(0));
    ::close(sleeper);
    QCOMPARE(reader.socket.state(), QLocalSocket::ConnectedState);
    // The flood is over: once the reader has drained it, its next line is a reply again.
    while (QTest::qWaitFor([&reader] { return reader.socket.bytesAvailable() > 0; }, 200))
        received += int(reader.socket.readAll().count('\n'));
    QCOMPARE(reader.request(req(2, "state")).value(QLatin1String("id")).toInt(), 2);
    QVERIFY(received > 0);
}

void TestControlServer::openFailureIsAnsweredWhileTheBoxIsOpen()
{
    ControlClient client(path);
    ControlClient other(path);
    QVERIFY(client.connected() && other.connected());
    // The box's event loop runs inside the panel's handling of the request, which runs inside
    // this test's wait: what happens while it is open is checked from a timer in that loop.
    QJsonObject reply;
    QJsonObject otherState;
    QJsonObject otherConnect;
    bool secondBox = false;
    bool checked = false;
    QTimer whileOpen;
    whileOpen.setInterval(10);
    connect(&whileOpen, &QTimer::timeout, this, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || checked)
            return;
        checked = true;
        whileOpen.stop();
        reply = client.nextReply();
        otherState = other.request(req(2, "state"));
        // Another connect while the box waits for the operator opens no second box.
        otherConnect = other.request(req(3, "connect"));
        secondBox = QApplication::activeModalWidget() != box;
        // The client's next request waits until its connect has returned.
        client.send(req(4, "state"));
        box->done(QMessageBox::Ok);
    });
    whileOpen.start();
    client.send(req(1, "connect",
                    {{QStringLiteral("port"), dir->filePath(QStringLiteral("no-such-tty"))}}));
    QTRY_VERIFY(checked);
    QCOMPARE(ControlClient::errorCode(reply), QStringLiteral("open_failed"));
    QVERIFY(reply.value(QLatin1String("error"))
                .toObject()
                .value(QLatin1String("message"))
                .toString()
                .contains(QLatin1String("No COM-Port found")));
    QCOMPARE(otherState.value(QLatin1String("ok")).toBool(), true);
    QCOMPARE(ControlClient::errorCode(otherConnect), QStringLiteral("busy"));
    QVERIFY(!secondBox);
    QCOMPARE(client.nextReply().value(QLatin1String("id")).toInt(), 4);
    QCOMPARE(MainWindowProbe(*window).statusLabel()->text(), QStringLiteral("Open error"));
}

void TestControlServer::commandsCanBeAdded()
{
    server->dispatcher()->addCommand(QStringLiteral("echo"), [](ControlCall &call) {
        const QString text = call.arguments.string(QStringLiteral("text"));
        if (!call.arguments.finish()) {
            call.reply.fail(ControlProtocol::ErrorCode::BadRequest, call.arguments.error());
            return;
        }
        call.reply.ok({{QStringLiteral("text"), text}});
    });
    ControlClient client(path);
    QVERIFY(client.connected());
    const QJsonObject reply =
        client.request(req(1, "echo", {{QStringLiteral("text"), QStringLiteral("hi")}}));
    QCOMPARE(
        reply.value(QLatin1String("result")).toObject().value(QLatin1String("text")).toString(),
        QStringLiteral("hi"));
}

QTEST_MAIN(TestControlServer)
#include "tst_controlserver.moc"
