// What every exported file says of where its data came from, and the name a save dialog proposes.

#include "provenance.h"
#include "savelocation.h"

#include <QDateTime>
#include <QDir>
#include <QtTest>

class TestProvenance : public QObject {
    Q_OBJECT

private slots:
    void headerNamesEveryFieldInOrder();
    void unknownFieldsAndLineBreaks();
    void proposedNamesFollowTheLastFolder();
};

void TestProvenance::headerNamesEveryFieldInOrder()
{
    PanelState state;
    state.connected = true;
    state.port = QStringLiteral("/dev/serial/by-id/usb-Veldmark_DVX-if00");
    state.chosenPort = QStringLiteral("ttyUSB0");
    state.stablePort = state.port;
    state.model = QStringLiteral("1901");
    state.firmware = QStringLiteral("3.12");
    state.lineSettings = QStringLiteral("115200, 8, None, 1");
    state.connectedUtcMs =
        QDateTime(QDate(2026, 12, 7), QTime(14, 3, 22, 5), Qt::UTC).toMSecsSinceEpoch();
    Provenance p = Provenance::of(state);
    p.program = QStringLiteral("mirastellon 1.0.0");
    p.exportedUtcMs = state.connectedUtcMs + 61000;
    p.samplingMs = 20;
    p.toleranceUm = 0.5;
    p.extra.append({QStringLiteral("rows"), QStringLiteral("trace samples")});
    QCOMPARE(p.header(), QByteArray("# program: mirastellon 1.0.0\n"
                                    "# exported_utc: 2026-12-07T14:04:23.005Z\n"
                                    "# port: ttyUSB0\n"
                                    "# stable_port: /dev/serial/by-id/usb-Veldmark_DVX-if00\n"
                                    "# model: DVX1901\n"
                                    "# firmware: 3.12\n"
                                    "# line: 115200, 8, None, 1\n"
                                    "# sampling_ms: 20\n"
                                    "# tolerance_um: 0.5\n"
                                    "# segment_start_utc: 2026-12-07T14:03:22.005Z\n"
                                    "# rows: trace samples\n"));
}

void TestProvenance::unknownFieldsAndLineBreaks()
{
    Provenance p = Provenance::of(PanelState());
    QVERIFY(!p.segmentStartUtcMs);
    p.model = QStringLiteral("1804");
    p.port = QStringLiteral("a\r\nb");
    const QByteArray header = p.header();
    QVERIFY(header.contains("# port: a  b\n"));
    QVERIFY(header.contains("# stable_port: -\n"));
    QVERIFY(header.contains("# segment_start_utc: -\n"));
    // Every line is a comment, so a reader that skips "#" lines reads the data alone.
    for (const QByteArray &line : header.split('\n')) {
        if (!line.isEmpty())
            QVERIFY(line.startsWith("# "));
    }
}

void TestProvenance::proposedNamesFollowTheLastFolder()
{
    const qint64 at = QDateTime(QDate(2026, 12, 7), QTime(14, 3, 22)).toMSecsSinceEpoch();
    QCOMPARE(SaveLocation::proposed(QStringLiteral("trace"), QStringLiteral("csv"), at),
             QDir::current().filePath(QStringLiteral("trace-2026-12-07T14-03-22.csv")));
    SaveLocation::remember(QStringLiteral("/tmp/experiment/run1.csv"));
    QCOMPARE(SaveLocation::folder(), QStringLiteral("/tmp/experiment"));
    QCOMPARE(SaveLocation::proposed(QStringLiteral("moves"), QStringLiteral("csv"), at),
             QStringLiteral("/tmp/experiment/moves-2026-12-07T14-03-22.csv"));
}

QTEST_GUILESS_MAIN(TestProvenance)
#include "tst_provenance.moc"
