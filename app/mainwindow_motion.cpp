#include "mainwindow.h"

#include "statusview.h"
#include "travelnotice.h"
#include "ui_mainwindow.h"

#include <QKeyEvent>
#include <QTimer>

#include <algorithm>

void MainWindow::on_pushButton_home_clicked()
{
    sendCommand(Protocol::kStop);
    sendCommand(Protocol::kHome);
    homed = true;
    commandTarget(0.0);
    announceEvent(PanelEvent::Kind::Homed);
    ui->pushButton_home->setStyleSheet(QStringLiteral("color: green"));
    ui->pushButton_home->clearFocus();
    ui->pushButton_stop->setEnabled(true);
    enableControl(ui->doubleSpinBox_Position, true);
    enableControl(ui->doubleSpinBox_mrstp, true);
    enableControl(ui->pushButton_SliderMinus, true);
    enableControl(ui->pushButton_SliderPlus, true);
    enableControl(ui->horizontalSlider, true);
}

void MainWindow::on_pushButton_stop_clicked()
{
    sendCommand(Protocol::kStop);
    announceEvent(PanelEvent::Kind::Stop);
    ui->pushButton_stop->clearFocus();
}

void MainWindow::on_doubleSpinBox_Position_editingFinished()
{
    // Blocked while focus is cleared, so the focus loss does not send the move a second time.
    ui->doubleSpinBox_Position->blockSignals(true);
    const double target = ui->doubleSpinBox_Position->value();
    if (target >= sliderMin && target <= sliderMax) {
        sendBuiltCommand(Protocol::moveTo(target));
        commandTarget(target);
        statusView->clearRefusal(ui->doubleSpinBox_Position);
    } else {
        statusView->refuse(ui->doubleSpinBox_Position,
                           TravelNotice::targetBeyond(target, sliderMin, sliderMax));
    }
    ui->doubleSpinBox_Position->clearFocus();
    ui->doubleSpinBox_Position->blockSignals(false);
}

void MainWindow::on_doubleSpinBox_mrstp_editingFinished()
{
    // The step is read when "-" or "+" is pressed; nothing to send here.
    ui->doubleSpinBox_mrstp->clearFocus();
}

void MainWindow::on_pushButton_SliderMinus_clicked()
{
    if (closedLoop) {
        noteTravelEnd(-ui->doubleSpinBox_mrstp->value());
        sendBuiltCommand(Protocol::moveBy(ui->doubleSpinBox_mrstp->value(), false));
        commandTarget(
            std::clamp(relativeBase() - ui->doubleSpinBox_mrstp->value(), sliderMin, sliderMax));
        ui->pushButton_SliderMinus->clearFocus();
    } else {
        sendBuiltCommand(Protocol::kStepReverse);
        announceEvent(PanelEvent::Kind::OpenLoopStep, QStringLiteral("reverse"));
    }
}

void MainWindow::on_pushButton_SliderPlus_clicked()
{
    if (closedLoop) {
        noteTravelEnd(ui->doubleSpinBox_mrstp->value());
        sendBuiltCommand(Protocol::moveBy(ui->doubleSpinBox_mrstp->value(), true));
        commandTarget(
            std::clamp(relativeBase() + ui->doubleSpinBox_mrstp->value(), sliderMin, sliderMax));
        ui->pushButton_SliderPlus->clearFocus();
    } else {
        sendBuiltCommand(Protocol::kStepForward);
        announceEvent(PanelEvent::Kind::OpenLoopStep, QStringLiteral("forward"));
    }
}

void MainWindow::blockSlider()
{
    ui->doubleSpinBox_Position->blockSignals(true);
}

void MainWindow::goToSliderPosition()
{
    sendBuiltCommand(Protocol::moveToSliderPosition(ui->horizontalSlider->value()));
    commandTarget(ui->horizontalSlider->value());
    ui->horizontalSlider->clearFocus();
    ui->doubleSpinBox_Position->blockSignals(false);
}

void MainWindow::setSlidePosition(double pos)
{
    ui->horizontalSlider->setValue(Protocol::truncateToInt(pos));
}

