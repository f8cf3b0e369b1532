// The sequence runner on a stage that only records what it is told, with a clock the test
// steps: which moves go out and when, dwells, repeats and reversed passes, pause, abort, a step
// that never settles, and a link that goes away mid-run.

#include "sequencerunner.h"

#include <QSignalSpy>
#include <QtTest>

#include <limits>

namespace {

class FakeStage : public Stage {
public:
    PanelState s;
    QStringList sent;
    QList<bool> lockCalls;
    int samplingMs = 0;

    FakeStage()
    {
        s.connected = true;
        s.port = QStringLiteral("/dev/fake");
        s.model = QStringLiteral("1901");
        s.firmware = QStringLiteral("3.12");
        s.homed = true;
        s.closedLoop = true;
        s.positionUm = 0.0;
    }

    PanelState state() const override { return s; }
    CommandResult connectPort(const QString &) override { return record("connect"); }
    CommandResult disconnectPort() override { return record("disconnect"); }
    CommandResult home(const Mover &) override { return record("home"); }
    CommandResult stop(const Mover &) override
    {
        if (!s.connected)
            return CommandResult::refused(CommandResult::Code::NotConnected, "not connected");
        sent << QStringLiteral("stop");
        emit panelEvent(PanelEvent{PanelEvent::Kind::Stop, QString()});
        return CommandResult::done();
    }
    CommandResult moveTo(double um, const Mover &who) override
    {
        if (!s.motionOwner || *s.motionOwner != who)
            sent << QStringLiteral("unlocked!");
        sent << QStringLiteral("ma %1").arg(um);
        s.targetUm = um;
        return CommandResult::done();
    }
    CommandResult moveBy(double, const Mover &) override { return record("mr"); }
    CommandResult setOpenLoop(std::optional<int>, std::optional<int>, std::optional<int>,
                              const Mover &) override
    {
        return record("openloop");
    }
    CommandResult step(bool, const Mover &) override { return record("step"); }
    CommandResult bi(const Mover &) override { return record("bi"); }
    CommandResult autoCalibrate(const Mover &) override { return record("auto"); }
    CommandResult sendLine(const QString &, const Mover &) override { return record("line"); }
    void requestSampling(const void *, int ms) override { samplingMs = ms; }
    CommandResult claimMotion(const Mover &who) override
    {
        if (s.motionOwner && *s.motionOwner != who)
            return CommandResult::refused(CommandResult::Code::Busy, "busy");
        s.motionOwner = who;
        lockCalls << true;
        return CommandResult::done();
    }
    void releaseMotion(const Mover &who) override
    {
        if (s.motionOwner && *s.motionOwner == who) {
            s.motionOwner.reset();
            lockCalls << false;
        }
    }
    // The runner holds the stage's motion.
    bool locked() const { return s.motionOwner.has_value(); }

    // The stage reports standing at um, as often as the settle rule needs.
    void arrive(double um, int samples = 3)
    {
        s.positionUm = um;
        for (int i = 0; i < samples; ++i)
            emit positionReceived(um, PositionSource::Fast);
    }
    void announceDisconnect(const QString &why)
    {
        s = PanelState();
        emit panelEvent(PanelEvent{PanelEvent::Kind::Disconnected, why});
        emit stateChanged();
    }

private:
    CommandResult record(const char *what)
    {
        sent << QString::fromLatin1(what);
        return CommandResult::done();
    }
};

SequenceSteps threeSteps(int dwellMs = 100)
{
    return {{QStringLiteral("a"), 10.0, dwellMs},
            {QStringLiteral("b"), 20.0, dwellMs},
            {QStringLiteral("c"), 30.0, dwellMs}};
}

struct Rig {
    FakeStage stage;
    qint64 now = 1000;
    SequenceRunner runner{&stage, [this] { return now; }};
    QSignalSpy finished{&runner, &SequenceRunner::finished};

