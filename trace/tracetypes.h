#pragma once

#include "stage.h"

#include <QString>

#include <cmath>
#include <limits>

// One position reply as the trace keeps it. Times are seconds since the connection opened.
struct TraceSample {
    double timeS = 0.0;
    double positionUm = 0.0;
    // The target in force when the sample arrived; NaN before the first move.
    double targetUm = std::numeric_limits<double>::quiet_NaN();
    PositionSource source = PositionSource::Poll;

    bool hasTarget() const { return !std::isnan(targetUm); }
};

struct TraceEvent {
    double timeS = 0.0;
    PanelEvent::Kind kind = PanelEvent::Kind::Note;
    QString text;

    // "identified 1901 3.12": the event's name and its detail, as the plot and the file show it.
    QString label() const;
};

struct TargetChange {
    double timeS = 0.0;
    double targetUm = 0.0;
};

// Two hours at the fastest sampling interval, 20 ms.
inline constexpr int kTraceCapacity = 360000;
inline constexpr int kTraceEventCapacity = 20000;
