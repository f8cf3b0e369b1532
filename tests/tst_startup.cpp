// How the panel and the simulator start: their command lines as a parser and as programs (help,
// version, wrong options, Qt's own options), and where the panel finds its window icon in a source
// tree, in an installation and in the icon theme.

#include "commandline.h"
#include "mirastellon_version.h"
#include "windowicon.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString kIcon = QStringLiteral("images/Mirastellon_Icon_only@500x.png");

struct Run {
    int exitCode = -1;
    bool crashed = false;
    QString out;
    QString err;
};

// Runs a program to its end; the tests that need a window give it -platform offscreen.
Run run(const QString &program, const QStringList &arguments,
        const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment())
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    Run result;
    if (!process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished();
        result.crashed = true;
        return result;
    }
    result.crashed = process.exitStatus() != QProcess::NormalExit;
    result.exitCode = process.exitCode();
    result.out = QString::fromLocal8Bit(process.readAllStandardOutput());
    result.err = QString::fromLocal8Bit(process.readAllStandardError());
    return result;
}

QString panel()
{
    return QString::fromLocal8Bit(qgetenv("MIRASTELLON"));
}

QString simulator()
{
    return QString::fromLocal8Bit(qgetenv("DVXSIM"));
}

// Copies the window icon of the source tree to dir/relative, creating the folders.
bool placeIcon(const QString &dir, const QString &relative)
{
    const QString source = QStringLiteral(MIRASTELLON_SOURCE_DIR "/") + kIcon;
    const QString target = QDir(dir).filePath(relative);
    return !source.isEmpty() && QDir().mkpath(QFileInfo(target).absolutePath()) &&
           QFile::copy(source, target);
}

} // namespace

class TestStartup : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();

    void parse_data();
    void parse();
    void helpNamesEveryOption();
    void logOption();

    void panelHelpAndVersion_data();
    void panelHelpAndVersion();
    void panelRefusesWrongCommandLine_data();
    void panelRefusesWrongCommandLine();
    void panelWrongCommandLineWithoutDisplay();
    void simulatorCommandLine_data();
    void simulatorCommandLine();

    void windowIconLookup();
    void windowIconFromTheme();
};

void TestStartup::initTestCase()
{
    QVERIFY2(QFileInfo(panel()).isExecutable(), "MIRASTELLON names no panel program");
    QVERIFY2(QFileInfo(simulator()).isExecutable(), "DVXSIM names no simulator program");
}

void TestStartup::parse_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("port");
    QTest::addColumn<bool>("control");
    QTest::addColumn<QString>("controlPath");
    QTest::addColumn<bool>("help");
    QTest::addColumn<bool>("version");
    QTest::addColumn<QString>("error");

    const QString none;
    QTest::newRow("nothing") << QStringList() << none << false << none << false << false << none;
    QTest::newRow("port") << QStringList({"--port", "/dev/ttyUSB0"}) << "/dev/ttyUSB0" << false
                          << none << false << false << none;
    QTest::newRow("port=") << QStringList({"--port=/dev/pts/7"}) << "/dev/pts/7" << false << none
                           << false << false << none;
    QTest::newRow("single-dash port") << QStringList({"-port", "/dev/pts/7"}) << "/dev/pts/7"
                                      << false << none << false << false << none;
    QTest::newRow("last port wins") << QStringList({"--port", "/a", "--port", "/b"}) << "/b"
                                    << false << none << false << false << none;
    // A path that starts with '-' is still the value of an option that always takes one.
    QTest::newRow("port with dash")
        << QStringList({"--port", "-odd"}) << "-odd" << false << none << false << false << none;

    QTest::newRow("control alone")
        << QStringList({"--control"}) << none << true << none << false << false << none;
    QTest::newRow("control path") << QStringList({"--control", "/run/x.sock"}) << none << true
                                  << "/run/x.sock" << false << false << none;
    QTest::newRow("control=path") << QStringList({"--control=/run/x.sock"}) << none << true
                                  << "/run/x.sock" << false << false << none;
    QTest::newRow("control=") << QStringList({"--control="}) << none << true << none << false
                              << false << none;
    QTest::newRow("control then option") << QStringList({"--control", "--port", "/dev/pts/3"})
                                         << "/dev/pts/3" << true << none << false << false << none;
    QTest::newRow("option then control") << QStringList({"--port", "/dev/pts/3", "--control"})
                                         << "/dev/pts/3" << true << none << false << false << none;
    QTest::newRow("control path then port") << QStringList({"--control", "s.sock", "--port", "/p"})
                                            << "/p" << true << "s.sock" << false << false << none;
    // "--" ends the options: what follows is an argument, which the panel takes none of.
    QTest::newRow("control before --") << QStringList({"--control", "--", "x"}) << none << true
                                       << none << false << false << "unexpected argument 'x'";

    QTest::newRow("help") << QStringList({"--help"}) << none << false << none << true << false
                          << none;
    QTest::newRow("-h") << QStringList({"-h"}) << none << false << none << true << false << none;
    QTest::newRow("version") << QStringList({"--version"}) << none << false << none << false << true
                             << none;
    QTest::newRow("-v") << QStringList({"-v"}) << none << false << none << false << true << none;

    QTest::newRow("unknown") << QStringList({"--bogus"}) << none << false << none << false << false
                             << "unknown option '--bogus'";
    QTest::newRow("unknown with value") << QStringList({"--bogus=1"}) << none << false << none
                                        << false << false << "unknown option '--bogus'";
    QTest::newRow("unknown single dash")
        << QStringList({"-x"}) << none << false << none << false << false << "unknown option '-x'";
    QTest::newRow("missing port") << QStringList({"--port"}) << none << false << none << false
                                  << false << "Missing value after '--port'.";
    QTest::newRow("empty port") << QStringList({"--port="}) << none << false << none << false
                                << false << "--port needs a path";
    QTest::newRow("argument") << QStringList({"ttyUSB0"}) << none << false << none << false << false
                              << "unexpected argument 'ttyUSB0'";
    // Help is answered whatever else is wrong, so it can be asked for with Qt's options present.
    QTest::newRow("help among unknown")
        << QStringList({"-platform", "xcb", "--help"}) << none << false << none << true << false
        << "unknown option '-platform'";
    QTest::newRow("Qt option left in") << QStringList({"-style", "Fusion"}) << none << false << none
                                       << false << false << "unknown option '-style'";
}

