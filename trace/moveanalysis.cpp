#include "moveanalysis.h"

#include "settling.h"

#include <QCoreApplication>

#include <algorithm>

namespace MoveAnalysis {

Result analyse(const Move &move, const QVector<TraceSample> &samples, double endS, bool closed,
               double toleranceUm)
{
    Result r;
    r.startS = move.startS;
    r.targetUm = move.targetUm;
    r.fromUm = move.fromUm;
    r.segment = move.segment;

    const double windowEnd = std::min(endS, move.startS + kGiveUpS);
    const auto byTime = [](const TraceSample &s, double t) { return s.timeS <= t; };
    const auto first = std::lower_bound(samples.cbegin(), samples.cend(), move.startS, byTime);
    const auto last = std::lower_bound(first, samples.cend(), windowEnd, byTime);

    QVector<double> positions;
    positions.reserve(int(last - first));
    for (auto it = first; it != last; ++it)
        positions.append(it->positionUm);

    if (std::isnan(r.fromUm)) {
        if (first != samples.cbegin())
            r.fromUm = (first - 1)->positionUm;
        else if (!positions.isEmpty())
            r.fromUm = positions.first();
    }
    const double direction = r.targetUm >= r.fromUm ? 1.0 : -1.0;

    for (int i = 0; i < positions.size(); ++i) {
        const double beyond = (positions.at(i) - r.targetUm) * direction;
        r.overshootUm = std::max(r.overshootUm, beyond);
        if (!r.travelS && Settling::withinTolerance(positions.at(i), r.targetUm, toleranceUm))
            r.travelS = (first + i)->timeS - move.startS;
    }

    // Settled: the band held for Settling::kConsecutiveSamples samples and was never left again
    // in this move's window. A ringing stage sampled fast passes through the band for a few
    // samples at each swing; those entries do not count.
    std::optional<int> entry;
    Settling::Tracker tracker(r.targetUm, toleranceUm);
    for (int i = 0; i < positions.size(); ++i) {
        if (tracker.feed(positions.at(i))) {
            if (!entry)
                entry = i - (Settling::kConsecutiveSamples - 1);
        } else {
            entry.reset();
        }
    }
    if (entry) {
        r.settlingS = (first + *entry)->timeS - move.startS;
        double sum = 0.0;
        int n = 0;
        for (int i = *entry; i < positions.size(); ++i) {
            if (std::isfinite(positions.at(i))) {
                sum += positions.at(i);
                ++n;
            }
        }
        r.finalErrorUm = sum / n - r.targetUm;
        r.status = Result::Status::Settled;
    } else {
        const bool givenUp = endS >= move.startS + kGiveUpS;
        r.status = closed || givenUp ? Result::Status::NotSettled : Result::Status::Moving;
    }
    return r;
}

QVector<Result> analyseAll(const QVector<Move> &moves, const QVector<TraceSample> &samples,
                           double nowS, double toleranceUm)
{
    QVector<Result> results;
    results.reserve(moves.size());
    for (int i = 0; i < moves.size(); ++i) {
        const bool next = i + 1 < moves.size();
        const double end = next ? moves.at(i + 1).startS : nowS;
        results.append(analyse(moves.at(i), samples, end, next, toleranceUm));
    }
    return results;
}

QString statusText(Result::Status status)
{
    switch (status) {
    case Result::Status::Moving:
        return QCoreApplication::translate("MoveAnalysis", "moving");
    case Result::Status::Settled:
        return QCoreApplication::translate("MoveAnalysis", "settled");
    case Result::Status::NotSettled:
        return QCoreApplication::translate("MoveAnalysis", "not settled");
    }
    return {};
}

} // namespace MoveAnalysis
