#pragma once

#include <QJsonValue>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>

class ControlConnection;
class ControlDispatcher;
class ControlListener;
class Stage;

// The control socket: a local server that only the user who started the panel may reach. It
// accepts clients, hands their requests to the dispatcher and streams the panel's position,
// state and console to those who subscribed.
class ControlServer : public QObject {
    Q_OBJECT

public:
    // Clients served at once; more are refused as busy. A panel has a script or two and a
    // device server, not a crowd.
    static constexpr int kMaxClients = 64;

    explicit ControlServer(Stage *stage, QObject *parent = nullptr);
    ~ControlServer() override;

    // Listens on path (empty: the default path, whose private folder is made and checked). A
    // socket file left by a panel that died is replaced; a path another panel holds, that holds
    // something other than a socket, or that is too long is refused with a reason.
    bool listen(const QString &path, QString *error);
    bool isListening() const;
    // False while new clients are refused for want of file descriptors.
    bool isAccepting() const;
    QString path() const { return socketPath; }

    // $XDG_RUNTIME_DIR/mirastellon.sock, else mirastellon.sock in the private folder
    // mirastellon-UID of the temporary folder (SocketPath::defaultPath()).
    static QString defaultPath();

    ControlDispatcher *dispatcher() const { return commands; }
    // Sends an event line to every client subscribed to event.
    void publish(const QString &event, const QList<QPair<QString, QJsonValue>> &fields);
    int clientCount() const { return int(clients.size()); }

signals:
    // The socket can or cannot take new clients; reason, for a person, says why not. Already
    // said on standard error and to the clients subscribed to "error".
    void listeningChanged(bool listening, const QString &reason);

private:
    void acceptClient(int fd);
    void onAcceptingChanged(bool accepting, const QString &reason);
    void broadcast(const QString &event, const QByteArray &line);
    // Hears positions while a client subscribes to them, and only then.
    void followPositions();
    bool anySubscribed(const QString &event) const;

    Stage *stage = nullptr;
    ControlListener *listener = nullptr;
    ControlDispatcher *commands = nullptr;
    QList<ControlConnection *> clients;
    QMetaObject::Connection positions;
    QString socketPath;
};
