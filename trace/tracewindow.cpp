#include "tracewindow.h"

#include "movetablemodel.h"
#include "stage.h"
#include "tracechartview.h"
#include "tracecsv.h"
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
constexpr double kInf = std::numeric_limits<double>::infinity();

QPen pen(const QColor &color, qreal width, Qt::PenStyle style = Qt::SolidLine)
{
    QPen p(color, width, style);
    p.setCosmetic(true);
    return p;
}
} // namespace

TraceWindow::TraceWindow(Stage *stage, QWidget *parent)
    : QWidget(parent, Qt::Window), stage(stage), rec(new TraceRecorder(stage, {}, this)),
      movesModel(new MoveTableModel(rec, this)), frameTimer(new QTimer(this))
{
    setWindowTitle(tr("Trace"));
    buildUi();
    resize(960, 680);

    frameTimer->setSingleShot(true);
    frameTimer->setInterval(kFrameMs);
    connect(frameTimer, &QTimer::timeout, this, &TraceWindow::redraw);
    connect(rec, &TraceRecorder::recorded, this, [this] {
        if (!paused)
            scheduleRedraw();
    });
    connect(rec, &TraceRecorder::cleared, this, &TraceWindow::scheduleRedraw);
    connect(movesModel, &QAbstractItemModel::rowsInserted, movesView, &QTableView::scrollToBottom);
}

TraceWindow::~TraceWindow()
{
    if (stage)
        stage->requestSampling(this, 0);
}

