#include "openloopcommands.h"

#include "characterisationrun.h"
#include "controlconnection.h"
#include "controldispatcher.h"
#include "controlserver.h"
#include "measuredsteps.h"
#include "openloopmove.h"
#include "stage.h"

#include <QJsonArray>
#include <QPointer>

#include <memory>

namespace {

using ControlProtocol::ErrorCode;
using StepAnalysis::Direction;

QJsonValue number(const std::optional<double> &value)
{
    return value ? QJsonValue(*value) : QJsonValue(QJsonValue::Null);
}

QJsonObject spread(const StepAnalysis::Spread &s)
{
    return {{QStringLiteral("count"), s.count},
            {QStringLiteral("mean"), s.measured() ? QJsonValue(s.mean) : QJsonValue()},
            {QStringLiteral("sd"), s.hasSpread() ? QJsonValue(s.sd) : QJsonValue()},
            {QStringLiteral("min"), s.measured() ? QJsonValue(s.min) : QJsonValue()},
            {QStringLiteral("max"), s.measured() ? QJsonValue(s.max) : QJsonValue()}};
}

QJsonObject directionObject(const StepAnalysis::DirectionResult &d)
{
    return {{QStringLiteral("bursts"), d.bursts},
            {QStringLiteral("um_per_step"), spread(d.umPerStep)},
            {QStringLiteral("lost_steps"), spread(d.lostSteps)},
            {QStringLiteral("lost_um"), spread(d.lostUm)},
            {QStringLiteral("creep_um"), spread(d.creepUm)}};
}

QJsonObject resultObject(const CharacterisationRun &run)
{
    const StepAnalysis::Result result = run.result();
    QJsonArray bursts;
    for (int i = 0; i < run.bursts().size(); ++i) {
        const StepAnalysis::Burst &b = run.bursts().at(i);
        const StepAnalysis::BurstResult &r = result.bursts.at(i);
        bursts.append(QJsonObject{
            {QStringLiteral("direction"), StepAnalysis::directionName(b.direction)},
            {QStringLiteral("steps"), b.steps},
            {QStringLiteral("kind"), StepAnalysis::kindName(r.kind)},
            {QStringLiteral("before_um"), b.beforeUm},
            {QStringLiteral("after_um"), number(b.afterUm)},
            {QStringLiteral("settled_um"), number(b.settledUm)},
            {QStringLiteral("um_per_step"), number(r.umPerStep)},
        });
    }
    return {
        {QStringLiteral("summary"),
         StepAnalysis::summaryText(result, QDateTime::fromMSecsSinceEpoch(run.startedUtcMs()))},
        {QStringLiteral("note"), run.message()},
        {QStringLiteral("span_um"), QJsonArray{number(run.spanFromUm()), number(run.spanToUm())}},
        {QStringLiteral("forward"), directionObject(result.forward)},
        {QStringLiteral("reverse"), directionObject(result.reverse)},
        {QStringLiteral("forward_over_reverse"), number(result.forwardOverReverse)},
        {QStringLiteral("asymmetry_um_per_step"), number(result.asymmetryUmPerStep)},
        {QStringLiteral("drift_um_per_s"), number(result.driftUmPerS)},
        {QStringLiteral("drift_um"), number(result.driftUm)},
        {QStringLiteral("duration_s"), result.durationS},
        {QStringLiteral("bursts"), bursts},
    };
}

QJsonObject moveObject(const OpenLoopMoveOutcome &o)
{
    return {{QStringLiteral("requested_um"), o.requestedUm},
            {QStringLiteral("direction"), StepAnalysis::directionName(o.plan.direction)},
            {QStringLiteral("steps"), o.plan.steps},
            {QStringLiteral("slack_steps"), o.plan.slackSteps},
            {QStringLiteral("expected_um"), o.plan.expectedUm},
            {QStringLiteral("before_um"), number(o.beforeUm)},
            {QStringLiteral("after_um"), number(o.afterUm)},
            {QStringLiteral("moved_um"), number(o.movedUm())},
            {QStringLiteral("still"), o.still}};
}

ErrorCode codeOf(OpenLoopEnding ending, bool connected)
{
    switch (ending) {
    case OpenLoopEnding::Stopped:
        return ErrorCode::Stopped;
    case OpenLoopEnding::LinkLost:
        return ErrorCode::Disconnected;
    case OpenLoopEnding::NoPositionReply:
        return ErrorCode::Timeout;
    default:
        break;
    }
    return connected ? ErrorCode::Unavailable : ErrorCode::Disconnected;
}

} // namespace

