// The sequence window as the operator meets it: Generate asks before it replaces a table, every
// edit can be undone, Add teaches the stage's position, the save dialogs open in the last folder
// with a dated name, unsaved edits are offered for saving when the panel closes, the exported
// log says where it came from and which step was aborted, and nothing jumps while a run goes on.

#include "savelocation.h"
#include "scriptedstage.h"
#include "sequencecsv.h"
#include "sequencemodel.h"
#include "sequencerunner.h"
#include "sequencewindow.h"

#include <QAbstractSpinBox>
#include <QApplication>
#include <QFile>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <QTableView>
#include <QTemporaryDir>
#include <QUndoStack>
#include <QtTest>

#include <functional>

namespace {

// Answers the modal dialogs that open, in order, from a timer; one that nobody expected is
// recorded and cancelled, so that a test fails instead of hanging.
class DialogAnswers : public QObject {
public:
    using Answer = std::function<void(QWidget *)>;

    DialogAnswers()
    {
        poll.setInterval(5);
        connect(&poll, &QTimer::timeout, this, &DialogAnswers::answer);
        poll.start();
    }

    void expect(const Answer &answer) { queue.append(answer); }
    int pending() const { return int(queue.size()); }

    QStringList titles;
    QStringList texts;
    QStringList unexpected;
    // What the last file dialog showed when it opened: its folder and the file it proposed.
    QString dialogFolder;
    QString proposedFile;

    static Answer click(QMessageBox::StandardButton which)
    {
        return [which](QWidget *dialog) {
            auto *box = qobject_cast<QMessageBox *>(dialog);
            QVERIFY(box);
            QVERIFY(box->button(which));
            box->button(which)->click();
        };
    }
    Answer choose(const QString &path)
    {
        return [this, path](QWidget *dialog) {
            auto *files = qobject_cast<QFileDialog *>(dialog);
            QVERIFY(files);
            dialogFolder = files->directory().absolutePath();
            proposedFile = files->selectedFiles().value(0);
            files->selectFile(path);
            static_cast<QDialog *>(files)->accept(); // QFileDialog::accept checks the choice
        };
    }
    Answer cancelFiles()
    {
        return [this](QWidget *dialog) {
            auto *files = qobject_cast<QFileDialog *>(dialog);
            QVERIFY(files);
            dialogFolder = files->directory().absolutePath();
            proposedFile = files->selectedFiles().value(0);
            files->reject();
        };
    }

private:
    void answer()
    {
        auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget());
        if (!dialog || !dialog->isVisible() || dialog == answered)
            return;
        answered = dialog;
        titles << dialog->windowTitle();
        if (auto *box = qobject_cast<QMessageBox *>(dialog))
            texts << box->text();
        if (queue.isEmpty()) {
            unexpected << dialog->windowTitle();
            dialog->reject();
            return;
        }
        queue.takeFirst()(dialog);
    }

    QTimer poll;
    QList<Answer> queue;
    QPointer<QDialog> answered;
};

struct Rig {
    ScriptedStage stage;
    SequenceRunner runner{&stage};
    SequenceWindow window{&runner};
    DialogAnswers dialogs;

    Rig()
    {
        stage.change([](PanelState &s) {
            s.connected = true;
            s.port = QStringLiteral("/dev/ttyUSB0");
            s.model = QStringLiteral("1901");
            s.firmware = QStringLiteral("3.12");
            s.lineSettings = QStringLiteral("115200, 8, None, 1");
            s.homed = true;
            s.closedLoop = true;
            s.positionUm = 0.0;
        });
    }

    bool shown()
    {
        window.show();
        window.activateWindow();
        return QTest::qWaitForWindowActive(&window);
    }

