#include "panel.h"

#include "characterisationrun.h"
#include "characterisationwindow.h"
#include "controlserver.h"
#include "mainwindow.h"
#include "measuredsteps.h"
#include "openloopcommands.h"
#include "openloopmove.h"
#include "openloopmovepanel.h"
#include "portlister.h"
#include "reconnectcontroller.h"
#include "sequencecommands.h"
#include "sequencerunner.h"
#include "sequencewindow.h"
#include "settingsdialog.h"
#include "stagesession.h"
#include "tracewindow.h"
#include "ui_mainwindow.h"

#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QStatusBar>
#include <QToolBar>

namespace {
// What the status bar has room for beside the connection text of a typical port name.
constexpr int kMaxControlLabelWidth = 190;
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

    connect(mainWindow.get(), &MainWindow::traceRequested, this, &Panel::showTrace);
    connect(mainWindow.get(), &MainWindow::sequenceRequested, this, &Panel::showSequence);

    // Open-loop steps in micrometres: what was measured is kept from the start, since the way
    // the stage was last stepped matters to the first run and the first move.
    measured = new MeasuredSteps(stage, this);
    openLoopMover = new OpenLoopMove(stage, measured, {}, this);
    Ui::MainWindow *form = mainWindow->form();
    openLoopPanel = new OpenLoopMovePanel(measured, openLoopMover, stage);
    openLoopPanel->setObjectName(QStringLiteral("openLoopMovePanel"));
    form->gridLayout->addWidget(openLoopPanel, 3, 0, 1, 4);
    connect(openLoopPanel, &OpenLoopMovePanel::characterisationRequested, this,
            &Panel::showStepCharacterisation);
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
    // Made on first use: until then nothing records and nothing extra is sent.
    if (!trace)
        trace = new TraceWindow(stage, mainWindow.get());
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
    // The operator can always see that scripts may drive the panel, and when they cannot. The
    // window has a fixed width that the connection text mostly fills: a long path is shortened
    // in the middle, and the whole of it is in the tooltip.
    auto *label = new QLabel;
    label->setObjectName(QStringLiteral("controlStatusLabel"));
    const auto show = [label, started](bool listening, const QString &reason) {
        // Short enough to show whole: the reason and the path are in the tooltip.
        const QString text = listening ? tr("Control: %1").arg(started->path())
                                       : tr("Control: refusing clients");
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