    void advance(qint64 ms)
    {
        now += ms;
        runner.tick();
    }
    // Lets the current step settle and its dwell pass.
    void completeStep(int dwellMs = 100)
    {
        const double target = *stage.s.targetUm;
        advance(40);
        stage.arrive(target);
        advance(dwellMs);
    }
    QStringList moves() const { return stage.sent.filter(QRegularExpression("^ma ")); }
    QString error() const
    {
        return finished.isEmpty() ? QString() : finished.last().at(1).toString();
    }
    SequenceLog log() const { return runner.log(); }
};

} // namespace

class TestSequenceRunner : public QObject {
    Q_OBJECT

private slots:
    void movesThenSettlesThenDwells();
    void repeatsAndReversedPasses_data();
    void repeatsAndReversedPasses();
    void pauseTakesEffectAfterTheDwell();
    void abortSendsStopOnceAndNothingAfter();
    void operatorStopEndsTheRun();
    void timeoutPausesWithTheRowMarked();
    void disconnectEndsTheRun_data();
    void disconnectEndsTheRun();
    void abortLogsTheStepItEndsAsAborted();
    void refusedMoveEndsTheRun();
    void provenanceSaysWhatTheRunWas();
    void refusals_data();
    void refusals();
    void secondStartIsBusy();
    void estimateFollowsMeasuredSteps();
    void linearScan();
};

void TestSequenceRunner::movesThenSettlesThenDwells()
{
    Rig r;
    QVERIFY(r.runner.start(threeSteps(), 1, false).ok());
    QVERIFY(r.stage.locked());
    QCOMPARE(r.stage.sent, QStringList{"ma 10"});
    QCOMPARE(r.stage.samplingMs, MoveWaiter::kSampleIntervalMs);
    QCOMPARE(r.runner.state(), SequenceRunner::State::Moving);

    // Two samples in the band are not yet settled; a sample outside starts the count again.
    r.stage.arrive(10.0, 2);
    r.stage.arrive(12.0, 1);
    r.stage.arrive(10.2, 2);
    QCOMPARE(r.runner.state(), SequenceRunner::State::Moving);
    r.advance(250);
    r.stage.arrive(10.1, 1);
    QCOMPARE(r.runner.state(), SequenceRunner::State::Dwelling);
    QCOMPARE(r.stage.samplingMs, 0);

    // The next move waits for the whole dwell.
    r.advance(99);
    QCOMPARE(r.moves(), QStringList{"ma 10"});
    r.advance(1);
    QCOMPARE(r.moves(), (QStringList{"ma 10", "ma 20"}));
    QCOMPARE(r.runner.row(), 1);

    r.completeStep();
    r.completeStep();
    QCOMPARE(r.moves(), (QStringList{"ma 10", "ma 20", "ma 30"}));
    QCOMPARE(r.finished.size(), 1);
    QCOMPARE(r.error(), QString());
    QCOMPARE(r.runner.state(), SequenceRunner::State::Idle);
    QVERIFY(!r.stage.locked());
    QCOMPARE(r.stage.lockCalls, (QList<bool>{true, false}));
    QVERIFY(!r.stage.sent.contains("unlocked!"));

    const SequenceLog log = r.log();
    QCOMPARE(log.size(), 3);
    QCOMPARE(log[0].label, QStringLiteral("a"));
    QCOMPARE(log[0].targetUm, 10.0);
    QCOMPARE(log[0].settledUm, std::optional<double>(10.1));
    QCOMPARE(log[0].settleS, 0.25);
    QCOMPARE(log[2].step, 3);
    QCOMPARE(log[2].repeat, 1);
    QVERIFY(log[0].startedMsUtc > 0);
    QVERIFY(log[0].startedMsUtc <= log[2].startedMsUtc);
}

