// The Tango device's view of the stage without Tango: which state, status and quality follow
// from what the panel reports, which targets a client may write, which samples become events,
// who owns Position's limits, and how text reaches a Tango client.

#include "attributeconventions.h"
#include "stagemodel.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QtTest>

using S = StageModel::State;
using Q = StageModel::Quality;
using Source = StageModel::ErrorSource;
using namespace AttributeConventions;

namespace {

QJsonObject panelState(bool connected, bool homed, QJsonValue target = QJsonValue::Null,
                       QJsonValue position = 0.0)
{
    return QJsonObject{{QStringLiteral("connected"), connected},
                       {QStringLiteral("port"), QStringLiteral("/dev/ttyUSB0")},
                       {QStringLiteral("model"), connected ? QStringLiteral("1901") : QString()},
                       {QStringLiteral("firmware"), connected ? QStringLiteral("3.12") : QString()},
                       {QStringLiteral("homed"), homed},
                       {QStringLiteral("calibration"), QStringLiteral("9")},
                       {QStringLiteral("calibrating"), false},
                       {QStringLiteral("loop"), QStringLiteral("closed")},
                       {QStringLiteral("position_um"), position},
                       {QStringLiteral("target_um"), target},
                       {QStringLiteral("travel_um"), QJsonArray{-250.0, 6250.0}}};
}

// A connected, homed stage standing at `um`, its last move settled there.
StageModel standingAt(double um)
{
    StageModel model;
    model.setLinked(true);
    model.applyState(panelState(true, true, um, um), true);
    for (int i = 0; i < Settling::kConsecutiveSamples; ++i)
        model.applyPosition(um);
    return model;
}

Criteria absolute(double um)
{
    Criteria criteria;
    criteria.absolute = Threshold::parse(QString::number(um));
    return criteria;
}

} // namespace

class TestTangoModel : public QObject {
    Q_OBJECT

private slots:
    void stateTable_data();
    void stateTable();
    void faultsEndWithWhatMendsThem_data();
    void faultsEndWithWhatMendsThem();
    void movingEndsWhenSettledOrStopped();
    void aRepeatedStateEventIsANewMove();
    void aNewLinkReadsTheMoveAfresh_data();
    void aNewLinkReadsTheMoveAfresh();
    void eventsOfTheSocket_data();
    void eventsOfTheSocket();
    void errorSources_data();
    void errorSources();
    void positionQuality_data();
    void positionQuality();
    void targetsBeyondTravelOrNotFiniteAreRefused_data();
    void targetsBeyondTravelOrNotFiniteAreRefused();
    void hostileStateValuesChangeNothingUnsafe();

    void thresholdsParseAsTangoWritesThem_data();
    void thresholdsParseAsTangoWritesThem();
    void eventsOnlyOnChange_data();
    void eventsOnlyOnChange();
    void archiveEventsByPeriod();
    void limitsFollowTheTravelUnlessSetByOthers_data();
    void limitsFollowTheTravelUnlessSetByOthers();
    void textReachesTangoReadable_data();
    void textReachesTangoReadable();
};

