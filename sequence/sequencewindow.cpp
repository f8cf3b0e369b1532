#include "sequencewindow.h"

#include "savelocation.h"
#include "sequencecsv.h"
#include "sequencemodel.h"
#include "stepdelegate.h"

#include <QAction>
#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QStyle>
#include <QTableView>
#include <QTimer>
#include <QUndoStack>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace {

QPushButton *button(const QString &name, const QString &text, QWidget *parent)
{
    auto *b = new QPushButton(text, parent);
    b->setObjectName(name);
    return b;
}

// Keeps the height of lines of text for a label that is empty at times.
void reserveLines(QLabel *label, int lines)
{
    QString sample = QStringLiteral("X");
    for (int i = 1; i < lines; ++i)
        sample += QStringLiteral("\nX");
    label->setText(sample);
    label->setMinimumHeight(label->sizeHint().height());
    label->clear();
}

QString duration(qint64 ms)
{
    const qint64 s = (ms + 999) / 1000;
    if (s < 60)
        return SequenceWindow::tr("%1 s").arg(s);
    if (s < 3600)
        return SequenceWindow::tr("%1 min %2 s").arg(s / 60).arg(s % 60);
    return SequenceWindow::tr("%1 h %2 min").arg(s / 3600).arg((s % 3600) / 60);
}

QString stepsText(qint64 count)
{
    return Sequence::counted(count, SequenceWindow::tr("step"), SequenceWindow::tr("steps"));
}

QString shortcutText(const QAction *action)
{
    return action->shortcut().toString(QKeySequence::NativeText);
}

const char *const kCsvFilter =
    QT_TRANSLATE_NOOP("SequenceWindow", "Sequences (*.csv);;All files (*)");
const char *const kLogFilter =
    QT_TRANSLATE_NOOP("SequenceWindow", "Run logs (*.csv);;All files (*)");

} // namespace

SequenceWindow::SequenceWindow(SequenceRunner *r, QWidget *parent)
    : QWidget(parent, Qt::Window), runner(r), steps(new SequenceModel(this)),
      refresh(new QTimer(this))
{
    setObjectName(QStringLiteral("SequenceWindow"));
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(buildTable(), 1);
    layout->addLayout(buildEditRow());
    layout->addWidget(buildScan());
    layout->addWidget(buildRun());
    messageLabel = new QLabel(this);
    messageLabel->setObjectName(QStringLiteral("label_Message"));
    messageLabel->setWordWrap(true);
    messageLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    // Room for a message of two lines is kept, so one appearing moves nothing.
    reserveLines(messageLabel, 2);
    layout->addWidget(messageLabel);
    layout->addLayout(buildFileRow());
    resize(760, 660);

    refresh->setInterval(1000);
    connect(refresh, &QTimer::timeout, this, &SequenceWindow::onProgress);
    connect(runner, &SequenceRunner::progress, this, &SequenceWindow::onProgress);
    connect(runner, &SequenceRunner::availabilityChanged, this, &SequenceWindow::updateControls);
    connect(runner, &SequenceRunner::stepTimedOut, this, &SequenceWindow::onTimedOut);
    connect(runner, &SequenceRunner::finished, this, &SequenceWindow::onFinished);
    connect(steps, &QAbstractItemModel::rowsInserted, this, &SequenceWindow::updateControls);
    connect(steps, &QAbstractItemModel::rowsRemoved, this, &SequenceWindow::updateControls);
    connect(steps, &QAbstractItemModel::modelReset, this, &SequenceWindow::updateControls);
    connect(steps->history(), &QUndoStack::indexChanged, this, &SequenceWindow::updateControls);
    connect(steps->history(), &QUndoStack::cleanChanged, this, &SequenceWindow::updateTitle);
    steps->setSteps(Sequence::linearScan(0.0, 1000.0, 5, 200, false));
    updateTitle();
    updateControls();
    onProgress();
}

