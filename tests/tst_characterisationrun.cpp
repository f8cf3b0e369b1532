// The characterisation run against a scripted stage on a clock the test moves: what it sends and
// in which order, the shape of its bursts, where it turns back, what it refuses, and every way
// it ends early, each naming the burst it reached and sending nothing more.

#include "characterisationrun.h"
#include "steppingstage.h"
#include "stepsender.h"

#include <QSignalSpy>
#include <QtTest>

#include <functional>

using StepAnalysis::Direction;

namespace {

struct Rig {
    ManualClock clock;
    SteppingStage stage;
    CharacterisationRun run{&stage, clock.source()};
    bool answering = true;
    // Called on every tick before the stage answers: a stage that creeps, jumps or goes away.
    std::function<void()> meanwhile;
    QVector<double> answered;

    Rig()
    {
        QObject::connect(&stage, &Stage::positionReceived,
                         [this](double um, PositionSource) { answered << um; });
    }

    static CharacterisationSettings small()
    {
        CharacterisationSettings s;
        s.stepsPerBurst = 10;
        s.bursts = 4;
        s.settleMs = 100;
        s.toleranceUm = 0.05;
        return s;
    }

    // Moves time on in 10 ms steps, answering what was asked, until done() or limitMs.
    void runUntil(const std::function<bool()> &done, qint64 limitMs = 600000)
    {
        for (qint64 t = 0; t < limitMs && !done(); t += 10) {
            clock.advance(10);
            if (meanwhile)
                meanwhile();
            if (answering)
                stage.answer();
            run.tick();
        }
    }
    void runToEnd(qint64 limitMs = 600000)
    {
        runUntil([this] { return !run.isRunning(); }, limitMs);
    }
    // Until burst n has been sent and not read back yet.
    void runToBurst(int n)
    {
        runUntil([this, n] {
            return run.burst() == n && run.currentPhase() == CharacterisationRun::Phase::Stepping;
        });
    }
    int steps() const
    {
        return stage.count(QStringLiteral("fo")) + stage.count(QStringLiteral("re"));
    }
};

using Edit = std::function<void(Rig &, CharacterisationSettings &)>;

enum class Trigger {
    StopButton,
    OperatorStop,
    LostLink,
    ControllerError,
    LeftSpan,
    NoReply,
    PageLeft
};

} // namespace

Q_DECLARE_METATYPE(Trigger)
Q_DECLARE_METATYPE(Edit)
Q_DECLARE_METATYPE(StepAnalysis::Direction)
Q_DECLARE_METATYPE(OpenLoopEnding)

class TestCharacterisationRun : public QObject {
    Q_OBJECT

private slots:
    void sendsParametersFirstThenBurstsInRunsOfOneDirection();
    void refusals_data();
    void refusals();
    void endsEarly_data();
    void endsEarly();
    void errorsOfTheLinkOrPanelDoNotEndIt();
    void turnsBackBeforeTheSpanEdge();
    void firstBurstDirection_data();
    void firstBurstDirection();
    void defaultSpanIsATenthOfTheTravelAroundThePosition();
    void positionOutsideTheGivenSpanSendsNothing();
    void readsOnlyOnceTheStageIsStill();
    void panelGoingAwayMidRunStopsTheStage();
    void longTrainsAreSentInParts();
};

