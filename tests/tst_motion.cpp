// The motion panel against a controller on a pseudo-terminal: what each control writes to the
// port, what the console shows, and which controls are live in each state of the panel.

#include "console.h"
#include "fakecontroller.h"
#include "messageboxwatcher.h"
#include "probe.h"

#include <QStyle>
#include <QStyleOptionSlider>
#include <QTabBar>
#include <QTimer>
#include <QtTest>

#include <memory>

namespace {

const QByteArray kIdent1901 = "_Ver 312 DVX1901\r";
const QByteArray kIdent1804 = "VELDMARK Ver 207 DVX1804\r";
const QByteArray kPoll = ">cp\r";
const QByteArray kParameters = ">duration 100\r>interval 500\r>cycle 1\r";
// Written straight to the port after an action: whatever the action wrote arrives before it.
const QByteArray kMarker = ">marker\r";

QByteArray withoutPolls(QByteArray bytes)
{
    return bytes.replace(kPoll, QByteArray());
}

// How the console shows bytes that were echoed to it.
QString shown(const QByteArray &echoed)
{
    return QString::fromLatin1(echoed).replace(QLatin1Char('\r'), QLatin1Char('\n'));
}

} // namespace

enum class Event {
    FormBuilt,
    PortOpened,
    IdentifiedTick,
    Home,
    ClosedTabHomed,
    ClosedTabNotHomed,
    OpenTab,
    OpenTabHomed,
    DisconnectClosed,
    DisconnectOpen,
    DisconnectOpenHomed,
};
Q_DECLARE_METATYPE(Event)

// One panel and the controller at the other end of its line.
struct Rig {
    MessageBoxWatcher boxes;
    FakeController controller;
    Panel panel;
    MainWindow &window = panel.window();
    MainWindowProbe probe{window};
    int expectedBoxes = 0;

    Ui::MainWindow *ui() const { return probe.ui(); }

    bool open()
    {
        panel.preselectPort(controller.portPath());
        ui()->actionConnect->trigger();
        return controller.waitForReceived(">inform\r>status\r");
    }

    // Connects, identifies and runs the identification check as the first poll tick would; the
    // record of received bytes starts empty after it.
    bool connectAs(const QByteArray &identification)
    {
        if (!open())
            return false;
        controller.send(identification);
        if (!QTest::qWaitFor([this] { return !probe.controllerModel().isEmpty(); }))
            return false;
        if (probe.closedLoop())
            probe.invoke("checkVersion");
        controller.clearReceived();
        return true;
    }

    // Everything written since the last call, polls left out.
    QByteArray sent()
    {
        probe.serialPort()->write(kMarker);
        if (!controller.waitForReceived(kMarker))
            return "<marker never arrived>";
        const QByteArray all = withoutPolls(controller.takeReceived());
        return all.left(all.indexOf(kMarker));
    }

    // The console as plain text; it shows each "\r" as a line break.
    QString consoleText() const
    {
        QString text = probe.console()->toPlainText();
        text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
        text.replace(QChar::ParagraphSeparator, QLatin1Char('\n'));
        return text;
    }
    void clearConsole() { probe.console()->clear(); }

    void selectPage(int index)
    {
        QTabBar *bar = ui()->tabWidget_LoopMode->tabBar();
        QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(index).center());
    }

    void typeInto(QAbstractSpinBox *box, const QString &text)
    {
        box->setFocus();
        box->selectAll();
        QTest::keyClicks(box, text);
    }
};

class TestMotion : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void consoleShowsCarriageReturnAsLineBreak();
    void homeAndStop();
    void targetBounds_data();
    void targetBounds();
    void targetSentOncePerEdit_data();
    void targetSentOncePerEdit();
    void relativeSteps_data();
    void relativeSteps();
    void pollFollowsMoveOnTheWire();
    void sliderRelease_data();
    void sliderRelease();
    void sliderClickOnHandleWithoutMoving();
    void sliderPressBlocksTargetSpinBox();
    void sliderKeyboardSendsNothing();
    void arrowKeys_data();
    void arrowKeys();
    void enabledStates_data();
    void enabledStates();
    void disconnectFromOpenLoopLeavesNothingLive_data();
    void disconnectFromOpenLoopLeavesNothingLive();
    void enteringOpenLoop();
    void returningToClosedLoop();
    void driveParameters_data();
    void driveParameters();
    void biButton();
    void autoCalibrate();
    void model1804SwitchesToOpenLoopByItself();

private:
    std::unique_ptr<Rig> rig;
};

void TestMotion::init()
{
    rig = std::make_unique<Rig>();
    rig->window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&rig->window));
    rig->window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&rig->window));
}

void TestMotion::cleanup()
{
    const int boxes = rig->boxes.count();
    const int expected = rig->expectedBoxes;
    const QStringList texts = rig->boxes.texts;
    rig.reset();
    QVERIFY2(boxes == expected, qPrintable(texts.join(QLatin1String(" | "))));
}

