#include "controlprotocol.h"

#include "stage.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QLocale>
#include <QSet>
#include <QVector>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace ControlProtocol {

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("ControlProtocol", text);
}

// A JSON value alone, compact. QJsonDocument writes only arrays and objects, so the value goes
// into an array of one and the brackets come off again.
QByteArray valueText(const QJsonValue &value);

int skipWhitespace(const QByteArray &text, int i)
{
    while (i < text.size() &&
           (text.at(i) == ' ' || text.at(i) == '\t' || text.at(i) == '\n' || text.at(i) == '\r'))
        ++i;
    return i;
}

// From the opening quote of a string to just past its closing quote; -1 when it never closes.
int skipString(const QByteArray &text, int i)
{
    for (++i; i < text.size(); ++i) {
        if (text.at(i) == '\\')
            ++i;
        else if (text.at(i) == '"')
            return i + 1;
    }
    return -1;
}

// Past one value of any kind; -1 when the text ends inside it.
int skipValue(const QByteArray &text, int i)
{
    if (i >= text.size())
        return -1;
    const char first = text.at(i);
    if (first == '"')
        return skipString(text, i);
    if (first == '{' || first == '[') {
        int depth = 0;
        while (i < text.size()) {
            const char c = text.at(i);
            if (c == '"') {
                i = skipString(text, i);
                if (i < 0)
                    return -1;
                continue;
            }
            if (c == '{' || c == '[')
                ++depth;
            else if ((c == '}' || c == ']') && --depth == 0)
                return i + 1;
            ++i;
        }
        return -1;
    }
    while (i < text.size() && (text.at(i) == '\0' || !std::strchr(",}] \t\r\n", text.at(i))))
        ++i;
    return i;
}

// A number as JSON writes it: Qt's parser also takes some that are not (".5"), and those must
// not be echoed to a client as they came.
bool isJsonNumber(const QByteArray &text)
{
    int i = 0;
    const int size = int(text.size());
    const auto digits = [&text, &i, size] {
        const int start = i;
        while (i < size && text.at(i) >= '0' && text.at(i) <= '9')
            ++i;
        return i > start;
    };
    if (i < size && text.at(i) == '-')
        ++i;
    if (i < size && text.at(i) == '0')
        ++i;
    else if (!digits())
        return false;
    if (i < size && text.at(i) == '.') {
        ++i;
        if (!digits())
            return false;
    }
    if (i < size && (text.at(i) == 'e' || text.at(i) == 'E')) {
        ++i;
        if (i < size && (text.at(i) == '+' || text.at(i) == '-'))
            ++i;
        if (!digits())
            return false;
    }
    return i == size;
}

// A key as the parser reads it, escapes and all.
QString keyText(const QByteArray &raw)
{
    if (!raw.contains('\\'))
        return QString::fromUtf8(raw);
    return QJsonDocument::fromJson("[\"" + raw + "\"]").array().at(0).toString();
}

QByteArray valueText(const QJsonValue &value)
{
    // Numbers, booleans and null are written directly: a position event is mostly these, and it
    // goes out up to 50 times a second to every subscriber.
    switch (value.type()) {
    case QJsonValue::Null:
        return QByteArrayLiteral("null");
    case QJsonValue::Bool:
        return value.toBool() ? QByteArrayLiteral("true") : QByteArrayLiteral("false");
    case QJsonValue::Double: {
        const double number = value.toDouble();
        if (!std::isfinite(number))
            return QByteArrayLiteral("null");
        return QByteArray::number(number, 'g', QLocale::FloatingPointShortest);
    }
    case QJsonValue::String: {
        // Plain printable ASCII needs no escaping: the common case of names and short texts.
        const QString text = value.toString();
        const bool plain = std::all_of(text.cbegin(), text.cend(), [](QChar c) {
            return c.unicode() >= 0x20 && c.unicode() < 0x7f && c != QLatin1Char('"') &&
                   c != QLatin1Char('\\');
        });
        if (plain)
            return '"' + text.toLatin1() + '"';
        break;
    }
    default:
        break;
    }
    const QByteArray wrapped = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    return wrapped.mid(1, wrapped.size() - 2);
}

// Builds {"k1":v1,"k2":v2,...}\n with the members in the order given, which QJsonObject (sorted
// by key) would not keep: a person reading the stream sees "id" or "event" first.
QByteArray orderedLine(const QList<QPair<QString, QJsonValue>> &members)
{
    QByteArray line;
    line.reserve(64);
    line.append('{');
    for (int i = 0; i < members.size(); ++i) {
        if (i > 0)
            line.append(',');
        line.append(valueText(members.at(i).first));
        line.append(':');
        line.append(valueText(members.at(i).second));
    }
    line.append("}\n");
    return line;
}

