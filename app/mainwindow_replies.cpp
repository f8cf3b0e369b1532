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
#ifdef Q_OS_UNIX
#include <sys/ioctl.h>
#endif
#include <cstring>

namespace {
const QString kMicrometre = QStringLiteral(" \u00b5m");
}

Protocol::Dialect MainWindow::dialect() const
{
    return replyDialect;
}

void MainWindow::processReply(const QByteArray &line)
{
    if (const auto identity = Protocol::identify(line)) {
        // What the operator saw before this line stays in its place, ahead of the page switch.
        showPendingPosition();
        const bool model1804 = identity->model == QLatin1String(Protocol::kModel1804);
        if (model1804)
            console->putData(line);
        const bool wasSilenced =
            dialect() == Protocol::Dialect::Model1901Other && firmwareVersion == identity->firmware;
        firmwareVersion = identity->firmware;
        controllerModel = identity->model;
        replyDialect = Protocol::dialectOf(controllerModel, firmwareVersion);
        if (dialect() != Protocol::Dialect::Model1901Other) {
            ui->statusBar->clearMessage();
        } else if (!wasSilenced) {
            // Its replies are dropped; say so once rather than look connected and stay silent.
            const QString notice =
                tr("Firmware %1 of the DVX1901 is not supported: its replies are not shown")
                    .arg(firmwareVersion);
            console->putData(notice.toUtf8() + '\r');
            ui->statusBar->showMessage(notice);
        }
        // Changing the page runs the loop-mode switch at once: the 1804 works in open loop.
        ui->tabWidget_LoopMode->setCurrentIndex(model1804 ? 1 : 0);
        statusLabel->setText(Protocol::withControllerName(statusLabel->text(),
                                                          serialPort->portName(), controllerModel));
        updateSamplingAllowed();
        announceEvent(PanelEvent::Kind::Identified,
                      controllerModel + QLatin1Char(' ') + firmwareVersion);
        deviceIdentified();
    }

    const Protocol::ReplyKind kind = Protocol::classify(replyDialect, line);
    // Any other line is handled where it stands, after the positions before it are shown.
    if (kind != Protocol::ReplyKind::Position)
        showPendingPosition();
    switch (kind) {
    case Protocol::ReplyKind::Position: {
        const PositionSource source = echoNextPosition           ? PositionSource::Typed
                                      : fastSampler->isRunning() ? PositionSource::Fast
                                                                 : PositionSource::Poll;
        // Every line reaches the device state and the listeners; the label and the slider
        // follow once the read is handled (showPendingPosition).
        currentPosition = Protocol::positionValue(replyDialect, line);
        // Copied into storage of its own that is reused, so no line costs an allocation.
        pendingPositionLine.resize(line.size());
        std::memcpy(pendingPositionLine.data(), line.constData(), size_t(line.size()));
        pendingPositionDialect = replyDialect;
        positionPending = true;
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
    const QString text = Protocol::offsetText(line);
    const std::optional<double> accepted = Protocol::acceptedOffset(text, travelRange);
    if (!accepted) {
        // Limits from such a number would be "nan" or wrap, and every later move would be lost.
        console->putData(
            tr("Offset %1 ignored: not a number the panel can use\r").arg(text).toUtf8());
        return;
    }
    offsetText = text;
    const double offset = *accepted;
    sliderMin = offset * -1.0 * 0.1;
    sliderMax = travelRange - offset * 0.1;
    ui->label_Slidermin->setText(QString::number(sliderMin, 'g', 6) + kMicrometre);
    ui->label_Slidermax->setText(QString::number(sliderMax, 'g', 6) + kMicrometre);
    ui->horizontalSlider->setMinimum(Protocol::truncateToInt(sliderMin));
    ui->horizontalSlider->setMaximum(Protocol::truncateToInt(sliderMax));
}

void MainWindow::showPendingPosition()
{
    if (!positionPending)
        return;
    positionPending = false;
    showPosition(QtCompat::textUpToZero(pendingPositionLine));
    positionShown.start();
}

void MainWindow::showPositionOfRead(qsizetype readBytes)
{
    // A controller flooding the line brings reads of kilobytes and keeps bytes waiting after
    // each; a frame per read would paint positions faster than any screen shows them. The wait
    // is bounded, and the few lines a read brings at the line's own pace are shown at once.
    if (positionPending && readBytes >= kFloodReadBytes && positionShown.isValid() &&
        positionShown.elapsed() < kPositionFrameMs && moreBytesWaiting())
        return;
    showPendingPosition();
}

bool MainWindow::moreBytesWaiting() const
{
#ifdef Q_OS_UNIX
    int waiting = 0;
    return serialPort->isOpen() && ::ioctl(int(serialPort->handle()), FIONREAD, &waiting) == 0 &&
           waiting > 0;
#else
    return serialPort->bytesAvailable() > 0;
#endif
}

// Runs for the last position line of a read, whose value currentPosition holds.
void MainWindow::showPosition(const QString &text)
{
    const Protocol::Dialect current = pendingPositionDialect;
    const QString value = Protocol::positionText(current, text);
    ui->label_Position->setText(value + kMicrometre);
    // The 1804 reports no position the slider could follow; an operator holding the slider
    // keeps it.
    if (current != Protocol::Dialect::Model1804 && std::isfinite(currentPosition) &&
        !ui->horizontalSlider->hasFocus())
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
    replyDialect = Protocol::Dialect::Unidentified;
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
