// Open-loop moves by a distance with the step size a run measured, what is kept of that
// measurement and for how long, and what the session gives them: a position request that is
// not echoed, and drive parameters that nobody changes while a run holds the stage.

#include "characterisationrun.h"
#include "console.h"
#include "fakecontroller.h"
#include "measuredsteps.h"
#include "messageboxwatcher.h"
#include "openloopmove.h"
#include "openloopprobe.h"
#include "probe.h"
#include "steppingstage.h"

#include <QSignalSpy>
#include <QtTest>

using StepAnalysis::Direction;

namespace {

// A stage measured by a complete run, its result kept, ready to move.
struct Rig {
    ManualClock clock;
    SteppingStage stage;
    MeasuredSteps measured{&stage};
    CharacterisationRun run{&stage, clock.source()};
    OpenLoopMove move{&stage, &measured, clock.source()};
    bool answering = true;

    bool measure()
    {
        measured.follow(&run);
        CharacterisationSettings s;
        s.stepsPerBurst = 10;
        s.bursts = 4;
        s.settleMs = 0;
        if (!run.start(s).ok())
            return false;
        runUntil([this] { return !run.isRunning(); });
        stage.commands.clear();
        return measured.measurement().has_value();
    }
    void runUntil(const std::function<bool()> &done, qint64 limitMs = 600000)
    {
        for (qint64 t = 0; t < limitMs && !done(); t += 10) {
            clock.advance(10);
            if (answering)
                stage.answer();
            run.tick();
            move.tick();
        }
    }
    void moveToEnd(qint64 limitMs = 60000)
    {
        runUntil([this] { return !move.isRunning(); }, limitMs);
    }
};

using Setup = std::function<void(Rig &)>;

} // namespace

Q_DECLARE_METATYPE(Setup)
Q_DECLARE_METATYPE(OpenLoopEnding)

class TestOpenLoopMove : public QObject {
    Q_OBJECT

private slots:
    void slowAnswersAreNoStillness();
    void driveTimedFromTheFirstAnswer();
    void movesByTheMeasuredStep_data();
    void movesByTheMeasuredStep();
    void refusals_data();
    void refusals();
    void moveBeyondTheTravelSendsNothing();
    void endsEarly_data();
    void endsEarly();
    void measurementLastsForTheConnection();
    void runCutShortIsNotKept();
    void lastDirectionFollowsTheSteps_data();
    void lastDirectionFollowsTheSteps();
    void positionRequestIsSentUnechoed();
    void driveParametersAreBusyWhileARunHoldsTheStage();
};

// A controller that answers late (a loaded machine) must not have its answers taken for a stage
// at rest: the next question waits its interval after each answer, so the samples that make
// "still" lie that far apart at the controller too.
void TestOpenLoopMove::slowAnswersAreNoStillness()
{
    ManualClock clock;
    SteppingStage stage;
    OpenLoopProbe probe(&stage, clock.source());
    QSignalSpy readings(&probe, &OpenLoopProbe::reading);
    QVector<qint64> askedAt;
    probe.readWhenStill(0, 0.05, 5000);
    for (qint64 t = 0; t < 2000 && readings.isEmpty(); t += 10) {
        clock.advance(10);
        probe.tick();
        while (askedAt.size() < stage.count(QStringLiteral("cp")))
            askedAt.append(clock.now);
        // Each answer comes 200 ms after its question.
        if (stage.unanswered > 0 && clock.now - askedAt.constLast() >= 200)
            stage.answer();
    }
    QCOMPARE(readings.count(), 1);
    QVERIFY(askedAt.size() >= 3);
    for (int i = 1; i < askedAt.size(); ++i)
        QVERIFY2(askedAt.at(i) - askedAt.at(i - 1) >= 200 + OpenLoopProbe::kSampleIntervalMs,
                 qPrintable(QStringLiteral("question %1 at %2 ms").arg(i).arg(askedAt.at(i))));
}

