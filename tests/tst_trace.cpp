// The trace's plain parts: the ring buffer, the move analysis on synthetic traces with known
// answers, the CSV files, and the recorder fed by a stage that the test plays.

#include "moveanalysis.h"
#include "ringbuffer.h"
#include "scriptedstage.h"
#include "tracecsv.h"
#include "tracerecorder.h"

#include <QBuffer>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>

using MoveAnalysis::Move;
using MoveAnalysis::Result;

Q_DECLARE_METATYPE(Result::Status)

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Samples of a position function every dt seconds over (0, until].
QVector<TraceSample> sampled(const std::function<double(double)> &position, double dt, double until,
                             double from = 0.0)
{
    QVector<TraceSample> samples;
    samples.append(TraceSample{from, position(from), kNaN, PositionSource::Fast});
    for (double t = from + dt; t <= until + 1e-9; t += dt)
        samples.append(TraceSample{t, position(t), kNaN, PositionSource::Fast});
    return samples;
}

// A 100 um step, damped: x = 100 (1 - exp(-a t) (cos w t + a / w sin w t)).
double ringing(double t)
{
    const double a = 4.0;
    const double w = 15.0;
    if (t <= 0.0)
        return 0.0;
    return 100.0 * (1.0 - std::exp(-a * t) * (std::cos(w * t) + a / w * std::sin(w * t)));
}

// 2026-12-07T14:03:22.000Z
constexpr qint64 kConnectedUtcMs = 1796652202000;

TraceSegment segmentAt(int number, double startS, qint64 startUtcMs, double endS = kNaN)
{
    TraceSegment segment;
    segment.number = number;
    segment.startS = startS;
    segment.endS = endS;
    segment.startUtcMs = startUtcMs;
    return segment;
}

QByteArray csvOf(const RingBuffer<TraceSample> &samples, const RingBuffer<TraceEvent> &events,
                 const std::deque<TraceSegment> &segments)
{
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    TraceCsv::writeTrace(&buffer, QByteArray(), samples, events, segments);
    return buffer.data();
}

} // namespace

class TestTrace : public QObject {
    Q_OBJECT

private slots:
    void ringBufferWrapsAround();
    void ringBufferSearchesInTimeOrder();
    void cleanStep();
    void overshootAndRing();
    void neverSettles();
    void interruptedByNextMove();
    void noisyPlateau();
    void downwardMoveOvershootsBelow();
    void csvHeaderAndNumbers();
    void csvEventsInterleaved();
    void csvMovesTable();
    void provenanceOfSegments();
    void failedWriteLeavesNoFile();
    void recorderFollowsTheStage();
    void recorderKeepsConnectionsApart();
    void recorderStaysBounded();
    void recorderStaysBoundedAcrossConnections();
    void recorderAnalysesMoves();
};

void TestTrace::ringBufferWrapsAround()
{
    RingBuffer<int> ring(4);
    QVERIFY(ring.isEmpty());
    for (int i = 1; i <= 3; ++i)
        ring.append(i);
    QCOMPARE(ring.size(), 3);
    QCOMPARE(ring.at(0), 1);
    for (int i = 4; i <= 11; ++i)
        ring.append(i);
    // Only the newest four are kept, oldest first, however often it went round.
    QCOMPARE(ring.size(), 4);
    QVERIFY(ring.isFull());
    QCOMPARE(ring.capacity(), 4);
    QCOMPARE((QVector<int>{ring.at(0), ring.at(1), ring.at(2), ring.at(3)}),
             (QVector<int>{8, 9, 10, 11}));
    QCOMPARE(ring.last(), 11);
    ring.clear();
    QCOMPARE(ring.size(), 0);
    ring.append(12);
    QCOMPARE(ring.at(0), 12);

    // Dropping the oldest, before the storage is full and after it went round.
    RingBuffer<int> partial(5);
    for (int i = 1; i <= 3; ++i)
        partial.append(i);
    partial.dropFront(2);
    for (int i = 4; i <= 7; ++i)
        partial.append(i);
    QCOMPARE(partial.size(), 5);
    QCOMPARE((QVector<int>{partial.at(0), partial.at(4)}), (QVector<int>{3, 7}));
    partial.dropFront(4);
    partial.append(8);
    QCOMPARE((QVector<int>{partial.size(), partial.at(0), partial.at(1)}), (QVector<int>{2, 7, 8}));
    partial.dropFront(10);
    QVERIFY(partial.isEmpty());

    // Full size for two hours at 20 ms; a capacity below one still holds one item.
    QVERIFY(kTraceCapacity >= 2 * 3600 * 50);
    RingBuffer<int> tiny(0);
    tiny.append(1);
    tiny.append(2);
    QCOMPARE(tiny.size(), 1);
    QCOMPARE(tiny.at(0), 2);
}

