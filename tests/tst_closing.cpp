// Closing the panel: while the stage moves or a sequence runs it asks first (Stop and quit,
// Quit, Cancel); whatever the answer, the only byte that may go to the controller is the Stop
// the operator chose, and closing never sends a target or a drive parameter left in a box.

#include "activewindow.h"
#include "fakecontroller.h"
#include "probe.h"
#include "sequencerunner.h"
#include "statusview.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QSpinBox>
#include <QTimer>
#include <QtTest>

namespace {

const QByteArray kPoll = ">cp\r";

// Answers the question box that opens with the button of the given name, recording its text.
class Answerer : public QObject {
public:
    explicit Answerer(const QString &button) : button(button)
    {
        poll.setInterval(5);
        connect(&poll, &QTimer::timeout, this, [this] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box || !box->isVisible())
                return;
            titles << box->windowTitle();
            texts << box->text();
            auto *choice = box->findChild<QAbstractButton *>(this->button);
            if (choice)
                choice->click();
            else
                box->reject();
        });
        poll.start();
    }

    QStringList titles;
    QStringList texts;

private:
    QString button;
    QTimer poll;
};

struct Rig {
    FakeController controller;
    Panel panel;
    MainWindow &window = panel.window();
    MainWindowProbe probe{window};

    Ui::MainWindow *ui() const { return probe.ui(); }

    bool ready(bool home = true)
    {
        if (!connectActiveWindow(probe, controller))
            return false;
        if (home) {
            QTest::mouseClick(ui()->pushButton_home, Qt::LeftButton);
            if (!controller.waitForReceived(">stop\r>home\r"))
                return false;
            // The stage reports itself home: at rest.
            controller.send("_cp 0.000 um\r");
            if (!QTest::qWaitFor(
                    [this] { return !window.statusView()->activityTracker()->isBusy(); }))
                return false;
        }
        controller.clearReceived();
        return true;
    }

    // What reached the controller after the window closed (or did not), polls left out; the
    // link closes with the panel, so this waits a moment for stragglers.
    QByteArray afterwards()
    {
        QTest::qWait(100);
        return controller.takeReceived().replace(kPoll, QByteArray());
    }

    // Starts a move that does not end: the controller never reports the target reached.
    void startMove()
    {
        ui()->doubleSpinBox_Position->setValue(3000);
        QTest::keyClick(ui()->doubleSpinBox_Position, Qt::Key_Return);
        controller.waitForReceived(">ma 30000");
        controller.clearReceived();
    }
};

} // namespace

class TestClosing : public QObject {
    Q_OBJECT

private slots:
    void atRestClosesWithoutAsking_data();
    void atRestClosesWithoutAsking();
    void whileMoving_data();
    void whileMoving();
    void whileASequenceRuns_data();
    void whileASequenceRuns();
    void unsavedEditsKeptStopNotSent();
    void boxesLeftEditedSendNothing_data();
    void boxesLeftEditedSendNothing();
};

void TestClosing::atRestClosesWithoutAsking_data()
{
    QTest::addColumn<bool>("connected");
    QTest::newRow("disconnected") << false;
    QTest::newRow("connected, at rest") << true;
}

void TestClosing::atRestClosesWithoutAsking()
{
    QFETCH(bool, connected);
    Rig r;
    if (connected)
        QVERIFY(r.ready());
    else
        r.window.show();
    Answerer answer(QStringLiteral("pushButton_Cancel"));
    r.ui()->actionQuit->trigger();
    QVERIFY(!r.window.isVisible());
    QVERIFY(answer.titles.isEmpty());
    if (connected)
        QCOMPARE(r.afterwards(), QByteArray());
}

void TestClosing::whileMoving_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<bool>("closes");
    QTest::addColumn<QByteArray>("sent");

    QTest::newRow("Cancel") << QStringLiteral("pushButton_Cancel") << false << QByteArray();
    QTest::newRow("Quit") << QStringLiteral("pushButton_Quit") << true << QByteArray();
    QTest::newRow("Stop and quit")
        << QStringLiteral("pushButton_StopAndQuit") << true << QByteArray(">stop\r");
}

