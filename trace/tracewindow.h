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

// The "Trace" window: plots what the recorder holds and forwards the operator's choices (view
// span, sampling interval, tolerance, exports) to it and to the stage.
class TraceWindow : public QWidget {
    Q_OBJECT

public:
    explicit TraceWindow(Stage *stage, QWidget *parent = nullptr);
    ~TraceWindow() override;

    TraceRecorder *recorder() const { return rec; }
    // Each writes the file whole or not at all; a failure is shown to the operator.
    bool exportTrace(const QString &path);
    bool exportMoves(const QString &path);
    // PNG or SVG, by the file name's suffix.
    bool saveImage(const QString &path);
    // Plot redraws so far, for the frame-rate benchmark.
    int frameCount() const { return frames; }

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    void buildUi();
    void scheduleRedraw();
    void redraw();
    void applySampling();
    void setPaused(bool paused);
    void showReadout(const QPointF &value);
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
    QLineSeries *positionSeries = nullptr;
    QLineSeries *targetSeries = nullptr;
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
    int frames = 0;
};
