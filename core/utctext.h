#pragma once

#include <QByteArray>
#include <QtGlobal>

// "2026-12-07T14:03:22.123Z", the text isoUtc() gives, appended to out without a QDateTime: for
// files that stamp every row or line, where that would cost more than the rest of the row.
// Years 0 to 9999.
void appendUtcText(QByteArray &out, qint64 utcMs);