void TestClosing::whileMoving()
{
    QFETCH(QString, button);
    QFETCH(bool, closes);
    QFETCH(QByteArray, sent);

    Rig r;
    QVERIFY(r.ready());
    r.startMove();
    QVERIFY(r.window.statusView()->activityTracker()->isBusy());

    Answerer answer(button);
    r.window.close();
    QCOMPARE(answer.texts, QStringList({QStringLiteral("The stage is moving.")}));
    QCOMPARE(answer.titles, QStringList({QStringLiteral("Quit")}));
    QCOMPARE(r.window.isVisible(), !closes);
    QCOMPARE(r.afterwards(), sent);
}

void TestClosing::whileASequenceRuns_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<bool>("closes");
    QTest::addColumn<QByteArray>("sent");

    QTest::newRow("Cancel") << QStringLiteral("pushButton_Cancel") << false << QByteArray();
    QTest::newRow("Quit") << QStringLiteral("pushButton_Quit") << true << QByteArray();
    QTest::newRow("Stop and quit")
        << QStringLiteral("pushButton_StopAndQuit") << true << QByteArray(">stop\r");
}

void TestClosing::whileASequenceRuns()
{
    QFETCH(QString, button);
    QFETCH(bool, closes);
    QFETCH(QByteArray, sent);

    Rig r;
    QVERIFY(r.ready());
    SequenceRunner *runner = r.panel.sequenceRunner();
    QVERIFY(runner
                ->start({SequenceStep{QStringLiteral("a"), 500.0, 0},
                         SequenceStep{QStringLiteral("b"), 900.0, 0}})
                .ok());
    QVERIFY(r.controller.waitForReceived(">ma 5000"));
    r.controller.clearReceived();

    Answerer answer(button);
    r.window.close();
    QCOMPARE(answer.texts, QStringList({QStringLiteral("A sequence run is under way.")}));
    QCOMPARE(r.window.isVisible(), !closes);
    QCOMPARE(r.afterwards(), sent);
    // Stop ends the run: nothing more goes out for it.
    QCOMPARE(runner->isRunning(), sent.isEmpty());
}

void TestClosing::unsavedEditsKeptStopNotSent()
{
    Rig r;
    QVERIFY(r.ready());
    r.startMove();
    // The sequence window's question: the operator chose to stay.
    int asked = 0;
    r.window.setCloseCheck([&asked] {
        ++asked;
        return false;
    });
    Answerer answer(QStringLiteral("pushButton_StopAndQuit"));
    r.window.close();
    QCOMPARE(answer.texts.size(), 1);
    QCOMPARE(asked, 1);
    QVERIFY(r.window.isVisible());
    // The Stop goes out only with a panel that really closes.
    QCOMPARE(r.afterwards(), QByteArray());
}

void TestClosing::boxesLeftEditedSendNothing_data()
{
    QTest::addColumn<bool>("openLoop");
    QTest::newRow("target box") << false;
    QTest::newRow("duration box") << true;
}

void TestClosing::boxesLeftEditedSendNothing()
{
    QFETCH(bool, openLoop);
    Rig r;
    QVERIFY(r.ready());
    QAbstractSpinBox *box = r.ui()->doubleSpinBox_Position;
    if (openLoop) {
        r.ui()->tabWidget_LoopMode->setCurrentIndex(1);
        QVERIFY(r.controller.waitForReceived(">cycle 1\r"));
        r.controller.clearReceived();
        box = r.ui()->spinBox_Duration;
    }
    box->setFocus(Qt::MouseFocusReason);
    box->selectAll();
    QTest::keyClicks(box, QStringLiteral("1234"));
    Answerer answer(QStringLiteral("pushButton_Cancel"));
    r.window.close();
    QVERIFY(!r.window.isVisible());
    QCOMPARE(r.afterwards(), QByteArray());
}

QTEST_MAIN(TestClosing)
#include "tst_closing.moc"
