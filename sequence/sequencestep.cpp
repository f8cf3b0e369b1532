#include "sequencestep.h"

namespace Sequence {

SequenceSteps linearScan(double fromUm, double toUm, int count, int dwellMs, bool comeBack)
{
    SequenceSteps steps;
    if (count < 1)
        return steps;
    const int total = comeBack && count > 1 ? 2 * count - 1 : count;
    steps.reserve(total);
    for (int i = 0; i < count; ++i) {
        // The last point is the end itself, not a sum of rounded increments.
        const double at = i + 1 == count && count > 1
                              ? toUm
                              : fromUm + (toUm - fromUm) * double(i) / double(qMax(count - 1, 1));
        steps.append({QString::number(i + 1), at, dwellMs});
    }
    if (comeBack) {
        for (int i = count - 2; i >= 0; --i) {
            SequenceStep back = steps.at(i);
            back.label = QString::number(int(steps.size()) + 1);
            steps.append(back);
        }
    }
    return steps;
}

} // namespace Sequence
