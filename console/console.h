#pragma once

#include "clock.h"

#include <QPlainTextEdit>
#include <QStringList>

class QTimer;

class Console : public QPlainTextEdit {
    Q_OBJECT

signals:
    void getData(const QByteArray &data);
    // Text just added to the console's end, as it shows it.
    void shown(const QString &text);

public:
    explicit Console(QWidget *parent = nullptr);
    ~Console() override;

    void putData(const QByteArray &data);
    void setLocalEchoEnabled(bool set);
    // Sends a line exactly as if the operator had typed it and pressed Return, on a line of its
    // own, leaving what the operator is typing as it is. False when the line is refused (too
    // long for the controller).
    bool submitLine(const QString &line);
    // A line of the panel's own (a notice, say), shown above the line being typed.
    void showNote(const QString &line);

    // Each line begins with the local time it began at ("[14:03:22.123] "): received and sent
    // lines alike, never the line being typed. Off at first; lines already shown keep their
    // look. The wall clock (ms since the epoch) can be replaced for tests.
    void setTimeStamps(bool on);
    bool timeStamps() const { return stamping; }
    void setWallClock(Clock::Source utcMs);
    // The stamp's text for a time, and the length of one at the start of line (0: none there).
    static QString stampText(qint64 utcMs);
    static int stampLength(const QString &line);

protected:
    void mousePressEvent(QMouseEvent *e) override;
    void mouseDoubleClickEvent(QMouseEvent *e) override;
    void keyPressEvent(QKeyEvent *e) override;
    void contextMenuEvent(QContextMenuEvent *e) override;
    void insertFromMimeData(const QMimeData *source) override;
    void changeEvent(QEvent *e) override;

private:
    void sendLastLine();
    void recallSentLine(int step);
    void replaceLastLine(const QString &text);

    // Shows text above the line being typed, which stays the last line and keeps its cursor.
    void insertAboveInput(const QString &text);
    // Shows a whole line of the console's own above the line being typed.
    void showLine(const QString &line);
    // Shows and sends one line; refused with a message when the controller cannot take it.
    bool commitLine(const QString &line);
    bool refuseIfTooLong(const QString &line);
    void remember(const QString &line);
    // Sends queued pasted lines for a slice of time, then yields to the event loop.
    void sendPendingLines();
    // text with a stamp before each line it begins; atLineStart: its first character begins one.
    QString stamped(const QString &text, bool atLineStart) const;
    // The last line as a command: without a stamp of the console's own at its start.
    QString lastLineCommand() const;

    bool localEchoEnabled = false;
    QStringList textLines;
    QString lastCommand;

    // Lines sent earlier, oldest first, for Up and Down; historyIndex == size() means "past the
    // newest", where Down leaves an empty line.
    QStringList sentLines;
    int historyIndex = 0;

    // The last line holds text the operator typed (or pasted) and has not sent yet: received
    // text then goes above it, never into it.
    bool typing = false;
    // The line being typed was moved below an unfinished received line; the line break between
    // them is the console's own and goes again once the received line is finished.
    bool carriedBelow = false;

    // Pasted lines still to be sent, in order, from pendingLines[nextPending] on.
    QStringList pendingLines;
    int nextPending = 0;
    QTimer *pendingTimer = nullptr;

    bool stamping = false;
    // Stamps were shown at some time: a line may begin with one.
    bool everStamped = false;
    Clock::Source wallClock;
};
