// mirastellon-ctl: drives a running panel through its control socket from a shell. Exit status
// 0 when the panel answered ok, 1 when it refused (the message goes to standard error), 2 when
// the panel cannot be reached or the command line is wrong.

#include "socketpath.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QRegularExpression>

#include <cstdio>
#include <optional>

namespace {

enum Exit { Ok = 0, Refused = 1, Unreachable = 2 };

// Blocking calls are fine here: this program has no window to keep alive.
constexpr int kConnectTimeoutMs = 3000;
// Generous for a reply that comes at once; a waiting move adds its own timeout to it.
constexpr int kReplyTimeoutMs = 15000;

// A negative number given as a value ("move-by -50") is not an option; the parser cannot tell,
// so such words are marked before parsing and unmarked after.
const QChar kNumberMark(0x1);

void printErr(const QString &text)
{
    fprintf(stderr, "mirastellon-ctl: %s\n", qPrintable(text));
}

int usage(const QString &message)
{
    printErr(message);
    fprintf(stderr, "Try 'mirastellon-ctl --help'.\n");
    return Unreachable;
}

QString plainValue(const QJsonValue &value)
{
    switch (value.type()) {
    case QJsonValue::Null:
    case QJsonValue::Undefined:
        return {};
    case QJsonValue::Bool:
        return value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    case QJsonValue::Double:
        return QString::number(value.toDouble(), 'g', 15);
    case QJsonValue::String:
        return value.toString();
    case QJsonValue::Array: {
        QStringList items;
        const QJsonArray array = value.toArray();
        for (const QJsonValue &item : array)
            items.append(plainValue(item));
        return items.join(QLatin1Char(' '));
    }
    case QJsonValue::Object:
        return QString::fromUtf8(QJsonDocument(value.toObject()).toJson(QJsonDocument::Compact));
    }
    return {};
}

// The order in which --plain prints the members of a result, one value per line.
const QStringList kPlainOrder = {
    QStringLiteral("connected"), QStringLiteral("port"),        QStringLiteral("model"),
    QStringLiteral("firmware"),  QStringLiteral("homed"),       QStringLiteral("calibration"),
    QStringLiteral("loop"),      QStringLiteral("position_um"), QStringLiteral("target_um"),
    QStringLiteral("travel_um"), QStringLiteral("elapsed_s"),
};

void printResult(const QJsonObject &result, bool plain)
{
    if (!plain) {
        printf("%s\n", QJsonDocument(result).toJson(QJsonDocument::Compact).constData());
        return;
    }
    QStringList keys;
    for (const QString &key : kPlainOrder) {
        if (result.contains(key))
            keys.append(key);
    }
    for (auto it = result.constBegin(); it != result.constEnd(); ++it) {
        if (!keys.contains(it.key()))
            keys.append(it.key());
    }
    for (const QString &key : keys)
        printf("%s\n", qPrintable(plainValue(result.value(key))));
}

void printEvent(const QJsonObject &event, bool plain, const QByteArray &raw)
{
    if (!plain) {
        fwrite(raw.constData(), 1, size_t(raw.size()), stdout);
        if (!raw.endsWith('\n'))
            fputc('\n', stdout);
    } else {
        QStringList values{event.value(QLatin1String("event")).toString()};
        for (auto it = event.constBegin(); it != event.constEnd(); ++it) {
            if (it.key() != QLatin1String("event"))
                values.append(plainValue(it.value()));
        }
        printf("%s\n", qPrintable(values.join(QLatin1Char(' '))));
    }
    fflush(stdout);
}

class Client {
public:
    // Connects to the panel at path, if it is this user's: nothing is sent to a socket that
    // another local user put there.
    bool open(const QString &path, bool defaultPath)
    {
        QString problem = SocketPath::lengthProblem(path);
        if (problem.isEmpty() && defaultPath)
            problem = SocketPath::prepareDefaultFolder(SocketPath::FolderAction::CheckOnly);
        if (problem.isEmpty())
            problem = SocketPath::socketOwnerProblem(path);
        if (!problem.isEmpty()) {
            printErr(problem);
            return false;
        }
        socket.connectToServer(path);
        if (!socket.waitForConnected(kConnectTimeoutMs)) {
            printErr(
                QStringLiteral("cannot reach the panel at %1: %2 (is it running with --control?)")
                    .arg(path, socket.errorString()));
            return false;
        }
        problem = SocketPath::peerProblem(int(socket.socketDescriptor()), path);
        if (!problem.isEmpty()) {
            socket.abort();
            printErr(problem);
            return false;
        }
        return true;
    }

