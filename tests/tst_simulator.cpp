// The simulated stage controller: command framing, the reply lines of each dialect as the panel
// cuts them, and the dynamics stepped on a clock of the test's own.

#include "commandparser.h"
#include "outputshaper.h"
#include "simulatorprocess.h"
#include "stagecontroller.h"

#include <QSerialPort>
#include <QtTest>

using namespace dvxsim;

Q_DECLARE_METATYPE(dvxsim::Model)

namespace {

StageConfig config(Model model, const QString &firmware)
{
    StageConfig c;
    c.model = model;
    c.firmware = firmware;
    return c;
}

// The panel shows a long position line without its first 4 and last 4 characters.
QString longCut(const QByteArray &line)
{
    return QString(line).mid(4, line.size() - 8);
}

} // namespace

class TestSimulator : public QObject {
    Q_OBJECT

private slots:
    void parserFraming_data();
    void parserFraming();
    void identification_data();
    void identification();
    void positionAndStatusLines();
    void shortDialectsKeepPForPositions_data();
    void shortDialectsKeepPForPositions();
    void moveTakesTime();
    void moveIsClampedToTravel();
    void relativeStepsAddUp();
    void stopHaltsMidMove();
    void homeTakesTime();
    void calibration();
    void openLoopSteps();
    void oddCommands();
    void outputFaults();
    void secondOrderOvershootsAndSettles();
    void secondOrderKeepsMomentum();
    void secondOrderDampingRegimes_data();
    void secondOrderDampingRegimes();
    void noiseOnReportedPositionsOnly();
    void driftOnlyWhileFree();
    void openLoopStepEndsWithItsLastCycle_data();
    void openLoopStepEndsWithItsLastCycle();
    void stepModel_data();
    void stepModel();
    void stepTrainsTakeTheirTime();
    void creepAfterATrain();
    void stepNoiseIsSeededAndApart();
    void stepQueueIsBounded();
    void stepModelOffKeepsReplacingSteps();
    void stepModelEndToEnd();
};

void TestSimulator::parserFraming_data()
{
    QTest::addColumn<QList<QByteArray>>("chunks");
    QTest::addColumn<QList<QByteArray>>("fed");
    QTest::addColumn<QByteArray>("flushed");

    using L = QList<QByteArray>;
    QTest::newRow("cr ends") << L{">cp\r"} << L{">cp"} << QByteArray();
    QTest::newRow("move ended by next >")
        << L{">ma 2000>cp\r"} << L{">ma 2000", ">cp"} << QByteArray();
    QTest::newRow("split") << L{">sta", "tus\r"} << L{">status"} << QByteArray();
    QTest::newRow("split move") << L{">mr -20", "00", ">", "cp\r"} << L{">mr -2000", ">cp"}
                                << QByteArray();
    QTest::newRow("back to back") << L{">stop\r>home\r"} << L{">stop", ">home"} << QByteArray();
    QTest::newRow("junk before >") << L{"xy\r\nP 1\r>inform\r"} << L{">inform"} << QByteArray();
    QTest::newRow("trailing move") << L{">cp\r>ma 123.4"} << L{">cp"} << QByteArray(">ma 123.4");
    QTest::newRow("overlong dropped")
        << L{">" + QByteArray(CommandParser::kMaxCommandLength + 10, 'x'), "\r>cp\r"} << L{">cp"}
        << QByteArray();
}

void TestSimulator::parserFraming()
{
    QFETCH(QList<QByteArray>, chunks);
    QFETCH(QList<QByteArray>, fed);
    QFETCH(QByteArray, flushed);

    CommandParser parser;
    QList<QByteArray> commands;
    for (const QByteArray &chunk : chunks)
        commands += parser.feed(chunk);
    QCOMPARE(commands, fed);
    QCOMPARE(parser.hasPending(), !flushed.isEmpty());
    QCOMPARE(parser.flush(), flushed);
    QVERIFY(!parser.hasPending());
    QCOMPARE(parser.flush(), QByteArray());
}

void TestSimulator::identification_data()
{
    QTest::addColumn<Model>("model");
    QTest::addColumn<QString>("firmware");
    QTest::addColumn<QList<QByteArray>>("lines");
    QTest::addColumn<QByteArray>("digits");

    using L = QList<QByteArray>;
    QTest::newRow("1901 3.12") << Model::Dvx1901 << "3.12"
                               << L{"_Ver 312 DVX1901 stage controller\r", "_offset 2500\r"}
                               << QByteArray("312");
    QTest::newRow("1901 1.26") << Model::Dvx1901 << "1.26"
                               << L{"_Ver 126 DVX1901 stage controller\r", "_offset 2500\r"}
                               << QByteArray("126");
    QTest::newRow("1804 2.07") << Model::Dvx1804 << "2.07" << L{"VELDMARK Ver 207 DVX1804\r"}
                               << QByteArray("207");
}

