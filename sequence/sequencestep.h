#pragma once

#include <QMetaType>
#include <QString>
#include <QVector>

#include <optional>

// One row of a sequence: where to go and how long to stay once there.
struct SequenceStep {
    QString label;
    double targetUm = 0.0;
    int dwellMs = 0;

    bool operator==(const SequenceStep &o) const
    {
        return label == o.label && targetUm == o.targetUm && dwellMs == o.dwellMs;
    }
    bool operator!=(const SequenceStep &o) const { return !(*this == o); }
};

using SequenceSteps = QVector<SequenceStep>;

// What one visited step of a run left behind.
struct SequenceLogEntry {
    int repeat = 0; // 1-based
    int step = 0;   // 1-based position within its pass
    int row = 0;    // 0-based row of the list it came from
    QString label;
    double targetUm = 0.0;
    // Empty when the operator skipped a step that did not settle.
    std::optional<double> settledUm;
    double settleS = 0.0;
    qint64 startedMsUtc = 0; // milliseconds since the epoch
};

using SequenceLog = QVector<SequenceLogEntry>;
Q_DECLARE_METATYPE(SequenceLogEntry)
Q_DECLARE_METATYPE(SequenceLog)

namespace Sequence {

// Limits a list of steps is held to, wherever it comes from.
inline constexpr double kMaxAbsTargetUm = 1e6;
inline constexpr int kMaxRows = 100000;
inline constexpr int kMaxDwellMs = 24 * 3600 * 1000;
inline constexpr int kMaxRepeats = 10000;
// In characters (UTF-16 code units) as the table edits it; a file may hold longer ones.
inline constexpr int kMaxLabelLength = 1000;

// The label a typed or pasted text becomes: line breaks become spaces; control characters (C0
// but the tab, DEL, C1) and halves of broken surrogate pairs are dropped. A sequence file cannot
// hold them (a reader refuses the file, or gets other text back), so every list that can be
// saved can be opened again. A cursor position in text, if given, moves to the same place.
QString cleanLabel(const QString &text, int *cursor = nullptr);

// A number as the operator types it: "." or the locale's decimal point, and never a group
// separator, so "0,500" is a half in German and refused in English, never five hundred.
std::optional<double> typedNumber(const QString &text);

// count positions evenly spaced from fromUm to toUm, both included; with comeBack the way back
// to fromUm follows without visiting toUm twice.
SequenceSteps linearScan(double fromUm, double toUm, int count, int dwellMs, bool comeBack);

} // namespace Sequence
