#include "console.h"

#include "protocol.h"
#include "qtcompat.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QMimeData>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTimer>

namespace {
constexpr int kMaxLines = 100;
constexpr int kMaxSentLines = 50;
// A paste of many lines goes out in slices this long, so polling and Stop still get their turn.
constexpr int kSliceMs = 10;

bool isLineBreak(QChar c)
{
    return c == QLatin1Char('\r') || c == QLatin1Char('\n') || c == QChar::ParagraphSeparator;
}
} // namespace

Console::Console(QWidget *parent) : QPlainTextEdit(parent)
{
    document()->setMaximumBlockCount(kMaxLines);
    QPalette p = palette();
    p.setColor(QPalette::Base, Qt::black);
    p.setColor(QPalette::Text, Qt::white);
    setPalette(p);

    pendingTimer = new QTimer(this);
    pendingTimer->setSingleShot(true);
    pendingTimer->setInterval(0);
    connect(pendingTimer, &QTimer::timeout, this, &Console::sendPendingLines);
    wallClock = [] { return Clock::utcMs(); };
}

Console::~Console() = default;

void Console::putData(const QByteArray &data)
{
    const QString text = QtCompat::textUpToZero(data);
    if (typing)
        insertAboveInput(text);
    else
        insertPlainText(stamped(text, textCursor().atBlockStart()));
    emit shown(text);
    QScrollBar *bar = verticalScrollBar();
    bar->setValue(bar->maximum());
}

void Console::insertAboveInput(const QString &text)
{
    const int inputStart = document()->lastBlock().position();
    QTextCursor at(document());
    at.setPosition(carriedBelow ? inputStart - 1 : inputStart);
    at.insertText(stamped(text, at.atBlockStart()));
    // The typed line moved down with everything after the insertion point. It needs a line
    // break of its own exactly while the received text ends in the middle of a line.
    if (at.atBlockStart()) {
        if (carriedBelow)
            at.deleteChar();
        carriedBelow = false;
    } else if (!carriedBelow) {
        at.insertText(QStringLiteral("\n"));
        carriedBelow = true;
    }
}

void Console::showLine(const QString &line)
{
    if (typing) {
        insertAboveInput(line + QLatin1Char('\n'));
    } else {
        QTextCursor end(document());
        end.movePosition(QTextCursor::End);
        if (!end.atBlockStart())
            end.insertText(QStringLiteral("\n"));
        end.insertText(stamped(line + QLatin1Char('\n'), true));
        carriedBelow = false;
    }
    emit shown(line + QLatin1Char('\n'));
    QScrollBar *bar = verticalScrollBar();
    bar->setValue(bar->maximum());
}

void Console::showNote(const QString &line)
{
    showLine(line);
}

void Console::setLocalEchoEnabled(bool set)
{
    localEchoEnabled = set;
}

void Console::setTimeStamps(bool on)
{
    stamping = on;
    everStamped = everStamped || on;
}

QString Console::lastLineCommand() const
{
    const QString line = document()->lastBlock().text();
    return everStamped ? line.mid(stampLength(line)) : line;
}

void Console::setWallClock(Clock::Source utcMs)
{
    wallClock = utcMs ? std::move(utcMs) : [] { return Clock::utcMs(); };
}

QString Console::stampText(qint64 utcMs)
{
    return QDateTime::fromMSecsSinceEpoch(utcMs).toString(QStringLiteral("[HH:mm:ss.zzz] "));
}

int Console::stampLength(const QString &line)
{
    // "[HH:mm:ss.zzz] "
    static const QString pattern = QStringLiteral("[00:00:00.000] ");
    if (line.size() < pattern.size())
        return 0;
    for (int i = 0; i < pattern.size(); ++i) {
        const QChar p = pattern.at(i);
        const QChar c = line.at(i);
        const bool digit = c >= QLatin1Char('0') && c <= QLatin1Char('9');
        if (p == QLatin1Char('0') ? !digit : c != p)
            return 0;
    }
    return int(pattern.size());
}

QString Console::stamped(const QString &text, bool atLineStart) const
{
    if (!stamping || text.isEmpty())
        return text;
    const QString stamp = stampText(wallClock());
    QString out;
    out.reserve(text.size() + stamp.size());
    // Empty lines stay empty: a stamp goes before a line's first character.
    bool lineStart = atLineStart;
    for (const QChar c : text) {
        const bool lineBreak = isLineBreak(c);
        if (lineStart && !lineBreak)
            out += stamp;
        out += c;
        lineStart = lineBreak;
    }
    return out;
}

void Console::keyPressEvent(QKeyEvent *e)
{
    switch (e->key()) {
    case Qt::Key_Return:
        sendLastLine();
        break;
    case Qt::Key_Up:
        recallSentLine(-1);
        break;
    case Qt::Key_Down:
        recallSentLine(+1);
        break;
    case Qt::Key_Delete:
    case Qt::Key_Left:
    case Qt::Key_Right:
        // Kept from the editor so the cursor never leaves the line being typed.
        break;
    default:
        if (localEchoEnabled) {
            const int revision = document()->revision();
            const int blocks = document()->blockCount();
            QPlainTextEdit::keyPressEvent(e);
            if (!e->text().isEmpty())
                emit shown(e->text());
            if (document()->revision() != revision)
                typing = !document()->lastBlock().text().isEmpty();
            // A line broken or joined by the operator is no longer the one carried below.
            if (document()->blockCount() != blocks)
                carriedBelow = false;
        }
    }
}

