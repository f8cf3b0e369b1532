#include "openloopprobe.h"

#include <QTimer>

#include <algorithm>

OpenLoopProbe::OpenLoopProbe(Stage *s, Clock::Source c, QObject *parent)
    : QObject(parent), stage(s), clock(Clock::orSteady(std::move(c))), timer(new QTimer(this))
{
    timer->setSingleShot(true);
    timer->setTimerType(Qt::PreciseTimer);
    connect(timer, &QTimer::timeout, this, &OpenLoopProbe::tick);
}

void OpenLoopProbe::listen(bool on)
{
    // Positions are heard only while a reading is wanted: a flood costs an idle probe nothing.
    if (on && !positions && stage)
        positions = connect(stage, &Stage::positionReceived, this,
                            [this](double positionUm, PositionSource) { onPosition(positionUm); });
    else if (!on && positions)
        disconnect(positions);
}

void OpenLoopProbe::readAfter(int delayMs)
{
    ++generation;
    mode = Mode::Single;
    listen(true);
    replyDueMs = -1;
    requestDueMs = clock() + std::max(0, delayMs);
    tick();
}

void OpenLoopProbe::readWhenStill(int driveMs, double tolerance, int giveUpMs)
{
    ++generation;
    mode = Mode::Still;
    listen(true);
    replyDueMs = -1;
    const qint64 now = clock();
    stillDriveMs = std::max(0, driveMs);
    stillGiveUpMs = std::max(0, giveUpMs);
    stillFromMs = now + stillDriveMs;
    giveUpAtMs = stillFromMs + stillGiveUpMs;
    awaitingFirstAnswer = true;
    toleranceUm = tolerance;
    stillness.reset();
    requestDueMs = now;
    tick();
}

void OpenLoopProbe::cancel()
{
    ++generation;
    mode = Mode::Idle;
    listen(false);
    requestDueMs = -1;
    replyDueMs = -1;
    timer->stop();
}

void OpenLoopProbe::tick()
{
    if (mode == Mode::Idle)
        return;
    const qint64 now = clock();
    if (replyDueMs >= 0 && now >= replyDueMs) {
        cancel();
        emit unanswered();
        return;
    }
    if (replyDueMs < 0 && requestDueMs >= 0 && now >= requestDueMs)
        request();
    arm();
}

void OpenLoopProbe::request()
{
    requestDueMs = -1;
    lastRequestMs = clock();
    // Due before the request goes: a stage may answer from inside it.
    replyDueMs = lastRequestMs + kReplyTimeoutMs;
    const quint64 asked = generation;
    const CommandResult sent =
        stage ? stage->requestPosition()
              : CommandResult::refused(CommandResult::Code::NotConnected, tr("The stage has gone"));
    if (!sent.ok() && asked == generation) {
        cancel();
        emit refused(sent.message);
    }
}

void OpenLoopProbe::arm()
{
    if (mode == Mode::Idle) {
        timer->stop();
        return;
    }
    const qint64 due = replyDueMs >= 0 ? replyDueMs : requestDueMs;
    if (due < 0) {
        timer->stop();
        return;
    }
    timer->start(int(std::clamp<qint64>(due - clock(), 0, kReplyTimeoutMs)));
}

void OpenLoopProbe::onPosition(double positionUm)
{
    // Only the answer to a request of this probe counts; the first position after it is taken.
    if (mode == Mode::Idle || replyDueMs < 0)
        return;
    replyDueMs = -1;
    const qint64 at = clock();
    const quint64 current = generation;
    emit sampled(positionUm, at);
    if (current != generation)
        return;
    if (mode == Mode::Single) {
        cancel();
        emit reading(positionUm, at, true);
        return;
    }
    if (awaitingFirstAnswer) {
        awaitingFirstAnswer = false;
        // The controller answers in order: it had the steps when it answered this first
        // question, so their drive ends at the latest driveMs after the answer. On a slow line
        // or a loaded machine that is later than planned, and a stage not yet started is no
        // stage at rest.
        stillFromMs = std::max(stillFromMs, at + stillDriveMs);
        giveUpAtMs = std::max(giveUpAtMs, stillFromMs + stillGiveUpMs);
    }
    if (at >= stillFromMs) {
        if (!stillness ||
            !Settling::withinTolerance(positionUm, stillness->targetUm(), toleranceUm))
            stillness = Settling::Tracker(positionUm, toleranceUm);
        const bool still = stillness->feed(positionUm);
        if (still || at >= giveUpAtMs) {
            cancel();
            emit reading(positionUm, at, still);
            return;
        }
    }
    // The next question waits its interval after this answer, not after this question: a
    // controller slow to answer (a loaded machine) would otherwise be asked again at once, and
    // answers it gives moments apart would pass for a stage that stayed still.
    requestDueMs = at + kSampleIntervalMs;
    arm();
}
