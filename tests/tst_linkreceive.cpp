// The serial link's receive path alone, fed bytes directly: how each dialect's lines are read,
// and that the same stream gives the same replies however the line cuts it into reads.

#include "seriallink.h"

#include <QtTest>

namespace {

// Writes down what the link tells, one text per line it handled.
class Recorder : public ReplyListener {
public:
    QStringList heard;
    QStringList shown;

    void identified(const Protocol::Identity &identity, const Protocol::Identity &before,
                    const QByteArray &) override
    {
        heard << QStringLiteral("ident %1 %2 (was %3)")
                     .arg(identity.model, identity.firmware,
                          before.model.isEmpty() ? QStringLiteral("none") : before.model);
    }
    void position(double valueUm, const QByteArray &line) override
    {
        heard << QStringLiteral("position %1 %2").arg(valueUm).arg(printable(line));
    }
    void reply(Protocol::ReplyKind kind, const QByteArray &line) override
    {
        static const char *const names[] = {"position", "status", "offset", "echo", "drop"};
        heard << QStringLiteral("%1 %2").arg(QLatin1String(names[int(kind)]), printable(line));
    }
    void showPosition(const QByteArray &line, Protocol::Dialect, double) override
    {
        shown << printable(line);
    }

    static QString printable(const QByteArray &line)
    {
        QString text = QString::fromLatin1(line);
        text.replace(QLatin1Char('\r'), QStringLiteral("\\r"));
        return text;
    }
};

struct Rig {
    SerialLink link;
    Recorder recorder;
    Rig() { link.setListener(&recorder); }
};

} // namespace

class TestLinkReceive : public QObject {
    Q_OBJECT

private slots:
    void dialects_data();
    void dialects();
    void sameRepliesAtEveryCut_data();
    void sameRepliesAtEveryCut();
    void positionsOfOneReadAreShownOnce();
    void overlongLineIsDroppedToItsEnd();
    void forgettingTheIdentityDropsReplies();
};

void TestLinkReceive::dialects_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<QStringList>("heard");

    QTest::newRow("unidentified: everything dropped")
        << QByteArray("_cp 12.5 um\r_status 9\rP 3 um\r")
        << QStringList{"drop _cp 12.5 um\\r", "drop _status 9\\r", "drop P 3 um\\r"};
    QTest::newRow("1901 firmware 3: long positions, status, offset, echo, _tg")
        << QByteArray("_Ver 312 DVX1901\r_offset 2500\r_cp 12.500 um\r_status 1\rok\r_tg 1\r"
                      "P 5 um\r_err busy\r")
        << QStringList{"ident 1901 3.12 (was none)",
                       "echo _Ver 312 DVX1901\\r",
                       "offset _offset 2500\\r",
                       "position 12.5 _cp 12.500 um\\r",
                       "status _status 1\\r",
                       "echo ok\\r",
                       "drop _tg 1\\r",
                       "drop P 5 um\\r",
                       "echo _err busy\\r"};
    QTest::newRow("1901 firmware 1.26: a P anywhere is a position")
        << QByteArray("_Ver 126 DVX1901\rP 7.25 um\r_offset 0\r_status 9\r")
        << QStringList{"ident 1901 1.26 (was none)", "echo _Ver 126 DVX1901\\r",
                       "position 7.25 P 7.25 um\\r", "offset _offset 0\\r", "echo _status 9\\r"};
    QTest::newRow("1804: positions without VELDMARK, everything else echoed")
        << QByteArray("VELDMARK Ver 207 DVX1804\rP -3.5 um\rok\r_cp 1 um\r")
        << QStringList{"ident 1804 2.07 (was none)", "echo VELDMARK Ver 207 DVX1804\\r",
                       "position -3.5 P -3.5 um\\r", "echo ok\\r", "echo _cp 1 um\\r"};
    QTest::newRow("1901 other firmware: silent")
        << QByteArray("_Ver 200 DVX1901\r_cp 1 um\r_status 9\r")
        << QStringList{"ident 1901 2.00 (was none)", "drop _Ver 200 DVX1901\\r", "drop _cp 1 um\\r",
                       "drop _status 9\\r"};
    QTest::newRow("a second controller takes over the dialect")
        << QByteArray("_Ver 312 DVX1901\rVELDMARK Ver 207 DVX1804\rP 2 um\r")
        << QStringList{"ident 1901 3.12 (was none)", "echo _Ver 312 DVX1901\\r",
                       "ident 1804 2.07 (was 1901)", "echo VELDMARK Ver 207 DVX1804\\r",
                       "position 2 P 2 um\\r"};
    QTest::newRow("a Ver line too short or without digits identifies nothing")
        << QByteArray("_Ver\r_Ver xyz DVX1901\r")
        << QStringList{"drop _Ver\\r", "drop _Ver xyz DVX1901\\r"};
    QTest::newRow("lines end at \\r only; a line feed belongs to the next line")
        << QByteArray("_Ver 312 DVX1901\r\n_cp 1 um\r\r")
        << QStringList{"ident 1901 3.12 (was none)", "echo _Ver 312 DVX1901\\r",
                       "drop \n_cp 1 um\\r", "drop \\r"};
}

