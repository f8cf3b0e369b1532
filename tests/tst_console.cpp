// The console pane on its own: what a typed line sends, which keys the editor never sees, the
// echo of traffic, the line cap, the mouse, and the recall of earlier lines with Up and Down.

#include "console.h"

#include <QApplication>
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

    // An echo arriving in the middle of typing lands at the cursor and is sent along.
    QTest::keyClicks(pane.console, "x");
    pane.console->putData("y");
    QTest::keyClicks(pane.console, "z");
    QTest::keyClick(pane.console, Qt::Key_Return);
    QCOMPARE(pane.spy->count(), 2);
    QCOMPARE(pane.sent(1), QByteArray("xyz\r"));
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

QTEST_MAIN(TestConsole)
#include "tst_console.moc"