void TestSimulator::identification()
{
    QFETCH(Model, model);
    QFETCH(QString, firmware);
    QFETCH(QList<QByteArray>, lines);
    QFETCH(QByteArray, digits);

    StageController stage(config(model, firmware));
    QCOMPARE(stage.execute(">inform", 0), lines);
    const QByteArray ident = lines.first();
    QVERIFY(ident.contains("Ver"));
    QVERIFY(!ident.contains('P'));
    if (model == Model::Dvx1804) {
        QVERIFY(ident.contains("VELDMARK"));
        QVERIFY(ident.size() >= 16);
        QCOMPARE(ident.mid(13, 3), digits);
    } else {
        QVERIFY(!ident.contains("VELDMARK"));
        QCOMPARE(ident.mid(5, 3), digits);
        // The offset value starts two bytes after the first "t".
        const QByteArray offset = lines.at(1);
        const int t = offset.indexOf('t');
        QCOMPARE(offset.mid(t + 2, offset.size() - t - 3), QByteArray("2500"));
    }
}

void TestSimulator::positionAndStatusLines()
{
    StageController longForm(config(Model::Dvx1901, "3.12"));
    longForm.execute(">ma -1234.5", 0);
    longForm.advance(10000);
    const QByteArray cp = longForm.execute(">cp", 10000).value(0);
    QCOMPARE(cp, QByteArray("_cp -123.450 um\r"));
    QCOMPARE(longCut(cp), QString("-123.450"));
    const QByteArray status = longForm.execute(">status", 10000).value(0);
    QVERIFY(status.contains("status"));
    QCOMPARE(status.at(8), '1');

    StageController shortForm(config(Model::Dvx1901, "1.26"));
    const QByteArray p = shortForm.execute(">cp", 0).value(0);
    QCOMPARE(p, QByteArray("P 0.000 um\r"));
    QCOMPARE(QString(p).mid(2, p.size() - 6), QString("0.000"));
}

void TestSimulator::shortDialectsKeepPForPositions_data()
{
    QTest::addColumn<Model>("model");
    QTest::addColumn<QString>("firmware");
    QTest::newRow("1901 1.26") << Model::Dvx1901 << "1.26";
    QTest::newRow("1804") << Model::Dvx1804 << "2.07";
}

void TestSimulator::shortDialectsKeepPForPositions()
{
    QFETCH(Model, model);
    QFETCH(QString, firmware);

    StageConfig c = config(model, firmware);
    c.calibrationSeconds = 0.5;
    StageController stage(c);
    QList<QByteArray> replies;
    const QList<QByteArray> commands{
        ">inform", ">status", ">stop", ">home",         ">ma 5000", ">mr -20",     ">fo",    ">re",
        ">bi",     ">auto",   ">ma 1", ">duration 100", ">cycle x", ">interval 5", ">bogus", ">ma"};
    qint64 t = 0;
    for (const QByteArray &command : commands)
        replies += stage.execute(command, t += 400);
    replies += stage.advance(t + 60000);
    QVERIFY(replies.size() >= 14);
    for (const QByteArray &line : replies) {
        QVERIFY2(!line.contains('P'), line.constData());
        QVERIFY(line.endsWith('\r'));
        if (model == Model::Dvx1804)
            QVERIFY(!line.startsWith("_tg"));
    }
}

void TestSimulator::moveTakesTime()
{
    StageController stage; // 2000 um/s
    QCOMPARE(stage.execute(">ma 20000", 0), QList<QByteArray>());
    QVERIFY(stage.advance(999).isEmpty());
    QVERIFY(stage.isMoving());
    QVERIFY(stage.position() > 1990.0 && stage.position() < 2000.0);
    QCOMPARE(stage.advance(1000), QList<QByteArray>{"_tg 2000.000\r"});
    QVERIFY(!stage.isMoving());
    QVERIFY(stage.advance(5000).isEmpty());

    // Tenths of a micrometre, with a fraction.
    stage.execute(">ma 123.4", 5000);
    stage.advance(10000);
    QCOMPARE(stage.execute(">cp", 10000), QList<QByteArray>{"_cp 12.340 um\r"});
}