QTableView *SequenceWindow::buildTable()
{
    table = new QTableView(this);
    table->setObjectName(QStringLiteral("tableView_Steps"));
    table->setModel(steps);
    table->setItemDelegate(new StepDelegate(table));
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSelectionMode(QAbstractItemView::SingleSelection);
    // A double-click moves to the row; typing or a second click edits a cell.
    table->setEditTriggers(QAbstractItemView::EditKeyPressed | QAbstractItemView::AnyKeyPressed |
                           QAbstractItemView::SelectedClicked);
    table->horizontalHeader()->setSectionResizeMode(SequenceModel::LabelColumn,
                                                    QHeaderView::Stretch);
    table->verticalHeader()->setDefaultSectionSize(table->fontMetrics().height() + 6);
    connect(table, &QAbstractItemView::doubleClicked, this, &SequenceWindow::goToSelected);
    connect(table->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &SequenceWindow::updateControls);
    return table;
}

QLayout *SequenceWindow::buildEditRow()
{
    auto *row = new QHBoxLayout;
    addButton = button(QStringLiteral("pushButton_Add"), tr("Add"), this);
    removeButton = button(QStringLiteral("pushButton_Remove"), tr("Remove"), this);
    upButton = button(QStringLiteral("pushButton_Up"), tr("Up"), this);
    downButton = button(QStringLiteral("pushButton_Down"), tr("Down"), this);
    duplicateButton = button(QStringLiteral("pushButton_Duplicate"), tr("Duplicate"), this);
    undoButton = button(QStringLiteral("pushButton_Undo"), tr("Undo"), this);
    redoButton = button(QStringLiteral("pushButton_Redo"), tr("Redo"), this);
    goButton = button(QStringLiteral("pushButton_Go"), tr("Go"), this);
    addButton->setToolTip(tr("Insert a row at the stage's current position after the selected "
                             "row (a copy of the selected row while no position is known)"));
    for (QPushButton *b :
         {addButton, removeButton, upButton, downButton, duplicateButton, undoButton, redoButton})
        row->addWidget(b);
    row->addStretch();
    row->addWidget(goButton);

    undoAction = new QAction(tr("Undo"), this);
    undoAction->setShortcut(QKeySequence::Undo);
    redoAction = new QAction(tr("Redo"), this);
    redoAction->setShortcut(QKeySequence::Redo);
    for (QAction *action : {undoAction, redoAction}) {
        action->setShortcutContext(Qt::WindowShortcut);
        addAction(action);
    }
    connect(undoAction, &QAction::triggered, this, [this] { undoOrRedo(true); });
    connect(redoAction, &QAction::triggered, this, [this] { undoOrRedo(false); });
    connect(undoButton, &QPushButton::clicked, undoAction, &QAction::trigger);
    connect(redoButton, &QPushButton::clicked, redoAction, &QAction::trigger);

    connect(addButton, &QPushButton::clicked, this, &SequenceWindow::addStep);
    connect(removeButton, &QPushButton::clicked, this, [this] {
        const int at = selectedRow();
        if (steps->removeStep(at))
            selectRow(qMin(at, steps->rowCount() - 1));
    });
    connect(upButton, &QPushButton::clicked, this,
            [this] { selectRow(steps->moveStep(selectedRow(), -1)); });
    connect(downButton, &QPushButton::clicked, this,
            [this] { selectRow(steps->moveStep(selectedRow(), +1)); });
    connect(duplicateButton, &QPushButton::clicked, this,
            [this] { selectRow(steps->duplicateStep(selectedRow())); });
    connect(goButton, &QPushButton::clicked, this, &SequenceWindow::goToSelected);
    return row;
}

