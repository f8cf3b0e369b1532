#pragma once

#include <QString>

class PortLister;

// Which device the panel was connected to, told apart as firmly as the system allows: by its
// stable /dev/serial/by-id link, else by serial number with vendor and product id (an adapter
// that comes back as ttyUSB1 instead of ttyUSB0), else only by the path it was opened at.
struct DeviceIdentity {
    enum class Kind { None, StableLink, SerialNumber, Path };

    Kind kind = Kind::None;
    // The port as it was chosen ("ttyUSB0", "/dev/pts/3", a link).
    QString path;
    QString stableLink;
    QString serialNumber;
    quint16 vendorId = 0;
    quint16 productId = 0;

    // How the panel opens the device and names it to the operator: its stable link when it has
    // one, else the chosen path.
    QString name() const;
    bool isKnown() const { return kind != Kind::None; }

    static DeviceIdentity of(const QString &chosenPath, const PortLister &lister);

    // Where the device is now, empty while it is away.
    QString locate(const PortLister &lister) const;
};