    template <typename T = QPushButton> T *find(const char *name) const
    {
        T *found = window.findChild<T *>(QLatin1String(name));
        if (!found)
            qWarning("no %s in the sequence window", name);
        return found;
    }
    void click(const char *name) { QTest::mouseClick(find(name), Qt::LeftButton); }
    QTableView *table() const { return find<QTableView>("tableView_Steps"); }
    QString message() const { return find<QLabel>("label_Message")->text(); }
    QString progress() const { return find<QLabel>("label_Progress")->text(); }
    SequenceSteps rows() const { return window.model()->steps(); }
    void select(int row) { table()->selectRow(row); }
    int selected() const
    {
        const QModelIndexList rows = table()->selectionModel()->selectedRows();
        return rows.isEmpty() ? -1 : rows.first().row();
    }
    QString rowHeader(int row) const
    {
        return window.model()->headerData(row, Qt::Vertical).toString();
    }

    // The step being run settles where it should.
    void settle()
    {
        const double target = runner.steps().at(runner.row()).targetUm;
        for (int i = 0; i < 3; ++i)
            stage.report(target);
    }
};

void typeInto(Rig &r, int row, int column, const QString &text)
{
    QTableView *table = r.table();
    const QModelIndex index = r.window.model()->index(row, column);
    table->setCurrentIndex(index);
    table->edit(index);
    QWidget *editor = table->findChild<QAbstractSpinBox *>();
    auto *line = table->findChild<QLineEdit *>();
    if (!editor)
        editor = line;
    QVERIFY(editor && line);
    line->selectAll();
    QTest::keyClicks(editor, text);
    QTest::keyClick(editor, Qt::Key_Return);
    QTRY_VERIFY(!table->findChild<QLineEdit *>());
}

const SequenceSteps kThree = {{"a", 10.0, 0}, {"b", 20.0, 0}, {"c", 30.0, 0}};

} // namespace

Q_DECLARE_METATYPE(SequenceStep)

class TestSequenceWindow : public QObject {
    Q_OBJECT

private slots:
    void init();
    void generateAsksBeforeReplacing_data();
    void generateAsksBeforeReplacing();
    void undoRestoresEveryEdit_data();
    void undoRestoresEveryEdit();
    void addTeachesTheStagePosition();
    void scanCountsPositionsAndFitsBesideThePanel();
    void exportedLogSaysWhereItCameFromAndWhatWasAborted();
    void progressCountsSteps_data();
    void progressCountsSteps();
    void refusedRowsAreCountedRight_data();
    void refusedRowsAreCountedRight();
    void aNewFileClearsThePreviousRun();
    void currentStepIsNotTheSelection();
    void statusLinesKeepTheLayout();
    void unsavedEditsAreOfferedForSaving_data();
    void unsavedEditsAreOfferedForSaving();
    void dialogsOpenInTheLastFolderWithADatedName();

private:
    QTemporaryDir dir;
};

void TestSequenceWindow::init()
{
    SaveLocation::remember(dir.filePath(QStringLiteral("start.csv")));
}

void TestSequenceWindow::generateAsksBeforeReplacing_data()
{
    QTest::addColumn<bool>("emptyTable");
    QTest::addColumn<int>("answer"); // the button the operator clicks, if asked
    QTest::addColumn<bool>("replaced");
    QTest::newRow("Replace") << false << int(QMessageBox::Ok) << true;
    QTest::newRow("Cancel") << false << int(QMessageBox::Cancel) << false;
    QTest::newRow("an empty table is not asked about") << true << 0 << true;
}

void TestSequenceWindow::generateAsksBeforeReplacing()
{
    QFETCH(bool, emptyTable);
    QFETCH(int, answer);
    QFETCH(bool, replaced);
    Rig r;
    r.window.model()->setSteps(emptyTable ? SequenceSteps() : kThree);
    const SequenceSteps before = r.rows();
    if (answer)
        r.dialogs.expect(DialogAnswers::click(QMessageBox::StandardButton(answer)));
    r.click("pushButton_Generate");
    QCOMPARE(r.dialogs.pending(), 0);
    QCOMPARE(r.dialogs.unexpected, QStringList());
    if (answer) {
        QCOMPARE(r.dialogs.titles, QStringList{"Generate"});
        QCOMPARE(r.dialogs.texts,
                 QStringList{"Replace the 3 rows of the table with a scan of 5 positions?"});
    }
    QCOMPARE(r.rows(), replaced ? Sequence::linearScan(0.0, 1000.0, 5, 200, false) : before);
    QCOMPARE(r.window.isWindowModified(), replaced);
}

