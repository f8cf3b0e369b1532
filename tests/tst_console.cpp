// The console pane on its own: what a typed line sends, which keys the editor never sees, the
// echo of traffic, the line cap, the mouse, the recall of earlier lines with Up and Down, pasted
// lines, traffic arriving while a line is typed, and lines too long for the controller.

#include "console.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QLineEdit>
#include <QMenu>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTextBlock>
#include <QVBoxLayout>
#include <QtTest>

namespace {

// Stands in for the main window: records every key that gets past the console.
class Host : public QWidget {
public:
    QList<int> keys;

protected:
    void keyPressEvent(QKeyEvent *event) override { keys << event->key(); }
};

// A console inside a shown host, with a line edit next to it to hold the focus elsewhere.
struct Pane {
    Pane()
    {
        auto *layout = new QVBoxLayout(&host);
        other = new QLineEdit(&host);
        console = new Console(&host);
        layout->addWidget(other);
        layout->addWidget(console);
        host.resize(400, 300);
        spy.reset(new QSignalSpy(console, &Console::getData));
    }

    bool show()
    {
        host.show();
        if (!QTest::qWaitForWindowExposed(&host))
            return false;
        host.activateWindow();
        console->setFocus();
        return true;
    }

    QByteArray sent(int i) const { return spy->at(i).at(0).toByteArray(); }
    QString lastLine() const { return console->document()->lastBlock().text(); }
    bool cursorOnEmptyLastLine() const
    {
        const QTextCursor cursor = console->textCursor();
        return cursor.block() == console->document()->lastBlock() &&
               cursor.block().text().isEmpty();
    }
    bool cursorAtEnd() const
    {
        return console->textCursor().position() == console->document()->characterCount() - 1;
    }

    Host host;
    QLineEdit *other = nullptr;
    Console *console = nullptr;
    QScopedPointer<QSignalSpy> spy;
};

// Types a line as the operator would and sends it.
void sendLine(Console *console, const QString &text)
{
    QTest::keyClicks(console, text);
    QTest::keyClick(console, Qt::Key_Return);
}

} // namespace

class TestConsole : public QObject {
    Q_OBJECT

private slots:
    void looksAndLimits();
    void returnInEmptyPaneSendsCarriageReturn();
    void typedLineIsSent();
    void keypadEnterDoesNotSend_data();
    void keypadEnterDoesNotSend();
    void echoOffDropsTypingAndSendsExistingLine();
    void echoedTextJoinsTypedLine();
    void sendsLastLineWhereverTheCursorIs();
    void oldestLinesDropAtTheCap();
    void putDataStopsAtZeroByte();
    void putDataAddsNoLineBreak();
    void mouseOnlyFocuses();
    void editingKeysNeverReachEditor_data();
    void editingKeysNeverReachEditor();
    void arrowsStayInConsole_data();
    void arrowsStayInConsole();
    void historyUpAndDown();
    void historyKeepsFiftyLines();
    void upWithoutHistoryDoesNothing();
    void emptyLinesAreNotRecalled();
    void downKeepsALineBeingTyped();
    void pastedLinesAreEachSent_data();
    void pastedLinesAreEachSent();
    void receivedTextStaysAboveTypedLine();
    void submittedLineKeepsTypedLine();
    void overlongLinesAreRefused();
    void hugePasteYieldsToEventLoop();
    void pasteInterruptedByDisable();
    void timeStampsAreOffAtFirst();
    void timeStampsBeginEachLine();
    void timeStampsNeverReachTheController();
    void timeStampsWithTrafficAboveTypedLine();
    void stampRecognised_data();
    void stampRecognised();
    void stampedFloodStaysCapped();
};

void TestConsole::looksAndLimits()
{
    Console console;
    QCOMPARE(console.document()->maximumBlockCount(), 100);
    QCOMPARE(console.palette().color(QPalette::Active, QPalette::Base), QColor(Qt::black));
    QCOMPARE(console.palette().color(QPalette::Inactive, QPalette::Base), QColor(Qt::black));
    QCOMPARE(console.palette().color(QPalette::Active, QPalette::Text), QColor(Qt::white));
    QVERIFY(!console.isReadOnly());
    QVERIFY(console.toPlainText().isEmpty());
}

void TestConsole::returnInEmptyPaneSendsCarriageReturn()
{
    Pane pane;
    QVERIFY(pane.show());
    pane.console->setLocalEchoEnabled(true);

    QTest::keyClick(pane.console, Qt::Key_Return);
    QCOMPARE(pane.spy->count(), 1);
    QCOMPARE(pane.sent(0), QByteArray("\r"));
    QCOMPARE(pane.console->document()->blockCount(), 2);
    QVERIFY(pane.cursorOnEmptyLastLine());
}

