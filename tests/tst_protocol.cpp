// The line protocol on plain bytes: command texts, identification, dialects, the reply table of
// each dialect and the fields cut out of reply lines.

#include "protocol.h"

#include <QtTest>

#include <cmath>
#include <limits>

using namespace Protocol;

Q_DECLARE_METATYPE(Protocol::Dialect)
Q_DECLARE_METATYPE(Protocol::ReplyKind)

class TestProtocol : public QObject {
    Q_OBJECT

private slots:
    void moveCommands_data();
    void moveCommands();
    void zeroStepIsStillACommand();
    void driveParameters_data();
    void driveParameters();
    void identify_data();
    void identify();
    void dialectOf_data();
    void dialectOf();
    void classify_data();
    void classify();
    void positionText_data();
    void positionText();
    void offsetText_data();
    void offsetText();
    void calibrationState_data();
    void calibrationState();
    void withControllerName_data();
    void withControllerName();
    void truncateToInt_data();
    void truncateToInt();
};

void TestProtocol::moveCommands_data()
{
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("target 12.34") << moveTo(12.34) << QByteArray(">ma 123.4");
    QTest::newRow("target -250") << moveTo(-250) << QByteArray(">ma -2500");
    QTest::newRow("target 6250") << moveTo(6250) << QByteArray(">ma 62500");
    QTest::newRow("target 6249.99") << moveTo(6249.99) << QByteArray(">ma 62499.9");
    QTest::newRow("target 1234.5") << moveTo(1234.5) << QByteArray(">ma 12345");
    QTest::newRow("slider -250") << moveToSliderPosition(-250) << QByteArray(">ma -2500");
    QTest::newRow("slider 6250") << moveToSliderPosition(6250) << QByteArray(">ma 62500");
    QTest::newRow("step 200 forward") << moveBy(200, true) << QByteArray(">mr 2000");
    QTest::newRow("step 200 back") << moveBy(200, false) << QByteArray(">mr -2000");
    QTest::newRow("step 0.5 back") << moveBy(0.5, false) << QByteArray(">mr -5");
}

void TestProtocol::moveCommands()
{
    QFETCH(QByteArray, command);
    QFETCH(QByteArray, expected);

    QCOMPARE(command, expected);
    // The controller ends a move at the next ">", so a move must not carry its own "\r".
    QVERIFY(!command.contains('\r'));
}

void TestProtocol::zeroStepIsStillACommand()
{
    for (const bool forward : {true, false}) {
        const QByteArray command = moveBy(0, forward);
        QVERIFY2(command.startsWith(">mr "), command.constData());
        bool ok = false;
        QCOMPARE(command.mid(4).toDouble(&ok), 0.0);
        QVERIFY2(ok, command.constData());
        QVERIFY(!command.contains('\r'));
    }
}

void TestProtocol::driveParameters_data()
{
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("duration") << driveParameter(kDuration, 100) << QByteArray(">duration 100\r");
    QTest::newRow("interval") << driveParameter(kInterval, 500) << QByteArray(">interval 500\r");
    QTest::newRow("cycle 1") << driveParameter(kCycle, 1) << QByteArray(">cycle 1\r");
    QTest::newRow("cycle max") << driveParameter(kCycle, 214700000)
                               << QByteArray(">cycle 214700000\r");
}

void TestProtocol::driveParameters()
{
    QFETCH(QByteArray, command);
    QFETCH(QByteArray, expected);
    QCOMPARE(command, expected);
}

