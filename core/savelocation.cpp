#include "savelocation.h"

#include "clock.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>

namespace SaveLocation {

namespace {
QString &lastFolder()
{
    static QString folder;
    return folder;
}
} // namespace

QString folder()
{
    return lastFolder().isEmpty() ? QDir::currentPath() : lastFolder();
}

QString proposed(const QString &stem, const QString &suffix, qint64 utcMs)
{
    // Colons are no part of a file name on every desktop; the time keeps its digits.
    const QString when =
        QDateTime::fromMSecsSinceEpoch(utcMs).toString(QStringLiteral("yyyy-MM-ddTHH-mm-ss"));
    return QDir(folder()).filePath(stem + QLatin1Char('-') + when + QLatin1Char('.') + suffix);
}

QString proposed(const QString &stem, const QString &suffix)
{
    return proposed(stem, suffix, Clock::utcMs());
}

void remember(const QString &chosenPath)
{
    if (!chosenPath.isEmpty())
        lastFolder() = QFileInfo(chosenPath).absolutePath();
}

} // namespace SaveLocation
