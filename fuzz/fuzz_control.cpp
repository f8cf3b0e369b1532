// Feeds arbitrary bytes, cut into lines, to the control socket's request parser and command
// table, and checks that every line that is not blank gets exactly one well-formed reply line
// carrying the request's id: a numeric id exactly as the line wrote it. The raw id extraction
// also gets the whole input, whatever it is.

#include "characterisationrun.h"
#include "controldispatcher.h"
#include "controlprotocol.h"
#include "controlserver.h"
#include "measuredsteps.h"
#include "openloopcommands.h"
#include "openloopmove.h"
#include "stage.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

void require(bool condition, const char *what)
{
    if (condition)
        return;
    std::fprintf(stderr, "fuzz_control: broken: %s\n", what);
    std::abort();
}

// A panel without a link: every command is refused at once, so every reply comes at once; the
// open-loop commands read their arguments before they find that out.
class IdleStage : public Stage {
public:
    PanelState state() const override { return {}; }
    CommandResult connectPort(const QString &) override { return refused(); }
    CommandResult disconnectPort() override { return refused(); }
    CommandResult home(const Mover &) override { return refused(); }
    CommandResult stop(const Mover &) override { return refused(); }
    CommandResult moveTo(double, const Mover &) override { return refused(); }
    CommandResult moveBy(double, const Mover &) override { return refused(); }
    CommandResult setOpenLoop(std::optional<int>, std::optional<int>, std::optional<int>,
                              const Mover &) override
    {
        return refused();
    }
    CommandResult step(bool, const Mover &) override { return refused(); }
    CommandResult bi(const Mover &) override { return refused(); }
    CommandResult autoCalibrate(const Mover &) override { return refused(); }
    CommandResult sendLine(const QString &, const Mover &) override { return refused(); }
    void requestSampling(const void *, int) override {}
    CommandResult claimMotion(const Mover &) override { return refused(); }
    void releaseMotion(const Mover &) override {}

private:
    static CommandResult refused()
    {
        return CommandResult::refused(CommandResult::Code::NotConnected, QStringLiteral("idle"));
    }
};

struct Harness {
    Harness()
    {
        static int argc = 1;
        static char name[] = "fuzz_control";
        static char *argv[] = {name, nullptr};
        app = new QCoreApplication(argc, argv);
        stage = new IdleStage;
        // A server that never listens: its command table, with the commands capabilities add.
        server = new ControlServer(stage);
        dispatcher = server->dispatcher();
        measured = new MeasuredSteps(stage);
        addOpenLoopCommands(*server, new CharacterisationRun(stage),
                            new OpenLoopMove(stage, measured), measured);
        // "ports" asks the system for its serial ports: slow, and not what is fuzzed here.
        dispatcher->addCommand(QStringLiteral("ports"),
                               [](ControlCall &call) { call.reply.ok({}); });
    }
    QCoreApplication *app = nullptr;
    IdleStage *stage = nullptr;
    ControlServer *server = nullptr;
    ControlDispatcher *dispatcher = nullptr;
    MeasuredSteps *measured = nullptr;
};

void checkLine(Harness &harness, const QByteArray &line)
{
    const ControlProtocol::ParsedRequest parsed = ControlProtocol::parseRequest(line);
    require(parsed.ok || !parsed.error.isEmpty(), "refusal without a reason");
    require(parsed.ok || line.size() > 0, "empty line accepted");

    QList<QByteArray> replies;
    harness.dispatcher->dispatch(
        line, [&replies](const QByteArray &reply) { replies.append(reply); }, nullptr);
    require(replies.size() == 1, "not exactly one reply");
    const QByteArray &reply = replies.first();
    require(reply.endsWith('\n') && reply.count('\n') == 1, "reply is not one line");
    require(reply.startsWith("{\"id\":" + parsed.request.idText + ","),
            "reply does not start with its id");
    if (parsed.request.id.isDouble()) {
        // Echoed as written where the line wrote a JSON number; read back as the same number
        // in any case.
        const QByteArray raw = ControlProtocol::rawNumericId(line);
        require(raw.isEmpty() || raw == parsed.request.idText, "numeric id not echoed as written");
        const QJsonDocument echoed = QJsonDocument::fromJson("[" + parsed.request.idText + "]");
        require(echoed.isArray() && echoed.array().at(0).isDouble() &&
                    echoed.array().at(0).toDouble() == parsed.request.id.toDouble(),
                "numeric id echoed as another number");
    }
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(reply, &error);
    require(error.error == QJsonParseError::NoError && document.isObject(), "reply not JSON");
    const QJsonObject object = document.object();
    require(object.value(QLatin1String("id")) == parsed.request.id, "id not echoed");
    require(object.value(QLatin1String("ok")).isBool(), "no ok");
    if (!object.value(QLatin1String("ok")).toBool()) {
        const QJsonObject failure = object.value(QLatin1String("error")).toObject();
        require(!failure.value(QLatin1String("code")).toString().isEmpty(), "no error code");
        require(!failure.value(QLatin1String("message")).toString().isEmpty(), "no message");
    }
    require(parsed.ok || !object.value(QLatin1String("ok")).toBool(), "bad line answered ok");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Harness harness;
    const QByteArray input(reinterpret_cast<const char *>(data), int(size));
    // On text that is no request at all it may find nothing or a piece of it, never more.
    const QByteArray raw = ControlProtocol::rawNumericId(input);
    require(raw.isEmpty() || input.contains(raw), "raw id is not a piece of the text");
    int start = 0;
    while (start <= input.size()) {
        int end = input.indexOf('\n', start);
        if (end == -1)
            end = input.size();
        const QByteArray line = input.mid(start, end - start);
        if (!ControlProtocol::isBlank(line))
            checkLine(harness, line);
        start = end + 1;
    }
    return 0;
}
