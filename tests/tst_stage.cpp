// The panel's command interface and its shared move pieces: what each command writes to the
// controller or why it is refused, what the panel announces, the settling rule, fast sampling
// and the move-and-wait runner.

#include "fakecontroller.h"
#include "fastsampler.h"
#include "messageboxwatcher.h"
#include "movewaiter.h"
#include "probe.h"
#include "scriptedstage.h"
#include "settling.h"

#include <QSignalSpy>
#include <QtTest>

namespace {

const QByteArray kIdent1901 = "_Ver 312 DVX1901\r";
const QByteArray kPoll = ">cp\r";
const QByteArray kMarker = ">marker\r";

struct Rig {
    MessageBoxWatcher boxes;
    FakeController controller;
    Panel panel;
    MainWindow &window = panel.window();
    MainWindowProbe probe{window};
    Stage *stage = window.session();

    bool connectAndIdentify()
    {
        if (!stage->connectPort(controller.portPath()).ok())
            return false;
        if (!controller.waitForReceived(">inform\r>status\r"))
            return false;
        controller.send(kIdent1901);
        if (!QTest::qWaitFor([this] { return stage->state().identified(); }))
            return false;
        probe.invoke("checkVersion");
        controller.clearReceived();
        return true;
    }

    // Everything written since the last call, polls left out.
    QByteArray sent()
    {
        probe.serialPort()->write(kMarker);
        if (!controller.waitForReceived(kMarker))
            return "<marker never arrived>";
        QByteArray all = controller.takeReceived();
        all.replace(kPoll, QByteArray());
        return all.left(all.indexOf(kMarker));
    }
};

} // namespace

class TestStage : public QObject {
    Q_OBJECT

private slots:
    void settlingNeedsThreeConsecutiveSamples_data();
    void settlingNeedsThreeConsecutiveSamples();
    void fastSamplerRunsOnlyWhenAllowedAndAsked();
    void moveWaiterSettlesTimesOutAndLosesTheLink();
    void commandsRefusedWithoutALink();
    void commandsWriteWhatTheControlsWrite();
    void outOfTravelTargetIsRefusedAndNothingSent();
    void openLoopPageRefusesClosedLoopMoves();
    void announcementsFollowTheOperatorsActions();
    void fastSamplesOnlyAfterIdentificationAndStopOnDisconnect();
    void lockedMoveControlsStayLockedAgainstTheTick();
    void headlessErrorsOpenNoBox();
};

void TestStage::settlingNeedsThreeConsecutiveSamples_data()
{
    QTest::addColumn<QVector<double>>("positions");
    QTest::addColumn<int>("entry");
    QTest::newRow("clean step") << QVector<double>{0, 50, 99.8, 100.1, 100.0} << 2;
    QTest::newRow("overshoot and ring")
        << QVector<double>{0, 80, 100.3, 101, 100.2, 99.9, 100} << 4;
    QTest::newRow("never") << QVector<double>{0, 99, 101, 99, 101} << -1;
    QTest::newRow("two inside are not enough") << QVector<double>{100, 100, 90} << -1;
    QTest::newRow("nan breaks a run") << QVector<double>{100, qQNaN(), 100, 100, 100} << 2;
}

void TestStage::settlingNeedsThreeConsecutiveSamples()
{
    QFETCH(QVector<double>, positions);
    QFETCH(int, entry);
    const auto found = Settling::settlingEntry(positions, 100.0, 0.5);
    QCOMPARE(found.value_or(-1), entry);
}

void TestStage::fastSamplerRunsOnlyWhenAllowedAndAsked()
{
    FastSampler sampler;
    int a = 0, b = 0;
    sampler.request(&a, 100);
    QVERIFY(!sampler.isRunning());
    sampler.setAllowed(true);
    QVERIFY(sampler.isRunning());
    sampler.request(&b, 20);
    QCOMPARE(sampler.intervalMs(), 20);
    sampler.request(&b, 0);
    QCOMPARE(sampler.intervalMs(), 100);
    sampler.setAllowed(false);
    QVERIFY(!sampler.isRunning());
    sampler.setAllowed(true);
    sampler.request(&a, 0);
    QVERIFY(!sampler.isRunning());
}

