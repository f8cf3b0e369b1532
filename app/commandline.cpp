#include "commandline.h"

#include "mirastellon_version.h"

#include <QCommandLineParser>

namespace {

const QString kControl = QStringLiteral("control");

// "--control" takes a value only when one follows it: a following word that does not start with
// '-' is its path. QCommandLineParser knows options with a value and options without, so the
// argument list is rewritten into the one-word form ("--control=PATH", "--control=") first.
QStringList joinOptionalValues(const QStringList &arguments)
{
    QStringList joined;
    bool optionsEnded = false;
    for (int i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (i == 0 || optionsEnded) {
            joined << argument;
            continue;
        }
        if (argument == QLatin1String("--")) {
            optionsEnded = true;
            joined << argument;
        } else if (argument == QLatin1String("--control")) {
            const bool valueFollows =
                i + 1 < arguments.size() && !arguments.at(i + 1).startsWith(QLatin1Char('-'));
            joined << QStringLiteral("--control=") + (valueFollows ? arguments.at(++i) : QString());
        } else {
            joined << argument;
        }
    }
    return joined;
}

// The argument as the user typed it, for a message about an unknown option named `name`.
QString typedOption(const QStringList &arguments, const QString &name)
{
    for (int i = 1; i < arguments.size(); ++i) {
        QString argument = arguments.at(i).section(QLatin1Char('='), 0, 0);
        const QString bare = argument.mid(argument.startsWith(QLatin1String("--")) ? 2 : 1);
        if (argument.startsWith(QLatin1Char('-')) && bare == name)
            return argument;
    }
    return QLatin1Char('-') + name;
}

} // namespace

CommandLineOptions parseCommandLine(const QStringList &arguments)
{
    QCommandLineParser parser;
    // "-port PATH" works as "--port PATH", as Qt's own single-dash options do.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QString());
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")}, QString());
    const QCommandLineOption port(QStringLiteral("port"), QString(), QStringLiteral("PATH"));
    const QCommandLineOption control(kControl, QString(), QStringLiteral("PATH"));
    const QCommandLineOption headless(QStringLiteral("headless"), QString());
    const QCommandLineOption reconnect(QStringLiteral("reconnect"), QString());
    const QCommandLineOption log(QStringLiteral("log"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption trace(QStringLiteral("trace"), QString());
    parser.addOptions({help, version, port, control, headless, reconnect, log, trace});

    const QStringList joined = joinOptionalValues(arguments);
    const bool parsed = parser.parse(joined);

    CommandLineOptions options;
    options.helpRequested = parser.isSet(help);
    options.versionRequested = parser.isSet(version);
    if (!parsed) {
        const QStringList unknown = parser.unknownOptionNames();
        options.error = unknown.isEmpty() ? parser.errorText()
                                          : QStringLiteral("unknown option '%1'")
                                                .arg(typedOption(arguments, unknown.first()));
        return options;
    }
    if (!parser.positionalArguments().isEmpty()) {
        options.error =
            QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().first());
        return options;
    }
    if (parser.isSet(port)) {
        options.port = parser.values(port).constLast();
        if (options.port.isEmpty()) {
            options.error = QStringLiteral("--port needs a path");
            return options;
        }
    }
    if (parser.isSet(control)) {
        options.controlRequested = true;
        options.controlPath = parser.values(control).constLast();
    }
    if (parser.isSet(log)) {
        options.logPath = parser.values(log).constLast();
        if (options.logPath.isEmpty()) {
            options.error = QStringLiteral("--log needs a file");
            return options;
        }
    }
    options.headless = parser.isSet(headless);
    options.reconnect = parser.isSet(reconnect);
    options.trace = parser.isSet(trace);
    return options;
}

QString commandLineHelp()
{
    return QStringLiteral(
        "Usage: mirastellon [OPTION]...\n"
        "Control panel for a single-axis linear positioning stage on a serial line.\n"
        "\n"
        "Options:\n"
        "      --port PATH       offer PATH as the serial port and select it; for a\n"
        "                        terminal the system does not list, such as\n"
        "                        /dev/serial/by-id/...\n"
        "      --control[=PATH]  let scripts drive the panel through a local socket at\n"
        "                        PATH (default $XDG_RUNTIME_DIR/mirastellon.sock, else\n"
        "                        /tmp/mirastellon-UID/mirastellon.sock)\n"
        "      --log FILE        write every command sent, every reply received and\n"
        "                        every event to FILE, one JSON line each (continued\n"
        "                        if it exists; rotated at 10 MB, keeping 5 files)\n"
        "      --headless        show no window and no message box (the offscreen\n"
        "                        platform); errors go to standard error and to\n"
        "                        control clients, for a machine without a desktop\n"
        "      --reconnect       turn on \"Reconnect automatically\": when the link\n"
        "                        drops, wait for the same device and connect again\n"
        "      --trace           open the Trace window at start\n"
        "  -h, --help            display this help and exit\n"
        "  -v, --version         output version information and exit\n"
        "\n"
        "Qt's own options, such as -platform NAME, -style NAME and -reverse, work too.\n"
        "\n"
        "Exit status:\n"
        " 0  if the window was closed normally,\n"
        " 2  if the command line was wrong or the control socket's path is taken.\n");
}

QString commandLineVersion()
{
    return QStringLiteral(
               "mirastellon %1\n"
               "Copyright (C) %2 Mirastellon developers\n"
               "License GPLv3+: GNU GPL version 3 or later <https://gnu.org/licenses/gpl.html>.\n"
               "This is free software: you are free to change and redistribute it.\n"
               "There is NO WARRANTY, to the extent permitted by law.\n")
        .arg(QStringLiteral(MIRASTELLON_VERSION), QStringLiteral(MIRASTELLON_COPYRIGHT_YEARS));
}
