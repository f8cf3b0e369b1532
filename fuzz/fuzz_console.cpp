// Feeds the console arbitrary sequences of operator input and controller traffic: typing,
// Backspace, Return, recalling lines with Up and Down, pasting (with line breaks of every kind,
// and up to 32 KB at once), lines sent by a script, and received text arriving
// at any moment, with time stamps on or off. A model of what the operator typed checks that
// received text never lands in the line being typed, that every line leaves whole and in order, and
// that nothing longer than the controller takes is sent.
//
// Input: a sequence of operations, each an opcode byte followed by its operands (see run()).

#include "console.h"
#include "protocol.h"

#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QTextBlock>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

void messageHandler(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtDebugMsg || type == QtInfoMsg || type == QtWarningMsg)
        return;
    std::fprintf(stderr, "fuzz_console: Qt: %s\n", qPrintable(message));
}

void require(bool condition, const char *what)
{
    if (condition)
        return;
    std::fprintf(stderr, "fuzz_console: broken: %s\n", what);
    std::abort();
}

struct Harness {
    int argc = 1;
    char name[16] = "fuzz_console";
    char *argv[2] = {name, nullptr};
    QApplication app{argc, argv};
    Console *console = nullptr;
    QList<QByteArray> sent;
};
Harness *harness = nullptr;

// Reads operands off the input; past its end every read gives 0.
struct Reader {
    const uint8_t *data;
    size_t size;
    size_t at = 0;
    bool done() const { return at >= size; }
    uint8_t byte() { return at < size ? data[at++] : 0; }
    QByteArray bytes(int count)
    {
        const int n = int(qMin<size_t>(size_t(count), size - qMin(at, size)));
        QByteArray out(reinterpret_cast<const char *>(data + at), n);
        at += size_t(n);
        return out;
    }
};

void key(int code, const QString &text = QString(), Qt::KeyboardModifiers modifiers = {})
{
    QKeyEvent press(QEvent::KeyPress, code, modifiers, text);
    QCoreApplication::sendEvent(harness->console, &press);
}

QString lastLine()
{
    return harness->console->document()->lastBlock().text();
}

// What Return sends for a line: the send step reads the pane as plain text, where a no-break
// space is a blank and the other line separators break the line.
QString asSent(QString line)
{
    line.replace(QChar(0xa0), QLatin1Char(' '));
    for (const QChar separator : {QChar(0x2028), QChar(0x2029), QChar(0xfdd0), QChar(0xfdd1)})
        line.replace(separator, QLatin1Char('\n'));
    return line.mid(line.lastIndexOf(QLatin1Char('\n')) + 1);
}

// With time stamps on, a received line that the operator's typing joins begins with one; it is
// the console's own and stays out of what is sent.
bool stamping = false;

QString withoutStamp(const QString &line)
{
    return stamping ? line.mid(Console::stampLength(line)) : line;
}

bool fits(const QString &line)
{
    return line.toLocal8Bit().size() <= Protocol::kMaxCommandLength;
}

QByteArray withReturn(const QString &line)
{
    return (line + QLatin1Char('\r')).toLocal8Bit();
}

