// Measures the panel end to end and prints one table: reply throughput and latency over a
// pseudo-terminal, start-up to the first exposed frame, idle cost and peak memory against dvxsim.
// Each measurement runs in a child process of this program, so CPU times and memory peaks of one
// do not leak into another; the parent only starts children and dvxsim and collects their lines.

#include "mainwindow.h"
#include "messageboxwatcher.h"
#include "portlister.h"
#include "probe.h"
#include "procstatus.h"
#include "reconnectwaiter.h"
#include "settingsdialog.h"

#include <QApplication>
#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QIcon>
#include <QLabel>
#include <QMap>
#include <QProcess>
#include <QPushButton>
#include <QSlider>
#include <QTemporaryDir>
#include <QTimer>
#include <QWindow>
#include <QtTest>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <termios.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

// 115200 baud, 8N1: ten bit times per byte.
constexpr double kLineBytesPerSecond = 11520.0;

constexpr double kTargetThroughputRatio = 100.0;
constexpr double kTargetLatencyP99Ms = 2.0;
constexpr double kTargetStartupMs = 250.0;
constexpr double kTargetIdlePercent = 0.5;
constexpr double kTargetPeakMB = 60.0;

using Clock = std::chrono::steady_clock;

qint64 nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

double cpuSeconds(clockid_t clock)
{
    timespec ts{};
    clock_gettime(clock, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

double processCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

// How often the calling thread was descheduled while it still had work: other load on the
// machine, not the panel, is then what delays it.
long involuntarySwitches()
{
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return usage.ru_nivcsw;
}

// Nanoseconds the calling thread has spent runnable but waiting for a CPU.
qint64 runQueueWaitNs()
{
    QFile file(QStringLiteral("/proc/thread-self/schedstat"));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    return file.readAll().split(' ').value(1).toLongLong();
}

// Microseconds during which some runnable task waited for a CPU, since boot (Linux PSI); -1
// without PSI.
qint64 cpuPressureUs()
{
    QFile file(QStringLiteral("/proc/pressure/cpu"));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray some = file.readLine();
    const int at = some.indexOf("total=");
    return at < 0 ? -1 : some.mid(at + 6).trimmed().toLongLong();
}

// Share of a span in which other work competed for the CPUs, in percent; -1 without PSI.
double pressurePercent(qint64 startUs, qint64 startNs)
{
    const qint64 endUs = cpuPressureUs();
    if (startUs < 0 || endUs < 0)
        return -1;
    return 100.0 * double(endUs - startUs) * 1e3 / double(nowNs() - startNs);
}

void report(const char *key, double value)
{
    std::printf("%s %.9g\n", key, value);
}

bool writeAll(int fd, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= size_t(n);
    }
    return true;
}

// The two reply dialects of model 1901 measured here; both move the slider.
struct Dialect {
    const char *name;
    QByteArray identification;
    QByteArray prefix;
};

Dialect dialectNamed(const QByteArray &name)
{
    if (name == "1.26")
        return {"1.26", "_Ver 126 DVX1901\r", "P "};
    return {"3.x", "_Ver 312 DVX1901\r", "_cp "};
}

// A position line as dvxsim writes it: three decimals, " um\r".
QByteArray positionLine(const Dialect &dialect, double um)
{
    return dialect.prefix + QByteArray::number(um, 'f', 3) + " um\r";
}

// The controller's end of a pseudo-terminal, written from a thread of its own so that the
// panel's thread does nothing but the panel's work.
struct ControllerLine {
    int master = -1;
    int slave = -1;
    QString path;

    ControllerLine()
    {
        char name[256] = {};
        if (openpty(&master, &slave, name, nullptr, nullptr) != 0)
            qFatal("openpty failed: %s", strerror(errno));
        termios attributes{};
        tcgetattr(slave, &attributes);
        cfmakeraw(&attributes);
        tcsetattr(slave, TCSANOW, &attributes);
        path = QString::fromLocal8Bit(name);
    }
    ~ControllerLine()
    {
        ::close(master);
        ::close(slave);
    }
};

// A shown, exposed window connected to a port; false when connecting failed.
bool connectWindow(MainWindow &window, MainWindowProbe &probe, const QString &port)
{
    window.preselectPort(port);
    window.show();
    if (!QTest::qWaitForWindowExposed(&window))
        return false;
    probe.ui()->actionConnect->trigger();
    return probe.serialPort()->isOpen();
}

bool identified(MainWindowProbe &probe, int timeoutMs = 3000)
{
    return QTest::qWaitFor([&] { return !probe.controllerModel().isEmpty(); }, timeoutMs);
}

// Connects the window to the controller's line and identifies in the dialect: 0 when done, else
// the child's exit code for what failed.
int connectAndIdentify(MainWindow &window, MainWindowProbe &probe, const ControllerLine &line,
                       const Dialect &dialect)
{
    if (!connectWindow(window, probe, line.path))
        return 2;
    writeAll(line.master, dialect.identification.constData(),
             size_t(dialect.identification.size()));
    return identified(probe) ? 0 : 3;
}

// Runs the event loop for a while without the polling sleeps of QTest::qWait.
void runFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// ---- children -------------------------------------------------------------------------------

// Floods the panel with lines positions as fast as the pseudo-terminal takes them; the last line
// carries a position no other line has, and the clock stops when the slider reaches it.
int throughputChild(const Dialect &dialect, int lines)
{
    ControllerLine line;
    MainWindow window;
    MainWindowProbe probe(window);
    if (const int failed = connectAndIdentify(window, probe, line, dialect))
        return failed;

    // A stage sweeping the travel in 0.1 um steps: every line changes the label, every tenth
    // the slider.
    const double sentinel = -123.0;
    QByteArray flood;
    flood.reserve(lines * 17);
    int expectedSliderChanges = 0;
    int slider = probe.ui()->horizontalSlider->value();
    for (int i = 0; i < lines; ++i) {
        const double um = i + 1 < lines ? (i % 60000) * 0.1 : sentinel;
        flood += positionLine(dialect, um);
        const int truncated = int(std::trunc(um));
        if (truncated != slider)
            ++expectedSliderChanges;
        slider = truncated;
    }
    const double lineBytes = double(flood.size()) / lines;

    QEventLoop loop;
    int sliderChanges = 0;
    qint64 endNs = 0;
    double endCpu = 0;
    QObject::connect(probe.ui()->horizontalSlider, &QSlider::valueChanged, [&](int value) {
        ++sliderChanges;
        if (value == int(sentinel)) {
            endCpu = cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
            endNs = nowNs();
            loop.quit();
        }
    });
    QTimer::singleShot(120000, &loop, &QEventLoop::quit);

    const double startProcessCpu = processCpuSeconds();
    const double startCpu = cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
    const qint64 startNs = nowNs();
    std::thread writer([&] { writeAll(line.master, flood.constData(), size_t(flood.size())); });
    loop.exec();
    const double processCpu = processCpuSeconds() - startProcessCpu;
    writer.join();
    if (endNs == 0)
        return 4;
    if (probe.ui()->label_Position->text() != QStringLiteral("-123.000 \u00b5m") ||
        sliderChanges != expectedSliderChanges)
        return 5;

    report("lines", lines);
    report("line_bytes", lineBytes);
    report("seconds", double(endNs - startNs) * 1e-9);
    report("thread_cpu_s", endCpu - startCpu);
    report("process_cpu_s", processCpu);
    return 0;
}

// Watches label_Position being painted and notes, per line, when its text first reached the
// screen.
class PaintWatcher : public QObject {
public:
    PaintWatcher(QLabel *label, std::vector<qint64> &paintedNs) : label(label), paintedNs(paintedNs)
    {
        label->installEventFilter(this);
    }

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == label && event->type() == QEvent::Paint) {
            const qint64 now = nowNs();
            bool ok = false;
            const double um = label->text().section(QLatin1Char(' '), 0, 0).toDouble(&ok);
            const int index = int(um) - 1000;
            if (ok && index >= 0 && size_t(index) < paintedNs.size() && paintedNs[index] == 0)
                paintedNs[index] = now;
        }
        return false;
    }

