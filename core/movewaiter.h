#pragma once

#include "clock.h"
#include "settling.h"
#include "stage.h"

#include <QObject>
#include <QPointer>

class QTimer;

// Waits for a commanded move to arrive: samples faster than the poll while it waits, and reports
// once the position has settled (Settling's rule), when the timeout passes, when the controller
// refuses the move, or when the link goes away. A waiting move from the control socket and a
// sequence step both use it. With a ManualClock, call checkTimeout() after advancing it.
class MoveWaiter : public QObject {
    Q_OBJECT

public:
    static constexpr int kSampleIntervalMs = 50;

    explicit MoveWaiter(Stage *stage, Clock::Source clock = {}, QObject *parent = nullptr);
    ~MoveWaiter() override;

    // Starts waiting for targetUm. The move itself is commanded by the caller, before or after.
    void start(double targetUm, double toleranceUm, int timeoutMs);
    void cancel();
    bool isWaiting() const { return waiting; }
    double targetUm() const { return tracker.targetUm(); }

public slots:
    void checkTimeout();

signals:
    void settled(double positionUm, double elapsedS);
    void timedOut(double lastPositionUm);
    void linkLost(const QString &reason);
    // The controller answered the move with an error: it will not go there.
    void refused(const QString &reason);

private:
    void onPosition(double positionUm);
    void onEvent(const PanelEvent &event);
    void finish();

    // The panel may go first when the window closes with a move still awaited.
    QPointer<Stage> stage;
    Clock::Source clock;
    QTimer *timeoutTimer = nullptr;
    QMetaObject::Connection positions;
    Settling::Tracker tracker;
    bool waiting = false;
    qint64 startedMs = 0;
    int timeoutMs = 0;
    double lastPositionUm = 0.0;
};
