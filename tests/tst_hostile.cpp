// The panel under attack from both ends: hostile numbers and markup from the controller, error
// replies that look like an identification, a firmware it cannot read, a line that stops taking
// bytes, a controller that vanishes with a write pending, and pasted or interrupted console
// commands. Each case drives the real window over a pseudo-terminal and checks what the
// controller receives and what the operator sees.

#include "console.h"
#include "fakecontroller.h"
#include "mainwindow.h"
#include "messageboxwatcher.h"
#include "probe.h"

#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QStatusBar>
#include <QTextBlock>
#include <QtTest>

#include <limits>

namespace {

const QString kMicrometre = QStringLiteral(" \u00b5m");

// One window wired to one fake controller that has identified as a 1901 with firmware 3.12.
struct Rig {
    FakeController controller;
    Panel panel;
    MainWindow &window = panel.window();
    MainWindowProbe probe{window};
    Ui::MainWindow *ui = probe.ui();

    Rig() { panel.preselectPort(controller.portPath()); }

    bool connectIdentified(const QByteArray &identification = "_Ver 312 DVX1901\r")
    {
        ui->actionConnect->trigger();
        if (!probe.serialPort()->isOpen())
            return false;
        controller.send(identification);
        return QTest::qWaitFor([this] { return !probe.controllerModel().isEmpty(); });
    }

    // Waits for the first poll tick to enable Home, then homes the stage.
    bool home()
    {
        if (!QTest::qWaitFor([this] { return ui->pushButton_home->isEnabled(); }))
            return false;
        ui->pushButton_home->click();
        return ui->doubleSpinBox_Position->isEnabled();
    }

    // Types a target into the spin box and confirms it, as the operator does.
    void typeTarget(const QString &text)
    {
        QDoubleSpinBox *spin = ui->doubleSpinBox_Position;
        spin->selectAll();
        QTest::keyClicks(spin, text);
        QTest::keyClick(spin, Qt::Key_Return);
    }

    // Shows the window with its console open and focused, ready for keys and pastes.
    bool showConsole()
    {
        window.show();
        if (!QTest::qWaitForWindowExposed(&window))
            return false;
        ui->pushButton_Console->click();
        window.activateWindow();
        probe.console()->setFocus();
        return probe.console()->isVisible();
    }

    QString consoleText() const { return probe.console()->toPlainText(); }
};

} // namespace

class TestHostile : public QObject {
    Q_OBJECT

private slots:
    void multiLinePasteSendsEveryLine();
    void replyWhileTypingKeepsTheCommand();
    void scriptLineLeavesTypedLineAlone();
    void overlongConsoleLineIsRefused();
    void disconnectWithFullLineDropsQuietly();
    void hostileOffsetIsIgnored_data();
    void hostileOffsetIsIgnored();
    void emptyOffsetStillReadsAsZero();
    void sliderMoveNearIntLimitsDoesNotWrap();
    void controllerTextIsNeverMarkup();
    void nonFinitePositionLeavesSlider_data();
    void nonFinitePositionLeavesSlider();
    void unsupportedFirmwareIsAnnouncedOnce();
    void errorReplyDoesNotChangeFirmware();
    void hangUpWithPendingWriteGivesOneBox();
    void noPollAfterDisconnectOrInOpenLoop();
};

void TestHostile::multiLinePasteSendsEveryLine()
{
    Rig r;
    QVERIFY(r.connectIdentified());
    QVERIFY(r.showConsole());
    Console *console = r.probe.console();
    QVERIFY(r.controller.waitForReceived(">cp\r"));
    r.controller.clearReceived();

    QGuiApplication::clipboard()->setText(QStringLiteral(">stop\n>home\n>status"));
    QTest::keyClick(console, Qt::Key_V, Qt::ControlModifier);
    QTest::keyClick(console, Qt::Key_Return);

    QVERIFY(r.controller.waitForReceived(">status\r"));
    QByteArray received = r.controller.received();
    received.replace(">cp\r", "");
    QCOMPARE(received, QByteArray(">stop\r>home\r>status\r"));
    QVERIFY(r.consoleText().endsWith(QStringLiteral(">stop\n>home\n>status\n")));

    // Each pasted line is in the history, newest first.
    QTest::keyClick(console, Qt::Key_Up);
    QCOMPARE(console->document()->lastBlock().text(), QStringLiteral(">status"));
    QTest::keyClick(console, Qt::Key_Up);
    QCOMPARE(console->document()->lastBlock().text(), QStringLiteral(">home"));
}

