#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <sys/types.h>

class QSocketNotifier;
class QTimer;

// The listening end of the control socket, on a descriptor of its own. QLocalServer closes and
// removes its socket for good when one accept fails (as it does when the process runs out of
// file descriptors) and tells nobody; this one keeps the socket, says that it cannot take
// clients, refuses them with a line rather than leaving them hanging, and takes them again once
// descriptors are free. A lock file beside the socket holds the listening panel's process id, so
// of two panels started at once on one path exactly one listens.
class ControlListener : public QObject {
    Q_OBJECT

public:
    explicit ControlListener(QObject *parent = nullptr);
    ~ControlListener() override;

    // Listens on path (absolute). A socket file left by a panel that died is replaced; a path
    // another panel holds, that holds something other than a socket, or that is too long for a
    // socket address is refused with the reason in error.
    bool listen(const QString &path, QString *error);
    bool isListening() const { return listenFd >= 0; }
    // False while clients are refused for want of descriptors.
    bool isAccepting() const { return listenFd >= 0 && !starved; }
    QString path() const { return socketPath; }
    // The lock file beside the socket.
    static QString lockPathFor(const QString &socketPath);

    // Sends line to a client that will not be served and closes its descriptor.
    static void refuse(int fd, const QByteArray &line);

signals:
    // A connection from this user; the receiver owns fd (connected, non-blocking).
    void accepted(int fd);
    // Clients can or cannot be taken now; reason says why not.
    void acceptingChanged(bool accepting, const QString &reason);

private:
    bool lock(const QString &socketPath, QString *error);
    bool clearStaleSocket(const QString &path, QString *error);
    void acceptPending();
    void starve(int error);
    void refuseWaitingClients();
    void retry();
    void closeAll();

    int listenFd = -1;
    int lockFd = -1;
    // Kept open to be given up when descriptors run out, so one waiting client hears why.
    int spareFd = -1;
    QString socketPath;
    QString lockPath;
    dev_t socketDevice = 0;
    ino_t socketInode = 0;
    QSocketNotifier *notifier = nullptr;
    QTimer *retryTimer = nullptr;
    bool starved = false;
};
