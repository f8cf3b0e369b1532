// Scripts drive the real panel against dvxsim over the control socket: connect, home, waiting
// moves and what the panel shows of them, refusals where the operator's control is disabled,
// two scripts at once, a line that goes away mid-move, and mirastellon-ctl's exit statuses.

#include "console.h"
#include "controlclient.h"
#include "controlserver.h"
#include "messageboxwatcher.h"
#include "probe.h"
#include "simulatorprocess.h"

#include <QJsonArray>
#include <QLabel>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

QJsonObject req(int id, const char *command, QJsonObject arguments = {})
{
    arguments.insert(QStringLiteral("id"), id);
    arguments.insert(QStringLiteral("cmd"), QLatin1String(command));
    return arguments;
}

QJsonObject resultOf(const QJsonObject &reply)
{
    return reply.value(QLatin1String("result")).toObject();
}

// What mirastellon-ctl printed and how it ended.
struct CtlRun {
    int exitCode = -1;
    QString out;
    QString err;
};

} // namespace

class TestControlEndToEnd : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void scriptConnectsHomesAndMoves();
    void refusedWhereTheOperatorsControlIsDisabled();
    void secondWaitingMoveIsBusy();
    void lineLostDuringWaitingMove();
    void silentControllerIsNoDevice();
    void panelClosesDuringWaitingMove();
    void ctlExitStatuses();
    void ctlRefusesBadCommandLines_data();
    void ctlRefusesBadCommandLines();
    void sequenceFromTheSocket();
    void hostileSequenceRequests();

private:
    // Starts dvxsim and a script client that has connected the panel to it.
    bool connectPanel(const QStringList &simulatorArguments = {});
    CtlRun ctl(const QStringList &arguments);
    Ui::MainWindow *ui() const { return MainWindowProbe(*window).ui(); }
    QString consoleText() const
    {
        QString text = MainWindowProbe(*window).console()->toPlainText();
        text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
        return text;
    }

    std::unique_ptr<MessageBoxWatcher> boxes;
    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<Panel> panel;
    MainWindow *window = nullptr;
    std::unique_ptr<SimulatorProcess> simulator;
    std::unique_ptr<ControlClient> client;
    QString path;
    int expectedBoxes = 0;
};

void TestControlEndToEnd::initTestCase()
{
    if (qEnvironmentVariableIsEmpty("DVXSIM"))
        QSKIP("DVXSIM names no simulator; configure with the simulator to run these tests");
}

void TestControlEndToEnd::init()
{
    boxes = std::make_unique<MessageBoxWatcher>();
    dir = std::make_unique<QTemporaryDir>();
    path = dir->filePath(QStringLiteral("panel.sock"));
    panel = std::make_unique<Panel>();
    window = &panel->window();
    window->show();
    QString error;
    QVERIFY2(panel->startControlServer(path, &error), qPrintable(error));
    simulator = std::make_unique<SimulatorProcess>();
    client = std::make_unique<ControlClient>(path);
    QVERIFY(client->connected());
    expectedBoxes = 0;
}

void TestControlEndToEnd::cleanup()
{
    client.reset();
    if (window && MainWindowProbe(*window).serialPort()->isOpen())
        ui()->actionDisconnect->trigger();
    simulator.reset();
    panel.reset();
    window = nullptr;
    const QStringList texts = boxes->texts;
    const int count = boxes->count();
    boxes.reset();
    dir.reset();
    QVERIFY2(count == expectedBoxes, qPrintable(texts.join(QLatin1String(" | "))));
}

bool TestControlEndToEnd::connectPanel(const QStringList &simulatorArguments)
{
    if (!simulator->start(simulatorArguments))
        return false;
    const QJsonObject reply =
        client->request(req(100, "connect", {{QStringLiteral("port"), simulator->terminal}}));
    return reply.value(QLatin1String("ok")).toBool() &&
           resultOf(reply).value(QLatin1String("model")).toString() == QLatin1String("1901");
}

