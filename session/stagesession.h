#pragma once

#include "panelcontrols.h"
#include "seriallink.h"
#include "stage.h"

#include <QObject>
#include <QString>

#include <functional>
#include <optional>
#include <vector>

// The one authority on the connected stage: its identity, homed state, calibration, loop mode,
// travel, target and position, and on who may move it now. It owns the serial link; the main
// window, the trace, the socket, sequences and the Tango device are its clients. The window's
// controls are its operator's way in (the operator*() calls, which run only when the control is
// usable); everything else comes through the Stage interface, held to the same rules and to the
// motion owner.
class StageSession : public Stage, private ReplyListener {
    Q_OBJECT

public:
    // Ranges of the target and step boxes and of the open-loop parameters.
    static constexpr double kTargetLimitUm = 1000000.0;
    static constexpr double kMaxStepUm = 6000.0;
    static constexpr int kMaxDurationMs = 5000;
    static constexpr int kMaxIntervalMs = 2000;
    static constexpr int kMaxCycles = 214700000;
    static constexpr double kTravelRangeUm = 6500.0;
    static constexpr int kReconnectedMessageMs = 5000;
    // How long an "_err" may take to answer a move for the panel to take it as that move's.
    static constexpr int kMoveAnswerMs = 2000;

    explicit StageSession(QObject *parent = nullptr);
    ~StageSession() override;

    SerialLink *link() const { return serial; }
    const PanelControls &controls() const { return now; }

    // Where the session gets the port and line parameters at Connect, how it turns a chosen port
    // into the name it opens (its stable link) and how a given path is offered as the port.
    void setSettingsSource(std::function<SerialSettings()> source);
    void setPortResolver(std::function<QString(const QString &)> resolve);
    void setPortChooser(std::function<void(const QString &)> choose);

    // --- The operator's controls. Each runs what its control does; the window calls it only
    // while the control is usable.
    void operatorConnect();
    void operatorDisconnect();
    void operatorHome();
    void operatorStop();
    // The target box: sends the move when the target lies within the travel, else refuses
    // (nothing is sent) with the reason.
    CommandResult operatorMoveTo(double targetUm);
    // "-" or "+" (and the arrow keys): a relative step of stepUm in closed loop, an open-loop
    // step in open loop.
    void operatorStep(bool forward, double stepUm);
    void operatorSliderReleased(int positionUm);
    void operatorSelectPage(int page);
    enum class DriveParameter { Duration, Interval, Cycle };
    void operatorSetDriveParameter(DriveParameter which, int value);
    void operatorBi();
    void operatorAutoCalibrate();
    // A line the console sends, "\r" included, written as it is.
    void consoleInput(const QByteArray &data);

    // --- Unplug and come back.
    // The device is awaited at name: Disconnect ends the wait.
    void startWaitingForDevice(const QString &name);
    void stopWaitingForDevice();
    bool isWaitingForDevice() const { return waitingForDevice; }
    // Opens the device that came back at path with the same settings.
    void reconnectTo(const QString &path);
    // The controller on the returned device identified itself; differentModel names the model
    // that was connected before when another answers now.
    void noteReconnected(const QString &previousModel, const QString &deviceName);

    // --- Stage.
    PanelState state() const override;
    CommandResult connectPort(const QString &path) override;
    CommandResult disconnectPort() override;
    CommandResult home(const Mover &who) override;
    CommandResult stop(const Mover &who) override;
    CommandResult moveTo(double targetUm, const Mover &who) override;
    CommandResult moveBy(double stepUm, const Mover &who) override;
    CommandResult setOpenLoop(std::optional<int> durationMs, std::optional<int> intervalMs,
                              std::optional<int> cycles, const Mover &who) override;
    CommandResult step(bool forward, const Mover &who) override;
    CommandResult bi(const Mover &who) override;
    CommandResult autoCalibrate(const Mover &who) override;
    CommandResult sendLine(const QString &line, const Mover &who) override;
    CommandResult claimMotion(const Mover &who) override;
    void releaseMotion(const Mover &who) override;
    void requestSampling(const void *requester, int intervalMs) override;
    CommandResult requestPosition() override;
    bool addPositionSink(PositionSink *sink) override;
    void removePositionSink(PositionSink *sink) override;

    // A fault of the panel's own that needs no box (a file it can no longer write): shown on
    // the status bar and announced as an error event.
    void reportPanelProblem(const QString &text);

