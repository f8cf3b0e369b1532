// Sequence files: what Save writes and Open reads back, in any locale; every way a file can be
// bad, each refused with its first bad line named and nothing of it loaded; the run log export.

#include "messageboxwatcher.h"
#include "scriptedstage.h"
#include "sequencecsv.h"
#include "sequencemodel.h"
#include "sequencerunner.h"
#include "sequencewindow.h"

#include <QAbstractSpinBox>
#include <QClipboard>
#include <QFile>
#include <QGuiApplication>
#include <QLineEdit>
#include <QPointer>
#include <QTableView>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>
#include <limits>

namespace {

QByteArray file(const QByteArray &rows)
{
    return QByteArray(SequenceCsv::kHeader) + '\n' + rows;
}

QString units(std::initializer_list<ushort> codes)
{
    QString text;
    for (ushort code : codes)
        text += QChar(code);
    return text;
}

const QString kGrin = QString::fromUtf8("\xF0\x9F\x98\x80"); // one character, two code units

// Edits a cell of the window's table in its own editor: types or pastes text, then Return.
void editCell(SequenceWindow &window, int row, int column, const QString &text, bool paste)
{
    auto *table = window.findChild<QTableView *>(QStringLiteral("tableView_Steps"));
    QVERIFY(table);
    const QModelIndex index = window.model()->index(row, column);
    table->setCurrentIndex(index);
    table->edit(index);
    QWidget *editor = table->findChild<QAbstractSpinBox *>();
    auto *line = table->findChild<QLineEdit *>();
    if (!editor)
        editor = line;
    QVERIFY(editor && line);
    QPointer<QWidget> open(editor);
    line->selectAll();
    if (paste) {
        QGuiApplication::clipboard()->setText(text);
        line->paste();
    } else {
        QTest::keyClicks(editor, text);
    }
    QTest::keyClick(editor, Qt::Key_Return);
    QCoreApplication::processEvents();
    // Moving on commits what an editor still open holds, as the operator's next click would.
    table->setCurrentIndex(window.model()->index(row == 0 ? 1 : 0, 0));
    QTRY_VERIFY(!open);
}

} // namespace

class TestSequenceCsv : public QObject {
    Q_OBJECT

private slots:
    void roundTripInAnyLocale_data();
    void roundTripInAnyLocale();
    void writtenText();
    void toleratedVariations();
    void refusals_data();
    void refusals();
    void tooManyRows();
    void hugeInputIsRefused();
    void refusedFileLoadsNothing();
    void saveReplacesWholeOrNotAtAll();
    void logExport();
    void modelEditing();
    void labelsThatCanBeSavedCanBeOpened_data();
    void labelsThatCanBeSavedCanBeOpened();
    void listsGivenWholeKeepOnlyWhatAFileHolds();
    void labelEditorDropsWhatAFileCannotHold_data();
    void labelEditorDropsWhatAFileCannotHold();
    void targetEditorReadsNoGroupSeparator_data();
    void targetEditorReadsNoGroupSeparator();

private:
    QTemporaryDir dir;
};

void TestSequenceCsv::roundTripInAnyLocale_data()
{
    QTest::addColumn<QString>("locale");
    QTest::newRow("C") << "C";
    QTest::newRow("German, decimal comma") << "de_DE";
    QTest::newRow("French") << "fr_FR";
}

void TestSequenceCsv::roundTripInAnyLocale()
{
    QFETCH(QString, locale);
    const QLocale before;
    QLocale::setDefault(QLocale(locale));
    const SequenceSteps steps = {
        {QStringLiteral("start"), 0.0, 0},
        {QStringLiteral("comma, inside"), 1234.5, 200},
        {QStringLiteral("say \"cheese\""), -250.0, 86400000},
        {QStringLiteral("\u00b5-Schritt \u00fc\u00e9 \u6b65"), 0.1 + 0.2, 1},
        {QStringLiteral("  padded  "), 1e6, 5},
        {QString(), -1e6, 7},
        {QStringLiteral("tab\there"), 6249.99, 3},
        // A reader drops a byte-order mark at the start of a line, so the writer must quote it.
        {QStringLiteral("\ufeffmarked"), 2.0, 4},
        {QStringLiteral("\ufeff"), 3.0, 5},
    };
    const QString path = dir.filePath(QStringLiteral("round-%1.csv").arg(locale));
    QCOMPARE(SequenceCsv::writeFile(path, steps), QString());
    const SequenceCsv::ParseResult read = SequenceCsv::readFile(path);
    QLocale::setDefault(before);
    QVERIFY2(read.ok(), qPrintable(read.error));
    QCOMPARE(read.steps, steps);
}