void TestMotion::consoleShowsCarriageReturnAsLineBreak()
{
    rig->probe.console()->putData(">a\r");
    rig->probe.console()->putData(">b");
    rig->probe.console()->putData("\r");
    QCOMPARE(rig->probe.console()->toPlainText(), QStringLiteral(">a\n>b\n"));
}

void TestMotion::homeAndStop()
{
    Rig &r = *rig;
    QVERIFY(r.connectAs(kIdent1901));
    QVERIFY(r.ui()->pushButton_home->isEnabled());
    QCOMPARE(r.ui()->pushButton_home->styleSheet(), QStringLiteral("color: red"));
    r.sent();
    r.clearConsole();

    QTest::mouseClick(r.ui()->pushButton_home, Qt::LeftButton);
    QTest::mouseClick(r.ui()->pushButton_home, Qt::LeftButton);
    QCOMPARE(r.sent(), QByteArray(">stop\r>home\r>stop\r>home\r"));
    QCOMPARE(r.consoleText(), QStringLiteral(">stop\n>home\n>stop\n>home\n"));
    QVERIFY(r.probe.homed());
    QCOMPARE(r.ui()->pushButton_home->styleSheet(), QStringLiteral("color: green"));
    QVERIFY(!r.ui()->pushButton_home->hasFocus());
    for (QWidget *w : {static_cast<QWidget *>(r.ui()->pushButton_stop),
                       static_cast<QWidget *>(r.ui()->doubleSpinBox_Position),
                       static_cast<QWidget *>(r.ui()->doubleSpinBox_mrstp),
                       static_cast<QWidget *>(r.ui()->pushButton_SliderMinus),
                       static_cast<QWidget *>(r.ui()->pushButton_SliderPlus),
                       static_cast<QWidget *>(r.ui()->horizontalSlider)})
        QVERIFY2(w->isEnabled(), qPrintable(w->objectName()));

    // The next tick leaves a homed stage green.
    QVERIFY(r.controller.waitForReceived(kPoll, r.probe.pollIntervalMs() + 500));
    QCOMPARE(r.ui()->pushButton_home->styleSheet(), QStringLiteral("color: green"));

    r.clearConsole();
    r.sent();
    r.ui()->pushButton_stop->setFocus();
    QVERIFY(r.ui()->pushButton_stop->hasFocus());
    QTest::mouseClick(r.ui()->pushButton_stop, Qt::LeftButton);
    QCOMPARE(r.sent(), QByteArray(">stop\r"));
    QCOMPARE(r.consoleText(), QStringLiteral(">stop\n"));
    QVERIFY(!r.ui()->pushButton_stop->hasFocus());
}

void TestMotion::targetBounds_data()
{
    QTest::addColumn<QByteArray>("offsetReply");
    QTest::addColumn<double>("target");
    QTest::addColumn<QByteArray>("expected");

    const QByteArray none;
    const QByteArray zero = "_offset: 0\r";
    QTest::newRow("at default minimum") << none << -250.0 << QByteArray(">ma -2500");
    QTest::newRow("at default maximum") << none << 6250.0 << QByteArray(">ma 62500");
    QTest::newRow("just below default minimum") << none << -250.01 << QByteArray();
    QTest::newRow("just above default maximum") << none << 6250.01 << QByteArray();
    QTest::newRow("fraction") << none << 12.34 << QByteArray(">ma 123.4");
    QTest::newRow("offset 0: at minimum") << zero << 0.0 << QByteArray(">ma 0");
    QTest::newRow("offset 0: at maximum") << zero << 6500.0 << QByteArray(">ma 65000");
    QTest::newRow("offset 0: just below minimum") << zero << -0.01 << QByteArray();
    QTest::newRow("offset 0: just above maximum") << zero << 6500.01 << QByteArray();
    QTest::newRow("offset 0: old minimum") << zero << -250.0 << QByteArray();
    QTest::newRow("offset 0: past old maximum") << zero << 6250.01 << QByteArray(">ma 62500.1");
}

void TestMotion::targetBounds()
{
    QFETCH(QByteArray, offsetReply);
    QFETCH(double, target);
    QFETCH(QByteArray, expected);

    Rig &r = *rig;
    QVERIFY(r.connectAs(kIdent1901));
    QTest::mouseClick(r.ui()->pushButton_home, Qt::LeftButton);
    if (!offsetReply.isEmpty()) {
        r.controller.send(offsetReply);
        QTRY_COMPARE(r.probe.sliderMax(), 6500.0);
        QCOMPARE(r.probe.sliderMin(), 0.0);
    }
    r.sent();
    r.clearConsole();

    QDoubleSpinBox *box = r.ui()->doubleSpinBox_Position;
    r.typeInto(box, box->locale().toString(target, 'f', box->decimals()));
    QVERIFY(box->hasFocus());
    QTest::keyClick(box, Qt::Key_Return);

    QCOMPARE(r.sent(), expected);
    // A refused target sends nothing; the console keeps the notice that says why.
    if (expected.isEmpty())
        QVERIFY2(r.consoleText().startsWith(QLatin1String("Target ")) &&
                     r.consoleText().contains(QLatin1String("refused")) &&
                     !r.consoleText().contains(QLatin1String(">ma")),
                 qPrintable(r.consoleText()));
    else
        QCOMPARE(r.consoleText(), shown(expected + '\r'));
    QVERIFY(!box->hasFocus());
    QVERIFY(!box->signalsBlocked());
    QCOMPARE(box->value(), target);
}

