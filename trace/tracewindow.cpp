#include "tracewindow.h"

#include "movetablemodel.h"
#include "provenance.h"
#include "savelocation.h"
#include "stage.h"
#include "tracechartview.h"
#include "tracecsv.h"
#include "traceplot.h"
#include "tracerecorder.h"
#include "wholefile.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QGraphicsSimpleTextItem>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QSplitter>
#include <QSvgGenerator>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>

#include <cmath>
#include <limits>

namespace {
// Redraws are coalesced: at most one per kFrameMs however fast the samples come. A redraw costs
// about 2 ms of Qt Charts layout and painting, so eight to ten a second keep the panel under 3 %
// of a core while the plot still follows the stage smoothly.
constexpr int kFrameMs = 100;
// The travel lines reach far beyond any time axis, so they are laid out only when they change.
constexpr double kForeverS = 1e7;
// Event names drawn on the plot; more than this in view and only the markers show.
constexpr int kMaxEventLabels = 40;
constexpr int kEventLabelRows = 4;
// The link's own poll, which feeds the trace when no faster sampling is asked for.
constexpr int kPollIntervalMs = 500;
// Room a time label needs on the axis, so the ticks stay readable in a narrow window.
constexpr int kPixelsPerTimeTick = 90;
constexpr int kPositionIntervals = 5;

QPen pen(const QColor &color, qreal width, Qt::PenStyle style = Qt::SolidLine)
{
    QPen p(color, width, style);
    p.setCosmetic(true);
    return p;
}

// The series' colours on a light and on a dark background.
struct Colours {
    QColor position, target, travel, event, eventText, background;
};

Colours colours(bool dark)
{
    if (dark)
        return {QColor(0x6c, 0xa8, 0xff), QColor(0xff, 0xa0, 0x40), QColor(0xe0, 0x60, 0x60),
                QColor(0x70, 0xc8, 0x70), QColor(0xa0, 0xe0, 0xa0), QColor(0x26, 0x28, 0x2e)};
    return {QColor(0x1f, 0x5f, 0xbf), QColor(0xd0, 0x70, 0x10), QColor(0xb0, 0x20, 0x20),
            QColor(0x30, 0x90, 0x30), QColor(0x20, 0x60, 0x20), QColor(Qt::white)};
}

// The index range of the items of segment number in a ring ordered by time (and so by segment).
template <typename T> std::pair<int, int> segmentRange(const RingBuffer<T> &ring, int number)
{
    return {ring.lowerBound(number, [](const T &item, int n) { return item.segment < n; }),
            ring.lowerBound(number, [](const T &item, int n) { return item.segment <= n; })};
}

QString axisFormat(double step)
{
    return QStringLiteral("%.%1f").arg(TracePlot::decimalsFor(step));
}
} // namespace

TraceWindow::TraceWindow(TraceRecorder *recorder, QWidget *parent)
    : QWidget(parent, Qt::Window), stage(recorder->stage()), rec(recorder),
      movesModel(new MoveTableModel(rec, this)), frameTimer(new QTimer(this))
{
    setWindowTitle(tr("Trace"));
    buildUi();
    applyTheme();
    resize(960, 680);

    frameTimer->setSingleShot(true);
    frameTimer->setInterval(kFrameMs);
    connect(frameTimer, &QTimer::timeout, this, &TraceWindow::redraw);
    connect(rec, &TraceRecorder::recorded, this, [this] {
        if (!paused)
            scheduleRedraw();
    });
    connect(rec, &TraceRecorder::cleared, this, [this] {
        readout->clear();
        scheduleRedraw();
    });
    connect(movesModel, &QAbstractItemModel::rowsInserted, movesView, &QTableView::scrollToBottom);
}

TraceWindow::~TraceWindow()
{
    if (stage)
        stage->requestSampling(this, 0);
}

