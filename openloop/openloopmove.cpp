#include "openloopmove.h"

#include "measuredsteps.h"
#include "micrometres.h"
#include "openloopprobe.h"
#include "stepsender.h"

#include <cmath>
#include <limits>

using StepAnalysis::Direction;

QString OpenLoopMoveOutcome::text() const
{
    const bool forward = plan.direction == Direction::Forward;
    const QString steps =
        plan.steps == 1
            ? (forward ? QObject::tr("1 forward step") : QObject::tr("1 reverse step"))
            : (forward ? QObject::tr("%1 forward steps") : QObject::tr("%1 reverse steps"))
                  .arg(plan.steps);
    const QString asked =
        QObject::tr("asked \u2248 %1, expected %2")
            .arg(Micrometres::text(requestedUm), Micrometres::text(plan.expectedUm));
    const std::optional<double> moved = movedUm();
    if (!moved)
        return QObject::tr("%1 sent (%2)").arg(steps, asked);
    return QObject::tr("Moved %1 in %2 (%3)%4")
        .arg(Micrometres::text(std::round(*moved * 1000.0) / 1000.0), steps, asked,
             still ? QString() : QObject::tr("; the stage was still moving when read"));
}

OpenLoopMove::OpenLoopMove(Stage *s, MeasuredSteps *m, Clock::Source clock, QObject *parent)
    : QObject(parent), stage(s), measured(m), probe(new OpenLoopProbe(s, std::move(clock), this)),
      sender(new StepSender(s, this))
{
    qRegisterMetaType<OpenLoopMoveOutcome>("OpenLoopMoveOutcome");
    connect(probe, &OpenLoopProbe::reading, this, &OpenLoopMove::onReading);
    connect(probe, &OpenLoopProbe::unanswered, this, [this] {
        fail(OpenLoopEnding::NoPositionReply,
             tr("No position reply within 1 s: this controller does not report positions in "
                "open loop"),
             true);
    });
    connect(probe, &OpenLoopProbe::refused, this,
            [this](const QString &reason) { fail(OpenLoopEnding::Refused, reason, true); });
    connect(sender, &StepSender::sent, this,
            [this] { probe->readWhenStill(driveMs, kStillToleranceUm, kStillWaitMs); });
    connect(sender, &StepSender::refused, this, [this](const QString &reason) {
        fail(OpenLoopEnding::Refused, tr("A step was refused: %1").arg(reason), true);
    });
    connect(stage, &Stage::panelEvent, this, &OpenLoopMove::onEvent);
    connect(stage, &Stage::stateChanged, this, [this] {
        if (running && stage->state().connected && stage->state().closedLoop)
            fail(OpenLoopEnding::Refused, tr("The panel left the open-loop page"), true);
    });
}

OpenLoopMove::~OpenLoopMove()
{
    if (running && stage) {
        probe->cancel();
        sender->cancel();
        if (stepsSent && stage->state().connected)
            stage->stop(mover);
        stage->releaseMotion(mover);
    }
}

StepAnalysis::StepPlan OpenLoopMove::plan(double distanceUm, QString *whyNot) const
{
    StepAnalysis::StepPlan none;
    QString why;
    const PanelState state = stage ? stage->state() : PanelState();
    if (!stage)
        why = tr("The panel is closing");
    else if (!state.connected)
        why = tr("The panel is not connected to a controller");
    else if (state.closedLoop)
        why = tr("Open-loop moves need the open-loop page");
    else if (!measured)
        why = tr("No step size has been measured");
    else
        why = measured->unusableReason(state);
    if (why.isEmpty()) {
        none = StepAnalysis::planMove(measured->measurement()->result, distanceUm,
                                      measured->lastDirection());
        if (!none.possible)
            why = none.reason;
        else if (none.steps == 0)
            why = tr("%1 is less than half a step: nothing to send")
                      .arg(Micrometres::text(distanceUm));
        else if (none.steps > kMaxSteps)
            why = tr("A move of %1 would take %2 steps; one move sends at most %3")
                      .arg(Micrometres::text(distanceUm))
                      .arg(none.steps)
                      .arg(kMaxSteps);
    }
    if (whyNot)
        *whyNot = why;
    if (!why.isEmpty())
        none.possible = false;
    return none;
}

