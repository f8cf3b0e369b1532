#include "clock.h"

#include <QDateTime>
#include <QElapsedTimer>

namespace Clock {

namespace {

qint64 readSteadyClock()
{
    static QElapsedTimer sinceStart = [] {
        QElapsedTimer timer;
        timer.start();
        return timer;
    }();
    return sinceStart.elapsed();
}

// The time the current batch began, or -1 outside any batch.
qint64 batchMs = -1;

} // namespace

qint64 steadyMs()
{
    return batchMs >= 0 ? batchMs : readSteadyClock();
}

Batch::Batch() : outermost(batchMs < 0)
{
    if (outermost)
        batchMs = readSteadyClock();
}

Batch::~Batch()
{
    if (outermost)
        batchMs = -1;
}

Source orSteady(Source source)
{
    return source ? std::move(source) : Source(steadyMs);
}

qint64 utcMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

} // namespace Clock