void TestSequenceWindow::undoRestoresEveryEdit_data()
{
    QTest::addColumn<QString>("edit");
    QTest::addColumn<SequenceSteps>("after");
    QTest::newRow("type a target")
        << "target" << SequenceSteps{{"a", 10.0, 0}, {"b", 12.5, 0}, {"c", 30.0, 0}};
    QTest::newRow("type a label") << "label"
                                  << SequenceSteps{
                                         {"a", 10.0, 0}, {"edge", 20.0, 0}, {"c", 30.0, 0}};
    QTest::newRow("Remove") << "pushButton_Remove" << SequenceSteps{{"a", 10.0, 0}, {"c", 30.0, 0}};
    QTest::newRow("Up") << "pushButton_Up"
                        << SequenceSteps{{"b", 20.0, 0}, {"a", 10.0, 0}, {"c", 30.0, 0}};
    QTest::newRow("Down") << "pushButton_Down"
                          << SequenceSteps{{"a", 10.0, 0}, {"c", 30.0, 0}, {"b", 20.0, 0}};
    QTest::newRow("Duplicate") << "pushButton_Duplicate"
                               << SequenceSteps{{"a", 10.0, 0},
                                                {"b", 20.0, 0},
                                                {"b", 20.0, 0},
                                                {"c", 30.0, 0}};
    QTest::newRow("Add") << "pushButton_Add"
                         << SequenceSteps{
                                {"a", 10.0, 0}, {"b", 20.0, 0}, {"4", 0.0, 0}, {"c", 30.0, 0}};
    QTest::newRow("Generate") << "pushButton_Generate"
                              << Sequence::linearScan(0.0, 1000.0, 5, 200, false);
    QTest::newRow("Open") << "open" << SequenceSteps{{"from a file", 77.0, 7}};
}

void TestSequenceWindow::undoRestoresEveryEdit()
{
    QFETCH(QString, edit);
    QFETCH(SequenceSteps, after);
    Rig r;
    QVERIFY(r.shown());
    r.window.model()->setSteps(kThree);
    QVERIFY(!r.window.isWindowModified());
    QVERIFY(!r.find("pushButton_Undo")->isEnabled());
    r.select(1);
    if (edit == QLatin1String("target")) {
        typeInto(r, 1, SequenceModel::TargetColumn, QStringLiteral("12.5"));
    } else if (edit == QLatin1String("label")) {
        typeInto(r, 1, SequenceModel::LabelColumn, QStringLiteral("edge"));
    } else if (edit == QLatin1String("open")) {
        const QString path = dir.filePath(QStringLiteral("undo-open.csv"));
        QCOMPARE(SequenceCsv::writeFile(path, after), QString());
        QVERIFY(r.window.openFile(path));
    } else {
        if (edit == QLatin1String("pushButton_Generate"))
            r.dialogs.expect(DialogAnswers::click(QMessageBox::Ok));
        r.click(qPrintable(edit));
    }
    QCOMPARE(r.rows(), after);
    QCOMPARE(r.dialogs.unexpected, QStringList());
    // Open makes the table the file's: nothing to save, yet the old table is one Ctrl+Z away.
    QCOMPARE(r.window.isWindowModified(), edit != QLatin1String("open"));
    QVERIFY(r.find("pushButton_Undo")->isEnabled());
    QVERIFY2(r.find("pushButton_Undo")->toolTip().startsWith(QLatin1String("Undo ")),
             qPrintable(r.find("pushButton_Undo")->toolTip()));

    // Back in the window (a question box may have had the focus).
    r.window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&r.window));
    r.table()->setFocus();
    QTest::keySequence(&r.window, QKeySequence::Undo);
    QCOMPARE(r.rows(), kThree);
    QCOMPARE(r.window.isWindowModified(), edit == QLatin1String("open"));
    QTest::keySequence(&r.window, QKeySequence::Redo);
    QCOMPARE(r.rows(), after);
    r.click("pushButton_Undo");
    QCOMPARE(r.rows(), kThree);
    r.click("pushButton_Redo");
    QCOMPARE(r.rows(), after);
}

