// The session's rules, without a window: which command from which mover goes to the controller
// in which state of the stage (and what it writes), who holds the stage's motion, and the faults
// that lived in the gaps between three places that once decided it.

#include "fakecontroller.h"
#include "stagesession.h"
#include "tracerecorder.h"

#include <QSignalSpy>
#include <QtTest>

#include <memory>

namespace {

using Code = CommandResult::Code;

const QByteArray kIdent1901 = "_Ver 312 DVX1901\r";
const QByteArray kPoll = ">cp\r";
const QByteArray kMarker = ">marker\r";

// A session on a pseudo-terminal, with the console's part played by the rig: a line a client
// sends goes out as the console would send it.
struct Rig {
    FakeController controller;
    StageSession session;
    int tagA = 0;
    int tagB = 0;
    const Mover clientA = Mover::client(&tagA);
    const Mover clientB = Mover::client(&tagB);

    Rig()
    {
        const QString port = controller.portPath();
        session.setSettingsSource([port] {
            SerialSettings s;
            s.portName = port;
            s.baudRate = 115200;
            s.localEcho = true;
            return s;
        });
        QObject::connect(
            &session, &StageSession::consoleLineSubmitted, &session,
            [this](const QString &line) { session.consoleInput(line.toLocal8Bit() + '\r'); });
    }

    bool connectPort()
    {
        session.operatorConnect();
        return session.link()->isOpen() && controller.waitForReceived(">inform\r>status\r");
    }
    bool identify()
    {
        controller.send(kIdent1901);
        if (!QTest::qWaitFor([this] { return session.state().identified(); }))
            return false;
        session.checkVersion();
        return true;
    }
    // What the session wrote since the last call, polls left out.
    QByteArray sent()
    {
        session.link()->write(kMarker);
        if (!controller.waitForReceived(kMarker))
            return "<marker never arrived>";
        QByteArray all = controller.takeReceived();
        all.replace(kPoll, QByteArray());
        return all.left(all.indexOf(kMarker));
    }

    // Brings the stage into one of the states of the rules table.
    bool enter(const QString &state)
    {
        if (state == QLatin1String("disconnected"))
            return true;
        if (!connectPort())
            return false;
        if (state == QLatin1String("unidentified"))
            return sent(), true;
        if (!identify())
            return false;
        if (state == QLatin1String("open loop")) {
            session.operatorSelectPage(1);
            return sent(), true;
        }
        if (state == QLatin1String("not homed"))
            return sent(), true;
        session.operatorHome();
        if (state == QLatin1String("calibrating"))
            session.operatorAutoCalibrate();
        else if (state == QLatin1String("a sequence holds it"))
            session.claimMotion(Mover::sequence(this));
        else if (state == QLatin1String("another client holds it"))
            session.claimMotion(clientB);
        else if (state == QLatin1String("this client holds it"))
            session.claimMotion(clientA);
        sent();
        return true;
    }