void TestHostile::replyWhileTypingKeepsTheCommand()
{
    Rig r;
    QVERIFY(r.connectIdentified());
    QVERIFY(r.showConsole());
    Console *console = r.probe.console();
    QVERIFY(r.controller.waitForReceived(">cp\r"));

    QTest::keyClicks(console, ">dura");
    r.controller.send("ok\r");
    QTRY_VERIFY(r.consoleText().contains(QLatin1String("ok\n")));
    QTest::keyClicks(console, "tion 50");
    r.controller.clearReceived();
    QTest::keyClick(console, Qt::Key_Return);

    QVERIFY(r.controller.waitForReceived("\r"));
    QByteArray received = r.controller.received();
    received.replace(">cp\r", "");
    QCOMPARE(received, QByteArray(">duration 50\r"));
    QVERIFY(r.consoleText().endsWith(QStringLiteral("ok\n>duration 50\n")));
}

void TestHostile::scriptLineLeavesTypedLineAlone()
{
    Rig r;
    QVERIFY(r.connectIdentified());
    QVERIFY(r.showConsole());
    Console *console = r.probe.console();

    QTest::keyClicks(console, ">dura");
    r.controller.clearReceived();
    QVERIFY(r.window.session()->sendLine(QStringLiteral(">stop"), Mover::client(nullptr)).ok());
    QVERIFY(r.controller.waitForReceived(">stop\r"));
    QCOMPARE(console->document()->lastBlock().text(), QStringLiteral(">dura"));

    QTest::keyClicks(console, "tion 5");
    r.controller.clearReceived();
    QTest::keyClick(console, Qt::Key_Return);
    QVERIFY(r.controller.waitForReceived(">duration 5\r"));
    QVERIFY(r.consoleText().endsWith(QStringLiteral(">stop\n>duration 5\n")));
}

void TestHostile::overlongConsoleLineIsRefused()
{
    Rig r;
    QVERIFY(r.connectIdentified());
    QVERIFY(r.showConsole());
    Console *console = r.probe.console();
    QVERIFY(r.controller.waitForReceived(">cp\r"));

    // A quarter of a megabyte on one line, confirmed: refused with a word, nothing written.
    r.controller.clearReceived();
    QGuiApplication::clipboard()->setText(QString(256 * 1024, QLatin1Char('a')) +
                                          QLatin1Char('\n'));
    QTest::keyClick(console, Qt::Key_V, Qt::ControlModifier);
    QVERIFY(r.consoleText().contains(
        QStringLiteral("A line of 262144 bytes is not sent: the controller takes at most 4096")));
    QVERIFY(r.consoleText().size() < 4096);
    const CommandResult tooLong =
        r.window.session()->sendLine(QString(5000, QLatin1Char('b')), Mover::client(nullptr));
    QVERIFY2(!tooLong.ok(), qPrintable(tooLong.message));

    // The longest line the controller takes still goes out whole.
    const QString longest(4096, QLatin1Char('c'));
    QVERIFY(r.window.session()->sendLine(longest, Mover::client(nullptr)).ok());
    QVERIFY(r.controller.waitForReceived(longest.toLatin1() + '\r'));
    QVERIFY(!r.controller.received().contains("aaaa"));
    QVERIFY(!r.controller.received().contains("bbbb"));
}

void TestHostile::disconnectWithFullLineDropsQuietly()
{
    Rig r;
    QVERIFY(r.connectIdentified());
    QVERIFY(r.controller.waitForReceived(">cp\r"));

    // The controller stops reading; far more is queued than the line holds.
    r.controller.setReading(false);
    const QString line = QStringLiteral(">x ") + QString(3990, QLatin1Char('9'));
    for (int i = 0; i < 100; ++i)
        QVERIFY(r.window.session()->sendLine(line, Mover::client(nullptr)).ok());
    // Until the line is full: the port's own writes stop making progress.
    qint64 queued = -1;
    while (queued != r.probe.serialPort()->bytesToWrite()) {
        queued = r.probe.serialPort()->bytesToWrite();
        QTest::qWait(50);
    }
    QVERIFY(queued > 0);

    MessageBoxWatcher watcher;
    r.ui->actionDisconnect->trigger();
    QCoreApplication::processEvents();
    QCOMPARE(watcher.count(), 0);
    QVERIFY(!r.probe.serialPort()->isOpen());
    QCOMPARE(r.probe.statusLabel()->text(), QStringLiteral("Disconnected"));

    static const QRegularExpression dropped(
        QStringLiteral("Disconnected with (\\d+) bytes still unsent: they were dropped"));
    const QRegularExpressionMatch match = dropped.match(r.consoleText());
    QVERIFY2(match.hasMatch(), qPrintable(r.consoleText().right(200)));
    const qint64 count = match.captured(1).toLongLong();
    QVERIFY(count > 0);
    QVERIFY(count <= 100 * (line.size() + 1));
    qInfo("dropped on disconnect: %lld bytes", count);
}

