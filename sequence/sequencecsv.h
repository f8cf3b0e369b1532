#pragma once

#include "sequencestep.h"

#include <QByteArray>
#include <QString>

// Sequences and run logs as CSV text: UTF-8, "," between fields, "." as decimal point whatever
// the locale, one step per line after a header. A label holding a comma or a quote is quoted.
namespace SequenceCsv {

inline constexpr const char *kHeader = "label,target_um,dwell_ms";
inline constexpr const char *kLogHeader =
    "repeat,step,row,label,target_um,settled_um,settle_s,started_utc,outcome";
// A sequence file larger than this cannot hold a valid list; it is refused unread.
inline constexpr qint64 kMaxFileBytes = 16 * 1024 * 1024;
inline constexpr int kMaxLineBytes = 4096;

struct ParseResult {
    SequenceSteps steps;
    // Empty when every line was good; otherwise the first bad line, named.
    QString error;
    // 1-based line of the file the error is about, 0 for none.
    int line = 0;
    bool ok() const { return error.isEmpty(); }
};

// Reads a whole file's text; on any bad line the steps are empty.
ParseResult parse(const QByteArray &text);
QByteArray format(const SequenceSteps &steps);
// The log after the provenance block (the "#" lines that say where the data came from).
QByteArray formatLog(const SequenceLog &log, const QByteArray &provenance = QByteArray());

// Files: read whole and checked before anything is handed back; written whole or not at all, so
// a failed write (a full disk included) leaves the old file as it was. Each returns an empty
// string on success, else the message for the operator.
ParseResult readFile(const QString &path);
QString writeFile(const QString &path, const SequenceSteps &steps);
QString writeLog(const QString &path, const SequenceLog &log,
                 const QByteArray &provenance = QByteArray());

} // namespace SequenceCsv
