#pragma once

#include "clock.h"
#include "openloopprobe.h"
#include "stage.h"
#include "stepanalysis.h"

#include <QObject>
#include <QPointer>

#include <optional>

class MeasuredSteps;
class StepSender;

// What an open-loop move by a distance did.
struct OpenLoopMoveOutcome {
    double requestedUm = 0.0;
    StepAnalysis::StepPlan plan;
    std::optional<double> beforeUm;
    std::optional<double> afterUm;
    // Whether the stage had come to rest when it was read afterwards.
    bool still = false;

    std::optional<double> movedUm() const
    {
        if (!beforeUm || !afterUm)
            return std::nullopt;
        return *afterUm - *beforeUm;
    }
    // "Moved 99.6 µm in 120 forward steps (asked ≈ 100 µm, expected 99.6 µm)".
    QString text() const;
};

// "Move ≈ x µm" in open loop: converts the distance into forward or reverse steps with the
// measured step size (and the lost motion when the direction turns), reads the position, sends
// the steps, reads the position again once the stage is still and tells what the move did. It
// holds the stage's motion meanwhile and ends at once, as a characterisation run does, on Stop,
// a lost link, an error from the controller or a position that is not answered. No widgets;
// with a ManualClock, call tick() after advancing it.
class OpenLoopMove : public QObject {
    Q_OBJECT

public:
    static constexpr int kMaxSteps = 10000;
    static constexpr double kStillToleranceUm = 0.05;
    static constexpr int kStillWaitMs = 1000;

    OpenLoopMove(Stage *stage, MeasuredSteps *measured, Clock::Source clock = {},
                 QObject *parent = nullptr);
    ~OpenLoopMove() override;

    // The plan for distanceUm with the measurement and the stage as they are, or why there is
    // none.
    StepAnalysis::StepPlan plan(double distanceUm, QString *whyNot) const;
    // Refused at once with the reason, or under way until finished.
    CommandResult start(double distanceUm, const Mover &who);
    void abort();
    bool isRunning() const { return running; }
    const OpenLoopMoveOutcome &outcome() const { return last; }
    OpenLoopEnding ending() const { return lastEnding; }

public slots:
    void tick();

signals:
    void started(const OpenLoopMoveOutcome &planned);
    // error is empty when the move was made and read back.
    void finished(const OpenLoopMoveOutcome &outcome, const QString &error);

private:
    void onReading(double positionUm, qint64 atMs, bool still);
    void onEvent(const PanelEvent &event);
    void fail(OpenLoopEnding ending, const QString &error, bool sendStop);
    void end(OpenLoopEnding ending, const QString &error);

    QPointer<Stage> stage;
    QPointer<MeasuredSteps> measured;
    OpenLoopProbe *probe = nullptr;
    StepSender *sender = nullptr;
    OpenLoopMoveOutcome last;
    Mover mover;
    bool running = false;
    bool stepsSent = false;
    bool stopping = false;
    int driveMs = 0;
    OpenLoopEnding lastEnding = OpenLoopEnding::None;
};
