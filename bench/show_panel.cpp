// Drives the real panel against dvxsim on the display it is given and keeps it up for a while,
// for the screenshots in docs/ (scripts/screenshots.sh takes them under Xvfb):
//   show_panel connected [SECONDS]   connected, homed, moved, the console shown
//   show_panel refusal [SECONDS]     a target beyond the travel typed and refused
// Fonts and scale come from the environment (QT_FONT_DPI, QT_SCALE_FACTOR).

#include "console.h"
#include "probe.h"

#include <QApplication>
#include <QDir>
#include <QDoubleSpinBox>
#include <QProcess>
#include <QTimer>
#include <QtTest>

#include <cstdio>

namespace {

QString startSimulator(QProcess &sim)
{
    sim.start(QStringLiteral(MIRASTELLON_DVXSIM), QStringList());
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

    QProcess sim;
    const QString port = startSimulator(sim);
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
