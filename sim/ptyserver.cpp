#include "ptyserver.h"

#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace dvxsim {

PtyServer::PtyServer(const Options &options, QObject *parent)
    : QObject(parent), opts(options), controller(options.stage, 0),
      shaper(options.garbageRate, options.noCarriageReturns, options.seed)
{
    clock.start();
    tickTimer.setInterval(kTickMs);
    connect(&tickTimer, &QTimer::timeout, this, &PtyServer::tick);
    idleTimer.setSingleShot(true);
    idleTimer.setInterval(kIdleFlushMs);
    connect(&idleTimer, &QTimer::timeout, this, &PtyServer::idleFlush);
}

PtyServer::~PtyServer()
{
    hangUp();
}

bool PtyServer::open(QString *error)
{
    int master = -1;
    int slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        *error = QStringLiteral("openpty: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    // Raw, so no "\r" is turned into "\n" and nothing the panel writes is echoed back to it.
    termios tio{};
    ::tcgetattr(slave, &tio);
    ::cfmakeraw(&tio);
    ::cfsetspeed(&tio, B115200);
    ::tcsetattr(slave, TCSANOW, &tio);
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    const char *name = ::ttyname(slave);
    if (!name) {
        *error = QStringLiteral("ttyname: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        ::close(master);
        ::close(slave);
        return false;
    }
    path = QString::fromLocal8Bit(name);
    masterFd = master;
    // Held open for good: without it the master reads EIO whenever the panel closes the port.
    slaveFd = slave;

    readNotifier = new QSocketNotifier(masterFd, QSocketNotifier::Read, this);
    connect(readNotifier, &QSocketNotifier::activated, this, &PtyServer::readCommands);
    writeNotifier = new QSocketNotifier(masterFd, QSocketNotifier::Write, this);
    writeNotifier->setEnabled(false);
    connect(writeNotifier, &QSocketNotifier::activated, this, &PtyServer::writeReady);
    lastRefillMs = now();
    tickTimer.start();
    return true;
}

void PtyServer::hangUp()
{
    tickTimer.stop();
    idleTimer.stop();
    delete readNotifier;
    readNotifier = nullptr;
    delete writeNotifier;
    writeNotifier = nullptr;
    if (masterFd >= 0)
        ::close(masterFd);
    if (slaveFd >= 0)
        ::close(slaveFd);
    masterFd = -1;
    slaveFd = -1;
    outQueue.clear();
}

void PtyServer::readCommands()
{
    char buffer[4096];
    // A bounded number of reads per wake-up keeps the timers running under a flood of input.
    for (int round = 0; round < 16 && masterFd >= 0; ++round) {
        const ssize_t n = ::read(masterFd, buffer, sizeof buffer);
        if (n > 0) {
            const QList<QByteArray> commands = parser.feed(QByteArray(buffer, int(n)));
            for (const QByteArray &command : commands)
                queueReplies(controller.execute(command, now()));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        const QString reason =
            n == 0 ? QStringLiteral("end of file") : QString::fromLocal8Bit(std::strerror(errno));
        readNotifier->setEnabled(false);
        emit failed(QStringLiteral("reading the pseudo-terminal: %1").arg(reason));
        return;
    }
    if (parser.hasPending())
        idleTimer.start();
    else
        idleTimer.stop();
}

void PtyServer::idleFlush()
{
    const QByteArray command = parser.flush();
    if (!command.isEmpty())
        queueReplies(controller.execute(command, now()));
}

void PtyServer::tick()
{
    const qint64 t = now();
    budget = qMin(kBurstBytes, budget + double(t - lastRefillMs) * kLineBytesPerSecond / 1000.0);
    lastRefillMs = t;
    queueReplies(controller.advance(t));
}

void PtyServer::writeReady()
{
    writeNotifier->setEnabled(false);
    pump();
}

void PtyServer::queueReplies(const QList<QByteArray> &lines)
{
    for (const QByteArray &line : lines)
        queue(line);
    pump();
}

void PtyServer::queue(const QByteArray &line)
{
    const QByteArray bytes = shaper.shape(line);
    if (outQueue.size() + bytes.size() > kMaxQueuedBytes) {
        droppedBytes += bytes.size();
        return;
    }
    outQueue.append(bytes);
}

void PtyServer::pump()
{
    if (masterFd < 0)
        return;
    // Flooding fills just what the line can take now, so nothing piles up here.
    if (opts.flood) {
        while (outQueue.size() < int(budget))
            queue(controller.positionLine());
    }
    while (!outQueue.isEmpty() && budget >= 1.0) {
        const int chunk = qMin(outQueue.size(), int(budget));
        const ssize_t n = ::write(masterFd, outQueue.constData(), size_t(chunk));
        if (n > 0) {
            outQueue.remove(0, int(n));
            budget -= double(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            writeNotifier->setEnabled(true);
            return;
        }
        droppedBytes += outQueue.size();
        outQueue.clear();
        emit failed(QStringLiteral("writing the pseudo-terminal: %1")
                        .arg(QString::fromLocal8Bit(std::strerror(errno))));
        return;
    }
}

} // namespace dvxsim