void TestLinkReceive::dialects()
{
    QFETCH(QByteArray, stream);
    QFETCH(QStringList, heard);
    Rig rig;
    rig.link.receive(stream);
    QCOMPARE(rig.recorder.heard, heard);
    QVERIFY(rig.link.pendingBytes().isEmpty());
}

void TestLinkReceive::sameRepliesAtEveryCut_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::newRow("1901 firmware 3")
        << QByteArray("_Ver 312 DVX1901\r_offset 2500\r_cp 12.500 um\r_status 9\rok\r"
                      "_cp -0.250 um\r_tg x\r_err busy\r_cp 1e3 um\r");
    QTest::newRow("1804 and back") << QByteArray(
        "VELDMARK Ver 207 DVX1804\rP 1 um\r\r_Ver 126 DVX1901\rP 2 um\rtail without end");
}

void TestLinkReceive::sameRepliesAtEveryCut()
{
    QFETCH(QByteArray, stream);
    Rig whole;
    whole.link.receive(stream);
    const QStringList expected = whole.recorder.heard;
    QVERIFY(!expected.isEmpty());

    // Two reads cut at every offset, then three reads cut at every pair of offsets.
    for (int cut = 0; cut <= stream.size(); ++cut) {
        Rig rig;
        rig.link.receive(stream.left(cut));
        rig.link.receive(stream.mid(cut));
        QVERIFY2(rig.recorder.heard == expected, qPrintable(QStringLiteral("cut at %1").arg(cut)));
        QCOMPARE(rig.link.pendingBytes(), whole.link.pendingBytes());
    }
    for (int first = 0; first <= stream.size(); first += 3) {
        for (int second = first; second <= stream.size(); second += 5) {
            Rig rig;
            rig.link.receive(stream.left(first));
            rig.link.receive(stream.mid(first, second - first));
            rig.link.receive(stream.mid(second));
            QVERIFY2(rig.recorder.heard == expected,
                     qPrintable(QStringLiteral("cut at %1 and %2").arg(first).arg(second)));
        }
    }
}

void TestLinkReceive::positionsOfOneReadAreShownOnce()
{
    Rig rig;
    rig.link.receive("_Ver 312 DVX1901\r");
    rig.link.receive("_cp 1 um\r_cp 2 um\r_cp 3 um\r");
    // Every line reached the listener; the readout shows the last of the read, once.
    QCOMPARE(rig.recorder.heard.filter(QStringLiteral("position")).size(), 3);
    QCOMPARE(rig.recorder.shown, QStringList{"_cp 3 um\\r"});
    // A line of another kind shows the position before it first, where it stands.
    rig.link.receive("_cp 4 um\r_status 9\r_cp 5 um\r");
    QCOMPARE(rig.recorder.shown, (QStringList{"_cp 3 um\\r", "_cp 4 um\\r", "_cp 5 um\\r"}));
}

void TestLinkReceive::overlongLineIsDroppedToItsEnd()
{
    Rig rig;
    rig.link.receive("_Ver 312 DVX1901\r");
    rig.recorder.heard.clear();
    // A controller that never ends its line: the buffer stays within the cap, and the rest of
    // that line up to its "\r" is noise; the next line is read again.
    for (int i = 0; i < 10; ++i)
        rig.link.receive(QByteArray(1000, 'x'));
    QVERIFY(rig.link.pendingBytes().size() <= Protocol::kMaxReplyLength);
    rig.link.receive("still noise\r_cp 8 um\r");
    QCOMPARE(rig.recorder.heard, QStringList{"position 8 _cp 8 um\\r"});
}

void TestLinkReceive::forgettingTheIdentityDropsReplies()
{
    Rig rig;
    rig.link.receive("_Ver 312 DVX1901\r");
    QVERIFY(rig.link.identified());
    rig.link.forgetIdentity();
    QVERIFY(!rig.link.identified());
    QCOMPARE(rig.link.dialect(), Protocol::Dialect::Unidentified);
    rig.recorder.heard.clear();
    rig.link.receive("_cp 1 um\r");
    QCOMPARE(rig.recorder.heard, QStringList{"drop _cp 1 um\\r"});
}

QTEST_GUILESS_MAIN(TestLinkReceive)
#include "tst_linkreceive.moc"
