#include "settingsdialog.h"

#include "ui_settingsdialog.h"

#include <QIntValidator>
#include <QLineEdit>
#include <QSerialPortInfo>

QStringList portEntryTexts(const QString &portName, const QString &description,
                           const QString &manufacturer, const QString &serialNumber,
                           const QString &systemLocation, quint16 vendorIdentifier,
                           quint16 productIdentifier)
{
    const QString notAvailable = SettingsDialog::tr("N/A");
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

SettingsDialog::SettingsDialog(QWidget *parent, PortListing listing)
    : QDialog(parent), ui(new Ui::SettingsDialog)
{
    ui->setupUi(this);

    baudRateValidator = new QIntValidator(0, 4000000, this);
    ui->baudRateBox->setInsertPolicy(QComboBox::NoInsert);

    connect(ui->applyButton, &QPushButton::clicked, this, &SettingsDialog::apply);
    connect(ui->serialPortInfoListBox, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &SettingsDialog::showPortInfo);
    connect(ui->serialPortInfoListBox, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &SettingsDialog::checkCustomDevicePathPolicy);

    populateParameterBoxes();
    storeSelections();
    if (listing == PortListing::Now)
        listPortsOnce();
}

void SettingsDialog::listPortsOnce() const
{
    if (portsListed)
        return;
    portsListed = true;
    // Only the time of the lookup is deferred; the dialog itself is never const.
    auto *self = const_cast<SettingsDialog *>(this);
    self->populatePortList();
    self->storeSelections();
}

void SettingsDialog::showEvent(QShowEvent *event)
{
    listPortsOnce();
    // Decoding the icon image costs as much as the rest of the dialog; it is needed only once
    // the dialog is on screen.
    if (!iconSet) {
        iconSet = true;
        setWindowIcon(QIcon(QStringLiteral("images/Mirastellon_Icon_only@500x.png")));
    }
    QDialog::showEvent(event);
}

SettingsDialog::~SettingsDialog()
{
    delete ui;
}

SerialSettings SettingsDialog::settings() const
{
    listPortsOnce();
    return activeSettings;
}

void SettingsDialog::preselectPort(const QString &path)
{
    listPortsOnce();
    ui->serialPortInfoListBox->insertItem(
        0, path, portEntryTexts(path, QString(), QString(), QString(), path, 0, 0));
    ui->serialPortInfoListBox->setCurrentIndex(0);
    storeSelections();
}

void SettingsDialog::showPortInfo(int idx)
{
    if (idx == -1)
        return;
    const QStringList list = ui->serialPortInfoListBox->itemData(idx).toStringList();
    const QString notAvailable = tr("N/A");
    const auto field = [&](int k) { return list.size() > k ? list.at(k) : notAvailable; };
    ui->descriptionLabel->setText(tr("Description: %1").arg(field(1)));
    ui->manufacturerLabel->setText(tr("Manufacturer: %1").arg(field(2)));
    ui->serialNumberLabel->setText(tr("Serial number: %1").arg(field(3)));
    ui->locationLabel->setText(tr("Location: %1").arg(field(4)));
    ui->vidLabel->setText(tr("Vendor Identifier: %1").arg(field(5)));
    ui->pidLabel->setText(tr("Product Identifier: %1").arg(field(6)));
}

void SettingsDialog::apply()
{
    storeSelections();
    hide();
}

void SettingsDialog::checkCustomBaudRatePolicy(int idx)
{
    const bool custom = !ui->baudRateBox->itemData(idx).isValid();
    ui->baudRateBox->setEditable(custom);
    if (custom) {
        ui->baudRateBox->clearEditText();
        ui->baudRateBox->lineEdit()->setValidator(baudRateValidator);
    }
}

void SettingsDialog::checkCustomDevicePathPolicy(int idx)
{
    const bool custom = !ui->serialPortInfoListBox->itemData(idx).isValid();
    ui->serialPortInfoListBox->setEditable(custom);
    if (custom)
        ui->serialPortInfoListBox->clearEditText();
}

void SettingsDialog::populateParameterBoxes()
{
    ui->baudRateBox->addItem(QStringLiteral("115200"), QSerialPort::Baud115200);
    ui->dataBitsBox->addItem(QStringLiteral("8"), QSerialPort::Data8);
    ui->parityBox->addItem(tr("None"), QSerialPort::NoParity);
    ui->stopBitsBox->addItem(QStringLiteral("1"), QSerialPort::OneStop);
}

void SettingsDialog::populatePortList()
{
    ui->serialPortInfoListBox->clear();
    const auto ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : ports) {
        const QStringList list = portEntryTexts(
            info.portName(), info.description(), info.manufacturer(), info.serialNumber(),
            info.systemLocation(), info.vendorIdentifier(), info.productIdentifier());
        ui->serialPortInfoListBox->addItem(list.first(), list);
    }
}

void SettingsDialog::storeSelections()
{
    activeSettings.portName = ui->serialPortInfoListBox->currentText();

    activeSettings.baudRate = ui->baudRateBox->currentData().toInt();
    activeSettings.baudRateText = QString::number(activeSettings.baudRate);

    activeSettings.dataBits =
        static_cast<QSerialPort::DataBits>(ui->dataBitsBox->currentData().toInt());
    activeSettings.dataBitsText = ui->dataBitsBox->currentText();

    activeSettings.parity = static_cast<QSerialPort::Parity>(ui->parityBox->currentData().toInt());
    activeSettings.parityText = ui->parityBox->currentText();

    activeSettings.stopBits =
        static_cast<QSerialPort::StopBits>(ui->stopBitsBox->currentData().toInt());
    activeSettings.stopBitsText = ui->stopBitsBox->currentText();

    activeSettings.localEcho = true;
}
