// Measures the trace window: the whole panel's CPU with the trace open and sampling every 20 ms
// against dvxsim --dynamics second-order, the plot's redraw and paint rate while the stage
// moves, and the peak resident memory with the ring buffer full. Each measurement runs in a
// child process of this program, so that one's CPU time and memory peak never include another's.
//
// With --show it instead drives the real windows against dvxsim on the display it is given and
// keeps them up for --seconds, for a screenshot of the trace (--width of the trace window,
// --dark for a dark palette, --reconnect for a second connection half way through).

#include "mainwindow.h"
#include "probe.h"
#include "procstatus.h"
#include "tracerecorder.h"
#include "tracewindow.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QPalette>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <cstdio>

namespace {

constexpr double kTargetCpuPercent = 3.0;
constexpr double kTargetMaxFps = 31.0;
constexpr double kTargetPeakMB = 80.0;
constexpr int kFastestIndex = 4; // "20 ms"

void report(const char *key, double value)
{
    std::printf("%s %.6f\n", key, value);
    std::fflush(stdout);
}

// Counts the paints of a widget.
class PaintCounter : public QObject {
public:
    int paints = 0;
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Paint)
            ++paints;
        return false;
    }
};

QString startSimulator(QProcess &sim, const QString &path, const QStringList &arguments)
{
    sim.setProcessChannelMode(QProcess::SeparateChannels);
    sim.start(path, arguments);
    const QByteArray prefix("dvxsim: listening on ");
    if (!sim.waitForReadyRead(5000))
        return QString();
    while (!sim.canReadLine() && sim.waitForReadyRead(1000)) {
    }
    const QByteArray line = sim.readLine().trimmed();
    return line.startsWith(prefix) ? QString::fromLocal8Bit(line.mid(prefix.size())) : QString();
}

void stopSimulator(QProcess &sim)
{
    sim.terminate();
    if (!sim.waitForFinished(3000))
        sim.kill();
    sim.waitForFinished(3000);
}

// The panel connected to dvxsim, homed, with the trace open at 20 ms and a move every
// periodMs between 0 and 100 um. Returns the trace window, or nullptr.
TraceWindow *setUpMovingStage(MainWindow &window, MainWindowProbe &probe, const QString &port,
                              QTimer *mover, int periodMs)
{
    window.show();
    Stage *stage = window.session();
    if (!stage->connectPort(port).ok())
        return nullptr;
    if (!QTest::qWaitFor([&] { return probe.ui()->pushButton_home->isEnabled(); }, 5000))
        return nullptr;
    probe.ui()->actionTrace->trigger();
    auto *trace = window.findChild<TraceWindow *>();
    if (!trace)
        return nullptr;
    trace->findChild<QComboBox *>(QStringLiteral("comboBox_Sampling"))
        ->setCurrentIndex(kFastestIndex);
    if (!stage->home(Mover::client(nullptr)).ok())
        return nullptr;
    QTest::qWait(300);
    auto far = std::make_shared<bool>(false);
    QObject::connect(mover, &QTimer::timeout, [stage, far] {
        *far = !*far;
        stage->moveTo(*far ? 100.0 : 0.0, Mover::client(nullptr));
    });
    mover->start(periodMs);
    return trace;
}

int childCpu(const QString &port, int seconds, bool plot)
{
    Panel panel;
    MainWindow &window = panel.window();
    MainWindowProbe probe(window);
    QTimer mover;
    TraceWindow *trace = setUpMovingStage(window, probe, port, &mover, 2000);
    if (!trace)
        return 1;
    const int counter0 = 0;
    if (!plot) {
        // The same traffic with nothing drawn: what the 20 ms sampling itself costs the panel.
        window.session()->requestSampling(&counter0, 20);
        trace->hide();
    }
    QTest::qWait(500);
    PaintCounter counter;
    auto *view = trace->findChild<QAbstractScrollArea *>(QStringLiteral("chartView"));
    view->viewport()->installEventFilter(&counter);

    const int frames0 = trace->frameCount();
    const int samples0 = trace->recorder()->samples().size();
    const double cpu0 = processCpuSeconds();
    QElapsedTimer clock;
    clock.start();
    QTest::qWait(seconds * 1000);
    const double wall = double(clock.nsecsElapsed()) * 1e-9;
    const double cpu = processCpuSeconds() - cpu0;

    report("cpu_percent", 100.0 * cpu / wall);
    report("redraws_per_s", (trace->frameCount() - frames0) / wall);
    report("paints_per_s", counter.paints / wall);
    report("samples_per_s", (trace->recorder()->samples().size() - samples0) / wall);
    report("moves", trace->recorder()->moveCount());
    report("peak_mb", double(statusKb("VmHWM")) * 1024.0 / 1e6);
    return 0;
}

