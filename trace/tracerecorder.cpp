#include "tracerecorder.h"

#include "settling.h"

#include <QMetaMethod>
#include <QTimer>

namespace {
// The move table follows the samples a few times a second, not at every sample.
constexpr int kMovesRefreshMs = 200;
// The oldest moves go first once the table holds this many.
constexpr int kMaxMoves = 10000;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
} // namespace

QString TraceEvent::label() const
{
    const QString name = panelEventName(kind);
    return text.isEmpty() ? name : name + QLatin1Char(' ') + text;
}

TraceRecorder::TraceRecorder(Stage *stage, Clock::Source clockMs, QObject *parent, int capacity)
    : QObject(parent), stageSource(stage), clock(Clock::orSteady(std::move(clockMs))),
      utcClock(Clock::utcMs), sampleBuffer(capacity), eventBuffer(kTraceEventCapacity),
      targetBuffer(kTraceEventCapacity), tolerance(Settling::kDefaultToleranceUm),
      movesTimer(new QTimer(this))
{
    const PanelState state = stage->state();
    travelMin = state.travelMinUm;
    travelMax = state.travelMaxUm;

    movesTimer->setSingleShot(true);
    movesTimer->setInterval(kMovesRefreshMs);
    connect(movesTimer, &QTimer::timeout, this, &TraceRecorder::updateMoves);
    // Every line of a flood comes here: by a direct call where the stage has one, and then the
    // window hears of the read's samples once, when the read is handled.
    directPositions = stage->addPositionSink(this);
    if (directPositions)
        connect(stage, &Stage::positionsArrived, this, [this] {
            if (samplesUnannounced && isRecordedHeard())
                emit recorded();
            samplesUnannounced = false;
        });
    else
        connect(stage, &Stage::positionReceived, this, &TraceRecorder::takePosition);
    connect(stage, &Stage::targetCommanded, this, &TraceRecorder::onTarget);
    connect(stage, &Stage::panelEvent, this, &TraceRecorder::onEvent);
    connect(stage, &Stage::stateChanged, this, &TraceRecorder::onStateChanged);
}

TraceRecorder::~TraceRecorder()
{
    if (stageSource)
        stageSource->removePositionSink(this);
}

void TraceRecorder::setUtcClock(Clock::Source utcMs)
{
    utcClock = utcMs ? std::move(utcMs) : Clock::Source(Clock::utcMs);
}

double TraceRecorder::stampS()
{
    const qint64 nowMs = clock();
    if (!originMs)
        originMs = nowMs;
    // Time order is kept even if the clock were to step back.
    lastStampS = std::max(lastStampS, double(nowMs - *originMs) / 1000.0);
    return lastStampS;
}

double TraceRecorder::nowS() const
{
    return originMs ? std::max(lastStampS, double(clock() - *originMs) / 1000.0) : 0.0;
}

const TraceSegment *TraceRecorder::segment(int number) const
{
    if (segmentList.empty())
        return nullptr;
    // Numbers count up by one from segment to segment.
    const qint64 index = qint64(number) - segmentList.front().number;
    if (index < 0 || index >= qint64(segmentList.size()))
        return nullptr;
    return &segmentList[size_t(index)];
}

const TraceSegment *TraceRecorder::segmentAt(double timeS) const
{
    const auto after =
        std::upper_bound(segmentList.cbegin(), segmentList.cend(), timeS,
                         [](double t, const TraceSegment &segment) { return t < segment.startS; });
    if (after == segmentList.cbegin())
        return nullptr;
    const TraceSegment &candidate = *(after - 1);
    return candidate.isOpen() || timeS <= candidate.endS ? &candidate : nullptr;
}

qint64 TraceRecorder::utcMsAt(double timeS) const
{
    if (segmentList.empty())
        return utcClock() - qint64(std::llround((nowS() - timeS) * 1000.0));
    const auto after =
        std::upper_bound(segmentList.cbegin(), segmentList.cend(), timeS,
                         [](double t, const TraceSegment &segment) { return t < segment.startS; });
    return (after == segmentList.cbegin() ? *after : *(after - 1)).utcMsAt(timeS);
}

void TraceRecorder::beginSegment(double timeS, qint64 startUtcMs)
{
    endSegment(timeS);
    TraceSegment s;
    s.number = ++lastSegmentNumber;
    s.startS = timeS;
    s.startUtcMs = startUtcMs;
    if (stageSource)
        s.link = stageSource->state();
    segmentList.push_back(s);
    // Nothing of the connection before carries over: not its target, not where it stood.
    currentTarget = kNaN;
    lastPosition = kNaN;
    pruneSegments();
}

void TraceRecorder::endSegment(double timeS)
{
    if (!segmentList.empty() && segmentList.back().isOpen())
        segmentList.back().endS = timeS;
}

int TraceRecorder::openSegmentNumber(double timeS)
{
    if (segmentList.empty() || !segmentList.back().isOpen())
        beginSegment(timeS, utcClock());
    return segmentList.back().number;
}