void TestMotion::targetSentOncePerEdit_data()
{
    QTest::addColumn<bool>("pressEnter");
    QTest::newRow("Enter, then focus moves on") << true;
    QTest::newRow("focus moves on") << false;
}

void TestMotion::targetSentOncePerEdit()
{
    QFETCH(bool, pressEnter);

    Rig &r = *rig;
    QVERIFY(r.connectAs(kIdent1901));
    QTest::mouseClick(r.ui()->pushButton_home, Qt::LeftButton);
    r.sent();

    QDoubleSpinBox *box = r.ui()->doubleSpinBox_Position;
    r.typeInto(box, box->locale().toString(1234.5, 'f', 1));
    if (pressEnter)
        QTest::keyClick(box, Qt::Key_Return);
    r.ui()->horizontalSlider->setFocus();
    QVERIFY(!box->hasFocus());
    QCOMPARE(r.sent(), QByteArray(">ma 12345"));
}

void TestMotion::relativeSteps_data()
{
    QTest::addColumn<double>("step");
    QTest::addColumn<bool>("plus");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("+ 200") << 200.0 << true << QByteArray(">mr 2000");
    QTest::newRow("- 200") << 200.0 << false << QByteArray(">mr -2000");
    QTest::newRow("+ 0") << 0.0 << true << QByteArray(">mr 0");
    QTest::newRow("- 0") << 0.0 << false << QByteArray(">mr 0");
    QTest::newRow("- 12.5") << 12.5 << false << QByteArray(">mr -125");
}

void TestMotion::relativeSteps()
{
    QFETCH(double, step);
    QFETCH(bool, plus);
    QFETCH(QByteArray, expected);

    Rig &r = *rig;
    QVERIFY(r.connectAs(kIdent1901));
    QTest::mouseClick(r.ui()->pushButton_home, Qt::LeftButton);
    r.ui()->doubleSpinBox_mrstp->setValue(step);
    r.sent();
    r.clearConsole();

    QPushButton *button = plus ? r.ui()->pushButton_SliderPlus : r.ui()->pushButton_SliderMinus;
    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(r.sent(), expected);
    QCOMPARE(r.consoleText(), shown(expected + '\r'));
    QVERIFY(!button->hasFocus());
}

void TestMotion::pollFollowsMoveOnTheWire()
{
    Rig &r = *rig;
    QVERIFY(r.connectAs(kIdent1901));
    QTest::mouseClick(r.ui()->pushButton_home, Qt::LeftButton);
    r.controller.clearReceived();

    QDoubleSpinBox *box = r.ui()->doubleSpinBox_Position;
    r.typeInto(box, box->locale().toString(200.0, 'f', 1));
    QTest::keyClick(box, Qt::Key_Return);
    QVERIFY2(r.controller.waitForReceived(">ma 2000>cp\r", r.probe.pollIntervalMs() + 300),
             r.controller.received().constData());
}

void TestMotion::sliderRelease_data()
{
    QTest::addColumn<int>("value");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("minimum") << -250 << QByteArray(">ma -2500");
    QTest::newRow("maximum") << 6250 << QByteArray(">ma 62500");
    QTest::newRow("inside") << 1234 << QByteArray(">ma 12340");
}

void TestMotion::sliderRelease()
{
    QFETCH(int, value);
    QFETCH(QByteArray, expected);

    Rig &r = *rig;
    QVERIFY(r.connectAs(kIdent1901));
    QTest::mouseClick(r.ui()->pushButton_home, Qt::LeftButton);
    r.sent();
    r.clearConsole();

    QSlider *slider = r.ui()->horizontalSlider;
    slider->setSliderDown(true);
    slider->setValue(value);
    QCOMPARE(r.sent(), QByteArray());
    slider->setFocus();
    slider->setSliderDown(false);
    QCOMPARE(r.sent(), expected);
    QCOMPARE(r.consoleText(), shown(expected + '\r'));
    QVERIFY(!slider->hasFocus());
}