void TestTangoModel::stateTable_data()
{
    QTest::addColumn<bool>("linked");
    QTest::addColumn<bool>("connected");
    QTest::addColumn<bool>("homed");
    QTest::addColumn<bool>("calibrating");
    QTest::addColumn<double>("targetUm"); // the stage stands at 1000; NaN: no new target
    QTest::addColumn<double>("standingUm");
    QTest::addColumn<QString>("error"); // the source of an error event, "" for none
    QTest::addColumn<int>("expected");
    QTest::addColumn<QString>("statusSays");

    const double none = qQNaN();
    QTest::newRow("no panel") << false << false << false << false << none << 1000.0 << ""
                              << int(S::Unknown) << "cannot be reached on its control socket";
    QTest::newRow("nothing connected") << true << false << false << false << none << 1000.0 << ""
                                       << int(S::Disable) << "not connected";
    QTest::newRow("not homed") << true << true << false << false << none << 1000.0 << ""
                               << int(S::Disable) << "not homed: run Home";
    QTest::newRow("ready") << true << true << true << false << none << 1000.0 << "" << int(S::On)
                           << "Ready on /dev/ttyUSB0 (1901, firmware 3.12)";
    QTest::newRow("moving") << true << true << true << false << 2000.0 << 1000.0 << ""
                            << int(S::Moving) << "Moving to 2000.000 \u00b5m";
    QTest::newRow("calibrating") << true << true << true << true << none << 1000.0 << ""
                                 << int(S::Moving) << "calibrating";
    QTest::newRow("calibrating before Home")
        << true << true << false << true << none << 1000.0 << "" << int(S::Moving) << "calibrating";
    QTest::newRow("at the lower end") << true << true << true << false << none << -250.0 << ""
                                      << int(S::Alarm) << "lower end of the travel (-250.000";
    QTest::newRow("within the band of the upper end")
        << true << true << true << false << none << 6249.6 << "" << int(S::Alarm)
        << "upper end of the travel (6250.000";
    QTest::newRow("just inside the travel")
        << true << true << true << false << none << 6249.4 << "" << int(S::On) << "Ready";
    QTest::newRow("controller refused")
        << true << true << true << false << none << 1000.0 << "controller" << int(S::Fault)
        << "The controller refused a command on /dev/ttyUSB0";
    QTest::newRow("controller refused during a move")
        << true << true << true << false << 2000.0 << 1000.0 << "controller" << int(S::Fault)
        << "refused";
    QTest::newRow("link lost") << true << false << false << false << none << 1000.0 << "link"
                               << int(S::Fault) << "The link to the controller failed: boom";
    QTest::newRow("older panel's error, disconnected")
        << true << false << false << false << none << 1000.0 << "unstated" << int(S::Fault)
        << "failed: boom";
    QTest::newRow("older panel's error, connected")
        << true << true << true << false << none << 1000.0 << "unstated" << int(S::On) << "Ready";
    QTest::newRow("a panel error is no stage fault")
        << true << true << true << false << none << 1000.0 << "panel" << int(S::On) << "Ready";
    QTest::newRow("a panel error while disconnected")
        << true << false << false << false << none << 1000.0 << "panel" << int(S::Disable)
        << "not connected";
}

void TestTangoModel::stateTable()
{
    QFETCH(bool, linked);
    QFETCH(bool, connected);
    QFETCH(bool, homed);
    QFETCH(bool, calibrating);
    QFETCH(double, targetUm);
    QFETCH(double, standingUm);
    QFETCH(QString, error);
    QFETCH(int, expected);
    QFETCH(QString, statusSays);

    StageModel model = standingAt(standingUm);
    model.socketPath = QStringLiteral("/run/user/1000/mirastellon.sock");
    QJsonObject state =
        panelState(connected, homed, std::isnan(targetUm) ? standingUm : targetUm, standingUm);
    state.insert(QStringLiteral("calibrating"), calibrating);
    model.applyState(state);
    const QHash<QString, Source> sources{{QStringLiteral("controller"), Source::Controller},
                                         {QStringLiteral("link"), Source::Link},
                                         {QStringLiteral("panel"), Source::Panel},
                                         {QStringLiteral("unstated"), Source::Unstated}};
    if (!error.isEmpty())
        model.applyError(QStringLiteral("boom"), sources.value(error));
    if (!linked)
        model.setLinked(false);

    QCOMPARE(StageModel::stateName(model.state()), StageModel::stateName(S(expected)));
    QVERIFY2(model.status().contains(statusSays), qPrintable(model.status()));
}