private:
    QLabel *label;
    std::vector<qint64> &paintedNs;
};

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return NAN;
    std::sort(values.begin(), values.end());
    const size_t rank = size_t(std::ceil(p * double(values.size()))) - 1;
    return values[std::min(rank, values.size() - 1)];
}

// Writes lines one at a time at the pace of the real serial line and times each from the
// controller's write to the label being set and to the label being painted.
int latencyChild(const Dialect &dialect, int lines)
{
    ControllerLine line;
    MainWindow window;
    MainWindowProbe probe(window);
    if (const int failed = connectAndIdentify(window, probe, line, dialect))
        return failed;
    runFor(600); // past the first poll tick and its identification check

    // Line i shows i + 1000.5 um: every line has the length of a typical one, moves the slider
    // (which starts at 0), and its index can be read back.
    std::vector<QByteArray> texts;
    for (int i = 0; i < lines; ++i)
        texts.push_back(positionLine(dialect, i + 1000.5));
    const auto period =
        std::chrono::nanoseconds(qint64(1e9 * double(texts.front().size()) / kLineBytesPerSecond));

    std::unique_ptr<std::atomic<qint64>[]> writtenNs(new std::atomic<qint64>[size_t(lines)]);
    for (int i = 0; i < lines; ++i)
        writtenNs[size_t(i)] = 0;
    std::vector<qint64> setNs(size_t(lines), 0);
    std::vector<qint64> paintedNs(size_t(lines), 0);
    PaintWatcher watcher(probe.ui()->label_Position, paintedNs);

    QEventLoop loop;
    QObject::connect(probe.ui()->horizontalSlider, &QSlider::valueChanged, [&](int value) {
        const int index = value - 1000;
        if (index >= 0 && index < lines && setNs[size_t(index)] == 0)
            setNs[size_t(index)] = nowNs();
    });
    QTimer done;
    QObject::connect(&done, &QTimer::timeout, [&] {
        if (paintedNs.back() != 0)
            loop.quit();
    });
    done.start(50);
    QTimer::singleShot(int(lines * period.count() / 1000000) + 5000, &loop, &QEventLoop::quit);

    const long startSwitches = involuntarySwitches();
    const qint64 startWait = runQueueWaitNs();
    const qint64 startPressure = cpuPressureUs();
    const qint64 startNs = nowNs();
    std::thread writer([&] {
        auto deadline = Clock::now();
        for (int i = 0; i < lines; ++i) {
            std::this_thread::sleep_until(deadline);
            writtenNs[size_t(i)] = nowNs();
            writeAll(line.master, texts[size_t(i)].constData(), size_t(texts[size_t(i)].size()));
            deadline += period;
        }
    });
    loop.exec();
    const long preempted = involuntarySwitches() - startSwitches;
    const qint64 waited = runQueueWaitNs() - startWait;
    const double pressure = pressurePercent(startPressure, startNs);
    writer.join();

    // A line replaced by a newer one before the next frame counts as shown with that frame.
    std::vector<double> toSet;
    std::vector<double> toPaint;
    int replaced = 0;
    qint64 shown = 0;
    for (int i = lines - 1; i >= 0; --i) {
        const qint64 written = writtenNs[size_t(i)];
        if (setNs[size_t(i)] == 0 || (paintedNs[size_t(i)] == 0 && shown == 0))
            return 4;
        if (paintedNs[size_t(i)] != 0)
            shown = paintedNs[size_t(i)];
        else
            ++replaced;
        toSet.push_back(double(setNs[size_t(i)] - written) * 1e-6);
        toPaint.push_back(double(shown - written) * 1e-6);
    }
    report("lines", lines);
    report("period_ms", double(period.count()) * 1e-6);
    report("set_median_ms", percentile(toSet, 0.5));
    report("set_p99_ms", percentile(toSet, 0.99));
    report("painted_median_ms", percentile(toPaint, 0.5));
    report("painted_p99_ms", percentile(toPaint, 0.99));
    report("painted_max_ms", percentile(toPaint, 1.0));
    report("replaced", replaced);
    report("preempted", double(preempted));
    report("waited_ms", double(waited) * 1e-6);
    report("pressure_pct", pressure);
    return 0;
}