void TestMotion::sliderClickOnHandleWithoutMoving()
{
    Rig &r = *rig;
    QVERIFY(r.connectAs(kIdent1901));
    QTest::mouseClick(r.ui()->pushButton_home, Qt::LeftButton);
    QSlider *slider = r.ui()->horizontalSlider;
    slider->setValue(slider->minimum());
    r.sent();

    QStyleOptionSlider option;
    option.initFrom(slider);
    option.orientation = slider->orientation();
    option.minimum = slider->minimum();
    option.maximum = slider->maximum();
    option.sliderPosition = slider->sliderPosition();
    option.sliderValue = slider->value();
    option.singleStep = slider->singleStep();
    option.pageStep = slider->pageStep();
    option.tickPosition = slider->tickPosition();
    option.tickInterval = slider->tickInterval();
    option.upsideDown = slider->invertedAppearance() != (option.direction == Qt::RightToLeft);
    option.subControls = QStyle::SC_All;
    const QPoint handle =
        slider->style()
            ->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderHandle, slider)
            .center();

    QSignalSpy pressed(slider, &QSlider::sliderPressed);
    QTest::mousePress(slider, Qt::LeftButton, {}, handle);
    QCOMPARE(pressed.count(), 1);
    QVERIFY(r.ui()->doubleSpinBox_Position->signalsBlocked());
    QTest::mouseRelease(slider, Qt::LeftButton, {}, handle);
    QCOMPARE(slider->value(), -250);
    QCOMPARE(r.sent(), QByteArray(">ma -2500"));
    QVERIFY(!r.ui()->doubleSpinBox_Position->signalsBlocked());
}

void TestMotion::sliderPressBlocksTargetSpinBox()
{
    Rig &r = *rig;
    QVERIFY(r.connectAs(kIdent1901));
    QTest::mouseClick(r.ui()->pushButton_home, Qt::LeftButton);
    QSlider *slider = r.ui()->horizontalSlider;
    QDoubleSpinBox *box = r.ui()->doubleSpinBox_Position;
    slider->setValue(100);
    r.sent();

    slider->setSliderDown(true);
    QVERIFY(box->signalsBlocked());
    r.typeInto(box, box->locale().toString(300.0, 'f', 1));
    QTest::keyClick(box, Qt::Key_Return);
    QCOMPARE(r.sent(), QByteArray());

    slider->setSliderDown(false);
    QCOMPARE(r.sent(), QByteArray(">ma 1000"));
    QVERIFY(!box->signalsBlocked());

    r.typeInto(box, box->locale().toString(300.0, 'f', 1));
    QTest::keyClick(box, Qt::Key_Return);
    QCOMPARE(r.sent(), QByteArray(">ma 3000"));
}

void TestMotion::sliderKeyboardSendsNothing()
{
    Rig &r = *rig;
    QVERIFY(r.connectAs(kIdent1901));
    QTest::mouseClick(r.ui()->pushButton_home, Qt::LeftButton);
    QSlider *slider = r.ui()->horizontalSlider;
    slider->setValue(100);
    r.sent();

    slider->setFocus();
    QVERIFY(slider->hasFocus());
    QTest::keyClick(slider, Qt::Key_Right);
    QCOMPARE(slider->value(), 100 + slider->singleStep());
    QTest::keyClick(slider, Qt::Key_PageUp);
    QTest::keyClick(slider, Qt::Key_End);
    QCOMPARE(slider->value(), slider->maximum());
    QCOMPARE(r.sent(), QByteArray());
}

void TestMotion::arrowKeys_data()
{
    QTest::addColumn<bool>("openLoop");
    QTest::addColumn<bool>("homed");
    QTest::addColumn<int>("key");
    QTest::addColumn<QByteArray>("expected");

    const QByteArray nothing;
    QTest::newRow("closed, not homed, Left") << false << false << int(Qt::Key_Left) << nothing;
    QTest::newRow("closed, not homed, Right") << false << false << int(Qt::Key_Right) << nothing;
    QTest::newRow("open, not homed, Left") << true << false << int(Qt::Key_Left) << nothing;
    QTest::newRow("open, not homed, Right") << true << false << int(Qt::Key_Right) << nothing;
    QTest::newRow("closed, homed, Left")
        << false << true << int(Qt::Key_Left) << QByteArray(">mr -2000");
    QTest::newRow("closed, homed, Right")
        << false << true << int(Qt::Key_Right) << QByteArray(">mr 2000");
    QTest::newRow("open, homed, Left") << true << true << int(Qt::Key_Left) << QByteArray(">re\r");
    QTest::newRow("open, homed, Right")
        << true << true << int(Qt::Key_Right) << QByteArray(">fo\r");
    QTest::newRow("closed, homed, Up") << false << true << int(Qt::Key_Up) << nothing;
    QTest::newRow("closed, homed, Down") << false << true << int(Qt::Key_Down) << nothing;
    QTest::newRow("closed, homed, A") << false << true << int(Qt::Key_A) << nothing;
    QTest::newRow("open, homed, Space") << true << true << int(Qt::Key_Space) << nothing;
}

