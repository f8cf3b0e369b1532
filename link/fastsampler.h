#pragma once

#include <QHash>
#include <QObject>

class QTimer;

// Position sampling faster than the 500 ms poll, for whoever asks (the trace, a waiting move).
// It has a timer of its own and never touches the poll or the identification check that runs on
// it. The fastest request wins; it runs only while allowed (a controller identified and the
// closed-loop page showing).
class FastSampler : public QObject {
    Q_OBJECT

public:
    explicit FastSampler(QObject *parent = nullptr);

    // intervalMs <= 0 withdraws the requester's request.
    void request(const void *requester, int intervalMs);
    void setAllowed(bool allowed);

    // Asked for every position line: kept at hand rather than asked of the timer.
    bool isRunning() const { return running; }
    // The interval in force, or 0 when nobody asks.
    int intervalMs() const;

signals:
    // Time to write one position request.
    void sampleDue();

private:
    void update();

    QHash<const void *, int> requests;
    bool allowed = false;
    QTimer *timer = nullptr;
    bool running = false;
};
