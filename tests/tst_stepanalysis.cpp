// The analysis of an open-loop characterisation run on synthetic runs with known answers, the
// conversion of a distance into steps, and the CSV it writes.

#include "stepanalysis.h"

#include <QtTest>

#if __has_include("stagecontroller.h")
#include "stagecontroller.h"
#define HAVE_SIMULATED_STAGE 1
#endif

#include <cmath>
#include <limits>
#include <random>

using namespace StepAnalysis;

namespace {

constexpr double kNotMeasured = std::numeric_limits<double>::quiet_NaN();

// A stick-slip stage with known faults, stepped the way a characterisation run steps it.
struct StageModel {
    double forwardUm = 0.83;
    double reverseUm = 0.71;
    double noisePct = 0.0;
    double lossSteps = 0.0;
    double creepUm = 0.0;
    double driftUmPerS = 0.0;
    double stepS = 0.01;
    double settleS = 2.0;
    quint32 seed = 1;
};

// One burst of `steps` per letter of pattern ("F" forward, "R" reverse). The position after the
// settle time is the next burst's starting position, as a run reads it once.
QVector<Burst> play(const StageModel &m, const QString &pattern, int steps,
                    std::optional<Direction> before = std::nullopt)
{
    std::mt19937 random(m.seed);
    QVector<Burst> bursts;
    double position = 0.0;
    double time = 0.0;
    std::optional<Direction> last = before;
    double slack = 0.0;
    for (const QChar letter : pattern) {
        const Direction d = letter == QLatin1Char('F') ? Direction::Forward : Direction::Reverse;
        if (last && *last != d)
            slack = m.lossSteps;
        last = d;
        const double lost = std::min(double(steps), slack);
        slack -= lost;
        const double moving = steps - lost;
        const double step = d == Direction::Forward ? m.forwardUm : m.reverseUm;
        double moved = step * moving;
        if (m.noisePct > 0.0 && moving > 0.0)
            moved += std::normal_distribution<double>(0.0, m.noisePct / 100.0 * step *
                                                               std::sqrt(moving))(random);

        Burst b;
        b.direction = d;
        b.steps = steps;
        b.beforeS = time;
        b.beforeUm = position;
        const double burstS = steps * m.stepS;
        position += sign(d) * moved + m.driftUmPerS * burstS;
        time += burstS;
        b.afterS = time;
        b.afterUm = position;
        position += sign(d) * m.creepUm + m.driftUmPerS * m.settleS;
        time += m.settleS;
        b.settledS = time;
        b.settledUm = position;
        bursts.append(b);
    }
    return bursts;
}

void compareMeasured(const Spread &spread, double expected, double tolerance, const char *what)
{
    if (std::isnan(expected)) {
        QVERIFY2(!spread.measured(), what);
        return;
    }
    QVERIFY2(spread.measured(), what);
    QVERIFY2(std::abs(spread.mean - expected) <= tolerance,
             qPrintable(QStringLiteral("%1: %2, expected %3")
                            .arg(QLatin1String(what))
                            .arg(spread.mean, 0, 'f', 6)
                            .arg(expected, 0, 'f', 6)));
}

void compareOptional(const std::optional<double> &value, double expected, double tolerance,
                     const char *what)
{
    if (std::isnan(expected)) {
        QVERIFY2(!value, what);
        return;
    }
    QVERIFY2(value, what);
    QVERIFY2(std::abs(*value - expected) <= tolerance,
             qPrintable(QStringLiteral("%1: %2, expected %3")
                            .arg(QLatin1String(what))
                            .arg(*value, 0, 'f', 6)
                            .arg(expected, 0, 'f', 6)));
}

// Nothing the window or the file shows is ever anything but a number.
void verifyAllFinite(const Result &r)
{
    for (const DirectionResult *d : {&r.forward, &r.reverse}) {
        for (const Spread *s : {&d->umPerStep, &d->lostSteps, &d->lostUm, &d->creepUm, &d->settleS})
            QVERIFY(std::isfinite(s->mean) && std::isfinite(s->sd) && std::isfinite(s->min) &&
                    std::isfinite(s->max));
    }
    for (const std::optional<double> &v :
         {r.forwardOverReverse, r.asymmetryUmPerStep, r.driftUmPerS, r.driftUm})
        QVERIFY(!v || std::isfinite(*v));
    QVERIFY(std::isfinite(r.durationS));
    for (const BurstResult &b : r.bursts) {
        for (const std::optional<double> &v :
             {b.movedUm, b.umPerStep, b.creepUm, b.lostSteps, b.lostUm})
            QVERIFY(!v || std::isfinite(*v));
    }
}

std::optional<Direction> directionFrom(int code)
{
    if (code == 0)
        return std::nullopt;
    return code > 0 ? Direction::Forward : Direction::Reverse;
}

const QDateTime kMeasured(QDate(2026, 3, 4), QTime(14, 3, 27), Qt::UTC);

} // namespace

