#include "protocol.h"

#include "qtcompat.h"

#include <QtGlobal>

#include <cmath>
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

bool containsOffset(const QByteArray &line)
{
    return line.contains("offset") || line.contains("Offset");
}

} // namespace

QByteArray moveTo(double targetUm)
{
    return built(QStringLiteral(">ma ") + QString::number(targetUm * 10.0, 'g', 6));
}

QByteArray moveToSliderPosition(int positionUm)
{
    return built(QStringLiteral(">ma ") + QString::number(positionUm * 10, 10));
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
    if (!line.contains("Ver"))
        return std::nullopt;
    if (line.contains("VELDMARK")) {
        if (line.size() < 16)
            return std::nullopt;
        return Identity{QString::fromLatin1(kModel1804), versionFrom(line, 13)};
    }
    if (line.size() < 8)
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
        if (line.startsWith("_tg"))
            return ReplyKind::Drop;
        if ((line.startsWith('_') || line.startsWith("ok")) && line.endsWith('\r') &&
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
        if (line.startsWith("_cp"))
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

QString offsetText(const QByteArray &line)
{
    const int t = line.indexOf('t');
    if (t < 0)
        return QString();
    return QtCompat::textUpToZero(line.mid(t + 2, line.size() - t - 3));
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

} // namespace Protocol
