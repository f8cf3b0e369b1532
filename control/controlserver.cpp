#include "controlserver.h"

#include "controlconnection.h"
#include "controldispatcher.h"
#include "controllistener.h"
#include "controlprotocol.h"
#include "socketpath.h"
#include "stage.h"

#include <QDateTime>
#include <QFileInfo>

#include <cstdio>

namespace {
} // namespace

ControlServer::ControlServer(Stage *s, QObject *parent)
    : QObject(parent), stage(s), listener(new ControlListener(this)),
      commands(new ControlDispatcher(s, this))
{
    connect(listener, &ControlListener::accepted, this, &ControlServer::acceptClient);
    connect(listener, &ControlListener::acceptingChanged, this, &ControlServer::onAcceptingChanged);

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
    delete listener;
    listener = nullptr;
}

QString ControlServer::defaultPath()
{
    return SocketPath::defaultPath();
}

bool ControlServer::listen(const QString &requested, QString *error)
{
    if (requested.isEmpty()) {
        const QString problem = SocketPath::prepareDefaultFolder(SocketPath::FolderAction::Create);
        if (!problem.isEmpty()) {
            if (error)
                *error = problem;
            return false;
        }
    }
    const QString path =
        QFileInfo(requested.isEmpty() ? defaultPath() : requested).absoluteFilePath();
    if (!listener->listen(path, error))
        return false;
    socketPath = path;
    return true;
}

bool ControlServer::isListening() const
{
    return listener && listener->isListening();
}

bool ControlServer::isAccepting() const
{
    return listener && listener->isAccepting();
}

void ControlServer::acceptClient(int fd)
{
    if (clients.size() >= kMaxClients) {
        ControlListener::refuse(
            fd, ControlProtocol::errorReply(
                    QJsonValue(QJsonValue::Null), ControlProtocol::ErrorCode::Busy,
                    tr("The panel serves at most %1 clients at once; try again later")
                        .arg(kMaxClients)));
        return;
    }
    auto *client = new ControlConnection(fd, commands, this);
    clients.append(client);
    connect(client, &ControlConnection::finished, this, [this](ControlConnection *gone) {
        clients.removeOne(gone);
        followPositions();
    });
    connect(client, &ControlConnection::subscriptionsChanged, this,
            &ControlServer::followPositions);
}

void ControlServer::followPositions()
{
    // Every position line would pass through here: it is heard only while someone listens.
    const bool wanted = anySubscribed(QStringLiteral("position"));
    if (wanted == bool(positions))
        return;
    if (!wanted) {
        disconnect(positions);
        return;
    }
    positions = connect(stage, &Stage::positionReceived, this, [this](double positionUm) {
        const double t = double(QDateTime::currentMSecsSinceEpoch()) / 1000.0;
        broadcast(QStringLiteral("position"),
                  ControlProtocol::eventLine(
                      QStringLiteral("position"),
                      {{QStringLiteral("t"), t}, {QStringLiteral("um"), positionUm}}));
    });
}

void ControlServer::onAcceptingChanged(bool accepting, const QString &reason)
{
    if (accepting) {
        std::fprintf(stderr, "mirastellon: %s\n",
                     qPrintable(tr("The control socket %1 takes clients again").arg(socketPath)));
    } else {
        std::fprintf(stderr, "mirastellon: %s\n", qPrintable(reason));
        publish(QStringLiteral("error"), {{QStringLiteral("message"), reason}});
    }
    emit listeningChanged(accepting, reason);
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
