#pragma once

#include "clock.h"
#include "moveanalysis.h"
#include "ringbuffer.h"
#include "tracetypes.h"

#include <QObject>
#include <QPointer>
#include <QVector>

#include <functional>
#include <vector>

class QTimer;

// Records what the panel announces (positions, targets, events) for the current connection and
// keeps the move table up to date. No widgets: the trace window draws what this holds.
class TraceRecorder : public QObject {
    Q_OBJECT

public:
    // clock gives milliseconds on a steady scale; tests pass one they can step.
    explicit TraceRecorder(Stage *stage, Clock::Source clock = {}, QObject *parent = nullptr,
                           int capacity = kTraceCapacity);

    const RingBuffer<TraceSample> &samples() const { return sampleBuffer; }
    const RingBuffer<TraceEvent> &events() const { return eventBuffer; }
    QVector<MoveAnalysis::Result> moves() const;
    int moveCount() const { return int(results.size()); }
    const MoveAnalysis::Result &move(int row) const { return results[size_t(row)]; }
    // Every commanded target with the time it was given, for the step line.
    const RingBuffer<TargetChange> &targets() const { return targetBuffer; }
    // Seconds since the connection opened (or since recording began on a link already open).
    double nowS() const;
    double toleranceUm() const { return tolerance; }
    void setToleranceUm(double toleranceUm);
    // The travel the offset reply gave, for the limit lines.
    double travelMinUm() const { return travelMin; }
    double travelMaxUm() const { return travelMax; }

    // Brings the move table up to the samples received so far; runs on its own soon after each
    // sample, callers only need it to see the newest state at once.
    void updateMoves();

    // The samples of [fromS, toS]: the first index at or after fromS and the one past toS.
    std::pair<int, int> indexRange(double fromS, double toS) const;

signals:
    // A sample or an event was recorded, or the recording started over.
    void recorded();
    void cleared();
    // Rows from firstRow on are new or changed; the row count may have grown.
    void movesChanged(int firstRow);

private:
    void onPosition(double positionUm, PositionSource source);
    void onTarget(double targetUm);
    void onEvent(const PanelEvent &event);
    void onStateChanged();
    void restart();
    double elapsedS() const;
    void scheduleMoves();
    // Copies the samples a move may use out of the ring.
    QVector<TraceSample> samplesFor(double fromS, double toS) const;

    QPointer<Stage> stage;
    Clock::Source clock;
    qint64 originMs = 0;
    RingBuffer<TraceSample> sampleBuffer;
    RingBuffer<TraceEvent> eventBuffer;
    RingBuffer<TargetChange> targetBuffer;
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
};
