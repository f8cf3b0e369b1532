#pragma once

#include <QObject>
#include <QString>

#include <optional>

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
        // A message the operator was shown in a box: text is its text.
        Error,
        // Anything else worth a marker or a log line (a reconnect, a refused command).
        Note,
    };
    Kind kind = Kind::Note;
    QString text;
};
QString panelEventName(PanelEvent::Kind kind);

Q_DECLARE_METATYPE(PositionSource)
Q_DECLARE_METATYPE(PanelEvent)

// The answer to a command given through the panel's command interface: done, or refused with
// the reason an operator would see as a disabled or unusable control.
struct CommandResult {
    enum class Code { Ok, NotConnected, Unavailable, BadArgument };
    Code code = Code::Ok;
    QString message;

    bool ok() const { return code == Code::Ok; }
    static CommandResult done() { return {}; }
    static CommandResult refused(Code code, const QString &message) { return {code, message}; }
};

// The one way in to the panel for everything that is not the operator's mouse and keyboard: the
// trace, the control socket, sequences. Every command presses the control the operator would
// press, and is refused when that control is disabled. Nothing else writes to the serial port.
class Stage : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;

    virtual PanelState state() const = 0;

    // Chooses the port as --port does when path is not empty, then presses Connect. The result
    // comes at once; identification is announced later by an Identified event.
    virtual CommandResult connectPort(const QString &path) = 0;
    virtual CommandResult disconnectPort() = 0;
    virtual CommandResult home() = 0;
    virtual CommandResult stop() = 0;
    // The target box: an absolute closed-loop move.
    virtual CommandResult moveTo(double targetUm) = 0;
    // "-" or "+" with the step box set to |stepUm|; the sign gives the direction.
    virtual CommandResult moveBy(double stepUm) = 0;
    // Open-loop parameters, each set in its spin box and sent as on editing finished.
    virtual CommandResult setOpenLoop(std::optional<int> durationMs, std::optional<int> intervalMs,
                                      std::optional<int> cycles) = 0;
    virtual CommandResult step(bool forward) = 0;
    virtual CommandResult bi() = 0;
    virtual CommandResult autoCalibrate() = 0;
    // A line typed into the console and confirmed with Return.
    virtual CommandResult sendLine(const QString &line) = 0;

    // Asks for position samples at intervalMs (0 withdraws the request). The fastest request
    // wins; samples are taken only while a controller is identified on the closed-loop page.
    virtual void requestSampling(const void *requester, int intervalMs) = 0;

    // While a sequence runs, the panel's own move controls are locked so that two sources of
    // moves never fight; Stop stays usable.
    virtual void setMoveControlsLocked(bool locked) = 0;

signals:
    void positionReceived(double positionUm, PositionSource source);
    void targetCommanded(double targetUm);
    void panelEvent(const PanelEvent &event);
    // Any field of state() other than the position changed.
    void stateChanged();
};
