#include "sequencecommands.h"

#include "controldispatcher.h"
#include "controlserver.h"
#include "sequencerunner.h"
#include "stage.h"

#include <QJsonArray>
#include <QPointer>

#include <cmath>
#include <memory>

namespace {

using ControlProtocol::ErrorCode;

constexpr int kMaxLabelLength = 256;

// Reads the steps of a request; on a bad one, names it and returns nothing.
std::optional<SequenceSteps> readSteps(const QJsonArray &array, QString *problem)
{
    if (array.isEmpty() || array.size() > Sequence::kMaxRows) {
        *problem = QObject::tr("\"steps\" must hold 1 to %1 steps").arg(Sequence::kMaxRows);
        return std::nullopt;
    }
    SequenceSteps steps;
    steps.reserve(int(array.size()));
    for (int i = 0; i < int(array.size()); ++i) {
        if (!array.at(i).isObject()) {
            *problem = QObject::tr("step %1 must be an object").arg(i + 1);
            return std::nullopt;
        }
        const QJsonObject object = array.at(i).toObject();
        const QJsonValue um = object.value(QStringLiteral("um"));
        const QJsonValue dwell = object.value(QStringLiteral("dwell_ms"));
        const QJsonValue label = object.value(QStringLiteral("label"));
        for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
            if (it.key() != QLatin1String("um") && it.key() != QLatin1String("dwell_ms") &&
                it.key() != QLatin1String("label")) {
                *problem =
                    QObject::tr("step %1: unknown field \"%2\"").arg(i + 1).arg(it.key().left(64));
                return std::nullopt;
            }
        }
        if (!um.isDouble() || !std::isfinite(um.toDouble()) ||
            std::abs(um.toDouble()) > Sequence::kMaxAbsTargetUm) {
            *problem = QObject::tr("step %1: \"um\" must be a number within \u00b1%2")
                           .arg(i + 1)
                           .arg(Sequence::kMaxAbsTargetUm);
            return std::nullopt;
        }
        const double dwellMs = dwell.isUndefined() ? 0.0 : dwell.toDouble(-1.0);
        if (!(dwell.isUndefined() || dwell.isDouble()) || dwellMs < 0 ||
            dwellMs > Sequence::kMaxDwellMs || dwellMs != std::floor(dwellMs)) {
            *problem = QObject::tr("step %1: \"dwell_ms\" must be a whole number from 0 to %2")
                           .arg(i + 1)
                           .arg(Sequence::kMaxDwellMs);
            return std::nullopt;
        }
        if (!(label.isUndefined() || label.isString()) ||
            label.toString().size() > kMaxLabelLength) {
            *problem = QObject::tr("step %1: \"label\" must be a text of at most %2 characters")
                           .arg(i + 1)
                           .arg(kMaxLabelLength);
            return std::nullopt;
        }
        steps.append(SequenceStep{label.toString(), um.toDouble(), int(dwellMs)});
    }
    return steps;
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
            if (!args.finish()) {
                call.reply.fail(ErrorCode::BadRequest, args.error());
                return;
            }
            if (repeat < 1 || repeat > Sequence::kMaxRepeats) {
                call.reply.fail(
                    ErrorCode::BadRequest,
                    QObject::tr("\"repeat\" must lie between 1 and %1").arg(Sequence::kMaxRepeats));
                return;
            }
            QString problem;
            const std::optional<SequenceSteps> steps = readSteps(array, &problem);
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
            const SequenceRunner::Refusal refusal = guarded->start(*steps, repeat, backAndForth);
            if (!refusal.ok()) {
                QString message = refusal.message;
                if (!refusal.rows.isEmpty()) {
                    QStringList rows;
                    for (int row : refusal.rows.mid(0, 20))
                        rows << QString::number(row + 1);
                    message += QObject::tr(" (steps %1)").arg(rows.join(QStringLiteral(", ")));
                }
                call.reply.fail(codeOf(refusal.code), message);
                return;
            }
            *runReply = call.reply;
        });

    dispatcher->addCommand(QStringLiteral("sequence_abort"), [guarded](ControlCall &call) {
        if (!call.arguments.finish()) {
            call.reply.fail(ErrorCode::BadRequest, call.arguments.error());
            return;
        }
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
