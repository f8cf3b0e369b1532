#include "sequencecsv.h"

#include "wholefile.h"

#include "provenance.h"
#include <QCoreApplication>

#include <QFile>
#include <QLocale>
#include <QStringView>
#include <QVarLengthArray>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("SequenceCsv", text);
}

constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";

QString number(double value)
{
    // The shortest text that reads back as the same double; QString::number ignores the locale.
    return QString::number(value, 'g', QLocale::FloatingPointShortest);
}

QByteArray quoted(const QString &field)
{
    QByteArray bytes = field.toUtf8();
    // A byte-order mark that starts a line is dropped by many readers, so it goes in quotes.
    if (!bytes.contains(',') && !bytes.contains('"') && bytes.trimmed() == bytes &&
        !bytes.startsWith(kByteOrderMark))
        return bytes;
    bytes.replace("\"", "\"\"");
    return '"' + bytes + '"';
}

// One field of a line: a view of its text, or, for a quoted field with doubled quotes inside,
// the text with each pair made one.
struct Field {
    QStringView view;
    QString unescaped;
    bool escaped = false;
    QStringView text() const { return escaped ? QStringView(unescaped) : view; }
};
using Fields = QVarLengthArray<Field, 4>;

// Splits one line at its commas, stopping after a fourth field; a field may be quoted. Returns
// false on a quote that does not close or text after a closing quote.
bool splitFields(QStringView line, Fields *fields)
{
    fields->clear();
    const qsizetype n = line.size();
    qsizetype i = 0;
    for (;;) {
        Field field;
        if (i < n && line.at(i) == QLatin1Char('"')) {
            const qsizetype begin = ++i;
            bool closed = false;
            while (i < n) {
                if (line.at(i) != QLatin1Char('"')) {
                    ++i;
                } else if (i + 1 < n && line.at(i + 1) == QLatin1Char('"')) {
                    field.escaped = true;
                    i += 2;
                } else {
                    closed = true;
                    break;
                }
            }
            if (!closed)
                return false;
            field.view = line.mid(begin, i - begin);
            ++i; // the closing quote
            if (i < n && line.at(i) != QLatin1Char(','))
                return false;
            if (field.escaped)
                field.unescaped =
                    field.view.toString().replace(QStringLiteral("\"\""), QStringLiteral("\""));
        } else {
            const qsizetype begin = i;
            while (i < n && line.at(i) != QLatin1Char(','))
                ++i;
            field.view = line.mid(begin, i - begin);
        }
        fields->append(field);
        if (fields->size() > 3 || i >= n)
            return true;
        ++i; // the comma
    }
}

// Numbers in a file are read one way only, "." as the decimal point and no group separators:
// QLocale::c() takes "0,500" (a half, from a spreadsheet in much of Europe) for five hundred.
const QLocale &fileNumbers()
{
    static const QLocale strict = [] {
        QLocale c = QLocale::c();
        c.setNumberOptions(QLocale::OmitGroupSeparator | QLocale::RejectGroupSeparator);
        return c;
    }();
    return strict;
}

// Text that was meant as a number written with a decimal comma or grouped thousands.
bool looksGrouped(QStringView text)
{
    for (const QChar c : text) {
        if (c == QLatin1Char(',') || c == QLatin1Char('\'') || c == QChar(0x2019) || c.isSpace())
            return true;
    }
    return false;
}

QString notANumber(QStringView text, const QString &message)
{
    if (!looksGrouped(text))
        return message;
    return message + tr(" (\".\" is the decimal point; numbers have no thousands separators)");
}