void TestSequenceCsv::writtenText()
{
    const SequenceSteps steps = {{QStringLiteral("a,b"), 12.34, 200},
                                 {QStringLiteral("\u00b5"), -2500.0, 0}};
    QCOMPARE(SequenceCsv::format(steps),
             QByteArray("label,target_um,dwell_ms\n\"a,b\",12.34,200\n\xc2\xb5,-2500,0\n"));
}

void TestSequenceCsv::toleratedVariations()
{
    // A byte-order mark, Windows line ends, blank lines, spaces around numbers, no final line end.
    const QByteArray text("\xEF\xBB\xBFlabel,target_um,dwell_ms\r\n\r\none, 1.5 ,10\r\n\n"
                          "two,-2e2,0\r\n\"three\",3,  30");
    const SequenceCsv::ParseResult read = SequenceCsv::parse(text);
    QVERIFY2(read.ok(), qPrintable(read.error));
    QCOMPARE(read.steps, (SequenceSteps{{"one", 1.5, 10}, {"two", -200.0, 0}, {"three", 3.0, 30}}));

    // Past the first bytes a byte-order mark is a label's text, not a decoding error.
    const SequenceCsv::ParseResult marked =
        SequenceCsv::parse(file("\xEF\xBB\xBF"
                                "four,4,40\n\"\xEF\xBB\xBF\",5,50\n"));
    QVERIFY2(marked.ok(), qPrintable(marked.error));
    QCOMPARE(marked.steps, (SequenceSteps{{QStringLiteral("\ufefffour"), 4.0, 40},
                                          {QStringLiteral("\ufeff"), 5.0, 50}}));
}

void TestSequenceCsv::refusals_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("error");

    QTest::newRow("empty file") << QByteArray()
                                << "Line 1: the header \"label,target_um,dwell_ms\" is missing";
    QTest::newRow("no header") << QByteArray("a,1,2\n")
                               << "Line 1: the header \"label,target_um,dwell_ms\" is missing";
    QTest::newRow("other header") << QByteArray("\n\nname,um,ms\na,1,2\n")
                                  << "Line 3: the header \"label,target_um,dwell_ms\" is missing";
    QTest::newRow("missing column")
        << file("a,1,2\nb,3\nc,4\n") << "Line 3: a column is missing (label, target_um, dwell_ms)";
    QTest::newRow("only a label") << file("lonely\n")
                                  << "Line 2: a column is missing (label, target_um, dwell_ms)";
    QTest::newRow("extra column") << file("a,1,2,3\n")
                                  << "Line 2: there are more than three columns";
    QTest::newRow("text as target")
        << file("a,1,2\nb,abc,2\n") << "Line 3: the target \"abc\" is not a number";
    QTest::newRow("empty target") << file("a,,2\n") << "Line 2: the target \"\" is not a number";
    // A spreadsheet in a decimal-comma locale writes "0,500" for a half: never five hundred.
    const QString point = QStringLiteral(" (\".\" is the decimal point; numbers have no thousands "
                                         "separators)");
    QTest::newRow("decimal comma")
        << file("a,\"1,5\",2\n") << "Line 2: the target \"1,5\" is not a number" + point;
    QTest::newRow("decimal comma like a group")
        << file("a,1,2\nb,\"0,500\",2\n") << "Line 3: the target \"0,500\" is not a number" + point;
    QTest::newRow("thousands separator")
        << file("a,\"2,500\",2\n") << "Line 2: the target \"2,500\" is not a number" + point;
    QTest::newRow("thousands separator and point")
        << file("a,\"-1,000.5\",2\n") << "Line 2: the target \"-1,000.5\" is not a number" + point;
    QTest::newRow("space between thousands")
        << file("a,1 000,2\n") << "Line 2: the target \"1 000\" is not a number" + point;
    QTest::newRow("apostrophe between thousands")
        << file("a,1'000,2\n") << "Line 2: the target \"1'000\" is not a number" + point;
    QTest::newRow("decimal comma in dwell")
        << file("a,1,\"0,500\"\n")
        << "Line 2: the dwell \"0,500\" is not a whole number of milliseconds" + point;
    QTest::newRow("thousands separator in dwell")
        << file("a,1,\"2,500\"\n")
        << "Line 2: the dwell \"2,500\" is not a whole number of milliseconds" + point;
    QTest::newRow("NaN") << file("a,nan,2\n")
                         << "Line 2: the target \"nan\" is not a finite number";
    QTest::newRow("infinity") << file("a,inf,2\n")
                              << "Line 2: the target \"inf\" is not a finite number";
    QTest::newRow("beyond 1e6")
        << file("a,1000000,0\nb,-1000000.5,0\n")
        << "Line 3: the target -1000000.5 \u00b5m lies beyond \u00b11e+06 \u00b5m";
    QTest::newRow("huge exponent")
        << file("a,1e400,0\n") << "Line 2: the target \"1e400\" is not a number";
    QTest::newRow("text as dwell")
        << file("a,1,soon\n") << "Line 2: the dwell \"soon\" is not a whole number of milliseconds";
    QTest::newRow("fractional dwell")
        << file("a,1,2.5\n") << "Line 2: the dwell \"2.5\" is not a whole number of milliseconds";
    QTest::newRow("negative dwell")
        << file("a,1,-1\n") << "Line 2: the dwell -1 ms is not between 0 and 86400000 ms";
    QTest::newRow("dwell over a day")
        << file("a,1,86400001\n")
        << "Line 2: the dwell 86400001 ms is not between 0 and 86400000 ms";
    QTest::newRow("open quote") << file("\"a,1,2\n")
                                << "Line 2: a quoted label does not end with a quote";
    QTest::newRow("text after quote")
        << file("\"a\"b,1,2\n") << "Line 2: a quoted label does not end with a quote";
    QTest::newRow("not UTF-8") << file("ok,1,2\n\xff\xfe,1,2\n") << "Line 3: the text is not UTF-8";
    QTest::newRow("NUL in label") << file(QByteArray("a\0b,1,2\n", 8))
                                  << "Line 2: the label holds a control character";
    QTest::newRow("long line") << file(QByteArray(5000, 'x') + ",1,2\n")
                               << "Line 2: the line is longer than 4096 bytes";
}

