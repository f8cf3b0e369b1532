#include "characterisationwindow.h"

#include "characterisationrun.h"
#include "measuredsteps.h"
#include "micrometres.h"
#include "provenance.h"
#include "savelocation.h"
#include "stage.h"
#include "wholefile.h"

#include <QCheckBox>
#include <QDateTime>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>
#include <QSplitter>
#include <QTableWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

using StepAnalysis::Direction;
using StepAnalysis::formatValue;
using StepAnalysis::Spread;

namespace {

QPen pen(const QColor &color, qreal width, Qt::PenStyle style = Qt::SolidLine)
{
    QPen p(color, width, style);
    p.setCosmetic(true);
    return p;
}

// "0.83 ± 0.012", "0.83" for one value, "" for none.
QString meanText(const Spread &s)
{
    if (!s.measured())
        return QString();
    if (!s.hasSpread())
        return formatValue(s.mean);
    return QStringLiteral("%1 \u00b1 %2").arg(formatValue(s.mean), formatValue(s.sd));
}

QString rangeText(const Spread &s)
{
    if (!s.hasSpread())
        return QString();
    return QStringLiteral("%1 \u2026 %2").arg(formatValue(s.min), formatValue(s.max));
}

QString optionalText(const std::optional<double> &value)
{
    return value ? formatValue(*value) : QString();
}

} // namespace

CharacterisationWindow::CharacterisationWindow(CharacterisationRun *r, MeasuredSteps *m, Stage *s,
                                               QWidget *parent)
    : QWidget(parent, Qt::Window), run(r), measured(m), stage(s)
{
    setWindowTitle(tr("Step characterisation"));
    buildUi();
    resize(860, 800);

    connect(run, &CharacterisationRun::progress, this, &CharacterisationWindow::showProgress);
    connect(run, &CharacterisationRun::burstChanged, this, &CharacterisationWindow::redraw);
    connect(run, &CharacterisationRun::finished, this, &CharacterisationWindow::showFinished);
    connect(run, &CharacterisationRun::started, this, &CharacterisationWindow::updateSpan);
    connect(stage, &Stage::stateChanged, this, [this] {
        updateAvailability();
        updateDriveText();
    });
    connect(stage, &Stage::positionReceived, this, [this] {
        if (aroundBox->isChecked() && !run->isRunning())
            updateSpan();
    });

    updateDriveText();
    updateSpan();
    updateAvailability();
    redraw();
    if (!run->message().isEmpty())
        messageLabel->setText(run->message());
}

void CharacterisationWindow::keyPressEvent(QKeyEvent *event)
{
    // Esc ends a run from anywhere in this window, as it stops the stage in the main window.
    if (event->key() == Qt::Key_Escape && run && run->isRunning()) {
        run->abort();
        return;
    }
    QWidget::keyPressEvent(event);
}