void TestSequenceRunner::repeatsAndReversedPasses_data()
{
    QTest::addColumn<int>("repeat");
    QTest::addColumn<bool>("backAndForth");
    QTest::addColumn<QStringList>("moves");
    QTest::newRow("once") << 1 << false << QStringList{"ma 10", "ma 20", "ma 30"};
    QTest::newRow("twice, same way")
        << 2 << false << QStringList{"ma 10", "ma 20", "ma 30", "ma 10", "ma 20", "ma 30"};
    QTest::newRow("three times, back and forth")
        << 3 << true << QStringList{"ma 10", "ma 20", "ma 30", "ma 30", "ma 20",
                                    "ma 10", "ma 10", "ma 20", "ma 30"};
}

void TestSequenceRunner::repeatsAndReversedPasses()
{
    QFETCH(int, repeat);
    QFETCH(bool, backAndForth);
    QFETCH(QStringList, moves);
    Rig r;
    QSignalSpy progress(&r.runner, &SequenceRunner::progress);
    QVERIFY(r.runner.start(threeSteps(), repeat, backAndForth).ok());
    for (int i = 0; i < moves.size(); ++i)
        r.completeStep();
    QCOMPARE(r.moves(), moves);
    QCOMPARE(r.finished.size(), 1);
    QCOMPARE(r.error(), QString());
    QCOMPARE(r.log().size(), moves.size());
    QCOMPARE(r.log().last().repeat, repeat);
    // Every step announced itself as moving, with its place in the run.
    int moving = 0;
    for (const QList<QVariant> &p : progress) {
        if (p.at(2).value<SequenceRunner::State>() == SequenceRunner::State::Moving) {
            QCOMPARE(p.at(0).toInt(), moving % 3 + 1);
            QCOMPARE(p.at(1).toInt(), moving / 3 + 1);
            ++moving;
        }
    }
    QCOMPARE(moving, moves.size());
}

void TestSequenceRunner::pauseTakesEffectAfterTheDwell()
{
    Rig r;
    QVERIFY(r.runner.start(threeSteps(), 1, false).ok());
    r.runner.pause();
    QVERIFY(r.runner.pausePending());
    r.stage.arrive(10.0);
    QCOMPARE(r.runner.state(), SequenceRunner::State::Dwelling);
    r.advance(100);
    QCOMPARE(r.runner.state(), SequenceRunner::State::Paused);
    QCOMPARE(r.moves(), QStringList{"ma 10"});
    // Time passes while paused and nothing moves; the controls stay locked.
    r.advance(60000);
    QCOMPARE(r.moves(), QStringList{"ma 10"});
    QVERIFY(r.stage.locked());
    QVERIFY(r.finished.isEmpty());

    r.runner.resume();
    QCOMPARE(r.moves(), (QStringList{"ma 10", "ma 20"}));
    // A pause asked for and withdrawn before the dwell ends does not stop the run.
    r.runner.pause();
    r.runner.resume();
    r.completeStep();
    QCOMPARE(r.moves(), (QStringList{"ma 10", "ma 20", "ma 30"}));
}

void TestSequenceRunner::abortSendsStopOnceAndNothingAfter()
{
    Rig r;
    QVERIFY(r.runner.start(threeSteps(), 5, false).ok());
    r.completeStep();
    r.runner.abort();
    QCOMPARE(r.stage.sent.count("stop"), 1);
    QCOMPARE(r.stage.sent.last(), QStringLiteral("stop"));
    QCOMPARE(r.finished.size(), 1);
    QVERIFY2(r.error().contains("step 2 of 3"), qPrintable(r.error()));
    QVERIFY(!r.stage.locked());
    QCOMPARE(r.stage.samplingMs, 0);

    // Late samples, the end of a dwell or a second abort send nothing more.
    const QStringList before = r.stage.sent;
    r.stage.arrive(20.0);
    r.advance(1000);
    r.runner.abort();
    r.runner.resume();
    r.runner.retry();
    r.runner.skip();
    QCOMPARE(r.stage.sent, before);
    QCOMPARE(r.finished.size(), 1);

    // Aborting during a dwell stops the dwell too.
    Rig d;
    QVERIFY(d.runner.start(threeSteps(), 1, false).ok());
    d.stage.arrive(10.0);
    d.runner.abort();
    d.advance(500);
    QCOMPARE(d.moves(), QStringList{"ma 10"});
    QCOMPARE(d.stage.sent.count("stop"), 1);
}