void TestConsole::typedLineIsSent()
{
    Pane pane;
    QVERIFY(pane.show());
    pane.console->setLocalEchoEnabled(true);

    QTest::keyClicks(pane.console, "abc");
    QCOMPARE(pane.console->toPlainText(), QStringLiteral("abc"));
    QCOMPARE(pane.spy->count(), 0); // nothing leaves per keystroke
    QTest::keyClick(pane.console, Qt::Key_Return);

    QCOMPARE(pane.spy->count(), 1);
    QCOMPARE(pane.sent(0), QByteArray("\x61\x62\x63\x0d"));
    QCOMPARE(pane.console->toPlainText(), QStringLiteral("abc\n"));
    QVERIFY(pane.cursorOnEmptyLastLine());

    // Backspace edits the line before it leaves.
    QTest::keyClicks(pane.console, ">cpx");
    QTest::keyClick(pane.console, Qt::Key_Backspace);
    QTest::keyClick(pane.console, Qt::Key_Return);
    QCOMPARE(pane.spy->count(), 2);
    QCOMPARE(pane.sent(1), QByteArray(">cp\r"));
}

void TestConsole::keypadEnterDoesNotSend_data()
{
    QTest::addColumn<bool>("echo");
    QTest::addColumn<int>("blocks");
    QTest::newRow("echo on: breaks the line") << true << 2;
    QTest::newRow("echo off: dropped") << false << 1;
}

void TestConsole::keypadEnterDoesNotSend()
{
    QFETCH(bool, echo);
    QFETCH(int, blocks);

    Pane pane;
    QVERIFY(pane.show());
    pane.console->setLocalEchoEnabled(echo);
    pane.console->putData("ab");

    QTest::keyClick(pane.console, Qt::Key_Enter, Qt::KeypadModifier);
    QCOMPARE(pane.spy->count(), 0);
    QCOMPARE(pane.console->document()->blockCount(), blocks);
    QCOMPARE(pane.console->document()->firstBlock().text(), QStringLiteral("ab"));
}

void TestConsole::echoOffDropsTypingAndSendsExistingLine()
{
    Pane pane;
    QVERIFY(pane.show());
    pane.console->setLocalEchoEnabled(false);
    pane.console->putData(">status\r_stat");

    QTest::keyClicks(pane.console, "xyz");
    QTest::keyClick(pane.console, Qt::Key_Backspace);
    QCOMPARE(pane.console->toPlainText(), QStringLiteral(">status\n_stat"));
    QCOMPARE(pane.spy->count(), 0);

    QTest::keyClick(pane.console, Qt::Key_Return);
    QCOMPARE(pane.spy->count(), 1);
    QCOMPARE(pane.sent(0), QByteArray("_stat\r"));
    QVERIFY(pane.cursorOnEmptyLastLine());
}

void TestConsole::echoedTextJoinsTypedLine()
{
    Pane pane;
    QVERIFY(pane.show());
    pane.console->setLocalEchoEnabled(true);

    pane.console->putData("ab");
    QTest::keyClicks(pane.console, "c");
    QTest::keyClick(pane.console, Qt::Key_Return);
    QCOMPARE(pane.spy->count(), 1);
    QCOMPARE(pane.sent(0), QByteArray("abc\r"));

    // An echo arriving in the middle of typing goes above the typed line, never into it.
    QTest::keyClicks(pane.console, "x");
    pane.console->putData("y");
    QTest::keyClicks(pane.console, "z");
    QTest::keyClick(pane.console, Qt::Key_Return);
    QCOMPARE(pane.spy->count(), 2);
    QCOMPARE(pane.sent(1), QByteArray("xz\r"));
    QCOMPARE(pane.console->toPlainText(), QStringLiteral("abc\ny\nxz\n"));
}

void TestConsole::sendsLastLineWhereverTheCursorIs()
{
    Pane pane;
    QVERIFY(pane.show());
    pane.console->setLocalEchoEnabled(true);
    pane.console->putData("first\rsecond\rthird");

    QTest::keyClick(pane.console, Qt::Key_Home, Qt::ControlModifier);
    QCOMPARE(pane.console->textCursor().position(), 0);
    QTest::keyClick(pane.console, Qt::Key_Return);

    QCOMPARE(pane.spy->count(), 1);
    QCOMPARE(pane.sent(0), QByteArray("third\r"));
    // The line break goes in where the cursor stands.
    QCOMPARE(pane.console->toPlainText(), QStringLiteral("\nfirst\nsecond\nthird"));
    QCOMPARE(pane.console->textCursor().blockNumber(), 1);
}