void TestSimulator::moveIsClampedToTravel()
{
    StageController stage;
    QCOMPARE(stage.minPosition(), -250.0);
    QCOMPARE(stage.maxPosition(), 6250.0);
    stage.execute(">ma 99999", 0);
    QCOMPARE(stage.advance(100000), QList<QByteArray>{"_tg 6250.000\r"});
    stage.execute(">mr -1e6", 100000);
    QCOMPARE(stage.advance(200000), QList<QByteArray>{"_tg -250.000\r"});

    StageConfig c;
    c.offset = 0;
    StageController noOffset(c);
    // Already at the clamped target: arrives at once.
    QCOMPARE(noOffset.execute(">ma -5", 0), QList<QByteArray>{"_tg 0.000\r"});
}

void TestSimulator::relativeStepsAddUp()
{
    StageController stage;
    stage.execute(">mr 2000", 0);
    stage.execute(">mr 2000", 10); // still moving: adds to the target
    QCOMPARE(stage.advance(1000), QList<QByteArray>{"_tg 400.000\r"});
    QCOMPARE(stage.advance(1000), QList<QByteArray>());
}

void TestSimulator::stopHaltsMidMove()
{
    StageController stage;
    stage.execute(">ma 20000", 0);
    QCOMPARE(stage.execute(">stop", 250), QList<QByteArray>{"ok\r"});
    QVERIFY(!stage.isMoving());
    QCOMPARE(stage.position(), 500.0);
    QVERIFY(stage.advance(5000).isEmpty());
    QCOMPARE(stage.position(), 500.0);
}

void TestSimulator::homeTakesTime()
{
    StageController stage;
    stage.execute(">ma 10000", 0);
    stage.advance(1000);
    QCOMPARE(stage.execute(">stop", 1000), QList<QByteArray>{"ok\r"});
    QCOMPARE(stage.execute(">home", 1000), QList<QByteArray>{"ok\r"});
    QVERIFY(stage.advance(1499).isEmpty());
    QCOMPARE(stage.advance(1500), QList<QByteArray>{"_tg 0.000\r"});
}

void TestSimulator::calibration()
{
    StageController stage; // 3 s
    QCOMPARE(stage.execute(">status", 0), QList<QByteArray>{"_status 1\r"});
    QCOMPARE(stage.execute(">auto", 0), QList<QByteArray>{"ok\r"});
    QCOMPARE(stage.execute(">status", 0), QList<QByteArray>{"_status 1\r"});
    QVERIFY(stage.isCalibrating());
    QCOMPARE(stage.execute(">ma 100", 100), QList<QByteArray>{"_err busy\r"});
    QVERIFY(stage.advance(2999).isEmpty());
    // Told unasked, since the panel does not ask again.
    QCOMPARE(stage.advance(3000), QList<QByteArray>{"_status 9\r"});
    QCOMPARE(stage.execute(">status", 3000), QList<QByteArray>{"_status 9\r"});

    // Stop cuts a calibration short.
    stage.execute(">auto", 4000);
    stage.execute(">stop", 5000);
    QVERIFY(stage.advance(10000).isEmpty());
    QCOMPARE(stage.execute(">status", 10000), QList<QByteArray>{"_status 1\r"});
}

void TestSimulator::openLoopSteps()
{
    StageController stage; // 0.1 um per ms of drive
    for (const QByteArray &command :
         QList<QByteArray>{">duration 200", ">interval 500", ">cycle 3"})
        QCOMPARE(stage.execute(command, 0), QList<QByteArray>{"ok\r"});
    // step = cycles * duration * rate; time = cycles * duration + (cycles - 1) * interval
    QCOMPARE(stage.openLoopStep(), 60.0);
    QCOMPARE(stage.openLoopStepMs(), 1600.0);

    QCOMPARE(stage.execute(">fo", 0), QList<QByteArray>{"ok\r"});
    stage.advance(200);
    QCOMPARE(stage.position(), 20.0);
    stage.advance(650); // resting between the cycles
    QCOMPARE(stage.position(), 20.0);
    stage.advance(1599);
    QVERIFY(stage.isMoving());
    QVERIFY(stage.advance(1600).isEmpty()); // open-loop steps report no target
    QCOMPARE(stage.position(), 60.0);

    stage.execute(">re", 2000);
    stage.advance(4000);
    QCOMPARE(stage.position(), 0.0);

    // Bi: forward, then back to where it began.
    stage.execute(">bi", 4000);
    stage.advance(5600);
    QCOMPARE(stage.position(), 60.0);
    stage.advance(7200);
    QCOMPARE(stage.position(), 0.0);
    QVERIFY(!stage.isMoving());
}