void TestTrace::ringBufferSearchesInTimeOrder()
{
    RingBuffer<TraceSample> ring(5);
    for (int i = 0; i < 8; ++i)
        ring.append(TraceSample{i * 0.5, double(i), kNaN, PositionSource::Poll});
    // Kept: 1.5 2.0 2.5 3.0 3.5, with the start of the storage in the middle of them.
    const auto before = [](const TraceSample &s, double t) { return s.timeS < t; };
    QCOMPARE(ring.lowerBound(0.0, before), 0);
    QCOMPARE(ring.lowerBound(2.0, before), 1);
    QCOMPARE(ring.lowerBound(2.2, before), 2);
    QCOMPARE(ring.lowerBound(9.0, before), 5);
    for (int i = 1; i < ring.size(); ++i)
        QVERIFY(ring.at(i - 1).timeS < ring.at(i).timeS);
}

void TestTrace::cleanStep()
{
    // Straight at 1000 um/s from 0 to 100, sampled every 20 ms: inside +-0.5 from 0.1 s on
    // (99.5 um at 0.0995 s; the first sample there is at 0.1 s).
    const auto ramp = [](double t) { return std::min(100.0, std::max(0.0, t) * 1000.0); };
    const QVector<TraceSample> samples = sampled(ramp, 0.02, 1.0);
    const Result r = MoveAnalysis::analyse(Move{0.0, 100.0, 0.0}, samples, 1.0, false, 0.5);
    QCOMPARE(r.status, Result::Status::Settled);
    QCOMPARE(r.fromUm, 0.0);
    QVERIFY(std::abs(*r.travelS - 0.1) < 1e-9);
    QVERIFY(std::abs(*r.settlingS - 0.1) < 1e-9);
    QCOMPARE(r.overshootUm, 0.0);
    QVERIFY(std::abs(*r.finalErrorUm) < 1e-9);
}

void TestTrace::overshootAndRing()
{
    const QVector<TraceSample> samples = sampled(ringing, 0.001, 3.0);
    const Result r = MoveAnalysis::analyse(Move{0.0, 100.0, 0.0}, samples, 3.0, false, 0.5);
    // Peak at pi / w: overshoot 100 exp(-a pi / w).
    const double expectedOvershoot = 100.0 * std::exp(-4.0 * M_PI / 15.0);
    QVERIFY(std::abs(r.overshootUm - expectedOvershoot) < 0.01);
    // Exact answers from a fine scan: the first time inside the band, and the last outside.
    double firstInside = -1.0;
    double lastOutside = 0.0;
    for (double t = 0.0; t < 3.0; t += 1e-5) {
        const bool inside = std::abs(ringing(t) - 100.0) <= 0.5;
        if (inside && firstInside < 0.0)
            firstInside = t;
        if (!inside)
            lastOutside = t;
    }
    // The first entry comes on the way up, long before it settles.
    QVERIFY(std::abs(*r.travelS - firstInside) <= 0.0011);
    QVERIFY(*r.travelS < *r.settlingS / 2);
    QVERIFY2(std::abs(*r.settlingS - lastOutside) <= 0.0011,
             qPrintable(QStringLiteral("%1 vs %2").arg(*r.settlingS).arg(lastOutside)));
    QCOMPARE(r.status, Result::Status::Settled);
}

void TestTrace::neverSettles()
{
    // Oscillates +-2 um around the target for good: no settling, and after 30 s the move is
    // given up even though no next move came.
    const auto wobble = [](double t) { return 50.0 + 2.0 * std::sin(2.0 * M_PI * t); };
    const QVector<TraceSample> samples = sampled(wobble, 0.1, 40.0);
    const Result open = MoveAnalysis::analyse(Move{0.0, 50.0, 0.0}, samples, 10.0, false, 0.5);
    QCOMPARE(open.status, Result::Status::Moving);
    QVERIFY(open.travelS.has_value());
    QVERIFY(!open.settlingS);
    const Result late = MoveAnalysis::analyse(Move{0.0, 50.0, 0.0}, samples, 40.0, false, 0.5);
    QCOMPARE(late.status, Result::Status::NotSettled);
    QVERIFY(!late.finalErrorUm);
    QCOMPARE(MoveAnalysis::statusText(late.status), QStringLiteral("not settled"));
}