void TestConsole::oldestLinesDropAtTheCap()
{
    Pane pane;
    QVERIFY(pane.show());
    QScrollBar *bar = pane.console->verticalScrollBar();

    for (int i = 0; i < 150; ++i) {
        pane.console->putData(QStringLiteral("_cp %1 um\r").arg(i).toLatin1());
        QCOMPARE(bar->value(), bar->maximum());
    }
    QVERIFY(bar->maximum() > 0);
    QVERIFY(pane.console->document()->blockCount() <= 100);

    const QStringList lines = pane.console->toPlainText().split(QLatin1Char('\n'));
    QVERIFY(!lines.contains(QStringLiteral("_cp 0 um")));
    QVERIFY(!lines.contains(QStringLiteral("_cp 50 um")));
    QVERIFY(lines.contains(QStringLiteral("_cp 149 um")));
    QCOMPARE(lines.first(), QStringLiteral("_cp 51 um"));

    QCoreApplication::processEvents();
    QCOMPARE(bar->value(), bar->maximum());
}

void TestConsole::putDataStopsAtZeroByte()
{
    Console console;
    console.putData(QByteArray("ab\0cd\r", 6));
    QCOMPARE(console.toPlainText(), QStringLiteral("ab"));
    console.putData(QByteArray("\0", 1));
    QCOMPARE(console.toPlainText(), QStringLiteral("ab"));
}

void TestConsole::putDataAddsNoLineBreak()
{
    Console console;
    console.putData(">ma ");
    console.putData("10000");
    QCOMPARE(console.toPlainText(), QStringLiteral(">ma 10000"));
    console.putData(QStringLiteral("0.0 \u00b5m\r").toUtf8());
    QCOMPARE(console.toPlainText(), QStringLiteral(">ma 100000.0 \u00b5m\n"));
}

void TestConsole::mouseOnlyFocuses()
{
    Pane pane;
    QVERIFY(pane.show());
    pane.console->putData("hello\rworld");
    pane.other->setFocus();
    QTRY_VERIFY(pane.other->hasFocus());

    const int end = pane.console->textCursor().position();
    QTextCursor inside(pane.console->document());
    inside.setPosition(2);
    const QPoint onHello = pane.console->cursorRect(inside).center();
    QWidget *viewport = pane.console->viewport();

    QTest::mouseClick(viewport, Qt::LeftButton, Qt::NoModifier, onHello);
    QTRY_VERIFY(pane.console->hasFocus());
    QCOMPARE(pane.console->textCursor().position(), end);
    QVERIFY(!pane.console->textCursor().hasSelection());

    QTest::mouseDClick(viewport, Qt::LeftButton, Qt::NoModifier, onHello);
    QCOMPARE(pane.console->textCursor().position(), end);
    QVERIFY(!pane.console->textCursor().hasSelection());

    // A drag would select with the editor's own handling.
    QTest::mousePress(viewport, Qt::LeftButton, Qt::NoModifier, onHello);
    QTest::mouseMove(viewport, onHello + QPoint(30, 0));
    QTest::mouseRelease(viewport, Qt::LeftButton, Qt::NoModifier, onHello + QPoint(30, 0));
    QVERIFY(!pane.console->textCursor().hasSelection());

    QContextMenuEvent menuRequest(QContextMenuEvent::Mouse, onHello,
                                  viewport->mapToGlobal(onHello));
    QApplication::sendEvent(viewport, &menuRequest);
    QCoreApplication::processEvents();
    QCOMPARE(QApplication::activePopupWidget(), nullptr);
    for (QWidget *widget : QApplication::topLevelWidgets())
        QVERIFY(!qobject_cast<QMenu *>(widget) || !widget->isVisible());

    QCOMPARE(pane.console->toPlainText(), QStringLiteral("hello\nworld"));
    QCOMPARE(pane.spy->count(), 0);
}

void TestConsole::editingKeysNeverReachEditor_data()
{
    QTest::addColumn<int>("key");
    QTest::newRow("Delete") << int(Qt::Key_Delete);
    QTest::newRow("Left") << int(Qt::Key_Left);
    QTest::newRow("Right") << int(Qt::Key_Right);
}

void TestConsole::editingKeysNeverReachEditor()
{
    QFETCH(int, key);

    Pane pane;
    QVERIFY(pane.show());
    pane.console->setLocalEchoEnabled(true);
    pane.console->putData("hello");
    QTextCursor cursor = pane.console->textCursor();
    cursor.setPosition(2);
    pane.console->setTextCursor(cursor);

    QTest::keyClick(pane.console, Qt::Key(key));
    QTest::keyClick(pane.console, Qt::Key(key), Qt::ControlModifier);
    QCOMPARE(pane.console->textCursor().position(), 2);
    QCOMPARE(pane.console->toPlainText(), QStringLiteral("hello"));
    QCOMPARE(pane.spy->count(), 0);
}

