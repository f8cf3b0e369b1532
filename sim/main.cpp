// dvxsim: a simulated DVX stage controller on a pseudo-terminal, for running the panel without
// hardware and for the end-to-end tests.

#include "mirastellon_version.h"
#include "ptyserver.h"
#include "stagecontroller.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int signal)
{
    const int savedErrno = errno;
    const char byte = char(signal);
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &byte, 1);
    errno = savedErrno;
}

bool installSignalHandlers()
{
    if (::pipe2(signalPipe, O_NONBLOCK | O_CLOEXEC) != 0)
        return false;
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        if (::sigaction(signal, &action, nullptr) != 0)
            return false;
    }
    return true;
}

void complain(const QString &message)
{
    std::fprintf(stderr, "dvxsim: %s\n", qPrintable(message));
}

// Points linkPath at target. An existing symlink there is replaced; anything else is left alone.
bool createLink(const QString &linkPath, const QString &target, QString *error)
{
    const QByteArray link = QFile::encodeName(linkPath);
    struct stat st {};
    if (::lstat(link.constData(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        *error = QStringLiteral("%1 exists and is not a symbolic link").arg(linkPath);
        return false;
    }
    const QByteArray temporary = link + ".dvxsim-" + QByteArray::number(qint64(::getpid()));
    ::unlink(temporary.constData());
    if (::symlink(QFile::encodeName(target).constData(), temporary.constData()) != 0 ||
        ::rename(temporary.constData(), link.constData()) != 0) {
        *error = QStringLiteral("cannot link %1: %2")
                     .arg(linkPath, QString::fromLocal8Bit(std::strerror(errno)));
        ::unlink(temporary.constData());
        return false;
    }
    return true;
}

// Removes the link only while it still points at our terminal: another simulator may own it now.
void removeLink(const QString &linkPath, const QString &target)
{
    const QByteArray link = QFile::encodeName(linkPath);
    char buffer[4096];
    const ssize_t n = ::readlink(link.constData(), buffer, sizeof buffer - 1);
    if (n > 0 && QByteArray(buffer, int(n)) == QFile::encodeName(target))
        ::unlink(link.constData());
}

struct Settings {
    dvxsim::PtyServer::Options server;
    QString linkPath;
    double hangupAfterSeconds = 0.0;
};

bool readNumber(const QCommandLineParser &parser, const QString &name, double min, double max,
                double *value, QString *error)
{
    if (!parser.isSet(name))
        return true;
    bool ok = false;
    const double v = parser.value(name).toDouble(&ok);
    if (!ok || !(v >= min && v <= max)) {
        *error = QStringLiteral("--%1 wants a number from %2 to %3, not \"%4\"")
                     .arg(name)
                     .arg(min)
                     .arg(max)
                     .arg(parser.value(name));
        return false;
    }
    *value = v;
    return true;
}

const QStringList kStepModelOptions{
    QStringLiteral("step-nm-forward"), QStringLiteral("step-nm-reverse"),
    QStringLiteral("step-noise-pct"),  QStringLiteral("reversal-loss-steps"),
    QStringLiteral("creep-nm"),        QStringLiteral("creep-ms")};

// Any of its options turns the step model on; without them open-loop steps are as they always were.
bool readStepModel(const QCommandLineParser &parser, dvxsim::StepModel *steps, QString *error)
{
    for (const QString &name : kStepModelOptions)
        steps->enabled = steps->enabled || parser.isSet(name);
    for (const auto &[name, size] :
         {std::pair{QStringLiteral("step-nm-forward"), &steps->forwardNm},
          std::pair{QStringLiteral("step-nm-reverse"), &steps->reverseNm}}) {
        double nm = 0.0;
        if (!readNumber(parser, name, 1e-3, 1e9, &nm, error))
            return false;
        if (parser.isSet(name))
            *size = nm;
    }
    return readNumber(parser, QStringLiteral("step-noise-pct"), 0, 100, &steps->noisePct, error) &&
           readNumber(parser, QStringLiteral("reversal-loss-steps"), 0, 1e6,
                      &steps->reversalLossSteps, error) &&
           readNumber(parser, QStringLiteral("creep-nm"), 0, 1e6, &steps->creepNm, error) &&
           readNumber(parser, QStringLiteral("creep-ms"), 0, 1e6, &steps->creepMs, error);
}

bool readSettings(const QCommandLineParser &parser, Settings *settings, QString *error)
{
    dvxsim::StageConfig &stage = settings->server.stage;
    const QString model = parser.value(QStringLiteral("model"));
    if (model == QLatin1String("1804")) {
        stage.model = dvxsim::Model::Dvx1804;
        stage.firmware = QStringLiteral("2.07");
    } else if (model == QLatin1String("1901")) {
        stage.model = dvxsim::Model::Dvx1901;
        stage.firmware = QStringLiteral("3.12");
    } else {
        *error = QStringLiteral("--model is 1804 or 1901, not \"%1\"").arg(model);
        return false;
    }
    if (parser.isSet(QStringLiteral("firmware"))) {
        stage.firmware = parser.value(QStringLiteral("firmware"));
        if (!dvxsim::isValidFirmware(stage.firmware)) {
            *error = QStringLiteral("--firmware looks like 3.12, not \"%1\"").arg(stage.firmware);
            return false;
        }
    }
    double offset = stage.offset;
    if (!readNumber(parser, QStringLiteral("offset"), -1000000, 1000000, &offset, error))
        return false;
    if (offset != double(qRound(offset))) {
        *error = QStringLiteral("--offset is a whole number of tenths of a micrometre");
        return false;
    }
    stage.offset = qRound(offset);
    stage.calibrated = parser.isSet(QStringLiteral("calibrated"));
    stage.silent = parser.isSet(QStringLiteral("silent"));
    settings->server.noCarriageReturns = parser.isSet(QStringLiteral("no-cr"));
    settings->server.flood = parser.isSet(QStringLiteral("flood"));
    settings->linkPath = parser.value(QStringLiteral("link"));

    double seed = double(QDateTime::currentMSecsSinceEpoch() % 1000000007);
    if (!readNumber(parser, QStringLiteral("speed"), 1e-3, 1e7, &stage.speed, error) ||
        !readNumber(parser, QStringLiteral("calibration-seconds"), 0, 3600,
                    &stage.calibrationSeconds, error) ||
        !readNumber(parser, QStringLiteral("open-loop-rate"), 1e-6, 1e4, &stage.openLoopRate,
                    error) ||
        !readNumber(parser, QStringLiteral("garbage"), 0, 1, &settings->server.garbageRate,
                    error) ||
        !readNumber(parser, QStringLiteral("hangup-after"), 1e-3, 1e6,
                    &settings->hangupAfterSeconds, error) ||
        !readNumber(parser, QStringLiteral("seed"), 0, 4294967295.0, &seed, error))
        return false;
    settings->server.seed = quint32(seed);
    stage.noiseSeed = quint32(seed);

    const QString dynamics = parser.value(QStringLiteral("dynamics"));
    if (dynamics == QLatin1String("second-order")) {
        stage.dynamics = dvxsim::Dynamics::SecondOrder;
    } else if (dynamics != QLatin1String("constant-speed")) {
        *error = QStringLiteral("--dynamics is constant-speed or second-order, not \"%1\"")
                     .arg(dynamics);
        return false;
    }
    if (!readNumber(parser, QStringLiteral("natural-hz"), 0.01, 10000, &stage.servo.naturalHz,
                    error) ||
        !readNumber(parser, QStringLiteral("damping"), 0.01, 100, &stage.servo.damping, error) ||
        !readNumber(parser, QStringLiteral("noise-nm"), 0, 1e6, &stage.noiseNm, error) ||
        !readNumber(parser, QStringLiteral("drift-nm-per-s"), -1e6, 1e6, &stage.driftNmPerS, error))
        return false;
    return readStepModel(parser, &stage.steps, error);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("dvxsim"));
    QCoreApplication::setApplicationVersion(QStringLiteral(MIRASTELLON_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Simulated DVX stage controller on a pseudo-terminal. Prints "
                       "\"dvxsim: listening on PATH\"; open PATH as the serial port."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOptions({
        {QStringLiteral("model"), QStringLiteral("Controller model: 1804 or 1901."),
         QStringLiteral("model"), QStringLiteral("1901")},
        {QStringLiteral("firmware"),
         QStringLiteral("Firmware version X.YZ (1901: 3.12; 1804: 2.07)."),
         QStringLiteral("version")},
        {QStringLiteral("offset"),
         QStringLiteral("Offset in tenths of a micrometre (2500); sets the travel."),
         QStringLiteral("tenths")},
        {QStringLiteral("speed"), QStringLiteral("Closed-loop and homing speed in um/s (2000)."),
         QStringLiteral("um_per_s")},
        {QStringLiteral("calibration-seconds"),
         QStringLiteral("Time one auto-calibration takes (3)."), QStringLiteral("seconds")},
        {QStringLiteral("open-loop-rate"),
         QStringLiteral("Open-loop travel per millisecond of drive in um (0.1)."),
         QStringLiteral("um_per_ms")},
        {QStringLiteral("calibrated"), QStringLiteral("Start calibrated (status 9).")},
        {QStringLiteral("dynamics"),
         QStringLiteral("Closed-loop response: constant-speed (default) or second-order."),
         QStringLiteral("kind"), QStringLiteral("constant-speed")},
        {QStringLiteral("natural-hz"),
         QStringLiteral("Natural frequency of the second-order servo in Hz (20)."),
         QStringLiteral("hz")},
        {QStringLiteral("damping"),
         QStringLiteral("Damping ratio of the second-order servo (0.5)."), QStringLiteral("ratio")},
        {QStringLiteral("noise-nm"),
         QStringLiteral("RMS noise on every reported position in nm (0)."), QStringLiteral("nm")},
        {QStringLiteral("drift-nm-per-s"),
         QStringLiteral("Drift of the stage while no closed-loop move holds it, nm/s (0)."),
         QStringLiteral("nm_per_s")},
        {QStringLiteral("step-nm-forward"),
         QStringLiteral("Step model: one forward step (one drive cycle) in nm."),
         QStringLiteral("nm")},
        {QStringLiteral("step-nm-reverse"),
         QStringLiteral("Step model: one reverse step in nm (the forward size)."),
         QStringLiteral("nm")},
        {QStringLiteral("step-noise-pct"),
         QStringLiteral("Step model: spread of each step, percent of its size (0)."),
         QStringLiteral("percent")},
        {QStringLiteral("reversal-loss-steps"),
         QStringLiteral("Step model: steps lost after each change of direction (0)."),
         QStringLiteral("steps")},
        {QStringLiteral("creep-nm"),
         QStringLiteral("Step model: creep after a train of steps ends, in nm (0)."),
         QStringLiteral("nm")},
        {QStringLiteral("creep-ms"),
         QStringLiteral("Step model: time constant of that creep in ms (500)."),
         QStringLiteral("ms")},
        {QStringLiteral("link"),
         QStringLiteral("Keep a symbolic link at this path to the terminal while running."),
         QStringLiteral("path")},
        {QStringLiteral("silent"), QStringLiteral("Fault: never answer >inform.")},
        {QStringLiteral("garbage"),
         QStringLiteral("Fault: probability per reply of a burst of random bytes before it."),
         QStringLiteral("rate")},
        {QStringLiteral("no-cr"), QStringLiteral("Fault: never send a carriage return.")},
        {QStringLiteral("hangup-after"),
         QStringLiteral("Fault: close the terminal after this time, then exit."),
         QStringLiteral("seconds")},
        {QStringLiteral("flood"),
         QStringLiteral("Fault: fill all spare line capacity with position lines.")},
        {QStringLiteral("seed"),
         QStringLiteral("Seed for --garbage, --noise-nm and --step-noise-pct, to repeat a run."),
         QStringLiteral("number")},
    });
    // Not process(): it ends a wrong command line with status 1, and a wrong command line is 2.
    if (!parser.parse(QCoreApplication::arguments())) {
        complain(parser.errorText() +
                 QStringLiteral("\nTry 'dvxsim --help' for more information."));
        return 2;
    }
    if (parser.isSet(QStringLiteral("help")) || parser.isSet(QStringLiteral("help-all")))
        parser.showHelp(0);
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();
    if (!parser.positionalArguments().isEmpty()) {
        complain(QStringLiteral("unexpected argument \"%1\"").arg(parser.positionalArguments()[0]));
        return 2;
    }

    Settings settings;
    QString error;
    if (!readSettings(parser, &settings, &error)) {
        complain(error);
        return 2;
    }
    if (!installSignalHandlers()) {
        complain(QStringLiteral("cannot install signal handlers"));
        return 1;
    }

    dvxsim::PtyServer server(settings.server);
    if (!server.open(&error)) {
        complain(error);
        return 1;
    }
    const QString slave = server.slavePath();
    if (!settings.linkPath.isEmpty() && !createLink(settings.linkPath, slave, &error)) {
        complain(error);
        return 1;
    }
    auto dropLink = [&] {
        if (!settings.linkPath.isEmpty())
            removeLink(settings.linkPath, slave);
    };

    QSocketNotifier signalNotifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app, [&] {
        char byte;
        while (::read(signalPipe[0], &byte, 1) > 0) {
        }
        QCoreApplication::exit(0);
    });
    int exitCode = 0;
    QObject::connect(&server, &dvxsim::PtyServer::failed, &app, [&](const QString &message) {
        complain(message);
        exitCode = 1;
        QCoreApplication::exit(1);
    });
    if (settings.hangupAfterSeconds > 0.0) {
        QTimer::singleShot(qRound64(settings.hangupAfterSeconds * 1000.0), &app, [&] {
            dropLink();
            server.hangUp();
            QCoreApplication::exit(0);
        });
    }

    std::printf("dvxsim: listening on %s\n", qPrintable(slave));
    std::fflush(stdout);

    const int result = app.exec();
    dropLink();
    server.hangUp();
    if (server.dropped() > 0)
        complain(QStringLiteral("%1 reply bytes dropped, the panel did not read them")
                     .arg(server.dropped()));
    return exitCode != 0 ? exitCode : result;
}