void TestTrace::interruptedByNextMove()
{
    // Two moves: the first is replaced at 0.05 s, before it reached its band.
    const auto ramp = [](double t) { return std::min(100.0, std::max(0.0, t) * 1000.0); };
    const QVector<TraceSample> samples = sampled(ramp, 0.01, 1.0);
    const QVector<Move> moves{{0.0, 100.0, 0.0}, {0.05, 100.0, kNaN}};
    const QVector<Result> results = MoveAnalysis::analyseAll(moves, samples, 1.0, 0.5);
    QCOMPARE(results.size(), 2);
    QCOMPARE(results.at(0).status, Result::Status::NotSettled);
    QVERIFY(!results.at(0).travelS);
    // The second starts from the last sample before its command.
    QCOMPARE(results.at(1).fromUm, 50.0);
    QCOMPARE(results.at(1).status, Result::Status::Settled);
    QVERIFY(std::abs(*results.at(1).settlingS - 0.05) < 1e-9);
    // The last move of a trace still running is moving, not "not settled".
    const QVector<Result> early = MoveAnalysis::analyseAll(moves, samples, 0.08, 0.5);
    QCOMPARE(early.at(1).status, Result::Status::Moving);
}

void TestTrace::noisyPlateau()
{
    // Arrived at once, with noise of +-0.3 um around 10.2: settled on the first three samples,
    // and the final error is the mean offset.
    const double noise[] = {0.3, -0.3, 0.1, -0.1, 0.2, -0.2, 0.0, 0.3, -0.3, 0.0};
    QVector<TraceSample> samples{{0.0, 0.0, kNaN, PositionSource::Poll}};
    for (int i = 0; i < 10; ++i)
        samples.append(TraceSample{0.1 * (i + 1), 10.2 + noise[i], 10.0, PositionSource::Fast});
    Result r = MoveAnalysis::analyse(Move{0.0, 10.0, kNaN}, samples, 2.0, false, 0.5);
    QCOMPARE(r.fromUm, 0.0);
    QCOMPARE(r.status, Result::Status::Settled);
    QVERIFY(std::abs(*r.settlingS - 0.1) < 1e-9);
    QVERIFY(std::abs(*r.finalErrorUm - 0.2) < 1e-9);
    QVERIFY(std::abs(r.overshootUm - 0.5) < 1e-9);

    // A tighter band: the noise keeps it from ever staying inside for three samples.
    r = MoveAnalysis::analyse(Move{0.0, 10.0, kNaN}, samples, 2.0, true, 0.15);
    QCOMPARE(r.status, Result::Status::NotSettled);
    QVERIFY(r.travelS.has_value());

    // A sample that is not a number neither counts as inside nor spoils the mean.
    samples.insert(3, TraceSample{0.25, kNaN, 10.0, PositionSource::Fast});
    r = MoveAnalysis::analyse(Move{0.0, 10.0, kNaN}, samples, 2.0, false, 0.5);
    QCOMPARE(r.status, Result::Status::Settled);
    QVERIFY(std::isfinite(*r.finalErrorUm));
}

void TestTrace::downwardMoveOvershootsBelow()
{
    const auto down = [](double t) { return 100.0 - ringing(t); };
    const QVector<TraceSample> samples = sampled(down, 0.001, 3.0);
    const Result r = MoveAnalysis::analyse(Move{0.0, 0.0, 100.0}, samples, 3.0, false, 0.5);
    QVERIFY(std::abs(r.overshootUm - 100.0 * std::exp(-4.0 * M_PI / 15.0)) < 0.01);
}