void TestCharacterisationRun::sendsParametersFirstThenBurstsInRunsOfOneDirection()
{
    Rig rig;
    QSignalSpy finished(&rig.run, &CharacterisationRun::finished);
    QVERIFY(rig.run.start(Rig::small()).ok());
    QCOMPARE(rig.stage.now.motionOwner, std::optional<Mover>(Mover::characterisation(&rig.run)));
    // The page's parameters as they are, then the first position, before any step.
    QCOMPARE(rig.stage.commands, QStringList({"duration 10", "interval 1", "cycle 1", "cp"}));
    rig.runToEnd();

    QCOMPARE(finished.count(), 1);
    QCOMPARE(finished.at(0).at(0).toBool(), true);
    QCOMPARE(rig.run.ending(), OpenLoopEnding::Complete);
    QVERIFY(!rig.stage.now.motionOwner);
    QCOMPARE(rig.stage.count(QStringLiteral("stop")), 0);
    QCOMPARE(rig.stage.count(QStringLiteral("fo")), 40);
    QCOMPARE(rig.stage.count(QStringLiteral("re")), 40);

    // Runs of two bursts each way: every run after the first begins with a reversal.
    QString shape;
    for (const StepAnalysis::Burst &b : rig.run.bursts()) {
        QCOMPARE(b.steps, 10);
        shape += b.direction == Direction::Forward ? QLatin1Char('F') : QLatin1Char('R');
        // The stage was read once it had been driven for all the burst's steps.
        QVERIFY(b.afterS && *b.afterS - b.beforeS >= (10 * 10 + 9 * 1) / 1000.0);
        QVERIFY(b.settledS && std::abs(*b.settledS - *b.afterS - 0.1) < 0.015);
    }
    QCOMPARE(shape, QStringLiteral("FFRRFFRR"));

    const StepAnalysis::Result r = rig.run.result();
    QVERIFY(std::abs(r.forward.umPerStep.mean - 0.83) < 1e-6);
    QVERIFY(std::abs(r.reverse.umPerStep.mean - 0.71) < 1e-6);
    QVERIFY(std::abs(r.reverse.lostSteps.mean - 3.0) < 1e-6);
    QVERIFY(std::abs(r.forward.lostSteps.mean - 3.0) < 1e-6);
    QCOMPARE(r.bursts.first().kind, StepAnalysis::BurstKind::First);
}

void TestCharacterisationRun::refusals_data()
{
    QTest::addColumn<Edit>("setUp");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("message");
    const auto row = [](const char *name, Edit edit, CommandResult::Code code, const char *text) {
        QTest::newRow(name) << edit << int(code) << QString::fromUtf8(text);
    };
    using C = CommandResult::Code;
    row(
        "disconnected", [](Rig &r, auto &) { r.stage.now.connected = false; }, C::NotConnected,
        "not connected");
    row(
        "unidentified", [](Rig &r, auto &) { r.stage.now.model.clear(); }, C::Unavailable,
        "identified");
    row(
        "model 1804", [](Rig &r, auto &) { r.stage.now.model = QStringLiteral("1804"); },
        C::Unavailable, "DVX1901");
    row(
        "closed loop", [](Rig &r, auto &) { r.stage.now.closedLoop = true; }, C::Unavailable,
        "open-loop page");
    row(
        "busy", [](Rig &r, auto &) { r.stage.now.motionOwner = Mover::sequence(&r); }, C::Busy,
        "a sequence run");
    row(
        "no steps", [](Rig &, auto &s) { s.stepsPerBurst = 0; }, C::BadArgument, "Steps per burst");
    row(
        "too many steps", [](Rig &, auto &s) { s.stepsPerBurst = 1001; }, C::BadArgument,
        "Steps per burst");
    row(
        "one burst", [](Rig &, auto &s) { s.bursts = 1; }, C::BadArgument, "Bursts");
    row(
        "negative settle", [](Rig &, auto &s) { s.settleMs = -1; }, C::BadArgument, "settle");
    row(
        "no tolerance", [](Rig &, auto &s) { s.toleranceUm = 0.0; }, C::BadArgument, "tolerance");
    row(
        "tolerance nan", [](Rig &, auto &s) { s.toleranceUm = qQNaN(); }, C::BadArgument,
        "tolerance");
    row(
        "one span end", [](Rig &, auto &s) { s.spanFromUm = 900.0; }, C::BadArgument, "both");
    row(
        "span backwards",
        [](Rig &, auto &s) {
            s.spanFromUm = 1100.0;
            s.spanToUm = 900.0;
        },
        C::BadArgument, "smaller to a larger");
    row(
        "span infinite",
        [](Rig &, auto &s) {
            s.spanFromUm = 900.0;
            s.spanToUm = qInf();
        },
        C::BadArgument, "smaller to a larger");
    row(
        "span beyond travel",
        [](Rig &, auto &s) {
            s.spanFromUm = 900.0;
            s.spanToUm = 7000.0;
        },
        C::BadArgument, "beyond the travel");
    row(
        "drive too long",
        [](Rig &r, auto &s) {
            r.stage.now.durationMs = 5000;
            r.stage.now.cycles = 1000;
            s.stepsPerBurst = 1000;
        },
        C::BadArgument, "would drive for");
}