QLayout *TraceWindow::buildControls()
{
    viewBox = new QComboBox;
    viewBox->setObjectName(QStringLiteral("comboBox_View"));
    viewBox->addItem(tr("Last 10 s"), 10);
    viewBox->addItem(tr("Last 1 min"), 60);
    viewBox->addItem(tr("Last 10 min"), 600);
    viewBox->addItem(tr("All"), 0);

    samplingBox = new QComboBox;
    samplingBox->setObjectName(QStringLiteral("comboBox_Sampling"));
    samplingBox->addItem(tr("Poll (500 ms)"), 0);
    for (const int ms : {200, 100, 50, 20})
        samplingBox->addItem(tr("%1 ms").arg(ms), ms);

    pauseButton = new QPushButton(tr("Pause"));
    pauseButton->setObjectName(QStringLiteral("pushButton_Pause"));
    pauseButton->setCheckable(true);
    auto *clearButton = new QPushButton(tr("Clear"));
    clearButton->setObjectName(QStringLiteral("pushButton_Clear"));
    clearButton->setToolTip(tr("Forget everything recorded so far"));

    toleranceBox = new QDoubleSpinBox;
    toleranceBox->setObjectName(QStringLiteral("doubleSpinBox_Tolerance"));
    toleranceBox->setDecimals(3);
    toleranceBox->setRange(0.001, 100000.0);
    toleranceBox->setSingleStep(0.1);
    toleranceBox->setValue(rec->toleranceUm());

    // The files the trace writes, behind one button, so the window fits beside the panel on a
    // laptop's screen.
    auto *exportMenu = new QMenu(this);
    QAction *exportCsv = exportMenu->addAction(tr("Trace as CSV\u2026"));
    exportCsv->setObjectName(QStringLiteral("actionExportCsv"));
    QAction *exportMoves = exportMenu->addAction(tr("Moves as CSV\u2026"));
    exportMoves->setObjectName(QStringLiteral("actionExportMoves"));
    QAction *saveImage = exportMenu->addAction(tr("Image (PNG or SVG)\u2026"));
    saveImage->setObjectName(QStringLiteral("actionSaveImage"));
    auto *exportButton = new QPushButton(tr("Export"));
    exportButton->setObjectName(QStringLiteral("pushButton_Export"));
    exportButton->setMenu(exportMenu);

    auto *view = new QHBoxLayout;
    view->addWidget(new QLabel(tr("View:")));
    view->addWidget(viewBox);
    view->addWidget(new QLabel(tr("Sampling:")));
    view->addWidget(samplingBox);
    view->addWidget(pauseButton);
    view->addStretch(1);
    auto *files = new QHBoxLayout;
    files->addWidget(new QLabel(tr("Tolerance [\u00b5m]:")));
    files->addWidget(toleranceBox);
    files->addStretch(1);
    files->addWidget(clearButton);
    files->addWidget(exportButton);
    auto *rows = new QVBoxLayout;
    rows->addLayout(view);
    rows->addLayout(files);

    connect(viewBox, QOverload<int>::of(&QComboBox::currentIndexChanged), this, [this] {
        setPaused(false);
        redraw();
    });
    connect(samplingBox, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &TraceWindow::applySampling);
    connect(pauseButton, &QPushButton::toggled, this, &TraceWindow::setPaused);
    connect(clearButton, &QPushButton::clicked, this, &TraceWindow::confirmClear);
    connect(toleranceBox, &QDoubleSpinBox::editingFinished, this,
            [this] { rec->setToleranceUm(toleranceBox->value()); });
    connect(exportCsv, &QAction::triggered, this, &TraceWindow::chooseTraceFile);
    connect(exportMoves, &QAction::triggered, this, &TraceWindow::chooseMovesFile);
    connect(saveImage, &QAction::triggered, this, &TraceWindow::chooseImageFile);
    return rows;
}

