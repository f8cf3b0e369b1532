// The rules a sequence step is held to, one table through every way a step comes in: a sequence
// file, the table's editors, a script's "sequence_run" and the runner itself. Each refuses the
// same values with the same words, or, where the operator types, keeps only what is allowed.

#include "scriptedstage.h"
#include "sequencecommands.h"
#include "sequencecsv.h"
#include "sequencemodel.h"
#include "sequencerunner.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QtTest>

#include <limits>

namespace {

enum class Field { Label, Target, Dwell };

// A step with one value set from the table; the others are ones every rule allows.
SequenceStep stepWith(Field field, const QVariant &value)
{
    SequenceStep step{QStringLiteral("x"), 10.0, 100};
    switch (field) {
    case Field::Label:
        step.label = value.toString();
        break;
    case Field::Target:
        step.targetUm = value.toDouble();
        break;
    case Field::Dwell:
        step.dwellMs = value.toInt();
        break;
    }
    return step;
}

int columnOf(Field field)
{
    switch (field) {
    case Field::Label:
        return SequenceModel::LabelColumn;
    case Field::Target:
        return SequenceModel::TargetColumn;
    case Field::Dwell:
        break;
    }
    return SequenceModel::DwellColumn;
}

QString grin()
{
    return QString::fromUtf8("\xF0\x9F\x98\x80");
}

} // namespace

Q_DECLARE_METATYPE(Field)

class TestStepRules : public QObject {
    Q_OBJECT

private slots:
    void everyReaderHoldsTheSameRules_data();
    void everyReaderHoldsTheSameRules();
    void listLimits();
    void rowsAreNamedWithTheirNumber_data();
    void rowsAreNamedWithTheirNumber();
};

void TestStepRules::everyReaderHoldsTheSameRules_data()
{
    QTest::addColumn<Field>("field");
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QString>("problem"); // empty: allowed

    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    QTest::newRow("target 0") << Field::Target << QVariant(0.0) << "";
    QTest::newRow("target at +limit") << Field::Target << QVariant(1e6) << "";
    QTest::newRow("target at -limit") << Field::Target << QVariant(-1e6) << "";
    QTest::newRow("target every digit") << Field::Target << QVariant(1234.5678) << "";
    QTest::newRow("target past the limit")
        << Field::Target << QVariant(1000000.5)
        << "the target 1000000.5 \u00b5m lies beyond \u00b11e+06 \u00b5m";
    QTest::newRow("target far beyond")
        << Field::Target << QVariant(-2e9)
        << "the target -2e+09 \u00b5m lies beyond \u00b11e+06 \u00b5m";
    QTest::newRow("target NaN") << Field::Target << QVariant(nan)
                                << "the target \"nan\" is not a finite number";
    QTest::newRow("target infinity")
        << Field::Target << QVariant(inf) << "the target \"inf\" is not a finite number";
    QTest::newRow("dwell 0") << Field::Dwell << QVariant(0) << "";
    QTest::newRow("dwell a day") << Field::Dwell << QVariant(86400000) << "";
    QTest::newRow("dwell negative")
        << Field::Dwell << QVariant(-1) << "the dwell -1 ms is not between 0 and 86400000 ms";
    QTest::newRow("dwell over a day") << Field::Dwell << QVariant(86400001)
                                      << "the dwell 86400001 ms is not between 0 and 86400000 ms";
    QTest::newRow("label empty") << Field::Label << QVariant(QString()) << "";
    QTest::newRow("label with a tab") << Field::Label << QVariant("a\tb") << "";
    QTest::newRow("label with quotes and commas")
        << Field::Label << QVariant(QStringLiteral("\u00b5-Schritt, \"q\"")) << "";
    QTest::newRow("label of two code units") << Field::Label << QVariant(grin()) << "";
    QTest::newRow("label at the length limit")
        << Field::Label << QVariant(QString(1000, QLatin1Char('a'))) << "";
    QTest::newRow("label too long") << Field::Label << QVariant(QString(1001, QLatin1Char('a')))
                                    << "the label is longer than 1000 characters";
    QTest::newRow("label with a bell")
        << Field::Label << QVariant("bell\a") << "the label holds a control character";
    QTest::newRow("label with an escape")
        << Field::Label << QVariant("\x1b[31mred") << "the label holds a control character";
    QTest::newRow("label with DEL")
        << Field::Label << QVariant("del\x7f") << "the label holds a control character";
    QTest::newRow("label with a C1 control")
        << Field::Label << QVariant(QStringLiteral("a") + QChar(0x85))
        << "the label holds a control character";
    QTest::newRow("label with a line break")
        << Field::Label << QVariant("two\nlines") << "the label holds a control character";
    QTest::newRow("label with half a character")
        << Field::Label << QVariant(QStringLiteral("a") + QChar(0xd83d))
        << "the label holds half of a character";
}