int childFill()
{
    Panel panel;
    MainWindow &window = panel.window();
    window.show();
    MainWindowProbe probe(window);
    probe.ui()->actionTrace->trigger();
    auto *trace = window.findChild<TraceWindow *>();
    if (!trace)
        return 1;
    QTest::qWait(200);
    const double before = double(statusKb("VmHWM")) * 1024.0 / 1e6;
    Stage *stage = window.session();
    const int total = kTraceCapacity + kTraceCapacity / 10;
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < total; ++i) {
        // As the session hands each line's position to the recorder.
        trace->recorder()->takePosition(100.0 + std::sin(i * 0.01) * 50.0, PositionSource::Fast);
        if (i % 5000 == 0)
            emit stage->targetCommanded(double(i % 200));
        if (i % 20000 == 0)
            QCoreApplication::processEvents();
    }
    const double fillS = double(clock.nsecsElapsed()) * 1e-9;
    if (trace->recorder()->samples().size() != kTraceCapacity)
        return 1;
    // The whole buffer in view, then exported.
    trace->findChild<QComboBox *>(QStringLiteral("comboBox_View"))->setCurrentIndex(3);
    QTest::qWait(100);
    // Each new sample brings one redraw of the whole buffer, decimated to the plot's width.
    const double cpu0 = processCpuSeconds();
    for (int frame = 0; frame < 10; ++frame) {
        const int frames = trace->frameCount();
        trace->recorder()->takePosition(100.0, PositionSource::Fast);
        if (!QTest::qWaitFor([&] { return trace->frameCount() > frames; }, 5000))
            return 1;
    }
    const double redrawMs = (processCpuSeconds() - cpu0) * 1000.0 / 10.0;
    QTemporaryDir dir;
    if (!trace->exportTrace(dir.filePath(QStringLiteral("trace.csv"))))
        return 1;
    report("fill_us_per_sample", fillS * 1e6 / total);
    report("frame_all_ms", redrawMs);
    report("peak_before_mb", before);
    report("peak_mb", double(statusKb("VmHWM")) * 1024.0 / 1e6);
    return 0;
}

// How the screenshot is taken: the trace window's width, a dark palette, and a reconnect half
// way through (so the plot shows two connections and the gap between them).
struct ShowOptions {
    int seconds = 20;
    int traceWidth = 1040;
    bool dark = false;
    bool reconnect = false;
};

QPalette darkPalette()
{
    QPalette p;
    p.setColor(QPalette::Window, QColor(0x2d, 0x2f, 0x33));
    p.setColor(QPalette::WindowText, QColor(0xe0, 0xe0, 0xe0));
    p.setColor(QPalette::Base, QColor(0x1e, 0x20, 0x24));
    p.setColor(QPalette::AlternateBase, QColor(0x2a, 0x2c, 0x30));
    p.setColor(QPalette::Text, QColor(0xe0, 0xe0, 0xe0));
    p.setColor(QPalette::Button, QColor(0x3a, 0x3d, 0x42));
    p.setColor(QPalette::ButtonText, QColor(0xe0, 0xe0, 0xe0));
    p.setColor(QPalette::Highlight, QColor(0x3d, 0x7e, 0xd0));
    p.setColor(QPalette::HighlightedText, Qt::white);
    p.setColor(QPalette::ToolTipBase, QColor(0x2d, 0x2f, 0x33));
    p.setColor(QPalette::ToolTipText, QColor(0xe0, 0xe0, 0xe0));
    p.setColor(QPalette::Disabled, QPalette::Text, QColor(0x80, 0x80, 0x80));
    p.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(0x80, 0x80, 0x80));
    p.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0x80, 0x80, 0x80));
    return p;
}