// The same paced writes read by a bare thread blocked in poll(), without Qt or the panel: the
// wake-up latency this machine gives any program at that moment, the floor under the panel's.
int floorChild(int lines)
{
    ControllerLine line;
    const QByteArray text = positionLine(dialectNamed("3.x"), 1000.5);
    const auto period =
        std::chrono::nanoseconds(qint64(1e9 * double(text.size()) / kLineBytesPerSecond));
    std::unique_ptr<std::atomic<qint64>[]> writtenNs(new std::atomic<qint64>[size_t(lines)]);
    std::vector<qint64> readNs(size_t(lines), 0);
    const qint64 startPressure = cpuPressureUs();
    const qint64 startNs = nowNs();
    std::thread reader([&] {
        char chunk[4096];
        int seen = 0;
        while (seen < lines) {
            pollfd ready{line.slave, POLLIN, 0};
            if (::poll(&ready, 1, 5000) <= 0)
                return;
            const qint64 now = nowNs();
            const ssize_t n = ::read(line.slave, chunk, sizeof chunk);
            for (ssize_t i = 0; i < n && seen < lines; ++i) {
                if (chunk[i] == '\r')
                    readNs[size_t(seen++)] = now;
            }
        }
    });
    auto deadline = Clock::now();
    for (int i = 0; i < lines; ++i) {
        std::this_thread::sleep_until(deadline);
        writtenNs[size_t(i)] = nowNs();
        writeAll(line.master, text.constData(), size_t(text.size()));
        deadline += period;
    }
    reader.join();
    const double pressure = pressurePercent(startPressure, startNs);
    std::vector<double> latency;
    for (int i = 0; i < lines; ++i) {
        if (readNs[size_t(i)] == 0)
            return 4;
        latency.push_back(double(readNs[size_t(i)] - writtenNs[size_t(i)]) * 1e-6);
    }
    report("median_ms", percentile(latency, 0.5));
    report("p99_ms", percentile(latency, 0.99));
    report("max_ms", percentile(latency, 1.0));
    report("pressure_pct", pressure);
    return 0;
}

