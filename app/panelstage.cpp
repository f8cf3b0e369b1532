#include "panelstage.h"

#include "console.h"
#include "fastsampler.h"
#include "mainwindow.h"
#include "settingsdialog.h"
#include "ui_mainwindow.h"

#include <QAction>

#include <cmath>

namespace {
CommandResult unavailable(const QString &message)
{
    return CommandResult::refused(CommandResult::Code::Unavailable, message);
}
CommandResult badArgument(const QString &message)
{
    return CommandResult::refused(CommandResult::Code::BadArgument, message);
}
} // namespace

PanelStage::PanelStage(MainWindow *window) : Stage(window), w(window) {}

PanelState PanelStage::state() const
{
    return w->panelState();
}

std::optional<CommandResult> PanelStage::refuseUnlessConnected() const
{
    if (!w->serialPort->isOpen())
        return CommandResult::refused(CommandResult::Code::NotConnected,
                                      tr("The panel is not connected to a controller"));
    return std::nullopt;
}

CommandResult PanelStage::connectPort(const QString &path)
{
    if (!w->ui->actionConnect->isEnabled())
        return unavailable(tr("The panel is already connected"));
    if (!path.isEmpty())
        w->preselectPort(path);
    w->ui->actionConnect->trigger();
    if (!w->serialPort->isOpen())
        return unavailable(tr("Cannot open the port"));
    return CommandResult::done();
}

CommandResult PanelStage::disconnectPort()
{
    if (!w->ui->actionDisconnect->isEnabled())
        return CommandResult::refused(CommandResult::Code::NotConnected,
                                      tr("The panel is not connected to a controller"));
    w->ui->actionDisconnect->trigger();
    return CommandResult::done();
}

CommandResult PanelStage::home()
{
    if (auto refused = refuseUnlessConnected())
        return *refused;
    if (!w->controlUsable(w->ui->pushButton_home))
        return unavailable(tr("Home is not available now (it needs an identified controller on "
                              "the closed-loop page)"));
    w->on_pushButton_home_clicked();
    return CommandResult::done();
}

CommandResult PanelStage::stop()
{
    if (auto refused = refuseUnlessConnected())
        return *refused;
    if (!w->ui->pushButton_stop->isEnabled())
        return unavailable(tr("Stop is not available now"));
    w->on_pushButton_stop_clicked();
    return CommandResult::done();
}

CommandResult PanelStage::moveTo(double targetUm)
{
    if (auto refused = refuseUnlessConnected())
        return *refused;
    QDoubleSpinBox *box = w->ui->doubleSpinBox_Position;
    if (!w->closedLoop || !w->controlUsable(box))
        return unavailable(tr("The target box is not available now (it needs the closed-loop "
                              "page and a homed stage)"));
    if (!std::isfinite(targetUm) || targetUm < box->minimum() || targetUm > box->maximum())
        return badArgument(tr("The target must lie between %1 and %2 \u00b5m")
                               .arg(box->minimum())
                               .arg(box->maximum()));
    if (targetUm < w->sliderMin || targetUm > w->sliderMax)
        return badArgument(tr("The target %1 \u00b5m lies beyond the travel (%2 to %3 \u00b5m)")
                               .arg(targetUm)
                               .arg(w->sliderMin)
                               .arg(w->sliderMax));
    box->setValue(targetUm);
    w->on_doubleSpinBox_Position_editingFinished();
    return CommandResult::done();
}

