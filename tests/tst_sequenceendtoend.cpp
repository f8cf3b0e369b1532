// Sequences on the real panel against dvxsim: a scan run from the Sequence window settles at
// every row and its log matches what went over the line; the panel's own move controls are
// locked meanwhile; Stop, a lost line and rows beyond the travel each end or refuse the run.

#include "console.h"
#include "messageboxwatcher.h"
#include "probe.h"
#include "sequencemodel.h"
#include "sequencerunner.h"
#include "sequencewindow.h"
#include "simulatorprocess.h"

#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <QTableView>
#include <QtTest>

#include <memory>

namespace {

constexpr int kMarginMs = 5000;

// The servo's own settling makes the wait do real work, where the simulator offers it.
QStringList withDynamics(QStringList arguments)
{
    QProcess help;
    help.start(QString::fromLocal8Bit(qgetenv("DVXSIM")), {QStringLiteral("--help")});
    help.waitForFinished(5000);
    if (help.readAllStandardOutput().contains("--dynamics"))
        arguments << QStringLiteral("--dynamics") << QStringLiteral("second-order");
    return arguments;
}

struct Rig {
    MessageBoxWatcher boxes;
    SimulatorProcess simulator;
    Panel panel;
    MainWindow &window = panel.window();
    MainWindowProbe probe{window};
    SequenceWindow *sequence = nullptr;
    SequenceRunner *runner = nullptr;

    Ui::MainWindow *ui() const { return probe.ui(); }

    template <typename T> T *find(const char *name) const
    {
        return sequence->findChild<T *>(QLatin1String(name));
    }

    // Connected, identified, homed, with the sequence window open from the tool bar.
    bool ready(const QStringList &arguments)
    {
        if (!simulator.start(withDynamics(arguments)))
            return false;
        window.show();
        panel.preselectPort(simulator.terminal);
        ui()->actionConnect->trigger();
        if (!QTest::qWaitFor([this] { return ui()->pushButton_home->isEnabled(); }, kMarginMs))
            return false;
        QTest::mouseClick(ui()->pushButton_home, Qt::LeftButton);
        ui()->actionSequence->trigger();
        sequence = window.findChild<SequenceWindow *>();
        runner = panel.sequenceRunner();
        return sequence && sequence->isVisible() &&
               QTest::qWaitFor([this] { return find<QPushButton>("pushButton_Run")->isEnabled(); },
                               kMarginMs);
    }

    void generate(double from, double to, int count, int dwellMs)
    {
        find<QDoubleSpinBox>("doubleSpinBox_From")->setValue(from);
        find<QDoubleSpinBox>("doubleSpinBox_To")->setValue(to);
        find<QSpinBox>("spinBox_Steps")->setValue(count);
        find<QSpinBox>("spinBox_Dwell")->setValue(dwellMs);
        // Generate asks before it replaces the table; the watcher answers Replace.
        const int asked = boxes.count();
        QTest::mouseClick(find<QPushButton>("pushButton_Generate"), Qt::LeftButton);
        QCOMPARE(boxes.count(), asked + 1);
        QCOMPARE(boxes.titles.takeLast(), QStringLiteral("Generate"));
        boxes.texts.removeLast();
        boxes.informativeTexts.removeLast();
    }

    // The absolute moves the console shows, in µm.
    QVector<double> consoleMoves() const
    {
        QVector<double> moves;
        const QRegularExpression move(QStringLiteral("^>ma (-?[0-9.e+]+)$"));
        QString text = probe.console()->toPlainText();
        text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
        for (const QString &line : text.split(QLatin1Char('\n'))) {
            const QRegularExpressionMatch m = move.match(line.trimmed());
            if (m.hasMatch())
                moves << m.captured(1).toDouble() / 10.0;
        }
        return moves;
    }

    QString message() const { return find<QLabel>("label_Message")->text(); }
};

} // namespace

