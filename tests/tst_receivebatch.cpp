// A read holding many reply lines: the label and the slider show the last position of the read,
// while every line still reaches the device state and the listeners, in order, and every other
// line is handled where it stands. Also the position number read straight from the bytes, which
// must be the number of the text for any line.

#include "console.h"
#include "fakecontroller.h"
#include "mainwindow.h"
#include "messageboxwatcher.h"
#include "probe.h"
#include "protocol.h"
#include "qtcompat.h"

#include <QLabel>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QSlider>
#include <QtTest>

#include <cmath>
#include <cstring>

namespace {

const QByteArray kFw312("_Ver 312 DVX1901\r");
const QByteArray kFw126("_Ver 126 DVX1901\r");
const QByteArray kModel1804("VELDMARK Ver 207 DVX1804\r");
const QString kUm = QStringLiteral(" \u00b5m");

struct Rig {
    FakeController controller;
    Panel panel;
    MainWindow &window = panel.window();
    MainWindowProbe probe{window};
    QList<QPair<double, PositionSource>> positions;
    QSignalSpy sliderMoves{probe.ui()->horizontalSlider, &QSlider::valueChanged};

    Rig()
    {
        panel.preselectPort(controller.portPath());
        QObject::connect(window.session(), &Stage::positionReceived,
                         [this](double um, PositionSource source) {
                             positions.append({um, source});
                         });
    }

    bool connectAs(const QByteArray &identification)
    {
        probe.ui()->actionConnect->trigger();
        if (!probe.serialPort()->isOpen())
            return false;
        probe.receive(identification);
        positions.clear();
        sliderMoves.clear();
        return !probe.controllerModel().isEmpty();
    }

    QList<double> receivedUm() const
    {
        QList<double> um;
        for (const auto &position : positions)
            um << position.first;
        return um;
    }
    QString label() const { return probe.ui()->label_Position->text(); }
    int slider() const { return probe.ui()->horizontalSlider->value(); }
};

} // namespace

class TestReceiveBatch : public QObject {
    Q_OBJECT

private slots:
    void severalPositionsShowTheLast_data();
    void severalPositionsShowTheLast();
    void otherLinesHandledWhereTheyStand();
    void typedPositionRequestEchoesOnlyItsReply();
    void positionValueIsTheTextsNumber();
};

void TestReceiveBatch::severalPositionsShowTheLast_data()
{
    QTest::addColumn<QByteArray>("identification");
    QTest::addColumn<QByteArray>("prefix");
    QTest::addColumn<bool>("sliderFollows");
    QTest::addColumn<bool>("throughPort");

    QTest::newRow("3.x, one read") << kFw312 << QByteArray("_cp ") << true << false;
    QTest::newRow("1.26, one read") << kFw126 << QByteArray("P ") << true << false;
    QTest::newRow("1804, one read") << kModel1804 << QByteArray("P ") << false << false;
    QTest::newRow("3.x, reads as the port cuts them")
        << kFw312 << QByteArray("_cp ") << true << true;
}

void TestReceiveBatch::severalPositionsShowTheLast()
{
    QFETCH(QByteArray, identification);
    QFETCH(QByteArray, prefix);
    QFETCH(bool, sliderFollows);
    QFETCH(bool, throughPort);

    Rig panel;
    QVERIFY(panel.connectAs(identification));
    const int sliderBefore = panel.slider();
    QList<double> sent;
    QByteArray read;
    for (int i = 0; i < 200; ++i) {
        const double um = 1000.0 + i * 12.5;
        sent << um;
        read += prefix + QByteArray::number(um, 'f', 3) + " um\r";
    }
    if (throughPort) {
        panel.controller.send(read);
        QTRY_COMPARE(panel.positions.count(), sent.size());
    } else {
        panel.probe.receive(read);
    }

    QCOMPARE(panel.receivedUm(), sent);
    QCOMPARE(panel.probe.currentPosition(), sent.last());
    QCOMPARE(panel.label(), "3487.500" + kUm);
    QCOMPARE(panel.slider(), sliderFollows ? 3487 : sliderBefore);
    if (!throughPort) // one read, one frame: the slider moved once, straight to the last
        QCOMPARE(panel.sliderMoves.count(), sliderFollows ? 1 : 0);
}

