#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

class QLabel;
class QStatusBar;
class QTimer;

// The left of the status bar: the connection text, and for a while a notice in its place. Both
// wrap at word boundaries onto as many lines as they need, so neither is ever cut; room for two
// lines is kept at all times, so a notice coming and going does not move the window's contents.
// A message someone puts on the bar itself (QStatusBar::showMessage) is shown here the same way.
class NoticeArea : public QObject {
    Q_OBJECT

public:
    // connection is the bar's label for the connection text; it moves into the area.
    NoticeArea(QStatusBar *bar, QLabel *connection, QObject *parent = nullptr);

    // timeoutMs 0: until the next notice or clear().
    void show(const QString &text, int timeoutMs);
    void clear();
    // The notice shown now; empty when the connection text shows.
    QString text() const { return current; }
    QLabel *noticeLabel() const { return notice; }
    QWidget *area() const { return box; }

    // How long a message put on the bar directly stays.
    static constexpr int kAdoptedMessageMs = 5000;

signals:
    void changed(const QString &text);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void adopt(const QString &message);
    void fitHeight();

    QPointer<QStatusBar> bar;
    QWidget *box = nullptr;
    QLabel *connection = nullptr;
    QLabel *notice = nullptr;
    QTimer *expiry = nullptr;
    QString current;
};
