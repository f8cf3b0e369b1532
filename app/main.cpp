#include "commandline.h"
#include "mainwindow.h"
#include "mirastellon_version.h"
#include "panel.h"
#include "windowicon.h"

#include <QApplication>
#include <QDir>
#include <QIcon>

#include <cstdio>

namespace {

QStringList rawArguments(int argc, char **argv)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    return arguments;
}

// Whether QApplication has a display to start on: one named in the environment or on the command
// line.
bool displayNamed(const QStringList &arguments)
{
    for (const char *variable : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        if (!qEnvironmentVariableIsEmpty(variable))
            return true;
    }
    return arguments.contains(QLatin1String("-platform")) ||
           arguments.contains(QLatin1String("--platform"));
}

int fail(const QString &error)
{
    std::fprintf(stderr, "mirastellon: %s\nTry 'mirastellon --help' for more information.\n",
                 qPrintable(error));
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    // Help and version are answered before QApplication opens the display, so they work on a
    // machine without one.
    const QStringList arguments = rawArguments(argc, argv);
    const CommandLineOptions early = parseCommandLine(arguments);
    if (early.helpRequested || early.versionRequested) {
        const QString text = early.helpRequested ? commandLineHelp() : commandLineVersion();
        std::fputs(text.toLocal8Bit().constData(), stdout);
        return 0;
    }

    // Without a desktop the panel runs on the offscreen platform, chosen before Qt starts.
    const bool headless = arguments.contains(QLatin1String("--headless"));
    if (headless)
        qputenv("QT_QPA_PLATFORM", "offscreen");

    // Qt's own options look wrong until QApplication has taken them, so a wrong command line is
    // only known after it started; without any display to start on it would abort first.
    if (!early.error.isEmpty() && !displayNamed(arguments))
        return fail(early.error);

    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("mirastellon"));
    QCoreApplication::setApplicationVersion(QStringLiteral(MIRASTELLON_VERSION));
    // Lets a Wayland compositor find the desktop entry, and with it the icon, for the window.
    QGuiApplication::setDesktopFileName(QStringLiteral("mirastellon"));

    // QApplication has taken its own options (-platform, -style, ...); what is left is ours.
    const CommandLineOptions options = parseCommandLine(QCoreApplication::arguments());
    if (!options.error.isEmpty())
        return fail(options.error);

    Panel panel;
    if (!options.port.isEmpty())
        panel.preselectPort(options.port);
    panel.setHeadless(options.headless);
    if (options.reconnect)
        panel.setReconnectAutomatically(true);
    QString controlError;
    if (options.controlRequested && !panel.startControlServer(options.controlPath, &controlError)) {
        std::fprintf(stderr, "mirastellon: %s\n", qPrintable(controlError));
        return 2;
    }
    // A log that cannot be written is reported and left off; the panel starts all the same.
    QString logError;
    if (!options.logPath.isEmpty() && !panel.startSessionLog(options.logPath, &logError))
        panel.reportLogProblem(Panel::tr("Session log not started: %1").arg(logError));
    MainWindow &window = panel.window();

    // The working directory's images/ first, as a run from the source tree expects; then the
    // installation's own copy, so a start from the desktop entry has the icon too.
    const QIcon icon = loadWindowIcon(QDir::currentPath(), QCoreApplication::applicationDirPath());
    window.setWindowIcon(icon);
    if (!options.headless) {
        window.show();
        if (options.trace)
            panel.showTrace();
    }
    return app.exec();
}
