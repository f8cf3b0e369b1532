#include "serialsettings.h"

#include <QCoreApplication>

QStringList portEntryTexts(const QString &portName, const QString &description,
                           const QString &manufacturer, const QString &serialNumber,
                           const QString &systemLocation, quint16 vendorIdentifier,
                           quint16 productIdentifier)
{
    const QString notAvailable = QCoreApplication::translate("SettingsDialog", "N/A");
    const auto orNotAvailable = [&notAvailable](const QString &text) {
        return text.isEmpty() ? notAvailable : text;
    };
    const auto identifier = [&notAvailable](quint16 value) {
        return value ? QString::number(value, 16) : notAvailable;
    };
    return {portName,
            orNotAvailable(description),
            orNotAvailable(manufacturer),
            orNotAvailable(serialNumber),
            systemLocation,
            identifier(vendorIdentifier),
            identifier(productIdentifier)};
}
