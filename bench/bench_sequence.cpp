// A long sequence against dvxsim: 100 steps back and forth, 10 passes, with the panel's CPU time
// and memory noted after every pass, so that growth from pass to pass shows. The simulator moves
// fast and the dwells are short, so the time goes to the panel's own move-and-wait.
//
// With --show it instead drives the real windows against dvxsim on the display it is given and
// keeps them up for --seconds, for a screenshot of the sequence window in the middle of a run.

#include "mainwindow.h"
#include "probe.h"
#include "procstatus.h"
#include "sequencemodel.h"
#include "sequencerunner.h"
#include "sequencewindow.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QPushButton>
#include <QSpinBox>
#include <QTableView>
#include <QTimer>
#include <QtTest>

#include <cstdio>
#include <vector>

namespace {

constexpr int kSteps = 100;
constexpr int kDwellMs = 5;
constexpr double kSpeedUmPerS = 100000.0;
// Targets: memory and CPU per pass stay flat from the first pass to the last.
constexpr double kMaxGrowthKb = 1024.0;
constexpr double kMaxCpuRatio = 1.5;

struct Pass {
    double seconds = 0;
    double cpuSeconds = 0;
    qint64 rssKb = 0;
};

// Connect, home, open the Sequence window on a short scan, run it, and stay up.
int show(const QString &dvxsim, int seconds)
{
    QProcess sim;
    sim.start(dvxsim,
              {QStringLiteral("--calibrated"), QStringLiteral("--speed"), QStringLiteral("400")});
    if (!sim.waitForReadyRead(5000))
        return 2;
    const QString port =
        QString::fromLocal8Bit(sim.readLine().trimmed().mid(int(qstrlen("dvxsim: listening on "))));
    Panel panel;
    MainWindow &window = panel.window();
    MainWindowProbe probe(window);
    window.move(10, 20);
    panel.preselectPort(port);
    window.show();
    probe.ui()->actionConnect->trigger();
    if (!QTest::qWaitFor([&] { return probe.ui()->pushButton_home->isEnabled(); }, 5000))
        return 3;
    probe.ui()->pushButton_home->click();
    QTest::qWait(300);
    SequenceWindow *sequence = panel.showSequence();
    sequence->move(600, 20);
    sequence->model()->setSteps({{QStringLiteral("start"), 0.0, 500},
                                 {QStringLiteral("edge, left"), 250.0, 1500},
                                 {QStringLiteral("centre"), 1000.0, 1500},
                                 {QStringLiteral("edge, right"), 1750.0, 1500},
                                 {QStringLiteral("back"), 500.0, 500}});
    sequence->findChild<QSpinBox *>(QStringLiteral("spinBox_Repeat"))->setValue(3);
    sequence->findChild<QTableView *>()->selectRow(4);
    sequence->findChild<QPushButton *>(QStringLiteral("pushButton_Run"))->click();
    QTimer::singleShot(seconds * 1000, qApp, &QCoreApplication::quit);
    const int result = QApplication::exec();
    sim.terminate();
    sim.waitForFinished(3000);
    return result;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    const int repeats = arguments.contains(QStringLiteral("--quick")) ? 3 : 10;
    QString dvxsim = QStringLiteral(MIRASTELLON_DVXSIM);
    const int at = arguments.indexOf(QStringLiteral("--dvxsim"));
    if (at > 0 && at + 1 < arguments.size())
        dvxsim = arguments.at(at + 1);
    if (arguments.contains(QStringLiteral("--show"))) {
        const int secondsAt = int(arguments.indexOf(QStringLiteral("--seconds")));
        return show(dvxsim, secondsAt > 0 ? arguments.value(secondsAt + 1).toInt() : 20);
    }

    QProcess sim;
    sim.start(dvxsim, {QStringLiteral("--calibrated"), QStringLiteral("--speed"),
                       QString::number(kSpeedUmPerS)});
    if (!sim.waitForReadyRead(5000)) {
        std::fprintf(stderr, "bench_sequence: dvxsim (%s) did not start\n", qPrintable(dvxsim));
        return 2;
    }
    const QString port =
        QString::fromLocal8Bit(sim.readLine().trimmed().mid(int(qstrlen("dvxsim: listening on "))));

    int status = 0;
    {
        Panel panel;
        MainWindow &window = panel.window();
        MainWindowProbe probe(window);
        panel.preselectPort(port);
        window.show();
        probe.ui()->actionConnect->trigger();
        if (!QTest::qWaitFor([&] { return probe.ui()->pushButton_home->isEnabled(); }, 5000)) {
            std::fprintf(stderr, "bench_sequence: no identification\n");
            return 3;
        }
        probe.ui()->pushButton_home->click();
        QTest::qWait(200);

        SequenceRunner *runner = panel.sequenceRunner();
        const SequenceSteps steps =
            Sequence::linearScan(0.0, 10.0 * (kSteps - 1), kSteps, kDwellMs, false);

        // The longest time the event loop was away, seen by a 20 ms timer.
        QElapsedTimer beat;
        qint64 lastBeat = 0;
        qint64 longestGapMs = 0;
        QTimer heartbeat;
        QObject::connect(&heartbeat, &QTimer::timeout, [&] {
            const qint64 now = beat.elapsed();
            longestGapMs = qMax(longestGapMs, now - lastBeat);
            lastBeat = now;
        });

        std::vector<Pass> passes;
        QElapsedTimer clock;
        double passCpu = 0;
        qint64 passStart = 0;
        int lastRepeat = 1;
        const auto closePass = [&] {
            const double cpu = processCpuSeconds();
            passes.push_back(
                {double(clock.elapsed() - passStart) / 1000.0, cpu - passCpu, statusKb("VmRSS")});
            passCpu = cpu;
            passStart = clock.elapsed();
        };
        QObject::connect(runner, &SequenceRunner::progress,
                         [&](int, int repeat, SequenceRunner::State) {
                             if (repeat != lastRepeat) {
                                 closePass();
                                 lastRepeat = repeat;
                             }
                         });
        QEventLoop loop;
        QString error;
        QObject::connect(runner, &SequenceRunner::finished,
                         [&](const SequenceLog &, const QString &e) {
                             error = e;
                             loop.quit();
                         });

        const qint64 startKb = statusKb("VmRSS");
        clock.start();
        beat.start();
        heartbeat.start(20);
        passCpu = processCpuSeconds();
        const double startCpu = passCpu;
        const SequenceRunner::Refusal refusal = runner->start(steps, repeats, true);
        if (!refusal.ok()) {
            std::fprintf(stderr, "bench_sequence: refused: %s\n", qPrintable(refusal.message));
            return 4;
        }
        loop.exec();
        closePass();
        const double wall = double(clock.elapsed()) / 1000.0;
        const double cpu = processCpuSeconds() - startCpu;
        if (!error.isEmpty()) {
            std::fprintf(stderr, "bench_sequence: the run ended: %s\n", qPrintable(error));
            return 5;
        }
        int settledOff = 0;
        for (const SequenceLogEntry &e : runner->log()) {
            if (!e.settledUm || std::abs(*e.settledUm - e.targetUm) > runner->toleranceUm())
                ++settledOff;
        }

        std::printf("Sequence benchmark: %d steps back and forth x %d passes against dvxsim "
                    "(--speed %g um/s, 10 um apart, %d ms dwell), Qt %s, offscreen\n\n",
                    kSteps, repeats, kSpeedUmPerS, kDwellMs, qVersion());
        std::printf("| pass | seconds | ms per step | CPU %% of one core | RSS after (MB) |\n");
        std::printf("|------|---------|-------------|-------------------|----------------|\n");
        for (size_t i = 0; i < passes.size(); ++i) {
            const Pass &p = passes[i];
            std::printf("| %4zu | %7.2f | %11.1f | %17.2f | %14.2f |\n", i + 1, p.seconds,
                        1000.0 * p.seconds / kSteps, 100.0 * p.cpuSeconds / p.seconds,
                        double(p.rssKb) * 1024 / 1e6);
        }
        const Pass &first = passes.front();
        const Pass &last = passes.back();
        const double growthKb = double(last.rssKb - first.rssKb);
        const double cpuRatio =
            (last.cpuSeconds / last.seconds) / (first.cpuSeconds / first.seconds);
        std::printf("\nsteps run: %d, settled outside the tolerance: %d\n",
                    int(runner->log().size()), settledOff);
        std::printf("whole run: %.1f s, %.1f ms per step, CPU %.2f %% of one core\n", wall,
                    1000.0 * wall / double(kSteps * repeats), 100.0 * cpu / wall);
        std::printf("memory: %.2f MB before the run, %.2f MB after pass 1, %.2f MB after pass "
                    "%d (growth %.0f kB; target < %.0f kB), peak %.2f MB\n",
                    double(startKb) * 1024 / 1e6, double(first.rssKb) * 1024 / 1e6,
                    double(last.rssKb) * 1024 / 1e6, repeats, growthKb, kMaxGrowthKb,
                    double(statusKb("VmHWM")) * 1024 / 1e6);
        std::printf("CPU of the last pass / the first: %.2f (target < %.1f)\n", cpuRatio,
                    kMaxCpuRatio);
        std::printf("longest event-loop gap: %lld ms\n", longestGapMs);
        const bool met = settledOff == 0 && growthKb < kMaxGrowthKb && cpuRatio < kMaxCpuRatio &&
                         int(runner->log().size()) == kSteps * repeats;
        std::printf("\n%s\n", met ? "Every target met." : "Some targets missed.");
        status = met ? 0 : 1;
        probe.ui()->actionDisconnect->trigger();
    }
    sim.terminate();
    if (!sim.waitForFinished(3000))
        sim.kill();
    return status;
}
