// The arithmetic of the trace's plot without a chart: thinning that keeps every peak and valley,
// round axis steps, event names kept inside the plot, and the UTC text of the files.

#include "provenance.h"
#include "traceplot.h"
#include "utctext.h"

#include <QDateTime>
#include <QRandomGenerator>
#include <QtTest>

#include <cmath>

namespace {

// The points of a thinning, as (time, position) of the samples they came from.
struct Trace {
    QVector<QPointF> samples;
    QPointF at(int i) const { return samples.at(i); }
};

} // namespace

class TestTracePlot : public QObject {
    Q_OBJECT

private slots:
    void fewSamplesAreDrawnAsTheyAre();
    void thinningKeepsEveryPeakAndValley_data();
    void thinningKeepsEveryPeakAndValley();
    void roundSteps_data();
    void roundSteps();
    void roundedRangeCoversTheData();
    void labelsStayInsideThePlot_data();
    void labelsStayInsideThePlot();
    void closeLabelsNeverOverlap();
    void utcTextMatchesIsoUtc_data();
    void utcTextMatchesIsoUtc();
};

void TestTracePlot::fewSamplesAreDrawnAsTheyAre()
{
    const Trace trace{{{0.0, 1.0}, {0.5, 3.0}, {1.0, -2.0}, {2.5, 0.0}}};
    const TracePlot::Thinned out = TracePlot::thin(
        0, 4, [&](int i) { return trace.at(i); }, 0.2, 2.0, 100);
    QCOMPARE(out.points, trace.samples);
    // The extent counts only what is inside the span, not the samples that reach its edges.
    QCOMPARE(out.yMin, -2.0);
    QCOMPARE(out.yMax, 3.0);

    const TracePlot::Thinned none = TracePlot::thin(
        0, 0, [&](int i) { return trace.at(i); }, 0.0, 1.0, 100);
    QVERIFY(none.points.isEmpty());
    QVERIFY(!(none.yMin <= none.yMax));
}

void TestTracePlot::thinningKeepsEveryPeakAndValley_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("columns");
    QTest::addColumn<quint32>("seed");

    QTest::newRow("2 h at 20 ms on 640 px") << 360000 << 560 << 1u;
    QTest::newRow("10 min on 100 px") << 30000 << 100 << 2u;
    QTest::newRow("just over two per column") << 201 << 100 << 3u;
    QTest::newRow("one column") << 5000 << 1 << 4u;
}

void TestTracePlot::thinningKeepsEveryPeakAndValley()
{
    QFETCH(int, count);
    QFETCH(int, columns);
    QFETCH(quint32, seed);

    // A noisy random walk with single-sample spikes up and down, sampled at uneven times.
    QRandomGenerator random(seed);
    Trace trace;
    trace.samples.reserve(count);
    double t = 0.0;
    double y = 0.0;
    for (int i = 0; i < count; ++i) {
        t += 0.01 + random.bounded(0.02);
        y += random.bounded(2.0) - 1.0;
        const int spike = int(random.bounded(1000u));
        trace.samples.append(QPointF(t, spike == 0 ? y + 500 : spike == 1 ? y - 500 : y));
    }
    const double xMin = trace.samples.first().x();
    const double xMax = trace.samples.last().x();
    const TracePlot::Thinned out = TracePlot::thin(
        0, count, [&](int i) { return trace.at(i); }, xMin, xMax, columns);
    QVERIFY(out.points.size() <= 2 * (columns + 1));

    // Per pixel column, the drawn line reaches exactly the lowest and the highest sample.
    const double width = (xMax - xMin) / columns;
    const auto columnOf = [&](double x) { return int(std::floor((x - xMin) / width)); };
    QHash<int, QPair<double, double>> expected;
    for (const QPointF &p : qAsConst(trace.samples)) {
        auto it = expected.find(columnOf(p.x()));
        if (it == expected.end())
            expected.insert(columnOf(p.x()), {p.y(), p.y()});
        else
            *it = {std::min(it->first, p.y()), std::max(it->second, p.y())};
    }
    QHash<int, QPair<double, double>> drawn;
    for (const QPointF &p : qAsConst(out.points)) {
        auto it = drawn.find(columnOf(p.x()));
        if (it == drawn.end())
            drawn.insert(columnOf(p.x()), {p.y(), p.y()});
        else
            *it = {std::min(it->first, p.y()), std::max(it->second, p.y())};
    }
    QCOMPARE(drawn, expected);
    // Every point drawn is a sample, in time order.
    for (int i = 1; i < out.points.size(); ++i)
        QVERIFY(out.points.at(i - 1).x() <= out.points.at(i).x());
    QVERIFY(std::binary_search(trace.samples.cbegin(), trace.samples.cend(), out.points.at(1),
                               [](const QPointF &a, const QPointF &b) { return a.x() < b.x(); }));
    QCOMPARE(out.yMax,
             std::max_element(trace.samples.cbegin(), trace.samples.cend(),
                              [](const QPointF &a, const QPointF &b) { return a.y() < b.y(); })
                 ->y());
}

