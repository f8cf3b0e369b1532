#pragma once

#include <QByteArray>
#include <QList>

namespace dvxsim {

// Cuts the bytes received from the panel into commands. A command starts at ">" and ends at
// "\r" or "\n", at the next ">" (the move commands arrive without "\r"), or when the line has
// gone quiet and the caller flushes. Bytes outside a command are noise and are dropped.
class CommandParser {
public:
    // Longer commands are noise too: they are dropped whole, so memory stays bounded.
    static constexpr int kMaxCommandLength = 256;

    // Returns the commands completed by these bytes, each starting with ">" and without its
    // terminator.
    QList<QByteArray> feed(const QByteArray &bytes);
    // Ends the command still open after an idle gap; returns it, or an empty array if none.
    QByteArray flush();
    bool hasPending() const { return inCommand; }

private:
    void finish(QList<QByteArray> &commands);

    QByteArray pending;
    bool inCommand = false;
    bool overlong = false;
};

} // namespace dvxsim