Q_DECLARE_METATYPE(StageModel)

class TestStepAnalysis : public QObject {
    Q_OBJECT

private slots:
    void knownRuns_data();
    void knownRuns();
    void runCutShort_data();
    void runCutShort();
    void hostileRecords();
    void planMove_data();
    void planMove();
    void planWithoutMeasurement();
    void formatValue_data();
    void formatValue();
    void csv();
    void againstTheSimulatedStage();
};

void TestStepAnalysis::knownRuns_data()
{
    QTest::addColumn<StageModel>("model");
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<int>("steps");
    QTest::addColumn<double>("tolerance"); // for the step means
    QTest::addColumn<double>("forwardStep");
    QTest::addColumn<double>("reverseStep");
    QTest::addColumn<double>("lostIntoForward"); // steps; NaN: not measured
    QTest::addColumn<double>("lostIntoReverse");
    QTest::addColumn<double>("forwardCreep");
    QTest::addColumn<double>("reverseCreep");
    QTest::addColumn<double>("drift"); // um/s

    StageModel plain;
    QTest::newRow("asymmetric") << plain << "FFFFRRRR" << 10 << 1e-9 << 0.83 << 0.71 << kNotMeasured
                                << 0.0 << 0.0 << 0.0 << 0.0;

    StageModel loss = plain;
    loss.lossSteps = 3.0;
    QTest::newRow("reversal loss")
        << loss << "FFFFRRRRFFFF" << 10 << 1e-9 << 0.83 << 0.71 << 3.0 << 3.0 << 0.0 << 0.0 << 0.0;
    // Two steps per burst, three lost: the reversal moves nothing and the next burst loses one.
    QTest::newRow("loss longer than a burst") << loss << "FFFFRRRRR" << 2 << 1e-9 << 0.83 << 0.71
                                              << kNotMeasured << 3.0 << 0.0 << 0.0 << 0.0;
    QTest::newRow("several reversals")
        << loss << "FFRRFFRRFF" << 10 << 1e-9 << 0.83 << 0.71 << 3.0 << 3.0 << 0.0 << 0.0 << 0.0;

    StageModel noisy = plain;
    noisy.noisePct = 5.0;
    noisy.lossSteps = 3.0;
    noisy.seed = 7;
    // The mean of 19 bursts of 10 steps, each step 5 %: within four standard errors.
    const double standardError = 0.83 * 0.05 / std::sqrt(10.0) / std::sqrt(19.0);
    QTest::newRow("noise") << noisy << QString(20, QLatin1Char('F')) + QString(20, QLatin1Char('R'))
                           << 10 << 4 * standardError << 0.83 << 0.71 << kNotMeasured << 3.0 << 0.0
                           << 0.0 << 0.0;

    StageModel creep = plain;
    creep.creepUm = 0.05;
    QTest::newRow("creep") << creep << "FFFFRRRR" << 10 << 1e-9 << 0.83 << 0.71 << kNotMeasured
                           << 0.0 << 0.05 << 0.05 << 0.0;

    // Drift moves the stage 0.02 um in each 2 s settle, with the creep forward and against it in
    // reverse; over a burst of 0.1 s it adds 0.0001 um per step.
    StageModel drift = creep;
    drift.driftUmPerS = 0.01;
    QTest::newRow("drift") << drift << "FFFFRRRR" << 10 << 1e-9 << 0.8301 << 0.7099 << kNotMeasured
                           << 0.0 << 0.07 << 0.03 << 0.01;
}