    CommandResult run(const QString &command)
    {
        const Mover &who = clientA;
        if (command == QLatin1String("home"))
            return session.home(who);
        if (command == QLatin1String("stop"))
            return session.stop(who);
        if (command == QLatin1String("move_to 100"))
            return session.moveTo(100, who);
        if (command == QLatin1String("move_by 10"))
            return session.moveBy(10, who);
        if (command == QLatin1String("step"))
            return session.step(true, who);
        if (command == QLatin1String("bi"))
            return session.bi(who);
        if (command == QLatin1String("auto_calibrate"))
            return session.autoCalibrate(who);
        if (command == QLatin1String("send >ma 100"))
            return session.sendLine(QStringLiteral(">ma 100"), who);
        if (command == QLatin1String("send >cp"))
            return session.sendLine(QStringLiteral(">cp"), who);
        if (command == QLatin1String("open_loop 200"))
            return session.setOpenLoop(200, std::nullopt, std::nullopt, who);
        if (command == QLatin1String("claim"))
            return session.claimMotion(who);
        return CommandResult::refused(Code::BadArgument, QStringLiteral("unknown test command"));
    }
};

const QStringList kStates = {
    "disconnected",        "unidentified", "not homed",           "homed",
    "open loop",           "calibrating",  "a sequence holds it", "another client holds it",
    "this client holds it"};
const QStringList kCommands = {
    "home",           "stop",         "move_to 100", "move_by 10",    "step", "bi",
    "auto_calibrate", "send >ma 100", "send >cp",    "open_loop 200", "claim"};

// One row per state; one letter per command, in the order of kCommands:
// o ok, n not_connected, u unavailable, b busy.
const char *const kOutcomes[] = {
    "nnnnnnnnnnn", // disconnected
    "uouuuuuoouo", // unidentified: Stop is usable once the port is open
    "oouuuuooouo", // not homed
    "oooouuooouo", // homed
    "uouuoouoooo", // open loop: Home is off the page
    "bobbbbbbobb", // calibrating: everyone waits for it, Stop never does; the drive parameters
                   // wait too, since what a held open-loop run or move does depends on them
    "bobbbbbbobb", // a sequence holds it
    "bobbbbbbobb", // another client holds it
    "oooouuooouo", // this client holds it: as when nobody does
};

} // namespace

class TestSession : public QObject {
    Q_OBJECT

private slots:
    void rules_data();
    void rules();
    void holdingTheMotion();
    void calibrationHoldsTheStageUntilItEnds();
    void refusedMoveIsNoTarget();
    void controllerErrorWithoutMoveIsReported();
    void sendCutAtEachCommand();
    void moveToTheSameTargetIsAMove();
    void anotherControllerForgetsTheTravel();
    void consoleMovesAreKnown();
    void positionsReachSinksThenListeners();
    void recorderHearsEveryLineAndTellsOnceARead();
};

void TestSession::rules_data()
{
    QTest::addColumn<QString>("state");
    QTest::addColumn<QString>("command");
    QTest::addColumn<char>("outcome");
    for (int s = 0; s < kStates.size(); ++s) {
        for (int c = 0; c < kCommands.size(); ++c) {
            QTest::addRow("%s: %s", qPrintable(kStates.at(s)), qPrintable(kCommands.at(c)))
                << kStates.at(s) << kCommands.at(c) << kOutcomes[s][c];
        }
    }
}

void TestSession::rules()
{
    QFETCH(QString, state);
    QFETCH(QString, command);
    QFETCH(char, outcome);
    Rig rig;
    QVERIFY(rig.enter(state));
    const CommandResult result = rig.run(command);
    const QHash<char, Code> codes = {
        {'o', Code::Ok}, {'n', Code::NotConnected}, {'u', Code::Unavailable}, {'b', Code::Busy}};
    QVERIFY2(result.code == codes.value(outcome),
             qPrintable(
                 QStringLiteral("%1: %2").arg(commandResultCodeName(result.code), result.message)));
    // A refusal says why, and sends nothing.
    if (!result.ok()) {
        QVERIFY(!result.message.isEmpty());
        if (rig.session.link()->isOpen())
            QCOMPARE(rig.sent(), QByteArray());
    }
}

void TestSession::holdingTheMotion()
{
    Rig rig;
    QVERIFY(rig.enter(QStringLiteral("homed")));
    QSignalSpy changes(&rig.session, &Stage::stateChanged);
    QVERIFY(rig.session.claimMotion(rig.clientA).ok());
    QCOMPARE(rig.session.state().motionOwner, std::optional<Mover>(rig.clientA));
    QVERIFY(rig.session.controls().locked());
    QVERIFY(changes.count() >= 1);
    // Only the holder releases; claiming again is harmless.
    rig.session.releaseMotion(rig.clientB);
    QVERIFY(rig.session.controls().locked());
    QVERIFY(rig.session.claimMotion(rig.clientA).ok());
    rig.session.releaseMotion(rig.clientA);
    QVERIFY(!rig.session.controls().locked());
    QCOMPARE(rig.session.state().motionOwner, std::nullopt);
    // A disconnect ends nobody's hold but the calibration's: the holders hear of it themselves.
    QVERIFY(rig.session.claimMotion(rig.clientB).ok());
    rig.session.operatorDisconnect();
    QCOMPARE(rig.session.claimMotion(rig.clientA).code, Code::NotConnected);
}