void CharacterisationWindow::buildUi()
{
    aroundBox = new QCheckBox(tr("Around the position, \u00b110 % of the travel"));
    aroundBox->setObjectName(QStringLiteral("checkBox_AroundPosition"));
    aroundBox->setChecked(true);
    const auto micrometres = [](const char *name) {
        auto *box = new QDoubleSpinBox;
        box->setObjectName(QLatin1String(name));
        box->setDecimals(3);
        box->setRange(-1000000.0, 1000000.0);
        box->setSuffix(QStringLiteral(" \u00b5m"));
        return box;
    };
    fromBox = micrometres("doubleSpinBox_SpanFrom");
    toBox = micrometres("doubleSpinBox_SpanTo");
    const auto counter = [](const char *name, int minimum, int maximum, int value) {
        auto *box = new QSpinBox;
        box->setObjectName(QLatin1String(name));
        box->setRange(minimum, maximum);
        box->setValue(value);
        return box;
    };
    const CharacterisationSettings defaults;
    stepsBox =
        counter("spinBox_Steps", 1, CharacterisationRun::kMaxStepsPerBurst, defaults.stepsPerBurst);
    stepsBox->setToolTip(tr("Open-loop steps (\">fo\" or \">re\") sent in one burst; more than "
                            "the lost motion at a reversal"));
    burstsBox = counter("spinBox_Bursts", 2, CharacterisationRun::kMaxBursts, defaults.bursts);
    burstsBox->setToolTip(tr("Bursts forward, and as many in reverse, in runs of one direction"));
    settleBox = counter("spinBox_Settle", 0, CharacterisationRun::kMaxSettleMs, defaults.settleMs);
    settleBox->setSuffix(QStringLiteral(" ms"));
    settleBox->setToolTip(tr("How long the stage is left alone once still, to measure its creep"));
    toleranceBox = new QDoubleSpinBox;
    toleranceBox->setObjectName(QStringLiteral("doubleSpinBox_Tolerance"));
    toleranceBox->setDecimals(3);
    toleranceBox->setRange(CharacterisationRun::kMinToleranceUm,
                           CharacterisationRun::kMaxToleranceUm);
    toleranceBox->setSingleStep(0.01);
    toleranceBox->setValue(defaults.toleranceUm);
    toleranceBox->setSuffix(QStringLiteral(" \u00b5m"));
    toleranceBox->setToolTip(tr("The stage is still once three readings in a row lie within this "
                                "of the first of them"));
    driveLabel = new QLabel;
    driveLabel->setObjectName(QStringLiteral("label_Drive"));

    auto *form = new QGridLayout;
    form->addWidget(new QLabel(tr("Span:")), 0, 0);
    form->addWidget(aroundBox, 0, 1, 1, 3);
    form->addWidget(new QLabel(tr("From:")), 1, 0);
    form->addWidget(fromBox, 1, 1);
    form->addWidget(new QLabel(tr("To:")), 1, 2);
    form->addWidget(toBox, 1, 3);
    form->addWidget(new QLabel(tr("Steps per burst:")), 2, 0);
    form->addWidget(stepsBox, 2, 1);
    form->addWidget(new QLabel(tr("Bursts each way:")), 2, 2);
    form->addWidget(burstsBox, 2, 3);
    form->addWidget(new QLabel(tr("Settle time:")), 3, 0);
    form->addWidget(settleBox, 3, 1);
    form->addWidget(new QLabel(tr("Still within:")), 3, 2);
    form->addWidget(toleranceBox, 3, 3);
    form->addWidget(driveLabel, 4, 0, 1, 4);
    form->setColumnStretch(1, 1);
    form->setColumnStretch(3, 1);
    auto *formBox = new QGroupBox(tr("Run"));
    formBox->setLayout(form);

    startButton = new QPushButton(tr("Start"));
    startButton->setObjectName(QStringLiteral("pushButton_Start"));
    stopButton = new QPushButton(tr("Stop"));
    stopButton->setObjectName(QStringLiteral("pushButton_Stop"));
    stopButton->setToolTip(tr("Ends the run at once and stops the stage (Esc)"));
    burstsButton = new QPushButton(tr("Export bursts\u2026"));
    burstsButton->setObjectName(QStringLiteral("pushButton_ExportBursts"));
    summaryButton = new QPushButton(tr("Export summary\u2026"));
    summaryButton->setObjectName(QStringLiteral("pushButton_ExportSummary"));
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(startButton);
    buttons->addWidget(stopButton);
    buttons->addStretch(1);
    buttons->addWidget(burstsButton);
    buttons->addWidget(summaryButton);

    messageLabel = new QLabel;
    messageLabel->setObjectName(QStringLiteral("label_Message"));
    messageLabel->setWordWrap(true);
    messageLabel->setTextFormat(Qt::PlainText);
    summaryLabel = new QLabel;
    summaryLabel->setObjectName(QStringLiteral("label_Summary"));
    summaryLabel->setTextFormat(Qt::PlainText);
    QFont bold = summaryLabel->font();
    bold.setBold(true);
    summaryLabel->setFont(bold);

    buildChart();

    table = new QTableWidget(0, 2);
    table->setObjectName(QStringLiteral("tableWidget_Results"));
    table->setHorizontalHeaderLabels({tr("Forward"), tr("Reverse")});
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    table->verticalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);

    auto *splitter = new QSplitter(Qt::Vertical);
    splitter->addWidget(chartView);
    splitter->addWidget(table);
    splitter->setStretchFactor(0, 3);
    splitter->setStretchFactor(1, 2);
    splitter->setChildrenCollapsible(false);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(formBox);
    layout->addLayout(buttons);
    layout->addWidget(messageLabel);
    layout->addWidget(summaryLabel);
    layout->addWidget(splitter, 1);

    connect(aroundBox, &QCheckBox::toggled, this, [this] {
        updateSpan();
        updateAvailability();
    });
    connect(startButton, &QPushButton::clicked, this, &CharacterisationWindow::start);
    connect(stopButton, &QPushButton::clicked, this, [this] {
        if (run)
            run->abort();
    });
    connect(burstsButton, &QPushButton::clicked, this, &CharacterisationWindow::chooseBurstsFile);
    connect(summaryButton, &QPushButton::clicked, this, &CharacterisationWindow::chooseSummaryFile);
}

