#pragma once

#include <QSerialPort>
#include <QString>
#include <QStringList>

// A record is only ever read after the dialog has filled it; the line parameters start at the
// panel's fixed ones rather than at an "unknown" value, which not every Qt Serial Port has.
struct SerialSettings {
    QString portName;
    qint32 baudRate = 0;
    QString baudRateText;
    QSerialPort::DataBits dataBits = QSerialPort::Data8;
    QString dataBitsText;
    QSerialPort::Parity parity = QSerialPort::NoParity;
    QString parityText;
    QSerialPort::StopBits stopBits = QSerialPort::OneStop;
    QString stopBitsText;
    QString flowControlText;
    bool localEcho = false;
    // When the link drops by itself, wait for the same device and connect to it again.
    bool reconnectAutomatically = false;
};

// The seven texts a port-list entry carries: name, description, manufacturer, serial number,
// location, vendor and product identifier. "N/A" stands in for what the system does not know,
// except the location, which is shown as it is.
QStringList portEntryTexts(const QString &portName, const QString &description,
                           const QString &manufacturer, const QString &serialNumber,
                           const QString &systemLocation, quint16 vendorIdentifier,
                           quint16 productIdentifier);
