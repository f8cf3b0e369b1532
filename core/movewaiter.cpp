#include "movewaiter.h"

#include <QTimer>

MoveWaiter::MoveWaiter(Stage *s, Clock::Source c, QObject *parent)
    : QObject(parent), stage(s), clock(Clock::orSteady(std::move(c))),
      timeoutTimer(new QTimer(this))
{
    timeoutTimer->setInterval(100);
    connect(timeoutTimer, &QTimer::timeout, this, &MoveWaiter::checkTimeout);
    connect(stage, &Stage::panelEvent, this, &MoveWaiter::onEvent);
}

MoveWaiter::~MoveWaiter()
{
    if (waiting && stage)
        stage->requestSampling(this, 0);
}

void MoveWaiter::start(double targetUm, double toleranceUm, int timeout)
{
    tracker = Settling::Tracker(targetUm, toleranceUm);
    timeoutMs = timeout;
    startedMs = clock();
    // Positions are heard only while waiting: a flood of them costs an idle waiter nothing.
    if (!waiting)
        positions = connect(stage, &Stage::positionReceived, this,
                            [this](double positionUm, PositionSource) { onPosition(positionUm); });
    waiting = true;
    const PanelState now = stage->state();
    lastPositionUm = now.positionUm.value_or(0.0);
    stage->requestSampling(this, kSampleIntervalMs);
    timeoutTimer->start();
}

void MoveWaiter::cancel()
{
    if (waiting)
        finish();
}

void MoveWaiter::finish()
{
    waiting = false;
    disconnect(positions);
    timeoutTimer->stop();
    if (stage)
        stage->requestSampling(this, 0);
}

void MoveWaiter::checkTimeout()
{
    if (!waiting || clock() - startedMs < timeoutMs)
        return;
    finish();
    emit timedOut(lastPositionUm);
}

void MoveWaiter::onPosition(double positionUm)
{
    if (!waiting)
        return;
    lastPositionUm = positionUm;
    if (tracker.feed(positionUm)) {
        const double elapsedS = double(clock() - startedMs) / 1000.0;
        finish();
        emit settled(positionUm, elapsedS);
        return;
    }
    checkTimeout();
}

void MoveWaiter::onEvent(const PanelEvent &event)
{
    if (!waiting)
        return;
    if (event.kind == PanelEvent::Kind::Disconnected) {
        finish();
        emit linkLost(event.text);
    } else if (event.kind == PanelEvent::Kind::MoveRefused) {
        // The position will never settle on a target the controller would not take.
        finish();
        emit refused(event.text);
    }
}