void TraceWindow::buildUi()
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

    toleranceBox = new QDoubleSpinBox;
    toleranceBox->setObjectName(QStringLiteral("doubleSpinBox_Tolerance"));
    toleranceBox->setDecimals(3);
    toleranceBox->setRange(0.001, 100000.0);
    toleranceBox->setSingleStep(0.1);
    toleranceBox->setValue(rec->toleranceUm());

    auto *exportButton = new QPushButton(tr("Export CSV\u2026"));
    exportButton->setObjectName(QStringLiteral("pushButton_ExportCsv"));
    auto *movesButton = new QPushButton(tr("Export moves\u2026"));
    movesButton->setObjectName(QStringLiteral("pushButton_ExportMoves"));
    auto *imageButton = new QPushButton(tr("Save image\u2026"));
    imageButton->setObjectName(QStringLiteral("pushButton_SaveImage"));

    auto *controls = new QHBoxLayout;
    controls->addWidget(new QLabel(tr("View:")));
    controls->addWidget(viewBox);
    controls->addWidget(new QLabel(tr("Sampling:")));
    controls->addWidget(samplingBox);
    controls->addWidget(pauseButton);
    controls->addWidget(new QLabel(tr("Tolerance [\u00b5m]:")));
    controls->addWidget(toleranceBox);
    controls->addStretch(1);
    controls->addWidget(exportButton);
    controls->addWidget(movesButton);
    controls->addWidget(imageButton);

    chart = new QChart;
    chart->legend()->setAlignment(Qt::AlignBottom);
    chart->setMargins(QMargins(4, 4, 4, 4));
    // One fill less per frame: the view's own white background shows through.
    chart->setBackgroundVisible(false);
    positionSeries = new QLineSeries;
    positionSeries->setName(tr("Position"));
    positionSeries->setPen(pen(QColor(0x1f, 0x5f, 0xbf), 1.5));
    targetSeries = new QLineSeries;
    targetSeries->setName(tr("Target"));
    targetSeries->setPen(pen(QColor(0xd0, 0x70, 0x10), 1.2, Qt::DashLine));
    travelMinSeries = new QLineSeries;
    travelMinSeries->setName(tr("Travel limits"));
    travelMinSeries->setPen(pen(QColor(0xb0, 0x20, 0x20), 1.0, Qt::DotLine));
    travelMaxSeries = new QLineSeries;
    travelMaxSeries->setPen(travelMinSeries->pen());
    eventSeries = new QScatterSeries;
    eventSeries->setName(tr("Events"));
    eventSeries->setMarkerShape(QScatterSeries::MarkerShapeRectangle);
    eventSeries->setMarkerSize(7.0);
    eventSeries->setColor(QColor(0x30, 0x90, 0x30));
    eventSeries->setBorderColor(QColor(0x30, 0x90, 0x30));

    timeAxis = new QValueAxis;
    timeAxis->setTitleText(tr("Time [s]"));
    timeAxis->setLabelFormat(QStringLiteral("%.1f"));
    positionAxis = new QValueAxis;
    positionAxis->setTitleText(tr("Position [\u00b5m]"));
    positionAxis->setLabelFormat(QStringLiteral("%.2f"));
    chart->addAxis(timeAxis, Qt::AlignBottom);
    chart->addAxis(positionAxis, Qt::AlignLeft);
    for (QXYSeries *series :
         {static_cast<QXYSeries *>(travelMinSeries), static_cast<QXYSeries *>(travelMaxSeries),
          static_cast<QXYSeries *>(targetSeries), static_cast<QXYSeries *>(positionSeries),
          static_cast<QXYSeries *>(eventSeries)}) {
        chart->addSeries(series);
        series->attachAxis(timeAxis);
        series->attachAxis(positionAxis);
    }
    chart->legend()->markers(travelMaxSeries).first()->setVisible(false);

    chartView = new TraceChartView(chart);
    chartView->setObjectName(QStringLiteral("chartView"));
    chartView->setMinimumHeight(240);
    chartView->setBackgroundBrush(Qt::white);

    readout = new QLabel;
    readout->setObjectName(QStringLiteral("label_Readout"));
    readout->setText(tr("Drag to zoom, wheel to zoom, right-drag to pan, double-click to follow."));

    movesView = new QTableView;
    movesView->setObjectName(QStringLiteral("tableView_Moves"));
    movesView->setModel(movesModel);
    movesView->verticalHeader()->setVisible(false);
    movesView->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
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

    connect(viewBox, QOverload<int>::of(&QComboBox::currentIndexChanged), this, [this] {
        setPaused(false);
        redraw();
    });
    connect(samplingBox, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &TraceWindow::applySampling);
    connect(pauseButton, &QPushButton::toggled, this, &TraceWindow::setPaused);
    connect(toleranceBox, &QDoubleSpinBox::editingFinished, this,
            [this] { rec->setToleranceUm(toleranceBox->value()); });
    connect(exportButton, &QPushButton::clicked, this, &TraceWindow::chooseTraceFile);
    connect(movesButton, &QPushButton::clicked, this, &TraceWindow::chooseMovesFile);
    connect(imageButton, &QPushButton::clicked, this, &TraceWindow::chooseImageFile);
    connect(chartView, &TraceChartView::navigated, this, [this] {
        setPaused(true);
        scheduleRedraw();
    });
    connect(chartView, &TraceChartView::followRequested, this, [this] { setPaused(false); });
    connect(chartView, &TraceChartView::hovered, this, &TraceWindow::showReadout);
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
    const RingBuffer<TraceSample> &samples = rec->samples();

    double xMin;
    double xMax;
    if (paused) {
        // The operator's zoom and pan own the axes; only the data under them is refreshed.
        xMin = timeAxis->min();
        xMax = timeAxis->max();
    } else {
        xMax = rec->nowS();
        if (!samples.isEmpty())
            xMax = std::max(xMax, samples.last().timeS);
        const double span = spanS();
        if (span > 0.0)
            xMin = xMax - span;
        else
            xMin = samples.isEmpty() ? 0.0 : std::min(0.0, samples.at(0).timeS);
        if (xMax - xMin < 1.0)
            xMax = xMin + 1.0;
    }

    // Position: every sample while they fit the plot's width, else the lowest and the highest
    // of each pixel column, so that no peak goes missing.
    auto [first, last] = rec->indexRange(xMin, xMax);
    first = std::max(0, first - 1);
    last = std::min(samples.size(), last + 1);
    const int columns = std::max(100, int(chart->plotArea().width()));
    QVector<QPointF> points;
    double yMin = kInf;
    double yMax = -kInf;
    const auto widen = [&](double y) {
        yMin = std::min(yMin, y);
        yMax = std::max(yMax, y);
    };
    if (last - first <= 2 * columns) {
        points.reserve(last - first);
        for (int i = first; i < last; ++i) {
            const TraceSample &s = samples.at(i);
            points.append(QPointF(s.timeS, s.positionUm));
            if (s.timeS >= xMin && s.timeS <= xMax)
                widen(s.positionUm);
        }
    } else {
        points.reserve(4 * columns);
        const double width = (xMax - xMin) / columns;
        int column = std::numeric_limits<int>::min();
        const TraceSample *low = nullptr;
        const TraceSample *high = nullptr;
        const auto emitColumn = [&] {
            if (!low)
                return;
            if (low == high) {
                points.append(QPointF(low->timeS, low->positionUm));
            } else if (low->timeS <= high->timeS) {
                points.append(QPointF(low->timeS, low->positionUm));
                points.append(QPointF(high->timeS, high->positionUm));
            } else {
                points.append(QPointF(high->timeS, high->positionUm));
                points.append(QPointF(low->timeS, low->positionUm));
            }
        };
        for (int i = first; i < last; ++i) {
            const TraceSample &s = samples.at(i);
            const int c = int(std::floor((s.timeS - xMin) / width));
            if (c != column) {
                emitColumn();
                column = c;
                low = high = &s;
            } else {
                if (s.positionUm < low->positionUm)
                    low = &s;
                if (s.positionUm > high->positionUm)
                    high = &s;
            }
            if (s.timeS >= xMin && s.timeS <= xMax)
                widen(s.positionUm);
        }
        emitColumn();
    }
    positionSeries->replace(points);

    // Target: a step line through every commanded target in view.
    const RingBuffer<TargetChange> &targets = rec->targets();
    QVector<QPointF> steps;
    int t = targets.lowerBound(xMin, [](const TargetChange &c, double x) { return c.timeS < x; });
    if (t > 0) {
        steps.append(QPointF(xMin, targets.at(t - 1).targetUm));
        widen(targets.at(t - 1).targetUm);
    }
    for (; t < targets.size() && targets.at(t).timeS <= xMax; ++t) {
        const TargetChange &c = targets.at(t);
        if (!steps.isEmpty())
            steps.append(QPointF(c.timeS, steps.last().y()));
        steps.append(QPointF(c.timeS, c.targetUm));
        widen(c.targetUm);
    }
    if (!steps.isEmpty())
        steps.append(QPointF(xMax, steps.last().y()));
    targetSeries->replace(steps);

    if (!paused) {
        if (!(yMin <= yMax)) {
            yMin = -1.0;
            yMax = 1.0;
        }
        const double margin = std::max(0.08 * (yMax - yMin), 0.5);
        timeAxis->setRange(xMin, xMax);
        // Room at the top for the event names.
        // Round ends and a round step, without the wide ranges applyNiceNumbers() picks.
        const double low = yMin - margin;
        const double high = yMax + 2.5 * margin;
        const double raw = (high - low) / 5.0;
        const double decade = std::pow(10.0, std::floor(std::log10(raw)));
        const double step = raw <= decade       ? decade
                            : raw <= 2 * decade ? 2 * decade
                            : raw <= 5 * decade ? 5 * decade
                                                : 10 * decade;
        const double from = std::floor(low / step) * step;
        const double to = std::ceil(high / step) * step;
        positionAxis->setRange(from, to);
        positionAxis->setTickCount(int(std::lround((to - from) / step)) + 1);
        positionAxis->setLabelFormat(step >= 1.0   ? QStringLiteral("%.0f")
                                     : step >= 0.1 ? QStringLiteral("%.1f")
                                                   : QStringLiteral("%.3f"));
    }
    const double top = positionAxis->max();

    const auto travelLine = [](QLineSeries *series, double um) {
        if (series->count() != 2 || series->at(0).y() != um)
            series->replace(QVector<QPointF>{QPointF(-kForeverS, um), QPointF(kForeverS, um)});
    };
    travelLine(travelMinSeries, rec->travelMinUm());
    travelLine(travelMaxSeries, rec->travelMaxUm());

    // Events: a marker at the top of the plot and, while there are few, their names.
    const RingBuffer<TraceEvent> &events = rec->events();
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
    for (int i = 0; i < std::max<int>(int(eventLabels.size()), int(marks.size())); ++i) {
        if (i >= marks.size() || !labelled) {
            if (i < eventLabels.size())
                eventLabels.at(i)->hide();
            continue;
        }
        if (i >= eventLabels.size()) {
            auto *label = new QGraphicsSimpleTextItem(chart);
            label->setBrush(QColor(0x20, 0x60, 0x20));
            QFont font = label->font();
            font.setPointSizeF(font.pointSizeF() * 0.85);
            label->setFont(font);
            eventLabels.append(label);
        }
        QGraphicsSimpleTextItem *label = eventLabels.at(i);
        label->setText(names.at(i));
        const QPointF at = chart->mapToPosition(marks.at(i), eventSeries);
        // Neighbours step down in three rows so that close events stay readable.
        label->setPos(at.x() + 4, at.y() + 4 + (i % 3) * (label->boundingRect().height() + 1));
        label->show();
    }
    // Lay the chart out now rather than on the posted request, so the frame is painted once.
    QCoreApplication::sendPostedEvents(chart, QEvent::LayoutRequest);
}

