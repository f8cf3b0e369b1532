#pragma once

#include "protocol.h"
#include "stage.h"

#include <QByteArray>
#include <QHash>
#include <QMainWindow>
#include <QSerialPort>
#include <QString>

class Console;
class FastSampler;
class PanelStage;
class QKeyEvent;
class QLabel;
class QSpinBox;
class QTimer;
class SettingsDialog;

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

    // Everything that is not the operator's mouse and keyboard hears and drives the panel here.
    Stage *stage() const;

    // Without a desktop nobody could close a box: errors go to standard error (and, announced,
    // to every listener) and the panel goes on as after the box was closed.
    void setHeadless(bool headless);

protected:
    void keyPressEvent(QKeyEvent *event) override;

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

private:
    void initActionsConnections();
    void processReply(const QByteArray &line);
    void showPosition(const QString &text);
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
    // Enables or disables a control; while moves are locked, a move control only remembers it.
    void enableControl(QWidget *control, bool enabled);
    QList<QWidget *> moveControls() const;

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
};
