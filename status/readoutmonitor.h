#pragma once

#include "clock.h"
#include "stage.h"

#include <QObject>
#include <QString>

class QTimer;

// Tells whether the position readout shows a live value: live only while position replies keep
// arriving, stale on the open-loop page (nothing polls there), after a disconnect, and after two
// poll intervals without a reply; and whether it shows a position read at all. The clock is
// injectable; with a fake one, call check() after advancing it.
class ReadoutMonitor : public QObject {
    Q_OBJECT

public:
    ReadoutMonitor(Stage *stage, int pollIntervalMs, Clock::Source clock = {},
                   QObject *parent = nullptr);

    bool isLive() const { return live; }
    // Why the value is not live; empty while it is.
    QString reason() const { return staleReason; }
    // Whether any position was read since the panel started; until then the readout shows only
    // the form's placeholder.
    bool hasReading() const { return everRead; }

public slots:
    void check();

signals:
    void changed(bool live, const QString &reason);

private:
    void onPosition();
    void set(bool nowLive, const QString &why);

    Stage *stage;
    int pollIntervalMs;
    Clock::Source clock;
    QTimer *timer;
    bool live = false;
    QString staleReason;
    // When the last reply arrived, or when the link last began to be polled; -1: no reply yet.
    qint64 lastReplyMs = -1;
    qint64 pollingSinceMs = -1;
    bool wasPolled = false;
    bool everRead = false;
};
