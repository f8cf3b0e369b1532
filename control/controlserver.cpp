#include "controlserver.h"

#include "sequencecommands.h"

#include "controlconnection.h"
#include "controldispatcher.h"
#include "controllistener.h"
#include "controlprotocol.h"
#include "mainwindow.h"
#include "sequencecommands.h"
#include "socketpath.h"
#include "stage.h"

#include <QDateTime>
#include <QFileInfo>
#include <QLabel>
#include <QStatusBar>

#include <cstdio>

namespace {
// What the status bar has room for beside the connection text of a typical port name.
constexpr int kMaxLabelWidth = 190;
} // namespace

ControlServer::ControlServer(Stage *s, QObject *parent)
    : QObject(parent), stage(s), listener(new ControlListener(this)),
      commands(new ControlDispatcher(s, this))
{
    connect(listener, &ControlListener::accepted, this, &ControlServer::acceptClient);
    connect(listener, &ControlListener::acceptingChanged, this, &ControlServer::onAcceptingChanged);

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
                  ControlProtocol::eventLine(QStringLiteral("error"),
                                             {{QStringLiteral("message"), event.text}}));
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
    connect(client, &ControlConnection::finished, this,
            [this](ControlConnection *gone) { clients.removeOne(gone); });
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

ControlServer *startControlServer(MainWindow &window, const QString &path, QString *error)
{
    auto *server = new ControlServer(window.stage(), &window);
    if (!server->listen(path, error)) {
        delete server;
        return nullptr;
    }
    addSequenceCommands(*server, window.sequenceRunner());
    // The operator can always see that scripts may drive the panel, and when they cannot. The
    // window has a fixed width that the connection text mostly fills: a long path is shortened
    // in the middle, and the whole of it is in the tooltip.
    auto *label = new QLabel;
    label->setObjectName(QStringLiteral("controlStatusLabel"));
    const auto show = [label, server](bool listening, const QString &reason) {
        // Short enough to show whole: the reason and the path are in the tooltip.
        const QString text = listening ? QObject::tr("Control: %1").arg(server->path())
                                       : QObject::tr("Control: refusing clients");
        label->setToolTip(listening ? text : reason);
        label->setStyleSheet(listening ? QString() : QStringLiteral("color: red"));
        label->setText(listening
                           ? label->fontMetrics().elidedText(text, Qt::ElideMiddle, kMaxLabelWidth)
                           : text);
    };
    show(true, QString());
    QObject::connect(server, &ControlServer::listeningChanged, label, show);
    window.statusBar()->addPermanentWidget(label);
    return server;
}
