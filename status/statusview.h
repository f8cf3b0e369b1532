#pragma once

#include "activitytracker.h"
#include "noticearea.h"
#include "readoutmonitor.h"

#include <QObject>
#include <QPointer>
#include <QString>

class QAbstractButton;
class QLabel;
class QProgressBar;
class QShortcut;
class QStatusBar;
class QWidget;

// Draws what ReadoutMonitor and ActivityTracker decide: the readout greyed with a tooltip saying
// why while it is stale, a permanent indicator at the right of the status bar with an
// indeterminate progress bar while the stage is busy (nothing while disconnected), and the
// notices on the left of the bar in place of the connection text.
class StatusView : public QObject {
    Q_OBJECT

public:
    StatusView(Stage *stage, QLabel *readout, QStatusBar *bar, int pollIntervalMs,
               QObject *parent = nullptr);

    ReadoutMonitor *readoutMonitor() const { return monitor; }
    ActivityTracker *activityTracker() const { return tracker; }
    NoticeArea *notices() const { return noticeArea; }
    QLabel *activityLabel() const { return label; }
    QProgressBar *busyBar() const { return progress; }

    // A notice for a few seconds; the connection text comes back after it.
    void notify(const QString &message);
    // The notice, and field marked as the one refused until its value changes.
    void refuse(QWidget *field, const QString &message);
    void clearRefusal(QWidget *field);
    static constexpr int kMessageMs = 5000;

signals:
    // A notice of the view's own was shown (the session's come with their own console line).
    void noticed(const QString &message);

private:
    void showReadout(bool live, const QString &reason);
    void showActivity(ActivityTracker::Activity activity);

    Stage *stage;
    ReadoutMonitor *monitor;
    ActivityTracker *tracker;
    QPointer<QLabel> readout;
    QString liveToolTip;
    QLabel *label;
    QProgressBar *progress;
    QStatusBar *bar;
    NoticeArea *noticeArea;
    QPointer<QWidget> refused;
    QString refusedToolTip;
    QMetaObject::Connection refusedEdit;
};

// Esc presses Stop from anywhere in the application while Stop is enabled; while it is not, Esc
// keeps its ordinary meaning (closing a dialog).
class EscapeStop : public QObject {
    Q_OBJECT

public:
    EscapeStop(QAbstractButton *stopButton, QWidget *window);

    QShortcut *shortcut() const { return key; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void press();

    QAbstractButton *stop;
    QShortcut *key;
};

// Keeps the colours the panel gives its state buttons ("color: red", "color: green", "color:
// grey") readable: lighter shades on a dark palette, and faded while a button is disabled, so a
// coloured caption never looks usable when it is not.
class StateColourGuard : public QObject {
    Q_OBJECT

public:
    explicit StateColourGuard(QObject *parent = nullptr);
    void watch(QWidget *button);

    static bool isDark(const QPalette &palette);
    // The shade of a named state colour that reads on a dark background.
    static QString darkShade(const QString &styleSheet);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void apply(QWidget *button);
    bool applying = false;
};