void TestProtocol::identify_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<bool>("identifies");
    QTest::addColumn<QString>("model");
    QTest::addColumn<QString>("firmware");

    QTest::newRow("1901 fw 3.12") << QByteArray("_Ver 312 DVX1901\r") << true << "1901"
                                  << "3.12";
    QTest::newRow("1901 fw 1.26") << QByteArray("_Ver 126 DVX1901\r") << true << "1901"
                                  << "1.26";
    QTest::newRow("1804 fw 2.07") << QByteArray("VELDMARK Ver 207 DVX1804\r") << true << "1804"
                                  << "2.07";
    QTest::newRow("Ver and P is 1901") << QByteArray("_Ver 312 DVX1901 P\r") << true << "1901"
                                       << "3.12";
    QTest::newRow("1901 exactly 8 bytes") << QByteArray("_Ver 210") << true << "1901"
                                          << "2.10";
    QTest::newRow("1804 exactly 16 bytes") << QByteArray("VELDMARK Ver 207") << true << "1804"
                                           << "2.07";
    QTest::newRow("1901 7 bytes") << QByteArray("_Ver 31") << false << ""
                                  << "";
    QTest::newRow("1901 7 bytes with cr") << QByteArray("_Ver 3\r") << false << ""
                                          << "";
    QTest::newRow("1804 15 bytes") << QByteArray("VELDMARK Ver 20") << false << ""
                                   << "";
    QTest::newRow("1804 15 bytes with cr") << QByteArray("VELDMARK Ver 2\r") << false << ""
                                           << "";
    QTest::newRow("bare Ver") << QByteArray("Ver") << false << ""
                              << "";
    QTest::newRow("no Ver") << QByteArray("VELDMARK 207 DVX1804\r") << false << ""
                            << "";
    QTest::newRow("lower-case ver") << QByteArray("_ver 312 DVX1901\r") << false << ""
                                    << "";
    QTest::newRow("position") << QByteArray("_cp 1234.5 um\r") << false << ""
                              << "";
    QTest::newRow("empty") << QByteArray() << false << ""
                           << "";
}

void TestProtocol::identify()
{
    QFETCH(QByteArray, line);
    QFETCH(bool, identifies);
    QFETCH(QString, model);
    QFETCH(QString, firmware);

    const auto identity = Protocol::identify(line);
    QCOMPARE(identity.has_value(), identifies);
    if (identity) {
        QCOMPARE(identity->model, model);
        QCOMPARE(identity->firmware, firmware);
    }
}

void TestProtocol::dialectOf_data()
{
    QTest::addColumn<QString>("model");
    QTest::addColumn<QString>("firmware");
    QTest::addColumn<Dialect>("dialect");

    QTest::newRow("1901 1.26") << "1901"
                               << "1.26" << Dialect::Model1901Fw126;
    QTest::newRow("1901 3.12") << "1901"
                               << "3.12" << Dialect::Model1901Fw3;
    QTest::newRow("1901 3") << "1901"
                            << "3" << Dialect::Model1901Fw3;
    QTest::newRow("1901 2.10") << "1901"
                               << "2.10" << Dialect::Model1901Other;
    QTest::newRow("1901 1.25") << "1901"
                               << "1.25" << Dialect::Model1901Other;
    QTest::newRow("1901 no firmware") << "1901"
                                      << "" << Dialect::Model1901Other;
    QTest::newRow("1804 2.07") << "1804"
                               << "2.07" << Dialect::Model1804;
    QTest::newRow("1804 3.12") << "1804"
                               << "3.12" << Dialect::Model1804;
    QTest::newRow("nothing") << ""
                             << "" << Dialect::Unidentified;
    QTest::newRow("unknown model") << "2000"
                                   << "3.12" << Dialect::Unidentified;
}

void TestProtocol::dialectOf()
{
    QFETCH(QString, model);
    QFETCH(QString, firmware);
    QFETCH(Dialect, dialect);
    QCOMPARE(Protocol::dialectOf(model, firmware), dialect);
}

