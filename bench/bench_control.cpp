// Measures the control socket against a panel connected to dvxsim: the round trip of "state"
// requests from a script (10,000 in a row), and what the panel's thread spends while a client
// streams position events sampled every 20 ms. Prints one table; exits 1 when a target is missed.

#include "controlserver.h"
#include "mainwindow.h"
#include "panel.h"
#include "procstatus.h"
#include "stage.h"
#include "stagesession.h"

#include <QApplication>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr double kTargetStateP99Ms = 2.0;
constexpr double kTargetStreamCpuPercent = 2.0;
constexpr int kSampleMs = 20;

using Clock = std::chrono::steady_clock;

double threadCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

int connectTo(const QString &path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    qstrncpy(address.sun_path, QFile::encodeName(path).constData(), sizeof(address.sun_path));
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Reads one line from a blocking socket; the script's side, in its own thread.
class LineReader {
public:
    explicit LineReader(int socket) : fd(socket) {}
    bool next(std::string *line)
    {
        for (;;) {
            const size_t end = buffer.find('\n');
            if (end != std::string::npos) {
                *line = buffer.substr(0, end);
                buffer.erase(0, end + 1);
                return true;
            }
            char chunk[65536];
            const ssize_t got = ::read(fd, chunk, sizeof(chunk));
            if (got <= 0)
                return false;
            buffer.append(chunk, size_t(got));
        }
    }

private:
    int fd;
    std::string buffer;
};

bool writeAll(int fd, const std::string &text)
{
    return ::write(fd, text.data(), text.size()) == ssize_t(text.size());
}

// Runs the panel's event loop until done() holds.
template <typename Done> void runUntil(Done done)
{
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    check.start(5);
    loop.exec();
}

double percentile(std::vector<double> values, double p)
{
    std::sort(values.begin(), values.end());
    const size_t index = std::min(values.size() - 1, size_t(p * double(values.size() - 1) + 0.5));
    return values[index];
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const bool quick = app.arguments().contains(QStringLiteral("--quick"));
    const int requests = 10000;
    const double streamSeconds = quick ? 3.0 : 20.0;

    QProcess simulator;
    simulator.start(QStringLiteral(MIRASTELLON_DVXSIM), QStringList());
    if (!simulator.waitForReadyRead(5000)) {
        fprintf(stderr, "bench_control: dvxsim did not start\n");
        return 2;
    }
    const QByteArray prefix("dvxsim: listening on ");
    const QString terminal =
        QString::fromLocal8Bit(simulator.readLine().trimmed().mid(prefix.size()));

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("bench.sock"));
    Panel panel;
    MainWindow &window = panel.window();
    window.show();
    QString error;
    if (!panel.startControlServer(path, &error)) {
        fprintf(stderr, "bench_control: %s\n", qPrintable(error));
        return 2;
    }
    Stage *stage = window.session();
    if (!stage->connectPort(terminal).ok() ||
        !QTest::qWaitFor([stage] { return stage->state().identified(); }, 5000)) {
        fprintf(stderr, "bench_control: the panel did not connect to dvxsim\n");
        return 2;
    }

    // 1. Round trips of "state", one after the other, while the panel polls the controller.
    std::vector<double> roundTripsMs;
    roundTripsMs.reserve(requests);
    std::atomic<bool> finished{false};
    std::atomic<bool> failed{false};
    const qint64 pressure0 = cpuPressureUs();
    const auto latency0 = Clock::now();
    std::thread script([&] {
        const int fd = connectTo(path);
        LineReader reader(fd);
        std::string line;
        for (int i = 0; i < requests && fd >= 0; ++i) {
            const std::string request = "{\"id\":" + std::to_string(i) + ",\"cmd\":\"state\"}\n";
            const auto sent = Clock::now();
            if (!writeAll(fd, request) || !reader.next(&line) ||
                line.find("\"ok\":true") == std::string::npos) {
                failed = true;
                break;
            }
            roundTripsMs.push_back(
                std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
        }
        failed = failed || fd < 0;
        if (fd >= 0)
            ::close(fd);
        finished = true;
    });
    runUntil([&] { return finished.load(); });
    script.join();
    const double latencyWallUs =
        std::chrono::duration<double, std::micro>(Clock::now() - latency0).count();
    const qint64 pressure1 = cpuPressureUs();
    const double pressurePercent = pressure0 < 0 || pressure1 < 0
                                       ? -1.0
                                       : double(pressure1 - pressure0) / latencyWallUs * 100.0;
    if (failed || roundTripsMs.empty()) {
        fprintf(stderr, "bench_control: state requests failed\n");
        return 2;
    }

    // 2. The panel's thread with samples every 20 ms, first with nobody listening, then with a
    // client streaming them as position events.
    int token = 0;
    stage->requestSampling(&token, kSampleMs);
    QTest::qWait(500);
    const auto measure = [&](double seconds) {
        const double cpu0 = threadCpuSeconds();
        const auto wall0 = Clock::now();
        QTest::qWait(int(seconds * 1000.0));
        const double wall = std::chrono::duration<double>(Clock::now() - wall0).count();
        return (threadCpuSeconds() - cpu0) / wall * 100.0;
    };
    const double quietCpu = measure(streamSeconds);

    std::atomic<long> events{0};
    std::atomic<bool> stopStream{false};
    std::atomic<bool> subscribed{false};
    const int streamFd = connectTo(path);
    std::thread subscriber([&] {
        LineReader reader(streamFd);
        writeAll(streamFd, "{\"id\":1,\"cmd\":\"subscribe\",\"events\":[\"position\"]}\n");
        std::string line;
        while (!stopStream && reader.next(&line)) {
            if (line.find("\"event\":\"position\"") != std::string::npos)
                ++events;
            else
                subscribed = true;
        }
    });
    runUntil([&] { return subscribed.load(); });
    QTest::qWait(500);
    const long eventsBefore = events;
    const auto streamStart = Clock::now();
    const double streamCpu = measure(streamSeconds);
    const double streamWall = std::chrono::duration<double>(Clock::now() - streamStart).count();
    const double eventRate = double(events - eventsBefore) / streamWall;
    stopStream = true;
    ::shutdown(streamFd, SHUT_RDWR);
    subscriber.join();
    ::close(streamFd);
    stage->requestSampling(&token, 0);
    stage->disconnectPort();
    simulator.terminate();
    simulator.waitForFinished(3000);

    const double p50 = percentile(roundTripsMs, 0.50);
    const double p99 = percentile(roundTripsMs, 0.99);
    const double worst = percentile(roundTripsMs, 1.0);
    const bool latencyMet = p99 < kTargetStateP99Ms;
    const bool cpuMet = streamCpu < kTargetStreamCpuPercent;
    double load[3] = {0, 0, 0};
    if (getloadavg(load, 3) != 3)
        load[0] = load[1] = load[2] = -1;

    printf("Mirastellon control socket benchmark: Qt %s, %d cores; load average %.2f %.2f %.2f\n\n",
           qVersion(), int(std::thread::hardware_concurrency()), load[0], load[1], load[2]);
    printf("| measurement | result | target | met |\n|---|---|---|---|\n");
    printf("| \"state\" round trip, %d requests in a row, panel polling dvxsim | median %.3f, "
           "p99 %.3f, max %.2f ms | p99 < %.0f ms | %s |\n",
           int(roundTripsMs.size()), p50, p99, worst, kTargetStateP99Ms, latencyMet ? "yes" : "no");
    printf("| machine during those requests: CPU pressure (some task waiting) | %.1f %% of the "
           "time | | |\n",
           pressurePercent);
    printf("| panel thread CPU, samples every %d ms, no client | %.2f %% of one core | | |\n",
           kSampleMs, quietCpu);
    printf("| panel thread CPU, same, one client streaming position events (%.1f events/s) | "
           "%.2f %% of one core | < %.0f %% | %s |\n",
           eventRate, streamCpu, kTargetStreamCpuPercent, cpuMet ? "yes" : "no");
    return latencyMet && cpuMet ? 0 : 1;
}