void TestTrace::csvHeaderAndNumbers()
{
    // A locale with a decimal comma must not leak into the file.
    const QLocale saved;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    RingBuffer<TraceSample> samples(10);
    samples.append(TraceSample{0.5, 1234.5678, kNaN, PositionSource::Poll, 1});
    samples.append(TraceSample{1.25, -0.00001, 1000.0, PositionSource::Typed, 1});
    samples.append(TraceSample{12345.0, 6250.0, -250.5, PositionSource::Fast, 1});
    const QByteArray csv =
        csvOf(samples, RingBuffer<TraceEvent>(1), {segmentAt(1, 0.0, kConnectedUtcMs)});
    QLocale::setDefault(saved);
    QCOMPARE(csv, QByteArray("time_s,time_utc,segment,position_um,target_um,source,event\n"
                             "0.500,2026-12-07T14:03:22.500Z,1,1234.5678,,poll,\n"
                             "1.250,2026-12-07T14:03:23.250Z,1,0.0000,1000.0000,typed,\n"
                             "12345.000,2026-12-07T17:29:07.000Z,1,6250.0000,-250.5000,fast,\n"));
}

void TestTrace::csvEventsInterleaved()
{
    // Two connections: the second one's times start again at its own start, and its UTC times
    // come from its own start, 15 s later on the wall clock.
    RingBuffer<TraceSample> samples(10);
    RingBuffer<TraceEvent> events(10);
    events.append(TraceEvent{0.0, PanelEvent::Kind::Connected, QStringLiteral("/dev/pts/3"), 1});
    samples.append(TraceSample{0.4, 0.0, kNaN, PositionSource::Poll, 1});
    events.append(TraceEvent{0.4, PanelEvent::Kind::Identified, QStringLiteral("1901 3.12"), 1});
    events.append(TraceEvent{0.6, PanelEvent::Kind::Homed, QString(), 1});
    samples.append(TraceSample{0.9, 0.0, 0.0, PositionSource::Poll, 1});
    events.append(TraceEvent{2.0, PanelEvent::Kind::Disconnected,
                             QStringLiteral("port error, \"Resource busy\""), 1});
    events.append(TraceEvent{10.0, PanelEvent::Kind::Connected, QStringLiteral("/dev/pts/3"), 2});
    samples.append(TraceSample{10.25, 5.0, kNaN, PositionSource::Poll, 2});
    const QByteArray csv = csvOf(
        samples, events,
        {segmentAt(1, 0.0, kConnectedUtcMs, 2.0), segmentAt(2, 10.0, kConnectedUtcMs + 15000)});
    QCOMPARE(csv, QByteArray("time_s,time_utc,segment,position_um,target_um,source,event\n"
                             "0.000,2026-12-07T14:03:22.000Z,1,,,,connected /dev/pts/3\n"
                             "0.400,2026-12-07T14:03:22.400Z,1,,,,identified 1901 3.12\n"
                             "0.400,2026-12-07T14:03:22.400Z,1,0.0000,,poll,\n"
                             "0.600,2026-12-07T14:03:22.600Z,1,,,,homed\n"
                             "0.900,2026-12-07T14:03:22.900Z,1,0.0000,0.0000,poll,\n"
                             "2.000,2026-12-07T14:03:24.000Z,1,,,,\"disconnected port error, "
                             "\"\"Resource busy\"\"\"\n"
                             "0.000,2026-12-07T14:03:37.000Z,2,,,,connected /dev/pts/3\n"
                             "0.250,2026-12-07T14:03:37.250Z,2,5.0000,,poll,\n"));
}

void TestTrace::csvMovesTable()
{
    Result settled;
    settled.startS = 1.5;
    settled.fromUm = 0.0;
    settled.targetUm = 100.0;
    settled.travelS = 0.08;
    settled.settlingS = 0.3;
    settled.overshootUm = 16.3;
    settled.finalErrorUm = -0.002;
    settled.status = Result::Status::Settled;
    settled.segment = 1;
    Result cut;
    cut.startS = 12.0;
    cut.fromUm = 100.0;
    cut.targetUm = 50.0;
    cut.status = Result::Status::NotSettled;
    cut.segment = 2;
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    TraceCsv::writeMoves(
        &buffer, "# header\n", {settled, cut},
        {segmentAt(1, 0.0, kConnectedUtcMs, 5.0), segmentAt(2, 10.0, kConnectedUtcMs + 60000)});
    // Travel and settling in ms, as the window's table shows them.
    QCOMPARE(buffer.data(),
             QByteArray("# header\n"
                        "start_s,start_utc,segment,from_um,target_um,travel_ms,settling_ms,"
                        "overshoot_um,final_error_um,status\n"
                        "1.500,2026-12-07T14:03:23.500Z,1,0.0000,100.0000,80,300,16.3000,"
                        "-0.0020,settled\n"
                        "2.000,2026-12-07T14:04:24.000Z,2,100.0000,50.0000,,,0.0000,,not "
                        "settled\n"));
}

