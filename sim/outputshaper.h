#pragma once

#include <QByteArray>
#include <QRandomGenerator>

namespace dvxsim {

// Spoils the replies on their way out, for the fault options: noise between replies and the
// loss of every carriage return. Seeded, so a run can be repeated byte for byte.
class OutputShaper {
public:
    // garbageRate: probability (0..1) that a burst of noise goes out before a reply.
    OutputShaper(double garbageRate, bool noCarriageReturns, quint32 seed);

    QByteArray shape(const QByteArray &reply);

    static constexpr int kMaxBurst = 8;
    // One noise byte in this many is a "\r", which cuts the panel's line where it falls.
    static constexpr int kCarriageReturnOdds = 32;

private:
    double rate;
    bool noCr;
    QRandomGenerator random;
};

} // namespace dvxsim
