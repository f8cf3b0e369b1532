// The window's side of its command interface: the state snapshot, the announcements the trace,
// the control socket and sequences hear, and the lock that keeps two sources of moves apart.
#include "mainwindow.h"

#include "fastsampler.h"
#include "panelstage.h"
#include "ui_mainwindow.h"

#include <QTimer>

Stage *MainWindow::stage() const
{
    return panelStage;
}

PanelState MainWindow::panelState() const
{
    PanelState s;
    s.connected = serialPort->isOpen();
    s.port = s.connected ? serialPort->portName() : QString();
    s.model = controllerModel;
    s.firmware = firmwareVersion;
    s.homed = homed;
    s.calibrating = calibrating;
    s.calibration = calibrationStatus;
    s.closedLoop = closedLoop;
    s.positionUm = lastPositionUm;
    s.targetUm = lastTargetUm;
    s.travelMinUm = sliderMin;
    s.travelMaxUm = sliderMax;
    return s;
}

void MainWindow::announceState()
{
    const PanelState now = panelState();
    if (now == announcedState)
        return;
    announcedState = now;
    emit panelStage->stateChanged();
}

void MainWindow::announceEvent(PanelEvent::Kind kind, const QString &text)
{
    emit panelStage->panelEvent(PanelEvent{kind, text});
    announceState();
}

void MainWindow::commandTarget(double targetUm)
{
    lastTargetUm = targetUm;
    emit panelStage->targetCommanded(targetUm);
    announceState();
}

void MainWindow::updateSamplingAllowed()
{
    fastSampler->setAllowed(serialPort->isOpen() && closedLoop && !controllerModel.isEmpty() &&
                            !firmwareVersion.isEmpty());
}

void MainWindow::sampleFast()
{
    // Only the position request: the poll and its identification check keep their own timer.
    serialPort->write(Protocol::kCurrentPosition);
}

QList<QWidget *> MainWindow::moveControls() const
{
    return {ui->pushButton_home,     ui->pushButton_AutoCalibrate, ui->doubleSpinBox_Position,
            ui->doubleSpinBox_mrstp, ui->pushButton_SliderMinus,   ui->pushButton_SliderPlus,
            ui->horizontalSlider,    ui->tabWidget_LoopMode};
}

bool MainWindow::controlUsable(const QWidget *control) const
{
    if (moveControlsLocked && enabledBeforeLock.contains(control))
        return enabledBeforeLock.value(control);
    return control->isEnabled();
}

void MainWindow::setMoveControlsLocked(bool locked)
{
    if (locked == moveControlsLocked)
        return;
    if (locked) {
        enabledBeforeLock.clear();
        for (QWidget *control : moveControls()) {
            enabledBeforeLock.insert(control, control->isEnabled());
            control->setEnabled(false);
        }
        moveControlsLocked = true;
        return;
    }
    moveControlsLocked = false;
    // After a disconnect every control stays as the disconnect left it.
    if (serialPort->isOpen()) {
        for (QWidget *control : moveControls())
            control->setEnabled(enabledBeforeLock.value(control, false));
    }
    enabledBeforeLock.clear();
}

void MainWindow::enableControl(QWidget *control, bool enabled)
{
    if (moveControlsLocked && enabledBeforeLock.contains(control)) {
        enabledBeforeLock.insert(control, enabled);
        return;
    }
    control->setEnabled(enabled);
}

double MainWindow::relativeBase() const
{
    return lastTargetUm.value_or(lastPositionUm.value_or(currentPosition));
}

void MainWindow::setHeadless(bool on)
{
    headless = on;
}
