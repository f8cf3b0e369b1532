#include "fastsampler.h"

#include <QTimer>

#include <algorithm>

FastSampler::FastSampler(QObject *parent) : QObject(parent), timer(new QTimer(this))
{
    timer->setTimerType(Qt::PreciseTimer);
    connect(timer, &QTimer::timeout, this, &FastSampler::sampleDue);
}

void FastSampler::request(const void *requester, int intervalMs)
{
    if (intervalMs > 0)
        requests.insert(requester, intervalMs);
    else
        requests.remove(requester);
    update();
}

void FastSampler::setAllowed(bool allow)
{
    if (allowed == allow)
        return;
    allowed = allow;
    update();
}

int FastSampler::intervalMs() const
{
    if (requests.isEmpty())
        return 0;
    return *std::min_element(requests.cbegin(), requests.cend());
}

void FastSampler::update()
{
    const int interval = intervalMs();
    if (!allowed || interval <= 0) {
        timer->stop();
        running = false;
        return;
    }
    if (!timer->isActive() || timer->interval() != interval)
        timer->start(interval);
    running = true;
}