void TestSession::calibrationHoldsTheStageUntilItEnds()
{
    Rig rig;
    QVERIFY(rig.enter(QStringLiteral("homed")));
    QVERIFY(rig.session.autoCalibrate(rig.clientA).ok());
    QCOMPARE(rig.sent(), QByteArray(">auto\r>status\r"));
    QVERIFY(rig.session.state().calibrating);
    QCOMPARE(rig.session.state().motionOwner->kind, Mover::Kind::Calibration);
    // Not calibrated yet: the stage stays held.
    rig.controller.send("_status 1\r");
    QTest::qWait(50);
    QCOMPARE(rig.session.moveTo(100, rig.clientA).code, Code::Busy);
    // The controller reports the end.
    rig.controller.send("_status 9\r");
    QTRY_VERIFY(!rig.session.state().calibrating);
    QCOMPARE(rig.session.state().motionOwner, std::nullopt);
    QVERIFY(rig.session.moveTo(100, rig.clientA).ok());

    // Stop ends a calibration as well.
    QVERIFY(rig.session.autoCalibrate(rig.clientA).ok());
    QVERIFY(rig.session.stop(rig.clientB).ok());
    QCOMPARE(rig.session.state().motionOwner, std::nullopt);
    QVERIFY(!rig.session.state().calibrating);
}

void TestSession::refusedMoveIsNoTarget()
{
    Rig rig;
    QVERIFY(rig.enter(QStringLiteral("homed")));
    QCOMPARE(rig.session.state().targetUm, std::optional<double>(0.0));
    QSignalSpy events(&rig.session, &Stage::panelEvent);
    QSignalSpy notices(&rig.session, &StageSession::notice);
    QVERIFY(rig.session.moveTo(100, rig.clientA).ok());
    QCOMPARE(rig.sent(), QByteArray(">ma 1000"));
    rig.controller.send("_err busy\r");
    QTRY_COMPARE(rig.session.state().targetUm, std::optional<double>(0.0));
    QList<PanelEvent> seen;
    for (const QList<QVariant> &e : events)
        seen << e.at(0).value<PanelEvent>();
    const auto refused = std::find_if(seen.cbegin(), seen.cend(), [](const PanelEvent &e) {
        return e.kind == PanelEvent::Kind::MoveRefused;
    });
    QVERIFY(refused != seen.cend());
    QVERIFY2(refused->text.contains(QStringLiteral("100 \u00b5m")) &&
                 refused->text.contains(QStringLiteral("busy")),
             qPrintable(refused->text));
    const auto error = std::find_if(seen.cbegin(), seen.cend(), [](const PanelEvent &e) {
        return e.kind == PanelEvent::Kind::Error;
    });
    QVERIFY(error != seen.cend());
    QCOMPARE(error->source, PanelEvent::Source::Controller);
    QVERIFY(!notices.isEmpty());
    QCOMPARE(notices.last().at(0).toString(), refused->text);
}

void TestSession::controllerErrorWithoutMoveIsReported()
{
    Rig rig;
    QVERIFY(rig.enter(QStringLiteral("homed")));
    // A position reply after the move: the move went through.
    QVERIFY(rig.session.moveTo(100, rig.clientA).ok());
    rig.controller.send("_cp 50.000 um\r");
    QTRY_COMPARE(rig.session.state().positionUm, std::optional<double>(50.0));
    QSignalSpy events(&rig.session, &Stage::panelEvent);
    rig.controller.send("_err unknown command\r");
    QTRY_VERIFY(!events.isEmpty());
    const PanelEvent event = events.last().at(0).value<PanelEvent>();
    QCOMPARE(event.kind, PanelEvent::Kind::Error);
    QCOMPARE(event.source, PanelEvent::Source::Controller);
    QVERIFY(event.text.contains(QStringLiteral("unknown command")));
    QCOMPARE(rig.session.state().targetUm, std::optional<double>(100.0));
}

