#pragma once

#include "protocol.h"
#include "stage.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QMainWindow>
#include <QSerialPort>
#include <QString>

#include <memory>

class Console;
class FastSampler;
class PanelStage;
class QKeyEvent;
class QLabel;
class QSpinBox;
class QTimer;
class ReconnectWaiter;
class SequenceRunner;
class SettingsDialog;
class StatusView;
class SystemPortLister;

namespace Ui {
class MainWindow;
}

class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // Offers a port the system's list does not show (a pseudo-terminal, a /dev/serial/by-id
    // link) as the first choice and selects it, so Connect uses it at once.
    void preselectPort(const QString &path);
    // "Reconnect automatically" in the settings, as --reconnect asks.
    void setReconnectAutomatically(bool on);

    // Everything that is not the operator's mouse and keyboard hears and drives the panel here.
    Stage *stage() const;
    // The one sequence runner, shared by the sequence window and the control socket.
    SequenceRunner *sequenceRunner();

    // Without a desktop nobody could close a box: errors go to standard error (and, announced,
    // to every listener) and the panel goes on as after the box was closed.
    void setHeadless(bool headless);

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private slots:
    void openSerialPort();
    void closeSerialPort();
    void writeData(QByteArray data);
    void readData();
    void handleError(QSerialPort::SerialPortError error);
    void on_pushButton_home_clicked();
    void on_pushButton_SliderMinus_clicked();
    void on_pushButton_SliderPlus_clicked();
    void on_doubleSpinBox_Position_editingFinished();
    void on_doubleSpinBox_mrstp_editingFinished();
    void on_pushButton_Console_clicked();
    void on_pushButton_AutoCalibrate_clicked();
    void on_pushButton_stop_clicked();
    void getPosition();
    void checkVersion();
    void setSlidePosition(double pos);
    void blockSlider();
    void goToSliderPosition();
    void on_tabWidget_LoopMode_currentChanged(int i);
    void on_spinBox_Duration_editingFinished();
    void on_spinBox_Interval_editingFinished();
    void on_spinBox_Cycle_editingFinished();
    void on_pushButton_Bi_clicked();
    void sampleFast();
    void reconnectTo(const QString &path);
    void stopWaitingForDevice();

private:
    void initActionsConnections();
    void processReply(const QByteArray &line);
    void showPosition(const QString &text);
    // Shows the last position line of a read, once: only one frame can be painted per read, so
    // the lines before it would never be seen.
    void showPendingPosition();
    // At the end of a read: shows its last position, unless the read was a large one, more bytes
    // already wait in the port and a position was shown less than kPositionFrameMs ago; the next
    // read shows it then.
    void showPositionOfRead(qsizetype readBytes);
    bool moreBytesWaiting() const;
    void showCalibrationStatus(const QString &text);
    void disableControls();

    // Cuts received bytes into reply lines at each "\r" and handles them in order.
    void frameReplies(const QByteArray &received);
    void applyOffset(const QByteArray &line);
    Protocol::Dialect dialect() const;
    // A fixed command: shown on the console as it is written.
    void sendCommand(const QByteArray &command);
    // A command built at run time: shown with a line end of its own, written as built.
    void sendBuiltCommand(const QByteArray &command);
    void sendDriveParameter(QSpinBox *spinBox, const char *keyword);

    // Shows an error box (with details as its informative text) and announces it.
    void reportError(const QString &title, const QString &text, const QString &details = QString());

    PanelState panelState() const;
    // Emits stateChanged when anything but the position differs from what was last announced.
    void announceState();
    void announceEvent(PanelEvent::Kind kind, const QString &text = QString());
    void commandTarget(double targetUm);
    // Where a relative step starts from: the last commanded target, else the last position.
    double relativeBase() const;
    // Fast sampling runs only while a controller is identified on the closed-loop page.
    void updateSamplingAllowed();
    // A control's enabled state as the operator would have it, also while moves are locked.
    bool controlUsable(const QWidget *control) const;
    void setMoveControlsLocked(bool locked);
    // Tells the operator when a relative step meets the end of the travel.
    void noteTravelEnd(double stepUm);
    // Enables or disables a control; while moves are locked, a move control only remembers it.
    void enableControl(QWidget *control, bool enabled);
    QList<QWidget *> moveControls() const;

    // Unplug and come back: the device connected to, and the wait for it after a port error.
    void initReconnect();
    // The name a chosen port is opened and shown under: its stable link when it has one.
    QString stableName(const QString &portName) const;
    void linkOpened(const QString &portName, bool automatic);
    void startWaitingForDevice();
    void deviceIdentified();

    // Test-only seam: the fuzzer and the tests reach the receive path and the device state
    // through it without widening the window's interface.
    friend struct MainWindowProbe;
    friend class PanelStage;

    QTimer *pollTimer = nullptr;
    int pollIntervalMs = 500;
    double travelRange = 6500.0;
    double sliderMin = -250.0;
    double sliderMax = 6250.0;
    double currentPosition = 0.0;
    bool echoNextPosition = false;
    bool homed = false;
    bool consoleVisible = false;
    bool closedLoop = true;
    QString controllerModel;
    QString firmwareVersion;
    QString calibrationStatus;
    QString offsetText;
    Ui::MainWindow *ui = nullptr;
    QLabel *statusLabel = nullptr;
    Console *console = nullptr;
    SettingsDialog *settingsDialog = nullptr;
    QSerialPort *serialPort = nullptr;
    QByteArray rxBuffer;
    int crIndex = -1;
    // Set once a partial reply outgrew its cap: the rest of that line, up to its "\r", is noise.
    bool discardingOverlongReply = false;
    // The reply dialect of the identified controller, kept with controllerModel and
    // firmwareVersion: every reply line needs it.
    Protocol::Dialect replyDialect = Protocol::Dialect::Unidentified;
    // The reply line being handled; its storage is reused from line to line.
    QByteArray replyLine;
    // Set while frameReplies runs: bytes that arrive meanwhile (a listener running an event
    // loop of its own) wait in receivedWhileFraming until the line at hand is handled.
    bool framingReplies = false;
    QByteArray receivedWhileFraming;
    // The last position line of the read being handled, not shown yet, and its dialect.
    bool positionPending = false;
    QByteArray pendingPositionLine;
    Protocol::Dialect pendingPositionDialect = Protocol::Dialect::Unidentified;
    static constexpr int kPositionFrameMs = 16; // a frame of a 60 Hz screen
    static constexpr qsizetype kFloodReadBytes = 1024;
    QElapsedTimer positionShown;

    PanelStage *panelStage = nullptr;
    FastSampler *fastSampler = nullptr;
    std::optional<double> lastPositionUm;
    std::optional<double> lastTargetUm;
    PanelState announcedState;
    bool moveControlsLocked = false;
    bool calibrating = false;
    bool headless = false;
    // Why the next closeSerialPort() happens, for the Disconnected announcement.
    QString disconnectReason;
    QHash<const QWidget *, bool> enabledBeforeLock;
    // Live or stale readout, busy indicator and the refusals the operator is told about.
    StatusView *statusView = nullptr;

    std::shared_ptr<SystemPortLister> portLister;
    ReconnectWaiter *reconnectWaiter = nullptr;
    // Set while the wait itself opens the port: the path the device has come back at.
    QString reconnectPath;
    SequenceRunner *runner = nullptr;
};
