#include "clock.h"

#include <QDateTime>
#include <QElapsedTimer>

namespace Clock {

qint64 steadyMs()
{
    static QElapsedTimer sinceStart = [] {
        QElapsedTimer timer;
        timer.start();
        return timer;
    }();
    return sinceStart.elapsed();
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