void TestConsole::arrowsStayInConsole_data()
{
    QTest::addColumn<bool>("echo");
    QTest::newRow("echo on") << true;
    QTest::newRow("echo off") << false;
}

void TestConsole::arrowsStayInConsole()
{
    QFETCH(bool, echo);

    // The main window moves the stage on arrow keys; typing in the console must not.
    Pane pane;
    QVERIFY(pane.show());
    pane.console->setLocalEchoEnabled(echo);
    for (Qt::Key key : {Qt::Key_Left, Qt::Key_Right, Qt::Key_Up, Qt::Key_Down, Qt::Key_Delete})
        QTest::keyClick(pane.console, key);
    QCOMPARE(pane.host.keys, QList<int>());
}

void TestConsole::historyUpAndDown()
{
    Pane pane;
    QVERIFY(pane.show());
    pane.console->setLocalEchoEnabled(true);
    sendLine(pane.console, ">one");
    sendLine(pane.console, ">two");
    sendLine(pane.console, ">three");
    QCOMPARE(pane.spy->count(), 3);

    QTest::keyClicks(pane.console, "typed");
    QTest::keyClick(pane.console, Qt::Key_Up);
    QCOMPARE(pane.lastLine(), QStringLiteral(">three"));
    QVERIFY(pane.cursorAtEnd());
    QTest::keyClick(pane.console, Qt::Key_Up);
    QCOMPARE(pane.lastLine(), QStringLiteral(">two"));
    QTest::keyClick(pane.console, Qt::Key_Down);
    QCOMPARE(pane.lastLine(), QStringLiteral(">three"));
    QTest::keyClick(pane.console, Qt::Key_Down);
    QCOMPARE(pane.lastLine(), QString());
    QTest::keyClick(pane.console, Qt::Key_Down);
    QCOMPARE(pane.lastLine(), QString());
    QVERIFY(pane.cursorAtEnd());

    // Earlier lines of the pane are left alone.
    QCOMPARE(pane.console->toPlainText(), QStringLiteral(">one\n>two\n>three\n"));
    QCOMPARE(pane.spy->count(), 3);

    QTest::keyClick(pane.console, Qt::Key_Up);
    QTest::keyClick(pane.console, Qt::Key_Up);
    QTest::keyClick(pane.console, Qt::Key_Up);
    QCOMPARE(pane.lastLine(), QStringLiteral(">one"));
    QTest::keyClick(pane.console, Qt::Key_Up); // stays at the oldest
    QCOMPARE(pane.lastLine(), QStringLiteral(">one"));
    QTest::keyClick(pane.console, Qt::Key_Return);
    QCOMPARE(pane.spy->count(), 4);
    QCOMPARE(pane.sent(3), QByteArray(">one\r"));
    QVERIFY(pane.cursorOnEmptyLastLine());

    // The recalled line can be edited before it leaves, and the newest is now ">one".
    QTest::keyClick(pane.console, Qt::Key_Up);
    QCOMPARE(pane.lastLine(), QStringLiteral(">one"));
    QTest::keyClick(pane.console, Qt::Key_Up);
    QCOMPARE(pane.lastLine(), QStringLiteral(">three"));
    QTest::keyClick(pane.console, Qt::Key_Backspace);
    QTest::keyClicks(pane.console, "E");
    QTest::keyClick(pane.console, Qt::Key_Return);
    QCOMPARE(pane.sent(4), QByteArray(">threE\r"));
}

void TestConsole::historyKeepsFiftyLines()
{
    Pane pane;
    QVERIFY(pane.show());
    pane.console->setLocalEchoEnabled(true);
    for (int i = 1; i <= 60; ++i)
        sendLine(pane.console, QStringLiteral("line %1").arg(i));
    QCOMPARE(pane.spy->count(), 60);

    for (int i = 0; i < 60; ++i)
        QTest::keyClick(pane.console, Qt::Key_Up);
    QCOMPARE(pane.lastLine(), QStringLiteral("line 11"));
    QTest::keyClick(pane.console, Qt::Key_Down);
    QCOMPARE(pane.lastLine(), QStringLiteral("line 12"));
    QCOMPARE(pane.spy->count(), 60);
}

void TestConsole::upWithoutHistoryDoesNothing()
{
    Pane pane;
    QVERIFY(pane.show());
    pane.console->setLocalEchoEnabled(true);
    QTest::keyClicks(pane.console, "abc");
    const int position = pane.console->textCursor().position();

    QTest::keyClick(pane.console, Qt::Key_Up);
    QCOMPARE(pane.console->toPlainText(), QStringLiteral("abc"));
    QCOMPARE(pane.console->textCursor().position(), position);
    QCOMPARE(pane.spy->count(), 0);
}

