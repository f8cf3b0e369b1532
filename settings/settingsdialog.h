#pragma once

#include <QDialog>
#include <QSerialPort>
#include <QString>
#include <QStringList>

class QIntValidator;

namespace Ui {
class SettingsDialog;
}

struct SerialSettings {
    QString portName;
    qint32 baudRate = 0;
    QString baudRateText;
    QSerialPort::DataBits dataBits = QSerialPort::UnknownDataBits;
    QString dataBitsText;
    QSerialPort::Parity parity = QSerialPort::UnknownParity;
    QString parityText;
    QSerialPort::StopBits stopBits = QSerialPort::UnknownStopBits;
    QString stopBitsText;
    QString flowControlText;
    bool localEcho = false;
};

// The seven texts a port-list entry carries: name, description, manufacturer, serial number,
// location, vendor and product identifier. "N/A" stands in for what the system does not know,
// except the location, which is shown as it is.
QStringList portEntryTexts(const QString &portName, const QString &description,
                           const QString &manufacturer, const QString &serialNumber,
                           const QString &systemLocation, quint16 vendorIdentifier,
                           quint16 productIdentifier);

class SettingsDialog : public QDialog {
    Q_OBJECT

public:
    // When the system's serial ports are looked up: at once, or the first time the dialog is
    // shown or its record or list is used (the main window's dialog, so that the lookup does not
    // hold up the window's first frame).
    enum class PortListing { Now, OnFirstUse };

    explicit SettingsDialog(QWidget *parent = nullptr, PortListing listing = PortListing::Now);
    ~SettingsDialog() override;

    SerialSettings settings() const;

    // Puts a port path first in the list, selects it and stores it as if applied.
    void preselectPort(const QString &path);

protected:
    void showEvent(QShowEvent *event) override;

private slots:
    void showPortInfo(int idx);
    void apply();
    void checkCustomBaudRatePolicy(int idx);
    void checkCustomDevicePathPolicy(int idx);

private:
    void populateParameterBoxes();
    void populatePortList();
    void storeSelections();
    // Lists the ports and stores the first one, once.
    void listPortsOnce() const;

    Ui::SettingsDialog *ui = nullptr;
    SerialSettings activeSettings;
    QIntValidator *baudRateValidator = nullptr;
    mutable bool portsListed = false;
    bool iconSet = false;
};