void TestMotion::arrowKeys()
{
    QFETCH(bool, openLoop);
    QFETCH(bool, homed);
    QFETCH(int, key);
    QFETCH(QByteArray, expected);

    Rig &r = *rig;
    QVERIFY(r.connectAs(kIdent1901));
    if (homed)
        QTest::mouseClick(r.ui()->pushButton_home, Qt::LeftButton);
    if (openLoop) {
        r.selectPage(1);
        QVERIFY(!r.probe.closedLoop());
        QVERIFY(r.ui()->pushButton_SliderMinus->isEnabled());
        QVERIFY(r.ui()->pushButton_SliderPlus->isEnabled());
    }
    r.sent();

    QTest::keyClick(&r.window, Qt::Key(key));
    QCOMPARE(r.sent(), expected);
}

void TestMotion::enabledStates_data()
{
    QTest::addColumn<Event>("event");
    QTest::addColumn<bool>("home");
    QTest::addColumn<bool>("stop");
    QTest::addColumn<bool>("positioning");
    QTest::addColumn<bool>("steps");
    QTest::addColumn<bool>("autoCalibrate");
    QTest::addColumn<bool>("loopMode");

    // clang-format off
    QTest::newRow("form built")                  << Event::FormBuilt           << false << false << false << false << false << false;
    QTest::newRow("port opened")                 << Event::PortOpened          << false << true  << false << false << false << true;
    QTest::newRow("identified device, tick")     << Event::IdentifiedTick      << true  << true  << false << false << true  << true;
    QTest::newRow("Home")                        << Event::Home                << true  << true  << true  << true  << true  << true;
    QTest::newRow("closed loop, homed")          << Event::ClosedTabHomed      << true  << true  << true  << true  << true  << true;
    QTest::newRow("closed loop, not homed")      << Event::ClosedTabNotHomed   << true  << false << true  << false << true  << true;
    QTest::newRow("open loop, not homed")        << Event::OpenTab             << false << true  << false << true  << false << true;
    QTest::newRow("open loop, homed")            << Event::OpenTabHomed        << false << true  << false << true  << false << true;
    QTest::newRow("disconnect from closed loop") << Event::DisconnectClosed    << false << false << false << false << false << false;
    QTest::newRow("disconnect from open loop")   << Event::DisconnectOpen      << false << false << false << false << false << false;
    QTest::newRow("disconnect from open loop, homed") << Event::DisconnectOpenHomed << false << false << false << false << false << false;
    // clang-format on
}

void TestMotion::enabledStates()
{
    QFETCH(Event, event);
    QFETCH(bool, home);
    QFETCH(bool, stop);
    QFETCH(bool, positioning);
    QFETCH(bool, steps);
    QFETCH(bool, autoCalibrate);
    QFETCH(bool, loopMode);

    Rig &r = *rig;
    Ui::MainWindow *ui = r.ui();
    switch (event) {
    case Event::FormBuilt:
        break;
    case Event::PortOpened:
        QVERIFY(r.open());
        break;
    case Event::IdentifiedTick:
        QVERIFY(r.open());
        r.controller.send(kIdent1901);
        QTRY_COMPARE(r.probe.controllerModel(), QStringLiteral("1901"));
        QVERIFY(!ui->pushButton_home->isEnabled());
        r.controller.clearReceived();
        QVERIFY(r.controller.waitForReceived(kPoll, r.probe.pollIntervalMs() + 500));
        QCOMPARE(ui->pushButton_home->styleSheet(), QStringLiteral("color: red"));
        break;
    case Event::Home:
    case Event::ClosedTabHomed:
    case Event::OpenTabHomed:
    case Event::DisconnectClosed:
    case Event::DisconnectOpenHomed:
        QVERIFY(r.connectAs(kIdent1901));
        QTest::mouseClick(ui->pushButton_home, Qt::LeftButton);
        QVERIFY(r.probe.homed());
        break;
    case Event::ClosedTabNotHomed:
    case Event::OpenTab:
    case Event::DisconnectOpen:
        QVERIFY(r.connectAs(kIdent1901));
        break;
    }

    if (event == Event::ClosedTabHomed || event == Event::ClosedTabNotHomed) {
        r.selectPage(1);
        QVERIFY(!r.probe.closedLoop());
        r.selectPage(0);
        QVERIFY(r.probe.closedLoop());
    }
    if (event == Event::OpenTab || event == Event::OpenTabHomed || event == Event::DisconnectOpen ||
        event == Event::DisconnectOpenHomed) {
        r.selectPage(1);
        QVERIFY(!r.probe.closedLoop());
    }
    if (event == Event::DisconnectClosed || event == Event::DisconnectOpen ||
        event == Event::DisconnectOpenHomed) {
        ui->actionDisconnect->trigger();
        QVERIFY(!r.probe.serialPort()->isOpen());
        QCOMPARE(ui->tabWidget_LoopMode->currentIndex(), 0);
        QVERIFY(!r.probe.pollTimer()->isActive());
        QVERIFY(!r.probe.homed());
        QCOMPARE(ui->pushButton_home->styleSheet(), QStringLiteral("color: grey"));
    }

    QCOMPARE(ui->pushButton_home->isEnabled(), home);
    QCOMPARE(ui->pushButton_stop->isEnabled(), stop);
    QCOMPARE(ui->doubleSpinBox_Position->isEnabled(), positioning);
    QCOMPARE(ui->doubleSpinBox_mrstp->isEnabled(), positioning);
    QCOMPARE(ui->horizontalSlider->isEnabled(), positioning);
    QCOMPARE(ui->pushButton_SliderMinus->isEnabled(), steps);
    QCOMPARE(ui->pushButton_SliderPlus->isEnabled(), steps);
    QCOMPARE(ui->pushButton_AutoCalibrate->isEnabled(), autoCalibrate);
    QCOMPARE(ui->tabWidget_LoopMode->isEnabled(), loopMode);
}

