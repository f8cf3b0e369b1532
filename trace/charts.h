#pragma once

// Qt Charts lives in the namespace QtCharts under Qt 5 and in none under Qt 6; everything of the
// trace that names a chart class includes this instead of the chart headers themselves.
#include <QtCharts/QAbstractSeries>
#include <QtCharts/QChart>
#include <QtCharts/QChartView>
#include <QtCharts/QLegend>
#include <QtCharts/QLegendMarker>
#include <QtCharts/QLineSeries>
#include <QtCharts/QScatterSeries>
#include <QtCharts/QValueAxis>
#include <QtCharts/QXYSeries>

#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
using QtCharts::QAbstractSeries;
using QtCharts::QChart;
using QtCharts::QChartView;
using QtCharts::QLegendMarker;
using QtCharts::QLineSeries;
using QtCharts::QScatterSeries;
using QtCharts::QValueAxis;
using QtCharts::QXYSeries;
#endif
