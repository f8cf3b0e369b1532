// Unplug and come back: which device the panel was connected to and how it is found again, the
// wait for it after a dropped link, and the whole round against dvxsim restarted under the same
// link, as an adapter that is pulled out and plugged in again.

#include "console.h"
#include "deviceidentity.h"
#include "fakeportlister.h"
#include "messageboxwatcher.h"
#include "portlister.h"
#include "probe.h"
#include "reconnectwaiter.h"
#include "settingsdialog.h"
#include "simulatorprocess.h"

#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <unistd.h>

namespace {

const QString kStableLink = QStringLiteral("/dev/serial/by-id/usb-FTDI_FT232R_A50285BI-if00-port0");

// Fires only when the test says so.
class ManualTimer : public WaitTimer {
public:
    void start(int ms, std::function<void()> onTimeout) override
    {
        intervalMs = ms;
        callback = std::move(onTimeout);
        active = true;
    }
    void stop() override { active = false; }
    bool isActive() const override { return active; }
    void fire()
    {
        if (active && callback)
            callback();
    }

    int intervalMs = 0;
    bool active = false;
    std::function<void()> callback;
};

bool makeLink(const QString &target, const QString &link)
{
    QFile::remove(link);
    return ::symlink(QFile::encodeName(target).constData(), QFile::encodeName(link).constData()) ==
           0;
}

// The panel, a simulator behind a link in a folder of the test's own, and every box counted.
struct Rig {
    MessageBoxWatcher boxes;
    QTemporaryDir dir;
    SimulatorProcess simulator;
    Panel panel;
    MainWindow &window = panel.window();
    MainWindowProbe probe{window};
    QString link = dir.filePath(QStringLiteral("stage"));
    QList<PanelEvent> events;

    Rig()
    {
        QObject::connect(window.session(), &Stage::panelEvent,
                         [this](const PanelEvent &e) { events << e; });
    }

    Ui::MainWindow *ui() const { return probe.ui(); }
    QString status() const { return probe.statusLabel()->text(); }
    QString console() const { return probe.console()->toPlainText(); }
    QString waitingText() const { return QStringLiteral("Waiting for %1 to return\u2026"); }

    // As the operator: Configure, tick the box (or not), Apply.
    void chooseReconnect(bool on)
    {
        ui()->actionConfigure->trigger();
        SettingsDialog *dialog = probe.settingsDialog();
        dialog->findChild<QCheckBox *>(QStringLiteral("reconnectCheckBox"))->setChecked(on);
        QTest::mouseClick(dialog->findChild<QPushButton *>(QStringLiteral("applyButton")),
                          Qt::LeftButton);
    }

    bool startSimulator(const QStringList &extra = {})
    {
        return simulator.start(QStringList{QStringLiteral("--link"), link} + extra);
    }

    bool connectAndIdentify(const QString &port)
    {
        panel.preselectPort(port);
        ui()->actionConnect->trigger();
        return probe.serialPort()->isOpen() &&
               QTest::qWaitFor([this] { return !probe.controllerModel().isEmpty(); }, 5000);
    }

    int notes(const QString &text) const
    {
        int n = 0;
        for (const PanelEvent &e : events)
            n += e.kind == PanelEvent::Kind::Note && e.text == text;
        return n;
    }

    // The link drops: the simulator hangs up and exits, and the panel shows its one box.
    bool unplug()
    {
        return simulator.exited() && QTest::qWaitFor([this] { return boxes.count() == 1; }, 5000) &&
               !probe.serialPort()->isOpen();
    }

    // Two looks of the wait go by.
    void letTheWaitLook()
    {
        QTest::qWait(2 * ReconnectWaiter::kLookIntervalMs + ReconnectWaiter::kLookIntervalMs / 2);
    }
};

} // namespace

class TestReconnect : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();

    void identityIsTheFirmestNameThereIs();
    void identityLocatesTheDeviceAgain();
    void stableLinksOnDisk();
    void waiterLooksOnlyWhileWaiting();
    void waiterReportsTheModelThatAnswers();

    void reconnectsWhenTheDeviceReturns_data();
    void reconnectsWhenTheDeviceReturns();
    void differentModelIsReported();
    void lossBoxClosesWhenReconnected();
    void noReconnectWhenNotChosen();
    void waitingEnds_data();
    void waitingEnds();

