#pragma once

#include <QJsonValue>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>

class ControlConnection;
class ControlDispatcher;
class QLocalServer;
class Stage;

// The control socket: a local server that only the user who started the panel may reach. It
// accepts clients, hands their requests to the dispatcher and streams the panel's position,
// state and console to those who subscribed.
class ControlServer : public QObject {
    Q_OBJECT

public:
    explicit ControlServer(Stage *stage, QObject *parent = nullptr);
    ~ControlServer() override;

    // Listens on path. A socket file left by a panel that died is replaced; a path where a live
    // server answers, or that holds something other than a socket, is refused with a reason.
    bool listen(const QString &path, QString *error);
    bool isListening() const;
    QString path() const { return socketPath; }

    // $XDG_RUNTIME_DIR/mirastellon.sock, else mirastellon-UID.sock in the temporary folder.
    static QString defaultPath();

    ControlDispatcher *dispatcher() const { return commands; }
    // Sends an event line to every client subscribed to event.
    void publish(const QString &event, const QList<QPair<QString, QJsonValue>> &fields);
    int clientCount() const { return int(clients.size()); }

private:
    void acceptClients();
    void broadcast(const QString &event, const QByteArray &line);
    bool anySubscribed(const QString &event) const;

    Stage *stage = nullptr;
    QLocalServer *server = nullptr;
    ControlDispatcher *commands = nullptr;
    QList<ControlConnection *> clients;
    QString socketPath;
};