void TestTrace::provenanceOfSegments()
{
    std::deque<TraceSegment> segments{segmentAt(4, 0.0, kConnectedUtcMs, 20.0),
                                      segmentAt(5, 30.0, kConnectedUtcMs + 30000)};
    segments[0].link.chosenPort = QStringLiteral("/dev/ttyUSB0");
    segments[0].link.model = QStringLiteral("1804");
    segments[0].link.firmware = QStringLiteral("1.26");
    segments[1].link.chosenPort = QStringLiteral("/dev/ttyUSB1");
    segments[1].link.stablePort = QStringLiteral("/dev/serial/by-id/usb-DVX-if00");
    segments[1].link.model = QStringLiteral("1901");
    segments[1].link.firmware = QStringLiteral("3.12");
    segments[1].link.lineSettings = QStringLiteral("115200, 8, None, 1");
    PanelState now;
    now.port = QStringLiteral("/dev/elsewhere");

    // The newest connection's fields, and each connection on a line of its own.
    const QByteArray header = TraceCsv::provenance(now, segments).header();
    for (const char *line :
         {"# port: /dev/ttyUSB1\n", "# stable_port: /dev/serial/by-id/usb-DVX-if00\n",
          "# model: DVX1901\n", "# firmware: 3.12\n", "# line: 115200, 8, None, 1\n",
          "# segment_start_utc: 2026-12-07T14:03:52.000Z\n", "# segments: 2\n",
          "# segment_4: 2026-12-07T14:03:22.000Z, /dev/ttyUSB0, DVX1804 1.26\n",
          "# segment_5: 2026-12-07T14:03:52.000Z, /dev/ttyUSB1, DVX1901 3.12\n"})
        QVERIFY2(header.contains(line), line);
    QVERIFY(!header.contains("/dev/elsewhere"));
    // One connection: no list. Nothing recorded: the panel as it is now.
    segments.pop_front();
    QVERIFY(!TraceCsv::provenance(now, segments).header().contains("segment_5"));
    QVERIFY(TraceCsv::provenance(now, {}).header().contains("# port: /dev/elsewhere\n"));
}

void TestTrace::failedWriteLeavesNoFile()
{
    QTemporaryDir dir;
    RingBuffer<TraceSample> samples(4);
    samples.append(TraceSample{0.1, 1.0, kNaN, PositionSource::Poll, 1});
    RingBuffer<TraceEvent> events(4);
    const std::deque<TraceSegment> segments{segmentAt(1, 0.0, kConnectedUtcMs)};
    QString error;

    // The folder does not exist: a clear message, nothing created.
    const QString missing = dir.filePath(QStringLiteral("no-such-folder/trace.csv"));
    QVERIFY(!TraceCsv::saveTrace(missing, "# h\n", samples, events, segments, &error));
    QVERIFY2(error.contains(missing), qPrintable(error));
    QVERIFY(!QFileInfo::exists(missing));

    // The name is taken by a folder: it stays as it was, with nothing left beside it.
    const QString taken = dir.filePath(QStringLiteral("taken.csv"));
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("taken.csv")));
    error.clear();
    QVERIFY(!TraceCsv::saveMoves(taken, "# h\n", {}, segments, &error));
    QVERIFY(!error.isEmpty());
    QVERIFY(QFileInfo(taken).isDir());
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList());

    // And a write that works leaves exactly the file.
    const QString good = dir.filePath(QStringLiteral("good.csv"));
    QVERIFY(TraceCsv::saveTrace(good, "# h\n", samples, events, segments, &error));
    QFile written(good);
    QVERIFY(written.open(QIODevice::ReadOnly));
    QVERIFY(written.readAll().startsWith(
        "# h\ntime_s,time_utc,segment,position_um,target_um,source,event\n0.100,"));
}

