#include "commandparser.h"

namespace dvxsim {

QList<QByteArray> CommandParser::feed(const QByteArray &bytes)
{
    QList<QByteArray> commands;
    for (const char c : bytes) {
        if (c == '>') {
            finish(commands);
            pending = QByteArrayLiteral(">");
            inCommand = true;
        } else if (!inCommand) {
            continue;
        } else if (c == '\r' || c == '\n') {
            finish(commands);
        } else if (overlong) {
            continue;
        } else if (pending.size() >= kMaxCommandLength) {
            overlong = true;
        } else {
            pending.append(c);
        }
    }
    return commands;
}

QByteArray CommandParser::flush()
{
    QList<QByteArray> commands;
    finish(commands);
    return commands.isEmpty() ? QByteArray() : commands.first();
}

void CommandParser::finish(QList<QByteArray> &commands)
{
    if (inCommand && !overlong)
        commands.append(pending);
    pending.clear();
    inCommand = false;
    overlong = false;
}

} // namespace dvxsim
