#include "measuredsteps.h"

#include "characterisationrun.h"

#include <QDateTime>

MeasuredSteps::MeasuredSteps(Stage *s, QObject *parent) : QObject(parent), stage(s)
{
    connect(stage, &Stage::panelEvent, this, &MeasuredSteps::onEvent);
}

void MeasuredSteps::follow(CharacterisationRun *run)
{
    connect(run, &CharacterisationRun::finished, this, [this, run](bool complete) {
        if (!complete)
            return;
        StepMeasurement m;
        m.result = run->result();
        if (!m.result.usable())
            return;
        m.measuredUtcMs = run->startedUtcMs();
        m.durationMs = run->stateAtStart().durationMs;
        m.intervalMs = run->stateAtStart().intervalMs;
        m.cycles = run->stateAtStart().cycles;
        keep(m);
    });
}

void MeasuredSteps::keep(const StepMeasurement &measurement)
{
    kept = measurement;
    emit changed();
}

void MeasuredSteps::forget()
{
    if (!kept)
        return;
    kept.reset();
    emit changed();
}

QString MeasuredSteps::summary() const
{
    if (!kept)
        return tr("Step size not measured");
    return StepAnalysis::summaryText(kept->result,
                                     QDateTime::fromMSecsSinceEpoch(kept->measuredUtcMs, Qt::UTC));
}

QString MeasuredSteps::unusableReason(const PanelState &state) const
{
    if (!kept)
        return tr("No step size has been measured on this connection: run a step "
                  "characterisation first");
    if (state.durationMs != kept->durationMs || state.intervalMs != kept->intervalMs ||
        state.cycles != kept->cycles)
        return tr("The step size was measured with duration %1 ms, interval %2 ms and cycle %3; "
                  "the open-loop page now has %4 ms, %5 ms and %6. Set them back or measure "
                  "again")
            .arg(kept->durationMs)
            .arg(kept->intervalMs)
            .arg(kept->cycles)
            .arg(state.durationMs)
            .arg(state.intervalMs)
            .arg(state.cycles);
    return QString();
}

void MeasuredSteps::onEvent(const PanelEvent &event)
{
    switch (event.kind) {
    case PanelEvent::Kind::Connected:
    case PanelEvent::Kind::Disconnected:
        direction.reset();
        forget();
        break;
    case PanelEvent::Kind::Move:
    case PanelEvent::Kind::Homed:
        direction.reset();
        break;
    case PanelEvent::Kind::OpenLoopStep:
        if (event.text == QLatin1String("forward"))
            direction = StepAnalysis::Direction::Forward;
        else if (event.text == QLatin1String("reverse") || event.text == QLatin1String("bi"))
            direction = StepAnalysis::Direction::Reverse;
        break;
    default:
        break;
    }
}
