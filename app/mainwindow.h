#pragma once

#include <QMainWindow>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

class ClosePrompt;
class Console;
class PortLister;
class QAbstractSpinBox;
class QLabel;
class QMessageBox;
class QScrollArea;
class SettingsDialog;
class StageSession;
class StatusView;
class WindowFitter;

namespace Ui {
class MainWindow;
}

// The main form: it shows what the session decides (enabled controls, colours, captions, the
// readout, the connection text, the console's traffic) and forwards the operator's input to it.
// It holds no state of the stage.
class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    MainWindow(StageSession *session, std::shared_ptr<PortLister> lister,
               QWidget *parent = nullptr);
    ~MainWindow() override;

    // The form and its parts, for the composition root and the tests.
    Ui::MainWindow *form() const { return ui; }
    Console *console() const { return consolePane; }
    SettingsDialog *settingsDialog() const { return settings; }
    QLabel *statusLabel() const { return connectionLabel; }
    StatusView *statusView() const { return status; }
    StageSession *session() const { return stage; }
    bool consoleShown() const { return consoleVisible; }

    // Without a desktop nobody could close a box: errors go to standard error (and, announced,
    // to every listener) and the panel goes on as after the box was closed.
    void setHeadless(bool headless);

    // Asked when the window is to close, after the question about a busy stage: false keeps the
    // panel open (the sequence window's unsaved edits, say).
    void setCloseCheck(std::function<bool()> check);

    // Writes the console's text, after the file's provenance, whole or not at all. Empty on
    // success, else the message for the operator.
    QString saveConsole(const QString &path);
    // The area the central contents scroll in when the screen is too small for them.
    QScrollArea *scrollArea() const;

signals:
    void traceRequested();
    void sequenceRequested();

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private slots:
    void openSerialPort();
    void closeSerialPort();
    void writeData(QByteArray data);
    void on_pushButton_home_clicked();
    void on_pushButton_SliderMinus_clicked();
    void on_pushButton_SliderPlus_clicked();
    void on_doubleSpinBox_Position_editingFinished();
    void on_doubleSpinBox_mrstp_editingFinished();
    void on_pushButton_Console_clicked();
    void on_pushButton_AutoCalibrate_clicked();
    void on_pushButton_stop_clicked();
    void setSlidePosition(double pos);
    void blockSlider();
    void goToSliderPosition();
    void on_tabWidget_LoopMode_currentChanged(int i);
    void on_spinBox_Duration_editingFinished();
    void on_spinBox_Interval_editingFinished();
    void on_spinBox_Cycle_editingFinished();
    void on_pushButton_Bi_clicked();

private:
    void initActionsConnections();
    void applyControls();
    // While someone else holds the motion, the move controls say who in their tooltips and the
    // status bar says it too.
    void showLockReason(const QString &reason);
    void showPosition(const QString &text, std::optional<int> sliderValue);
    void showNotice(const QString &text, int timeoutMs);
    void reportError(const QString &title, const QString &text, const QString &details);
    void closeLinkLossBox();
    void step(bool forward);
    void sendDriveParameter(int which);
    // The target box shows where the stage is being sent, unless the operator is typing in it.
    void showTarget(double targetUm);
    bool targetEdited() const;
    // A spin box's editing ends with Enter, or with the focus moving elsewhere in the window;
    // the window losing the focus (another window, a menu, closing) ends nothing.
    bool focusLeftWithWindow(QAbstractSpinBox *box) const;
    void chooseSaveConsole();
    void setConsoleShown(bool shown);

    Ui::MainWindow *ui = nullptr;
    StageSession *stage = nullptr;
    Console *consolePane = nullptr;
    SettingsDialog *settings = nullptr;
    QLabel *connectionLabel = nullptr;
    StatusView *status = nullptr;
    bool consoleVisible = false;
    bool headless = false;
    QString shownLockReason;
    WindowFitter *fitter = nullptr;
    ClosePrompt *closePrompt = nullptr;
    // What the target box was last set to or sent: a focus change sends only a value changed
    // since.
    double targetShown = 0.0;
    QAbstractSpinBox *lastFocusOutBox = nullptr;
    Qt::FocusReason lastFocusOutReason = Qt::OtherFocusReason;
    bool nextErrorIsLinkLoss = false;
    QMessageBox *linkLossBox = nullptr;
};
