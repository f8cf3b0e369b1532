#pragma once

#include "stage.h"

#include <QHash>

#include <functional>

// A stage without a window, whose state and signals the test sets by hand. Every command is
// accepted and does nothing; the sampling requests are recorded.
class ScriptedStage : public Stage {
public:
    PanelState now;
    QHash<const void *, int> sampling;

    PanelState state() const override { return now; }
    CommandResult connectPort(const QString &) override { return {}; }
    CommandResult disconnectPort() override { return {}; }
    CommandResult home() override { return {}; }
    CommandResult stop() override { return {}; }
    CommandResult moveTo(double) override { return {}; }
    CommandResult moveBy(double) override { return {}; }
    CommandResult setOpenLoop(std::optional<int>, std::optional<int>, std::optional<int>) override
    {
        return {};
    }
    CommandResult step(bool) override { return {}; }
    CommandResult bi() override { return {}; }
    CommandResult autoCalibrate() override { return {}; }
    CommandResult sendLine(const QString &) override { return {}; }
    void requestSampling(const void *requester, int intervalMs) override
    {
        sampling[requester] = intervalMs;
    }
    void setMoveControlsLocked(bool) override {}

    void report(double um, PositionSource source = PositionSource::Fast)
    {
        emit positionReceived(um, source);
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
