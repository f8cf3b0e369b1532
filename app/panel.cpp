#include "panel.h"

#include "characterisationrun.h"
#include "characterisationwindow.h"
#include "controldispatcher.h"
#include "controlserver.h"
#include "mainwindow.h"
#include "measuredsteps.h"
#include "openloopcommands.h"
#include "openloopmove.h"
#include "openloopmovepanel.h"
#include "portlister.h"
#include "reconnectcontroller.h"
#include "savelocation.h"
#include "sequencecommands.h"
#include "sequencerunner.h"
#include "sequencewindow.h"
#include "sessionlog.h"
#include "settingsdialog.h"
#include "stagesession.h"
#include "tracerecorder.h"
#include "tracewindow.h"
#include "ui_mainwindow.h"

#include <QAction>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QStatusBar>
#include <QToolBar>

#include <cstdio>

namespace {
// What the status bar has room for beside the connection text of a typical port name.
constexpr int kMaxControlLabelWidth = 190;

// "log" on the control socket: {"action": "start", "path": ABSOLUTE} or {"action": "stop"}.
void addLogCommand(ControlServer &server, Panel *panel)
{
    using ControlProtocol::ErrorCode;
    server.dispatcher()->addCommand(QStringLiteral("log"), [panel](ControlCall &call) {
        const QString action = call.arguments.choice(
            QStringLiteral("action"), {QStringLiteral("start"), QStringLiteral("stop")});
        const bool start = action == QLatin1String("start");
        const QString path = start ? call.arguments.string(QStringLiteral("path")) : QString();
        if (!call.argumentsRead())
            return;
        // The panel's working folder means nothing to a script: the path says where.
        if (start && !QDir::isAbsolutePath(path)) {
            call.reply.fail(ErrorCode::BadRequest,
                            QObject::tr("\"path\" must be an absolute path"));
            return;
        }
        SessionLog *log = panel->sessionLog();
        QString error;
        if (start && !panel->startSessionLog(path, &error)) {
            call.reply.fail(ErrorCode::OpenFailed, error);
            return;
        }
        if (!start)
            log->stop();
        QJsonObject result{{QStringLiteral("logging"), log->isActive()}};
        if (log->isActive())
            result.insert(QStringLiteral("path"), log->path());
        call.reply.ok(result);
    });
}
} // namespace

Panel::Panel(QObject *parent)
    : QObject(parent), lister(std::make_shared<SystemPortLister>()), stage(new StageSession(this)),
      mainWindow(std::make_unique<MainWindow>(stage, lister))
{
    SettingsDialog *dialog = mainWindow->settingsDialog();
    stage->setSettingsSource([dialog] { return dialog->settings(); });
    stage->setPortResolver([this](const QString &portName) {
        const QString link = lister->stableNameFor(portName);
        return link.isEmpty() ? portName : link;
    });
    stage->setPortChooser([this](const QString &path) { preselectPort(path); });
    reconnectController = new ReconnectController(
        stage, lister, [dialog] { return dialog->settings().reconnectAutomatically; }, this);

    // The recording begins with the first Connect, window or not; the log only when asked.
    recorder = new TraceRecorder(stage, {}, this);
    log = new SessionLog(stage, stage->link(), this);
    connect(log, &SessionLog::failed, this, &Panel::reportLogProblem);
    addSessionLogAction();

    // Edits to a sequence are offered for saving before the panel closes.
    mainWindow->setCloseCheck([this] { return !sequence || sequence->maybeSave(); });
    connect(mainWindow.get(), &MainWindow::traceRequested, this, &Panel::showTrace);
    connect(mainWindow.get(), &MainWindow::sequenceRequested, this, &Panel::showSequence);

    // Open-loop steps in micrometres: what was measured is kept from the start, since the way
    // the stage was last stepped matters to the first run and the first move.
    measured = new MeasuredSteps(stage, this);
    openLoopMover = new OpenLoopMove(stage, measured, {}, this);
    Ui::MainWindow *form = mainWindow->form();
    openLoopPanel = new OpenLoopMovePanel(measured, openLoopMover, stage);
    openLoopPanel->setObjectName(QStringLiteral("openLoopMovePanel"));
    // Beside the interval and the cycle, where the page has room: the window keeps its size.
    form->gridLayout->addWidget(openLoopPanel, 1, 2, 2, 2);
    // Tab goes through the page as it reads: the interval, the move beside it, the cycle.
    QWidget *previous = form->spinBox_Interval;
    for (const char *name : {"pushButton_OpenLoopMove", "doubleSpinBox_OpenLoopMove"}) {
        QWidget *next = openLoopPanel->findChild<QWidget *>(QLatin1String(name));
        QWidget::setTabOrder(previous, next);
        previous = next;
    }
    QWidget::setTabOrder(previous, form->spinBox_Cycle);
    auto *characterise = new QAction(tr("Step characterisation\u2026"), mainWindow.get());
    characterise->setObjectName(QStringLiteral("actionStepCharacterisation"));
    characterise->setToolTip(tr("Measures how far one open-loop step goes, forward and reverse"));
    connect(characterise, &QAction::triggered, this, &Panel::showStepCharacterisation);
    // In the View menu where the window has one, else on the tool bar.
    if (auto *view = mainWindow->findChild<QMenu *>(QStringLiteral("menuView")))
        view->addAction(characterise);
    else
        form->mainToolBar->addAction(characterise);
}

