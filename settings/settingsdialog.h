#pragma once

#include <QDialog>
#include <QSerialPort>
#include <QString>
#include <QStringList>

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
    ~SettingsDialog() override;

    SerialSettings settings() const;

    // Puts a port path first in the list, selects it and stores it as if applied.
    void preselectPort(const QString &path);

private slots:
    void showPortInfo(int idx);
    void apply();
    void checkCustomBaudRatePolicy(int idx);
    void checkCustomDevicePathPolicy(int idx);

private:
    void populateParameterBoxes();
    void populatePortList();
    void storeSelections();

    Ui::SettingsDialog *ui = nullptr;
    SerialSettings activeSettings;
    QIntValidator *baudRateValidator = nullptr;
};
