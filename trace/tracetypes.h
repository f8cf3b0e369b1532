#pragma once

#include "stage.h"

#include <QString>

#include <cmath>
#include <limits>

// Times in the trace are seconds on the recording's own clock: 0 is the start of its first
// segment (the first connection since the panel started or the recording was cleared).

// One position reply as the trace keeps it.
struct TraceSample {
    double timeS = 0.0;
    double positionUm = 0.0;
    // The target in force when the sample arrived; NaN before the connection's first move.
    double targetUm = std::numeric_limits<double>::quiet_NaN();
    PositionSource source = PositionSource::Poll;
    // The number of the segment (connection) it belongs to.
    int segment = 0;

    bool hasTarget() const { return !std::isnan(targetUm); }
};

struct TraceEvent {
    double timeS = 0.0;
    PanelEvent::Kind kind = PanelEvent::Kind::Note;
    QString text;
    int segment = 0;

    // "identified 1901 3.12": the event's name and its detail, as the plot and the file show it.
    QString label() const;
};

struct TargetChange {
    double timeS = 0.0;
    double targetUm = 0.0;
    int segment = 0;
};

// One connection's part of the recording: what its files say of where the data came from, and
// where it lies on the recording's clock.
struct TraceSegment {
    // 1 for the first segment of the recording, counting on across reconnects.
    int number = 0;
    double startS = 0.0;
    // When its link closed; NaN while it is open.
    double endS = std::numeric_limits<double>::quiet_NaN();
    // When the link opened, ms since the epoch, UTC.
    qint64 startUtcMs = 0;
    // The port, its stable name, line settings, model and firmware, as the panel knew them
    // while the link was open.
    PanelState link;

    bool isOpen() const { return std::isnan(endS); }
    // A time on the recording's clock as ms since the epoch, UTC.
    qint64 utcMsAt(double timeS) const
    {
        return startUtcMs + qint64(std::llround((timeS - startS) * 1000.0));
    }
};

// Two hours at the fastest sampling interval, 20 ms.
inline constexpr int kTraceCapacity = 360000;
inline constexpr int kTraceEventCapacity = 20000;
// Connections kept: a link that comes and goes every second for over an hour. Beyond that the
// oldest connection is forgotten with everything recorded during it.
inline constexpr int kTraceSegmentCapacity = 5000;