private:
    bool haveSimulator = false;
};

void TestReconnect::initTestCase()
{
    haveSimulator = !qEnvironmentVariableIsEmpty("DVXSIM") &&
                    QFileInfo(QString::fromLocal8Bit(qgetenv("DVXSIM"))).isExecutable();
}

void TestReconnect::identityIsTheFirmestNameThereIs()
{
    FakePortLister lister;
    lister.list = {FakePortLister::port("ttyUSB0", "A50285BI", 0x0403, 0x6001),
                   FakePortLister::port("ttyUSB1", "0001", 0, 0),
                   FakePortLister::port("ttyACM0", QString(), 0x2341, 0x0043)};
    lister.links.insert(QStringLiteral("ttyUSB0"), kStableLink);
    lister.links.insert(kStableLink, kStableLink);

    // A port with a stable link is that link, picked from the list or given as a path.
    for (const QString &chosen : {QStringLiteral("ttyUSB0"), kStableLink}) {
        const DeviceIdentity id = DeviceIdentity::of(chosen, lister);
        QCOMPARE(id.kind, DeviceIdentity::Kind::StableLink);
        QCOMPARE(id.name(), kStableLink);
    }

    // Without a link, the serial number with both identifiers; the name stays the chosen one.
    lister.links.clear();
    DeviceIdentity id = DeviceIdentity::of(QStringLiteral("/dev/ttyUSB0"), lister);
    QCOMPARE(id.kind, DeviceIdentity::Kind::SerialNumber);
    QCOMPARE(id.serialNumber, QStringLiteral("A50285BI"));
    QCOMPARE(id.vendorId, quint16(0x0403));
    QCOMPARE(id.productId, quint16(0x6001));
    QCOMPARE(id.name(), QStringLiteral("/dev/ttyUSB0"));

    // A serial number without identifiers, or identifiers without a serial number, say too
    // little: the path it is.
    QCOMPARE(DeviceIdentity::of(QStringLiteral("ttyUSB1"), lister).kind,
             DeviceIdentity::Kind::Path);
    QCOMPARE(DeviceIdentity::of(QStringLiteral("ttyACM0"), lister).kind,
             DeviceIdentity::Kind::Path);
    id = DeviceIdentity::of(QStringLiteral("/dev/pts/7"), lister);
    QCOMPARE(id.kind, DeviceIdentity::Kind::Path);
    QCOMPARE(id.name(), QStringLiteral("/dev/pts/7"));
    QVERIFY(!DeviceIdentity::of(QString(), lister).isKnown());
}

void TestReconnect::identityLocatesTheDeviceAgain()
{
    FakePortLister lister;
    lister.list = {FakePortLister::port("ttyUSB0", "A50285BI", 0x0403, 0x6001)};
    const DeviceIdentity bySerial = DeviceIdentity::of(QStringLiteral("ttyUSB0"), lister);
    lister.links.insert(kStableLink, kStableLink);
    const DeviceIdentity byLink = DeviceIdentity::of(kStableLink, lister);
    const DeviceIdentity byPath = DeviceIdentity::of(QStringLiteral("/dev/ttyS0"), lister);
    QCOMPARE(bySerial.kind, DeviceIdentity::Kind::SerialNumber);
    QCOMPARE(byLink.kind, DeviceIdentity::Kind::StableLink);
    QCOMPARE(byPath.kind, DeviceIdentity::Kind::Path);

    // Unplugged: nothing anywhere.
    lister.list.clear();
    QVERIFY(bySerial.locate(lister).isEmpty());
    QVERIFY(byLink.locate(lister).isEmpty());
    QVERIFY(byPath.locate(lister).isEmpty());

    // Another adapter with the same serial number but another vendor is not the device.
    lister.list = {FakePortLister::port("ttyUSB0", "A50285BI", 0x10c4, 0x6001)};
    QVERIFY(bySerial.locate(lister).isEmpty());

    // Back under another name.
    lister.list << FakePortLister::port("ttyUSB1", "A50285BI", 0x0403, 0x6001);
    lister.present << kStableLink << QStringLiteral("/dev/ttyS0");
    QCOMPARE(bySerial.locate(lister), QStringLiteral("/dev/ttyUSB1"));
    QCOMPARE(byLink.locate(lister), kStableLink);
    QCOMPARE(byPath.locate(lister), QStringLiteral("/dev/ttyS0"));
}

