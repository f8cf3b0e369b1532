#pragma once

#include "stage.h"

#include <QHash>

#include <functional>

// A stage without a window, whose state and signals the test sets by hand. Every command is
// accepted and does nothing; the sampling requests and the motion claims are recorded.
class ScriptedStage : public Stage {
public:
    PanelState now;
    QHash<const void *, int> sampling;

    PanelState state() const override { return now; }
    CommandResult connectPort(const QString &) override { return {}; }
    CommandResult disconnectPort() override { return {}; }
    CommandResult home(const Mover &) override { return {}; }
    CommandResult stop(const Mover &) override { return {}; }
    CommandResult moveTo(double, const Mover &) override { return {}; }
    CommandResult moveBy(double, const Mover &) override { return {}; }
    CommandResult setOpenLoop(std::optional<int>, std::optional<int>, std::optional<int>,
                              const Mover &) override
    {
        return {};
    }
    CommandResult step(bool, const Mover &) override { return {}; }
    CommandResult bi(const Mover &) override { return {}; }
    CommandResult autoCalibrate(const Mover &) override { return {}; }
    CommandResult sendLine(const QString &, const Mover &) override { return {}; }
    CommandResult claimMotion(const Mover &who) override
    {
        if (now.motionOwner && *now.motionOwner != who)
            return CommandResult::refused(CommandResult::Code::Busy, QStringLiteral("busy"));
        now.motionOwner = who;
        return {};
    }
    void releaseMotion(const Mover &who) override
    {
        if (now.motionOwner && *now.motionOwner == who)
            now.motionOwner.reset();
    }
    void requestSampling(const void *requester, int intervalMs) override
    {
        sampling[requester] = intervalMs;
    }

    // A read that brought one position.
    void report(double um, PositionSource source = PositionSource::Fast)
    {
        emit positionReceived(um, source);
        emit positionsArrived(um);
    }
    void event(PanelEvent::Kind kind, const QString &text = QString())
    {
        emit panelEvent(PanelEvent{kind, text});
    }
    void change(const std::function<void(PanelState &)> &edit)
    {
        edit(now);
        emit stateChanged();
    }
};