bool Console::submitLine(const QString &line)
{
    if (nextPending < pendingLines.size()) {
        // A paste is still going out: this line follows it.
        if (refuseIfTooLong(line))
            return false;
        pendingLines.append(line);
        return true;
    }
    return commitLine(line);
}

bool Console::refuseIfTooLong(const QString &line)
{
    // A character takes at least one byte, so most over-long lines are told by their length.
    qsizetype bytes = line.size();
    if (bytes <= Protocol::kMaxCommandLength)
        bytes = line.toLocal8Bit().size();
    if (bytes <= Protocol::kMaxCommandLength)
        return false;
    showLine(tr("A line of %1 bytes is not sent: the controller takes at most %2")
                 .arg(bytes)
                 .arg(Protocol::kMaxCommandLength));
    return true;
}

bool Console::commitLine(const QString &line)
{
    if (refuseIfTooLong(line))
        return false;
    showLine(line);
    lastCommand = line + QLatin1Char('\r');
    emit getData(lastCommand.toLocal8Bit());
    remember(line);
    return true;
}

void Console::remember(const QString &line)
{
    if (!line.isEmpty()) {
        sentLines.append(line);
        if (sentLines.size() > kMaxSentLines)
            sentLines.removeFirst();
    }
    historyIndex = int(sentLines.size());
}

void Console::sendLastLine()
{
    textLines = toPlainText().split(QLatin1Char('\n'));
    // A stamp is the console's own, never part of the command.
    const QString line = textLines.last().mid(everStamped ? stampLength(textLines.last()) : 0);
    if (nextPending < pendingLines.size()) {
        // Lines pasted before it are still going out; this one is sent after them.
        if (refuseIfTooLong(line))
            return;
        pendingLines.append(line);
        replaceLastLine(QString());
        typing = false;
        return;
    }
    if (refuseIfTooLong(line))
        return;
    lastCommand = line + QLatin1Char('\r');
    emit getData(lastCommand.toLocal8Bit());
    if (stamping && !line.isEmpty() && stampLength(document()->lastBlock().text()) == 0)
        QTextCursor(document()->lastBlock()).insertText(stampText(wallClock()));
    insertPlainText(QStringLiteral("\n"));
    emit shown(QStringLiteral("\n"));
    typing = false;
    carriedBelow = false;
    remember(line);
}

void Console::insertFromMimeData(const QMimeData *source)
{
    if (!localEchoEnabled || !source->hasText())
        return;
    QString text = source->text();
    if (text.contains(QLatin1Char('\r'))) {
        text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
        text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    }
    QStringList lines = text.split(QLatin1Char('\n'));
    // What follows the last line break is not confirmed yet: it stays on the line being typed.
    const QString rest = lines.takeLast();

    if (lines.isEmpty()) {
        if (lastLineCommand().size() + rest.size() > Protocol::kMaxCommandLength) {
            refuseIfTooLong(lastLineCommand() + rest);
            return;
        }
        textCursor().insertText(rest);
        typing = !document()->lastBlock().text().isEmpty();
        return;
    }

    // The first pasted line completes what the operator had typed, as if typed and confirmed.
    lines.first().prepend(lastLineCommand());
    replaceLastLine(QString());
    typing = false;
    if (nextPending >= pendingLines.size()) {
        pendingLines.clear();
        nextPending = 0;
    }
    pendingLines.append(lines);
    if (rest.size() > Protocol::kMaxCommandLength) {
        refuseIfTooLong(rest);
    } else {
        replaceLastLine(rest);
        typing = !rest.isEmpty();
    }
    sendPendingLines();
}

void Console::sendPendingLines()
{
    QElapsedTimer slice;
    slice.start();
    while (nextPending < pendingLines.size()) {
        commitLine(pendingLines.at(nextPending++));
        if (slice.elapsed() >= kSliceMs)
            break;
    }
    if (nextPending < pendingLines.size()) {
        pendingTimer->start();
    } else {
        pendingLines.clear();
        nextPending = 0;
    }
}

void Console::changeEvent(QEvent *e)
{
    QPlainTextEdit::changeEvent(e);
    // A console switched off with the port has nowhere to send the rest of a paste.
    if (e->type() == QEvent::EnabledChange && !isEnabled() && nextPending < pendingLines.size()) {
        const int dropped = int(pendingLines.size()) - nextPending;
        pendingLines.clear();
        nextPending = 0;
        pendingTimer->stop();
        showLine(tr("%1 pasted lines not sent: the port closed").arg(dropped));
    }
}

void Console::recallSentLine(int step)
{
    if (sentLines.isEmpty())
        return;
    const int index = qBound(0, historyIndex + step, int(sentLines.size()));
    // Past either end nothing changes, so a line being typed is never lost to a stray Down.
    if (index == historyIndex)
        return;
    historyIndex = index;
    replaceLastLine(historyIndex < sentLines.size() ? sentLines.at(historyIndex) : QString());
    typing = !document()->lastBlock().text().isEmpty();
}

void Console::replaceLastLine(const QString &text)
{
    QTextCursor cursor(document()->lastBlock());
    cursor.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
    cursor.insertText(text);
    setTextCursor(cursor);
}

void Console::mousePressEvent(QMouseEvent *e)
{
    Q_UNUSED(e)
    setFocus(Qt::OtherFocusReason);
}

void Console::mouseDoubleClickEvent(QMouseEvent *e)
{
    Q_UNUSED(e)
}

void Console::contextMenuEvent(QContextMenuEvent *e)
{
    Q_UNUSED(e)
}
