#include "characterisationrun.h"

#include "micrometres.h"
#include "openloopprobe.h"
#include "stepsender.h"

#include <algorithm>
#include <cmath>

namespace {

using StepAnalysis::Direction;

constexpr qint64 kMaxDriveMs = 10LL * 60 * 1000;

int indexOf(Direction direction)
{
    return direction == Direction::Forward ? 0 : 1;
}

Direction opposite(Direction direction)
{
    return direction == Direction::Forward ? Direction::Reverse : Direction::Forward;
}

CommandResult refused(CommandResult::Code code, const QString &message)
{
    return CommandResult::refused(code, message);
}

} // namespace

CharacterisationRun::CharacterisationRun(Stage *s, Clock::Source c, QObject *parent)
    : QObject(parent), stage(s), clock(Clock::orSteady(std::move(c))),
      probe(new OpenLoopProbe(s, clock, this)), sender(new StepSender(s, this))
{
    qRegisterMetaType<CharacterisationRun::Phase>("CharacterisationRun::Phase");
    connect(probe, &OpenLoopProbe::sampled, this, &CharacterisationRun::onSampled);
    connect(probe, &OpenLoopProbe::reading, this, &CharacterisationRun::onReading);
    connect(probe, &OpenLoopProbe::unanswered, this, [this] {
        fail(Ending::NoPositionReply,
             tr("No position reply within 1 s %1: this controller does not report positions in "
                "open loop")
                 .arg(where()),
             true);
    });
    connect(probe, &OpenLoopProbe::refused, this, [this](const QString &reason) {
        fail(Ending::Refused, tr("Stopped %1: %2").arg(where(), reason), true);
    });
    connect(sender, &StepSender::sent, this, [this] {
        probe->readWhenStill(driveMs, asked.toleranceUm, std::max(asked.settleMs, kMinStillWaitMs));
    });
    connect(sender, &StepSender::refused, this, [this](const QString &reason) {
        fail(Ending::Refused, tr("Stopped %1: a step was refused: %2").arg(where(), reason), true);
    });
    connect(stage, &Stage::panelEvent, this, &CharacterisationRun::onEvent);
    connect(stage, &Stage::stateChanged, this, &CharacterisationRun::onStateChanged);
}

CharacterisationRun::~CharacterisationRun()
{
    // The panel is closing mid-run: the steps already sent are stopped, and the stage is free.
    if (isRunning() && stage) {
        probe->cancel();
        sender->cancel();
        if (stage->state().connected)
            stage->stop(me());
        stage->releaseMotion(me());
    }
}

QString CharacterisationRun::phaseName(Phase phase)
{
    switch (phase) {
    case Phase::Idle:
        return QStringLiteral("idle");
    case Phase::Reading:
        return QStringLiteral("reading");
    case Phase::Stepping:
        return QStringLiteral("stepping");
    case Phase::Settling:
        return QStringLiteral("settling");
    }
    return QString();
}

QString CharacterisationRun::unavailableReason(const PanelState &state)
{
    if (!state.connected)
        return tr("The panel is not connected to a controller");
    if (!state.identified())
        return tr("No controller has identified itself yet");
    if (state.model != QLatin1String("1901"))
        return tr("Step characterisation needs a DVX1901, whose position sensor answers \">cp\" "
                  "in open loop");
    if (state.closedLoop)
        return tr("Step characterisation needs the open-loop page");
    return QString();
}