void TestSimulator::oddCommands()
{
    StageController stage;
    QCOMPARE(stage.execute(">bogus", 0), QList<QByteArray>{"_err unknown command\r"});
    QCOMPARE(stage.execute(">", 0), QList<QByteArray>{"_err unknown command\r"});
    QCOMPARE(stage.execute(">ma abc", 0), QList<QByteArray>{"_err bad argument\r"});
    QCOMPARE(stage.execute(">ma nan", 0), QList<QByteArray>{"_err bad argument\r"});
    QCOMPARE(stage.execute(">cycle 0", 0), QList<QByteArray>{"_err bad argument\r"});
    QCOMPARE(stage.cycles(), 1);

    StageConfig c;
    c.silent = true;
    StageController silent(c);
    QVERIFY(silent.execute(">inform", 0).isEmpty());
    QCOMPARE(silent.execute(">status", 0), QList<QByteArray>{"_status 1\r"});
}

void TestSimulator::outputFaults()
{
    OutputShaper clean(0.0, false, 7);
    QCOMPARE(clean.shape("ok\r"), QByteArray("ok\r"));

    OutputShaper noCr(0.0, true, 7);
    QCOMPARE(noCr.shape("_cp 1.000 um\r"), QByteArray("_cp 1.000 um"));

    OutputShaper noisy(1.0, false, 7);
    for (int i = 0; i < 50; ++i) {
        const QByteArray out = noisy.shape("ok\r");
        QVERIFY(out.endsWith("ok\r"));
        QVERIFY(out.size() > 3 && out.size() <= 3 + OutputShaper::kMaxBurst);
    }
}

namespace {

StageConfig servoConfig(double naturalHz, double damping)
{
    StageConfig c;
    c.dynamics = Dynamics::SecondOrder;
    c.servo.naturalHz = naturalHz;
    c.servo.damping = damping;
    return c;
}

bool near(double a, double b)
{
    return std::abs(a - b) < 1e-9;
}

double reported(StageController &stage, qint64 nowMs)
{
    return longCut(stage.execute(">cp", nowMs).constLast()).toDouble();
}

} // namespace

void TestSimulator::secondOrderOvershootsAndSettles()
{
    // zeta 0.5: the first peak comes at pi / wd and overshoots by exp(-pi zeta / sqrt(1 - zeta^2)).
    const double hz = 20.0;
    const double zeta = 0.5;
    StageController stage(servoConfig(hz, zeta));
    QVERIFY(stage.execute(">ma 1000", 0).isEmpty());
    const double wd = 2.0 * M_PI * hz * std::sqrt(1.0 - zeta * zeta);
    const double peakMs = M_PI / wd * 1000.0;
    const double overshoot = 100.0 * std::exp(-M_PI * zeta / std::sqrt(1.0 - zeta * zeta));

    double highest = 0.0;
    qint64 highestAt = 0;
    for (qint64 t = 1; t <= 150; ++t) {
        stage.advance(t);
        if (stage.position() > highest) {
            highest = stage.position();
            highestAt = t;
        }
    }
    QVERIFY(std::abs(highest - (100.0 + overshoot)) < 0.05);
    QVERIFY(std::abs(highestAt - peakMs) <= 1.0);
    QVERIFY(stage.isMoving());
    // The arrival line comes once the ringing no longer shows in three decimals.
    QList<QByteArray> lines;
    qint64 t = 150;
    while (lines.isEmpty() && t < 2000)
        lines = stage.advance(t += 10);
    QCOMPARE(lines, QList<QByteArray>{"_tg 100.000\r"});
    QVERIFY(t < 400);
    QCOMPARE(reported(stage, t), 100.0);
}

void TestSimulator::secondOrderKeepsMomentum()
{
    // A new target given mid-move starts from the stage's position and speed, not from rest.
    StageController stage(servoConfig(5.0, 0.7));
    stage.execute(">ma 1000", 0);
    stage.advance(40);
    const double before = stage.position();
    QVERIFY(before > 0.0 && before < 100.0);
    stage.execute(">ma 0", 40);
    stage.advance(41);
    QVERIFY(stage.position() > before);
    stage.advance(5000);
    QVERIFY(!stage.isMoving());
    QCOMPARE(stage.position(), 0.0);

    // Homing follows the same servo.
    stage.execute(">ma 2000", 5000);
    stage.advance(10000);
    stage.execute(">home", 10000);
    stage.advance(10010);
    QVERIFY(stage.position() > 100.0 && stage.position() < 200.0);
}