// Steps that reach the controller late (a slow line, a loaded machine): its first answer after
// them comes 300 ms on, and the drive only begins then. Stillness is judged from that answer
// plus the drive's time, never from a stage that has not yet started.
void TestOpenLoopMove::driveTimedFromTheFirstAnswer()
{
    ManualClock clock;
    SteppingStage stage;
    OpenLoopProbe probe(&stage, clock.source());
    QSignalSpy readings(&probe, &OpenLoopProbe::reading);
    probe.readWhenStill(200, 0.05, 5000);
    qint64 firstAnswerAt = -1;
    for (qint64 t = 0; t < 3000 && readings.isEmpty(); t += 10) {
        clock.advance(10);
        probe.tick();
        if (stage.unanswered > 0 && clock.now >= 300) {
            if (firstAnswerAt < 0)
                firstAnswerAt = clock.now;
            stage.answer();
        }
    }
    QCOMPARE(readings.count(), 1);
    QVERIFY2(readings.first().at(1).toLongLong() >= firstAnswerAt + 200,
             qPrintable(QString::number(readings.first().at(1).toLongLong())));
}

void TestOpenLoopMove::movesByTheMeasuredStep_data()
{
    QTest::addColumn<double>("distance");
    QTest::addColumn<int>("stepBefore"); // +1 forward, -1 reverse, 0 none since the run
    QTest::addColumn<QString>("command");
    QTest::addColumn<int>("steps");
    QTest::addColumn<double>("expected");
    // 100 / 0.83 = 120.5 steps; 50 / 0.71 = 70.4; a turn adds the 3 steps of lost motion.
    QTest::newRow("on forward") << 100.0 << 1 << "fo" << 120 << 99.6;
    QTest::newRow("turning forward") << 100.0 << -1 << "fo" << 123 << 99.6;
    QTest::newRow("on in reverse") << -50.0 << -1 << "re" << 70 << -49.7;
    QTest::newRow("turning to reverse") << -50.0 << 1 << "re" << 73 << -49.7;
}

void TestOpenLoopMove::movesByTheMeasuredStep()
{
    QFETCH(double, distance);
    QFETCH(int, stepBefore);
    QFETCH(QString, command);
    QFETCH(int, steps);
    QFETCH(double, expected);

    Rig rig;
    QVERIFY(rig.measure());
    // The run ended in reverse; enough steps forward to take up the slack of that turn.
    for (int i = 0; i < (stepBefore > 0 ? 4 : stepBefore < 0 ? 1 : 0); ++i)
        rig.stage.step(stepBefore > 0, Mover::operatorMover());
    rig.stage.commands.clear();
    QSignalSpy finished(&rig.move, &OpenLoopMove::finished);
    QVERIFY(rig.move.start(distance, Mover::operatorMover()).ok());
    QCOMPARE(rig.stage.now.motionOwner, std::optional<Mover>(Mover::operatorMover()));
    rig.moveToEnd();

    QCOMPARE(finished.count(), 1);
    QCOMPARE(finished.at(0).at(1).toString(), QString());
    QCOMPARE(rig.move.ending(), OpenLoopEnding::Complete);
    // The position first, then the steps, then the position until it is still.
    QCOMPARE(rig.stage.commands.constFirst(), QStringLiteral("cp"));
    QCOMPARE(rig.stage.count(command), steps);
    QCOMPARE(rig.stage.count(command == QLatin1String("fo") ? QStringLiteral("re")
                                                            : QStringLiteral("fo")),
             0);
    const OpenLoopMoveOutcome o = rig.move.outcome();
    QCOMPARE(o.plan.steps, steps);
    QVERIFY(std::abs(o.plan.expectedUm - expected) < 0.01);
    QVERIFY(o.movedUm());
    QVERIFY2(std::abs(*o.movedUm() - expected) < 1e-6, qPrintable(QString::number(*o.movedUm())));
    QVERIFY(o.still);
    QVERIFY2(o.text().startsWith(QStringLiteral("Moved %1 \u00b5m in %2 %3 steps")
                                     .arg(expected)
                                     .arg(steps)
                                     .arg(command == QLatin1String("fo") ? "forward" : "reverse")),
             qPrintable(o.text()));
    QVERIFY(!rig.stage.now.motionOwner);
}

