#include "readoutmonitor.h"

#include <QTimer>

ReadoutMonitor::ReadoutMonitor(Stage *stage, int pollIntervalMs, Clock::Source clock,
                               QObject *parent)
    : QObject(parent), stage(stage), pollIntervalMs(pollIntervalMs),
      clock(Clock::orSteady(std::move(clock))), timer(new QTimer(this))
{
    staleReason = tr("disconnected");
    connect(stage, &Stage::positionsArrived, this, &ReadoutMonitor::onPosition);
    connect(stage, &Stage::stateChanged, this, &ReadoutMonitor::check);
    connect(timer, &QTimer::timeout, this, &ReadoutMonitor::check);
}

void ReadoutMonitor::onPosition()
{
    lastReplyMs = clock();
    if (!everRead) {
        everRead = true;
        // The readout now shows a position read, live or not: its explanation changes.
        emit changed(live, staleReason);
    }
    // A live readout stays live with every reply; only a stale one needs a look. Whether the
    // readout is polled at all changes with the state, which is looked at then.
    if (!live)
        check();
}

void ReadoutMonitor::check()
{
    const PanelState state = stage->state();
    const bool polled = state.connected && state.closedLoop;
    const qint64 now = clock();
    if (polled && !wasPolled) {
        // A reply from before the link or the page changed says nothing about now.
        pollingSinceMs = now;
        lastReplyMs = -1;
    }
    wasPolled = polled;
    // Only a polled readout can fall silent; otherwise nothing needs a look until the state
    // changes, and an idle panel stays idle.
    if (polled && !timer->isActive())
        timer->start(pollIntervalMs);
    else if (!polled)
        timer->stop();
    if (!state.connected) {
        set(false, tr("disconnected"));
        return;
    }
    if (!state.closedLoop) {
        set(false, tr("not polled on the open-loop page"));
        return;
    }
    const qint64 quietSince = lastReplyMs >= 0 ? lastReplyMs : pollingSinceMs;
    const qint64 quietMs = now - quietSince;
    if (quietMs < 2 * qint64(pollIntervalMs)) {
        if (lastReplyMs >= 0)
            set(true, QString());
        else
            set(false, tr("waiting for the first reply"));
        return;
    }
    set(false, tr("no reply for %1 s").arg(quietMs / 1000));
}

void ReadoutMonitor::set(bool nowLive, const QString &why)
{
    if (nowLive == live && why == staleReason)
        return;
    live = nowLive;
    staleReason = why;
    emit changed(live, staleReason);
}
