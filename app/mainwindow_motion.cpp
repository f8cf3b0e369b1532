#include "mainwindow.h"

#include "ui_mainwindow.h"

#include <QKeyEvent>
#include <QTimer>

void MainWindow::on_pushButton_home_clicked()
{
    sendCommand(Protocol::kStop);
    sendCommand(Protocol::kHome);
    homed = true;
    ui->pushButton_home->setStyleSheet(QStringLiteral("color: green"));
    ui->pushButton_home->clearFocus();
    ui->pushButton_stop->setEnabled(true);
    ui->doubleSpinBox_Position->setEnabled(true);
    ui->doubleSpinBox_mrstp->setEnabled(true);
    ui->pushButton_SliderMinus->setEnabled(true);
    ui->pushButton_SliderPlus->setEnabled(true);
    ui->horizontalSlider->setEnabled(true);
}

void MainWindow::on_pushButton_stop_clicked()
{
    sendCommand(Protocol::kStop);
    ui->pushButton_stop->clearFocus();
}

void MainWindow::on_doubleSpinBox_Position_editingFinished()
{
    // Blocked while focus is cleared, so the focus loss does not send the move a second time.
    ui->doubleSpinBox_Position->blockSignals(true);
    const double target = ui->doubleSpinBox_Position->value();
    if (target >= sliderMin && target <= sliderMax)
        sendBuiltCommand(Protocol::moveTo(target));
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
        sendBuiltCommand(Protocol::moveBy(ui->doubleSpinBox_mrstp->value(), false));
        ui->pushButton_SliderMinus->clearFocus();
    } else {
        sendBuiltCommand(Protocol::kStepReverse);
    }
}

void MainWindow::on_pushButton_SliderPlus_clicked()
{
    if (closedLoop) {
        sendBuiltCommand(Protocol::moveBy(ui->doubleSpinBox_mrstp->value(), true));
        ui->pushButton_SliderPlus->clearFocus();
    } else {
        sendBuiltCommand(Protocol::kStepForward);
    }
}

void MainWindow::blockSlider()
{
    ui->doubleSpinBox_Position->blockSignals(true);
}

void MainWindow::goToSliderPosition()
{
    sendBuiltCommand(Protocol::moveToSliderPosition(ui->horizontalSlider->value()));
    ui->horizontalSlider->clearFocus();
    ui->doubleSpinBox_Position->blockSignals(false);
}

void MainWindow::setSlidePosition(double pos)
{
    ui->horizontalSlider->setValue(Protocol::truncateToInt(pos));
}

void MainWindow::keyPressEvent(QKeyEvent *event)
{
    // Arrows step only once the stage is homed; every other key stops here.
    if (event->key() == Qt::Key_Right && homed)
        on_pushButton_SliderPlus_clicked();
    if (event->key() == Qt::Key_Left && homed)
        on_pushButton_SliderMinus_clicked();
}

void MainWindow::sendDriveParameter(QSpinBox *spinBox, const char *keyword)
{
    spinBox->blockSignals(true);
    sendBuiltCommand(Protocol::driveParameter(keyword, spinBox->value()));
    spinBox->clearFocus();
    spinBox->blockSignals(false);
}

void MainWindow::on_tabWidget_LoopMode_currentChanged(int)
{
    const int page = ui->tabWidget_LoopMode->currentIndex();
    if (page == 0) {
        ui->pushButton_home->setEnabled(true);
        ui->pushButton_AutoCalibrate->setEnabled(true);
        ui->label_Slidermin->setEnabled(true);
        ui->label_Slidermax->setEnabled(true);
        ui->horizontalSlider->setEnabled(true);
        ui->doubleSpinBox_Position->setEnabled(true);
        ui->doubleSpinBox_mrstp->setEnabled(true);
        ui->pushButton_SliderPlus->setEnabled(homed);
        ui->pushButton_SliderMinus->setEnabled(homed);
        ui->pushButton_stop->setEnabled(homed);
        closedLoop = true;
        pollTimer->start(pollIntervalMs);
    } else if (page == 1) {
        sendDriveParameter(ui->spinBox_Duration, Protocol::kDuration);
        sendDriveParameter(ui->spinBox_Interval, Protocol::kInterval);
        sendDriveParameter(ui->spinBox_Cycle, Protocol::kCycle);
        ui->pushButton_home->setEnabled(false);
        ui->pushButton_AutoCalibrate->setEnabled(false);
        ui->label_Slidermin->setEnabled(false);
        ui->label_Slidermax->setEnabled(false);
        ui->horizontalSlider->setEnabled(false);
        ui->label_Position->setText(QStringLiteral("-"));
        ui->doubleSpinBox_Position->setEnabled(false);
        ui->doubleSpinBox_mrstp->setEnabled(false);
        ui->pushButton_SliderPlus->setEnabled(true);
        ui->pushButton_SliderMinus->setEnabled(true);
        ui->pushButton_stop->setEnabled(true);
        closedLoop = false;
        pollTimer->stop();
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
    ui->pushButton_Bi->clearFocus();
}

void MainWindow::on_pushButton_AutoCalibrate_clicked()
{
    sendCommand(Protocol::kAutoCalibrate);
    // The status request only fetches the new state; it is not the operator's command.
    serialPort->write(Protocol::kStatus);
}