void TestStepAnalysis::knownRuns()
{
    QFETCH(StageModel, model);
    QFETCH(QString, pattern);
    QFETCH(int, steps);
    QFETCH(double, tolerance);
    QFETCH(double, forwardStep);
    QFETCH(double, reverseStep);
    QFETCH(double, lostIntoForward);
    QFETCH(double, lostIntoReverse);
    QFETCH(double, forwardCreep);
    QFETCH(double, reverseCreep);
    QFETCH(double, drift);

    const QVector<Burst> bursts = play(model, pattern, steps);
    const Result r = analyse(bursts);
    verifyAllFinite(r);
    QCOMPARE(r.bursts.size(), bursts.size());
    QCOMPARE(r.bursts.first().kind, BurstKind::First);

    compareMeasured(r.forward.umPerStep, forwardStep, tolerance, "forward um/step");
    compareMeasured(r.reverse.umPerStep, reverseStep, tolerance, "reverse um/step");
    compareOptional(r.forwardOverReverse, forwardStep / reverseStep, tolerance * 4, "ratio");
    compareOptional(r.asymmetryUmPerStep, forwardStep - reverseStep, tolerance * 2, "asymmetry");
    compareMeasured(r.forward.lostSteps, lostIntoForward, 1e-6 + tolerance * 40, "lost forward");
    compareMeasured(r.reverse.lostSteps, lostIntoReverse, 1e-6 + tolerance * 40, "lost reverse");
    if (!std::isnan(lostIntoReverse))
        compareMeasured(r.reverse.lostUm, lostIntoReverse * reverseStep, 1e-6 + tolerance * 30,
                        "lost reverse um");
    compareMeasured(r.forward.creepUm, forwardCreep, 1e-9, "forward creep");
    compareMeasured(r.reverse.creepUm, reverseCreep, 1e-9, "reverse creep");
    compareMeasured(r.forward.settleS, model.settleS, 1e-9, "settle time");
    compareOptional(r.driftUmPerS, drift, 1e-9, "drift rate");
    QVERIFY(std::abs(r.durationS - pattern.size() * (steps * model.stepS + model.settleS)) < 1e-9);
    compareOptional(r.driftUm, drift * r.durationS, 1e-9, "drift over the run");

    // Each reversal is measured once, on the burst that turned.
    int reversals = 0;
    for (int i = 1; i < pattern.size(); ++i)
        reversals += pattern.at(i) != pattern.at(i - 1);
    QCOMPARE(r.forward.lostSteps.count + r.reverse.lostSteps.count, reversals);
    if (model.noisePct > 0.0) {
        // The spread of a burst's mean step: 5 % of a step over the root of 10 steps.
        const double expected = 0.83 * 0.05 / std::sqrt(10.0);
        QVERIFY2(r.forward.umPerStep.sd > expected / 2 && r.forward.umPerStep.sd < expected * 1.6,
                 qPrintable(QString::number(r.forward.umPerStep.sd)));
        QVERIFY(r.forward.umPerStep.min < r.forward.umPerStep.mean);
        QVERIFY(r.forward.umPerStep.max > r.forward.umPerStep.mean);
    } else {
        QVERIFY(r.forward.umPerStep.sd < 1e-9);
    }
}

void TestStepAnalysis::runCutShort_data()
{
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<int>("before");  // direction before the run: 1, -1, 0 unknown
    QTest::addColumn<QString>("cut"); // "", "last burst stopped", "no settle", "no steps"
    QTest::addColumn<int>("forwardCount");
    QTest::addColumn<int>("reverseCount");
    QTest::addColumn<bool>("lostMeasured");
    QTest::addColumn<bool>("driftMeasured");
    QTest::addColumn<QString>("summary");

    QTest::newRow("no bursts") << "" << 0 << "" << 0 << 0 << false << false
                               << "Step size not measured (run at 14:03 UTC)";
    QTest::newRow("one burst, direction before unknown")
        << "F" << 0 << "" << 0 << 0 << false << false
        << "Step size not measured (run at 14:03 UTC)";
    QTest::newRow("one burst after forward steps")
        << "F" << 1 << "" << 1 << 0 << false << false
        << "≈ 0.83 µm/step forward, reverse not measured, measured 14:03 UTC";
    QTest::newRow("forward only") << "FFFF" << 0 << "" << 3 << 0 << false << false
                                  << "≈ 0.83 µm/step forward, reverse not measured, measured "
                                     "14:03 UTC";
    QTest::newRow("reverse only, after forward steps")
        << "RRR" << 1 << "" << 0 << 2 << true << false
        << "≈ 0.71 µm/step reverse, forward not measured, measured 14:03 UTC";
    QTest::newRow("stopped in the first reverse burst")
        << "FFFFR" << 0 << "last burst stopped" << 3 << 0 << false << false
        << "≈ 0.83 µm/step forward, reverse not measured, measured 14:03 UTC";
    QTest::newRow("no settle time") << "FFFFRRRR" << 0 << "no settle" << 3 << 3 << true << false
                                    << "≈ 0.83 µm/step forward, 0.71 reverse, measured 14:03 UTC";
    QTest::newRow("bursts of no steps") << "FFFF" << 0 << "no steps" << 0 << 0 << false << false
                                        << "Step size not measured (run at 14:03 UTC)";
}

