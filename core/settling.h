#pragma once

#include <QVector>

#include <cmath>
#include <optional>

// The one rule by which a move counts as arrived: the reported position stays within the
// tolerance of the target for this many consecutive samples. The trace's move analysis, a
// waiting move and a sequence step all use it.
namespace Settling {

inline constexpr int kConsecutiveSamples = 3;
inline constexpr double kDefaultToleranceUm = 0.5;

inline bool withinTolerance(double positionUm, double targetUm, double toleranceUm)
{
    return std::isfinite(positionUm) && std::abs(positionUm - targetUm) <= toleranceUm;
}

// Follows samples as they arrive.
class Tracker {
public:
    Tracker() = default;
    Tracker(double targetUm, double toleranceUm) : target(targetUm), tolerance(toleranceUm) {}

    // Returns true once the last kConsecutiveSamples samples were all inside the band.
    bool feed(double positionUm)
    {
        insideRun = withinTolerance(positionUm, target, tolerance) ? insideRun + 1 : 0;
        return settled();
    }
    bool settled() const { return insideRun >= kConsecutiveSamples; }
    double targetUm() const { return target; }
    double toleranceUm() const { return tolerance; }

private:
    double target = 0.0;
    double tolerance = kDefaultToleranceUm;
    int insideRun = 0;
};

// The index of the sample that starts the first run of kConsecutiveSamples samples inside the
// band, or nothing when the samples never settle.
inline std::optional<int> settlingEntry(const QVector<double> &positionsUm, double targetUm,
                                        double toleranceUm)
{
    Tracker tracker(targetUm, toleranceUm);
    for (int i = 0; i < positionsUm.size(); ++i) {
        if (tracker.feed(positionsUm.at(i)))
            return i - (kConsecutiveSamples - 1);
    }
    return std::nullopt;
}

} // namespace Settling
