#pragma once

#include "stage.h"

class MainWindow;

// The window's command interface: each command checks the control an operator would use and
// then works it, through the same slot the control's signal runs.
class PanelStage : public Stage {
    Q_OBJECT

public:
    explicit PanelStage(MainWindow *window);

    PanelState state() const override;
    CommandResult connectPort(const QString &path) override;
    CommandResult disconnectPort() override;
    CommandResult home() override;
    CommandResult stop() override;
    CommandResult moveTo(double targetUm) override;
    CommandResult moveBy(double stepUm) override;
    CommandResult setOpenLoop(std::optional<int> durationMs, std::optional<int> intervalMs,
                              std::optional<int> cycles) override;
    CommandResult step(bool forward) override;
    CommandResult bi() override;
    CommandResult autoCalibrate() override;
    CommandResult sendLine(const QString &line) override;
    void requestSampling(const void *requester, int intervalMs) override;
    void setMoveControlsLocked(bool locked) override;

private:
    // Refuses when the panel has no open link.
    std::optional<CommandResult> refuseUnlessConnected() const;

    MainWindow *w;
};
