// Feeds arbitrary lines to the protocol functions and checks what each of them promises, whatever
// the controller sends.

#include "protocol.h"

#include <QByteArray>
#include <QString>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

void require(bool condition, const char *what)
{
    if (condition)
        return;
    std::fprintf(stderr, "fuzz_protocol: broken: %s\n", what);
    std::abort();
}

const Protocol::Dialect kDialects[] = {
    Protocol::Dialect::Unidentified, Protocol::Dialect::Model1804,
    Protocol::Dialect::Model1901Fw126, Protocol::Dialect::Model1901Fw3,
    Protocol::Dialect::Model1901Other};

void checkIdentify(const QByteArray &line)
{
    const auto identity = Protocol::identify(line);
    const bool veldmark = line.contains("VELDMARK");
    const int first = veldmark ? 13 : 5;
    const auto isDigit = [&line](int i) { return line.at(i) >= '0' && line.at(i) <= '9'; };
    if (!identity) {
        // Only a line without "Ver", one too short for its digits, or one whose firmware bytes
        // are not digits identifies nothing.
        require(!line.contains("Ver") || line.size() < first + 3 || !isDigit(first) ||
                    !isDigit(first + 1) || !isDigit(first + 2),
                "identify refused");
        return;
    }
    require(isDigit(first) && isDigit(first + 1) && isDigit(first + 2), "firmware not digits");
    require(line.contains("Ver"), "identified without Ver");
    require(identity->model == QLatin1String(veldmark ? "1804" : "1901"), "model");
    const QString &fw = identity->firmware;
    require(fw.size() == 4 && fw.at(1) == QLatin1Char('.'), "firmware shape");
    require(fw.at(0) == QLatin1Char(line.at(first)) &&
                fw.at(2) == QLatin1Char(line.at(first + 1)) &&
                fw.at(3) == QLatin1Char(line.at(first + 2)),
            "firmware digits");
    require(Protocol::dialectOf(identity->model, identity->firmware) !=
                Protocol::Dialect::Unidentified,
            "identified line leaves the panel unidentified");
}

void checkReplies(const QByteArray &line)
{
    const QString text(line);
    for (const Protocol::Dialect dialect : kDialects) {
        const Protocol::ReplyKind kind = Protocol::classify(dialect, line);
        switch (dialect) {
        case Protocol::Dialect::Unidentified:
        case Protocol::Dialect::Model1901Other:
            require(kind == Protocol::ReplyKind::Drop, "unheard dialect handled a line");
            break;
        case Protocol::Dialect::Model1804:
            require(kind == Protocol::ReplyKind::Position || kind == Protocol::ReplyKind::Echo,
                    "1804 kind");
            break;
        case Protocol::Dialect::Model1901Fw3:
            if (kind == Protocol::ReplyKind::Position)
                require(line.startsWith("_cp"), "3.x position without _cp");
            break;
        case Protocol::Dialect::Model1901Fw126:
            require(kind != Protocol::ReplyKind::Status, "1.26 has no status line");
            break;
        }
        if (kind == Protocol::ReplyKind::Echo && dialect != Protocol::Dialect::Model1804)
            require(!line.contains('P') && line.endsWith('\r') && !line.startsWith("_tg"),
                    "echo filter");

        // The value sits between a fixed head and the 4 characters of " um\r"; a line too short
        // to hold both has no value.
        const int head = dialect == Protocol::Dialect::Model1901Fw3 ? 4 : 2;
        const int count = qMax(0, text.size() - head - 4);
        require(Protocol::positionText(dialect, text) == text.mid(head, count),
                "position text is not the part between head and unit");
        // The number read straight from the bytes is the number of the text, bit for bit.
        const double fast = Protocol::positionValue(dialect, line);
        const double general = Protocol::positionText(dialect, text).toDouble();
        require(std::memcmp(&fast, &general, sizeof fast) == 0 ||
                    (std::isnan(fast) && std::isnan(general)),
                "position value differs from the text's");
    }

    require(Protocol::offsetText(line).size() <= line.size(), "offset text longer than its line");
    // An accepted offset leaves both ends of the travel finite and within int micrometres.
    if (const auto offset = Protocol::acceptedOffset(Protocol::offsetText(line), 6500.0)) {
        for (double end : {*offset * -0.1, 6500.0 - *offset * 0.1})
            require(std::isfinite(end) && end >= std::numeric_limits<int>::min() &&
                        end <= std::numeric_limits<int>::max(),
                    "offset accepted beyond the travel arithmetic");
    }
    const auto state = Protocol::calibrationState(text);
    require(state.has_value() == (text.size() >= 9), "calibration state length test");
    if (state)
        require(*state == text.at(8), "calibration state index");
}

