#include "mainwindow.h"

#include "about.h"
#include "console.h"
#include "fastsampler.h"
#include "panelstage.h"
#include "portlister.h"
#include "sequencerunner.h"
#include "sequencewindow.h"
#include "settingsdialog.h"
#include "statusview.h"
#include "tracewindow.h"
#include "ui_mainwindow.h"

#include <QApplication>
#include <QLabel>
#include <QTimer>

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent), ui(new Ui::MainWindow)
{
    ui->setupUi(this);

    console = new Console;
    console->setEnabled(false);
    ui->verticalLayout_3->addWidget(console);
    console->setVisible(false);

    setFixedSize(580, 550);
    // The position changes with every read. A label whose size follows its text asks the whole
    // window to lay itself out again each time; one as wide as its row, with the text centred,
    // shows the text where the two spacers put the narrower label, and never does.
    const QMargins margins = ui->centralWidget->layout()->contentsMargins();
    ui->label_Position->setAlignment(Qt::AlignCenter);
    ui->label_Position->setFixedSize(width() - margins.left() - margins.right(),
                                     ui->label_Position->sizeHint().height());

    serialPort = new QSerialPort(this);
    portLister = std::make_shared<SystemPortLister>();
    settingsDialog =
        new SettingsDialog(portLister, nullptr, SettingsDialog::PortListing::OnFirstUse);

    ui->actionConnect->setEnabled(true);
    ui->actionDisconnect->setEnabled(false);
    ui->actionQuit->setEnabled(true);
    ui->actionConfigure->setEnabled(true);

    statusLabel = new QLabel;
    // The window's width is fixed: a long connection text is cut at its end rather than pushing
    // the indicators on the right (busy state, "Control: PATH") out of sight.
    statusLabel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    ui->statusBar->addWidget(statusLabel, 1);
    // These show the controller's own bytes: nothing from the wire is ever taken for markup.
    for (QLabel *label :
         {statusLabel, ui->label_Position, ui->label_Slidermin, ui->label_Slidermax})
        label->setTextFormat(Qt::PlainText);

    pollTimer = new QTimer(this);
    fastSampler = new FastSampler(this);
    panelStage = new PanelStage(this);

    initActionsConnections();
    initReconnect();

    connect(serialPort, &QSerialPort::errorOccurred, this, &MainWindow::handleError);
    connect(serialPort, &QIODevice::readyRead, this, &MainWindow::readData);
    connect(console, &Console::getData, this, &MainWindow::writeData);
    connect(fastSampler, &FastSampler::sampleDue, this, &MainWindow::sampleFast);
    connect(console, &Console::shown, panelStage, &Stage::consoleShown);

    // The position request must be written before the identification check runs on each tick.
    connect(pollTimer, SIGNAL(timeout()), this, SLOT(getPosition()));
    connect(pollTimer, SIGNAL(timeout()), this, SLOT(checkVersion()));
    connect(ui->horizontalSlider, SIGNAL(sliderPressed()), this, SLOT(blockSlider()));
    connect(ui->horizontalSlider, SIGNAL(sliderReleased()), this, SLOT(goToSliderPosition()));

    ui->horizontalSlider->setMinimum(static_cast<int>(sliderMin));
    ui->horizontalSlider->setMaximum(static_cast<int>(sliderMax));

    statusView =
        new StatusView(panelStage, ui->label_Position, ui->statusBar, pollIntervalMs, this);
    new EscapeStop(ui->pushButton_stop, this);
    console->setToolTip(tr("Traffic with the controller. Type a command and press Enter to send "
                           "it; Up and Down recall earlier lines, Esc stops the stage."));
    auto *colours = new StateColourGuard(this);
    colours->watch(ui->pushButton_home);
    colours->watch(ui->pushButton_AutoCalibrate);
}

MainWindow::~MainWindow()
{
    if (pollTimer->isActive())
        pollTimer->stop();
    delete pollTimer;
    delete settingsDialog;
    delete ui;
}

void MainWindow::preselectPort(const QString &path)
{
    settingsDialog->preselectPort(path);
}

void MainWindow::setReconnectAutomatically(bool on)
{
    settingsDialog->setReconnectAutomatically(on);
}

void MainWindow::initActionsConnections()
{
    connect(ui->actionConnect, &QAction::triggered, this, &MainWindow::openSerialPort);
    connect(ui->actionDisconnect, &QAction::triggered, this, &MainWindow::closeSerialPort);
    connect(ui->actionQuit, &QAction::triggered, this, &QWidget::close);
    connect(ui->actionConfigure, &QAction::triggered, settingsDialog, &QWidget::show);
    connect(ui->actionClear, &QAction::triggered, console, &QPlainTextEdit::clear);
    connect(ui->actionTrace, &QAction::triggered, this, [this] {
        // Made on first use: until then nothing records and nothing extra is sent.
        auto *trace = findChild<TraceWindow *>(QString(), Qt::FindDirectChildrenOnly);
        if (!trace)
            trace = new TraceWindow(stage(), this);
        trace->show();
        trace->raise();
        trace->activateWindow();
    });
    connect(ui->actionSequence, &QAction::triggered, this,
            [this] { SequenceWindow::showFor(this); });
    connect(ui->actionAbout, &QAction::triggered, this, [this] { showAboutBox(this); });
    connect(ui->actionAboutQt, &QAction::triggered, qApp, &QApplication::aboutQt);
}

SequenceRunner *MainWindow::sequenceRunner()
{
    if (!runner)
        runner = new SequenceRunner(panelStage, {}, this);
    return runner;
}

void MainWindow::on_pushButton_Console_clicked()
{
    consoleVisible = !consoleVisible;
    console->setVisible(consoleVisible);
    if (consoleVisible) {
        setFixedSize(580, 720);
        ui->pushButton_Console->setText(QStringLiteral("Console <<"));
    } else {
        setFixedSize(580, 550);
        ui->pushButton_Console->setText(QStringLiteral("Console >>"));
    }
    ui->pushButton_Console->clearFocus();
}
