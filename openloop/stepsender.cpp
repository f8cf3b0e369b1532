#include "stepsender.h"

#include <QTimer>

#include <algorithm>

StepSender::StepSender(Stage *s, QObject *parent)
    : QObject(parent), stage(s), next(new QTimer(this))
{
    next->setSingleShot(true);
    next->setInterval(0);
    connect(next, &QTimer::timeout, this, &StepSender::sendMore);
}

void StepSender::send(bool forwards, int count, const Mover &who)
{
    ++generation;
    forward = forwards;
    left = std::max(0, count);
    mover = who;
    sendMore();
}

void StepSender::cancel()
{
    ++generation;
    left = 0;
    next->stop();
}

void StepSender::sendMore()
{
    next->stop();
    const quint64 train = generation;
    for (int i = 0; i < kStepsPerTurn && left > 0; ++i) {
        const CommandResult result = stage
                                         ? stage->step(forward, mover)
                                         : CommandResult::refused(CommandResult::Code::NotConnected,
                                                                  tr("The stage has gone"));
        if (train != generation)
            return;
        if (!result.ok()) {
            left = 0;
            emit refused(result.message);
            return;
        }
        --left;
    }
    if (left > 0)
        next->start();
    else
        emit sent();
}
