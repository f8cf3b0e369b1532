#pragma once

#include <QObject>
#include <QString>

#include <memory>

class CharacterisationRun;
class CharacterisationWindow;
class ControlServer;
class MainWindow;
class MeasuredSteps;
class OpenLoopMove;
class OpenLoopMovePanel;
class ReconnectController;
class SequenceRunner;
class SequenceWindow;
class SessionLog;
class StageSession;
class SystemPortLister;
class TraceRecorder;
class TraceWindow;

// The composition root: builds the session (with its serial link), the main window, the wait
// for a device that went away, the trace's recorder and the session log (idle until asked), and
// on first use the trace window, the sequence runner and its window and the control server, and
// wires them. Everything the panel is lives as long as this.
class Panel : public QObject {
    Q_OBJECT

public:
    explicit Panel(QObject *parent = nullptr);
    ~Panel() override;

    StageSession *session() const { return stage; }
    MainWindow &window() const { return *mainWindow; }
    SystemPortLister *portLister() const { return lister.get(); }
    ReconnectController *reconnect() const { return reconnectController; }

    // Offers a port the system's list does not show (a pseudo-terminal, a /dev/serial/by-id
    // link) as the first choice and selects it, so Connect uses it at once.
    void preselectPort(const QString &path);
    // "Reconnect automatically", as if ticked and applied in the settings dialog.
    void setReconnectAutomatically(bool on);
    void setHeadless(bool headless);

    // The one sequence runner, shared by the sequence window and the control socket.
    SequenceRunner *sequenceRunner();
    // Records from the first Connect on, whether or not the trace window was ever opened.
    TraceRecorder *traceRecorder() const { return recorder; }
    TraceWindow *showTrace();
    SessionLog *sessionLog() const { return log; }
    // Logs to path; on failure error says why and nothing is logged.
    bool startSessionLog(const QString &path, QString *error);
    // A session log that could not be written: on standard error, the status bar and as an
    // error event, once; the panel goes on.
    void reportLogProblem(const QString &message);
    SequenceWindow *showSequence();
    // The one characterisation run, shared by its window and the control socket.
    CharacterisationRun *characterisationRun();
    CharacterisationWindow *showStepCharacterisation();
    MeasuredSteps *measuredSteps() const { return measured; }
    OpenLoopMove *openLoopMove() const { return openLoopMover; }
    // Listens for scripts on path (empty: the default path) and shows "Control: PATH" in the
    // status bar. Null, with the reason in error, when it cannot listen there.
    ControlServer *startControlServer(const QString &path, QString *error);
    ControlServer *controlServer() const { return server; }

private:
    void addSessionLogAction();
    void chooseSessionLog(bool start);

    std::shared_ptr<SystemPortLister> lister;
    StageSession *stage = nullptr;
    std::unique_ptr<MainWindow> mainWindow;
    ReconnectController *reconnectController = nullptr;
    SequenceRunner *runner = nullptr;
    TraceRecorder *recorder = nullptr;
    SessionLog *log = nullptr;
    TraceWindow *trace = nullptr;
    SequenceWindow *sequence = nullptr;
    ControlServer *server = nullptr;
    MeasuredSteps *measured = nullptr;
    OpenLoopMove *openLoopMover = nullptr;
    OpenLoopMovePanel *openLoopPanel = nullptr;
    CharacterisationRun *characterisation = nullptr;
    CharacterisationWindow *characterisationWindow = nullptr;
};
