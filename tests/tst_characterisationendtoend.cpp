// Step characterisation on the real panel against dvxsim's stick-slip model: the window measures
// the configured step sizes and lost motion, the open-loop page shows them and moves by a
// distance with them, the export begins with the provenance block, scripts do the same over the
// socket, and Stop, Esc, a lost line and a controller that reports no positions in open loop
// each end the run saying where.

#include "characterisationrun.h"
#include "characterisationwindow.h"
#include "console.h"
#include "controlclient.h"
#include "controlserver.h"
#include "measuredsteps.h"
#include "messageboxwatcher.h"
#include "openloopmove.h"
#include "probe.h"
#include "simulatorprocess.h"
#include "stagesession.h"

#include <QAction>
#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QFile>
#include <QJsonArray>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>
#include <memory>

namespace {

constexpr int kMarginMs = 5000;
constexpr int kRunMs = 90000;
constexpr double kForwardUm = 0.83;
constexpr double kReverseUm = 0.71;
constexpr double kNoise = 0.05;

const QStringList kStickSlip = {QStringLiteral("--step-nm-forward"),
                                QStringLiteral("830"),
                                QStringLiteral("--step-nm-reverse"),
                                QStringLiteral("710"),
                                QStringLiteral("--step-noise-pct"),
                                QStringLiteral("5"),
                                QStringLiteral("--reversal-loss-steps"),
                                QStringLiteral("3"),
                                QStringLiteral("--seed"),
                                QStringLiteral("26")};

QJsonObject req(int id, const char *command, QJsonObject arguments = {})
{
    arguments.insert(QStringLiteral("id"), id);
    arguments.insert(QStringLiteral("cmd"), QLatin1String(command));
    return arguments;
}

struct Rig {
    // Before the panel: it is told of what the panel still shows as it goes.
    QString shown;
    MessageBoxWatcher boxes;
    SimulatorProcess simulator;
    Panel panel;
    MainWindow &window = panel.window();
    MainWindowProbe probe{window};
    CharacterisationWindow *steps = nullptr;
    CharacterisationRun *run = nullptr;

    Ui::MainWindow *ui() const { return probe.ui(); }
    template <typename T> T *find(const char *name) const
    {
        return steps->findChild<T *>(QLatin1String(name));
    }
    template <typename T> T *onPage(const char *name) const
    {
        return window.findChild<T *>(QLatin1String(name));
    }

    // Connected, identified, on the open-loop page with short drive cycles, the window open
    // from its action.
    bool ready(const QStringList &arguments, bool openLoop = true)
    {
        if (!simulator.start(arguments))
            return false;
        QObject::connect(panel.session(), &StageSession::consoleOutput, &panel,
                         [this](const QByteArray &text) { shown += QString::fromUtf8(text); });
        window.show();
        panel.preselectPort(simulator.terminal);
        ui()->actionConnect->trigger();
        if (!QTest::qWaitFor([this] { return panel.session()->state().identified(); }, kMarginMs))
            return false;
        if (openLoop && ui()->tabWidget_LoopMode->currentIndex() != 1)
            ui()->tabWidget_LoopMode->setCurrentIndex(1);
        if (openLoop) {
            // 5 ms of drive and 1 ms of rest per step: a burst of 20 takes 0.12 s.
            for (const auto &p : {std::make_pair(ui()->spinBox_Duration, 5),
                                  std::make_pair(ui()->spinBox_Interval, 1)}) {
                p.first->setValue(p.second);
                emit p.first->editingFinished();
            }
        }
        auto *action = window.findChild<QAction *>(QStringLiteral("actionStepCharacterisation"));
        if (!action)
            return false;
        action->trigger();
        steps = window.findChild<CharacterisationWindow *>();
        run = panel.characterisationRun();
        return steps && steps->isVisible();
    }

    void set(int stepsPerBurst, int bursts, int settleMs)
    {
        find<QSpinBox>("spinBox_Steps")->setValue(stepsPerBurst);
        find<QSpinBox>("spinBox_Bursts")->setValue(bursts);
        find<QSpinBox>("spinBox_Settle")->setValue(settleMs);
    }