void TestStartup::parse()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, port);
    QFETCH(bool, control);
    QFETCH(QString, controlPath);
    QFETCH(bool, help);
    QFETCH(bool, version);
    QFETCH(QString, error);

    arguments.prepend(QStringLiteral("mirastellon"));
    const CommandLineOptions options = parseCommandLine(arguments);
    QCOMPARE(options.error, error);
    QCOMPARE(options.helpRequested, help);
    QCOMPARE(options.versionRequested, version);
    if (!error.isEmpty())
        return;
    QCOMPARE(options.port, port);
    QCOMPARE(options.controlRequested, control);
    QCOMPARE(options.controlPath, controlPath);
}

void TestStartup::helpNamesEveryOption()
{
    const QString help = commandLineHelp();
    QVERIFY(help.startsWith(QLatin1String("Usage: mirastellon [OPTION]...\n")));
    for (const char *option : {"--port", "--control", "--help", "--version", "-h,", "-v,"})
        QVERIFY2(help.contains(QLatin1String(option)), option);
    // Debian's rule for --help: nothing wider than 80 columns.
    for (const QString &line : help.split(QLatin1Char('\n')))
        QVERIFY2(line.size() <= 79, qPrintable(line));
    // Every option the help shows is one the parser takes.
    for (const QStringList &words :
         {QStringList{"--port", "/p"}, QStringList{"--control"}, QStringList{"--control=/s"}}) {
        QVERIFY(parseCommandLine(QStringList{"mirastellon"} + words).error.isEmpty());
    }
    QVERIFY(
        commandLineVersion().startsWith(QLatin1String("mirastellon " MIRASTELLON_VERSION "\n")));
    QVERIFY(commandLineVersion().contains(QLatin1String("GPLv3+")));
}

void TestStartup::logOption()
{
    const auto parse = [](const QStringList &words) {
        return parseCommandLine(QStringList{QStringLiteral("mirastellon")} + words);
    };
    QCOMPARE(parse({}).logPath, QString());
    QCOMPARE(parse({"--log", "/tmp/s.jsonl"}).logPath, QStringLiteral("/tmp/s.jsonl"));
    QCOMPARE(parse({"--log=s.jsonl", "--log", "t.jsonl"}).logPath, QStringLiteral("t.jsonl"));
    QCOMPARE(parse({"--log"}).error, QStringLiteral("Missing value after '--log'."));
    QCOMPARE(parse({"--log="}).error, QStringLiteral("--log needs a file"));
    QVERIFY(commandLineHelp().contains(QLatin1String("--log FILE")));
}

