#include "activitytracker.h"

#include <QTimer>

#include <algorithm>
#include <cmath>

ActivityTracker::ActivityTracker(Stage *stage, Clock::Source clock, QObject *parent)
    : QObject(parent), stage(stage), clock(Clock::orSteady(std::move(clock))),
      driveTimer(new QTimer(this))
{
    driveTimer->setSingleShot(true);
    driveTimer->setTimerType(Qt::PreciseTimer);
    connect(driveTimer, &QTimer::timeout, this, &ActivityTracker::check);
    connect(stage, &Stage::panelEvent, this, &ActivityTracker::onEvent);
    connect(stage, &Stage::targetCommanded, this, &ActivityTracker::onTarget);
    // Once per read: whether the stage moves or rests shows in the last position of a read.
    connect(stage, &Stage::positionsArrived, this, &ActivityTracker::onPosition);
    connect(stage, &Stage::stateChanged, this, &ActivityTracker::onState);
}

QString ActivityTracker::text(Activity activity)
{
    switch (activity) {
    case Activity::Homing:
        return tr("Homing\u2026");
    case Activity::Moving:
        return tr("Moving\u2026");
    case Activity::Calibrating:
        return tr("Calibrating\u2026");
    case Activity::OpenLoopDrive:
        return tr("Open-loop drive\u2026");
    case Activity::Idle:
        break;
    }
    return tr("Idle");
}

qint64 ActivityTracker::openLoopStepMs(int durationMs, int intervalMs, int cycles)
{
    const qint64 n = std::max(cycles, 1);
    return n * std::max(durationMs, 0) + (n - 1) * std::max(intervalMs, 0);
}

void ActivityTracker::onEvent(const PanelEvent &event)
{
    switch (event.kind) {
    case PanelEvent::Kind::Homed:
        // The target 0 was commanded just before; homing ends where that move ends.
        homing = true;
        break;
    case PanelEvent::Kind::CalibrationStarted:
        calibrating = true;
        target.reset();
        homing = false;
        break;
    case PanelEvent::Kind::CalibrationFinished:
        calibrating = false;
        break;
    case PanelEvent::Kind::OpenLoopParameter: {
        // "duration 100", "interval 500", "cycle 1": the drive the next step will take.
        const QStringList words = event.text.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        bool ok = false;
        const int value = words.value(1).toInt(&ok);
        if (!ok)
            break;
        const QString keyword = words.value(0).remove(QLatin1Char('>'));
        if (keyword == QLatin1String("duration"))
            durationMs = value;
        else if (keyword == QLatin1String("interval"))
            intervalMs = value;
        else if (keyword == QLatin1String("cycle"))
            cycles = value;
        break;
    }
    case PanelEvent::Kind::OpenLoopStep: {
        // Bi drives forward and back again: twice a step.
        const qint64 length = openLoopStepMs(durationMs, intervalMs, cycles) *
                              (event.text == QLatin1String("bi") ? 2 : 1);
        const qint64 now = clock();
        driveUntilMs = std::max(driveUntilMs, now) + length;
        driveTimer->start(int(std::min<qint64>(driveUntilMs - now, 24LL * 3600 * 1000)));
        break;
    }
    case PanelEvent::Kind::Stop:
        // The stage halts where it is; the calibration under way is aborted with it.
        homing = false;
        calibrating = false;
        target.reset();
        driveUntilMs = -1;
        driveTimer->stop();
        break;
    case PanelEvent::Kind::Connected:
    case PanelEvent::Kind::Disconnected:
        homing = false;
        calibrating = false;
        target.reset();
        lastPosition.reset();
        positionChanging = false;
        restingSinceMs = -1;
        driveUntilMs = -1;
        driveTimer->stop();
        break;
    default:
        break;
    }
    update();
}

void ActivityTracker::onTarget(double targetUm)
{
    // The controller stops at the end of its travel, so a target beyond it is reached there.
    const PanelState state = stage->state();
    restingSinceMs = clock();
    target = std::clamp(targetUm, std::min(state.travelMinUm, state.travelMaxUm),
                        std::max(state.travelMinUm, state.travelMaxUm));
    update();
}

void ActivityTracker::onPosition(double positionUm)
{
    const qint64 now = clock();
    positionChanging = lastPosition && std::abs(positionUm - *lastPosition) > kArrivalUm;
    if (positionChanging || restingSinceMs < 0)
        restingSinceMs = now;
    lastPosition = positionUm;
    const bool arrived = target && std::abs(positionUm - *target) <= kArrivalUm;
    // A stage held back (blocked, refused the move) rests short of its target: after a while at
    // rest it is no longer moving, whatever was asked of it.
    const bool gaveUp = target && !positionChanging && now - restingSinceMs >= kGiveUpMs;
    if ((arrived && !positionChanging) || gaveUp) {
        target.reset();
        homing = false;
    }
    update();
}

void ActivityTracker::onState()
{
    const PanelState state = stage->state();
    if (!state.closedLoop) {
        // No position comes back on the open-loop page: a move cannot be followed there.
        target.reset();
        homing = false;
        positionChanging = false;
        lastPosition.reset();
    }
    update();
}

void ActivityTracker::check()
{
    update();
}

void ActivityTracker::update()
{
    const qint64 now = clock();
    const bool driving = driveUntilMs >= 0 && now < driveUntilMs;
    if (!driving)
        driveUntilMs = -1;
    else if (!driveTimer->isActive())
        // A timer may fire a little early; look again when the drive is really over.
        driveTimer->start(int(std::min<qint64>(driveUntilMs - now, 24LL * 3600 * 1000)));
    Activity next = Activity::Idle;
    if (calibrating)
        next = Activity::Calibrating;
    else if (homing)
        next = Activity::Homing;
    else if (target || positionChanging)
        next = Activity::Moving;
    else if (driving)
        next = Activity::OpenLoopDrive;
    if (next == current)
        return;
    current = next;
    emit activityChanged(current);
}
