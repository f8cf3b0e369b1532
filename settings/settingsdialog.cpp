#include "settingsdialog.h"

#include "portlister.h"
#include "ui_settingsdialog.h"

#include <QIntValidator>
#include <QLineEdit>
#include <QShowEvent>

namespace {
// The item-data role of a port entry's stable link, beside its seven texts.
constexpr int kStableNameRole = Qt::UserRole + 1;
} // namespace

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

SettingsDialog::SettingsDialog(QWidget *parent)
    : SettingsDialog(std::make_shared<SystemPortLister>(), parent)
{
}

SettingsDialog::SettingsDialog(std::shared_ptr<const PortLister> lister, QWidget *parent,
                               PortListing listing)
    : QDialog(parent), ui(new Ui::SettingsDialog), portLister(std::move(lister))
{
    ui->setupUi(this);

    baudRateValidator = new QIntValidator(0, 4000000, this);
    ui->baudRateBox->setInsertPolicy(QComboBox::NoInsert);

    connect(ui->applyButton, &QPushButton::clicked, this, &SettingsDialog::apply);
    connect(ui->refreshButton, &QPushButton::clicked, this, &SettingsDialog::refreshPorts);
    connect(ui->serialPortInfoListBox, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &SettingsDialog::showPortInfo);
    connect(ui->serialPortInfoListBox, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &SettingsDialog::checkCustomDevicePathPolicy);

    populateParameterBoxes();
    if (listing == PortListing::Now)
        listPortsOnce();
}

void SettingsDialog::listPortsOnce() const
{
    if (portsListed)
        return;
    portsListed = true;
    auto *self = const_cast<SettingsDialog *>(this);
    self->populatePortList();
    self->storeSelections();
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
    givenPaths.removeAll(path);
    givenPaths.prepend(path);
    ui->serialPortInfoListBox->insertItem(
        0, path, portEntryTexts(path, QString(), QString(), QString(), path, 0, 0));
    ui->serialPortInfoListBox->setItemData(0, portLister->stableNameFor(path), kStableNameRole);
    ui->serialPortInfoListBox->setCurrentIndex(0);
    storeSelections();
}

void SettingsDialog::setReconnectAutomatically(bool on)
{
    ui->reconnectCheckBox->setChecked(on);
    activeSettings.reconnectAutomatically = on;
}

void SettingsDialog::refreshPorts()
{
    listPortsOnce();
    QComboBox *list = ui->serialPortInfoListBox;
    const QString chosen = list->currentText();
    populatePortList();
    for (int i = int(givenPaths.size()) - 1; i >= 0; --i) {
        const QString &path = givenPaths.at(i);
        list->insertItem(0, path,
                         portEntryTexts(path, QString(), QString(), QString(), path, 0, 0));
        list->setItemData(0, portLister->stableNameFor(path), kStableNameRole);
    }
    const int at = list->findText(chosen);
    list->setCurrentIndex(at >= 0 ? at : 0);
    // Inserting before the current entry keeps it current without a signal: the details must
    // still be those of the entry now shown.
    showPortInfo(list->currentIndex());
}

void SettingsDialog::showEvent(QShowEvent *event)
{
    // Loaded when first needed: reading the image from disk is no part of the panel's start.
    if (!iconSet) {
        iconSet = true;
        setWindowIcon(QIcon(QStringLiteral("images/Mirastellon_Icon_only@500x.png")));
    }
    listPortsOnce();
    // A window manager restoring the dialog is not the operator opening it.
    if (!event->spontaneous())
        refreshPorts();
    QDialog::showEvent(event);
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
    const QString stableName = ui->serialPortInfoListBox->itemData(idx, kStableNameRole).toString();
    ui->stableNameLabel->setText(tr("Stable name: %1").arg(stableName));
    ui->stableNameLabel->setVisible(!stableName.isEmpty());
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
    const auto ports = portLister->ports();
    for (const PortRecord &port : ports) {
        const QStringList list =
            portEntryTexts(port.portName, port.description, port.manufacturer, port.serialNumber,
                           port.systemLocation, port.vendorId, port.productId);
        ui->serialPortInfoListBox->addItem(list.first(), list);
        ui->serialPortInfoListBox->setItemData(ui->serialPortInfoListBox->count() - 1,
                                               port.stableName, kStableNameRole);
    }
    // Adding the first entry showed its details before its stable link was set beside it.
    if (ui->serialPortInfoListBox->count() > 0)
        showPortInfo(ui->serialPortInfoListBox->currentIndex());
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
    activeSettings.reconnectAutomatically = ui->reconnectCheckBox->isChecked();
}