void TestTangoModel::faultsEndWithWhatMendsThem_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("mend");
    QTest::addColumn<int>("after");

    QTest::newRow("refusal, then a new target") << "controller"
                                                << "target" << int(S::Moving);
    QTest::newRow("refusal, then a stop on the console") << "controller"
                                                         << "console stop" << int(S::On);
    QTest::newRow("refusal, then the device's stop") << "controller"
                                                     << "stop" << int(S::On);
    QTest::newRow("refusal, then a command accepted") << "controller"
                                                      << "accepted" << int(S::On);
    QTest::newRow("refusal, then calibration") << "controller"
                                               << "calibrate" << int(S::Moving);
    QTest::newRow("refusal, then a reconnection") << "controller"
                                                  << "reconnect" << int(S::Disable);
    QTest::newRow("refusal, then a new link to the panel") << "controller"
                                                           << "relink" << int(S::On);
    QTest::newRow("refusal, then an unrelated console line") << "controller"
                                                             << "console" << int(S::Fault);
    QTest::newRow("lost link, then connected again") << "link"
                                                     << "reconnect" << int(S::Disable);
    QTest::newRow("lost link, then a new link to the panel") << "link"
                                                             << "relink" << int(S::Disable);
    QTest::newRow("lost link, then a stop") << "link"
                                            << "stop" << int(S::Fault);
}

void TestTangoModel::faultsEndWithWhatMendsThem()
{
    QFETCH(QString, fault);
    QFETCH(QString, mend);
    QFETCH(int, after);

    StageModel model = standingAt(1000.0);
    if (fault == QLatin1String("controller")) {
        model.applyError(QStringLiteral("_err busy"), Source::Controller);
    } else {
        model.applyError(QStringLiteral("/dev/ttyUSB0 stopped answering"), Source::Link);
        model.applyState(panelState(false, false), true);
    }
    QCOMPARE(model.state(), S::Fault);

    if (mend == QLatin1String("target")) {
        model.applyState(panelState(true, true, 2000.0, 1000.0), true);
    } else if (mend == QLatin1String("console stop")) {
        model.applyConsole(QStringLiteral(">stop\r"));
    } else if (mend == QLatin1String("console")) {
        model.applyConsole(QStringLiteral("ok\r"));
    } else if (mend == QLatin1String("stop")) {
        model.stopped();
    } else if (mend == QLatin1String("accepted")) {
        model.commandAccepted();
    } else if (mend == QLatin1String("calibrate")) {
        QJsonObject calibrating = panelState(true, true, 1000.0, 1000.0);
        calibrating.insert(QStringLiteral("calibrating"), true);
        model.applyState(calibrating, true);
    } else if (mend == QLatin1String("reconnect")) {
        model.applyState(panelState(false, false), true);
        model.applyState(panelState(true, false), true);
    } else if (mend == QLatin1String("relink")) {
        model.setLinked(false);
        model.setLinked(true);
        model.applyState(fault == QLatin1String("controller")
                             ? panelState(true, true, 1000.0, 1000.0)
                             : panelState(false, false));
    }
    QCOMPARE(StageModel::stateName(model.state()), StageModel::stateName(S(after)));
}

void TestTangoModel::movingEndsWhenSettledOrStopped()
{
    StageModel model = standingAt(0.0);
    QCOMPARE(model.state(), S::On);

    model.applyState(panelState(true, true, 1000.0), true);
    QCOMPARE(model.state(), S::Moving);
    for (double um : {400.0, 1000.2, 1000.1})
        model.applyPosition(um);
    QCOMPARE(model.state(), S::Moving); // two inside the band are not enough
    model.applyPosition(999.9);
    QCOMPARE(model.state(), S::On);
    QCOMPARE(*model.positionUm, 999.9);

    model.applyState(panelState(true, true, 2000.0), true);
    QCOMPARE(model.state(), S::Moving);
    model.applyConsole(QStringLiteral(">stop\r"));
    QCOMPARE(model.state(), S::On);
}

