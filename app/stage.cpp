#include "stage.h"

bool PanelState::operator==(const PanelState &o) const
{
    return connected == o.connected && port == o.port && model == o.model &&
           firmware == o.firmware && homed == o.homed && calibrating == o.calibrating &&
           calibration == o.calibration && closedLoop == o.closedLoop && targetUm == o.targetUm &&
           travelMinUm == o.travelMinUm && travelMaxUm == o.travelMaxUm;
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
    }
    return {};
}
