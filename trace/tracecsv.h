#pragma once

#include "moveanalysis.h"
#include "ringbuffer.h"
#include "tracetypes.h"

#include <QByteArray>
#include <QIODevice>
#include <QString>
#include <QVector>

// The trace and its move table as comma-separated text: a header line, "." as the decimal point
// whatever the locale, and files written whole or not at all.
namespace TraceCsv {

// time_s,position_um,target_um,source,event: one row per sample and per event, in time order
// (an event and a sample at the same time: the event first).
void writeTrace(QIODevice *out, const RingBuffer<TraceSample> &samples,
                const RingBuffer<TraceEvent> &events);
void writeMoves(QIODevice *out, const QVector<MoveAnalysis::Result> &moves);

// Write through a temporary file renamed into place at the end, so a failed write leaves the
// old file (or none) rather than half a new one. On failure error says why.
bool saveTrace(const QString &path, const RingBuffer<TraceSample> &samples,
               const RingBuffer<TraceEvent> &events, QString *error);
bool saveMoves(const QString &path, const QVector<MoveAnalysis::Result> &moves, QString *error);

// A field quoted when it holds a comma, a quote or a line break.
QByteArray field(const QString &text);
QByteArray number(double value, int decimals);

} // namespace TraceCsv