void TestStartup::panelHelpAndVersion_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("firstLine");

    QTest::newRow("--help") << QStringList({"--help"}) << "Usage: mirastellon [OPTION]...";
    QTest::newRow("-h") << QStringList({"-h"}) << "Usage: mirastellon [OPTION]...";
    QTest::newRow("--version") << QStringList({"--version"})
                               << QStringLiteral("mirastellon " MIRASTELLON_VERSION);
    QTest::newRow("Qt options and --version")
        << QStringList({"-platform", "offscreen", "-style", "Fusion", "--version"})
        << QStringLiteral("mirastellon " MIRASTELLON_VERSION);
}

void TestStartup::panelHelpAndVersion()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, firstLine);

    // No display at all: help and version must not need one.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *variable : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        environment.remove(QLatin1String(variable));
    const Run result = run(panel(), arguments, environment);
    QVERIFY(!result.crashed);
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.out.section(QLatin1Char('\n'), 0, 0), firstLine);
    QVERIFY(result.out.endsWith(QLatin1Char('\n')));
    QCOMPARE(result.err, QString());
}

void TestStartup::panelRefusesWrongCommandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");

    QTest::newRow("unknown") << QStringList({"--bogus"}) << "unknown option '--bogus'";
    QTest::newRow("missing value") << QStringList({"--port"}) << "Missing value after '--port'.";
    QTest::newRow("argument") << QStringList({"extra"}) << "unexpected argument 'extra'";
    // QApplication takes its own options, with their values, before the panel looks: only the
    // unknown one is reported.
    QTest::newRow("Qt's options are not ours")
        << QStringList({"-style", "Fusion", "-reverse", "-qwindowtitle", "T", "--bogus"})
        << "unknown option '--bogus'";
    QTest::newRow("Qt's options before a missing value")
        << QStringList({"-stylesheet", "/dev/null", "--port"}) << "Missing value after '--port'.";
}

void TestStartup::panelRefusesWrongCommandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);

    const Run result = run(panel(), QStringList({"-platform", "offscreen"}) + arguments);
    QVERIFY(!result.crashed);
    QCOMPARE(result.exitCode, 2);
    QCOMPARE(result.out, QString());
    QVERIFY2(result.err.contains(QStringLiteral("mirastellon: ") + message + QLatin1Char('\n')),
             qPrintable(result.err));
    QVERIFY(result.err.contains(QLatin1String("Try 'mirastellon --help'")));
}

void TestStartup::panelWrongCommandLineWithoutDisplay()
{
    // Without a display QApplication could not start; the wrong option is still what is reported.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *variable : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        environment.remove(QLatin1String(variable));
    const Run result = run(panel(), {QStringLiteral("--bogus")}, environment);
    QVERIFY(!result.crashed);
    QCOMPARE(result.exitCode, 2);
    QVERIFY2(result.err.startsWith(QLatin1String("mirastellon: unknown option '--bogus'\n")),
             qPrintable(result.err));
}

void TestStartup::simulatorCommandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("out");
    QTest::addColumn<QString>("err");

    QTest::newRow("version") << QStringList({"--version"}) << 0
                             << QStringLiteral("dvxsim " MIRASTELLON_VERSION "\n") << "";
    QTest::newRow("help") << QStringList({"--help"}) << 0 << "Usage: "
                          << "";
    QTest::newRow("unknown") << QStringList({"--bogus"}) << 2 << ""
                             << "dvxsim: Unknown option 'bogus'.";
    QTest::newRow("missing value") << QStringList({"--model"}) << 2 << ""
                                   << "dvxsim: Missing value after '--model'.";
    QTest::newRow("bad model") << QStringList({"--model", "7"}) << 2 << ""
                               << "dvxsim: --model is 1804 or 1901, not \"7\"";
    QTest::newRow("bad number") << QStringList({"--speed", "fast"}) << 2 << ""
                                << "dvxsim: --speed wants a number";
    QTest::newRow("step noise over 100 %")
        << QStringList({"--step-noise-pct", "101"}) << 2 << ""
        << "dvxsim: --step-noise-pct wants a number from 0 to 100, not \"101\"";
    QTest::newRow("step of no size") << QStringList({"--step-nm-reverse", "0"}) << 2 << ""
                                     << "dvxsim: --step-nm-reverse wants a number";
    QTest::newRow("argument") << QStringList({"extra"}) << 2 << ""
                              << "dvxsim: unexpected argument \"extra\"";
}