void TestTangoModel::aRepeatedStateEventIsANewMove()
{
    StageModel model = standingAt(2000.0);
    // The state fetched by the device itself is no announcement.
    model.applyState(panelState(true, true, 2000.0, 2000.0));
    QCOMPARE(model.state(), S::On);
    // The panel announces a state only when it changed: the same again is a move to the same
    // target, and runs until the stage was seen there.
    QJsonObject again = panelState(true, true, 2000.0, 1500.0);
    again.insert(QStringLiteral("event"), QStringLiteral("state"));
    QVERIFY(model.applyEvent(again));
    QCOMPARE(model.state(), S::Moving);
    for (int i = 0; i < Settling::kConsecutiveSamples; ++i)
        model.applyPosition(2000.0);
    QCOMPARE(model.state(), S::On);

    // A panel that counts its moves: a new count is a new move to the same target; a state
    // event of another kind (here the calibration) with the same count is none.
    QJsonObject counted = panelState(true, true, 2000.0, 2000.0);
    counted.insert(QStringLiteral("event"), QStringLiteral("state"));
    counted.insert(QStringLiteral("move_count"), 7);
    QVERIFY(model.applyEvent(counted));
    for (int i = 0; i < Settling::kConsecutiveSamples; ++i)
        model.applyPosition(2000.0);
    QCOMPARE(model.state(), S::On);
    counted.insert(QStringLiteral("calibration"), QStringLiteral("1"));
    QVERIFY(model.applyEvent(counted));
    QCOMPARE(model.state(), S::On);
    counted.insert(QStringLiteral("move_count"), 8);
    QVERIFY(model.applyEvent(counted));
    QCOMPARE(model.state(), S::Moving);
}

void TestTangoModel::aNewLinkReadsTheMoveAfresh_data()
{
    QTest::addColumn<double>("positionAfterUm");
    QTest::addColumn<int>("expected");

    QTest::newRow("still on the way") << 1700.0 << int(S::Moving);
    QTest::newRow("arrived meanwhile") << 3000.2 << int(S::On);
}

void TestTangoModel::aNewLinkReadsTheMoveAfresh()
{
    QFETCH(double, positionAfterUm);
    QFETCH(int, expected);

    StageModel model = standingAt(1000.0);
    model.applyState(panelState(true, true, 3000.0, 1000.0), true);
    model.applyPosition(1500.0);
    QCOMPARE(model.state(), S::Moving);

    model.setLinked(false);
    QCOMPARE(model.state(), S::Unknown);
    model.setLinked(true);
    QCOMPARE(model.state(), S::Disable); // until the state is read
    model.applyState(panelState(true, true, 3000.0, positionAfterUm));
    QCOMPARE(StageModel::stateName(model.state()), StageModel::stateName(S(expected)));
    for (int i = 0; i < Settling::kConsecutiveSamples; ++i)
        model.applyPosition(3000.0);
    QCOMPARE(model.state(), S::On);
}

void TestTangoModel::eventsOfTheSocket_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<bool>("handled");
    QTest::addColumn<int>("state");

    QTest::newRow("position") << QByteArray(R"({"event":"position","t":1,"um":1000.5})") << true
                              << int(S::On);
    QTest::newRow("position, not a number")
        << QByteArray(R"({"event":"position","um":"far"})") << true << int(S::On);
    QTest::newRow("a new target") << QByteArray(R"({"event":"state","connected":true,)"
                                                R"("homed":true,"target_um":3000})")
                                  << true << int(S::Moving);
    QTest::newRow("a refusal of the controller")
        << QByteArray(R"({"event":"error","message":"_err busy","source":"controller"})") << true
        << int(S::Fault);
    QTest::newRow("an older panel's error")
        << QByteArray(R"({"event":"error","message":"gone"})") << true << int(S::On);
    QTest::newRow("console") << QByteArray(R"({"event":"console","text":">stop
"})") << true << int(S::On);
    QTest::newRow("a sequence's event")
        << QByteArray(R"({"event":"sequence","state":"x"})") << false << int(S::On);
    QTest::newRow("no event name") << QByteArray(R"({"um":5})") << false << int(S::On);
}

void TestTangoModel::eventsOfTheSocket()
{
    QFETCH(QByteArray, line);
    QFETCH(bool, handled);
    QFETCH(int, state);

    StageModel model = standingAt(1000.0);
    QCOMPARE(model.applyEvent(QJsonDocument::fromJson(line).object()), handled);
    QCOMPARE(StageModel::stateName(model.state()), StageModel::stateName(S(state)));
}