void TestSimulator::secondOrderDampingRegimes_data()
{
    QTest::addColumn<double>("damping");
    QTest::newRow("underdamped") << 0.2;
    QTest::newRow("critical") << 1.0;
    QTest::newRow("overdamped") << 3.0;
}

void TestSimulator::secondOrderDampingRegimes()
{
    QFETCH(double, damping);
    const SecondOrder servo{10.0, damping};
    // The response starts where it was told, at the speed it was told, and its envelope holds.
    QCOMPARE(servo.errorAt(-50.0, 0.0, 0.0), -50.0);
    QVERIFY(std::abs(servo.velocityAt(-50.0, 30.0, 0.0) - 30.0) < 1e-9);
    const double quiet = servo.quietAfter(-50.0, 30.0, 0.01);
    QVERIFY(quiet > 0.0);
    for (double t = quiet; t < quiet + 2.0; t += 0.001)
        QVERIFY(std::abs(servo.errorAt(-50.0, 30.0, t)) <= 0.01);
    // The velocity is the derivative of the error.
    const double h = 1e-6;
    const double numeric =
        (servo.errorAt(-50.0, 30.0, 0.05 + h) - servo.errorAt(-50.0, 30.0, 0.05 - h)) / (2 * h);
    QVERIFY(std::abs(servo.velocityAt(-50.0, 30.0, 0.05) - numeric) < 1e-3);
    if (damping >= 1.0) {
        for (double t = 0.0; t < 1.0; t += 0.001)
            QVERIFY(servo.errorAt(-50.0, 0.0, t) <= 1e-12);
    }
}

void TestSimulator::noiseOnReportedPositionsOnly()
{
    StageConfig c = servoConfig(20.0, 0.5);
    c.noiseNm = 5.0;
    c.noiseSeed = 7;
    StageController stage(c);
    stage.execute(">ma 1000", 0);
    stage.advance(3000);
    QCOMPARE(stage.position(), 100.0);
    double sum = 0.0;
    double squares = 0.0;
    const int n = 2000;
    for (int i = 0; i < n; ++i) {
        const double v = reported(stage, 3000 + i) - 100.0;
        sum += v;
        squares += v * v;
    }
    const double rms = std::sqrt(squares / n) * 1000.0;
    QVERIFY2(rms > 4.0 && rms < 6.0, qPrintable(QString::number(rms)));
    QVERIFY(std::abs(sum / n) < 0.001);
    // The model itself stays put: the noise is in the readout only.
    QCOMPARE(stage.position(), 100.0);

    // The same seed gives the same readings.
    StageController again(c);
    StageController twin(c);
    for (int i = 0; i < 10; ++i)
        QCOMPARE(again.execute(">cp", i), twin.execute(">cp", i));
}

void TestSimulator::driftOnlyWhileFree()
{
    StageConfig c;
    c.driftNmPerS = 500.0;
    StageController stage(c);
    // Free from power-up: 0.5 um/s.
    stage.advance(2000);
    QVERIFY(std::abs(stage.position() - 1.0) < 1e-9);
    // A closed-loop move holds the stage where it ends.
    stage.execute(">ma 1000", 2000);
    stage.advance(10000);
    QCOMPARE(stage.position(), 100.0);
    // After an open-loop step it creeps again, from where the step ended.
    stage.execute(">fo", 10000);
    stage.advance(10100);
    QVERIFY(std::abs(stage.position() - 110.0) < 1e-9);
    stage.advance(14100);
    QVERIFY(std::abs(stage.position() - 112.0) < 1e-9);

    // Without the option nothing creeps: the default stage of every other test.
    StageController still;
    still.advance(100000);
    QCOMPARE(still.position(), 0.0);
}

void TestSimulator::openLoopStepEndsWithItsLastCycle_data()
{
    QTest::addColumn<int>("duration");
    QTest::addColumn<int>("cycles");
    // 3 x 0.1 / 0.1 is a hair over 3: the drive seemed to need a fourth cycle.
    QTest::newRow("3 ms, 1 cycle") << 3 << 1;
    QTest::newRow("1 ms, 3 cycles") << 1 << 3;
    QTest::newRow("100 ms, 1 cycle") << 100 << 1;
}

