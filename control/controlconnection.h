#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>

class ControlDispatcher;
class QSocketNotifier;
class QTimer;

// One client of the control socket, on its descriptor. It cuts the input into request lines and
// runs them one at a time, in order: the next request waits until the one before has been
// answered, even when that answer comes later (a waiting move) or from inside an error box's
// event loop. A request that waited past its "deadline_ms" is answered "timeout" and not run, and
// nothing more is run once the client has gone. The end of the client's input is not the end of
// the connection (a client may shut down its sending side and wait): every request read is
// answered, then the connection closes. Replies and subscribed events go out through a buffer;
// a client that leaves too much of it unread is dropped.
class ControlConnection : public QObject {
    Q_OBJECT

public:
    // Takes over fd, a connected, non-blocking socket.
    ControlConnection(int fd, ControlDispatcher *dispatcher, QObject *parent = nullptr);
    ~ControlConnection() override;

    bool isSubscribed(const QString &event) const { return subscriptions.contains(event); }
    bool hasSubscriptions() const { return !subscriptions.isEmpty(); }
    void setSubscriptions(const QSet<QString> &events);
    // An event line for a subscriber; dropped when the connection is closing.
    void sendEvent(const QByteArray &line);

signals:
    // The connection has ended and deletes itself later; forget it.
    void finished(ControlConnection *connection);
    void subscriptionsChanged();

private:
    struct Pending {
        QByteArray line;
        // The client sent more than one request may hold: answer, then close.
        QString refusal;
        // When the panel read it, on the connection's clock.
        qint64 readMs = 0;
    };

    void readInput();
    void queueLine(const QByteArray &line);
    void refuseLater(const QString &message);
    void inputEnded();
    void pump();
    void schedulePump();
    void deliver(const QByteArray &line);
    void write(const QByteArray &bytes);
    void flushOutput();
    void refuseAndClose(const QString &message);
    // The client has closed its end altogether, not only its sending side.
    bool clientGone() const;
    void checkClientGone();
    void closeWhenDone();
    void onDisconnected();
    void end();

    int fd = -1;
    QSocketNotifier *reader = nullptr;
    QSocketNotifier *writer = nullptr;
    // After the client's input ended, whether it has gone is looked at now and then: no
    // notifier says so.
    QTimer *goneCheck = nullptr;
    QElapsedTimer clock;
    // The server's children go in order of creation: the dispatcher may go first.
    QPointer<ControlDispatcher> dispatcher;
    QByteArray input;
    QList<Pending> queue;
    qint64 queuedBytes = 0;
    // Lines not yet taken by the system; the first may be partly sent.
    QList<QByteArray> output;
    int outputOffset = 0;
    qint64 outputBytes = 0;
    QSet<QString> subscriptions;
    // A request has been handed to the dispatcher and not yet answered.
    bool executing = false;
    bool pumping = false;
    bool pumpScheduled = false;
    // No more requests are read (after a refusal that closes the connection, or at the end of
    // the client's input).
    bool inputClosed = false;
    // The client shut down its sending side: answer what was read, then close.
    bool inputFinished = false;
    // Nothing more is sent but what is already in the buffer.
    bool closing = false;
    // Calls into the dispatcher on the stack: while any runs, the object must stay alive.
    int dispatchDepth = 0;
    bool endPending = false;
    bool ended = false;
};
