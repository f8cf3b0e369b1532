// Drives the real panel against dvxsim on the display it is given and keeps it up for a while,
// for the screenshots in docs/ (scripts/screenshots.sh takes them under Xvfb):
//   show_panel connected [SECONDS]   connected, homed, moved, the console shown
//   show_panel refusal [SECONDS]     a target beyond the travel typed and refused
//   show_panel characterisation [SECONDS]
//                                    a stick-slip stage measured, then a move of about 100 µm
// Fonts and scale come from the environment (QT_FONT_DPI, QT_SCALE_FACTOR).

#include "console.h"
#include "probe.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QDoubleSpinBox>
#include <QProcess>
#include <QSpinBox>
#include <QTimer>
#include <QtTest>

#include <cstdio>

namespace {

QString startSimulator(QProcess &sim, const QStringList &arguments)
{
    sim.start(QStringLiteral(MIRASTELLON_DVXSIM), arguments);
    const QByteArray prefix("dvxsim: listening on ");
    if (!QTest::qWaitFor([&] { return sim.canReadLine(); }, 5000))
        return QString();
    const QByteArray line = sim.readLine().trimmed();
    return line.startsWith(prefix) ? QString::fromLocal8Bit(line.mid(prefix.size())) : QString();
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    const QString scene = args.value(1, QStringLiteral("connected"));
    const int seconds = args.value(2, QStringLiteral("15")).toInt();

    // A stage whose steps go further forward than back, as a real stick-slip drive's do.
    const QStringList stickSlip = {QStringLiteral("--step-nm-forward"),
                                   QStringLiteral("830"),
                                   QStringLiteral("--step-nm-reverse"),
                                   QStringLiteral("710"),
                                   QStringLiteral("--step-noise-pct"),
                                   QStringLiteral("5"),
                                   QStringLiteral("--reversal-loss-steps"),
                                   QStringLiteral("3"),
                                   QStringLiteral("--seed"),
                                   QStringLiteral("26")};
    QProcess sim;
    const QString port =
        startSimulator(sim, scene == QLatin1String("characterisation") ? stickSlip : QStringList());
    if (port.isEmpty()) {
        std::fprintf(stderr, "show_panel: dvxsim did not start\n");
        return 1;
    }
    Panel panel;
    MainWindow &window = panel.window();
    MainWindowProbe probe(window);
    Ui::MainWindow *ui = probe.ui();
    window.show();
    panel.preselectPort(port);
    ui->actionConnect->trigger();
    if (!QTest::qWaitFor([&] { return ui->pushButton_home->isEnabled(); }, 5000))
        return 1;
    QTest::mouseClick(ui->pushButton_home, Qt::LeftButton);
    QTest::qWait(1500);

    QDoubleSpinBox *target = ui->doubleSpinBox_Position;
    if (scene == QLatin1String("refusal")) {
        // Scripting on, as a lab panel often has it: less room beside the notice.
        QString error;
        panel.startControlServer(QDir::temp().filePath(QStringLiteral("mirastellon-show.sock")),
                                 &error);
        // Late enough that the notice is still up when the screenshot is taken.
        QTimer::singleShot(4500, target, [target] {
            target->setFocus(Qt::MouseFocusReason);
            target->selectAll();
            QTest::keyClicks(target, QStringLiteral("9999"));
            QTest::keyClick(target, Qt::Key_Return);
        });
    } else if (scene == QLatin1String("characterisation")) {
        ui->tabWidget_LoopMode->setCurrentIndex(1);
        window.move(0, 0);
        // Short, quick bursts, typed in as an operator would.
        for (QSpinBox *box : {ui->spinBox_Duration, ui->spinBox_Interval}) {
            box->setFocus(Qt::MouseFocusReason);
            box->selectAll();
            QTest::keyClicks(box, box == ui->spinBox_Duration ? QStringLiteral("10")
                                                              : QStringLiteral("1"));
            QTest::keyClick(box, Qt::Key_Return);
        }
        QTest::qWait(300);
        window.findChild<QAction *>(QStringLiteral("actionStepCharacterisation"))->trigger();
        auto *measure = window.findChild<QAbstractButton *>(QStringLiteral("pushButton_Start"));
        if (!measure)
            return 1;
        QWidget *run = measure->window();
        QTest::qWait(300);
        run->move(window.frameGeometry().right() + 16, window.frameGeometry().top());
        run->resize(run->width(), run->height() + 60);
        QTest::mouseClick(measure, Qt::LeftButton);
        auto *stop = run->findChild<QWidget *>(QStringLiteral("pushButton_Stop"));
        QTest::qWait(500);
        if (!QTest::qWaitFor([stop] { return !stop->isEnabled(); }, 60000))
            return 1;
        auto *distance =
            window.findChild<QDoubleSpinBox *>(QStringLiteral("doubleSpinBox_OpenLoopMove"));
        distance->setValue(100.0);
        QTest::mouseClick(
            window.findChild<QAbstractButton *>(QStringLiteral("pushButton_OpenLoopMove")),
            Qt::LeftButton);
    } else {
        QTest::mouseClick(ui->pushButton_Console, Qt::LeftButton);
        target->setFocus(Qt::MouseFocusReason);
        target->selectAll();
        QTest::keyClicks(target, QStringLiteral("1000"));
        QTest::keyClick(target, Qt::Key_Return);
        QTest::qWait(1500);
        QTest::mouseClick(ui->pushButton_SliderPlus, Qt::LeftButton);
    }
    QTimer::singleShot(seconds * 1000, &app, &QCoreApplication::quit);
    const int result = QApplication::exec();
    sim.terminate();
    sim.waitForFinished(3000);
    return result;
}
