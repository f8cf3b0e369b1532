#include "noticearea.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QPainter>
#include <QStatusBar>
#include <QTextLayout>
#include <QTimer>

#include <algorithm>
#include <cmath>

namespace {

void setUpWrapping(WrapLabel *label)
{
    label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    // The bar gives the area what its right-hand indicators leave; the text wraps to fit that,
    // rather than pushing them out of sight.
    QSizePolicy policy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    // Its height follows the lines the width leaves it.
    policy.setHeightForWidth(true);
    label->setSizePolicy(policy);
}

} // namespace

WrapLabel::WrapLabel(QWidget *parent) : QLabel(parent)
{
    // What it shows may carry the controller's bytes: never markup.
    setTextFormat(Qt::PlainText);
    setWordWrap(true);
}

int WrapLabel::layOut(QTextLayout &layout, int width) const
{
    QString text = this->text();
    text.replace(QLatin1Char('\n'), QChar::LineSeparator);
    layout.setText(text);
    layout.setFont(font());
    QTextOption option(alignment() & Qt::AlignHorizontal_Mask);
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    const int lineSpacing = fontMetrics().lineSpacing();
    int lines = 0;
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(std::max(width, 1));
        line.setPosition(QPointF(0, lines * lineSpacing));
        ++lines;
    }
    layout.endLayout();
    return lines * lineSpacing;
}

int WrapLabel::heightForWidth(int width) const
{
    const QMargins margins = contentsMargins();
    const int inner = width - margins.left() - margins.right() - 2 * margin();
    QTextLayout layout;
    return layOut(layout, inner) + margins.top() + margins.bottom() + 2 * margin();
}

void WrapLabel::paintEvent(QPaintEvent *event)
{
    QFrame::paintEvent(event);
    const QRect room = contentsRect().adjusted(margin(), margin(), -margin(), -margin());
    QTextLayout layout;
    const int height = layOut(layout, room.width());
    QPoint origin = room.topLeft();
    if (alignment() & Qt::AlignVCenter)
        origin.ry() += std::max(0, (room.height() - height) / 2);
    QPainter painter(this);
    const QPalette::ColorGroup group = !isEnabled()       ? QPalette::Disabled
                                       : isActiveWindow() ? QPalette::Active
                                                          : QPalette::Inactive;
    painter.setPen(palette().color(group, foregroundRole()));
    layout.draw(&painter, origin);
}

NoticeArea::NoticeArea(QStatusBar *statusBar, QObject *parent) : QObject(parent), bar(statusBar)
{
    box = new QWidget;
    box->setObjectName(QStringLiteral("noticeArea"));
    auto *layout = new QHBoxLayout(box);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    connection = new WrapLabel;
    connection->setObjectName(QStringLiteral("label_Connection"));
    notice = new WrapLabel;
    notice->setObjectName(QStringLiteral("label_Notice"));
    setUpWrapping(notice);
    setUpWrapping(connection);
    notice->hide();
    layout->addWidget(connection);
    layout->addWidget(notice);
    bar->addWidget(box, 1);

    expiry = new QTimer(this);
    expiry->setSingleShot(true);
    connect(expiry, &QTimer::timeout, this, &NoticeArea::clear);
    connect(bar, &QStatusBar::messageChanged, this, &NoticeArea::adopt);
    for (QWidget *watched : {static_cast<QWidget *>(box), static_cast<QWidget *>(connection),
                             static_cast<QWidget *>(notice)})
        watched->installEventFilter(this);
    fitHeight();
}

void NoticeArea::show(const QString &text, int timeoutMs)
{
    if (timeoutMs > 0)
        expiry->start(timeoutMs);
    else
        expiry->stop();
    if (text.isEmpty()) {
        clear();
        return;
    }
    if (text == current)
        return;
    current = text;
    notice->setText(text);
    notice->setToolTip(text);
    connection->hide();
    notice->show();
    fitHeight();
    emit changed(current);
}

void NoticeArea::clear()
{
    expiry->stop();
    if (current.isEmpty())
        return;
    current.clear();
    notice->hide();
    notice->clear();
    notice->setToolTip(QString());
    connection->show();
    fitHeight();
    emit changed(current);
}

void NoticeArea::adopt(const QString &message)
{
    // The bar would draw it on one line, cut at its end: it is shown here instead. A copy: the
    // text is the bar's own, and clearing it there empties it.
    const QString text = message;
    if (text.isEmpty() || !bar)
        return;
    bar->clearMessage();
    show(text, kAdoptedMessageMs);
}

bool NoticeArea::eventFilter(QObject *, QEvent *event)
{
    switch (event->type()) {
    // A new text asks the area to lay itself out again.
    case QEvent::LayoutRequest:
    case QEvent::Resize:
    case QEvent::FontChange:
    case QEvent::StyleChange:
        // Not from inside the event: a new minimum resizes the area at once, and the layout
        // still handling the event would go on with the size it had.
        if (!fitPending) {
            fitPending = true;
            QMetaObject::invokeMethod(
                this,
                [this] {
                    fitPending = false;
                    fitHeight();
                },
                Qt::QueuedConnection);
        }
        break;
    default:
        break;
    }
    return false;
}

void NoticeArea::fitHeight()
{
    QLabel *shown = current.isEmpty() ? connection : notice;
    const int twoLines = 2 * shown->fontMetrics().lineSpacing();
    const int width = shown->width();
    const int needed = width > 0 ? shown->heightForWidth(width) : 0;
    const int height = std::max(twoLines, needed);
    if (box->minimumHeight() != height)
        box->setMinimumHeight(height);
}
