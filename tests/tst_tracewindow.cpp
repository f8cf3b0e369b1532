// The trace window as the operator sees it, over a recording it did not make: opened late it
// shows what came before, never joins two connections, fits 640 px, takes a dark palette's
// theme, keeps event names inside the plot, names one unit for the moves in table and file, and
// offers dated names in the folder last used.

#include "movetablemodel.h"
#include "savelocation.h"
#include "scriptedstage.h"
#include "tracechartview.h"
#include "tracerecorder.h"
#include "tracewindow.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QGraphicsSimpleTextItem>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTableView>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <functional>

namespace {

constexpr qint64 kConnectedUtcMs = 1796652202000; // 2026-12-07T14:03:22.000Z

// A recording of two connections made before any window existed: the first from 0 to 6 s with
// homing and a move to 100 um, the second from 20 s with a move to 50 um and an event at its end.
struct Recording {
    ScriptedStage stage;
    qint64 clock = 0;
    TraceRecorder recorder{&stage, [this] { return clock; }};

    Recording()
    {
        recorder.setUtcClock([this] { return kConnectedUtcMs + clock; });
        stage.now.closedLoop = true;
        connectAt(0, QStringLiteral("/dev/ttyUSB0"));
        stage.now.model = QStringLiteral("1901");
        stage.now.firmware = QStringLiteral("3.12");
        emit stage.stateChanged();
        for (qint64 ms = 100; ms <= 1000; ms += 100)
            report(ms, 0.0);
        emit stage.panelEvent(PanelEvent{PanelEvent::Kind::Homed, QString()});
        clock = 1000;
        emit stage.targetCommanded(100.0);
        for (qint64 ms = 1020; ms <= 6000; ms += 20)
            report(ms, std::min(100.0, (ms - 1000) * 0.5));
        clock = 6000;
        stage.now.connected = false;
        emit stage.panelEvent(PanelEvent{PanelEvent::Kind::Disconnected, QStringLiteral("lost")});

        connectAt(20000, QStringLiteral("/dev/ttyUSB1"));
        for (qint64 ms = 20100; ms <= 21000; ms += 100)
            report(ms, 100.0);
        clock = 21000;
        emit stage.targetCommanded(50.0);
        for (qint64 ms = 21020; ms <= 24000; ms += 20)
            report(ms, std::max(50.0, 100.0 - (ms - 21000) * 0.5));
        clock = 24000;
        emit stage.panelEvent(PanelEvent{PanelEvent::Kind::Stop, QString()});
        recorder.updateMoves();
    }

    void connectAt(qint64 ms, const QString &port)
    {
        clock = ms;
        stage.now.connected = true;
        stage.now.connectedUtcMs = kConnectedUtcMs + ms;
        stage.now.chosenPort = port;
        emit stage.panelEvent(PanelEvent{PanelEvent::Kind::Connected, port});
    }

    void report(qint64 ms, double um)
    {
        clock = ms;
        emit stage.positionReceived(um, PositionSource::Fast);
    }
};

QChart *chartOf(TraceWindow &window)
{
    return window.findChild<TraceChartView *>()->chart();
}

// The chart's non-empty lines drawn with a pen of this style.
QList<QLineSeries *> lines(TraceWindow &window, Qt::PenStyle style)
{
    QList<QLineSeries *> found;
    for (QAbstractSeries *series : chartOf(window)->series()) {
        auto *line = qobject_cast<QLineSeries *>(series);
        if (line && !qobject_cast<QScatterSeries *>(series) && line->pen().style() == style &&
            line->count() > 0)
            found.append(line);
    }
    return found;
}

void showAll(TraceWindow &window)
{
    window.findChild<QComboBox *>(QStringLiteral("comboBox_View"))->setCurrentIndex(3);
}

// Runs action when the next modal dialog of type T is up, from a timer, as an operator would.
template <typename T> void whenModal(const std::function<void(T *)> &action)
{
    auto *timer = new QTimer;
    timer->setInterval(20);
    QObject::connect(timer, &QTimer::timeout, [timer, action] {
        if (auto *dialog = qobject_cast<T *>(QApplication::activeModalWidget())) {
            timer->stop();
            timer->deleteLater();
            action(dialog);
        }
    });
    timer->start();
}

QPalette darkPalette()
{
    QPalette p;
    p.setColor(QPalette::Window, QColor(0x30, 0x30, 0x30));
    p.setColor(QPalette::WindowText, Qt::white);
    p.setColor(QPalette::Base, QColor(0x20, 0x20, 0x20));
    p.setColor(QPalette::Text, Qt::white);
    p.setColor(QPalette::Button, QColor(0x35, 0x35, 0x35));
    p.setColor(QPalette::ButtonText, Qt::white);
    return p;
}

} // namespace

