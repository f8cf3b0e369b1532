#include "mainwindow.h"

#include "about.h"
#include "closeprompt.h"
#include "console.h"
#include "protocol.h"
#include "provenance.h"
#include "savelocation.h"
#include "settingsdialog.h"
#include "stagesession.h"
#include "statusview.h"
#include "tooltipwrap.h"
#include "ui_mainwindow.h"
#include "wholefile.h"
#include "windowfitter.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFileDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QScrollArea>
#include <QSignalBlocker>

#include <cmath>
#include <cstdio>
#include <utility>

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
    // A tab is nothing the controller takes: Tab moves on, as everywhere else in the panel.
    consolePane->setTabChangesFocus(true);
    setTabOrder(ui->pushButton_Console, consolePane);

    // The contents scroll, rather than overlap, on a screen too small for them.
    fitter = new WindowFitter(this, ui, consolePane, [this] { return consoleVisible; });
    // The position changes with every read. A label whose size follows its text asks the whole
    // window to lay itself out again each time; one as wide as its row, with the text centred,
    // shows the text where the two spacers put the narrower label, and never does. The fitter
    // gives it its size.
    ui->label_Position->setAlignment(Qt::AlignCenter);

    settings =
        new SettingsDialog(std::move(lister), nullptr, SettingsDialog::PortListing::OnFirstUse);

    // The window's size is fixed: a grip would offer a resize that cannot happen.
    ui->statusBar->setSizeGripEnabled(false);
    status =
        new StatusView(stage, ui->label_Position, ui->statusBar, SerialLink::kPollIntervalMs, this);
    connectionLabel = status->notices()->connectionLabel();
    closePrompt = new ClosePrompt(stage, status->activityTracker(), this);
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
    connect(stage, &StageSession::errorReported, this, &MainWindow::reportError);
    connect(stage, &StageSession::linkLost, this, [this] { nextErrorIsLinkLoss = true; });
    connect(stage, &StageSession::reconnected, this, &MainWindow::closeLinkLossBox);
    connect(stage, &Stage::targetCommanded, this, &MainWindow::showTarget);
    connect(stage, &Stage::panelEvent, this, [this](const PanelEvent &event) {
        // A move the controller refused is no target: the box shows where the stage still goes.
        const std::optional<double> target = stage->state().targetUm;
        if (event.kind == PanelEvent::Kind::MoveRefused && target)
            showTarget(*target);
    });

    connect(stage, &StageSession::noticeCleared, status->notices(), &NoticeArea::clear);
    // A notice is shown whole in the status bar and kept in the console.
    connect(status, &StatusView::noticed, consolePane, &Console::showNote);
    new EscapeStop(ui->pushButton_stop, this);
    consolePane->setToolTip(tr("Traffic with the controller. Type a command and press Enter to "
                               "send it; Up and Down recall earlier lines, Esc stops the stage. "
                               "Move arguments are in tenths of a micrometre: \">ma 500\" goes "
                               "to 50 \u00b5m."));
    auto *colours = new StateColourGuard(this);
    colours->watch(ui->pushButton_home);
    colours->watch(ui->pushButton_AutoCalibrate);
    qApp->installEventFilter(new TooltipWrap(this));

    for (QAbstractSpinBox *box : {static_cast<QAbstractSpinBox *>(ui->doubleSpinBox_Position),
                                  static_cast<QAbstractSpinBox *>(ui->spinBox_Duration),
                                  static_cast<QAbstractSpinBox *>(ui->spinBox_Interval),
                                  static_cast<QAbstractSpinBox *>(ui->spinBox_Cycle)})
        box->installEventFilter(this);
    targetShown = ui->doubleSpinBox_Position->value();

    applyControls();
    fitter->fit();
}

MainWindow::~MainWindow()
{
    // The fitter watches the form's widgets, which outlive the form's pointers: it goes first.
    delete fitter;
    delete settings;
    delete ui;
}

void MainWindow::initActionsConnections()
{
    connect(ui->actionConnect, &QAction::triggered, this, &MainWindow::openSerialPort);
    connect(ui->actionConsole, &QAction::triggered, this, &MainWindow::setConsoleShown);
    connect(ui->actionConsoleTimeStamps, &QAction::toggled, consolePane, &Console::setTimeStamps);
    connect(ui->actionSaveConsole, &QAction::triggered, this, &MainWindow::chooseSaveConsole);
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
    // Why the controls wait stays in sight for as long as they do. It is a state, not news:
    // it stays off the console.
    NoticeArea *notices = status->notices();
    if (!reason.isEmpty()) {
        notices->show(reason, 0);
    } else if (notices->text() == shownLockReason) {
        notices->clear();
    }
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
    // The session's notices have their own line in the console already.
    status->notices()->show(text, timeoutMs);
}