void TraceRecorder::dropOldestSegment()
{
    const int number = segmentList.front().number;
    const auto dropBefore = [number](auto &ring) {
        int n = 0;
        while (n < ring.size() && ring.at(n).segment <= number)
            ++n;
        ring.dropFront(n);
    };
    dropBefore(sampleBuffer);
    dropBefore(eventBuffer);
    dropBefore(targetBuffer);
    int moves = 0;
    while (moves < commands.size() && commands.at(moves).segment <= number)
        ++moves;
    if (moves > 0) {
        commands.remove(0, moves);
        results.erase(results.begin(), results.begin() + std::min<size_t>(moves, results.size()));
        firstOpenMove = std::max(0, firstOpenMove - moves);
        emit movesChanged(0);
    }
    segmentList.pop_front();
}

void TraceRecorder::pruneSegments()
{
    while (int(segmentList.size()) > kTraceSegmentCapacity)
        dropOldestSegment();
    // A segment goes once the next one starts before everything the rings still hold.
    double oldest = segmentList.empty() ? 0.0 : segmentList.back().startS;
    if (!sampleBuffer.isEmpty())
        oldest = std::min(oldest, sampleBuffer.at(0).timeS);
    if (!eventBuffer.isEmpty())
        oldest = std::min(oldest, eventBuffer.at(0).timeS);
    if (!targetBuffer.isEmpty())
        oldest = std::min(oldest, targetBuffer.at(0).timeS);
    while (segmentList.size() > 1 && segmentList[1].startS <= oldest &&
           !segmentList.front().isOpen() && segmentList.front().endS < oldest)
        segmentList.pop_front();
}

void TraceRecorder::clear()
{
    sampleBuffer.clear();
    eventBuffer.clear();
    targetBuffer.clear();
    segmentList.clear();
    lastSegmentNumber = 0;
    commands.clear();
    results.clear();
    firstOpenMove = 0;
    originMs.reset();
    lastStampS = 0.0;
    lastPosition = kNaN;
    currentTarget = kNaN;
    const PanelState state = stageSource ? stageSource->state() : PanelState();
    if (state.connected) {
        // The open link's segment goes on, timed from when the link opened, as its files say.
        const qint64 nowUtcMs = utcClock();
        const qint64 openedUtcMs = state.connectedUtcMs > 0 ? state.connectedUtcMs : nowUtcMs;
        originMs = clock() - std::max<qint64>(0, nowUtcMs - openedUtcMs);
        beginSegment(0.0, openedUtcMs);
        if (state.targetUm)
            currentTarget = *state.targetUm;
    }
    emit cleared();
    emit movesChanged(0);
}

void TraceRecorder::takePosition(double positionUm, PositionSource source)
{
    const double t = stampS();
    const int segment = segmentList.empty() || !segmentList.back().isOpen()
                            ? openSegmentNumber(t)
                            : segmentList.back().number;
    sampleBuffer.append(TraceSample{t, positionUm, currentTarget, source, segment});
    lastPosition = positionUm;
    if (firstOpenMove < commands.size())
        scheduleMoves();
    // Even a signal nobody hears costs a call per sample; the window is mostly not there.
    if (directPositions)
        samplesUnannounced = true;
    else if (isRecordedHeard())
        emit recorded();
}

void TraceRecorder::connectNotify(const QMetaMethod &signal)
{
    if (signal == QMetaMethod::fromSignal(&TraceRecorder::recorded))
        recordedHeard = true;
}

void TraceRecorder::disconnectNotify(const QMetaMethod &signal)
{
    // Qt may hold its connection lock here (a listener being destroyed), so nothing may ask it
    // anything: the listeners are counted again with the next sample.
    if (!signal.isValid() || signal == QMetaMethod::fromSignal(&TraceRecorder::recorded))
        recordedRecount = true;
}

bool TraceRecorder::isRecordedHeard()
{
    if (recordedRecount) {
        recordedRecount = false;
        recordedHeard = isSignalConnected(QMetaMethod::fromSignal(&TraceRecorder::recorded));
    }
    return recordedHeard;
}

void TraceRecorder::onTarget(double targetUm)
{
    const double t = stampS();
    const int segment = openSegmentNumber(t);
    currentTarget = targetUm;
    targetBuffer.append(TargetChange{t, targetUm, segment});
    // Only closed-loop moves are analysed; open-loop steps command no target.
    if (stageSource && !stageSource->state().closedLoop) {
        emit recorded();
        return;
    }
    if (commands.size() >= kMaxMoves) {
        commands.removeFirst();
        results.erase(results.begin());
        firstOpenMove = std::max(0, firstOpenMove - 1);
        emit movesChanged(0);
    }
    commands.append(MoveAnalysis::Move{t, targetUm, lastPosition, segment});
    updateMoves();
    emit recorded();
}

