#include "mainwindow.h"

#include "about.h"
#include "console.h"
#include "protocol.h"
#include "settingsdialog.h"
#include "stagesession.h"
#include "statusview.h"
#include "ui_mainwindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QSignalBlocker>

#include <cstdio>

namespace {

void setEnabledIfChanged(QWidget *widget, bool enabled)
{
    if (widget->isEnabled() != enabled)
        widget->setEnabled(enabled);
}

// Re-applying an unchanged style sheet still re-polishes the widget.
void setStyleIfChanged(QWidget *widget, const QString &style)
{
    if (widget->styleSheet() != style)
        widget->setStyleSheet(style);
}

void setTextIfChanged(QLabel *label, const QString &text)
{
    if (label->text() != text)
        label->setText(text);
}

} // namespace

MainWindow::MainWindow(StageSession *session, std::shared_ptr<PortLister> lister, QWidget *parent)
    : QMainWindow(parent), ui(new Ui::MainWindow), stage(session)
{
    ui->setupUi(this);

    consolePane = new Console;
    consolePane->setEnabled(false);
    ui->verticalLayout_3->addWidget(consolePane);
    consolePane->setVisible(false);

    setFixedSize(580, 550);
    // The position changes with every read. A label whose size follows its text asks the whole
    // window to lay itself out again each time; one as wide as its row, with the text centred,
    // shows the text where the two spacers put the narrower label, and never does.
    const QMargins margins = ui->centralWidget->layout()->contentsMargins();
    ui->label_Position->setAlignment(Qt::AlignCenter);
    ui->label_Position->setFixedSize(width() - margins.left() - margins.right(),
                                     ui->label_Position->sizeHint().height());

    settings =
        new SettingsDialog(std::move(lister), nullptr, SettingsDialog::PortListing::OnFirstUse);

    connectionLabel = new QLabel;
    // The window's width is fixed: a long connection text is cut at its end rather than pushing
    // the indicators on the right (busy state, "Control: PATH") out of sight.
    connectionLabel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    ui->statusBar->addWidget(connectionLabel, 1);
    // These show the controller's own bytes: nothing from the wire is ever taken for markup.
    for (QLabel *label :
         {connectionLabel, ui->label_Position, ui->label_Slidermin, ui->label_Slidermax})
        label->setTextFormat(Qt::PlainText);

    initActionsConnections();

    connect(consolePane, &Console::getData, this, &MainWindow::writeData);
    connect(consolePane, &Console::shown, stage, &Stage::consoleShown);
    connect(ui->horizontalSlider, SIGNAL(sliderPressed()), this, SLOT(blockSlider()));
    connect(ui->horizontalSlider, SIGNAL(sliderReleased()), this, SLOT(goToSliderPosition()));

    connect(stage, &StageSession::controlsChanged, this, &MainWindow::applyControls);
    connect(stage, &StageSession::consoleOutput, consolePane, &Console::putData);
    connect(stage, &StageSession::consoleLineSubmitted, consolePane,
            [this](const QString &line) { consolePane->submitLine(line); });
    connect(stage, &StageSession::positionShown, this, &MainWindow::showPosition);
    connect(stage, &StageSession::notice, this, &MainWindow::showNotice);
    connect(stage, &StageSession::noticeCleared, ui->statusBar, &QStatusBar::clearMessage);
    connect(stage, &StageSession::errorReported, this, &MainWindow::reportError);

    status =
        new StatusView(stage, ui->label_Position, ui->statusBar, SerialLink::kPollIntervalMs, this);
    new EscapeStop(ui->pushButton_stop, this);
    consolePane->setToolTip(tr("Traffic with the controller. Type a command and press Enter to "
                               "send it; Up and Down recall earlier lines, Esc stops the stage."));
    auto *colours = new StateColourGuard(this);
    colours->watch(ui->pushButton_home);
    colours->watch(ui->pushButton_AutoCalibrate);

    applyControls();
}