// Drives the real windows for a screenshot: connect, home, trace at 20 ms, then moves.
int show(const QString &dvxsim, const ShowOptions &options)
{
    if (options.dark) {
        QApplication::setStyle(QStringLiteral("Fusion"));
        QApplication::setPalette(darkPalette());
    }
    QProcess sim;
    const QString port = startSimulator(sim, dvxsim,
                                        {"--dynamics", "second-order", "--natural-hz", "4",
                                         "--damping", "0.3", "--noise-nm", "5", "--seed", "3"});
    if (port.isEmpty())
        return 1;
    Panel panel;
    MainWindow &window = panel.window();
    MainWindowProbe probe(window);
    window.move(20, 20);
    QTimer mover;
    TraceWindow *trace = setUpMovingStage(window, probe, port, &mover, 4000);
    if (!trace)
        return 1;
    trace->resize(options.traceWidth, options.traceWidth < 800 ? 680 : 720);
    trace->move(options.traceWidth < 800 ? 640 : 610, 20);
    if (options.reconnect) {
        // The whole recording in view, and the link off for two seconds half way through, then
        // on again and homed.
        trace->findChild<QComboBox *>(QStringLiteral("comboBox_View"))->setCurrentIndex(3);
        Stage *stage = window.session();
        QTimer::singleShot(options.seconds * 500 - 1000, &mover, [stage, &mover] {
            mover.stop();
            stage->disconnectPort();
        });
        QTimer::singleShot(options.seconds * 500 + 1000, &mover, [stage, &probe, &mover, port] {
            stage->connectPort(port);
            if (QTest::qWaitFor([&] { return probe.ui()->pushButton_home->isEnabled(); }, 5000))
                stage->home(Mover::client(nullptr));
            mover.start();
        });
    }
    QTimer::singleShot(options.seconds * 1000, qApp, &QCoreApplication::quit);
    QTimer::singleShot(options.seconds * 1000 - 1500, &mover, &QTimer::stop);
    const int result = QApplication::exec();
    stopSimulator(sim);
    return result;
}

using Results = QMap<QByteArray, double>;