void TestStepAnalysis::runCutShort()
{
    QFETCH(QString, pattern);
    QFETCH(int, before);
    QFETCH(QString, cut);
    QFETCH(int, forwardCount);
    QFETCH(int, reverseCount);
    QFETCH(bool, lostMeasured);
    QFETCH(bool, driftMeasured);
    QFETCH(QString, summary);

    StageModel model;
    model.lossSteps = 2.0;
    QVector<Burst> bursts = play(model, pattern, 10, directionFrom(before));
    if (cut == QLatin1String("last burst stopped")) {
        bursts.last().afterS.reset();
        bursts.last().afterUm.reset();
        bursts.last().settledS.reset();
        bursts.last().settledUm.reset();
    }
    for (Burst &b : bursts) {
        if (cut == QLatin1String("no settle")) {
            b.settledS.reset();
            b.settledUm.reset();
        } else if (cut == QLatin1String("no steps")) {
            b.steps = 0;
        }
    }
    const Result r = analyse(bursts, directionFrom(before));
    verifyAllFinite(r);
    QCOMPARE(r.forward.umPerStep.count, forwardCount);
    QCOMPARE(r.reverse.umPerStep.count, reverseCount);
    QCOMPARE(r.forward.umPerStep.hasSpread(), forwardCount > 1);
    QCOMPARE(r.reverse.lostSteps.measured(), lostMeasured);
    if (lostMeasured)
        QVERIFY(std::abs(r.reverse.lostSteps.mean - 2.0) < 1e-9);
    QCOMPARE(r.driftUmPerS.has_value(), driftMeasured);
    QCOMPARE(r.asymmetryUmPerStep.has_value(), forwardCount > 0 && reverseCount > 0);
    QCOMPARE(r.usable(), forwardCount > 0 || reverseCount > 0);
    QCOMPARE(summaryText(r, kMeasured), summary);
    if (cut == QLatin1String("last burst stopped"))
        QCOMPARE(r.bursts.last().kind, BurstKind::Incomplete);

    const QByteArray files = burstsCsv(bursts, r) + summaryCsv(r);
    QVERIFY(!files.contains("nan"));
    QVERIFY(!files.contains("inf"));
}

