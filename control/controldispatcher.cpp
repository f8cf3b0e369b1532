#include "controldispatcher.h"

#include "controlconnection.h"
#include "micrometres.h"
#include "movewaiter.h"
#include "serialsettings.h"
#include "settling.h"
#include "stage.h"

#include <QJsonArray>
#include <QSerialPortInfo>
#include <QTimer>

#include <iterator>

using ControlProtocol::ErrorCode;

namespace {

// A controller that never identifies is caught by the panel's own check within a poll; this is
// for the case nothing checks (the operator left the closed-loop page meanwhile).
constexpr int kConnectTimeoutMs = 10000;
// The longest a waiting move may be asked to wait: a day, well inside the timer's range.
constexpr double kMaxWaitSeconds = 86400.0;
constexpr double kDefaultWaitSeconds = 30.0;

ErrorCode codeFor(CommandResult::Code code)
{
    switch (code) {
    case CommandResult::Code::NotConnected:
        return ErrorCode::NotConnected;
    case CommandResult::Code::Unavailable:
        return ErrorCode::Unavailable;
    case CommandResult::Code::Busy:
        return ErrorCode::Busy;
    case CommandResult::Code::BadArgument:
    case CommandResult::Code::Ok:
        break;
    }
    return ErrorCode::BadRequest;
}

} // namespace

bool ControlCall::argumentsRead()
{
    if (arguments.finish())
        return true;
    reply.fail(ErrorCode::BadRequest, arguments.error());
    return false;
}

Mover ControlCall::mover() const
{
    return Mover::client(client ? static_cast<const void *>(client.data())
                                : static_cast<const void *>(this));
}

ControlReply::ControlReply(const QJsonValue &id, Sink sink)
    : ControlReply(ControlProtocol::jsonText(id), std::move(sink))
{
}

ControlReply::ControlReply(const QByteArray &idText, Sink sink)
    : d(std::make_shared<Shared>(Shared{idText, std::move(sink), false}))
{
}

void ControlReply::send(const QByteArray &line) const
{
    if (!pending())
        return;
    d->done = true;
    // The sink may run a nested event loop nowhere, but it may drop the last reference to
    // whoever holds this reply: keep the shared part alive until it returns.
    const auto keep = d;
    if (keep->sink)
        keep->sink(line);
}

void ControlReply::ok(const QJsonObject &result) const
{
    if (pending())
        send(ControlProtocol::okReply(d->id, result));
}

void ControlReply::fail(ErrorCode code, const QString &message) const
{
    if (pending())
        send(ControlProtocol::errorReply(d->id, code, message));
}

void ControlReply::answer(const CommandResult &result, const QJsonObject &okResult) const
{
    if (result.ok())
        ok(okResult);
    else
        fail(codeFor(result.code), result.message);
}

ControlDispatcher::ControlDispatcher(Stage *stage, QObject *parent)
    : QObject(parent), panel(stage), waiter(new MoveWaiter(stage, {}, this))
{
    connect(waiter, &MoveWaiter::settled, this, [this](double positionUm, double elapsedS) {
        const ControlReply reply = endWait();
        reply.ok(
            {{QStringLiteral("position_um"), positionUm}, {QStringLiteral("elapsed_s"), elapsedS}});
    });
    connect(waiter, &MoveWaiter::timedOut, this, [this](double lastPositionUm) {
        const ControlReply reply = endWait();
        reply.fail(
            ErrorCode::Timeout,
            tr("The stage did not settle at %1 in time (last position %2); it was "
               "not stopped")
                .arg(Micrometres::text(waiter->targetUm()), Micrometres::text(lastPositionUm)));
    });
    connect(waiter, &MoveWaiter::linkLost, this, [this](const QString &reason) {
        const ControlReply reply = endWait();
        reply.fail(ErrorCode::Disconnected,
                   tr("The link went away during the move: %1").arg(reason));
    });
    connect(waiter, &MoveWaiter::refused, this, [this](const QString &reason) {
        const ControlReply reply = endWait();
        reply.fail(ErrorCode::Unavailable, reason);
    });
    connect(panel, &Stage::panelEvent, this,
            [this](const PanelEvent &event) { onPanelEvent(int(event.kind), event.text); });
    addBuiltInCommands();
}

ControlDispatcher::~ControlDispatcher() = default;

QStringList ControlDispatcher::eventNames()
{
    return {QStringLiteral("position"), QStringLiteral("state"),    QStringLiteral("console"),
            QStringLiteral("error"),    QStringLiteral("sequence"), QStringLiteral("characterise")};
}

void ControlDispatcher::addCommand(const QString &name, Handler handler)
{
    commands.insert(name, std::move(handler));
}

QStringList ControlDispatcher::commandNames() const
{
    QStringList names = commands.keys();
    names.sort();
    return names;
}

void ControlDispatcher::dispatch(const QByteArray &line, const ControlReply::Sink &sink,
                                 ControlConnection *client)
{
    dispatch(ControlProtocol::parseRequest(line), sink, client);
}

