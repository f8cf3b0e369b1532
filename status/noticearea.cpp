#include "noticearea.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QStatusBar>
#include <QTimer>

#include <algorithm>

namespace {

void setUpWrapping(QLabel *label)
{
    // Notices and the connection text carry the controller's bytes: never markup.
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    // The bar gives the area what its right-hand indicators leave; the text wraps to fit that,
    // rather than pushing them out of sight.
    label->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
}

} // namespace

NoticeArea::NoticeArea(QStatusBar *statusBar, QLabel *connectionLabel, QObject *parent)
    : QObject(parent), bar(statusBar), connection(connectionLabel)
{
    box = new QWidget;
    box->setObjectName(QStringLiteral("noticeArea"));
    auto *layout = new QHBoxLayout(box);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    notice = new QLabel;
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
    // The bar would draw it on one line, cut at its end: it is shown here instead.
    if (message.isEmpty() || !bar)
        return;
    bar->clearMessage();
    show(message, kAdoptedMessageMs);
}

bool NoticeArea::eventFilter(QObject *, QEvent *event)
{
    switch (event->type()) {
    case QEvent::Resize:
    case QEvent::FontChange:
    case QEvent::StyleChange:
        fitHeight();
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
