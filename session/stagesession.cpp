#include "stagesession.h"

#include "clock.h"
#include "micrometres.h"
#include "portdiagnosis.h"
#include "qtcompat.h"
#include "travelnotice.h"

#include <QMetaMethod>
#include <QTimer>

#include <algorithm>
#include <cmath>

namespace {

const QString kRed = QStringLiteral("color: red");
const QString kGreen = QStringLiteral("color: green");
const QString kGrey = QStringLiteral("color: grey");
const QString kMicrometre = QStringLiteral(" \u00b5m");

CommandResult refused(CommandResult::Code code, const QString &message)
{
    return CommandResult::refused(code, message);
}

} // namespace

StageSession::StageSession(QObject *parent) : Stage(parent), serial(new SerialLink(this))
{
    qRegisterMetaType<PanelEvent>("PanelEvent");
    qRegisterMetaType<PositionSource>("PositionSource");
    serial->setListener(this);
    connect(serial, &SerialLink::pollTicked, this, &StageSession::checkVersion);
    connect(serial, &SerialLink::lost, this, &StageSession::onLinkLost);
    settingsSource = [] { return SerialSettings(); };
    announced = state();
}

StageSession::~StageSession()
{
    serial->setListener(nullptr);
}

void StageSession::setSettingsSource(std::function<SerialSettings()> source)
{
    settingsSource = std::move(source);
}

void StageSession::setPortResolver(std::function<QString(const QString &)> resolve)
{
    resolvePort = std::move(resolve);
}

void StageSession::setPortChooser(std::function<void(const QString &)> choose)
{
    choosePort = std::move(choose);
}

// ---------------------------------------------------------------------------------------------
// Connecting and disconnecting

void StageSession::operatorConnect()
{
    openSerialPort();
}

void StageSession::operatorDisconnect()
{
    closeSerialPort();
}

void StageSession::openSerialPort()
{
    SerialSettings s = settingsSource();
    const bool automatic = !reconnectPath.isEmpty();
    if (automatic)
        s.portName = reconnectPath;
    else
        stopWaitingForDevice();
    reconnectPath.clear();
    const QString chosen = s.portName;
    if (resolvePort)
        s.portName = resolvePort(s.portName);

    QString details;
    if (!serial->open(s, &details)) {
        // A device that has just come back may not take an open yet: the wait tries again.
        if (automatic)
            return;
        reportError(
            tr("Error"),
            tr("No COM-Port found: \n1. Check Device-Connection \n2. Install Device Driver"),
            details, PanelEvent::Source::Link);
        changeControls([](PanelControls &c) { c.connectionText = tr("Open error"); });
        return;
    }

    if (automatic)
        waitingForDevice = false;
    opened = LinkRecord{chosen, s.portName == chosen ? QString() : s.portName,
                        QStringLiteral("%1, %2, %3, %4")
                            .arg(s.baudRateText, s.dataBitsText, s.parityText, s.stopBitsText),
                        Clock::utcMs()};
    lastPositionUm.reset();
    lastTargetUm.reset();
    pendingMove.reset();
    moveCount = 0;
    calibrating = false;
    if (owner && owner->kind == Mover::Kind::Calibration)
        setOwner(std::nullopt);

    changeControls([&s](PanelControls &c) {
        c.console = true;
        c.consoleLocalEcho = s.localEcho;
        c.connectAction = false;
        c.disconnectAction = true;
        c.configureAction = false;
        c.tabs = true;
    });
    sendCommand(Protocol::kInform);
    sendCommand(Protocol::kStatus);
    changeControls([](PanelControls &c) { c.stop = true; });
    serial->startPolling();
    changeControls([&s](PanelControls &c) {
        c.connectionText = tr("Connected to %1: %2, %3, %4, %5, %6")
                               .arg(s.portName)
                               .arg(s.baudRateText)
                               .arg(s.dataBitsText)
                               .arg(s.parityText)
                               .arg(s.stopBitsText)
                               .arg(s.flowControlText);
    });
    emit linkOpened(s.portName, automatic);
    announceEvent(PanelEvent::Kind::Connected, s.portName);
}

