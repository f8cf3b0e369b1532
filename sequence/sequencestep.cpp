#include "sequencestep.h"

#include <QCoreApplication>
#include <QLocale>
#include <QStringList>

#include <cmath>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("Sequence", text);
}

// Every digit the value has: a target shown in a refusal is the one that was given.
QString shortest(double value)
{
    return QString::number(value, 'g', QLocale::FloatingPointShortest);
}

} // namespace

namespace Sequence {

QString targetProblem(double um)
{
    if (!std::isfinite(um))
        return tr("the target \"%1\" is not a finite number").arg(shortest(um));
    if (std::abs(um) > kMaxAbsTargetUm)
        return tr("the target %1 \u00b5m lies beyond \u00b1%2 \u00b5m")
            .arg(shortest(um))
            .arg(kMaxAbsTargetUm, 0, 'g', 6);
    return QString();
}

QString dwellProblem(double ms)
{
    if (!std::isfinite(ms) || ms != std::floor(ms))
        return tr("the dwell %1 ms is not a whole number of milliseconds").arg(shortest(ms));
    if (ms < 0 || ms > kMaxDwellMs)
        return tr("the dwell %1 ms is not between 0 and %2 ms").arg(shortest(ms)).arg(kMaxDwellMs);
    return QString();
}

QString labelProblem(const QString &label)
{
    for (int i = 0; i < label.size(); ++i) {
        const QChar c = label.at(i);
        const ushort u = c.unicode();
        if ((u < 0x20 && u != '\t') || (u >= 0x7f && u <= 0x9f))
            return tr("the label holds a control character");
        if (c.isHighSurrogate() && i + 1 < label.size() && label.at(i + 1).isLowSurrogate()) {
            ++i;
        } else if (c.isSurrogate()) {
            return tr("the label holds half of a character");
        }
    }
    if (label.size() > kMaxLabelLength)
        return tr("the label is longer than %1 characters").arg(kMaxLabelLength);
    return QString();
}

QString stepProblem(const SequenceStep &step)
{
    QString problem = targetProblem(step.targetUm);
    if (problem.isEmpty())
        problem = dwellProblem(step.dwellMs);
    if (problem.isEmpty())
        problem = labelProblem(step.label);
    return problem;
}

QString countProblem(qint64 steps)
{
    if (steps < 1)
        return tr("the sequence has no steps");
    if (steps > kMaxRows)
        return tr("a sequence holds at most %1 steps").arg(kMaxRows);
    return QString();
}

QString repeatProblem(qint64 repeats)
{
    if (repeats < 1 || repeats > kMaxRepeats)
        return tr("the repeat count must lie between 1 and %1").arg(kMaxRepeats);
    return QString();
}

QString cleanLabel(const QString &text, int *cursor)
{
    QString clean;
    clean.reserve(text.size());
    const int size = int(text.size());
    const int at = cursor ? qBound(0, *cursor, size) : 0;
    int cleanAt = 0;
    for (int i = 0; i < size; ++i) {
        const QChar c = text.at(i);
        const ushort u = c.unicode();
        int length = 1; // code units this character takes
        bool keep = true;
        if (c.isHighSurrogate()) {
            length = i + 1 < size && text.at(i + 1).isLowSurrogate() ? 2 : 1;
            keep = length == 2;
        } else if (c.isLowSurrogate()) {
            keep = false;
        } else if (u == '\r' || u == '\n') {
            clean += QLatin1Char(' ');
            keep = false;
            if (i < at)
                ++cleanAt;
        } else if ((u < 0x20 && u != '\t') || (u >= 0x7f && u <= 0x9f)) {
            keep = false;
        }
        if (keep) {
            clean += text.mid(i, length);
            cleanAt += qBound(0, at - i, length);
        }
        i += length - 1;
    }
    if (cursor)
        *cursor = cleanAt;
    return clean;
}

QString fittedLabel(const QString &text)
{
    QString label = cleanLabel(text);
    if (label.size() > kMaxLabelLength) {
        int length = kMaxLabelLength;
        if (label.at(length - 1).isHighSurrogate())
            --length; // not half a character
        label.truncate(length);
    }
    return label;
}

std::optional<double> typedNumber(const QString &text)
{
    for (QLocale locale : {QLocale::c(), QLocale()}) {
        locale.setNumberOptions(locale.numberOptions() | QLocale::RejectGroupSeparator);
        bool ok = false;
        const double value = locale.toDouble(text, &ok);
        if (ok)
            return value;
    }
    return std::nullopt;
}

QString outcomeName(SequenceLogEntry::Outcome outcome)
{
    switch (outcome) {
    case SequenceLogEntry::Outcome::Settled:
        return QStringLiteral("settled");
    case SequenceLogEntry::Outcome::Skipped:
        return QStringLiteral("skipped");
    case SequenceLogEntry::Outcome::Aborted:
        return QStringLiteral("aborted");
    }
    return QString();
}

SequenceSteps linearScan(double fromUm, double toUm, int count, int dwellMs, bool comeBack)
{
    SequenceSteps steps;
    if (count < 1)
        return steps;
    const int total = comeBack && count > 1 ? 2 * count - 1 : count;
    steps.reserve(total);
    for (int i = 0; i < count; ++i) {
        // The last point is the end itself, not a sum of rounded increments.
        const double at = i + 1 == count && count > 1
                              ? toUm
                              : fromUm + (toUm - fromUm) * double(i) / double(qMax(count - 1, 1));
        steps.append({QString::number(i + 1), at, dwellMs});
    }
    if (comeBack) {
        for (int i = count - 2; i >= 0; --i) {
            SequenceStep back = steps.at(i);
            back.label = QString::number(int(steps.size()) + 1);
            steps.append(back);
        }
    }
    return steps;
}

QString counted(qint64 count, const QString &one, const QString &many)
{
    return QStringLiteral("%1 %2").arg(count).arg(count == 1 ? one : many);
}

QString numbers(const QVector<int> &rows)
{
    constexpr int kNamed = 10;
    QStringList named;
    for (int i = 0; i < rows.size() && i < kNamed; ++i)
        named << QString::number(qint64(rows.at(i)) + 1);
    if (rows.size() > kNamed)
        return tr("%1 and %2 more").arg(named.join(QStringLiteral(", "))).arg(rows.size() - kNamed);
    if (named.size() < 2)
        return named.join(QString());
    const QString last = named.takeLast();
    return tr("%1 and %2").arg(named.join(QStringLiteral(", ")), last);
}

QString aboutRows(Numbering numbering, const QVector<int> &rows, const QString &ifOne,
                  const QString &ifMany)
{
    const bool one = rows.size() == 1;
    QString noun;
    if (numbering == Numbering::Rows)
        noun = one ? tr("Row") : tr("Rows");
    else
        noun = one ? tr("Step") : tr("Steps");
    return QStringLiteral("%1 %2 %3").arg(noun, numbers(rows), one ? ifOne : ifMany);
}

} // namespace Sequence