QGroupBox *SequenceWindow::buildScan()
{
    auto *scan = new QGroupBox(tr("Scan"), this);
    // Two lines, so that the window fits beside the panel on a laptop's screen.
    auto *grid = new QGridLayout(scan);
    const auto micrometreBox = [this](const QString &name, double value) {
        auto *box = new QDoubleSpinBox(this);
        box->setObjectName(name);
        box->setRange(-Sequence::kMaxAbsTargetUm, Sequence::kMaxAbsTargetUm);
        box->setDecimals(3);
        box->setValue(value);
        return box;
    };
    fromBox = micrometreBox(QStringLiteral("doubleSpinBox_From"), 0.0);
    toBox = micrometreBox(QStringLiteral("doubleSpinBox_To"), 1000.0);
    countBox = new QSpinBox(this);
    countBox->setObjectName(QStringLiteral("spinBox_Steps"));
    countBox->setRange(1, Sequence::kMaxRows / 2);
    countBox->setValue(5);
    dwellBox = new QSpinBox(this);
    dwellBox->setObjectName(QStringLiteral("spinBox_Dwell"));
    dwellBox->setRange(0, Sequence::kMaxDwellMs);
    dwellBox->setValue(200);
    comeBackBox = new QCheckBox(tr("and back"), this);
    comeBackBox->setObjectName(QStringLiteral("checkBox_ComeBack"));
    comeBackBox->setToolTip(tr("A \u2192 B \u2192 A"));
    generateButton = button(QStringLiteral("pushButton_Generate"), tr("Generate"), this);
    generateButton->setToolTip(tr("Replace the list with the scan"));
    grid->addWidget(new QLabel(tr("From [\u00b5m]:"), this), 0, 0);
    grid->addWidget(fromBox, 0, 1);
    grid->addWidget(new QLabel(tr("to"), this), 0, 2);
    grid->addWidget(toBox, 0, 3);
    grid->addWidget(new QLabel(tr("in"), this), 0, 4);
    grid->addWidget(countBox, 0, 5);
    grid->addWidget(new QLabel(tr("positions"), this), 0, 6);
    grid->addWidget(new QLabel(tr("Dwell [ms]:"), this), 1, 0);
    grid->addWidget(dwellBox, 1, 1);
    grid->addWidget(comeBackBox, 1, 2, 1, 2);
    grid->addWidget(generateButton, 1, 6);
    grid->setColumnStretch(7, 1);
    connect(generateButton, &QPushButton::clicked, this, &SequenceWindow::generate);
    return scan;
}

