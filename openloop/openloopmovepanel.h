#pragma once

#include <QPointer>
#include <QWidget>

class MeasuredSteps;
class OpenLoopMove;
class QDoubleSpinBox;
class QLabel;
class QPushButton;
class Stage;
struct OpenLoopMoveOutcome;

// What the open-loop page adds: the step size measured on this connection ("≈ 0.83 µm/step
// forward, 0.71 reverse, measured 14:03 UTC") and "Move ≈ [x] µm" with what the last such move
// did. It only draws and forwards; the View menu's Step characterisation measures.
class OpenLoopMovePanel : public QWidget {
    Q_OBJECT

public:
    OpenLoopMovePanel(MeasuredSteps *measured, OpenLoopMove *move, Stage *stage,
                      QWidget *parent = nullptr);

private:
    void update();
    void startMove();
    void showOutcome(const OpenLoopMoveOutcome &outcome, const QString &error);

    QPointer<MeasuredSteps> measured;
    QPointer<OpenLoopMove> move;
    QPointer<Stage> stage;
    QLabel *stepLabel = nullptr;
    QPushButton *moveButton = nullptr;
    QDoubleSpinBox *distanceBox = nullptr;
    // What the last move did, until the measurement changes.
    QString outcome;
};
