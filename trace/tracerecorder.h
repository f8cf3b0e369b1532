#pragma once

#include "clock.h"
#include "moveanalysis.h"
#include "ringbuffer.h"
#include "tracetypes.h"

#include <QObject>
#include <QPointer>
#include <QVector>

#include <deque>
#include <vector>

class QTimer;

// Records what the panel announces (positions, targets, events) from the first Connect on, for
// as long as the panel runs, whether or not anyone looks: each connection is a segment of the
// one recording, and the oldest samples give way once the ring is full. It keeps the move table
// up to date. It sends nothing and asks for no faster sampling. No widgets: the trace window
// draws what this holds.
class TraceRecorder : public QObject, public PositionSink {
    Q_OBJECT

public:
    // clock gives milliseconds on a steady scale; tests pass one they can step.
    explicit TraceRecorder(Stage *stage, Clock::Source clock = {}, QObject *parent = nullptr,
                           int capacity = kTraceCapacity);
    ~TraceRecorder() override;

    // One position, as the stage hands it over: recorded with the time it came.
    void takePosition(double positionUm, PositionSource source) override;

    // Where the UTC times of a connection come from (ms since the epoch); tests set one.
    void setUtcClock(Clock::Source utcMs);

    Stage *stage() const { return stageSource; }
    const RingBuffer<TraceSample> &samples() const { return sampleBuffer; }
    const RingBuffer<TraceEvent> &events() const { return eventBuffer; }
    // Every commanded target with the time it was given, for the step line.
    const RingBuffer<TargetChange> &targets() const { return targetBuffer; }
    // The segments of which something is still kept, oldest first.
    const std::deque<TraceSegment> &segments() const { return segmentList; }
    // The segment numbered number, or null when it is no longer kept.
    const TraceSegment *segment(int number) const;
    // The segment whose span holds timeS, or null for a time between two connections.
    const TraceSegment *segmentAt(double timeS) const;
    // A time on the recording's clock as ms since the epoch, UTC, by the segment that started
    // last before it (the first segment for a time before any; the clock now without any).
    qint64 utcMsAt(double timeS) const;

    QVector<MoveAnalysis::Result> moves() const;
    int moveCount() const { return int(results.size()); }
    const MoveAnalysis::Result &move(int row) const { return results[size_t(row)]; }

    // Seconds on the recording's clock.
    double nowS() const;
    double toleranceUm() const { return tolerance; }
    void setToleranceUm(double toleranceUm);
    // The travel the offset reply gave, for the limit lines.
    double travelMinUm() const { return travelMin; }
    double travelMaxUm() const { return travelMax; }

    // Forgets everything recorded. While a link is open, its segment goes on from here, still
    // timed from the moment the link opened.
    void clear();

    // Brings the move table up to the samples received so far; runs on its own soon after each
    // sample, callers only need it to see the newest state at once.
    void updateMoves();

    // The samples of [fromS, toS]: the first index at or after fromS and the one past toS.
    std::pair<int, int> indexRange(double fromS, double toS) const;
    // The sample nearest in time to timeS of the connection that was open at timeS; -1 when
    // timeS lies between connections or that connection has no sample.
    int nearestSample(double timeS) const;

signals:
    // A sample or an event was recorded.
    void recorded();
    // The recording was cleared.
    void cleared();
    // Rows from firstRow on are new or changed; the row count may have grown.
    void movesChanged(int firstRow);

protected:
    // Whether anyone hears recorded(): with no window a sample emits nothing.
    void connectNotify(const QMetaMethod &signal) override;
    void disconnectNotify(const QMetaMethod &signal) override;

private:
    // Whether recorded() has listeners, counted again after a disconnection.
    bool isRecordedHeard();
    void onTarget(double targetUm);
    void onEvent(const PanelEvent &event);
    void onStateChanged();
    // The one place that reads the clock for what is recorded.
    double stampS();
    // The segment a new item belongs to: the open one, else one opened for a link that was open
    // before recording began.
    int openSegmentNumber(double timeS);
    void beginSegment(double timeS, qint64 startUtcMs);
    void endSegment(double timeS);
    // Forgets segments none of whose items is kept any more, and the oldest segment with all
    // its items while there are more than the recording keeps.
    void pruneSegments();
    void dropOldestSegment();
    void scheduleMoves();
    // Copies the samples of segment a move may use out of the ring.
    QVector<TraceSample> samplesFor(double fromS, double toS, int segment) const;

    QPointer<Stage> stageSource;
    Clock::Source clock;
    Clock::Source utcClock;
    // The clock's reading at 0 s of the recording; none before its first segment.
    std::optional<qint64> originMs;
    double lastStampS = 0.0;
    RingBuffer<TraceSample> sampleBuffer;
    RingBuffer<TraceEvent> eventBuffer;
    RingBuffer<TargetChange> targetBuffer;
    std::deque<TraceSegment> segmentList;
    int lastSegmentNumber = 0;
    double currentTarget = std::numeric_limits<double>::quiet_NaN();
    double lastPosition = std::numeric_limits<double>::quiet_NaN();
    double tolerance;
    double travelMin;
    double travelMax;
    QVector<MoveAnalysis::Move> commands;
    std::vector<MoveAnalysis::Result> results;
    // Moves before this one are final: their next move has started or they gave up.
    int firstOpenMove = 0;
    QTimer *movesTimer = nullptr;
    bool recordedHeard = false;
    bool recordedRecount = false;
    // Positions come by a direct call (Stage::addPositionSink); those of a read not yet announced.
    bool directPositions = false;
    bool samplesUnannounced = false;
};