// The folder of stable links as the system keeps it, with what it should not hold as well.
void TestReconnect::stableLinksOnDisk()
{
    QTemporaryDir root;
    QVERIFY(root.isValid());
    QVERIFY(QDir(root.path()).mkpath(QStringLiteral("by-id")));
    const QString byId = root.filePath(QStringLiteral("by-id"));
    const QString device = root.filePath(QStringLiteral("ttyUSB0"));
    const QString other = root.filePath(QStringLiteral("ttyUSB1"));
    for (const QString &path : {device, other}) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    const QString link = byId + QStringLiteral("/usb-MIRA_stage-if00");
    QVERIFY(makeLink(QStringLiteral("../ttyUSB0"), link));
    QVERIFY(makeLink(root.filePath(QStringLiteral("gone")), byId + QStringLiteral("/dangling")));
    QVERIFY(makeLink(byId + QStringLiteral("/loop-b"), byId + QStringLiteral("/loop-a")));
    QVERIFY(makeLink(byId + QStringLiteral("/loop-a"), byId + QStringLiteral("/loop-b")));

    SystemPortLister lister(byId);
    QCOMPARE(lister.stableNameFor(device), link);
    QCOMPARE(lister.stableNameFor(link), link);
    QVERIFY(lister.stableNameFor(other).isEmpty());
    QVERIFY(lister.stableNameFor(byId + QStringLiteral("/dangling")).isEmpty());
    QVERIFY(lister.stableNameFor(byId + QStringLiteral("/loop-a")).isEmpty());
    QVERIFY(lister.stableNameFor(root.filePath(QStringLiteral("gone"))).isEmpty());
    QVERIFY(lister.exists(link));
    QVERIFY(!lister.exists(byId + QStringLiteral("/dangling")));
    QVERIFY(!lister.exists(byId + QStringLiteral("/loop-a")));

    // The device goes: its link dangles and names nothing; it comes back as the other node.
    QVERIFY(QFile::remove(device));
    QVERIFY(!lister.exists(link));
    QVERIFY(makeLink(QStringLiteral("../ttyUSB1"), link));
    QCOMPARE(lister.stableNameFor(other), link);

    // A folder filled by mistake is looked at only so far: a link past the bound is not found,
    // and the lookup stays quick.
    QVERIFY(QDir(root.path()).mkpath(QStringLiteral("crowded")));
    const QString crowded = root.filePath(QStringLiteral("crowded"));
    for (int i = 0; i < SystemPortLister::kMaxLinks + 10; ++i)
        QVERIFY(makeLink(device, crowded + QStringLiteral("/a%1").arg(i, 4, 10, QLatin1Char('0'))));
    QVERIFY(makeLink(other, crowded + QStringLiteral("/z-last")));
    lister.setStableNameDir(crowded);
    QVERIFY(lister.stableNameFor(other).isEmpty());

    // A folder that does not exist names nothing.
    lister.setStableNameDir(root.filePath(QStringLiteral("none")));
    QVERIFY(lister.stableNameFor(other).isEmpty());
    QCOMPARE(portSystemPath(QStringLiteral("ttyUSB0")), QStringLiteral("/dev/ttyUSB0"));
    QCOMPARE(portSystemPath(QStringLiteral("/dev/pts/2")), QStringLiteral("/dev/pts/2"));
}

