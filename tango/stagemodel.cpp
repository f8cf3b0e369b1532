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

const QString kMicrometre = QStringLiteral(" \u00b5m");

QString micrometres(double um)
{
    return QString::number(um, 'f', 3) + kMicrometre;
}

} // namespace

StageModel::ErrorSource StageModel::errorSource(const QJsonObject &event)
{
    const QJsonValue source = event.value(QStringLiteral("source"));
    if (source.isUndefined())
        return ErrorSource::Unstated;
    const QString name = source.toString();
    if (name == QLatin1String("controller"))
        return ErrorSource::Controller;
    if (name == QLatin1String("link"))
        return ErrorSource::Link;
    return ErrorSource::Panel;
}

const char *StageModel::stateName(State state)
{
    switch (state) {
    case State::On:
        return "ON";
    case State::Moving:
        return "MOVING";
    case State::Alarm:
        return "ALARM";
    case State::Fault:
        return "FAULT";
    case State::Unknown:
        return "UNKNOWN";
    case State::Disable:
        return "DISABLE";
    }
    return "UNKNOWN";
}

bool StageModel::applyEvent(const QJsonObject &event)
{
    const QString kind = event.value(QStringLiteral("event")).toString();
    if (kind == QLatin1String("position"))
        applyPosition(event.value(QStringLiteral("um")).toDouble(qQNaN()));
    else if (kind == QLatin1String("state"))
        applyState(event, true);
    else if (kind == QLatin1String("console"))
        applyConsole(event.value(QStringLiteral("text")).toString());
    else if (kind == QLatin1String("error"))
        applyError(event.value(QStringLiteral("message")).toString(), errorSource(event));
    else
        return false;
    return true;
}

void StageModel::setLinked(bool up)
{
    linked = up;
    linkFault.clear();
    controllerFault.clear();
    lastState = {};
    lastMoveCount.reset();
    firstSinceLink = up;
    if (!up) {
        connected = false;
        waitingForTarget = false;
    }
}

void StageModel::startTracking(double target)
{
    tracker = Settling::Tracker(target, Settling::kDefaultToleranceUm);
    waitingForTarget = true;
    controllerFault.clear();
}

void StageModel::applyState(const QJsonObject &s, bool event)
{
    QJsonObject fields = s;
    fields.remove(QStringLiteral("event"));
    fields.remove(QStringLiteral("position_um"));
    const bool repeated = event && fields == lastState;
    lastState = fields;

    const bool wasConnected = connected;
    const bool wasCalibrating = calibrating;
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
    const QJsonArray travelUm = s.value(QStringLiteral("travel_um")).toArray();
    if (travelUm.size() == 2 && number(travelUm.at(0)) && number(travelUm.at(1)) &&
        travelUm.at(0).toDouble() <= travelUm.at(1).toDouble()) {
        travelMinUm = travelUm.at(0).toDouble();
        travelMaxUm = travelUm.at(1).toDouble();
    }
    const std::optional<double> newTarget = number(s.value(QStringLiteral("target_um")));
    // Every commanded move counts, also one to the target the stage already has; a panel that
    // does not count them shows such a move as a state event that repeats the last one.
    const std::optional<double> count = number(s.value(QStringLiteral("move_count")));
    const bool counted = count && lastMoveCount && *count != *lastMoveCount;
    lastMoveCount = count;
    // After a new link nobody saw whether the last move ended: it runs while the stage is away
    // from its target.
    const bool unseen =
        firstSinceLink && newTarget && positionUm &&
        !Settling::withinTolerance(*positionUm, *newTarget, Settling::kDefaultToleranceUm);
    firstSinceLink = false;
    if (newTarget && (newTarget != targetUm || repeated || counted || unseen))
        startTracking(*newTarget);
    targetUm = newTarget;
    if (connected && !wasConnected) {
        linkFault.clear();
        controllerFault.clear();
    }
    if (calibrating && !wasCalibrating)
        controllerFault.clear();
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
    if (text.contains(QLatin1String(">stop"))) {
        waitingForTarget = false;
        controllerFault.clear();
    }
}