void TestSequenceWindow::addTeachesTheStagePosition()
{
    Rig r;
    r.window.model()->setSteps(kThree);
    r.stage.change([](PanelState &s) { s.positionUm = 123.456; });
    r.select(0);
    r.click("pushButton_Add");
    // After the selected row, at the position as the target box would send it, and selected.
    QCOMPARE(r.rows().at(1), (SequenceStep{"4", 123.46, 0}));
    QCOMPARE(r.selected(), 1);
    r.stage.change([](PanelState &s) { s.positionUm = -7.0; });
    r.table()->clearSelection();
    r.click("pushButton_Add");
    QCOMPARE(r.rows().last(), (SequenceStep{"5", -7.0, 0}));

    // With no controller there is no position to teach: the row is like the selected one.
    r.stage.change([](PanelState &s) { s.connected = false; });
    r.select(2);
    r.click("pushButton_Add");
    QCOMPARE(r.rows().at(3), (SequenceStep{"6", 20.0, 0}));
}

void TestSequenceWindow::scanCountsPositionsAndFitsBesideThePanel()
{
    Rig r;
    QStringList captions;
    for (const QLabel *label : r.window.findChildren<QLabel *>())
        captions << label->text();
    QVERIFY2(captions.contains(QStringLiteral("positions")), qPrintable(captions.join(" | ")));
    QVERIFY(captions.filter(QStringLiteral("steps")).isEmpty());
    // Its width leaves room for the panel beside it on a 1366 px laptop screen.
    QVERIFY2(r.window.minimumSizeHint().width() <= 760,
             qPrintable(QString::number(r.window.minimumSizeHint().width())));
}

void TestSequenceWindow::exportedLogSaysWhereItCameFromAndWhatWasAborted()
{
    Rig r;
    QVERIFY(r.shown());
    const QString plan = dir.filePath(QStringLiteral("plan.csv"));
    QCOMPARE(SequenceCsv::writeFile(plan, kThree), QString());
    QVERIFY(r.window.openFile(plan));
    r.click("pushButton_Run");
    QVERIFY(r.runner.isRunning());
    r.settle();
    QCOMPARE(r.runner.row(), 1);
    r.click("pushButton_Abort");
    QVERIFY(!r.runner.isRunning());
    QCOMPARE(r.progress(), QStringLiteral("Ended after 1 step"));

    const QString path = dir.filePath(QStringLiteral("run.csv"));
    r.dialogs.expect(r.dialogs.choose(path));
    r.click("pushButton_ExportLog");
    QCOMPARE(r.dialogs.pending(), 0);
    QCOMPARE(r.dialogs.titles, QStringList{"Export log"});
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = file.readAll().split('\n');
    const int header = int(lines.indexOf(SequenceCsv::kLogHeader));
    QVERIFY2(header > 0, lines.join('\n').constData());
    const QList<QByteArray> provenance = lines.mid(0, header);
    for (const QByteArray &line : provenance)
        QVERIFY2(line.startsWith("# "), line.constData());
    const QByteArray said = provenance.join('\n');
    for (const QByteArray &line :
         {QByteArray("# port: /dev/ttyUSB0"), QByteArray("# model: DVX1901"),
          QByteArray("# tolerance_um: 0.5"), "# sequence: " + plan.toUtf8(),
          QByteArray("# steps: 3"), QByteArray("# repeats: 1"),
          QByteArray("# run_result: Aborted at step 2 of 3 (\"b\"), repeat 1 of 1")})
        QVERIFY2(said.contains(line), said.constData());
    QVERIFY2(lines.value(header + 1).startsWith("1,1,1,a,10,10,"),
             lines.value(header + 1).constData());
    QVERIFY2(lines.value(header + 1).endsWith(",settled"), lines.value(header + 1).constData());
    QVERIFY2(lines.value(header + 2).startsWith("1,2,2,b,20,,"),
             lines.value(header + 2).constData());
    QVERIFY2(lines.value(header + 2).endsWith(",aborted"), lines.value(header + 2).constData());
    QCOMPARE(lines.value(header + 3), QByteArray());
}

