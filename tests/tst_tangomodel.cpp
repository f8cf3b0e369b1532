// The Tango device's view of the stage: which Tango state and status follow from what the panel
// reports, and which targets a client may write.

#include "stagemodel.h"

#include <QJsonArray>
#include <QtTest>

namespace {

QJsonObject panelState(bool connected, bool homed, QJsonValue target = QJsonValue::Null)
{
    return QJsonObject{{QStringLiteral("connected"), connected},
                       {QStringLiteral("port"), QStringLiteral("/dev/ttyUSB0")},
                       {QStringLiteral("model"), connected ? QStringLiteral("1901") : QString()},
                       {QStringLiteral("firmware"), connected ? QStringLiteral("3.12") : QString()},
                       {QStringLiteral("homed"), homed},
                       {QStringLiteral("calibration"), QStringLiteral("9")},
                       {QStringLiteral("loop"), QStringLiteral("closed")},
                       {QStringLiteral("position_um"), 0.0},
                       {QStringLiteral("target_um"), target},
                       {QStringLiteral("travel_um"), QJsonArray{-250.0, 6250.0}}};
}

using S = StageModel::State;

} // namespace

class TestTangoModel : public QObject {
    Q_OBJECT

private slots:
    void stateFollowsThePanel();
    void movingEndsWhenSettledOrStopped();
    void faultOnLostLinkOrUnreachablePanel();
    void targetsBeyondTravelOrNotFiniteAreRefused();
    void hostileStateValuesChangeNothingUnsafe();
};

void TestTangoModel::stateFollowsThePanel()
{
    StageModel model;
    QCOMPARE(model.state(), S::Fault); // no socket yet
    model.setLinked(true);
    QCOMPARE(model.state(), S::Disable);
    model.applyState(panelState(true, false));
    QCOMPARE(model.state(), S::Disable);
    QVERIFY(model.status().contains(QLatin1String("not homed")));
    model.applyState(panelState(true, true));
    QCOMPARE(model.state(), S::On);
    QJsonObject calibrating = panelState(true, true);
    calibrating.insert(QStringLiteral("calibrating"), true);
    model.applyState(calibrating);
    QCOMPARE(model.state(), S::Alarm);
    model.applyState(panelState(false, false));
    QCOMPARE(model.state(), S::Disable);
    QVERIFY(model.status().contains(QLatin1String("not connected")));
}

void TestTangoModel::movingEndsWhenSettledOrStopped()
{
    StageModel model;
    model.setLinked(true);
    model.applyState(panelState(true, true, 0.0));
    for (int i = 0; i < 3; ++i)
        model.applyPosition(0.0);
    QCOMPARE(model.state(), S::On);

    model.applyState(panelState(true, true, 1000.0));
    QCOMPARE(model.state(), S::Moving);
    for (double um : {400.0, 1000.2, 1000.1})
        model.applyPosition(um);
    QCOMPARE(model.state(), S::Moving); // two inside the band are not enough
    model.applyPosition(999.9);
    QCOMPARE(model.state(), S::On);
    QCOMPARE(*model.positionUm, 999.9);

    model.applyState(panelState(true, true, 2000.0));
    QCOMPARE(model.state(), S::Moving);
    model.applyConsole(QStringLiteral(">stop\r"));
    QCOMPARE(model.state(), S::On);

    // The same target again is no new move.
    model.applyState(panelState(true, true, 2000.0));
    QCOMPARE(model.state(), S::On);
}

void TestTangoModel::faultOnLostLinkOrUnreachablePanel()
{
    StageModel model;
    model.setLinked(true);
    model.applyState(panelState(true, true));
    model.applyState(panelState(false, false));
    model.applyError(QStringLiteral("/dev/ttyUSB0 was removed or stopped answering"));
    QCOMPARE(model.state(), S::Fault);
    QVERIFY(model.status().contains(QLatin1String("removed")));
    model.applyState(panelState(true, false));
    QCOMPARE(model.state(), S::Disable);

    model.setLinked(false);
    QCOMPARE(model.state(), S::Fault);
    QVERIFY(model.status().contains(QLatin1String("control socket")));
    model.setLinked(true);
    QCOMPARE(model.state(), S::Disable);
}

void TestTangoModel::targetsBeyondTravelOrNotFiniteAreRefused()
{
    StageModel model;
    model.setLinked(true);
    model.applyState(panelState(true, true));
    QVERIFY(!model.refuseTarget(1000.0));
    QVERIFY(!model.refuseTarget(-250.0));
    for (double um : {qQNaN(), qInf(), -qInf(), 6250.5, -1e300})
        QVERIFY2(model.refuseTarget(um), qPrintable(QString::number(um)));
}

void TestTangoModel::hostileStateValuesChangeNothingUnsafe()
{
    StageModel model;
    model.setLinked(true);
    model.applyState(panelState(true, true));
    QJsonObject hostile = panelState(true, true, QStringLiteral("1000"));
    hostile.insert(QStringLiteral("travel_um"), QJsonArray{QStringLiteral("x")});
    hostile.insert(QStringLiteral("position_um"), QStringLiteral("nan"));
    model.applyState(hostile);
    QCOMPARE(model.travelMaxUm, 6250.0);
    QVERIFY(!model.targetUm);
    QCOMPARE(model.state(), S::On);
    model.applyPosition(qQNaN());
    QCOMPARE(*model.positionUm, 0.0);
}

QTEST_MAIN(TestTangoModel)
#include "tst_tangomodel.moc"
