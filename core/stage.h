#pragma once

#include <QMetaType>
#include <QObject>
#include <QString>

#include <optional>

// Who wants to move the stage. Every command names its mover, and the session decides whether
// that mover may move now.
struct Mover {
    enum class Kind {
        // The operator's own controls and keys.
        Operator,
        // A line typed into the console: sent as typed, the operator is in charge.
        Console,
        // A client of the control socket (a script, the Tango device); tag tells clients apart.
        Client,
        // A sequence run.
        Sequence,
        // The controller's automatic calibration, from ">auto" until it reports the end.
        Calibration,
        // An open-loop step characterisation run.
        Characterisation,
    };
    Kind kind = Kind::Operator;
    const void *tag = nullptr;

    static Mover operatorMover() { return {Kind::Operator, nullptr}; }
    static Mover console() { return {Kind::Console, nullptr}; }
    static Mover client(const void *tag) { return {Kind::Client, tag}; }
    static Mover sequence(const void *tag) { return {Kind::Sequence, tag}; }
    static Mover calibration() { return {Kind::Calibration, nullptr}; }
    static Mover characterisation(const void *tag) { return {Kind::Characterisation, tag}; }

    bool operator==(const Mover &o) const { return kind == o.kind && tag == o.tag; }
    bool operator!=(const Mover &o) const { return !(*this == o); }
};
// "the operator", "a script's waiting move", ...: for the reasons the panel gives a person.
QString moverName(const Mover &mover);
// "operator", "client", "sequence", ...: for scripts.
QString moverKindName(Mover::Kind kind);

// What the panel knows about the stage and its link right now, as the operator sees it.
struct PanelState {
    bool connected = false;
    QString port;
    QString model;
    QString firmware;
    bool homed = false;
    // From ">auto" until a status reply says the stage is calibrated.
    bool calibrating = false;
    // "" before any status reply, "1" not calibrated, "9" calibrated.
    QString calibration;
    bool closedLoop = true;
    std::optional<double> positionUm;
    std::optional<double> targetUm;
    double travelMinUm = -250.0;
    double travelMaxUm = 6250.0;
    // Who holds the stage's motion for itself; nothing when anyone may move it.
    std::optional<Mover> motionOwner;
    // Commanded moves since the link opened: a move to the target the stage already has counts.
    qint64 moveCount = 0;
    // The port as the operator chose it, the stable name it was opened under (empty when it has
    // none), its line parameters ("115200, 8, None, 1") and when it opened (ms since the epoch,
    // UTC; 0 while disconnected): what a file needs to say where its data came from.
    QString chosenPort;
    QString stablePort;
    QString lineSettings;
    qint64 connectedUtcMs = 0;
    // The open-loop page's drive parameters, as they are sent with every switch to that page.
    int durationMs = 100;
    int intervalMs = 500;
    int cycles = 1;

    bool identified() const { return !model.isEmpty() && !firmware.isEmpty(); }
    bool operator==(const PanelState &other) const;
    bool operator!=(const PanelState &other) const { return !(*this == other); }
};

// Where a position reply came from: the 500 ms poll, a faster sampling request, or a ">cp" the
// operator typed.
enum class PositionSource { Poll, Fast, Typed };
QString positionSourceName(PositionSource source);

struct PanelEvent {
    enum class Kind {
        Connected,
        Identified,
        Homed,
        CalibrationStarted,
        CalibrationFinished,
        OpenLoopParameter,
        OpenLoopStep,
        Stop,
        Disconnected,
        // A message the operator was shown in a box or on the status bar: text is its text.
        Error,
        // Anything else worth a marker or a log line (a reconnect, a refused command).
        Note,
        // A commanded move: text is the target in micrometres, or empty for a relative move
        // whose end the panel cannot know.
        Move,
        // The controller answered the last commanded move with an error: the stage will not go
        // there, and the target is back at what it was. text is the reason.
        MoveRefused,
    };
    // Where an error came from: the controller (an "_err" reply), the serial link, or the panel.
    enum class Source { Panel, Link, Controller };
    Kind kind = Kind::Note;
    QString text;
    Source source = Source::Panel;
};
QString panelEventName(PanelEvent::Kind kind);
QString panelEventSourceName(PanelEvent::Source source);