void TestOpenLoopMove::refusals_data()
{
    QTest::addColumn<Setup>("setUp");
    QTest::addColumn<double>("distance");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("message");
    using C = CommandResult::Code;
    QTest::newRow("nothing measured") << Setup([](Rig &r) { r.measured.forget(); }) << 100.0
                                      << int(C::Unavailable) << "run a step characterisation";
    QTest::newRow("parameters changed")
        << Setup([](Rig &r) { r.stage.now.cycles = 2; }) << 100.0 << int(C::Unavailable)
        << "measured with duration 10 ms, interval 1 ms and cycle 1";
    QTest::newRow("closed loop") << Setup([](Rig &r) { r.stage.now.closedLoop = true; }) << 100.0
                                 << int(C::Unavailable) << "open-loop page";
    QTest::newRow("disconnected") << Setup([](Rig &r) { r.stage.now.connected = false; }) << 100.0
                                  << int(C::NotConnected) << "not connected";
    QTest::newRow("busy") << Setup([](Rig &r) { r.stage.now.motionOwner = Mover::sequence(&r); })
                          << 100.0 << int(C::Busy) << "busy";
    QTest::newRow("under half a step")
        << Setup([](Rig &) {}) << -0.3 << int(C::BadArgument) << "less than half a step";
    QTest::newRow("too far") << Setup([](Rig &) {}) << 9000.0 << int(C::BadArgument)
                             << "at most 10000";
    QTest::newRow("not a number") << Setup([](Rig &) {}) << qQNaN() << int(C::BadArgument)
                                  << "not a number";
}

void TestOpenLoopMove::refusals()
{
    QFETCH(Setup, setUp);
    QFETCH(double, distance);
    QFETCH(int, code);
    QFETCH(QString, message);
    Rig rig;
    QVERIFY(rig.measure());
    setUp(rig);
    const std::optional<Mover> owner = rig.stage.now.motionOwner;
    const CommandResult started = rig.move.start(distance, Mover::operatorMover());
    QCOMPARE(int(started.code), code);
    QVERIFY2(started.message.contains(message), qPrintable(started.message));
    QVERIFY(!rig.move.isRunning());
    QVERIFY(rig.stage.commands.isEmpty());
    QCOMPARE(rig.stage.now.motionOwner, owner);
}

void TestOpenLoopMove::moveBeyondTheTravelSendsNothing()
{
    Rig rig;
    rig.stage.positionUm = 6200.0;
    QVERIFY(rig.measure());
    QVERIFY(rig.move.start(100.0, Mover::operatorMover()).ok());
    rig.moveToEnd();
    QCOMPARE(rig.move.ending(), OpenLoopEnding::Refused);
    QCOMPARE(rig.stage.commands, QStringList({"cp"}));
    QVERIFY(!rig.stage.now.motionOwner);
}

void TestOpenLoopMove::endsEarly_data()
{
    QTest::addColumn<Setup>("trigger");
    QTest::addColumn<OpenLoopEnding>("ending");
    QTest::addColumn<int>("stopsSent");
    QTest::newRow("stop") << Setup([](Rig &r) { r.stage.event(PanelEvent::Kind::Stop); })
                          << OpenLoopEnding::Stopped << 0;
    QTest::newRow("abort") << Setup([](Rig &r) { r.move.abort(); }) << OpenLoopEnding::Stopped << 1;
    QTest::newRow("lost link") << Setup([](Rig &r) {
        r.stage.now.connected = false;
        r.stage.event(PanelEvent::Kind::Disconnected, QStringLiteral("gone"));
    }) << OpenLoopEnding::LinkLost
                               << 0;
    QTest::newRow("controller error") << Setup([](Rig &r) {
        emit r.stage.panelEvent(PanelEvent{PanelEvent::Kind::Error, QStringLiteral("busy"),
                                           PanelEvent::Source::Controller});
    }) << OpenLoopEnding::ControllerError
                                      << 1;
    QTest::newRow("no reply") << Setup([](Rig &r) { r.answering = false; })
                              << OpenLoopEnding::NoPositionReply << 1;
}