void TestTracePlot::roundSteps_data()
{
    QTest::addColumn<double>("span");
    QTest::addColumn<int>("intervals");
    QTest::addColumn<double>("step");
    QTest::addColumn<int>("decimals");

    QTest::newRow("10 s, 6 ticks") << 10.0 << 6 << 2.0 << 0;
    QTest::newRow("10 s, 10 ticks") << 10.0 << 10 << 1.0 << 0;
    QTest::newRow("60 s, 6 ticks") << 60.0 << 6 << 10.0 << 0;
    QTest::newRow("60 s, 5 ticks") << 60.0 << 5 << 20.0 << 0;
    QTest::newRow("600 s, 6 ticks") << 600.0 << 6 << 100.0 << 0;
    QTest::newRow("7200 s, 6 ticks") << 7200.0 << 6 << 2000.0 << 0;
    QTest::newRow("zoomed to 0.3 s") << 0.3 << 6 << 0.05 << 2;
    QTest::newRow("1 s, narrow window") << 1.0 << 2 << 0.5 << 1;
    QTest::newRow("position 3 um") << 3.0 << 5 << 1.0 << 0;
    QTest::newRow("position 0.004 um") << 0.004 << 5 << 0.001 << 3;
    QTest::newRow("empty span") << 0.0 << 5 << 1.0 << 0;
    QTest::newRow("not a number") << std::nan("") << 5 << 1.0 << 0;
}

void TestTracePlot::roundSteps()
{
    QFETCH(double, span);
    QFETCH(int, intervals);
    QFETCH(double, step);
    QFETCH(int, decimals);

    const double got = TracePlot::roundStep(span, intervals);
    QVERIFY2(std::abs(got - step) < 1e-12 * step, qPrintable(QString::number(got)));
    QCOMPARE(TracePlot::decimalsFor(got), decimals);
    // Always 1, 2 or 5 times a power of ten, and never more intervals than asked for.
    const double mantissa = got / std::pow(10.0, std::floor(std::log10(got)));
    QVERIFY(std::abs(mantissa - 1) < 1e-9 || std::abs(mantissa - 2) < 1e-9 ||
            std::abs(mantissa - 5) < 1e-9);
    if (span > 0)
        QVERIFY(span / got <= intervals + 1e-9);
}

void TestTracePlot::roundedRangeCoversTheData()
{
    const TracePlot::Range r = TracePlot::roundedRange(-3.2, 101.7, 5);
    QCOMPARE(r.step, 50.0);
    QCOMPARE(r.from, -50.0);
    QCOMPARE(r.to, 150.0);
    QCOMPARE(r.tickCount(), 5);
    const TracePlot::Range flat = TracePlot::roundedRange(10.0, 10.0, 5);
    QVERIFY(flat.from <= 10.0 && flat.to > flat.from);
}