void TestCharacterisationRun::refusals()
{
    QFETCH(Edit, setUp);
    QFETCH(int, code);
    QFETCH(QString, message);
    Rig rig;
    CharacterisationSettings s = Rig::small();
    setUp(rig, s);
    const std::optional<Mover> owner = rig.stage.now.motionOwner;
    const CommandResult checked = rig.run.check(s);
    const CommandResult started = rig.run.start(s);
    QCOMPARE(int(checked.code), code);
    QCOMPARE(int(started.code), code);
    QVERIFY2(started.message.contains(message, Qt::CaseInsensitive), qPrintable(started.message));
    QVERIFY(!rig.run.isRunning());
    QVERIFY(rig.stage.commands.isEmpty());
    QCOMPARE(rig.stage.now.motionOwner, owner);
}

void TestCharacterisationRun::endsEarly_data()
{
    QTest::addColumn<Trigger>("trigger");
    QTest::addColumn<OpenLoopEnding>("ending");
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("stopsSent");
    QTest::newRow("Stop in its window") << Trigger::StopButton << OpenLoopEnding::Stopped
                                        << "Stopped at burst 3 of 8 (reverse)" << 1;
    QTest::newRow("Stop elsewhere") << Trigger::OperatorStop << OpenLoopEnding::Stopped
                                    << "Stopped at burst 3 of 8 (reverse)" << 0;
    QTest::newRow("lost link") << Trigger::LostLink << OpenLoopEnding::LinkLost
                               << "The link to the controller was lost at burst 3 of 8 (reverse): "
                                  "unplugged"
                               << 0;
    QTest::newRow("controller error")
        << Trigger::ControllerError << OpenLoopEnding::ControllerError
        << "Stopped at burst 3 of 8 (reverse): The controller answered with an error: busy" << 1;
    QTest::newRow("left the span")
        << Trigger::LeftSpan << OpenLoopEnding::LeftSpan
        << "Stopped at burst 3 of 8 (reverse): the position 2000 \u00b5m "
           "left the span"
        << 1;
    QTest::newRow("no reply") << Trigger::NoReply << OpenLoopEnding::NoPositionReply
                              << "No position reply within 1 s at burst 3 of 8 (reverse): this "
                                 "controller does not report positions in open loop"
                              << 1;
    QTest::newRow("page left") << Trigger::PageLeft << OpenLoopEnding::Refused
                               << "Stopped at burst 3 of 8 (reverse): the panel left the "
                                  "open-loop page"
                               << 1;
}

void TestCharacterisationRun::endsEarly()
{
    QFETCH(Trigger, trigger);
    QFETCH(OpenLoopEnding, ending);
    QFETCH(QString, message);
    QFETCH(int, stopsSent);

    Rig rig;
    QSignalSpy finished(&rig.run, &CharacterisationRun::finished);
    QVERIFY(rig.run.start(Rig::small()).ok());
    rig.runToBurst(3);
    QVERIFY(rig.run.isRunning());
    switch (trigger) {
    case Trigger::StopButton:
        rig.run.abort();
        break;
    case Trigger::OperatorStop:
        rig.stage.event(PanelEvent::Kind::Stop);
        break;
    case Trigger::LostLink:
        rig.stage.now.connected = false;
        rig.stage.event(PanelEvent::Kind::Disconnected, QStringLiteral("unplugged"));
        break;
    case Trigger::ControllerError:
        emit rig.stage.panelEvent(PanelEvent{PanelEvent::Kind::Error,
                                             QStringLiteral("The controller answered with an "
                                                            "error: busy"),
                                             PanelEvent::Source::Controller});
        break;
    case Trigger::LeftSpan:
        rig.stage.positionUm = 2000.0;
        break;
    case Trigger::NoReply:
        rig.answering = false;
        break;
    case Trigger::PageLeft:
        rig.stage.change([](PanelState &s) { s.closedLoop = true; });
        break;
    }
    // The 1 s without a reply is the longest any of them takes.
    rig.runToEnd(1100);
    QVERIFY(!rig.run.isRunning());
    QCOMPARE(finished.count(), 1);
    QCOMPARE(finished.at(0).at(0).toBool(), false);
    QCOMPARE(finished.at(0).at(1).toString(), rig.run.message());
    QVERIFY2(rig.run.message().startsWith(message), qPrintable(rig.run.message()));
    QCOMPARE(rig.run.ending(), ending);
    QCOMPARE(rig.stage.count(QStringLiteral("stop")), stopsSent);
    QVERIFY(!rig.stage.now.motionOwner);
    // The burst cut short is kept, without its reading.
    QCOMPARE(rig.run.bursts().size(), 3);
    QVERIFY(!rig.run.bursts().constLast().afterUm);

    // Nothing more is sent, however long the panel waits.
    const QStringList sent = rig.stage.commands;
    rig.answering = true;
    rig.stage.now.connected = true;
    rig.runUntil([] { return false; }, 5000);
    QCOMPARE(rig.stage.commands, sent);
    QCOMPARE(finished.count(), 1);
}

