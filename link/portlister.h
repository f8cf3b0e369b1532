#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QString>

// One serial port as the system reports it.
struct PortRecord {
    QString portName;
    QString systemLocation;
    QString description;
    QString manufacturer;
    QString serialNumber;
    quint16 vendorId = 0;
    quint16 productId = 0;
    // The /dev/serial/by-id link that points at the port, empty when there is none.
    QString stableName;
};

// Where ports and device nodes are looked up. The system's answer changes as adapters come and
// go; tests put a list of their own in its place.
class PortLister {
public:
    virtual ~PortLister() = default;

    virtual QList<PortRecord> ports() const = 0;
    // The stable link that names the device at path: path itself when it is such a link, else
    // the link pointing at the same device node, else empty.
    virtual QString stableNameFor(const QString &path) const = 0;
    // Whether a device node (also through a link) is present at path now.
    virtual bool exists(const QString &path) const = 0;
};

// A port name as the operator picks it ("ttyUSB0") or types it ("/dev/ttyUSB0") as a path.
QString portSystemPath(const QString &portName);

class SystemPortLister : public PortLister {
public:
    // Links beyond this many in the folder are not looked at: a lookup stays cheap even in a
    // folder someone filled by mistake.
    static constexpr int kMaxLinks = 256;

    explicit SystemPortLister(const QString &stableNameDir = QStringLiteral("/dev/serial/by-id"));

    // Where stable links are looked for; a test points it at a folder of its own.
    void setStableNameDir(const QString &dir) { linkDir = dir; }
    QString stableNameDir() const { return linkDir; }

    // Asking the system for its ports takes tens of milliseconds; asked once a second while the
    // panel waits for a device, the answer is reused for as long as no device node came or went
    // (nor changed) and no stable link did, and at most kListReuseMs.
    static constexpr qint64 kListReuseMs = 30000;

    QList<PortRecord> ports() const override;
    QString stableNameFor(const QString &path) const override;
    bool exists(const QString &path) const override;

private:
    QByteArray deviceNodesSignature() const;

    QString linkDir;
    mutable QList<PortRecord> listed;
    mutable QByteArray listedSignature;
    mutable QElapsedTimer listedAge;
};