void TraceWindow::buildChart()
{
    chart = new QChart;
    chart->legend()->setAlignment(Qt::AlignBottom);
    chart->setMargins(QMargins(4, 4, 4, 4));
    travelMinSeries = new QLineSeries;
    travelMinSeries->setName(tr("Travel limits"));
    travelMaxSeries = new QLineSeries;
    eventSeries = new QScatterSeries;
    eventSeries->setName(tr("Events"));
    eventSeries->setMarkerShape(QScatterSeries::MarkerShapeRectangle);
    eventSeries->setMarkerSize(7.0);

    timeAxis = new QValueAxis;
    timeAxis->setTitleText(tr("Time [s]"));
    // Ticks at whole multiples of a round step, wherever the span begins.
    timeAxis->setTickType(QValueAxis::TicksDynamic);
    timeAxis->setTickAnchor(0.0);
    timeAxis->setTickInterval(1.0);
    timeAxis->setLabelFormat(QStringLiteral("%.0f"));
    positionAxis = new QValueAxis;
    positionAxis->setTitleText(tr("Position [\u00b5m]"));
    positionAxis->setLabelFormat(QStringLiteral("%.2f"));
    chart->addAxis(timeAxis, Qt::AlignBottom);
    chart->addAxis(positionAxis, Qt::AlignLeft);
    for (QXYSeries *series :
         {static_cast<QXYSeries *>(travelMinSeries), static_cast<QXYSeries *>(travelMaxSeries),
          static_cast<QXYSeries *>(eventSeries)}) {
        chart->addSeries(series);
        series->attachAxis(timeAxis);
        series->attachAxis(positionAxis);
    }
    chart->legend()->markers(travelMaxSeries).first()->setVisible(false);
    // The first line of each kind is there from the start, so the legend names them in order.
    lineAt(targetLines, 0);
    lineAt(positionLines, 0);

    chartView = new TraceChartView(chart);
    chartView->setObjectName(QStringLiteral("chartView"));
    chartView->setMinimumHeight(200);
}

void TraceWindow::buildUi()
{
    QLayout *controls = buildControls();
    buildChart();

    readout = new QLabel;
    readout->setObjectName(QStringLiteral("label_Readout"));
    readout->setWordWrap(true);
    readout->setText(tr("Drag to zoom, wheel to zoom, right-drag to pan, double-click to follow."));

    movesView = new QTableView;
    movesView->setObjectName(QStringLiteral("tableView_Moves"));
    movesView->setModel(movesModel);
    movesView->verticalHeader()->setVisible(false);
    // Columns as wide as their headings need; a narrow window scrolls the table sideways rather
    // than cutting its headings.
    QHeaderView *header = movesView->horizontalHeader();
    header->setSectionResizeMode(QHeaderView::Interactive);
    header->setStretchLastSection(true);
    for (int column = 0; column < movesModel->columnCount(); ++column) {
        const QString heading = movesModel->headerData(column, Qt::Horizontal).toString();
        header->resizeSection(column, header->fontMetrics().horizontalAdvance(heading) + 24);
    }
    movesView->setSelectionBehavior(QAbstractItemView::SelectRows);

    auto *plotPane = new QWidget;
    auto *plotLayout = new QVBoxLayout(plotPane);
    plotLayout->setContentsMargins(0, 0, 0, 0);
    plotLayout->addWidget(chartView, 1);
    plotLayout->addWidget(readout);
    auto *splitter = new QSplitter(Qt::Vertical);
    splitter->addWidget(plotPane);
    splitter->addWidget(movesView);
    splitter->setStretchFactor(0, 3);
    splitter->setStretchFactor(1, 1);

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(controls);
    layout->addWidget(splitter, 1);

    connect(chartView, &TraceChartView::navigated, this, [this] {
        setPaused(true);
        scheduleRedraw();
    });
    connect(chartView, &TraceChartView::followRequested, this, [this] { setPaused(false); });
    connect(chartView, &TraceChartView::hovered, this, &TraceWindow::showReadout);
}

QLineSeries *TraceWindow::lineAt(QList<QLineSeries *> &pool, int index)
{
    while (pool.size() <= index) {
        auto *series = new QLineSeries;
        const bool position = &pool == &positionLines;
        const Colours c = colours(dark);
        chart->addSeries(series);
        series->attachAxis(timeAxis);
        series->attachAxis(positionAxis);
        series->setPen(position ? pen(c.position, 1.5) : pen(c.target, 1.2, Qt::DashLine));
        if (pool.isEmpty())
            series->setName(position ? tr("Position") : tr("Target"));
        else
            chart->legend()->markers(series).first()->setVisible(false);
        pool.append(series);
    }
    return pool.at(index);
}