class TestTraceWindow : public QObject {
    Q_OBJECT

private slots:
    void openedLateShowsTheWholeSessionWithItsGap();
    void fitsANarrowScreen();
    void darkPaletteGivesADarkChart();
    void readoutStaysWithItsConnection();
    void movesTableAndFileNameOneUnit();
    void clearAsksFirst();
    void dialogsProposeDatedNamesInTheLastFolder();
};

void TestTraceWindow::openedLateShowsTheWholeSessionWithItsGap()
{
    Recording r;
    TraceWindow window(&r.recorder);
    window.resize(800, 600);
    showAll(window);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    window.findChild<QComboBox *>(QStringLiteral("comboBox_View"))->setCurrentIndex(3);

    // Two position lines, one per connection, neither crossing the gap from 6 s to 20 s.
    const QList<QLineSeries *> positions = lines(window, Qt::SolidLine);
    QCOMPARE(positions.size(), 2);
    QCOMPARE(positions.at(0)->at(0).x(), 0.1);
    QCOMPARE(positions.at(0)->at(positions.at(0)->count() - 1).x(), 6.0);
    QCOMPARE(positions.at(1)->at(0).x(), 20.1);
    QCOMPARE(positions.at(0)->count() + positions.at(1)->count(), r.recorder.samples().size());
    const QList<QLineSeries *> targets = lines(window, Qt::DashLine);
    QCOMPARE(targets.size(), 2);
    QCOMPARE(targets.at(0)->at(targets.at(0)->count() - 1).x(), 6.0);
    QCOMPARE(targets.at(1)->at(0), QPointF(21.0, 50.0));

    // Both moves are in the table, each analysed on its own connection's samples.
    auto *moves = window.findChild<QTableView *>(QStringLiteral("tableView_Moves"));
    QCOMPARE(moves->model()->rowCount(), 2);
    QCOMPARE(moves->model()->index(0, MoveTableModel::Status).data().toString(),
             QStringLiteral("settled"));
    QVERIFY(moves->model()
                ->index(1, MoveTableModel::Start)
                .data(Qt::ToolTipRole)
                .toString()
                .contains(QStringLiteral("Connection 2, 1.000 s after it opened")));

    // A new sample is drawn.
    const int frames = window.frameCount();
    r.report(24500, 50.0);
    QTRY_VERIFY(window.frameCount() > frames);

    // The saved image says what and when.
    QCOMPARE(window.imageTitle(),
             QStringLiteral("DVX1901 3.12 on /dev/ttyUSB1, 2026-12-07T14:03:22.000Z to "
                            "2026-12-07T14:03:46.500Z"));
}