    QString message() const { return find<QLabel>("label_Message")->text(); }
    // Everything the console was given to show (it keeps only its last lines).
    QString console() const
    {
        QString text = shown;
        text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
        return text;
    }
};

// What the noise of n steps of size step may do to a move, three standard deviations of it.
double noiseOf(int n, double step)
{
    return 3.0 * kNoise * step * std::sqrt(double(n));
}

} // namespace

class TestCharacterisationEndToEnd : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void measuresTheStepAndMovesByADistance();
    void scriptsCharacteriseAndMove();
    void stopAndEscEndTheRun();
    void lostLineEndsTheRun();
    void controllerWithoutOpenLoopPositions();
    void onlyForADvx1901();
    void closingThePanelMidRun();
};

void TestCharacterisationEndToEnd::initTestCase()
{
    if (qEnvironmentVariableIsEmpty("DVXSIM"))
        QSKIP("DVXSIM names no simulator; configure with the simulator to run these tests");
}

void TestCharacterisationEndToEnd::measuresTheStepAndMovesByADistance()
{
    Rig r;
    QVERIFY(r.ready(kStickSlip));
    QCOMPARE(r.find<QLabel>("label_Drive")->text(),
             QStringLiteral("Drive: duration 5 ms, interval 1 ms, cycle 1, as the open-loop page "
                            "has them"));
    QCOMPARE(r.onPage<QLabel>("label_StepSize")->text(), QStringLiteral("Step size not measured"));
    QVERIFY(!r.onPage<QPushButton>("pushButton_OpenLoopMove")->isEnabled());
    r.set(20, 10, 100);
    auto *start = r.find<QPushButton>("pushButton_Start");
    QTRY_VERIFY(start->isEnabled());
    QSignalSpy finished(r.run, &CharacterisationRun::finished);
    QTest::mouseClick(start, Qt::LeftButton);
    QVERIFY(r.run->isRunning());
    // The stage is the run's: the operator's own controls wait, Stop does not.
    QVERIFY(!r.ui()->tabWidget_LoopMode->isEnabled());
    QVERIFY(!r.ui()->pushButton_SliderPlus->isEnabled());
    QVERIFY(r.ui()->pushButton_stop->isEnabled());
    QVERIFY(r.find<QPushButton>("pushButton_Stop")->isEnabled());
    QVERIFY(!start->isEnabled());

    QVERIFY(finished.wait(kRunMs));
    QCOMPARE(finished.first().at(0).toBool(), true);
    QVERIFY2(r.message().startsWith(QStringLiteral("Finished: 20 bursts in ")),
             qPrintable(r.message()));
    QCOMPARE(r.boxes.count(), 0);

    // Within 5 % of what dvxsim was told, both ways, and the three steps lost at each turn.
    const StepAnalysis::Result result = r.run->result();
    const double forward = result.forward.umPerStep.mean;
    const double reverse = result.reverse.umPerStep.mean;
    QVERIFY2(std::abs(forward - kForwardUm) <= 0.05 * kForwardUm,
             qPrintable(QString::number(forward)));
    QVERIFY2(std::abs(reverse - kReverseUm) <= 0.05 * kReverseUm,
             qPrintable(QString::number(reverse)));
    QVERIFY(result.forward.umPerStep.count >= 6 && result.reverse.umPerStep.count >= 6);
    for (const StepAnalysis::DirectionResult *d : {&result.forward, &result.reverse}) {
        QVERIFY(d->lostSteps.measured());
        QVERIFY2(std::abs(d->lostSteps.mean - 3.0) < 1.0,
                 qPrintable(QString::number(d->lostSteps.mean)));
    }
    // Every burst went over the line, each step a ">fo" or ">re"; the position requests did not
    // clutter the console.
    const QString console = r.console();
    QCOMPARE(console.count(QStringLiteral(">fo\n")), 200);
    QCOMPARE(console.count(QStringLiteral(">re\n")), 200);
    QVERIFY(!console.contains(QStringLiteral(">cp")));
    QVERIFY(console.indexOf(QStringLiteral(">cycle 1")) < console.indexOf(QStringLiteral(">fo")));

    // What the window shows, and the open-loop page beside it.
    const QString summary = r.find<QLabel>("label_Summary")->text();
    QVERIFY2(summary.startsWith(QStringLiteral("\u2248 0.8")) &&
                 summary.contains(QStringLiteral(" \u00b5m/step forward, 0.7")) &&
                 summary.contains(QStringLiteral(" reverse, measured ")),
             qPrintable(summary));
    QCOMPARE(r.onPage<QLabel>("label_StepSize")->text(), summary);
    auto *table = r.find<QTableWidget>("tableWidget_Results");
    QVERIFY(table->item(0, 0)->text().startsWith(StepAnalysis::formatValue(forward)));
    QVERIFY(table->item(0, 1)->text().startsWith(StepAnalysis::formatValue(reverse)));
    QVERIFY(r.ui()->tabWidget_LoopMode->isEnabled());

    // The export: provenance first, then one row per burst.
    QTemporaryDir dir;
    const QString bursts = dir.filePath(QStringLiteral("steps.csv"));
    const QString totals = dir.filePath(QStringLiteral("summary.csv"));
    QVERIFY(r.find<QPushButton>("pushButton_ExportBursts")->isEnabled());
    QVERIFY(r.steps->exportBursts(bursts));
    QVERIFY(r.steps->exportSummary(totals));
    QFile file(bursts);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = file.readAll().split('\n');
    QVERIFY(lines.first().startsWith("# program: "));
    const auto comment = [&lines](const QByteArray &line) { return lines.contains(line); };
    QVERIFY(comment("# model: DVX1901"));
    QVERIFY(comment("# steps_per_burst: 20"));
    QVERIFY(comment("# bursts_each_way: 10"));
    QVERIFY(comment("# duration_ms: 5"));
    QVERIFY(comment("# run: complete"));
    const int header = int(lines.indexOf(
        "burst,direction,steps,cumulative_steps,before_s,before_um,after_s,after_um,settled_s,"
        "settled_um,kind,moved_um,um_per_step,creep_um,lost_steps,lost_um"));
    QVERIFY(header > 0);
    QCOMPARE(lines.size() - header - 2, 20);
    QFile summaryFile(totals);
    QVERIFY(summaryFile.open(QIODevice::ReadOnly));
    const QByteArray summaryText = summaryFile.readAll();
    QVERIFY(summaryText.startsWith("# program: "));
    QVERIFY(summaryText.contains("\num_per_step,forward,um,"));
    // A file that cannot be written is said so, and nothing is left behind.
    const QString nowhere = dir.filePath(QStringLiteral("missing/steps.csv"));
    QVERIFY(!r.steps->exportBursts(nowhere));
    QTRY_COMPARE(r.boxes.count(), 1);
    QVERIFY2(r.boxes.texts.first().startsWith(QStringLiteral("Cannot write ") + nowhere),
             qPrintable(r.boxes.texts.first()));
    QVERIFY(!QFile::exists(nowhere));

    // Move ≈ 100 µm on the page: it lands within the noise of its steps.
    auto *distance = r.onPage<QDoubleSpinBox>("doubleSpinBox_OpenLoopMove");
    auto *move = r.onPage<QPushButton>("pushButton_OpenLoopMove");
    QVERIFY(move->isEnabled());
    distance->setValue(100.0);
    QSignalSpy moved(r.panel.openLoopMove(), &OpenLoopMove::finished);
    QTest::mouseClick(move, Qt::LeftButton);
    QVERIFY(moved.wait(kMarginMs));
    QCOMPARE(moved.first().at(1).toString(), QString());
    const OpenLoopMoveOutcome o = r.panel.openLoopMove()->outcome();
    QVERIFY(o.movedUm());
    const double allowed = noiseOf(o.plan.steps, kForwardUm) + kForwardUm / 2.0 + 0.5;
    QVERIFY2(std::abs(*o.movedUm() - 100.0) <= allowed,
             qPrintable(QStringLiteral("%1 (allowed %2)").arg(*o.movedUm()).arg(allowed)));
    QVERIFY(r.onPage<QLabel>("label_StepSize")->text().startsWith(QStringLiteral("Moved ")));
}