class TestSequenceEndToEnd : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void scanSettlesAndLogsWhatWasSent();
    void stopButtonEndsTheRun();
    void lostLineEndsTheRun();
    void rowsBeyondTheTravelAreRefused();
    void closingThePanelMidRun();
};

void TestSequenceEndToEnd::initTestCase()
{
    if (qEnvironmentVariableIsEmpty("DVXSIM"))
        QSKIP("DVXSIM names no simulator; configure with the simulator to run these tests");
}

void TestSequenceEndToEnd::scanSettlesAndLogsWhatWasSent()
{
    Rig r;
    QVERIFY(r.ready({}));
    r.generate(100.0, 500.0, 5, 200);
    QCOMPARE(r.sequence->model()->rowCount(), 5);
    QSignalSpy finished(r.runner, &SequenceRunner::finished);

    QTest::mouseClick(r.find<QPushButton>("pushButton_Run"), Qt::LeftButton);
    QVERIFY(r.runner->isRunning());
    // The panel's own move controls are locked while the run goes; Stop is not.
    QVERIFY(!r.ui()->doubleSpinBox_Position->isEnabled());
    QVERIFY(!r.ui()->pushButton_home->isEnabled());
    QVERIFY(!r.ui()->horizontalSlider->isEnabled());
    QVERIFY(!r.ui()->tabWidget_LoopMode->isEnabled());
    QVERIFY(r.ui()->pushButton_stop->isEnabled());
    QVERIFY(!r.find<QPushButton>("pushButton_Run")->isEnabled());
    QVERIFY(r.find<QPushButton>("pushButton_Abort")->isEnabled());
    QCOMPARE(r.sequence->model()->markOf(0), SequenceModel::Mark::Current);

    QVERIFY(finished.wait(30000));
    QCOMPARE(finished.first().at(1).toString(), QString());
    const SequenceLog log = r.runner->log();
    QCOMPARE(log.size(), 5);
    QVector<double> planned;
    for (const SequenceLogEntry &e : log) {
        planned << e.targetUm;
        QVERIFY(e.settledUm.has_value());
        QVERIFY2(std::abs(*e.settledUm - e.targetUm) <= r.runner->toleranceUm(),
                 qPrintable(QString::number(*e.settledUm)));
    }
    QCOMPARE(planned, (QVector<double>{100.0, 200.0, 300.0, 400.0, 500.0}));
    QCOMPARE(r.consoleMoves(), planned);
    for (int i = 1; i < log.size(); ++i)
        QVERIFY(log[i].startedMsUtc - log[i - 1].startedMsUtc >= 200);

    // The panel's controls come back as they were; the window says it is done.
    QVERIFY(r.ui()->doubleSpinBox_Position->isEnabled());
    QVERIFY(r.ui()->pushButton_home->isEnabled());
    QVERIFY(r.ui()->tabWidget_LoopMode->isEnabled());
    QCOMPARE(r.find<QLabel>("label_Progress")->text(), QStringLiteral("Done: 5 steps"));
    QVERIFY(r.find<QPushButton>("pushButton_ExportLog")->isEnabled());
    QCOMPARE(r.sequence->model()->markOf(4), SequenceModel::Mark::None);
    QCOMPARE(r.boxes.count(), 0);
}