QGroupBox *SequenceWindow::buildRun()
{
    auto *runBox = new QGroupBox(tr("Run"), this);
    auto *grid = new QGridLayout(runBox);
    repeatBox = new QSpinBox(this);
    repeatBox->setObjectName(QStringLiteral("spinBox_Repeat"));
    repeatBox->setRange(1, Sequence::kMaxRepeats);
    backAndForthBox = new QCheckBox(tr("Back and forth"), this);
    backAndForthBox->setObjectName(QStringLiteral("checkBox_BackAndForth"));
    backAndForthBox->setToolTip(tr("Every second pass runs the list in reverse"));
    toleranceBox = new QDoubleSpinBox(this);
    toleranceBox->setObjectName(QStringLiteral("doubleSpinBox_Tolerance"));
    toleranceBox->setRange(0.001, 1000.0);
    toleranceBox->setDecimals(3);
    toleranceBox->setValue(runner->toleranceUm());
    timeoutBox = new QSpinBox(this);
    timeoutBox->setObjectName(QStringLiteral("spinBox_Timeout"));
    timeoutBox->setRange(1, 3600);
    timeoutBox->setValue(runner->timeoutMs() / 1000);
    grid->addWidget(new QLabel(tr("Repeat:"), this), 0, 0);
    grid->addWidget(repeatBox, 0, 1);
    grid->addWidget(backAndForthBox, 0, 2, 1, 2);
    grid->addWidget(new QLabel(tr("Tolerance [\u00b5m]:"), this), 1, 0);
    grid->addWidget(toleranceBox, 1, 1);
    grid->addWidget(new QLabel(tr("Timeout [s]:"), this), 1, 2);
    grid->addWidget(timeoutBox, 1, 3);
    grid->setColumnStretch(4, 1);

    auto *controls = new QHBoxLayout;
    runButton = button(QStringLiteral("pushButton_Run"), tr("&Run"), this);
    pauseButton = button(QStringLiteral("pushButton_Pause"), tr("&Pause"), this);
    abortButton = button(QStringLiteral("pushButton_Abort"), tr("&Abort"), this);
    retryButton = button(QStringLiteral("pushButton_Retry"), tr("Retry"), this);
    skipButton = button(QStringLiteral("pushButton_Skip"), tr("Skip"), this);
    for (QPushButton *b : {runButton, pauseButton, abortButton, retryButton, skipButton})
        controls->addWidget(b);
    controls->addStretch();
    grid->addLayout(controls, 2, 0, 1, 5);
    progressBar = new QProgressBar(this);
    progressBar->setObjectName(QStringLiteral("progressBar"));
    progressBar->setRange(0, 1000);
    progressBar->setTextVisible(false);
    progressLabel = new QLabel(this);
    progressLabel->setObjectName(QStringLiteral("label_Progress"));
    reserveLines(progressLabel, 1);
    grid->addWidget(progressBar, 3, 0, 1, 5);
    grid->addWidget(progressLabel, 4, 0, 1, 5);

    connect(runButton, &QPushButton::clicked, this, &SequenceWindow::run);
    connect(pauseButton, &QPushButton::clicked, this, [this] {
        if (runner->state() == SequenceRunner::State::Paused || runner->pausePending())
            runner->resume();
        else
            runner->pause();
    });
    connect(abortButton, &QPushButton::clicked, runner, &SequenceRunner::abort);
    connect(retryButton, &QPushButton::clicked, runner, &SequenceRunner::retry);
    connect(skipButton, &QPushButton::clicked, runner, &SequenceRunner::skip);
    connect(toleranceBox, QOverload<double>::of(&QDoubleSpinBox::valueChanged), runner,
            &SequenceRunner::setToleranceUm);
    connect(timeoutBox, QOverload<int>::of(&QSpinBox::valueChanged), this,
            [this](int s) { runner->setTimeoutMs(s * 1000); });
    return runBox;
}

QLayout *SequenceWindow::buildFileRow()
{
    auto *row = new QHBoxLayout;
    openButton = button(QStringLiteral("pushButton_Open"), tr("Open\u2026"), this);
    saveButton = button(QStringLiteral("pushButton_Save"), tr("Save\u2026"), this);
    exportButton = button(QStringLiteral("pushButton_ExportLog"), tr("Export log\u2026"), this);
    row->addWidget(openButton);
    row->addWidget(saveButton);
    row->addStretch();
    row->addWidget(exportButton);
    connect(openButton, &QPushButton::clicked, this, &SequenceWindow::chooseOpen);
    connect(saveButton, &QPushButton::clicked, this, &SequenceWindow::chooseSave);
    connect(exportButton, &QPushButton::clicked, this, &SequenceWindow::chooseExport);
    return row;
}

int SequenceWindow::selectedRow() const
{
    const QModelIndexList rows = table->selectionModel()->selectedRows();
    return rows.isEmpty() ? -1 : rows.first().row();
}

void SequenceWindow::selectRow(int row)
{
    if (row < 0 || row >= steps->rowCount())
        return;
    table->selectRow(row);
    table->scrollTo(steps->index(row, 0));
}

// Teaching: the new row holds where the stage stands now, as the target box would send it.
void SequenceWindow::addStep()
{
    const int at = selectedRow();
    const int last = steps->rowCount() - 1;
    SequenceStep step;
    if (at >= 0 || last >= 0)
        step = steps->steps().at(at >= 0 ? at : last);
    const PanelState stage = runner->stageState();
    if (stage.connected && stage.positionUm && std::isfinite(*stage.positionUm))
        step.targetUm = std::round(*stage.positionUm * 100.0) / 100.0;
    step.label = QString::number(steps->rowCount() + 1);
    selectRow(steps->insertStep(at < 0 ? steps->rowCount() : at + 1, step));
}

