// The window half of the benchmark, built twice: as the panel (MIRASTELLON_BENCH_PANEL, linked
// with the panel's code and nothing else) and as its floor, a bare QMainWindow with one label
// that reads the same serial line with a plain QSerialPort. Neither links QtTest, so start-up
// and memory compare what an operator's process and a minimal Qt program load.
//
//   bench_window_* startup                      prints "exposed" after the first exposed frame
//   bench_window_* connected PORT SECONDS [moving]   CPU and memory while connected to dvxsim

#include "benchline.h"
#include "procstatus.h"

#include <QApplication>
#include <QEventLoop>
#include <QIcon>
#include <QLabel>
#include <QMainWindow>
#include <QTimer>
#include <QWindow>

#ifdef MIRASTELLON_BENCH_PANEL
#include "mainwindow.h"
#include "panel.h"
#include "stage.h"
#include "stagesession.h"
#else
#include <QSerialPort>
#endif

namespace {

using namespace bench;

// Ends a loop once the window's first expose event has been handled (which paints the first
// frame).
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

void runFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

void showAndWaitExposed(QWidget &window)
{
    window.show();
    QEventLoop loop;
    ExposeWatcher watcher(loop);
    window.windowHandle()->installEventFilter(&watcher);
    if (!window.windowHandle()->isExposed())
        loop.exec();
    window.windowHandle()->removeEventFilter(&watcher);
}

template <typename Ready> bool waitFor(Ready ready, int timeoutMs)
{
    const qint64 deadline = nowNs() + qint64(timeoutMs) * 1000000;
    while (!ready()) {
        if (nowNs() > deadline)
            return false;
        runFor(10);
    }
    return true;
}

#ifdef MIRASTELLON_BENCH_PANEL

// What the panel's main() does, up to the first exposed frame.
int startup()
{
    Panel panel;
    MainWindow &window = panel.window();
    window.setWindowIcon(QIcon(QStringLiteral("images/Mirastellon_Icon_only@500x.png")));
    showAndWaitExposed(window);
    return 0;
}

// Connected through the panel's own command interface; with "moving" the stage is homed and
// moved to and fro so that a flooding dvxsim keeps changing the label and the slider.
int connected(const QString &port, bool moving, QTimer &mover, MainWindow &window)
{
    showAndWaitExposed(window);
    Stage *stage = window.session();
    if (!stage->connectPort(port).ok())
        return 2;
    if (!waitFor([&] { return !stage->state().model.isEmpty(); }, 3000))
        return 3;
    runFor(700); // past the first poll tick, which enables Home
    if (moving) {
        stage->home(Mover::client(nullptr));
        runFor(300);
        static bool far = true;
        QObject::connect(&mover, &QTimer::timeout, [stage] {
            stage->moveTo(far ? 6000.0 : 0.0, Mover::client(nullptr));
            far = !far;
        });
        mover.start(3500);
        stage->moveTo(6000.0, Mover::client(nullptr));
    }
    return 0;
}

#else

// A bare QMainWindow with one label: the least any Qt widgets program pays to show a window.
struct BareWindow : QMainWindow {
    QLabel *label = new QLabel(QStringLiteral("0.000 \u00b5m"), this);
    BareWindow()
    {
        label->setTextFormat(Qt::PlainText);
        setCentralWidget(label);
        resize(580, 550);
    }
};

int startup()
{
    BareWindow window;
    showAndWaitExposed(window);
    return 0;
}

// The same job done by hand: ask for the position every 500 ms, cut the replies at "\r" and
// show the last one of each read.
int connected(const QString &portName, bool moving, QTimer &poll, BareWindow &window,
              QSerialPort &port, QByteArray &buffer)
{
    showAndWaitExposed(window);
    port.setPortName(portName);
    port.setBaudRate(115200);
    if (!port.open(QIODevice::ReadWrite))
        return 2;
    QObject::connect(&port, &QIODevice::readyRead, [&] {
        buffer += port.readAll();
        const int end = buffer.lastIndexOf('\r');
        if (end < 0)
            return;
        const int start = buffer.lastIndexOf('\r', end - 1) + 1;
        window.label->setText(QString::fromLatin1(buffer.mid(start, end - start)));
        buffer.remove(0, end + 1);
    });
    port.write(">inform\r>status\r");
    QObject::connect(&poll, &QTimer::timeout, [&] { port.write(">cp\r"); });
    poll.start(500);
    runFor(700);
    if (moving) {
        port.write(">stop\r>home\r");
        runFor(300);
        static bool far = true;
        QTimer *mover = new QTimer(&window);
        QObject::connect(mover, &QTimer::timeout, [&] {
            port.write(far ? ">ma 60000" : ">ma 0");
            far = !far;
        });
        mover->start(3500);
        port.write(">ma 60000");
    }
    return 0;
}

#endif

int measureConnected(int seconds, bool portOpen)
{
    runFor(1000); // settle: the first polls, the first reply batches
    const double startCpu = processCpuSeconds();
    const qint64 startNs = nowNs();
    runFor(seconds * 1000);
    const double cpu = processCpuSeconds() - startCpu;
    const double wall = double(nowNs() - startNs) * 1e-9;
    if (!portOpen)
        return 5;
    report("seconds", wall);
    report("cpu_percent", 100.0 * cpu / wall);
    report("peak_kb", double(statusKb("VmHWM")));
    report("rss_kb", double(statusKb("VmRSS")));
    return 0;
}

// The offscreen platform says on every start that it cannot pass size hints on; that is no
// finding of the benchmark's.
QtMessageHandler previousHandler = nullptr;

void quietHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (message.contains(QLatin1String("propagateSizeHints")))
        return;
    if (previousHandler)
        previousHandler(type, context, message);
}

} // namespace

int main(int argc, char **argv)
{
    previousHandler = qInstallMessageHandler(quietHandler);
    QApplication app(argc, argv);
    const QByteArray mode = argc > 1 ? argv[1] : "";
    if (mode == "startup") {
        const int failed = startup();
        std::printf("exposed\n");
        std::fflush(stdout);
        return failed;
    }
    if (mode == "connected" && argc > 3) {
        const QString port = QString::fromLocal8Bit(argv[2]);
        const int seconds = atoi(argv[3]);
        const bool moving = argc > 4 && qstrcmp(argv[4], "moving") == 0;
#ifdef MIRASTELLON_BENCH_PANEL
        Panel panel;
        MainWindow &window = panel.window();
        QTimer mover;
        if (const int failed = connected(port, moving, mover, window))
            return failed;
        return measureConnected(seconds, window.session()->state().connected);
#else
        BareWindow window;
        QTimer poll;
        QSerialPort serial;
        QByteArray buffer;
        if (const int failed = connected(port, moving, poll, window, serial, buffer))
            return failed;
        return measureConnected(seconds, serial.isOpen());
#endif
    }
    std::fprintf(stderr, "usage: %s startup | connected PORT SECONDS [moving]\n", argv[0]);
    return 64;
}