MainWindow::~MainWindow()
{
    delete settings;
    delete ui;
}

void MainWindow::initActionsConnections()
{
    connect(ui->actionConnect, &QAction::triggered, this, &MainWindow::openSerialPort);
    connect(ui->actionDisconnect, &QAction::triggered, this, &MainWindow::closeSerialPort);
    connect(ui->actionQuit, &QAction::triggered, this, &QWidget::close);
    connect(ui->actionConfigure, &QAction::triggered, settings, &QWidget::show);
    connect(ui->actionClear, &QAction::triggered, consolePane, &QPlainTextEdit::clear);
    // Configure ends the wait for a device that went away, as Disconnect does.
    connect(ui->actionConfigure, &QAction::triggered, stage, &StageSession::stopWaitingForDevice);
    connect(ui->actionTrace, &QAction::triggered, this, &MainWindow::traceRequested);
    connect(ui->actionSequence, &QAction::triggered, this, &MainWindow::sequenceRequested);
    connect(ui->actionAbout, &QAction::triggered, this, [this] { showAboutBox(this); });
    connect(ui->actionAboutQt, &QAction::triggered, qApp, &QApplication::aboutQt);
}

void MainWindow::applyControls()
{
    const PanelControls &c = stage->controls();
    ui->actionConnect->setEnabled(c.connectAction);
    ui->actionDisconnect->setEnabled(c.disconnectAction);
    ui->actionConfigure->setEnabled(c.configureAction);
    setEnabledIfChanged(consolePane, c.console);
    consolePane->setLocalEchoEnabled(c.consoleLocalEcho);

    // While someone else holds the motion, the move controls wait; Stop never does.
    const bool free = !c.locked();
    setEnabledIfChanged(ui->pushButton_home, c.home && free);
    setEnabledIfChanged(ui->pushButton_AutoCalibrate, c.autoCalibrate && free);
    setEnabledIfChanged(ui->doubleSpinBox_Position, c.target && free);
    setEnabledIfChanged(ui->doubleSpinBox_mrstp, c.step && free);
    setEnabledIfChanged(ui->pushButton_SliderMinus, c.minus && free);
    setEnabledIfChanged(ui->pushButton_SliderPlus, c.plus && free);
    setEnabledIfChanged(ui->horizontalSlider, c.slider && free);
    setEnabledIfChanged(ui->tabWidget_LoopMode, c.tabs && free);
    setEnabledIfChanged(ui->pushButton_stop, c.stop);
    setEnabledIfChanged(ui->label_Slidermin, c.sliderLabels);
    setEnabledIfChanged(ui->label_Slidermax, c.sliderLabels);
    if (ui->tabWidget_LoopMode->currentIndex() != c.page) {
        // The session has switched the page itself; the switch is not the operator's.
        const QSignalBlocker quiet(ui->tabWidget_LoopMode);
        ui->tabWidget_LoopMode->setCurrentIndex(c.page);
    }

    setStyleIfChanged(ui->pushButton_home, c.homeStyle);
    setStyleIfChanged(ui->pushButton_AutoCalibrate, c.autoCalibrateStyle);
    if (ui->pushButton_AutoCalibrate->text() != c.autoCalibrateText)
        ui->pushButton_AutoCalibrate->setText(c.autoCalibrateText);

    if (ui->horizontalSlider->minimum() != c.sliderMinimum)
        ui->horizontalSlider->setMinimum(c.sliderMinimum);
    if (ui->horizontalSlider->maximum() != c.sliderMaximum)
        ui->horizontalSlider->setMaximum(c.sliderMaximum);
    setTextIfChanged(ui->label_Slidermin, c.sliderMinText);
    setTextIfChanged(ui->label_Slidermax, c.sliderMaxText);

    const struct {
        QSpinBox *box;
        int value;
    } parameters[] = {{ui->spinBox_Duration, c.durationMs},
                      {ui->spinBox_Interval, c.intervalMs},
                      {ui->spinBox_Cycle, c.cycles}};
    for (const auto &parameter : parameters) {
        if (parameter.box->value() != parameter.value) {
            const QSignalBlocker quiet(parameter.box);
            parameter.box->setValue(parameter.value);
        }
    }
    setTextIfChanged(connectionLabel, c.connectionText);
    showLockReason(c.lockReason);
}