void TestReconnect::waiterLooksOnlyWhileWaiting()
{
    auto lister = std::make_shared<FakePortLister>();
    auto timer = std::make_unique<ManualTimer>();
    ManualTimer &clock = *timer;
    ReconnectWaiter waiter(lister, std::move(timer));
    QSignalSpy returned(&waiter, &ReconnectWaiter::deviceReturned);

    // Nothing was connected: there is nothing to wait for.
    QVERIFY(!waiter.linkLost());
    QVERIFY(!clock.isActive());

    const QString path = QStringLiteral("/dev/pts/9");
    waiter.connected(DeviceIdentity::of(path, *lister));
    QVERIFY(waiter.linkLost());
    QVERIFY(waiter.isWaiting());
    QCOMPARE(clock.intervalMs, ReconnectWaiter::kLookIntervalMs);
    clock.fire();
    QCOMPARE(returned.count(), 0);

    // Seen, but not yet opened: it is reported on every look.
    lister->present << path;
    clock.fire();
    clock.fire();
    QCOMPARE(returned.count(), 2);
    QCOMPARE(returned.first().first().toString(), path);
    waiter.reopened();
    QVERIFY(!clock.isActive());
    QCOMPARE(waiter.state(), ReconnectWaiter::State::Reopened);

    // Dropped again before it identified: the wait starts over.
    QVERIFY(waiter.linkLost());
    waiter.stopWaiting();
    QVERIFY(!waiter.isWaiting());
    QVERIFY(!clock.isActive());
    clock.callback();
    QCOMPARE(returned.count(), 2);

    // A connection the operator makes ends a wait and becomes the device to wait for.
    waiter.connected(DeviceIdentity::of(path, *lister));
    QVERIFY(waiter.linkLost());
    waiter.connected(DeviceIdentity::of(QStringLiteral("/dev/pts/10"), *lister));
    QVERIFY(!clock.isActive());
    QCOMPARE(waiter.state(), ReconnectWaiter::State::Connected);
    QCOMPARE(waiter.device().name(), QStringLiteral("/dev/pts/10"));
}

void TestReconnect::waiterReportsTheModelThatAnswers()
{
    auto lister = std::make_shared<FakePortLister>();
    auto timer = std::make_unique<ManualTimer>();
    ReconnectWaiter waiter(lister, std::move(timer));
    waiter.connected(DeviceIdentity::of(QStringLiteral("/dev/pts/9"), *lister));
    QVERIFY(!waiter.identified(QStringLiteral("1901")).reconnected);

    QVERIFY(waiter.linkLost());
    waiter.reopened();
    ReconnectWaiter::Identification id = waiter.identified(QStringLiteral("1901"));
    QVERIFY(id.reconnected);
    QVERIFY(!id.differentModel());
    // An identification the operator asks for later is no reconnect.
    QVERIFY(!waiter.identified(QStringLiteral("1901")).reconnected);

    QVERIFY(waiter.linkLost());
    waiter.reopened();
    id = waiter.identified(QStringLiteral("1804"));
    QVERIFY(id.reconnected);
    QCOMPARE(id.previousModel, QStringLiteral("1901"));
}

void TestReconnect::reconnectsWhenTheDeviceReturns_data()
{
    QTest::addColumn<bool>("throughStableName");
    QTest::newRow("link given as the port") << false;
    QTest::newRow("terminal with a stable name") << true;
}

