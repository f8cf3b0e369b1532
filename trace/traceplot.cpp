#include "traceplot.h"

namespace TracePlot {

double roundStep(double span, int maxIntervals)
{
    maxIntervals = std::max(1, maxIntervals);
    if (!(span > 0.0) || !std::isfinite(span))
        return 1.0;
    const double raw = span / maxIntervals;
    const double decade = std::pow(10.0, std::floor(std::log10(raw)));
    for (const double factor : {1.0, 2.0, 5.0, 10.0}) {
        // A little slack, so that a span of exactly 10 steps of 1 stays at 1.
        if (raw <= factor * decade * (1.0 + 1e-9))
            return factor * decade;
    }
    return 10.0 * decade;
}

int decimalsFor(double step)
{
    if (!(step > 0.0) || step >= 1.0)
        return 0;
    return std::min(9, int(std::ceil(-std::log10(step) - 1e-9)));
}

Range roundedRange(double low, double high, int intervals)
{
    if (!(low <= high) || !std::isfinite(low) || !std::isfinite(high))
        return Range{};
    const double step = roundStep(high - low, intervals);
    Range r;
    r.step = step;
    r.from = std::floor(low / step) * step;
    r.to = std::ceil(high / step) * step;
    if (r.to <= r.from)
        r.to = r.from + step;
    return r;
}

QPointF labelPosition(const QPointF &marker, const QSizeF &label, const QRectF &plot, int row)
{
    constexpr double kGap = 4.0;
    double x = marker.x() + kGap;
    if (x + label.width() > plot.right())
        x = marker.x() - kGap - label.width();
    x = std::max(x, plot.left());
    double y = marker.y() + kGap + row * (label.height() + 1.0);
    y = std::min(y, plot.bottom() - label.height());
    y = std::max(y, plot.top());
    return QPointF(x, y);
}

QVector<QRectF> placeLabels(const QVector<QPointF> &markers, const QVector<QSizeF> &sizes,
                            const QRectF &plot, int rows)
{
    QVector<QRectF> placed(markers.size());
    for (int i = 0; i < markers.size() && i < sizes.size(); ++i) {
        for (int row = 0; row < rows; ++row) {
            const QRectF candidate(labelPosition(markers.at(i), sizes.at(i), plot, row),
                                   sizes.at(i));
            // A little air between neighbours.
            const QRectF spaced = candidate.adjusted(-2, 0, 2, 0);
            const bool clear =
                std::none_of(placed.cbegin(), placed.cbegin() + i, [&spaced](const QRectF &other) {
                    return !other.isEmpty() && spaced.intersects(other);
                });
            if (clear) {
                placed[i] = candidate;
                break;
            }
        }
    }
    return placed;
}

} // namespace TracePlot
