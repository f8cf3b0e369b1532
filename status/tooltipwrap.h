#pragma once

#include <QObject>
#include <QString>

// Long plain-text tooltips wrap at a readable width (about 80 characters) instead of running
// across the screen as one line. Installed on the application, it covers every window.
class TooltipWrap : public QObject {
    Q_OBJECT

public:
    explicit TooltipWrap(QObject *parent = nullptr);

    // Tooltips longer than this are shown wrapped.
    static constexpr int kLongTipCharacters = 60;
    // The text a tooltip is shown as: rich text that wraps, keeping its line breaks; a short or
    // rich tooltip as it is.
    static QString wrapped(const QString &toolTip);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
};