void TraceWindow::applyTheme()
{
    dark = palette().color(QPalette::Window).lightness() < 128;
    const QChart::ChartTheme theme = dark ? QChart::ChartThemeDark : QChart::ChartThemeLight;
    if (chart->theme() != theme)
        chart->setTheme(theme);
    // The theme paints a background of its own; the view's shows through instead.
    chart->setBackgroundVisible(false);
    const Colours c = colours(dark);
    chartView->setBackgroundBrush(c.background);
    // A theme recolours every series: the trace's own colours go back on.
    for (QLineSeries *series : qAsConst(positionLines))
        series->setPen(pen(c.position, 1.5));
    for (QLineSeries *series : qAsConst(targetLines))
        series->setPen(pen(c.target, 1.2, Qt::DashLine));
    travelMinSeries->setPen(pen(c.travel, 1.0, Qt::DotLine));
    travelMaxSeries->setPen(travelMinSeries->pen());
    eventSeries->setColor(c.event);
    eventSeries->setBorderColor(c.event);
    for (QGraphicsSimpleTextItem *label : qAsConst(eventLabels))
        label->setBrush(c.eventText);
}

void TraceWindow::changeEvent(QEvent *event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::PaletteChange && chart) {
        applyTheme();
        scheduleRedraw();
    }
}

void TraceWindow::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    applySampling();
    redraw();
}

void TraceWindow::hideEvent(QHideEvent *event)
{
    // A closed window asks for nothing: the line carries the poll alone again.
    if (stage)
        stage->requestSampling(this, 0);
    frameTimer->stop();
    QWidget::hideEvent(event);
}

void TraceWindow::applySampling()
{
    if (stage)
        stage->requestSampling(this, isVisible() ? samplingBox->currentData().toInt() : 0);
}

void TraceWindow::setPaused(bool pause)
{
    if (pause == paused)
        return;
    paused = pause;
    {
        const QSignalBlocker blocker(pauseButton);
        pauseButton->setChecked(pause);
    }
    pauseButton->setText(pause ? tr("Resume") : tr("Pause"));
    if (!pause) {
        chart->zoomReset();
        redraw();
    }
}

double TraceWindow::spanS() const
{
    return viewBox->currentData().toDouble();
}

void TraceWindow::scheduleRedraw()
{
    if (isVisible() && !frameTimer->isActive())
        frameTimer->start();
}

void TraceWindow::redraw()
{
    if (!isVisible())
        return;
    ++frames;
    const auto [xMin, xMax] = visibleSpan();
    TracePlot::Thinned extent;
    drawPositions(xMin, xMax, &extent);
    drawTargets(xMin, xMax, &extent);
    if (!paused)
        scaleAxes(xMin, xMax, extent);
    drawTravelLimits();
    drawEvents(xMin, xMax);
    // Lay the chart out now rather than on the posted request, so the frame is painted once.
    QCoreApplication::sendPostedEvents(chart, QEvent::LayoutRequest);
}

std::pair<double, double> TraceWindow::visibleSpan() const
{
    // The operator's zoom and pan own the axes; only the data under them is refreshed.
    if (paused)
        return {timeAxis->min(), timeAxis->max()};
    const RingBuffer<TraceSample> &samples = rec->samples();
    double xMax = rec->nowS();
    if (!samples.isEmpty())
        xMax = std::max(xMax, samples.last().timeS);
    const double span = spanS();
    double xMin;
    if (span > 0.0)
        xMin = xMax - span;
    else
        xMin = samples.isEmpty() ? 0.0 : std::min(0.0, samples.at(0).timeS);
    if (xMax - xMin < 1.0)
        xMax = xMin + 1.0;
    return {xMin, xMax};
}

