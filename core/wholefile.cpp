#include "wholefile.h"

#include <QCoreApplication>
#include <QSaveFile>

#include <cerrno>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace WholeFile {

namespace {

QString cannotWrite(const QString &path, const QString &reason)
{
    return QCoreApplication::translate("WholeFile", "Cannot write %1: %2").arg(path, reason);
}

// The data is on the disk, or the reason it is not. fsync also reports what a network or
// quota-limited file system only finds out when the data leaves the page cache.
QString syncToDisk(QSaveFile &file)
{
#ifdef Q_OS_UNIX
    int result;
    do {
        result = ::fsync(file.handle());
    } while (result != 0 && errno == EINTR);
    if (result != 0 && errno != EINVAL && errno != ENOTSUP)
        return qt_error_string(errno);
#else
    Q_UNUSED(file);
#endif
    return QString();
}

} // namespace

QString writeBytes(const QString &path, const QByteArray &bytes)
{
    return writeStream(
        path, [&bytes](QIODevice *device) { return device->write(bytes) == bytes.size(); });
}

QString writeStream(const QString &path, const Writer &writer)
{
    QSaveFile file(path);
    // Not committing removes the temporary file and leaves the target as it was.
    const auto fail = [&file, &path](const QString &reason) {
        file.cancelWriting();
        return cannotWrite(path, reason);
    };
    if (!file.open(QIODevice::WriteOnly))
        return fail(file.errorString());
    const bool produced = writer(&file);
    // Writes shorter than the device's 16 KiB buffer only reach the file system on a flush, and
    // Qt 5.15's QSaveFile::commit() forgets a failure of the flush it does itself: an empty
    // file on a full disk, reported as saved. So the buffer is written out and checked here.
    if (file.error() != QFileDevice::NoError)
        return fail(file.errorString());
    if (!file.flush())
        return fail(file.errorString());
    if (file.bytesToWrite() > 0)
        return fail(QCoreApplication::translate("WholeFile", "the data was not all written"));
    if (!produced)
        return fail(QCoreApplication::translate("WholeFile", "the content could not be produced"));
    const QString unsynced = syncToDisk(file);
    if (!unsynced.isEmpty())
        return fail(unsynced);
    if (!file.commit())
        return cannotWrite(path, file.errorString());
    return QString();
}

} // namespace WholeFile