// Each kind of line in a read acts at its place in the read, as it would have in a read of its
// own.
void TestReceiveBatch::otherLinesHandledWhereTheyStand()
{
    {
        // A status and an offset reply between positions; the offset widens the range only
        // after the position before it was clamped to the old one.
        Rig panel;
        QVERIFY(panel.connectAs(kFw312));
        panel.probe.receive("_cp 100.000 um\r_status 9\r_cp 6400.000 um\r_offset: 0\r");
        QCOMPARE(panel.receivedUm(), (QList<double>{100.0, 6400.0}));
        QCOMPARE(panel.probe.calibrationStatus(), QStringLiteral("9"));
        QCOMPARE(panel.probe.ui()->pushButton_AutoCalibrate->text(), QStringLiteral("Calibrated"));
        QCOMPARE(panel.probe.ui()->horizontalSlider->minimum(), 0);
        QCOMPARE(panel.probe.ui()->horizontalSlider->maximum(), 6500);
        QCOMPARE(panel.slider(), 6250);
        QCOMPARE(panel.label(), "6400.000" + kUm);
        QVERIFY(panel.probe.console()->toPlainText().endsWith(
            QStringLiteral("_status 9\n_offset: 0\n")));
    }
    {
        // A new identification in the middle: the lines after it follow the new dialect.
        Rig panel;
        QVERIFY(panel.connectAs(kFw312));
        panel.probe.receive("_cp 100.000 um\r_Ver 126 DVX1901\rP 300.000 um\r_cp 5 um\r");
        QCOMPARE(panel.probe.firmwareVersion(), QStringLiteral("1.26"));
        QCOMPARE(panel.receivedUm(), (QList<double>{100.0, 300.0}));
        QCOMPARE(panel.label(), "300.000" + kUm);
        QCOMPARE(panel.slider(), 300);
        QVERIFY(panel.probe.console()->toPlainText().endsWith(QStringLiteral("_cp 5 um\n")));
    }
    {
        // The slider follows the 1901's position before the 1804 identifies itself, not after.
        Rig panel;
        QVERIFY(panel.connectAs(kFw312));
        panel.probe.receive("_cp 150.000 um\r" + kModel1804 + "P 999.000 um\r");
        QCOMPARE(panel.probe.controllerModel(), QStringLiteral("1804"));
        QCOMPARE(panel.probe.ui()->tabWidget_LoopMode->currentIndex(), 1);
        QCOMPARE(panel.receivedUm(), (QList<double>{150.0, 999.0}));
        QCOMPARE(panel.slider(), 150);
        QCOMPARE(panel.label(), "999.000" + kUm);
    }
    {
        // A line that is not a number stays as it came and counts as 0.
        Rig panel;
        QVERIFY(panel.connectAs(kFw312));
        panel.probe.receive("_cp 10.000 um\r_cp 1e2 um\r");
        QCOMPARE(panel.receivedUm(), (QList<double>{10.0, 100.0}));
        QCOMPARE(panel.label(), "1e2" + kUm);
    }
}

void TestReceiveBatch::typedPositionRequestEchoesOnlyItsReply()
{
    Rig panel;
    QVERIFY(panel.connectAs(kFw312));
    panel.probe.ui()->pushButton_Console->click();
    QSignalSpy typed(panel.probe.console(), &Console::getData);
    QTest::keyClicks(panel.probe.console(), QStringLiteral(">cp"));
    QTest::keyClick(panel.probe.console(), Qt::Key_Return);
    QCOMPARE(typed.count(), 1);
    QVERIFY(panel.controller.waitForReceived(">cp\r"));
    const QString before = panel.probe.console()->toPlainText();

    // The answer and the next poll's answer arrive together.
    panel.probe.receive("_cp 12.500 um\r_cp 13.500 um\r");
    const QString after = panel.probe.console()->toPlainText();
    QVERIFY2(after.startsWith(before), qPrintable(after));
    QCOMPARE(after.mid(before.size()).count(QStringLiteral("_cp")), 1);
    QVERIFY(after.contains(QStringLiteral("_cp 12.500 um")));
    QVERIFY(!after.contains(QStringLiteral("13.500")));
    QCOMPARE(panel.positions.count(), 2);
    QVERIFY(panel.positions.at(0).second == PositionSource::Typed);
    QVERIFY(panel.positions.at(1).second == PositionSource::Poll);
    QCOMPARE(panel.label(), "13.500" + kUm);
}

