#include "sequencerunner.h"

#include <QTimer>

namespace {

// "The sequence has no steps" from "the sequence has no steps".
QString sentence(QString clause)
{
    if (!clause.isEmpty())
        clause[0] = clause.at(0).toUpper();
    return clause;
}

} // namespace

SequenceRunner::SequenceRunner(Stage *s, Clock::Source c, QObject *parent)
    : QObject(parent), stage(s), clock(Clock::orSteady(std::move(c))), dwellTimer(new QTimer(this))
{
    qRegisterMetaType<SequenceLog>("SequenceLog");
    qRegisterMetaType<SequenceRunner::State>("SequenceRunner::State");
    waiter = new MoveWaiter(stage, clock, this);
    dwellTimer->setSingleShot(true);
    dwellTimer->setTimerType(Qt::PreciseTimer);
    connect(dwellTimer, &QTimer::timeout, this, &SequenceRunner::tick);
    connect(waiter, &MoveWaiter::settled, this, &SequenceRunner::onSettled);
    connect(waiter, &MoveWaiter::timedOut, this, &SequenceRunner::onTimedOut);
    connect(waiter, &MoveWaiter::refused, this, &SequenceRunner::onRefused);
    connect(waiter, &MoveWaiter::linkLost, this, [this](const QString &reason) {
        onEvent(PanelEvent{PanelEvent::Kind::Disconnected, reason});
    });
    connect(stage, &Stage::panelEvent, this, &SequenceRunner::onEvent);
    connect(stage, &Stage::stateChanged, this, [this] {
        const bool now = isAvailable();
        if (now != wasAvailable) {
            wasAvailable = now;
            emit availabilityChanged(now);
        }
    });
    wasAvailable = isAvailable();
}

QString SequenceRunner::stateName(State state)
{
    switch (state) {
    case State::Idle:
        return QStringLiteral("idle");
    case State::Moving:
        return QStringLiteral("moving");
    case State::Dwelling:
        return QStringLiteral("dwelling");
    case State::Paused:
        return QStringLiteral("paused");
    case State::TimedOut:
        return QStringLiteral("timed_out");
    }
    return QString();
}

bool SequenceRunner::isAvailable(QString *why) const
{
    const PanelState s = stage->state();
    QString reason;
    if (!s.connected)
        reason = tr("The panel is not connected to a controller");
    else if (!s.identified())
        reason = tr("No controller has identified itself yet");
    else if (!s.closedLoop)
        reason = tr("Sequences need the closed-loop page");
    else if (!s.homed)
        reason = tr("Press Home before running a sequence");
    if (why)
        *why = reason;
    return reason.isEmpty();
}

SequenceRunner::Refusal SequenceRunner::check(const SequenceSteps &steps, int repeat) const
{
    Refusal refusal;
    const auto refuse = [&refusal](Refusal::Code code, const QString &message) {
        refusal.code = code;
        refusal.message = message;
        refusal.stepMessage = message;
        return refusal;
    };
    // A refusal about rows, worded for the window and for a script.
    const auto refuseRows = [&refusal](Refusal::Code code, const QString &ifOne,
                                       const QString &ifMany) {
        using Sequence::Numbering;
        refusal.code = code;
        refusal.message = Sequence::aboutRows(Numbering::Rows, refusal.rows, ifOne, ifMany);
        refusal.stepMessage = Sequence::aboutRows(Numbering::Steps, refusal.rows, ifOne, ifMany);
        return refusal;
    };
    if (isRunning())
        return refuse(Refusal::Code::Busy, tr("A sequence is already running"));
    const std::optional<Mover> holder = stage->state().motionOwner;
    if (holder && *holder != Mover::sequence(this))
        return refuse(Refusal::Code::Busy,
                      tr("The stage is busy: %1 holds it").arg(moverName(*holder)));
    QString why;
    if (!isAvailable(&why))
        return refuse(Refusal::Code::Unavailable, why);
    const QString countProblem = Sequence::countProblem(steps.size());
    if (!countProblem.isEmpty())
        return refuse(Refusal::Code::BadArgument, sentence(countProblem));
    const QString repeatProblem = Sequence::repeatProblem(repeat);
    if (!repeatProblem.isEmpty())
        return refuse(Refusal::Code::BadArgument, sentence(repeatProblem));
    QString firstProblem;
    for (int i = 0; i < steps.size(); ++i) {
        const QString problem = Sequence::stepProblem(steps.at(i));
        if (problem.isEmpty())
            continue;
        if (firstProblem.isEmpty())
            firstProblem = problem;
        refusal.rows.append(i);
    }
    if (!refusal.rows.isEmpty())
        return refuseRows(Refusal::Code::BadArgument, tr("cannot be run: %1").arg(firstProblem),
                          tr("cannot be run (the first: %1)").arg(firstProblem));
    const PanelState s = stage->state();
    for (int i = 0; i < steps.size(); ++i) {
        const double um = steps.at(i).targetUm;
        if (um < s.travelMinUm || um > s.travelMaxUm)
            refusal.rows.append(i);
    }
    if (!refusal.rows.isEmpty()) {
        const QString travel = tr("(%1 to %2 \u00b5m)").arg(s.travelMinUm).arg(s.travelMaxUm);
        return refuseRows(Refusal::Code::OutOfTravel, tr("lies beyond the travel %1").arg(travel),
                          tr("lie beyond the travel %1").arg(travel));
    }
    return refusal;
}

