#include "attributeconventions.h"

#include <QStringList>

#include <cmath>

namespace AttributeConventions {

namespace {

// A value that came back from Tango's text form is the same as the one set.
bool same(double a, double b)
{
    return std::abs(a - b) <= 1e-9 * std::max(1.0, std::max(std::abs(a), std::abs(b)));
}

bool same(const std::optional<double> &a, const std::optional<double> &b)
{
    if (!a || !b)
        return !a && !b;
    return same(*a, *b);
}

std::optional<double> finite(const QString &text)
{
    bool ok = false;
    const double value = text.trimmed().toDouble(&ok);
    if (!ok || !std::isfinite(value))
        return std::nullopt;
    return value;
}

} // namespace

namespace {
// Each character of the text, a pair of surrogates as one, replaced where it is not below `end`.
std::string narrowed(const QString &text, uint end, bool microAsU)
{
    std::string narrow;
    narrow.reserve(size_t(text.size()));
    for (const uint c : text.toUcs4()) {
        if (microAsU && (c == 0xb5 || c == 0x3bc))
            narrow.push_back('u');
        else
            narrow.push_back(c < end ? char(c) : '?');
    }
    return narrow;
}
} // namespace

std::string tangoText(const QString &text)
{
    return narrowed(text, 0x100, false);
}

std::string statusText(const QString &text)
{
    return narrowed(text, 0x80, true);
}

bool Threshold::reached(double change) const
{
    // Positions come with three decimals: a step of exactly the threshold is one, whatever the
    // binary rounding made of it.
    const double slack = 1e-9 * std::max(1.0, std::abs(change));
    return (up && change >= *up - slack) || (down && change <= *down + slack);
}

Threshold Threshold::parse(const QString &text)
{
    const QStringList parts = text.split(QLatin1Char(','));
    Threshold threshold;
    if (parts.size() == 1) {
        const auto value = finite(parts.at(0));
        if (value && *value != 0.0) {
            threshold.down = -std::abs(*value);
            threshold.up = std::abs(*value);
        }
    } else if (parts.size() == 2) {
        const auto down = finite(parts.at(0));
        const auto up = finite(parts.at(1));
        if (down && *down != 0.0)
            threshold.down = -std::abs(*down);
        if (up && *up != 0.0)
            threshold.up = std::abs(*up);
    }
    return threshold;
}

std::optional<qint64> parsePeriodMs(const QString &text)
{
    bool ok = false;
    const qint64 period = text.trimmed().toLongLong(&ok);
    if (!ok || period <= 0)
        return std::nullopt;
    return period;
}

bool EventGate::offer(std::optional<double> value, StageModel::Quality quality, qint64 nowMs,
                      const Criteria &criteria)
{
    // An invalid value is no value: Tango sends none with that quality.
    if (quality == StageModel::Quality::Invalid)
        value.reset();
    bool due = !pushed || quality != lastQuality || value.has_value() != lastValue.has_value();
    if (!due && value) {
        const double change = *value - *lastValue;
        if (!criteria.absolute.isSet() && !criteria.relative.isSet()) {
            due = change != 0.0;
        } else {
            due = criteria.absolute.reached(change);
            if (!due && criteria.relative.isSet()) {
                const double percent = *lastValue == 0.0 ? (change == 0.0 ? 0.0 : 100.0)
                                                         : change / std::abs(*lastValue) * 100.0;
                due = criteria.relative.reached(percent);
            }
        }
    }
    if (!due && criteria.periodMs && nowMs - lastMs >= *criteria.periodMs)
        due = true;
    if (due) {
        pushed = true;
        lastValue = value;
        lastQuality = quality;
        lastMs = nowMs;
    }
    return due;
}

std::optional<std::optional<double>> ManagedLimit::update(std::optional<double> current,
                                                          std::optional<double> travel)
{
    const bool ours = !current || same(current, applied) || same(current, travel);
    if (!ours) {
        applied.reset();
        return std::nullopt;
    }
    applied = travel;
    if (same(current, travel))
        return std::nullopt;
    return std::optional<std::optional<double>>(travel);
}

} // namespace AttributeConventions
