#include "controlserver.h"

#include "controlconnection.h"
#include "controldispatcher.h"
#include "controlprotocol.h"
#include "stage.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>

#include <sys/stat.h>
#include <unistd.h>

namespace {
// Long enough for a live panel on a loaded machine to accept; a dead socket file refuses at once.
constexpr int kProbeTimeoutMs = 1000;
} // namespace

ControlServer::ControlServer(Stage *s, QObject *parent)
    : QObject(parent), stage(s), server(new QLocalServer(this)),
      commands(new ControlDispatcher(s, this))
{
    server->setSocketOptions(QLocalServer::UserAccessOption);
    connect(server, &QLocalServer::newConnection, this, &ControlServer::acceptClients);

    connect(stage, &Stage::positionReceived, this, [this](double positionUm, PositionSource) {
        if (!anySubscribed(QStringLiteral("position")))
            return;
        const double t = double(QDateTime::currentMSecsSinceEpoch()) / 1000.0;
        broadcast(QStringLiteral("position"),
                  ControlProtocol::eventLine(
                      QStringLiteral("position"),
                      {{QStringLiteral("t"), t}, {QStringLiteral("um"), positionUm}}));
    });
    connect(stage, &Stage::stateChanged, this, [this] {
        if (!anySubscribed(QStringLiteral("state")))
            return;
        broadcast(QStringLiteral("state"),
                  ControlProtocol::eventLine(QStringLiteral("state"),
                                             ControlProtocol::stateFields(stage->state())));
    });
    // What the operator is shown in an error box (or, headless, on standard error).
    connect(stage, &Stage::panelEvent, this, [this](const PanelEvent &event) {
        if (event.kind != PanelEvent::Kind::Error || !anySubscribed(QStringLiteral("error")))
            return;
        broadcast(QStringLiteral("error"),
                  ControlProtocol::eventLine(
                      QStringLiteral("error"),
                      {{QStringLiteral("message"), event.text},
                       {QStringLiteral("source"), panelEventSourceName(event.source)}}));
    });
    connect(stage, &Stage::consoleShown, this, [this](const QString &text) {
        if (!anySubscribed(QStringLiteral("console")))
            return;
        broadcast(QStringLiteral("console"),
                  ControlProtocol::eventLine(QStringLiteral("console"),
                                             {{QStringLiteral("text"), text}}));
    });
}

void ControlServer::publish(const QString &event, const QList<QPair<QString, QJsonValue>> &fields)
{
    if (anySubscribed(event))
        broadcast(event, ControlProtocol::eventLine(event, fields));
}

ControlServer::~ControlServer()
{
    // Connections end with the server; the socket file goes with the listening socket.
    const QList<ControlConnection *> remaining = clients;
    clients.clear();
    for (ControlConnection *client : remaining) {
        client->disconnect(this);
        delete client;
    }
    server->close();
}

QString ControlServer::defaultPath()
{
    const QString runtime = QString::fromLocal8Bit(qgetenv("XDG_RUNTIME_DIR"));
    if (!runtime.isEmpty())
        return QDir(runtime).filePath(QStringLiteral("mirastellon.sock"));
    return QDir(QDir::tempPath())
        .filePath(QStringLiteral("mirastellon-%1.sock").arg(quint64(::getuid())));
}

bool ControlServer::listen(const QString &requested, QString *error)
{
    const QString path =
        QFileInfo(requested.isEmpty() ? defaultPath() : requested).absoluteFilePath();
    const auto fail = [error](const QString &message) {
        if (error)
            *error = message;
        return false;
    };

    struct stat info {};
    if (::lstat(QFile::encodeName(path).constData(), &info) == 0) {
        if (!S_ISSOCK(info.st_mode))
            return fail(tr("%1 exists and is not a socket; not replacing it").arg(path));
        QLocalSocket probe;
        probe.connectToServer(path);
        if (probe.waitForConnected(kProbeTimeoutMs)) {
            probe.abort();
            return fail(tr("Another panel is already listening on %1").arg(path));
        }
        // Nobody answers: a panel that died left it behind.
        QLocalServer::removeServer(path);
    }
    if (!server->listen(path))
        return fail(tr("Cannot listen on %1: %2").arg(path, server->errorString()));
    socketPath = path;
    return true;
}

bool ControlServer::isListening() const
{
    return server->isListening();
}

void ControlServer::acceptClients()
{
    while (QLocalSocket *socket = server->nextPendingConnection()) {
        auto *client = new ControlConnection(socket, commands, this);
        clients.append(client);
        connect(client, &ControlConnection::finished, this,
                [this](ControlConnection *gone) { clients.removeOne(gone); });
    }
}

bool ControlServer::anySubscribed(const QString &event) const
{
    for (const ControlConnection *client : clients) {
        if (client->isSubscribed(event))
            return true;
    }
    return false;
}

void ControlServer::broadcast(const QString &event, const QByteArray &line)
{
    // A client dropped for its unread output leaves the list while it is walked: walk a copy.
    const QList<ControlConnection *> now = clients;
    for (ControlConnection *client : now) {
        if (client->isSubscribed(event))
            client->sendEvent(line);
    }
}