// Lets the window's first expose event be handled (which paints the first frame), then ends the
// loop.
class ExposeWatcher : public QObject {
public:
    explicit ExposeWatcher(QEventLoop &loop) : loop(loop) {}
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Expose)
            QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
        return false;
    }

private:
    QEventLoop &loop;
};

// What the panel's main() does, up to the first exposed frame; then one line for the parent.
int startupChild()
{
    MainWindow window;
    window.setWindowIcon(QIcon(QStringLiteral("images/Mirastellon_Icon_only@500x.png")));
    window.show();
    QEventLoop loop;
    ExposeWatcher watcher(loop);
    window.windowHandle()->installEventFilter(&watcher);
    if (!window.windowHandle()->isExposed())
        loop.exec();
    std::printf("exposed\n");
    std::fflush(stdout);
    return 0;
}

// Connected to dvxsim with the poll running: CPU over the given time and the memory peak. With
// a flooding dvxsim the operator moves the stage to and fro, so the label keeps changing.
int connectedChild(const QString &port, int seconds, bool moving)
{
    MainWindow window;
    MainWindowProbe probe(window);
    if (!connectWindow(window, probe, port))
        return 2;
    if (!identified(probe))
        return 3;
    if (!QTest::qWaitFor([&] { return probe.ui()->pushButton_home->isEnabled(); }, 3000))
        return 4;

    QTimer mover;
    if (moving) {
        probe.ui()->pushButton_home->click();
        bool far = true;
        const auto move = [&] {
            probe.ui()->doubleSpinBox_Position->setValue(far ? 6000.0 : 0.0);
            probe.invoke("on_doubleSpinBox_Position_editingFinished");
            far = !far;
        };
        QObject::connect(&mover, &QTimer::timeout, move);
        mover.start(3500);
        move();
    }
    runFor(1000); // settle: the first polls, the first reply batches

    const double startCpu = processCpuSeconds();
    const qint64 startNs = nowNs();
    runFor(seconds * 1000);
    const double cpu = processCpuSeconds() - startCpu;
    const double wall = double(nowNs() - startNs) * 1e-9;
    if (!probe.serialPort()->isOpen())
        return 5;

    report("seconds", wall);
    report("cpu_percent", 100.0 * cpu / wall);
    report("peak_kb", double(statusKb("VmHWM")));
    report("rss_kb", double(statusKb("VmRSS")));
    return 0;
}