void MainWindow::reportError(const QString &title, const QString &text, const QString &details)
{
    const bool linkLoss = std::exchange(nextErrorIsLinkLoss, false);
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
    // The box for a lost link closes by itself when the wait brings the controller back.
    QPointer<QMessageBox> guard(&box);
    if (linkLoss)
        linkLossBox = &box;
    box.exec();
    if (linkLoss && guard)
        linkLossBox = nullptr;
}

void MainWindow::closeLinkLossBox()
{
    if (QMessageBox *box = std::exchange(linkLossBox, nullptr))
        box->done(QMessageBox::Ok);
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
    QDoubleSpinBox *box = ui->doubleSpinBox_Position;
    // Enter always sends. The focus leaving the box sends only a value the operator changed:
    // tabbing through an untouched box never moves the stage back to what it last showed.
    const bool enter = box->hasFocus();
    if (!enter && (focusLeftWithWindow(box) || !targetEdited()))
        return;
    // Blocked while focus is cleared, so the focus loss does not send the move a second time.
    box->blockSignals(true);
    const double value = box->value();
    const CommandResult sent = stage->operatorMoveTo(value);
    if (sent.ok()) {
        targetShown = value;
        status->clearRefusal(box);
    } else {
        status->refuse(box, sent.message);
    }
    box->clearFocus();
    box->blockSignals(false);
}

void MainWindow::showTarget(double targetUm)
{
    QDoubleSpinBox *box = ui->doubleSpinBox_Position;
    // What the operator is typing is theirs until they send or leave it.
    if (box->hasFocus() && targetEdited())
        return;
    {
        const QSignalBlocker quiet(box);
        box->setValue(targetUm);
    }
    targetShown = box->value();
    status->clearRefusal(box);
}

bool MainWindow::targetEdited() const
{
    const QDoubleSpinBox *box = ui->doubleSpinBox_Position;
    const double resolution = std::pow(10.0, -box->decimals()) / 2;
    return std::abs(box->value() - targetShown) >= resolution;
}

bool MainWindow::focusLeftWithWindow(QAbstractSpinBox *box) const
{
    return lastFocusOutBox == box && (lastFocusOutReason == Qt::ActiveWindowFocusReason ||
                                      lastFocusOutReason == Qt::PopupFocusReason);
}

bool MainWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::FocusOut) {
        lastFocusOutBox = qobject_cast<QAbstractSpinBox *>(watched);
        lastFocusOutReason = static_cast<QFocusEvent *>(event)->reason();
    }
    return QMainWindow::eventFilter(watched, event);
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
    // Another window, a menu or closing the panel takes the focus away: the edit goes on.
    if (!box->hasFocus() && focusLeftWithWindow(box))
        return;
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
    setConsoleShown(!consoleVisible);
    ui->pushButton_Console->clearFocus();
}

void MainWindow::setConsoleShown(bool shown)
{
    consoleVisible = shown;
    consolePane->setVisible(consoleVisible);
    // The layouts hold on to what they measured with the console in or out until told.
    ui->verticalLayout_3->invalidate();
    ui->verticalLayout->invalidate();
    ui->pushButton_Console->setText(consoleVisible ? QStringLiteral("Console <<")
                                                   : QStringLiteral("Console >>"));
    ui->actionConsole->setChecked(consoleVisible);
    fitter->fit();
}

QScrollArea *MainWindow::scrollArea() const
{
    return fitter->scrollArea();
}

void MainWindow::setCloseCheck(std::function<bool()> check)
{
    closePrompt->setCloseCheck(std::move(check));
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    if (!headless && !closePrompt->mayClose()) {
        event->ignore();
        return;
    }
    stage->stopWaitingForDevice();
    QMainWindow::closeEvent(event);
}

QString MainWindow::saveConsole(const QString &path)
{
    QByteArray bytes = Provenance::of(stage->state()).header();
    bytes += consolePane->toPlainText().toUtf8();
    if (!bytes.endsWith('\n'))
        bytes += '\n';
    return WholeFile::writeBytes(path, bytes);
}

void MainWindow::chooseSaveConsole()
{
    const QString path = QFileDialog::getSaveFileName(
        this, tr("Save console"),
        SaveLocation::proposed(QStringLiteral("console"), QStringLiteral("txt")),
        tr("Text files (*.txt);;All files (*)"));
    if (path.isEmpty())
        return;
    SaveLocation::remember(path);
    const QString error = saveConsole(path);
    if (!error.isEmpty())
        QMessageBox::critical(this, tr("Error"), error);
}
