// How long the panel's event loop stalls while the operator pastes a megabyte into the console,
// and what a Disconnect reports when the line has stopped taking bytes. The real window talks to a
// controller on a pseudo-terminal that identifies as a 1901 and answers nothing else; a 1 ms timer
// measures the longest gap between two turns of the event loop from the paste until the last
// pasted line has reached the controller.
//
// Prints one "key value" line per figure; --quick pastes a quarter of the lines.

#include "console.h"
#include "fakecontroller.h"
#include "mainwindow.h"
#include "messageboxwatcher.h"
#include "probe.h"

#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

#include <cstdio>

namespace {

struct StallMeter {
    QTimer ticker;
    QElapsedTimer clock;
    qint64 lastNs = 0;
    qint64 worstNs = 0;

    StallMeter()
    {
        ticker.setInterval(1);
        QObject::connect(&ticker, &QTimer::timeout, [this] { tick(); });
    }
    void start()
    {
        worstNs = 0;
        clock.start();
        lastNs = clock.nsecsElapsed();
        ticker.start();
    }
    void tick()
    {
        const qint64 now = clock.nsecsElapsed();
        worstNs = qMax(worstNs, now - lastNs);
        lastNs = now;
    }
    double stop()
    {
        tick();
        ticker.stop();
        return worstNs / 1e6;
    }
};

void report(const char *key, double value)
{
    std::printf("%s %.3f\n", key, value);
    std::fflush(stdout);
}

struct Rig {
    FakeController controller;
    Panel panel;
    MainWindow &window = panel.window();
    MainWindowProbe probe{window};

    bool connect()
    {
        panel.preselectPort(controller.portPath());
        window.show();
        probe.ui()->pushButton_Console->click();
        probe.ui()->actionConnect->trigger();
        controller.send("_Ver 312 DVX1901\r");
        if (!QTest::qWaitFor([this] { return !probe.controllerModel().isEmpty(); }))
            return false;
        probe.console()->setFocus();
        return controller.waitForReceived(">cp\r");
    }
};

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const bool quick = app.arguments().contains(QStringLiteral("--quick"));
    StallMeter meter;

    {
        // One megabyte without a line break: refused at once, nothing written.
        Rig panel;
        if (!panel.connect())
            return 1;
        QGuiApplication::clipboard()->setText(QString(1024 * 1024, QLatin1Char('a')));
        meter.start();
        QTest::keyClick(panel.probe.console(), Qt::Key_V, Qt::ControlModifier);
        QTest::keyClick(panel.probe.console(), Qt::Key_Return);
        QTest::qWait(20);
        report("paste_1mb_one_line_worst_stall_ms", meter.stop());
    }

    {
        // A megabyte of short commands, then Return: every line leaves, the poll goes on.
        Rig panel;
        if (!panel.connect())
            return 1;
        const int lines = quick ? 43690 : 174762; // six bytes each: a megabyte in full
        QString text;
        text.reserve(lines * 6);
        for (int i = 0; i < lines; ++i)
            text += QStringLiteral(">mr %1\n").arg(i % 10);
        QGuiApplication::clipboard()->setText(text);
        panel.controller.clearReceived();
        QElapsedTimer total;
        total.start();
        meter.start();
        QElapsedTimer keys;
        keys.start();
        QTest::keyClick(panel.probe.console(), Qt::Key_V, Qt::ControlModifier);
        const double pasteKeyMs = keys.nsecsElapsed() / 1e6;
        QTest::keyClick(panel.probe.console(), Qt::Key_Return);
        const bool done = QTest::qWaitFor(
            [&] { return panel.controller.received().count(">mr ") >= lines; }, 600000);
        const double stall = meter.stop();
        if (!done)
            return 1;
        report("paste_bytes", text.size());
        report("paste_lines_worst_stall_ms", stall);
        report("paste_lines_ctrl_v_ms", pasteKeyMs);
        report("paste_lines_total_s", total.elapsed() / 1000.0);
        report("paste_polls_during", panel.controller.received().count(">cp\r"));
    }

    {
        // The controller stops reading; the operator disconnects with output still queued.
        Rig panel;
        if (!panel.connect())
            return 1;
        panel.controller.setReading(false);
        const QString line = QStringLiteral(">x ") + QString(3990, QLatin1Char('9'));
        for (int i = 0; i < 100; ++i)
            panel.window.session()->sendLine(line, Mover::client(nullptr));
        qint64 queued = -1;
        while (queued != panel.probe.serialPort()->bytesToWrite()) {
            queued = panel.probe.serialPort()->bytesToWrite();
            QTest::qWait(50);
        }
        MessageBoxWatcher watcher;
        meter.start();
        panel.probe.ui()->actionDisconnect->trigger();
        report("disconnect_worst_stall_ms", meter.stop());
        report("disconnect_queued_bytes", queued);
        report("disconnect_error_boxes", watcher.count());
        const QStringList console = panel.probe.console()->toPlainText().split(QLatin1Char('\n'));
        for (const QString &text : console) {
            if (text.startsWith(QLatin1String("Disconnected with")))
                std::printf("disconnect_console \"%s\"\n", qPrintable(text));
        }
    }
    return 0;
}
