#pragma once

#include <QtCharts/QChart>
#include <QtCharts/QChartView>
#include <QtCharts/QLineSeries>
#include <QtCharts/QScatterSeries>
#include <QtCharts/QValueAxis>

#include <QPointer>
#include <QWidget>

#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
using QtCharts::QAbstractSeries;
using QtCharts::QChart;
using QtCharts::QChartView;
using QtCharts::QLineSeries;
using QtCharts::QScatterSeries;
using QtCharts::QValueAxis;
#endif

class CharacterisationRun;
class MeasuredSteps;
class QCheckBox;
class QDoubleSpinBox;
class QKeyEvent;
class QLabel;
class QPushButton;
class QSpinBox;
class QTableWidget;
class Stage;
struct CharacterisationSettings;

// The "Step characterisation" window: the run's settings, Start and Stop (Esc too), the
// position against the steps sent, the results per direction and their export. It draws the
// run and forwards the operator's choices to it; the run itself lives on without it.
class CharacterisationWindow : public QWidget {
    Q_OBJECT

public:
    CharacterisationWindow(CharacterisationRun *run, MeasuredSteps *measured, Stage *stage,
                           QWidget *parent = nullptr);

    // The settings as the form holds them.
    CharacterisationSettings settings() const;
    // Each writes the file whole or not at all; a failure is shown to the operator.
    bool exportBursts(const QString &path);
    bool exportSummary(const QString &path);

protected:
    void keyPressEvent(QKeyEvent *event) override;

private:
    void buildUi();
    void buildChart();
    void start();
    void updateAvailability();
    void updateDriveText();
    void updateSpan();
    void showProgress();
    void showFinished(bool complete, const QString &error);
    void redraw();
    void fillTable();
    QByteArray provenance() const;
    void chooseBurstsFile();
    void chooseSummaryFile();
    void fail(const QString &message);

    QPointer<CharacterisationRun> run;
    QPointer<MeasuredSteps> measured;
    QPointer<Stage> stage;

    QCheckBox *aroundBox = nullptr;
    QDoubleSpinBox *fromBox = nullptr;
    QDoubleSpinBox *toBox = nullptr;
    QSpinBox *stepsBox = nullptr;
    QSpinBox *burstsBox = nullptr;
    QSpinBox *settleBox = nullptr;
    QDoubleSpinBox *toleranceBox = nullptr;
    QLabel *driveLabel = nullptr;
    QPushButton *startButton = nullptr;
    QPushButton *stopButton = nullptr;
    QPushButton *burstsButton = nullptr;
    QPushButton *summaryButton = nullptr;
    QLabel *messageLabel = nullptr;
    QLabel *summaryLabel = nullptr;
    QTableWidget *table = nullptr;
    QString shownReason;

    QChart *chart = nullptr;
    QChartView *chartView = nullptr;
    QLineSeries *positionSeries = nullptr;
    QScatterSeries *restSeries = nullptr;
    QValueAxis *stepsAxis = nullptr;
    QValueAxis *positionAxis = nullptr;
};