CtlRun TestControlEndToEnd::ctl(const QStringList &arguments)
{
    // Run without blocking: the panel answering it lives in this thread.
    QProcess process;
    process.start(QString::fromLocal8Bit(qgetenv("MIRASTELLON_CTL")), arguments);
    CtlRun run;
    if (!QTest::qWaitFor([&process] { return process.state() == QProcess::NotRunning; }, 30000))
        return run;
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

void TestControlEndToEnd::scriptConnectsHomesAndMoves()
{
    QVERIFY(connectPanel());
    // The panel shows the controller the script connected to.
    QTRY_VERIFY(MainWindowProbe(*window).statusLabel()->text().contains(QLatin1String("DVX1901")));
    const QJsonObject events{
        {QStringLiteral("events"), QJsonArray{QStringLiteral("position"), QStringLiteral("console"),
                                              QStringLiteral("state")}}};
    ControlClient watcher(path);
    QVERIFY(watcher.connected());
    QVERIFY(watcher.request(req(1, "subscribe", events)).value(QLatin1String("ok")).toBool());

    QVERIFY(client->request(req(2, "home")).value(QLatin1String("ok")).toBool());
    QVERIFY(ui()->pushButton_home->styleSheet().contains(QLatin1String("green")));
    const QJsonObject moved = client->request(
        req(3, "move_to", {{QStringLiteral("um"), 1000}, {QStringLiteral("wait"), true}}), 20000);
    QVERIFY2(moved.value(QLatin1String("ok")).toBool(), QJsonDocument(moved).toJson().constData());
    const double settled = resultOf(moved).value(QLatin1String("position_um")).toDouble();
    QVERIFY(qAbs(settled - 1000.0) <= 0.5);
    QVERIFY(resultOf(moved).value(QLatin1String("elapsed_s")).toDouble() > 0.0);
    // The operator sees the same: the command on the console and the position in the readout.
    QVERIFY(consoleText().contains(QLatin1String(">ma 10000\n")));
    QCOMPARE(ui()->label_Position->text(), QStringLiteral("1000.000 \u00b5m"));

    const QJsonObject stepped = client->request(
        req(4, "move_by", {{QStringLiteral("um"), -250.5}, {QStringLiteral("wait"), true}}), 20000);
    QVERIFY(qAbs(resultOf(stepped).value(QLatin1String("position_um")).toDouble() - 749.5) <= 0.5);
    // A script's step goes to the controller, not through the operator's step box.
    QCOMPARE(ui()->doubleSpinBox_mrstp->value(), 200.0);
    QVERIFY(consoleText().contains(QLatin1String(">mr -2505\n")));

    const QJsonObject state = resultOf(client->request(req(5, "state")));
    QCOMPARE(state.value(QLatin1String("homed")), QJsonValue(true));
    QCOMPARE(state.value(QLatin1String("target_um")).toDouble(), 749.5);
    QCOMPARE(state.value(QLatin1String("loop")).toString(), QStringLiteral("closed"));

    // A raw line goes out as if typed into the console, and its answer shows there.
    QVERIFY(client->request(req(6, "send", {{QStringLiteral("line"), QStringLiteral(">cp")}}))
                .value(QLatin1String("ok"))
                .toBool());
    QTRY_VERIFY(consoleText().contains(QLatin1String("_cp 749.500 um")));

    // The watcher saw it all as events.
    bool sawPosition = false, sawHomed = false, sawConsoleReply = false;
    QString consoleStream;
    for (QJsonObject line = watcher.nextLine(1000); !line.isEmpty(); line = watcher.nextLine(200)) {
        const QString event = line.value(QLatin1String("event")).toString();
        if (event == QLatin1String("position"))
            sawPosition = sawPosition || line.value(QLatin1String("um")).isDouble();
        else if (event == QLatin1String("state"))
            sawHomed = sawHomed || line.value(QLatin1String("homed")).toBool();
        else if (event == QLatin1String("console"))
            consoleStream += line.value(QLatin1String("text")).toString();
    }
    sawConsoleReply = consoleStream.contains(QLatin1String("_cp 749.500 um"));
    QVERIFY(sawPosition);
    QVERIFY(sawHomed);
    QVERIFY2(sawConsoleReply, qPrintable(consoleStream));
    QVERIFY(consoleStream.contains(QLatin1String(">stop\r>home\r")));

    QVERIFY(client->request(req(7, "disconnect")).value(QLatin1String("ok")).toBool());
    QCOMPARE(MainWindowProbe(*window).statusLabel()->text(), QStringLiteral("Disconnected"));
}

void TestControlEndToEnd::refusedWhereTheOperatorsControlIsDisabled()
{
    QVERIFY(connectPanel());
    // Before Home the arrows and the target box are disabled.
    QTRY_VERIFY(ui()->pushButton_home->isEnabled());
    const QString before = consoleText();
    QCOMPARE(
        ControlClient::errorCode(client->request(req(1, "move_by", {{QStringLiteral("um"), 10}}))),
        QStringLiteral("unavailable"));
    QCOMPARE(
        ControlClient::errorCode(client->request(req(2, "move_to", {{QStringLiteral("um"), 10}}))),
        QStringLiteral("unavailable"));
    QCOMPARE(ControlClient::errorCode(client->request(
                 req(3, "step", {{QStringLiteral("direction"), QStringLiteral("forward")}}))),
             QStringLiteral("unavailable"));
    QVERIFY(client->request(req(4, "home")).value(QLatin1String("ok")).toBool());
    // Beyond the travel, as the target box would not send it.
    QCOMPARE(ControlClient::errorCode(
                 client->request(req(5, "move_to", {{QStringLiteral("um"), 7000}}))),
             QStringLiteral("bad_request"));
    QCOMPARE(ControlClient::errorCode(
                 client->request(req(6, "move_to", {{QStringLiteral("um"), 1e300}}))),
             QStringLiteral("bad_request"));

    // On the open-loop page closed-loop moves are refused and the open-loop controls work.
    ui()->tabWidget_LoopMode->setCurrentIndex(1);
    QCOMPARE(
        ControlClient::errorCode(client->request(req(7, "move_to", {{QStringLiteral("um"), 10}}))),
        QStringLiteral("unavailable"));
    QCOMPARE(ControlClient::errorCode(client->request(req(8, "home"))),
             QStringLiteral("unavailable"));
    QVERIFY(
        client->request(req(9, "step", {{QStringLiteral("direction"), QStringLiteral("reverse")}}))
            .value(QLatin1String("ok"))
            .toBool());
    QVERIFY(client
                ->request(req(10, "open_loop",
                              {{QStringLiteral("duration"), 250}, {QStringLiteral("cycle"), 3}}))
                .value(QLatin1String("ok"))
                .toBool());
    QCOMPARE(ui()->spinBox_Duration->value(), 250);
    QCOMPARE(ui()->spinBox_Cycle->value(), 3);
    QCOMPARE(ControlClient::errorCode(
                 client->request(req(11, "open_loop", {{QStringLiteral("interval"), 999999999}}))),
             QStringLiteral("bad_request"));
    QVERIFY(client->request(req(12, "bi")).value(QLatin1String("ok")).toBool());
    const QString shown = consoleText().mid(before.size());
    QVERIFY2(shown.contains(QLatin1String(">re\n")) &&
                 shown.contains(QLatin1String(">duration 250\n")) &&
                 shown.contains(QLatin1String(">cycle 3\n")) &&
                 shown.contains(QLatin1String(">bi\n")),
             qPrintable(shown));
    QVERIFY(!shown.contains(QLatin1String(">ma")));
    QCOMPARE(resultOf(client->request(req(13, "state"))).value(QLatin1String("loop")).toString(),
             QStringLiteral("open"));
}

void TestControlEndToEnd::secondWaitingMoveIsBusy()
{
    QVERIFY(connectPanel());
    QTRY_VERIFY(ui()->pushButton_home->isEnabled());
    QVERIFY(client->request(req(1, "home")).value(QLatin1String("ok")).toBool());
    ControlClient second(path);
    QVERIFY(second.connected());
    // A long move: 6000 um at the simulator's 2000 um/s.
    client->send(req(2, "move_to",
                     {{QStringLiteral("um"), 6000},
                      {QStringLiteral("wait"), true},
                      {QStringLiteral("timeout_s"), 1}}));
    QTest::qWait(100);
    QCOMPARE(ControlClient::errorCode(second.request(
                 req(3, "move_to", {{QStringLiteral("um"), 10}, {QStringLiteral("wait"), true}}))),
             QStringLiteral("busy"));
    QCOMPARE(ControlClient::errorCode(second.request(req(4, "home"))), QStringLiteral("busy"));
    // The first times out without the move being stopped.
    const QJsonObject timedOut = client->nextReply(10000);
    QCOMPARE(ControlClient::errorCode(timedOut), QStringLiteral("timeout"));
    QVERIFY(!consoleText().contains(QLatin1String(">stop\n>home\n>stop")));
    // Once it has answered, moves are accepted again; Stop is always.
    QVERIFY(second.request(req(5, "stop")).value(QLatin1String("ok")).toBool());
    QVERIFY(second.request(req(6, "move_to", {{QStringLiteral("um"), 10}}))
                .value(QLatin1String("ok"))
                .toBool());
}

void TestControlEndToEnd::lineLostDuringWaitingMove()
{
    QVERIFY(connectPanel({QStringLiteral("--hangup-after"), QStringLiteral("2")}));
    QTRY_VERIFY(ui()->pushButton_home->isEnabled());
    QVERIFY(client->request(req(1, "home")).value(QLatin1String("ok")).toBool());
    expectedBoxes = 1;
    const QJsonObject reply = client->request(req(2, "move_to",
                                                  {{QStringLiteral("um"), 6000},
                                                   {QStringLiteral("wait"), true},
                                                   {QStringLiteral("timeout_s"), 20}}),
                                              15000);
    QCOMPARE(ControlClient::errorCode(reply), QStringLiteral("disconnected"));
    QTRY_COMPARE(boxes->count(), 1);
    QCOMPARE(boxes->titles.value(0), QStringLiteral("Critical Error"));
    QCOMPARE(ControlClient::errorCode(client->request(req(3, "home"))),
             QStringLiteral("not_connected"));
}

void TestControlEndToEnd::silentControllerIsNoDevice()
{
    QVERIFY(simulator->start({QStringLiteral("--silent")}));
    expectedBoxes = 1;
    const QJsonObject reply =
        client->request(req(1, "connect", {{QStringLiteral("port"), simulator->terminal}}));
    QCOMPARE(ControlClient::errorCode(reply), QStringLiteral("no_device"));
    QTRY_COMPARE(boxes->count(), 1);
    QVERIFY(boxes->texts.value(0).startsWith(QLatin1String("No Device found")));
}

void TestControlEndToEnd::panelClosesDuringWaitingMove()
{
    QVERIFY(connectPanel());
    QTRY_VERIFY(ui()->pushButton_home->isEnabled());
    QVERIFY(client->request(req(1, "home")).value(QLatin1String("ok")).toBool());
    client->send(req(2, "move_to", {{QStringLiteral("um"), 6000}, {QStringLiteral("wait"), true}}));
    ControlClient watcher(path);
    QVERIFY(watcher.connected());
    QVERIFY(watcher
                .request(req(3, "subscribe",
                             {{QStringLiteral("events"), QJsonArray{QStringLiteral("position")}}}))
                .value(QLatin1String("ok"))
                .toBool());
    QVERIFY(!watcher.nextLine().isEmpty());
    // The operator quits while the script still waits: the panel goes, and so do its clients.
    panel.reset();
    window = nullptr;
    QVERIFY(client->closedByPanel());
    QVERIFY(watcher.closedByPanel());
    QVERIFY(!QFile::exists(path));
}

void TestControlEndToEnd::ctlRefusesBadCommandLines_data()
{
    QTest::addColumn<QStringList>("words");
    QTest::addColumn<QString>("message");
    const auto row = [](const char *name, const QStringList &words, const char *message) {
        QTest::newRow(name) << words << QString::fromUtf8(message);
    };
    row("nothing", {}, "no command given");
    row("unknown", {"fly"}, "unknown command: fly");
    row("state with a word", {"state", "now"}, "state takes no arguments");
    row("watch with a word", {"watch", "all"}, "watch takes no arguments");
    row("two ports", {"connect", "/dev/a", "/dev/b"}, "connect takes at most one port");
    row("move without distance", {"move-to"}, "move-to takes one distance in micrometres");
    row("move by two", {"move-by", "1", "2"}, "move-by takes one distance in micrometres");
    row("letters", {"move-by", "abc"}, "not a number: abc");
    row("infinite", {"move-to", "inf"}, "not a number: inf");
    row("too large", {"move-by", "-1e400"}, "not a number: -1e400");
    row("tolerance", {"move-to", "5", "--wait", "--tolerance", "x"}, "--tolerance needs a number");
    row("no time", {"move-to", "5", "--wait", "--timeout", "0"},
        "--timeout needs seconds, above 0");
    row("a day and more", {"move-to", "5", "--wait", "--timeout", "86401"},
        "--timeout needs seconds, above 0");
    row("wait without a move", {"state", "--wait"}, "--wait, --tolerance and --timeout belong");
    row("timeout without wait", {"move-to", "5", "--timeout", "3"},
        "--wait, --tolerance and --timeout belong");
    row("send nothing", {"send"}, "send takes one line (quote it)");
    row("log start without file", {"log", "start"}, "log takes start FILE or stop");
    row("log stop with file", {"log", "stop", "x"}, "log takes start FILE or stop");
    row("log what", {"log", "pause"}, "log takes start FILE or stop");
}

// Refused before anything is sent: the panel listening on the socket would have answered.
void TestControlEndToEnd::ctlRefusesBadCommandLines()
{
    QFETCH(QStringList, words);
    QFETCH(QString, message);
    const CtlRun run = ctl(QStringList{QStringLiteral("--socket"), path} + words);
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(run.err.startsWith(QStringLiteral("mirastellon-ctl: ") + message),
             qPrintable(run.err));
    QVERIFY2(run.err.contains(QLatin1String("Try 'mirastellon-ctl --help'.")), qPrintable(run.err));
    QVERIFY(run.out.isEmpty());
}

void TestControlEndToEnd::sequenceFromTheSocket()
{
    QVERIFY(connectPanel({QStringLiteral("--speed"), QStringLiteral("20000")}));
    QTRY_VERIFY(ui()->pushButton_home->isEnabled());
    QVERIFY(client->request(req(1, "home")).value(QLatin1String("ok")).toBool());
    QVERIFY(
        client->request(req(2, "subscribe", {{QStringLiteral("events"), QJsonArray{"sequence"}}}))
            .value(QLatin1String("ok"))
            .toBool());
    ControlClient second(path);
    QVERIFY(second.connected());

    const QJsonArray steps{QJsonObject{{"um", 100}, {"dwell_ms", 50}, {"label", "a"}},
                           QJsonObject{{"um", 300}, {"dwell_ms", 50}}};
    client->send(req(3, "sequence_run", {{QStringLiteral("steps"), steps}}));
    QTRY_VERIFY(window->session()->state().targetUm.has_value());
    // One run at a time, and no other mover while it goes on; the panel's own target box is
    // locked too.
    QCOMPARE(ControlClient::errorCode(
                 second.request(req(4, "sequence_run", {{QStringLiteral("steps"), steps}}))),
             QStringLiteral("busy"));
    QCOMPARE(
        ControlClient::errorCode(second.request(req(5, "move_to", {{QStringLiteral("um"), 1}}))),
        QStringLiteral("busy"));
    QVERIFY(!ui()->doubleSpinBox_Position->isEnabled());

    QJsonObject reply;
    QStringList states;
    for (int lines = 0; lines < 100 && reply.isEmpty(); ++lines) {
        const QJsonObject line = client->nextLine(10000);
        QVERIFY(!line.isEmpty());
        if (line.value(QLatin1String("event")) == QLatin1String("sequence"))
            states << line.value(QLatin1String("state")).toString();
        else
            reply = line;
    }
    QVERIFY2(reply.value(QLatin1String("ok")).toBool(), QJsonDocument(reply).toJson().constData());
    QVERIFY(states.contains(QLatin1String("moving")));
    QVERIFY(states.contains(QLatin1String("dwelling")));
    QCOMPARE(states.last(), QStringLiteral("finished"));
    const QJsonArray log = resultOf(reply).value(QLatin1String("log")).toArray();
    QCOMPARE(log.size(), 2);
    QCOMPARE(log.at(0).toObject().value(QLatin1String("label")).toString(), QStringLiteral("a"));
    for (int i = 0; i < 2; ++i) {
        const QJsonObject entry = log.at(i).toObject();
        QVERIFY(std::abs(entry.value(QLatin1String("settled_um")).toDouble() -
                         entry.value(QLatin1String("target_um")).toDouble()) <= 0.5);
    }
    QVERIFY(consoleText().contains(QLatin1String(">ma 1000\n")));
    QVERIFY(consoleText().contains(QLatin1String(">ma 3000\n")));
    QTRY_VERIFY(ui()->doubleSpinBox_Position->isEnabled());

    // Abort sends Stop at once and ends the run with its reason.
    client->send(
        req(6, "sequence_run",
            {{QStringLiteral("steps"), QJsonArray{QJsonObject{{"um", 5000}, {"dwell_ms", 0}}}}}));
    QTRY_VERIFY(window->session()->state().targetUm == 5000.0);
    QVERIFY(second.request(req(7, "sequence_abort")).value(QLatin1String("ok")).toBool());
    const QJsonObject aborted = client->nextReply(10000);
    QCOMPARE(ControlClient::errorCode(aborted), QStringLiteral("unavailable"));
    QVERIFY(consoleText().endsWith(QLatin1String(">stop\n")) ||
            consoleText().contains(QLatin1String(">ma 50000\n>stop\n")));
    QCOMPARE(ControlClient::errorCode(second.request(req(8, "sequence_abort"))),
             QStringLiteral("unavailable"));
}

void TestControlEndToEnd::hostileSequenceRequests()
{
    QVERIFY(connectPanel());
    QTRY_VERIFY(ui()->pushButton_home->isEnabled());
    const auto code = [this](const QJsonValue &steps, const QJsonObject &extra = {}) {
        QJsonObject arguments = extra;
        arguments.insert(QStringLiteral("steps"), steps);
        return ControlClient::errorCode(client->request(req(9, "sequence_run", arguments)));
    };
    const QString bad = QStringLiteral("bad_request");
    QCOMPARE(code(QJsonArray{}), bad);
    QCOMPARE(code(QStringLiteral("0,1,2")), bad);
    QCOMPARE(code(QJsonArray{1, 2}), bad);
    QCOMPARE(code(QJsonArray{QJsonObject{{"um", "100"}}}), bad);
    QCOMPARE(code(QJsonArray{QJsonObject{{"um", 1e7}}}), bad);
    QCOMPARE(code(QJsonArray{QJsonObject{{"um", 10}, {"dwell_ms", -1}}}), bad);
    QCOMPARE(code(QJsonArray{QJsonObject{{"um", 10}, {"dwell_ms", 0.5}}}), bad);
    QCOMPARE(code(QJsonArray{QJsonObject{{"um", 10}, {"speed", 3}}}), bad);
    QCOMPARE(code(QJsonArray{QJsonObject{{"um", 10}}}, {{QStringLiteral("repeat"), 0}}), bad);
    // Before Home a run is not available, as the window's Run button is not.
    QCOMPARE(code(QJsonArray{QJsonObject{{"um", 10}}}), QStringLiteral("unavailable"));
    // Beyond the travel: refused before anything moves, naming the step.
    QVERIFY(client->request(req(10, "home")).value(QLatin1String("ok")).toBool());
    const QJsonObject beyond =
        client->request(req(11, "sequence_run",
                            {{QStringLiteral("steps"),
                              QJsonArray{QJsonObject{{"um", 10}}, QJsonObject{{"um", 9000}}}}}));
    QCOMPARE(ControlClient::errorCode(beyond), bad);
    QVERIFY(beyond.value(QLatin1String("error"))
                .toObject()
                .value(QLatin1String("message"))
                .toString()
                .contains(QLatin1String("2")));
    QVERIFY(!consoleText().contains(QLatin1String(">ma 100\n")));
}

void TestControlEndToEnd::ctlExitStatuses()
{
    const QString missing = dir->filePath(QStringLiteral("nobody.sock"));
    CtlRun run = ctl({QStringLiteral("--socket"), missing, QStringLiteral("state")});
    QCOMPARE(run.exitCode, 2);
    QVERIFY(run.err.contains(QLatin1String("cannot reach the panel")));
    QCOMPARE(ctl({QStringLiteral("--socket"), path, QStringLiteral("fly")}).exitCode, 2);
    QCOMPARE(ctl({QStringLiteral("--socket"), path, QStringLiteral("move-to")}).exitCode, 2);
    QCOMPARE(
        ctl({QStringLiteral("--socket"), path, QStringLiteral("--bogus"), QStringLiteral("state")})
            .exitCode,
        2);
    run = ctl({QStringLiteral("--help")});
    QCOMPARE(run.exitCode, 0);
    QVERIFY(run.out.contains(QLatin1String("move-to UM")));

    run = ctl({QStringLiteral("--socket"), path, QStringLiteral("state")});
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(QJsonDocument::fromJson(run.out.toUtf8()).object().value(QLatin1String("connected")),
             QJsonValue(false));
    run = ctl({QStringLiteral("--socket"), path, QStringLiteral("home")});
    QCOMPARE(run.exitCode, 1);
    QVERIFY(run.err.contains(QLatin1String("not_connected")));

    QVERIFY(simulator->start({}));
    run = ctl({QStringLiteral("--socket"), path, QStringLiteral("connect"), simulator->terminal});
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    run = ctl({QStringLiteral("--socket"), path, QStringLiteral("move-by"), QStringLiteral("-50")});
    QCOMPARE(run.exitCode, 1);
    QVERIFY(run.err.contains(QLatin1String("unavailable")));
    QCOMPARE(ctl({QStringLiteral("--socket"), path, QStringLiteral("home")}).exitCode, 0);
    run = ctl({QStringLiteral("--socket"), path, QStringLiteral("--plain"),
               QStringLiteral("move-to"), QStringLiteral("1000"), QStringLiteral("--wait")});
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    const QStringList lines = run.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 2);
    QVERIFY(qAbs(lines.first().toDouble() - 1000.0) <= 0.5);
    run = ctl({QStringLiteral("--socket"), path, QStringLiteral("move-by"), QStringLiteral("-50"),
               QStringLiteral("--wait")});
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    QVERIFY(qAbs(QJsonDocument::fromJson(run.out.toUtf8())
                     .object()
                     .value(QLatin1String("position_um"))
                     .toDouble() -
                 950.0) <= 0.5);
    run =
        ctl({QStringLiteral("--socket"), path, QStringLiteral("--plain"), QStringLiteral("state")});
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.out.split(QLatin1Char('\n')).value(4), QStringLiteral("true"));
    run = ctl({QStringLiteral("--socket"), path, QStringLiteral("send"), QStringLiteral(">cp")});
    QCOMPARE(run.exitCode, 0);
}

QTEST_MAIN(TestControlEndToEnd)
#include "tst_controlendtoend.moc"
