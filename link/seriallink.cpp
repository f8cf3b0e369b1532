#include "seriallink.h"

#include "clock.h"
#include "fastsampler.h"
#include "portdiagnosis.h"

#include <QTimer>

#include <cerrno>
#include <cstring>

#ifdef Q_OS_UNIX
#include <poll.h>
#include <sys/ioctl.h>
#endif

namespace {

// A full output queue (flush() on a busy line) reports itself as a resource error too, while the
// device is still there. A hang-up can carry the same text, so the line itself is asked.
bool wouldBlockOnly(QSerialPort *port)
{
    if (port->errorString() != qt_error_string(EAGAIN) &&
        port->errorString() != qt_error_string(EWOULDBLOCK))
        return false;
#ifdef Q_OS_UNIX
    pollfd line{};
    line.fd = int(port->handle());
    line.events = POLLOUT;
    if (::poll(&line, 1, 0) < 0)
        return false;
    return !(line.revents & (POLLHUP | POLLERR | POLLNVAL));
#else
    return true;
#endif
}

} // namespace

SerialLink::SerialLink(QObject *parent)
    : QObject(parent), port(new QSerialPort(this)), pollTimer(new QTimer(this)),
      sampler(new FastSampler(this))
{
    pollTimer->setObjectName(QStringLiteral("pollTimer"));
    pollTimer->setInterval(kPollIntervalMs);
    // The position request is written before anyone hears of the tick.
    connect(pollTimer, &QTimer::timeout, this, [this] {
        getPosition();
        emit pollTicked();
    });
    // Only the position request: the poll and its identification check keep their own timer.
    connect(sampler, &FastSampler::sampleDue, this,
            [this] { send(Protocol::kCurrentPosition, sizeof(Protocol::kCurrentPosition) - 1); });
    connect(port, &QSerialPort::errorOccurred, this, &SerialLink::handleError);
    connect(port, &QIODevice::readyRead, this, &SerialLink::readData);
}

SerialLink::~SerialLink() = default;

bool SerialLink::open(const SerialSettings &s, QString *details)
{
    port->setPortName(s.portName);
    port->setBaudRate(s.baudRate, QSerialPort::AllDirections);
    port->setDataBits(s.dataBits);
    port->setParity(s.parity);
    port->setStopBits(s.stopBits);
    if (!port->open(QIODevice::ReadWrite)) {
        if (details)
            *details =
                PortDiagnosis::openFailure(s.portName, port->error(), port->errorString()).text;
        return false;
    }
    // Bytes left over from an earlier link belong to no reply of this one: joined to the new
    // controller's identification they would name a wrong firmware and silence every reply.
    rxBuffer.clear();
    discardingOverlongReply = false;
    positionPending = false;
    return true;
}

qint64 SerialLink::close()
{
    // A position held back for the next read stays the last one the link brought.
    flushPendingPosition();
    // Commands already written (the last poll among them) still go out; close() would drop them.
    // A device that vanished reports it from inside flush() and is closed there already.
    if (port->isOpen())
        port->flush();
    qint64 unsent = 0;
    if (port->isOpen()) {
        unsent = port->bytesToWrite();
        port->close();
    }
    stopPolling();
    return unsent;
}

bool SerialLink::isOpen() const
{
    return port->isOpen();
}

QString SerialLink::portName() const
{
    return port->portName();
}

QSerialPort::SerialPortError SerialLink::error() const
{
    return port->error();
}

QString SerialLink::errorString() const
{
    return port->errorString();
}

void SerialLink::getPosition()
{
    send(Protocol::kCurrentPosition, sizeof(Protocol::kCurrentPosition) - 1);
}

void SerialLink::write(const QByteArray &bytes)
{
    send(bytes.constData(), bytes.size());
}

void SerialLink::send(const char *bytes, qint64 size)
{
    if (tap)
        tap->sent(QByteArray::fromRawData(bytes, int(size)));
    port->write(bytes, size);
}

void SerialLink::forgetIdentity()
{
    current = {};
    replyDialect = Protocol::Dialect::Unidentified;
}

void SerialLink::startPolling()
{
    pollTimer->start(kPollIntervalMs);
}

void SerialLink::stopPolling()
{
    if (pollTimer->isActive())
        pollTimer->stop();
}

bool SerialLink::isPolling() const
{
    return pollTimer->isActive();
}

void SerialLink::requestSampling(const void *requester, int intervalMs)
{
    sampler->request(requester, intervalMs);
}

void SerialLink::setSamplingAllowed(bool allowed)
{
    sampler->setAllowed(allowed);
}

bool SerialLink::isSamplingFast() const
{
    return sampler->isRunning();
}

int SerialLink::samplingIntervalMs() const
{
    return sampler->intervalMs();
}

