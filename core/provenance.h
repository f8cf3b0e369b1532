#pragma once

#include "stage.h"

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

#include <optional>

// Where, when and from what the data of a file came: the block of "#" comment lines that begins
// every file the panel exports, the same in all of them, so that a file can be matched with the
// rest of an experiment's data long after.
struct Provenance {
    // "mirastellon 1.0.0": the program that wrote the file.
    QString program;
    qint64 exportedUtcMs = 0;
    QString port;
    QString stablePort;
    QString model;
    QString firmware;
    QString lineSettings;
    std::optional<int> samplingMs;
    std::optional<double> toleranceUm;
    // The start of the data's connection (a segment of the recording), ms since the epoch, UTC.
    std::optional<qint64> segmentStartUtcMs;
    // Anything a particular file adds, in order.
    QList<QPair<QString, QString>> extra;

    // What the panel state tells, exported now by this program.
    static Provenance of(const PanelState &state);

    // One "# key: value" line per field, in a fixed order; a field the panel does not know is
    // written as "-". Values are kept on their line: a line break in one becomes a blank.
    QByteArray header() const;
};

// "2026-12-07T14:03:22.123Z": ISO 8601 in UTC with milliseconds.
QString isoUtc(qint64 utcMs);
