#include "controlconnection.h"

#include "controldispatcher.h"
#include "controlprotocol.h"

#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
// Requests run per turn of the event loop: 1,000 requests in one write are answered without
// holding the panel for the whole batch.
constexpr int kRequestsPerTurn = 32;
// Requests waiting behind a slow one (a waiting move) may fill this much before the client is
// refused; the same bound as for its unread output.
constexpr qint64 kMaxQueuedBytes = ControlProtocol::kMaxPendingOutputBytes;
// Read per turn of the event loop; the rest waits for the next.
constexpr qint64 kReadPerTurn = 256 * 1024;
constexpr int kGoneCheckMs = 200;
} // namespace

ControlConnection::ControlConnection(int socketFd, ControlDispatcher *d, QObject *parent)
    : QObject(parent), fd(socketFd), reader(new QSocketNotifier(fd, QSocketNotifier::Read, this)),
      writer(new QSocketNotifier(fd, QSocketNotifier::Write, this)), goneCheck(new QTimer(this)),
      dispatcher(d)
{
    clock.start();
    writer->setEnabled(false);
    connect(reader, &QSocketNotifier::activated, this, &ControlConnection::readInput);
    connect(writer, &QSocketNotifier::activated, this, &ControlConnection::flushOutput);
    goneCheck->setInterval(kGoneCheckMs);
    connect(goneCheck, &QTimer::timeout, this, &ControlConnection::checkClientGone);
}

ControlConnection::~ControlConnection()
{
    if (!ended && dispatcher)
        dispatcher->clientGone(this);
    if (fd >= 0) {
        reader->setEnabled(false);
        writer->setEnabled(false);
        ::close(fd);
    }
}

void ControlConnection::setSubscriptions(const QSet<QString> &events)
{
    subscriptions = events;
    emit subscriptionsChanged();
}

void ControlConnection::sendEvent(const QByteArray &line)
{
    if (!closing)
        write(line);
}

void ControlConnection::readInput()
{
    if (ended || inputClosed)
        return;
    qint64 budget = kReadPerTurn;
    bool endOfInput = false;
    while (budget > 0) {
        char chunk[16384];
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (n > 0) {
            input.append(chunk, int(n));
            budget -= n;
            continue;
        }
        if (n == 0) {
            endOfInput = true;
            break;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            break;
        onDisconnected();
        return;
    }

    int start = 0;
    int end = 0;
    while (!inputClosed && (end = input.indexOf('\n', start)) != -1) {
        const int length = end - start;
        if (length > ControlProtocol::kMaxRequestBytes) {
            refuseLater(tr("The request is longer than %1 bytes; closing the connection")
                            .arg(ControlProtocol::kMaxRequestBytes));
            break;
        }
        queueLine(input.mid(start, length));
        start = end + 1;
    }
    if (inputClosed) {
        input.clear();
    } else {
        input.remove(0, start);
        if (input.size() > ControlProtocol::kMaxRequestBytes)
            refuseLater(tr("The request is longer than %1 bytes; closing the connection")
                            .arg(ControlProtocol::kMaxRequestBytes));
    }
    if (endOfInput && !inputClosed)
        inputEnded();
    pump();
    closeWhenDone();
}

void ControlConnection::queueLine(const QByteArray &line)
{
    if (ControlProtocol::isBlank(line))
        return;
    queuedBytes += line.size();
    if (queuedBytes > kMaxQueuedBytes) {
        refuseLater(tr("Too many requests are waiting; closing the connection"));
        return;
    }
    queue.append({line, {}, clock.elapsed()});
}

void ControlConnection::refuseLater(const QString &message)
{
    queue.append({{}, message, clock.elapsed()});
    inputClosed = true;
    reader->setEnabled(false);
    input.clear();
}

void ControlConnection::inputEnded()
{
    inputClosed = true;
    reader->setEnabled(false);
    if (clientGone()) {
        onDisconnected();
        return;
    }
    inputFinished = true;
    // A last request without a line end is a request all the same.
    queueLine(input);
    input.clear();
    goneCheck->start();
}

bool ControlConnection::clientGone() const
{
    if (fd < 0)
        return true;
    // A client that only shut down its sending side still reads: that is no hang-up.
    pollfd watched{fd, 0, 0};
    return ::poll(&watched, 1, 0) > 0 && (watched.revents & (POLLHUP | POLLERR));
}

void ControlConnection::checkClientGone()
{
    if (!ended && clientGone())
        onDisconnected();
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
            closeWhenDone();
        },
        Qt::QueuedConnection);
}