CommandResult PanelStage::moveBy(double stepUm)
{
    if (auto refused = refuseUnlessConnected())
        return *refused;
    const bool forward = stepUm >= 0.0;
    QWidget *button = forward ? w->ui->pushButton_SliderPlus : w->ui->pushButton_SliderMinus;
    if (!w->closedLoop || !w->controlUsable(button))
        return unavailable(tr("Relative moves are not available now (they need the closed-loop "
                              "page and a homed stage)"));
    QDoubleSpinBox *box = w->ui->doubleSpinBox_mrstp;
    const double step = std::abs(stepUm);
    if (!std::isfinite(stepUm) || step < box->minimum() || step > box->maximum())
        return badArgument(tr("The step must lie between %1 and %2 \u00b5m")
                               .arg(box->minimum())
                               .arg(box->maximum()));
    box->setValue(step);
    if (forward)
        w->on_pushButton_SliderPlus_clicked();
    else
        w->on_pushButton_SliderMinus_clicked();
    return CommandResult::done();
}

CommandResult PanelStage::setOpenLoop(std::optional<int> durationMs, std::optional<int> intervalMs,
                                      std::optional<int> cycles)
{
    if (auto refused = refuseUnlessConnected())
        return *refused;
    if (w->closedLoop)
        return unavailable(tr("Open-loop parameters need the open-loop page"));
    const struct {
        std::optional<int> value;
        QSpinBox *box;
        void (MainWindow::*slot)();
    } fields[] = {
        {durationMs, w->ui->spinBox_Duration, &MainWindow::on_spinBox_Duration_editingFinished},
        {intervalMs, w->ui->spinBox_Interval, &MainWindow::on_spinBox_Interval_editingFinished},
        {cycles, w->ui->spinBox_Cycle, &MainWindow::on_spinBox_Cycle_editingFinished},
    };
    for (const auto &field : fields) {
        if (field.value &&
            (*field.value < field.box->minimum() || *field.value > field.box->maximum()))
            return badArgument(tr("%1 must lie between %2 and %3")
                                   .arg(field.box->objectName().section(QLatin1Char('_'), 1))
                                   .arg(field.box->minimum())
                                   .arg(field.box->maximum()));
    }
    for (const auto &field : fields) {
        if (!field.value)
            continue;
        field.box->setValue(*field.value);
        (w->*field.slot)();
    }
    return CommandResult::done();
}

CommandResult PanelStage::step(bool forward)
{
    if (auto refused = refuseUnlessConnected())
        return *refused;
    QWidget *button = forward ? w->ui->pushButton_SliderPlus : w->ui->pushButton_SliderMinus;
    if (w->closedLoop || !w->controlUsable(button))
        return unavailable(tr("Open-loop steps need the open-loop page"));
    if (forward)
        w->on_pushButton_SliderPlus_clicked();
    else
        w->on_pushButton_SliderMinus_clicked();
    return CommandResult::done();
}

CommandResult PanelStage::bi()
{
    if (auto refused = refuseUnlessConnected())
        return *refused;
    if (w->closedLoop || !w->ui->pushButton_Bi->isEnabled())
        return unavailable(tr("Bi needs the open-loop page"));
    w->on_pushButton_Bi_clicked();
    return CommandResult::done();
}

CommandResult PanelStage::autoCalibrate()
{
    if (auto refused = refuseUnlessConnected())
        return *refused;
    if (!w->controlUsable(w->ui->pushButton_AutoCalibrate))
        return unavailable(tr("AutoCalibrate is not available now (it needs an identified "
                              "controller on the closed-loop page)"));
    w->on_pushButton_AutoCalibrate_clicked();
    return CommandResult::done();
}

CommandResult PanelStage::sendLine(const QString &line)
{
    if (auto refused = refuseUnlessConnected())
        return *refused;
    if (line.contains(QLatin1Char('\r')) || line.contains(QLatin1Char('\n')))
        return badArgument(tr("A console line holds no line break"));
    if (!w->console->submitLine(line))
        return badArgument(tr("The line is longer than the controller takes"));
    return CommandResult::done();
}

void PanelStage::requestSampling(const void *requester, int intervalMs)
{
    w->fastSampler->request(requester, intervalMs);
}

void PanelStage::setMoveControlsLocked(bool locked)
{
    w->setMoveControlsLocked(locked);
}