void TestConsole::emptyLinesAreNotRecalled()
{
    Pane pane;
    QVERIFY(pane.show());
    pane.console->setLocalEchoEnabled(true);
    sendLine(pane.console, ">stop");
    QTest::keyClick(pane.console, Qt::Key_Return);
    QCOMPARE(pane.spy->count(), 2);

    QTest::keyClick(pane.console, Qt::Key_Up);
    QCOMPARE(pane.lastLine(), QStringLiteral(">stop"));
}

void TestConsole::downKeepsALineBeingTyped()
{
    Pane pane;
    QVERIFY(pane.show());
    pane.console->setLocalEchoEnabled(true);
    sendLine(pane.console, ">stop");
    QTest::keyClicks(pane.console, ">ho");

    QTest::keyClick(pane.console, Qt::Key_Down);
    QCOMPARE(pane.lastLine(), QStringLiteral(">ho"));
    QCOMPARE(pane.spy->count(), 1);
}

void TestConsole::pastedLinesAreEachSent_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("pasted");
    QTest::addColumn<QList<QByteArray>>("sent");
    QTest::addColumn<QString>("left");

    // The text after the last line break waits on the line for Return.
    const QList<QByteArray> two{">stop\r", ">home\r"};
    QTest::newRow("line feeds") << QString() << ">stop\n>home\n>status" << two << ">status";
    QTest::newRow("carriage returns and line feeds")
        << QString() << ">stop\r\n>home\r\n>status" << two << ">status";
    QTest::newRow("carriage returns") << QString() << ">stop\r>home\r>status" << two << ">status";
    QTest::newRow("completes the typed line") << ">st"
                                              << "op\n>home\n>status" << two << ">status";
    QTest::newRow("ends with a line break") << QString() << ">stop\n>home\n"
                                            << QList<QByteArray>{">stop\r", ">home\r"} << QString();
    QTest::newRow("one line, no break") << ">st"
                                        << "op" << QList<QByteArray>{} << ">stop";
}

void TestConsole::pastedLinesAreEachSent()
{
    QFETCH(QString, typed);
    QFETCH(QString, pasted);
    QFETCH(QList<QByteArray>, sent);
    QFETCH(QString, left);

    Pane pane;
    QVERIFY(pane.show());
    pane.console->setLocalEchoEnabled(true);
    QTest::keyClicks(pane.console, typed);
    QGuiApplication::clipboard()->setText(pasted);
    QTest::keyClick(pane.console, Qt::Key_V, Qt::ControlModifier);

    // Pasted lines go out in slices of time; a slow machine needs more than one.
    QTRY_COMPARE(pane.spy->count(), sent.size());
    for (int i = 0; i < sent.size(); ++i)
        QCOMPARE(pane.sent(i), sent.at(i));
    QCOMPARE(pane.lastLine(), left);
    QVERIFY(pane.cursorAtEnd());

    // Return sends what the paste left on the line.
    QTest::keyClick(pane.console, Qt::Key_Return);
    QCOMPARE(pane.spy->count(), sent.size() + 1);
    QCOMPARE(pane.sent(sent.size()), left.toLatin1() + '\r');

    // Each sent line shows on the console as typed, and comes back with Up.
    QStringList all;
    for (const QByteArray &line : sent)
        all << QString::fromLatin1(line.chopped(1));
    all << left;
    QCOMPARE(pane.console->toPlainText(), all.join(QLatin1Char('\n')) + QLatin1Char('\n'));
    all.removeAll(QString());
    for (int i = int(all.size()) - 1; i >= 0; --i) {
        QTest::keyClick(pane.console, Qt::Key_Up);
        QCOMPARE(pane.lastLine(), all.at(i));
    }
}