QJsonValue optionalNumber(const std::optional<double> &value)
{
    return value ? QJsonValue(*value) : QJsonValue(QJsonValue::Null);
}

QString typeName(const QJsonValue &value)
{
    switch (value.type()) {
    case QJsonValue::Null:
        return QStringLiteral("null");
    case QJsonValue::Bool:
        return QStringLiteral("a boolean");
    case QJsonValue::Double:
        return QStringLiteral("a number");
    case QJsonValue::String:
        return QStringLiteral("a string");
    case QJsonValue::Array:
        return QStringLiteral("an array");
    case QJsonValue::Object:
        return QStringLiteral("an object");
    case QJsonValue::Undefined:
        break;
    }
    return QStringLiteral("nothing");
}

// The first key that some object in the text repeats, or nothing. Qt 5's JSON parser loses the
// memory of a repeated key's earlier value, so such a request must not reach it; and which of two
// values a script meant is anyone's guess anyway. Only strings and brackets matter here: text the
// parser will refuse anyway may give any answer.
std::optional<QString> repeatedKey(const QByteArray &text)
{
    struct Container {
        bool object = false;
        bool expectingKey = false;
        QSet<QString> keys;
    };
    QVector<Container> open;
    const int size = int(text.size());
    for (int i = 0; i < size; ++i) {
        const char c = text.at(i);
        if (c == '"') {
            int end = i + 1;
            bool escaped = false;
            while (end < size && text.at(end) != '"') {
                if (text.at(end) == '\\') {
                    escaped = true;
                    ++end;
                }
                ++end;
            }
            if (end >= size)
                return std::nullopt;
            if (!open.isEmpty() && open.last().object && open.last().expectingKey) {
                const QByteArray raw = text.mid(i + 1, end - i - 1);
                // An escaped key is read by the parser itself, inside an array of one, where no
                // key can repeat.
                const QString key =
                    escaped ? QJsonDocument::fromJson("[\"" + raw + "\"]").array().at(0).toString()
                            : QString::fromUtf8(raw);
                if (open.last().keys.contains(key))
                    return key;
                open.last().keys.insert(key);
                open.last().expectingKey = false;
            }
            i = end;
        } else if (c == '{') {
            open.append({true, true, {}});
        } else if (c == '[') {
            open.append({false, false, {}});
        } else if (c == '}' || c == ']') {
            if (!open.isEmpty())
                open.removeLast();
        } else if (c == ',' && !open.isEmpty() && open.last().object) {
            open.last().expectingKey = true;
        }
    }
    return std::nullopt;
}

} // namespace

QByteArray jsonText(const QJsonValue &value)
{
    return valueText(value);
}

QByteArray rawNumericId(const QByteArray &text)
{
    int i = skipWhitespace(text, 0);
    if (i >= text.size() || text.at(i) != '{')
        return {};
    ++i;
    for (;;) {
        i = skipWhitespace(text, i);
        if (i >= text.size() || text.at(i) != '"')
            return {};
        const int keyEnd = skipString(text, i);
        if (keyEnd < 0)
            return {};
        const bool isId = keyText(text.mid(i + 1, keyEnd - i - 2)) == QLatin1String("id");
        i = skipWhitespace(text, keyEnd);
        if (i >= text.size() || text.at(i) != ':')
            return {};
        i = skipWhitespace(text, i + 1);
        const int valueEnd = skipValue(text, i);
        if (valueEnd < 0)
            return {};
        if (isId) {
            const QByteArray value = text.mid(i, valueEnd - i);
            return isJsonNumber(value) ? value : QByteArray();
        }
        i = skipWhitespace(text, valueEnd);
        if (i >= text.size() || text.at(i) != ',')
            return {};
        ++i;
    }
}

QString errorCodeName(ErrorCode code)
{
    switch (code) {
    case ErrorCode::BadRequest:
        return QStringLiteral("bad_request");
    case ErrorCode::NotConnected:
        return QStringLiteral("not_connected");
    case ErrorCode::Unavailable:
        return QStringLiteral("unavailable");
    case ErrorCode::Busy:
        return QStringLiteral("busy");
    case ErrorCode::Timeout:
        return QStringLiteral("timeout");
    case ErrorCode::NoDevice:
        return QStringLiteral("no_device");
    case ErrorCode::OpenFailed:
        return QStringLiteral("open_failed");
    case ErrorCode::Disconnected:
        return QStringLiteral("disconnected");
    case ErrorCode::Stopped:
        return QStringLiteral("stopped");
    }
    return QStringLiteral("bad_request");
}

