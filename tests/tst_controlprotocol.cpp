// The control socket's request lines and reply lines on plain bytes: what counts as a request,
// how hostile lines are refused, how arguments are checked, and the shape of what goes back.

#include "controlprotocol.h"
#include "stage.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QtTest>

using namespace ControlProtocol;

class TestControlProtocol : public QObject {
    Q_OBJECT

private slots:
    void acceptsRequests_data();
    void acceptsRequests();
    void refusesHostileLines_data();
    void refusesHostileLines();
    void argumentsAreChecked();
    void unknownArgumentsAreRefused();
    void repliesCarryTheIdFirst();
    void stateHasEveryField();
};

void TestControlProtocol::acceptsRequests_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("command");
    QTest::addColumn<QByteArray>("id");

    QTest::newRow("number id") << QByteArray(R"({"id":7,"cmd":"state"})") << "state"
                               << QByteArray("7");
    QTest::newRow("string id, CRLF")
        << QByteArray("{\"id\":\"a\",\"cmd\":\"home\"}\r") << "home" << QByteArray("\"a\"");
    QTest::newRow("object id") << QByteArray(R"({"cmd":"stop","id":{"n":[1,2]}})") << "stop"
                               << QByteArray(R"({"n":[1,2]})");
    QTest::newRow("no id") << QByteArray(R"( {"cmd":"state"} )") << "state" << QByteArray("null");
}

void TestControlProtocol::acceptsRequests()
{
    QFETCH(QByteArray, line);
    QFETCH(QString, command);
    QFETCH(QByteArray, id);
    const ParsedRequest parsed = parseRequest(line);
    QVERIFY2(parsed.ok, qPrintable(parsed.error));
    QCOMPARE(parsed.request.command, command);
    // The id comes back exactly as it was sent.
    QVERIFY(okReply(parsed.request.id, {}).startsWith("{\"id\":" + id + ",\"ok\":true"));
}

void TestControlProtocol::refusesHostileLines_data()
{
    QTest::addColumn<QByteArray>("line");

    QTest::newRow("garbage") << QByteArray("\x01\xff\xfe garbage \x00 more", 19);
    QTest::newRow("truncated") << QByteArray(R"({"id":1,"cmd":"sta)");
    QTest::newRow("not an object") << QByteArray(R"(["state"])");
    QTest::newRow("scalar") << QByteArray("42");
    QTest::newRow("no cmd") << QByteArray(R"({"id":1})");
    QTest::newRow("cmd a number") << QByteArray(R"({"id":1,"cmd":5})");
    QTest::newRow("NaN text") << QByteArray(R"({"cmd":"move_to","um":NaN})");
    QTest::newRow("Infinity text") << QByteArray(R"({"cmd":"move_to","um":Infinity})");
    // Which "um" would the script have meant?
    QTest::newRow("repeated key") << QByteArray(R"({"cmd":"move_to","um":1,"um":2})");
    QTest::newRow("repeated key, escaped")
        << QByteArray(R"({"id":[1,{"x":null}],"cmd":"state","\u0069d":2})");
    QTest::newRow("repeated key, nested") << QByteArray(R"({"cmd":"state","x":{"a":[1],"a":2}})");
    QTest::newRow("deep nesting") << QByteArray(5000, '[') + QByteArray(5000, ']');
    QTest::newRow("too long") << QByteArray(R"({"cmd":"send","line":")") +
                                     QByteArray(kMaxRequestBytes, 'x') + "\"}";
}

void TestControlProtocol::refusesHostileLines()
{
    QFETCH(QByteArray, line);
    const ParsedRequest parsed = parseRequest(line);
    QVERIFY(!parsed.ok);
    QVERIFY(!parsed.error.isEmpty());
    const QJsonObject reply =
        QJsonDocument::fromJson(errorReply(parsed.request.id, ErrorCode::BadRequest, parsed.error))
            .object();
    QCOMPARE(reply.value(QLatin1String("ok")).toBool(true), false);
    QCOMPARE(reply.value(QLatin1String("error")).toObject().value(QLatin1String("code")).toString(),
             QStringLiteral("bad_request"));
}

