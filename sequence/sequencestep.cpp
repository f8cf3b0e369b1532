#include "sequencestep.h"

#include <QLocale>

namespace Sequence {

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

} // namespace Sequence