// Connected through dvxsim's link with "Reconnect automatically" on; dvxsim hangs up and stays
// away, and the panel waits for it: CPU over the given time. Then the cost of one look by serial
// number, which lists the system's ports, for a device without a stable link.
int waitingChild(const QString &link, int seconds)
{
    // The watcher polls every few milliseconds: it goes once it has closed the one box.
    auto boxes = std::make_unique<MessageBoxWatcher>();
    MainWindow window;
    MainWindowProbe probe(window);
    probe.settingsDialog()->findChild<QCheckBox *>(QStringLiteral("reconnectCheckBox"))->click();
    QMetaObject::invokeMethod(probe.settingsDialog(), "apply");
    if (!connectWindow(window, probe, link))
        return 2;
    if (!identified(probe))
        return 3;
    if (!QTest::qWaitFor([&] { return probe.reconnectWaiter()->isWaiting(); }, 10000))
        return 4;
    if (!QTest::qWaitFor([&] { return boxes->count() == 1; }, 3000))
        return 5;
    boxes.reset();
    runFor(1000); // settle: the box is gone, the first look has run

    const double startCpu = processCpuSeconds();
    const qint64 startNs = nowNs();
    runFor(seconds * 1000);
    const double cpu = processCpuSeconds() - startCpu;
    const double wall = double(nowNs() - startNs) * 1e-9;
    if (!probe.reconnectWaiter()->isWaiting() || probe.serialPort()->isOpen())
        return 6;

    // The first listing asks the system; the next ones find no device node changed.
    SystemPortLister lister;
    const double listStartCpu = processCpuSeconds();
    const int ports = int(lister.ports().size());
    const double listMs = (processCpuSeconds() - listStartCpu) * 1e3;
    constexpr int kLooks = 100;
    const double lookStartCpu = processCpuSeconds();
    for (int i = 0; i < kLooks; ++i)
        lister.ports();
    const double lookMs = (processCpuSeconds() - lookStartCpu) * 1e3 / kLooks;

    report("seconds", wall);
    report("cpu_percent", 100.0 * cpu / wall);
    report("list_ms", listMs);
    report("look_ms", lookMs);
    report("ports", double(ports));
    return 0;
}

int runChild(int argc, char **argv)
{
    QApplication app(argc, argv);
    const QByteArray mode = argv[2];
    const auto argument = [&](int i) { return i < argc ? QByteArray(argv[i]) : QByteArray(); };
    if (mode == "throughput")
        return throughputChild(dialectNamed(argument(3)), argument(4).toInt());
    if (mode == "latency")
        return latencyChild(dialectNamed(argument(3)), argument(4).toInt());
    if (mode == "floor")
        return floorChild(argument(3).toInt());
    if (mode == "startup")
        return startupChild();
    if (mode == "connected")
        return connectedChild(QString::fromLocal8Bit(argument(3)), argument(4).toInt(),
                              argument(5) == "moving");
    if (mode == "waiting")
        return waitingChild(QString::fromLocal8Bit(argument(3)), argument(4).toInt());
    return 64;
}

// ---- parent ---------------------------------------------------------------------------------

using Results = QMap<QByteArray, double>;

QProcessEnvironment childEnvironment()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    // Without it every child warns on start; a private one for the run keeps the output clean.
    static QTemporaryDir runtimeDir;
    if (!environment.contains(QStringLiteral("XDG_RUNTIME_DIR")) && runtimeDir.isValid())
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeDir.path());
    return environment;
}

bool runMeasurement(const QStringList &arguments, Results *results)
{
    QProcess child;
    child.setProcessEnvironment(childEnvironment());
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(), QStringList{"--child"} + arguments);
    if (!child.waitForFinished(300000) || child.exitStatus() != QProcess::NormalExit ||
        child.exitCode() != 0) {
        std::fprintf(stderr, "bench: '%s' failed (exit %d)\n", qPrintable(arguments.join(' ')),
                     child.exitCode());
        return false;
    }
    for (const QByteArray &line : child.readAllStandardOutput().split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() == 2)
            results->insert(fields[0], fields[1].toDouble());
    }
    return true;
}

double median(std::vector<double> values)
{
    return percentile(std::move(values), 0.5);
}

// The median of several runs of one measurement, key by key.
bool runMedian(const QStringList &arguments, int runs, Results *results)
{
    QMap<QByteArray, std::vector<double>> all;
    for (int run = 0; run < runs; ++run) {
        Results one;
        if (!runMeasurement(arguments, &one))
            return false;
        for (auto it = one.cbegin(); it != one.cend(); ++it)
            all[it.key()].push_back(it.value());
    }
    for (auto it = all.cbegin(); it != all.cend(); ++it)
        results->insert(it.key(), median(it.value()));
    return true;
}

