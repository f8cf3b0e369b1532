#pragma once

#include "controlprotocol.h"
#include "stage.h"

#include <QHash>
#include <QObject>
#include <QPointer>

#include <functional>
#include <memory>

class ControlConnection;
class MoveWaiter;
class Stage;
struct CommandResult;

// The one answer a request is owed. It may be given at once or later (a waiting move, a
// connect); it goes to the connection the request came from, and nowhere if that has gone.
// Only the first answer counts.
class ControlReply {
public:
    using Sink = std::function<void(const QByteArray &line)>;

    ControlReply() = default;
    ControlReply(const QJsonValue &id, Sink sink);
    // idText: the id as the reply writes it (ControlProtocol::Request::idText).
    ControlReply(const QByteArray &idText, Sink sink);

    void ok(const QJsonObject &result = {}) const;
    void fail(ControlProtocol::ErrorCode code, const QString &message) const;
    // Answers with the reason a panel command was refused, or with ok.
    void answer(const CommandResult &result, const QJsonObject &okResult = {}) const;
    bool pending() const { return d && !d->done; }
    bool sameAs(const ControlReply &other) const { return d == other.d; }

private:
    struct Shared {
        QByteArray id;
        Sink sink;
        bool done = false;
    };
    void send(const QByteArray &line) const;

    std::shared_ptr<Shared> d;
};

struct ControlCall {
    ControlProtocol::Request request;
    ControlProtocol::Arguments arguments;
    ControlReply reply;
    // Where the request came from; null for a caller that is not a socket client.
    QPointer<ControlConnection> client;

    // Answers "bad_request" if an argument was wrong or unknown; true when all were read well.
    bool argumentsRead();
    // Who asks to move: the client, or for a caller without one, this call.
    Mover mover() const;
};

// The table of commands: each name maps to a handler that reads its arguments, works the panel
// through its command interface and answers. Capabilities add their own commands with
// addCommand().
class ControlDispatcher : public QObject {
    Q_OBJECT

public:
    using Handler = std::function<void(ControlCall &call)>;

    explicit ControlDispatcher(Stage *stage, QObject *parent = nullptr);
    ~ControlDispatcher() override;

    void addCommand(const QString &name, Handler handler);
    QStringList commandNames() const;
    Stage *stage() const { return panel; }

    // Parses one request line and runs its command; the reply goes to sink, now or later.
    void dispatch(const QByteArray &line, const ControlReply::Sink &sink,
                  ControlConnection *client);
    // The same for a line the caller has parsed already.
    void dispatch(const ControlProtocol::ParsedRequest &parsed, const ControlReply::Sink &sink,
                  ControlConnection *client);

    // A client has gone: whatever it was waiting for is no longer wanted.
    void clientGone(ControlConnection *client);

    // The events a client may subscribe to.
    static QStringList eventNames();

private:
    void addBuiltInCommands();
    void runConnect(ControlCall &call);
    void runMove(ControlCall &call, bool absolute);
    void runSubscribe(ControlCall &call);
    void onPanelEvent(int kind, const QString &text);
    // Ends the waiting move's hold on the stage and hands back the reply it owes.
    ControlReply endWait();

    Stage *panel = nullptr;
    QHash<QString, Handler> commands;

    MoveWaiter *waiter = nullptr;
    ControlReply waitReply;
    QPointer<ControlConnection> waitClient;
    Mover waitMover;

    ControlReply connectReply;
    // Connect may open an error box whose event loop runs other requests meanwhile.
    bool connectRunning = false;
};
