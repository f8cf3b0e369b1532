#include "tracerecorder.h"

#include "settling.h"

#include <QTimer>

namespace {
// The move table follows the samples a few times a second, not at every sample.
constexpr int kMovesRefreshMs = 200;
// The oldest moves go first once the table holds this many.
constexpr int kMaxMoves = 10000;
} // namespace

QString TraceEvent::label() const
{
    const QString name = panelEventName(kind);
    return text.isEmpty() ? name : name + QLatin1Char(' ') + text;
}

TraceRecorder::TraceRecorder(Stage *stage, Clock::Source clockMs, QObject *parent, int capacity)
    : QObject(parent), stage(stage), clock(Clock::orSteady(std::move(clockMs))),
      sampleBuffer(capacity), eventBuffer(kTraceEventCapacity), targetBuffer(kTraceEventCapacity),
      tolerance(Settling::kDefaultToleranceUm), movesTimer(new QTimer(this))
{
    originMs = clock();
    const PanelState state = stage->state();
    travelMin = state.travelMinUm;
    travelMax = state.travelMaxUm;
    if (state.targetUm)
        currentTarget = *state.targetUm;

    movesTimer->setSingleShot(true);
    movesTimer->setInterval(kMovesRefreshMs);
    connect(movesTimer, &QTimer::timeout, this, &TraceRecorder::updateMoves);
    connect(stage, &Stage::positionReceived, this, &TraceRecorder::onPosition);
    connect(stage, &Stage::targetCommanded, this, &TraceRecorder::onTarget);
    connect(stage, &Stage::panelEvent, this, &TraceRecorder::onEvent);
    connect(stage, &Stage::stateChanged, this, &TraceRecorder::onStateChanged);
}

double TraceRecorder::elapsedS() const
{
    return double(clock() - originMs) / 1000.0;
}

double TraceRecorder::nowS() const
{
    return elapsedS();
}

void TraceRecorder::restart()
{
    originMs = clock();
    sampleBuffer.clear();
    eventBuffer.clear();
    targetBuffer.clear();
    commands.clear();
    results.clear();
    firstOpenMove = 0;
    lastPosition = std::numeric_limits<double>::quiet_NaN();
    currentTarget = std::numeric_limits<double>::quiet_NaN();
    emit cleared();
    emit movesChanged(0);
}

void TraceRecorder::onPosition(double positionUm, PositionSource source)
{
    double t = elapsedS();
    // Keep time order even if the clock were to step back.
    if (!sampleBuffer.isEmpty())
        t = std::max(t, sampleBuffer.last().timeS);
    sampleBuffer.append(TraceSample{t, positionUm, currentTarget, source});
    lastPosition = positionUm;
    if (firstOpenMove < commands.size())
        scheduleMoves();
    emit recorded();
}

void TraceRecorder::onTarget(double targetUm)
{
    currentTarget = targetUm;
    targetBuffer.append(TargetChange{elapsedS(), targetUm});
    // Only closed-loop moves are analysed; open-loop steps command no target.
    if (stage && !stage->state().closedLoop) {
        emit recorded();
        return;
    }
    if (commands.size() >= kMaxMoves) {
        commands.removeFirst();
        results.erase(results.begin());
        firstOpenMove = std::max(0, firstOpenMove - 1);
        emit movesChanged(0);
    }
    commands.append(MoveAnalysis::Move{elapsedS(), targetUm, lastPosition});
    updateMoves();
    emit recorded();
}

void TraceRecorder::onEvent(const PanelEvent &event)
{
    // A move is on the target line already.
    if (event.kind == PanelEvent::Kind::Move)
        return;
    if (event.kind == PanelEvent::Kind::Connected)
        restart();
    eventBuffer.append(TraceEvent{elapsedS(), event.kind, event.text});
    if (event.kind == PanelEvent::Kind::Disconnected)
        updateMoves();
    emit recorded();
}

void TraceRecorder::onStateChanged()
{
    if (!stage)
        return;
    const PanelState state = stage->state();
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

QVector<TraceSample> TraceRecorder::samplesFor(double fromS, double toS) const
{
    // One sample before the window tells where the move started from.
    auto [first, last] = indexRange(fromS, toS);
    first = std::max(0, first - 1);
    QVector<TraceSample> out;
    out.reserve(last - first);
    for (int i = first; i < last; ++i)
        out.append(sampleBuffer.at(i));
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
    const double now = elapsedS();
    const bool linkOpen = stage && stage->state().connected;
    const int firstChanged = std::min<int>(firstOpenMove, int(results.size()));
    results.resize(size_t(commands.size()));
    for (int i = firstOpenMove; i < commands.size(); ++i) {
        const bool next = i + 1 < commands.size();
        const double end = next ? commands.at(i + 1).startS : now;
        const MoveAnalysis::Move &move = commands.at(i);
        const bool closed = next || !linkOpen;
        const double windowEnd = std::min(end, move.startS + MoveAnalysis::kGiveUpS);
        results[size_t(i)] =
            MoveAnalysis::analyse(move, samplesFor(move.startS, windowEnd), end, closed, tolerance);
        // Once its window is over a row never changes again.
        if (i == firstOpenMove && (closed || now >= move.startS + MoveAnalysis::kGiveUpS))
            ++firstOpenMove;
    }
    if (firstOpenMove < commands.size())
        scheduleMoves();
    emit movesChanged(firstChanged);
}