void TestSequenceEndToEnd::stopButtonEndsTheRun()
{
    Rig r;
    QVERIFY(r.ready({}));
    r.generate(0.0, 4000.0, 3, 5000);
    QSignalSpy finished(r.runner, &SequenceRunner::finished);
    QTest::mouseClick(r.find<QPushButton>("pushButton_Run"), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(r.runner->state() == SequenceRunner::State::Dwelling, kMarginMs);
    QTest::mouseClick(r.ui()->pushButton_stop, Qt::LeftButton);
    QCOMPARE(finished.size(), 1);
    QVERIFY2(r.message().startsWith(QLatin1String("Stopped by the operator at step 1 of 3")),
             qPrintable(r.message()));
    // One Stop on the line, and no move after it.
    const QString console = r.probe.console()->toPlainText();
    QCOMPARE(console.count(QLatin1String(">stop")), 2); // Home's and the operator's
    QVERIFY(console.lastIndexOf(QLatin1String(">ma")) <
            console.lastIndexOf(QLatin1String(">stop")));
    QTest::qWait(300);
    QCOMPARE(r.consoleMoves().size(), 1);
    QVERIFY(r.ui()->doubleSpinBox_Position->isEnabled());
}

void TestSequenceEndToEnd::lostLineEndsTheRun()
{
    Rig r;
    QVERIFY(r.ready({QStringLiteral("--hangup-after"), QStringLiteral("3")}));
    r.generate(0.0, 100.0, 50, 100);
    QSignalSpy finished(r.runner, &SequenceRunner::finished);
    QTest::mouseClick(r.find<QPushButton>("pushButton_Run"), Qt::LeftButton);
    QVERIFY(finished.wait(3000 + kMarginMs));
    const QString error = finished.first().at(1).toString();
    QVERIFY2(error.startsWith(QLatin1String("The link to the controller was lost at step ")),
             qPrintable(error));
    QCOMPARE(r.message(), error);
    QVERIFY(!r.runner->isRunning());
    // The panel told the operator too, and nothing is retried.
    QTRY_COMPARE(r.boxes.count(), 1);
    QCOMPARE(r.boxes.titles.first(), QStringLiteral("Critical Error"));
    QVERIFY(!r.probe.serialPort()->isOpen());
    QVERIFY(!r.ui()->doubleSpinBox_Position->isEnabled());
    QVERIFY(!r.find<QPushButton>("pushButton_Run")->isEnabled());
    // The row it reached stays marked.
    const int reached =
        QRegularExpression(QStringLiteral("at step (\\d+) of")).match(error).captured(1).toInt();
    QVERIFY2(reached >= 1, qPrintable(error));
    QCOMPARE(r.sequence->model()->markOf(reached - 1), SequenceModel::Mark::Current);
}

void TestSequenceEndToEnd::rowsBeyondTheTravelAreRefused()
{
    Rig r;
    QVERIFY(r.ready({}));
    r.sequence->model()->setSteps(
        {{"in", 6250.0, 0}, {"over", 6250.5, 0}, {"low", -250.0, 0}, {"under", -300.0, 0}});
    QTest::mouseClick(r.find<QPushButton>("pushButton_Run"), Qt::LeftButton);
    QVERIFY(!r.runner->isRunning());
    QCOMPARE(r.message(),
             QStringLiteral("Rows 2 and 4 lie beyond the travel (-250 to 6250 \u00b5m)"));
    QCOMPARE(r.sequence->model()->markOf(0), SequenceModel::Mark::None);
    QCOMPARE(r.sequence->model()->markOf(1), SequenceModel::Mark::Refused);
    QCOMPARE(r.sequence->model()->markOf(3), SequenceModel::Mark::Refused);
    QCOMPARE(r.consoleMoves().size(), 0);
    QVERIFY(r.ui()->doubleSpinBox_Position->isEnabled());

    // Go on a row moves there at once, outside any run.
    r.sequence->findChild<QTableView *>()->selectRow(2);
    QTest::mouseClick(r.find<QPushButton>("pushButton_Go"), Qt::LeftButton);
    QCOMPARE(r.consoleMoves(), QVector<double>{-250.0});
}

void TestSequenceEndToEnd::closingThePanelMidRun()
{
    // The panel goes away while a step is waiting for its samples: nothing may touch what is
    // already gone.
    auto r = std::make_unique<Rig>();
    QVERIFY(r->ready({}));
    r->generate(0.0, 6000.0, 2, 0);
    QTest::mouseClick(r->find<QPushButton>("pushButton_Run"), Qt::LeftButton);
    QTRY_VERIFY(r->runner->isRunning());
    QTest::qWait(100);
    QCOMPARE(r->runner->state(), SequenceRunner::State::Moving);
    r.reset();
}

QTEST_MAIN(TestSequenceEndToEnd)
#include "tst_sequenceendtoend.moc"