void TestStepRules::everyReaderHoldsTheSameRules()
{
    QFETCH(Field, field);
    QFETCH(QVariant, value);
    QFETCH(QString, problem);
    const SequenceStep step = stepWith(field, value);
    const bool allowed = problem.isEmpty();
    QCOMPARE(Sequence::stepProblem(step), problem);

    // A sequence file, where UTF-8 can carry the label at all.
    const QByteArray file = SequenceCsv::format({step});
    if (QString::fromUtf8(step.label.toUtf8()) == step.label && !step.label.contains('\n')) {
        const SequenceCsv::ParseResult read = SequenceCsv::parse(file);
        QCOMPARE(read.error, allowed ? QString() : QStringLiteral("Line 2: ") + problem);
        QCOMPARE(read.steps, allowed ? SequenceSteps{step} : SequenceSteps());
    }

    // A script's request.
    const QJsonArray request{QJsonObject{{QStringLiteral("label"), step.label},
                                         {QStringLiteral("um"), step.targetUm},
                                         {QStringLiteral("dwell_ms"), step.dwellMs}}};
    QString why;
    const std::optional<SequenceSteps> read = readSequenceSteps(request, &why);
    QCOMPARE(why, allowed ? QString() : QStringLiteral("step 1: ") + problem);
    QCOMPARE(read.has_value(), allowed);
    if (read)
        QCOMPARE(*read, SequenceSteps{step});

    // The runner, on a stage whose travel is wider than any allowed target.
    ScriptedStage stage;
    stage.now.connected = true;
    stage.now.model = QStringLiteral("1901");
    stage.now.firmware = QStringLiteral("3.12");
    stage.now.homed = true;
    stage.now.travelMinUm = -2e6;
    stage.now.travelMaxUm = 2e6;
    SequenceRunner runner(&stage);
    const SequenceRunner::Refusal refusal = runner.check({step});
    QCOMPARE(refusal.message,
             allowed ? QString() : QStringLiteral("Row 1 cannot be run: ") + problem);
    QCOMPARE(refusal.stepMessage,
             allowed ? QString() : QStringLiteral("Step 1 cannot be run: ") + problem);

    // The table: a typed label keeps what is allowed of it; a number it would not hold changes
    // nothing.
    SequenceModel model;
    model.setSteps({{QStringLiteral("before"), 1.0, 1}});
    const bool taken = model.setData(model.index(0, columnOf(field)), value);
    const SequenceStep held = model.steps().at(0);
    QCOMPARE(Sequence::stepProblem(held), QString());
    if (field == Field::Label) {
        QVERIFY(taken);
        QCOMPARE(held.label == step.label, allowed);
    } else {
        QCOMPARE(taken, allowed);
        QCOMPARE(held == SequenceStep({QStringLiteral("before"), 1.0, 1}), !allowed);
    }
}