Panel::~Panel()
{
    // Clients first: the socket's clients and the windows hear the session until they go.
    delete server;
    server = nullptr;
    mainWindow.reset();
    delete runner;
    runner = nullptr;
    delete characterisation;
    characterisation = nullptr;
    delete openLoopMover;
    openLoopMover = nullptr;
    // The log's last line is written while the session can still tell the state.
    delete log;
    log = nullptr;
}

void Panel::preselectPort(const QString &path)
{
    mainWindow->settingsDialog()->preselectPort(path);
}

void Panel::setReconnectAutomatically(bool on)
{
    mainWindow->settingsDialog()->setReconnectAutomatically(on);
}

void Panel::setHeadless(bool headless)
{
    mainWindow->setHeadless(headless);
}

SequenceRunner *Panel::sequenceRunner()
{
    if (!runner)
        runner = new SequenceRunner(stage, {}, this);
    return runner;
}

TraceWindow *Panel::showTrace()
{
    // Made on first use; it shows what the recorder has kept since the first Connect.
    if (!trace)
        trace = new TraceWindow(recorder, mainWindow.get());
    trace->show();
    trace->raise();
    trace->activateWindow();
    return trace;
}

SequenceWindow *Panel::showSequence()
{
    if (!sequence)
        sequence = new SequenceWindow(sequenceRunner(), mainWindow.get());
    sequence->show();
    sequence->raise();
    sequence->activateWindow();
    return sequence;
}

CharacterisationRun *Panel::characterisationRun()
{
    if (!characterisation) {
        characterisation = new CharacterisationRun(stage, {}, this);
        measured->follow(characterisation);
    }
    return characterisation;
}

CharacterisationWindow *Panel::showStepCharacterisation()
{
    if (!characterisationWindow)
        characterisationWindow =
            new CharacterisationWindow(characterisationRun(), measured, stage, mainWindow.get());
    characterisationWindow->show();
    characterisationWindow->raise();
    characterisationWindow->activateWindow();
    return characterisationWindow;
}

