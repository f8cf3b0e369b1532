#include "windowicon.h"

#include <QDir>
#include <QFileInfo>
#include <QIconEngine>
#include <QPainter>

namespace {

const QString kIconFile = QStringLiteral("images/Mirastellon_Icon_only@500x.png");

// An icon whose file is read when something first draws it or asks its sizes. Decoding the
// 256 x 256 image was a tenth of the work before the first frame, for a platform (offscreen,
// Wayland) that may never show a window icon at all.
class FileOnDemandEngine : public QIconEngine {
public:
    explicit FileOnDemandEngine(const QString &file) : file(file) {}

    void paint(QPainter *painter, const QRect &rect, QIcon::Mode mode, QIcon::State state) override
    {
        loaded().paint(painter, rect, Qt::AlignCenter, mode, state);
    }
    QPixmap pixmap(const QSize &size, QIcon::Mode mode, QIcon::State state) override
    {
        return loaded().pixmap(size, mode, state);
    }
    QSize actualSize(const QSize &size, QIcon::Mode mode, QIcon::State state) override
    {
        return loaded().actualSize(size, mode, state);
    }
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    QList<QSize> availableSizes(QIcon::Mode mode, QIcon::State state) override
#else
    QList<QSize> availableSizes(QIcon::Mode mode, QIcon::State state) const override
#endif
    {
        return loaded().availableSizes(mode, state);
    }
    QIconEngine *clone() const override
    {
        return new FileOnDemandEngine(file);
    }
    QString key() const override
    {
        return QStringLiteral("FileOnDemandEngine");
    }

private:
    const QIcon &loaded() const
    {
        if (icon.isNull())
            icon = QIcon(file);
        return icon;
    }

    QString file;
    mutable QIcon icon;
};

} // namespace

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
        return QIcon(new FileOnDemandEngine(file));
    return QIcon::fromTheme(QStringLiteral("mirastellon"));
}
