#include "tooltipwrap.h"

#include <QHelpEvent>
#include <QTextDocument>
#include <QToolTip>
#include <QWidget>

TooltipWrap::TooltipWrap(QObject *parent) : QObject(parent) {}

QString TooltipWrap::wrapped(const QString &toolTip)
{
    if (toolTip.size() <= kLongTipCharacters || Qt::mightBeRichText(toolTip))
        return toolTip;
    // Qt wraps a rich-text tooltip at a readable width and leaves a plain one on one line.
    return QStringLiteral("<p style=\"white-space:pre-wrap\">") + toolTip.toHtmlEscaped() +
           QStringLiteral("</p>");
}

bool TooltipWrap::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() != QEvent::ToolTip || !watched->isWidgetType())
        return false;
    auto *widget = static_cast<QWidget *>(watched);
    const QString tip = widget->toolTip();
    const QString shown = wrapped(tip);
    if (shown == tip)
        return false;
    const auto *help = static_cast<QHelpEvent *>(event);
    QToolTip::showText(help->globalPos(), shown, widget, QRect(), widget->toolTipDuration());
    return true;
}