void TestOpenLoopMove::endsEarly()
{
    QFETCH(Setup, trigger);
    QFETCH(OpenLoopEnding, ending);
    QFETCH(int, stopsSent);
    Rig rig;
    QVERIFY(rig.measure());
    QSignalSpy finished(&rig.move, &OpenLoopMove::finished);
    QVERIFY(rig.move.start(100.0, Mover::operatorMover()).ok());
    // The steps are out; the stage is being read back.
    rig.runUntil([&rig] { return rig.stage.count(QStringLiteral("fo")) > 0; });
    trigger(rig);
    rig.moveToEnd(1100);
    QCOMPARE(finished.count(), 1);
    QVERIFY(!finished.at(0).at(1).toString().isEmpty());
    QCOMPARE(rig.move.ending(), ending);
    QCOMPARE(rig.stage.count(QStringLiteral("stop")), stopsSent);
    QVERIFY(!rig.stage.now.motionOwner);
    const QStringList sent = rig.stage.commands;
    rig.answering = true;
    rig.runUntil([] { return false; }, 3000);
    QCOMPARE(rig.stage.commands, sent);
}

void TestOpenLoopMove::measurementLastsForTheConnection()
{
    Rig rig;
    QSignalSpy changed(&rig.measured, &MeasuredSteps::changed);
    QCOMPARE(rig.measured.summary(), QStringLiteral("Step size not measured"));
    QVERIFY(rig.measure());
    QCOMPARE(changed.count(), 1);
    const QString summary = rig.measured.summary();
    QVERIFY2(summary.startsWith(QStringLiteral("\u2248 0.83 \u00b5m/step forward, 0.71 reverse, "
                                               "measured ")) &&
                 summary.endsWith(QStringLiteral(" UTC")),
             qPrintable(summary));
    const StepMeasurement &m = *rig.measured.measurement();
    QCOMPARE(m.durationMs, 10);
    QCOMPARE(m.intervalMs, 1);
    QCOMPARE(m.cycles, 1);

    // Stops, notes and errors leave it; the end of the connection does not.
    rig.stage.event(PanelEvent::Kind::Stop);
    rig.stage.event(PanelEvent::Kind::Note);
    QVERIFY(rig.measured.measurement());
    rig.stage.event(PanelEvent::Kind::Disconnected, QStringLiteral("gone"));
    QVERIFY(!rig.measured.measurement());
    QCOMPARE(changed.count(), 2);
    QCOMPARE(rig.measured.summary(), QStringLiteral("Step size not measured"));
}

void TestOpenLoopMove::runCutShortIsNotKept()
{
    Rig rig;
    rig.measured.follow(&rig.run);
    CharacterisationSettings s;
    s.stepsPerBurst = 10;
    s.bursts = 10;
    QVERIFY(rig.run.start(s).ok());
    rig.runUntil([&rig] { return rig.run.burst() == 8; });
    rig.run.abort();
    QVERIFY(rig.run.result().usable());
    QVERIFY(!rig.measured.measurement());
}

void TestOpenLoopMove::lastDirectionFollowsTheSteps_data()
{
    QTest::addColumn<QList<PanelEvent>>("events");
    QTest::addColumn<int>("direction");
    using K = PanelEvent::Kind;
    const PanelEvent forward{K::OpenLoopStep, QStringLiteral("forward")};
    const PanelEvent reverse{K::OpenLoopStep, QStringLiteral("reverse")};
    QTest::newRow("none") << QList<PanelEvent>{} << 0;
    QTest::newRow("forward") << QList<PanelEvent>{reverse, forward} << 1;
    QTest::newRow("reverse") << QList<PanelEvent>{forward, reverse} << -1;
    QTest::newRow("bi ends in reverse")
        << QList<PanelEvent>{forward, PanelEvent{K::OpenLoopStep, QStringLiteral("bi")}} << -1;
    QTest::newRow("closed-loop move") << QList<PanelEvent>{forward, PanelEvent{K::Move, "10"}} << 0;
    QTest::newRow("homed") << QList<PanelEvent>{forward, PanelEvent{K::Homed, {}}} << 0;
    QTest::newRow("reconnected") << QList<PanelEvent>{forward, PanelEvent{K::Connected,
                                                                          QStringLiteral("/dev/x")}}
                                 << 0;
    QTest::newRow("parameters keep it")
        << QList<PanelEvent>{forward, PanelEvent{K::OpenLoopParameter, ">cycle 2"}} << 1;
}