void TraceWindow::showReadout(const QPointF &value)
{
    const RingBuffer<TraceSample> &samples = rec->samples();
    QString text = tr("t = %1 s, %2 \u00b5m").arg(value.x(), 0, 'f', 3).arg(value.y(), 0, 'f', 3);
    if (!samples.isEmpty()) {
        // The sample nearest in time to the cursor.
        int i = rec->indexRange(value.x(), value.x()).first;
        if (i >= samples.size() ||
            (i > 0 && value.x() - samples.at(i - 1).timeS < samples.at(i).timeS - value.x()))
            i = std::max(0, i - 1);
        const TraceSample &s = samples.at(i);
        text += tr("   sample at %1 s: %2 \u00b5m (%3)")
                    .arg(s.timeS, 0, 'f', 3)
                    .arg(s.positionUm, 0, 'f', 3)
                    .arg(positionSourceName(s.source));
        if (s.hasTarget())
            text += tr(", target %1 \u00b5m").arg(s.targetUm, 0, 'f', 3);
    }
    readout->setText(text);
}

void TraceWindow::fail(const QString &message)
{
    QMessageBox::critical(this, tr("Error"), message, QMessageBox::Ok);
}

bool TraceWindow::exportTrace(const QString &path)
{
    QString error;
    if (TraceCsv::saveTrace(path, rec->samples(), rec->events(), &error))
        return true;
    fail(error);
    return false;
}