void TestSequenceWindow::progressCountsSteps_data()
{
    QTest::addColumn<int>("rows");
    QTest::addColumn<QString>("done");
    QTest::newRow("one") << 1 << "Done: 1 step";
    QTest::newRow("two") << 2 << "Done: 2 steps";
}

void TestSequenceWindow::progressCountsSteps()
{
    QFETCH(int, rows);
    QFETCH(QString, done);
    Rig r;
    r.window.model()->setSteps(kThree.mid(0, rows));
    r.click("pushButton_Run");
    for (int i = 0; i < rows; ++i)
        r.settle();
    QCOMPARE(r.progress(), done);
}

void TestSequenceWindow::refusedRowsAreCountedRight_data()
{
    QTest::addColumn<SequenceSteps>("steps");
    QTest::addColumn<QString>("message");
    QTest::newRow("one row") << SequenceSteps{{"in", 10.0, 0}, {"out", 7000.0, 0}}
                             << "Row 2 lies beyond the travel (-250 to 6250 \u00b5m)";
    QTest::newRow("two rows") << SequenceSteps{{"a", 1.0, 0},
                                               {"b", 1.0, 0},
                                               {"c", -300.0, 0},
                                               {"d", 1.0, 0},
                                               {"e", 9000.0, 0}}
                              << "Rows 3 and 5 lie beyond the travel (-250 to 6250 \u00b5m)";
}

void TestSequenceWindow::refusedRowsAreCountedRight()
{
    QFETCH(SequenceSteps, steps);
    QFETCH(QString, message);
    Rig r;
    r.window.model()->setSteps(steps);
    r.click("pushButton_Run");
    QVERIFY(!r.runner.isRunning());
    QCOMPARE(r.message(), message);
}

void TestSequenceWindow::aNewFileClearsThePreviousRun()
{
    Rig r;
    r.window.model()->setSteps(kThree);
    r.click("pushButton_Run");
    r.settle();
    r.click("pushButton_Abort");
    QVERIFY(!r.message().isEmpty());
    QVERIFY(!r.progress().isEmpty());
    QVERIFY(r.find<QProgressBar>("progressBar")->value() > 0);
    QCOMPARE(r.window.model()->markOf(1), SequenceModel::Mark::Current);

    const QString path = dir.filePath(QStringLiteral("next.csv"));
    QCOMPARE(SequenceCsv::writeFile(path, {{"next", 5.0, 0}, {"then", 6.0, 0}}), QString());
    QVERIFY(r.window.openFile(path));
    QCOMPARE(r.message(), QString());
    QCOMPARE(r.progress(), QString());
    QCOMPARE(r.find<QProgressBar>("progressBar")->value(), 0);
    QCOMPARE(r.window.model()->markOf(1), SequenceModel::Mark::None);
    QCOMPARE(r.rowHeader(1), QStringLiteral("2"));
    // The run's log is still there to export.
    QVERIFY(r.find("pushButton_ExportLog")->isEnabled());
}

