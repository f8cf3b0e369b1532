#pragma once

#include "clock.h"
#include "stage.h"

#include <QObject>
#include <QString>

#include <optional>

class QTimer;

// What the stage is busy with, as far as the panel can tell from what it sent and what came back:
// homing or moving until the position settles on the target (or stops changing), calibrating
// from ">auto" until the status reply says it is done, an open-loop drive for as long as its
// parameters make it last. The clock is injectable; with a fake one, call check() after
// advancing it.
class ActivityTracker : public QObject {
    Q_OBJECT

public:
    enum class Activity { Idle, Homing, Moving, Calibrating, OpenLoopDrive };

    // A position within this distance of the target has arrived; two samples closer than it
    // show a stage at rest.
    static constexpr double kArrivalUm = 0.5;
    // A stage that rests this long short of its target is taken to have stopped there.
    static constexpr qint64 kGiveUpMs = 3000;

    explicit ActivityTracker(Stage *stage, Clock::Source clock = {}, QObject *parent = nullptr);

    Activity activity() const { return current; }
    bool isBusy() const { return current != Activity::Idle; }
    static QString text(Activity activity);

    // How long one open-loop step of the given parameters drives the stage.
    static qint64 openLoopStepMs(int durationMs, int intervalMs, int cycles);

public slots:
    void check();

signals:
    void activityChanged(ActivityTracker::Activity activity);

private:
    void onEvent(const PanelEvent &event);
    void onTarget(double targetUm);
    void onPosition(double positionUm);
    void onState();
    void update();

    Stage *stage;
    Clock::Source clock;
    QTimer *driveTimer;
    Activity current = Activity::Idle;

    bool homing = false;
    bool calibrating = false;
    std::optional<double> target;
    std::optional<double> lastPosition;
    bool positionChanging = false;
    qint64 restingSinceMs = -1;
    qint64 driveUntilMs = -1;
    int durationMs = 100;
    int intervalMs = 500;
    int cycles = 1;
};