void TestCharacterisationEndToEnd::scriptsCharacteriseAndMove()
{
    Rig r;
    QTemporaryDir dir;
    QString error;
    QVERIFY2(r.panel.startControlServer(dir.filePath(QStringLiteral("panel.sock")), &error),
             qPrintable(error));
    QVERIFY(r.ready(kStickSlip));
    ControlClient client(r.panel.controlServer()->path());
    QVERIFY(client.connected());
    QCOMPARE(client.request(req(1, "subscribe", {{"events", QJsonArray{"characterise"}}}))
                 .value(QLatin1String("result"))
                 .toObject()
                 .value(QLatin1String("events"))
                 .toArray(),
             QJsonArray{"characterise"});

    // Hostile and impossible requests are refused at once, with the reason.
    const struct {
        QJsonObject arguments;
        const char *code;
        const char *text;
    } refusals[] = {
        {{{"steps", "ten"}}, "bad_request", "steps"},
        {{{"steps", 0}}, "bad_request", "Steps per burst"},
        {{{"steps", 2.5}}, "bad_request", "whole number"},
        {{{"bursts", 1}}, "bad_request", "Bursts"},
        {{{"span_from_um", 1.0}}, "bad_request", "both"},
        {{{"span_from_um", -1e9}, {"span_to_um", 1e9}}, "bad_request", "travel"},
        {{{"tolerance_um", -1}}, "bad_request", "tolerance"},
        {{{"settle", 10}}, "bad_request", "settle"},
    };
    int id = 10;
    for (const auto &refusal : refusals) {
        const QJsonObject reply = client.request(req(++id, "characterise", refusal.arguments));
        QCOMPARE(ControlClient::errorCode(reply), QLatin1String(refusal.code));
        QVERIFY2(reply.value(QLatin1String("error"))
                     .toObject()
                     .value(QLatin1String("message"))
                     .toString()
                     .contains(QLatin1String(refusal.text)),
                 qPrintable(QJsonDocument(reply).toJson()));
    }
    QCOMPARE(ControlClient::errorCode(client.request(req(30, "open_loop_move", {}))),
             QStringLiteral("bad_request"));
    QCOMPARE(ControlClient::errorCode(client.request(req(31, "open_loop_move", {{"um", 10}}))),
             QStringLiteral("unavailable"));
    QVERIFY(!r.run->isRunning());

    client.send(req(40, "characterise", {{"steps", 20}, {"bursts", 6}, {"settle_ms", 50}}));
    QTRY_VERIFY(r.run->isRunning());
    // One run at a time, and the stage is the run's: a second script is refused.
    ControlClient other(r.panel.controlServer()->path());
    QVERIFY(other.connected());
    QCOMPARE(ControlClient::errorCode(other.request(req(41, "characterise"))),
             QStringLiteral("busy"));
    QCOMPARE(ControlClient::errorCode(other.request(req(42, "step", {{"direction", "forward"}}))),
             QStringLiteral("busy"));
    QCOMPARE(ControlClient::errorCode(other.request(req(43, "open_loop", {{"cycle", 3}}))),
             QStringLiteral("busy"));
    QCOMPARE(ControlClient::errorCode(other.request(req(44, "open_loop_move", {{"um", 5}}))),
             QStringLiteral("busy"));

    QJsonObject reply;
    int progress = 0;
    QString lastState;
    for (;;) {
        const QJsonObject line = client.nextLine(kRunMs);
        QVERIFY(!line.isEmpty());
        if (line.value(QLatin1String("event")) == QLatin1String("characterise")) {
            ++progress;
            lastState = line.value(QLatin1String("state")).toString();
            continue;
        }
        if (line.value(QLatin1String("id")).toInt() == 40) {
            reply = line;
            break;
        }
    }
    QVERIFY2(reply.contains(QLatin1String("result")), qPrintable(QJsonDocument(reply).toJson()));
    QVERIFY(progress > 12);
    QCOMPARE(lastState, QStringLiteral("finished"));
    const QJsonObject result = reply.value(QLatin1String("result")).toObject();
    const double forward = result.value(QLatin1String("forward"))
                               .toObject()
                               .value(QLatin1String("um_per_step"))
                               .toObject()
                               .value(QLatin1String("mean"))
                               .toDouble();
    const double reverse = result.value(QLatin1String("reverse"))
                               .toObject()
                               .value(QLatin1String("um_per_step"))
                               .toObject()
                               .value(QLatin1String("mean"))
                               .toDouble();
    QVERIFY2(std::abs(forward - kForwardUm) <= 0.05 * kForwardUm,
             qPrintable(QString::number(forward)));
    QVERIFY2(std::abs(reverse - kReverseUm) <= 0.05 * kReverseUm,
             qPrintable(QString::number(reverse)));
    QCOMPARE(result.value(QLatin1String("bursts")).toArray().size(), 12);
    QVERIFY(result.value(QLatin1String("summary")).toString().contains(QStringLiteral("UTC")));

    // The same measurement serves a script's move, in reverse.
    const QJsonObject movedReply =
        client.request(req(50, "open_loop_move", {{"um", -60.0}}), kMarginMs);
    const QJsonObject moved = movedReply.value(QLatin1String("result")).toObject();
    QVERIFY2(!moved.isEmpty(), qPrintable(QJsonDocument(movedReply).toJson()));
    QCOMPARE(moved.value(QLatin1String("direction")).toString(), QStringLiteral("reverse"));
    const int n = moved.value(QLatin1String("steps")).toInt();
    const double went = moved.value(QLatin1String("moved_um")).toDouble();
    const double allowed = noiseOf(n, kReverseUm) + kReverseUm / 2.0 + 0.5;
    QVERIFY2(std::abs(went + 60.0) <= allowed,
             qPrintable(QStringLiteral("%1 (allowed %2)").arg(went).arg(allowed)));
    QCOMPARE(ControlClient::errorCode(client.request(req(51, "open_loop_move", {{"um", 1e308}}))),
             QStringLiteral("bad_request"));
    QCOMPARE(ControlClient::errorCode(client.request(req(52, "open_loop_move", {{"um", "far"}}))),
             QStringLiteral("bad_request"));
}

