#include "controlconnection.h"

#include "controldispatcher.h"
#include "controlprotocol.h"

#include <QLocalSocket>
#include <QPointer>

namespace {
// Requests run per turn of the event loop: 1,000 requests in one write are answered without
// holding the panel for the whole batch.
constexpr int kRequestsPerTurn = 32;
// Requests waiting behind a slow one (a waiting move) may fill this much before the client is
// refused; the same bound as for its unread output.
constexpr qint64 kMaxQueuedBytes = ControlProtocol::kMaxPendingOutputBytes;
} // namespace

ControlConnection::ControlConnection(QLocalSocket *s, ControlDispatcher *d, QObject *parent)
    : QObject(parent), socket(s), dispatcher(d)
{
    socket->setParent(this);
    connect(socket, &QLocalSocket::readyRead, this, &ControlConnection::readInput);
    connect(socket, &QLocalSocket::disconnected, this, &ControlConnection::onDisconnected);
    // Bytes may have arrived before the signals were connected.
    QMetaObject::invokeMethod(this, &ControlConnection::readInput, Qt::QueuedConnection);
}

ControlConnection::~ControlConnection()
{
    if (!ended && dispatcher)
        dispatcher->clientGone(this);
}

void ControlConnection::setSubscriptions(const QSet<QString> &events)
{
    subscriptions = events;
}

void ControlConnection::sendEvent(const QByteArray &line)
{
    if (!closing)
        write(line);
}

void ControlConnection::readInput()
{
    if (ended)
        return;
    const QByteArray received = socket->readAll();
    if (inputClosed || closing)
        return;
    input.append(received);
    int start = 0;
    int end = 0;
    while ((end = input.indexOf('\n', start)) != -1) {
        const int length = end - start;
        if (length > ControlProtocol::kMaxRequestBytes) {
            queue.append({{},
                          tr("The request is longer than %1 bytes; closing the connection")
                              .arg(ControlProtocol::kMaxRequestBytes)});
            inputClosed = true;
            break;
        }
        const QByteArray line = input.mid(start, length);
        start = end + 1;
        if (ControlProtocol::isBlank(line))
            continue;
        queuedBytes += line.size();
        if (queuedBytes > kMaxQueuedBytes) {
            queue.append({{}, tr("Too many requests are waiting; closing the connection")});
            inputClosed = true;
            break;
        }
        queue.append({line, {}});
    }
    if (inputClosed) {
        input.clear();
    } else {
        input.remove(0, start);
        if (input.size() > ControlProtocol::kMaxRequestBytes) {
            queue.append({{},
                          tr("The request is longer than %1 bytes; closing the connection")
                              .arg(ControlProtocol::kMaxRequestBytes)});
            inputClosed = true;
            input.clear();
        }
    }
    pump();
}

void ControlConnection::schedulePump()
{
    if (pumpScheduled)
        return;
    pumpScheduled = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            pumpScheduled = false;
            pump();
        },
        Qt::QueuedConnection);
}

void ControlConnection::pump()
{
    // A request runs from inside the loop below; one that opens an error box comes back here
    // through the box's event loop, and must not start the next request of this client.
    if (pumping)
        return;
    pumping = true;
    int budget = kRequestsPerTurn;
    while (!executing && !closing && !queue.isEmpty()) {
        if (budget-- == 0) {
            schedulePump();
            break;
        }
        const Pending next = queue.takeFirst();
        if (!next.refusal.isEmpty()) {
            refuseAndClose(next.refusal);
            break;
        }
        queuedBytes -= next.line.size();
        if (!dispatcher)
            break;
        executing = true;
        const QPointer<ControlConnection> self(this);
        ++dispatchDepth;
        dispatcher->dispatch(
            next.line,
            [self](const QByteArray &reply) {
                if (self)
                    self->deliver(reply);
            },
            this);
        --dispatchDepth;
        if (endPending && dispatchDepth == 0) {
            pumping = false;
            end();
            return;
        }
    }
    pumping = false;
}

void ControlConnection::deliver(const QByteArray &line)
{
    executing = false;
    if (closing)
        return;
    write(line);
    // The next request runs from the event loop: a reply may be given deep inside a command
    // or a signal, which must not run another command before it returns.
    if (!queue.isEmpty())
        schedulePump();
}

void ControlConnection::write(const QByteArray &bytes)
{
    if (socket->state() != QLocalSocket::ConnectedState)
        return;
    socket->write(bytes);
    if (socket->bytesToWrite() > ControlProtocol::kMaxPendingOutputBytes) {
        // The client is not reading. Dropping it keeps the panel's memory bounded.
        closing = true;
        socket->abort();
        onDisconnected();
    }
}

void ControlConnection::refuseAndClose(const QString &message)
{
    queue.clear();
    queuedBytes = 0;
    write(ControlProtocol::errorReply(QJsonValue(QJsonValue::Null),
                                      ControlProtocol::ErrorCode::BadRequest, message));
    closing = true;
    // Leaves once the reply has been written.
    if (socket->state() == QLocalSocket::ConnectedState)
        socket->disconnectFromServer();
    else
        onDisconnected();
}

void ControlConnection::onDisconnected()
{
    closing = true;
    if (dispatchDepth > 0) {
        endPending = true;
        return;
    }
    end();
}

void ControlConnection::end()
{
    if (ended)
        return;
    ended = true;
    closing = true;
    queue.clear();
    if (dispatcher)
        dispatcher->clientGone(this);
    emit finished(this);
    // Never deleted from inside one of its socket's signals.
    deleteLater();
}