void TestTrace::recorderFollowsTheStage()
{
    ScriptedStage stage;
    qint64 clock = 1000;
    TraceRecorder recorder(&stage, [&clock] { return clock; });
    recorder.setUtcClock([&clock] { return kConnectedUtcMs - 1000 + clock; });

    // Nothing is kept before the first connection.
    emit stage.panelEvent(PanelEvent{PanelEvent::Kind::Error, QStringLiteral("no port")});
    QCOMPARE(recorder.events().size(), 0);

    // Connecting starts the clock at zero; samples carry the target in force and their source.
    stage.now.connected = true;
    stage.now.connectedUtcMs = kConnectedUtcMs;
    emit stage.panelEvent(PanelEvent{PanelEvent::Kind::Connected, QStringLiteral("/dev/pts/9")});
    clock += 400;
    emit stage.positionReceived(0.0, PositionSource::Poll);
    clock += 100;
    stage.now.travelMinUm = -100.0;
    stage.now.travelMaxUm = 6400.0;
    emit stage.stateChanged();
    emit stage.targetCommanded(200.0);
    clock += 20;
    emit stage.positionReceived(150.0, PositionSource::Fast);
    clock += 30;
    emit stage.positionReceived(199.9, PositionSource::Typed);

    const RingBuffer<TraceSample> &s = recorder.samples();
    QCOMPARE(s.size(), 3);
    QCOMPARE(s.at(0).timeS, 0.4);
    QVERIFY(!s.at(0).hasTarget());
    QCOMPARE(s.at(1).timeS, 0.52);
    QCOMPARE(s.at(1).targetUm, 200.0);
    QCOMPARE(s.at(1).source, PositionSource::Fast);
    QCOMPARE(s.at(2).source, PositionSource::Typed);
    QCOMPARE(s.at(2).segment, 1);
    QCOMPARE(recorder.events().size(), 1);
    QCOMPARE(recorder.events().at(0).label(), QStringLiteral("connected /dev/pts/9"));
    QCOMPARE(recorder.targets().size(), 1);
    QCOMPARE(recorder.travelMinUm(), -100.0);
    QCOMPARE(recorder.travelMaxUm(), 6400.0);
    QCOMPARE(recorder.indexRange(0.45, 0.52), std::make_pair(1, 2));
    QCOMPARE(int(recorder.segments().size()), 1);
    QCOMPARE(recorder.segments().front().startUtcMs, kConnectedUtcMs);
    QCOMPARE(recorder.utcMsAt(0.52), kConnectedUtcMs + 520);
}