void TestSequenceCsv::refusals()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, error);
    // The same in every locale, whatever its decimal point and group separator.
    const QLocale before;
    for (const char *name : {"C", "de_DE", "en_US", "de_CH", "fr_FR"}) {
        QLocale::setDefault(QLocale(QLatin1String(name)));
        const SequenceCsv::ParseResult read = SequenceCsv::parse(text);
        QLocale::setDefault(before);
        QCOMPARE(read.error, error);
        QVERIFY(read.steps.isEmpty());
        QVERIFY(read.line >= 1);
    }
}

void TestSequenceCsv::tooManyRows()
{
    QByteArray rows;
    for (int i = 0; i < Sequence::kMaxRows; ++i)
        rows += "s,1,0\n";
    const SequenceCsv::ParseResult full = SequenceCsv::parse(file(rows));
    QVERIFY2(full.ok(), qPrintable(full.error));
    QCOMPARE(full.steps.size(), Sequence::kMaxRows);
    const SequenceCsv::ParseResult over = SequenceCsv::parse(file(rows + "one,2,0\n"));
    QCOMPARE(over.error, QStringLiteral("Line 100002: more than 100000 rows"));
    QVERIFY(over.steps.isEmpty());
}

void TestSequenceCsv::hugeInputIsRefused()
{
    // A file far larger than any valid list is refused from its size, unread.
    const QString path = dir.filePath(QStringLiteral("huge.csv"));
    QFile big(path);
    QVERIFY(big.open(QIODevice::WriteOnly));
    big.write(file("a,1,2\n"));
    QVERIFY(big.resize(SequenceCsv::kMaxFileBytes + 1));
    big.close();
    const SequenceCsv::ParseResult read = SequenceCsv::readFile(path);
    QCOMPARE(read.error, QStringLiteral("Line 1: the file is larger than 16 MiB"));
    QVERIFY(read.steps.isEmpty());

    // A file of one endless line, and one of nothing but line ends, each end with a message.
    QCOMPARE(SequenceCsv::parse(file(QByteArray(1 << 20, 'z'))).error,
             QStringLiteral("Line 2: the line is longer than 4096 bytes"));
    QCOMPARE(SequenceCsv::parse(QByteArray(1 << 20, '\n')).error,
             QStringLiteral("Line 1048576: the header \"label,target_um,dwell_ms\" is missing"));

    QCOMPARE(SequenceCsv::readFile(dir.filePath(QStringLiteral("absent.csv"))).ok(), false);
}