void TestSession::sendCutAtEachCommand()
{
    Rig rig;
    QVERIFY(rig.enter(QStringLiteral("homed")));
    // Each command of a line is held to the travel: the second one here would leave it.
    const CommandResult beyond =
        rig.session.sendLine(QStringLiteral(">ma 60000>mr 10000"), rig.clientA);
    QCOMPARE(beyond.code, Code::BadArgument);
    QVERIFY2(beyond.message.contains(QStringLiteral(">mr 10000")), qPrintable(beyond.message));
    QCOMPARE(rig.sent(), QByteArray());
    QCOMPARE(rig.session.sendLine(QStringLiteral(">ma abc"), rig.clientA).code, Code::BadArgument);
    // Within the travel both go, as one line.
    QVERIFY(rig.session.sendLine(QStringLiteral(">ma 20000>mr 10000"), rig.clientA).ok());
    QCOMPARE(rig.sent(), QByteArray(">ma 20000>mr 10000\r"));
    QCOMPARE(rig.session.state().targetUm, std::optional<double>(3000.0));
    // While another client's waiting move holds the stage, a raw move is busy too; a question
    // is not.
    QVERIFY(rig.session.claimMotion(rig.clientB).ok());
    QCOMPARE(rig.session.sendLine(QStringLiteral(">cp>ma 0"), rig.clientA).code, Code::Busy);
    QVERIFY(rig.session.sendLine(QStringLiteral(">status"), rig.clientA).ok());
}

void TestSession::moveToTheSameTargetIsAMove()
{
    Rig rig;
    QVERIFY(rig.enter(QStringLiteral("homed")));
    QSignalSpy targets(&rig.session, &Stage::targetCommanded);
    QSignalSpy changes(&rig.session, &Stage::stateChanged);
    const qint64 before = rig.session.state().moveCount;
    QVERIFY(rig.session.moveTo(100, rig.clientA).ok());
    const int changesAfterFirst = changes.count();
    QVERIFY(rig.session.moveTo(100, rig.clientA).ok());
    QCOMPARE(targets.count(), 2);
    QCOMPARE(rig.session.state().moveCount, before + 2);
    // The state tells of the second move too, though its target did not change.
    QVERIFY(changes.count() > changesAfterFirst);
    QCOMPARE(rig.sent(), QByteArray(">ma 1000>ma 1000"));
}

void TestSession::anotherControllerForgetsTheTravel()
{
    Rig rig;
    QVERIFY(rig.enter(QStringLiteral("homed")));
    rig.controller.send("_offset 0\r_status 9\r");
    QTRY_COMPARE(rig.session.state().travelMinUm, 0.0);
    QCOMPARE(rig.session.state().travelMaxUm, 6500.0);
    QCOMPARE(rig.session.state().calibration, QStringLiteral("9"));
    QVERIFY(rig.session.state().homed);
    // Another model answers on the same port.
    rig.controller.send("VELDMARK Ver 207 DVX1804\r");
    QTRY_COMPARE(rig.session.state().model, QStringLiteral("1804"));
    const PanelState now = rig.session.state();
    QCOMPARE(now.travelMinUm, -250.0);
    QCOMPARE(now.travelMaxUm, 6250.0);
    QCOMPARE(now.calibration, QString());
    QVERIFY(!now.homed);
    QCOMPARE(rig.session.controls().autoCalibrateText, QStringLiteral("AutoCalibrate"));
}

