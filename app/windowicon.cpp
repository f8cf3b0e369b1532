#include "windowicon.h"

#include <QDir>
#include <QFileInfo>

namespace {
const QString kIconFile = QStringLiteral("images/Mirastellon_Icon_only@500x.png");
}

QString windowIconFile(const QString &workingDir, const QString &applicationDir)
{
    const QStringList candidates = {
        QDir(workingDir).filePath(kIconFile),
        QDir(applicationDir).filePath(QStringLiteral("../share/mirastellon/") + kIconFile),
    };
    for (const QString &candidate : candidates) {
        if (QFileInfo(candidate).isFile())
            return QDir::cleanPath(candidate);
    }
    return QString();
}

QIcon loadWindowIcon(const QString &workingDir, const QString &applicationDir)
{
    const QString file = windowIconFile(workingDir, applicationDir);
    if (!file.isEmpty())
        return QIcon(file);
    return QIcon::fromTheme(QStringLiteral("mirastellon"));
}