void addOpenLoopCommands(ControlServer &server, CharacterisationRun *run, OpenLoopMove *move,
                         MeasuredSteps *measured)
{
    ControlDispatcher *dispatcher = server.dispatcher();
    QPointer<CharacterisationRun> guardedRun(run);
    QPointer<OpenLoopMove> guardedMove(move);
    QPointer<MeasuredSteps> guardedMeasured(measured);

    // The requests a run or a move started from here owes its answer to.
    auto runReply = std::make_shared<ControlReply>();
    auto moveReply = std::make_shared<ControlReply>();

    dispatcher->addCommand(QStringLiteral("characterise"), [guardedRun, guardedMeasured,
                                                            runReply](ControlCall &call) {
        ControlProtocol::Arguments &args = call.arguments;
        CharacterisationSettings s;
        s.stepsPerBurst = args.optionalInteger(QStringLiteral("steps")).value_or(s.stepsPerBurst);
        s.bursts = args.optionalInteger(QStringLiteral("bursts")).value_or(s.bursts);
        s.settleMs = args.optionalInteger(QStringLiteral("settle_ms")).value_or(s.settleMs);
        s.toleranceUm = args.optionalNumber(QStringLiteral("tolerance_um")).value_or(s.toleranceUm);
        s.spanFromUm = args.optionalNumber(QStringLiteral("span_from_um"));
        s.spanToUm = args.optionalNumber(QStringLiteral("span_to_um"));
        if (!call.argumentsRead())
            return;
        if (!guardedRun) {
            call.reply.fail(ErrorCode::Unavailable, QObject::tr("The panel is closing"));
            return;
        }
        if (guardedMeasured)
            s.directionBefore = guardedMeasured->lastDirection();
        const CommandResult started = guardedRun->start(s);
        if (!started.ok()) {
            call.reply.answer(started);
            return;
        }
        *runReply = call.reply;
    });

    dispatcher->addCommand(
        QStringLiteral("open_loop_move"), [guardedMove, moveReply](ControlCall &call) {
            const double um = call.arguments.number(QStringLiteral("um"));
            if (!call.argumentsRead())
                return;
            if (!guardedMove) {
                call.reply.fail(ErrorCode::Unavailable, QObject::tr("The panel is closing"));
                return;
            }
            const CommandResult started = guardedMove->start(um, call.mover());
            if (!started.ok()) {
                call.reply.answer(started);
                return;
            }
            *moveReply = call.reply;
        });

    QObject::connect(
        run, &CharacterisationRun::progress, &server,
        [&server, run](int burst, int planned, CharacterisationRun::Phase phase) {
            QList<QPair<QString, QJsonValue>> fields = {
                {QStringLiteral("burst"), burst},
                {QStringLiteral("bursts"), planned},
                {QStringLiteral("state"), CharacterisationRun::phaseName(phase)}};
            if (burst > 0 && burst <= run->bursts().size())
                fields.append({QStringLiteral("direction"),
                               StepAnalysis::directionName(run->bursts().at(burst - 1).direction)});
            if (phase != CharacterisationRun::Phase::Idle)
                server.publish(QStringLiteral("characterise"), fields);
        });
    QObject::connect(
        run, &CharacterisationRun::finished, &server,
        [&server, dispatcher, run, runReply](bool complete, const QString &error) {
            server.publish(QStringLiteral("characterise"),
                           {{QStringLiteral("burst"), run->burst()},
                            {QStringLiteral("bursts"), run->plannedBursts()},
                            {QStringLiteral("state"),
                             complete ? QStringLiteral("finished") : QStringLiteral("ended")},
                            {QStringLiteral("message"), complete ? run->message() : error}});
            const ControlReply reply = *runReply;
            *runReply = ControlReply();
            if (!reply.pending())
                return;
            if (complete)
                reply.ok(resultObject(*run));
            else
                reply.fail(codeOf(run->ending(), dispatcher->stage()->state().connected), error);
        });
    QObject::connect(
        move, &OpenLoopMove::finished, &server,
        [dispatcher, move, moveReply](const OpenLoopMoveOutcome &outcome, const QString &error) {
            const ControlReply reply = *moveReply;
            *moveReply = ControlReply();
            if (!reply.pending())
                return;
            if (error.isEmpty())
                reply.ok(moveObject(outcome));
            else
                reply.fail(codeOf(move->ending(), dispatcher->stage()->state().connected), error);
        });
}