void TestHostile::hostileOffsetIsIgnored_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::newRow("nan") << QByteArray("nan");
    QTest::newRow("inf") << QByteArray("inf");
    QTest::newRow("-inf") << QByteArray("-inf");
    QTest::newRow("1e400") << QByteArray("1e400");
    QTest::newRow("1e12") << QByteArray("1e12");
    QTest::newRow("-1e12") << QByteArray("-1e12");
    QTest::newRow("twenty nines") << QByteArray("99999999999999999999");
}

void TestHostile::hostileOffsetIsIgnored()
{
    QFETCH(QByteArray, value);

    Rig r;
    QVERIFY(r.connectIdentified());
    r.controller.send("_offset 2500\r");
    QTRY_COMPARE(r.ui->label_Slidermax->text(), QStringLiteral("6250") + kMicrometre);
    QVERIFY(r.home());

    r.controller.send("_offset " + value + '\r');
    const QString ignored = QStringLiteral("Offset %1 ignored").arg(QString::fromLatin1(value));
    QTRY_VERIFY(r.consoleText().contains(ignored));
    QCOMPARE(r.consoleText().count(ignored), 1);
    QCOMPARE(r.ui->label_Slidermin->text(), QStringLiteral("-250") + kMicrometre);
    QCOMPARE(r.ui->label_Slidermax->text(), QStringLiteral("6250") + kMicrometre);
    QCOMPARE(r.ui->horizontalSlider->minimum(), -250);
    QCOMPARE(r.ui->horizontalSlider->maximum(), 6250);

    // Moves still go out.
    r.controller.clearReceived();
    r.typeTarget(QStringLiteral("1000"));
    QVERIFY(r.controller.waitForReceived(">ma 10000"));
}

void TestHostile::emptyOffsetStillReadsAsZero()
{
    Rig r;
    QVERIFY(r.connectIdentified());
    r.controller.send("_offset \r");
    QTRY_COMPARE(r.ui->label_Slidermax->text(), QStringLiteral("6500") + kMicrometre);
    QCOMPARE(r.ui->label_Slidermin->text(), QStringLiteral("0") + kMicrometre);
    QVERIFY(!r.consoleText().contains(QLatin1String("ignored")));
}

void TestHostile::sliderMoveNearIntLimitsDoesNotWrap()
{
    Rig r;
    QVERIFY(r.connectIdentified());
    // Two thousand kilometres of offset still fit the slider's int micrometres, but not their
    // tenths: the move must clamp, never wrap.
    r.controller.send("_offset -20000000000\r");
    QTRY_COMPARE(r.ui->horizontalSlider->maximum(), 2000006500);
    QVERIFY(r.home());
    QSlider *slider = r.ui->horizontalSlider;

    r.controller.clearReceived();
    slider->setSliderDown(true);
    slider->setValue(slider->maximum());
    slider->setSliderDown(false);
    QVERIFY(r.controller.waitForReceived(">ma 2147483647"));
    QVERIFY(!r.controller.received().contains(">ma -"));
    QCOMPARE(Protocol::moveToSliderPosition(std::numeric_limits<int>::min()),
             QByteArray(">ma -2147483648"));
    QCOMPARE(Protocol::moveToSliderPosition(-250), QByteArray(">ma -2500"));
}

void TestHostile::controllerTextIsNeverMarkup()
{
    Rig r;
    QVERIFY(r.connectIdentified());
    r.controller.send("_cp <b>9</b>1.000 um\r");
    const QString shown = QStringLiteral("<b>9</b>1.000") + kMicrometre;
    QTRY_COMPARE(r.ui->label_Position->text(), shown);

    // Drawn as the characters it holds: as wide as the tags themselves, not "91.000 µm" in bold.
    for (QLabel *label : {r.ui->label_Position, r.ui->label_Slidermin, r.ui->label_Slidermax}) {
        label->setText(shown);
        QVERIFY2(label->sizeHint().width() >= label->fontMetrics().horizontalAdvance(shown),
                 qPrintable(label->objectName()));
    }
    // The status text wraps, so its size hint says nothing of its width; its lines do: the tags'
    // characters need a second line where the bold digits alone would not.
    QLabel *status = r.probe.statusLabel();
    status->setText(shown);
    QCOMPARE(status->textFormat(), Qt::PlainText);
    const int frame =
        status->contentsMargins().left() + status->contentsMargins().right() + 2 * status->margin();
    const int asTyped = status->fontMetrics().horizontalAdvance(shown);
    const int asMarkup =
        status->fontMetrics().horizontalAdvance(QStringLiteral("91.000") + kMicrometre);
    QVERIFY(asMarkup * 3 / 2 < asTyped);
    QVERIFY(status->heightForWidth(asTyped + frame + 2) <
            status->heightForWidth(asMarkup * 3 / 2 + frame));
}

void TestHostile::nonFinitePositionLeavesSlider_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::newRow("nan") << QByteArray("nan");
    QTest::newRow("inf") << QByteArray("inf");
    QTest::newRow("-inf") << QByteArray("-inf");
    QTest::newRow("1e400") << QByteArray("1e400");
}

