#include "deviceidentity.h"

#include "portlister.h"

QString DeviceIdentity::name() const
{
    return kind == Kind::StableLink ? stableLink : path;
}

DeviceIdentity DeviceIdentity::of(const QString &chosenPath, const PortLister &lister)
{
    DeviceIdentity id;
    if (chosenPath.isEmpty())
        return id;
    id.path = chosenPath;
    id.stableLink = lister.stableNameFor(chosenPath);
    if (!id.stableLink.isEmpty()) {
        id.kind = Kind::StableLink;
        return id;
    }
    id.kind = Kind::Path;
    // A link of the operator's own making stays what it is: only the port itself is looked up.
    const QString location = portSystemPath(chosenPath);
    const auto ports = lister.ports();
    for (const PortRecord &port : ports) {
        if (port.systemLocation != location && port.portName != chosenPath)
            continue;
        // Many adapters share one serial number such as "0001" across vendors: the pair of
        // identifiers keeps them apart, and without either the number alone says too little.
        if (!port.serialNumber.isEmpty() && (port.vendorId != 0 || port.productId != 0)) {
            id.kind = Kind::SerialNumber;
            id.serialNumber = port.serialNumber;
            id.vendorId = port.vendorId;
            id.productId = port.productId;
        }
        break;
    }
    return id;
}

QString DeviceIdentity::locate(const PortLister &lister) const
{
    switch (kind) {
    case Kind::None:
        return QString();
    case Kind::StableLink:
        return lister.exists(stableLink) ? stableLink : QString();
    case Kind::SerialNumber: {
        const auto ports = lister.ports();
        for (const PortRecord &port : ports) {
            if (port.serialNumber == serialNumber && port.vendorId == vendorId &&
                port.productId == productId)
                return port.systemLocation.isEmpty() ? port.portName : port.systemLocation;
        }
        return QString();
    }
    case Kind::Path:
        return lister.exists(path) ? path : QString();
    }
    return QString();
}