SequenceRunner::Refusal SequenceRunner::start(const SequenceSteps &steps, int repeat,
                                              bool reverseOddPasses, const QString &origin)
{
    const Refusal refusal = check(steps, repeat);
    if (!refusal.ok())
        return refusal;
    const CommandResult claimed = stage->claimMotion(Mover::sequence(this));
    if (!claimed.ok()) {
        Refusal busy;
        busy.code = claimed.code == CommandResult::Code::Busy ? Refusal::Code::Busy
                                                              : Refusal::Code::Unavailable;
        busy.message = claimed.message;
        busy.stepMessage = claimed.message;
        return busy;
    }
    plan = steps;
    repeats = repeat;
    backAndForth = reverseOddPasses;
    dwellPrefix.resize(plan.size() + 1);
    dwellPrefix[0] = 0;
    for (int i = 0; i < plan.size(); ++i)
        dwellPrefix[i + 1] = dwellPrefix[i] + plan.at(i).dwellMs;
    planIndex = 0;
    pauseRequested = false;
    overheadSumMs = 0;
    overheadCount = 0;
    runLog.clear();
    truncated = false;
    run = RunInfo();
    run.origin = origin;
    run.stageAtStart = stage->state();
    run.steps = int(plan.size());
    run.repeats = repeats;
    run.backAndForth = backAndForth;
    run.toleranceUm = tolerance;
    run.timeoutMs = timeout;
    run.startedUtcMs = Clock::utcMs();
    beginStep();
    return refusal;
}

int SequenceRunner::rowAt(qint64 index) const
{
    const qint64 n = plan.size();
    if (n == 0)
        return -1;
    const qint64 pass = index / n;
    const qint64 k = index % n;
    return int(backAndForth && pass % 2 == 1 ? n - 1 - k : k);
}

int SequenceRunner::step() const
{
    return plan.isEmpty() ? 0 : int(qMin(planIndex, totalSteps() - 1) % plan.size()) + 1;
}

int SequenceRunner::repeat() const
{
    return plan.isEmpty() ? 0 : int(qMin(planIndex, totalSteps() - 1) / plan.size()) + 1;
}

int SequenceRunner::row() const
{
    return isRunning() ? rowAt(planIndex) : -1;
}

QString SequenceRunner::where() const
{
    const SequenceStep &s = plan.at(rowAt(planIndex));
    const QString label = s.label.isEmpty() ? QString() : QStringLiteral(" (\"%1\")").arg(s.label);
    return tr("step %1 of %2%3, repeat %4 of %5")
        .arg(step())
        .arg(stepCount())
        .arg(label)
        .arg(repeat())
        .arg(repeats);
}