void TestSequenceCsv::refusedFileLoadsNothing()
{
    ScriptedStage stage;
    SequenceRunner runner(&stage);
    SequenceWindow window(&runner);
    MessageBoxWatcher boxes;
    const SequenceSteps before = window.model()->steps();
    QVERIFY(!before.isEmpty());

    const QString path = dir.filePath(QStringLiteral("half.csv"));
    QFile bad(path);
    QVERIFY(bad.open(QIODevice::WriteOnly));
    bad.write(file("good,1,2\nalso good,2,3\nbad,x,3\nnever,4,5\n"));
    bad.close();
    QVERIFY(!window.openFile(path));
    QCOMPARE(boxes.count(), 1);
    QCOMPARE(boxes.titles.first(), QStringLiteral("Open sequence"));
    QVERIFY2(
        boxes.texts.first().contains(QLatin1String("Line 4: the target \"x\" is not a number")),
        qPrintable(boxes.texts.first()));
    QCOMPARE(window.model()->steps(), before);

    const QString good = dir.filePath(QStringLiteral("good.csv"));
    QCOMPARE(SequenceCsv::writeFile(good, {{"only", 42.0, 7}}), QString());
    QVERIFY(window.openFile(good));
    QCOMPARE(window.model()->steps(), (SequenceSteps{{"only", 42.0, 7}}));
    QCOMPARE(boxes.count(), 1);
}

void TestSequenceCsv::saveReplacesWholeOrNotAtAll()
{
    const QString path = dir.filePath(QStringLiteral("keep.csv"));
    QCOMPARE(SequenceCsv::writeFile(path, {{"first", 1.0, 1}}), QString());
    QCOMPARE(SequenceCsv::writeFile(path, {{"second", 2.0, 2}}), QString());
    QCOMPARE(SequenceCsv::readFile(path).steps, (SequenceSteps{{"second", 2.0, 2}}));
    // A folder that does not exist: refused with a message, nothing created.
    const QString nowhere = dir.filePath(QStringLiteral("no/such/folder/x.csv"));
    QVERIFY(SequenceCsv::writeFile(nowhere, {{"x", 1.0, 1}}).startsWith("Cannot write "));
    QVERIFY(!QFile::exists(nowhere));
}

void TestSequenceCsv::logExport()
{
    SequenceLogEntry settled;
    settled.repeat = 2;
    settled.step = 3;
    settled.row = 0;
    settled.label = QStringLiteral("x, y");
    settled.targetUm = 1000.0;
    settled.settledUm = 999.8;
    settled.settleS = 0.4567;
    settled.startedMsUtc = 1765000000123;
    SequenceLogEntry skipped = settled;
    skipped.settledUm.reset();
    skipped.label = QStringLiteral("z");
    skipped.outcome = SequenceLogEntry::Outcome::Skipped;
    SequenceLogEntry aborted = skipped;
    aborted.outcome = SequenceLogEntry::Outcome::Aborted;
    const QString path = dir.filePath(QStringLiteral("log.csv"));
    QCOMPARE(SequenceCsv::writeLog(path, {settled, skipped, aborted}, "# program: here"),
             QString());
    QFile written(path);
    QVERIFY(written.open(QIODevice::ReadOnly));
    QCOMPARE(written.readAll(),
             QByteArray("# program: here\n"
                        "repeat,step,row,label,target_um,settled_um,settle_s,started_utc,outcome\n"
                        "2,3,1,\"x, y\",1000,999.8,0.457,2025-12-06T05:46:40.123Z,settled\n"
                        "2,3,1,z,1000,,0.457,2025-12-06T05:46:40.123Z,skipped\n"
                        "2,3,1,z,1000,,0.457,2025-12-06T05:46:40.123Z,aborted\n"));
}