void TestSequenceWindow::currentStepIsNotTheSelection()
{
    Rig r;
    QVERIFY(r.shown());
    r.window.model()->setSteps(kThree);
    r.select(2);
    const int columnsAt = r.table()->viewport()->mapTo(&r.window, QPoint()).x();
    r.click("pushButton_Run");
    QVERIFY(r.runner.isRunning());
    // The row being run says so in its number, in bold; the operator's selection stays put.
    QCOMPARE(r.rowHeader(0), QStringLiteral("\u25b6 1"));
    QVERIFY(r.window.model()->headerData(0, Qt::Vertical, Qt::FontRole).value<QFont>().bold());
    QVERIFY(
        r.window.model()->data(r.window.model()->index(0, 0), Qt::FontRole).value<QFont>().bold());
    QCOMPARE(r.rowHeader(2), QStringLiteral("3"));
    QCOMPARE(r.selected(), 2);
    // Its colour is not the selection's.
    const QColor current = r.window.model()
                               ->data(r.window.model()->index(0, 0), Qt::BackgroundRole)
                               .value<QBrush>()
                               .color();
    QVERIFY(current != r.table()->palette().color(QPalette::Active, QPalette::Highlight));
    QVERIFY(current != r.table()->palette().color(QPalette::Inactive, QPalette::Highlight));
    // Its text stays dark on the light mark whatever the palette, a dark one included.
    QCOMPARE(r.window.model()
                 ->data(r.window.model()->index(0, 0), Qt::ForegroundRole)
                 .value<QBrush>()
                 .color(),
             QColor(Qt::black));
    r.settle();
    QCOMPARE(r.rowHeader(0), QStringLiteral("1"));
    QCOMPARE(r.rowHeader(1), QStringLiteral("\u25b6 2"));
    QCOMPARE(r.selected(), 2);
    // The marker does not push the columns aside.
    QCoreApplication::processEvents();
    QCOMPARE(r.table()->viewport()->mapTo(&r.window, QPoint()).x(), columnsAt);
    r.click("pushButton_Abort");
}

void TestSequenceWindow::statusLinesKeepTheLayout()
{
    Rig r;
    QVERIFY(r.shown());
    const auto layout = [&r] {
        QList<QRect> places;
        for (QWidget *w : std::initializer_list<QWidget *>{
                 r.table(), r.find("pushButton_Run"), r.find("pushButton_Open"),
                 r.find("pushButton_Generate"), r.find<QProgressBar>("progressBar")})
            places << QRect(w->mapTo(&r.window, QPoint()), w->size());
        return places;
    };
    const QList<QRect> before = layout();

    // A refusal, a run's progress, a step that does not settle (a message of two lines, and
    // Retry and Skip), and the run's end.
    r.window.model()->setSteps({{"far", 9000.0, 0}});
    r.click("pushButton_Run");
    QVERIFY(!r.message().isEmpty());
    QCoreApplication::processEvents();
    QCOMPARE(layout(), before);
    r.window.model()->setSteps({{"near", 10.0, 0}});
    r.find<QSpinBox>("spinBox_Timeout")->setValue(1);
    r.click("pushButton_Run");
    QVERIFY(!r.progress().isEmpty());
    QCoreApplication::processEvents();
    QCOMPARE(layout(), before);
    QTRY_VERIFY_WITH_TIMEOUT(r.find("pushButton_Retry")->isVisible(), 10000);
    QVERIFY2(r.message().size() > 120, qPrintable(r.message()));
    QCoreApplication::processEvents();
    QCOMPARE(layout(), before);
    r.click("pushButton_Abort");
    QCoreApplication::processEvents();
    QCOMPARE(layout(), before);
}

void TestSequenceWindow::unsavedEditsAreOfferedForSaving_data()
{
    QTest::addColumn<bool>("edited");
    QTest::addColumn<int>("answer");     // the message box's button, 0 for no box
    QTest::addColumn<int>("fileDialog"); // 0 none, 1 a file chosen, 2 cancelled
    QTest::addColumn<bool>("closes");
    QTest::newRow("nothing edited") << false << 0 << 0 << true;
    QTest::newRow("Discard") << true << int(QMessageBox::Discard) << 0 << true;
    QTest::newRow("Cancel") << true << int(QMessageBox::Cancel) << 0 << false;
    QTest::newRow("Save to a file") << true << int(QMessageBox::Save) << 1 << true;
    QTest::newRow("Save, then no file") << true << int(QMessageBox::Save) << 2 << false;
}

