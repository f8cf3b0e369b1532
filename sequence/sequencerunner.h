#pragma once

#include "clock.h"
#include "movewaiter.h"
#include "provenance.h"
#include "sequencestep.h"
#include "stage.h"

#include <QObject>
#include <QVector>

#include <optional>

class QTimer;

// Runs a list of steps on the stage: for each, the target box's absolute move, the wait until
// the position has settled (MoveWaiter, the same wait the control socket uses), then the dwell.
// One runner serves the sequence window and the control socket alike, so a second start while
// one run goes on is refused as busy. It holds no widgets; the clock is injectable so that
// tests can step time (with a fake clock, call tick() after advancing it).
class SequenceRunner : public QObject {
    Q_OBJECT

public:
    enum class State {
        Idle,
        // Moving to the current step's target and waiting for it to settle.
        Moving,
        Dwelling,
        // Between two steps, at the operator's request.
        Paused,
        // The current step did not settle in time: waiting for retry, skip or abort.
        TimedOut,
    };
    Q_ENUM(State)

    struct Refusal {
        enum class Code { None, Busy, Unavailable, BadArgument, OutOfTravel };
        Code code = Code::None;
        // For the sequence window, whose table numbers rows ("Rows 2 and 4 lie beyond..."),
        QString message;
        // and for a script, which numbers steps ("Steps 2 and 4 lie beyond...").
        QString stepMessage;
        // 0-based rows the refusal is about.
        QVector<int> rows;
        bool ok() const { return code == Code::None; }
    };

    // What the last run was, for the header of its exported log.
    struct RunInfo {
        // Where the steps came from ("scan.csv", "a control socket client"), as its starter says.
        QString origin;
        PanelState stageAtStart;
        int steps = 0;
        int repeats = 0;
        bool backAndForth = false;
        double toleranceUm = 0.0;
        int timeoutMs = 0;
        qint64 startedUtcMs = 0;
        qint64 endedUtcMs = 0; // 0 while it runs
        // Why it ended early; empty when every step ran.
        QString ending;
    };

    static constexpr int kDefaultTimeoutMs = 30000;
    // A run longer than this keeps its first entries only.
    static constexpr int kMaxLogEntries = 1000000;

    explicit SequenceRunner(Stage *stage, Clock::Source clock = {}, QObject *parent = nullptr);

    void setToleranceUm(double um) { tolerance = um; }
    double toleranceUm() const { return tolerance; }
    void setTimeoutMs(int ms) { timeout = ms; }
    int timeoutMs() const { return timeout; }

    // The stage the runner moves, as it is now.
    PanelState stageState() const { return stage->state(); }
    // A run needs an identified controller, the closed-loop page and a homed stage.
    bool isAvailable(QString *why = nullptr) const;
    bool isRunning() const { return current != State::Idle; }
    // What start() would refuse, without starting.
    Refusal check(const SequenceSteps &steps, int repeat = 1) const;
    Refusal start(const SequenceSteps &steps, int repeat = 1, bool backAndForth = false,
                  const QString &origin = QString());
    // Stops at once: Stop goes to the controller and the run ends. Nothing is sent afterwards.
    void abort();
    // Takes effect after the current step's dwell; resume() withdraws it or continues.
    void pause();
    void resume();
    // After a step timed out: command it again, or log it as skipped and go on.
    void retry();
    void skip();
    // One move outside any run (the window's Go), refused while a run goes on.
    CommandResult goTo(double targetUm);

    State state() const { return current; }
    bool pausePending() const { return pauseRequested; }
    // 1-based step within its pass and pass number, of the step being run or run next.
    int step() const;
    int stepCount() const { return int(plan.size()); }
    int repeat() const;
    int repeatCount() const { return repeats; }
    // 0-based row of the list that step came from, -1 when idle.
    int row() const;
    qint64 stepsDone() const { return planIndex; }
    qint64 totalSteps() const { return qint64(plan.size()) * repeats; }
    // From the measured step times; nothing before the first step has finished.
    std::optional<qint64> remainingMs() const;
    const SequenceSteps &steps() const { return plan; }
    const SequenceLog &log() const { return runLog; }
    const RunInfo &lastRun() const { return run; }
    // The "#" lines an exported log begins with: the stage the run was on and what the run was.
    Provenance provenance() const;
    static QString stateName(State state);

public slots:
    void tick();

signals:
    void progress(int step, int repeat, SequenceRunner::State state);
    void availabilityChanged(bool available);
    void stepTimedOut(int row, const QString &message);
    // error is empty when every step ran.
    void finished(const SequenceLog &log, const QString &error);

private:
    int rowAt(qint64 index) const;
    QString where() const;
    void beginStep();
    void onSettled(double positionUm, double elapsedS);
    void onRefused(const QString &reason);
    void onTimedOut(double lastPositionUm);
    void onEvent(const PanelEvent &event);
    void finishDwell();
    void advance();
    void appendLog(std::optional<double> settledUm, double settleS,
                   SequenceLogEntry::Outcome outcome);
    void logCutShort();
    void end(const QString &error);
    void announce();

    Stage *stage = nullptr;
    Clock::Source clock;
    MoveWaiter *waiter = nullptr;
    QTimer *dwellTimer = nullptr;
    double tolerance = 0.5;
    int timeout = kDefaultTimeoutMs;

    SequenceSteps plan;
    QVector<qint64> dwellPrefix;
    int repeats = 1;
    bool backAndForth = false;
    qint64 planIndex = 0;
    State current = State::Idle;
    bool pauseRequested = false;
    bool stopping = false;
    bool wasAvailable = false;
    qint64 stepStartedMs = 0;
    qint64 stepStartedUtc = 0;
    qint64 dwellUntilMs = 0;
    qint64 overheadSumMs = 0;
    qint64 overheadCount = 0;
    SequenceLog runLog;
    // The step in progress has its entry in the log.
    bool stepLogged = false;
    bool truncated = false;
    RunInfo run;
};