void TestProtocol::classify_data()
{
    QTest::addColumn<Dialect>("dialect");
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<ReplyKind>("kind");

    const auto row = [](const char *name, Dialect d, const char *line, ReplyKind k) {
        QTest::newRow(name) << d << QByteArray(line) << k;
    };
    using D = Dialect;
    using K = ReplyKind;

    row("3.x long position", D::Model1901Fw3, "_cp 1234.5 um\r", K::Position);
    row("3.x short position dropped", D::Model1901Fw3, "P 1234.5 um\r", K::Drop);
    row("3.x status", D::Model1901Fw3, "_status 9\r", K::Status);
    row("3.x status with P", D::Model1901Fw3, "_status P\r", K::Status);
    row("3.x offset", D::Model1901Fw3, "_offset: 2500\r", K::Offset);
    row("3.x Offset", D::Model1901Fw3, "_Offset: 2500\r", K::Offset);
    row("3.x tg", D::Model1901Fw3, "_tg", K::Drop);
    row("3.x tg line", D::Model1901Fw3, "_tg 1\r", K::Drop);
    row("3.x underscore", D::Model1901Fw3, "_x\r", K::Echo);
    row("3.x ok", D::Model1901Fw3, "ok\r", K::Echo);
    row("3.x okay", D::Model1901Fw3, "okay\r", K::Echo);
    row("3.x underscore with P", D::Model1901Fw3, "_P\r", K::Drop);
    row("3.x no final cr", D::Model1901Fw3, "_x", K::Drop);
    row("3.x ok no final cr", D::Model1901Fw3, "ok", K::Drop);
    row("3.x plain text", D::Model1901Fw3, "hello\r", K::Drop);
    row("3.x lone cr", D::Model1901Fw3, "\r", K::Drop);
    row("3.x identification", D::Model1901Fw3, "_Ver 312 DVX1901\r", K::Echo);

    row("1.26 P anywhere", D::Model1901Fw126, "xP12.5 um\r", K::Position);
    row("1.26 short position", D::Model1901Fw126, "P 1234.5 um\r", K::Position);
    row("1.26 long form is no position", D::Model1901Fw126, "_cp 5 um\r", K::Echo);
    row("1.26 status only echoed", D::Model1901Fw126, "_status 9\r", K::Echo);
    row("1.26 offset", D::Model1901Fw126, "_offset: 0\r", K::Offset);
    row("1.26 tg", D::Model1901Fw126, "_tg\r", K::Drop);
    row("1.26 ok", D::Model1901Fw126, "ok\r", K::Echo);
    row("1.26 plain text", D::Model1901Fw126, "hello\r", K::Drop);

    row("1804 position", D::Model1804, "P 1234.5 um\r", K::Position);
    row("1804 identification", D::Model1804, "VELDMARK Ver 207 DVX1804\r", K::Echo);
    row("1804 VELDMARK with P", D::Model1804, "VELDMARK P\r", K::Echo);
    row("1804 status", D::Model1804, "_status 9\r", K::Echo);
    row("1804 offset", D::Model1804, "_offset: 2500\r", K::Echo);
    row("1804 tg", D::Model1804, "_tg\r", K::Echo);
    row("1804 plain text", D::Model1804, "hello\r", K::Echo);
    row("1804 no final cr", D::Model1804, "hello", K::Echo);

    row("2.10 long position", D::Model1901Other, "_cp 1234.5 um\r", K::Drop);
    row("2.10 short position", D::Model1901Other, "P 1 um\r", K::Drop);
    row("2.10 status", D::Model1901Other, "_status 9\r", K::Drop);
    row("2.10 offset", D::Model1901Other, "_offset: 2500\r", K::Drop);
    row("2.10 ok", D::Model1901Other, "ok\r", K::Drop);
    row("2.10 underscore", D::Model1901Other, "_other\r", K::Drop);

    row("unidentified long position", D::Unidentified, "_cp 1234.5 um\r", K::Drop);
    row("unidentified short position", D::Unidentified, "P 1234.5 um\r", K::Drop);
    row("unidentified status", D::Unidentified, "_status 9\r", K::Drop);
    row("unidentified ok", D::Unidentified, "ok\r", K::Drop);
}

void TestProtocol::classify()
{
    QFETCH(Dialect, dialect);
    QFETCH(QByteArray, line);
    QFETCH(ReplyKind, kind);
    QCOMPARE(Protocol::classify(dialect, line), kind);
}