Q_DECLARE_METATYPE(PositionSource)
Q_DECLARE_METATYPE(PanelEvent)

// The answer to a command: done, or refused with the reason an operator would see as a disabled
// or unusable control, or because someone else holds the stage's motion.
struct CommandResult {
    enum class Code { Ok, NotConnected, Unavailable, Busy, BadArgument };
    Code code = Code::Ok;
    QString message;

    bool ok() const { return code == Code::Ok; }
    static CommandResult done() { return {}; }
    static CommandResult refused(Code code, const QString &message) { return {code, message}; }
};
QString commandResultCodeName(CommandResult::Code code);

// The one way to the stage for everything that is not the operator's window: the trace, the
// control socket, sequences, characterisation runs. Each command is refused when the control an
// operator would use for it is unusable, and as busy while another mover holds the motion.
// A listener of every position line that the stage calls directly rather than through
// positionReceived: in a flood of millions of lines a second, a signal's dispatch cost a fifth of
// the panel's time per line, and the trace's recorder hears every line for as long as the panel
// runs.
class PositionSink {
public:
    virtual void takePosition(double positionUm, PositionSource source) = 0;

protected:
    ~PositionSink() = default;
};

class Stage : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;

    virtual PanelState state() const = 0;

    // Chooses the port as --port does when path is not empty, then connects. The result comes at
    // once; identification is announced later by an Identified event.
    virtual CommandResult connectPort(const QString &path) = 0;
    virtual CommandResult disconnectPort() = 0;
    virtual CommandResult home(const Mover &who) = 0;
    // Stop is never refused to anyone while a link is open.
    virtual CommandResult stop(const Mover &who) = 0;
    // An absolute closed-loop move, held to the target box's rules.
    virtual CommandResult moveTo(double targetUm, const Mover &who) = 0;
    // A relative closed-loop step of |stepUm|; the sign gives the direction.
    virtual CommandResult moveBy(double stepUm, const Mover &who) = 0;
    // Open-loop parameters, each stored and sent as the page sends it.
    virtual CommandResult setOpenLoop(std::optional<int> durationMs, std::optional<int> intervalMs,
                                      std::optional<int> cycles, const Mover &who) = 0;
    virtual CommandResult step(bool forward, const Mover &who) = 0;
    virtual CommandResult bi(const Mover &who) = 0;
    virtual CommandResult autoCalibrate(const Mover &who) = 0;
    // A console line: cut at ">" into commands, the motion commands among them held to the same
    // rules as the commands above (the console's own lines go as typed).
    virtual CommandResult sendLine(const QString &line, const Mover &who) = 0;

    // Holds the stage's motion for who until released: other movers are refused as busy, and
    // the operator's move controls are locked (Stop stays).
    virtual CommandResult claimMotion(const Mover &who) = 0;
    virtual void releaseMotion(const Mover &who) = 0;

    // Asks for position samples at intervalMs (0 withdraws the request). The fastest request
    // wins; samples are taken only while a controller is identified on the closed-loop page.
    virtual void requestSampling(const void *requester, int intervalMs) = 0;

    // Asks the controller for its position once, unechoed, as the poll does; the answer comes
    // as positionReceived. In open loop nothing else asks. A stage that cannot be asked
    // refuses.
    virtual CommandResult requestPosition();

    // Hands every position to sink by a direct call, just before positionReceived, until it is
    // removed. False where this stage has no such path: the sink then listens to
    // positionReceived instead, which brings the same positions in the same order.
    virtual bool addPositionSink(PositionSink *sink);
    virtual void removePositionSink(PositionSink *sink);

signals:
    // Every position read, in order.
    void positionReceived(double positionUm, PositionSource source);
    // Once per read of the line that brought positions, after positionReceived for each: for
    // those who only need to know that positions keep coming and where the stage is now, which
    // a flood of thousands of lines a read should not cost a call per line.
    void positionsArrived(double lastPositionUm);
    // Every commanded move, also one to the target the stage already has.
    void targetCommanded(double targetUm);
    void panelEvent(const PanelEvent &event);
    // Any field of state() other than the position changed.
    void stateChanged();
    // Text the console has just shown (an echoed command, a reply, a line sent from it).
    void consoleShown(const QString &text);
};