void TestSequenceCsv::modelEditing()
{
    SequenceModel model;
    model.setSteps({{"a", 1.0, 10}, {"b", 2.0, 20}, {"c", 3.0, 30}});
    QCOMPARE(model.moveStep(0, +1), 1);
    QCOMPARE(model.moveStep(2, -1), 1);
    QCOMPARE(model.moveStep(0, -1), -1);
    QCOMPARE(model.moveStep(2, +1), -1);
    QCOMPARE(model.duplicateStep(0), 1);
    QVERIFY(model.removeStep(3));
    QVector<QString> labels;
    for (const SequenceStep &s : model.steps())
        labels << s.label;
    QCOMPARE(labels, (QVector<QString>{"b", "b", "c"}));

    // Edits in place: a target typed with the operator's decimal comma, a label with a line
    // break; a non-number, NaN or a negative dwell change nothing.
    const QLocale before;
    QLocale::setDefault(QLocale(QLocale::German));
    QVERIFY(model.setData(model.index(0, SequenceModel::TargetColumn), QStringLiteral("12,5")));
    QLocale::setDefault(before);
    QCOMPARE(model.steps().at(0).targetUm, 12.5);
    QVERIFY(
        model.setData(model.index(0, SequenceModel::LabelColumn), QStringLiteral("two\nlines")));
    QCOMPARE(model.steps().at(0).label, QStringLiteral("two lines"));
    QVERIFY(!model.setData(model.index(0, SequenceModel::TargetColumn), QStringLiteral("far")));
    QVERIFY(!model.setData(model.index(0, SequenceModel::TargetColumn),
                           std::numeric_limits<double>::quiet_NaN()));
    QVERIFY(!model.setData(model.index(0, SequenceModel::TargetColumn), 2e6));
    QVERIFY(!model.setData(model.index(0, SequenceModel::DwellColumn), -5));
    QCOMPARE(model.steps().at(0), (SequenceStep{"two lines", 12.5, 20}));

    // While a run has the list, nothing changes it.
    model.setEditable(false);
    QVERIFY(!(model.flags(model.index(0, 0)) & Qt::ItemIsEditable));
    QVERIFY(!model.setData(model.index(0, SequenceModel::DwellColumn), 5));
    QCOMPARE(model.insertStep(0, {}), -1);
    QVERIFY(!model.removeStep(0));
    QCOMPARE(model.rowCount(), 3);
}

void TestSequenceCsv::labelsThatCanBeSavedCanBeOpened_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("kept");

    QTest::newRow("escape sequence") << "\x1b[31mred\x1b[0m"
                                     << "[31mred[0m";
    QTest::newRow("vertical tab, form feed, bell") << "a\vb\fc\a"
                                                   << "abc";
    QTest::newRow("NUL") << units({'a', 0, 'b'}) << "ab";
    QTest::newRow("DEL") << "del\x7f"
                         << "del";
    QTest::newRow("C1 controls") << units({'a', 0x85, 'b', 0x9b, 'c', 0x80, 0x9f}) << "abc";
    QTest::newRow("line breaks become spaces") << "two\r\nlines"
                                               << "two  lines";
    QTest::newRow("tab kept") << "a\tb"
                              << "a\tb";
    QTest::newRow("lone high surrogate") << units({'a', 0xd83d, 'b'}) << "ab";
    QTest::newRow("lone low surrogate") << units({'a', 0xde00}) << "a";
    QTest::newRow("halves the wrong way round") << units({0xde00, 0xd83d}) << "";
    QTest::newRow("surrogate pair kept") << "a" + kGrin << "a" + kGrin;
    QTest::newRow("byte-order mark and noncharacters kept")
        << units({0xfeff, 'x', 0xfffe, 0xffff, 0xfdd0})
        << units({0xfeff, 'x', 0xfffe, 0xffff, 0xfdd0});
    QTest::newRow("nothing but controls") << "\x1b\x01\x7f"
                                          << "";
    QTest::newRow("plain") << QStringLiteral("\u00b5-Schritt, \"quoted\"")
                           << QStringLiteral("\u00b5-Schritt, \"quoted\"");
    // Cut at 1000 code units, but never between the halves of one character.
    QTest::newRow("long, cut before a pair")
        << "a" + kGrin.repeated(600) << "a" + kGrin.repeated(499);
    QTest::newRow("long, cut after a pair") << kGrin.repeated(600) << kGrin.repeated(500);
}

void TestSequenceCsv::labelsThatCanBeSavedCanBeOpened()
{
    QFETCH(QString, typed);
    QFETCH(QString, kept);
    SequenceModel model;
    model.setSteps({{"x", 1.0, 1}, {"y", 2.0, 2}});
    QVERIFY(model.setData(model.index(1, SequenceModel::LabelColumn), typed));
    QCOMPARE(model.steps().at(1).label, kept);

    const QString path = dir.filePath(QStringLiteral("labels.csv"));
    QCOMPARE(SequenceCsv::writeFile(path, model.steps()), QString());
    const SequenceCsv::ParseResult read = SequenceCsv::readFile(path);
    QVERIFY2(read.ok(), qPrintable(read.error));
    QCOMPARE(read.steps, model.steps());
}

