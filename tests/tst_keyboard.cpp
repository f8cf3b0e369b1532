// The panel by keyboard and menu: Tab reaches every usable control in the order the eye reads
// them, the menus' shortcuts work wherever the focus is, and File > Save console... writes the
// console whole, after the provenance block, under a name that says when.

#include "console.h"
#include "activewindow.h"
#include "fakecontroller.h"
#include "probe.h"
#include "savelocation.h"
#include "statusview.h"

#include <QAction>
#include <QApplication>
#include <QFileDialog>
#include <QMenu>
#include <QRegularExpression>
#include <QTabBar>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

namespace {

struct Rig {
    FakeController controller;
    Panel panel;
    MainWindow &window = panel.window();
    MainWindowProbe probe{window};

    Ui::MainWindow *ui() const { return probe.ui(); }

    bool ready()
    {
        if (!connectActiveWindow(probe, controller))
            return false;
        QTest::mouseClick(ui()->pushButton_home, Qt::LeftButton);
        if (!controller.waitForReceived(">stop\r>home\r"))
            return false;
        // The stage reports itself home: at rest, so closing asks nothing.
        controller.send("_cp 0.000 um\r");
        return probe.homed() && QTest::qWaitFor([this] {
                   return !window.statusView()->activityTracker()->isBusy();
               });
    }

    // The controls Tab visits from the first, in order, once round.
    QStringList tabChain(QWidget *first)
    {
        first->setFocus(Qt::TabFocusReason);
        QStringList names;
        for (int i = 0; i < 40; ++i) {
            QWidget *focus = QApplication::focusWidget();
            // The tab widget hands its focus to its tab bar.
            if (focus && focus->inherits("QTabBar"))
                focus = focus->parentWidget();
            const QString name = focus ? focus->objectName() : QStringLiteral("<none>");
            if (!names.isEmpty() && name == names.first())
                break;
            names << name;
            visited << focus;
            QTest::keyClick(focus ? focus : &window, Qt::Key_Tab);
        }
        return names;
    }
    QList<QWidget *> visited;
};

// Whether b comes after a as the eye reads the window: on a lower row, or further right on the
// same one.
bool readsAfter(const QWidget *a, const QWidget *b, const QWidget *window)
{
    const QRect ra(a->mapTo(window, QPoint(0, 0)), a->size());
    const QRect rb(b->mapTo(window, QPoint(0, 0)), b->size());
    const bool sameRow = rb.top() < ra.bottom() && ra.top() < rb.bottom();
    return sameRow ? rb.left() > ra.left() : rb.top() >= ra.top();
}

} // namespace

class TestKeyboard : public QObject {
    Q_OBJECT

private slots:
    void tabOrder_data();
    void tabOrder();
    void shortcuts_data();
    void shortcuts();
    void quitByKeyFromAnywhere_data();
    void quitByKeyFromAnywhere();
    void saveConsole();
    void saveConsoleFailsWhole();
};

void TestKeyboard::tabOrder_data()
{
    QTest::addColumn<bool>("openLoop");
    QTest::addColumn<bool>("console");
    QTest::addColumn<QStringList>("chain");

    QTest::newRow("closed loop") << false << false
                                 << QStringList{
                                        "pushButton_home",        "pushButton_AutoCalibrate",
                                        "pushButton_SliderMinus", "horizontalSlider",
                                        "pushButton_SliderPlus",  "pushButton_stop",
                                        "tabWidget_LoopMode",     "doubleSpinBox_Position",
                                        "doubleSpinBox_mrstp",    "pushButton_Console"};
    QTest::newRow("open loop") << true << false
                               << QStringList{"pushButton_SliderMinus", "pushButton_SliderPlus",
                                              "pushButton_stop",        "tabWidget_LoopMode",
                                              "spinBox_Duration",       "pushButton_Bi",
                                              "spinBox_Interval",       "spinBox_Cycle",
                                              "pushButton_Console"};
    QTest::newRow("closed loop, console shown") << false << true
                                                << QStringList{"pushButton_home",
                                                               "pushButton_AutoCalibrate",
                                                               "pushButton_SliderMinus",
                                                               "horizontalSlider",
                                                               "pushButton_SliderPlus",
                                                               "pushButton_stop",
                                                               "tabWidget_LoopMode",
                                                               "doubleSpinBox_Position",
                                                               "doubleSpinBox_mrstp",
                                                               "pushButton_Console",
                                                               "Console"};
}

void TestKeyboard::tabOrder()
{
    QFETCH(bool, openLoop);
    QFETCH(bool, console);
    QFETCH(QStringList, chain);

    Rig r;
    QVERIFY(r.ready());
    if (openLoop)
        r.ui()->tabWidget_LoopMode->setCurrentIndex(1);
    if (console) {
        r.ui()->pushButton_Console->click();
        r.probe.console()->setObjectName(QStringLiteral("Console"));
    }
    QWidget *first = openLoop ? r.ui()->pushButton_SliderMinus : r.ui()->pushButton_home;
    QCOMPARE(r.tabChain(first), chain);
    // The relative step is one of them, for a keyboard alone.
    if (!openLoop)
        QVERIFY(r.visited.contains(r.ui()->doubleSpinBox_mrstp));
    for (int i = 1; i < r.visited.size(); ++i)
        QVERIFY2(readsAfter(r.visited[i - 1], r.visited[i], &r.window),
                 qPrintable(chain.value(i - 1) + QStringLiteral(" before ") + chain.value(i)));
}