QString lineError(int line, const QString &what)
{
    return tr("Line %1: %2").arg(line).arg(what);
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
    if (body.startsWith(kByteOrderMark))
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
        const char *raw = body.constData() + start;
        int length = end - start;
        start = end + 1;
        if (length > 0 && raw[length - 1] == '\r')
            --length;
        if (length > kMaxLineBytes)
            return fail(lineNumber, tr("the line is longer than %1 bytes").arg(kMaxLineBytes));
        // Blank lines and plain ASCII need no decoding checks.
        bool blank = true;
        bool ascii = true;
        for (int i = 0; i < length; ++i) {
            const uchar c = uchar(raw[i]);
            ascii = ascii && c < 0x80;
            blank = blank && (c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f');
        }
        if (blank)
            continue;
        // QString::fromUtf8 drops a byte-order mark at the start; past the file's first bytes it
        // is text (two files joined, say), and the check below would call it invalid.
        const bool marked = length >= 3 && QByteArray::fromRawData(raw, 3) == kByteOrderMark;
        const QString line = marked ? QChar(0xFEFF) + QString::fromUtf8(raw + 3, length - 3)
                                    : QString::fromUtf8(raw, length);
        // Invalid sequences decode to replacement characters and so do not encode back alike.
        if (!ascii && line.toUtf8() != QByteArray::fromRawData(raw, length))
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
        if (!Sequence::countProblem(result.steps.size() + 1).isEmpty())
            return fail(lineNumber, tr("more than %1 rows").arg(Sequence::kMaxRows));

        Fields fields;
        if (!splitFields(line, &fields))
            return fail(lineNumber, tr("a quoted label does not end with a quote"));
        if (fields.size() < 3)
            return fail(lineNumber, tr("a column is missing (label, target_um, dwell_ms)"));
        if (fields.size() > 3)
            return fail(lineNumber, tr("there are more than three columns"));
        SequenceStep step;
        step.label = fields.at(0).text().toString();
        const QString labelProblem = Sequence::labelProblem(step.label);
        if (!labelProblem.isEmpty())
            return fail(lineNumber, labelProblem);
        const QStringView target = fields.at(1).text().trimmed();
        bool ok = false;
        step.targetUm = fileNumbers().toDouble(target, &ok);
        if (!ok || target.isEmpty())
            return fail(lineNumber, notANumber(target, tr("the target \"%1\" is not a number")
                                                           .arg(target.left(40).toString())));
        const QString targetProblem = Sequence::targetProblem(step.targetUm);
        if (!targetProblem.isEmpty())
            return fail(lineNumber, targetProblem);
        const QStringView dwell = fields.at(2).text().trimmed();
        const qlonglong dwellMs = fileNumbers().toLongLong(dwell, &ok);
        if (!ok || dwell.isEmpty())
            return fail(
                lineNumber,
                notANumber(dwell, tr("the dwell \"%1\" is not a whole number of milliseconds")
                                      .arg(dwell.left(40).toString())));
        const QString dwellProblem = Sequence::dwellProblem(double(dwellMs));
        if (!dwellProblem.isEmpty())
            return fail(lineNumber, dwellProblem);
        step.dwellMs = int(dwellMs);
        result.steps.append(step);
    }
    if (!headerSeen)
        return fail(qMax(lineNumber, 1),
                    tr("the header \"%1\" is missing").arg(QLatin1String(kHeader)));
    return result;
}

namespace {
// A line break cannot live inside a row; it is kept as a space.
QString oneLine(QString label)
{
    return label.replace(QLatin1Char('\r'), QLatin1Char(' '))
        .replace(QLatin1Char('\n'), QLatin1Char(' '));
}
} // namespace

QByteArray format(const SequenceSteps &steps)
{
    QByteArray out(kHeader);
    out += '\n';
    for (const SequenceStep &step : steps) {
        out += quoted(oneLine(step.label)) + ',' + number(step.targetUm).toLatin1() + ',' +
               QByteArray::number(step.dwellMs) + '\n';
    }
    return out;
}

QByteArray formatLog(const SequenceLog &log, const QByteArray &provenance)
{
    QByteArray out = provenance;
    if (!out.isEmpty() && !out.endsWith('\n'))
        out += '\n';
    out += kLogHeader;
    out += '\n';
    for (const SequenceLogEntry &e : log) {
        out += QByteArray::number(e.repeat) + ',' + QByteArray::number(e.step) + ',' +
               QByteArray::number(e.row + 1) + ',' + quoted(oneLine(e.label)) + ',' +
               number(e.targetUm).toLatin1() + ',' +
               (e.settledUm ? number(*e.settledUm).toLatin1() : QByteArray()) + ',' +
               QByteArray::number(e.settleS, 'f', 3) + ',' + isoUtc(e.startedMsUtc).toLatin1() +
               ',' + Sequence::outcomeName(e.outcome).toLatin1() + '\n';
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
    return WholeFile::writeBytes(path, format(steps));
}

QString writeLog(const QString &path, const SequenceLog &log, const QByteArray &provenance)
{
    return WholeFile::writeBytes(path, formatLog(log, provenance));
}

} // namespace SequenceCsv
