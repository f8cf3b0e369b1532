#pragma once

#include "clock.h"
#include "openloopprobe.h"
#include "stage.h"
#include "stepanalysis.h"

#include <QObject>
#include <QPointer>
#include <QVector>

#include <optional>

// What a characterisation run is asked to do.
struct CharacterisationSettings {
    int stepsPerBurst = 20;
    // In each direction.
    int bursts = 10;
    // How long the stage is left alone after it has come to rest, before the reading that
    // measures its creep; 0 takes no such reading.
    int settleMs = 500;
    // Still: Settling's count of readings in a row within this of the first of them.
    double toleranceUm = 0.05;
    // The span the stage must stay in. Without one: around the position the run finds first,
    // a tenth of the travel each way, within the travel.
    std::optional<double> spanFromUm;
    std::optional<double> spanToUm;
    // The way the stage was last stepped before the run, when known.
    std::optional<StepAnalysis::Direction> directionBefore;
};

// Measures the open-loop step of a DVX1901 stage: it holds the stage's motion, sends the
// open-loop page's drive parameters as they are, reads the position, then sends bursts of steps
// in runs of one direction and then the other, turning back before the span's edge, reading the
// position once the stage is still and again after the settle time. Positions are asked for
// with explicit requests, since nothing polls in open loop. It stops at once, and sends Stop
// where the link still stands, on Stop, a lost link, an error from the controller, a position
// outside the span or one that is not answered; nothing is tried again. No widgets; with a
// ManualClock, call tick() after advancing it.
class StepSender;

class CharacterisationRun : public QObject {
    Q_OBJECT

public:
    static constexpr int kMaxStepsPerBurst = 1000;
    static constexpr int kMaxBursts = 1000;
    static constexpr int kMaxSettleMs = 60000;
    static constexpr double kMinToleranceUm = 0.001;
    static constexpr double kMaxToleranceUm = 100.0;
    static constexpr double kDefaultSpanFraction = 0.1;
    // How long the stage may take to come to rest after the drive when the settle time is
    // shorter.
    static constexpr int kMinStillWaitMs = 1000;
    // A burst is sent only when what the largest step seen so far would make of it, with this to
    // spare, stays in the span.
    static constexpr double kEdgeMargin = 1.5;

    enum class Phase { Idle, Reading, Stepping, Settling };
    Q_ENUM(Phase)

    using Ending = OpenLoopEnding;

    explicit CharacterisationRun(Stage *stage, Clock::Source clock = {}, QObject *parent = nullptr);
    ~CharacterisationRun() override;

    // Why a run cannot start on this stage now; empty when it can.
    static QString unavailableReason(const PanelState &state);
    // What start() would refuse, without starting.
    CommandResult check(const CharacterisationSettings &settings) const;
    CommandResult start(const CharacterisationSettings &settings);
    // Stop: sends Stop and ends the run at once.
    void abort();

    bool isRunning() const { return phase != Phase::Idle; }
    Phase currentPhase() const { return phase; }
    static QString phaseName(Phase phase);
    const CharacterisationSettings &settings() const { return asked; }
    // The span the run keeps to; known once it has read the first position.
    std::optional<double> spanFromUm() const { return spanFrom; }
    std::optional<double> spanToUm() const { return spanTo; }
    // The bursts of the run under way or of the last one, a burst cut short included.
    const QVector<StepAnalysis::Burst> &bursts() const { return records; }
    StepAnalysis::Result result() const;
    // The stage as it was when the run began, and when that was: for an export's provenance.
    const PanelState &stateAtStart() const { return startState; }
    qint64 startedUtcMs() const { return startUtcMs; }
    // 1-based burst under way (0 before the first) and how many the run plans.
    int burst() const { return int(records.size()); }
    int plannedBursts() const { return 2 * asked.bursts; }
    // Why the last run ended early, or a note on how it finished.
    QString message() const { return lastMessage; }
    Ending ending() const { return lastEnding; }

public slots:
    void tick();

signals:
    void started();
    void progress(int burst, int plannedBursts, CharacterisationRun::Phase phase);
    // bursts().at(index) gained a reading.
    void burstChanged(int index);
    // complete: every planned burst was measured, or as many as the span had room for; else
    // error says why the run ended.
    void finished(bool complete, const QString &error);

private:
    using Direction = StepAnalysis::Direction;

    void onSampled(double positionUm, qint64 atMs);
    void onReading(double positionUm, qint64 atMs, bool still);
    void onEvent(const PanelEvent &event);
    void onStateChanged();
    void beginNextBurst();
    std::optional<Direction> nextDirection();
    bool fits(Direction direction) const;
    double seconds(qint64 atMs) const;
    QString where() const;
    void fail(Ending ending, const QString &error, bool sendStop);
    void end(Ending ending, const QString &text);
    Mover me() const { return Mover::characterisation(this); }

    QPointer<Stage> stage;
    Clock::Source clock;
    OpenLoopProbe *probe = nullptr;
    StepSender *sender = nullptr;
    Phase phase = Phase::Idle;
    CharacterisationSettings asked;
    PanelState startState;
    qint64 startUtcMs = 0;
    qint64 startMs = 0;
    int driveMs = 0;
    std::optional<double> spanFrom;
    std::optional<double> spanTo;
    QVector<StepAnalysis::Burst> records;
    double positionUm = 0.0;
    qint64 positionAtMs = 0;
    // The run of bursts under way: its direction and how many more it may have.
    Direction legDirection = Direction::Forward;
    int legLeft = 0;
    int done[2] = {0, 0};
    bool stopping = false;
    QString lastMessage;
    Ending lastEnding = Ending::None;
};