void TestStepAnalysis::hostileRecords()
{
    const double inf = std::numeric_limits<double>::infinity();
    QVector<Burst> bursts;
    const auto add = [&](Direction d, int steps, double before, std::optional<double> after,
                         std::optional<double> settled, double time) {
        Burst b;
        b.direction = d;
        b.steps = steps;
        b.beforeS = time;
        b.beforeUm = before;
        b.afterS = time + 0.1;
        b.afterUm = after;
        b.settledS = time + 1;
        b.settledUm = settled;
        bursts.append(b);
    };
    add(Direction::Forward, 10, 0.0, 8.3, 8.3, 0);
    add(Direction::Forward, 10, 8.3, 16.6, 16.6, 2);
    add(Direction::Forward, 10, kNotMeasured, 24.9, 24.9, 4);
    add(Direction::Forward, 10, 24.9, inf, 33.2, 6);
    add(Direction::Forward, 10, 33.2, 1e300, -1e300, 8);
    add(Direction::Forward, -5, 33.2, 30.0, 30.0, 10);
    add(Direction::Forward, std::numeric_limits<int>::max(), 33.2, 41.5, kNotMeasured, 12);
    add(Direction::Reverse, 10, 41.5, 34.4, -inf, kNotMeasured);
    add(Direction::Reverse, 10, 34.4, 27.3, 27.3, 1e300);
    const Result r = analyse(bursts);
    // Steps of almost nothing, settle times of less: quotients of them must not overflow.
    QVector<Burst> tiny;
    for (const double moved : {1e-300, 1e-300, 1.0, 1e-300}) {
        Burst b;
        b.direction = tiny.size() < 2 ? Direction::Forward : Direction::Reverse;
        b.steps = std::numeric_limits<int>::max();
        b.beforeUm = 0.0;
        b.afterUm = sign(b.direction) * moved;
        b.afterS = 1e-320;
        b.settledS = 2e-320;
        b.settledUm = *b.afterUm + 1e-3;
        tiny.append(b);
    }
    const Result fromTiny = analyse(tiny);
    QVERIFY(fromTiny.reverse.umPerStep.measured());
    QVERIFY(!fromTiny.reverse.lostSteps.measured());
    QVERIFY(!fromTiny.driftUmPerS);
    verifyAllFinite(fromTiny);
    verifyAllFinite(r);
    for (int i : {2, 3, 4, 5})
        QCOMPARE(r.bursts.at(i).kind, BurstKind::Incomplete);
    // The one plausible forward burst that followed another, a huge one, and the reverse pair.
    QCOMPARE(r.forward.umPerStep.count, 2);
    QCOMPARE(r.reverse.umPerStep.count, 1);
    QVERIFY(std::abs(r.reverse.umPerStep.mean - 0.71) < 1e-9);
    QVERIFY(std::abs(r.durationS - 12.1) < 1e-9); // the absurd time stamp is left out
    const QByteArray files = burstsCsv(bursts, r) + summaryCsv(r);
    QVERIFY(!files.contains("nan"));
    QVERIFY(!files.contains("inf"));

    // A plan from it stays within bounds whatever was asked.
    for (const double distance : {inf, -inf, kNotMeasured, 1e300, -1e300}) {
        const StepPlan plan = StepAnalysis::planMove(r, distance, Direction::Forward);
        QVERIFY(!plan.possible);
        QVERIFY(!plan.reason.isEmpty());
    }
}

void TestStepAnalysis::planMove_data()
{
    QTest::addColumn<double>("distance");
    QTest::addColumn<int>("previous");
    QTest::addColumn<bool>("possible");
    QTest::addColumn<int>("direction");
    QTest::addColumn<int>("steps");
    QTest::addColumn<double>("expected");

    // 0.83 um forward, 0.71 reverse, 3 steps lost at a turn.
    QTest::newRow("forward, same way") << 100.0 << 1 << true << 1 << 120 << 99.6;
    QTest::newRow("forward after reverse") << 100.0 << -1 << true << 1 << 123 << 99.6;
    QTest::newRow("reverse after forward") << -100.0 << 1 << true << -1 << 144 << -100.11;
    QTest::newRow("reverse, same way") << -100.0 << -1 << true << -1 << 141 << -100.11;
    QTest::newRow("reverse, direction before unknown")
        << -100.0 << 0 << true << -1 << 141 << -100.11;
    QTest::newRow("nothing") << 0.0 << 1 << true << 1 << 0 << 0.0;
    QTest::newRow("less than half a step") << 0.3 << 1 << true << 1 << 0 << 0.0;
    QTest::newRow("not a number") << kNotMeasured << 1 << false << 1 << 0 << 0.0;
    QTest::newRow("too far") << 1e12 << 1 << false << 1 << 0 << 0.0;
}

void TestStepAnalysis::planMove()
{
    QFETCH(double, distance);
    QFETCH(int, previous);
    QFETCH(bool, possible);
    QFETCH(int, direction);
    QFETCH(int, steps);
    QFETCH(double, expected);

    StageModel model;
    model.lossSteps = 3.0;
    const Result r = analyse(play(model, "FFFFRRRRFFFF", 10));
    const StepPlan plan = StepAnalysis::planMove(r, distance, directionFrom(previous));
    QCOMPARE(plan.possible, possible);
    QCOMPARE(plan.reason.isEmpty(), possible);
    if (!possible)
        return;
    QCOMPARE(sign(plan.direction), direction);
    QCOMPARE(plan.steps, steps);
    QVERIFY2(std::abs(plan.expectedUm - expected) < 1e-9,
             qPrintable(QString::number(plan.expectedUm)));
    QVERIFY(!plan.slackUnknown);

    // The same stage, stepped as planned, lands within half a step of the distance asked for.
    if (steps > 0 && previous != 0) {
        model.seed = 1;
        const QString before = previous > 0 ? QStringLiteral("F") : QStringLiteral("R");
        const Burst b = play(model, before + QLatin1Char(direction > 0 ? 'F' : 'R'), steps).last();
        const double moved = *b.afterUm - b.beforeUm;
        const double step = direction > 0 ? model.forwardUm : model.reverseUm;
        QVERIFY2(std::abs(moved - distance) <= step / 2, qPrintable(QString::number(moved)));
    }
}

