#include "outputshaper.h"

namespace dvxsim {

OutputShaper::OutputShaper(double garbageRate, bool noCarriageReturns, quint32 seed)
    : rate(qBound(0.0, garbageRate, 1.0)), noCr(noCarriageReturns), random(seed)
{
}

QByteArray OutputShaper::shape(const QByteArray &reply)
{
    QByteArray out;
    if (rate > 0.0 && random.generateDouble() < rate) {
        const int count = 1 + int(random.bounded(kMaxBurst));
        for (int i = 0; i < count; ++i) {
            if (random.bounded(kCarriageReturnOdds) == 0) {
                out.append('\r');
            } else {
                // Any byte but "\r": 255 values, mapped around it.
                const int value = int(random.bounded(255));
                out.append(char(value < '\r' ? value : value + 1));
            }
        }
    }
    out.append(reply);
    if (noCr)
        out.replace('\r', QByteArray());
    return out;
}

} // namespace dvxsim