void TestSequenceRunner::operatorStopEndsTheRun()
{
    Rig r;
    QVERIFY(r.runner.start(threeSteps(), 1, false).ok());
    r.stage.stop(
        Mover::operatorMover()); // the panel's Stop button, which stays usable during a run
    QCOMPARE(r.finished.size(), 1);
    QVERIFY2(r.error().startsWith("Stopped by the operator at step 1 of 3"), qPrintable(r.error()));
    QCOMPARE(r.stage.sent.count("stop"), 1);
    r.stage.arrive(10.0);
    r.advance(500);
    QCOMPARE(r.moves(), QStringList{"ma 10"});
}

void TestSequenceRunner::timeoutPausesWithTheRowMarked()
{
    Rig r;
    r.runner.setTimeoutMs(5000);
    QSignalSpy timedOut(&r.runner, &SequenceRunner::stepTimedOut);
    QVERIFY(r.runner.start(threeSteps(), 1, false).ok());
    r.completeStep();
    r.stage.arrive(17.0);
    r.advance(4999);
    QCOMPARE(r.runner.state(), SequenceRunner::State::Moving);
    r.advance(1);
    QCOMPARE(r.runner.state(), SequenceRunner::State::TimedOut);
    QCOMPARE(timedOut.size(), 1);
    QCOMPARE(timedOut.first().at(0).toInt(), 1);
    const QString message = timedOut.first().at(1).toString();
    QVERIFY2(message.contains("step 2 of 3") && message.contains("17"), qPrintable(message));
    QVERIFY(r.finished.isEmpty());
    QVERIFY(r.stage.locked());
    QCOMPARE(r.stage.samplingMs, 0);
    // Waiting for the operator sends nothing, however long it takes.
    r.advance(100000);
    QCOMPARE(r.moves(), (QStringList{"ma 10", "ma 20"}));

    // Retry commands the same step again; this time it times out once more and is skipped.
    r.runner.retry();
    QCOMPARE(r.moves(), (QStringList{"ma 10", "ma 20", "ma 20"}));
    r.advance(5000);
    QCOMPARE(r.runner.state(), SequenceRunner::State::TimedOut);
    r.runner.skip();
    QCOMPARE(r.moves(), (QStringList{"ma 10", "ma 20", "ma 20", "ma 30"}));
    r.completeStep();
    QCOMPARE(r.error(), QString());
    const SequenceLog log = r.log();
    QCOMPARE(log.size(), 3);
    QVERIFY(!log[1].settledUm.has_value());
    QCOMPARE(log[1].outcome, SequenceLogEntry::Outcome::Skipped);
    QCOMPARE(log[1].row, 1);
    QVERIFY(log[2].settledUm.has_value());
}

void TestSequenceRunner::disconnectEndsTheRun_data()
{
    QTest::addColumn<int>("when"); // 0 moving, 1 dwelling, 2 paused, 3 timed out
    // How each logged step ended: the step the run ends in is aborted, settled or not.
    QTest::addColumn<QStringList>("outcomes");
    QTest::addColumn<bool>("lastSettled");
    QTest::newRow("moving") << 0 << QStringList{"settled", "aborted"} << false;
    QTest::newRow("dwelling") << 1 << QStringList{"settled", "aborted"} << true;
    QTest::newRow("paused") << 2 << QStringList{"settled", "settled"} << true;
    QTest::newRow("timed out") << 3 << QStringList{"settled", "aborted"} << false;
}