void TestTangoModel::errorSources_data()
{
    QTest::addColumn<QJsonObject>("event");
    QTest::addColumn<int>("source");

    const auto with = [](QJsonValue source) {
        return QJsonObject{{QStringLiteral("event"), QStringLiteral("error")},
                           {QStringLiteral("message"), QStringLiteral("x")},
                           {QStringLiteral("source"), source}};
    };
    QTest::newRow("controller") << with(QStringLiteral("controller")) << int(Source::Controller);
    QTest::newRow("link") << with(QStringLiteral("link")) << int(Source::Link);
    QTest::newRow("panel") << with(QStringLiteral("panel")) << int(Source::Panel);
    QTest::newRow("older panel") << QJsonObject{{QStringLiteral("event"), QStringLiteral("error")}}
                                 << int(Source::Unstated);
    QTest::newRow("unknown name") << with(QStringLiteral("Controller")) << int(Source::Panel);
    QTest::newRow("a number") << with(5) << int(Source::Panel);
    QTest::newRow("null") << with(QJsonValue::Null) << int(Source::Panel);
}

void TestTangoModel::errorSources()
{
    QFETCH(QJsonObject, event);
    QFETCH(int, source);
    QCOMPARE(int(StageModel::errorSource(event)), source);
}

void TestTangoModel::positionQuality_data()
{
    QTest::addColumn<QString>("situation");
    QTest::addColumn<int>("quality");

    QTest::newRow("no position yet") << "fresh" << int(Q::Invalid);
    QTest::newRow("standing") << "standing" << int(Q::Valid);
    QTest::newRow("moving") << "moving" << int(Q::Changing);
    QTest::newRow("disconnected") << "disconnected" << int(Q::Invalid);
    QTest::newRow("no panel") << "unlinked" << int(Q::Invalid);
}

void TestTangoModel::positionQuality()
{
    QFETCH(QString, situation);
    QFETCH(int, quality);

    StageModel model = standingAt(1000.0);
    if (situation == QLatin1String("fresh")) {
        model = StageModel();
        model.setLinked(true);
    } else if (situation == QLatin1String("moving")) {
        model.applyState(panelState(true, true, 2000.0), true);
    } else if (situation == QLatin1String("disconnected")) {
        model.applyState(panelState(false, false), true);
    } else if (situation == QLatin1String("unlinked")) {
        model.setLinked(false);
    }
    QCOMPARE(int(model.positionQuality()), quality);
}

void TestTangoModel::targetsBeyondTravelOrNotFiniteAreRefused_data()
{
    QTest::addColumn<bool>("connected");
    QTest::addColumn<double>("targetUm");
    QTest::addColumn<bool>("refused");

    QTest::newRow("inside") << true << 1000.0 << false;
    QTest::newRow("lower end") << true << -250.0 << false;
    QTest::newRow("upper end") << true << 6250.0 << false;
    QTest::newRow("beyond the upper end") << true << 6250.5 << true;
    QTest::newRow("far below") << true << -1e300 << true;
    QTest::newRow("NaN") << true << qQNaN() << true;
    QTest::newRow("infinity") << true << qInf() << true;
    QTest::newRow("minus infinity") << true << -qInf() << true;
    // Without a controller the panel's own refusal says what is missing.
    QTest::newRow("disconnected") << false << 1e9 << false;
    QTest::newRow("disconnected NaN") << false << qQNaN() << true;
}

void TestTangoModel::targetsBeyondTravelOrNotFiniteAreRefused()
{
    QFETCH(bool, connected);
    QFETCH(double, targetUm);
    QFETCH(bool, refused);

    StageModel model = standingAt(1000.0);
    if (!connected)
        model.applyState(panelState(false, false), true);
    const auto why = model.refuseTarget(targetUm);
    QCOMPARE(why.has_value(), refused);
    if (why && std::isfinite(targetUm))
        QVERIFY2(why->contains(QStringLiteral("-250.000 \u00b5m to 6250.000 \u00b5m")),
                 qPrintable(*why));
    QCOMPARE(model.travel().has_value(), connected);
}