std::optional<qint64> SequenceRunner::remainingMs() const
{
    if (!isRunning() || overheadCount == 0)
        return std::nullopt;
    const qint64 n = plan.size();
    // The current step counts in full until it has settled.
    const qint64 left = totalSteps() - planIndex - (current == State::Dwelling ? 1 : 0);
    const qint64 pass = planIndex / n;
    const qint64 k = planIndex % n;
    const bool reversed = backAndForth && pass % 2 == 1;
    // Dwell still ahead in this pass, then in the passes after it.
    qint64 dwell = reversed ? dwellPrefix[n - k] : dwellPrefix[n] - dwellPrefix[k];
    dwell += (repeats - pass - 1) * dwellPrefix[n];
    if (current == State::Dwelling)
        dwell -= plan.at(rowAt(planIndex)).dwellMs - qMax<qint64>(0, dwellUntilMs - clock());
    const qint64 moving = left * overheadSumMs / overheadCount;
    return qMax<qint64>(0, dwell + moving);
}

void SequenceRunner::beginStep()
{
    const SequenceStep &s = plan.at(rowAt(planIndex));
    current = State::Moving;
    stepLogged = false;
    stepStartedMs = clock();
    stepStartedUtc = Clock::utcMs();
    waiter->start(s.targetUm, tolerance, timeout);
    const CommandResult sent = stage->moveTo(s.targetUm, Mover::sequence(this));
    if (!sent.ok()) {
        end(tr("The move of %1 was refused: %2").arg(where(), sent.message));
        return;
    }
    announce();
}

void SequenceRunner::onSettled(double positionUm, double elapsedS)
{
    if (current != State::Moving)
        return;
    appendLog(positionUm, elapsedS, SequenceLogEntry::Outcome::Settled);
    current = State::Dwelling;
    const int dwell = plan.at(rowAt(planIndex)).dwellMs;
    dwellUntilMs = clock() + dwell;
    if (dwell <= 0) {
        finishDwell();
        return;
    }
    dwellTimer->start(dwell);
    announce();
}

void SequenceRunner::tick()
{
    if (waiter->isWaiting())
        waiter->checkTimeout();
    if (current != State::Dwelling)
        return;
    const qint64 left = dwellUntilMs - clock();
    if (left <= 0) {
        finishDwell();
    } else if (!dwellTimer->isActive()) {
        dwellTimer->start(int(left));
    }
}

void SequenceRunner::finishDwell()
{
    dwellTimer->stop();
    overheadSumMs += qMax<qint64>(0, clock() - stepStartedMs - plan.at(rowAt(planIndex)).dwellMs);
    ++overheadCount;
    advance();
}

void SequenceRunner::advance()
{
    ++planIndex;
    if (planIndex >= totalSteps()) {
        end(QString());
        return;
    }
    if (pauseRequested) {
        pauseRequested = false;
        current = State::Paused;
        announce();
        return;
    }
    beginStep();
}

void SequenceRunner::onTimedOut(double lastPositionUm)
{
    if (current != State::Moving)
        return;
    current = State::TimedOut;
    const SequenceStep &s = plan.at(rowAt(planIndex));
    const QString message =
        tr("The stage did not settle within %1 \u00b5m of %2 \u00b5m in %3 s at %4 "
           "(last position %5 \u00b5m). Retry, skip or abort.")
            .arg(tolerance)
            .arg(s.targetUm)
            .arg(timeout / 1000.0)
            .arg(where())
            .arg(lastPositionUm);
    emit stepTimedOut(rowAt(planIndex), message);
    announce();
}

void SequenceRunner::onRefused(const QString &reason)
{
    if (current == State::Moving)
        end(tr("The controller refused the move of %1: %2").arg(where(), reason));
}

void SequenceRunner::onEvent(const PanelEvent &event)
{
    if (!isRunning())
        return;
    if (event.kind == PanelEvent::Kind::Disconnected) {
        end(tr("The link to the controller was lost at %1: %2").arg(where(), event.text));
    } else if (event.kind == PanelEvent::Kind::Stop && !stopping) {
        end(tr("Stopped by the operator at %1").arg(where()));
    }
}

void SequenceRunner::pause()
{
    if (current != State::Moving && current != State::Dwelling)
        return;
    pauseRequested = true;
    announce();
}