void MainWindow::showLockReason(const QString &reason)
{
    if (reason == shownLockReason)
        return;
    const char *kUnlocked = "unlockedToolTip";
    const QList<QWidget *> moveControls = {ui->pushButton_home,        ui->pushButton_AutoCalibrate,
                                           ui->doubleSpinBox_Position, ui->doubleSpinBox_mrstp,
                                           ui->pushButton_SliderMinus, ui->pushButton_SliderPlus,
                                           ui->horizontalSlider,       ui->tabWidget_LoopMode};
    for (QWidget *control : moveControls) {
        const QVariant unlocked = control->property(kUnlocked);
        if (reason.isEmpty()) {
            if (unlocked.isValid())
                control->setToolTip(unlocked.toString());
            control->setProperty(kUnlocked, QVariant());
            continue;
        }
        if (!unlocked.isValid())
            control->setProperty(kUnlocked, control->toolTip());
        control->setToolTip(control->property(kUnlocked).toString() + QStringLiteral("\n\n") +
                            reason);
    }
    // Why the controls wait stays in sight for as long as they do.
    if (!reason.isEmpty())
        ui->statusBar->showMessage(reason);
    else if (ui->statusBar->currentMessage() == shownLockReason)
        ui->statusBar->clearMessage();
    shownLockReason = reason;
}

void MainWindow::showPosition(const QString &text, std::optional<int> sliderValue)
{
    ui->label_Position->setText(text);
    // An operator holding the slider keeps it.
    if (sliderValue && !ui->horizontalSlider->hasFocus())
        ui->horizontalSlider->setValue(*sliderValue);
}

void MainWindow::showNotice(const QString &text, int timeoutMs)
{
    ui->statusBar->showMessage(text, timeoutMs);
}

void MainWindow::reportError(const QString &title, const QString &text, const QString &details)
{
    if (headless) {
        QString line = title + QStringLiteral(": ") + text.simplified();
        if (!details.isEmpty())
            line += QStringLiteral(" (") + details.simplified() + QLatin1Char(')');
        std::fprintf(stderr, "mirastellon: %s\n", qPrintable(line));
        return;
    }
    QMessageBox box(QMessageBox::Critical, title, text, QMessageBox::Ok, this);
    if (!details.isEmpty())
        box.setInformativeText(details);
    box.exec();
}

void MainWindow::setHeadless(bool on)
{
    headless = on;
}

void MainWindow::openSerialPort()
{
    stage->operatorConnect();
}

void MainWindow::closeSerialPort()
{
    stage->operatorDisconnect();
}

void MainWindow::writeData(QByteArray data)
{
    stage->consoleInput(data);
}

void MainWindow::on_pushButton_home_clicked()
{
    stage->operatorHome();
    ui->pushButton_home->clearFocus();
}

void MainWindow::on_pushButton_stop_clicked()
{
    stage->operatorStop();
    ui->pushButton_stop->clearFocus();
}

void MainWindow::on_doubleSpinBox_Position_editingFinished()
{
    // Blocked while focus is cleared, so the focus loss does not send the move a second time.
    ui->doubleSpinBox_Position->blockSignals(true);
    const CommandResult sent = stage->operatorMoveTo(ui->doubleSpinBox_Position->value());
    if (sent.ok())
        status->clearRefusal(ui->doubleSpinBox_Position);
    else
        status->refuse(ui->doubleSpinBox_Position, sent.message);
    ui->doubleSpinBox_Position->clearFocus();
    ui->doubleSpinBox_Position->blockSignals(false);
}