void TestCharacterisationEndToEnd::stopAndEscEndTheRun()
{
    Rig r;
    QVERIFY(r.ready(kStickSlip));
    r.set(20, 20, 200);
    QSignalSpy finished(r.run, &CharacterisationRun::finished);

    // Stop in the main window.
    QTest::mouseClick(r.find<QPushButton>("pushButton_Start"), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(r.run->burst() >= 2, kMarginMs);
    QTest::mouseClick(r.ui()->pushButton_stop, Qt::LeftButton);
    QCOMPARE(finished.count(), 1);
    QVERIFY2(
        QRegularExpression(QStringLiteral("^Stopped at burst \\d+ of 40 \\((forward|reverse)\\)$"))
            .match(r.message())
            .hasMatch(),
        qPrintable(r.message()));
    QCOMPARE(r.run->ending(), OpenLoopEnding::Stopped);

    // Esc in the characterisation window.
    QTRY_VERIFY(r.find<QPushButton>("pushButton_Start")->isEnabled());
    QTest::mouseClick(r.find<QPushButton>("pushButton_Start"), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(r.run->burst() >= 1, kMarginMs);
    r.steps->activateWindow();
    QTest::keyClick(r.steps, Qt::Key_Escape);
    QCOMPARE(finished.count(), 2);
    QVERIFY2(r.message().startsWith(QStringLiteral("Stopped at burst ")), qPrintable(r.message()));
    const int stops = int(r.console().count(QStringLiteral(">stop\n")));
    QCOMPARE(stops, 2);
    // Nothing goes out after the Stop.
    const int sent = int(r.console().count(QStringLiteral(">fo\n")) +
                         r.console().count(QStringLiteral(">re\n")));
    QTest::qWait(500);
    QCOMPARE(int(r.console().count(QStringLiteral(">fo\n")) +
                 r.console().count(QStringLiteral(">re\n"))),
             sent);
    QVERIFY(r.ui()->tabWidget_LoopMode->isEnabled());
    // A run cut short measures nothing for the page.
    QCOMPARE(r.onPage<QLabel>("label_StepSize")->text(), QStringLiteral("Step size not measured"));
}

void TestCharacterisationEndToEnd::lostLineEndsTheRun()
{
    Rig r;
    QVERIFY(
        r.ready(kStickSlip + QStringList{QStringLiteral("--hangup-after"), QStringLiteral("4")}));
    r.set(20, 200, 100);
    QSignalSpy finished(r.run, &CharacterisationRun::finished);
    QTest::mouseClick(r.find<QPushButton>("pushButton_Start"), Qt::LeftButton);
    QVERIFY(finished.wait(4000 + kMarginMs));
    QVERIFY2(QRegularExpression(QStringLiteral("^The link to the controller was lost at burst "
                                               "\\d+ of 400 \\((forward|reverse)\\): "))
                 .match(r.message())
                 .hasMatch(),
             qPrintable(r.message()));
    QCOMPARE(r.run->ending(), OpenLoopEnding::LinkLost);
    QTRY_COMPARE(r.boxes.count(), 1);
    QCOMPARE(r.boxes.titles.first(), QStringLiteral("Critical Error"));
    QVERIFY(!r.find<QPushButton>("pushButton_Start")->isEnabled());
}

void TestCharacterisationEndToEnd::controllerWithoutOpenLoopPositions()
{
    // Firmware the panel cannot read: its position replies never reach the run.
    Rig r;
    QVERIFY(
        r.ready(kStickSlip + QStringList{QStringLiteral("--firmware"), QStringLiteral("2.00")}));
    r.set(5, 4, 0);
    QSignalSpy finished(r.run, &CharacterisationRun::finished);
    QTest::mouseClick(r.find<QPushButton>("pushButton_Start"), Qt::LeftButton);
    QVERIFY(finished.wait(kMarginMs));
    QCOMPARE(r.message(),
             QStringLiteral("No position reply within 1 s before the first burst: this "
                            "controller does not report positions in open loop"));
    QCOMPARE(r.run->ending(), OpenLoopEnding::NoPositionReply);
    QVERIFY(!r.console().contains(QStringLiteral(">fo")));
}

void TestCharacterisationEndToEnd::onlyForADvx1901()
{
    Rig r;
    QVERIFY(r.ready({QStringLiteral("--model"), QStringLiteral("1804")}, false));
    QTRY_COMPARE(r.ui()->tabWidget_LoopMode->currentIndex(), 1);
    auto *start = r.find<QPushButton>("pushButton_Start");
    QVERIFY(!start->isEnabled());
    QVERIFY2(start->toolTip().contains(QStringLiteral("needs a DVX1901")),
             qPrintable(start->toolTip()));
    QVERIFY(r.message().contains(QStringLiteral("needs a DVX1901")));
}

void TestCharacterisationEndToEnd::closingThePanelMidRun()
{
    // The panel goes away while a burst is out: the run stops the stage on its way and touches
    // nothing that is already gone.
    auto r = std::make_unique<Rig>();
    QVERIFY(r->ready(kStickSlip));
    r->set(20, 50, 100);
    QTest::mouseClick(r->find<QPushButton>("pushButton_Start"), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(r->run->burst() >= 2, kMarginMs);
    r.reset();
}

QTEST_MAIN(TestCharacterisationEndToEnd)
#include "tst_characterisationendtoend.moc"
