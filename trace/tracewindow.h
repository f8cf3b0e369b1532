#pragma once

#include "charts.h"

#include <QPointer>
#include <QWidget>

class MoveTableModel;
class QComboBox;
class QDoubleSpinBox;
class QGraphicsSimpleTextItem;
class QLabel;
class QPushButton;
class QTableView;
class QTimer;
class Stage;
class TraceChartView;
class TraceRecorder;
namespace TracePlot {
struct Thinned;
}

// The "Trace" window: plots what the session's recorder holds and forwards the operator's
// choices (view span, sampling interval, tolerance, clearing, exports) to it and to the stage.
class TraceWindow : public QWidget {
    Q_OBJECT

public:
    explicit TraceWindow(TraceRecorder *recorder, QWidget *parent = nullptr);
    ~TraceWindow() override;

    TraceRecorder *recorder() const { return rec; }
    // Each writes the file whole or not at all; a failure is shown to the operator.
    bool exportTrace(const QString &path);
    bool exportMoves(const QString &path);
    // PNG or SVG, by the file name's suffix, with a title line naming the controller, the port
    // and the time span in UTC.
    bool saveImage(const QString &path);
    // "DVX1901 3.12 on /dev/ttyUSB0, 2026-12-07T14:03:22.000Z to 2026-12-07T14:03:32.000Z".
    QString imageTitle() const;
    // Plot redraws so far, for the frame-rate benchmark.
    int frameCount() const { return frames; }

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    void buildUi();
    QLayout *buildControls();
    void buildChart();
    // The chart's theme and the series' colours follow the palette: dark on a dark one.
    void applyTheme();
    void scheduleRedraw();
    void redraw();
    // The span of time to show: the operator's zoom while paused, else the chosen span up to now.
    std::pair<double, double> visibleSpan() const;
    void drawPositions(double xMin, double xMax, TracePlot::Thinned *extent);
    void drawTargets(double xMin, double xMax, TracePlot::Thinned *extent);
    void scaleAxes(double xMin, double xMax, const TracePlot::Thinned &extent);
    void drawTravelLimits();
    void drawEvents(double xMin, double xMax);
    // The pool's series at index, made (and attached to the axes) on first use.
    QLineSeries *lineAt(QList<QLineSeries *> &pool, int index);
    void applySampling();
    void setPaused(bool paused);
    void showReadout(const QPointF &value);
    void confirmClear();
    void chooseTraceFile();
    void chooseMovesFile();
    void chooseImageFile();
    void fail(const QString &message);
    // The visible time span in seconds, or 0 for all of it.
    double spanS() const;

    // The window may outlive the stage while the main window takes its children down.
    QPointer<Stage> stage;
    TraceRecorder *rec;
    MoveTableModel *movesModel;
    QChart *chart = nullptr;
    TraceChartView *chartView = nullptr;
    // One line per connection in view, so that no line joins two connections across their gap.
    QList<QLineSeries *> positionLines;
    QList<QLineSeries *> targetLines;
    QLineSeries *travelMinSeries = nullptr;
    QLineSeries *travelMaxSeries = nullptr;
    QScatterSeries *eventSeries = nullptr;
    QValueAxis *timeAxis = nullptr;
    QValueAxis *positionAxis = nullptr;
    QList<QGraphicsSimpleTextItem *> eventLabels;
    QVector<QPointF> shownMarks;
    QComboBox *viewBox = nullptr;
    QComboBox *samplingBox = nullptr;
    QPushButton *pauseButton = nullptr;
    QDoubleSpinBox *toleranceBox = nullptr;
    QLabel *readout = nullptr;
    QTableView *movesView = nullptr;
    QTimer *frameTimer = nullptr;
    bool paused = false;
    bool dark = false;
    int frames = 0;
};