    // The last position read, also when it was not a number (0.0 then).
    double currentPositionUm() const { return currentPosition; }
    bool echoesNextPosition() const { return echoNextPosition; }
    const QString &calibrationStatus() const { return calibration; }
    const QString &offsetText() const { return offset; }

public slots:
    // The identification check of each poll tick: a controller that has not identified itself
    // by now is none, and the link closes.
    void checkVersion();

signals:
    // controls() changed.
    void controlsChanged();
    // Text for the console, shown as it is.
    void consoleOutput(const QByteArray &text);
    // A line to send as if the operator had typed it into the console.
    void consoleLineSubmitted(const QString &line);
    // The readout's text, and where the slider follows it to (nothing: it stays).
    void positionShown(const QString &text, std::optional<int> sliderValue);
    // A message on the status bar for timeoutMs (0: until the next one), or none.
    void notice(const QString &text, int timeoutMs);
    void noticeCleared();
    // A message the operator must acknowledge.
    void errorReported(const QString &title, const QString &text, const QString &details);
    // The link opened, by the operator or by the wait for a device that returned.
    void linkOpened(const QString &portName, bool automatic);
    // The link failed for good while open; the panel is disconnected already.
    void linkLost(const QString &reason);
    void waitingStopped();
    // A controller identified itself.
    void deviceIdentified(const QString &model);
    // The device that went away is back and its controller has identified itself.
    void reconnected();

protected:
    // Whether anyone hears positionReceived: in a flood, an emit nobody hears still costs a
    // call per line.
    void connectNotify(const QMetaMethod &signal) override;
    void disconnectNotify(const QMetaMethod &signal) override;

private:
    // ReplyListener.
    void identified(const Protocol::Identity &identity, const Protocol::Identity &before,
                    const QByteArray &line) override;
    void position(double valueUm, const QByteArray &line) override;
    void reply(Protocol::ReplyKind kind, const QByteArray &line) override;
    void showPosition(const QByteArray &line, Protocol::Dialect dialect, double valueUm) override;
    void readHandled() override;

    void openSerialPort();
    void closeSerialPort();
    void onLinkLost(const QString &reason);
    void disableControls();
    void showCalibrationStatus(const QString &text);
    void applyOffset(const QByteArray &line);
    void controllerRefused(const QByteArray &line);
    // Forgets what belonged to another controller: its travel, calibration and homed state.
    void forgetController();

    void doHome();
    void doStop();
    void doMoveTo(double targetUm);
    void doStep(bool forward, double stepUm);
    void doBi();
    void doAutoCalibrate();
    void setPage(int page);
    void sendDriveParameter(DriveParameter which);
    // The motion commands of a raw line, as events: targets, calibration, stops, steps.
    void noteCommandsOf(const QByteArray &line);

    // A fixed command: shown on the console as it is written.
    void sendCommand(const QByteArray &command);
    // A command built at run time: shown with a line end of its own, written as built.
    void sendBuiltCommand(const QByteArray &command);
    void reportError(const QString &title, const QString &text, const QString &details,
                     PanelEvent::Source source);
    void show(const QByteArray &text);
    void changeControls(const std::function<void(PanelControls &)> &edit);
    void announceState();
    void announceEvent(PanelEvent::Kind kind, const QString &text = QString(),
                       PanelEvent::Source source = PanelEvent::Source::Panel);
    void commandTarget(double targetUm);
    double relativeBase() const;
    void updateSamplingAllowed();
    void noteTravelEnd(double stepUm);
    void beginCalibration();
    void endCalibration();
    void setOwner(const std::optional<Mover> &owner);

    std::optional<CommandResult> refuseUnlessConnected() const;
    std::optional<CommandResult> refuseIfBusy(const Mover &who) const;
    // The target box's own rule: its range, and two decimals.
    static std::optional<double> targetBoxValue(double targetUm);

    SerialLink *serial = nullptr;
    PanelControls now;
    std::function<SerialSettings()> settingsSource;
    std::function<QString(const QString &)> resolvePort;
    std::function<void(const QString &)> choosePort;

    double sliderMin = -250.0;
    double sliderMax = 6250.0;
    double currentPosition = 0.0;
    bool echoNextPosition = false;
    bool homed = false;
    bool closedLoop = true;
    bool calibrating = false;
    QString calibration;
    QString offset;
    std::optional<double> lastPositionUm;
    // Positions came in the read being handled.
    bool positionsThisRead = false;
    // Hear every position before positionReceived is emitted (addPositionSink).
    std::vector<PositionSink *> positionSinks;
    bool positionReceivedHeard = false;
    bool positionReceivedRecount = false;
    std::optional<double> lastTargetUm;
    qint64 moveCount = 0;
    std::optional<Mover> owner;
    // The controller that identified itself last, also across links: its travel is kept.
    Protocol::Identity lastController;

    // The move that an "_err" arriving now would answer: sent, and not followed by a position yet.
    struct PendingMove {
        std::optional<double> targetBefore;
        double targetUm = 0.0;
        qint64 sentMs = 0;
    };
    std::optional<PendingMove> pendingMove;

    // Where the open link came from.
    struct LinkRecord {
        QString chosenPort;
        QString stablePort;
        QString lineSettings;
        qint64 openedUtcMs = 0;
    };
    LinkRecord opened;

    PanelState announced;
    // Why the next closeSerialPort() happens, for the Disconnected announcement.
    QString disconnectReason;
    bool closing = false;
    bool closedWhileClosing = false;
    bool waitingForDevice = false;
    QString waitingFor;
    // Set while the wait itself opens the port: the path the device has come back at.
    QString reconnectPath;
};