void TestKeyboard::shortcuts_data()
{
    QTest::addColumn<QKeySequence>("keys");
    QTest::addColumn<QString>("action");
    QTest::addColumn<QString>("menu");

    QTest::newRow("Connect") << QKeySequence("Ctrl+O") << "actionConnect"
                             << "menuFile";
    QTest::newRow("Console") << QKeySequence("Ctrl+Shift+C") << "actionConsole"
                             << "menuView";
    QTest::newRow("Trace") << QKeySequence("Ctrl+Shift+T") << "actionTrace"
                           << "menuView";
    QTest::newRow("Sequence") << QKeySequence("Ctrl+Shift+S") << "actionSequence"
                              << "menuView";
}

void TestKeyboard::shortcuts()
{
    QFETCH(QKeySequence, keys);
    QFETCH(QString, action);
    QFETCH(QString, menu);

    Panel panel;
    MainWindow &window = panel.window();
    window.show();
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    auto *found = window.findChild<QAction *>(action);
    QVERIFY(found);
    QCOMPARE(found->shortcut(), keys);
    // The menu shows the action, and with it the shortcut.
    QVERIFY(window.findChild<QMenu *>(menu)->actions().contains(found));
    QSignalSpy triggered(found, &QAction::triggered);
    QTest::keySequence(&window, keys);
    QCOMPARE(triggered.count(), 1);
    if (action == QLatin1String("actionConsole")) {
        QVERIFY(MainWindowProbe(window).console()->isVisible());
        QVERIFY(found->isChecked());
        QTest::keySequence(&window, keys);
        QVERIFY(!MainWindowProbe(window).console()->isVisible());
        QVERIFY(!found->isChecked());
    }
}

void TestKeyboard::quitByKeyFromAnywhere_data()
{
    QTest::addColumn<QString>("focus");
    QTest::newRow("window") << QString();
    QTest::newRow("target box") << QStringLiteral("doubleSpinBox_Position");
    QTest::newRow("console") << QStringLiteral("console");
}

void TestKeyboard::quitByKeyFromAnywhere()
{
    QFETCH(QString, focus);
    Rig r;
    QVERIFY(r.ready());
    r.controller.clearReceived();
    QWidget *target = &r.window;
    if (focus == QLatin1String("console")) {
        r.ui()->pushButton_Console->click();
        target = r.probe.console();
    } else if (!focus.isEmpty()) {
        target = r.window.findChild<QWidget *>(focus);
    }
    target->setFocus();
    QTest::keyClick(target, Qt::Key_Q, Qt::ControlModifier);
    QVERIFY(!r.window.isVisible());
    // Nothing was typed into the console, nothing sent.
    QTest::qWait(50);
    QCOMPARE(r.controller.received().replace(">cp\r", QByteArray()), QByteArray());
}

void TestKeyboard::saveConsole()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    SaveLocation::remember(dir.filePath(QStringLiteral("earlier.csv")));
    Rig r;
    QVERIFY(r.ready());
    r.probe.console()->putData("_cp 12.5 um\r");

    // The dialog proposes a dated name in the folder used last; the operator takes another.
    const QString chosen = dir.filePath(QStringLiteral("run 7.txt"));
    QString proposed;
    QTimer answer;
    answer.setInterval(5);
    connect(&answer, &QTimer::timeout, [&] {
        auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        answer.stop();
        proposed = dialog->selectedFiles().value(0);
        dialog->selectFile(chosen);
        QMetaObject::invokeMethod(dialog, "accept");
    });
    answer.start();
    r.ui()->actionSaveConsole->trigger();
    QTRY_VERIFY(!proposed.isEmpty());
    QCOMPARE(QFileInfo(proposed).absolutePath(), QFileInfo(dir.path()).absoluteFilePath());
    QVERIFY2(QRegularExpression(QStringLiteral(R"(^console-\d{4}-\d\d-\d\dT\d\d-\d\d-\d\d\.txt$)"))
                 .match(QFileInfo(proposed).fileName())
                 .hasMatch(),
             qPrintable(proposed));

    QFile file(chosen);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray content = file.readAll();
    QVERIFY2(content.startsWith("# program: "), content.constData());
    QVERIFY(content.contains("# port: " + r.controller.portPath().toUtf8() + '\n'));
    QVERIFY(content.contains("# model: DVX1901\n"));
    // The console's text follows, each of its lines on a line of the file.
    QVERIFY2(content.contains("\n>inform\n>status\n"), content.constData());
    QVERIFY2(content.endsWith(">stop\n>home\n_cp 12.5 um\n"), content.constData());
}

void TestKeyboard::saveConsoleFailsWhole()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    Rig r;
    r.probe.console()->putData(">status\r");
    const QString path = dir.filePath(QStringLiteral("missing/console.txt"));
    const QString error = r.window.saveConsole(path);
    QVERIFY2(error.startsWith(QStringLiteral("Cannot write ") + path), qPrintable(error));
    QVERIFY(!QFile::exists(path));

    // An existing file is replaced whole, or kept as it was.
    const QString kept = dir.filePath(QStringLiteral("kept.txt"));
    QFile old(kept);
    QVERIFY(old.open(QIODevice::WriteOnly));
    old.write("old\n");
    old.close();
    QVERIFY(r.window.saveConsole(kept).isEmpty());
    QFile now(kept);
    QVERIFY(now.open(QIODevice::ReadOnly));
    const QByteArray content = now.readAll();
    QVERIFY(content.startsWith("# program: "));
    QVERIFY(content.endsWith("\n>status\n"));
    QVERIFY(!content.contains("old\n"));
}

QTEST_MAIN(TestKeyboard)
#include "tst_keyboard.moc"
