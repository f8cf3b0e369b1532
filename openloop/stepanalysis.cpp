#include "stepanalysis.h"

#include <QCoreApplication>

#include <algorithm>
#include <cmath>
#include <vector>

namespace StepAnalysis {

namespace {

// Readings beyond these are a controller gone wrong, not a stage: a kilometre, thirty years.
constexpr double kMaxPlausibleUm = 1e9;
constexpr double kMaxPlausibleS = 1e9;

bool plausible(const std::optional<double> &value, double limit)
{
    return value && std::isfinite(*value) && std::abs(*value) <= limit;
}

// Quotients of tiny numbers can still overflow: what is not finite was not measured.
std::optional<double> finite(double value)
{
    return std::isfinite(value) ? std::optional<double>(value) : std::nullopt;
}

double median(QVector<double> values)
{
    std::sort(values.begin(), values.end());
    const int n = values.size();
    return n % 2 == 1 ? values.at(n / 2) : (values.at(n / 2 - 1) + values.at(n / 2)) / 2.0;
}

QString tr(const char *text)
{
    return QCoreApplication::translate("StepAnalysis", text);
}

} // namespace

QString directionName(Direction direction)
{
    return direction == Direction::Forward ? QStringLiteral("forward") : QStringLiteral("reverse");
}

QString kindName(BurstKind kind)
{
    switch (kind) {
    case BurstKind::First:
        return QStringLiteral("first");
    case BurstKind::Same:
        return QStringLiteral("same");
    case BurstKind::Reversal:
        return QStringLiteral("reversal");
    case BurstKind::AfterReversal:
        return QStringLiteral("after reversal");
    case BurstKind::Incomplete:
        break;
    }
    return QStringLiteral("incomplete");
}

Spread Spread::of(const QVector<double> &values)
{
    // Welford's running mean: no sum to overflow, no cancellation in the spread.
    Spread s;
    double m2 = 0.0;
    for (const double v : values) {
        if (!std::isfinite(v))
            continue;
        if (s.count == 0) {
            s.min = v;
            s.max = v;
        } else {
            s.min = std::min(s.min, v);
            s.max = std::max(s.max, v);
        }
        ++s.count;
        const double delta = v - s.mean;
        s.mean += delta / s.count;
        m2 += delta * (v - s.mean);
    }
    if (s.count > 1 && std::isfinite(m2))
        s.sd = std::sqrt(std::max(0.0, m2 / (s.count - 1)));
    return s;
}

Result analyse(const QVector<Burst> &bursts, std::optional<Direction> directionBefore)
{
    Result result;
    // Worked on as a std::vector: a QVector detaching in every write makes GCC see writes past
    // its end that cannot happen.
    const size_t count = size_t(bursts.size());
    std::vector<BurstResult> rows(count);

    // What each burst moved, and what it can measure.
    std::optional<Direction> previous = directionBefore;
    qint64 cumulative = 0;
    double firstS = qInf();
    double lastS = -qInf();
    for (size_t i = 0; i < count; ++i) {
        const Burst &b = bursts.at(int(i));
        BurstResult &r = rows[i];
        r.direction = b.direction;
        r.steps = b.steps;
        r.cumulativeStepsBefore = cumulative;
        if (b.steps <= 0)
            continue; // nothing sent: no direction either
        cumulative += qint64(sign(b.direction)) * b.steps;
        const Direction sent = b.direction;
        const std::optional<Direction> before = previous;
        previous = sent;
        if (!plausible(b.beforeUm, kMaxPlausibleUm) || !plausible(b.afterUm, kMaxPlausibleUm))
            continue;
        const int s = sign(b.direction);
        r.movedUm = s * (*b.afterUm - b.beforeUm);
        r.umPerStep = *r.movedUm / b.steps;
        if (plausible(b.settledUm, kMaxPlausibleUm))
            r.creepUm = s * (*b.settledUm - *b.afterUm);
        r.kind =
            !before ? BurstKind::First : (*before == sent ? BurstKind::Same : BurstKind::Reversal);
        const std::optional<double> settledS = r.creepUm ? b.settledS : std::nullopt;
        for (const std::optional<double> &t :
             {std::optional<double>(b.beforeS), b.afterS, settledS}) {
            if (plausible(t, kMaxPlausibleS)) {
                firstS = std::min(firstS, *t);
                lastS = std::max(lastS, *t);
            }
        }
    }
    if (lastS >= firstS)
        result.durationS = lastS - firstS;

    const auto valuesOf = [&](Direction d, BurstKind kind) {
        QVector<double> values;
        for (const BurstResult &r : rows) {
            if (r.direction == d && r.kind == kind)
                values.append(*r.umPerStep);
        }
        return values;
    };

    // A reversal that moved less than half a step may have left slack for the bursts behind it:
    // they join its group, judged against the median step, which those few cannot sway.
    for (const Direction d : {Direction::Forward, Direction::Reverse}) {
        const QVector<double> same = valuesOf(d, BurstKind::Same);
        if (same.isEmpty())
            continue;
        const double halfStep = median(same) / 2.0;
        for (size_t i = 0; i < count; ++i) {
            if (rows[i].direction != d || rows[i].kind != BurstKind::Reversal)
                continue;
            size_t last = i;
            while (*rows[last].umPerStep < halfStep && last + 1 < count &&
                   rows[last + 1].kind == BurstKind::Same && rows[last + 1].direction == d) {
                rows[++last].kind = BurstKind::AfterReversal;
            }
        }
    }

    for (const Direction d : {Direction::Forward, Direction::Reverse}) {
        DirectionResult &out = d == Direction::Forward ? result.forward : result.reverse;
        out.umPerStep = Spread::of(valuesOf(d, BurstKind::Same));
        QVector<double> creep;
        QVector<double> settle;
        for (size_t i = 0; i < count; ++i) {
            const BurstResult &r = rows[i];
            if (r.direction != d || r.kind == BurstKind::Incomplete)
                continue;
            ++out.bursts;
            if (r.creepUm) {
                creep.append(*r.creepUm);
                const Burst &b = bursts.at(int(i));
                if (plausible(b.afterS, kMaxPlausibleS) && plausible(b.settledS, kMaxPlausibleS))
                    settle.append(*b.settledS - *b.afterS);
            }
        }
        out.creepUm = Spread::of(creep);
        out.settleS = Spread::of(settle);

        // Lost motion: what a reversal's group fell short of the direction's mean step.
        const double step = out.umPerStep.mean;
        if (!out.umPerStep.measured() || !(step > 0.0))
            continue;
        QVector<double> lostSteps;
        QVector<double> lostUm;
        for (size_t i = 0; i < count; ++i) {
            BurstResult &r = rows[i];
            if (r.direction != d || r.kind != BurstKind::Reversal)
                continue;
            double steps = r.steps;
            double moved = *r.movedUm;
            for (size_t j = i + 1; j < count && rows[j].kind == BurstKind::AfterReversal; ++j) {
                steps += rows[j].steps;
                moved += *rows[j].movedUm;
            }
            r.lostUm = finite(step * steps - moved);
            r.lostSteps = r.lostUm ? finite(*r.lostUm / step) : std::nullopt;
            if (!r.lostSteps) {
                r.lostUm.reset();
                continue;
            }
            lostUm.append(*r.lostUm);
            lostSteps.append(*r.lostSteps);
        }
        out.lostSteps = Spread::of(lostSteps);
        out.lostUm = Spread::of(lostUm);
    }

    if (result.forward.umPerStep.measured() && result.reverse.umPerStep.measured()) {
        result.asymmetryUmPerStep =
            finite(result.forward.umPerStep.mean - result.reverse.umPerStep.mean);
        if (result.reverse.umPerStep.mean != 0.0)
            result.forwardOverReverse =
                finite(result.forward.umPerStep.mean / result.reverse.umPerStep.mean);
    }

    // Along the position axis a settle time moves the stage by creep in the burst's direction
    // plus drift; averaged over both directions the creep cancels.
    const auto settleRate = [](const DirectionResult &r, int s) -> std::optional<double> {
        if (!r.creepUm.measured() || !r.settleS.measured() || !(r.settleS.mean > 0.0))
            return std::nullopt;
        return finite(s * r.creepUm.mean / r.settleS.mean);
    };
    const std::optional<double> forwardRate = settleRate(result.forward, 1);
    const std::optional<double> reverseRate = settleRate(result.reverse, -1);
    if (forwardRate && reverseRate) {
        result.driftUmPerS = finite((*forwardRate + *reverseRate) / 2.0);
        if (result.driftUmPerS)
            result.driftUm = finite(*result.driftUmPerS * result.durationS);
    }
    result.bursts = QVector<BurstResult>(rows.begin(), rows.end());
    return result;
}

StepPlan planMove(const Result &result, double distanceUm,
                  std::optional<Direction> previousDirection)
{
    StepPlan plan;
    if (!std::isfinite(distanceUm)) {
        plan.reason = tr("The distance is not a number.");
        return plan;
    }
    plan.direction = distanceUm < 0.0 ? Direction::Reverse : Direction::Forward;
    if (distanceUm == 0.0) {
        plan.possible = true;
        return plan;
    }
    const DirectionResult &measured = result.of(plan.direction);
    if (!measured.umPerStep.measured()) {
        plan.reason = plan.direction == Direction::Forward
                          ? tr("The forward step size was not measured.")
                          : tr("The reverse step size was not measured.");
        return plan;
    }
    const double step = measured.umPerStep.mean;
    if (!(step > 0.0)) {
        plan.reason = plan.direction == Direction::Forward
                          ? tr("The stage did not move forward in the measurement.")
                          : tr("The stage did not move in reverse in the measurement.");
        return plan;
    }
    if (previousDirection && *previousDirection != plan.direction) {
        if (measured.lostSteps.measured())
            plan.slackSteps = std::max(0.0, measured.lostSteps.mean);
        else
            plan.slackUnknown = true;
    }
    const double exact = std::abs(distanceUm) / step + plan.slackSteps;
    if (!(exact <= kMaxPlannedSteps)) {
        plan.reason = tr("A move of %1 µm would take more than %2 steps.")
                          .arg(formatValue(distanceUm))
                          .arg(kMaxPlannedSteps);
        return plan;
    }
    plan.possible = true;
    plan.steps = int(std::lround(exact));
    plan.expectedUm = sign(plan.direction) * std::max(0.0, plan.steps - plan.slackSteps) * step;
    return plan;
}

QString formatValue(double value)
{
    if (!std::isfinite(value))
        return QString();
    const double magnitude = std::abs(value);
    int decimals = 0;
    if (magnitude > 0.0)
        decimals = std::clamp(2 - int(std::floor(std::log10(magnitude))), 0, 6);
    QString text = QString::number(value, 'f', decimals);
    if (text.contains(QLatin1Char('.'))) {
        while (text.endsWith(QLatin1Char('0')))
            text.chop(1);
        if (text.endsWith(QLatin1Char('.')))
            text.chop(1);
    }
    if (text == QLatin1String("-0"))
        text = QStringLiteral("0");
    return text;
}

QString summaryText(const Result &result, const QDateTime &measured)
{
    const Spread &f = result.forward.umPerStep;
    const Spread &r = result.reverse.umPerStep;
    QString text;
    if (f.measured() && r.measured())
        text = tr("≈ %1 µm/step forward, %2 reverse").arg(formatValue(f.mean), formatValue(r.mean));
    else if (f.measured())
        text = tr("≈ %1 µm/step forward, reverse not measured").arg(formatValue(f.mean));
    else if (r.measured())
        text = tr("≈ %1 µm/step reverse, forward not measured").arg(formatValue(r.mean));
    else
        text = tr("Step size not measured");
    if (measured.isValid()) {
        const QString time = measured.toUTC().toString(QStringLiteral("HH:mm"));
        text += f.measured() || r.measured() ? tr(", measured %1 UTC").arg(time)
                                             : tr(" (run at %1 UTC)").arg(time);
    }
    return text;
}

namespace {

QByteArray number(double value, int decimals)
{
    if (!std::isfinite(value))
        return QByteArray();
    QByteArray text = QByteArray::number(value, 'f', decimals);
    if (text.startsWith('-') && text.count('0') == text.size() - 2)
        text.remove(0, 1); // no "-0.000"
    return text;
}

QByteArray number(const std::optional<double> &value, int decimals)
{
    return value ? number(*value, decimals) : QByteArray();
}

QByteArray withProvenance(const QByteArray &provenance)
{
    if (provenance.isEmpty() || provenance.endsWith('\n'))
        return provenance;
    return provenance + '\n';
}

} // namespace

QByteArray burstsCsv(const QVector<Burst> &bursts, const Result &result,
                     const QByteArray &provenance)
{
    QByteArray out = withProvenance(provenance);
    out += "burst,direction,steps,cumulative_steps,before_s,before_um,after_s,after_um,settled_s,"
           "settled_um,kind,moved_um,um_per_step,creep_um,lost_steps,lost_um\n";
    for (int i = 0; i < bursts.size(); ++i) {
        const Burst &b = bursts.at(i);
        static const BurstResult unknown;
        const BurstResult &r = i < result.bursts.size() ? result.bursts.at(i) : unknown;
        out += QByteArray::number(i + 1) + ',' + directionName(b.direction).toLatin1() + ',' +
               QByteArray::number(b.steps) + ',' + QByteArray::number(r.cumulativeStepsBefore) +
               ',' + number(b.beforeS, 3) + ',' + number(b.beforeUm, 4) + ',' +
               number(b.afterS, 3) + ',' + number(b.afterUm, 4) + ',' + number(b.settledS, 3) +
               ',' + number(b.settledUm, 4) + ',' + kindName(r.kind).toLatin1() + ',' +
               number(r.movedUm, 4) + ',' + number(r.umPerStep, 6) + ',' + number(r.creepUm, 4) +
               ',' + number(r.lostSteps, 3) + ',' + number(r.lostUm, 4) + '\n';
    }
    return out;
}

QByteArray summaryCsv(const Result &result, const QByteArray &provenance)
{
    QByteArray out = withProvenance(provenance);
    out += "quantity,direction,unit,count,mean,sd,min,max\n";
    const auto spread = [&](const char *quantity, const char *unit, int decimals, Direction d,
                            const Spread &s) {
        out += QByteArray(quantity) + ',' + directionName(d).toLatin1() + ',' + unit + ',' +
               QByteArray::number(s.count) + ',' +
               (s.measured() ? number(s.mean, decimals) : QByteArray()) + ',' +
               (s.hasSpread() ? number(s.sd, decimals) : QByteArray()) + ',' +
               (s.measured() ? number(s.min, decimals) + ',' + number(s.max, decimals)
                             : QByteArray(",")) +
               '\n';
    };
    for (const Direction d : {Direction::Forward, Direction::Reverse})
        spread("um_per_step", "um", 6, d, result.of(d).umPerStep);
    for (const Direction d : {Direction::Forward, Direction::Reverse})
        spread("lost_motion", "steps", 3, d, result.of(d).lostSteps);
    for (const Direction d : {Direction::Forward, Direction::Reverse})
        spread("lost_motion", "um", 4, d, result.of(d).lostUm);
    for (const Direction d : {Direction::Forward, Direction::Reverse})
        spread("creep", "um", 4, d, result.of(d).creepUm);
    for (const Direction d : {Direction::Forward, Direction::Reverse})
        spread("settle_time", "s", 3, d, result.of(d).settleS);
    const auto single = [&](const char *quantity, const char *unit, int decimals,
                            const std::optional<double> &value) {
        out += QByteArray(quantity) + ",," + unit + ',' + (value ? "1," : "0,") +
               number(value, decimals) + ",,,\n";
    };
    single("forward_over_reverse", "ratio", 6, result.forwardOverReverse);
    single("asymmetry", "um", 6, result.asymmetryUmPerStep);
    single("drift_rate", "um/s", 6, result.driftUmPerS);
    single("drift", "um", 4, result.driftUm);
    single("duration", "s", 3, result.durationS);
    return out;
}

} // namespace StepAnalysis
