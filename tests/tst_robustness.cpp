// What one controller leaves behind must not spoil the next connection. A link that ends in the
// middle of a reply (a disconnect during the poll, an unplugged adapter, a controller that never
// sends "\r") leaves bytes in the receive path; the next controller's identification must still
// be read as sent, or the panel either reports "No Device found" for a healthy controller or
// takes a wrong firmware version from a joined line and then ignores every reply.

#include "fakecontroller.h"
#include "mainwindow.h"
#include "messageboxwatcher.h"
#include "probe.h"

#include <QLabel>
#include <QtTest>

class TestRobustness : public QObject {
    Q_OBJECT

private slots:
    void nextConnectionIdentifies_data();
    void nextConnectionIdentifies();
};

void TestRobustness::nextConnectionIdentifies_data()
{
    QTest::addColumn<QByteArray>("leftover");
    QTest::addColumn<bool>("hangUp");

    // The last bytes of the first controller, without a closing "\r"; then the operator
    // disconnects, or the first controller goes away under the connected panel.
    QTest::newRow("partial position line, disconnect") << QByteArray("_cp 12") << false;
    QTest::newRow("partial position line, hang-up") << QByteArray("_cp 12") << true;
    QTest::newRow("noise, disconnect") << QByteArray("\x01\xfe\x00\x7f_", 5) << false;
    QTest::newRow("reply over the cap, disconnect")
        << QByteArray(Protocol::kMaxReplyLength + 100, 'x') << false;
    QTest::newRow("reply over the cap, hang-up")
        << QByteArray(Protocol::kMaxReplyLength + 100, 'x') << true;
}

void TestRobustness::nextConnectionIdentifies()
{
    QFETCH(QByteArray, leftover);
    QFETCH(bool, hangUp);

    Panel panel;
    MainWindow &window = panel.window();
    MainWindowProbe probe(window);
    MessageBoxWatcher watcher;

    FakeController first;
    panel.preselectPort(first.portPath());
    probe.ui()->actionConnect->trigger();
    QVERIFY(first.waitForReceived(">inform\r"));
    first.send("_Ver 312 DVX1901\r");
    QTRY_COMPARE(probe.controllerModel(), QStringLiteral("1901"));

    probe.receive(leftover);
    if (hangUp) {
        first.hangUp();
        QTRY_COMPARE(watcher.count(), 1);
        QCOMPARE(watcher.titles.first(), QStringLiteral("Critical Error"));
    } else {
        probe.ui()->actionDisconnect->trigger();
        QCOMPARE(watcher.count(), 0);
    }
    QVERIFY(!probe.serialPort()->isOpen());
    QVERIFY(probe.controllerModel().isEmpty());

    FakeController second;
    panel.preselectPort(second.portPath());
    probe.ui()->actionConnect->trigger();
    QVERIFY(probe.serialPort()->isOpen());
    QVERIFY(second.waitForReceived(">inform\r"));
    second.send("_Ver 312 DVX1901\r");
    QTRY_COMPARE(probe.firmwareVersion(), QStringLiteral("3.12"));
    QCOMPARE(probe.controllerModel(), QStringLiteral("1901"));

    // The first poll tick finds the controller, and its replies are heard.
    QVERIFY(second.waitForReceived(">cp\r"));
    second.send("_cp 1234.5 um\r");
    QTRY_COMPARE(probe.ui()->label_Position->text(), QStringLiteral("1234.5 \u00b5m"));
    QVERIFY(probe.serialPort()->isOpen());
    QCOMPARE(watcher.count(), hangUp ? 1 : 0);
}

QTEST_MAIN(TestRobustness)
#include "tst_robustness.moc"
