#pragma once

#include <QLabel>
#include <QObject>
#include <QPointer>
#include <QString>

class QStatusBar;
class QTextLayout;
class QTimer;

// A plain-text label that wraps at word boundaries and breaks inside a word only where one word
// is wider than the whole line (a long port path), so its text is never cut off.
class WrapLabel : public QLabel {
    Q_OBJECT

public:
    explicit WrapLabel(QWidget *parent = nullptr);

    int heightForWidth(int width) const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    // Lays the text out in lines of width; returns the height they take.
    int layOut(QTextLayout &layout, int width) const;
};

// The left of the status bar: the connection text, and for a while a notice in its place. Both
// wrap at word boundaries onto as many lines as they need, so neither is ever cut; room for two
// lines is kept at all times, so a notice coming and going does not move the window's contents.
// A message someone puts on the bar itself (QStatusBar::showMessage) is shown here the same way.
class NoticeArea : public QObject {
    Q_OBJECT

public:
    explicit NoticeArea(QStatusBar *bar, QObject *parent = nullptr);

    // timeoutMs 0: until the next notice or clear().
    void show(const QString &text, int timeoutMs);
    void clear();
    // The notice shown now; empty when the connection text shows.
    QString text() const { return current; }
    QLabel *noticeLabel() const { return notice; }
    // The label for the connection text; whoever knows the text sets it.
    QLabel *connectionLabel() const { return connection; }
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
    WrapLabel *connection = nullptr;
    WrapLabel *notice = nullptr;
    QTimer *expiry = nullptr;
    QString current;
    bool fitPending = false;
};