void StageModel::applyError(const QString &message, ErrorSource source)
{
    const QString text = message.isEmpty() ? QStringLiteral("(no message)") : message;
    switch (source) {
    case ErrorSource::Controller:
        controllerFault = text;
        waitingForTarget = false;
        break;
    case ErrorSource::Link:
    case ErrorSource::Unstated:
        linkFault = text;
        break;
    case ErrorSource::Panel:
        // A file the panel could not write, a refused sequence: nothing wrong with the stage.
        break;
    }
}

void StageModel::commandAccepted()
{
    controllerFault.clear();
}

void StageModel::stopped()
{
    waitingForTarget = false;
    controllerFault.clear();
}

bool StageModel::atLowerEnd() const
{
    return positionUm && *positionUm <= travelMinUm + Settling::kDefaultToleranceUm;
}

bool StageModel::atUpperEnd() const
{
    return positionUm && *positionUm >= travelMaxUm - Settling::kDefaultToleranceUm;
}

StageModel::State StageModel::state() const
{
    if (!linked)
        return State::Unknown;
    if (!connected)
        return linkFault.isEmpty() ? State::Disable : State::Fault;
    if (!controllerFault.isEmpty())
        return State::Fault;
    if (calibrating || waitingForTarget)
        return State::Moving;
    if (!homed)
        return State::Disable;
    if (atLowerEnd() || atUpperEnd())
        return State::Alarm;
    return State::On;
}

QString StageModel::status() const
{
    const QString controller = QStringLiteral("%1 (%2, firmware %3)").arg(port, model, firmware);
    switch (state()) {
    case State::Unknown:
        return QStringLiteral("The panel cannot be reached on its control socket %1")
            .arg(socketPath);
    case State::Fault:
        if (!connected)
            return QStringLiteral("The link to the controller failed: %1").arg(linkFault);
        return QStringLiteral("The controller refused a command on %1: %2")
            .arg(controller, controllerFault);
    case State::Disable:
        if (!connected)
            return QStringLiteral("The panel is not connected to a controller: run Connect");
        return QStringLiteral("Connected to %1; the stage is not homed: run Home").arg(controller);
    case State::Moving:
        if (calibrating)
            return QStringLiteral("The controller is calibrating on %1").arg(controller);
        return QStringLiteral("Moving to %1 on %2")
            .arg(micrometres(targetUm.value_or(0.0)), controller);
    case State::Alarm:
        if (atLowerEnd())
            return QStringLiteral("At the lower end of the travel (%1) on %2")
                .arg(micrometres(travelMinUm), controller);
        return QStringLiteral("At the upper end of the travel (%1) on %2")
            .arg(micrometres(travelMaxUm), controller);
    case State::On:
        return QStringLiteral("Ready on %1").arg(controller);
    }
    return {};
}

StageModel::Quality StageModel::positionQuality() const
{
    if (!linked || !connected || !positionUm)
        return Quality::Invalid;
    return state() == State::Moving ? Quality::Changing : Quality::Valid;
}

std::optional<std::pair<double, double>> StageModel::travel() const
{
    if (!linked || !connected)
        return std::nullopt;
    return std::make_pair(travelMinUm, travelMaxUm);
}

std::optional<QString> StageModel::refuseTarget(double target) const
{
    if (!std::isfinite(target))
        return QStringLiteral("The target must be a finite number");
    // Without a controller the panel's own refusal says what is missing.
    if (travel() && (target < travelMinUm || target > travelMaxUm))
        return QStringLiteral("The target %1 lies beyond the travel (%2 to %3)")
            .arg(micrometres(target), micrometres(travelMinUm), micrometres(travelMaxUm));
    return std::nullopt;
}
