// Soak: drives one panel through many reconnects and hang-ups, then for minutes against dvxsim's
// faults, and reports memory, responsiveness and any state the panel got stuck in.
//
// Flood phases: dvxsim --flood (clean), --flood --garbage 0.5 and --flood --no-cr. The panel does
// not talk to dvxsim directly but through a relay thread that owns the panel's pseudo-terminal:
// it forwards both ways, and stamps each poll ">cp\r" the panel writes with the time it arrives at
// the controller's end, which is where a stalled panel shows. In the --no-cr phase the relay
// answers ">inform\r" with an identification line of its own, since dvxsim's never ends.
//
// Order: a warm-up of 400 reconnects (fills the caches Qt keeps), then 200 connect / identify /
// disconnect cycles on a fresh dvxsim, 50 dvxsim --hangup-after runs that each end the link under
// the connected panel, then the three flood phases. After every cycle the panel must be back in
// its disconnected state; from the end of the warm-up on, memory must not grow by more than
// allocator slack and no descriptor may be left behind.
//
//   soak [--minutes M] [--cycles N] [--hangups N] [--dvxsim PATH]
// Exit code 0 when every check held.

#include "mainwindow.h"
#include "messageboxwatcher.h"
#include "probe.h"
#include "procstatus.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

int openDescriptors()
{
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::NoDotAndDotDot).size());
}

void makeRaw(int fd)
{
    termios attributes{};
    tcgetattr(fd, &attributes);
    cfmakeraw(&attributes);
    tcsetattr(fd, TCSANOW, &attributes);
}

// Runs the event loop until done() holds or the time is up.
bool waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    if (done())
        return true;
    QEventLoop loop;
    QElapsedTimer clock;
    clock.start();
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done() || clock.elapsed() > timeoutMs)
            loop.quit();
    });
    check.start(2);
    loop.exec();
    return done();
}

void runFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// Samples the resident size from a thread of its own, so a busy GUI thread cannot skew it.
class MemorySampler {
public:
    MemorySampler()
        : start(Clock::now()), worker([this] {
              while (!stopping) {
                  const qint64 rss = statusKb("VmRSS");
                  {
                      std::lock_guard<std::mutex> lock(mutex);
                      samples.push_back({secondsSince(start), rss});
                  }
                  std::this_thread::sleep_for(std::chrono::milliseconds(250));
              }
          })
    {
    }
    ~MemorySampler()
    {
        stopping = true;
        worker.join();
    }
    double now() const { return secondsSince(start); }
    // Highest resident size sampled in [from, to) seconds.
    qint64 peakBetween(double from, double to)
    {
        std::lock_guard<std::mutex> lock(mutex);
        qint64 peak = 0;
        for (const auto &s : samples) {
            if (s.first >= from && s.first < to)
                peak = std::max(peak, s.second);
        }
        return peak;
    }

private:
    Clock::time_point start;
    std::mutex mutex;
    std::vector<std::pair<double, qint64>> samples;
    std::atomic<bool> stopping{false};
    std::thread worker;
};

