#pragma once

#include "mainwindow.h"
#include "ui_mainwindow.h"

class Console;
class QLabel;
class QTimer;
class ReconnectWaiter;
class SettingsDialog;
class SystemPortLister;

// Test-only view into the window: its form, its device state and its receive path.
struct MainWindowProbe {
    explicit MainWindowProbe(MainWindow &window) : w(window) {}

    Ui::MainWindow *ui() const { return w.ui; }
    Console *console() const { return w.console; }
    SettingsDialog *settingsDialog() const { return w.settingsDialog; }
    QSerialPort *serialPort() const { return w.serialPort; }
    QLabel *statusLabel() const { return w.statusLabel; }
    QTimer *pollTimer() const { return w.pollTimer; }
    ReconnectWaiter *reconnectWaiter() const { return w.reconnectWaiter; }
    SystemPortLister *portLister() const { return w.portLister.get(); }

    bool homed() const { return w.homed; }
    bool closedLoop() const { return w.closedLoop; }
    bool echoNextPosition() const { return w.echoNextPosition; }
    bool consoleVisible() const { return w.consoleVisible; }
    double sliderMin() const { return w.sliderMin; }
    double sliderMax() const { return w.sliderMax; }
    double currentPosition() const { return w.currentPosition; }
    int pollIntervalMs() const { return w.pollIntervalMs; }
    const QString &controllerModel() const { return w.controllerModel; }
    const QString &firmwareVersion() const { return w.firmwareVersion; }
    const QString &calibrationStatus() const { return w.calibrationStatus; }
    const QString &offsetText() const { return w.offsetText; }
    const QByteArray &rxBuffer() const { return w.rxBuffer; }

    // Hands bytes to the receive path as if the port had delivered them.
    void receive(const QByteArray &bytes) { w.frameReplies(bytes); }
    // Runs a private slot by name, as a signal would.
    bool invoke(const char *slot);

    MainWindow &w;
};
