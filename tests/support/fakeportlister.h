#pragma once

#include "portlister.h"

#include <QHash>
#include <QSet>

// Ports and device nodes as a test sets them up: adapters appear, vanish and come back under
// other names without any hardware.
struct FakePortLister : PortLister {
    QList<PortRecord> list;
    // Path -> the stable link naming the device at it (a link names itself).
    QHash<QString, QString> links;
    QSet<QString> present;
    mutable int portQueries = 0;

    QList<PortRecord> ports() const override
    {
        ++portQueries;
        return list;
    }
    QString stableNameFor(const QString &path) const override { return links.value(path); }
    bool exists(const QString &path) const override { return present.contains(path); }

    static PortRecord port(const QString &name, const QString &serial = QString(),
                           quint16 vendor = 0, quint16 product = 0,
                           const QString &stableName = QString())
    {
        PortRecord r;
        r.portName = name;
        r.systemLocation = QStringLiteral("/dev/") + name;
        r.description = QStringLiteral("Adapter ") + name;
        r.serialNumber = serial;
        r.vendorId = vendor;
        r.productId = product;
        r.stableName = stableName;
        return r;
    }
};
