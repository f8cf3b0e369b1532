#include "rotatingfile.h"

#include <QCoreApplication>
#include <QFileInfo>

RotatingFile::~RotatingFile()
{
    close();
}

QString RotatingFile::olderName(const QString &path, int n)
{
    return path + QLatin1Char('.') + QString::number(n);
}

bool RotatingFile::fail(const QString &reason, QString *error)
{
    if (error)
        *error = QCoreApplication::translate("RotatingFile", "Cannot write %1: %2")
                     .arg(QFileInfo(filePath).absoluteFilePath(), reason);
    close();
    return false;
}

bool RotatingFile::open(const QString &path, qint64 maxBytes, int keep, Preamble preamble,
                        QString *error)
{
    close();
    filePath = path;
    limit = std::max<qint64>(1, maxBytes);
    kept = std::max(1, keep);
    firstLines = std::move(preamble);
    if (QFileInfo(path).isDir())
        return fail(QCoreApplication::translate("RotatingFile", "it is a folder"), error);
    return openCurrent(false, error);
}

bool RotatingFile::openCurrent(bool rotated, QString *error)
{
    file.setFileName(filePath);
    // Unbuffered: every write goes to the system at once, nothing waits in the program.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered))
        return fail(file.errorString(), error);
    written = file.size();
    // A file already full is moved aside first; the log still starts rather than continues.
    if (written >= limit && written > 0)
        return rotate(rotated, error);
    const QByteArray preamble = firstLines ? firstLines(rotated) : QByteArray();
    if (preamble.isEmpty())
        return true;
    if (file.write(preamble) != preamble.size())
        return fail(file.errorString(), error);
    written += preamble.size();
    return true;
}

bool RotatingFile::rotate(bool continued, QString *error)
{
    file.close();
    // The oldest goes; each other moves one up; the current file becomes PATH.1.
    QFile::remove(olderName(filePath, kept - 1));
    for (int n = kept - 2; n >= 1; --n) {
        const QString from = olderName(filePath, n);
        if (QFile::exists(from) && !QFile::rename(from, olderName(filePath, n + 1)))
            return fail(QCoreApplication::translate("RotatingFile", "cannot rename %1").arg(from),
                        error);
    }
    if (kept > 1 && !QFile::rename(filePath, olderName(filePath, 1)))
        return fail(QCoreApplication::translate("RotatingFile", "cannot rename it to %1")
                        .arg(olderName(filePath, 1)),
                    error);
    if (kept == 1 && !QFile::remove(filePath))
        return fail(QCoreApplication::translate("RotatingFile", "cannot remove it"), error);
    return openCurrent(continued, error);
}

bool RotatingFile::writeLines(const QByteArray &lines, QString *error)
{
    if (!file.isOpen())
        return fail(QCoreApplication::translate("RotatingFile", "the file is closed"), error);
    if (written > 0 && written + lines.size() > limit && !rotate(true, error))
        return false;
    // The system may take part of a line and refuse the rest only when asked again, with the
    // reason (a full disk).
    qint64 done = 0;
    while (done < lines.size()) {
        const qint64 n = file.write(lines.constData() + done, lines.size() - done);
        if (n <= 0)
            break;
        done += n;
    }
    if (done != lines.size()) {
        const QString reason =
            file.error() != QFileDevice::NoError
                ? file.errorString()
                : QCoreApplication::translate("RotatingFile", "the system took nothing more");
        // What the file keeps ends with a whole line.
        file.resize(written);
        return fail(reason, error);
    }
    written += done;
    return true;
}

void RotatingFile::close()
{
    if (file.isOpen())
        file.close();
}