void StageSession::closeSerialPort()
{
    // The port is closed already while the panel waits for its device: Disconnect ends the wait.
    if (waitingForDevice) {
        stopWaitingForDevice();
        return;
    }
    closing = true;
    closedWhileClosing = false;
    const qint64 unsent = serial->close();
    closing = false;
    // The device vanished while the queued commands went out; that closed the panel already.
    if (closedWhileClosing)
        return;
    if (unsent > 0)
        show(tr("Disconnected with %1 bytes still unsent: they were dropped\r")
                 .arg(unsent)
                 .toUtf8());
    changeControls([](PanelControls &c) {
        c.console = false;
        c.connectAction = true;
        c.disconnectAction = false;
        c.configureAction = true;
    });
    disableControls();
    emit noticeCleared();
    homed = false;
    changeControls([](PanelControls &c) {
        c.connectionText = tr("Disconnected");
        c.homeStyle = kGrey;
    });
    serial->stopPolling();
    pendingMove.reset();
    calibrating = false;
    if (owner && owner->kind == Mover::Kind::Calibration)
        setOwner(std::nullopt);
    updateSamplingAllowed();
    const QString reason =
        disconnectReason.isEmpty() ? tr("Disconnected by the operator") : disconnectReason;
    disconnectReason.clear();
    announceEvent(PanelEvent::Kind::Disconnected, reason, PanelEvent::Source::Link);
}

void StageSession::onLinkLost(const QString &reason)
{
    if (closing)
        closedWhileClosing = true;
    disconnectReason = reason;
    closeSerialPort();
    emit linkLost(reason);
    reportError(tr("Critical Error"), reason, PortDiagnosis::lost(serial->portName()).text,
                PanelEvent::Source::Link);
}

void StageSession::checkVersion()
{
    if (!serial->identified()) {
        disconnectReason = tr("No device answered the identification request");
        closeSerialPort();
        reportError(tr("Error"),
                    tr("No Device found: \n1. Check Device-Connection \n2. Install Device Driver"),
                    PortDiagnosis::noAnswer(serial->portName(), SerialLink::kPollIntervalMs).text,
                    PanelEvent::Source::Link);
        changeControls([](PanelControls &c) { c.connectionText = tr("Open error"); });
        return;
    }
    const bool wasHomed = homed;
    changeControls([wasHomed](PanelControls &c) {
        c.home = true;
        c.autoCalibrate = true;
        if (!wasHomed)
            c.homeStyle = kRed;
    });
}

void StageSession::disableControls()
{
    serial->forgetIdentity();
    // Back to the closed-loop page first: its switch enables the positioning controls, and with
    // no port open every one of them must end disabled.
    setPage(0);
    changeControls([](PanelControls &c) {
        c.home = false;
        c.target = false;
        c.step = false;
        c.stop = false;
        c.minus = false;
        c.plus = false;
        c.slider = false;
        c.autoCalibrate = false;
        c.tabs = false;
    });
}

// ---------------------------------------------------------------------------------------------
// Unplug and come back

void StageSession::startWaitingForDevice(const QString &name)
{
    waitingForDevice = true;
    waitingFor = name;
    const QString text = tr("Waiting for %1 to return\u2026").arg(name);
    changeControls([&text](PanelControls &c) {
        c.connectionText = text;
        // Disconnect is how the operator gives up on the device.
        c.disconnectAction = true;
    });
    announceEvent(PanelEvent::Kind::Note, text);
}

void StageSession::stopWaitingForDevice()
{
    if (!waitingForDevice)
        return;
    waitingForDevice = false;
    emit waitingStopped();
    changeControls([](PanelControls &c) {
        c.connectionText = tr("Disconnected");
        c.disconnectAction = false;
    });
    announceEvent(PanelEvent::Kind::Note, tr("Stopped waiting for %1").arg(waitingFor));
}

void StageSession::reconnectTo(const QString &path)
{
    if (!waitingForDevice || serial->isOpen())
        return;
    reconnectPath = path;
    openSerialPort();
}

void StageSession::noteReconnected(const QString &previousModel, const QString &deviceName)
{
    const QString note = tr("Reconnected");
    emit notice(note, kReconnectedMessageMs);
    show(note.toLocal8Bit() + '\r');
    announceEvent(PanelEvent::Kind::Note, note);
    emit reconnected();
    const QString model = serial->identity().model;
    if (previousModel.isEmpty() || previousModel == model)
        return;
    const QString text =
        tr("A DVX%1 answers on %2, where a DVX%3 was connected before. Check the controller "
           "before moving the stage.")
            .arg(model, deviceName, previousModel);
    // Not from inside the reply handling: the box's own event loop would deliver more replies
    // into the middle of the one being handled.
    QTimer::singleShot(0, this, [this, text] {
        reportError(tr("Different controller"), text, QString(), PanelEvent::Source::Panel);
    });
}

// ---------------------------------------------------------------------------------------------
// Replies