// Sits between the panel and dvxsim: the panel opens panelPath(), the relay opens dvxsim's
// terminal, and bytes flow both ways, as fast as each side takes them.
class Relay {
public:
    bool start(const QString &controllerPath, bool answerInform)
    {
        char name[256] = {};
        if (openpty(&panelMaster, &panelSlave, name, nullptr, nullptr) != 0)
            return false;
        path = QString::fromLocal8Bit(name);
        // The relay keeps its own slave descriptor, so the panel closing the port is no hang-up.
        makeRaw(panelSlave);
        controller = ::open(QFile::encodeName(controllerPath).constData(),
                            O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (controller < 0 || ::pipe2(wake, O_NONBLOCK | O_CLOEXEC) != 0)
            return false;
        makeRaw(controller);
        fcntl(panelMaster, F_SETFL, fcntl(panelMaster, F_GETFL) | O_NONBLOCK);
        injectIdentity = answerInform;
        worker = std::thread([this] { run(); });
        return true;
    }

    void stop()
    {
        if (worker.joinable()) {
            const char byte = 0;
            [[maybe_unused]] const ssize_t n = ::write(wake[1], &byte, 1);
            worker.join();
        }
        for (int *fd : {&panelMaster, &panelSlave, &controller, &wake[0], &wake[1]}) {
            if (*fd >= 0)
                ::close(*fd);
            *fd = -1;
        }
    }

    ~Relay() { stop(); }

    QString panelPath() const { return path; }

    std::vector<Clock::time_point> polls()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return pollTimes;
    }
    qint64 bytesToPanel() const { return toPanelTotal; }

private:
    void run()
    {
        static const QByteArray poll(">cp\r");
        static const QByteArray inform(">inform\r");
        // Tails of what the panel wrote, to find a command split over two reads.
        QByteArray pollScan;
        QByteArray informScan;
        QByteArray toPanel;
        QByteArray toController;
        char buffer[4096];
        bool controllerOpen = true;
        for (;;) {
            pollfd fds[3] = {
                {panelMaster, short(POLLIN | (toPanel.isEmpty() ? 0 : POLLOUT)), 0},
                {controller,
                 short((controllerOpen && toPanel.size() < 4096 ? POLLIN : 0) |
                       (controllerOpen && !toController.isEmpty() ? POLLOUT : 0)),
                 0},
                {wake[0], POLLIN, 0},
            };
            if (::poll(fds, 3, -1) < 0)
                continue;
            if (fds[2].revents)
                return;
            if (fds[0].revents & POLLIN) {
                const ssize_t n = ::read(panelMaster, buffer, sizeof buffer);
                if (n > 0) {
                    const auto arrived = Clock::now();
                    toController.append(buffer, int(n));
                    pollScan.append(buffer, int(n));
                    int at = 0;
                    int end = 0;
                    while ((at = pollScan.indexOf(poll, at)) >= 0) {
                        std::lock_guard<std::mutex> lock(mutex);
                        pollTimes.push_back(arrived);
                        at += poll.size();
                        end = at;
                    }
                    pollScan = pollScan.mid(end).right(poll.size() - 1);
                    if (injectIdentity) {
                        informScan.append(buffer, int(n));
                        if (informScan.contains(inform)) {
                            // A "\r" first ends whatever partial line the panel still holds.
                            toPanel.append("\r_Ver 312 DVX1901\r");
                            informScan.clear();
                        }
                        informScan = informScan.right(inform.size() - 1);
                    }
                }
            }
            if ((fds[0].revents & POLLOUT) && !toPanel.isEmpty()) {
                const ssize_t n = ::write(panelMaster, toPanel.constData(), size_t(toPanel.size()));
                if (n > 0) {
                    toPanel.remove(0, int(n));
                    toPanelTotal += n;
                }
            }
            if (fds[1].revents & POLLIN) {
                const ssize_t n = ::read(controller, buffer, sizeof buffer);
                if (n > 0)
                    toPanel.append(buffer, int(n));
                else if (n == 0 || errno != EAGAIN)
                    controllerOpen = false;
            } else if (fds[1].revents & (POLLHUP | POLLERR)) {
                controllerOpen = false;
            }
            if ((fds[1].revents & POLLOUT) && !toController.isEmpty()) {
                const ssize_t n =
                    ::write(controller, toController.constData(), size_t(toController.size()));
                if (n > 0)
                    toController.remove(0, int(n));
            }
            if (!controllerOpen)
                toController.clear();
        }
    }

    int panelMaster = -1;
    int panelSlave = -1;
    int controller = -1;
    int wake[2] = {-1, -1};
    bool injectIdentity = false;
    QString path;
    std::thread worker;
    std::mutex mutex;
    std::vector<Clock::time_point> pollTimes;
    std::atomic<qint64> toPanelTotal{0};
};

class Simulator {
public:
    explicit Simulator(const QString &program) : program(program) {}
    ~Simulator() { stop(); }

