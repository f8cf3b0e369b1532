#include "tracechartview.h"

#include <QMouseEvent>
#include <QWheelEvent>

#include <cmath>

TraceChartView::TraceChartView(QChart *chart, QWidget *parent) : QChartView(chart, parent)
{
    setRubberBand(QChartView::RectangleRubberBand);
    setRenderHint(QPainter::Antialiasing, false);
    setMouseTracking(true);
    // Every frame moves the axes and so every item: working out the smallest region to repaint
    // costs more than repainting the whole view.
    setViewportUpdateMode(QGraphicsView::FullViewportUpdate);
    setOptimizationFlag(QGraphicsView::DontSavePainterState);
}

void TraceChartView::wheelEvent(QWheelEvent *event)
{
    const double steps = event->angleDelta().y() / 120.0;
    if (steps == 0.0)
        return;
    const double factor = std::pow(0.8, steps);
    // Zoom about the cursor: the value under it stays where it is.
    const QRectF area = chart()->plotArea();
    const QPointF at = event->position();
    const QPointF c = chart()->mapFromScene(mapToScene(at.toPoint()));
    const QRectF zoomed(c.x() - (c.x() - area.left()) * factor,
                        c.y() - (c.y() - area.top()) * factor, area.width() * factor,
                        area.height() * factor);
    emit navigated();
    chart()->zoomIn(zoomed);
    event->accept();
}

void TraceChartView::mousePressEvent(QMouseEvent *event)
{
    if (event->button() == Qt::RightButton) {
        panning = true;
        panFrom = event->pos();
        event->accept();
        return;
    }
    if (event->button() == Qt::LeftButton)
        emit navigated();
    QChartView::mousePressEvent(event);
}

void TraceChartView::mouseMoveEvent(QMouseEvent *event)
{
    if (panning) {
        const QPoint delta = event->pos() - panFrom;
        panFrom = event->pos();
        emit navigated();
        chart()->scroll(-delta.x(), delta.y());
        event->accept();
    }
    const QPointF scene = mapToScene(event->pos());
    if (chart()->plotArea().contains(chart()->mapFromScene(scene)))
        emit hovered(chart()->mapToValue(chart()->mapFromScene(scene)));
    else
        emit left();
    if (!panning)
        QChartView::mouseMoveEvent(event);
}

void TraceChartView::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() == Qt::RightButton) {
        // Not the base class: it would zoom out on a right click.
        panning = false;
        event->accept();
        return;
    }
    QChartView::mouseReleaseEvent(event);
}

void TraceChartView::mouseDoubleClickEvent(QMouseEvent *event)
{
    emit followRequested();
    event->accept();
}

void TraceChartView::leaveEvent(QEvent *event)
{
    emit left();
    QChartView::leaveEvent(event);
}