void StageSession::identified(const Protocol::Identity &identity, const Protocol::Identity &before,
                              const QByteArray &line)
{
    const bool model1804 = identity.model == QLatin1String(Protocol::kModel1804);
    if (model1804)
        show(line);
    const Protocol::Dialect now = serial->dialect();
    const bool wasSilenced =
        Protocol::dialectOf(before.model, before.firmware) == Protocol::Dialect::Model1901Other &&
        before.firmware == identity.firmware;
    if (!lastController.model.isEmpty() &&
        (lastController.model != identity.model || lastController.firmware != identity.firmware))
        forgetController();
    lastController = identity;
    if (now != Protocol::Dialect::Model1901Other) {
        emit noticeCleared();
    } else if (!wasSilenced) {
        // Its replies are dropped; say so once rather than look connected and stay silent.
        const QString text =
            tr("Firmware %1 of the DVX1901 is not supported: its replies are not shown")
                .arg(identity.firmware);
        show(text.toUtf8() + '\r');
        emit notice(text, 0);
    }
    // The 1804 works in open loop; changing the page runs the loop-mode switch at once.
    setPage(model1804 ? 1 : 0);
    changeControls([this, &identity](PanelControls &c) {
        c.connectionText =
            Protocol::withControllerName(c.connectionText, serial->portName(), identity.model);
    });
    updateSamplingAllowed();
    announceEvent(PanelEvent::Kind::Identified,
                  identity.model + QLatin1Char(' ') + identity.firmware);
    emit deviceIdentified(identity.model);
}

void StageSession::forgetController()
{
    sliderMin = -250.0;
    sliderMax = kTravelRangeUm - 250.0;
    offset.clear();
    calibration.clear();
    const bool wasHomed = homed;
    homed = false;
    changeControls([this, wasHomed](PanelControls &c) {
        c.sliderMinimum = Protocol::truncateToInt(sliderMin);
        c.sliderMaximum = Protocol::truncateToInt(sliderMax);
        c.sliderMinText = Micrometres::text(sliderMin);
        c.sliderMaxText = Micrometres::text(sliderMax);
        c.autoCalibrateText = QStringLiteral("AutoCalibrate");
        c.autoCalibrateStyle.clear();
        if (!wasHomed)
            return;
        c.homeStyle = kRed;
        if (c.page == 0) {
            c.minus = false;
            c.plus = false;
            c.stop = false;
        }
    });
    announceState();
}

void StageSession::position(double valueUm, const QByteArray &line)
{
    const PositionSource source = echoNextPosition           ? PositionSource::Typed
                                  : serial->isSamplingFast() ? PositionSource::Fast
                                                             : PositionSource::Poll;
    // Every line reaches the device state and the listeners; the readout follows once the read
    // is handled (showPosition).
    currentPosition = valueUm;
    pendingMove.reset();
    // Poll replies stay off the console unless the operator asked for a position.
    if (echoNextPosition) {
        show(line);
        echoNextPosition = false;
    }
    if (std::isfinite(valueUm)) {
        lastPositionUm = valueUm;
        positionsThisRead = true;
        // By index: a sink may remove itself as it hears.
        for (size_t i = 0; i < positionSinks.size(); ++i)
            positionSinks[i]->takePosition(valueUm, source);
        if (positionReceivedHeard)
            emit positionReceived(valueUm, source);
    }
}

void StageSession::connectNotify(const QMetaMethod &signal)
{
    if (signal == QMetaMethod::fromSignal(&Stage::positionReceived))
        positionReceivedHeard = true;
}

void StageSession::disconnectNotify(const QMetaMethod &signal)
{
    // Qt may hold its connection lock here (a listener being destroyed), so nothing may ask it
    // anything: the listeners are counted again when the read is handled. Until then a position
    // may go to nobody, which costs only the call.
    if (!signal.isValid() || signal == QMetaMethod::fromSignal(&Stage::positionReceived))
        positionReceivedRecount = true;
}

bool StageSession::addPositionSink(PositionSink *sink)
{
    if (std::find(positionSinks.cbegin(), positionSinks.cend(), sink) == positionSinks.cend())
        positionSinks.push_back(sink);
    return true;
}

void StageSession::removePositionSink(PositionSink *sink)
{
    positionSinks.erase(std::remove(positionSinks.begin(), positionSinks.end(), sink),
                        positionSinks.end());
}

void StageSession::readHandled()
{
    if (positionReceivedRecount) {
        positionReceivedRecount = false;
        positionReceivedHeard =
            isSignalConnected(QMetaMethod::fromSignal(&Stage::positionReceived));
    }
    if (!positionsThisRead)
        return;
    positionsThisRead = false;
    emit positionsArrived(*lastPositionUm);
}

void StageSession::reply(Protocol::ReplyKind kind, const QByteArray &line)
{
    switch (kind) {
    case Protocol::ReplyKind::Status:
        show(line);
        showCalibrationStatus(QtCompat::textUpToZero(line));
        break;
    case Protocol::ReplyKind::Offset:
        show(line);
        applyOffset(line);
        announceState();
        break;
    case Protocol::ReplyKind::Echo:
        show(line);
        if (Protocol::isErrorReply(line))
            controllerRefused(line);
        break;
    case Protocol::ReplyKind::Position:
    case Protocol::ReplyKind::Drop:
        break;
    }
}