void ControlDispatcher::dispatch(const ControlProtocol::ParsedRequest &parsed,
                                 const ControlReply::Sink &sink, ControlConnection *client)
{
    const ControlReply reply(parsed.request.idText, sink);
    if (!parsed.ok) {
        reply.fail(ErrorCode::BadRequest, parsed.error);
        return;
    }
    const auto handler = commands.constFind(parsed.request.command);
    if (handler == commands.constEnd()) {
        reply.fail(ErrorCode::BadRequest, tr("Unknown command \"%1\"; known are: %2")
                                              .arg(parsed.request.command.left(64),
                                                   commandNames().join(QStringLiteral(", "))));
        return;
    }
    ControlCall call{parsed.request, ControlProtocol::Arguments(parsed.request.arguments), reply,
                     client};
    // A copy: a handler may add commands, and the table must not move under it.
    const Handler run = *handler;
    run(call);
}

void ControlDispatcher::clientGone(ControlConnection *client)
{
    if (waitReply.pending() && waitClient == client) {
        waiter->cancel();
        endWait();
    }
}

ControlReply ControlDispatcher::endWait()
{
    const ControlReply reply = waitReply;
    waitReply = {};
    panel->releaseMotion(waitMover);
    return reply;
}

void ControlDispatcher::addBuiltInCommands()
{
    // Commands without arguments that press one control.
    using Press = std::function<CommandResult(Stage *, const Mover &)>;
    const auto simple = [this](Press command) {
        return [this, command](ControlCall &call) {
            if (!call.argumentsRead())
                return;
            call.reply.answer(command(panel, call.mover()));
        };
    };

    addCommand(QStringLiteral("state"), [this](ControlCall &call) {
        if (!call.argumentsRead())
            return;
        call.reply.ok(ControlProtocol::stateObject(panel->state()));
    });
    addCommand(QStringLiteral("ports"), [](ControlCall &call) {
        if (!call.argumentsRead())
            return;
        static const char *const keys[] = {"name",          "description", "manufacturer",
                                           "serial_number", "location",    "vendor_id",
                                           "product_id"};
        QJsonArray ports;
        const auto infos = QSerialPortInfo::availablePorts();
        for (const QSerialPortInfo &info : infos) {
            const QStringList texts = portEntryTexts(
                info.portName(), info.description(), info.manufacturer(), info.serialNumber(),
                info.systemLocation(), info.vendorIdentifier(), info.productIdentifier());
            QJsonObject port;
            for (int i = 0; i < texts.size() && i < int(std::size(keys)); ++i)
                port.insert(QLatin1String(keys[i]), texts.at(i));
            ports.append(port);
        }
        call.reply.ok({{QStringLiteral("ports"), ports}});
    });
    addCommand(QStringLiteral("connect"), [this](ControlCall &call) { runConnect(call); });
    addCommand(QStringLiteral("disconnect"),
               simple([](Stage *s, const Mover &) { return s->disconnectPort(); }));
    addCommand(QStringLiteral("home"),
               simple([](Stage *s, const Mover &who) { return s->home(who); }));
    addCommand(QStringLiteral("stop"),
               simple([](Stage *s, const Mover &who) { return s->stop(who); }));
    addCommand(QStringLiteral("auto_calibrate"),
               simple([](Stage *s, const Mover &who) { return s->autoCalibrate(who); }));
    addCommand(QStringLiteral("bi"), simple([](Stage *s, const Mover &who) { return s->bi(who); }));
    addCommand(QStringLiteral("step"), [this](ControlCall &call) {
        const QString direction = call.arguments.choice(
            QStringLiteral("direction"), {QStringLiteral("forward"), QStringLiteral("reverse")});
        if (!call.argumentsRead())
            return;
        call.reply.answer(panel->step(direction == QLatin1String("forward"), call.mover()));
    });
    addCommand(QStringLiteral("open_loop"), [this](ControlCall &call) {
        const auto duration = call.arguments.optionalInteger(QStringLiteral("duration"));
        const auto interval = call.arguments.optionalInteger(QStringLiteral("interval"));
        const auto cycle = call.arguments.optionalInteger(QStringLiteral("cycle"));
        if (!call.argumentsRead())
            return;
        call.reply.answer(panel->setOpenLoop(duration, interval, cycle, call.mover()));
    });
    addCommand(QStringLiteral("move_to"), [this](ControlCall &call) { runMove(call, true); });
    addCommand(QStringLiteral("move_by"), [this](ControlCall &call) { runMove(call, false); });
    addCommand(QStringLiteral("send"), [this](ControlCall &call) {
        const QString line = call.arguments.string(QStringLiteral("line"));
        if (!call.argumentsRead())
            return;
        call.reply.answer(panel->sendLine(line, call.mover()));
    });
    addCommand(QStringLiteral("subscribe"), [this](ControlCall &call) { runSubscribe(call); });
}