void TestHostile::nonFinitePositionLeavesSlider()
{
    QFETCH(QByteArray, value);

    Rig r;
    QVERIFY(r.connectIdentified());
    r.controller.send("_cp 1000.000 um\r");
    QTRY_COMPARE(r.ui->horizontalSlider->value(), 1000);

    r.controller.send("_cp " + value + " um\r");
    QTRY_COMPARE(r.ui->label_Position->text(), QString::fromLatin1(value) + kMicrometre);
    QCOMPARE(r.ui->horizontalSlider->value(), 1000);
}

void TestHostile::unsupportedFirmwareIsAnnouncedOnce()
{
    Rig r;
    QVERIFY(r.connectIdentified("_Ver 200 DVX1901\r"));
    const QString notice =
        QStringLiteral("Firmware 2.00 of the DVX1901 is not supported: its replies are not shown");
    QTRY_VERIFY(r.consoleText().contains(notice));
    QCOMPARE(r.probe.notice(), notice);

    // Its replies stay dropped, and a repeated identification does not repeat the notice.
    r.controller.send("_cp 12.5 um\r_Ver 200 DVX1901\rok\r");
    QVERIFY(r.controller.waitForReceived(">cp\r"));
    QTest::qWait(100);
    QCOMPARE(r.consoleText().count(notice), 1);
    QVERIFY(!r.consoleText().contains(QLatin1String("ok\n")));
    QVERIFY(r.ui->label_Position->text() != QStringLiteral("12.5") + kMicrometre);

    // A firmware the panel speaks clears the notice from the status bar.
    r.controller.send("_Ver 312 DVX1901\r");
    QTRY_COMPARE(r.probe.firmwareVersion(), QStringLiteral("3.12"));
    QCOMPARE(r.probe.notice(), QString());
}

void TestHostile::errorReplyDoesNotChangeFirmware()
{
    Rig r;
    QVERIFY(r.connectIdentified());
    r.controller.send("_err Version unknown\r");
    QTRY_VERIFY(r.consoleText().contains(QLatin1String("_err Version unknown\n")));
    r.controller.send("_cp 12.5 um\r");
    QTRY_COMPARE(r.ui->label_Position->text(), QStringLiteral("12.5") + kMicrometre);
    QCOMPARE(r.probe.firmwareVersion(), QStringLiteral("3.12"));

    // The same holds for the 1804's identification form.
    QCOMPARE(Protocol::identify("VELDMARK Ver x.yz DVX1804\r").has_value(), false);
    QCOMPARE(Protocol::identify("VELDMARK Ver 207 DVX1804\r")->firmware, QStringLiteral("2.07"));
}

void TestHostile::hangUpWithPendingWriteGivesOneBox()
{
    Rig r;
    QVERIFY(r.connectIdentified());
    QVERIFY(r.controller.waitForReceived(">cp\r"));

    MessageBoxWatcher watcher;
    r.controller.hangUp();
    // A poll still waiting to be written when the error comes.
    QVERIFY(r.probe.invoke("getPosition"));
    QVERIFY(r.probe.serialPort()->bytesToWrite() > 0 || !r.probe.serialPort()->isOpen());

    QTRY_COMPARE(watcher.count(), 1);
    QCOMPARE(watcher.titles.first(), QStringLiteral("Critical Error"));
    QTest::qWait(200);
    QCOMPARE(watcher.count(), 1);
    QVERIFY(!r.probe.serialPort()->isOpen());
    QCOMPARE(r.probe.statusLabel()->text(), QStringLiteral("Disconnected"));
}

void TestHostile::noPollAfterDisconnectOrInOpenLoop()
{
    Rig r;
    QVERIFY(r.connectIdentified());
    QVERIFY(r.controller.waitForReceived(">cp\r"));

    // On the open-loop page the controller hears no position request.
    r.ui->tabWidget_LoopMode->setCurrentIndex(1);
    r.controller.clearReceived();
    QTest::qWait(3 * r.probe.pollIntervalMs());
    QVERIFY(!r.controller.received().contains(">cp"));

    // Back on the closed-loop page the poll resumes.
    r.ui->tabWidget_LoopMode->setCurrentIndex(0);
    QVERIFY(r.controller.waitForReceived(">cp\r"));

    // After a disconnect nothing more arrives, and no tick finds the device missing.
    MessageBoxWatcher watcher;
    r.ui->actionDisconnect->trigger();
    r.controller.clearReceived();
    QTest::qWait(3 * r.probe.pollIntervalMs());
    QCOMPARE(r.controller.received(), QByteArray());
    QCOMPARE(watcher.count(), 0);
}

QTEST_MAIN(TestHostile)
#include "tst_hostile.moc"