void TestStartup::simulatorCommandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, out);
    QFETCH(QString, err);

    const Run result = run(simulator(), arguments);
    QVERIFY(!result.crashed);
    QCOMPARE(result.exitCode, exitCode);
    if (out.isEmpty())
        QCOMPARE(result.out, QString());
    else
        QVERIFY2(result.out.startsWith(out), qPrintable(result.out));
    if (err.isEmpty())
        QCOMPARE(result.err, QString());
    else
        QVERIFY2(result.err.startsWith(err), qPrintable(result.err));
}

void TestStartup::windowIconLookup()
{
    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QString work = root.filePath(QStringLiteral("work"));
    const QString prefix = root.filePath(QStringLiteral("usr"));
    const QString bin = prefix + QStringLiteral("/bin");
    QVERIFY(QDir().mkpath(work));
    QVERIFY(QDir().mkpath(bin));

    // Nowhere: no file, and the lookup says so rather than naming a missing one.
    QCOMPARE(windowIconFile(work, bin), QString());

    // Installed: beside the program, in its installation's data folder.
    const QString installed = prefix + QStringLiteral("/share/mirastellon/") + kIcon;
    QVERIFY(placeIcon(prefix, QStringLiteral("share/mirastellon/") + kIcon));
    QCOMPARE(windowIconFile(work, bin), installed);
    const QIcon icon = loadWindowIcon(work, bin);
    QCOMPARE(icon.availableSizes(), QList<QSize>({QSize(256, 256)}));
    QCOMPARE(icon.pixmap(QSize(32, 32)).size(), QSize(32, 32));
    // The file is read when the icon is first drawn: one gone by then leaves the window without
    // an icon, and nothing worse.
    const QIcon late = loadWindowIcon(work, bin);
    QVERIFY(QFile::remove(installed));
    QVERIFY(late.pixmap(QSize(32, 32)).isNull());
    QVERIFY(late.availableSizes().isEmpty());
    QVERIFY(icon.pixmap(QSize(64, 64)).size() == QSize(64, 64)); // read before, kept
    QVERIFY(placeIcon(prefix, QStringLiteral("share/mirastellon/") + kIcon));

    // A working directory that holds the file comes first, as it always did.
    QVERIFY(placeIcon(work, kIcon));
    QCOMPARE(windowIconFile(work, bin), QDir(work).filePath(kIcon));

    // A folder of that name is not a file.
    QVERIFY(QFile::remove(QDir(work).filePath(kIcon)));
    QVERIFY(QDir(work).mkpath(kIcon));
    QCOMPARE(windowIconFile(work, bin), installed);
}

void TestStartup::windowIconFromTheme()
{
    // Neither folder has the file: the icon theme's "mirastellon", where the installation puts a
    // copy for the desktop entry, stands in.
    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QString icons = root.filePath(QStringLiteral("icons"));
    const QString source = QStringLiteral(MIRASTELLON_SOURCE_DIR "/") + kIcon;
    QVERIFY(QDir().mkpath(icons + QStringLiteral("/hicolor/256x256/apps")));
    QVERIFY(QFile::copy(source, icons + QStringLiteral("/hicolor/256x256/apps/mirastellon.png")));
    QFile index(icons + QStringLiteral("/hicolor/index.theme"));
    QVERIFY(index.open(QIODevice::WriteOnly));
    index.write("[Icon Theme]\nName=Hicolor\nDirectories=256x256/apps\n\n"
                "[256x256/apps]\nSize=256\nContext=Applications\nType=Threshold\n");
    index.close();

    // A theme icon is looked up again whenever the theme changes, so the theme stays set until
    // the icon has been drawn.
    const QStringList searchPaths = QIcon::themeSearchPaths();
    const QString theme = QIcon::themeName();
    QIcon::setThemeSearchPaths({icons});
    QIcon::setThemeName(QStringLiteral("hicolor"));
    const QIcon icon = loadWindowIcon(root.filePath(QStringLiteral("none")),
                                      root.filePath(QStringLiteral("none/bin")));
    const bool found = !icon.isNull();
    const QSize drawn = icon.pixmap(QSize(256, 256)).size();
    QIcon::setThemeSearchPaths(searchPaths);
    QIcon::setThemeName(theme);
    QVERIFY(found);
    QCOMPARE(drawn, QSize(256, 256));
}

QTEST_MAIN(TestStartup)
#include "tst_startup.moc"
