#pragma once

#include <QPointF>
#include <QRectF>
#include <QSizeF>
#include <QVector>

#include <algorithm>
#include <cmath>
#include <limits>

// The arithmetic of the trace's plot, apart from any chart: which points to draw, where the
// axis ticks go and where an event's name fits.
namespace TracePlot {

struct Thinned {
    QVector<QPointF> points;
    // The lowest and highest position of the samples inside [xMin, xMax]; yMin > yMax when none.
    double yMin = std::numeric_limits<double>::infinity();
    double yMax = -std::numeric_limits<double>::infinity();

    void widen(double y)
    {
        yMin = std::min(yMin, y);
        yMax = std::max(yMax, y);
    }
};

// The points to draw for samples first..last-1 (in time order; sampleAt(i) gives time and
// position) over [xMin, xMax] in columns pixel columns: every sample while there are at most two
// per column, else the lowest and the highest sample of each column in their time order, so
// that no peak and no valley goes missing however many samples share a pixel.
template <typename SampleAt>
Thinned thin(int first, int last, SampleAt sampleAt, double xMin, double xMax, int columns)
{
    Thinned out;
    columns = std::max(1, columns);
    const auto widenInside = [&](const QPointF &p) {
        if (p.x() >= xMin && p.x() <= xMax)
            out.widen(p.y());
    };
    if (last - first <= 2 * columns) {
        out.points.reserve(std::max(0, last - first));
        for (int i = first; i < last; ++i) {
            const QPointF p = sampleAt(i);
            out.points.append(p);
            widenInside(p);
        }
        return out;
    }
    out.points.reserve(4 * columns);
    const double width = (xMax - xMin) / columns;
    long long column = std::numeric_limits<long long>::min();
    QPointF low;
    QPointF high;
    bool any = false;
    const auto emitColumn = [&] {
        if (!any)
            return;
        if (low == high) {
            out.points.append(low);
        } else if (low.x() <= high.x()) {
            out.points.append(low);
            out.points.append(high);
        } else {
            out.points.append(high);
            out.points.append(low);
        }
    };
    for (int i = first; i < last; ++i) {
        const QPointF p = sampleAt(i);
        const long long c = width > 0.0 ? (long long)(std::floor((p.x() - xMin) / width)) : 0;
        if (!any || c != column) {
            emitColumn();
            column = c;
            low = high = p;
            any = true;
        } else {
            // Not a number is neither a peak nor a valley.
            if (p.y() < low.y())
                low = p;
            if (p.y() > high.y())
                high = p;
        }
        widenInside(p);
    }
    emitColumn();
    return out;
}

// A round step, 1, 2 or 5 times a power of ten, that cuts span into at most maxIntervals parts
// (and at least a fifth as many); 1 for an empty or unusable span.
double roundStep(double span, int maxIntervals);
// Decimals a label needs to tell ticks step apart: 0 for steps of 1 and more.
int decimalsFor(double step);

struct Range {
    double from = 0.0;
    double to = 1.0;
    double step = 1.0;
    int tickCount() const { return int(std::lround((to - from) / step)) + 1; }
};
// [low, high] widened outwards to whole steps of roundStep(high - low, intervals).
Range roundedRange(double low, double high, int intervals);

// Where an event's name goes, for a marker at marker and a name of size label inside plot: just
// right of and below the marker, stepping down a row per neighbour (row 0, 1, 2, ...) so close
// events stay readable; to the marker's left where the right would leave the plot; never outside
// the plot where it fits.
QPointF labelPosition(const QPointF &marker, const QSizeF &label, const QRectF &plot, int row);

// Where each of several names goes (markers in order along the axis, sizes of their names): in
// the first of rows rows where it overlaps no name placed before it; an empty rectangle for a
// name that has no room in any row and is left out.
QVector<QRectF> placeLabels(const QVector<QPointF> &markers, const QVector<QSizeF> &sizes,
                            const QRectF &plot, int rows);

} // namespace TracePlot