void TestProtocol::positionText_data()
{
    QTest::addColumn<Dialect>("dialect");
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("text");

    QTest::newRow("3.x") << Dialect::Model1901Fw3 << "_cp 1234.5 um\r"
                         << "1234.5";
    QTest::newRow("3.x digits kept") << Dialect::Model1901Fw3 << "_cp 0001.50 um\r"
                                     << "0001.50";
    QTest::newRow("3.x negative") << Dialect::Model1901Fw3 << "_cp -12.7 um\r"
                                  << "-12.7";
    QTest::newRow("3.x one char") << Dialect::Model1901Fw3 << "_cp 1 um\r"
                                  << "1";
    QTest::newRow("1.26") << Dialect::Model1901Fw126 << "P 1234.5 um\r"
                          << "1234.5";
    QTest::newRow("1804") << Dialect::Model1804 << "P 1234.5 um\r"
                          << "1234.5";
    QTest::newRow("1804 one char") << Dialect::Model1804 << "P 7 um\r"
                                   << "7";

    // Lines too short for the cut leave nothing to show.
    QTest::newRow("3.x exactly 8") << Dialect::Model1901Fw3 << "_cp 1um\r"
                                   << "";
    QTest::newRow("3.x 7 chars") << Dialect::Model1901Fw3 << "_cp 12\r"
                                 << "";
    QTest::newRow("3.x 5 chars") << Dialect::Model1901Fw3 << "_cp \r"
                                 << "";
    QTest::newRow("3.x prefix only") << Dialect::Model1901Fw3 << "_cp\r"
                                     << "";
    QTest::newRow("3.x empty") << Dialect::Model1901Fw3 << ""
                               << "";
    QTest::newRow("short exactly 6") << Dialect::Model1804 << "P 1um\r"
                                     << "";
    QTest::newRow("short 5 chars") << Dialect::Model1804 << "P 12\r"
                                   << "";
    QTest::newRow("short 3 chars") << Dialect::Model1901Fw126 << "P \r"
                                   << "";
    QTest::newRow("short P only") << Dialect::Model1901Fw126 << "P"
                                  << "";
    QTest::newRow("short empty") << Dialect::Model1901Fw126 << ""
                                 << "";
}

void TestProtocol::positionText()
{
    QFETCH(Dialect, dialect);
    QFETCH(QString, line);
    QFETCH(QString, text);

    QCOMPARE(Protocol::positionText(dialect, line), text);
}

void TestProtocol::offsetText_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("value");

    QTest::newRow("2500") << QByteArray("_offset: 2500\r") << " 2500" << 2500.0;
    QTest::newRow("0") << QByteArray("_offset: 0\r") << " 0" << 0.0;
    QTest::newRow("Offset") << QByteArray("_Offset: 2500\r") << " 2500" << 2500.0;
    QTest::newRow("no blank") << QByteArray("_offset:5\r") << "5" << 5.0;
    QTest::newRow("earlier t") << QByteArray("at offset: 1000\r") << "offset: 1000" << 0.0;
    QTest::newRow("word only") << QByteArray("offset\r") << "" << 0.0;
    QTest::newRow("colon only") << QByteArray("offset:\r") << "" << 0.0;
    QTest::newRow("no cr") << QByteArray("offset") << "" << 0.0;
    QTest::newRow("not a number") << QByteArray("_offset: abc\r") << " abc" << 0.0;
}

void TestProtocol::offsetText()
{
    QFETCH(QByteArray, line);
    QFETCH(QString, text);
    QFETCH(double, value);

    const QString cut = Protocol::offsetText(line);
    QCOMPARE(cut, text);
    QVERIFY(!cut.contains(QLatin1Char('\r')));
    QCOMPARE(cut.toDouble(), value);
}

void TestProtocol::calibrationState_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("present");
    QTest::addColumn<QChar>("state");

    QTest::newRow("calibrated") << "_status 9\r" << true << QChar('9');
    QTest::newRow("not calibrated") << "_status 1\r" << true << QChar('1');
    QTest::newRow("two digits") << "_status 41\r" << true << QChar('4');
    QTest::newRow("exactly 9") << "_status 5" << true << QChar('5');
    QTest::newRow("8 chars") << "_status\r" << false << QChar();
    QTest::newRow("7 chars") << "status\r" << false << QChar();
    QTest::newRow("empty") << "" << false << QChar();
}

void TestProtocol::calibrationState()
{
    QFETCH(QString, line);
    QFETCH(bool, present);
    QFETCH(QChar, state);

    const auto got = Protocol::calibrationState(line);
    QCOMPARE(got.has_value(), present);
    if (got)
        QCOMPARE(*got, state);
}