void TraceWindow::drawPositions(double xMin, double xMax, TracePlot::Thinned *extent)
{
    const RingBuffer<TraceSample> &samples = rec->samples();
    auto [first, last] = rec->indexRange(xMin, xMax);
    // One sample beyond each end, so the line reaches the plot's edges.
    first = std::max(0, first - 1);
    last = std::min(samples.size(), last + 1);
    const int columns = std::max(100, int(chart->plotArea().width()));
    int line = 0;
    for (int i = first; i < last;) {
        const int segmentEnd = std::min(last, segmentRange(samples, samples.at(i).segment).second);
        const TracePlot::Thinned part = TracePlot::thin(
            i, segmentEnd,
            [&samples](int k) { return QPointF(samples.at(k).timeS, samples.at(k).positionUm); },
            xMin, xMax, columns);
        lineAt(positionLines, line++)->replace(part.points);
        if (part.yMin <= part.yMax) {
            extent->widen(part.yMin);
            extent->widen(part.yMax);
        }
        i = segmentEnd;
    }
    for (int unused = line; unused < positionLines.size(); ++unused) {
        if (positionLines.at(unused)->count() > 0)
            positionLines.at(unused)->clear();
    }
}

void TraceWindow::drawTargets(double xMin, double xMax, TracePlot::Thinned *extent)
{
    // A step line through every commanded target in view, one per connection, ending where the
    // connection ended.
    const RingBuffer<TargetChange> &targets = rec->targets();
    int line = 0;
    for (const TraceSegment &segment : rec->segments()) {
        const double end = segment.isOpen() ? xMax : std::min(xMax, segment.endS);
        if (end < xMin || segment.startS > xMax)
            continue;
        const auto [begin, finish] = segmentRange(targets, segment.number);
        int t =
            targets.lowerBound(xMin, [](const TargetChange &c, double x) { return c.timeS < x; });
        t = std::max(t, begin);
        QVector<QPointF> steps;
        if (t > begin) {
            steps.append(QPointF(xMin, targets.at(t - 1).targetUm));
            extent->widen(targets.at(t - 1).targetUm);
        }
        for (; t < finish && targets.at(t).timeS <= xMax; ++t) {
            const TargetChange &c = targets.at(t);
            if (!steps.isEmpty())
                steps.append(QPointF(c.timeS, steps.last().y()));
            steps.append(QPointF(c.timeS, c.targetUm));
            extent->widen(c.targetUm);
        }
        if (steps.isEmpty())
            continue;
        steps.append(QPointF(std::max(end, steps.last().x()), steps.last().y()));
        lineAt(targetLines, line++)->replace(steps);
    }
    for (int unused = line; unused < targetLines.size(); ++unused) {
        if (targetLines.at(unused)->count() > 0)
            targetLines.at(unused)->clear();
    }
}

void TraceWindow::scaleAxes(double xMin, double xMax, const TracePlot::Thinned &extent)
{
    double yMin = extent.yMin;
    double yMax = extent.yMax;
    if (!(yMin <= yMax)) {
        yMin = -1.0;
        yMax = 1.0;
    }
    timeAxis->setRange(xMin, xMax);
    const int timeIntervals = std::max(2, int(chart->plotArea().width()) / kPixelsPerTimeTick);
    const double timeStep = TracePlot::roundStep(xMax - xMin, timeIntervals);
    if (timeAxis->tickInterval() != timeStep) {
        timeAxis->setTickInterval(timeStep);
        timeAxis->setLabelFormat(axisFormat(timeStep));
    }
    // Round ends and a round step, without the wide ranges applyNiceNumbers() picks, and room
    // at the top for the event names.
    const double margin = std::max(0.08 * (yMax - yMin), 0.5);
    const TracePlot::Range y =
        TracePlot::roundedRange(yMin - margin, yMax + 2.5 * margin, kPositionIntervals);
    positionAxis->setRange(y.from, y.to);
    positionAxis->setTickCount(y.tickCount());
    positionAxis->setLabelFormat(axisFormat(y.step));
}

void TraceWindow::drawTravelLimits()
{
    const auto travelLine = [](QLineSeries *series, double um) {
        if (series->count() != 2 || series->at(0).y() != um)
            series->replace(QVector<QPointF>{QPointF(-kForeverS, um), QPointF(kForeverS, um)});
    };
    travelLine(travelMinSeries, rec->travelMinUm());
    travelLine(travelMaxSeries, rec->travelMaxUm());
}