void TraceRecorder::onEvent(const PanelEvent &event)
{
    // A move is on the target line already.
    if (event.kind == PanelEvent::Kind::Move)
        return;
    if (event.kind == PanelEvent::Kind::Connected) {
        // Both clocks read together: a sample's UTC time is the segment's plus its steady time
        // since, accurate to the reading.
        const double t = stampS();
        beginSegment(t, utcClock());
        eventBuffer.append(TraceEvent{t, event.kind, event.text, segmentList.back().number});
        emit recorded();
        return;
    }
    // Nothing is recorded before the first connection; what happens between two connections
    // belongs to the one before.
    if (segmentList.empty())
        return;
    const double t = stampS();
    eventBuffer.append(TraceEvent{t, event.kind, event.text, segmentList.back().number});
    if (event.kind == PanelEvent::Kind::Disconnected) {
        endSegment(t);
        updateMoves();
    }
    emit recorded();
}

void TraceRecorder::onStateChanged()
{
    if (!stageSource)
        return;
    const PanelState state = stageSource->state();
    // What the files say of the open connection follows what the panel learns of it.
    if (state.connected && !segmentList.empty() && segmentList.back().isOpen())
        segmentList.back().link = state;
    if (state.travelMinUm != travelMin || state.travelMaxUm != travelMax) {
        travelMin = state.travelMinUm;
        travelMax = state.travelMaxUm;
        emit recorded();
    }
}

QVector<MoveAnalysis::Result> TraceRecorder::moves() const
{
    return QVector<MoveAnalysis::Result>(results.cbegin(), results.cend());
}

void TraceRecorder::setToleranceUm(double toleranceUm)
{
    if (!(toleranceUm >= 0.0) || toleranceUm == tolerance)
        return;
    tolerance = toleranceUm;
    // Every row depends on the band: analyse them all again from the samples still kept.
    firstOpenMove = 0;
    results.clear();
    updateMoves();
}

std::pair<int, int> TraceRecorder::indexRange(double fromS, double toS) const
{
    const auto before = [](const TraceSample &s, double t) { return s.timeS < t; };
    const auto notAfter = [](const TraceSample &s, double t) { return s.timeS <= t; };
    return {sampleBuffer.lowerBound(fromS, before), sampleBuffer.lowerBound(toS, notAfter)};
}

int TraceRecorder::nearestSample(double timeS) const
{
    const TraceSegment *segment = segmentAt(timeS);
    if (!segment || sampleBuffer.isEmpty())
        return -1;
    const int after = indexRange(timeS, timeS).first;
    int best = -1;
    for (const int i : {after - 1, after}) {
        if (i < 0 || i >= sampleBuffer.size() || sampleBuffer.at(i).segment != segment->number)
            continue;
        if (best < 0 || std::abs(sampleBuffer.at(i).timeS - timeS) <
                            std::abs(sampleBuffer.at(best).timeS - timeS))
            best = i;
    }
    return best;
}

QVector<TraceSample> TraceRecorder::samplesFor(double fromS, double toS, int segment) const
{
    // One sample before the window tells where the move started from, if the same connection
    // took it.
    auto [first, last] = indexRange(fromS, toS);
    first = std::max(0, first - 1);
    QVector<TraceSample> out;
    out.reserve(last - first);
    for (int i = first; i < last; ++i) {
        if (sampleBuffer.at(i).segment == segment)
            out.append(sampleBuffer.at(i));
    }
    return out;
}

void TraceRecorder::scheduleMoves()
{
    if (!movesTimer->isActive())
        movesTimer->start();
}

void TraceRecorder::updateMoves()
{
    movesTimer->stop();
    const double now = nowS();
    const int firstChanged = std::min<int>(firstOpenMove, int(results.size()));
    results.resize(size_t(commands.size()));
    for (int i = firstOpenMove; i < commands.size(); ++i) {
        const MoveAnalysis::Move &move = commands.at(i);
        // A move ends at the next move's command or with its connection, whichever is first.
        const bool next = i + 1 < commands.size() && commands.at(i + 1).segment == move.segment;
        const TraceSegment *own = segment(move.segment);
        double end = now;
        bool closed = true;
        if (next)
            end = commands.at(i + 1).startS;
        else if (own && !own->isOpen())
            end = own->endS;
        else if (own)
            closed = stageSource && !stageSource->state().connected;
        const double windowEnd = std::min(end, move.startS + MoveAnalysis::kGiveUpS);
        results[size_t(i)] = MoveAnalysis::analyse(
            move, samplesFor(move.startS, windowEnd, move.segment), end, closed, tolerance);
        // Once its window is over a row never changes again.
        if (i == firstOpenMove && (closed || now >= move.startS + MoveAnalysis::kGiveUpS))
            ++firstOpenMove;
    }
    if (firstOpenMove < commands.size())
        scheduleMoves();
    emit movesChanged(firstChanged);
}