bool isBlank(const QByteArray &line)
{
    for (const char c : line) {
        if (c != ' ' && c != '\t' && c != '\r')
            return false;
    }
    return true;
}

ParsedRequest parseRequest(const QByteArray &line)
{
    ParsedRequest parsed;
    if (line.size() > kMaxRequestBytes) {
        parsed.error = tr("The request is longer than %1 bytes").arg(kMaxRequestBytes);
        return parsed;
    }
    QByteArray text = line;
    if (text.endsWith('\r'))
        text.chop(1);
    if (const auto key = repeatedKey(text)) {
        parsed.error = tr("The request repeats the key \"%1\"").arg(key->left(64));
        return parsed;
    }
    QJsonParseError jsonError{};
    const QJsonDocument document = QJsonDocument::fromJson(text, &jsonError);
    if (jsonError.error != QJsonParseError::NoError) {
        parsed.error = tr("The request is not JSON (%1 at byte %2)")
                           .arg(jsonError.errorString())
                           .arg(jsonError.offset);
        return parsed;
    }
    if (!document.isObject()) {
        parsed.error = tr("The request is not a JSON object");
        return parsed;
    }
    parsed.request.arguments = document.object();
    const QJsonValue id = parsed.request.arguments.value(QLatin1String("id"));
    parsed.request.id = id.isUndefined() ? QJsonValue(QJsonValue::Null) : id;
    parsed.request.idText = id.isDouble() ? rawNumericId(text) : QByteArray();
    if (parsed.request.idText.isEmpty())
        parsed.request.idText = valueText(parsed.request.id);
    const QJsonValue deadline = parsed.request.arguments.value(QLatin1String("deadline_ms"));
    if (!deadline.isUndefined()) {
        const double ms = deadline.toDouble(-1.0);
        if (!deadline.isDouble() || !(ms > 0.0) || ms > kMaxDeadlineMs) {
            parsed.error = tr("\"deadline_ms\" must be a number of milliseconds above 0 and at "
                              "most %1")
                               .arg(kMaxDeadlineMs, 0, 'f', 0);
            return parsed;
        }
        parsed.request.deadlineMs = qint64(std::ceil(ms));
    }
    const QJsonValue command = parsed.request.arguments.value(QLatin1String("cmd"));
    if (!command.isString()) {
        parsed.error = command.isUndefined()
                           ? tr("The request names no \"cmd\"")
                           : tr("\"cmd\" must be a string, not %1").arg(typeName(command));
        return parsed;
    }
    parsed.request.command = command.toString();
    parsed.ok = true;
    return parsed;
}

QByteArray okReply(const QJsonValue &id, const QJsonObject &result)
{
    return okReply(valueText(id), result);
}

QByteArray errorReply(const QJsonValue &id, ErrorCode code, const QString &message)
{
    return errorReply(valueText(id), code, message);
}

QByteArray okReply(const QByteArray &idText, const QJsonObject &result)
{
    return "{\"id\":" + idText + ",\"ok\":true,\"result\":" + valueText(result) + "}\n";
}

QByteArray errorReply(const QByteArray &idText, ErrorCode code, const QString &message)
{
    const QJsonObject error{{QStringLiteral("code"), errorCodeName(code)},
                            {QStringLiteral("message"), message}};
    return "{\"id\":" + idText + ",\"ok\":false,\"error\":" + valueText(error) + "}\n";
}

QByteArray eventLine(const QString &name, const QList<QPair<QString, QJsonValue>> &fields)
{
    QList<QPair<QString, QJsonValue>> members;
    members.reserve(fields.size() + 1);
    members.append({QStringLiteral("event"), name});
    members.append(fields);
    return orderedLine(members);
}

QList<QPair<QString, QJsonValue>> stateFields(const PanelState &s)
{
    return {
        {QStringLiteral("connected"), s.connected},
        {QStringLiteral("port"), s.port},
        {QStringLiteral("model"), s.model},
        {QStringLiteral("firmware"), s.firmware},
        {QStringLiteral("homed"), s.homed},
        {QStringLiteral("calibration"), s.calibration},
        {QStringLiteral("calibrating"), s.calibrating},
        {QStringLiteral("loop"), s.closedLoop ? QStringLiteral("closed") : QStringLiteral("open")},
        {QStringLiteral("position_um"), optionalNumber(s.positionUm)},
        {QStringLiteral("target_um"), optionalNumber(s.targetUm)},
        {QStringLiteral("travel_um"), QJsonArray{s.travelMinUm, s.travelMaxUm}},
        {QStringLiteral("move_count"), double(s.moveCount)},
        {QStringLiteral("owner"), s.motionOwner ? QJsonValue(moverKindName(s.motionOwner->kind))
                                                : QJsonValue(QJsonValue::Null)},
    };
}

