#include "mainwindow.h"

#include "console.h"
#include "fastsampler.h"
#include "settingsdialog.h"
#include "ui_mainwindow.h"

#include <QLabel>
#include <QMessageBox>
#include <QTimer>

#include <cstdio>

void MainWindow::openSerialPort()
{
    const SerialSettings s = settingsDialog->settings();
    serialPort->setPortName(s.portName);
    serialPort->setBaudRate(s.baudRate, QSerialPort::AllDirections);
    serialPort->setDataBits(s.dataBits);
    serialPort->setParity(s.parity);
    serialPort->setStopBits(s.stopBits);

    if (!serialPort->open(QIODevice::ReadWrite)) {
        reportError(
            tr("Error"),
            tr("No COM-Port found: \n1. Check Device-Connection \n2. Install Device Driver"),
            tr("Cannot open %1: %2").arg(s.portName, serialPort->errorString()));
        statusLabel->setText(tr("Open error"));
        return;
    }

    // Bytes left over from an earlier link belong to no reply of this one: joined to the new
    // controller's identification they would name a wrong firmware and silence every reply.
    rxBuffer.clear();
    discardingOverlongReply = false;
    lastPositionUm.reset();
    lastTargetUm.reset();
    calibrating = false;

    console->setEnabled(true);
    console->setLocalEchoEnabled(s.localEcho);
    ui->actionConnect->setEnabled(false);
    ui->actionDisconnect->setEnabled(true);
    ui->actionConfigure->setEnabled(false);
    enableControl(ui->tabWidget_LoopMode, true);
    sendCommand(Protocol::kInform);
    sendCommand(Protocol::kStatus);
    ui->pushButton_stop->setEnabled(true);
    pollTimer->start(pollIntervalMs);
    statusLabel->setText(tr("Connected to %1: %2, %3, %4, %5, %6")
                             .arg(s.portName)
                             .arg(s.baudRateText)
                             .arg(s.dataBitsText)
                             .arg(s.parityText)
                             .arg(s.stopBitsText)
                             .arg(s.flowControlText));
    announceEvent(PanelEvent::Kind::Connected, s.portName);
}

void MainWindow::closeSerialPort()
{
    // Commands already written (the last poll among them) still go out; close() would drop them.
    // A device that vanished reports it from inside flush() and is closed there already.
    if (serialPort->isOpen())
        serialPort->flush();
    if (serialPort->isOpen())
        serialPort->close();
    console->setEnabled(false);
    ui->actionConnect->setEnabled(true);
    ui->actionDisconnect->setEnabled(false);
    ui->actionConfigure->setEnabled(true);
    disableControls();
    statusLabel->setText(tr("Disconnected"));
    ui->pushButton_home->setStyleSheet(QStringLiteral("color: grey"));
    homed = false;
    if (pollTimer->isActive())
        pollTimer->stop();
    updateSamplingAllowed();
    const QString reason =
        disconnectReason.isEmpty() ? tr("Disconnected by the operator") : disconnectReason;
    disconnectReason.clear();
    announceEvent(PanelEvent::Kind::Disconnected, reason);
}

void MainWindow::handleError(QSerialPort::SerialPortError error)
{
    // A vanished device shows up on Linux as a stream of read errors rather than a resource
    // error. Only the first error of an open port counts: the port is closed before the box
    // opens, so the box's own event loop sees no more of them.
    if (error != QSerialPort::ResourceError && error != QSerialPort::ReadError)
        return;
    if (!serialPort->isOpen())
        return;
    const QString reason = serialPort->errorString();
    // Nothing more can reach a vanished device: close without flushing first.
    serialPort->close();
    disconnectReason = reason;
    closeSerialPort();
    reportError(tr("Critical Error"), reason);
}

void MainWindow::reportError(const QString &title, const QString &text, const QString &details)
{
    // Announced before the box opens: a script waiting on the panel hears of it at once, not
    // when the operator closes the box.
    announceEvent(PanelEvent::Kind::Error,
                  details.isEmpty() ? text : text + QLatin1Char('\n') + details);
    if (headless) {
        QString line = title + QStringLiteral(": ") + text.simplified();
        if (!details.isEmpty())
            line += QStringLiteral(" (") + details.simplified() + QLatin1Char(')');
        std::fprintf(stderr, "mirastellon: %s\n", qPrintable(line));
        return;
    }
    QMessageBox box(QMessageBox::Critical, title, text, QMessageBox::Ok, this);
    if (!details.isEmpty())
        box.setInformativeText(details);
    box.exec();
}

void MainWindow::writeData(QByteArray data)
{
    if (data.contains("cp"))
        echoNextPosition = true;
    serialPort->write(data);
}

void MainWindow::readData()
{
    frameReplies(serialPort->readAll());
}

void MainWindow::frameReplies(const QByteArray &received)
{
    rxBuffer.append(received);
    // Lines are cut by index and the buffer trimmed once, so a large read costs linear time.
    int lineStart = 0;
    while ((crIndex = rxBuffer.indexOf('\r', lineStart)) != -1) {
        const int length = crIndex - lineStart + 1;
        const bool noise = discardingOverlongReply || length - 1 > Protocol::kMaxReplyLength;
        discardingOverlongReply = false;
        if (!noise)
            processReply(rxBuffer.mid(lineStart, length));
        lineStart = crIndex + 1;
    }
    rxBuffer.remove(0, lineStart);
    if (rxBuffer.size() > Protocol::kMaxReplyLength) {
        rxBuffer.clear();
        discardingOverlongReply = true;
    }
}

void MainWindow::getPosition()
{
    serialPort->write(Protocol::kCurrentPosition);
}

void MainWindow::sendCommand(const QByteArray &command)
{
    console->putData(command);
    serialPort->write(command);
}

void MainWindow::sendBuiltCommand(const QByteArray &command)
{
    console->putData(command);
    console->putData("\r");
    serialPort->write(command);
}
