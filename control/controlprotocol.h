#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QSet>
#include <QString>
#include <QStringList>

#include <optional>

struct PanelState;

// The control socket speaks JSON lines: one request object per line, one reply line per request
// carrying the request's id, and event lines without an id for subscribers. These functions
// read and write those lines and do nothing else, so the fuzzer can drive them alone.
namespace ControlProtocol {

// A request line longer than this is refused and its connection closed: no script needs more,
// and a client that never sends a line end must not grow the panel's memory.
inline constexpr int kMaxRequestBytes = 64 * 1024;
// A client that lets this much of its output pile up unread is disconnected. The line it is
// being sent does not count: one reply may be larger (the log of a long sequence run).
inline constexpr qint64 kMaxPendingOutputBytes = 1024 * 1024;
// The longest "deadline_ms" a request may carry: a day, like the longest waiting move.
inline constexpr double kMaxDeadlineMs = 86400.0 * 1000.0;

enum class ErrorCode {
    BadRequest,
    NotConnected,
    Unavailable,
    Busy,
    Timeout,
    NoDevice,
    OpenFailed,
    Disconnected,
    // A stop (from anyone) ended a waiting move before it settled.
    Stopped,
};
QString errorCodeName(ErrorCode code);

struct Request {
    // Any JSON value the client chose; null when the line carried none or could not be read.
    QJsonValue id;
    // The id as the reply writes it: a number exactly as the client wrote it (a double would
    // round an id beyond 2^53), anything else as JSON.
    QByteArray idText = QByteArrayLiteral("null");
    // How long the request may wait for its turn, from the moment the panel read it; past that
    // it is answered with "timeout" and not run.
    std::optional<qint64> deadlineMs;
    QString command;
    // The whole request object, "id" and "cmd" included.
    QJsonObject arguments;
};

struct ParsedRequest {
    bool ok = false;
    Request request;
    // Why the line is not a request, for a person.
    QString error;
};

// Reads one request line; a trailing "\r" (from a client that ends lines with CRLF) is ignored.
ParsedRequest parseRequest(const QByteArray &line);
// Blank lines are no requests and get no reply.
bool isBlank(const QByteArray &line);

// The text of the top-level "id" member's value in a JSON object's text, when it is a number
// as JSON writes one; empty otherwise. For text that parsed as an object; on anything else it
// returns a piece of the text or nothing, and never reads past its end.
QByteArray rawNumericId(const QByteArray &objectText);
// A JSON value alone, compact.
QByteArray jsonText(const QJsonValue &value);

QByteArray okReply(const QJsonValue &id, const QJsonObject &result);
QByteArray errorReply(const QJsonValue &id, ErrorCode code, const QString &message);
// The same with the id as JSON text (Request::idText).
QByteArray okReply(const QByteArray &idText, const QJsonObject &result);
QByteArray errorReply(const QByteArray &idText, ErrorCode code, const QString &message);
// An event line: {"event": name, ...fields}. Fields keep the order given.
QByteArray eventLine(const QString &name, const QList<QPair<QString, QJsonValue>> &fields);

// The panel's state as the "state" command and the state event show it, in this order.
QList<QPair<QString, QJsonValue>> stateFields(const PanelState &state);
QJsonObject stateObject(const PanelState &state);

// Reads the arguments of one request. The first problem is kept (later reads then return
// defaults), and finish() also refuses any argument the command does not know, so that a
// misspelt "wiat" is reported instead of silently ignored.
class Arguments {
public:
    explicit Arguments(const QJsonObject &object);

    double number(const QString &key);
    std::optional<double> optionalNumber(const QString &key);
    std::optional<int> optionalInteger(const QString &key);
    bool optionalBool(const QString &key, bool fallback);
    QString string(const QString &key);
    std::optional<QString> optionalString(const QString &key);
    // A string that must be one of choices.
    QString choice(const QString &key, const QStringList &choices);
    QStringList stringList(const QString &key);
    // An array of any values, checked by the caller.
    QJsonArray array(const QString &key);

    // True when every read succeeded and no unknown argument was given.
    bool finish();
    QString error() const { return problem; }

private:
    std::optional<QJsonValue> take(const QString &key, bool required);
    void fail(const QString &message);

    QJsonObject object;
    QSet<QString> read;
    QString problem;
};

} // namespace ControlProtocol