void TestTracePlot::labelsStayInsideThePlot_data()
{
    QTest::addColumn<QPointF>("marker");
    QTest::addColumn<int>("row");
    QTest::addColumn<QPointF>("expected");

    // A plot from (50, 20) to (610, 320); labels of 80 x 12.
    QTest::newRow("room on the right") << QPointF(100, 20) << 0 << QPointF(104, 24);
    QTest::newRow("second row") << QPointF(100, 20) << 1 << QPointF(104, 37);
    QTest::newRow("at the right edge: to the left") << QPointF(600, 20) << 0 << QPointF(516, 24);
    QTest::newRow("low row near the bottom") << QPointF(100, 300) << 2 << QPointF(104, 308);
    QTest::newRow("marker left of the plot") << QPointF(20, 20) << 0 << QPointF(50, 24);
}

void TestTracePlot::labelsStayInsideThePlot()
{
    QFETCH(QPointF, marker);
    QFETCH(int, row);
    QFETCH(QPointF, expected);

    const QRectF plot(50, 20, 560, 300);
    const QSizeF label(80, 12);
    const QPointF at = TracePlot::labelPosition(marker, label, plot, row);
    QCOMPARE(at, expected);
    QVERIFY(plot.contains(QRectF(at, label)));
}

void TestTracePlot::closeLabelsNeverOverlap()
{
    const QRectF plot(50, 20, 560, 300);
    // A disconnect with a long reason, and a reconnect, an identification and homing soon after.
    const QVector<QPointF> markers{{300, 20}, {340, 20}, {341, 20}, {343, 20}, {600, 20}};
    const QVector<QSizeF> sizes{{240, 12}, {120, 12}, {100, 12}, {50, 12}, {100, 12}};
    const QVector<QRectF> places = TracePlot::placeLabels(markers, sizes, plot, 4);
    QCOMPARE(places.size(), 5);
    for (int i = 0; i < places.size(); ++i) {
        QVERIFY(!places.at(i).isEmpty());
        QVERIFY(plot.contains(places.at(i)));
        for (int j = 0; j < i; ++j)
            QVERIFY2(!places.at(i).intersects(places.at(j)),
                     qPrintable(QString("%1 %2").arg(i).arg(j)));
    }
    // The first keeps the first row; the one at the right edge turns to the left of its marker.
    QCOMPARE(places.at(0).topLeft(), QPointF(304, 24));
    QVERIFY(places.at(4).right() <= 600);

    // More names than rows at one place: the extra ones are left out, not piled up.
    const QVector<QRectF> crowded = TracePlot::placeLabels(
        QVector<QPointF>(6, QPointF(300, 20)), QVector<QSizeF>(6, QSizeF(80, 12)), plot, 4);
    QCOMPARE(std::count_if(crowded.cbegin(), crowded.cend(),
                           [](const QRectF &r) { return r.isEmpty(); }),
             2);
}

void TestTracePlot::utcTextMatchesIsoUtc_data()
{
    QTest::addColumn<qint64>("utcMs");
    const auto at = [](int y, int mo, int d, int h, int mi, int s, int ms) {
        return QDateTime(QDate(y, mo, d), QTime(h, mi, s, ms), Qt::UTC).toMSecsSinceEpoch();
    };
    QTest::newRow("epoch") << qint64(0);
    QTest::newRow("before the epoch") << qint64(-1);
    QTest::newRow("a lab afternoon") << at(2026, 12, 7, 14, 3, 22, 123);
    QTest::newRow("leap day") << at(2024, 2, 29, 23, 59, 59, 999);
    QTest::newRow("turn of a century") << at(2100, 3, 1, 0, 0, 0, 0);
    QTest::newRow("year 2000") << at(2000, 2, 29, 12, 0, 0, 7);
    QTest::newRow("far future") << at(9999, 12, 31, 23, 59, 59, 999);
}

void TestTracePlot::utcTextMatchesIsoUtc()
{
    QFETCH(qint64, utcMs);
    QByteArray text("x");
    appendUtcText(text, utcMs);
    QCOMPARE(QString::fromLatin1(text.mid(1)), isoUtc(utcMs));
}

QTEST_MAIN(TestTracePlot)
#include "tst_traceplot.moc"