void TestStage::moveWaiterSettlesTimesOutAndLosesTheLink()
{
    ScriptedStage stage;
    qint64 nowMs = 0;
    MoveWaiter waiter(&stage, [&nowMs] { return nowMs; });
    QSignalSpy settled(&waiter, &MoveWaiter::settled);
    QSignalSpy timedOut(&waiter, &MoveWaiter::timedOut);
    QSignalSpy lost(&waiter, &MoveWaiter::linkLost);

    waiter.start(100.0, 0.5, 1000);
    QCOMPARE(stage.sampling.value(&waiter), MoveWaiter::kSampleIntervalMs);
    for (double um : {20.0, 100.2, 100.1}) {
        nowMs += 50;
        stage.report(um);
    }
    QCOMPARE(settled.count(), 0);
    nowMs += 50;
    stage.report(99.9);
    QCOMPARE(settled.count(), 1);
    QCOMPARE(settled.at(0).at(0).toDouble(), 99.9);
    QCOMPARE(settled.at(0).at(1).toDouble(), 0.2);
    QCOMPARE(stage.sampling.value(&waiter), 0);
    stage.report(100.0); // nothing more once settled
    QCOMPARE(settled.count(), 1);

    waiter.start(500.0, 0.5, 1000);
    stage.report(300.0);
    nowMs += 999;
    waiter.checkTimeout();
    QCOMPARE(timedOut.count(), 0);
    nowMs += 1;
    waiter.checkTimeout();
    QCOMPARE(timedOut.count(), 1);
    QCOMPARE(timedOut.at(0).at(0).toDouble(), 300.0);
    QVERIFY(!waiter.isWaiting());

    waiter.start(500.0, 0.5, 1000);
    emit stage.panelEvent(PanelEvent{PanelEvent::Kind::Disconnected, QStringLiteral("gone")});
    QCOMPARE(lost.count(), 1);
    QCOMPARE(lost.at(0).at(0).toString(), QStringLiteral("gone"));
    QCOMPARE(stage.sampling.value(&waiter), 0);

    // A move the controller refused will never settle: the wait ends at once with the reason.
    QSignalSpy refused(&waiter, &MoveWaiter::refused);
    waiter.start(500.0, 0.5, 1000);
    emit stage.panelEvent(PanelEvent{PanelEvent::Kind::Error, QStringLiteral("other"),
                                     PanelEvent::Source::Controller});
    QVERIFY(waiter.isWaiting());
    emit stage.panelEvent(PanelEvent{PanelEvent::Kind::MoveRefused, QStringLiteral("busy"),
                                     PanelEvent::Source::Controller});
    QCOMPARE(refused.count(), 1);
    QCOMPARE(refused.at(0).at(0).toString(), QStringLiteral("busy"));
    QVERIFY(!waiter.isWaiting());
}

void TestStage::commandsRefusedWithoutALink()
{
    Panel panel;
    MainWindow &window = panel.window();
    Stage *stage = window.session();
    using Code = CommandResult::Code;
    QCOMPARE(stage->home(Mover::client(nullptr)).code, Code::NotConnected);
    QCOMPARE(stage->moveTo(10, Mover::client(nullptr)).code, Code::NotConnected);
    QCOMPARE(stage->moveBy(-1, Mover::client(nullptr)).code, Code::NotConnected);
    QCOMPARE(stage->sendLine(QStringLiteral(">cp"), Mover::client(nullptr)).code,
             Code::NotConnected);
    QCOMPARE(stage->disconnectPort().code, Code::NotConnected);
    QVERIFY(!stage->home(Mover::client(nullptr)).message.isEmpty());
}