void TestConsole::receivedTextStaysAboveTypedLine()
{
    Pane pane;
    QVERIFY(pane.show());
    pane.console->setLocalEchoEnabled(true);
    pane.console->putData(">status\r");

    QTest::keyClicks(pane.console, ">dura");
    pane.console->putData("ok\r");
    QCOMPARE(pane.console->toPlainText(), QStringLiteral(">status\nok\n>dura"));
    QTest::keyClicks(pane.console, "tion 50");
    QTest::keyClick(pane.console, Qt::Key_Return);
    QCOMPARE(pane.spy->count(), 1);
    QCOMPARE(pane.sent(0), QByteArray(">duration 50\r"));
    QCOMPARE(pane.console->toPlainText(), QStringLiteral(">status\nok\n>dura"
                                                         "tion 50\n"));
    QVERIFY(pane.cursorOnEmptyLastLine());

    // A received line in pieces is joined above the typed line, which keeps its own line.
    QTest::keyClicks(pane.console, ">cy");
    pane.console->putData("_cp 1");
    QCOMPARE(pane.lastLine(), QStringLiteral(">cy"));
    pane.console->putData("2.5 um");
    pane.console->putData("\r_tg\r");
    QTest::keyClicks(pane.console, "cle 3");
    QTest::keyClick(pane.console, Qt::Key_Return);
    QCOMPARE(pane.sent(1), QByteArray(">cycle 3\r"));
    QVERIFY(pane.console->toPlainText().endsWith(QStringLiteral("\n_cp 12.5 um\n_tg\n>cycle 3\n")));

    // Backspace still edits the typed line after traffic went above it.
    QTest::keyClicks(pane.console, ">cpx");
    pane.console->putData("ok");
    QTest::keyClick(pane.console, Qt::Key_Backspace);
    QTest::keyClick(pane.console, Qt::Key_Return);
    QCOMPARE(pane.sent(2), QByteArray(">cp\r"));
}

void TestConsole::submittedLineKeepsTypedLine()
{
    Pane pane;
    QVERIFY(pane.show());
    pane.console->setLocalEchoEnabled(true);

    QTest::keyClicks(pane.console, ">dura");
    QVERIFY(pane.console->submitLine(QStringLiteral(">stop")));
    QCOMPARE(pane.spy->count(), 1);
    QCOMPARE(pane.sent(0), QByteArray(">stop\r"));
    QCOMPARE(pane.console->toPlainText(), QStringLiteral(">stop\n>dura"));

    QTest::keyClicks(pane.console, "tion 5");
    QTest::keyClick(pane.console, Qt::Key_Return);
    QCOMPARE(pane.sent(1), QByteArray(">duration 5\r"));

    // With nothing typed it is a line of its own, too.
    QVERIFY(pane.console->submitLine(QStringLiteral(">home")));
    QCOMPARE(pane.sent(2), QByteArray(">home\r"));
    QCOMPARE(pane.console->toPlainText(), QStringLiteral(">stop\n>duration 5\n>home\n"));
    QVERIFY(pane.cursorOnEmptyLastLine());
}