// Bit for bit the number QString::toDouble makes of the position text (up to a NUL, as the panel
// reads it under Qt 5 and 6 alike), for the controller's own lines and for hostile ones.
void TestReceiveBatch::positionValueIsTheTextsNumber()
{
    QList<QByteArray> lines = {"_cp 1234.500 um\r",
                               "_cp -0.000 um\r",
                               "_cp -123.000 um\r",
                               "_cp 0 um\r",
                               "_cp 999999999999999 um\r",
                               "_cp 9999999999999999 um\r",
                               "_cp 0.1234567890123456 um\r",
                               "_cp 1e5 um\r",
                               "_cp +5 um\r",
                               "_cp 5. um\r",
                               "_cp .5 um\r",
                               "_cp 1.2.3 um\r",
                               "_cp - um\r",
                               "_cp -- um\r",
                               "_cp  12 um\r",
                               "_cp 12  um\r",
                               "_cp nan um\r",
                               "_cp inf um\r",
                               "_cp 0x10 um\r",
                               "_cp 1,5 um\r",
                               "_cp 12\xc3\xa9 um\r",
                               "_cp \xc3\xa9"
                               "12.5 um\r",
                               QByteArray("_cp 1\0"
                                          "2.5 um\r",
                                          14),
                               "P 12.5 um\r",
                               "P\r",
                               "\r",
                               "_cp 3.14159265358979 um\r",
                               "_cp 0.30000000000000004 um\r",
                               "_cp 00000000000001.5 um\r",
                               QByteArray("_cp 12345678.5 um\0\r", 19),
                               "_cp 1234567\x80.5 um\r"};
    QRandomGenerator random(13);
    // A NUL or a high byte anywhere, in any eight-byte word of the line, sends it the general way.
    const char alphabet[] = "0123456789.-+eE _cpPum\r\x80\xff\0";
    for (int i = 0; i < 5000; ++i) {
        QByteArray line = i % 2 ? "_cp " : "P ";
        const int length = int(random.bounded(20));
        for (int k = 0; k < length; ++k)
            line += alphabet[random.bounded(int(sizeof alphabet) - 1)];
        line += " um\r";
        lines << line;
    }
    for (int i = 0; i < 2000; ++i) { // plain decimals of every length around the 15-digit limit
        QByteArray digits = QByteArray::number(random.generate64());
        const int point = int(random.bounded(digits.size()));
        if (point > 0)
            digits.insert(point, '.');
        lines << "_cp " + (i % 3 ? QByteArray() : QByteArray("-")) + digits + " um\r";
    }

    const Protocol::Dialect dialects[] = {Protocol::Dialect::Model1901Fw3,
                                          Protocol::Dialect::Model1901Fw126,
                                          Protocol::Dialect::Model1804};
    for (const QByteArray &line : lines) {
        for (const Protocol::Dialect dialect : dialects) {
            const double fast = Protocol::positionValue(dialect, line);
            const double general =
                Protocol::positionText(dialect, QtCompat::textUpToZero(line)).toDouble();
            const bool same = std::memcmp(&fast, &general, sizeof fast) == 0 ||
                              (std::isnan(fast) && std::isnan(general));
            QVERIFY2(same, qPrintable(QStringLiteral("%1: %2 against %3")
                                          .arg(QString::fromLatin1(line.toPercentEncoding()))
                                          .arg(fast, 0, 'g', 17)
                                          .arg(general, 0, 'g', 17)));
        }
    }
}

QTEST_MAIN(TestReceiveBatch)
#include "tst_receivebatch.moc"