void CharacterisationWindow::buildChart()
{
    chart = new QChart;
    chart->legend()->setAlignment(Qt::AlignBottom);
    chart->setMargins(QMargins(4, 4, 4, 4));
    positionSeries = new QLineSeries;
    positionSeries->setName(tr("Position"));
    positionSeries->setPen(pen(QColor(0x1f, 0x5f, 0xbf), 1.5));
    restSeries = new QScatterSeries;
    restSeries->setName(tr("Still after a burst"));
    restSeries->setMarkerSize(7.0);
    restSeries->setColor(QColor(0xd0, 0x60, 0x10));
    restSeries->setBorderColor(QColor(0xd0, 0x60, 0x10));
    chart->addSeries(positionSeries);
    chart->addSeries(restSeries);

    stepsAxis = new QValueAxis;
    stepsAxis->setTitleText(tr("Steps sent (forward +, reverse \u2212)"));
    stepsAxis->setLabelFormat(QStringLiteral("%d"));
    positionAxis = new QValueAxis;
    positionAxis->setTickCount(7);
    positionAxis->setTitleText(tr("Position [\u00b5m]"));
    chart->addAxis(stepsAxis, Qt::AlignBottom);
    chart->addAxis(positionAxis, Qt::AlignLeft);
    for (QAbstractSeries *series : chart->series()) {
        series->attachAxis(stepsAxis);
        series->attachAxis(positionAxis);
    }
    chartView = new QChartView(chart);
    chartView->setObjectName(QStringLiteral("chartView_Steps"));
    chartView->setRenderHint(QPainter::Antialiasing);
    chartView->setMinimumHeight(300);
}

CharacterisationSettings CharacterisationWindow::settings() const
{
    CharacterisationSettings s;
    s.stepsPerBurst = stepsBox->value();
    s.bursts = burstsBox->value();
    s.settleMs = settleBox->value();
    s.toleranceUm = toleranceBox->value();
    if (!aroundBox->isChecked()) {
        s.spanFromUm = fromBox->value();
        s.spanToUm = toBox->value();
    }
    if (measured)
        s.directionBefore = measured->lastDirection();
    return s;
}

void CharacterisationWindow::start()
{
    if (!run)
        return;
    const CommandResult started = run->start(settings());
    if (!started.ok())
        messageLabel->setText(started.message);
    updateAvailability();
}

void CharacterisationWindow::updateAvailability()
{
    if (!run || !stage)
        return;
    const bool running = run->isRunning();
    const CommandResult possible = running ? CommandResult::done() : run->check(settings());
    startButton->setEnabled(!running && possible.ok());
    startButton->setToolTip(possible.ok() ? tr("Measures the open-loop step in both directions")
                                          : possible.message);
    stopButton->setEnabled(running);
    const bool recorded = !running && !run->bursts().isEmpty();
    burstsButton->setEnabled(recorded);
    summaryButton->setEnabled(recorded);
    for (QWidget *field : {static_cast<QWidget *>(aroundBox), static_cast<QWidget *>(stepsBox),
                           static_cast<QWidget *>(burstsBox), static_cast<QWidget *>(settleBox),
                           static_cast<QWidget *>(toleranceBox)})
        field->setEnabled(!running);
    fromBox->setEnabled(!running && !aroundBox->isChecked());
    toBox->setEnabled(!running && !aroundBox->isChecked());
    // Why Start waits is shown until something else is to be said.
    const QString reason = running || possible.ok() ? QString() : possible.message;
    if (messageLabel->text().isEmpty() || messageLabel->text() == shownReason)
        messageLabel->setText(reason);
    shownReason = reason;
}

void CharacterisationWindow::updateDriveText()
{
    if (!stage)
        return;
    const PanelState s = stage->state();
    driveLabel->setText(tr("Drive: duration %1 ms, interval %2 ms, cycle %3, as the open-loop page "
                           "has them")
                            .arg(s.durationMs)
                            .arg(s.intervalMs)
                            .arg(s.cycles));
}