void TestTangoModel::hostileStateValuesChangeNothingUnsafe()
{
    StageModel model = standingAt(0.0);
    QJsonObject hostile = panelState(true, true, QStringLiteral("1000"));
    hostile.insert(QStringLiteral("travel_um"), QJsonArray{QStringLiteral("x")});
    hostile.insert(QStringLiteral("position_um"), QStringLiteral("nan"));
    model.applyState(hostile, true);
    QCOMPARE(model.travelMaxUm, 6250.0);
    QVERIFY(!model.targetUm);
    QCOMPARE(model.state(), S::On);
    model.applyPosition(qQNaN());
    QCOMPARE(*model.positionUm, 0.0);

    // A travel whose ends are swapped is no travel.
    hostile.insert(QStringLiteral("travel_um"), QJsonArray{6250.0, -250.0});
    model.applyState(hostile, true);
    QVERIFY(model.travel() == std::make_optional(std::make_pair(-250.0, 6250.0)));
    // Whatever arrives, the state is one of the six and the status says something.
    for (const QJsonValue &junk : {QJsonValue(QStringLiteral("yes")), QJsonValue(1e308),
                                   QJsonValue(QJsonArray{1, 2}), QJsonValue()}) {
        QJsonObject state;
        for (const QString &key : panelState(true, true).keys())
            state.insert(key, junk);
        model.applyState(state, true);
        QVERIFY(!model.status().isEmpty());
    }
}

void TestTangoModel::thresholdsParseAsTangoWritesThem_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("down"); // NaN: none
    QTest::addColumn<double>("up");

    const double none = qQNaN();
    QTest::newRow("not specified") << "Not specified" << none << none;
    QTest::newRow("one value, both ways") << "0.001" << -0.001 << 0.001;
    QTest::newRow("one negative value, both ways") << "-0.5" << -0.5 << 0.5;
    QTest::newRow("down and up") << "-0.5,2" << -0.5 << 2.0;
    QTest::newRow("down and up, spaces") << " -0.5 , 2 " << -0.5 << 2.0;
    QTest::newRow("only up") << "Not specified,2" << none << 2.0;
    QTest::newRow("zero is no threshold") << "0" << none << none;
    QTest::newRow("not finite") << "nan" << none << none;
    QTest::newRow("infinite") << "inf" << none << none;
    QTest::newRow("three values") << "1,2,3" << none << none;
    QTest::newRow("empty") << "" << none << none;
    QTest::newRow("text") << "0.001um" << none << none;
}

void TestTangoModel::thresholdsParseAsTangoWritesThem()
{
    QFETCH(QString, text);
    QFETCH(double, down);
    QFETCH(double, up);

    const Threshold threshold = Threshold::parse(text);
    QCOMPARE(threshold.down.has_value(), !std::isnan(down));
    QCOMPARE(threshold.up.has_value(), !std::isnan(up));
    if (threshold.down)
        QCOMPARE(*threshold.down, down);
    if (threshold.up)
        QCOMPARE(*threshold.up, up);
}