void TestTraceWindow::fitsANarrowScreen()
{
    Recording r;
    TraceWindow window(&r.recorder);
    window.resize(640, 480);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(window.width(), 640);
    QVERIFY(window.minimumSizeHint().width() <= 640);

    // Every control whole and inside the window.
    const QRect inside = window.rect();
    const QList<QWidget *> controls = window.findChildren<QWidget *>();
    int checked = 0;
    for (QWidget *control : controls) {
        if (!control->isVisible() ||
            !(qobject_cast<QAbstractButton *>(control) || qobject_cast<QComboBox *>(control) ||
              qobject_cast<QDoubleSpinBox *>(control)))
            continue;
        const QRect at(control->mapTo(&window, QPoint(0, 0)), control->size());
        QVERIFY2(inside.contains(at), qPrintable(control->objectName()));
        QVERIFY2(control->width() >= control->minimumSizeHint().width(),
                 qPrintable(control->objectName()));
        ++checked;
    }
    QVERIFY(checked >= 6);

    // Round time ticks, a handful of them, however the span falls.
    QChart *chart = chartOf(window);
    auto *time = qobject_cast<QValueAxis *>(chart->axes(Qt::Horizontal).first());
    QCOMPARE(time->tickType(), QValueAxis::TicksDynamic);
    const double step = time->tickInterval();
    const double mantissa = step / std::pow(10.0, std::floor(std::log10(step)));
    QVERIFY2(std::abs(mantissa - 1) < 1e-9 || std::abs(mantissa - 2) < 1e-9 ||
                 std::abs(mantissa - 5) < 1e-9,
             qPrintable(QString::number(step)));
    const double ticks = (time->max() - time->min()) / step;
    QVERIFY2(ticks >= 2 && ticks <= chart->plotArea().width() / 90 + 1,
             qPrintable(QString::number(ticks)));
    QCOMPARE(time->tickAnchor(), 0.0);

    // The names of the events in view are inside the plot, also the one at its right end.
    const QRectF plot = chart->plotArea();
    int labels = 0;
    for (QGraphicsItem *item : chart->childItems()) {
        auto *label = dynamic_cast<QGraphicsSimpleTextItem *>(item);
        if (!label || !label->isVisible())
            continue;
        const QRectF box = label->mapRectToParent(label->boundingRect());
        QVERIFY2(plot.adjusted(-0.5, -0.5, 0.5, 0.5).contains(box), qPrintable(label->text()));
        ++labels;
    }
    QVERIFY(labels >= 1);
}

void TestTraceWindow::darkPaletteGivesADarkChart()
{
    Recording r;
    TraceWindow window(&r.recorder);
    window.setPalette(darkPalette());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto *view = window.findChild<TraceChartView *>();
    QCOMPARE(view->chart()->theme(), QChart::ChartThemeDark);
    QVERIFY(view->backgroundBrush().color().lightness() < 80);
    // The trace's own colours survive the theme, and stay readable on it.
    for (QLineSeries *line : lines(window, Qt::SolidLine))
        QVERIFY(line->pen().color().lightness() > 128);

    window.setPalette(QPalette(Qt::white));
    QTRY_COMPARE(view->chart()->theme(), QChart::ChartThemeLight);
    QCOMPARE(view->backgroundBrush().color(), QColor(Qt::white));
}

void TestTraceWindow::readoutStaysWithItsConnection()
{
    Recording r;
    TraceWindow window(&r.recorder);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto *view = window.findChild<TraceChartView *>();
    auto *readout = window.findChild<QLabel *>(QStringLiteral("label_Readout"));

    emit view->hovered(QPointF(12.0, 80.0));
    QVERIFY2(readout->text().contains(QStringLiteral("no connection")),
             qPrintable(readout->text()));
    // Just after the reconnect: the second connection's first sample, not the first's last.
    emit view->hovered(QPointF(19.0, 80.0));
    QVERIFY(readout->text().contains(QStringLiteral("no connection")));
    emit view->hovered(QPointF(20.0, 80.0));
    QVERIFY2(readout->text().contains(QStringLiteral("connection 2, sample at 0.100 s "
                                                     "(2026-12-07T14:03:42.100Z): 100.000")),
             qPrintable(readout->text()));
    QVERIFY(!readout->text().contains(QStringLiteral("target")));
}