CommandResult OpenLoopMove::start(double distanceUm, const Mover &who)
{
    if (running)
        return CommandResult::refused(CommandResult::Code::Busy,
                                      tr("An open-loop move is under way"));
    const std::optional<Mover> holder = stage ? stage->state().motionOwner : std::nullopt;
    if (holder && *holder != who)
        return CommandResult::refused(CommandResult::Code::Busy,
                                      tr("The stage is busy: %1 holds it").arg(moverName(*holder)));
    QString why;
    const StepAnalysis::StepPlan planned = plan(distanceUm, &why);
    if (!why.isEmpty()) {
        const PanelState state = stage ? stage->state() : PanelState();
        const CommandResult::Code code =
            !state.connected ? CommandResult::Code::NotConnected
            : state.closedLoop || !measured || !measured->unusableReason(state).isEmpty()
                ? CommandResult::Code::Unavailable
                : CommandResult::Code::BadArgument;
        return CommandResult::refused(code, why);
    }
    const CommandResult claimed = stage->claimMotion(who);
    if (!claimed.ok())
        return claimed;
    mover = who;
    running = true;
    stepsSent = false;
    last = OpenLoopMoveOutcome();
    lastEnding = OpenLoopEnding::None;
    last.requestedUm = distanceUm;
    last.plan = planned;
    const PanelState state = stage->state();
    const qint64 cycles = qint64(planned.steps) * state.cycles;
    driveMs = int(qMin<qint64>(cycles * state.durationMs + (cycles - 1) * state.intervalMs,
                               std::numeric_limits<int>::max()));
    emit started(last);
    probe->readAfter(0);
    return CommandResult::done();
}

void OpenLoopMove::abort()
{
    if (!running)
        return;
    probe->cancel();
    sender->cancel();
    stopping = true;
    if (stage)
        stage->stop(mover);
    stopping = false;
    if (running)
        end(OpenLoopEnding::Stopped, tr("Stopped"));
}

void OpenLoopMove::tick()
{
    if (sender->isSending())
        sender->sendMore();
    probe->tick();
}

void OpenLoopMove::onReading(double positionUm, qint64, bool still)
{
    if (!running)
        return;
    if (!last.beforeUm) {
        last.beforeUm = positionUm;
        const PanelState state = stage->state();
        const double end = positionUm + last.plan.expectedUm;
        if (end < state.travelMinUm || end > state.travelMaxUm) {
            fail(OpenLoopEnding::Refused,
                 tr("The move would end near %1, beyond the travel (%2 to %3): nothing was sent")
                     .arg(Micrometres::text(end), Micrometres::text(state.travelMinUm),
                          Micrometres::text(state.travelMaxUm)),
                 false);
            return;
        }
        stepsSent = true;
        sender->send(last.plan.direction == Direction::Forward, last.plan.steps, mover);
        return;
    }
    last.afterUm = positionUm;
    last.still = still;
    end(OpenLoopEnding::Complete, QString());
}

void OpenLoopMove::onEvent(const PanelEvent &event)
{
    if (!running)
        return;
    switch (event.kind) {
    case PanelEvent::Kind::Disconnected:
        probe->cancel();
        sender->cancel();
        end(OpenLoopEnding::LinkLost,
            tr("The link to the controller was lost: %1").arg(event.text));
        break;
    case PanelEvent::Kind::Stop:
        if (!stopping)
            fail(OpenLoopEnding::Stopped, tr("Stopped"), false);
        break;
    case PanelEvent::Kind::Error:
        if (event.source == PanelEvent::Source::Controller)
            fail(OpenLoopEnding::ControllerError, event.text, true);
        break;
    default:
        break;
    }
}

void OpenLoopMove::fail(OpenLoopEnding ending, const QString &error, bool sendStop)
{
    if (!running)
        return;
    probe->cancel();
    sender->cancel();
    if (sendStop && stepsSent && stage && stage->state().connected) {
        stopping = true;
        stage->stop(mover);
        stopping = false;
    }
    if (running)
        end(ending, error);
}

void OpenLoopMove::end(OpenLoopEnding ending, const QString &error)
{
    lastEnding = ending;
    probe->cancel();
    sender->cancel();
    running = false;
    if (stage)
        stage->releaseMotion(mover);
    emit finished(last, error);
}