void TestReconnect::reconnectsWhenTheDeviceReturns()
{
    QFETCH(bool, throughStableName);
    if (!haveSimulator)
        QSKIP("DVXSIM names no simulator");
    Rig r;
    QVERIFY(r.dir.isValid());
    r.window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&r.window));
    // The test's folder stands in for /dev/serial/by-id.
    if (throughStableName)
        r.probe.portLister()->setStableNameDir(r.dir.path());
    r.chooseReconnect(true);

    QVERIFY(r.startSimulator({QStringLiteral("--hangup-after"), QStringLiteral("1.5")}));
    QVERIFY(r.connectAndIdentify(throughStableName ? r.simulator.terminal : r.link));
    // Either way the operator reads the link's name, never the terminal behind it.
    QVERIFY2(r.status().startsWith("Connected to " + r.link + " (DVX1901)"),
             qPrintable(r.status()));
    QTRY_VERIFY(r.ui()->pushButton_home->isEnabled());
    r.ui()->pushButton_home->click();
    QVERIFY(r.probe.homed());

    QVERIFY(r.unplug());
    QCOMPARE(r.boxes.titles.first(), QStringLiteral("Critical Error"));
    QCOMPARE(r.status(), r.waitingText().arg(r.link));
    QCOMPARE(r.notes(r.waitingText().arg(r.link)), 1);
    QVERIFY(r.ui()->actionDisconnect->isEnabled());
    QVERIFY(!r.probe.homed());

    // Something is at the link that will not open as a port: the wait keeps trying, quietly.
    const QString notAPort = r.dir.filePath(QStringLiteral("not-a-port"));
    {
        QFile file(notAPort);
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    QVERIFY(makeLink(notAPort, r.link));
    QSignalSpy looks(r.probe.reconnectWaiter(), &ReconnectWaiter::deviceReturned);
    QTRY_VERIFY_WITH_TIMEOUT(looks.count() >= 2, 4 * ReconnectWaiter::kLookIntervalMs);
    QVERIFY(!r.probe.serialPort()->isOpen());
    QCOMPARE(r.boxes.count(), 1);
    QCOMPARE(r.status(), r.waitingText().arg(r.link));

    // The device comes back under the same link, on another terminal.
    const QString oldTerminal = r.simulator.terminal;
    QVERIFY(r.startSimulator());
    QTRY_VERIFY_WITH_TIMEOUT(r.probe.serialPort()->isOpen(), 3 * ReconnectWaiter::kLookIntervalMs);
    QTRY_COMPARE(r.probe.controllerModel(), QStringLiteral("1901"));
    QTRY_COMPARE(r.notes(QStringLiteral("Reconnected")), 1);
    QCOMPARE(r.probe.notice(), QStringLiteral("Reconnected"));
    QVERIFY(r.console().contains(QStringLiteral("Reconnected")));
    QVERIFY2(r.status().startsWith("Connected to " + r.link + " (DVX1901)"),
             qPrintable(r.status()));
    QVERIFY(!r.probe.homed());
    QTRY_COMPARE(r.ui()->pushButton_home->styleSheet(), QStringLiteral("color: red"));
    QTRY_VERIFY(r.ui()->pushButton_home->isEnabled());
    QVERIFY(r.ui()->actionDisconnect->isEnabled());
    QCOMPARE(r.boxes.count(), 1);
    Q_UNUSED(oldTerminal);

    r.ui()->actionDisconnect->trigger();
    QCOMPARE(r.status(), QStringLiteral("Disconnected"));
}

void TestReconnect::differentModelIsReported()
{
    if (!haveSimulator)
        QSKIP("DVXSIM names no simulator");
    Rig r;
    QVERIFY(r.dir.isValid());
    r.chooseReconnect(true);
    QVERIFY(r.startSimulator({QStringLiteral("--hangup-after"), QStringLiteral("1")}));
    QVERIFY(r.connectAndIdentify(r.link));
    QVERIFY(r.unplug());

    QVERIFY(r.startSimulator({QStringLiteral("--model"), QStringLiteral("1804")}));
    QTRY_VERIFY_WITH_TIMEOUT(r.boxes.count() == 2, 3 * ReconnectWaiter::kLookIntervalMs + 1000);
    QCOMPARE(r.boxes.titles.at(1), QStringLiteral("Different controller"));
    QVERIFY2(r.boxes.texts.at(1).contains(QStringLiteral("A DVX1804 answers on ") + r.link),
             qPrintable(r.boxes.texts.at(1)));
    QVERIFY(r.boxes.texts.at(1).contains(QStringLiteral("where a DVX1901 was connected before")));
    // Told, the operator decides: the link stays up with the model that answered.
    QVERIFY(r.probe.serialPort()->isOpen());
    QCOMPARE(r.probe.controllerModel(), QStringLiteral("1804"));
    r.ui()->actionDisconnect->trigger();
}

