#include "sequencecommands.h"

#include "controldispatcher.h"
#include "controlserver.h"
#include "sequencerunner.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QPointer>

#include <memory>

namespace {

using ControlProtocol::ErrorCode;

QString tr(const char *text)
{
    return QCoreApplication::translate("SequenceCommands", text);
}

QJsonArray logArray(const SequenceLog &log)
{
    QJsonArray entries;
    for (const SequenceLogEntry &entry : log) {
        entries.append(QJsonObject{
            {QStringLiteral("repeat"), entry.repeat},
            {QStringLiteral("step"), entry.step},
            {QStringLiteral("label"), entry.label},
            {QStringLiteral("target_um"), entry.targetUm},
            {QStringLiteral("settled_um"),
             entry.settledUm ? QJsonValue(*entry.settledUm) : QJsonValue(QJsonValue::Null)},
            {QStringLiteral("settle_s"), entry.settleS},
            {QStringLiteral("started_ms_utc"), double(entry.startedMsUtc)},
            {QStringLiteral("outcome"), Sequence::outcomeName(entry.outcome)},
        });
    }
    return entries;
}

ErrorCode codeOf(SequenceRunner::Refusal::Code code)
{
    switch (code) {
    case SequenceRunner::Refusal::Code::Busy:
        return ErrorCode::Busy;
    case SequenceRunner::Refusal::Code::Unavailable:
        return ErrorCode::Unavailable;
    default:
        return ErrorCode::BadRequest;
    }
}

} // namespace

std::optional<SequenceSteps> readSequenceSteps(const QJsonArray &array, QString *problem)
{
    const QString countProblem = Sequence::countProblem(array.size());
    if (!countProblem.isEmpty()) {
        *problem = tr("\"steps\": %1").arg(countProblem);
        return std::nullopt;
    }
    const auto fail = [problem](int i, const QString &what) {
        *problem = tr("step %1: %2").arg(i + 1).arg(what);
        return std::nullopt;
    };
    SequenceSteps steps;
    steps.reserve(int(array.size()));
    for (int i = 0; i < int(array.size()); ++i) {
        if (!array.at(i).isObject())
            return fail(i, tr("a step must be an object"));
        const QJsonObject object = array.at(i).toObject();
        for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
            if (it.key() != QLatin1String("um") && it.key() != QLatin1String("dwell_ms") &&
                it.key() != QLatin1String("label"))
                return fail(i, tr("unknown field \"%1\"").arg(it.key().left(64)));
        }
        const QJsonValue um = object.value(QStringLiteral("um"));
        const QJsonValue dwell = object.value(QStringLiteral("dwell_ms"));
        const QJsonValue label = object.value(QStringLiteral("label"));
        if (!um.isDouble())
            return fail(i, tr("\"um\" must be a number"));
        if (!(dwell.isUndefined() || dwell.isDouble()))
            return fail(i, tr("\"dwell_ms\" must be a number"));
        if (!(label.isUndefined() || label.isString()))
            return fail(i, tr("\"label\" must be a text"));
        // Whole and within the limits before it may become an int.
        const double dwellMs = dwell.toDouble(0.0);
        QString stepProblem = Sequence::dwellProblem(dwellMs);
        const SequenceStep step{label.toString(), um.toDouble(),
                                stepProblem.isEmpty() ? int(dwellMs) : 0};
        if (stepProblem.isEmpty())
            stepProblem = Sequence::stepProblem(step);
        if (!stepProblem.isEmpty())
            return fail(i, stepProblem);
        steps.append(step);
    }
    return steps;
}

void addSequenceCommands(ControlServer &server, SequenceRunner *runner)
{
    ControlDispatcher *dispatcher = server.dispatcher();
    QPointer<SequenceRunner> guarded(runner);

    // The request that started the run, if a client did: it is answered when the run ends.
    auto runReply = std::make_shared<ControlReply>();

    dispatcher->addCommand(
        QStringLiteral("sequence_run"), [dispatcher, guarded, runReply](ControlCall &call) {
            ControlProtocol::Arguments &args = call.arguments;
            const QJsonArray array = args.array(QStringLiteral("steps"));
            const int repeat = args.optionalInteger(QStringLiteral("repeat")).value_or(1);
            const bool backAndForth = args.optionalBool(QStringLiteral("back_and_forth"), false);
            if (!call.argumentsRead())
                return;
            const QString repeatProblem = Sequence::repeatProblem(repeat);
            if (!repeatProblem.isEmpty()) {
                call.reply.fail(ErrorCode::BadRequest, tr("\"repeat\": %1").arg(repeatProblem));
                return;
            }
            QString problem;
            const std::optional<SequenceSteps> steps = readSequenceSteps(array, &problem);
            if (!steps) {
                call.reply.fail(ErrorCode::BadRequest, problem);
                return;
            }
            if (!guarded) {
                call.reply.fail(ErrorCode::Unavailable, QObject::tr("The panel is closing"));
                return;
            }
            if (!dispatcher->stage()->state().connected) {
                call.reply.fail(ErrorCode::NotConnected,
                                QObject::tr("The panel is not connected to a controller"));
                return;
            }
            const SequenceRunner::Refusal refusal =
                guarded->start(*steps, repeat, backAndForth, tr("a control socket client"));
            if (!refusal.ok()) {
                call.reply.fail(codeOf(refusal.code), refusal.stepMessage);
                return;
            }
            *runReply = call.reply;
        });

    dispatcher->addCommand(QStringLiteral("sequence_abort"), [guarded](ControlCall &call) {
        if (!call.argumentsRead())
            return;
        if (!guarded || !guarded->isRunning()) {
            call.reply.fail(ErrorCode::Unavailable, QObject::tr("No sequence is running"));
            return;
        }
        guarded->abort();
        call.reply.ok();
    });

    QObject::connect(runner, &SequenceRunner::progress, &server,
                     [&server](int step, int repeat, SequenceRunner::State state) {
                         server.publish(
                             QStringLiteral("sequence"),
                             {{QStringLiteral("step"), step},
                              {QStringLiteral("repeat"), repeat},
                              {QStringLiteral("state"), SequenceRunner::stateName(state)}});
                     });
    QObject::connect(
        runner, &SequenceRunner::finished, &server,
        [&server, dispatcher, runReply](const SequenceLog &log, const QString &error) {
            server.publish(QStringLiteral("sequence"),
                           {{QStringLiteral("step"), 0},
                            {QStringLiteral("repeat"), 0},
                            {QStringLiteral("state"), error.isEmpty() ? QStringLiteral("finished")
                                                                      : QStringLiteral("ended")}});
            const ControlReply reply = *runReply;
            *runReply = ControlReply();
            if (!reply.pending())
                return;
            if (error.isEmpty()) {
                reply.ok({{QStringLiteral("log"), logArray(log)}});
            } else if (!dispatcher->stage()->state().connected) {
                reply.fail(ErrorCode::Disconnected, error);
            } else {
                reply.fail(ErrorCode::Unavailable, error);
            }
        });
}