CommandResult CharacterisationRun::check(const CharacterisationSettings &s) const
{
    if (isRunning())
        return refused(CommandResult::Code::Busy, tr("A step characterisation is already running"));
    if (!stage)
        return refused(CommandResult::Code::Unavailable, tr("The panel is closing"));
    const PanelState state = stage->state();
    const QString why = unavailableReason(state);
    if (!why.isEmpty())
        return refused(state.connected ? CommandResult::Code::Unavailable
                                       : CommandResult::Code::NotConnected,
                       why);
    if (state.motionOwner && *state.motionOwner != me())
        return refused(CommandResult::Code::Busy,
                       tr("The stage is busy: %1 holds it").arg(moverName(*state.motionOwner)));
    if (s.stepsPerBurst < 1 || s.stepsPerBurst > kMaxStepsPerBurst)
        return refused(CommandResult::Code::BadArgument,
                       tr("Steps per burst must lie between 1 and %1").arg(kMaxStepsPerBurst));
    if (s.bursts < 2 || s.bursts > kMaxBursts)
        return refused(CommandResult::Code::BadArgument,
                       tr("Bursts in each direction must lie between 2 and %1").arg(kMaxBursts));
    if (s.settleMs < 0 || s.settleMs > kMaxSettleMs)
        return refused(CommandResult::Code::BadArgument,
                       tr("The settle time must lie between 0 and %1 ms").arg(kMaxSettleMs));
    if (!(s.toleranceUm >= kMinToleranceUm && s.toleranceUm <= kMaxToleranceUm))
        return refused(CommandResult::Code::BadArgument,
                       tr("The stillness tolerance must lie between %1 and %2 \u00b5m")
                           .arg(kMinToleranceUm)
                           .arg(kMaxToleranceUm));
    if (s.spanFromUm.has_value() != s.spanToUm.has_value())
        return refused(CommandResult::Code::BadArgument,
                       tr("A span needs both of its ends, or neither"));
    if (s.spanFromUm) {
        const double from = *s.spanFromUm;
        const double to = *s.spanToUm;
        if (!std::isfinite(from) || !std::isfinite(to) || !(from < to))
            return refused(CommandResult::Code::BadArgument,
                           tr("The span must run from a smaller to a larger position"));
        if (from < state.travelMinUm || to > state.travelMaxUm)
            return refused(CommandResult::Code::BadArgument,
                           tr("The span %1 to %2 reaches beyond the travel (%3 to %4)")
                               .arg(Micrometres::text(from), Micrometres::text(to),
                                    Micrometres::text(state.travelMinUm),
                                    Micrometres::text(state.travelMaxUm)));
    }
    const qint64 cycles = qint64(s.stepsPerBurst) * state.cycles;
    const qint64 drive = cycles * state.durationMs + (cycles - 1) * state.intervalMs;
    if (drive > kMaxDriveMs)
        return refused(CommandResult::Code::BadArgument,
                       tr("A burst of %1 steps would drive for %2 s with the open-loop page's "
                          "parameters; at most %3 s are allowed")
                           .arg(s.stepsPerBurst)
                           .arg(drive / 1000)
                           .arg(kMaxDriveMs / 1000));
    return CommandResult::done();
}

CommandResult CharacterisationRun::start(const CharacterisationSettings &s)
{
    const CommandResult allowed = check(s);
    if (!allowed.ok())
        return allowed;
    const CommandResult claimed = stage->claimMotion(me());
    if (!claimed.ok())
        return claimed;
    asked = s;
    records.clear();
    done[0] = done[1] = 0;
    legLeft = 0;
    spanFrom = s.spanFromUm;
    spanTo = s.spanToUm;
    lastMessage.clear();
    lastEnding = Ending::None;
    startState = stage->state();
    startUtcMs = Clock::utcMs();
    startMs = clock();
    // Every joined cycle of the burst, with the page's rest between them.
    const qint64 cycles = qint64(s.stepsPerBurst) * startState.cycles;
    driveMs = int(cycles * startState.durationMs + (cycles - 1) * startState.intervalMs);
    phase = Phase::Reading;
    // As the page sends them: the step measured is the step of these parameters.
    const CommandResult sent =
        stage->setOpenLoop(startState.durationMs, startState.intervalMs, startState.cycles, me());
    if (!sent.ok()) {
        phase = Phase::Idle;
        stage->releaseMotion(me());
        return sent;
    }
    emit started();
    emit progress(0, plannedBursts(), phase);
    probe->readAfter(0);
    return CommandResult::done();
}