void TestCharacterisationRun::errorsOfTheLinkOrPanelDoNotEndIt()
{
    Rig rig;
    QVERIFY(rig.run.start(Rig::small()).ok());
    rig.runToBurst(2);
    emit rig.stage.panelEvent(
        PanelEvent{PanelEvent::Kind::Error, QStringLiteral("a box"), PanelEvent::Source::Panel});
    rig.stage.event(PanelEvent::Kind::Note, QStringLiteral("a note"));
    QVERIFY(rig.run.isRunning());
    rig.runToEnd();
    QCOMPARE(rig.run.ending(), OpenLoopEnding::Complete);
}

void TestCharacterisationRun::turnsBackBeforeTheSpanEdge()
{
    Rig rig;
    CharacterisationSettings s = Rig::small();
    s.spanFromUm = 990.0;
    s.spanToUm = 1015.0;
    s.bursts = 6;
    QVERIFY(rig.run.start(s).ok());
    rig.runToEnd();
    QCOMPARE(rig.run.ending(), OpenLoopEnding::Complete);
    QVERIFY(!rig.answered.isEmpty());
    for (double um : rig.answered)
        QVERIFY2(um >= 990.0 && um <= 1015.0, qPrintable(QString::number(um)));
    // The span is narrower than a run of three bursts: the run turned before the edge.
    int longest = 0;
    int current = 0;
    std::optional<Direction> last;
    for (const StepAnalysis::Burst &b : rig.run.bursts()) {
        current = last == b.direction ? current + 1 : 1;
        last = b.direction;
        longest = std::max(longest, current);
    }
    QVERIFY(longest < 3);
    QVERIFY(rig.run.result().forward.umPerStep.measured() || !rig.run.message().isEmpty());
}

void TestCharacterisationRun::firstBurstDirection_data()
{
    QTest::addColumn<double>("below");
    QTest::addColumn<double>("above");
    QTest::addColumn<int>("before");
    QTest::addColumn<Direction>("first");
    QTest::newRow("as much room, unknown") << 100.0 << 100.0 << 0 << Direction::Forward;
    QTest::newRow("as much room, reverse before") << 100.0 << 100.0 << -1 << Direction::Reverse;
    QTest::newRow("more room below") << 200.0 << 100.0 << 0 << Direction::Reverse;
    QTest::newRow("more room above, reverse before") << 100.0 << 200.0 << -1 << Direction::Forward;
}

void TestCharacterisationRun::firstBurstDirection()
{
    QFETCH(double, below);
    QFETCH(double, above);
    QFETCH(int, before);
    QFETCH(Direction, first);
    Rig rig;
    CharacterisationSettings s = Rig::small();
    s.spanFromUm = rig.stage.positionUm - below;
    s.spanToUm = rig.stage.positionUm + above;
    if (before != 0)
        s.directionBefore = before > 0 ? Direction::Forward : Direction::Reverse;
    QVERIFY(rig.run.start(s).ok());
    rig.runToBurst(1);
    QCOMPARE(rig.run.bursts().constFirst().direction, first);
    rig.run.abort();
}