// Start-up in milliseconds: from starting the process to its line after the first exposed frame.
bool measureStartup(int runs, std::vector<double> *times)
{
    for (int run = 0; run < runs; ++run) {
        QProcess child;
        child.setProcessEnvironment(childEnvironment());
        child.setWorkingDirectory(QStringLiteral(MIRASTELLON_SOURCE_DIR));
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QElapsedTimer clock;
        clock.start();
        child.start(QCoreApplication::applicationFilePath(), {"--child", "startup"});
        while (!child.canReadLine()) {
            if (!child.waitForReadyRead(10000))
                return false;
        }
        times->push_back(double(clock.nsecsElapsed()) * 1e-6);
        child.waitForFinished(10000);
    }
    return true;
}

// Starts dvxsim and returns the terminal it listens on.
QString startSimulator(QProcess &sim, const QString &path, const QStringList &arguments)
{
    sim.setProcessChannelMode(QProcess::SeparateChannels);
    sim.start(path, arguments);
    const QByteArray prefix("dvxsim: listening on ");
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 5000) {
        if (sim.canReadLine()) {
            const QByteArray line = sim.readLine().trimmed();
            if (line.startsWith(prefix))
                return QString::fromLocal8Bit(line.mid(prefix.size()));
        } else if (!sim.waitForReadyRead(5000)) {
            break;
        }
    }
    return QString();
}

void stopSimulator(QProcess &sim)
{
    sim.terminate();
    if (!sim.waitForFinished(3000))
        sim.kill();
    sim.waitForFinished(3000);
}

bool measureConnected(const QString &dvxsim, bool flood, int seconds, Results *results)
{
    QProcess sim;
    const QString port = startSimulator(
        sim, dvxsim, flood ? QStringList{"--flood", "--calibrated"} : QStringList{"--calibrated"});
    if (port.isEmpty()) {
        std::fprintf(stderr, "bench: dvxsim (%s) did not start\n", qPrintable(dvxsim));
        return false;
    }
    QStringList arguments{"connected", port, QString::number(seconds)};
    if (flood)
        arguments << "moving";
    const bool ok = runMeasurement(arguments, results);
    stopSimulator(sim);
    return ok;
}

// The panel waits for a device that hung up and does not come back.
bool measureWaiting(const QString &dvxsim, int seconds, Results *results)
{
    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("stage"));
    QProcess sim;
    if (startSimulator(sim, dvxsim, {"--link", link, "--hangup-after", "2"}).isEmpty()) {
        std::fprintf(stderr, "bench: dvxsim (%s) did not start\n", qPrintable(dvxsim));
        return false;
    }
    const bool ok = runMeasurement({"waiting", link, QString::number(seconds)}, results);
    stopSimulator(sim);
    return ok;
}

QString cpuModel()
{
    QFile cpuinfo(QStringLiteral("/proc/cpuinfo"));
    if (cpuinfo.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : cpuinfo.readAll().split('\n')) {
            if (line.startsWith("model name"))
                return QString::fromLatin1(line.mid(line.indexOf(':') + 1).trimmed());
        }
    }
    return QStringLiteral("unknown CPU");
}

QString loadAverage()
{
    QFile file(QStringLiteral("/proc/loadavg"));
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("unknown");
    return QString::fromLatin1(file.readAll().split(' ').mid(0, 3).join(' '));
}

struct Table {
    bool allMet = true;
    void row(const QString &what, const QString &result, const QString &target, int met)
    {
        // met: 1 yes, 0 no, -1 no target
        if (met == 0)
            allMet = false;
        const char *mark = met < 0 ? "" : met ? "yes" : "NO";
        std::printf("| %-58s | %-42s | %-13s | %-3s |\n", qPrintable(what), qPrintable(result),
                    qPrintable(target), mark);
    }
};

QString fixed(double value, int decimals)
{
    return QString::number(value, 'f', decimals);
}