void CharacterisationRun::abort()
{
    if (!isRunning())
        return;
    probe->cancel();
    sender->cancel();
    const QString at = where();
    stopping = true;
    const CommandResult stopped = stage ? stage->stop(me()) : CommandResult::done();
    stopping = false;
    // The Stop may have ended the run already, if the link was gone.
    if (isRunning())
        end(Ending::Stopped, stopped.ok()
                                 ? tr("Stopped %1").arg(at)
                                 : tr("Stopped %1; Stop was refused: %2").arg(at, stopped.message));
}

void CharacterisationRun::tick()
{
    if (sender->isSending())
        sender->sendMore();
    probe->tick();
}

StepAnalysis::Result CharacterisationRun::result() const
{
    return StepAnalysis::analyse(records, asked.directionBefore);
}

double CharacterisationRun::seconds(qint64 atMs) const
{
    return double(atMs - startMs) / 1000.0;
}

QString CharacterisationRun::where() const
{
    if (records.isEmpty())
        return tr("before the first burst");
    return tr("at burst %1 of %2 (%3)")
        .arg(burst())
        .arg(plannedBursts())
        .arg(StepAnalysis::directionName(records.constLast().direction));
}

void CharacterisationRun::onSampled(double um, qint64)
{
    // The first reading is judged on its own, before anything is sent.
    if (!isRunning() || records.isEmpty() || !spanFrom || !spanTo)
        return;
    if (um < *spanFrom || um > *spanTo)
        fail(Ending::LeftSpan,
             tr("Stopped %1: the position %2 left the span %3 to %4")
                 .arg(where(), Micrometres::text(um), Micrometres::text(*spanFrom),
                      Micrometres::text(*spanTo)),
             true);
}

void CharacterisationRun::onReading(double um, qint64 atMs, bool)
{
    if (!isRunning())
        return;
    positionUm = um;
    positionAtMs = atMs;
    switch (phase) {
    case Phase::Reading: {
        if (!spanFrom) {
            const double reach =
                kDefaultSpanFraction * (startState.travelMaxUm - startState.travelMinUm);
            spanFrom = std::max(startState.travelMinUm, um - reach);
            spanTo = std::min(startState.travelMaxUm, um + reach);
        }
        if (!(um >= *spanFrom && um <= *spanTo)) {
            fail(Ending::Refused,
                 tr("The position %1 lies outside the span %2 to %3: nothing was sent")
                     .arg(Micrometres::text(um), Micrometres::text(*spanFrom),
                          Micrometres::text(*spanTo)),
                 false);
            return;
        }
        beginNextBurst();
        return;
    }
    case Phase::Stepping: {
        StepAnalysis::Burst b = records.constLast();
        b.afterS = seconds(atMs);
        b.afterUm = um;
        records.replace(burst() - 1, b);
        emit burstChanged(burst() - 1);
        if (asked.settleMs > 0) {
            phase = Phase::Settling;
            emit progress(burst(), plannedBursts(), phase);
            probe->readAfter(asked.settleMs);
            return;
        }
        break;
    }
    case Phase::Settling: {
        StepAnalysis::Burst b = records.constLast();
        b.settledS = seconds(atMs);
        b.settledUm = um;
        records.replace(burst() - 1, b);
        emit burstChanged(burst() - 1);
        break;
    }
    case Phase::Idle:
        return;
    }
    ++done[indexOf(records.constLast().direction)];
    --legLeft;
    beginNextBurst();
}

bool CharacterisationRun::fits(Direction direction) const
{
    // The largest step seen in that direction, else in the other: a stage that is about to be
    // measured is not trusted to step less than it has been seen to.
    double largest[2] = {0.0, 0.0};
    for (const StepAnalysis::Burst &b : records) {
        if (!b.afterUm || b.steps <= 0)
            continue;
        const double step = StepAnalysis::sign(b.direction) * (*b.afterUm - b.beforeUm) / b.steps;
        if (std::isfinite(step))
            largest[indexOf(b.direction)] = std::max(largest[indexOf(b.direction)], step);
    }
    double step = largest[indexOf(direction)];
    if (!(step > 0.0))
        step = largest[indexOf(opposite(direction))];
    if (!(step > 0.0))
        return true;
    const double end =
        positionUm + StepAnalysis::sign(direction) * kEdgeMargin * asked.stepsPerBurst * step;
    return end >= *spanFrom && end <= *spanTo;
}

