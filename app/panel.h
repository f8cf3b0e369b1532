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
class StageSession;
class SystemPortLister;
class TraceWindow;

// The composition root: builds the session (with its serial link), the main window and the wait
// for a device that went away, and on first use the trace, the sequence runner and its window
// and the control server, and wires them. Everything the panel is lives as long as this.
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
    TraceWindow *showTrace();
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
    std::shared_ptr<SystemPortLister> lister;
    StageSession *stage = nullptr;
    std::unique_ptr<MainWindow> mainWindow;
    ReconnectController *reconnectController = nullptr;
    SequenceRunner *runner = nullptr;
    TraceWindow *trace = nullptr;
    SequenceWindow *sequence = nullptr;
    ControlServer *server = nullptr;
    MeasuredSteps *measured = nullptr;
    OpenLoopMove *openLoopMover = nullptr;
    OpenLoopMovePanel *openLoopPanel = nullptr;
    CharacterisationRun *characterisation = nullptr;
    CharacterisationWindow *characterisationWindow = nullptr;
};
