#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QVector>

#include <optional>

// What an open-loop stage does per step, measured from a characterisation run: bursts of steps
// in one direction or the other, with the position read before each burst, once it has stopped
// moving, and again after a settle time. Plain functions over plain records: no I/O, no clock.
//
// A "step" is whatever the run counts in Burst::steps (one ">fo" or one drive cycle); the results
// and the move planner use the same unit. Positions in micrometres, times in seconds from any
// origin that does not move during the run.
namespace StepAnalysis {

enum class Direction { Forward, Reverse };

// +1 forward, -1 reverse: what a step does to the position's sign.
inline int sign(Direction direction)
{
    return direction == Direction::Forward ? 1 : -1;
}
QString directionName(Direction direction); // "forward", "reverse"

// One burst as the run recorded it. A burst cut short (Stop, a lost link) has no afterUm; a run
// without a settle time has no settledUm.
struct Burst {
    Direction direction = Direction::Forward;
    int steps = 0; // commanded; a burst of none is ignored
    double beforeS = 0.0;
    double beforeUm = 0.0;
    std::optional<double> afterS;
    std::optional<double> afterUm; // read once the stage had stopped moving
    std::optional<double> settledS;
    std::optional<double> settledUm; // read after the settle time
};

// Mean, sample standard deviation, least and greatest of some values. With no values nothing is
// measured; with one there is no spread. Every field is finite.
struct Spread {
    int count = 0;
    double mean = 0.0;
    double sd = 0.0;
    double min = 0.0;
    double max = 0.0;

    bool measured() const { return count > 0; }
    bool hasSpread() const { return count > 1; }
    static Spread of(const QVector<double> &values); // non-finite values are left out
};

// What a burst is good for.
enum class BurstKind {
    First,         // the first burst, the direction before the run being unknown: not used
    Same,          // after one in the same direction: measures the step
    Reversal,      // the first after a change of direction: measures the lost motion
    AfterReversal, // follows a reversal that moved less than half a step, so the slack may not
                   // have been taken up: counted with that reversal's lost motion
    Incomplete,    // no position after it, or no steps, or a position that is not a number
};
QString kindName(BurstKind kind); // "first", "same", "reversal", "after reversal", "incomplete"

struct BurstResult {
    BurstKind kind = BurstKind::Incomplete;
    Direction direction = Direction::Forward;
    int steps = 0;
    // Steps commanded before this burst, forward counted up and reverse down: the plot's x.
    qint64 cumulativeStepsBefore = 0;
    // Along the burst's direction: positive is the way it was sent.
    std::optional<double> movedUm;   // after - before
    std::optional<double> umPerStep; // moved / steps
    std::optional<double> creepUm;   // settled - after
    // For a reversal: how much less it went than the direction's mean step predicts. Set on the
    // reversal burst only, for the whole of its group with the AfterReversal bursts behind it.
    std::optional<double> lostSteps;
    std::optional<double> lostUm;
};

struct DirectionResult {
    int bursts = 0;   // complete bursts in this direction, of any kind
    Spread umPerStep; // over the Same bursts
    Spread lostSteps; // one value per reversal into this direction
    Spread lostUm;
    Spread creepUm; // the change during the settle time, along the direction
    Spread settleS; // how long the settle times were
};

struct Result {
    QVector<BurstResult> bursts; // one per record, in order
    DirectionResult forward;
    DirectionResult reverse;
    // Both directions' step measured:
    std::optional<double> forwardOverReverse; // ratio of the mean steps
    std::optional<double> asymmetryUmPerStep; // forward mean - reverse mean
    // The steady motion of a stage left alone, from the settle times of both directions: the
    // creep, taken to be the same size both ways, cancels between them, and what remains in
    // common is drift. Needs a settled position in each direction.
    std::optional<double> driftUmPerS;
    std::optional<double> driftUm; // that rate over the run, first reading to last
    double durationS = 0.0;        // first reading to last; 0 without a complete burst

    const DirectionResult &of(Direction direction) const
    {
        return direction == Direction::Forward ? forward : reverse;
    }
    // Something to convert a distance with: a step size in at least one direction.
    bool usable() const { return forward.umPerStep.measured() || reverse.umPerStep.measured(); }
};

// directionBefore: the last way the stage was stepped before the run, when known; with it the
// first burst measures a step or a reversal rather than being set aside.
Result analyse(const QVector<Burst> &bursts,
               std::optional<Direction> directionBefore = std::nullopt);

// A distance as steps to send.
struct StepPlan {
    bool possible = false;
    QString reason; // why not, when not possible
    Direction direction = Direction::Forward;
    int steps = 0;             // to send, in the unit of the run
    double slackSteps = 0.0;   // of those, taken up by the turn (not rounded)
    double expectedUm = 0.0;   // signed: what the steps should do to the position
    bool slackUnknown = false; // a turn whose lost motion was never measured
};

// Plans a move by distanceUm (positive forward): distance / mean step, plus the mean lost motion
// into that direction when the stage last went the other way, rounded to the nearest step. With
// the previous direction unknown no slack is added: better short than past the target.
inline constexpr int kMaxPlannedSteps = 10000000;
StepPlan planMove(const Result &result, double distanceUm,
                  std::optional<Direction> previousDirection);

// "≈ 0.83 µm/step forward, 0.71 reverse, measured 14:03 UTC", and the like when a direction or
// both were not measured.
QString summaryText(const Result &result, const QDateTime &measured);
// A number as the summary and the table show it: three significant digits, no trailing zeros,
// never in exponent form.
QString formatValue(double value);

// Comma-separated text, "." as the decimal point, an empty field for what was not measured.
// provenance: lines to put first (the export's "#" comment block), written as given.
// One row per burst: the record and what it measured.
QByteArray burstsCsv(const QVector<Burst> &bursts, const Result &result,
                     const QByteArray &provenance = QByteArray());
// One row per quantity and direction: quantity,direction,unit,count,mean,sd,min,max.
QByteArray summaryCsv(const Result &result, const QByteArray &provenance = QByteArray());

} // namespace StepAnalysis