void TestOpenLoopMove::lastDirectionFollowsTheSteps()
{
    QFETCH(QList<PanelEvent>, events);
    QFETCH(int, direction);
    SteppingStage stage;
    MeasuredSteps measured(&stage);
    for (const PanelEvent &e : events)
        emit stage.panelEvent(e);
    const std::optional<Direction> expected =
        direction == 0
            ? std::nullopt
            : std::optional<Direction>(direction > 0 ? Direction::Forward : Direction::Reverse);
    QCOMPARE(measured.lastDirection(), expected);
}

namespace {

struct SessionRig {
    MessageBoxWatcher boxes;
    FakeController controller;
    Panel panel;
    MainWindowProbe probe{panel.window()};
    Stage *stage = panel.window().session();

    // Connected to a DVX1901 and on the open-loop page.
    bool openLoop()
    {
        if (!stage->connectPort(controller.portPath()).ok())
            return false;
        if (!controller.waitForReceived(">inform\r>status\r"))
            return false;
        controller.send("_Ver 312 DVX1901\r");
        if (!QTest::qWaitFor([this] { return stage->state().identified(); }))
            return false;
        probe.ui()->tabWidget_LoopMode->setCurrentIndex(1);
        return controller.waitForReceived(">cycle 1\r");
    }
};

} // namespace

void TestOpenLoopMove::positionRequestIsSentUnechoed()
{
    SessionRig rig;
    QCOMPARE(int(rig.stage->requestPosition().code), int(CommandResult::Code::NotConnected));
    QVERIFY(rig.openLoop());
    rig.controller.clearReceived();
    const QString console = rig.probe.console()->toPlainText();
    QSignalSpy positions(rig.stage, &Stage::positionReceived);
    QVERIFY(rig.stage->requestPosition().ok());
    QVERIFY(rig.controller.waitForReceived(">cp\r"));
    rig.controller.send("_cp 12.345 um\r");
    QVERIFY(positions.wait());
    QCOMPARE(positions.at(0).at(0).toDouble(), 12.345);
    QCOMPARE(rig.probe.console()->toPlainText(), console);
}

void TestOpenLoopMove::driveParametersAreBusyWhileARunHoldsTheStage()
{
    SessionRig rig;
    QVERIFY(rig.openLoop());
    int script = 0;
    const Mover client = Mover::client(&script);
    const Mover run = Mover::characterisation(&script);
    QVERIFY(rig.stage->claimMotion(run).ok());
    rig.controller.clearReceived();
    const CommandResult changed = rig.stage->setOpenLoop(50, std::nullopt, 3, client);
    QCOMPARE(int(changed.code), int(CommandResult::Code::Busy));
    QCOMPARE(rig.stage->state().cycles, 1);
    // The run itself sends them as it needs.
    QVERIFY(rig.stage->setOpenLoop(100, 500, 1, run).ok());
    QVERIFY(rig.controller.waitForReceived(">duration 100\r>interval 500\r>cycle 1\r"));
    QVERIFY(!rig.controller.received().contains(">duration 50"));
    rig.stage->releaseMotion(run);
    QVERIFY(rig.stage->setOpenLoop(50, std::nullopt, std::nullopt, client).ok());
    QCOMPARE(rig.stage->state().durationMs, 50);
}

QTEST_MAIN(TestOpenLoopMove)
#include "tst_openloopmove.moc"