    // Starts dvxsim and returns the terminal it listens on, or an empty string.
    QString start(const QStringList &arguments)
    {
        process.start(program, arguments);
        const QByteArray prefix("dvxsim: listening on ");
        if (!waitUntil(
                [&] { return process.canReadLine() || process.state() == QProcess::NotRunning; },
                5000))
            return QString();
        const QByteArray line = process.readLine().trimmed();
        return line.startsWith(prefix) ? QString::fromLocal8Bit(line.mid(prefix.size()))
                                       : QString();
    }
    bool waitForExit(int timeoutMs)
    {
        return waitUntil([&] { return process.state() == QProcess::NotRunning; }, timeoutMs);
    }
    void stop()
    {
        if (process.state() == QProcess::NotRunning)
            return;
        process.terminate();
        if (!waitForExit(5000)) {
            process.kill();
            waitForExit(5000);
        }
    }

private:
    QString program;
    QProcess process;
};

struct Options {
    double minutes = 6.0;
    int cycles = 200;
    int hangups = 50;
    QString dvxsim = QStringLiteral(MIRASTELLON_DVXSIM);
};

class Soak {
public:
    explicit Soak(const Options &options) : opts(options), probe(window) {}

    int run()
    {
        window.show();
        std::printf("soak: dvxsim %s; %.1f min of flood, %d reconnects, %d hang-ups\n",
                    qPrintable(opts.dvxsim), opts.minutes, opts.cycles, opts.hangups);
        warmUp();
        const int descriptors = openDescriptors();
        const qint64 settledRss = statusKb("VmRSS");
        const double settledAt = memory.now();

        reconnects();
        hangups();
        const double phaseSeconds = opts.minutes * 60.0 / 3.0;
        flood("flood", {QStringLiteral("--flood")}, false, phaseSeconds);
        flood("flood + garbage 0.5",
              {QStringLiteral("--flood"), QStringLiteral("--garbage"), QStringLiteral("0.5")},
              false, phaseSeconds);
        flood("flood + no-cr", {QStringLiteral("--flood"), QStringLiteral("--no-cr")}, true,
              phaseSeconds);

        const qint64 peakAfter =
            std::max(memory.peakBetween(settledAt, memory.now()), statusKb("VmRSS"));
        std::printf("soak: after warm-up: RSS %lld KiB, peak since %lld KiB (%+lld KiB), "
                    "descriptors %+d; worst poll gap under flood %.1f ms; VmHWM %lld KiB\n",
                    settledRss, peakAfter, peakAfter - settledRss, openDescriptors() - descriptors,
                    worstGapMs, statusKb("VmHWM"));
        check(peakAfter - settledRss <= kMaxGrowthKb, "memory grew after warm-up");
        check(openDescriptors() <= descriptors, "descriptors leaked");
        std::printf("soak: %s\n", failures == 0 ? "all checks held" : "FAILED");
        return failures == 0 ? 0 : 1;
    }

private:
    // What a sound panel may still gain after warm-up: allocator slack, not a leak.
    static constexpr qint64 kMaxGrowthKb = 2048;
    static constexpr double kMaxPollGapMs = 1000.0;
    // The style draws the buttons of each new palette into Qt's pixmap cache (10 MiB by
    // default) until the cache is full; these cycles fill it before anything is measured.
    static constexpr int kWarmUpCycles = 400;

    void check(bool ok, const char *what)
    {
        if (ok)
            return;
        ++failures;
        std::printf("soak: FAILED: %s\n", what);
        std::fflush(stdout);
    }

    bool connected() const { return probe.serialPort()->isOpen(); }

    // dvxsim's default controller, read right.
    bool identified() const
    {
        return probe.controllerModel() == QLatin1String("1901") &&
               probe.firmwareVersion() == QLatin1String("3.12");
    }

    // The state closeSerialPort leaves, whatever led to it.
    bool disconnectedCleanly() const
    {
        return !probe.serialPort()->isOpen() && probe.ui()->actionConnect->isEnabled() &&
               !probe.ui()->actionDisconnect->isEnabled() && probe.controllerModel().isEmpty() &&
               !probe.pollTimer()->isActive() && !probe.ui()->pushButton_home->isEnabled();
    }

    void describe(const char *where, int cycle) const
    {
        std::printf("soak: %s cycle %d: port %s, model \"%s\", firmware \"%s\", status \"%s\", "
                    "%d boxes, last \"%s\"\n",
                    where, cycle, connected() ? "open" : "closed",
                    qPrintable(probe.controllerModel()), qPrintable(probe.firmwareVersion()),
                    qPrintable(probe.statusLabel()->text()), watcher.count(),
                    qPrintable(watcher.texts.value(watcher.count() - 1).simplified()));
    }

