#pragma once

#include "provenance.h"
#include "stage.h"

#include <QByteArray>

// The session log's lines: one JSON object per line, each with its UTC time, so that any JSON
// reader takes the log a line at a time. Bytes of the serial line are kept exactly: a byte
// beyond ASCII is written as the character of the same number ("\u00b5" for 0xB5), so
// Python's text.encode("latin-1") gives the bytes back.
namespace LogLine {

// {"time_utc":"…","kind":"sent","text":">ma 10000"}
void appendSent(QByteArray &out, qint64 utcMs, const QByteArray &bytes);
// {"time_utc":"…","kind":"received","text":"_cp 12.500 um\r"}
void appendReceived(QByteArray &out, qint64 utcMs, const QByteArray &line);
// {"time_utc":"…","kind":"event","event":"homed","text":"","source":"panel"}
void appendEvent(QByteArray &out, qint64 utcMs, const PanelEvent &event);
// {"time_utc":"…","kind":"log","text":"started","program":…}: where the log's data comes from,
// first in every file, with what happened to the log ("started", "continued" after a rotation).
void appendLogStart(QByteArray &out, qint64 utcMs, const QString &what, const Provenance &p);

// The JSON string of bytes as this log keeps them, quotes included.
void appendBytesString(QByteArray &out, const QByteArray &bytes);
// The JSON string of a text (UTF-8), quotes included.
void appendTextString(QByteArray &out, const QString &text);

} // namespace LogLine
