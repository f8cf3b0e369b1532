#pragma once

#include "stage.h"
#include "stepanalysis.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <optional>

class CharacterisationRun;

// A step size measured on this connection, and the drive parameters it holds for.
struct StepMeasurement {
    StepAnalysis::Result result;
    qint64 measuredUtcMs = 0;
    int durationMs = 0;
    int intervalMs = 0;
    int cycles = 0;
};

// What the last complete characterisation run measured, kept until the link closes, and which
// way the stage was last stepped open loop (forgotten after a closed-loop move or homing, which
// take up the drive's slack their own way). No widgets.
class MeasuredSteps : public QObject {
    Q_OBJECT

public:
    explicit MeasuredSteps(Stage *stage, QObject *parent = nullptr);

    // Keeps what each complete run of this one measured, when it measured a step.
    void follow(CharacterisationRun *run);
    void keep(const StepMeasurement &measurement);
    void forget();

    const std::optional<StepMeasurement> &measurement() const { return kept; }
    std::optional<StepAnalysis::Direction> lastDirection() const { return direction; }
    // "≈ 0.83 µm/step forward, 0.71 reverse, measured 14:03 UTC", or that nothing was measured.
    QString summary() const;
    // Why a move cannot use the measurement with the page's parameters now; empty when it can.
    QString unusableReason(const PanelState &state) const;

signals:
    void changed();

private:
    void onEvent(const PanelEvent &event);

    QPointer<Stage> stage;
    std::optional<StepMeasurement> kept;
    std::optional<StepAnalysis::Direction> direction;
};
