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
    enum class Outcome {
        Settled,
        // The step did not settle and the operator went on to the next one.
        Skipped,
        // The run ended while the step was moving, waiting or dwelling.
        Aborted,
    };
    int repeat = 0; // 1-based
    int step = 0;   // 1-based position within its pass
    int row = 0;    // 0-based row of the list it came from
    QString label;
    double targetUm = 0.0;
    // Empty when the step never settled.
    std::optional<double> settledUm;
    double settleS = 0.0;
    qint64 startedMsUtc = 0; // milliseconds since the epoch
    Outcome outcome = Outcome::Settled;
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
// In UTF-16 code units, as the table edits it.
inline constexpr int kMaxLabelLength = 1000;

// The rules a step is held to, the same for a file, the table, a script and the runner. Each
// returns what is wrong, worded for the operator ("the dwell -1 ms is not between 0 and
// 86400000 ms"), or an empty string when the value is allowed. A label may hold no control
// character but the tab and no half of a character, so every list that can be saved can be
// opened again.
QString targetProblem(double um);
// A whole number of milliseconds within the limits.
QString dwellProblem(double ms);
QString labelProblem(const QString &label);
// The first problem of the target, the dwell and the label, in that order.
QString stepProblem(const SequenceStep &step);
QString countProblem(qint64 steps);
QString repeatProblem(qint64 repeats);

// The label a typed or pasted text becomes: line breaks become spaces; control characters (C0
// but the tab, DEL, C1) and halves of broken surrogate pairs are dropped. A cursor position in
// text, if given, moves to the same place.
QString cleanLabel(const QString &text, int *cursor = nullptr);
// cleanLabel, then cut to kMaxLabelLength without splitting a character: labelProblem() finds
// nothing wrong with what it returns.
QString fittedLabel(const QString &text);

// A number as the operator types it: "." or the locale's decimal point, and never a group
// separator, so "0,500" is a half in German and refused in English, never five hundred.
std::optional<double> typedNumber(const QString &text);

// "settled", "skipped" or "aborted": the log's words for how a step ended.
QString outcomeName(SequenceLogEntry::Outcome outcome);

// count positions evenly spaced from fromUm to toUm, both included; with comeBack the way back
// to fromUm follows without visiting toUm twice.
SequenceSteps linearScan(double fromUm, double toUm, int count, int dwellMs, bool comeBack);

// "1 step", "5 steps".
QString counted(qint64 count, const QString &one, const QString &many);
// 0-based rows as the operator numbers them: "3", "3 and 5", "1, 2 and 4"; past ten of them
// "1, 2, …, 10 and 7 more".
QString numbers(const QVector<int> &rows);
// A sentence about rows whose verb agrees with their number: ifOne and ifMany follow the word
// and the numbers, as in "Row 3 lies beyond the travel" and "Steps 3 and 5 lie beyond the travel".
enum class Numbering { Rows, Steps };
QString aboutRows(Numbering numbering, const QVector<int> &rows, const QString &ifOne,
                  const QString &ifMany);

} // namespace Sequence