void TestMotion::disconnectFromOpenLoopLeavesNothingLive_data()
{
    QTest::addColumn<bool>("homed");
    QTest::addColumn<bool>("hangUp");
    QTest::newRow("Disconnect, not homed") << false << false;
    QTest::newRow("Disconnect, homed") << true << false;
    QTest::newRow("adapter unplugged, not homed") << false << true;
    QTest::newRow("adapter unplugged, homed") << true << true;
}

void TestMotion::disconnectFromOpenLoopLeavesNothingLive()
{
    QFETCH(bool, homed);
    QFETCH(bool, hangUp);

    Rig &r = *rig;
    Ui::MainWindow *ui = r.ui();
    QVERIFY(r.connectAs(kIdent1901));
    if (homed)
        QTest::mouseClick(ui->pushButton_home, Qt::LeftButton);
    r.selectPage(1);
    QVERIFY(!r.probe.closedLoop());
    r.sent();

    if (hangUp) {
        r.expectedBoxes = 1;
        r.controller.hangUp();
        QTRY_COMPARE(r.boxes.count(), 1);
        QCOMPARE(r.boxes.titles.first(), QStringLiteral("Critical Error"));
    } else {
        ui->actionDisconnect->trigger();
    }

    QVERIFY(!r.probe.serialPort()->isOpen());
    QCOMPARE(ui->tabWidget_LoopMode->currentIndex(), 0);
    QVERIFY(!ui->tabWidget_LoopMode->isEnabled());
    QVERIFY(r.probe.closedLoop());
    QVERIFY(!r.probe.pollTimer()->isActive());
    const QList<QWidget *> controls = {ui->pushButton_home,        ui->pushButton_stop,
                                       ui->doubleSpinBox_Position, ui->doubleSpinBox_mrstp,
                                       ui->horizontalSlider,       ui->pushButton_SliderMinus,
                                       ui->pushButton_SliderPlus,  ui->pushButton_AutoCalibrate};
    for (QWidget *control : controls)
        QVERIFY2(!control->isEnabled(), qPrintable(control->objectName()));

    // No control the operator can reach writes to the closed port.
    r.clearConsole();
    for (QPushButton *button :
         {ui->pushButton_home, ui->pushButton_stop, ui->pushButton_SliderMinus,
          ui->pushButton_SliderPlus, ui->pushButton_AutoCalibrate})
        QTest::mouseClick(button, Qt::LeftButton);
    QTest::mousePress(ui->horizontalSlider, Qt::LeftButton);
    QTest::mouseRelease(ui->horizontalSlider, Qt::LeftButton);
    for (QDoubleSpinBox *box : {ui->doubleSpinBox_Position, ui->doubleSpinBox_mrstp}) {
        box->setFocus();
        QTest::keyClick(box, Qt::Key_Return);
    }
    QTest::keyClick(&r.window, Qt::Key_Left);
    QTest::keyClick(&r.window, Qt::Key_Right);
    QCOMPARE(r.consoleText(), QString());
    if (!hangUp) {
        QTest::qWait(100);
        QCOMPARE(withoutPolls(r.controller.received()), QByteArray());
    }
}