void TestStepAnalysis::planWithoutMeasurement()
{
    StageModel model;
    const Result forwardOnly = analyse(play(model, "FFFF", 10));
    const StepPlan reverse = StepAnalysis::planMove(forwardOnly, -5.0, Direction::Reverse);
    QVERIFY(!reverse.possible);
    QCOMPARE(reverse.reason, QStringLiteral("The reverse step size was not measured."));

    // Turning with no reversal measured: planned without slack, and said so.
    const StepPlan turn = StepAnalysis::planMove(forwardOnly, 8.3, Direction::Reverse);
    QVERIFY(turn.possible);
    QVERIFY(turn.slackUnknown);
    QCOMPARE(turn.steps, 10);

    // A stage that went backwards when driven forward gives nothing to plan with.
    model.forwardUm = -0.1;
    const StepPlan backwards =
        StepAnalysis::planMove(analyse(play(model, "FFFF", 10)), 5.0, Direction::Forward);
    QVERIFY(!backwards.possible);
    QCOMPARE(backwards.reason,
             QStringLiteral("The stage did not move forward in the measurement."));
    const StepPlan none = StepAnalysis::planMove(analyse({}), 5.0, std::nullopt);
    QVERIFY(!none.possible);
}

void TestStepAnalysis::formatValue_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("text");
    QTest::newRow("two decimals") << 0.83 << "0.83";
    QTest::newRow("rounding error") << 0.7100000001 << "0.71";
    QTest::newRow("small") << 0.012345 << "0.0123";
    QTest::newRow("tens") << 12.5 << "12.5";
    QTest::newRow("thousands") << 1234.4 << "1234";
    QTest::newRow("zero") << 0.0 << "0";
    QTest::newRow("negative") << -0.0001 << "-0.0001";
    QTest::newRow("negative nothing") << -1e-9 << "0";
    QTest::newRow("rounds up to one") << 0.9996 << "1";
    QTest::newRow("not a number") << kNotMeasured << "";
}

void TestStepAnalysis::formatValue()
{
    QFETCH(double, value);
    QFETCH(QString, text);
    QCOMPARE(StepAnalysis::formatValue(value), text);
}

void TestStepAnalysis::csv()
{
    // A decimal comma in the operator's locale must not reach the file.
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    StageModel model;
    model.lossSteps = 3.0;
    const QVector<Burst> bursts = play(model, "FFFFRR", 10);
    const Result r = analyse(bursts);

    const QByteArray provenance("# panel: Mirastellon 1.0.0\n# port: /dev/ttyUSB0");
    const QList<QByteArray> lines = burstsCsv(bursts, r, provenance).split('\n');
    QCOMPARE(lines.at(0), QByteArray("# panel: Mirastellon 1.0.0"));
    QCOMPARE(lines.at(1), QByteArray("# port: /dev/ttyUSB0"));
    QCOMPARE(lines.at(2), QByteArray("burst,direction,steps,cumulative_steps,before_s,before_um,"
                                     "after_s,after_um,settled_s,settled_um,kind,moved_um,"
                                     "um_per_step,creep_um,lost_steps,lost_um"));
    QCOMPARE(lines.at(3), QByteArray("1,forward,10,0,0.000,0.0000,0.100,8.3000,2.100,8.3000,first,"
                                     "8.3000,0.830000,0.0000,,"));
    QCOMPARE(lines.at(7), QByteArray("5,reverse,10,40,8.400,33.2000,8.500,28.2300,10.500,28.2300,"
                                     "reversal,4.9700,0.497000,0.0000,3.000,2.1300"));
    QCOMPARE(lines.size(), 10);
    QVERIFY(lines.last().isEmpty());

    const QList<QByteArray> summary = summaryCsv(r).split('\n');
    QCOMPARE(summary.at(0), QByteArray("quantity,direction,unit,count,mean,sd,min,max"));
    QVERIFY(summary.contains("um_per_step,forward,um,3,0.830000,0.000000,0.830000,0.830000"));
    QVERIFY(summary.contains("um_per_step,reverse,um,1,0.710000,,0.710000,0.710000"));
    QVERIFY(summary.contains("lost_motion,forward,steps,0,,,,"));
    QVERIFY(summary.contains("lost_motion,reverse,steps,1,3.000,,3.000,3.000"));
    QVERIFY(summary.contains("lost_motion,reverse,um,1,2.1300,,2.1300,2.1300"));
    QVERIFY(summary.contains("forward_over_reverse,,ratio,1,1.169014,,,"));
    QVERIFY(summary.contains("drift_rate,,um/s,1,0.000000,,,"));
    QVERIFY(summary.contains("duration,,s,1,12.600,,,"));
    // Without a settled position in reverse there is no drift to tell from the creep.
    QVector<Burst> unsettled = bursts;
    unsettled.last().settledUm.reset();
    unsettled[4].settledUm.reset();
    QVERIFY(summaryCsv(analyse(unsettled)).contains("drift_rate,,um/s,0,,,,\n"));
    for (const QByteArray &line : summary) {
        if (!line.isEmpty())
            QCOMPARE(line.count(','), 7);
    }
    QLocale::setDefault(QLocale::c());
}