void TestStage::commandsWriteWhatTheControlsWrite()
{
    Rig rig;
    QVERIFY(rig.connectAndIdentify());
    using Code = CommandResult::Code;
    // "+" and "-" wait for Home, as they do for the operator.
    QCOMPARE(rig.stage->moveBy(5, Mover::client(nullptr)).code, Code::Unavailable);
    QVERIFY(rig.stage->home(Mover::client(nullptr)).ok());
    QCOMPARE(rig.sent(), QByteArray(">stop\r>home\r"));
    QVERIFY(rig.stage->moveTo(1000, Mover::client(nullptr)).ok());
    QCOMPARE(rig.sent(), QByteArray(">ma 10000"));
    QVERIFY(rig.stage->moveBy(-2.5, Mover::client(nullptr)).ok());
    QCOMPARE(rig.sent(), QByteArray(">mr -25"));
    QCOMPARE(rig.stage->state().targetUm.value_or(-1), 997.5);
    QVERIFY(rig.stage->stop(Mover::client(nullptr)).ok());
    QCOMPARE(rig.sent(), QByteArray(">stop\r"));
    QVERIFY(rig.stage->sendLine(QStringLiteral(">status"), Mover::client(nullptr)).ok());
    QCOMPARE(rig.sent(), QByteArray(">status\r"));
    QCOMPARE(rig.stage->sendLine(QStringLiteral(">a\r>b"), Mover::client(nullptr)).code,
             Code::BadArgument);
    QCOMPARE(rig.stage->moveBy(qInf(), Mover::client(nullptr)).code, Code::BadArgument);
    QCOMPARE(rig.stage->connectPort(QString()).code, Code::Unavailable);
    QCOMPARE(rig.sent(), QByteArray());
}

void TestStage::outOfTravelTargetIsRefusedAndNothingSent()
{
    Rig rig;
    QVERIFY(rig.connectAndIdentify());
    QVERIFY(rig.stage->home(Mover::client(nullptr)).ok());
    rig.sent();
    const PanelState s = rig.stage->state();
    for (double um : {s.travelMaxUm + 1, s.travelMinUm - 1, qQNaN()})
        QCOMPARE(rig.stage->moveTo(um, Mover::client(nullptr)).code,
                 CommandResult::Code::BadArgument);
    QCOMPARE(rig.sent(), QByteArray());
}

void TestStage::openLoopPageRefusesClosedLoopMoves()
{
    Rig rig;
    QVERIFY(rig.connectAndIdentify());
    QVERIFY(rig.stage->home(Mover::client(nullptr)).ok());
    using Code = CommandResult::Code;
    QCOMPARE(rig.stage->step(true, Mover::client(nullptr)).code, Code::Unavailable);
    rig.probe.ui()->tabWidget_LoopMode->setCurrentIndex(1);
    rig.sent();
    QCOMPARE(rig.stage->moveTo(10, Mover::client(nullptr)).code, Code::Unavailable);
    QCOMPARE(rig.stage->moveBy(10, Mover::client(nullptr)).code, Code::Unavailable);
    QCOMPARE(rig.stage->home(Mover::client(nullptr)).code, Code::Unavailable);
    QCOMPARE(rig.stage->setOpenLoop(0, std::nullopt, std::nullopt, Mover::client(nullptr)).code,
             Code::BadArgument);
    QVERIFY(rig.stage->step(true, Mover::client(nullptr)).ok());
    QVERIFY(rig.stage->step(false, Mover::client(nullptr)).ok());
    QVERIFY(rig.stage->bi(Mover::client(nullptr)).ok());
    QVERIFY(rig.stage->setOpenLoop(250, std::nullopt, 3, Mover::client(nullptr)).ok());
    QCOMPARE(rig.sent(), QByteArray(">fo\r>re\r>bi\r>duration 250\r>cycle 3\r"));
    QVERIFY(!rig.stage->state().closedLoop);
}

