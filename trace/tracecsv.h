#pragma once

#include "moveanalysis.h"
#include "provenance.h"
#include "ringbuffer.h"
#include "tracetypes.h"

#include <QByteArray>
#include <QIODevice>
#include <QString>
#include <QVector>

#include <deque>

// The trace and its move table as comma-separated text: the provenance block of "#" lines, a
// header line, "." as the decimal point whatever the locale, and files written whole or not at
// all. Times are given twice: seconds since the start of the row's segment (its connection) and
// the UTC time.
namespace TraceCsv {

// Where the recording's data came from: the fields of its newest segment, the number of
// segments, and a line for each when there are several. now is used when nothing is recorded.
Provenance provenance(const PanelState &now, const std::deque<TraceSegment> &segments);

// time_s,time_utc,segment,position_um,target_um,source,event: one row per sample and per event,
// in time order (an event and a sample at the same time: the event first).
void writeTrace(QIODevice *out, const QByteArray &header, const RingBuffer<TraceSample> &samples,
                const RingBuffer<TraceEvent> &events, const std::deque<TraceSegment> &segments);
// start_s,start_utc,segment,from_um,target_um,travel_ms,settling_ms,overshoot_um,final_error_um,
// status: one row per move, its times in the units the trace window's table shows.
void writeMoves(QIODevice *out, const QByteArray &header,
                const QVector<MoveAnalysis::Result> &moves,
                const std::deque<TraceSegment> &segments);

// Write through a temporary file renamed into place at the end, so a failed write leaves the
// old file (or none) rather than half a new one. On failure error says why.
bool saveTrace(const QString &path, const QByteArray &header,
               const RingBuffer<TraceSample> &samples, const RingBuffer<TraceEvent> &events,
               const std::deque<TraceSegment> &segments, QString *error);
bool saveMoves(const QString &path, const QByteArray &header,
               const QVector<MoveAnalysis::Result> &moves, const std::deque<TraceSegment> &segments,
               QString *error);

// A field quoted when it holds a comma, a quote or a line break.
QByteArray field(const QString &text);
QByteArray number(double value, int decimals);

} // namespace TraceCsv