void CharacterisationWindow::updateSpan()
{
    if (!aroundBox->isChecked() || !stage)
        return;
    // The run's own span once it has one; before that, what it would take from the last
    // position read.
    if (run && run->spanFromUm() && run->isRunning()) {
        fromBox->setValue(*run->spanFromUm());
        toBox->setValue(*run->spanToUm());
        return;
    }
    const PanelState s = stage->state();
    if (!s.positionUm)
        return;
    const double reach =
        CharacterisationRun::kDefaultSpanFraction * (s.travelMaxUm - s.travelMinUm);
    fromBox->setValue(std::max(s.travelMinUm, *s.positionUm - reach));
    toBox->setValue(std::min(s.travelMaxUm, *s.positionUm + reach));
}

void CharacterisationWindow::showProgress()
{
    if (!run)
        return;
    if (run->isRunning()) {
        updateSpan();
        const int n = run->burst();
        QString text;
        if (n == 0) {
            text = tr("Reading the position\u2026");
        } else {
            const QString direction =
                StepAnalysis::directionName(run->bursts().constLast().direction);
            text = run->currentPhase() == CharacterisationRun::Phase::Settling
                       ? tr("Burst %1 of %2 (%3): settling\u2026")
                       : tr("Burst %1 of %2 (%3): stepping\u2026");
            text = text.arg(n).arg(run->plannedBursts()).arg(direction);
        }
        messageLabel->setText(text);
    }
    updateAvailability();
}

void CharacterisationWindow::showFinished(bool complete, const QString &error)
{
    if (!run)
        return;
    if (complete) {
        const StepAnalysis::Result result = run->result();
        QString text =
            tr("Finished: %1 bursts in %2 s").arg(run->burst()).arg(formatValue(result.durationS));
        if (!run->message().isEmpty())
            text += QStringLiteral(". ") + run->message();
        messageLabel->setText(text);
    } else {
        messageLabel->setText(error);
    }
    redraw();
    updateAvailability();
}

void CharacterisationWindow::redraw()
{
    if (!run)
        return;
    const QVector<StepAnalysis::Burst> &bursts = run->bursts();
    const StepAnalysis::Result result = run->result();
    QVector<QPointF> line;
    QVector<QPointF> rests;
    double xMin = 0.0;
    double xMax = 1.0;
    double yMin = qInf();
    double yMax = -qInf();
    const auto add = [&](double x, double y, bool rest) {
        line.append(QPointF(x, y));
        if (rest)
            rests.append(QPointF(x, y));
        xMin = std::min(xMin, x);
        xMax = std::max(xMax, x);
        yMin = std::min(yMin, y);
        yMax = std::max(yMax, y);
    };
    for (int i = 0; i < bursts.size(); ++i) {
        const StepAnalysis::Burst &b = bursts.at(i);
        const double before = double(result.bursts.at(i).cumulativeStepsBefore);
        const double after = before + StepAnalysis::sign(b.direction) * b.steps;
        if (i == 0)
            add(before, b.beforeUm, false);
        if (b.afterUm)
            add(after, *b.afterUm, true);
        if (b.settledUm)
            add(after, *b.settledUm, false);
    }
    positionSeries->replace(line);
    restSeries->replace(rests);
    if (!std::isfinite(yMin)) {
        yMin = 0.0;
        yMax = 1.0;
    }
    const double pad = std::max(0.5, (yMax - yMin) * 0.02);
    stepsAxis->setRange(xMin, xMax);
    stepsAxis->applyNiceNumbers();
    positionAxis->setRange(yMin - pad, yMax + pad);
    positionAxis->applyNiceNumbers();

    summaryLabel->setText(bursts.isEmpty()
                              ? QString()
                              : StepAnalysis::summaryText(
                                    result, QDateTime::fromMSecsSinceEpoch(run->startedUtcMs())));
    fillTable();
    updateAvailability();
}