void TestSimulator::openLoopStepEndsWithItsLastCycle()
{
    QFETCH(int, duration);
    QFETCH(int, cycles);
    StageConfig c;
    c.driftNmPerS = 1000.0;
    StageController stage(c);
    stage.execute(">ma 0", 0); // hold still until the step
    stage.execute(">duration " + QByteArray::number(duration), 0);
    stage.execute(">cycle " + QByteArray::number(cycles), 0);
    stage.execute(">fo", 1000);
    const double stepEnd = 1000.0 + stage.openLoopStepMs();
    stage.advance(qint64(stepEnd));
    QVERIFY(!stage.isMoving());
    // The stage is free from the end of the step: it drifts from there at 1 um/s.
    stage.advance(qint64(stepEnd) + 100);
    QVERIFY2(near(stage.position(), stage.openLoopStep() + 0.1),
             qPrintable(QString::number(stage.position(), 'f', 9)));
}

namespace {

StageConfig stepConfig(double forwardNm, double reverseNm, double lossSteps)
{
    StageConfig c;
    c.steps.enabled = true;
    if (forwardNm > 0.0)
        c.steps.forwardNm = forwardNm;
    if (reverseNm > 0.0)
        c.steps.reverseNm = reverseNm;
    c.steps.reversalLossSteps = lossSteps;
    return c;
}

} // namespace

void TestSimulator::stepModel_data()
{
    QTest::addColumn<double>("forwardNm"); // 0: not given
    QTest::addColumn<double>("reverseNm");
    QTest::addColumn<double>("lossSteps");
    QTest::addColumn<int>("cycles");
    QTest::addColumn<QList<QByteArray>>("commands");
    QTest::addColumn<QList<double>>("positions"); // after each command has run its course

    using C = QList<QByteArray>;
    using P = QList<double>;
    QTest::newRow("asymmetric") << 830.0 << 710.0 << 0.0 << 1
                                << C{">fo", ">fo", ">re", ">re", ">re"}
                                << P{0.83, 1.66, 0.95, 0.24, -0.47};
    QTest::newRow("a cycle is a step")
        << 830.0 << 710.0 << 0.0 << 5 << C{">fo", ">re"} << P{4.15, 0.6};
    QTest::newRow("reversal loses steps")
        << 830.0 << 710.0 << 3.0 << 5 << C{">fo", ">re", ">re", ">fo"}
        << P{4.15, 2.73, -0.82, 0.84};
    QTest::newRow("loss spans commands")
        << 830.0 << 710.0 << 3.0 << 1 << C{">fo", ">re", ">re", ">re", ">re", ">re"}
        << P{0.83, 0.83, 0.83, 0.83, 0.12, -0.59};
    QTest::newRow("fraction of a step lost")
        << 1000.0 << 1000.0 << 0.5 << 1 << C{">fo", ">re", ">fo"} << P{1.0, 0.5, 1.0};
    QTest::newRow("no loss on the first step")
        << 830.0 << 710.0 << 3.0 << 1 << C{">re"} << P{-0.71};
    QTest::newRow("closed loop takes up the slack")
        << 830.0 << 710.0 << 3.0 << 1 << C{">fo", ">ma 100", ">re"} << P{0.83, 10.0, 9.29};
    QTest::newRow("reverse takes the forward size")
        << 500.0 << 0.0 << 0.0 << 1 << C{">fo", ">re", ">re"} << P{0.5, 0.0, -0.5};
    QTest::newRow("forward takes the reverse size")
        << 0.0 << 400.0 << 0.0 << 1 << C{">fo"} << P{0.4};
    QTest::newRow("no size: duration times rate")
        << 0.0 << 0.0 << 0.0 << 2 << C{">fo", ">re"} << P{20.0, 0.0};
    QTest::newRow("bi turns and loses") << 830.0 << 710.0 << 1.0 << 2 << C{">bi"} << P{0.95};
    QTest::newRow("clamped at the travel's end")
        << 830.0 << 710.0 << 0.0 << 1 << C{">ma -2495", ">re", ">fo"} << P{-249.5, -250.0, -249.17};
}

void TestSimulator::stepModel()
{
    QFETCH(double, forwardNm);
    QFETCH(double, reverseNm);
    QFETCH(double, lossSteps);
    QFETCH(int, cycles);
    QFETCH(QList<QByteArray>, commands);
    QFETCH(QList<double>, positions);

    StageController stage(stepConfig(forwardNm, reverseNm, lossSteps));
    QCOMPARE(stage.execute(">cycle " + QByteArray::number(cycles), 0), QList<QByteArray>{"ok\r"});
    qint64 t = 0;
    for (int i = 0; i < commands.size(); ++i) {
        const QList<QByteArray> replies = stage.execute(commands.at(i), t);
        if (commands.at(i).startsWith(">ma"))
            QVERIFY(replies.isEmpty());
        else
            QCOMPARE(replies, QList<QByteArray>{"ok\r"});
        stage.advance(t += 100000);
        QVERIFY(!stage.isMoving());
        QVERIFY2(
            near(stage.position(), positions.at(i)),
            qPrintable(QStringLiteral("after %1: %2").arg(i).arg(stage.position(), 0, 'f', 6)));
    }
}