void SequenceWindow::generate()
{
    if (runner->isRunning())
        return;
    const SequenceSteps scan =
        Sequence::linearScan(fromBox->value(), toBox->value(), countBox->value(), dwellBox->value(),
                             comeBackBox->isChecked());
    if (scan == steps->steps())
        return;
    if (steps->rowCount() > 0) {
        QMessageBox ask(QMessageBox::Question, tr("Generate"),
                        tr("Replace the %1 of the table with a scan of %2?")
                            .arg(Sequence::counted(steps->rowCount(), tr("row"), tr("rows")),
                                 Sequence::counted(scan.size(), tr("position"), tr("positions"))),
                        QMessageBox::Ok | QMessageBox::Cancel, this);
        ask.button(QMessageBox::Ok)->setText(tr("Replace"));
        ask.setInformativeText(
            tr("Undo (%1) brings the table back.").arg(shortcutText(undoAction)));
        ask.setDefaultButton(QMessageBox::Cancel);
        if (ask.exec() != QMessageBox::Ok)
            return;
    }
    steps->replaceSteps(scan, tr("Generate"));
    clearRunStatus();
}

void SequenceWindow::undoOrRedo(bool undo)
{
    // While a run has the list, it stays as the run was given it.
    if (runner->isRunning())
        return;
    if (undo)
        steps->history()->undo();
    else
        steps->history()->redo();
}

void SequenceWindow::goToSelected()
{
    const int row = selectedRow();
    if (row < 0 || runner->isRunning())
        return;
    const CommandResult moved = runner->goTo(steps->steps().at(row).targetUm);
    showMessage(moved.ok() ? QString() : moved.message, !moved.ok());
}

QString SequenceWindow::runOrigin() const
{
    if (currentFile.isEmpty())
        return tr("the sequence window's table, not saved");
    if (steps->isModified())
        return tr("%1, edited since it was saved").arg(currentFile);
    return currentFile;
}

void SequenceWindow::run()
{
    steps->clearMarks(SequenceModel::Mark::Refused);
    steps->clearMarks(SequenceModel::Mark::TimedOut);
    steps->clearMarks(SequenceModel::Mark::Current);
    highlighted = -1;
    runner->setToleranceUm(toleranceBox->value());
    runner->setTimeoutMs(timeoutBox->value() * 1000);
    ownRun = true;
    const SequenceRunner::Refusal refusal = runner->start(
        steps->steps(), repeatBox->value(), backAndForthBox->isChecked(), runOrigin());
    if (!refusal.ok()) {
        ownRun = false;
        for (int row : refusal.rows)
            steps->mark(row, SequenceModel::Mark::Refused, refusal.message);
        if (!refusal.rows.isEmpty())
            selectRow(refusal.rows.first());
        showMessage(refusal.message, true);
        updateControls();
        return;
    }
    if (runner->isRunning())
        showMessage(QString(), false);
}

void SequenceWindow::onProgress()
{
    if (runner->isRunning() && ownRun) {
        const int row = runner->row();
        if (row != highlighted) {
            if (highlighted >= 0 && steps->markOf(highlighted) == SequenceModel::Mark::Current)
                steps->mark(highlighted, SequenceModel::Mark::None);
            if (steps->markOf(row) != SequenceModel::Mark::TimedOut)
                steps->mark(row, SequenceModel::Mark::Current, tr("Running"));
            highlighted = row;
            table->scrollTo(steps->index(row, 0));
        }
        if (runner->state() == SequenceRunner::State::Moving)
            steps->clearMarks(SequenceModel::Mark::TimedOut);
    }
    const qint64 total = runner->totalSteps();
    if (total > 0 && runner->isRunning())
        progressBar->setValue(int(runner->stepsDone() * 1000 / total));
    if (runner->isRunning()) {
        if (!refresh->isActive())
            refresh->start();
        QString text = tr("Step %1 of %2, repeat %3 of %4")
                           .arg(runner->step())
                           .arg(runner->stepCount())
                           .arg(runner->repeat())
                           .arg(runner->repeatCount());
        if (const auto left = runner->remainingMs())
            text += tr(", about %1 left").arg(duration(*left));
        switch (runner->state()) {
        case SequenceRunner::State::Paused:
            text += tr(" \u2014 paused");
            break;
        case SequenceRunner::State::TimedOut:
            text += tr(" \u2014 did not settle");
            break;
        default:
            if (runner->pausePending())
                text += tr(" \u2014 pausing after this step");
            break;
        }
        progressLabel->setText(text);
    } else {
        refresh->stop();
    }
    updateControls();
}

