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
    measureButton = new QPushButton(tr("Measure\u2026"));
    measureButton->setObjectName(QStringLiteral("pushButton_Characterise"));
    measureButton->setToolTip(tr("Opens the step characterisation, which measures how far one "
                                 "open-loop step goes"));
    moveButton = new QPushButton(tr("Move \u2248"));
    moveButton->setObjectName(QStringLiteral("pushButton_OpenLoopMove"));
    distanceBox = new QDoubleSpinBox;
    distanceBox->setObjectName(QStringLiteral("doubleSpinBox_OpenLoopMove"));
    distanceBox->setDecimals(2);
    distanceBox->setRange(-6500.0, 6500.0);
    distanceBox->setValue(100.0);
    distanceBox->setToolTip(tr("Distance in \u00b5m, negative in reverse; Enter moves"));
    outcomeLabel = new QLabel;
    outcomeLabel->setObjectName(QStringLiteral("label_OpenLoopMove"));
    outcomeLabel->setTextFormat(Qt::PlainText);
    outcomeLabel->setWordWrap(true);

    auto *layout = new QGridLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(stepLabel, 0, 0, 1, 3);
    layout->addWidget(measureButton, 0, 3);
    layout->addWidget(moveButton, 1, 0);
    layout->addWidget(distanceBox, 1, 1);
    layout->addWidget(new QLabel(QStringLiteral("\u00b5m")), 1, 2);
    layout->addWidget(outcomeLabel, 2, 0, 1, 4);
    layout->setColumnStretch(2, 1);

    connect(measureButton, &QPushButton::clicked, this,
            &OpenLoopMovePanel::characterisationRequested);
    connect(moveButton, &QPushButton::clicked, this, &OpenLoopMovePanel::startMove);
    connect(distanceBox, &QDoubleSpinBox::editingFinished, this, [this] {
        if (distanceBox->hasFocus() && moveButton->isEnabled())
            startMove();
    });
    connect(measured, &MeasuredSteps::changed, this, &OpenLoopMovePanel::update);
    connect(stage, &Stage::stateChanged, this, &OpenLoopMovePanel::update);
    connect(move, &OpenLoopMove::started, this, [this] {
        outcomeLabel->setText(tr("Moving\u2026"));
        update();
    });
    connect(move, &OpenLoopMove::finished, this, &OpenLoopMovePanel::showOutcome);
    update();
}

void OpenLoopMovePanel::update()
{
    if (!measured || !move || !stage)
        return;
    stepLabel->setText(measured->summary());
    const std::optional<StepMeasurement> &m = measured->measurement();
    stepLabel->setToolTip(m ? tr("Measured with duration %1 ms, interval %2 ms and cycle %3; it "
                                 "holds until the link closes")
                                  .arg(m->durationMs)
                                  .arg(m->intervalMs)
                                  .arg(m->cycles)
                            : tr("Measure… runs a step characterisation"));
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
    if (!started.ok())
        outcomeLabel->setText(started.message);
    distanceBox->clearFocus();
}

void OpenLoopMovePanel::showOutcome(const OpenLoopMoveOutcome &outcome, const QString &error)
{
    outcomeLabel->setText(
        error.isEmpty()
            ? outcome.text()
            : tr("Move \u2248 %1 ended: %2").arg(Micrometres::text(outcome.requestedUm), error));
    update();
}