void TestTangoModel::eventsOnlyOnChange_data()
{
    QTest::addColumn<QString>("absolute");
    QTest::addColumn<QString>("relative");
    QTest::addColumn<QVector<double>>("values"); // NaN: no value (INVALID)
    QTest::addColumn<QVector<int>>("qualities");
    QTest::addColumn<QVector<bool>>("due");

    const double none = qQNaN();
    const int valid = int(Q::Valid);
    const int changing = int(Q::Changing);
    const int invalid = int(Q::Invalid);
    QTest::newRow("standing still: only the first")
        << "0.001"
        << "Not specified" << QVector<double>{1000, 1000, 1000, 1000}
        << QVector<int>{valid, valid, valid, valid} << QVector<bool>{true, false, false, false};
    QTest::newRow("one digit of the controller is a change")
        << "0.001"
        << "Not specified" << QVector<double>{1000.123, 1000.124, 1000.1245}
        << QVector<int>{valid, valid, valid} << QVector<bool>{true, true, false};
    QTest::newRow("small steps add up from the last pushed")
        << "0.01"
        << "Not specified" << QVector<double>{0.0, 0.004, 0.008, 0.012}
        << QVector<int>{valid, valid, valid, valid} << QVector<bool>{true, false, false, true};
    QTest::newRow("down and up thresholds apart")
        << "-1,5"
        << "Not specified" << QVector<double>{10, 12, 9, 14}
        << QVector<int>{valid, valid, valid, valid} << QVector<bool>{true, false, true, true};
    QTest::newRow("relative, percent of the last pushed")
        << "Not specified"
        << "1" << QVector<double>{1000, 1005, 1010, 1030}
        << QVector<int>{valid, valid, valid, valid} << QVector<bool>{true, false, true, true};
    QTest::newRow("relative from zero")
        << "Not specified"
        << "1" << QVector<double>{0, 0, 0.001} << QVector<int>{valid, valid, valid}
        << QVector<bool>{true, false, true};
    QTest::newRow("no threshold: any change, never the same")
        << "Not specified"
        << "Not specified" << QVector<double>{5, 5, 5.0000001, 5.0000001}
        << QVector<int>{valid, valid, valid, valid} << QVector<bool>{true, false, true, false};
    QTest::newRow("a quality change is news")
        << "0.001"
        << "Not specified" << QVector<double>{1000, 1000, 1000, 1000}
        << QVector<int>{valid, changing, changing, valid} << QVector<bool>{true, true, false, true};
    QTest::newRow("a value appearing and going away")
        << "0.001"
        << "Not specified" << QVector<double>{none, none, 3, none, none}
        << QVector<int>{invalid, invalid, valid, invalid, invalid}
        << QVector<bool>{true, false, true, true, false};
    QTest::newRow("an invalid value counts as none")
        << "0.001"
        << "Not specified" << QVector<double>{1, 2, 3} << QVector<int>{invalid, invalid, invalid}
        << QVector<bool>{true, false, false};
}

void TestTangoModel::eventsOnlyOnChange()
{
    QFETCH(QString, absolute);
    QFETCH(QString, relative);
    QFETCH(QVector<double>, values);
    QFETCH(QVector<int>, qualities);
    QFETCH(QVector<bool>, due);

    Criteria criteria;
    criteria.absolute = Threshold::parse(absolute);
    criteria.relative = Threshold::parse(relative);
    EventGate gate;
    QVector<bool> pushed;
    for (int i = 0; i < values.size(); ++i) {
        const std::optional<double> value =
            std::isnan(values.at(i)) ? std::nullopt : std::optional<double>(values.at(i));
        pushed.append(gate.offer(value, Q(qualities.at(i)), 500 * i, criteria));
    }
    QCOMPARE(pushed, due);
}

void TestTangoModel::archiveEventsByPeriod()
{
    Criteria criteria = absolute(1.0);
    criteria.periodMs = parsePeriodMs(QStringLiteral("2000"));
    QCOMPARE(criteria.periodMs, std::optional<qint64>(2000));
    EventGate gate;
    QVERIFY(gate.offer(5.0, Q::Valid, 0, criteria));
    QVERIFY(!gate.offer(5.0, Q::Valid, 1999, criteria));
    QVERIFY(gate.offer(5.0, Q::Valid, 2000, criteria)); // standing still, but the period is up
    QVERIFY(!gate.offer(5.5, Q::Valid, 3000, criteria));
    QVERIFY(gate.offer(6.0, Q::Valid, 3500, criteria)); // a change restarts the period
    QVERIFY(!gate.offer(6.0, Q::Valid, 5499, criteria));
    gate.reset();
    QVERIFY(gate.offer(6.0, Q::Valid, 5500, criteria));

    for (const char *text : {"Not specified", "0", "-100", "1.5", "x", ""})
        QVERIFY2(!parsePeriodMs(QString::fromLatin1(text)), text);
}