std::optional<StepAnalysis::Direction> CharacterisationRun::nextDirection()
{
    const int legLength = std::max(2, (asked.bursts + 1) / 2);
    const auto left = [this](Direction d) { return asked.bursts - done[indexOf(d)]; };
    if (records.isEmpty()) {
        // Towards the side with more room; with as much either way, on as the stage last went,
        // so that the first burst measures a step.
        const double forwardRoom = *spanTo - positionUm;
        const double reverseRoom = positionUm - *spanFrom;
        if (std::abs(forwardRoom - reverseRoom) < 1e-9)
            legDirection = asked.directionBefore.value_or(Direction::Forward);
        else
            legDirection = forwardRoom > reverseRoom ? Direction::Forward : Direction::Reverse;
        legLeft = legLength;
    }
    if (legLeft > 0 && left(legDirection) > 0 && fits(legDirection))
        return legDirection;
    // Turn back at the end of a run of bursts, or before the edge of the span.
    for (const Direction d : {opposite(legDirection), legDirection}) {
        if (left(d) > 0 && fits(d)) {
            legDirection = d;
            legLeft = std::min(legLength, left(d));
            return d;
        }
    }
    return std::nullopt;
}

void CharacterisationRun::beginNextBurst()
{
    const std::optional<Direction> direction = nextDirection();
    if (!direction) {
        const bool all = done[0] >= asked.bursts && done[1] >= asked.bursts;
        end(Ending::Complete,
            all ? QString()
                : tr("The span had room for %1 of %2 forward and %3 of %2 reverse bursts")
                      .arg(done[0])
                      .arg(asked.bursts)
                      .arg(done[1]));
        return;
    }
    StepAnalysis::Burst b;
    b.direction = *direction;
    b.steps = asked.stepsPerBurst;
    b.beforeS = seconds(positionAtMs);
    b.beforeUm = positionUm;
    records.append(b);
    phase = Phase::Stepping;
    emit burstChanged(burst() - 1);
    emit progress(burst(), plannedBursts(), phase);
    sender->send(*direction == Direction::Forward, asked.stepsPerBurst, me());
}

void CharacterisationRun::onEvent(const PanelEvent &event)
{
    if (!isRunning())
        return;
    switch (event.kind) {
    case PanelEvent::Kind::Disconnected:
        probe->cancel();
        sender->cancel();
        end(Ending::LinkLost,
            tr("The link to the controller was lost %1: %2").arg(where(), event.text));
        break;
    case PanelEvent::Kind::Stop:
        if (!stopping)
            fail(Ending::Stopped, tr("Stopped %1").arg(where()), false);
        break;
    case PanelEvent::Kind::Error:
        if (event.source == PanelEvent::Source::Controller)
            fail(Ending::ControllerError, tr("Stopped %1: %2").arg(where(), event.text), true);
        break;
    default:
        break;
    }
}

void CharacterisationRun::onStateChanged()
{
    if (isRunning() && stage && stage->state().connected && stage->state().closedLoop)
        fail(Ending::Refused, tr("Stopped %1: the panel left the open-loop page").arg(where()),
             true);
}

void CharacterisationRun::fail(Ending ending, const QString &error, bool sendStop)
{
    if (!isRunning())
        return;
    probe->cancel();
    sender->cancel();
    if (sendStop && stage && stage->state().connected) {
        stopping = true;
        stage->stop(me());
        stopping = false;
    }
    if (isRunning())
        end(ending, error);
}

void CharacterisationRun::end(Ending ending, const QString &text)
{
    const bool complete = ending == Ending::Complete;
    lastEnding = ending;
    probe->cancel();
    sender->cancel();
    phase = Phase::Idle;
    lastMessage = text;
    if (stage)
        stage->releaseMotion(me());
    emit progress(burst(), plannedBursts(), phase);
    emit finished(complete, complete ? QString() : text);
}