void TestSequenceRunner::disconnectEndsTheRun()
{
    QFETCH(int, when);
    Rig r;
    r.runner.setTimeoutMs(1000);
    QSignalSpy available(&r.runner, &SequenceRunner::availabilityChanged);
    QVERIFY(r.runner.start(threeSteps(), 2, false).ok());
    r.completeStep();
    if (when == 1 || when == 2)
        r.stage.arrive(20.0);
    if (when == 2) {
        r.runner.pause();
        r.advance(100);
        QCOMPARE(r.runner.state(), SequenceRunner::State::Paused);
    }
    if (when == 3) {
        r.advance(1000);
        QCOMPARE(r.runner.state(), SequenceRunner::State::TimedOut);
    }
    const QStringList before = r.stage.sent;
    r.stage.announceDisconnect(QStringLiteral("Input/output error"));
    QCOMPARE(r.finished.size(), 1);
    QVERIFY2(r.error().startsWith("The link to the controller was lost at step "),
             qPrintable(r.error()));
    QVERIFY2(r.error().contains("Input/output error"), qPrintable(r.error()));
    QVERIFY(!r.stage.locked());
    QCOMPARE(r.runner.state(), SequenceRunner::State::Idle);
    // Nothing retried: no move, no stop.
    r.advance(10000);
    QCOMPARE(r.stage.sent, before);
    QCOMPARE(available.last().first().toBool(), false);
    QVERIFY(!r.runner.isAvailable());

    QFETCH(QStringList, outcomes);
    QFETCH(bool, lastSettled);
    QStringList logged;
    for (const SequenceLogEntry &e : r.log())
        logged << Sequence::outcomeName(e.outcome);
    QCOMPARE(logged, outcomes);
    QCOMPARE(r.log().last().settledUm.has_value(), lastSettled);
    QCOMPARE(r.log().last().step, 2);
}

void TestSequenceRunner::abortLogsTheStepItEndsAsAborted()
{
    Rig r;
    QVERIFY(r.runner.start(threeSteps(), 1, false).ok());
    r.completeStep();
    r.advance(30);
    r.runner.abort();
    const SequenceLog log = r.log();
    QCOMPARE(log.size(), 2);
    QCOMPARE(log[0].outcome, SequenceLogEntry::Outcome::Settled);
    QCOMPARE(log[1].outcome, SequenceLogEntry::Outcome::Aborted);
    QCOMPARE(log[1].label, QStringLiteral("b"));
    QCOMPARE(log[1].settledUm, std::optional<double>());
    QCOMPARE(log[1].settleS, 0.03);
}

void TestSequenceRunner::refusedMoveEndsTheRun()
{
    // The controller answers a step's move with an error: the stage will not go there, so the
    // run ends at once rather than waiting out the timeout.
    Rig r;
    QVERIFY(r.runner.start(threeSteps(), 1, false).ok());
    r.completeStep();
    emit r.stage.panelEvent(
        PanelEvent{PanelEvent::Kind::MoveRefused, QStringLiteral("_err position out of range")});
    QCOMPARE(r.finished.size(), 1);
    QCOMPARE(r.error(), QStringLiteral("The controller refused the move of step 2 of 3 (\"b\"), "
                                       "repeat 1 of 1: _err position out of range"));
    QCOMPARE(r.runner.state(), SequenceRunner::State::Idle);
    QVERIFY(!r.stage.locked());
    QCOMPARE(r.log().last().outcome, SequenceLogEntry::Outcome::Aborted);
    r.advance(60000);
    QCOMPARE(r.moves(), (QStringList{"ma 10", "ma 20"}));
}

