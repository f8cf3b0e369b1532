#include "protocol.h"

#include "qtcompat.h"

#include <QtGlobal>

#include <cmath>
#include <cstring>
#include <limits>

namespace Protocol {

namespace {

QByteArray built(const QString &text)
{
    return text.toLocal8Bit();
}

// The version text a.bc from three firmware digit bytes.
QString versionFrom(const QByteArray &line, int firstDigit)
{
    return QString(QChar::fromLatin1(line.at(firstDigit))) + QLatin1Char('.') +
           QChar::fromLatin1(line.at(firstDigit + 1)) + QChar::fromLatin1(line.at(firstDigit + 2));
}

bool digitsAt(const QByteArray &line, int first)
{
    for (int i = first; i < first + 3; ++i) {
        if (line.at(i) < '0' || line.at(i) > '9')
            return false;
    }
    return true;
}

bool containsOffset(const QByteArray &line)
{
    return line.contains("offset") || line.contains("Offset");
}

// startsWith for a literal, without measuring the literal on every line.
template <int N> bool beginsWith(const QByteArray &line, const char (&prefix)[N])
{
    return line.size() >= N - 1 && std::memcmp(line.constData(), prefix, N - 1) == 0;
}

} // namespace

QByteArray moveTo(double targetUm)
{
    return built(QStringLiteral(">ma ") + QString::number(targetUm * 10.0, 'g', 6));
}

QByteArray moveToSliderPosition(int positionUm)
{
    const qint64 tenths = qBound(qint64(std::numeric_limits<int>::min()), qint64(positionUm) * 10,
                                 qint64(std::numeric_limits<int>::max()));
    return built(QStringLiteral(">ma ") + QString::number(tenths, 10));
}

QByteArray moveBy(double stepUm, bool forward)
{
    return built(QStringLiteral(">mr ") +
                 QString::number(stepUm * (forward ? 10.0 : -10.0), 'g', 6));
}

QByteArray driveParameter(const char *keyword, int value)
{
    return built(QLatin1String(keyword) + QString::number(value, 10) + QLatin1Char('\r'));
}

std::optional<Identity> identify(const QByteArray &line)
{
    // Nearly every line is a position reply without a "V": one memchr turns it away.
    if (!std::memchr(line.constData(), 'V', size_t(line.size())) || !line.contains("Ver"))
        return std::nullopt;
    if (line.contains("VELDMARK")) {
        if (line.size() < 16 || !digitsAt(line, 13))
            return std::nullopt;
        return Identity{QString::fromLatin1(kModel1804), versionFrom(line, 13)};
    }
    if (line.size() < 8 || !digitsAt(line, 5))
        return std::nullopt;
    return Identity{QString::fromLatin1(kModel1901), versionFrom(line, 5)};
}

Dialect dialectOf(const QString &model, const QString &firmware)
{
    if (model == QLatin1String(kModel1804))
        return Dialect::Model1804;
    if (model != QLatin1String(kModel1901))
        return Dialect::Unidentified;
    if (firmware == QLatin1String("1.26"))
        return Dialect::Model1901Fw126;
    if (firmware.startsWith(QLatin1Char('3')))
        return Dialect::Model1901Fw3;
    return Dialect::Model1901Other;
}

ReplyKind classify(Dialect dialect, const QByteArray &line)
{
    // The 1901 dialects echo underscore and "ok" lines, but never target-reached notices.
    const auto echoFilter = [&line] {
        if (beginsWith(line, "_tg"))
            return ReplyKind::Drop;
        if ((line.startsWith('_') || beginsWith(line, "ok")) && line.endsWith('\r') &&
            !line.contains('P'))
            return ReplyKind::Echo;
        return ReplyKind::Drop;
    };

    switch (dialect) {
    case Dialect::Model1901Fw126:
        if (line.contains('P'))
            return ReplyKind::Position;
        if (containsOffset(line))
            return ReplyKind::Offset;
        return echoFilter();
    case Dialect::Model1901Fw3:
        if (beginsWith(line, "_cp"))
            return ReplyKind::Position;
        if (line.contains("status"))
            return ReplyKind::Status;
        if (containsOffset(line))
            return ReplyKind::Offset;
        return echoFilter();
    case Dialect::Model1804:
        if (line.contains('P') && !line.contains("VELDMARK"))
            return ReplyKind::Position;
        return ReplyKind::Echo;
    case Dialect::Model1901Other:
    case Dialect::Unidentified:
        break;
    }
    return ReplyKind::Drop;
}

QString positionText(Dialect dialect, const QString &line)
{
    const bool longForm = dialect == Dialect::Model1901Fw3;
    const int count = line.size() - (longForm ? 8 : 6);
    // A line too short for the cut holds no value; a negative count would run on into the "\r".
    if (count <= 0)
        return QString();
    return line.mid(longForm ? 4 : 2, count);
}

namespace {

// A plain decimal (optional "-", digits, optionally "." and digits) with at most 15 digits is
// m / 10^k with m and 10^k both exact doubles, so one IEEE division rounds it correctly: the same
// double QString::toDouble gives. Anything else is left to the general path.
std::optional<double> plainDecimal(const char *first, const char *last)
{
    static constexpr double powersOfTen[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                             1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
    const bool negative = first != last && *first == '-';
    if (negative)
        ++first;
    quint64 mantissa = 0;
    int digits = 0;
    int fractionDigits = -1;
    for (; first != last; ++first) {
        const char c = *first;
        if (c >= '0' && c <= '9') {
            mantissa = mantissa * 10 + quint64(c - '0');
            ++digits;
            if (fractionDigits >= 0)
                ++fractionDigits;
        } else if (c == '.' && fractionDigits < 0 && digits > 0) {
            fractionDigits = 0;
        } else {
            return std::nullopt;
        }
    }
    if (digits == 0 || digits > 15 || fractionDigits == 0)
        return std::nullopt;
    const double value = double(mantissa) / powersOfTen[fractionDigits < 0 ? 0 : fractionDigits];
    return negative ? -value : value;
}

// No NUL and nothing above 0x7F, looked at eight bytes at a time.
bool plainAscii(const char *data, int size)
{
    constexpr quint64 ones = 0x0101010101010101ULL;
    constexpr quint64 highs = 0x8080808080808080ULL;
    int i = 0;
    for (; i + 8 <= size; i += 8) {
        quint64 word;
        std::memcpy(&word, data + i, sizeof word);
        // A byte of zero makes (byte - 1) borrow into its high bit where the byte had none.
        if ((word & highs) || ((word - ones) & ~word & highs))
            return false;
    }
    for (; i < size; ++i) {
        const auto byte = static_cast<unsigned char>(data[i]);
        if (byte == 0 || byte >= 0x80)
            return false;
    }
    return true;
}

} // namespace

double positionValue(Dialect dialect, const QByteArray &line)
{
    const bool longForm = dialect == Dialect::Model1901Fw3;
    const int start = longForm ? 4 : 2;
    const int count = line.size() - (longForm ? 8 : 6);
    // Byte and character positions agree only on a line of ASCII without NUL (a NUL ends the
    // text a QString is made from); any other line takes the general path.
    if (count > 0) {
        const char *data = line.constData();
        if (plainAscii(data, int(line.size()))) {
            if (const auto value = plainDecimal(data + start, data + start + count))
                return *value;
        }
    }
    return positionText(dialect, QtCompat::textUpToZero(line)).toDouble();
}

QString offsetText(const QByteArray &line)
{
    const int t = line.indexOf('t');
    if (t < 0)
        return QString();
    return QtCompat::textUpToZero(line.mid(t + 2, line.size() - t - 3));
}

std::optional<double> acceptedOffset(const QString &offsetText, double travelRangeUm)
{
    const double offset = offsetText.toDouble();
    if (!std::isfinite(offset))
        return std::nullopt;
    constexpr double lowest = std::numeric_limits<int>::min();
    constexpr double highest = std::numeric_limits<int>::max();
    const double endA = offset * -0.1;
    const double endB = travelRangeUm - offset * 0.1;
    if (endA < lowest || endA > highest || endB < lowest || endB > highest)
        return std::nullopt;
    return offset;
}

std::optional<QChar> calibrationState(const QString &line)
{
    if (line.size() < 9)
        return std::nullopt;
    return line.at(8);
}

QString withControllerName(const QString &statusText, const QString &portName, const QString &model)
{
    static const QString bracketOpen = QStringLiteral(" (DVX");
    static const QString bracketClose = QStringLiteral(") ");
    if (portName.isEmpty())
        return statusText;
    const int nameAt = statusText.indexOf(portName);
    if (nameAt < 0)
        return statusText;
    const int splitAt = nameAt + portName.size();
    QString tail = statusText.mid(splitAt);
    if (tail.startsWith(bracketOpen)) {
        const int closeAt = tail.indexOf(bracketClose, bracketOpen.size());
        if (closeAt >= 0)
            tail.remove(0, closeAt + bracketClose.size());
    }
    return statusText.left(splitAt) + bracketOpen + model + bracketClose + tail;
}

int truncateToInt(double value)
{
    if (std::isnan(value))
        return 0;
    constexpr double lowest = std::numeric_limits<int>::min();
    constexpr double highest = std::numeric_limits<int>::max();
    return static_cast<int>(qBound(lowest, std::trunc(value), highest));
}

QVector<Command> splitCommands(const QByteArray &line)
{
    QVector<Command> commands;
    const int size = int(line.size());
    int start = line.indexOf('>');
    while (start >= 0 && start < size) {
        int end = line.indexOf('>', start + 1);
        if (end < 0)
            end = size;
        QByteArray text = line.mid(start + 1, end - start - 1);
        const int cr = text.indexOf('\r');
        if (cr >= 0)
            text.truncate(cr);
        text = text.trimmed();
        if (!text.isEmpty()) {
            const int blank = text.indexOf(' ');
            Command command;
            command.keyword = blank < 0 ? text : text.left(blank);
            command.argument = blank < 0 ? QByteArray() : text.mid(blank + 1).trimmed();
            commands.append(command);
        }
        start = end;
    }
    return commands;
}

bool isMotionCommand(const QByteArray &keyword)
{
    static const char *const moving[] = {"ma", "mr", "home", "fo", "re", "bi", "auto"};
    for (const char *k : moving) {
        if (keyword == k)
            return true;
    }
    return false;
}

std::optional<double> moveArgumentTenths(const QByteArray &argument)
{
    bool ok = false;
    const double value = argument.toDouble(&ok);
    if (!ok || !std::isfinite(value))
        return std::nullopt;
    return value;
}

bool isErrorReply(const QByteArray &line)
{
    return line.startsWith("_err");
}

QString errorReplyReason(const QByteArray &line)
{
    QByteArray reason = line.mid(4);
    const int cr = reason.indexOf('\r');
    if (cr >= 0)
        reason.truncate(cr);
    return QtCompat::textUpToZero(reason.trimmed());
}

} // namespace Protocol
