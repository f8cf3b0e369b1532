#include "stage.h"

QString moverName(const Mover &mover)
{
    switch (mover.kind) {
    case Mover::Kind::Operator:
        return QObject::tr("the operator");
    case Mover::Kind::Console:
        return QObject::tr("the console");
    case Mover::Kind::Client:
        return QObject::tr("a script's waiting move");
    case Mover::Kind::Sequence:
        return QObject::tr("a sequence run");
    case Mover::Kind::Calibration:
        return QObject::tr("the automatic calibration");
    case Mover::Kind::Characterisation:
        return QObject::tr("a step characterisation run");
    }
    return {};
}

QString moverKindName(Mover::Kind kind)
{
    switch (kind) {
    case Mover::Kind::Operator:
        return QStringLiteral("operator");
    case Mover::Kind::Console:
        return QStringLiteral("console");
    case Mover::Kind::Client:
        return QStringLiteral("client");
    case Mover::Kind::Sequence:
        return QStringLiteral("sequence");
    case Mover::Kind::Calibration:
        return QStringLiteral("calibration");
    case Mover::Kind::Characterisation:
        return QStringLiteral("characterisation");
    }
    return {};
}

bool PanelState::operator==(const PanelState &o) const
{
    return connected == o.connected && port == o.port && model == o.model &&
           firmware == o.firmware && homed == o.homed && calibrating == o.calibrating &&
           calibration == o.calibration && closedLoop == o.closedLoop && targetUm == o.targetUm &&
           travelMinUm == o.travelMinUm && travelMaxUm == o.travelMaxUm &&
           motionOwner == o.motionOwner && moveCount == o.moveCount && chosenPort == o.chosenPort &&
           stablePort == o.stablePort && lineSettings == o.lineSettings &&
           connectedUtcMs == o.connectedUtcMs && durationMs == o.durationMs &&
           intervalMs == o.intervalMs && cycles == o.cycles;
}

QString positionSourceName(PositionSource source)
{
    switch (source) {
    case PositionSource::Poll:
        return QStringLiteral("poll");
    case PositionSource::Fast:
        return QStringLiteral("fast");
    case PositionSource::Typed:
        return QStringLiteral("typed");
    }
    return {};
}

QString panelEventName(PanelEvent::Kind kind)
{
    switch (kind) {
    case PanelEvent::Kind::Connected:
        return QStringLiteral("connected");
    case PanelEvent::Kind::Identified:
        return QStringLiteral("identified");
    case PanelEvent::Kind::Homed:
        return QStringLiteral("homed");
    case PanelEvent::Kind::CalibrationStarted:
        return QStringLiteral("calibration started");
    case PanelEvent::Kind::CalibrationFinished:
        return QStringLiteral("calibration finished");
    case PanelEvent::Kind::OpenLoopParameter:
        return QStringLiteral("open-loop parameter");
    case PanelEvent::Kind::OpenLoopStep:
        return QStringLiteral("open-loop step");
    case PanelEvent::Kind::Stop:
        return QStringLiteral("stop");
    case PanelEvent::Kind::Disconnected:
        return QStringLiteral("disconnected");
    case PanelEvent::Kind::Error:
        return QStringLiteral("error");
    case PanelEvent::Kind::Note:
        return QStringLiteral("note");
    case PanelEvent::Kind::Move:
        return QStringLiteral("move");
    case PanelEvent::Kind::MoveRefused:
        return QStringLiteral("move refused");
    }
    return {};
}

QString panelEventSourceName(PanelEvent::Source source)
{
    switch (source) {
    case PanelEvent::Source::Panel:
        return QStringLiteral("panel");
    case PanelEvent::Source::Link:
        return QStringLiteral("link");
    case PanelEvent::Source::Controller:
        return QStringLiteral("controller");
    }
    return {};
}

QString commandResultCodeName(CommandResult::Code code)
{
    switch (code) {
    case CommandResult::Code::Ok:
        return QStringLiteral("ok");
    case CommandResult::Code::NotConnected:
        return QStringLiteral("not_connected");
    case CommandResult::Code::Unavailable:
        return QStringLiteral("unavailable");
    case CommandResult::Code::Busy:
        return QStringLiteral("busy");
    case CommandResult::Code::BadArgument:
        return QStringLiteral("bad_argument");
    }
    return {};
}

CommandResult Stage::requestPosition()
{
    return CommandResult::refused(CommandResult::Code::Unavailable,
                                  tr("This stage cannot be asked for its position"));
}

bool Stage::addPositionSink(PositionSink *)
{
    return false;
}

void Stage::removePositionSink(PositionSink *) {}