void SequenceRunner::resume()
{
    if (current == State::Paused) {
        beginStep();
    } else if (pauseRequested) {
        pauseRequested = false;
        announce();
    }
}

void SequenceRunner::retry()
{
    if (current == State::TimedOut)
        beginStep();
}

void SequenceRunner::skip()
{
    if (current != State::TimedOut)
        return;
    appendLog(std::nullopt, double(clock() - stepStartedMs) / 1000.0,
              SequenceLogEntry::Outcome::Skipped);
    advance();
}

void SequenceRunner::abort()
{
    if (!isRunning())
        return;
    const QString at = where();
    waiter->cancel();
    dwellTimer->stop();
    stopping = true;
    const CommandResult stopped = stage->stop(Mover::sequence(this));
    stopping = false;
    // The Stop above may have ended the run already, if the link was gone.
    if (isRunning())
        end(stopped.ok() ? tr("Aborted at %1").arg(at)
                         : tr("Aborted at %1; Stop was refused: %2").arg(at, stopped.message));
}

CommandResult SequenceRunner::goTo(double targetUm)
{
    if (isRunning())
        return CommandResult::refused(CommandResult::Code::Unavailable,
                                      tr("A sequence is running"));
    return stage->moveTo(targetUm, Mover::operatorMover());
}

void SequenceRunner::appendLog(std::optional<double> settledUm, double settleS,
                               SequenceLogEntry::Outcome outcome)
{
    if (runLog.size() >= kMaxLogEntries) {
        truncated = true;
        return;
    }
    const int r = rowAt(planIndex);
    SequenceLogEntry e;
    e.repeat = repeat();
    e.step = step();
    e.row = r;
    e.label = plan.at(r).label;
    e.targetUm = plan.at(r).targetUm;
    e.settledUm = settledUm;
    e.settleS = settleS;
    e.startedMsUtc = stepStartedUtc;
    e.outcome = outcome;
    runLog.append(e);
    stepLogged = true;
}

// The step the run ended in goes into the log as aborted, settled or not.
void SequenceRunner::logCutShort()
{
    if (current == State::Moving || current == State::TimedOut) {
        appendLog(std::nullopt, double(clock() - stepStartedMs) / 1000.0,
                  SequenceLogEntry::Outcome::Aborted);
    } else if (current == State::Dwelling && stepLogged) {
        runLog.last().outcome = SequenceLogEntry::Outcome::Aborted;
    }
}

void SequenceRunner::end(const QString &error)
{
    waiter->cancel();
    dwellTimer->stop();
    if (!error.isEmpty())
        logCutShort();
    current = State::Idle;
    pauseRequested = false;
    run.ending = error;
    run.endedUtcMs = Clock::utcMs();
    stage->releaseMotion(Mover::sequence(this));
    announce();
    emit finished(runLog, error);
}

void SequenceRunner::announce()
{
    emit progress(step(), repeat(), current);
}

Provenance SequenceRunner::provenance() const
{
    Provenance p = Provenance::of(run.stageAtStart);
    p.toleranceUm = run.toleranceUm;
    const auto add = [&p](const char *key, const QString &value) {
        p.extra.append({QString::fromLatin1(key), value});
    };
    add("sequence", run.origin);
    add("steps", QString::number(run.steps));
    add("repeats", QString::number(run.repeats));
    add("back_and_forth", run.backAndForth ? QStringLiteral("yes") : QStringLiteral("no"));
    add("timeout_s", QString::number(run.timeoutMs / 1000.0));
    add("run_started_utc", run.startedUtcMs > 0 ? isoUtc(run.startedUtcMs) : QString());
    add("run_ended_utc", run.endedUtcMs > 0 ? isoUtc(run.endedUtcMs) : QString());
    if (run.startedUtcMs > 0 && run.endedUtcMs > 0)
        add("run_result", run.ending.isEmpty() ? QStringLiteral("finished") : run.ending);
    else
        add("run_result", QString());
    QString logged = QString::number(runLog.size());
    if (truncated)
        logged += tr(" (the first of more steps: the log holds at most %1)").arg(kMaxLogEntries);
    add("log_rows", logged);
    return p;
}
