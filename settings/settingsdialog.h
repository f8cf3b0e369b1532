#pragma once

#include <QDialog>
#include <QSerialPort>
#include <QString>
#include <QStringList>

#include <memory>

class PortLister;
class QIntValidator;

namespace Ui {
class SettingsDialog;
}

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

class SettingsDialog : public QDialog {
    Q_OBJECT

public:
    explicit SettingsDialog(QWidget *parent = nullptr);
    // Lists the ports that lister reports (the window shares its own; tests bring theirs).
    // When the system's ports are first looked up: at once, or the first time the dialog is
    // shown or its record or list is used (the main window's dialog, so that the lookup does not
    // hold up the window's first frame).
    enum class PortListing { Now, OnFirstUse };

    explicit SettingsDialog(std::shared_ptr<const PortLister> lister, QWidget *parent = nullptr,
                            PortListing listing = PortListing::Now);
    ~SettingsDialog() override;

    SerialSettings settings() const;

    // Puts a port path first in the list, selects it and stores it as if applied.
    void preselectPort(const QString &path);
    // Ticks "Reconnect automatically" and stores it as if applied.
    void setReconnectAutomatically(bool on);

    // Lists the ports again, keeping the chosen one selected while it is still there and every
    // path given with preselectPort().
    void refreshPorts();

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
    // Lists the ports and stores the first one as chosen, once.
    void listPortsOnce() const;

    Ui::SettingsDialog *ui = nullptr;
    std::shared_ptr<const PortLister> portLister;
    // Paths given with preselectPort(), first one first; the system's list never holds them.
    QStringList givenPaths;
    SerialSettings activeSettings;
    mutable bool portsListed = false;
    bool iconSet = false;
    QIntValidator *baudRateValidator = nullptr;
};
