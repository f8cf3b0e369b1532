#pragma once

#include "clock.h"
#include "settling.h"
#include "stage.h"

#include <QObject>
#include <QPointer>

#include <optional>

class QTimer;

// How a characterisation run or an open-loop move ended.
enum class OpenLoopEnding {
    None,
    Complete,
    // Stop, from its window, Esc, the main window or anyone else.
    Stopped,
    LinkLost,
    ControllerError,
    LeftSpan,
    NoPositionReply,
    // A step or a position request was refused, a position lay where nothing may be sent, or the
    // panel left the open-loop page.
    Refused,
};

// Reads the position of a stage in open loop, where nothing polls it: one explicit request at a
// time, each to be answered within kReplyTimeoutMs, and on demand a series of them until the
// stage has come to rest. It never asks twice for one answer. With a ManualClock, call tick()
// after advancing it.
class OpenLoopProbe : public QObject {
    Q_OBJECT

public:
    static constexpr int kReplyTimeoutMs = 1000;
    static constexpr int kSampleIntervalMs = 50;

    explicit OpenLoopProbe(Stage *stage, Clock::Source clock = {}, QObject *parent = nullptr);

    // One reading, asked for after delayMs.
    void readAfter(int delayMs);
    // Samples from now on; once driveMs have passed, until Settling's count of samples in a row
    // lie within toleranceUm of the first of them, or until giveUpMs later. The reading is the
    // last sample.
    void readWhenStill(int driveMs, double toleranceUm, int giveUpMs);
    void cancel();
    bool isBusy() const { return mode != Mode::Idle; }
    qint64 now() const { return clock(); }

public slots:
    void tick();

signals:
    // Every answer, while driving too.
    void sampled(double positionUm, qint64 atMs);
    // The reading asked for; still is false when the stage did not come to rest in time.
    void reading(double positionUm, qint64 atMs, bool still);
    // No answer came within kReplyTimeoutMs.
    void unanswered();
    // The stage would not send the request.
    void refused(const QString &reason);

private:
    enum class Mode { Idle, Single, Still };
    void request();
    void onPosition(double positionUm);
    void arm();
    void listen(bool on);

    QPointer<Stage> stage;
    QMetaObject::Connection positions;
    Clock::Source clock;
    QTimer *timer = nullptr;
    Mode mode = Mode::Idle;
    // Bumped by every start and cancel: a listener may end the reading from inside a signal.
    quint64 generation = 0;
    qint64 requestDueMs = -1;
    qint64 replyDueMs = -1;
    qint64 lastRequestMs = 0;
    qint64 stillFromMs = 0;
    qint64 giveUpAtMs = 0;
    qint64 stillDriveMs = 0;
    qint64 stillGiveUpMs = 0;
    bool awaitingFirstAnswer = false;
    double toleranceUm = Settling::kDefaultToleranceUm;
    std::optional<Settling::Tracker> stillness;
};