    // Connect, wait for the identification, disconnect.
    bool cycle(int timeoutMs, const char *where = nullptr, int number = 0)
    {
        probe.ui()->actionConnect->trigger();
        const bool ok = connected() && waitUntil([this] { return identified(); }, timeoutMs);
        if (!ok && where)
            describe(where, number);
        if (connected())
            probe.ui()->actionDisconnect->trigger();
        return ok && disconnectedCleanly();
    }

    // Starts a plain dvxsim and makes its terminal the panel's port.
    bool startAndSelect(Simulator &sim)
    {
        const QString terminal = sim.start({});
        check(!terminal.isEmpty(), "dvxsim did not start");
        if (terminal.isEmpty())
            return false;
        panel.preselectPort(terminal);
        return true;
    }

    void warmUp()
    {
        Simulator sim(opts.dvxsim);
        if (!startAndSelect(sim))
            return;
        const qint64 before = statusKb("VmRSS");
        int failed = 0;
        for (int i = 0; i < kWarmUpCycles; ++i)
            failed += cycle(1000) ? 0 : 1;
        std::printf("soak: warm-up: %d reconnects (%d not identified right), RSS %lld -> %lld "
                    "KiB\n",
                    kWarmUpCycles, failed, before, statusKb("VmRSS"));
        std::fflush(stdout);
    }

    void reconnects()
    {
        Simulator sim(opts.dvxsim);
        if (!startAndSelect(sim))
            return;
        const int boxes = watcher.count();
        const int descriptors = openDescriptors();
        const qint64 rss = statusKb("VmRSS");
        const auto started = Clock::now();
        int done = 0;
        while (done < opts.cycles && cycle(3000, "reconnect", done + 1))
            ++done;
        std::printf("soak: reconnects: %d of %d cycles in %.1f s; descriptors %+d, RSS %+lld KiB\n",
                    done, opts.cycles, secondsSince(started), openDescriptors() - descriptors,
                    statusKb("VmRSS") - rss);
        std::fflush(stdout);
        check(done == opts.cycles, "a reconnect cycle got stuck");
        check(watcher.count() == boxes, "a message box opened during reconnects");
        check(openDescriptors() <= descriptors, "descriptors leaked over reconnects");
    }

    void hangups()
    {
        // Every dvxsim keeps the same link to its terminal, so the port list stays as it is.
        QTemporaryDir linkDir;
        const QString link = linkDir.filePath(QStringLiteral("ttyDVX"));
        panel.preselectPort(link);
        const int descriptors = openDescriptors();
        const qint64 rss = statusKb("VmRSS");
        const auto started = Clock::now();
        int done = 0;
        for (; done < opts.hangups; ++done) {
            Simulator sim(opts.dvxsim);
            const QString terminal =
                sim.start({QStringLiteral("--hangup-after"), QStringLiteral("0.8"),
                           QStringLiteral("--link"), link});
            if (terminal.isEmpty()) {
                check(false, "dvxsim did not start");
                break;
            }
            const int boxes = watcher.count();
            probe.ui()->actionConnect->trigger();
            // The link goes away under the identified panel: one "Critical Error", then the
            // disconnected state.
            const bool ok =
                connected() && waitUntil([this] { return identified(); }, 3000) &&
                waitUntil([&] { return watcher.count() > boxes && disconnectedCleanly(); }, 5000) &&
                sim.waitForExit(3000) && watcher.count() == boxes + 1 &&
                watcher.titles.last() == QLatin1String("Critical Error");
            if (!ok) {
                describe("hang-up", done + 1);
                if (connected())
                    probe.ui()->actionDisconnect->trigger();
                break;
            }
        }
        std::printf("soak: hang-ups: %d of %d survived in %.1f s; descriptors %+d, RSS %+lld KiB\n",
                    done, opts.hangups, secondsSince(started), openDescriptors() - descriptors,
                    statusKb("VmRSS") - rss);
        std::fflush(stdout);
        check(done == opts.hangups, "a hang-up left the panel stuck");
        check(openDescriptors() <= descriptors, "descriptors leaked over hang-ups");
    }