void TraceWindow::drawEvents(double xMin, double xMax)
{
    // A marker at the top of the plot and, while there are few, their names.
    const RingBuffer<TraceEvent> &events = rec->events();
    const double top = positionAxis->max();
    QVector<QPointF> marks;
    QStringList names;
    int e = events.lowerBound(xMin, [](const TraceEvent &ev, double x) { return ev.timeS < x; });
    for (; e < events.size() && events.at(e).timeS <= xMax; ++e) {
        marks.append(QPointF(events.at(e).timeS, top));
        names.append(events.at(e).label());
    }
    if (marks != shownMarks) {
        eventSeries->replace(marks);
        shownMarks = marks;
    }
    const bool labelled = marks.size() <= kMaxEventLabels;
    const int shown = labelled ? int(marks.size()) : 0;
    QVector<QPointF> at;
    QVector<QSizeF> sizes;
    for (int i = 0; i < shown; ++i) {
        if (i >= eventLabels.size()) {
            auto *label = new QGraphicsSimpleTextItem(chart);
            label->setBrush(colours(dark).eventText);
            QFont font = label->font();
            font.setPointSizeF(font.pointSizeF() * 0.85);
            label->setFont(font);
            eventLabels.append(label);
        }
        eventLabels.at(i)->setText(names.at(i));
        at.append(chart->mapToPosition(marks.at(i), eventSeries));
        sizes.append(eventLabels.at(i)->boundingRect().size());
    }
    // Close events stack in rows; a name with no room anywhere leaves its marker alone.
    const QVector<QRectF> places =
        TracePlot::placeLabels(at, sizes, chart->plotArea(), kEventLabelRows);
    for (int i = 0; i < eventLabels.size(); ++i) {
        QGraphicsSimpleTextItem *label = eventLabels.at(i);
        if (i >= shown || places.at(i).isEmpty()) {
            label->hide();
            continue;
        }
        label->setPos(places.at(i).topLeft());
        label->show();
    }
}

void TraceWindow::showReadout(const QPointF &value)
{
    QString text = tr("t = %1 s, %2 \u00b5m").arg(value.x(), 0, 'f', 3).arg(value.y(), 0, 'f', 3);
    const TraceSegment *segment = rec->segmentAt(value.x());
    const int i = rec->nearestSample(value.x());
    if (!segment) {
        text += tr("   (no connection at this time)");
    } else if (i >= 0) {
        // Only a sample of the connection under the cursor, never one of its neighbours.
        const TraceSample &s = rec->samples().at(i);
        text += tr("   connection %1, sample at %2 s (%3): %4 \u00b5m (%5)")
                    .arg(segment->number)
                    .arg(s.timeS - segment->startS, 0, 'f', 3)
                    .arg(isoUtc(segment->utcMsAt(s.timeS)))
                    .arg(s.positionUm, 0, 'f', 3)
                    .arg(positionSourceName(s.source));
        if (s.hasTarget())
            text += tr(", target %1 \u00b5m").arg(s.targetUm, 0, 'f', 3);
    }
    readout->setText(text);
}

void TraceWindow::confirmClear()
{
    const auto answer = QMessageBox::question(
        this, tr("Clear"), tr("Forget every sample, event and move recorded so far?"),
        QMessageBox::Discard | QMessageBox::Cancel, QMessageBox::Cancel);
    if (answer == QMessageBox::Discard) {
        rec->clear();
        setPaused(false);
    }
}

void TraceWindow::fail(const QString &message)
{
    QMessageBox::critical(this, tr("Error"), message, QMessageBox::Ok);
}

bool TraceWindow::exportTrace(const QString &path)
{
    Provenance p = TraceCsv::provenance(stage ? stage->state() : PanelState(), rec->segments());
    const int interval = samplingBox->currentData().toInt();
    p.samplingMs = interval > 0 ? interval : kPollIntervalMs;
    p.toleranceUm = rec->toleranceUm();
    QString error;
    if (TraceCsv::saveTrace(path, p.header(), rec->samples(), rec->events(), rec->segments(),
                            &error))
        return true;
    fail(error);
    return false;
}

