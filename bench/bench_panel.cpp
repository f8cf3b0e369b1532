// Measures the panel end to end and prints it beside the floors it is compared with, measured in
// the same run: reply throughput against a bare QSerialPort reader (and a Python reader when
// python3 is there), latency against a bare thread, start-up, idle cost and memory against a bare
// QMainWindow with one label (bench_window_bare), and the cost of waiting for an unplugged device
// against that bare window's idle cost. Each measurement runs in a child process, panel and floor
// runs alternate, and every figure is given as min / median / max over its runs. The whole table
// is made offscreen and, when xvfb-run is available, again on a real X server.

#include "benchline.h"
#include "mainwindow.h"
#include "messageboxwatcher.h"
#include "portlister.h"
#include "probe.h"
#include "reconnectwaiter.h"
#include "sessionlog.h"
#include "settingsdialog.h"
#include "tracerecorder.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QMap>
#include <QProcess>
#include <QSerialPort>
#include <QSlider>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <memory>
#include <poll.h>
#include <sys/utsname.h>
#include <thread>
#include <vector>

namespace {

using namespace bench;

// 115200 baud, 8N1: ten bit times per byte.
constexpr double kLineBytesPerSecond = 11520.0;

constexpr double kTargetThroughputRatio = 100.0; // lines per second, times the line's limit
constexpr double kTargetCpuRatio = 3.0;          // CPU per line, times the bare reader's
constexpr double kTargetRecorderRatio = 1.1;     // CPU per line, recording, times not recording
constexpr double kTargetLatencyExcessMs = 2.0;   // p99 above the bare thread's p99
constexpr double kTargetStartupRatio = 1.3;      // times the bare window's
constexpr double kTargetIdleRatio = 1.2;         // idle CPU, times the bare window's
constexpr double kTargetMemoryBand = 0.2;        // peak memory within +-20 % of the bare window's

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

// Share of a span in which other work competed for the CPUs, in percent; -1 without PSI.
double pressurePercent(qint64 startUs, qint64 startNs)
{
    const qint64 endUs = cpuPressureUs();
    if (startUs < 0 || endUs < 0)
        return -1;
    return 100.0 * double(endUs - startUs) * 1e3 / double(nowNs() - startNs);
}

// A shown, exposed window connected to a port; false when connecting failed.
bool connectWindow(MainWindow &window, MainWindowProbe &probe, const QString &port)
{
    probe.panel()->preselectPort(port);
    window.show();
    if (!QTest::qWaitForWindowExposed(&window))
        return false;
    probe.ui()->actionConnect->trigger();
    return probe.serialPort()->isOpen();
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
    return QTest::qWaitFor([&] { return !probe.controllerModel().isEmpty(); }, 3000) ? 0 : 3;
}

// Runs the event loop for a while without the polling sleeps of QTest::qWait.
void runFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// ---- children -------------------------------------------------------------------------------

// Floods the panel with position lines as fast as the pseudo-terminal takes them; the clock
// stops when the slider shows the last line's position, which no other line has. variant
// "recorder-off" unhooks the trace's recorder, as the panel was before it recorded from the
// start; "log" writes the session log meanwhile.
int throughputChild(const Dialect &dialect, int lines, const QByteArray &variant)
{
    ControllerLine line;
    Panel panel;
    MainWindow &window = panel.window();
    MainWindowProbe probe(window);
    if (variant == "recorder-off") {
        QObject::disconnect(window.session(), nullptr, panel.traceRecorder(), nullptr);
        window.session()->removePositionSink(panel.traceRecorder());
    }
    QTemporaryDir logDir;
    QString logError;
    if (variant == "log" &&
        !panel.startSessionLog(logDir.filePath(QStringLiteral("session.jsonl")), &logError))
        return 7;
    if (const int failed = connectAndIdentify(window, probe, line, dialect))
        return failed;

    const QByteArray flood = floodLines(dialect, lines);
    // Every line must reach the listeners, in order, however the reads cut the flood; checked
    // once the clock has stopped.
    std::vector<double> received;
    received.reserve(size_t(lines));
    QObject::connect(window.session(), &Stage::positionReceived,
                     [&](double um) { received.push_back(um); });

    int reads = 0;
    QObject::connect(probe.serialPort(), &QIODevice::readyRead, [&] { ++reads; });
    QEventLoop loop;
    qint64 endNs = 0;
    double endCpu = 0;
    QObject::connect(probe.ui()->horizontalSlider, &QSlider::valueChanged, [&](int value) {
        if (value == int(kFloodSentinelUm)) {
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
        received.size() != size_t(lines) || probe.currentPosition() != kFloodSentinelUm)
        return 5;
    for (int i = 0; i < lines; ++i) {
        if (received[size_t(i)] != std::round(floodPosition(i, lines) * 10.0) / 10.0)
            return 6;
    }

    report("lines", lines);
    report("line_bytes", double(flood.size()) / lines);
    report("reads", reads);
    report("seconds", double(endNs - startNs) * 1e-9);
    report("thread_cpu_s", endCpu - startCpu);
    report("process_cpu_s", processCpu);
    // Recording from the start, every line is in the ring; logging, every line reached the file.
    if (variant != "recorder-off" && panel.traceRecorder()->samples().size() < lines)
        return 8;
    if (variant == "log" && !panel.sessionLog()->isActive())
        return 9;
    return 0;
}

// The floor under the panel's receive path: a QSerialPort on the same line that only cuts the
// flood into lines at "\r", which any Qt program reading this controller pays.
int bareThroughputChild(const Dialect &dialect, int lines)
{
    ControllerLine line;
    QSerialPort port;
    port.setPortName(line.path);
    if (!port.open(QIODevice::ReadWrite))
        return 2;
    port.setBaudRate(115200);
    const QByteArray flood = floodLines(dialect, lines);
    const QByteArray last = positionLine(dialect, kFloodSentinelUm);

    QEventLoop loop;
    QByteArray buffer;
    QByteArray lastLine;
    int seen = 0;
    qint64 endNs = 0;
    double endCpu = 0;
    QObject::connect(&port, &QIODevice::readyRead, [&] {
        buffer += port.readAll();
        int start = 0;
        int cr;
        while ((cr = buffer.indexOf('\r', start)) != -1) {
            lastLine = buffer.mid(start, cr - start + 1);
            ++seen;
            start = cr + 1;
        }
        buffer.remove(0, start);
        if (seen == lines) {
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
    if (endNs == 0 || lastLine != last)
        return 4;
    report("lines", lines);
    report("seconds", double(endNs - startNs) * 1e-9);
    report("thread_cpu_s", endCpu - startCpu);
    report("process_cpu_s", processCpu);
    return 0;
}

// What a lab would write in an afternoon: Python reading what is waiting on the line, splitting
// it at "\r" and parsing each number. It reports its own CPU time from its first read on.
const char kPythonReader[] = R"PY(
import os, sys, time
fd = os.open(sys.argv[1], os.O_RDONLY | os.O_NOCTTY)
lines = int(sys.argv[2])
print("ready", flush=True)
rest = b""
seen = 0
last = None
start = None
while seen < lines:
    chunk = os.read(fd, 65536)
    if start is None:
        start = time.process_time()
    parts = (rest + chunk).split(b"\r")
    rest = parts.pop()
    for part in parts:
        last = float(part.split()[1])
        seen += 1
print("lines", seen)
print("thread_cpu_s", time.process_time() - start)
print("last", last)
)PY";

int pythonThroughputChild(const Dialect &dialect, int lines)
{
    const QString python = QStandardPaths::findExecutable(QStringLiteral("python3"));
    if (python.isEmpty())
        return 6;
    ControllerLine line;
    const QByteArray flood = floodLines(dialect, lines);
    QProcess reader;
    reader.start(python, {QStringLiteral("-c"), QString::fromLatin1(kPythonReader), line.path,
                          QString::number(lines)});
    if (!reader.waitForReadyRead(10000))
        return 2;
    reader.readLine();
    std::thread writer([&] { writeAll(line.master, flood.constData(), size_t(flood.size())); });
    const bool finished = reader.waitForFinished(120000);
    writer.join();
    if (!finished || reader.exitCode() != 0)
        return 4;
    std::printf("%s", reader.readAllStandardOutput().constData());
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
    Panel panel;
    MainWindow &window = panel.window();
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
        auto deadline = std::chrono::steady_clock::now();
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

    // A line replaced by a newer one before the next frame counts as shown with that frame; one
    // that arrived in the same read as a newer one counts as set when that one was set.
    std::vector<double> toSet;
    std::vector<double> toPaint;
    int replaced = 0;
    qint64 shown = 0;
    qint64 set = 0;
    for (int i = lines - 1; i >= 0; --i) {
        const qint64 written = writtenNs[size_t(i)];
        if (setNs[size_t(i)] != 0)
            set = setNs[size_t(i)];
        if (set == 0 || (paintedNs[size_t(i)] == 0 && shown == 0))
            return 4;
        if (paintedNs[size_t(i)] != 0)
            shown = paintedNs[size_t(i)];
        else
            ++replaced;
        toSet.push_back(double(set - written) * 1e-6);
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
    auto deadline = std::chrono::steady_clock::now();
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

// Connected through dvxsim's link with "Reconnect automatically" on; dvxsim hangs up and is not
// started again, so the panel keeps looking for the link. The process's CPU over the given time,
// then what a look costs for a device known only by its serial number, which lists the system's
// ports.
int waitingChild(const QString &link, int seconds)
{
    // The watcher looks for boxes every few milliseconds; it goes once it has closed the one box,
    // as the operator would, so that its own polling is not measured.
    auto boxes = std::make_unique<MessageBoxWatcher>();
    Panel panel;
    MainWindow &window = panel.window();
    MainWindowProbe probe(window);
    auto *reconnect =
        probe.settingsDialog()->findChild<QCheckBox *>(QStringLiteral("reconnectCheckBox"));
    if (!reconnect)
        return 8;
    reconnect->setChecked(true);
    QMetaObject::invokeMethod(probe.settingsDialog(), "apply");
    if (!connectWindow(window, probe, link))
        return 2;
    if (!QTest::qWaitFor([&] { return !probe.controllerModel().isEmpty(); }, 5000))
        return 3;
    if (!QTest::qWaitFor([&] { return probe.reconnectWaiter()->isWaiting(); }, 10000))
        return 4;
    if (!QTest::qWaitFor([&] { return boxes->count() == 1; }, 3000))
        return 5;
    boxes.reset();
    runFor(1000); // the box is gone and the first look has run

    const qint64 startPressure = cpuPressureUs();
    const double startCpu = processCpuSeconds();
    const qint64 startNs = nowNs();
    runFor(seconds * 1000);
    const double cpu = processCpuSeconds() - startCpu;
    const double wall = double(nowNs() - startNs) * 1e-9;
    const double pressure = pressurePercent(startPressure, startNs);
    if (!probe.reconnectWaiter()->isWaiting() || probe.serialPort()->isOpen() ||
        window.session()->state().connected)
        return 6;

    // A fresh lister asks the system; the looks after it find no device node or link changed
    // and reuse its list.
    SystemPortLister lister;
    const double listStartCpu = processCpuSeconds();
    const int ports = int(lister.ports().size());
    const double listMs = (processCpuSeconds() - listStartCpu) * 1e3;
    constexpr int kLooks = 100;
    const double lookStartCpu = processCpuSeconds();
    for (int i = 0; i < kLooks; ++i) {
        if (int(lister.ports().size()) != ports)
            return 7;
    }
    const double lookMs = (processCpuSeconds() - lookStartCpu) * 1e3 / kLooks;

    report("seconds", wall);
    report("cpu_percent", 100.0 * cpu / wall);
    report("pressure_pct", pressure);
    report("list_ms", listMs);
    report("look_ms", lookMs);
    report("ports", double(ports));
    return 0;
}

// The offscreen platform says that it cannot pass size hints on each time a message box is
// shown; that is no finding of the benchmark's.
QtMessageHandler previousHandler = nullptr;

void quietHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (message.contains(QLatin1String("propagateSizeHints")))
        return;
    if (previousHandler)
        previousHandler(type, context, message);
}

int runChild(int argc, char **argv)
{
    previousHandler = qInstallMessageHandler(quietHandler);
    QApplication app(argc, argv);
    const QByteArray mode = argv[2];
    const auto argument = [&](int i) { return i < argc ? QByteArray(argv[i]) : QByteArray(); };
    if (mode == "throughput")
        return throughputChild(dialectNamed(argument(3)), argument(4).toInt(), argument(5));
    if (mode == "bare-throughput")
        return bareThroughputChild(dialectNamed(argument(3)), argument(4).toInt());
    if (mode == "python-throughput")
        return pythonThroughputChild(dialectNamed(argument(3)), argument(4).toInt());
    if (mode == "latency")
        return latencyChild(dialectNamed(argument(3)), argument(4).toInt());
    if (mode == "floor")
        return floorChild(argument(3).toInt());
    if (mode == "waiting")
        return waitingChild(QString::fromLocal8Bit(argument(3)), argument(4).toInt());
    return 64;
}

// ---- parent ---------------------------------------------------------------------------------

using Results = QMap<QByteArray, double>;

QString platform = QStringLiteral("offscreen");

QProcessEnvironment childEnvironment()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), platform);
    // Without it every child warns on start; a private one for the run keeps the output clean.
    static QTemporaryDir runtimeDir;
    if (!environment.contains(QStringLiteral("XDG_RUNTIME_DIR")) && runtimeDir.isValid())
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeDir.path());
    return environment;
}

// A program next to this one: the panel's window or the bare one.
QString sibling(const char *name)
{
    return QFileInfo(QCoreApplication::applicationFilePath()).dir().filePath(QLatin1String(name));
}

bool runProgram(const QString &program, const QStringList &arguments, Results *results)
{
    QProcess child;
    child.setProcessEnvironment(childEnvironment());
    child.setWorkingDirectory(QStringLiteral(MIRASTELLON_SOURCE_DIR));
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(program, arguments);
    if (!child.waitForFinished(300000) || child.exitStatus() != QProcess::NormalExit ||
        child.exitCode() != 0) {
        std::fprintf(stderr, "bench: '%s %s' failed (exit %d)\n",
                     qPrintable(QFileInfo(program).fileName()), qPrintable(arguments.join(' ')),
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

bool runChildMode(const QStringList &arguments, Results *results)
{
    return runProgram(QCoreApplication::applicationFilePath(), QStringList{"--child"} + arguments,
                      results);
}

double percentileOf(std::vector<double> values, double p)
{
    return percentile(std::move(values), p);
}

struct Spread {
    std::vector<double> values;
    void add(double value) { values.push_back(value); }
    bool empty() const { return values.empty(); }
    double min() const { return *std::min_element(values.begin(), values.end()); }
    double median() const { return percentileOf(values, 0.5); }
    double max() const { return *std::max_element(values.begin(), values.end()); }
    QString text(int decimals) const
    {
        if (values.empty())
            return QStringLiteral("-");
        if (values.size() == 1)
            return QString::number(values.front(), 'f', decimals);
        return QStringLiteral("%1 / %2 / %3")
            .arg(min(), 0, 'f', decimals)
            .arg(median(), 0, 'f', decimals)
            .arg(max(), 0, 'f', decimals);
    }
};

// Start-up in milliseconds: from starting the process to its line after the first exposed frame.
bool measureStartup(const QString &program, double *ms)
{
    QProcess child;
    child.setProcessEnvironment(childEnvironment());
    child.setWorkingDirectory(QStringLiteral(MIRASTELLON_SOURCE_DIR));
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QElapsedTimer clock;
    clock.start();
    child.start(program, {QStringLiteral("startup")});
    while (!child.canReadLine()) {
        if (!child.waitForReadyRead(10000))
            return false;
    }
    *ms = double(clock.nsecsElapsed()) * 1e-6;
    child.waitForFinished(10000);
    return child.exitCode() == 0;
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

// One window program connected to a fresh dvxsim for the given time.
bool measureConnected(const QString &program, const QString &dvxsim, bool flood, int seconds,
                      Results *results)
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
    const bool ok = runProgram(program, arguments, results);
    stopSimulator(sim);
    return ok;
}

// The panel waiting for a device that hung up and does not come back.
bool measureWaiting(const QString &dvxsim, int seconds, Results *results)
{
    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("stage"));
    QProcess sim;
    if (startSimulator(sim, dvxsim, {"--link", link, "--hangup-after", "2"}).isEmpty()) {
        std::fprintf(stderr, "bench: dvxsim (%s) did not start\n", qPrintable(dvxsim));
        return false;
    }
    const bool ok = runChildMode({"waiting", link, QString::number(seconds)}, results);
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
    bool complete = true;
    void header()
    {
        std::printf("| %-44s | %-26s | %-26s | %-22s | %-12s | %-3s |\n", "measurement",
                    "panel min / median / max", "floor min / median / max",
                    "panel vs floor (median)", "target", "met");
        std::printf("|%s|%s|%s|%s|%s|%s|\n", QByteArray(46, '-').constData(),
                    QByteArray(28, '-').constData(), QByteArray(28, '-').constData(),
                    QByteArray(24, '-').constData(), QByteArray(14, '-').constData(),
                    QByteArray(5, '-').constData());
        std::fflush(stdout);
    }
    // met: 1 yes, 0 no, -1 no target
    void row(const QString &what, const QString &panel, const QString &floor, const QString &versus,
             const QString &target, int met)
    {
        if (met == 0)
            allMet = false;
        const char *mark = met < 0 ? "" : met ? "yes" : "NO";
        std::printf("| %-44s | %-26s | %-26s | %-22s | %-12s | %-3s |\n", qPrintable(what),
                    qPrintable(panel), qPrintable(floor), qPrintable(versus), qPrintable(target),
                    mark);
        std::fflush(stdout);
    }
};

QString ratioText(const Spread &ratios)
{
    if (ratios.empty())
        return QStringLiteral("-");
    if (ratios.values.size() == 1)
        return QStringLiteral("x %1").arg(ratios.median(), 0, 'f', 2);
    return QStringLiteral("x %1 (%2-%3)")
        .arg(ratios.median(), 0, 'f', 2)
        .arg(ratios.min(), 0, 'f', 2)
        .arg(ratios.max(), 0, 'f', 2);
}

struct Settings {
    bool quick = false;
    QString dvxsim;
    int throughputLines = 200000;
    int throughputRuns = 5;
    int latencyLines = 2000;
    int latencyRuns = 5;
    int startupRuns = 10;
    int idleRuns = 5;
    int idleSeconds = 6;
    int floodRuns = 5;
    int floodSeconds = 3;
    int waitingRuns = 3;
    int waitingSeconds = 30;
};

void throughputRows(Table &table, const Settings &settings)
{
    const bool python = !QStandardPaths::findExecutable(QStringLiteral("python3")).isEmpty();
    for (const char *dialectName : {"3.x", "1.26"}) {
        const Dialect dialect = dialectNamed(dialectName);
        const QStringList arguments{dialectName, QString::number(settings.throughputLines)};
        Spread panelUs, bareUs, pythonUs, ratios, pythonRatios, lineRatios, processUs;
        Spread offUs, recorderUs, recorderRatios, logUs, logExtraUs;
        double lineBytes = 16;
        for (int run = 0; run < settings.throughputRuns; ++run) {
            Results panel, bare, py, logged;
            if (!runChildMode(QStringList{"throughput"} + arguments, &panel) ||
                !runChildMode(QStringList{"throughput"} + arguments + QStringList{"log"},
                              &logged) ||
                !runChildMode(QStringList{"bare-throughput"} + arguments, &bare)) {
                table.complete = false;
                return;
            }
            const double p = 1e6 * panel["thread_cpu_s"] / panel["lines"];
            const double b = 1e6 * bare["thread_cpu_s"] / bare["lines"];
            const double l = 1e6 * logged["thread_cpu_s"] / logged["lines"];
            logUs.add(l);
            logExtraUs.add(l - p);
            // The recorder's few percent drown in the spread of single runs on a shared
            // machine: three pairs per run, in alternating order.
            for (int pair = 0; pair < 3; ++pair) {
                Results on, off;
                const QStringList offArguments =
                    QStringList{"throughput"} + arguments + QStringList{"recorder-off"};
                const bool offFirst = (run + pair) % 2 == 0;
                if (!runChildMode(offFirst ? offArguments : QStringList{"throughput"} + arguments,
                                  offFirst ? &off : &on) ||
                    !runChildMode(offFirst ? QStringList{"throughput"} + arguments : offArguments,
                                  offFirst ? &on : &off)) {
                    table.complete = false;
                    return;
                }
                const double o = 1e6 * off["thread_cpu_s"] / off["lines"];
                const double r = 1e6 * on["thread_cpu_s"] / on["lines"];
                offUs.add(o);
                recorderUs.add(r);
                recorderRatios.add(r / o);
            }
            lineBytes = panel["line_bytes"];
            panelUs.add(p);
            processUs.add(1e6 * panel["process_cpu_s"] / panel["lines"]);
            bareUs.add(b);
            ratios.add(p / b);
            lineRatios.add(panel["lines"] / panel["seconds"] / (kLineBytesPerSecond / lineBytes));
            if (python && runChildMode(QStringList{"python-throughput"} + arguments, &py)) {
                const double y = 1e6 * py["thread_cpu_s"] / py["lines"];
                pythonUs.add(y);
                pythonRatios.add(p / y);
            }
        }
        const QString lines = QStringLiteral("%1 \"%2\" lines of %3 B")
                                  .arg(dialectName, QString::fromLatin1(dialect.prefix.trimmed()))
                                  .arg(lineBytes, 0, 'f', 0);
        table.row(QStringLiteral("CPU per line, us: %1").arg(lines), panelUs.text(3),
                  bareUs.text(3) + QStringLiteral(" Qt"), ratioText(ratios),
                  QStringLiteral("<= x %1").arg(kTargetCpuRatio),
                  ratios.median() <= kTargetCpuRatio);
        if (!pythonUs.empty()) {
            table.row(QStringLiteral("  against a Python reader (os.read, split)"), panelUs.text(3),
                      pythonUs.text(3) + QStringLiteral(" Py"), ratioText(pythonRatios),
                      QStringLiteral("< x 1"), pythonRatios.median() < 1.0);
        }
        table.row(QStringLiteral("  recorder always on, against recorder off"), recorderUs.text(3),
                  offUs.text(3) + QStringLiteral(" off"), ratioText(recorderRatios),
                  QStringLiteral("<= x %1").arg(kTargetRecorderRatio),
                  recorderRatios.median() <= kTargetRecorderRatio);
        table.row(QStringLiteral("  with --log: us per line; added per line"), logUs.text(3),
                  QString(), QStringLiteral("+ %1 us").arg(logExtraUs.median(), 0, 'f', 3),
                  QString(), -1);
        table.row(QStringLiteral("  whole panel process (writer thread too)"), processUs.text(3),
                  QString(), QString(), QString(), -1);
        table.row(QStringLiteral("  lines/s, times the serial line's %1/s")
                      .arg(kLineBytesPerSecond / lineBytes, 0, 'f', 0),
                  lineRatios.text(0), QString(), QString(),
                  QStringLiteral(">= x %1").arg(kTargetThroughputRatio),
                  lineRatios.median() >= kTargetThroughputRatio);
    }
}

void latencyRows(Table &table, const Settings &settings)
{
    for (const char *dialectName : {"3.x", "1.26"}) {
        Spread panelMedian, panelP99, panelMax, setP99, floorMedian, floorP99, excess, waited,
            pressure;
        double period = 0;
        for (int run = 0; run < settings.latencyRuns; ++run) {
            Results panel, floor;
            if (!runChildMode({"latency", dialectName, QString::number(settings.latencyLines)},
                              &panel) ||
                !runChildMode({"floor", QString::number(settings.latencyLines)}, &floor)) {
                table.complete = false;
                return;
            }
            period = panel["period_ms"];
            panelMedian.add(panel["painted_median_ms"]);
            panelP99.add(panel["painted_p99_ms"]);
            panelMax.add(panel["painted_max_ms"]);
            setP99.add(panel["set_p99_ms"]);
            floorMedian.add(floor["median_ms"]);
            floorP99.add(floor["p99_ms"]);
            excess.add(panel["painted_p99_ms"] - floor["p99_ms"]);
            waited.add(panel["waited_ms"]);
            pressure.add(panel["pressure_pct"]);
        }
        table.row(QStringLiteral("latency %1, write -> painted, p99 ms").arg(dialectName),
                  panelP99.text(3), floorP99.text(3) + QStringLiteral(" thr"),
                  QStringLiteral("+ %1 ms").arg(excess.median(), 0, 'f', 3),
                  QStringLiteral("+ < %1 ms").arg(kTargetLatencyExcessMs),
                  excess.median() < kTargetLatencyExcessMs);
        table.row(QStringLiteral("  median ms (a line every %1 ms)").arg(period, 0, 'f', 2),
                  panelMedian.text(3), floorMedian.text(3), QString(), QString(), -1);
        table.row(QStringLiteral("  write -> label set, p99 ms; max painted"), setP99.text(3),
                  QString(), QStringLiteral("max %1 ms").arg(panelMax.median(), 0, 'f', 2),
                  QString(), -1);
        table.row(QStringLiteral("  panel waited for a CPU ms; CPU pressure %"), waited.text(1),
                  pressure.text(1), QString(), QString(), -1);
    }
}

void startupRows(Table &table, const Settings &settings)
{
    const QString panelProgram = sibling("bench_window_panel");
    const QString bareProgram = sibling("bench_window_bare");
    double warm = 0;
    measureStartup(panelProgram, &warm); // warm the file cache; not counted
    measureStartup(bareProgram, &warm);
    Spread panel, bare, ratios;
    for (int run = 0; run < settings.startupRuns; ++run) {
        double p = 0, b = 0;
        if (!measureStartup(panelProgram, &p) || !measureStartup(bareProgram, &b)) {
            table.complete = false;
            return;
        }
        panel.add(p);
        bare.add(b);
        ratios.add(p / b);
    }
    table.row(QStringLiteral("start-up to first exposed frame, ms"), panel.text(1),
              bare.text(1) + QStringLiteral(" win"), ratioText(ratios),
              QStringLiteral("<= x %1").arg(kTargetStartupRatio),
              ratios.median() <= kTargetStartupRatio);
}

void connectedRows(Table &table, const Settings &settings)
{
    const QString panelProgram = sibling("bench_window_panel");
    const QString bareProgram = sibling("bench_window_bare");
    Spread panelCpu, bareCpu, cpuRatios, panelMB, bareMB, mbRatios;
    for (int run = 0; run < settings.idleRuns; ++run) {
        Results panel, bare;
        if (!measureConnected(panelProgram, settings.dvxsim, false, settings.idleSeconds, &panel) ||
            !measureConnected(bareProgram, settings.dvxsim, false, settings.idleSeconds, &bare)) {
            table.complete = false;
            return;
        }
        panelCpu.add(panel["cpu_percent"]);
        bareCpu.add(bare["cpu_percent"]);
        cpuRatios.add(panel["cpu_percent"] / bare["cpu_percent"]);
        panelMB.add(panel["peak_kb"] * 1024 / 1e6);
        bareMB.add(bare["peak_kb"] * 1024 / 1e6);
        mbRatios.add(panel["peak_kb"] / bare["peak_kb"]);
    }
    table.row(QStringLiteral("idle CPU %, %1 s on dvxsim, 500 ms poll").arg(settings.idleSeconds),
              panelCpu.text(3), bareCpu.text(3) + QStringLiteral(" win"), ratioText(cpuRatios),
              QStringLiteral("<= x %1").arg(kTargetIdleRatio),
              cpuRatios.median() <= kTargetIdleRatio);
    table.row(QStringLiteral("peak resident memory, idle, MB"), panelMB.text(1),
              bareMB.text(1) + QStringLiteral(" win"), ratioText(mbRatios),
              QStringLiteral("x %1-%2").arg(1 - kTargetMemoryBand).arg(1 + kTargetMemoryBand),
              std::abs(mbRatios.median() - 1) <= kTargetMemoryBand);

    Spread panelFloodMB, bareFloodMB, floodRatios, panelFloodCpu, bareFloodCpu;
    for (int run = 0; run < settings.floodRuns; ++run) {
        Results panel, bare;
        if (!measureConnected(panelProgram, settings.dvxsim, true, settings.floodSeconds, &panel) ||
            !measureConnected(bareProgram, settings.dvxsim, true, settings.floodSeconds, &bare)) {
            table.complete = false;
            return;
        }
        panelFloodMB.add(panel["peak_kb"] * 1024 / 1e6);
        bareFloodMB.add(bare["peak_kb"] * 1024 / 1e6);
        floodRatios.add(panel["peak_kb"] / bare["peak_kb"]);
        panelFloodCpu.add(panel["cpu_percent"]);
        bareFloodCpu.add(bare["cpu_percent"]);
    }
    table.row(QStringLiteral("peak resident memory, dvxsim --flood, MB"), panelFloodMB.text(1),
              bareFloodMB.text(1) + QStringLiteral(" win"), ratioText(floodRatios),
              QStringLiteral("x %1-%2").arg(1 - kTargetMemoryBand).arg(1 + kTargetMemoryBand),
              std::abs(floodRatios.median() - 1) <= kTargetMemoryBand);
    table.row(QStringLiteral("  CPU % under --flood, stage moving"), panelFloodCpu.text(2),
              bareFloodCpu.text(2), QString(), QString(), -1);
}

// Waiting for an unplugged device against the bare window's idle cost on a live line, each
// pair measured over the same time: waiting should cost no more than sitting connected does.
void waitingRows(Table &table, const Settings &settings)
{
    const QString bareProgram = sibling("bench_window_bare");
    Spread panelCpu, bareCpu, ratios, pressure, listMs, lookMs;
    double ports = 0;
    for (int run = 0; run < settings.waitingRuns; ++run) {
        Results panel, bare;
        if (!measureWaiting(settings.dvxsim, settings.waitingSeconds, &panel) ||
            !measureConnected(bareProgram, settings.dvxsim, false, settings.waitingSeconds,
                              &bare)) {
            table.complete = false;
            return;
        }
        panelCpu.add(panel["cpu_percent"]);
        bareCpu.add(bare["cpu_percent"]);
        ratios.add(panel["cpu_percent"] / bare["cpu_percent"]);
        pressure.add(panel["pressure_pct"]);
        listMs.add(panel["list_ms"]);
        lookMs.add(panel["look_ms"]);
        ports = panel["ports"];
    }
    table.row(
        QStringLiteral("CPU %, %1 s waiting for an unplugged device").arg(settings.waitingSeconds),
        panelCpu.text(3), bareCpu.text(3) + QStringLiteral(" win"), ratioText(ratios),
        QStringLiteral("<= x %1").arg(kTargetIdleRatio), ratios.median() <= kTargetIdleRatio);
    table.row(QStringLiteral("  CPU pressure % while the panel waited"), pressure.text(1),
              QString(), QString(), QString(), -1);
    table.row(QStringLiteral("  CPU ms, first listing of ports (%1 found)").arg(ports, 0, 'f', 0),
              listMs.text(2), QString(), QString(), QString(), -1);
    table.row(QStringLiteral("  CPU ms per look, no device node changed"), lookMs.text(3),
              QString(), QString(), QString(), -1);
}

// One table on the current platform; true when every target was met.
bool runTable(const Settings &settings)
{
    utsname system{};
    uname(&system);
    const qint64 pressureStartUs = cpuPressureUs();
    const qint64 startNs = nowNs();
    std::printf(
        "Mirastellon panel benchmark, %s: %s, %ld cores, Linux %s, Qt %s\n",
        qPrintable(platform == QLatin1String("xcb") ? QStringLiteral("xcb on Xvfb") : platform),
        qPrintable(cpuModel()), sysconf(_SC_NPROCESSORS_ONLN), system.release, qVersion());
    if (settings.quick)
        std::printf("--quick: a SMOKE RUN with too few runs to mean anything; not a measurement\n");
    std::printf("load average before: %s\n\n", qPrintable(loadAverage()));
    Table table;
    table.header();
    throughputRows(table, settings);
    latencyRows(table, settings);
    startupRows(table, settings);
    connectedRows(table, settings);
    waitingRows(table, settings);
    const double pressure = pressurePercent(pressureStartUs, startNs);
    std::printf("\nload average after: %s; some task waited for a CPU %.0f %% of the run (PSI)\n",
                qPrintable(loadAverage()), pressure);
    std::printf("%s\n\n", !table.complete ? "Some measurements failed."
                          : table.allMet  ? "Every target met."
                                          : "Some targets missed.");
    std::fflush(stdout);
    return table.complete && table.allMet;
}

int runParent(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    Settings settings;
    settings.quick = arguments.contains(QStringLiteral("--quick"));
    settings.dvxsim = QStringLiteral(MIRASTELLON_DVXSIM);
    const int dvxsimAt = arguments.indexOf(QStringLiteral("--dvxsim"));
    if (dvxsimAt > 0 && dvxsimAt + 1 < arguments.size())
        settings.dvxsim = arguments.at(dvxsimAt + 1);
    const int platformAt = arguments.indexOf(QStringLiteral("--platform"));
    if (platformAt > 0 && platformAt + 1 < arguments.size())
        platform = arguments.at(platformAt + 1);
    if (settings.quick) {
        settings.throughputLines = 50000;
        settings.throughputRuns = 1;
        settings.latencyLines = 1000;
        settings.latencyRuns = 1;
        settings.startupRuns = 3;
        settings.idleRuns = 1;
        settings.idleSeconds = 3;
        settings.floodRuns = 1;
        settings.floodSeconds = 2;
        settings.waitingRuns = 1;
        settings.waitingSeconds = 5;
    }

    bool met = runTable(settings);

    // The same table on a real X server, where painting reaches a display, unless this already
    // is that run or it is not wanted.
    const QString xvfbRun = QStandardPaths::findExecutable(QStringLiteral("xvfb-run"));
    if (platformAt < 0 && !arguments.contains(QStringLiteral("--offscreen-only"))) {
        if (xvfbRun.isEmpty()) {
            std::printf("xvfb-run not found: no table under Xvfb\n");
        } else {
            QStringList xvfbArguments{QStringLiteral("-a"),
                                      QStringLiteral("-s"),
                                      QStringLiteral("-screen 0 1280x1024x24"),
                                      QCoreApplication::applicationFilePath(),
                                      QStringLiteral("--platform"),
                                      QStringLiteral("xcb"),
                                      QStringLiteral("--dvxsim"),
                                      settings.dvxsim};
            if (settings.quick)
                xvfbArguments << QStringLiteral("--quick");
            QProcess xvfb;
            xvfb.setProcessChannelMode(QProcess::ForwardedChannels);
            xvfb.start(xvfbRun, xvfbArguments);
            const bool finished = xvfb.waitForFinished(-1);
            met = met && finished && xvfb.exitStatus() == QProcess::NormalExit &&
                  xvfb.exitCode() == 0;
        }
    }
    return met ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 2 && qstrcmp(argv[1], "--child") == 0)
        return runChild(argc, argv);
    return runParent(argc, argv);
}
