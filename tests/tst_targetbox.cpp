// The target box against a controller on a pseudo-terminal: the focus leaving it sends only a
// value the operator changed, never one the box merely showed, and never when the window itself
// loses the focus; Enter always sends; and after every move, whoever commanded it, the box shows
// where the stage is being sent.

#include "console.h"
#include "activewindow.h"
#include "fakecontroller.h"
#include "messageboxwatcher.h"
#include "probe.h"
#include "sequencerunner.h"

#include <QDoubleSpinBox>
#include <QLineEdit>
#include <QSlider>
#include <QtTest>

#include <memory>

namespace {

const QByteArray kPoll = ">cp\r";
const QByteArray kMarker = ">marker\r";

enum class Leave { Tab, Backtab, ClickOnStep, OtherWindow };
enum class Commander { Plus, Minus, RightArrow, Slider, Console, Script, Sequence, Home };

} // namespace

Q_DECLARE_METATYPE(Leave)
Q_DECLARE_METATYPE(Commander)

namespace {

struct Rig {
    MessageBoxWatcher boxes;
    FakeController controller;
    Panel panel;
    MainWindow &window = panel.window();
    MainWindowProbe probe{window};
    QWidget elsewhere;

    Ui::MainWindow *ui() const { return probe.ui(); }
    QDoubleSpinBox *box() const { return ui()->doubleSpinBox_Position; }

    // Connected, identified and homed, the window shown and active; nothing recorded yet.
    bool ready()
    {
        if (!connectActiveWindow(probe, controller))
            return false;
        QTest::mouseClick(ui()->pushButton_home, Qt::LeftButton);
        sent();
        return probe.homed();
    }

    // Everything written since the last call, polls left out.
    QByteArray sent()
    {
        probe.serialPort()->write(kMarker);
        if (!controller.waitForReceived(kMarker))
            return "<marker never arrived>";
        QByteArray all = controller.takeReceived().replace(kPoll, QByteArray());
        return all.left(all.indexOf(kMarker));
    }

    void typeIntoBox(const QString &text)
    {
        box()->setFocus(Qt::MouseFocusReason);
        box()->selectAll();
        QTest::keyClicks(box(), text);
    }

    void leave(Leave how)
    {
        switch (how) {
        case Leave::Tab:
            QTest::keyClick(box(), Qt::Key_Tab);
            break;
        case Leave::Backtab:
            QTest::keyClick(box(), Qt::Key_Backtab, Qt::ShiftModifier);
            break;
        case Leave::ClickOnStep:
            QTest::mouseClick(ui()->doubleSpinBox_mrstp, Qt::LeftButton);
            break;
        case Leave::OtherWindow:
            elsewhere.show();
            elsewhere.activateWindow();
            QVERIFY(QTest::qWaitForWindowActive(&elsewhere));
            break;
        }
    }
};

} // namespace

class TestTargetBox : public QObject {
    Q_OBJECT

private slots:
    void focusLeavingAnUntouchedBoxSendsNothing_data();
    void focusLeavingAnUntouchedBoxSendsNothing();
    void focusLeavingAnEditedBoxSendsIt_data();
    void focusLeavingAnEditedBoxSendsIt();
    void anotherWindowDoesNotEndTheEdit();
    void enterAlwaysSends();
    void boxShowsEveryCommandedTarget_data();
    void boxShowsEveryCommandedTarget();
    void typingIsNotOverwritten();
    void refusedMoveIsNoTarget();
};

void TestTargetBox::focusLeavingAnUntouchedBoxSendsNothing_data()
{
    QTest::addColumn<Leave>("leave");
    QTest::newRow("Tab") << Leave::Tab;
    QTest::newRow("Shift+Tab") << Leave::Backtab;
    QTest::newRow("click elsewhere") << Leave::ClickOnStep;
    QTest::newRow("another window") << Leave::OtherWindow;
}

void TestTargetBox::focusLeavingAnUntouchedBoxSendsNothing()
{
    QFETCH(Leave, leave);
    Rig r;
    QVERIFY(r.ready());
    // "+" steps the stage to 200 µm; the box shows it.
    QTest::mouseClick(r.ui()->pushButton_SliderPlus, Qt::LeftButton);
    QCOMPARE(r.sent(), QByteArray(">mr 2000"));
    QCOMPARE(r.box()->value(), 200.0);

    r.box()->setFocus(Qt::MouseFocusReason);
    QVERIFY(r.box()->hasFocus());
    r.leave(leave);
    QVERIFY(!r.box()->hasFocus());
    QCOMPARE(r.sent(), QByteArray());
}

void TestTargetBox::focusLeavingAnEditedBoxSendsIt_data()
{
    QTest::addColumn<Leave>("leave");
    QTest::newRow("Tab") << Leave::Tab;
    QTest::newRow("Shift+Tab") << Leave::Backtab;
    QTest::newRow("click elsewhere") << Leave::ClickOnStep;
}

void TestTargetBox::focusLeavingAnEditedBoxSendsIt()
{
    QFETCH(Leave, leave);
    Rig r;
    QVERIFY(r.ready());
    r.typeIntoBox(r.box()->locale().toString(1500.5, 'f', 2));
    r.leave(leave);
    QCOMPARE(r.sent(), QByteArray(">ma 15005"));
    // Sent once: focus coming back and leaving again sends nothing more.
    r.box()->setFocus(Qt::MouseFocusReason);
    r.leave(leave);
    QCOMPARE(r.sent(), QByteArray());
}