void SequenceWindow::onTimedOut(int row, const QString &message)
{
    if (ownRun) {
        steps->mark(row, SequenceModel::Mark::TimedOut, message);
        highlighted = row;
    }
    showMessage(message, true);
}

void SequenceWindow::onFinished(const SequenceLog &log, const QString &error)
{
    if (ownRun && error.isEmpty())
        steps->clearMarks(SequenceModel::Mark::Current);
    ownRun = false;
    // A step the run ended in was not done.
    const qint64 done = std::count_if(log.cbegin(), log.cend(), [](const SequenceLogEntry &e) {
        return e.outcome != SequenceLogEntry::Outcome::Aborted;
    });
    if (error.isEmpty()) {
        progressBar->setValue(progressBar->maximum());
        progressLabel->setText(tr("Done: %1").arg(stepsText(done)));
        showMessage(QString(), false);
    } else {
        progressLabel->setText(tr("Ended after %1").arg(stepsText(done)));
        showMessage(error, true);
    }
    updateControls();
}

// A table of its own owes nothing to the run before it.
void SequenceWindow::clearRunStatus()
{
    highlighted = -1;
    progressBar->setValue(0);
    progressLabel->clear();
    showMessage(QString(), false);
}

void SequenceWindow::updateControls()
{
    const bool running = runner->isRunning();
    const SequenceRunner::State state = runner->state();
    QString why;
    const bool available = runner->isAvailable(&why);
    const bool hasRows = steps->rowCount() > 0;
    const bool hasSelection = selectedRow() >= 0;

    steps->setEditable(!running);
    for (QWidget *w :
         std::initializer_list<QWidget *>{addButton, generateButton, openButton, repeatBox,
                                          backAndForthBox, toleranceBox, timeoutBox})
        w->setEnabled(!running);
    for (QWidget *w :
         std::initializer_list<QWidget *>{removeButton, upButton, downButton, duplicateButton})
        w->setEnabled(!running && hasSelection);
    const QUndoStack *history = steps->history();
    undoAction->setEnabled(!running && history->canUndo());
    redoAction->setEnabled(!running && history->canRedo());
    undoButton->setEnabled(undoAction->isEnabled());
    redoButton->setEnabled(redoAction->isEnabled());
    undoButton->setToolTip(
        history->canUndo()
            ? tr("Undo %1 (%2)").arg(history->undoText().toLower(), shortcutText(undoAction))
            : tr("Nothing to undo"));
    redoButton->setToolTip(
        history->canRedo()
            ? tr("Redo %1 (%2)").arg(history->redoText().toLower(), shortcutText(redoAction))
            : tr("Nothing to redo"));
    saveButton->setEnabled(hasRows);
    goButton->setEnabled(!running && available && hasSelection);
    runButton->setEnabled(!running && available && hasRows);
    runButton->setToolTip(available ? QString() : why);
    goButton->setToolTip(available ? tr("Move to the selected row now") : why);
    pauseButton->setEnabled(running && state != SequenceRunner::State::TimedOut);
    pauseButton->setText(state == SequenceRunner::State::Paused || runner->pausePending()
                             ? tr("Res&ume")
                             : tr("&Pause"));
    abortButton->setEnabled(running);
    retryButton->setVisible(state == SequenceRunner::State::TimedOut);
    skipButton->setVisible(state == SequenceRunner::State::TimedOut);
    exportButton->setEnabled(!running && !runner->log().isEmpty());
    reserveHeaderWidth();
}