void TestTraceWindow::movesTableAndFileNameOneUnit()
{
    Recording r;
    TraceWindow window(&r.recorder);
    auto *model = window.findChild<QTableView *>()->model();
    QCOMPARE(model->headerData(MoveTableModel::Travel, Qt::Horizontal).toString(),
             QStringLiteral("Travel [ms]"));
    QCOMPARE(model->headerData(MoveTableModel::Settling, Qt::Horizontal).toString(),
             QStringLiteral("Settling [ms]"));

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("moves.csv"));
    QVERIFY(window.exportMoves(path));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QList<QByteArray> rows = file.readAll().split('\n');
    while (!rows.isEmpty() && rows.first().startsWith('#'))
        rows.removeFirst();
    QCOMPARE(rows.at(0), QByteArray("start_s,start_utc,segment,from_um,target_um,travel_ms,"
                                    "settling_ms,overshoot_um,final_error_um,status"));
    // The same figure in the same unit in both.
    const QList<QByteArray> first = rows.at(1).split(',');
    QCOMPARE(QString::fromLatin1(first.at(5)),
             model->index(0, MoveTableModel::Travel).data().toString());
    QCOMPARE(QString::fromLatin1(first.at(6)),
             model->index(0, MoveTableModel::Settling).data().toString());
    QCOMPARE(QString::fromLatin1(rows.at(2).split(',').at(0)), QStringLiteral("1.000"));
}

void TestTraceWindow::clearAsksFirst()
{
    Recording r;
    TraceWindow window(&r.recorder);
    window.show();
    auto *clear = window.findChild<QPushButton *>(QStringLiteral("pushButton_Clear"));

    whenModal<QMessageBox>([](QMessageBox *box) { box->button(QMessageBox::Cancel)->click(); });
    clear->click();
    QVERIFY(r.recorder.samples().size() > 0);

    whenModal<QMessageBox>([](QMessageBox *box) { box->button(QMessageBox::Discard)->click(); });
    clear->click();
    QCOMPARE(r.recorder.samples().size(), 0);
    QCOMPARE(window.findChild<QTableView *>()->model()->rowCount(), 0);
    // The open connection goes on as the recording's only segment, from its own start.
    QCOMPARE(int(r.recorder.segments().size()), 1);
    QCOMPARE(r.recorder.segments().front().startUtcMs, kConnectedUtcMs + 20000);
    QTRY_VERIFY(lines(window, Qt::SolidLine).isEmpty());
    r.report(25000, 42.0);
    QCOMPARE(r.recorder.samples().size(), 1);
}

void TestTraceWindow::dialogsProposeDatedNamesInTheLastFolder()
{
    // The widget dialog, so the test can see and answer it.
    QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    Recording r;
    TraceWindow window(&r.recorder);
    window.show();
    QTemporaryDir dir;
    const QString chosen = dir.filePath(QStringLiteral("run-7.csv"));
    QString proposed;
    whenModal<QFileDialog>([&](QFileDialog *dialog) {
        proposed = dialog->selectedFiles().value(0);
        // As the operator does: a name typed over the proposed one.
        auto *name = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
        QVERIFY(name);
        name->setText(chosen);
        static_cast<QDialog *>(dialog)->accept();
    });
    window.findChild<QAction *>(QStringLiteral("actionExportCsv"))->trigger();
    QVERIFY2(QRegularExpression(
                 QStringLiteral("/trace-\\d{4}-\\d\\d-\\d\\dT\\d\\d-\\d\\d-\\d\\d\\.csv$"))
                 .match(proposed)
                 .hasMatch(),
             qPrintable(proposed));
    QVERIFY(QFileInfo::exists(chosen));
    QFile file(chosen);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(file.readAll().startsWith("# program: "));

    // The next dialog opens where the last file went.
    whenModal<QFileDialog>([&](QFileDialog *dialog) {
        proposed = dialog->selectedFiles().value(0);
        dialog->reject();
    });
    window.findChild<QAction *>(QStringLiteral("actionExportMoves"))->trigger();
    QCOMPARE(QFileInfo(proposed).absolutePath(), QFileInfo(chosen).absolutePath());
    QVERIFY(QFileInfo(proposed).fileName().startsWith(QStringLiteral("moves-")));
}

QTEST_MAIN(TestTraceWindow)
#include "tst_tracewindow.moc"