void StageSession::controllerRefused(const QByteArray &line)
{
    const QString reason = Protocol::errorReplyReason(line);
    const bool answersMove =
        pendingMove && Clock::steadyMs() - pendingMove->sentMs <= kMoveAnswerMs;
    if (answersMove) {
        const PendingMove refusedMove = *pendingMove;
        pendingMove.reset();
        // The stage stays where it was going before: the refused target is no target.
        lastTargetUm = refusedMove.targetBefore;
        const QString text = tr("The controller refused the move to %1: %2")
                                 .arg(Micrometres::text(refusedMove.targetUm), reason);
        emit notice(text, 0);
        show(text.toUtf8() + '\r');
        announceEvent(PanelEvent::Kind::MoveRefused, text, PanelEvent::Source::Controller);
        announceEvent(PanelEvent::Kind::Error, text, PanelEvent::Source::Controller);
        return;
    }
    const QString text = tr("The controller answered with an error: %1").arg(reason);
    emit notice(text, 0);
    show(text.toUtf8() + '\r');
    announceEvent(PanelEvent::Kind::Error, text, PanelEvent::Source::Controller);
}

void StageSession::applyOffset(const QByteArray &line)
{
    const QString text = Protocol::offsetText(line);
    const std::optional<double> accepted = Protocol::acceptedOffset(text, kTravelRangeUm);
    if (!accepted) {
        // Limits from such a number would be "nan" or wrap, and every later move would be lost.
        show(tr("Offset %1 ignored: not a number the panel can use\r").arg(text).toUtf8());
        return;
    }
    offset = text;
    sliderMin = *accepted * -1.0 * 0.1;
    sliderMax = kTravelRangeUm - *accepted * 0.1;
    changeControls([this](PanelControls &c) {
        c.sliderMinText = Micrometres::text(sliderMin);
        c.sliderMaxText = Micrometres::text(sliderMax);
        c.sliderMinimum = Protocol::truncateToInt(sliderMin);
        c.sliderMaximum = Protocol::truncateToInt(sliderMax);
    });
}

void StageSession::showPosition(const QByteArray &line, Protocol::Dialect dialect, double valueUm)
{
    const QString text = Protocol::positionText(dialect, QtCompat::textUpToZero(line));
    // The 1804 reports no position the slider could follow.
    std::optional<int> slider;
    if (dialect != Protocol::Dialect::Model1804 && std::isfinite(valueUm))
        slider = Protocol::truncateToInt(valueUm);
    emit positionShown(text + kMicrometre, slider);
}

void StageSession::showCalibrationStatus(const QString &text)
{
    const auto state = Protocol::calibrationState(text);
    if (!state)
        return;
    calibration = *state;
    if (calibrating && *state == QLatin1Char('9')) {
        endCalibration();
        announceEvent(PanelEvent::Kind::CalibrationFinished);
    }
    announceState();
    if (*state == QLatin1Char('1')) {
        changeControls([](PanelControls &c) {
            c.home = true;
            c.autoCalibrate = true;
            c.autoCalibrateText = QStringLiteral("AutoCalibrate");
            c.autoCalibrateStyle = kRed;
        });
    } else if (*state == QLatin1Char('9')) {
        changeControls([](PanelControls &c) {
            c.home = true;
            c.autoCalibrate = true;
            c.autoCalibrateText = QStringLiteral("Calibrated");
            c.autoCalibrateStyle = kGreen;
            c.homeStyle = kRed;
        });
    }
}

// ---------------------------------------------------------------------------------------------
// The operator's controls

void StageSession::operatorHome()
{
    doHome();
}

void StageSession::doHome()
{
    sendCommand(Protocol::kStop);
    sendCommand(Protocol::kHome);
    homed = true;
    commandTarget(0.0);
    announceEvent(PanelEvent::Kind::Homed);
    changeControls([](PanelControls &c) {
        c.homeStyle = kGreen;
        c.stop = true;
        c.target = true;
        c.step = true;
        c.minus = true;
        c.plus = true;
        c.slider = true;
    });
}

void StageSession::operatorStop()
{
    doStop();
}

void StageSession::doStop()
{
    sendCommand(Protocol::kStop);
    // The controller abandons a calibration with the stop.
    endCalibration();
    announceEvent(PanelEvent::Kind::Stop);
}

CommandResult StageSession::operatorMoveTo(double targetUm)
{
    if (targetUm >= sliderMin && targetUm <= sliderMax) {
        doMoveTo(targetUm);
        return CommandResult::done();
    }
    return refused(CommandResult::Code::BadArgument,
                   TravelNotice::targetBeyond(targetUm, sliderMin, sliderMax));
}