void TestSequenceRunner::provenanceSaysWhatTheRunWas()
{
    Rig r;
    r.stage.s.lineSettings = QStringLiteral("115200, 8, None, 1");
    r.runner.setToleranceUm(0.25);
    r.runner.setTimeoutMs(1500);
    QVERIFY(r.runner.start(threeSteps(), 2, true, QStringLiteral("scan.csv")).ok());
    // What the header says is the run's, whatever changes after it started.
    r.runner.setToleranceUm(3.0);
    r.stage.s.port = QStringLiteral("/dev/other");
    r.completeStep();
    r.runner.abort();
    const QByteArray header = r.runner.provenance().header();
    for (const char *line :
         {"# port: /dev/fake\n", "# model: DVX1901\n", "# firmware: 3.12\n",
          "# line: 115200, 8, None, 1\n", "# tolerance_um: 0.25\n", "# sequence: scan.csv\n",
          "# steps: 3\n", "# repeats: 2\n", "# back_and_forth: yes\n", "# timeout_s: 1.5\n",
          "# run_result: Aborted at step 2 of 3 (\"b\"), repeat 1 of 2\n", "# log_rows: 2\n"})
        QVERIFY2(header.contains(line), header.constData());
    QVERIFY2(header.contains("# run_started_utc: 20"), header.constData());
    QVERIFY2(header.contains("# run_ended_utc: 20"), header.constData());

    Rig finished;
    QVERIFY(finished.runner.start(threeSteps(), 1, false).ok());
    for (int i = 0; i < 3; ++i)
        finished.completeStep();
    QVERIFY(finished.runner.provenance().header().contains("# run_result: finished\n"));
}

void TestSequenceRunner::refusals_data()
{
    QTest::addColumn<int>("what");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QVector<int>>("rows");
    using Code = SequenceRunner::Refusal::Code;
    QTest::newRow("not connected")
        << 0 << int(Code::Unavailable) << "The panel is not connected to a controller"
        << QVector<int>();
    QTest::newRow("not identified") << 1 << int(Code::Unavailable)
                                    << "No controller has identified itself yet" << QVector<int>();
    QTest::newRow("open loop") << 2 << int(Code::Unavailable)
                               << "Sequences need the closed-loop page" << QVector<int>();
    QTest::newRow("not homed") << 3 << int(Code::Unavailable)
                               << "Press Home before running a sequence" << QVector<int>();
    QTest::newRow("empty") << 4 << int(Code::BadArgument) << "The sequence has no steps"
                           << QVector<int>();
    QTest::newRow("repeat 0") << 5 << int(Code::BadArgument)
                              << "The repeat count must lie between 1 and 10000" << QVector<int>();
    QTest::newRow("repeat 10001") << 6 << int(Code::BadArgument)
                                  << "The repeat count must lie between 1 and 10000"
                                  << QVector<int>();
    QTest::newRow("beyond the travel")
        << 7 << int(Code::OutOfTravel) << "Rows 2 and 4 lie beyond the travel (-100 to 500 \u00b5m)"
        << QVector<int>{1, 3};
    QTest::newRow("negative dwell")
        << 8 << int(Code::BadArgument)
        << "Row 1 cannot be run: the dwell -1 ms is not between 0 and 86400000 ms"
        << QVector<int>{0};
    QTest::newRow("one row beyond the travel")
        << 9 << int(Code::OutOfTravel) << "Row 3 lies beyond the travel (-100 to 500 \u00b5m)"
        << QVector<int>{2};
    QTest::newRow("rows that break the rules")
        << 10 << int(Code::BadArgument)
        << "Rows 1 and 3 cannot be run (the first: the target \"nan\" is not a finite number)"
        << QVector<int>{0, 2};
}

