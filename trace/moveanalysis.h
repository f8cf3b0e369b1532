#pragma once

#include "tracetypes.h"

#include <QVector>

#include <optional>

// What one closed-loop move did, measured from the position samples that followed its command.
namespace MoveAnalysis {

// A move ends unsettled when it has not settled this long after its command.
inline constexpr double kGiveUpS = 30.0;

struct Move {
    double startS = 0.0;
    double targetUm = 0.0;
    // Where the stage was when the move was commanded; NaN when no sample came before it.
    double fromUm = std::numeric_limits<double>::quiet_NaN();
    // The segment (connection) it was commanded in.
    int segment = 0;
};

struct Result {
    enum class Status { Moving, Settled, NotSettled };

    double startS = 0.0;
    double fromUm = std::numeric_limits<double>::quiet_NaN();
    double targetUm = 0.0;
    // From the command to the first sample inside the band.
    std::optional<double> travelS;
    // From the command to the first sample of the run of samples that stays inside the band (at
    // least Settling::kConsecutiveSamples of them, and none outside after it).
    std::optional<double> settlingS;
    // How far the stage went past the target in the direction of travel; 0 when it never did.
    double overshootUm = 0.0;
    // Mean of the settled samples minus the target.
    std::optional<double> finalErrorUm;
    Status status = Status::Moving;
    int segment = 0;
};

// Analyses one move over the samples that arrived after its command and up to endS (the next
// move's command, or the time the trace has reached). closed says that nothing more will come
// for this move: a move that has not settled by then is "not settled" rather than moving.
// samples must be in time order; samples outside (move.startS, endS] are ignored.
Result analyse(const Move &move, const QVector<TraceSample> &samples, double endS, bool closed,
               double toleranceUm);

// Every move of a trace: each one runs until the next one's command or kGiveUpS, whichever
// comes first; the last one is still moving if the trace ends at nowS before either.
QVector<Result> analyseAll(const QVector<Move> &moves, const QVector<TraceSample> &samples,
                           double nowS, double toleranceUm);

QString statusText(Result::Status status);

} // namespace MoveAnalysis
