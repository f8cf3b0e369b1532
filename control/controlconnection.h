#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>

class ControlDispatcher;
class QLocalSocket;

// One client of the control socket. It cuts the input into request lines and runs them one at a
// time, in order: the next request waits until the one before has been answered, even when
// that answer comes later (a waiting move) or from inside an error box's event loop. Replies
// and subscribed events go out through a bounded buffer; a client that stops reading is dropped.
class ControlConnection : public QObject {
    Q_OBJECT

public:
    ControlConnection(QLocalSocket *socket, ControlDispatcher *dispatcher,
                      QObject *parent = nullptr);
    ~ControlConnection() override;

    bool isSubscribed(const QString &event) const { return subscriptions.contains(event); }
    bool hasSubscriptions() const { return !subscriptions.isEmpty(); }
    void setSubscriptions(const QSet<QString> &events);
    // An event line for a subscriber; dropped when the connection is closing.
    void sendEvent(const QByteArray &line);

signals:
    // The connection has ended and deletes itself later; forget it.
    void finished(ControlConnection *connection);

private:
    struct Pending {
        QByteArray line;
        // The client sent more than one request may hold: answer, then close.
        QString refusal;
    };

    void readInput();
    void pump();
    void schedulePump();
    void deliver(const QByteArray &line);
    void write(const QByteArray &bytes);
    void refuseAndClose(const QString &message);
    void onDisconnected();
    void end();

    QLocalSocket *socket = nullptr;
    // The server's children go in order of creation: the dispatcher may go first.
    QPointer<ControlDispatcher> dispatcher;
    QByteArray input;
    QList<Pending> queue;
    qint64 queuedBytes = 0;
    QSet<QString> subscriptions;
    // A request has been handed to the dispatcher and not yet answered.
    bool executing = false;
    bool pumping = false;
    bool pumpScheduled = false;
    // No more requests are read (after a refusal that closes the connection).
    bool inputClosed = false;
    bool closing = false;
    // Calls into the dispatcher on the stack: while any runs, the object must stay alive.
    int dispatchDepth = 0;
    bool endPending = false;
    bool ended = false;
};