void TestStepAnalysis::againstTheSimulatedStage()
{
#ifndef HAVE_SIMULATED_STAGE
    QSKIP("dvxsim is not built");
#else
    // The simulator's step model, measured the way a characterisation run measures a stage.
    dvxsim::StageConfig config;
    config.steps.enabled = true;
    config.steps.forwardNm = 830.0;
    config.steps.reverseNm = 710.0;
    config.steps.noisePct = 5.0;
    config.steps.reversalLossSteps = 3.0;
    config.steps.creepNm = 50.0;
    config.noiseSeed = 3;
    dvxsim::StageController stage(config);
    qint64 now = 0;
    const auto send = [&](const QByteArray &command) { return stage.execute(command, now); };
    const auto read = [&] {
        const QByteArray line = send(">cp").constLast();
        return line.mid(4, line.size() - 8).toDouble();
    };
    send(">duration 10");
    send(">interval 0");
    QVector<Burst> bursts;
    const auto burst = [&](Direction d, int steps) {
        Burst b;
        b.direction = d;
        b.steps = steps;
        b.beforeS = now / 1000.0;
        b.beforeUm = read();
        for (int i = 0; i < steps; ++i)
            send(d == Direction::Forward ? ">fo" : ">re");
        now += 10 * steps + 10;
        b.afterS = now / 1000.0;
        b.afterUm = read();
        now += 2000;
        b.settledS = now / 1000.0;
        b.settledUm = read();
        bursts.append(b);
    };
    for (const Direction d : {Direction::Forward, Direction::Reverse}) {
        for (int k = 0; k < 10; ++k)
            burst(d, 20);
    }
    const Result r = analyse(bursts);
    QVERIFY(std::abs(r.forward.umPerStep.mean / 0.83 - 1.0) < 0.05);
    QVERIFY(std::abs(r.reverse.umPerStep.mean / 0.71 - 1.0) < 0.05);
    QVERIFY2(std::abs(r.reverse.lostSteps.mean - 3.0) < 1.0,
             qPrintable(QString::number(r.reverse.lostSteps.mean)));
    // Four time constants of creep, read to the nanometre.
    QVERIFY(std::abs(r.forward.creepUm.mean - 0.05 * (1 - std::exp(-4.0))) < 0.002);
    QVERIFY(std::abs(*r.driftUmPerS) < 0.001);

    // 100 um forward after the reverse bursts: within the noise of the steps sent.
    const StepPlan plan = StepAnalysis::planMove(r, 100.0, Direction::Reverse);
    QVERIFY(plan.possible);
    const double start = read();
    for (int i = 0; i < plan.steps; ++i)
        send(">fo");
    now += 10 * plan.steps + 10;
    const double moved = read() - start;
    const double noise = 0.83 * 0.05 * std::sqrt(double(plan.steps));
    QVERIFY2(std::abs(moved - 100.0) < 3 * noise + 0.83 / 2, qPrintable(QString::number(moved)));
#endif
}

QTEST_GUILESS_MAIN(TestStepAnalysis)
#include "tst_stepanalysis.moc"
