#include "fakecontroller.h"

#include <QSocketNotifier>
#include <QTest>

#include <cerrno>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

FakeController::FakeController()
{
    char name[256] = {};
    if (openpty(&masterFd, &slaveFd, name, nullptr, nullptr) != 0) {
        qFatal("openpty failed: %s", strerror(errno));
    }
    slavePath = QString::fromLocal8Bit(name);

    // Raw on both sides: the line discipline must not echo, translate or buffer lines.
    termios attributes{};
    tcgetattr(slaveFd, &attributes);
    cfmakeraw(&attributes);
    tcsetattr(slaveFd, TCSANOW, &attributes);
    fcntl(masterFd, F_SETFL, fcntl(masterFd, F_GETFL) | O_NONBLOCK);

    readNotifier = new QSocketNotifier(masterFd, QSocketNotifier::Read, this);
    connect(readNotifier, &QSocketNotifier::activated, this, &FakeController::readMaster);
    writeNotifier = new QSocketNotifier(masterFd, QSocketNotifier::Write, this);
    writeNotifier->setEnabled(false);
    connect(writeNotifier, &QSocketNotifier::activated, this, &FakeController::flushPending);
}

FakeController::~FakeController()
{
    hangUp();
}

void FakeController::send(const QByteArray &bytes)
{
    if (!isOpen())
        return;
    pending.append(bytes);
    flushPending();
}

QByteArray FakeController::takeReceived()
{
    QByteArray taken;
    taken.swap(receivedBytes);
    return taken;
}

bool FakeController::waitForReceived(const QByteArray &needle, int timeoutMs)
{
    return QTest::qWaitFor([&] { return receivedBytes.contains(needle); }, timeoutMs);
}

void FakeController::setReading(bool on)
{
    if (readNotifier)
        readNotifier->setEnabled(on);
}

void FakeController::hangUp()
{
    delete readNotifier;
    readNotifier = nullptr;
    delete writeNotifier;
    writeNotifier = nullptr;
    if (masterFd >= 0)
        ::close(masterFd);
    if (slaveFd >= 0)
        ::close(slaveFd);
    masterFd = slaveFd = -1;
    pending.clear();
}

void FakeController::readMaster()
{
    char chunk[4096];
    for (;;) {
        const ssize_t n = ::read(masterFd, chunk, sizeof chunk);
        if (n > 0) {
            receivedBytes.append(chunk, int(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        break;
    }
    emit bytesReceived();
}

void FakeController::flushPending()
{
    while (!pending.isEmpty()) {
        const ssize_t n = ::write(masterFd, pending.constData(), size_t(pending.size()));
        if (n > 0) {
            pending.remove(0, int(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        break;
    }
    writeNotifier->setEnabled(!pending.isEmpty());
}