void TestMotion::enteringOpenLoop()
{
    Rig &r = *rig;
    Ui::MainWindow *ui = r.ui();
    QVERIFY(r.connectAs(kIdent1901));
    r.controller.send("_cp 1234.5 um\r");
    QTRY_COMPARE(ui->label_Position->text(), QStringLiteral("1234.5 \u00b5m"));
    QVERIFY(r.probe.pollTimer()->isActive());
    r.sent();
    r.clearConsole();

    r.selectPage(1);
    QCOMPARE(ui->tabWidget_LoopMode->currentIndex(), 1);
    QCOMPARE(r.sent(), kParameters);
    QCOMPARE(r.consoleText(), QStringLiteral(">duration 100\n\n>interval 500\n\n>cycle 1\n\n"));
    // The last closed-loop position stays, greyed, with a tooltip that says it is not polled.
    QCOMPARE(ui->label_Position->text(), QStringLiteral("1234.5 \u00b5m"));
    QVERIFY(
        ui->label_Position->toolTip().endsWith(QLatin1String("not polled on the open-loop page")));
    QVERIFY(!r.probe.closedLoop());

    QVERIFY(!ui->horizontalSlider->isEnabled());
    QVERIFY(!ui->doubleSpinBox_Position->isEnabled());
    QVERIFY(!ui->doubleSpinBox_mrstp->isEnabled());
    QVERIFY(!ui->pushButton_home->isEnabled());
    QVERIFY(!ui->pushButton_AutoCalibrate->isEnabled());
    QVERIFY(!ui->label_Slidermin->isEnabled());
    QVERIFY(!ui->label_Slidermax->isEnabled());
    QVERIFY(!r.probe.homed());
    QVERIFY(ui->pushButton_SliderMinus->isEnabled());
    QVERIFY(ui->pushButton_SliderPlus->isEnabled());
    QVERIFY(ui->pushButton_stop->isEnabled());

    // No position poll and no identification check while in open loop.
    QVERIFY(!r.probe.pollTimer()->isActive());
    r.controller.clearReceived();
    QTest::qWait(r.probe.pollIntervalMs() + 150);
    QCOMPARE(r.controller.received(), QByteArray());
    QVERIFY(r.probe.serialPort()->isOpen());

    r.clearConsole();
    QTest::mouseClick(ui->pushButton_SliderMinus, Qt::LeftButton);
    QCOMPARE(r.sent(), QByteArray(">re\r"));
    QCOMPARE(r.consoleText(), QStringLiteral(">re\n\n"));
    r.clearConsole();
    QTest::mouseClick(ui->pushButton_SliderPlus, Qt::LeftButton);
    QCOMPARE(r.sent(), QByteArray(">fo\r"));
    QCOMPARE(r.consoleText(), QStringLiteral(">fo\n\n"));
    QTest::mouseClick(ui->pushButton_stop, Qt::LeftButton);
    QCOMPARE(r.sent(), QByteArray(">stop\r"));
}

void TestMotion::returningToClosedLoop()
{
    Rig &r = *rig;
    Ui::MainWindow *ui = r.ui();
    QVERIFY(r.connectAs(kIdent1901));
    r.selectPage(1);
    QCOMPARE(r.sent(), kParameters);
    QVERIFY(!r.probe.pollTimer()->isActive());
    r.clearConsole();

    r.selectPage(0);
    QVERIFY(r.probe.closedLoop());
    QCOMPARE(r.sent(), QByteArray());
    QCOMPARE(r.consoleText(), QString());
    QVERIFY(r.probe.pollTimer()->isActive());
    QVERIFY(r.controller.waitForReceived(kPoll, r.probe.pollIntervalMs() + 500));

    QVERIFY(ui->pushButton_home->isEnabled());
    QVERIFY(ui->pushButton_AutoCalibrate->isEnabled());
    QVERIFY(!ui->pushButton_stop->isEnabled());
    QVERIFY(!ui->pushButton_SliderMinus->isEnabled());
    QVERIFY(!ui->pushButton_SliderPlus->isEnabled());
    QTest::mouseClick(ui->pushButton_home, Qt::LeftButton);
    QVERIFY(ui->pushButton_stop->isEnabled());
    QVERIFY(ui->pushButton_SliderMinus->isEnabled());
    QVERIFY(ui->pushButton_SliderPlus->isEnabled());
    QCOMPARE(r.sent(), QByteArray(">stop\r>home\r"));

    // "+" is a relative move again.
    QTest::mouseClick(ui->pushButton_SliderPlus, Qt::LeftButton);
    QCOMPARE(r.sent(), QByteArray(">mr 2000"));
}

void TestMotion::driveParameters_data()
{
    QTest::addColumn<QString>("spinBox");
    QTest::addColumn<int>("value");
    QTest::addColumn<QByteArray>("command");

    QTest::newRow("duration") << QStringLiteral("spinBox_Duration") << 250
                              << QByteArray(">duration 250\r");
    QTest::newRow("interval") << QStringLiteral("spinBox_Interval") << 40
                              << QByteArray(">interval 40\r");
    QTest::newRow("largest cycle count")
        << QStringLiteral("spinBox_Cycle") << 214700000 << QByteArray(">cycle 214700000\r");
}

void TestMotion::driveParameters()
{
    QFETCH(QString, spinBox);
    QFETCH(int, value);
    QFETCH(QByteArray, command);

    Rig &r = *rig;
    QVERIFY(r.connectAs(kIdent1901));
    r.selectPage(1);
    QCOMPARE(r.sent(), kParameters);
    r.clearConsole();

    auto *box = r.window.findChild<QSpinBox *>(spinBox);
    QVERIFY(box);
    r.typeInto(box, QString::number(value));
    QTest::keyClick(box, Qt::Key_Return);
    QVERIFY(!box->hasFocus());
    QCOMPARE(box->value(), value);
    QCOMPARE(r.sent(), command);
    QCOMPARE(r.consoleText(), shown(command + '\r'));

    // The same value confirmed again goes out again; focus moving on adds nothing.
    box->setFocus();
    QTest::keyClick(box, Qt::Key_Return);
    r.ui()->pushButton_Bi->setFocus();
    QCOMPARE(r.sent(), command);

    // Leaving by focus alone sends once.
    r.typeInto(box, QString::number(value - 1));
    r.ui()->pushButton_Bi->setFocus();
    QCOMPARE(r.sent(), command.replace(QByteArray::number(value), QByteArray::number(value - 1)));
}

