#include "sequencecsv.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QLocale>
#include <QSaveFile>
#include <QStringList>

#include <cmath>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("SequenceCsv", text);
}

QString number(double value)
{
    // The shortest text that reads back as the same double; QString::number ignores the locale.
    return QString::number(value, 'g', QLocale::FloatingPointShortest);
}

QByteArray quoted(const QString &field)
{
    QByteArray bytes = field.toUtf8();
    if (!bytes.contains(',') && !bytes.contains('"') && bytes.trimmed() == bytes)
        return bytes;
    bytes.replace("\"", "\"\"");
    return '"' + bytes + '"';
}

// Splits one line into fields; a field may be quoted, with "" for a quote inside. Returns
// false on a quote that does not close or text after a closing quote.
bool splitFields(const QString &line, QStringList *fields)
{
    fields->clear();
    QString field;
    int i = 0;
    const int n = int(line.size());
    for (;;) {
        field.clear();
        if (i < n && line.at(i) == QLatin1Char('"')) {
            ++i;
            bool closed = false;
            while (i < n) {
                const QChar c = line.at(i++);
                if (c != QLatin1Char('"')) {
                    field += c;
                } else if (i < n && line.at(i) == QLatin1Char('"')) {
                    field += c;
                    ++i;
                } else {
                    closed = true;
                    break;
                }
            }
            if (!closed || (i < n && line.at(i) != QLatin1Char(',')))
                return false;
        } else {
            while (i < n && line.at(i) != QLatin1Char(','))
                field += line.at(i++);
        }
        fields->append(field);
        if (i >= n)
            return true;
        ++i; // the comma
    }
}

bool hasControlCharacter(const QString &text)
{
    for (const QChar c : text) {
        if (c.unicode() < 0x20 && c != QLatin1Char('\t'))
            return true;
        if (c.unicode() == 0x7f)
            return true;
    }
    return false;
}

QString lineError(int line, const QString &what)
{
    return tr("Line %1: %2").arg(line).arg(what);
}

QString writeBytes(const QString &path, const QByteArray &bytes)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return tr("Cannot write %1: %2").arg(path, file.errorString());
    if (file.write(bytes) != bytes.size() || !file.commit())
        return tr("Cannot write %1: %2").arg(path, file.errorString());
    return QString();
}

} // namespace