void TestSession::consoleMovesAreKnown()
{
    Rig rig;
    QVERIFY(rig.enter(QStringLiteral("homed")));
    QSignalSpy events(&rig.session, &Stage::panelEvent);
    // The operator's console is never refused, but what it moves is known.
    QVERIFY(rig.session.claimMotion(rig.clientB).ok());
    rig.session.consoleInput(">ma 2500>mr -500\r");
    QCOMPARE(rig.sent(), QByteArray(">ma 2500>mr -500\r"));
    QCOMPARE(rig.session.state().targetUm, std::optional<double>(200.0));
    rig.session.consoleInput(">stop\r");
    QList<PanelEvent::Kind> kinds;
    for (const QList<QVariant> &e : events)
        kinds << e.at(0).value<PanelEvent>().kind;
    QCOMPARE(kinds.count(PanelEvent::Kind::Move), 2);
    QCOMPARE(kinds.count(PanelEvent::Kind::Stop), 1);
    rig.session.consoleInput(">auto\r");
    QCOMPARE(rig.session.state().motionOwner->kind, Mover::Kind::Calibration);
}

// The recorder hears positions by a direct call, the rest by positionReceived; listeners come and
// go (a waiting move, a subscriber) and one may be destroyed while connected.
void TestSession::positionsReachSinksThenListeners()
{
    struct Sink : PositionSink {
        QVector<double> got;
        void takePosition(double um, PositionSource) override { got.append(um); }
    } sink;
    Rig rig;
    QVERIFY(rig.connectPort());
    QVERIFY(rig.identify());
    QVERIFY(rig.session.addPositionSink(&sink));
    QVERIFY(rig.session.addPositionSink(&sink)); // once is enough
    QVector<double> heard;
    QVector<int> sinkCountWhenHeard;
    auto *listener = new QObject;
    QObject::connect(&rig.session, &Stage::positionReceived, listener, [&](double um) {
        heard.append(um);
        sinkCountWhenHeard.append(sink.got.size());
    });

    rig.session.link()->receive("_cp 1.000 um\r_cp 2.000 um\r");
    QCOMPARE(sink.got, QVector<double>({1.0, 2.0}));
    QCOMPARE(heard, QVector<double>({1.0, 2.0}));
    QCOMPARE(sinkCountWhenHeard, QVector<int>({1, 2}));

    // Destroyed while connected: nothing hangs, and the positions go on.
    delete listener;
    rig.session.link()->receive("_cp 3.000 um\r");
    QCOMPARE(sink.got.size(), 3);
    QCOMPARE(heard.size(), 2);

    // A listener that comes later hears from then on; a removed sink hears no more.
    QVector<double> later;
    QObject context;
    QObject::connect(&rig.session, &Stage::positionReceived, &context,
                     [&](double um) { later.append(um); });
    rig.session.removePositionSink(&sink);
    rig.session.link()->receive("_cp 4.000 um\r");
    QCOMPARE(later, QVector<double>({4.0}));
    QCOMPARE(sink.got.size(), 3);
}

// A flood's read brings hundreds of lines: the recorder keeps each, in order, and its window
// hears of them once. A recorder gone before the session leaves nothing behind that is called.
void TestSession::recorderHearsEveryLineAndTellsOnceARead()
{
    Rig rig;
    QVERIFY(rig.connectPort());
    QVERIFY(rig.identify());
    auto recorder = std::make_unique<TraceRecorder>(&rig.session);
    QSignalSpy recorded(recorder.get(), &TraceRecorder::recorded);
    const int before = recorder->samples().size();
    QByteArray read;
    for (int i = 0; i < 300; ++i)
        read += "_cp " + QByteArray::number(i) + ".500 um\r";
    rig.session.link()->receive(read);
    QCOMPARE(recorder->samples().size(), before + 300);
    for (int i = 0; i < 300; ++i)
        QCOMPARE(recorder->samples().at(before + i).positionUm, i + 0.5);
    QCOMPARE(recorded.count(), 1);

    rig.session.link()->receive("_cp 7.000 um\r_cp 8.000 um\r");
    QCOMPARE(recorded.count(), 2);
    QCOMPARE(recorder->samples().size(), before + 302);

    recorder.reset();
    rig.session.link()->receive("_cp 9.000 um\r");
    QCOMPARE(rig.session.currentPositionUm(), 9.0);
}

QTEST_MAIN(TestSession)
#include "tst_session.moc"