void TestSequenceWindow::unsavedEditsAreOfferedForSaving()
{
    QFETCH(bool, edited);
    QFETCH(int, answer);
    QFETCH(int, fileDialog);
    QFETCH(bool, closes);
    Rig r;
    r.window.model()->setSteps(kThree);
    if (edited)
        r.window.model()->removeStep(0);
    const QString path = dir.filePath(QStringLiteral("kept-%1.csv").arg(QTest::currentDataTag()));
    if (answer)
        r.dialogs.expect(DialogAnswers::click(QMessageBox::StandardButton(answer)));
    if (fileDialog == 1)
        r.dialogs.expect(r.dialogs.choose(path));
    else if (fileDialog == 2)
        r.dialogs.expect(r.dialogs.cancelFiles());
    QCOMPARE(r.window.maybeSave(), closes);
    QCOMPARE(r.dialogs.pending(), 0);
    QCOMPARE(r.dialogs.unexpected, QStringList());
    if (answer) {
        QCOMPARE(r.dialogs.titles.first(), QStringLiteral("Sequence"));
        QCOMPARE(r.dialogs.texts.first(),
                 QStringLiteral("The sequence table has edits that were not saved."));
    }
    QCOMPARE(QFile::exists(path), fileDialog == 1);
    if (fileDialog == 1) {
        QCOMPARE(SequenceCsv::readFile(path).steps, r.rows());
        // Saved: nothing more to ask.
        QVERIFY(!r.window.isWindowModified());
        QVERIFY(r.window.maybeSave());
        QCOMPARE(r.dialogs.titles.size(), 2);
    }
}

void TestSequenceWindow::dialogsOpenInTheLastFolderWithADatedName()
{
    Rig r;
    const QString folder = dir.filePath(QStringLiteral("experiment"));
    QVERIFY(QDir().mkpath(folder));
    SaveLocation::remember(QDir(folder).filePath(QStringLiteral("trace.csv")));
    const QRegularExpression dated(
        QStringLiteral("^sequence-\\d{4}-\\d\\d-\\d\\dT\\d\\d-\\d\\d-\\d\\d\\.csv$"));

    const QString saved = QDir(folder).filePath(QStringLiteral("plan.csv"));
    r.dialogs.expect(r.dialogs.choose(saved));
    r.click("pushButton_Save");
    QCOMPARE(r.dialogs.titles, QStringList{"Save sequence"});
    QCOMPARE(r.dialogs.dialogFolder, folder);
    const QString proposed = QFileInfo(r.dialogs.proposedFile).fileName();
    QVERIFY2(dated.match(proposed).hasMatch(), qPrintable(proposed));
    QVERIFY(QFile::exists(saved));
    QCOMPARE(r.window.windowTitle(), QStringLiteral("Sequence \u2014 plan.csv[*]"));

    // A table from a file is proposed back to that file.
    r.dialogs.expect(r.dialogs.cancelFiles());
    r.click("pushButton_Save");
    QCOMPARE(r.dialogs.proposedFile, saved);

    // Open starts where the last file went; what is chosen there becomes the last folder.
    const QString other = dir.filePath(QStringLiteral("elsewhere"));
    QVERIFY(QDir().mkpath(other));
    const QString opened = QDir(other).filePath(QStringLiteral("old.csv"));
    QCOMPARE(SequenceCsv::writeFile(opened, {{"old", 1.0, 0}}), QString());
    r.dialogs.expect(r.dialogs.choose(opened));
    r.click("pushButton_Open");
    QCOMPARE(r.dialogs.dialogFolder, folder);
    QCOMPARE(r.rows(), (SequenceSteps{{"old", 1.0, 0}}));
    QCOMPARE(SaveLocation::folder(), other);

    // Export log proposes a dated log name in that folder.
    r.click("pushButton_Run");
    r.settle();
    r.dialogs.expect(r.dialogs.cancelFiles());
    r.click("pushButton_ExportLog");
    QCOMPARE(r.dialogs.dialogFolder, other);
    const QString log = QFileInfo(r.dialogs.proposedFile).fileName();
    QVERIFY2(
        QRegularExpression(QStringLiteral("^sequence-log-\\d{4}-.*\\.csv$")).match(log).hasMatch(),
        qPrintable(log));
    QCOMPARE(r.dialogs.unexpected, QStringList());
}

QTEST_MAIN(TestSequenceWindow)
#include "tst_sequencewindow.moc"
