#pragma once

#include <QtGlobal>

#include <functional>

// The panel's one notion of time. Everything that waits, times out or stamps samples takes a
// Clock, so that a test can step time instead of sleeping; the default is the steady clock.
namespace Clock {

// Milliseconds on a steady scale, never going back; the origin is arbitrary.
using Source = std::function<qint64()>;

qint64 steadyMs();

// While a batch lives, steadyMs() answers the time the batch began. A read of the serial line
// brings a batch of lines at once and every listener of every line asks for the time: one
// reading of the clock serves them all. GUI thread only; batches nest.
class Batch {
public:
    Batch();
    ~Batch();
    Batch(const Batch &) = delete;
    Batch &operator=(const Batch &) = delete;

private:
    bool outermost;
};
// The given source, or the steady clock when none was given.
Source orSteady(Source source);

// Milliseconds since the epoch, UTC: for what a person or a file reads, never for durations.
qint64 utcMs();

} // namespace Clock

// A clock a test moves by hand.
class ManualClock {
public:
    qint64 now = 0;
    void advance(qint64 ms) { now += ms; }
    Clock::Source source()
    {
        return [this] { return now; };
    }
};