void TestControlProtocol::argumentsAreChecked()
{
    const QJsonObject request =
        QJsonDocument::fromJson(R"({"um":"12","n":1.5,"big":1e300,"flag":1,"events":["a",2]})")
            .object();
    {
        Arguments args(request);
        args.number(QStringLiteral("um"));
        QVERIFY(!args.finish());
        QVERIFY(args.error().contains(QLatin1String("\"um\"")));
    }
    {
        Arguments args(request);
        QVERIFY(!args.optionalInteger(QStringLiteral("n")));
        QVERIFY(!args.finish());
    }
    {
        // Larger than any spin box takes, and larger than an int.
        Arguments args(request);
        QVERIFY(!args.optionalInteger(QStringLiteral("big")));
        QVERIFY(!args.finish());
    }
    {
        Arguments args(request);
        QCOMPARE(args.optionalBool(QStringLiteral("flag"), false), false);
        QVERIFY(!args.finish());
    }
    {
        Arguments args(request);
        QVERIFY(args.stringList(QStringLiteral("events")).isEmpty());
        QVERIFY(!args.finish());
    }
    {
        // A huge number that still fits a double is a number: the panel control judges its range.
        Arguments args(QJsonObject{{QStringLiteral("um"), 1e300}});
        QCOMPARE(args.number(QStringLiteral("um")), 1e300);
        QVERIFY(args.finish());
    }
    {
        Arguments args(QJsonObject{});
        args.number(QStringLiteral("um"));
        QVERIFY(!args.finish());
        QVERIFY(args.error().contains(QLatin1String("missing")));
    }
}

void TestControlProtocol::unknownArgumentsAreRefused()
{
    const QJsonObject request{{QStringLiteral("id"), 1},
                              {QStringLiteral("cmd"), QStringLiteral("move_to")},
                              {QStringLiteral("um"), 5},
                              {QStringLiteral("wiat"), true}};
    Arguments args(request);
    args.number(QStringLiteral("um"));
    args.optionalBool(QStringLiteral("wait"), false);
    QVERIFY(!args.finish());
    QVERIFY(args.error().contains(QLatin1String("wiat")));
}

void TestControlProtocol::repliesCarryTheIdFirst()
{
    QCOMPARE(okReply(3, {{QStringLiteral("position_um"), 1000.5}}),
             QByteArray(R"({"id":3,"ok":true,"result":{"position_um":1000.5}})"
                        "\n"));
    QCOMPARE(
        errorReply(QJsonValue::Null, ErrorCode::NotConnected, QStringLiteral("no link")),
        QByteArray(R"({"id":null,"ok":false,"error":{"code":"not_connected","message":"no link"}})"
                   "\n"));
    // A text with a line break still makes one line.
    QCOMPARE(
        eventLine(QStringLiteral("console"), {{QStringLiteral("text"), QStringLiteral("ok\r\n")}}),
        QByteArray(R"({"event":"console","text":"ok\r\n"})"
                   "\n"));
    const QStringList codes{QStringLiteral("bad_request"), QStringLiteral("not_connected"),
                            QStringLiteral("unavailable"), QStringLiteral("busy"),
                            QStringLiteral("timeout"),     QStringLiteral("no_device"),
                            QStringLiteral("open_failed"), QStringLiteral("disconnected")};
    for (int i = 0; i < codes.size(); ++i)
        QCOMPARE(errorCodeName(ErrorCode(i)), codes.at(i));
}

void TestControlProtocol::stateHasEveryField()
{
    PanelState state;
    state.connected = true;
    state.port = QStringLiteral("/dev/ttyUSB0");
    state.model = QStringLiteral("1901");
    state.firmware = QStringLiteral("3.12");
    state.homed = true;
    state.calibration = QStringLiteral("9");
    state.closedLoop = false;
    state.positionUm = 12.5;
    const QByteArray line = eventLine(QStringLiteral("state"), stateFields(state));
    QCOMPARE(
        line,
        QByteArray(
            R"({"event":"state","connected":true,"port":"/dev/ttyUSB0","model":"1901",)"
            R"("firmware":"3.12","homed":true,"calibration":"9","calibrating":false,"loop":"open",)"
            R"("position_um":12.5,"target_um":null,"travel_um":[-250,6250],)"
            R"("move_count":0,"owner":null})"
            "\n"));
}

QTEST_GUILESS_MAIN(TestControlProtocol)
#include "tst_controlprotocol.moc"