// Keeps the bytes a device path may hold, so the port name cannot imitate the bracket itself.
QString portNameFrom(const QByteArray &bytes)
{
    QString name;
    for (const char c : bytes) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '/' || c == '_' || c == '.' || c == '-')
            name += QLatin1Char(c);
    }
    return name;
}

void checkControllerName(const QByteArray &line)
{
    const int split = line.size() / 2;
    const QString port = portNameFrom(line.left(qMin(split, 24)));
    QString text = QString::fromLatin1(line.mid(split));
    text.remove(QLatin1Char('('));
    text.remove(QLatin1Char(')'));
    const QString connected = QStringLiteral("Connected to ") + port + QStringLiteral(": ") + text;

    const QString once = Protocol::withControllerName(connected, port, QStringLiteral("1804"));
    const QString twice = Protocol::withControllerName(once, port, QStringLiteral("1901"));
    const QString bracket = QStringLiteral(" (DVX");
    if (port.isEmpty()) {
        require(once == connected && twice == connected, "bracket without a port name");
        return;
    }
    require(once.count(bracket) == 1 && once.contains(QStringLiteral(" (DVX1804) ")),
            "first bracket");
    require(twice.count(bracket) == 1 && twice.contains(QStringLiteral(" (DVX1901) ")),
            "second identification left two brackets");
    require(QString(twice).remove(QStringLiteral(" (DVX1901) ")) == connected,
            "rewrite lost part of the text");
}

void checkNumbers(const uint8_t *data, size_t size)
{
    double value = 0.0;
    int whole = 0;
    if (size >= sizeof value)
        std::memcpy(&value, data, sizeof value);
    if (size >= sizeof value + sizeof whole)
        std::memcpy(&whole, data + sizeof value, sizeof whole);

    const int truncated = Protocol::truncateToInt(value);
    if (std::isnan(value)) {
        require(truncated == 0, "NaN to int");
    } else {
        const double t = std::trunc(value);
        if (t <= std::numeric_limits<int>::min())
            require(truncated == std::numeric_limits<int>::min(), "low saturation");
        else if (t >= std::numeric_limits<int>::max())
            require(truncated == std::numeric_limits<int>::max(), "high saturation");
        else
            require(truncated == int(t), "truncation");
    }

    // A slider move is the position in tenths, clamped to the int range, never wrapped.
    const qint64 tenths = qBound(qint64(std::numeric_limits<int>::min()), qint64(whole) * 10,
                                 qint64(std::numeric_limits<int>::max()));
    require(Protocol::moveToSliderPosition(whole) == ">ma " + QByteArray::number(tenths),
            "slider move wrapped");

    // Moves end without a carriage return; drive parameters end with exactly one.
    const QByteArray to = Protocol::moveTo(value);
    require(to.startsWith(">ma ") && !to.contains('\r'), "absolute move");
    const QByteArray by = Protocol::moveBy(value, whole & 1);
    require(by.startsWith(">mr ") && !by.contains('\r'), "relative move");
    const QByteArray slider = Protocol::moveToSliderPosition(whole / 10);
    require(slider == ">ma " + QByteArray::number((whole / 10) * 10), "slider move");
    const QByteArray drive = Protocol::driveParameter(Protocol::kCycle, whole);
    require(drive == ">cycle " + QByteArray::number(whole) + '\r', "drive parameter");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray line(reinterpret_cast<const char *>(data), int(size));
    checkIdentify(line);
    checkReplies(line);
    checkControllerName(line);
    checkNumbers(data, size);
    return 0;
}