void TestTangoModel::limitsFollowTheTravelUnlessSetByOthers_data()
{
    // Each step: what the attribute holds now, the travel (NaN: disconnected), and what the
    // device sets: "keep", "clear" or a number.
    QTest::addColumn<QVector<double>>("current");
    QTest::addColumn<QVector<double>>("travel");
    QTest::addColumn<QStringList>("set");

    const double none = qQNaN();
    QTest::newRow("set on connect, cleared on disconnect")
        << QVector<double>{none, 6250, 6250, none} << QVector<double>{6250, 6250, none, none}
        << QStringList{"6250", "keep", "clear", "keep"};
    QTest::newRow("follows a new travel")
        << QVector<double>{none, 6250} << QVector<double>{6250, 7000}
        << QStringList{"6250", "7000"};
    QTest::newRow("a client's value stands, through disconnects")
        << QVector<double>{none, 5000, 5000, 5000} << QVector<double>{6250, 6250, none, 7000}
        << QStringList{"6250", "keep", "keep", "keep"};
    QTest::newRow("the database's value stands from the start")
        << QVector<double>{5000, 5000} << QVector<double>{6250, none}
        << QStringList{"keep", "keep"};
    QTest::newRow("a value that is the travel is taken over")
        << QVector<double>{6250, 6250} << QVector<double>{6250, 7000}
        << QStringList{"keep", "7000"};
    QTest::newRow("a client clearing hands it back")
        << QVector<double>{none, 5000, none} << QVector<double>{6250, 6250, 6250}
        << QStringList{"6250", "keep", "6250"};
    QTest::newRow("what came back in text is the same")
        << QVector<double>{none, 6250.3000000000002} << QVector<double>{6250.3, 6250.3}
        << QStringList{"6250.3", "keep"};
}

void TestTangoModel::limitsFollowTheTravelUnlessSetByOthers()
{
    QFETCH(QVector<double>, current);
    QFETCH(QVector<double>, travel);
    QFETCH(QStringList, set);

    const auto optional = [](double v) {
        return std::isnan(v) ? std::nullopt : std::optional<double>(v);
    };
    ManagedLimit limit;
    for (int i = 0; i < current.size(); ++i) {
        const auto change = limit.update(optional(current.at(i)), optional(travel.at(i)));
        const QString what = !change    ? QStringLiteral("keep")
                             : !*change ? QStringLiteral("clear")
                                        : QString::number(**change);
        QCOMPARE(what, set.at(i));
    }
}

void TestTangoModel::textReachesTangoReadable_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("latin1");
    QTest::addColumn<QByteArray>("status");

    QTest::newRow("ascii") << "Ready" << QByteArray("Ready") << QByteArray("Ready");
    QTest::newRow("micro sign") << "6000 \u00b5m" << QByteArray("6000 \xb5m")
                                << QByteArray("6000 um");
    QTest::newRow("Greek mu") << "6000 \u03bcm" << QByteArray("6000 ?m") << QByteArray("6000 um");
    QTest::newRow("accents") << "Ger\u00e4t" << QByteArray("Ger\xe4t") << QByteArray("Ger?t");
    QTest::newRow("beyond Latin-1") << "a\u2192b" << QByteArray("a?b") << QByteArray("a?b");
    QTest::newRow("beyond the basic plane")
        << QString::fromUtf8("x\xf0\x9f\x94\xa7y") << QByteArray("x?y") << QByteArray("x?y");
}

void TestTangoModel::textReachesTangoReadable()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, latin1);
    QFETCH(QByteArray, status);
    QCOMPARE(QByteArray::fromStdString(tangoText(text)), latin1);
    QCOMPARE(QByteArray::fromStdString(statusText(text)), status);
}

QTEST_MAIN(TestTangoModel)
#include "tst_tangomodel.moc"