void CharacterisationWindow::fillTable()
{
    const StepAnalysis::Result result = run->result();
    struct Row {
        QString name;
        QString forward;
        QString reverse;
        bool both;
    };
    const auto per = [&](const QString &name, const std::function<QString(Direction)> &text) {
        return Row{name, text(Direction::Forward), text(Direction::Reverse), false};
    };
    const QList<Row> rows = {
        per(tr("Step [\u00b5m/step]"),
            [&](Direction d) { return meanText(result.of(d).umPerStep); }),
        per(tr("Step, least \u2026 greatest"),
            [&](Direction d) { return rangeText(result.of(d).umPerStep); }),
        per(tr("Bursts measuring the step"),
            [&](Direction d) { return QString::number(result.of(d).umPerStep.count); }),
        per(tr("Lost motion at a reversal [steps]"),
            [&](Direction d) { return meanText(result.of(d).lostSteps); }),
        per(tr("Lost motion at a reversal [\u00b5m]"),
            [&](Direction d) { return meanText(result.of(d).lostUm); }),
        per(tr("Creep after a burst [\u00b5m]"),
            [&](Direction d) { return meanText(result.of(d).creepUm); }),
        Row{tr("Forward / reverse"), optionalText(result.forwardOverReverse), QString(), true},
        Row{tr("Asymmetry [\u00b5m/step]"), optionalText(result.asymmetryUmPerStep), QString(),
            true},
        Row{tr("Drift [\u00b5m/s]"), optionalText(result.driftUmPerS), QString(), true},
        Row{tr("Drift over the run [\u00b5m]"), optionalText(result.driftUm), QString(), true},
    };
    table->clearSpans();
    table->setRowCount(int(rows.size()));
    QStringList names;
    for (int i = 0; i < rows.size(); ++i) {
        const Row &row = rows.at(i);
        names << row.name;
        auto *forward = new QTableWidgetItem(row.forward);
        forward->setTextAlignment(Qt::AlignCenter);
        table->setItem(i, 0, forward);
        auto *reverse = new QTableWidgetItem(row.reverse);
        reverse->setTextAlignment(Qt::AlignCenter);
        table->setItem(i, 1, reverse);
        if (row.both)
            table->setSpan(i, 0, 1, 2);
    }
    table->setVerticalHeaderLabels(names);
}

QByteArray CharacterisationWindow::provenance() const
{
    const CharacterisationSettings &s = run->settings();
    Provenance p = Provenance::of(run->stateAtStart());
    p.toleranceUm = s.toleranceUm;
    const PanelState &at = run->stateAtStart();
    const QString span = run->spanFromUm() && run->spanToUm()
                             ? QStringLiteral("%1 to %2")
                                   .arg(Micrometres::number(*run->spanFromUm()),
                                        Micrometres::number(*run->spanToUm()))
                             : QString();
    p.extra = {
        {QStringLiteral("measured_utc"), isoUtc(run->startedUtcMs())},
        {QStringLiteral("duration_ms"), QString::number(at.durationMs)},
        {QStringLiteral("interval_ms"), QString::number(at.intervalMs)},
        {QStringLiteral("cycle"), QString::number(at.cycles)},
        {QStringLiteral("steps_per_burst"), QString::number(s.stepsPerBurst)},
        {QStringLiteral("bursts_each_way"), QString::number(s.bursts)},
        {QStringLiteral("settle_ms"), QString::number(s.settleMs)},
        {QStringLiteral("span_um"), span},
        {QStringLiteral("direction_before"),
         s.directionBefore ? StepAnalysis::directionName(*s.directionBefore) : QString()},
        {QStringLiteral("run"),
         run->ending() == OpenLoopEnding::Complete ? QStringLiteral("complete") : run->message()},
        {QStringLiteral("summary"),
         StepAnalysis::summaryText(run->result(),
                                   QDateTime::fromMSecsSinceEpoch(run->startedUtcMs()))},
    };
    return p.header();
}

bool CharacterisationWindow::exportBursts(const QString &path)
{
    const QString error = WholeFile::writeBytes(
        path, StepAnalysis::burstsCsv(run->bursts(), run->result(), provenance()));
    if (error.isEmpty())
        return true;
    fail(error);
    return false;
}

bool CharacterisationWindow::exportSummary(const QString &path)
{
    const QString error =
        WholeFile::writeBytes(path, StepAnalysis::summaryCsv(run->result(), provenance()));
    if (error.isEmpty())
        return true;
    fail(error);
    return false;
}

void CharacterisationWindow::chooseBurstsFile()
{
    const QString path = QFileDialog::getSaveFileName(
        this, tr("Export bursts"),
        SaveLocation::proposed(QStringLiteral("steps"), QStringLiteral("csv")),
        tr("CSV files (*.csv)"));
    if (path.isEmpty())
        return;
    SaveLocation::remember(path);
    exportBursts(path);
}

void CharacterisationWindow::chooseSummaryFile()
{
    const QString path = QFileDialog::getSaveFileName(
        this, tr("Export summary"),
        SaveLocation::proposed(QStringLiteral("steps-summary"), QStringLiteral("csv")),
        tr("CSV files (*.csv)"));
    if (path.isEmpty())
        return;
    SaveLocation::remember(path);
    exportSummary(path);
}

void CharacterisationWindow::fail(const QString &message)
{
    QMessageBox::critical(this, tr("Step characterisation"), message);
}