void TestSimulator::stepTrainsTakeTheirTime()
{
    StageController stage(stepConfig(1000.0, 1000.0, 1.0));
    stage.execute(">duration 100", 0);
    stage.execute(">interval 50", 0);
    stage.execute(">cycle 2", 0);
    // Three presses at once: all three count, one after another.
    for (int i = 0; i < 3; ++i)
        QCOMPARE(stage.execute(">fo", 0), QList<QByteArray>{"ok\r"});
    QList<QByteArray> lines = stage.advance(50);
    // The position is read in open loop as in closed loop, mid-step included.
    QCOMPARE(stage.execute(">cp", 50), QList<QByteArray>{"_cp 0.500 um\r"});
    lines += stage.advance(125); // resting between two cycles
    QCOMPARE(stage.position(), 1.0);
    lines += stage.advance(250);
    QCOMPARE(stage.position(), 2.0);
    lines += stage.advance(799);
    QVERIFY(stage.isMoving());
    lines += stage.advance(800); // 2 + 4 cycles of 100 ms, with an interval after all but the last
    QVERIFY(!stage.isMoving());
    QCOMPARE(stage.position(), 6.0);

    // After the turn the first cycle drives without moving the stage.
    stage.execute(">re", 1000);
    lines += stage.advance(1150);
    QCOMPARE(stage.position(), 6.0);
    lines += stage.advance(1200);
    QCOMPARE(stage.position(), 5.5);
    lines += stage.advance(1250);
    QCOMPARE(stage.position(), 5.0);
    QVERIFY(!stage.isMoving());
    QVERIFY(lines.isEmpty()); // open-loop steps report no arrival

    // Stop ends the train under way and forgets the ones waiting.
    stage.execute(">fo", 2000);
    stage.execute(">fo", 2000);
    QCOMPARE(stage.queuedTrains(), 1);
    stage.execute(">stop", 2050); // slack after the turn: still standing
    QCOMPARE(stage.queuedTrains(), 0);
    stage.advance(5000);
    QCOMPARE(stage.position(), 5.0);
    stage.execute(">fo", 5000);
    stage.advance(5050);
    QCOMPARE(stage.position(), 5.5);
}

void TestSimulator::creepAfterATrain()
{
    StageConfig c = stepConfig(1000.0, 1000.0, 0.0);
    c.steps.creepNm = 200.0;
    c.steps.creepMs = 500.0;
    StageController stage(c);
    stage.execute(">interval 0", 0);
    stage.execute(">fo", 0); // 100 ms
    stage.advance(100);
    QCOMPARE(stage.position(), 1.0);
    const double oneTau = 1.0 + 0.2 * (1.0 - std::exp(-1.0));
    stage.advance(600);
    QVERIFY(near(stage.position(), oneTau));
    QCOMPARE(stage.execute(">cp", 600), QList<QByteArray>{"_cp 1.126 um\r"});

    // A new train starts where the creep had got to, and creeps back after it.
    stage.execute(">re", 600);
    stage.advance(700);
    QVERIFY(near(stage.position(), oneTau - 1.0));
    stage.advance(100000);
    QVERIFY(std::abs(stage.position() - (oneTau - 1.2)) < 1e-6);

    // Stop ends the creep; so does a closed-loop move.
    const double before = stage.position();
    stage.execute(">fo", 100000);
    stage.advance(100600);
    stage.execute(">stop", 100600);
    const double stopped = stage.position();
    QVERIFY(near(stopped, before + 1.0 + 0.2 * (1.0 - std::exp(-1.0))));
    stage.advance(200000);
    QCOMPARE(stage.position(), stopped);
    stage.execute(">fo", 200000);
    stage.advance(200100);
    stage.execute(">ma 0", 200100);
    stage.advance(300000);
    QCOMPARE(stage.position(), 0.0);
}