void TestTargetBox::anotherWindowDoesNotEndTheEdit()
{
    Rig r;
    QVERIFY(r.ready());
    r.typeIntoBox(r.box()->locale().toString(1500.0, 'f', 2));
    r.leave(Leave::OtherWindow);
    QCOMPARE(r.sent(), QByteArray());

    // Back in the panel the edit goes on where it was: Enter sends it.
    r.window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&r.window));
    QTRY_VERIFY(r.box()->hasFocus());
    QCOMPARE(r.box()->value(), 1500.0);
    QTest::keyClick(r.box(), Qt::Key_Return);
    QCOMPARE(r.sent(), QByteArray(">ma 15000"));
}

void TestTargetBox::enterAlwaysSends()
{
    Rig r;
    QVERIFY(r.ready());
    QTest::mouseClick(r.ui()->pushButton_SliderPlus, Qt::LeftButton);
    QCOMPARE(r.sent(), QByteArray(">mr 2000"));
    // Unchanged, Enter still sends what the box shows, each time.
    r.box()->setFocus(Qt::MouseFocusReason);
    QTest::keyClick(r.box(), Qt::Key_Return);
    r.box()->setFocus(Qt::MouseFocusReason);
    QTest::keyClick(r.box(), Qt::Key_Enter);
    QCOMPARE(r.sent(), QByteArray(">ma 2000>ma 2000"));
}

void TestTargetBox::boxShowsEveryCommandedTarget_data()
{
    QTest::addColumn<Commander>("mover");
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<double>("shown");

    QTest::newRow("+") << Commander::Plus << QByteArray(">mr 2000") << 200.0;
    QTest::newRow("-") << Commander::Minus << QByteArray(">mr -2000") << -200.0;
    QTest::newRow("Right arrow") << Commander::RightArrow << QByteArray(">mr 2000") << 200.0;
    QTest::newRow("slider") << Commander::Slider << QByteArray(">ma 12340") << 1234.0;
    QTest::newRow("console, tenths of a micrometre")
        << Commander::Console << QByteArray(">ma 500\r") << 50.0;
    QTest::newRow("script") << Commander::Script << QByteArray(">ma 3215") << 321.5;
    QTest::newRow("sequence") << Commander::Sequence << QByteArray(">ma 7770") << 777.0;
    QTest::newRow("Home after a move")
        << Commander::Home << QByteArray(">ma 30000>stop\r>home\r") << 0.0;
}

void TestTargetBox::boxShowsEveryCommandedTarget()
{
    QFETCH(Commander, mover);
    QFETCH(QByteArray, command);
    QFETCH(double, shown);

    Rig r;
    QVERIFY(r.ready());
    const int client = 0;
    switch (mover) {
    case Commander::Plus:
        QTest::mouseClick(r.ui()->pushButton_SliderPlus, Qt::LeftButton);
        break;
    case Commander::Minus:
        QTest::mouseClick(r.ui()->pushButton_SliderMinus, Qt::LeftButton);
        break;
    case Commander::RightArrow:
        QTest::keyClick(&r.window, Qt::Key_Right);
        break;
    case Commander::Slider:
        r.ui()->horizontalSlider->setSliderDown(true);
        r.ui()->horizontalSlider->setValue(1234);
        r.ui()->horizontalSlider->setSliderDown(false);
        break;
    case Commander::Console:
        QVERIFY(r.probe.console()->submitLine(QStringLiteral(">ma 500")));
        break;
    case Commander::Script:
        QVERIFY(r.window.session()->moveTo(321.5, Mover::client(&client)).ok());
        break;
    case Commander::Sequence:
        QVERIFY(
            r.panel.sequenceRunner()->start({SequenceStep{QStringLiteral("a"), 777.0, 0}}).ok());
        break;
    case Commander::Home:
        r.typeIntoBox(r.box()->locale().toString(3000.0, 'f', 2));
        QTest::keyClick(r.box(), Qt::Key_Return);
        QCOMPARE(r.box()->value(), 3000.0);
        QTest::mouseClick(r.ui()->pushButton_home, Qt::LeftButton);
        break;
    }
    QCOMPARE(r.sent(), command);
    QCOMPARE(r.box()->value(), shown);
    // What the box shows was set, not typed: leaving it sends nothing.
    r.box()->setFocus(Qt::MouseFocusReason);
    QTest::keyClick(r.box(), Qt::Key_Tab);
    QCOMPARE(r.sent(), QByteArray());
    r.panel.sequenceRunner()->abort();
}

void TestTargetBox::typingIsNotOverwritten()
{
    Rig r;
    QVERIFY(r.ready());
    r.typeIntoBox(r.box()->locale().toString(1500.0, 'f', 2));
    const int client = 0;
    QVERIFY(r.window.session()->moveTo(300, Mover::client(&client)).ok());
    QCOMPARE(r.sent(), QByteArray(">ma 3000"));
    QCOMPARE(r.box()->value(), 1500.0);
    QTest::keyClick(r.box(), Qt::Key_Return);
    QCOMPARE(r.sent(), QByteArray(">ma 15000"));
}

void TestTargetBox::refusedMoveIsNoTarget()
{
    Rig r;
    QVERIFY(r.ready());
    QTest::mouseClick(r.ui()->pushButton_SliderPlus, Qt::LeftButton);
    r.typeIntoBox(r.box()->locale().toString(3000.0, 'f', 2));
    QTest::keyClick(r.box(), Qt::Key_Return);
    QCOMPARE(r.sent(), QByteArray(">mr 2000>ma 30000"));
    r.controller.send("_err out of range\r");
    // The stage still goes where it went before: the box says so.
    QTRY_COMPARE(r.box()->value(), 200.0);
    QVERIFY(r.probe.notice().contains(QLatin1String("refused")));
}

QTEST_MAIN(TestTargetBox)
#include "tst_targetbox.moc"
