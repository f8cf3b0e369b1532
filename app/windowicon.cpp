#include "windowicon.h"

#include <QFileInfo>
#include <QIconEngine>
#include <QPainter>

#include <memory>

namespace {

class FileIconEngine : public QIconEngine {
public:
    explicit FileIconEngine(const QString &fileName) : file(std::make_shared<File>(fileName)) {}

    void paint(QPainter *painter, const QRect &rect, QIcon::Mode mode, QIcon::State state) override
    {
        icon().paint(painter, rect, Qt::AlignCenter, mode, state);
    }
    QSize actualSize(const QSize &size, QIcon::Mode mode, QIcon::State state) override
    {
        return icon().actualSize(size, mode, state);
    }
    QPixmap pixmap(const QSize &size, QIcon::Mode mode, QIcon::State state) override
    {
        return icon().pixmap(size, mode, state);
    }
    QIconEngine *clone() const override { return new FileIconEngine(*this); }
    QString key() const override { return QStringLiteral("FileIconEngine"); }

#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    QList<QSize> availableSizes(QIcon::Mode mode, QIcon::State state) override
    {
        return icon().availableSizes(mode, state);
    }
    bool isNull() override
    {
        return nullNow();
    }
#else
    QList<QSize> availableSizes(QIcon::Mode mode, QIcon::State state) const override
    {
        return icon().availableSizes(mode, state);
    }
    void virtual_hook(int id, void *data) override
    {
        if (id == IsNullHook) {
            *static_cast<bool *>(data) = nullNow();
            return;
        }
        QIconEngine::virtual_hook(id, data);
    }
#endif

private:
    // Shared by the copies QIcon makes, so the image is decoded once.
    struct File {
        explicit File(const QString &name) : name(name) {}
        QString name;
        bool loaded = false;
        QIcon icon;
    };

    const QIcon &icon() const
    {
        if (!file->loaded) {
            file->loaded = true;
            file->icon = QIcon(file->name);
        }
        return file->icon;
    }
    bool nullNow() const
    {
        return file->loaded ? file->icon.isNull() : !QFileInfo(file->name).isFile();
    }

    std::shared_ptr<File> file;
};

} // namespace

QIcon windowIconFromFile(const QString &fileName)
{
    if (!QFileInfo(fileName).isFile())
        return QIcon();
    return QIcon(new FileIconEngine(fileName));
}
