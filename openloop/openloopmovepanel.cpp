#include "openloopmovepanel.h"

#include "measuredsteps.h"
#include "micrometres.h"
#include "openloopmove.h"
#include "stage.h"

#include <QDoubleSpinBox>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>

OpenLoopMovePanel::OpenLoopMovePanel(MeasuredSteps *m, OpenLoopMove *mv, Stage *s, QWidget *parent)
    : QWidget(parent), measured(m), move(mv), stage(s)
{
    stepLabel = new QLabel;
    stepLabel->setObjectName(QStringLiteral("label_StepSize"));
    stepLabel->setTextFormat(Qt::PlainText);
    moveButton = new QPushButton(tr("Move \u2248"));
    moveButton->setObjectName(QStringLiteral("pushButton_OpenLoopMove"));
    distanceBox = new QDoubleSpinBox;
    distanceBox->setObjectName(QStringLiteral("doubleSpinBox_OpenLoopMove"));
    distanceBox->setDecimals(2);
    distanceBox->setRange(-6500.0, 6500.0);
    distanceBox->setValue(100.0);
    distanceBox->setSuffix(QStringLiteral(" \u00b5m"));
    // It may be narrower than its widest value: the page must not widen the window.
    distanceBox->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    distanceBox->setToolTip(tr("Distance in \u00b5m, negative in reverse; Enter moves"));
    // Whatever the texts say, the page is never made wider or taller by them: the window keeps
    // its size, and the whole text is in the tooltip.
    stepLabel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    stepLabel->setWordWrap(true);

    // Beside the interval and the cycle: the move, and under it what the moves go by.
    auto *layout = new QGridLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(moveButton, 0, 0);
    layout->addWidget(distanceBox, 0, 1);
    layout->addWidget(stepLabel, 1, 0, 1, 2);
    layout->setColumnStretch(1, 1);

    connect(moveButton, &QPushButton::clicked, this, &OpenLoopMovePanel::startMove);
    connect(distanceBox, &QDoubleSpinBox::editingFinished, this, [this] {
        if (distanceBox->hasFocus() && moveButton->isEnabled())
            startMove();
    });
    connect(stage, &Stage::stateChanged, this, &OpenLoopMovePanel::update);
    connect(move, &OpenLoopMove::started, this, [this] {
        outcome = tr("Moving\u2026");
        update();
    });
    // A new measurement (or none, on a new link) is news again.
    connect(measured, &MeasuredSteps::changed, this, [this] {
        outcome.clear();
        update();
    });
    connect(move, &OpenLoopMove::finished, this, &OpenLoopMovePanel::showOutcome);
    update();
}

void OpenLoopMovePanel::update()
{
    if (!measured || !move || !stage)
        return;
    // The last move's outcome, while there is one, else the step the moves are planned with.
    const QString summary = measured->summary();
    stepLabel->setText(outcome.isEmpty() ? summary : outcome);
    const std::optional<StepMeasurement> &m = measured->measurement();
    const QString how = m ? tr("Measured with duration %1 ms, interval %2 ms and cycle %3; it "
                               "holds until the link closes")
                                .arg(m->durationMs)
                                .arg(m->intervalMs)
                                .arg(m->cycles)
                          : tr("View \u2192 Step characterisation\u2026 measures it");
    stepLabel->setToolTip(outcome.isEmpty() ? summary + QLatin1Char('\n') + how
                                            : outcome + QLatin1Char('\n') + summary);
    const PanelState s = stage->state();
    QString why = measured->unusableReason(s);
    if (why.isEmpty() && s.motionOwner)
        why = tr("The stage is busy: %1 holds it").arg(moverName(*s.motionOwner));
    moveButton->setEnabled(why.isEmpty() && !move->isRunning());
    distanceBox->setEnabled(why.isEmpty() && !move->isRunning());
    moveButton->setToolTip(
        why.isEmpty() ? tr("Steps the stage by about this distance with the measured step size")
                      : why);
}

void OpenLoopMovePanel::startMove()
{
    if (!move)
        return;
    const CommandResult started = move->start(distanceBox->value(), Mover::operatorMover());
    if (!started.ok()) {
        outcome = started.message;
        update();
    }
    distanceBox->clearFocus();
}

void OpenLoopMovePanel::showOutcome(const OpenLoopMoveOutcome &outcome, const QString &error)
{
    this->outcome =
        error.isEmpty()
            ? outcome.text()
            : tr("Move \u2248 %1 ended: %2").arg(Micrometres::text(outcome.requestedUm), error);
    update();
}