ControlServer *Panel::startControlServer(const QString &path, QString *error)
{
    if (server)
        return server;
    auto *started = new ControlServer(stage, this);
    if (!started->listen(path, error)) {
        delete started;
        return nullptr;
    }
    server = started;
    addSequenceCommands(*server, sequenceRunner());
    addOpenLoopCommands(*server, characterisationRun(), openLoopMover, measured);
    addLogCommand(*server, this);
    // The operator can always see that scripts may drive the panel, and when they cannot. The
    // window has a fixed width that the connection text mostly fills: a long path is shortened
    // in the middle, and the whole of it is in the tooltip.
    auto *label = new QLabel;
    label->setObjectName(QStringLiteral("controlStatusLabel"));
    const auto show = [label, started](bool listening, const QString &reason) {
        // Short enough to show whole: the reason and the path are in the tooltip.
        const QString text =
            listening ? tr("Control: %1").arg(started->path()) : tr("Control: refusing clients");
        label->setToolTip(listening ? text : reason);
        label->setStyleSheet(listening ? QString() : QStringLiteral("color: red"));
        label->setText(listening ? label->fontMetrics().elidedText(text, Qt::ElideMiddle,
                                                                   kMaxControlLabelWidth)
                                 : text);
    };
    show(true, QString());
    connect(server, &ControlServer::listeningChanged, label, show);
    mainWindow->statusBar()->addPermanentWidget(label);
    return server;
}

bool Panel::startSessionLog(const QString &path, QString *error)
{
    return log->start(path, error);
}

void Panel::reportLogProblem(const QString &message)
{
    std::fprintf(stderr, "mirastellon: %s\n", qPrintable(message));
    stage->reportPanelProblem(message);
}

void Panel::addSessionLogAction()
{
    auto *action = new QAction(tr("Session &log\u2026"), mainWindow.get());
    action->setObjectName(QStringLiteral("actionSessionLog"));
    action->setCheckable(true);
    action->setStatusTip(tr("Write every command, reply and event to a file"));
    // The File menu, wherever the window has it; one of its own otherwise.
    QMenuBar *bar = mainWindow->menuBar();
    auto *menu = bar->findChild<QMenu *>(QStringLiteral("menuFile"));
    if (!menu) {
        menu = new QMenu(tr("&File"), bar);
        menu->setObjectName(QStringLiteral("menuFile"));
        const QList<QAction *> menus = bar->actions();
        bar->insertMenu(menus.isEmpty() ? nullptr : menus.first(), menu);
    }
    auto *quit = mainWindow->findChild<QAction *>(QStringLiteral("actionQuit"));
    if (quit && menu->actions().contains(quit)) {
        menu->insertAction(quit, action);
        menu->insertSeparator(quit);
    } else {
        menu->addAction(action);
    }
    connect(action, &QAction::triggered, this, &Panel::chooseSessionLog);
    const auto show = [this, action] {
        const QSignalBlocker blocker(action);
        action->setChecked(log->isActive());
        action->setStatusTip(log->isActive()
                                 ? tr("Logging to %1; choose again to stop").arg(log->path())
                                 : tr("Write every command, reply and event to a file"));
    };
    connect(log, &SessionLog::started, action, show);
    connect(log, &SessionLog::stopped, action, show);
}

void Panel::chooseSessionLog(bool start)
{
    if (!start) {
        log->stop();
        return;
    }
    // The file is continued when it exists, never replaced.
    const QString path = QFileDialog::getSaveFileName(
        mainWindow.get(), tr("Session log"),
        SaveLocation::proposed(QStringLiteral("session"), QStringLiteral("jsonl")),
        tr("JSON lines (*.jsonl);;All files (*)"), nullptr, QFileDialog::DontConfirmOverwrite);
    QString error;
    if (!path.isEmpty()) {
        SaveLocation::remember(path);
        if (!startSessionLog(path, &error))
            QMessageBox::critical(mainWindow.get(), tr("Error"), error, QMessageBox::Ok);
    }
    auto *action = mainWindow->findChild<QAction *>(QStringLiteral("actionSessionLog"));
    const QSignalBlocker blocker(action);
    action->setChecked(log->isActive());
}