void MainWindow::keyPressEvent(QKeyEvent *event)
{
    // Arrows step only once the stage is homed, and not while a sequence owns the moves; every
    // other key stops here.
    if (moveControlsLocked)
        return;
    if (event->key() == Qt::Key_Right && homed)
        on_pushButton_SliderPlus_clicked();
    if (event->key() == Qt::Key_Left && homed)
        on_pushButton_SliderMinus_clicked();
    if ((event->key() == Qt::Key_Left || event->key() == Qt::Key_Right) && !homed &&
        serialPort->isOpen())
        statusView->notify(tr("The arrow keys move the stage once it is homed: press Home first"));
}

void MainWindow::noteTravelEnd(double stepUm)
{
    const QString notice = TravelNotice::stepAtEnd(relativeBase(), stepUm, sliderMin, sliderMax);
    if (!notice.isEmpty())
        statusView->notify(notice);
}

void MainWindow::sendDriveParameter(QSpinBox *spinBox, const char *keyword)
{
    spinBox->blockSignals(true);
    const QByteArray command = Protocol::driveParameter(keyword, spinBox->value());
    sendBuiltCommand(command);
    announceEvent(PanelEvent::Kind::OpenLoopParameter, QString::fromLatin1(command).trimmed());
    spinBox->clearFocus();
    spinBox->blockSignals(false);
}

void MainWindow::on_tabWidget_LoopMode_currentChanged(int)
{
    const int page = ui->tabWidget_LoopMode->currentIndex();
    if (page == 0) {
        enableControl(ui->pushButton_home, true);
        enableControl(ui->pushButton_AutoCalibrate, true);
        ui->label_Slidermin->setEnabled(true);
        ui->label_Slidermax->setEnabled(true);
        enableControl(ui->horizontalSlider, true);
        enableControl(ui->doubleSpinBox_Position, true);
        enableControl(ui->doubleSpinBox_mrstp, true);
        enableControl(ui->pushButton_SliderPlus, homed);
        enableControl(ui->pushButton_SliderMinus, homed);
        ui->pushButton_stop->setEnabled(homed);
        closedLoop = true;
        pollTimer->start(pollIntervalMs);
        updateSamplingAllowed();
        announceState();
    } else if (page == 1) {
        sendDriveParameter(ui->spinBox_Duration, Protocol::kDuration);
        sendDriveParameter(ui->spinBox_Interval, Protocol::kInterval);
        sendDriveParameter(ui->spinBox_Cycle, Protocol::kCycle);
        enableControl(ui->pushButton_home, false);
        enableControl(ui->pushButton_AutoCalibrate, false);
        ui->label_Slidermin->setEnabled(false);
        ui->label_Slidermax->setEnabled(false);
        enableControl(ui->horizontalSlider, false);
        ui->label_Position->setText(QStringLiteral("-"));
        enableControl(ui->doubleSpinBox_Position, false);
        enableControl(ui->doubleSpinBox_mrstp, false);
        enableControl(ui->pushButton_SliderPlus, true);
        enableControl(ui->pushButton_SliderMinus, true);
        ui->pushButton_stop->setEnabled(true);
        closedLoop = false;
        pollTimer->stop();
        updateSamplingAllowed();
        announceState();
    }
}

void MainWindow::on_spinBox_Duration_editingFinished()
{
    sendDriveParameter(ui->spinBox_Duration, Protocol::kDuration);
}

void MainWindow::on_spinBox_Interval_editingFinished()
{
    sendDriveParameter(ui->spinBox_Interval, Protocol::kInterval);
}

void MainWindow::on_spinBox_Cycle_editingFinished()
{
    sendDriveParameter(ui->spinBox_Cycle, Protocol::kCycle);
}

void MainWindow::on_pushButton_Bi_clicked()
{
    sendCommand(Protocol::kBi);
    announceEvent(PanelEvent::Kind::OpenLoopStep, QStringLiteral("bi"));
    ui->pushButton_Bi->clearFocus();
}

void MainWindow::on_pushButton_AutoCalibrate_clicked()
{
    sendCommand(Protocol::kAutoCalibrate);
    calibrating = true;
    announceEvent(PanelEvent::Kind::CalibrationStarted);
    // The status request only fetches the new state; it is not the operator's command.
    serialPort->write(Protocol::kStatus);
}