void TestProtocol::withControllerName_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("model");
    QTest::addColumn<QString>("expected");

    const QString tail = QStringLiteral(": 115200, 8, None, 1, ");
    const QString connected = QStringLiteral("Connected to ");

    QTest::newRow("COM3") << connected + "COM3" + tail << "COM3"
                          << "1804"
                          << "Connected to COM3 (DVX1804) : 115200, 8, None, 1, ";
    QTest::newRow("COM10") << connected + "COM10" + tail << "COM10"
                           << "1901"
                           << "Connected to COM10 (DVX1901) : 115200, 8, None, 1, ";
    QTest::newRow("ttyUSB0 by path")
        << connected + "/dev/ttyUSB0" + tail << "/dev/ttyUSB0"
        << "1901"
        << "Connected to /dev/ttyUSB0 (DVX1901) : 115200, 8, None, 1, ";
    QTest::newRow("ttyUSB0 by port name")
        << connected + "/dev/ttyUSB0" + tail << "ttyUSB0"
        << "1901"
        << "Connected to /dev/ttyUSB0 (DVX1901) : 115200, 8, None, 1, ";
    QTest::newRow("pts by path") << connected + "/dev/pts/4" + tail << "/dev/pts/4"
                                 << "1804"
                                 << "Connected to /dev/pts/4 (DVX1804) : 115200, 8, None, 1, ";
    QTest::newRow("pts by port name") << connected + "/dev/pts/4" + tail << "pts/4"
                                      << "1804"
                                      << "Connected to /dev/pts/4 (DVX1804) : 115200, 8, None, 1, ";
    QTest::newRow("second identification") << "Connected to COM3 (DVX1804) : 115200, 8, None, 1, "
                                           << "COM3"
                                           << "1804"
                                           << "Connected to COM3 (DVX1804) : 115200, 8, None, 1, ";
    QTest::newRow("second identification, other model")
        << "Connected to /dev/pts/4 (DVX1901) : 115200, 8, None, 1, "
        << "pts/4"
        << "1804"
        << "Connected to /dev/pts/4 (DVX1804) : 115200, 8, None, 1, ";
    QTest::newRow("no port name") << "Disconnected"
                                  << "COM3"
                                  << "1804"
                                  << "Disconnected";
    QTest::newRow("other port") << connected + "COM4" + tail << "COM3"
                                << "1804" << connected + "COM4" + tail;
    QTest::newRow("empty port name") << connected + "COM3" + tail << ""
                                     << "1804" << connected + "COM3" + tail;
}

void TestProtocol::withControllerName()
{
    QFETCH(QString, text);
    QFETCH(QString, port);
    QFETCH(QString, model);
    QFETCH(QString, expected);

    const QString named = Protocol::withControllerName(text, port, model);
    QCOMPARE(named, expected);
    QVERIFY(named.count(QStringLiteral("(DVX")) <= 1);
}

void TestProtocol::truncateToInt_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<int>("expected");

    constexpr int lowest = std::numeric_limits<int>::min();
    constexpr int highest = std::numeric_limits<int>::max();
    QTest::newRow("NaN") << std::nan("") << 0;
    QTest::newRow("1e300") << 1e300 << highest;
    QTest::newRow("-1e300") << -1e300 << lowest;
    QTest::newRow("+inf") << std::numeric_limits<double>::infinity() << highest;
    QTest::newRow("-inf") << -std::numeric_limits<double>::infinity() << lowest;
    QTest::newRow("-2.7") << -2.7 << -2;
    QTest::newRow("2.7") << 2.7 << 2;
    QTest::newRow("-0.5") << -0.5 << 0;
    QTest::newRow("1234.5") << 1234.5 << 1234;
    QTest::newRow("just above int max") << 2147483647.9 << highest;
    QTest::newRow("int min") << double(lowest) << lowest;
}

void TestProtocol::truncateToInt()
{
    QFETCH(double, value);
    QFETCH(int, expected);
    QCOMPARE(Protocol::truncateToInt(value), expected);
}

QTEST_MAIN(TestProtocol)
#include "tst_protocol.moc"