void run(Reader &in)
{
    Console *console = harness->console;
    QList<QByteArray> expected;
    // The last line as the model sees it, and whether the operator typed on it since the last
    // send (then received text must go above it); otherwise it may hold an unfinished received
    // line, which typing joins.
    QString input;
    bool typed = false;

    while (!in.done()) {
        switch (in.byte() % 8) {
        case 0: { // typing
            const QByteArray chars = in.bytes(in.byte() % 32);
            for (char c : chars) {
                const QChar ch = QLatin1Char(char(0x20 + uint8_t(c) % 95));
                key(ch.toUpper().unicode(), QString(ch));
                input += ch;
                typed = true;
            }
            break;
        }
        case 1: { // received text, in any piece
            console->putData(in.bytes(in.byte() % 64));
            if (typed)
                require(lastLine() == input, "received text got into the typed line");
            input = lastLine();
            break;
        }
        case 2: { // Return
            key(Qt::Key_Return);
            const QString line = withoutStamp(asSent(input));
            if (fits(line)) {
                expected << withReturn(line);
                input.clear();
                typed = false;
            } else {
                // Refused with a word above a typed line; an unfinished received line is closed.
                if (typed)
                    require(lastLine() == input, "a refused line was not kept");
                input = lastLine();
            }
            break;
        }
        case 3: { // paste, the operand repeated (up to 512 times, for long lines)
            const QByteArray unit = in.bytes(in.byte() % 64);
            const int repeat = 1 + in.byte() % 16;
            const QString text =
                QString::fromLatin1(unit.repeated(repeat > 12 ? repeat * 32 : repeat));
            QGuiApplication::clipboard()->setText(text);
            key(Qt::Key_V, QString(), Qt::ControlModifier);
            QString normal = text;
            normal.replace(QLatin1String("\r\n"), QLatin1String("\n"));
            normal.replace(QLatin1Char('\r'), QLatin1Char('\n'));
            QStringList lines = normal.split(QLatin1Char('\n'));
            const QString rest = lines.takeLast();
            if (lines.isEmpty()) {
                if (withoutStamp(input).size() + rest.size() <= Protocol::kMaxCommandLength) {
                    input += rest;
                    typed = !input.isEmpty();
                } else if (!typed) {
                    input = lastLine(); // the refusal closed an unfinished received line
                }
            } else {
                lines.first().prepend(withoutStamp(input));
                for (const QString &line : lines) {
                    if (fits(line))
                        expected << withReturn(line);
                }
                input = rest.size() <= Protocol::kMaxCommandLength ? rest : QString();
                typed = !input.isEmpty();
            }
            break;
        }
        case 4: // Backspace
            key(Qt::Key_Backspace);
            if (input.isEmpty())
                input = lastLine(); // joined with the line above, as the editor does
            else
                input.chop(1);
            typed = !input.isEmpty();
            break;
        case 5: { // history
            const QString before = lastLine();
            key((in.byte() & 1) ? Qt::Key_Up : Qt::Key_Down);
            input = lastLine();
            if (input != before)
                typed = !input.isEmpty();
            break;
        }
        case 6: { // a script's line
            const QString line = QString::fromLatin1(in.bytes(in.byte() % 32))
                                     .remove(QLatin1Char('\r'))
                                     .remove(QLatin1Char('\n'));
            if (console->submitLine(line))
                expected << withReturn(line);
            if (typed)
                require(lastLine() == input, "a script's line changed the typed line");
            input = lastLine();
            break;
        }
        case 7: // the event loop runs: queued pasted lines go out
            QCoreApplication::processEvents();
            // Their echo starts on a line of its own, closing an unfinished received line.
            if (!typed)
                input = lastLine();
            break;
        }

        require(lastLine() == input, "the typed line is not what the operator typed");
        const QList<QByteArray> &sent = harness->sent;
        require(sent.size() <= expected.size(), "more lines sent than given");
        for (int i = 0; i < sent.size(); ++i)
            require(sent.at(i) == expected.at(i), "a line was lost, changed or sent out of order");
        require(console->document()->blockCount() <= 100, "console beyond its line cap");
    }

    // Whatever a paste queued goes out in the end, whole and in order.
    for (int i = 0; i < 100000 && harness->sent.size() < expected.size(); ++i)
        QCoreApplication::processEvents();
    require(harness->sent == expected, "queued lines never sent");
    for (const QByteArray &line : harness->sent) {
        require(line.endsWith('\r') && line.count('\r') == 1 && !line.contains('\n'),
                "a line broken inside");
        require(line.size() <= Protocol::kMaxCommandLength + 1, "a line longer than allowed");
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qInstallMessageHandler(messageHandler);
    harness = new Harness;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // A fresh console for every input: no history or queued paste carries over.
    harness->sent.clear();
    harness->console = new Console;
    harness->console->setLocalEchoEnabled(true);
    // Odd-sized inputs run with time stamps on.
    stamping = size % 2 == 1;
    harness->console->setTimeStamps(stamping);
    QObject::connect(harness->console, &Console::getData,
                     [](const QByteArray &line) { harness->sent << line; });
    Reader in{data, size};
    run(in);
    delete harness->console;
    harness->console = nullptr;
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return 0;
}