void TestMotion::biButton()
{
    Rig &r = *rig;
    QVERIFY(r.connectAs(kIdent1901));
    r.selectPage(1);
    r.sent();
    r.clearConsole();

    QTest::mouseClick(r.ui()->pushButton_Bi, Qt::LeftButton);
    QCOMPARE(r.sent(), QByteArray(">bi\r"));
    QCOMPARE(r.consoleText(), QStringLiteral(">bi\n"));
    QVERIFY(!r.ui()->pushButton_Bi->hasFocus());
}

void TestMotion::autoCalibrate()
{
    Rig &r = *rig;
    QVERIFY(r.connectAs(kIdent1901));
    QVERIFY(r.ui()->pushButton_AutoCalibrate->isEnabled());
    r.sent();
    r.clearConsole();

    QTest::mouseClick(r.ui()->pushButton_AutoCalibrate, Qt::LeftButton);
    QCOMPARE(r.sent(), QByteArray(">auto\r>status\r"));
    QCOMPARE(r.consoleText(), QStringLiteral(">auto\n"));

    // Until the controller reports the end, nothing moves the stage: the move controls wait as
    // during a sequence run and say why; Stop stays.
    Ui::MainWindow *ui = r.ui();
    for (QWidget *control : {static_cast<QWidget *>(ui->pushButton_home),
                             static_cast<QWidget *>(ui->pushButton_AutoCalibrate),
                             static_cast<QWidget *>(ui->doubleSpinBox_Position),
                             static_cast<QWidget *>(ui->horizontalSlider),
                             static_cast<QWidget *>(ui->tabWidget_LoopMode)}) {
        QVERIFY2(!control->isEnabled(), qPrintable(control->objectName()));
        QVERIFY2(control->toolTip().contains(QStringLiteral("calibration")),
                 qPrintable(control->toolTip()));
    }
    QVERIFY(ui->pushButton_stop->isEnabled());
    QVERIFY(r.probe.notice().contains(QStringLiteral("calibration")));
    // The tick that enables Home on every poll does not undo it.
    r.probe.invoke("checkVersion");
    QVERIFY(!ui->pushButton_home->isEnabled());
    r.controller.send("_status 9\r");
    QTRY_VERIFY(ui->pushButton_home->isEnabled());
    QVERIFY(ui->doubleSpinBox_Position->isEnabled() == r.probe.homed());
    QVERIFY(!ui->pushButton_home->toolTip().contains(QStringLiteral("calibration")));
    QCOMPARE(r.probe.notice(), QString());
    QCOMPARE(ui->pushButton_AutoCalibrate->text(), QStringLiteral("Calibrated"));
}

void TestMotion::model1804SwitchesToOpenLoopByItself()
{
    Rig &r = *rig;
    Ui::MainWindow *ui = r.ui();
    QVERIFY(r.open());
    r.controller.clearReceived();
    r.clearConsole();

    r.controller.send(kIdent1804);
    QVERIFY(r.controller.waitForReceived(kParameters));
    QCOMPARE(r.probe.controllerModel(), QStringLiteral("1804"));
    QCOMPARE(ui->tabWidget_LoopMode->currentIndex(), 1);
    QVERIFY(!r.probe.closedLoop());
    QVERIFY(!r.probe.pollTimer()->isActive());
    QCOMPARE(ui->label_Position->text(), QStringLiteral("0.0 \u00b5m"));
    QVERIFY(
        r.consoleText().contains(QStringLiteral(">duration 100\n\n>interval 500\n\n>cycle 1\n\n")));

    // Past the first tick: still connected, never checked, Home and AutoCalibrate still off.
    QTest::qWait(r.probe.pollIntervalMs() + 150);
    QVERIFY(!r.controller.received().contains(kPoll));
    QCOMPARE(r.sent(), kParameters);
    QVERIFY(r.probe.serialPort()->isOpen());
    QVERIFY(!ui->pushButton_home->isEnabled());
    QVERIFY(!ui->pushButton_AutoCalibrate->isEnabled());
    QVERIFY(ui->pushButton_SliderMinus->isEnabled());
    QVERIFY(ui->pushButton_SliderPlus->isEnabled());
    QVERIFY(ui->pushButton_stop->isEnabled());

    QTest::mouseClick(ui->pushButton_SliderPlus, Qt::LeftButton);
    QCOMPARE(r.sent(), QByteArray(">fo\r"));
}

QTEST_MAIN(TestMotion)
#include "tst_motion.moc"