void TestStage::announcementsFollowTheOperatorsActions()
{
    Rig rig;
    QSignalSpy events(rig.stage, &Stage::panelEvent);
    QSignalSpy targets(rig.stage, &Stage::targetCommanded);
    QSignalSpy positions(rig.stage, &Stage::positionReceived);
    QVERIFY(rig.connectAndIdentify());
    rig.probe.ui()->pushButton_home->click();
    rig.controller.send("_cp 12.500 um\r");
    QVERIFY(positions.wait());
    QCOMPARE(positions.at(0).at(0).toDouble(), 12.5);
    QCOMPARE(positions.at(0).at(1).value<PositionSource>(), PositionSource::Poll);
    rig.probe.ui()->actionDisconnect->trigger();

    QList<PanelEvent::Kind> kinds;
    for (const QList<QVariant> &e : events)
        kinds.append(e.at(0).value<PanelEvent>().kind);
    using K = PanelEvent::Kind;
    // Home is a move to 0 as well.
    QCOMPARE(kinds, QList<K>({K::Connected, K::Identified, K::Move, K::Homed, K::Disconnected}));
    QCOMPARE(targets.count(), 1);
    QCOMPARE(targets.at(0).at(0).toDouble(), 0.0);
    QVERIFY(!rig.stage->state().connected);
}

void TestStage::fastSamplesOnlyAfterIdentificationAndStopOnDisconnect()
{
    Rig rig;
    int requester = 0;
    rig.stage->requestSampling(&requester, 20);
    QVERIFY(rig.stage->connectPort(rig.controller.portPath()).ok());
    QVERIFY(rig.controller.waitForReceived(">inform\r>status\r"));
    // Before identification only the poll asks for positions: at most one ">cp" per 500 ms.
    QTest::qWait(200);
    QVERIFY(rig.controller.received().count(kPoll) <= 1);
    rig.controller.send(kIdent1901);
    rig.controller.clearReceived();
    QTRY_VERIFY(rig.controller.received().count(kPoll) >= 5);
    rig.probe.ui()->actionDisconnect->trigger();
    rig.controller.clearReceived();
    QTest::qWait(100);
    QCOMPARE(rig.controller.received(), QByteArray());
    rig.stage->requestSampling(&requester, 0);
}

void TestStage::lockedMoveControlsStayLockedAgainstTheTick()
{
    Rig rig;
    QVERIFY(rig.connectAndIdentify());
    QVERIFY(rig.stage->home(Mover::client(nullptr)).ok());
    int holder = 0;
    const Mover run = Mover::sequence(&holder);
    QVERIFY(rig.stage->claimMotion(run).ok());
    Ui::MainWindow *ui = rig.probe.ui();
    rig.probe.invoke("checkVersion");
    QVERIFY(!ui->pushButton_home->isEnabled());
    QVERIFY(!ui->doubleSpinBox_Position->isEnabled());
    QVERIFY(ui->pushButton_stop->isEnabled());
    // The lock holder still moves through the command interface.
    rig.sent();
    QVERIFY(rig.stage->moveTo(20, run).ok());
    QCOMPARE(rig.sent(), QByteArray(">ma 200"));
    // Everyone else is busy meanwhile.
    QCOMPARE(rig.stage->moveTo(30, Mover::client(nullptr)).code, CommandResult::Code::Busy);
    rig.stage->releaseMotion(run);
    QVERIFY(ui->pushButton_home->isEnabled());
    QVERIFY(ui->doubleSpinBox_Position->isEnabled());
}

void TestStage::headlessErrorsOpenNoBox()
{
    MessageBoxWatcher boxes;
    Panel panel;
    MainWindow &window = panel.window();
    window.setHeadless(true);
    QSignalSpy events(window.session(), &Stage::panelEvent);
    panel.preselectPort(QStringLiteral("/nonexistent/port"));
    MainWindowProbe(window).ui()->actionConnect->trigger();
    QCOMPARE(boxes.texts.size(), 0);
    QCOMPARE(events.count(), 1);
    QCOMPARE(events.at(0).at(0).value<PanelEvent>().kind, PanelEvent::Kind::Error);
    QVERIFY(events.at(0).at(0).value<PanelEvent>().text.contains(QLatin1String("No COM-Port")));
    // The panel goes on as after the box: disconnected, Connect usable again.
    QVERIFY(MainWindowProbe(window).ui()->actionConnect->isEnabled());
}

QTEST_MAIN(TestStage)
#include "tst_stage.moc"