    void flood(const char *name, const QStringList &arguments, bool answerInform, double seconds)
    {
        Simulator sim(opts.dvxsim);
        const QString terminal = sim.start(arguments);
        Relay relay;
        if (terminal.isEmpty() || !relay.start(terminal, answerInform)) {
            check(false, "dvxsim or the relay did not start");
            return;
        }
        const int boxesBefore = watcher.count();
        panel.preselectPort(relay.panelPath());
        probe.ui()->actionConnect->trigger();
        if (!waitUntil([&] { return probe.controllerModel() == QLatin1String("1901"); }, 3000)) {
            check(false, "no identification under flood");
            probe.ui()->actionDisconnect->trigger();
            return;
        }
        const double startedAt = memory.now();
        const qint64 bytesBefore = relay.bytesToPanel();
        int rxPeak = 0;
        QTimer watch;
        QObject::connect(&watch, &QTimer::timeout,
                         [&] { rxPeak = std::max(rxPeak, int(probe.rxBuffer().size())); });
        watch.start(20);
        runFor(int(seconds * 1000));
        watch.stop();
        const qint64 bytes = relay.bytesToPanel() - bytesBefore;
        const bool stayed = connected() && watcher.count() == boxesBefore;
        sim.stop();
        probe.ui()->actionDisconnect->trigger();
        relay.stop();

        // Gaps between polls at the controller's end, from the first poll on.
        const std::vector<Clock::time_point> polls = relay.polls();
        double worst = 0.0;
        double sum = 0.0;
        for (size_t i = 1; i < polls.size(); ++i) {
            const double gap =
                std::chrono::duration<double, std::milli>(polls[i] - polls[i - 1]).count();
            worst = std::max(worst, gap);
            sum += gap;
        }
        const double mean = polls.size() > 1 ? sum / double(polls.size() - 1) : 0.0;
        worstGapMs = std::max(worstGapMs, worst);
        std::printf("soak: %-20s %4.0f s: %zu polls, mean gap %.1f ms, worst %.1f ms; panel "
                    "read %.0f B/s; rxBuffer peak %d B; RSS peak %lld KiB\n",
                    name, seconds, polls.size(), mean, worst, double(bytes) / seconds, rxPeak,
                    memory.peakBetween(startedAt, memory.now()));
        std::fflush(stdout);
        check(stayed, "the panel lost the connection or showed a box under flood");
        check(polls.size() >= size_t(seconds * 2 * 0.9), "polls went missing under flood");
        check(worst <= kMaxPollGapMs, "a poll came late under flood");
        check(rxPeak <= Protocol::kMaxReplyLength, "rxBuffer above its cap");
        check(disconnectedCleanly(), "not cleanly disconnected after the flood");
    }

    Options opts;
    Panel panel;
    MainWindow &window = panel.window();
    MainWindowProbe probe;
    MessageBoxWatcher watcher;
    MemorySampler memory;
    double worstGapMs = 0.0;
    int failures = 0;
};

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    Options options;
    bool usable = true;
    const QStringList arguments = QCoreApplication::arguments();
    for (int i = 1; i < arguments.size(); i += 2) {
        const QString &name = arguments.at(i);
        const QString value = arguments.value(i + 1);
        if (name == QLatin1String("--minutes"))
            options.minutes = value.toDouble(&usable);
        else if (name == QLatin1String("--cycles"))
            options.cycles = value.toInt(&usable);
        else if (name == QLatin1String("--hangups"))
            options.hangups = value.toInt(&usable);
        else if (name == QLatin1String("--dvxsim"))
            options.dvxsim = value;
        else
            usable = false;
        if (!usable)
            break;
    }
    if (!usable || options.dvxsim.isEmpty() || !(options.minutes > 0.0) || options.cycles < 0 ||
        options.hangups < 0) {
        std::fprintf(stderr, "usage: soak [--minutes M] [--cycles N] [--hangups N] "
                             "[--dvxsim PATH]\n");
        return 2;
    }
    // Writes to a port the panel has just lost only warn; keep the report readable.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &text) {
        if (type != QtDebugMsg && type != QtInfoMsg && type != QtWarningMsg)
            std::fprintf(stderr, "soak: Qt: %s\n", qPrintable(text));
    });
    Soak soak(options);
    return soak.run();
}
