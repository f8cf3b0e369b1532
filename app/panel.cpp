#include "panel.h"

#include "controlserver.h"
#include "mainwindow.h"
#include "portlister.h"
#include "reconnectcontroller.h"
#include "sequencecommands.h"
#include "sequencerunner.h"
#include "sequencewindow.h"
#include "settingsdialog.h"
#include "stagesession.h"
#include "tracewindow.h"
#include "ui_mainwindow.h"

#include <QLabel>
#include <QStatusBar>

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

    // Edits to a sequence are offered for saving before the panel closes.
    mainWindow->setCloseCheck([this] { return !sequence || sequence->maybeSave(); });
    connect(mainWindow.get(), &MainWindow::traceRequested, this, &Panel::showTrace);
    connect(mainWindow.get(), &MainWindow::sequenceRequested, this, &Panel::showSequence);
}

Panel::~Panel()
{
    // Clients first: the socket's clients and the windows hear the session until they go.
    delete server;
    server = nullptr;
    mainWindow.reset();
    delete runner;
    runner = nullptr;
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
    // The operator can always see that scripts may drive the panel. The window has a fixed
    // width that the connection text mostly fills: a long path is shortened in the middle, and
    // the whole of it is in the tooltip.
    auto *label = new QLabel;
    label->setObjectName(QStringLiteral("controlStatusLabel"));
    const QString text = tr("Control: %1").arg(server->path());
    label->setToolTip(text);
    label->setText(label->fontMetrics().elidedText(text, Qt::ElideMiddle, kMaxControlLabelWidth));
    mainWindow->statusBar()->addPermanentWidget(label);
    return server;
}