// The header shows "▶" before the number of the row a run is at; its width is kept for it, so
// that the columns do not move when a run starts.
void SequenceWindow::reserveHeaderWidth()
{
    QHeaderView *header = table->verticalHeader();
    QFont bold = header->font();
    bold.setBold(true);
    const QString widest =
        QStringLiteral("\u25b6 ") +
        QString(QString::number(qMax(1, steps->rowCount())).size(), QLatin1Char('0'));
    header->setMinimumWidth(QFontMetrics(bold).horizontalAdvance(widest) +
                            2 * header->style()->pixelMetric(QStyle::PM_HeaderMargin) + 8);
}

void SequenceWindow::updateTitle()
{
    const QString file = QFileInfo(currentFile).fileName();
    setWindowTitle(file.isEmpty() ? tr("Sequence[*]") : tr("Sequence \u2014 %1[*]").arg(file));
    setWindowModified(steps->isModified());
}

void SequenceWindow::showMessage(const QString &text, bool problem)
{
    messageLabel->setStyleSheet(problem ? QStringLiteral("color: red") : QString());
    messageLabel->setText(text);
}

bool SequenceWindow::openFile(const QString &path)
{
    const SequenceCsv::ParseResult read = SequenceCsv::readFile(path);
    if (!read.ok()) {
        QMessageBox::warning(this, tr("Open sequence"),
                             tr("%1 was not opened.\n%2").arg(path, read.error));
        return false;
    }
    if (!steps->replaceSteps(read.steps, tr("Open %1").arg(QFileInfo(path).fileName())))
        return false;
    steps->history()->setClean();
    currentFile = path;
    updateTitle();
    clearRunStatus();
    return true;
}

bool SequenceWindow::saveFile(const QString &path)
{
    const QString error = SequenceCsv::writeFile(path, steps->steps());
    if (!error.isEmpty()) {
        QMessageBox::warning(this, tr("Save sequence"), error);
        return false;
    }
    steps->history()->setClean();
    currentFile = path;
    updateTitle();
    return true;
}

bool SequenceWindow::exportLog(const QString &path)
{
    const QString error = SequenceCsv::writeLog(path, runner->log(), runner->provenance().header());
    if (!error.isEmpty()) {
        QMessageBox::warning(this, tr("Export log"), error);
        return false;
    }
    return true;
}

bool SequenceWindow::chooseOpen()
{
    const QString path = QFileDialog::getOpenFileName(this, tr("Open sequence"),
                                                      SaveLocation::folder(), tr(kCsvFilter));
    if (path.isEmpty())
        return false;
    SaveLocation::remember(path);
    return openFile(path);
}

bool SequenceWindow::chooseSave()
{
    // A table from a file is proposed back to it; a new one gets a name of its own.
    const QString proposed =
        currentFile.isEmpty()
            ? SaveLocation::proposed(QStringLiteral("sequence"), QStringLiteral("csv"))
            : currentFile;
    const QString path =
        QFileDialog::getSaveFileName(this, tr("Save sequence"), proposed, tr(kCsvFilter));
    if (path.isEmpty())
        return false;
    SaveLocation::remember(path);
    return saveFile(path);
}

bool SequenceWindow::chooseExport()
{
    const QString path = QFileDialog::getSaveFileName(
        this, tr("Export log"),
        SaveLocation::proposed(QStringLiteral("sequence-log"), QStringLiteral("csv")),
        tr(kLogFilter));
    if (path.isEmpty())
        return false;
    SaveLocation::remember(path);
    return exportLog(path);
}

bool SequenceWindow::maybeSave()
{
    if (!steps->isModified())
        return true;
    QMessageBox ask(QMessageBox::Warning, tr("Sequence"),
                    tr("The sequence table has edits that were not saved."),
                    QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel, this);
    ask.setInformativeText(tr("Save them before the panel closes?"));
    ask.setDefaultButton(QMessageBox::Save);
    switch (ask.exec()) {
    case QMessageBox::Save:
        return chooseSave();
    case QMessageBox::Discard:
        return true;
    default:
        return false;
    }
}
