#include "mainwindow.h"

#include "console.h"
#include "fastsampler.h"
#include "panelstage.h"
#include "portdiagnosis.h"
#include "qtcompat.h"
#include "ui_mainwindow.h"

#include <QLabel>
#include <QMessageBox>
#include <QTimer>

#include <cmath>

namespace {
const QString kMicrometre = QStringLiteral(" \u00b5m");
}

Protocol::Dialect MainWindow::dialect() const
{
    return Protocol::dialectOf(controllerModel, firmwareVersion);
}

void MainWindow::processReply(const QByteArray &line)
{
    if (const auto identity = Protocol::identify(line)) {
        const bool model1804 = identity->model == QLatin1String(Protocol::kModel1804);
        if (model1804)
            console->putData(line);
        firmwareVersion = identity->firmware;
        controllerModel = identity->model;
        // Changing the page runs the loop-mode switch at once: the 1804 works in open loop.
        ui->tabWidget_LoopMode->setCurrentIndex(model1804 ? 1 : 0);
        statusLabel->setText(Protocol::withControllerName(statusLabel->text(),
                                                          serialPort->portName(), controllerModel));
        updateSamplingAllowed();
        announceEvent(PanelEvent::Kind::Identified,
                      controllerModel + QLatin1Char(' ') + firmwareVersion);
        deviceIdentified();
    }

    switch (Protocol::classify(dialect(), line)) {
    case Protocol::ReplyKind::Position: {
        const PositionSource source = echoNextPosition           ? PositionSource::Typed
                                      : fastSampler->isRunning() ? PositionSource::Fast
                                                                 : PositionSource::Poll;
        showPosition(QtCompat::textUpToZero(line));
        // Poll replies stay off the console unless the operator asked for a position.
        if (echoNextPosition) {
            console->putData(line);
            echoNextPosition = false;
        }
        if (std::isfinite(currentPosition)) {
            lastPositionUm = currentPosition;
            emit panelStage->positionReceived(currentPosition, source);
        }
        break;
    }
    case Protocol::ReplyKind::Status:
        console->putData(line);
        showCalibrationStatus(QtCompat::textUpToZero(line));
        break;
    case Protocol::ReplyKind::Offset:
        console->putData(line);
        applyOffset(line);
        announceState();
        break;
    case Protocol::ReplyKind::Echo:
        console->putData(line);
        break;
    case Protocol::ReplyKind::Drop:
        break;
    }
}

void MainWindow::applyOffset(const QByteArray &line)
{
    offsetText = Protocol::offsetText(line);
    const double offset = offsetText.toDouble();
    sliderMin = offset * -1.0 * 0.1;
    sliderMax = travelRange - offset * 0.1;
    ui->label_Slidermin->setText(QString::number(sliderMin, 'g', 6) + kMicrometre);
    ui->label_Slidermax->setText(QString::number(sliderMax, 'g', 6) + kMicrometre);
    ui->horizontalSlider->setMinimum(Protocol::truncateToInt(sliderMin));
    ui->horizontalSlider->setMaximum(Protocol::truncateToInt(sliderMax));
}

void MainWindow::showPosition(const QString &text)
{
    const Protocol::Dialect current = dialect();
    const QString value = Protocol::positionText(current, text);
    currentPosition = value.toDouble();
    ui->label_Position->setText(value + kMicrometre);
    // The 1804 reports no position the slider could follow; an operator holding the slider
    // keeps it.
    if (current != Protocol::Dialect::Model1804 && !ui->horizontalSlider->hasFocus())
        ui->horizontalSlider->setValue(Protocol::truncateToInt(currentPosition));
}

void MainWindow::showCalibrationStatus(const QString &text)
{
    const auto state = Protocol::calibrationState(text);
    if (!state)
        return;
    calibrationStatus = *state;
    if (calibrating && *state == QLatin1Char('9')) {
        calibrating = false;
        announceEvent(PanelEvent::Kind::CalibrationFinished);
    }
    announceState();
    if (*state == QLatin1Char('1')) {
        enableControl(ui->pushButton_home, true);
        enableControl(ui->pushButton_AutoCalibrate, true);
        ui->pushButton_AutoCalibrate->setText(QStringLiteral("AutoCalibrate"));
        ui->pushButton_AutoCalibrate->setStyleSheet(QStringLiteral("color: red"));
    } else if (*state == QLatin1Char('9')) {
        enableControl(ui->pushButton_home, true);
        enableControl(ui->pushButton_AutoCalibrate, true);
        ui->pushButton_AutoCalibrate->setText(QStringLiteral("Calibrated"));
        ui->pushButton_AutoCalibrate->setStyleSheet(QStringLiteral("color: green"));
        ui->pushButton_home->setStyleSheet(QStringLiteral("color: red"));
    }
}

void MainWindow::checkVersion()
{
    if (firmwareVersion.isEmpty() || controllerModel.isEmpty()) {
        disconnectReason = tr("No device answered the identification request");
        closeSerialPort();
        reportError(tr("Error"),
                    tr("No Device found: \n1. Check Device-Connection \n2. Install Device Driver"),
                    PortDiagnosis::noAnswer(serialPort->portName(), pollIntervalMs).text);
        statusLabel->setText(tr("Open error"));
        return;
    }
    enableControl(ui->pushButton_home, true);
    enableControl(ui->pushButton_AutoCalibrate, true);
    // Re-applying an unchanged style sheet still re-polishes the button on every tick.
    static const QString red = QStringLiteral("color: red");
    if (!homed && ui->pushButton_home->styleSheet() != red)
        ui->pushButton_home->setStyleSheet(red);
}

void MainWindow::disableControls()
{
    firmwareVersion.clear();
    controllerModel.clear();
    // Back to the closed-loop page first: its switch re-enables the positioning controls, and
    // with no port open every one of them must end disabled.
    ui->tabWidget_LoopMode->setCurrentIndex(0);
    const QList<QWidget *> positioningControls = {
        ui->pushButton_home,  ui->doubleSpinBox_Position,  ui->doubleSpinBox_mrstp,
        ui->pushButton_stop,  ui->pushButton_SliderMinus,  ui->pushButton_SliderPlus,
        ui->horizontalSlider, ui->pushButton_AutoCalibrate};
    for (QWidget *control : positioningControls)
        enableControl(control, false);
    enableControl(ui->tabWidget_LoopMode, false);
}