void TestTrace::recorderKeepsConnectionsApart()
{
    ScriptedStage stage;
    stage.now.closedLoop = true;
    qint64 clock = 0;
    TraceRecorder recorder(&stage, [&clock] { return clock; });
    recorder.setUtcClock([&clock] { return kConnectedUtcMs + clock; });
    const auto connectAt = [&](qint64 ms, qint64 utcMs, const QString &port) {
        clock = ms;
        stage.now.connected = true;
        stage.now.connectedUtcMs = utcMs;
        stage.now.chosenPort = port;
        emit stage.panelEvent(PanelEvent{PanelEvent::Kind::Connected, port});
    };
    const auto report = [&](qint64 ms, double um) {
        clock = ms;
        emit stage.positionReceived(um, PositionSource::Fast);
    };

    // First connection: a move to 100 that gets only halfway before the link goes.
    connectAt(0, kConnectedUtcMs, QStringLiteral("/dev/ttyUSB0"));
    report(100, 0.0);
    clock = 200;
    emit stage.targetCommanded(100.0);
    report(300, 50.0);
    clock = 400;
    stage.now.connected = false;
    emit stage.panelEvent(PanelEvent{PanelEvent::Kind::Disconnected, QStringLiteral("lost")});
    QCOMPARE(recorder.move(0).status, Result::Status::NotSettled);

    // Second connection, 10 s later on the same clock; the stage reports 100 at once, which
    // would settle the first move if the two connections were mixed.
    connectAt(10000, kConnectedUtcMs + 10000, QStringLiteral("/dev/ttyUSB1"));
    for (qint64 ms = 10100; ms <= 10300; ms += 20)
        report(ms, 100.0);
    recorder.updateMoves();
    QCOMPARE(recorder.moveCount(), 1);
    QCOMPARE(recorder.move(0).status, Result::Status::NotSettled);
    QVERIFY(!recorder.move(0).settlingS);

    // Samples keep the recording's clock and their own connection; the target of the first
    // connection is not carried into the second.
    const RingBuffer<TraceSample> &s = recorder.samples();
    QCOMPARE(s.at(2).timeS, 10.1);
    QCOMPARE(s.at(2).segment, 2);
    QVERIFY(!s.at(2).hasTarget());
    QCOMPARE(int(recorder.segments().size()), 2);
    QCOMPARE(recorder.segments().front().endS, 0.4);
    QCOMPARE(recorder.segments().back().link.chosenPort, QStringLiteral("/dev/ttyUSB1"));
    QCOMPARE(recorder.utcMsAt(10.1), kConnectedUtcMs + 10100);

    // The cursor never reads a value of another connection: in the gap nothing, and just after
    // the reconnect the second connection's first sample, though the first's last is nearer.
    QCOMPARE(recorder.segmentAt(5.0), nullptr);
    QCOMPARE(recorder.nearestSample(5.0), -1);
    QCOMPARE(recorder.nearestSample(0.35), 1);
    QCOMPARE(recorder.nearestSample(10.0), 2);
    QCOMPARE(recorder.segmentAt(10.0)->number, 2);

    // A move of the second connection starts from where it stands, not from the first's.
    clock = 10400;
    emit stage.targetCommanded(200.0);
    QCOMPARE(recorder.move(1).fromUm, 100.0);
    QCOMPARE(recorder.move(1).segment, 2);

    // Clear forgets everything; the open connection goes on as a fresh recording, timed from
    // when its link opened.
    QSignalSpy cleared(&recorder, &TraceRecorder::cleared);
    recorder.clear();
    QCOMPARE(cleared.count(), 1);
    QCOMPARE(recorder.samples().size(), 0);
    QCOMPARE(recorder.events().size(), 0);
    QCOMPARE(recorder.moveCount(), 0);
    QCOMPARE(int(recorder.segments().size()), 1);
    QCOMPARE(recorder.segments().front().number, 1);
    QCOMPARE(recorder.segments().front().startS, 0.0);
    QCOMPARE(recorder.segments().front().startUtcMs, kConnectedUtcMs + 10000);
    report(10500, 150.0);
    QCOMPARE(recorder.samples().at(0).segment, 1);
    QVERIFY(recorder.samples().at(0).timeS >= 0.0);
}

void TestTrace::recorderStaysBounded()
{
    ScriptedStage stage;
    qint64 clock = 0;
    TraceRecorder recorder(
        &stage, [&clock] { return clock; }, nullptr, 1000);
    for (int i = 0; i < 5000; ++i) {
        clock += 20;
        emit stage.positionReceived(i, PositionSource::Fast);
    }
    QCOMPARE(recorder.samples().size(), 1000);
    QCOMPARE(recorder.samples().at(0).positionUm, 4000.0);
    QCOMPARE(recorder.samples().last().positionUm, 4999.0);

    // Whatever a controller reports, however absurd, is kept, analysed and exported as a
    // number, and the moves table stays bounded too.
    stage.now.connected = true;
    for (int i = 0; i < 12000; ++i) {
        clock += 1;
        emit stage.targetCommanded(i % 2 ? 1e300 : -1e300);
        emit stage.positionReceived(i % 3 ? -1e308 : 1e308, PositionSource::Typed);
    }
    recorder.updateMoves();
    QVERIFY(recorder.moveCount() <= 10000);
    QCOMPARE(recorder.samples().size(), 1000);
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    TraceCsv::writeTrace(&buffer, QByteArray(), recorder.samples(), recorder.events(),
                         recorder.segments());
    TraceCsv::writeMoves(&buffer, QByteArray(), recorder.moves(), recorder.segments());
    QVERIFY(!buffer.data().contains("nan") && !buffer.data().contains("inf"));
}

