#include "stagemodel.h"

#include <QJsonArray>

#include <cmath>

namespace {
std::optional<double> number(const QJsonValue &value)
{
    if (!value.isDouble() || !std::isfinite(value.toDouble()))
        return std::nullopt;
    return value.toDouble();
}
} // namespace

void StageModel::setLinked(bool up)
{
    linked = up;
    if (!up) {
        connected = false;
        waitingForTarget = false;
        fault = QStringLiteral("The panel cannot be reached on its control socket");
    } else {
        fault.clear();
    }
}

void StageModel::applyState(const QJsonObject &s)
{
    const bool wasConnected = connected;
    connected = s.value(QStringLiteral("connected")).toBool();
    homed = s.value(QStringLiteral("homed")).toBool();
    calibrating = s.value(QStringLiteral("calibrating")).toBool();
    calibration = s.value(QStringLiteral("calibration")).toString();
    loop = s.value(QStringLiteral("loop")).toString();
    model = s.value(QStringLiteral("model")).toString();
    firmware = s.value(QStringLiteral("firmware")).toString();
    port = s.value(QStringLiteral("port")).toString();
    if (const auto position = number(s.value(QStringLiteral("position_um"))))
        positionUm = position;
    const QJsonArray travel = s.value(QStringLiteral("travel_um")).toArray();
    if (travel.size() == 2 && number(travel.at(0)) && number(travel.at(1))) {
        travelMinUm = travel.at(0).toDouble();
        travelMaxUm = travel.at(1).toDouble();
    }
    const std::optional<double> newTarget = number(s.value(QStringLiteral("target_um")));
    if (newTarget && newTarget != targetUm) {
        tracker = Settling::Tracker(*newTarget, Settling::kDefaultToleranceUm);
        waitingForTarget = true;
    }
    targetUm = newTarget;
    if (connected && !wasConnected)
        fault.clear();
    if (!connected)
        waitingForTarget = false;
}

void StageModel::applyPosition(double position)
{
    if (!std::isfinite(position))
        return;
    positionUm = position;
    if (waitingForTarget && tracker.feed(position))
        waitingForTarget = false;
}

void StageModel::applyConsole(const QString &text)
{
    if (text.contains(QLatin1String(">stop")))
        waitingForTarget = false;
}

void StageModel::applyError(const QString &message)
{
    fault = message;
}

void StageModel::stopped()
{
    waitingForTarget = false;
}

StageModel::State StageModel::state() const
{
    if (!linked || (!connected && !fault.isEmpty()))
        return State::Fault;
    if (!connected || !homed)
        return State::Disable;
    if (calibrating)
        return State::Alarm;
    if (waitingForTarget)
        return State::Moving;
    return State::On;
}

QString StageModel::status() const
{
    switch (state()) {
    case State::Fault:
        return fault.isEmpty() ? QStringLiteral("The link to the controller was lost") : fault;
    case State::Disable:
        if (!connected)
            return QStringLiteral("The panel is not connected to a controller");
        return QStringLiteral("Connected to %1 (%2, firmware %3); the stage is not homed: run Home")
            .arg(port, model, firmware);
    case State::Alarm:
        return QStringLiteral("The controller is calibrating");
    case State::Moving:
        return QStringLiteral("Moving to %1 um").arg(targetUm.value_or(0.0));
    case State::On:
        return QStringLiteral("Idle at %1 um on %2 (%3, firmware %4)")
            .arg(positionUm.value_or(0.0))
            .arg(port, model, firmware);
    }
    return {};
}

std::optional<QString> StageModel::refuseTarget(double target) const
{
    if (!std::isfinite(target))
        return QStringLiteral("The target must be a finite number");
    if (target < travelMinUm || target > travelMaxUm)
        return QStringLiteral("The target %1 um lies beyond the travel (%2 to %3 um)")
            .arg(target)
            .arg(travelMinUm)
            .arg(travelMaxUm);
    return std::nullopt;
}
