#include "console.h"

#include "qtcompat.h"

#include <QKeyEvent>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>

namespace {
constexpr int kMaxLines = 100;
constexpr int kMaxSentLines = 50;
} // namespace

Console::Console(QWidget *parent) : QPlainTextEdit(parent)
{
    document()->setMaximumBlockCount(kMaxLines);
    QPalette p = palette();
    p.setColor(QPalette::Base, Qt::black);
    p.setColor(QPalette::Text, Qt::white);
    setPalette(p);
}

Console::~Console() = default;

void Console::putData(const QByteArray &data)
{
    insertPlainText(QtCompat::textUpToZero(data));
    QScrollBar *bar = verticalScrollBar();
    bar->setValue(bar->maximum());
}

void Console::setLocalEchoEnabled(bool set)
{
    localEchoEnabled = set;
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
        if (localEchoEnabled)
            QPlainTextEdit::keyPressEvent(e);
    }
}

void Console::submitLine(const QString &line)
{
    replaceLastLine(line);
    sendLastLine();
}

void Console::sendLastLine()
{
    textLines = toPlainText().split(QLatin1Char('\n'));
    const QString line = textLines.last();
    lastCommand = line + QLatin1Char('\r');
    emit getData(lastCommand.toLocal8Bit());
    insertPlainText(QStringLiteral("\n"));

    if (!line.isEmpty()) {
        sentLines.append(line);
        if (sentLines.size() > kMaxSentLines)
            sentLines.removeFirst();
    }
    historyIndex = sentLines.size();
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