    bool send(const QJsonObject &request)
    {
        socket.write(QJsonDocument(request).toJson(QJsonDocument::Compact) + '\n');
        return socket.waitForBytesWritten(kConnectTimeoutMs) || socket.bytesToWrite() == 0;
    }

    // The next line from the panel; false when the link ended or nothing came in time.
    bool readLine(QByteArray *line, int timeoutMs)
    {
        while (!socket.canReadLine()) {
            if (socket.state() != QLocalSocket::ConnectedState)
                return false;
            if (!socket.waitForReadyRead(timeoutMs))
                return socket.canReadLine() && readLine(line, 0);
        }
        *line = socket.readLine();
        return true;
    }

    QLocalSocket socket;
};

// The options besides --help and --version.
struct Options {
    QCommandLineOption socket{
        QStringLiteral("socket"),
        QStringLiteral("Control socket of the panel (default %1).").arg(SocketPath::defaultPath()),
        QStringLiteral("PATH")};
    QCommandLineOption plain{QStringLiteral("plain"),
                             QStringLiteral("Print one value per line instead of JSON.")};
    QCommandLineOption wait{QStringLiteral("wait"),
                            QStringLiteral("move-to, move-by: answer once the stage settled.")};
    QCommandLineOption tolerance{
        QStringLiteral("tolerance"),
        QStringLiteral("With --wait: settled within UM micrometres (default 0.5)."),
        QStringLiteral("UM")};
    QCommandLineOption timeout{QStringLiteral("timeout"),
                               QStringLiteral("With --wait: give up after S seconds (default 30)."),
                               QStringLiteral("S")};
};

void describe(QCommandLineParser &parser, const Options &options)
{
    parser.setApplicationDescription(QStringLiteral(
        "Drives a running Mirastellon panel (started with --control) through its control "
        "socket.\n\n"
        "Commands:\n"
        "  state               the panel's state\n"
        "  connect [PORT]      connect (to PORT, else the chosen port), wait for the controller\n"
        "  home                home the stage\n"
        "  move-to UM [--wait] move to UM micrometres\n"
        "  move-by UM [--wait] move by UM micrometres (negative: backwards)\n"
        "  stop                stop the stage\n"
        "  send LINE           send LINE as if typed into the console\n"
        "  watch               print position, state and console events until interrupted\n"
        "  log start FILE      start the panel's session log in FILE\n"
        "  log stop            stop the session log\n\n"
        "Exit status: 0 done, 1 the panel refused (reason on standard error), 2 the panel "
        "cannot be reached or the command line is wrong."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOptions(
        {options.socket, options.plain, options.wait, options.tolerance, options.timeout});
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("What to do."),
                                 QStringLiteral("command [arguments]"));
}

// The words after the options, with the marks on negative numbers taken off again.
QStringList commandWords(const QCommandLineParser &parser)
{
    QStringList words = parser.positionalArguments();
    for (QString &word : words) {
        if (word.startsWith(kNumberMark))
            word.remove(0, 1);
    }
    return words;
}

std::optional<double> finiteNumber(const QString &text)
{
    bool ok = false;
    const double value = text.toDouble(&ok);
    if (!ok || !qIsFinite(value))
        return std::nullopt;
    return value;
}

struct Request {
    QString command;
    QJsonObject json{{QStringLiteral("id"), 1}};
    // How long a waiting move may take, beyond the time any reply may take.
    double waitSeconds = 0.0;
};

// The request the command line asks for; nothing (and the reason printed) if it is wrong.
std::optional<Request> requestFor(const QCommandLineParser &parser, const Options &options)
{
    QStringList words = commandWords(parser);
    if (words.isEmpty()) {
        usage(QStringLiteral("no command given"));
        return std::nullopt;
    }
    Request request;
    const QString command = request.command = words.takeFirst();
    QJsonObject &json = request.json;
    const auto refuse = [](const QString &message) {
        usage(message);
        return std::nullopt;
    };

    if (command == QLatin1String("state") || command == QLatin1String("home") ||
        command == QLatin1String("stop") || command == QLatin1String("watch")) {
        if (!words.isEmpty())
            return refuse(QStringLiteral("%1 takes no arguments").arg(command));
        json.insert(QStringLiteral("cmd"), command);
        if (command == QLatin1String("watch")) {
            json.insert(QStringLiteral("cmd"), QStringLiteral("subscribe"));
            json.insert(QStringLiteral("events"),
                        QJsonArray{QStringLiteral("position"), QStringLiteral("state"),
                                   QStringLiteral("console")});
        }
    } else if (command == QLatin1String("connect")) {
        if (words.size() > 1)
            return refuse(QStringLiteral("connect takes at most one port"));
        json.insert(QStringLiteral("cmd"), command);
        if (!words.isEmpty())
            json.insert(QStringLiteral("port"), words.first());
    } else if (command == QLatin1String("move-to") || command == QLatin1String("move-by")) {
        if (words.size() != 1)
            return refuse(QStringLiteral("%1 takes one distance in micrometres").arg(command));
        const std::optional<double> um = finiteNumber(words.first());
        if (!um)
            return refuse(QStringLiteral("not a number: %1").arg(words.first()));
        json.insert(QStringLiteral("cmd"), command == QLatin1String("move-to")
                                               ? QStringLiteral("move_to")
                                               : QStringLiteral("move_by"));
        json.insert(QStringLiteral("um"), *um);
        if (parser.isSet(options.wait)) {
            json.insert(QStringLiteral("wait"), true);
            request.waitSeconds = 30.0;
            if (parser.isSet(options.tolerance)) {
                const std::optional<double> tolerance =
                    finiteNumber(parser.value(options.tolerance));
                if (!tolerance)
                    return refuse(QStringLiteral("--tolerance needs a number"));
                json.insert(QStringLiteral("tolerance_um"), *tolerance);
            }
            if (parser.isSet(options.timeout)) {
                const std::optional<double> seconds = finiteNumber(parser.value(options.timeout));
                if (!seconds || *seconds <= 0.0 || *seconds > 86400.0)
                    return refuse(QStringLiteral("--timeout needs seconds, above 0"));
                request.waitSeconds = *seconds;
                json.insert(QStringLiteral("timeout_s"), *seconds);
            }
        }
    } else if (command == QLatin1String("send")) {
        if (words.size() != 1)
            return refuse(QStringLiteral("send takes one line (quote it)"));
        json.insert(QStringLiteral("cmd"), command);
        json.insert(QStringLiteral("line"), words.first());
    } else if (command == QLatin1String("log")) {
        const QString action = words.value(0);
        if (!((action == QLatin1String("start") && words.size() == 2) ||
              (action == QLatin1String("stop") && words.size() == 1)))
            return refuse(QStringLiteral("log takes start FILE or stop"));
        json.insert(QStringLiteral("cmd"), command);
        json.insert(QStringLiteral("action"), action);
        // The panel runs in a folder of its own: the file is named from here.
        if (action == QLatin1String("start"))
            json.insert(QStringLiteral("path"), QFileInfo(words.at(1)).absoluteFilePath());
    } else {
        return refuse(QStringLiteral("unknown command: %1").arg(command));
    }
    if ((parser.isSet(options.wait) || parser.isSet(options.tolerance) ||
         parser.isSet(options.timeout)) &&
        !json.contains(QStringLiteral("wait")))
        return refuse(QStringLiteral("--wait, --tolerance and --timeout belong to move-to and "
                                     "move-by --wait"));
    // Once this program has given up, the request must not start any more: the panel answers
    // "timeout" instead of running it late.
    json.insert(QStringLiteral("deadline_ms"), kReplyTimeoutMs);
    return request;
}

// Reads the panel's answer to request (and for watch, the events after it) and prints it.
int converse(Client &client, const Request &request, bool plain)
{
    const int replyTimeoutMs = kReplyTimeoutMs + int(request.waitSeconds * 1000.0);
    const bool watching = request.command == QLatin1String("watch");
    for (;;) {
        QByteArray line;
        if (!client.readLine(&line, replyTimeoutMs)) {
            if (client.socket.state() != QLocalSocket::ConnectedState)
                printErr(QStringLiteral("the panel closed the connection"));
            else
                printErr(QStringLiteral("the panel did not answer in time"));
            return Unreachable;
        }
        QJsonParseError error{};
        const QJsonDocument document = QJsonDocument::fromJson(line, &error);
        if (!document.isObject()) {
            printErr(QStringLiteral("unreadable line from the panel: %1")
                         .arg(QString::fromUtf8(line.trimmed().left(200))));
            return Unreachable;
        }
        const QJsonObject object = document.object();
        if (object.contains(QLatin1String("event"))) {
            if (watching)
                printEvent(object, plain, line);
            continue;
        }
        if (!object.value(QLatin1String("ok")).toBool()) {
            const QJsonObject failure = object.value(QLatin1String("error")).toObject();
            printErr(
                QStringLiteral("%1: %2").arg(failure.value(QLatin1String("code")).toString(),
                                             failure.value(QLatin1String("message")).toString()));
            return Refused;
        }
        if (!watching) {
            printResult(object.value(QLatin1String("result")).toObject(), plain);
            return Ok;
        }
        // Subscribed: events follow until the panel goes away or the user interrupts.
        for (;;) {
            if (!client.readLine(&line, -1)) {
                printErr(QStringLiteral("the panel closed the connection"));
                return Unreachable;
            }
            const QJsonDocument event = QJsonDocument::fromJson(line);
            if (event.isObject())
                printEvent(event.object(), plain, line);
        }
    }
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("mirastellon-ctl"));
    QCoreApplication::setApplicationVersion(QStringLiteral(MIRASTELLON_VERSION));

    QCommandLineParser parser;
    const Options options;
    describe(parser, options);

    static const QRegularExpression negativeNumber(QStringLiteral("^-[0-9.]"));
    QStringList arguments = QCoreApplication::arguments();
    for (int i = 1; i < arguments.size(); ++i) {
        if (negativeNumber.match(arguments.at(i)).hasMatch())
            arguments[i].prepend(kNumberMark);
    }
    if (!parser.parse(arguments))
        return usage(parser.errorText());
    if (parser.isSet(QStringLiteral("help"))) {
        printf("%s", qPrintable(parser.helpText()));
        return Ok;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        printf("mirastellon-ctl %s\n", MIRASTELLON_VERSION);
        return Ok;
    }
    const std::optional<Request> request = requestFor(parser, options);
    if (!request)
        return Unreachable;

    Client client;
    const bool defaultPath = !parser.isSet(options.socket);
    const QString path = defaultPath ? SocketPath::defaultPath() : parser.value(options.socket);
    if (!client.open(path, defaultPath))
        return Unreachable;
    if (!client.send(request->json)) {
        printErr(QStringLiteral("cannot send to the panel: %1").arg(client.socket.errorString()));
        return Unreachable;
    }
    return converse(client, *request, parser.isSet(options.plain));
}