void TestReconnect::lossBoxClosesWhenReconnected()
{
    if (!haveSimulator)
        QSKIP("DVXSIM names no simulator");
    // No watcher here: the box stays open until something closes it.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    SimulatorProcess simulator;
    Panel panel;
    MainWindow &window = panel.window();
    MainWindowProbe probe(window);
    const QString link = dir.filePath(QStringLiteral("stage"));
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    panel.setReconnectAutomatically(true);
    QVERIFY(simulator.start(
        {QStringLiteral("--link"), link, QStringLiteral("--hangup-after"), QStringLiteral("1")}));
    panel.preselectPort(link);
    probe.ui()->actionConnect->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(probe.controllerModel(), QStringLiteral("1901"), 5000);

    // The box runs its own event loop: the device comes back while the operator reads it.
    QString title;
    bool restarted = false;
    bool closedByTest = false;
    QElapsedTimer open;
    QTimer watch;
    watch.setInterval(10);
    connect(&watch, &QTimer::timeout, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        if (!open.isValid()) {
            title = box->windowTitle();
            open.start();
        }
        if (!restarted) {
            restarted = true;
            QVERIFY(simulator.start({QStringLiteral("--link"), link}));
        } else if (open.elapsed() > 20000) {
            closedByTest = true;
            box->done(QMessageBox::Ok);
        }
    });
    watch.start();
    QTRY_VERIFY_WITH_TIMEOUT(restarted && !QApplication::activeModalWidget(), 25000);
    QCOMPARE(title, QStringLiteral("Critical Error"));
    QVERIFY2(!closedByTest, "the box outlived its cause");
    QVERIFY(probe.serialPort()->isOpen());
    QCOMPARE(probe.notice(), QStringLiteral("Reconnected"));
}

void TestReconnect::noReconnectWhenNotChosen()
{
    if (!haveSimulator)
        QSKIP("DVXSIM names no simulator");
    Rig r;
    QVERIFY(r.dir.isValid());
    QVERIFY(r.startSimulator({QStringLiteral("--hangup-after"), QStringLiteral("1")}));
    QVERIFY(r.connectAndIdentify(r.link));
    QVERIFY(r.unplug());
    // Exactly as without the choice: disconnected, nothing to end.
    QCOMPARE(r.status(), QStringLiteral("Disconnected"));
    QVERIFY(!r.ui()->actionDisconnect->isEnabled());
    QVERIFY(r.ui()->actionConnect->isEnabled());

    QVERIFY(r.startSimulator());
    r.letTheWaitLook();
    QVERIFY(!r.probe.serialPort()->isOpen());
    QCOMPARE(r.status(), QStringLiteral("Disconnected"));
    QCOMPARE(r.boxes.count(), 1);
    QCOMPARE(r.notes(QStringLiteral("Reconnected")), 0);
}

void TestReconnect::waitingEnds_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("Disconnect") << QStringLiteral("disconnect");
    QTest::newRow("Configure") << QStringLiteral("configure");
    QTest::newRow("closing the panel") << QStringLiteral("close");
    QTest::newRow("command interface") << QStringLiteral("stage");
}

void TestReconnect::waitingEnds()
{
    QFETCH(QString, how);
    if (!haveSimulator)
        QSKIP("DVXSIM names no simulator");
    Rig r;
    QVERIFY(r.dir.isValid());
    r.window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&r.window));
    r.chooseReconnect(true);
    QVERIFY(r.startSimulator({QStringLiteral("--hangup-after"), QStringLiteral("1")}));
    QVERIFY(r.connectAndIdentify(r.link));
    QVERIFY(r.unplug());
    QVERIFY(r.probe.reconnectWaiter()->isWaiting());

    if (how == QLatin1String("disconnect")) {
        r.ui()->actionDisconnect->trigger();
    } else if (how == QLatin1String("configure")) {
        r.ui()->actionConfigure->trigger();
        QVERIFY(r.probe.settingsDialog()->isVisible());
        r.probe.settingsDialog()->close();
    } else if (how == QLatin1String("close")) {
        r.window.close();
    } else {
        QVERIFY(r.window.session()->disconnectPort().ok());
    }
    QVERIFY(!r.probe.reconnectWaiter()->isWaiting());
    QCOMPARE(r.status(), QStringLiteral("Disconnected"));
    QVERIFY(!r.ui()->actionDisconnect->isEnabled());
    QVERIFY(r.ui()->actionConnect->isEnabled());
    QCOMPARE(r.notes("Stopped waiting for " + r.link), 1);
    // The wait ended with no second Disconnected announcement.
    int disconnected = 0;
    for (const PanelEvent &e : r.events)
        disconnected += e.kind == PanelEvent::Kind::Disconnected;
    QCOMPARE(disconnected, 1);

    QVERIFY(r.startSimulator());
    r.letTheWaitLook();
    QVERIFY(!r.probe.serialPort()->isOpen());
    QCOMPARE(r.boxes.count(), 1);
}

QTEST_MAIN(TestReconnect)
#include "tst_reconnect.moc"
