#pragma once

#include "mainwindow.h"
#include "panel.h"
#include "seriallink.h"
#include "stagesession.h"
#include "ui_mainwindow.h"

class Console;
class FastSampler;
class QLabel;
class QSerialPort;
class QTimer;
class ReconnectWaiter;
class SettingsDialog;
class SystemPortLister;

// Test-only view into a panel: the window's form, the session's state and the link's receive
// path, through their public interfaces.
struct MainWindowProbe {
    explicit MainWindowProbe(MainWindow &window) : w(window), session(*window.session()) {}

    Ui::MainWindow *ui() const { return w.form(); }
    Console *console() const { return w.console(); }
    SettingsDialog *settingsDialog() const { return w.settingsDialog(); }
    SerialLink *link() const { return session.link(); }
    QSerialPort *serialPort() const;
    QLabel *statusLabel() const { return w.statusLabel(); }
    // The notice shown in place of the connection text; empty when there is none.
    QString notice() const;
    QTimer *pollTimer() const;
    Panel *panel() const;
    ReconnectWaiter *reconnectWaiter() const;
    SystemPortLister *portLister() const;
    FastSampler *fastSampler() const;

    bool homed() const { return session.state().homed; }
    bool closedLoop() const { return session.state().closedLoop; }
    bool echoNextPosition() const { return session.echoesNextPosition(); }
    bool consoleVisible() const { return w.consoleShown(); }
    double sliderMin() const { return session.state().travelMinUm; }
    double sliderMax() const { return session.state().travelMaxUm; }
    double currentPosition() const { return session.currentPositionUm(); }
    int pollIntervalMs() const { return SerialLink::kPollIntervalMs; }
    QString controllerModel() const { return link()->identity().model; }
    QString firmwareVersion() const { return link()->identity().firmware; }
    QString calibrationStatus() const { return session.calibrationStatus(); }
    QString offsetText() const { return session.offsetText(); }
    const QByteArray &rxBuffer() const { return link()->pendingBytes(); }

    // Hands bytes to the receive path as if the port had delivered them.
    void receive(const QByteArray &bytes) { link()->receive(bytes); }
    // Runs a slot by name, as a signal would: the window's, else the session's, else the link's.
    bool invoke(const char *slot);

    MainWindow &w;
    StageSession &session;
};