void TestStepRules::listLimits()
{
    QCOMPARE(Sequence::countProblem(0), QStringLiteral("the sequence has no steps"));
    QCOMPARE(Sequence::countProblem(1), QString());
    QCOMPARE(Sequence::countProblem(100000), QString());
    QCOMPARE(Sequence::countProblem(100001),
             QStringLiteral("a sequence holds at most 100000 steps"));
    QCOMPARE(Sequence::repeatProblem(1), QString());
    QCOMPARE(Sequence::repeatProblem(10000), QString());
    for (qint64 bad : {qint64(0), qint64(-1), qint64(10001), qint64(1) << 40})
        QCOMPARE(Sequence::repeatProblem(bad),
                 QStringLiteral("the repeat count must lie between 1 and 10000"));

    // A script is told in its own words, before anything moves.
    QString why;
    QVERIFY(!readSequenceSteps(QJsonArray(), &why));
    QCOMPARE(why, QStringLiteral("\"steps\": the sequence has no steps"));
    QVERIFY(!readSequenceSteps(QJsonArray{QJsonObject{{"um", 1}}, 2}, &why));
    QCOMPARE(why, QStringLiteral("step 2: a step must be an object"));
    QVERIFY(!readSequenceSteps(QJsonArray{QJsonObject{{"um", "1"}}}, &why));
    QCOMPARE(why, QStringLiteral("step 1: \"um\" must be a number"));
    QVERIFY(!readSequenceSteps(QJsonArray{QJsonObject{{"um", 1}, {"dwell_ms", 0.5}}}, &why));
    QCOMPARE(why, QStringLiteral("step 1: the dwell 0.5 ms is not a whole number of milliseconds"));
    QVERIFY(!readSequenceSteps(QJsonArray{QJsonObject{{"um", 1}, {"dwell_ms", 1e300}}}, &why));
    QCOMPARE(why, QStringLiteral("step 1: the dwell 1e+300 ms is not between 0 and 86400000 ms"));
    QVERIFY(!readSequenceSteps(QJsonArray{QJsonObject{{"um", 1}, {"speed", 3}}}, &why));
    QCOMPARE(why, QStringLiteral("step 1: unknown field \"speed\""));
    const std::optional<SequenceSteps> bare =
        readSequenceSteps(QJsonArray{QJsonObject{{"um", 5}}}, &why);
    QVERIFY(bare);
    QCOMPARE(*bare, (SequenceSteps{{QString(), 5.0, 0}}));
}

void TestStepRules::rowsAreNamedWithTheirNumber_data()
{
    QTest::addColumn<QVector<int>>("rows");
    QTest::addColumn<QString>("numbers");
    QTest::addColumn<QString>("sentence");

    QTest::newRow("one") << QVector<int>{2} << "3"
                         << "Row 3 lies beyond the travel";
    QTest::newRow("two") << QVector<int>{2, 4} << "3 and 5"
                         << "Rows 3 and 5 lie beyond the travel";
    QTest::newRow("three") << QVector<int>{0, 1, 3} << "1, 2 and 4"
                           << "Rows 1, 2 and 4 lie beyond the travel";
    QVector<int> many;
    for (int i = 0; i < 12; ++i)
        many << i;
    QTest::newRow("more than ten") << many << "1, 2, 3, 4, 5, 6, 7, 8, 9, 10 and 2 more"
                                   << "Rows 1, 2, 3, 4, 5, 6, 7, 8, 9, 10 and 2 more lie beyond "
                                      "the travel";
}

void TestStepRules::rowsAreNamedWithTheirNumber()
{
    QFETCH(QVector<int>, rows);
    QFETCH(QString, numbers);
    QFETCH(QString, sentence);
    QCOMPARE(Sequence::numbers(rows), numbers);
    QCOMPARE(Sequence::aboutRows(Sequence::Numbering::Rows, rows,
                                 QStringLiteral("lies beyond the travel"),
                                 QStringLiteral("lie beyond the travel")),
             sentence);
    QCOMPARE(Sequence::counted(1, QStringLiteral("step"), QStringLiteral("steps")),
             QStringLiteral("1 step"));
    QCOMPARE(Sequence::counted(0, QStringLiteral("step"), QStringLiteral("steps")),
             QStringLiteral("0 steps"));
}

QTEST_GUILESS_MAIN(TestStepRules)
#include "tst_steprules.moc"