void MainWindow::on_doubleSpinBox_mrstp_editingFinished()
{
    // The step is read when "-" or "+" is pressed; nothing to send here.
    ui->doubleSpinBox_mrstp->clearFocus();
}

void MainWindow::step(bool forward)
{
    const bool closedLoop = stage->controls().page == 0;
    stage->operatorStep(forward, ui->doubleSpinBox_mrstp->value());
    if (closedLoop)
        (forward ? ui->pushButton_SliderPlus : ui->pushButton_SliderMinus)->clearFocus();
}

void MainWindow::on_pushButton_SliderMinus_clicked()
{
    step(false);
}

void MainWindow::on_pushButton_SliderPlus_clicked()
{
    step(true);
}

void MainWindow::blockSlider()
{
    ui->doubleSpinBox_Position->blockSignals(true);
}

void MainWindow::goToSliderPosition()
{
    stage->operatorSliderReleased(ui->horizontalSlider->value());
    ui->horizontalSlider->clearFocus();
    ui->doubleSpinBox_Position->blockSignals(false);
}

void MainWindow::setSlidePosition(double pos)
{
    ui->horizontalSlider->setValue(Protocol::truncateToInt(pos));
}

void MainWindow::keyPressEvent(QKeyEvent *event)
{
    // Arrows step only once the stage is homed, and not while someone else holds the motion;
    // every other key stops here.
    if (stage->controls().locked())
        return;
    const bool arrow = event->key() == Qt::Key_Left || event->key() == Qt::Key_Right;
    if (!arrow)
        return;
    const PanelState now = stage->state();
    if (now.homed)
        step(event->key() == Qt::Key_Right);
    else if (now.connected)
        status->notify(tr("The arrow keys move the stage once it is homed: press Home first"));
}

void MainWindow::on_tabWidget_LoopMode_currentChanged(int)
{
    stage->operatorSelectPage(ui->tabWidget_LoopMode->currentIndex());
}

void MainWindow::sendDriveParameter(int which)
{
    const auto parameter = StageSession::DriveParameter(which);
    QSpinBox *box = parameter == StageSession::DriveParameter::Duration   ? ui->spinBox_Duration
                    : parameter == StageSession::DriveParameter::Interval ? ui->spinBox_Interval
                                                                          : ui->spinBox_Cycle;
    // Blocked while focus is cleared, so the focus loss does not send it a second time.
    box->blockSignals(true);
    stage->operatorSetDriveParameter(parameter, box->value());
    box->clearFocus();
    box->blockSignals(false);
}

void MainWindow::on_spinBox_Duration_editingFinished()
{
    sendDriveParameter(int(StageSession::DriveParameter::Duration));
}

void MainWindow::on_spinBox_Interval_editingFinished()
{
    sendDriveParameter(int(StageSession::DriveParameter::Interval));
}

void MainWindow::on_spinBox_Cycle_editingFinished()
{
    sendDriveParameter(int(StageSession::DriveParameter::Cycle));
}

void MainWindow::on_pushButton_Bi_clicked()
{
    stage->operatorBi();
    ui->pushButton_Bi->clearFocus();
}

void MainWindow::on_pushButton_AutoCalibrate_clicked()
{
    stage->operatorAutoCalibrate();
}

void MainWindow::on_pushButton_Console_clicked()
{
    consoleVisible = !consoleVisible;
    consolePane->setVisible(consoleVisible);
    if (consoleVisible) {
        setFixedSize(580, 720);
        ui->pushButton_Console->setText(QStringLiteral("Console <<"));
    } else {
        setFixedSize(580, 550);
        ui->pushButton_Console->setText(QStringLiteral("Console >>"));
    }
    ui->pushButton_Console->clearFocus();
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    stage->stopWaitingForDevice();
    QMainWindow::closeEvent(event);
}