bool runChild(const QStringList &arguments, Results *results)
{
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(), QStringList{"--child"} + arguments);
    if (!child.waitForFinished(600000) || child.exitStatus() != QProcess::NormalExit ||
        child.exitCode() != 0) {
        std::fprintf(stderr, "bench_trace: '%s' failed\n", qPrintable(arguments.join(' ')));
        return false;
    }
    for (const QByteArray &line : child.readAllStandardOutput().split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() == 2)
            results->insert(fields[0], fields[1].toDouble());
    }
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    QString dvxsim = QStringLiteral(MIRASTELLON_DVXSIM);
    const int dvxsimAt = int(args.indexOf(QStringLiteral("--dvxsim")));
    if (dvxsimAt > 0 && dvxsimAt + 1 < args.size())
        dvxsim = args.at(dvxsimAt + 1);
    const bool quick = args.contains(QStringLiteral("--quick"));

    if (args.value(1) == QLatin1String("--child")) {
        if (args.value(2) == QLatin1String("cpu"))
            return childCpu(args.value(3), args.value(4).toInt(), args.value(5) != "noplot");
        if (args.value(2) == QLatin1String("fill"))
            return childFill();
        return 2;
    }
    if (args.contains(QStringLiteral("--show"))) {
        ShowOptions options;
        const int secondsAt = int(args.indexOf(QStringLiteral("--seconds")));
        if (secondsAt > 0)
            options.seconds = args.value(secondsAt + 1).toInt();
        const int widthAt = int(args.indexOf(QStringLiteral("--width")));
        if (widthAt > 0)
            options.traceWidth = args.value(widthAt + 1).toInt();
        options.dark = args.contains(QStringLiteral("--dark"));
        options.reconnect = args.contains(QStringLiteral("--reconnect"));
        return show(dvxsim, options);
    }

    const int seconds = quick ? 5 : 30;
    QProcess sim;
    const QString port = startSimulator(sim, dvxsim, {"--dynamics", "second-order"});
    if (port.isEmpty()) {
        std::fprintf(stderr, "bench_trace: dvxsim (%s) did not start\n", qPrintable(dvxsim));
        return 1;
    }
    Results cpu;
    Results bare;
    const bool cpuOk = runChild({"cpu", port, QString::number(seconds)}, &cpu) &&
                       runChild({"cpu", port, QString::number(seconds), "noplot"}, &bare);
    stopSimulator(sim);
    Results fill;
    const bool fillOk = runChild({"fill"}, &fill);
    if (!cpuOk || !fillOk)
        return 1;

    bool allMet = true;
    const auto row = [&](const QString &what, const QString &result, const QString &target,
                         int met) {
        if (met == 0)
            allMet = false;
        std::printf("| %-62s | %-34s | %-9s | %-3s |\n", qPrintable(what), qPrintable(result),
                    qPrintable(target),
                    met < 0 ? ""
                    : met   ? "yes"
                            : "NO");
    };
    std::printf("| %-62s | %-34s | %-9s | %-3s |\n", "measurement", "result", "target", "met");
    std::printf("|%s|%s|%s|%s|\n", QByteArray(64, '-').constData(), QByteArray(36, '-').constData(),
                QByteArray(11, '-').constData(), QByteArray(5, '-').constData());
    row(QStringLiteral("CPU, trace open at 20 ms, dvxsim second-order, %1 s").arg(seconds),
        QStringLiteral("%1 % of one core").arg(cpu["cpu_percent"], 0, 'f', 2),
        QStringLiteral("< 3 %"), cpu["cpu_percent"] < kTargetCpuPercent);
    row(QStringLiteral("  the same 20 ms sampling with the trace window closed"),
        QStringLiteral("%1 % of one core").arg(bare["cpu_percent"], 0, 'f', 2), QString(), -1);
    row(QStringLiteral("  samples recorded; moves analysed"),
        QStringLiteral("%1 /s; %2").arg(cpu["samples_per_s"], 0, 'f', 1).arg(cpu["moves"]),
        QString(), -1);
    row(QStringLiteral("plot redraws while the stage moves (a move every 2 s)"),
        QStringLiteral("%1 /s").arg(cpu["redraws_per_s"], 0, 'f', 1), QStringLiteral("<= ~30/s"),
        cpu["redraws_per_s"] <= kTargetMaxFps);
    row(QStringLiteral("  plot paints (chart viewport paint events)"),
        QStringLiteral("%1 /s").arg(cpu["paints_per_s"], 0, 'f', 1), QString(), -1);
    row(QStringLiteral("  peak resident memory of that run"),
        QStringLiteral("%1 MB").arg(cpu["peak_mb"], 0, 'f', 1), QString(), -1);
    row(QStringLiteral("peak resident memory, ring buffer full (%1 samples)").arg(kTraceCapacity),
        QStringLiteral("%1 MB (%2 MB before filling)")
            .arg(fill["peak_mb"], 0, 'f', 1)
            .arg(fill["peak_before_mb"], 0, 'f', 1),
        QStringLiteral("< 80 MB"), fill["peak_mb"] < kTargetPeakMB);
    row(QStringLiteral("  CPU per redraw with all %1 samples in view").arg(kTraceCapacity),
        QStringLiteral("%1 ms per frame").arg(fill["frame_all_ms"], 0, 'f', 1), QString(), -1);
    row(QStringLiteral("  recording cost per sample"),
        QStringLiteral("%1 us").arg(fill["fill_us_per_sample"], 0, 'f', 2), QString(), -1);
    std::printf("\n%s\n", allMet ? "Every target met." : "A target was MISSED.");
    return allMet ? 0 : 1;
}
