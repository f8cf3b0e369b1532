#pragma once

#include "settling.h"
#include "stage.h"

#include <QObject>
#include <QPointer>

#include <functional>

class QTimer;

// Waits for a commanded move to arrive: samples faster than the poll while it waits, and reports
// once the position has settled (Settling's rule), when the timeout passes, or when the link goes
// away. A waiting move from the control socket and a sequence step both use it. The clock is
// injectable so tests can step time; with a fake clock, call checkTimeout() after advancing it.
class MoveWaiter : public QObject {
    Q_OBJECT

public:
    using Clock = std::function<qint64()>; // milliseconds, monotonic
    static constexpr int kSampleIntervalMs = 50;

    explicit MoveWaiter(Stage *stage, Clock clock = {}, QObject *parent = nullptr);
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

private:
    void onPosition(double positionUm);
    void onEvent(const PanelEvent &event);
    void finish();

    // Guarded: the panel may go before a waiter its capability still holds.
    QPointer<Stage> stage;
    Clock clock;
    QTimer *timeoutTimer = nullptr;
    Settling::Tracker tracker;
    bool waiting = false;
    qint64 startedMs = 0;
    int timeoutMs = 0;
    double lastPositionUm = 0.0;
};