bool TraceWindow::exportMoves(const QString &path)
{
    rec->updateMoves();
    QString error;
    if (TraceCsv::saveMoves(path, rec->moves(), &error))
        return true;
    fail(error);
    return false;
}

bool TraceWindow::saveImage(const QString &path)
{
    const bool svg =
        QFileInfo(path).suffix().compare(QLatin1String("svg"), Qt::CaseInsensitive) == 0;
    const QString error = WholeFile::writeStream(path, [this, svg](QIODevice *out) {
        if (!svg)
            return chartView->grab().save(out, "PNG");
        QSvgGenerator generator;
        generator.setOutputDevice(out);
        generator.setSize(chartView->size());
        generator.setViewBox(QRect(QPoint(0, 0), chartView->size()));
        generator.setTitle(tr("Trace"));
        QPainter painter;
        if (!painter.begin(&generator))
            return false;
        chartView->render(&painter);
        return painter.end();
    });
    if (!error.isEmpty())
        fail(error);
    return error.isEmpty();
}

void TraceWindow::chooseTraceFile()
{
    const QString path = QFileDialog::getSaveFileName(this, tr("Export CSV"), tr("trace.csv"),
                                                      tr("CSV files (*.csv)"));
    if (!path.isEmpty())
        exportTrace(path);
}

void TraceWindow::chooseMovesFile()
{
    const QString path = QFileDialog::getSaveFileName(this, tr("Export moves"), tr("moves.csv"),
                                                      tr("CSV files (*.csv)"));
    if (!path.isEmpty())
        exportMoves(path);
}

void TraceWindow::chooseImageFile()
{
    QString filter;
    QString path =
        QFileDialog::getSaveFileName(this, tr("Save image"), tr("trace.png"),
                                     tr("PNG image (*.png);;SVG image (*.svg)"), &filter);
    if (path.isEmpty())
        return;
    if (QFileInfo(path).suffix().isEmpty())
        path +=
            filter.contains(QLatin1String("svg")) ? QStringLiteral(".svg") : QStringLiteral(".png");
    saveImage(path);
}