void TestConsole::overlongLinesAreRefused()
{
    Pane pane;
    QVERIFY(pane.show());
    pane.console->setLocalEchoEnabled(true);
    const QString refused = QStringLiteral("bytes is not sent: the controller takes at most 4096");

    // A huge paste without a line break never lands on the line.
    QGuiApplication::clipboard()->setText(QString(1024 * 1024, QLatin1Char('a')));
    QTest::keyClick(pane.console, Qt::Key_V, Qt::ControlModifier);
    QVERIFY(pane.console->toPlainText().contains(QStringLiteral("A line of 1048576 ") + refused));
    QCOMPARE(pane.lastLine(), QString());
    QVERIFY(pane.console->toPlainText().size() < 200);

    // The longest line goes; one more typed character and Return refuses it, keeping it.
    QGuiApplication::clipboard()->setText(QString(4096, QLatin1Char('b')));
    QTest::keyClick(pane.console, Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(pane.lastLine().size(), 4096);
    QTest::keyClicks(pane.console, "c");
    QTest::keyClick(pane.console, Qt::Key_Return);
    QCOMPARE(pane.spy->count(), 0);
    QVERIFY(pane.console->toPlainText().contains(QStringLiteral("A line of 4097 ") + refused));
    QCOMPARE(pane.lastLine().size(), 4097);
    QTest::keyClick(pane.console, Qt::Key_Backspace);
    QTest::keyClick(pane.console, Qt::Key_Return);
    QCOMPARE(pane.spy->count(), 1);
    QCOMPARE(pane.sent(0), QByteArray(4096, 'b') + '\r');

    // Within a paste only the long line is refused; the others go in order.
    QGuiApplication::clipboard()->setText(QStringLiteral(">a\n") + QString(5000, QLatin1Char('d')) +
                                          QStringLiteral("\n>b\n"));
    QTest::keyClick(pane.console, Qt::Key_V, Qt::ControlModifier);
    QTRY_COMPARE(pane.spy->count(), 3);
    QCOMPARE(pane.sent(1), QByteArray(">a\r"));
    QCOMPARE(pane.sent(2), QByteArray(">b\r"));
    QVERIFY(pane.console->toPlainText().contains(QStringLiteral("A line of 5000 ") + refused));
    QVERIFY(!pane.console->submitLine(QString(4097, QLatin1Char('e'))));
    QCOMPARE(pane.spy->count(), 3);
}

void TestConsole::hugePasteYieldsToEventLoop()
{
    Pane pane;
    QVERIFY(pane.show());
    pane.console->setLocalEchoEnabled(true);

    // Five thousand short commands: all go out in order, and the event loop runs meanwhile.
    constexpr int lines = 5000;
    QString text;
    for (int i = 0; i < lines; ++i)
        text += QStringLiteral(">mr %1\n").arg(i % 10);
    int ticks = 0;
    int ticksWhenLastSent = -1;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    QObject::connect(pane.console, &Console::getData, [&] {
        if (pane.spy->count() == lines)
            ticksWhenLastSent = ticks;
    });
    ticker.start(0);

    QTest::keyClicks(pane.console, ">stop");
    QGuiApplication::clipboard()->setText(text);
    QTest::keyClick(pane.console, Qt::Key_V, Qt::ControlModifier);
    // Return while the paste is still going out sends its line after the pasted ones.
    QTest::keyClick(pane.console, Qt::Key_Return);
    QTRY_COMPARE_WITH_TIMEOUT(pane.spy->count(), lines + 1, 90000);
    QVERIFY(ticksWhenLastSent > 0);

    QCOMPARE(pane.sent(0), QByteArray(">stop>mr 0\r"));
    for (int i = 1; i < lines; i += 97)
        QCOMPARE(pane.sent(i), QStringLiteral(">mr %1\r").arg(i % 10).toLatin1());
    QCOMPARE(pane.sent(lines), QByteArray("\r"));
    QVERIFY(pane.console->document()->blockCount() <= 100);
}

void TestConsole::pasteInterruptedByDisable()
{
    Pane pane;
    QVERIFY(pane.show());
    pane.console->setLocalEchoEnabled(true);
    QString text;
    for (int i = 0; i < 20000; ++i)
        text += QStringLiteral(">cp\n");
    QGuiApplication::clipboard()->setText(text);
    QTest::keyClick(pane.console, Qt::Key_V, Qt::ControlModifier);
    const int sentBefore = pane.spy->count();
    QVERIFY(sentBefore < 20000);

    pane.console->setEnabled(false);
    QTest::qWait(50);
    QCOMPARE(pane.spy->count(), sentBefore);
    QVERIFY(pane.console->toPlainText().contains(
        QStringLiteral("%1 pasted lines not sent: the port closed").arg(20000 - sentBefore)));
}

namespace {
// 2026-12-07 14:03:22.123 UTC, and its stamp as this machine's clock reads it.
constexpr qint64 kNowMs = 1796652202123;
const QString kStamp = Console::stampText(kNowMs);
} // namespace

void TestConsole::timeStampsAreOffAtFirst()
{
    Console console;
    QVERIFY(!console.timeStamps());
    console.putData(">status\r_status 9\r");
    QCOMPARE(console.toPlainText(), QStringLiteral(">status\n_status 9\n"));
}

void TestConsole::timeStampsBeginEachLine()
{
    Console console;
    console.putData(">inform\r");
    console.setTimeStamps(true);
    console.setWallClock([] { return kNowMs; });
    QSignalSpy shown(&console, &Console::shown);
    // A move is echoed in two pieces; one line, one stamp. Empty lines stay empty.
    console.putData(">ma 500");
    console.putData("\r");
    console.putData("_cp 50.000 um\r\r_tg");
    console.putData(" 1\r");
    console.showNote(QStringLiteral("Target 9999 \u00b5m refused"));
    QCOMPARE(console.toPlainText(),
             QStringLiteral(">inform\n") + kStamp + QStringLiteral(">ma 500\n") + kStamp +
                 QStringLiteral("_cp 50.000 um\n\n") + kStamp + QStringLiteral("_tg 1\n") + kStamp +
                 QStringLiteral("Target 9999 \u00b5m refused\n"));
    QCOMPARE(kStamp.size(), 15);
    // Listeners get the traffic itself: the stamp is the view's.
    for (const QList<QVariant> &signal : std::as_const(shown))
        QVERIFY(!signal.at(0).toString().contains(kStamp));

    // Off again: new lines come plain; those shown keep their stamps.
    console.setTimeStamps(false);
    console.putData(">status\r");
    QVERIFY(console.toPlainText().endsWith(QStringLiteral("refused\n>status\n")));
}

void TestConsole::timeStampsNeverReachTheController()
{
    Pane pane;
    QVERIFY(pane.show());
    pane.console->setLocalEchoEnabled(true);
    pane.console->setTimeStamps(true);
    pane.console->setWallClock([] { return kNowMs; });

    // The line being typed has no stamp; once sent, it gets the time it was sent.
    QTest::keyClicks(pane.console, ">status");
    QCOMPARE(pane.lastLine(), QStringLiteral(">status"));
    QTest::keyClick(pane.console, Qt::Key_Return);
    QCOMPARE(pane.sent(0), QByteArray(">status\r"));
    QCOMPARE(pane.console->toPlainText(), kStamp + QStringLiteral(">status\n"));

    // Received text that began the last line (stamped) joins what is typed after it, as the
    // console has always sent the last line; the stamp stays out of the command.
    pane.console->putData(">cy");
    QTest::keyClicks(pane.console, "cle 2");
    QTest::keyClick(pane.console, Qt::Key_Return);
    QCOMPARE(pane.sent(1), QByteArray(">cycle 2\r"));
    // An empty line sends the bare "\r" and gets no stamp.
    QTest::keyClick(pane.console, Qt::Key_Return);
    QCOMPARE(pane.sent(2), QByteArray("\r"));
    QVERIFY(pane.console->toPlainText().endsWith(kStamp + QStringLiteral(">cycle 2\n\n")));
    // Recalled lines come back without a stamp.
    QTest::keyClick(pane.console, Qt::Key_Up);
    QCOMPARE(pane.lastLine(), QStringLiteral(">cycle 2"));
    QTest::keyClick(pane.console, Qt::Key_Down);

    // A paste completes a stamped received piece the same way.
    pane.console->putData(">dura");
    QGuiApplication::clipboard()->setText(QStringLiteral("tion 40\n"));
    QTest::keyClick(pane.console, Qt::Key_V, Qt::ControlModifier);
    QTRY_COMPARE(pane.spy->count(), 4);
    QCOMPARE(pane.sent(3), QByteArray(">duration 40\r"));

    // Switched off again, a stamp already shown still stays out.
    pane.console->putData(">bi");
    pane.console->setTimeStamps(false);
    QTest::keyClick(pane.console, Qt::Key_Return);
    QCOMPARE(pane.sent(4), QByteArray(">bi\r"));
}

void TestConsole::timeStampsWithTrafficAboveTypedLine()
{
    Pane pane;
    QVERIFY(pane.show());
    pane.console->setLocalEchoEnabled(true);
    pane.console->setTimeStamps(true);
    pane.console->setWallClock([] { return kNowMs; });
    QTest::keyClicks(pane.console, ">dura");
    pane.console->putData("_cp 1");
    pane.console->putData("2.5 um\r");
    QCOMPARE(pane.console->toPlainText(), kStamp + QStringLiteral("_cp 12.5 um\n>dura"));
    QTest::keyClicks(pane.console, "tion 50");
    QTest::keyClick(pane.console, Qt::Key_Return);
    QCOMPARE(pane.sent(0), QByteArray(">duration 50\r"));
    QCOMPARE(pane.console->toPlainText(),
             kStamp + QStringLiteral("_cp 12.5 um\n") + kStamp + QStringLiteral(">duration 50\n"));
}

void TestConsole::stampRecognised_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<int>("length");
    QTest::newRow("stamp") << QStringLiteral("[14:03:22.123] >ma 5") << 15;
    QTest::newRow("stamp alone") << QStringLiteral("[00:00:00.000] ") << 15;
    QTest::newRow("plain command") << QStringLiteral(">ma 5") << 0;
    QTest::newRow("empty") << QString() << 0;
    QTest::newRow("too short") << QStringLiteral("[14:03:22.123]") << 0;
    QTest::newRow("letters") << QStringLiteral("[ab:03:22.123] >ma 5") << 0;
    QTest::newRow("other digits") << QStringLiteral("[\u0661\u0664:03:22.123] x") << 0;
    QTest::newRow("no blank") << QStringLiteral("[14:03:22.123]>ma 5") << 0;
}

void TestConsole::stampRecognised()
{
    QFETCH(QString, line);
    QFETCH(int, length);
    QCOMPARE(Console::stampLength(line), length);
}

void TestConsole::stampedFloodStaysCapped()
{
    Console console;
    console.setTimeStamps(true);
    console.setWallClock([] { return kNowMs; });
    // Far more lines than the pane keeps, and stray line ends of every kind, in one piece.
    QByteArray flood;
    for (int i = 0; i < 20000; ++i)
        flood += "_cp " + QByteArray::number(i) + (i % 3 == 0 ? "\r\n" : i % 3 == 1 ? "\r" : "\n");
    console.putData(flood);
    QCOMPARE(console.document()->blockCount(), 100);
    const QStringList lines = console.toPlainText().split(QLatin1Char('\n'));
    for (const QString &line : lines)
        QVERIFY2(line.isEmpty() || line.startsWith(kStamp + QStringLiteral("_cp ")),
                 qPrintable(line));
    QVERIFY(lines.at(lines.size() - 2).endsWith(QStringLiteral("_cp 19999")));
}

QTEST_MAIN(TestConsole)
#include "tst_console.moc"