void TestTrace::recorderStaysBoundedAcrossConnections()
{
    ScriptedStage stage;
    qint64 clock = 0;
    TraceRecorder recorder(
        &stage, [&clock] { return clock; }, nullptr, 1000);
    // Five connections of 400 samples: only the newest 1000 samples stay, and every one of them
    // still knows its connection.
    for (int link = 0; link < 5; ++link) {
        stage.now.connected = true;
        emit stage.panelEvent(PanelEvent{PanelEvent::Kind::Connected, QString()});
        for (int i = 0; i < 400; ++i) {
            clock += 20;
            emit stage.positionReceived(link * 1000 + i, PositionSource::Fast);
        }
        stage.now.connected = false;
        emit stage.panelEvent(PanelEvent{PanelEvent::Kind::Disconnected, QString()});
        clock += 1000;
    }
    QCOMPARE(recorder.samples().size(), 1000);
    QCOMPARE(recorder.samples().at(0).segment, 3);
    QCOMPARE(recorder.samples().at(0).positionUm, 2200.0);
    for (int i = 0; i < recorder.samples().size(); i += 100)
        QVERIFY(recorder.segment(recorder.samples().at(i).segment));

    // A link that comes and goes for hours: the connections kept are bounded too, the oldest
    // goes with what was recorded during it, and every item kept still knows its connection.
    for (int link = 0; link < kTraceSegmentCapacity + 100; ++link) {
        clock += 10;
        emit stage.panelEvent(PanelEvent{PanelEvent::Kind::Connected, QString()});
        clock += 10;
        emit stage.positionReceived(link, PositionSource::Poll);
        emit stage.panelEvent(PanelEvent{PanelEvent::Kind::Disconnected, QString()});
    }
    QCOMPARE(int(recorder.segments().size()), kTraceSegmentCapacity);
    QCOMPARE(recorder.segments().back().number, 5 + kTraceSegmentCapacity + 100);
    QVERIFY(recorder.segment(recorder.samples().at(0).segment));
    QVERIFY(recorder.segment(recorder.events().at(0).segment));
    QCOMPARE(recorder.samples().size(), 1000);
    // Samples, events and connections stay in time order.
    for (int i = 1; i < recorder.samples().size(); ++i)
        QVERIFY(recorder.samples().at(i - 1).timeS <= recorder.samples().at(i).timeS);
}

void TestTrace::recorderAnalysesMoves()
{
    ScriptedStage stage;
    stage.now.connected = true;
    qint64 clock = 0;
    TraceRecorder recorder(&stage, [&clock] { return clock; });
    QSignalSpy changes(&recorder, &TraceRecorder::movesChanged);

    emit stage.positionReceived(0.0, PositionSource::Poll);
    clock = 100;
    emit stage.targetCommanded(100.0);
    QCOMPARE(recorder.moveCount(), 1);
    QCOMPARE(recorder.move(0).status, Result::Status::Moving);
    // 1000 um/s, sampled every 20 ms.
    for (int ms = 120; ms <= 400; ms += 20) {
        clock = ms;
        emit stage.positionReceived(std::min(100.0, (ms - 100) * 1.0), PositionSource::Fast);
    }
    // The table follows on a timer of its own, not at every sample.
    QVERIFY(changes.wait(5000));
    QCOMPARE(recorder.move(0).status, Result::Status::Settled);
    QCOMPARE(recorder.move(0).fromUm, 0.0);
    QVERIFY(std::abs(*recorder.move(0).settlingS - 0.1) < 1e-9);

    // Open loop: steps give no rows.
    stage.now.closedLoop = false;
    emit stage.targetCommanded(90.0);
    QCOMPARE(recorder.moveCount(), 1);
    stage.now.closedLoop = true;

    // A tighter tolerance analyses the rows again.
    clock = 500;
    emit stage.targetCommanded(50.0);
    for (int ms = 520; ms <= 700; ms += 20) {
        clock = ms;
        emit stage.positionReceived(50.3, PositionSource::Fast);
    }
    recorder.updateMoves();
    QCOMPARE(recorder.moveCount(), 2);
    QCOMPARE(recorder.move(1).status, Result::Status::Settled);
    recorder.setToleranceUm(0.2);
    QCOMPARE(recorder.move(1).status, Result::Status::Moving);
    QCOMPARE(recorder.move(0).status, Result::Status::Settled);
    // The link closes: nothing more will come, so the open move is not settled.
    stage.now.connected = false;
    emit stage.panelEvent(PanelEvent{PanelEvent::Kind::Disconnected, QString()});
    QCOMPARE(recorder.move(1).status, Result::Status::NotSettled);
    QCOMPARE(recorder.moves().size(), 2);
}

QTEST_MAIN(TestTrace)
#include "tst_trace.moc"