namespace SequenceCsv {

ParseResult parse(const QByteArray &text)
{
    ParseResult result;
    const auto fail = [&result](int line, const QString &what) {
        result.steps.clear();
        result.line = line;
        result.error = lineError(line, what);
        return result;
    };

    QByteArray body = text;
    if (body.startsWith("\xEF\xBB\xBF"))
        body.remove(0, 3);
    if (body.size() > kMaxFileBytes)
        return fail(1, tr("the file is larger than %1 MiB").arg(kMaxFileBytes / (1024 * 1024)));

    bool headerSeen = false;
    int lineNumber = 0;
    int start = 0;
    const int size = int(body.size());
    while (start < size) {
        int end = int(body.indexOf('\n', start));
        if (end < 0)
            end = size;
        ++lineNumber;
        QByteArray raw = body.mid(start, end - start);
        start = end + 1;
        if (raw.endsWith('\r'))
            raw.chop(1);
        if (raw.size() > kMaxLineBytes)
            return fail(lineNumber, tr("the line is longer than %1 bytes").arg(kMaxLineBytes));
        const QString line = QString::fromUtf8(raw.constData(), int(raw.size()));
        // Invalid sequences decode to replacement characters and so do not encode back alike.
        if (line.toUtf8() != raw)
            return fail(lineNumber, tr("the text is not UTF-8"));
        if (line.trimmed().isEmpty())
            continue;
        if (!headerSeen) {
            if (line.trimmed() != QLatin1String(kHeader))
                return fail(lineNumber,
                            tr("the header \"%1\" is missing").arg(QLatin1String(kHeader)));
            headerSeen = true;
            continue;
        }
        if (result.steps.size() >= Sequence::kMaxRows)
            return fail(lineNumber, tr("more than %1 rows").arg(Sequence::kMaxRows));

        QStringList fields;
        if (!splitFields(line, &fields))
            return fail(lineNumber, tr("a quoted label does not end with a quote"));
        if (fields.size() < 3)
            return fail(lineNumber, tr("a column is missing (label, target_um, dwell_ms)"));
        if (fields.size() > 3)
            return fail(lineNumber, tr("there are more than three columns"));
        SequenceStep step;
        step.label = fields.at(0);
        if (hasControlCharacter(step.label))
            return fail(lineNumber, tr("the label holds a control character"));
        const QString target = fields.at(1).trimmed();
        bool ok = false;
        step.targetUm = QLocale::c().toDouble(target, &ok);
        if (!ok || target.isEmpty())
            return fail(lineNumber, tr("the target \"%1\" is not a number").arg(target.left(40)));
        if (!std::isfinite(step.targetUm))
            return fail(lineNumber, tr("the target \"%1\" is not a finite number").arg(target));
        if (std::abs(step.targetUm) > Sequence::kMaxAbsTargetUm)
            return fail(lineNumber, tr("the target %1 \u00b5m lies beyond \u00b1%2 \u00b5m")
                                        .arg(target)
                                        .arg(Sequence::kMaxAbsTargetUm, 0, 'g', 6));
        const QString dwell = fields.at(2).trimmed();
        const qlonglong dwellMs = QLocale::c().toLongLong(dwell, &ok);
        if (!ok || dwell.isEmpty())
            return fail(
                lineNumber,
                tr("the dwell \"%1\" is not a whole number of milliseconds").arg(dwell.left(40)));
        if (dwellMs < 0 || dwellMs > Sequence::kMaxDwellMs)
            return fail(lineNumber, tr("the dwell %1 ms is not between 0 and %2 ms")
                                        .arg(dwellMs)
                                        .arg(Sequence::kMaxDwellMs));
        step.dwellMs = int(dwellMs);
        result.steps.append(step);
    }
    if (!headerSeen)
        return fail(qMax(lineNumber, 1),
                    tr("the header \"%1\" is missing").arg(QLatin1String(kHeader)));
    return result;
}

QByteArray format(const SequenceSteps &steps)
{
    QByteArray out(kHeader);
    out += '\n';
    for (const SequenceStep &step : steps) {
        // A line break cannot live inside a row; it is kept as a space.
        QString label = step.label;
        label.replace(QLatin1Char('\r'), QLatin1Char(' '))
            .replace(QLatin1Char('\n'), QLatin1Char(' '));
        out += quoted(label) + ',' + number(step.targetUm).toLatin1() + ',' +
               QByteArray::number(step.dwellMs) + '\n';
    }
    return out;
}

QByteArray formatLog(const SequenceLog &log)
{
    QByteArray out(kLogHeader);
    out += '\n';
    for (const SequenceLogEntry &e : log) {
        QString label = e.label;
        label.replace(QLatin1Char('\r'), QLatin1Char(' '))
            .replace(QLatin1Char('\n'), QLatin1Char(' '));
        out += QByteArray::number(e.repeat) + ',' + QByteArray::number(e.step) + ',' +
               QByteArray::number(e.row + 1) + ',' + quoted(label) + ',' +
               number(e.targetUm).toLatin1() + ',' +
               (e.settledUm ? number(*e.settledUm).toLatin1() : QByteArray()) + ',' +
               QByteArray::number(e.settleS, 'f', 3) + ',' +
               QDateTime::fromMSecsSinceEpoch(e.startedMsUtc, Qt::UTC)
                   .toString(Qt::ISODateWithMs)
                   .toLatin1() +
               '\n';
    }
    return out;
}

ParseResult readFile(const QString &path)
{
    ParseResult result;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        result.error = tr("Cannot read %1: %2").arg(path, file.errorString());
        return result;
    }
    if (file.size() > kMaxFileBytes) {
        result.line = 1;
        result.error =
            lineError(1, tr("the file is larger than %1 MiB").arg(kMaxFileBytes / (1024 * 1024)));
        return result;
    }
    // One byte more than allowed is enough to tell a file that grew while being read.
    return parse(file.read(kMaxFileBytes + 1));
}

QString writeFile(const QString &path, const SequenceSteps &steps)
{
    return writeBytes(path, format(steps));
}

QString writeLog(const QString &path, const SequenceLog &log)
{
    return writeBytes(path, formatLog(log));
}

} // namespace SequenceCsv