void TestSequenceRunner::refusals()
{
    QFETCH(int, what);
    QFETCH(int, code);
    QFETCH(QString, message);
    QFETCH(QVector<int>, rows);
    Rig r;
    SequenceSteps steps = threeSteps();
    int repeat = 1;
    switch (what) {
    case 0:
        r.stage.s.connected = false;
        break;
    case 1:
        r.stage.s.model.clear();
        break;
    case 2:
        r.stage.s.closedLoop = false;
        break;
    case 3:
        r.stage.s.homed = false;
        break;
    case 4:
        steps.clear();
        break;
    case 5:
        repeat = 0;
        break;
    case 6:
        repeat = 10001;
        break;
    case 7:
        r.stage.s.travelMinUm = -100.0;
        r.stage.s.travelMaxUm = 500.0;
        steps = {
            {"in", 500.0, 0}, {"over", 500.001, 0}, {"low end", -100.0, 0}, {"under", -100.5, 0}};
        break;
    case 8:
        steps[0].dwellMs = -1;
        break;
    case 9:
        r.stage.s.travelMinUm = -100.0;
        r.stage.s.travelMaxUm = 500.0;
        steps[2].targetUm = 500.5;
        break;
    case 10:
        steps[0].targetUm = std::numeric_limits<double>::quiet_NaN();
        steps[2].label = QStringLiteral("bell\a");
        break;
    }
    const SequenceRunner::Refusal refusal = r.runner.start(steps, repeat, false);
    QCOMPARE(int(refusal.code), code);
    QCOMPARE(refusal.message, message);
    QCOMPARE(refusal.rows, rows);
    // Nothing was sent or locked.
    QCOMPARE(r.stage.sent, QStringList());
    QCOMPARE(r.stage.lockCalls, QList<bool>());
    QVERIFY(!r.runner.isRunning());
    QVERIFY(r.finished.isEmpty());
}

void TestSequenceRunner::secondStartIsBusy()
{
    Rig r;
    QVERIFY(r.runner.start(threeSteps(), 1, false).ok());
    const SequenceRunner::Refusal again = r.runner.start(threeSteps(), 1, false);
    QCOMPARE(again.code, SequenceRunner::Refusal::Code::Busy);
    QCOMPARE(r.moves(), QStringList{"ma 10"});
    QVERIFY(!r.runner.goTo(50.0).ok());
    QCOMPARE(r.moves(), QStringList{"ma 10"});
    r.runner.abort();
    QVERIFY(r.runner.goTo(50.0).ok());
    QCOMPARE(r.moves().last(), QStringLiteral("ma 50"));
}

void TestSequenceRunner::estimateFollowsMeasuredSteps()
{
    Rig r;
    QVERIFY(r.runner.start(threeSteps(1000), 2, true).ok());
    QVERIFY(!r.runner.remainingMs().has_value());
    // Each step takes 500 ms to settle, then its 1000 ms dwell.
    r.advance(500);
    r.stage.arrive(10.0);
    r.advance(1000);
    // Five steps left, each 500 ms of moving and 1000 ms of dwell.
    QCOMPARE(r.runner.remainingMs(), std::optional<qint64>(5 * 1500));
    r.advance(500);
    r.stage.arrive(20.0);
    r.advance(400);
    QCOMPARE(r.runner.remainingMs(), std::optional<qint64>(600 + 4 * 1500));
}

void TestSequenceRunner::linearScan()
{
    const SequenceSteps there = Sequence::linearScan(0.0, 1.0, 4, 200, false);
    QCOMPARE(there.size(), 4);
    QCOMPARE(there[1].targetUm, 1.0 / 3.0);
    QCOMPARE(there[3].targetUm, 1.0);
    QCOMPARE(there[3].dwellMs, 200);
    const SequenceSteps back = Sequence::linearScan(100.0, 0.0, 3, 0, true);
    QVector<double> targets;
    for (const SequenceStep &s : back)
        targets << s.targetUm;
    QCOMPARE(targets, (QVector<double>{100.0, 50.0, 0.0, 50.0, 100.0}));
    QCOMPARE(back.last().label, QStringLiteral("5"));
    QCOMPARE(Sequence::linearScan(5.0, 9.0, 1, 0, true).size(), 1);
    QCOMPARE(Sequence::linearScan(5.0, 9.0, 0, 0, true).size(), 0);
}

QTEST_GUILESS_MAIN(TestSequenceRunner)
#include "tst_sequencerunner.moc"