void ControlDispatcher::runConnect(ControlCall &call)
{
    const QString port = call.arguments.optionalString(QStringLiteral("port")).value_or(QString());
    if (!call.argumentsRead())
        return;
    if (connectRunning || connectReply.pending()) {
        call.reply.fail(ErrorCode::Busy, tr("A connect is already under way"));
        return;
    }
    const ControlReply reply = call.reply;
    connectReply = reply;
    connectRunning = true;
    // A port that cannot be opened shows its error box from inside this call; the reply has gone
    // out by then (the error is announced before the box opens), and the box's event loop keeps
    // serving other clients until the operator closes it.
    const CommandResult result = panel->connectPort(port);
    connectRunning = false;
    if (!result.ok()) {
        reply.fail(result.code == CommandResult::Code::Unavailable && !panel->state().connected
                       ? ErrorCode::OpenFailed
                       : ErrorCode::Unavailable,
                   result.message);
    }
    if (connectReply.sameAs(reply) && !reply.pending())
        connectReply = {};
    if (reply.pending()) {
        QTimer::singleShot(kConnectTimeoutMs, this, [this, reply] {
            reply.fail(ErrorCode::Timeout, tr("The controller did not identify itself"));
            if (connectReply.sameAs(reply))
                connectReply = {};
        });
    }
}

void ControlDispatcher::onPanelEvent(int kind, const QString &text)
{
    // A stop from anywhere ends a waiting move: its target will not be reached.
    if (PanelEvent::Kind(kind) == PanelEvent::Kind::Stop && waitReply.pending()) {
        waiter->cancel();
        const double target = waiter->targetUm();
        const ControlReply reply = endWait();
        reply.fail(
            ErrorCode::Stopped,
            tr("The stage was stopped before it settled at %1").arg(Micrometres::text(target)));
    }
    if (!connectReply.pending())
        return;
    switch (PanelEvent::Kind(kind)) {
    case PanelEvent::Kind::Identified:
        connectReply.ok(ControlProtocol::stateObject(panel->state()));
        break;
    case PanelEvent::Kind::Error:
        connectReply.fail(ErrorCode::OpenFailed, text);
        break;
    case PanelEvent::Kind::Disconnected:
        // The link closed before any controller identified itself.
        connectReply.fail(ErrorCode::NoDevice, text);
        break;
    default:
        return;
    }
    connectReply = {};
}

void ControlDispatcher::runMove(ControlCall &call, bool absolute)
{
    ControlProtocol::Arguments &args = call.arguments;
    const double um = args.number(QStringLiteral("um"));
    const bool wait = args.optionalBool(QStringLiteral("wait"), false);
    const double tolerance =
        args.optionalNumber(QStringLiteral("tolerance_um")).value_or(Settling::kDefaultToleranceUm);
    const double timeoutS =
        args.optionalNumber(QStringLiteral("timeout_s")).value_or(kDefaultWaitSeconds);
    if (!call.argumentsRead())
        return;
    if (!(tolerance > 0.0)) {
        call.reply.fail(ErrorCode::BadRequest, tr("\"tolerance_um\" must be above 0"));
        return;
    }
    if (!(timeoutS > 0.0) || timeoutS > kMaxWaitSeconds) {
        call.reply.fail(ErrorCode::BadRequest,
                        tr("\"timeout_s\" must be above 0 and at most %1").arg(kMaxWaitSeconds));
        return;
    }
    const Mover me = call.mover();
    // A waiting move holds the stage until it has settled: nobody else moves it meanwhile.
    if (wait) {
        const CommandResult claimed = panel->claimMotion(me);
        if (!claimed.ok()) {
            call.reply.answer(claimed);
            return;
        }
    }
    const CommandResult result = absolute ? panel->moveTo(um, me) : panel->moveBy(um, me);
    if (!result.ok()) {
        if (wait)
            panel->releaseMotion(me);
        call.reply.answer(result);
        return;
    }
    const double target = panel->state().targetUm.value_or(um);
    if (!wait) {
        call.reply.ok({{QStringLiteral("target_um"), target}});
        return;
    }
    waitReply = call.reply;
    waitClient = call.client;
    waitMover = me;
    waiter->start(target, tolerance, int(timeoutS * 1000.0));
}

void ControlDispatcher::runSubscribe(ControlCall &call)
{
    const QStringList events = call.arguments.stringList(QStringLiteral("events"));
    if (!call.argumentsRead())
        return;
    const QStringList known = eventNames();
    for (const QString &event : events) {
        if (!known.contains(event)) {
            call.reply.fail(ErrorCode::BadRequest,
                            tr("Unknown event \"%1\"; known are: %2")
                                .arg(event.left(64), known.join(QStringLiteral(", "))));
            return;
        }
    }
    if (!call.client) {
        call.reply.fail(ErrorCode::Unavailable, tr("Only a socket client can subscribe"));
        return;
    }
    call.client->setSubscriptions(QSet<QString>(events.cbegin(), events.cend()));
    QJsonArray list;
    for (const QString &event : known) {
        if (events.contains(event))
            list.append(event);
    }
    call.reply.ok({{QStringLiteral("events"), list}});
}
