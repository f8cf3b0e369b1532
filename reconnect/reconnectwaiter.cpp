#include "reconnectwaiter.h"

#include "portlister.h"

QtWaitTimer::QtWaitTimer()
{
    // A second give or take is what the operator was promised: a coarse timer wakes the
    // process less.
    timer.setTimerType(Qt::CoarseTimer);
    QObject::connect(&timer, &QTimer::timeout, [this] {
        if (callback)
            callback();
    });
}

void QtWaitTimer::start(int intervalMs, std::function<void()> onTimeout)
{
    callback = std::move(onTimeout);
    timer.start(intervalMs);
}

void QtWaitTimer::stop()
{
    timer.stop();
}

ReconnectWaiter::ReconnectWaiter(std::shared_ptr<const PortLister> portLister,
                                 std::unique_ptr<WaitTimer> waitTimer, QObject *parent)
    : QObject(parent), lister(std::move(portLister)),
      timer(waitTimer ? std::move(waitTimer) : std::make_unique<QtWaitTimer>())
{
}

ReconnectWaiter::~ReconnectWaiter()
{
    timer->stop();
}

void ReconnectWaiter::connected(const DeviceIdentity &device)
{
    timer->stop();
    remembered = device;
    lastModel.clear();
    current = State::Connected;
}

bool ReconnectWaiter::linkLost()
{
    if (!remembered.isKnown() || (current != State::Connected && current != State::Reopened)) {
        current = State::Idle;
        return false;
    }
    current = State::Waiting;
    timer->start(kLookIntervalMs, [this] { look(); });
    return true;
}

void ReconnectWaiter::reopened()
{
    if (current != State::Waiting)
        return;
    timer->stop();
    current = State::Reopened;
}

ReconnectWaiter::Identification ReconnectWaiter::identified(const QString &model)
{
    Identification result;
    if (current == State::Reopened) {
        result.reconnected = true;
        if (!lastModel.isEmpty() && lastModel != model)
            result.previousModel = lastModel;
        current = State::Connected;
    }
    lastModel = model;
    return result;
}

void ReconnectWaiter::stopWaiting()
{
    timer->stop();
    if (current == State::Waiting)
        current = State::Idle;
}

void ReconnectWaiter::look()
{
    if (current != State::Waiting) {
        timer->stop();
        return;
    }
    const QString path = remembered.locate(*lister);
    if (!path.isEmpty())
        emit deviceReturned(path);
}