void TestSequenceCsv::listsGivenWholeKeepOnlyWhatAFileHolds()
{
    SequenceModel model;
    model.setSteps({{"\x1b"
                     "a\x7f",
                     1.0, 1},
                    {units({'b', 0xd800}), 2.0, 2}});
    QCOMPARE(model.insertStep(1, {"c\x1b\tc", 3.0, 3}), 1);
    QCOMPARE(model.steps(), (SequenceSteps{{"a", 1.0, 1}, {"c\tc", 3.0, 3}, {"b", 2.0, 2}}));
}

void TestSequenceCsv::labelEditorDropsWhatAFileCannotHold_data()
{
    QTest::addColumn<QString>("pasted");
    QTest::addColumn<QString>("kept");
    QTest::newRow("escape sequence") << "\x1b[1mbold\x1b[0m"
                                     << "[1mbold[0m";
    QTest::newRow("vertical tab and DEL") << "a\vb\x7f"
                                          << "ab";
    QTest::newRow("C1 control") << units({'a', 0x9b, 'b'}) << "ab";
    QTest::newRow("lone surrogate") << units({'a', 0xdc00, 'b'}) << "ab";
    QTest::newRow("pair and tab kept") << "a\t" + kGrin << "a\t" + kGrin;
    QTest::newRow("plain") << "edge, left"
                           << "edge, left";
}

void TestSequenceCsv::labelEditorDropsWhatAFileCannotHold()
{
    QFETCH(QString, pasted);
    QFETCH(QString, kept);
    ScriptedStage stage;
    SequenceRunner runner(&stage);
    SequenceWindow window(&runner);
    MessageBoxWatcher boxes;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    editCell(window, 2, SequenceModel::LabelColumn, pasted, true);
    QCOMPARE(window.model()->steps().at(2).label, kept);
    // What the table holds, Save writes and Open reads back.
    const QString path = dir.filePath(QStringLiteral("edited.csv"));
    QVERIFY(window.saveFile(path));
    const SequenceSteps saved = window.model()->steps();
    window.model()->setSteps({});
    QVERIFY(window.openFile(path));
    QCOMPARE(window.model()->steps(), saved);
    QCOMPARE(boxes.count(), 0);
}

void TestSequenceCsv::targetEditorReadsNoGroupSeparator_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<double>("target"); // the row's 250 when the text is refused

    QTest::newRow("English, point") << "en_US"
                                    << "0.125" << 0.125;
    QTest::newRow("English, every digit") << "en_US"
                                          << "1234.5678" << 1234.5678;
    QTest::newRow("English, decimal comma") << "en_US"
                                            << "0,500" << 250.0;
    QTest::newRow("English, grouped") << "en_US"
                                      << "2,500.5" << 250.0;
    QTest::newRow("German, comma") << "de_DE"
                                   << "0,125" << 0.125;
    QTest::newRow("German, point") << "de_DE"
                                   << "0.125" << 0.125;
    QTest::newRow("German, grouped") << "de_DE"
                                     << "1.000,5" << 250.0;
    QTest::newRow("Swiss, grouped") << "de_CH"
                                    << "1'000.5" << 250.0;
    QTest::newRow("at the limit") << "en_US"
                                  << "-1000000" << -1e6;
    QTest::newRow("beyond the limit") << "en_US"
                                      << "1000001" << 250.0;
    QTest::newRow("text") << "en_US"
                          << "far" << 250.0;
}

void TestSequenceCsv::targetEditorReadsNoGroupSeparator()
{
    QFETCH(QString, locale);
    QFETCH(QString, typed);
    QFETCH(double, target);
    const QLocale before;
    QLocale::setDefault(QLocale(locale));
    ScriptedStage stage;
    SequenceRunner runner(&stage);
    SequenceWindow window(&runner);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(window.model()->steps().at(1).targetUm, 250.0);
    editCell(window, 1, SequenceModel::TargetColumn, typed, false);
    QLocale::setDefault(before);
    QCOMPARE(window.model()->steps().at(1).targetUm, target);
}

QTEST_MAIN(TestSequenceCsv)
#include "tst_sequencecsv.moc"