void TestSimulator::stepNoiseIsSeededAndApart()
{
    StageConfig c = stepConfig(1000.0, 1000.0, 0.0);
    c.steps.noisePct = 5.0;
    c.noiseSeed = 11;
    const int n = 400;
    // Reads with readout noise in between must not change the steps.
    StageConfig polledConfig = c;
    polledConfig.noiseNm = 10.0;
    StageController quiet(c);
    StageController polled(polledConfig);
    QVector<double> steps;
    double sum = 0.0;
    for (int i = 0; i < n; ++i) {
        const qint64 t = 1000 * i;
        const double before = quiet.position();
        quiet.execute(">fo", t);
        polled.execute(">fo", t);
        for (int k = 0; k < 10; ++k)
            polled.execute(">cp", t + 50 + k);
        quiet.advance(t + 999);
        polled.advance(t + 999);
        QCOMPARE(polled.position(), quiet.position());
        steps.append(quiet.position() - before);
        sum += steps.last();
    }
    const double mean = sum / n;
    double squares = 0.0;
    for (const double step : steps)
        squares += (step - mean) * (step - mean);
    const double sd = std::sqrt(squares / (n - 1));
    QVERIFY2(std::abs(mean - 1.0) < 0.01, qPrintable(QString::number(mean)));
    QVERIFY2(sd > 0.04 && sd < 0.06, qPrintable(QString::number(sd)));

    c.noiseSeed = 12;
    StageController other(c);
    other.execute(">fo", 0);
    other.advance(999);
    QVERIFY(other.position() != steps.first());
}

void TestSimulator::stepQueueIsBounded()
{
    StageController stage(stepConfig(1000.0, 1000.0, 0.0));
    stage.execute(">fo", 0); // under way, not queued
    for (int i = 0; i < StageController::kMaxQueuedTrains; ++i)
        QCOMPARE(stage.execute(i % 2 == 0 ? ">re" : ">fo", 0), QList<QByteArray>{"ok\r"});
    QCOMPARE(stage.queuedTrains(), StageController::kMaxQueuedTrains);
    // The last queued is forward: another forward joins it, a reverse finds no room.
    QCOMPARE(stage.execute(">fo", 0), QList<QByteArray>{"ok\r"});
    QCOMPARE(stage.execute(">re", 0), QList<QByteArray>{"_err busy\r"});
    // Bi queues both halves or neither.
    QCOMPARE(stage.execute(">bi", 0), QList<QByteArray>{"_err busy\r"});
    QCOMPARE(stage.queuedTrains(), StageController::kMaxQueuedTrains);
    stage.execute(">stop", 0);
    QCOMPARE(stage.queuedTrains(), 0);
}

void TestSimulator::stepModelOffKeepsReplacingSteps()
{
    // Without the step model a step given mid-step starts over from where the stage is.
    StageController stage;
    stage.execute(">fo", 0);
    stage.execute(">fo", 50);
    QCOMPARE(stage.queuedTrains(), 0);
    stage.advance(1000);
    QCOMPARE(stage.position(), 15.0);
}

void TestSimulator::stepModelEndToEnd()
{
    if (qEnvironmentVariableIsEmpty("DVXSIM"))
        QSKIP("dvxsim was not built");
    SimulatorProcess simulator;
    QVERIFY2(simulator.start({"--step-nm-forward", "830", "--step-nm-reverse", "710",
                              "--reversal-loss-steps", "3", "--seed", "5"}),
             qPrintable(simulator.diagnostics()));
    QSerialPort port(simulator.terminal);
    port.setBaudRate(QSerialPort::Baud115200);
    QVERIFY2(port.open(QIODevice::ReadWrite), qPrintable(port.errorString()));
    QByteArray received;
    QObject::connect(&port, &QSerialPort::readyRead, [&] { received += port.readAll(); });
    const auto lastPosition = [&] {
        const int end = received.lastIndexOf(" um\r");
        const int start = received.lastIndexOf("_cp ", end);
        return end < 0 || start < 0 ? QByteArray() : received.mid(start + 4, end - start - 4);
    };
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] { port.write(">cp\r"); });

    port.write(">duration 10\r>interval 0\r>cycle 1\r");
    port.write(QByteArray(">fo\r").repeated(5));
    poll.start(30);
    QTRY_COMPARE_WITH_TIMEOUT(lastPosition(), QByteArray("4.150"), 10000);
    port.write(QByteArray(">re\r").repeated(5)); // three of them take up the slack
    QTRY_COMPARE_WITH_TIMEOUT(lastPosition(), QByteArray("2.730"), 10000);
    poll.stop();
    QTRY_COMPARE(received.count("ok\r"), 13);
    QVERIFY(!received.contains("_tg"));
    QVERIFY(!received.contains("_err"));
}

QTEST_GUILESS_MAIN(TestSimulator)
#include "tst_simulator.moc"