void StageSession::doMoveTo(double targetUm)
{
    sendBuiltCommand(Protocol::moveTo(targetUm));
    commandTarget(targetUm);
}

void StageSession::operatorStep(bool forward, double stepUm)
{
    doStep(forward, stepUm);
}

void StageSession::doStep(bool forward, double stepUm)
{
    if (closedLoop) {
        noteTravelEnd(forward ? stepUm : -stepUm);
        const double base = relativeBase();
        sendBuiltCommand(Protocol::moveBy(stepUm, forward));
        commandTarget(std::clamp(forward ? base + stepUm : base - stepUm, sliderMin, sliderMax));
    } else {
        sendBuiltCommand(forward ? Protocol::kStepForward : Protocol::kStepReverse);
        announceEvent(PanelEvent::Kind::OpenLoopStep,
                      forward ? QStringLiteral("forward") : QStringLiteral("reverse"));
    }
}

void StageSession::operatorSliderReleased(int positionUm)
{
    sendBuiltCommand(Protocol::moveToSliderPosition(positionUm));
    commandTarget(positionUm);
}

void StageSession::operatorSelectPage(int page)
{
    setPage(page);
}

void StageSession::setPage(int page)
{
    // The tab widget tells only of a change of page.
    if (page == now.page || (page != 0 && page != 1))
        return;
    changeControls([page](PanelControls &c) { c.page = page; });
    if (page == 0) {
        const bool h = homed;
        changeControls([h](PanelControls &c) {
            c.home = true;
            c.autoCalibrate = true;
            c.sliderLabels = true;
            c.slider = true;
            c.target = true;
            c.step = true;
            c.plus = h;
            c.minus = h;
            c.stop = h;
        });
        closedLoop = true;
        serial->startPolling();
        updateSamplingAllowed();
        announceState();
        return;
    }
    sendDriveParameter(DriveParameter::Duration);
    sendDriveParameter(DriveParameter::Interval);
    sendDriveParameter(DriveParameter::Cycle);
    changeControls([](PanelControls &c) {
        c.home = false;
        c.autoCalibrate = false;
        c.sliderLabels = false;
        c.slider = false;
    });
    // The readout keeps the last position read; the status view greys it and says why.
    changeControls([](PanelControls &c) {
        c.target = false;
        c.step = false;
        c.plus = true;
        c.minus = true;
        c.stop = true;
    });
    closedLoop = false;
    serial->stopPolling();
    updateSamplingAllowed();
    announceState();
}

void StageSession::operatorSetDriveParameter(DriveParameter which, int value)
{
    changeControls([which, value](PanelControls &c) {
        switch (which) {
        case DriveParameter::Duration:
            c.durationMs = value;
            break;
        case DriveParameter::Interval:
            c.intervalMs = value;
            break;
        case DriveParameter::Cycle:
            c.cycles = value;
            break;
        }
    });
    sendDriveParameter(which);
}

void StageSession::sendDriveParameter(DriveParameter which)
{
    QByteArray command;
    switch (which) {
    case DriveParameter::Duration:
        command = Protocol::driveParameter(Protocol::kDuration, now.durationMs);
        break;
    case DriveParameter::Interval:
        command = Protocol::driveParameter(Protocol::kInterval, now.intervalMs);
        break;
    case DriveParameter::Cycle:
        command = Protocol::driveParameter(Protocol::kCycle, now.cycles);
        break;
    }
    sendBuiltCommand(command);
    announceEvent(PanelEvent::Kind::OpenLoopParameter, QString::fromLatin1(command).trimmed());
}

void StageSession::operatorBi()
{
    doBi();
}

void StageSession::doBi()
{
    sendCommand(Protocol::kBi);
    announceEvent(PanelEvent::Kind::OpenLoopStep, QStringLiteral("bi"));
}

void StageSession::operatorAutoCalibrate()
{
    doAutoCalibrate();
}

void StageSession::doAutoCalibrate()
{
    sendCommand(Protocol::kAutoCalibrate);
    beginCalibration();
    // The status request only fetches the new state; it is not the operator's command.
    serial->write(Protocol::kStatus);
}

void StageSession::beginCalibration()
{
    calibrating = true;
    setOwner(Mover::calibration());
    announceEvent(PanelEvent::Kind::CalibrationStarted);
}

void StageSession::endCalibration()
{
    calibrating = false;
    if (owner && owner->kind == Mover::Kind::Calibration)
        setOwner(std::nullopt);
}

void StageSession::consoleInput(const QByteArray &data)
{
    if (data.contains("cp"))
        echoNextPosition = true;
    serial->write(data);
    noteCommandsOf(data);
}