QJsonObject stateObject(const PanelState &state)
{
    QJsonObject object;
    for (const auto &field : stateFields(state))
        object.insert(field.first, field.second);
    return object;
}

Arguments::Arguments(const QJsonObject &o) : object(o)
{
    read.insert(QStringLiteral("id"));
    read.insert(QStringLiteral("cmd"));
    // Read by the connection before the command runs.
    read.insert(QStringLiteral("deadline_ms"));
}

void Arguments::fail(const QString &message)
{
    if (problem.isEmpty())
        problem = message;
}

std::optional<QJsonValue> Arguments::take(const QString &key, bool required)
{
    read.insert(key);
    if (!problem.isEmpty())
        return std::nullopt;
    const QJsonValue value = object.value(key);
    if (value.isUndefined()) {
        if (required)
            fail(tr("The argument \"%1\" is missing").arg(key));
        return std::nullopt;
    }
    return value;
}

double Arguments::number(const QString &key)
{
    const auto value = optionalNumber(key);
    if (!value)
        fail(tr("The argument \"%1\" is missing").arg(key));
    return value.value_or(0.0);
}

std::optional<double> Arguments::optionalNumber(const QString &key)
{
    const auto value = take(key, false);
    if (!value)
        return std::nullopt;
    // The parser turns numbers too large for a double into infinity; no control takes those.
    if (!value->isDouble() || !std::isfinite(value->toDouble())) {
        fail(tr("\"%1\" must be a finite number, not %2").arg(key, typeName(*value)));
        return std::nullopt;
    }
    return value->toDouble();
}

std::optional<int> Arguments::optionalInteger(const QString &key)
{
    const auto value = optionalNumber(key);
    if (!value)
        return std::nullopt;
    if (std::floor(*value) != *value || *value < double(std::numeric_limits<int>::min()) ||
        *value > double(std::numeric_limits<int>::max())) {
        fail(tr("\"%1\" must be a whole number within the range of the control").arg(key));
        return std::nullopt;
    }
    return int(*value);
}

bool Arguments::optionalBool(const QString &key, bool fallback)
{
    const auto value = take(key, false);
    if (!value)
        return fallback;
    if (!value->isBool()) {
        fail(tr("\"%1\" must be true or false, not %2").arg(key, typeName(*value)));
        return fallback;
    }
    return value->toBool();
}

QString Arguments::string(const QString &key)
{
    const auto value = optionalString(key);
    if (!value)
        fail(tr("The argument \"%1\" is missing").arg(key));
    return value.value_or(QString());
}

std::optional<QString> Arguments::optionalString(const QString &key)
{
    const auto value = take(key, false);
    if (!value)
        return std::nullopt;
    if (!value->isString()) {
        fail(tr("\"%1\" must be a string, not %2").arg(key, typeName(*value)));
        return std::nullopt;
    }
    return value->toString();
}

QString Arguments::choice(const QString &key, const QStringList &choices)
{
    const QString value = string(key);
    if (problem.isEmpty() && !choices.contains(value))
        fail(tr("\"%1\" must be one of %2").arg(key, choices.join(QStringLiteral(", "))));
    return value;
}

QStringList Arguments::stringList(const QString &key)
{
    const auto value = take(key, true);
    if (!value)
        return {};
    if (!value->isArray()) {
        fail(tr("\"%1\" must be an array of strings, not %2").arg(key, typeName(*value)));
        return {};
    }
    QStringList list;
    const QJsonArray array = value->toArray();
    for (const QJsonValue &item : array) {
        if (!item.isString()) {
            fail(tr("\"%1\" must be an array of strings").arg(key));
            return {};
        }
        list.append(item.toString());
    }
    return list;
}

QJsonArray Arguments::array(const QString &key)
{
    const auto value = take(key, true);
    if (!value)
        return {};
    if (!value->isArray()) {
        fail(tr("\"%1\" must be an array, not %2").arg(key, typeName(*value)));
        return {};
    }
    return value->toArray();
}

bool Arguments::finish()
{
    if (problem.isEmpty()) {
        for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
            if (!read.contains(it.key())) {
                fail(tr("Unknown argument \"%1\"").arg(it.key()));
                break;
            }
        }
    }
    return problem.isEmpty();
}

} // namespace ControlProtocol
