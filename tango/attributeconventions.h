#pragma once

#include "stagemodel.h"

#include <QString>

#include <optional>
#include <string>

// How the device follows Tango's conventions for its attributes: which samples become change and
// archive events, who owns Position's limits, and how text reaches a Tango client. Plain code
// without Tango, so it is tested alone.
namespace AttributeConventions {

// Tango's strings are ISO 8859-1, and PyTango reads attribute values and error descriptions so:
// a UTF-8 "µm" would read as "Âµm". Characters outside Latin-1 become "?".
std::string tangoText(const QString &text);
// The status reaches PyTango (9.3) both as an attribute, read as ISO 8859-1, and as the reply of
// the Status command, read as UTF-8, where a byte of the other would stop the call: it is kept
// to the ASCII both share, "µ" written "u".
std::string statusText(const QString &text);

// One change criterion of a Tango attribute property (abs_change, rel_change and their archive
// twins): a push is due once the value fell by `down` or rose by `up` or more since the value
// last pushed. The relative one is in percent of that value.
struct Threshold {
    std::optional<double> down; // negative
    std::optional<double> up;   // positive

    bool isSet() const { return down || up; }
    bool reached(double change) const;
    // The text Tango keeps for the property: "Not specified", "0.5" (either way) or "-0.5,1".
    // Anything else, zero or not finite reads as no threshold.
    static Threshold parse(const QString &text);
};

// A period property (archive_period) in milliseconds; nothing unless a positive whole number.
std::optional<qint64> parsePeriodMs(const QString &text);

struct Criteria {
    Threshold absolute;
    Threshold relative;
    std::optional<qint64> periodMs;
};

// Decides, sample by sample, whether one kind of event is due: when the value changed by a
// threshold since the last one pushed, when its quality changed (a value appearing or going
// away included), or when the period ran out since the last push. Without any threshold, any
// change of the value is one. The same sample twice is never due by itself.
class EventGate {
public:
    // Returns whether the event is due; if so, the sample counts as pushed.
    bool offer(std::optional<double> value, StageModel::Quality quality, qint64 nowMs,
               const Criteria &criteria);
    // The next sample is due whatever it holds (a new subscriber of a restarted server...).
    void reset() { pushed = false; }

private:
    bool pushed = false;
    std::optional<double> lastValue;
    StageModel::Quality lastQuality = StageModel::Quality::Invalid;
    qint64 lastMs = 0;
};

// One limit of Position (min_value or max_value), kept at the travel the controller reports
// while no one else set it: a value that the database or a client put there is left alone.
class ManagedLimit {
public:
    // `current` is what the attribute holds now, `travel` the controller's end of the travel
    // (nothing while disconnected). Returns the value to set, an empty optional inside meaning
    // "Not specified", or nothing to leave the attribute as it is.
    std::optional<std::optional<double>> update(std::optional<double> current,
                                                std::optional<double> travel);

private:
    // What this device set last; a different value now is someone else's.
    std::optional<double> applied;
};

} // namespace AttributeConventions