void StageSession::noteCommandsOf(const QByteArray &line)
{
    // Only lines that hold a command the panel keeps track of cost more than this look.
    if (!line.contains('>'))
        return;
    for (const Protocol::Command &command : Protocol::splitCommands(line)) {
        if (command.keyword == "ma" || command.keyword == "mr") {
            const std::optional<double> tenths = Protocol::moveArgumentTenths(command.argument);
            if (!tenths)
                continue;
            const double um = *tenths / 10.0;
            commandTarget(command.keyword == "ma" ? um : relativeBase() + um);
        } else if (command.keyword == "home" && command.argument.isEmpty()) {
            commandTarget(0.0);
        } else if (command.keyword == "stop" && command.argument.isEmpty()) {
            endCalibration();
            announceEvent(PanelEvent::Kind::Stop);
        } else if (command.keyword == "auto" && command.argument.isEmpty()) {
            beginCalibration();
        } else if ((command.keyword == "fo" || command.keyword == "re" ||
                    command.keyword == "bi") &&
                   command.argument.isEmpty()) {
            announceEvent(PanelEvent::Kind::OpenLoopStep,
                          command.keyword == "fo"   ? QStringLiteral("forward")
                          : command.keyword == "re" ? QStringLiteral("reverse")
                                                    : QStringLiteral("bi"));
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Stage: the same controls for everyone else, held to the motion owner

std::optional<CommandResult> StageSession::refuseUnlessConnected() const
{
    if (!serial->isOpen())
        return refused(CommandResult::Code::NotConnected,
                       tr("The panel is not connected to a controller"));
    return std::nullopt;
}

std::optional<CommandResult> StageSession::refuseIfBusy(const Mover &who) const
{
    // The console is the operator's own: it is never refused.
    if (!owner || *owner == who || who.kind == Mover::Kind::Console)
        return std::nullopt;
    return refused(CommandResult::Code::Busy,
                   tr("The stage is busy: %1 holds it (Stop ends it)").arg(moverName(*owner)));
}

std::optional<double> StageSession::targetBoxValue(double targetUm)
{
    if (!std::isfinite(targetUm) || targetUm < -kTargetLimitUm || targetUm > kTargetLimitUm)
        return std::nullopt;
    // The box keeps two decimals, and so does a target that did not come through it.
    return std::round(targetUm * 100.0) / 100.0;
}

PanelState StageSession::state() const
{
    PanelState s;
    s.connected = serial->isOpen();
    s.port = s.connected ? serial->portName() : QString();
    s.model = serial->identity().model;
    s.firmware = serial->identity().firmware;
    s.homed = homed;
    s.calibrating = calibrating;
    s.calibration = calibration;
    s.closedLoop = closedLoop;
    s.positionUm = lastPositionUm;
    s.targetUm = lastTargetUm;
    s.travelMinUm = sliderMin;
    s.travelMaxUm = sliderMax;
    s.motionOwner = owner;
    s.moveCount = moveCount;
    s.durationMs = now.durationMs;
    s.intervalMs = now.intervalMs;
    s.cycles = now.cycles;
    if (s.connected) {
        s.chosenPort = opened.chosenPort;
        s.stablePort = opened.stablePort;
        s.lineSettings = opened.lineSettings;
        s.connectedUtcMs = opened.openedUtcMs;
    }
    return s;
}

CommandResult StageSession::connectPort(const QString &path)
{
    if (!now.connectAction)
        return refused(CommandResult::Code::Unavailable, tr("The panel is already connected"));
    if (!path.isEmpty() && choosePort)
        choosePort(path);
    openSerialPort();
    if (!serial->isOpen())
        return refused(CommandResult::Code::Unavailable, tr("Cannot open the port"));
    return CommandResult::done();
}

CommandResult StageSession::disconnectPort()
{
    if (!now.disconnectAction)
        return refused(CommandResult::Code::NotConnected,
                       tr("The panel is not connected to a controller"));
    closeSerialPort();
    return CommandResult::done();
}

CommandResult StageSession::home(const Mover &who)
{
    if (auto r = refuseUnlessConnected())
        return *r;
    if (auto r = refuseIfBusy(who))
        return *r;
    if (!now.home)
        return refused(CommandResult::Code::Unavailable,
                       tr("Home is not available now (it needs an identified controller on the "
                          "closed-loop page)"));
    doHome();
    return CommandResult::done();
}

CommandResult StageSession::stop(const Mover &)
{
    if (auto r = refuseUnlessConnected())
        return *r;
    if (!now.stop)
        return refused(CommandResult::Code::Unavailable, tr("Stop is not available now"));
    doStop();
    return CommandResult::done();
}

CommandResult StageSession::moveTo(double targetUm, const Mover &who)
{
    if (auto r = refuseUnlessConnected())
        return *r;
    if (auto r = refuseIfBusy(who))
        return *r;
    if (!closedLoop || !now.target)
        return refused(CommandResult::Code::Unavailable,
                       tr("The target box is not available now (it needs the closed-loop page "
                          "and a homed stage)"));
    const std::optional<double> target = targetBoxValue(targetUm);
    if (!target)
        return refused(CommandResult::Code::BadArgument,
                       tr("The target must lie between %1 and %2 \u00b5m")
                           .arg(-kTargetLimitUm)
                           .arg(kTargetLimitUm));
    if (*target < sliderMin || *target > sliderMax)
        return refused(CommandResult::Code::BadArgument,
                       tr("The target %1 \u00b5m lies beyond the travel (%2 to %3 \u00b5m)")
                           .arg(*target)
                           .arg(sliderMin)
                           .arg(sliderMax));
    doMoveTo(*target);
    return CommandResult::done();
}

CommandResult StageSession::moveBy(double stepUm, const Mover &who)
{
    if (auto r = refuseUnlessConnected())
        return *r;
    if (auto r = refuseIfBusy(who))
        return *r;
    const bool forward = stepUm >= 0.0;
    if (!closedLoop || !(forward ? now.plus : now.minus))
        return refused(CommandResult::Code::Unavailable,
                       tr("Relative moves are not available now (they need the closed-loop page "
                          "and a homed stage)"));
    const double step = std::round(std::abs(stepUm) * 100.0) / 100.0;
    if (!std::isfinite(stepUm) || step > kMaxStepUm)
        return refused(CommandResult::Code::BadArgument,
                       tr("The step must lie between %1 and %2 \u00b5m").arg(0).arg(kMaxStepUm));
    doStep(forward, step);
    return CommandResult::done();
}

CommandResult StageSession::setOpenLoop(std::optional<int> durationMs,
                                        std::optional<int> intervalMs, std::optional<int> cycles,
                                        const Mover &who)
{
    if (auto r = refuseUnlessConnected())
        return *r;
    // The step a run measures or a move counts on depends on them.
    if (auto r = refuseIfBusy(who))
        return *r;
    if (closedLoop)
        return refused(CommandResult::Code::Unavailable,
                       tr("Open-loop parameters need the open-loop page"));
    const struct {
        std::optional<int> value;
        const char *name;
        int maximum;
        DriveParameter which;
    } fields[] = {
        {durationMs, "Duration", kMaxDurationMs, DriveParameter::Duration},
        {intervalMs, "Interval", kMaxIntervalMs, DriveParameter::Interval},
        {cycles, "Cycle", kMaxCycles, DriveParameter::Cycle},
    };
    for (const auto &field : fields) {
        if (field.value && (*field.value < 1 || *field.value > field.maximum))
            return refused(CommandResult::Code::BadArgument, tr("%1 must lie between %2 and %3")
                                                                 .arg(QLatin1String(field.name))
                                                                 .arg(1)
                                                                 .arg(field.maximum));
    }
    for (const auto &field : fields) {
        if (field.value)
            operatorSetDriveParameter(field.which, *field.value);
    }
    return CommandResult::done();
}

CommandResult StageSession::step(bool forward, const Mover &who)
{
    if (auto r = refuseUnlessConnected())
        return *r;
    if (auto r = refuseIfBusy(who))
        return *r;
    if (closedLoop || !(forward ? now.plus : now.minus))
        return refused(CommandResult::Code::Unavailable,
                       tr("Open-loop steps need the open-loop page"));
    doStep(forward, 0.0);
    return CommandResult::done();
}

CommandResult StageSession::bi(const Mover &who)
{
    if (auto r = refuseUnlessConnected())
        return *r;
    if (auto r = refuseIfBusy(who))
        return *r;
    if (closedLoop || !now.tabs)
        return refused(CommandResult::Code::Unavailable, tr("Bi needs the open-loop page"));
    doBi();
    return CommandResult::done();
}

CommandResult StageSession::autoCalibrate(const Mover &who)
{
    if (auto r = refuseUnlessConnected())
        return *r;
    if (auto r = refuseIfBusy(who))
        return *r;
    if (!now.autoCalibrate)
        return refused(CommandResult::Code::Unavailable,
                       tr("AutoCalibrate is not available now (it needs an identified controller "
                          "on the closed-loop page)"));
    doAutoCalibrate();
    return CommandResult::done();
}

CommandResult StageSession::sendLine(const QString &line, const Mover &who)
{
    if (auto r = refuseUnlessConnected())
        return *r;
    if (line.contains(QLatin1Char('\r')) || line.contains(QLatin1Char('\n')))
        return refused(CommandResult::Code::BadArgument, tr("A console line holds no line break"));
    if (line.size() > Protocol::kMaxCommandLength)
        return refused(CommandResult::Code::BadArgument,
                       tr("The line is longer than the controller takes"));
    // Every command of the line obeys what its control would: one line may carry several.
    double base = relativeBase();
    for (const Protocol::Command &command : Protocol::splitCommands(line.toLocal8Bit())) {
        if (!Protocol::isMotionCommand(command.keyword))
            continue;
        if (auto r = refuseIfBusy(who))
            return *r;
        if (command.keyword != "ma" && command.keyword != "mr")
            continue;
        const std::optional<double> tenths = Protocol::moveArgumentTenths(command.argument);
        if (!tenths)
            return refused(CommandResult::Code::BadArgument,
                           tr("\">%1\" needs a number of tenths of a micrometre")
                               .arg(QString::fromLatin1(command.keyword)));
        const double target = command.keyword == "ma" ? *tenths / 10.0 : base + *tenths / 10.0;
        if (target < sliderMin || target > sliderMax)
            return refused(CommandResult::Code::BadArgument,
                           tr("\">%1 %2\" would move the stage to %3, beyond the travel (%4 to "
                              "%5)")
                               .arg(QString::fromLatin1(command.keyword),
                                    QString::fromLatin1(command.argument),
                                    Micrometres::text(target), Micrometres::text(sliderMin),
                                    Micrometres::text(sliderMax)));
        base = target;
    }
    emit consoleLineSubmitted(line);
    return CommandResult::done();
}

CommandResult StageSession::claimMotion(const Mover &who)
{
    if (auto r = refuseUnlessConnected())
        return *r;
    if (auto r = refuseIfBusy(who))
        return *r;
    setOwner(who);
    return CommandResult::done();
}

void StageSession::releaseMotion(const Mover &who)
{
    if (owner && *owner == who)
        setOwner(std::nullopt);
}

void StageSession::setOwner(const std::optional<Mover> &newOwner)
{
    if (owner == newOwner)
        return;
    owner = newOwner;
    const QString reason =
        owner ? tr("The stage is held by %1; Stop ends it").arg(moverName(*owner)) : QString();
    changeControls([&reason](PanelControls &c) { c.lockReason = reason; });
    announceState();
}

void StageSession::requestSampling(const void *requester, int intervalMs)
{
    serial->requestSampling(requester, intervalMs);
}

CommandResult StageSession::requestPosition()
{
    if (auto r = refuseUnlessConnected())
        return *r;
    // Unechoed, like the poll's: a run asks many times a second.
    serial->write(Protocol::kCurrentPosition);
    return CommandResult::done();
}

// ---------------------------------------------------------------------------------------------
// Helpers

void StageSession::sendCommand(const QByteArray &command)
{
    show(command);
    serial->write(command);
}

void StageSession::sendBuiltCommand(const QByteArray &command)
{
    show(command);
    show("\r");
    serial->write(command);
}

void StageSession::show(const QByteArray &text)
{
    emit consoleOutput(text);
}

void StageSession::reportError(const QString &title, const QString &text, const QString &details,
                               PanelEvent::Source source)
{
    // Announced before the box opens: a script waiting on the panel hears of it at once, not
    // when the operator closes the box.
    announceEvent(PanelEvent::Kind::Error,
                  details.isEmpty() ? text : text + QLatin1Char('\n') + details, source);
    emit errorReported(title, text, details);
}

void StageSession::reportPanelProblem(const QString &text)
{
    announceEvent(PanelEvent::Kind::Error, text, PanelEvent::Source::Panel);
    emit notice(text, 0);
}

void StageSession::changeControls(const std::function<void(PanelControls &)> &edit)
{
    edit(now);
    emit controlsChanged();
}

void StageSession::announceState()
{
    const PanelState s = state();
    if (s == announced)
        return;
    announced = s;
    emit stateChanged();
}

void StageSession::announceEvent(PanelEvent::Kind kind, const QString &text,
                                 PanelEvent::Source source)
{
    emit panelEvent(PanelEvent{kind, text, source});
    announceState();
}

void StageSession::commandTarget(double targetUm)
{
    pendingMove = PendingMove{lastTargetUm, targetUm, Clock::steadyMs()};
    lastTargetUm = targetUm;
    ++moveCount;
    emit targetCommanded(targetUm);
    announceEvent(PanelEvent::Kind::Move, Micrometres::number(targetUm));
}

double StageSession::relativeBase() const
{
    return lastTargetUm.value_or(lastPositionUm.value_or(currentPosition));
}

void StageSession::updateSamplingAllowed()
{
    serial->setSamplingAllowed(serial->isOpen() && closedLoop && serial->identified());
}

void StageSession::noteTravelEnd(double stepUm)
{
    const QString text = TravelNotice::stepAtEnd(relativeBase(), stepUm, sliderMin, sliderMax);
    if (text.isEmpty())
        return;
    emit notice(text, 0);
    show(text.toUtf8() + '\r');
}