void ControlConnection::pump()
{
    // A request runs from inside the loop below; one that opens an error box comes back here
    // through the box's event loop, and must not start the next request of this client.
    if (pumping || ended)
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
        // Whoever asked is no longer there to hear whether it happened: it does not happen.
        if (clientGone()) {
            pumping = false;
            onDisconnected();
            return;
        }
        const ControlProtocol::ParsedRequest parsed = ControlProtocol::parseRequest(next.line);
        const qint64 waitedMs = clock.elapsed() - next.readMs;
        if (parsed.ok && parsed.request.deadlineMs && waitedMs > *parsed.request.deadlineMs) {
            write(ControlProtocol::errorReply(
                parsed.request.idText, ControlProtocol::ErrorCode::Timeout,
                tr("The request waited %1 ms for its turn, longer than its deadline_ms of %2; "
                   "it was not run")
                    .arg(waitedMs)
                    .arg(*parsed.request.deadlineMs)));
            continue;
        }
        executing = true;
        const QPointer<ControlConnection> self(this);
        ++dispatchDepth;
        dispatcher->dispatch(
            parsed,
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
    if (!queue.isEmpty() || inputFinished)
        schedulePump();
}

void ControlConnection::write(const QByteArray &bytes)
{
    if (ended || fd < 0 || endPending)
        return;
    int offset = 0;
    if (output.isEmpty()) {
        while (offset < bytes.size()) {
            const ssize_t n = ::send(fd, bytes.constData() + offset, size_t(bytes.size() - offset),
                                     MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                offset += int(n);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                break;
            onDisconnected();
            return;
        }
        if (offset == bytes.size())
            return;
    }
    output.append(offset == 0 ? bytes : bytes.mid(offset));
    outputBytes += bytes.size() - offset;
    writer->setEnabled(true);
    // What the client is being sent now does not count, however long: a reply may be larger
    // than the limit. What piles up behind it does.
    const qint64 behindHead = outputBytes - (output.first().size() - outputOffset);
    if (behindHead > ControlProtocol::kMaxPendingOutputBytes) {
        // The client is not reading. Dropping it keeps the panel's memory bounded.
        onDisconnected();
    }
}

void ControlConnection::flushOutput()
{
    while (!output.isEmpty() && fd >= 0) {
        const QByteArray &head = output.first();
        const ssize_t n = ::send(fd, head.constData() + outputOffset,
                                 size_t(head.size() - outputOffset), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            outputOffset += int(n);
            outputBytes -= n;
            if (outputOffset == head.size()) {
                output.removeFirst();
                outputOffset = 0;
            }
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        onDisconnected();
        return;
    }
    writer->setEnabled(false);
    closeWhenDone();
}

void ControlConnection::refuseAndClose(const QString &message)
{
    queue.clear();
    queuedBytes = 0;
    write(ControlProtocol::errorReply(QJsonValue(QJsonValue::Null),
                                      ControlProtocol::ErrorCode::BadRequest, message));
    closing = true;
    inputClosed = true;
    reader->setEnabled(false);
    closeWhenDone();
}

void ControlConnection::closeWhenDone()
{
    if (ended || endPending)
        return;
    if (inputFinished && !executing && queue.isEmpty() && !pumpScheduled)
        closing = true;
    if (!closing || !output.isEmpty())
        return;
    // Everything owed has been handed to the system; the client reads it, then the end.
    // Input the panel did not read is read away first: closing on it would make the client's
    // system report a reset instead of the last lines.
    char sink[4096];
    for (int i = 0; i < 16 && ::recv(fd, sink, sizeof sink, MSG_DONTWAIT) > 0; ++i) {
    }
    ::shutdown(fd, SHUT_RDWR);
    onDisconnected();
}

void ControlConnection::onDisconnected()
{
    closing = true;
    goneCheck->stop();
    if (fd >= 0) {
        reader->setEnabled(false);
        writer->setEnabled(false);
        ::close(fd);
        fd = -1;
    }
    output.clear();
    outputBytes = 0;
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
    // Never deleted from inside one of its own notifiers' signals.
    deleteLater();
}