bool TraceWindow::exportMoves(const QString &path)
{
    rec->updateMoves();
    Provenance p = TraceCsv::provenance(stage ? stage->state() : PanelState(), rec->segments());
    const int interval = samplingBox->currentData().toInt();
    p.samplingMs = interval > 0 ? interval : kPollIntervalMs;
    p.toleranceUm = rec->toleranceUm();
    QString error;
    if (TraceCsv::saveMoves(path, p.header(), rec->moves(), rec->segments(), &error))
        return true;
    fail(error);
    return false;
}

QString TraceWindow::imageTitle() const
{
    const double from = timeAxis->min();
    const double to = timeAxis->max();
    const TraceSegment *segment = rec->segmentAt(to);
    if (!segment && !rec->segments().empty())
        segment = &rec->segments().back();
    const PanelState link = segment ? segment->link : (stage ? stage->state() : PanelState());
    const QString port = link.chosenPort.isEmpty() ? link.port : link.chosenPort;
    QString what = link.model.isEmpty() ? tr("No controller")
                                        : QStringLiteral("DVX%1 %2").arg(link.model, link.firmware);
    if (!port.isEmpty())
        what = tr("%1 on %2").arg(what, port);
    return tr("%1, %2 to %3").arg(what, isoUtc(rec->utcMsAt(from)), isoUtc(rec->utcMsAt(to)));
}

bool TraceWindow::saveImage(const QString &path)
{
    const bool svg =
        QFileInfo(path).suffix().compare(QLatin1String("svg"), Qt::CaseInsensitive) == 0;
    const QString title = imageTitle();
    // The title is on the image only, not in the window.
    chart->setTitle(title);
    QCoreApplication::sendPostedEvents(chart, QEvent::LayoutRequest);
    redraw();
    const QString error = WholeFile::writeStream(path, [this, svg, &title](QIODevice *out) {
        if (!svg)
            return chartView->grab().save(out, "PNG");
        QSvgGenerator generator;
        generator.setOutputDevice(out);
        generator.setSize(chartView->size());
        generator.setViewBox(QRect(QPoint(0, 0), chartView->size()));
        generator.setTitle(title);
        QPainter painter;
        if (!painter.begin(&generator))
            return false;
        chartView->render(&painter);
        return painter.end();
    });
    chart->setTitle(QString());
    QCoreApplication::sendPostedEvents(chart, QEvent::LayoutRequest);
    redraw();
    if (!error.isEmpty())
        fail(error);
    return error.isEmpty();
}

void TraceWindow::chooseTraceFile()
{
    const QString path = QFileDialog::getSaveFileName(
        this, tr("Export CSV"),
        SaveLocation::proposed(QStringLiteral("trace"), QStringLiteral("csv")),
        tr("CSV files (*.csv)"));
    if (path.isEmpty())
        return;
    SaveLocation::remember(path);
    exportTrace(path);
}

void TraceWindow::chooseMovesFile()
{
    const QString path = QFileDialog::getSaveFileName(
        this, tr("Export moves"),
        SaveLocation::proposed(QStringLiteral("moves"), QStringLiteral("csv")),
        tr("CSV files (*.csv)"));
    if (path.isEmpty())
        return;
    SaveLocation::remember(path);
    exportMoves(path);
}

void TraceWindow::chooseImageFile()
{
    QString filter;
    QString path = QFileDialog::getSaveFileName(
        this, tr("Save image"),
        SaveLocation::proposed(QStringLiteral("trace"), QStringLiteral("png")),
        tr("PNG image (*.png);;SVG image (*.svg)"), &filter);
    if (path.isEmpty())
        return;
    if (QFileInfo(path).suffix().isEmpty())
        path +=
            filter.contains(QLatin1String("svg")) ? QStringLiteral(".svg") : QStringLiteral(".png");
    SaveLocation::remember(path);
    saveImage(path);
}
