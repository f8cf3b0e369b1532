#include "portlister.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSerialPortInfo>

QString portSystemPath(const QString &portName)
{
    if (portName.isEmpty() || portName.startsWith(QLatin1Char('/')) ||
        portName.startsWith(QLatin1String("./")) || portName.startsWith(QLatin1String("../")))
        return portName;
    return QStringLiteral("/dev/") + portName;
}

SystemPortLister::SystemPortLister(const QString &stableNameDir) : linkDir(stableNameDir) {}

QByteArray SystemPortLister::deviceNodesSignature() const
{
    QByteArray signature;
    const QDir dev(QStringLiteral("/dev"));
    const QFileInfoList nodes =
        dev.entryInfoList({QStringLiteral("tty*"), QStringLiteral("rfcomm*")},
                          QDir::System | QDir::Files, QDir::Name);
    for (const QFileInfo &node : nodes) {
        signature += QFile::encodeName(node.fileName());
        signature += QByteArray::number(node.metadataChangeTime().toMSecsSinceEpoch());
        signature += '\n';
    }
    const QFileInfo links(linkDir);
    signature += QFile::encodeName(linkDir);
    signature += QByteArray::number(links.exists() ? links.lastModified().toMSecsSinceEpoch() : 0);
    return signature;
}

QList<PortRecord> SystemPortLister::ports() const
{
    const QByteArray signature = deviceNodesSignature();
    if (listedAge.isValid() && listedAge.elapsed() < kListReuseMs && signature == listedSignature)
        return listed;
    QList<PortRecord> records;
    const auto infos = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : infos) {
        PortRecord r;
        r.portName = info.portName();
        r.systemLocation = info.systemLocation();
        r.description = info.description();
        r.manufacturer = info.manufacturer();
        r.serialNumber = info.serialNumber();
        r.vendorId = info.hasVendorIdentifier() ? info.vendorIdentifier() : 0;
        r.productId = info.hasProductIdentifier() ? info.productIdentifier() : 0;
        r.stableName = stableNameFor(r.systemLocation);
        records.append(r);
    }
    listed = records;
    listedSignature = signature;
    listedAge.start();
    return records;
}

QString SystemPortLister::stableNameFor(const QString &path) const
{
    if (path.isEmpty() || linkDir.isEmpty())
        return QString();
    const QFileInfo given(portSystemPath(path));
    // A dangling link, or a ring of links, names nothing that could be opened.
    if (!given.exists())
        return QString();
    const QString target = given.canonicalFilePath();
    if (target.isEmpty())
        return QString();
    const QDir dir(linkDir);
    if (given.isSymLink() && QFileInfo(given.absolutePath()) == QFileInfo(dir.absolutePath()))
        return given.absoluteFilePath();

    const QFileInfoList links =
        dir.entryInfoList(QDir::Files | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    int looked = 0;
    for (const QFileInfo &link : links) {
        if (++looked > kMaxLinks)
            break;
        if (link.isSymLink() && link.exists() && link.canonicalFilePath() == target)
            return link.absoluteFilePath();
    }
    return QString();
}

bool SystemPortLister::exists(const QString &path) const
{
    return !path.isEmpty() && QFileInfo::exists(portSystemPath(path));
}