void SerialLink::handleError(QSerialPort::SerialPortError error)
{
    // A vanished device shows up on Linux as a stream of read errors rather than a resource
    // error. Only the first error of an open port counts: the port is closed before anyone hears
    // of it, so an error box's own event loop sees no more of them.
    if (error != QSerialPort::ResourceError && error != QSerialPort::ReadError)
        return;
    if (!port->isOpen() || wouldBlockOnly(port))
        return;
    const QString reason = port->errorString();
    // Nothing more can reach a vanished device: close without flushing first.
    port->close();
    stopPolling();
    emit lost(reason);
}

void SerialLink::readData()
{
    frameReplies(port->readAll());
}

void SerialLink::receive(const QByteArray &bytes)
{
    frameReplies(bytes);
}

void SerialLink::frameReplies(const QByteArray &received)
{
    if (framingReplies) {
        receivedWhileFraming.append(received);
        return;
    }
    framingReplies = true;
    // Every listener of every line of this read asks for the time: one reading serves them all.
    const Clock::Batch batch;
    rxBuffer.append(received);
    // Lines are cut by index and the buffer trimmed once, so a large read costs linear time.
    int lineStart = 0;
    for (;;) {
        const char *data = rxBuffer.constData();
        // A listener that reconnected has emptied the buffer under this loop.
        const void *cr =
            lineStart < rxBuffer.size()
                ? std::memchr(data + lineStart, '\r', size_t(rxBuffer.size() - lineStart))
                : nullptr;
        if (!cr) {
            if (receivedWhileFraming.isEmpty())
                break;
            rxBuffer.append(receivedWhileFraming);
            receivedWhileFraming.clear();
            continue;
        }
        const int crIndex = int(static_cast<const char *>(cr) - data);
        const int length = crIndex - lineStart + 1;
        const bool noise = discardingOverlongReply || length - 1 > Protocol::kMaxReplyLength;
        discardingOverlongReply = false;
        if (!noise) {
            replyLine.resize(length);
            std::memcpy(replyLine.data(), data + lineStart, size_t(length));
            handleLine(replyLine);
        }
        lineStart = crIndex + 1;
    }
    rxBuffer.remove(0, lineStart);
    showPositionOfRead(received.size());
    framingReplies = false;
    if (replies)
        replies->readHandled();
    if (rxBuffer.size() > Protocol::kMaxReplyLength) {
        rxBuffer.clear();
        discardingOverlongReply = true;
    }
}

void SerialLink::handleLine(QByteArray &line)
{
    if (tap)
        tap->received(line);
    if (const auto identity = Protocol::identify(line)) {
        // What the operator saw before this line stays in its place, ahead of what it changes.
        flushPendingPosition();
        const Protocol::Identity before = current;
        current = *identity;
        replyDialect = Protocol::dialectOf(current.model, current.firmware);
        if (replies)
            replies->identified(current, before, line);
    }

    const Protocol::ReplyKind kind = Protocol::classify(replyDialect, line);
    if (kind == Protocol::ReplyKind::Position) {
        const double value = Protocol::positionValue(replyDialect, line);
        // The line becomes the one the readout shows next, and the storage of the one before
        // takes the next line: both keep their capacity, so no line costs a copy or an
        // allocation.
        pendingPositionLine.swap(line);
        pendingPositionDialect = replyDialect;
        pendingPositionValue = value;
        positionPending = true;
        if (replies)
            replies->position(value, pendingPositionLine);
        return;
    }
    // Any other line is handled where it stands, after the positions before it are shown.
    flushPendingPosition();
    if (replies)
        replies->reply(kind, line);
}

void SerialLink::flushPendingPosition()
{
    if (!positionPending)
        return;
    positionPending = false;
    if (replies)
        replies->showPosition(pendingPositionLine, pendingPositionDialect, pendingPositionValue);
    positionShownMs = Clock::steadyMs();
}

void SerialLink::showPositionOfRead(qsizetype readBytes)
{
    // A controller flooding the line brings reads of kilobytes and keeps bytes waiting after
    // each; a frame per read would paint positions faster than any screen shows them. The wait
    // is bounded, and the few lines a read brings at the line's own pace are shown at once.
    if (positionPending && readBytes >= kFloodReadBytes && positionShownMs >= 0 &&
        Clock::steadyMs() - positionShownMs < kPositionFrameMs && moreBytesWaiting())
        return;
    flushPendingPosition();
}

bool SerialLink::moreBytesWaiting() const
{
#ifdef Q_OS_UNIX
    int waiting = 0;
    return port->isOpen() && ::ioctl(int(port->handle()), FIONREAD, &waiting) == 0 && waiting > 0;
#else
    return port->bytesAvailable() > 0;
#endif
}