int runParent(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    const bool quick = arguments.contains(QStringLiteral("--quick"));
    QString dvxsim = QStringLiteral(MIRASTELLON_DVXSIM);
    const int dvxsimAt = arguments.indexOf(QStringLiteral("--dvxsim"));
    if (dvxsimAt > 0 && dvxsimAt + 1 < arguments.size())
        dvxsim = arguments.at(dvxsimAt + 1);

    const int throughputLines = quick ? 50000 : 200000;
    const int throughputRuns = quick ? 1 : 3;
    const int latencyLines = quick ? 1000 : 3000;
    const int latencyRuns = quick ? 1 : 3;
    const int startupRuns = quick ? 5 : 10;
    const int idleSeconds = quick ? 5 : 30;
    const int floodSeconds = quick ? 3 : 10;

    utsname system{};
    uname(&system);
    std::printf("Mirastellon panel benchmark%s: %s, %ld cores, Linux %s, Qt %s, offscreen;\n"
                "load average before the run %s\n\n",
                quick ? " (--quick)" : "", qPrintable(cpuModel()), sysconf(_SC_NPROCESSORS_ONLN),
                system.release, qVersion(), qPrintable(loadAverage()));
    std::printf("| %-58s | %-42s | %-13s | %-3s |\n", "measurement", "result", "target", "met");
    std::printf("|%s|%s|%s|%s|\n", QByteArray(60, '-').constData(), QByteArray(44, '-').constData(),
                QByteArray(15, '-').constData(), QByteArray(5, '-').constData());
    std::fflush(stdout);

    Table table;
    bool complete = true;
    for (const char *dialectName : {"3.x", "1.26"}) {
        const Dialect dialect = dialectNamed(dialectName);
        Results r;
        if (!runMedian({"throughput", dialectName, QString::number(throughputLines)},
                       throughputRuns, &r)) {
            complete = false;
            continue;
        }
        const double lineLimit = kLineBytesPerSecond / r["line_bytes"];
        const double rate = r["lines"] / r["seconds"];
        const double ratio = rate / lineLimit;
        const QString what = QStringLiteral("throughput, 1901 %1 \"%2\" lines of %3 B")
                                 .arg(dialectName, QString::fromLatin1(dialect.prefix.trimmed()))
                                 .arg(r["line_bytes"], 0, 'f', 0);
        table.row(what,
                  QStringLiteral("%1 lines/s = %2 x the line's %3/s")
                      .arg(rate, 0, 'f', 0)
                      .arg(ratio, 0, 'f', 0)
                      .arg(lineLimit, 0, 'f', 0),
                  QStringLiteral(">= %1 x line").arg(kTargetThroughputRatio),
                  ratio >= kTargetThroughputRatio);
        table.row(QStringLiteral("  CPU per line: panel thread; whole process"),
                  QStringLiteral("%1 us; %2 us")
                      .arg(1e6 * r["thread_cpu_s"] / r["lines"], 0, 'f', 2)
                      .arg(1e6 * r["process_cpu_s"] / r["lines"], 0, 'f', 2),
                  QString(), -1);
        std::fflush(stdout);
    }

    for (const char *dialectName : {"3.x", "1.26"}) {
        Results r;
        if (!runMedian({"latency", dialectName, QString::number(latencyLines)}, latencyRuns, &r)) {
            complete = false;
            continue;
        }
        const QString runs = latencyRuns > 1
                                 ? QStringLiteral("%1 runs x %2").arg(latencyRuns).arg(r["lines"])
                                 : QString::number(r["lines"]);
        table.row(
            QStringLiteral("latency %1, write -> label painted (%2 lines)").arg(dialectName, runs),
            QStringLiteral("median %1, p99 %2, max %3 ms")
                .arg(fixed(r["painted_median_ms"], 3), fixed(r["painted_p99_ms"], 3),
                     fixed(r["painted_max_ms"], 2)),
            QStringLiteral("p99 < %1 ms").arg(kTargetLatencyP99Ms),
            r["painted_p99_ms"] < kTargetLatencyP99Ms);
        table.row(QStringLiteral("  write -> label text set, one line per %1 ms")
                      .arg(fixed(r["period_ms"], 2)),
                  QStringLiteral("median %1, p99 %2 ms")
                      .arg(fixed(r["set_median_ms"], 3), fixed(r["set_p99_ms"], 3)),
                  QString(), -1);
        table.row(QStringLiteral("  replaced before a frame; panel waited for a CPU"),
                  QStringLiteral("%1 lines; %2 ms, %3 preemptions")
                      .arg(r["replaced"])
                      .arg(fixed(r["waited_ms"], 1))
                      .arg(r["preempted"]),
                  QString(), -1);
        table.row(QStringLiteral("  machine: CPU pressure (some task waiting)"),
                  QStringLiteral("%1 % of the time").arg(fixed(r["pressure_pct"], 1)), QString(),
                  -1);
        std::fflush(stdout);
    }
    Results floor;
    if (runMedian({"floor", QString::number(latencyLines)}, latencyRuns, &floor)) {
        table.row(QStringLiteral("  floor: same writes read by a bare thread, no Qt"),
                  QStringLiteral("median %1, p99 %2, max %3 ms")
                      .arg(fixed(floor["median_ms"], 3), fixed(floor["p99_ms"], 3),
                           fixed(floor["max_ms"], 2)),
                  QString(), -1);
    } else {
        complete = false;
    }
    std::fflush(stdout);

    std::vector<double> startup;
    measureStartup(1, &startup); // warm the file cache; not counted
    startup.clear();
    if (measureStartup(startupRuns, &startup)) {
        const double m = median(startup);
        table.row(QStringLiteral("start-up to first exposed frame (%1 runs)").arg(startupRuns),
                  QStringLiteral("median %1 ms (min %2, max %3)")
                      .arg(fixed(m, 1), fixed(*std::min_element(startup.begin(), startup.end()), 1),
                           fixed(*std::max_element(startup.begin(), startup.end()), 1)),
                  QStringLiteral("< %1 ms").arg(kTargetStartupMs), m < kTargetStartupMs);
    } else {
        complete = false;
    }
    std::fflush(stdout);

    Results idle;
    if (measureConnected(dvxsim, false, idleSeconds, &idle)) {
        table.row(
            QStringLiteral("idle CPU, %1 s connected to dvxsim, 500 ms poll").arg(idleSeconds),
            QStringLiteral("%1 % of one core").arg(fixed(idle["cpu_percent"], 3)),
            QStringLiteral("< %1 %").arg(kTargetIdlePercent),
            idle["cpu_percent"] < kTargetIdlePercent);
        table.row(QStringLiteral("peak resident memory, idle"),
                  QStringLiteral("%1 MB").arg(fixed(idle["peak_kb"] * 1024 / 1e6, 1)),
                  QStringLiteral("< %1 MB").arg(kTargetPeakMB),
                  idle["peak_kb"] * 1024 / 1e6 < kTargetPeakMB);
    } else {
        complete = false;
    }
    std::fflush(stdout);

    Results flood;
    if (measureConnected(dvxsim, true, floodSeconds, &flood)) {
        table.row(QStringLiteral("peak resident memory, dvxsim --flood, %1 s").arg(floodSeconds),
                  QStringLiteral("%1 MB").arg(fixed(flood["peak_kb"] * 1024 / 1e6, 1)),
                  QStringLiteral("< %1 MB").arg(kTargetPeakMB),
                  flood["peak_kb"] * 1024 / 1e6 < kTargetPeakMB);
        table.row(QStringLiteral("  CPU under --flood (stage moving)"),
                  QStringLiteral("%1 % of one core").arg(fixed(flood["cpu_percent"], 2)), QString(),
                  -1);
    } else {
        complete = false;
    }

    std::fflush(stdout);

    Results waiting;
    if (measureWaiting(dvxsim, idleSeconds, &waiting)) {
        table.row(
            QStringLiteral("CPU waiting %1 s for an unplugged device to return").arg(idleSeconds),
            QStringLiteral("%1 % of one core").arg(fixed(waiting["cpu_percent"], 3)),
            QStringLiteral("< %1 %").arg(kTargetIdlePercent),
            waiting["cpu_percent"] < kTargetIdlePercent);
        table.row(QStringLiteral("  CPU per look by serial number: first; unchanged"),
                  QStringLiteral("%1 ms (%2 ports listed); %3 ms")
                      .arg(fixed(waiting["list_ms"], 2))
                      .arg(waiting["ports"], 0, 'f', 0)
                      .arg(fixed(waiting["look_ms"], 3)),
                  QString(), -1);
    } else {
        complete = false;
    }

    std::printf("\n%s\n", !complete      ? "Some measurements failed."
                          : table.allMet ? "Every target met."
                                         : "Some targets missed.");
    return complete && table.allMet ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 2 && qstrcmp(argv[1], "--child") == 0)
        return runChild(argc, argv);
    return runParent(argc, argv);
}
