// Unplug and come back: the window's side of the wait for a device whose link dropped. Which
// device it was and when it is back is the business of ReconnectWaiter; here the port is opened
// again and the operator is told.
#include "mainwindow.h"

#include "console.h"
#include "portlister.h"
#include "reconnectwaiter.h"
#include "settingsdialog.h"
#include "ui_mainwindow.h"

#include <QCloseEvent>
#include <QLabel>
#include <QTimer>

namespace {
// How long "Reconnected" stays in the status bar before the connection text shows again.
constexpr int kReconnectedMessageMs = 5000;
} // namespace

void MainWindow::initReconnect()
{
    reconnectWaiter = new ReconnectWaiter(portLister, nullptr, this);
    connect(reconnectWaiter, &ReconnectWaiter::deviceReturned, this, &MainWindow::reconnectTo);
    connect(ui->actionConfigure, &QAction::triggered, this, &MainWindow::stopWaitingForDevice);
}

QString MainWindow::stableName(const QString &portName) const
{
    const QString link = portLister->stableNameFor(portName);
    return link.isEmpty() ? portName : link;
}

void MainWindow::linkOpened(const QString &portName, bool automatic)
{
    if (automatic)
        reconnectWaiter->reopened();
    else
        reconnectWaiter->connected(DeviceIdentity::of(portName, *portLister));
}

void MainWindow::startWaitingForDevice()
{
    if (!settingsDialog->settings().reconnectAutomatically || !reconnectWaiter->linkLost())
        return;
    const QString text = tr("Waiting for %1 to return\u2026").arg(reconnectWaiter->device().name());
    statusLabel->setText(text);
    // Disconnect is how the operator gives up on the device.
    ui->actionDisconnect->setEnabled(true);
    announceEvent(PanelEvent::Kind::Note, text);
}

void MainWindow::stopWaitingForDevice()
{
    if (!reconnectWaiter->isWaiting())
        return;
    reconnectWaiter->stopWaiting();
    statusLabel->setText(tr("Disconnected"));
    ui->actionDisconnect->setEnabled(false);
    announceEvent(PanelEvent::Kind::Note,
                  tr("Stopped waiting for %1").arg(reconnectWaiter->device().name()));
}

void MainWindow::reconnectTo(const QString &path)
{
    if (!reconnectWaiter->isWaiting() || serialPort->isOpen())
        return;
    reconnectPath = path;
    openSerialPort();
}

void MainWindow::deviceIdentified()
{
    const ReconnectWaiter::Identification identification =
        reconnectWaiter->identified(controllerModel);
    if (!identification.reconnected)
        return;
    const QString reconnected = tr("Reconnected");
    ui->statusBar->showMessage(reconnected, kReconnectedMessageMs);
    console->putData(reconnected.toLocal8Bit() + '\r');
    announceEvent(PanelEvent::Kind::Note, reconnected);
    if (!identification.differentModel())
        return;
    const QString text =
        tr("A DVX%1 answers on %2, where a DVX%3 was connected before. Check the controller "
           "before moving the stage.")
            .arg(controllerModel, reconnectWaiter->device().name(), identification.previousModel);
    // Not from inside the reply handling: the box's own event loop would deliver more replies
    // into the middle of the one being handled.
    QTimer::singleShot(0, this, [this, text] { reportError(tr("Different controller"), text); });
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    stopWaitingForDevice();
    QMainWindow::closeEvent(event);
}