void TestCharacterisationRun::defaultSpanIsATenthOfTheTravelAroundThePosition()
{
    Rig rig;
    rig.stage.positionUm = 100.0;
    QVERIFY(rig.run.start(Rig::small()).ok());
    rig.runToBurst(1);
    // A tenth of the 6500 µm travel each way, cut at its lower end.
    QCOMPARE(*rig.run.spanFromUm(), -250.0);
    QCOMPARE(*rig.run.spanToUm(), 750.0);
    rig.run.abort();
}

void TestCharacterisationRun::positionOutsideTheGivenSpanSendsNothing()
{
    Rig rig;
    CharacterisationSettings s = Rig::small();
    s.spanFromUm = 0.0;
    s.spanToUm = 500.0;
    QVERIFY(rig.run.start(s).ok());
    rig.runToEnd(2000);
    QCOMPARE(rig.run.ending(), OpenLoopEnding::Refused);
    QVERIFY2(rig.run.message().contains(QStringLiteral("outside the span")),
             qPrintable(rig.run.message()));
    QCOMPARE(rig.steps(), 0);
    QCOMPARE(rig.stage.count(QStringLiteral("stop")), 0);
    QVERIFY(!rig.stage.now.motionOwner);
}

void TestCharacterisationRun::readsOnlyOnceTheStageIsStill()
{
    Rig rig;
    // After the first burst the stage creeps on for 400 ms.
    qint64 creepUntil = -1;
    rig.meanwhile = [&] {
        if (creepUntil < 0 && rig.run.burst() == 1)
            creepUntil = rig.clock.now + 400;
        if (rig.clock.now <= creepUntil)
            rig.stage.positionUm += 0.1;
    };
    QVERIFY(rig.run.start(Rig::small()).ok());
    rig.runUntil([&] { return rig.run.burst() == 2; });
    const StepAnalysis::Burst b = rig.run.bursts().constFirst();
    QVERIFY(b.afterUm);
    // Read once the creep was over, not while it went on.
    QVERIFY2(std::abs(*b.afterUm - (1000.0 + 8.3 + 4.0)) < 0.15,
             qPrintable(QString::number(*b.afterUm)));
    QVERIFY(std::abs(*b.settledUm - *b.afterUm) < 0.15);
    rig.run.abort();
}

void TestCharacterisationRun::panelGoingAwayMidRunStopsTheStage()
{
    SteppingStage stage;
    ManualClock clock;
    {
        CharacterisationRun run(&stage, clock.source());
        QVERIFY(run.start(Rig::small()).ok());
        stage.answer();
        QVERIFY(run.burst() == 1);
    }
    QCOMPARE(stage.count(QStringLiteral("stop")), 1);
    QVERIFY(!stage.now.motionOwner);
}

void TestCharacterisationRun::longTrainsAreSentInParts()
{
    SteppingStage stage;
    StepSender sender(&stage);
    QSignalSpy sent(&sender, &StepSender::sent);
    QSignalSpy refused(&sender, &StepSender::refused);
    // A part now, the rest from the event loop, which runs in between.
    sender.send(false, 2 * StepSender::kStepsPerTurn + 10, Mover::operatorMover());
    QCOMPARE(stage.count(QStringLiteral("re")), StepSender::kStepsPerTurn);
    QVERIFY(sender.isSending());
    QVERIFY(sent.wait(1000));
    QCOMPARE(stage.count(QStringLiteral("re")), 2 * StepSender::kStepsPerTurn + 10);
    QCOMPARE(sent.count(), 1);

    // Cancelled between parts: nothing more goes.
    stage.commands.clear();
    sender.send(true, 3 * StepSender::kStepsPerTurn, Mover::operatorMover());
    sender.cancel();
    QTest::qWait(50);
    QCOMPARE(stage.count(QStringLiteral("fo")), StepSender::kStepsPerTurn);
    QCOMPARE(sent.count(), 1);

    // A refused step ends the train and says why.
    stage.commands.clear();
    stage.now.motionOwner = Mover::sequence(&stage);
    sender.send(true, 5, Mover::operatorMover());
    QCOMPARE(refused.count(), 1);
    QCOMPARE(stage.count(QStringLiteral("fo")), 0);
    QVERIFY(!sender.isSending());
}

QTEST_GUILESS_MAIN(TestCharacterisationRun)
#include "tst_characterisationrun.moc"
