#pragma once

#include "charts.h"

#include <QPoint>

// The plot's mouse handling: a rubber band (left drag) and the wheel zoom, a right drag pans,
// a double click goes back to following the newest samples. Moving the mouse reports the value
// under the cursor.
class TraceChartView : public QChartView {
    Q_OBJECT

public:
    explicit TraceChartView(QChart *chart, QWidget *parent = nullptr);

signals:
    // The operator zoomed or panned: the view should stop following the data.
    void navigated();
    void followRequested();
    void hovered(const QPointF &value);
    void left();

protected:
    void wheelEvent(QWheelEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void leaveEvent(QEvent *event) override;

private:
    bool panning = false;
    QPoint panFrom;
};
