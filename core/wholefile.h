#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

class QIODevice;

// Files written whole or not at all. The content goes to a temporary file beside the target,
// which is flushed, synced and checked before it replaces the target. On any failure the
// temporary file is removed and the target, if there was one, keeps its old content byte for
// byte. Each function returns an empty string on success, else a message for the operator that
// names the path and the reason ("Cannot write PATH: No space left on device").
namespace WholeFile {

// Streams a file's content into the device it is given. Returns false when it could not
// produce the content (an image that would not encode, say); the device's own write errors are
// checked afterwards and need no checking inside.
using Writer = std::function<bool(QIODevice *device)>;

QString writeBytes(const QString &path, const QByteArray &bytes);
QString writeStream(const QString &path, const Writer &writer);

} // namespace WholeFile
