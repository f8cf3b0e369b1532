// The serial settings dialog: the stored record, the port-list entries and their detail labels,
// Apply versus closing, the fixed line parameters, keyboard handling, and how the main window
// shows the dialog and reads its record. Ports of the machine never decide a result: every case
// that needs a port puts a known one first with preselectPort().

#include "fakecontroller.h"
#include "fakeportlister.h"
#include "mainwindow.h"
#include "messageboxwatcher.h"
#include "probe.h"
#include "settingsdialog.h"
#include "ui_settingsdialog.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

namespace {

const char *const kLabelNames[] = {"descriptionLabel", "manufacturerLabel", "serialNumberLabel",
                                   "locationLabel",    "vidLabel",          "pidLabel"};

QComboBox *portList(QWidget &dialog)
{
    return dialog.findChild<QComboBox *>(QStringLiteral("serialPortInfoListBox"));
}

QComboBox *combo(QWidget &dialog, const QString &name)
{
    return dialog.findChild<QComboBox *>(name);
}

QPushButton *applyButton(QWidget &dialog)
{
    return dialog.findChild<QPushButton *>(QStringLiteral("applyButton"));
}

QPushButton *refreshButton(QWidget &dialog)
{
    return dialog.findChild<QPushButton *>(QStringLiteral("refreshButton"));
}

QStringList labelTexts(QWidget &dialog)
{
    QStringList texts;
    for (const char *name : kLabelNames) {
        const auto *label = dialog.findChild<QLabel *>(QLatin1String(name));
        texts << (label ? label->text() : QStringLiteral("<missing %1>").arg(name));
    }
    return texts;
}

// The parameters never change: the record must hold them right after construction and after
// every Apply alike.
void verifyFixedParameters(const SerialSettings &s)
{
    QCOMPARE(s.baudRate, 115200);
    QCOMPARE(s.baudRateText, QStringLiteral("115200"));
    QCOMPARE(s.dataBits, QSerialPort::Data8);
    QCOMPARE(int(s.dataBits), 8);
    QCOMPARE(s.dataBitsText, QStringLiteral("8"));
    QCOMPARE(s.parity, QSerialPort::NoParity);
    QCOMPARE(int(s.parity), 0);
    QCOMPARE(s.parityText, QStringLiteral("None"));
    QCOMPARE(s.stopBits, QSerialPort::OneStop);
    QCOMPARE(int(s.stopBits), 1);
    QCOMPARE(s.stopBitsText, QStringLiteral("1"));
    QVERIFY(s.flowControlText.isEmpty());
    QCOMPARE(s.localEcho, true);
}

bool showAndActivate(QWidget &widget)
{
    widget.show();
    if (!QTest::qWaitForWindowExposed(&widget))
        return false;
    widget.activateWindow();
    return QTest::qWaitForWindowActive(&widget);
}

} // namespace

class TestSettingsDialog : public QObject {
    Q_OBJECT

private slots:
    void recordAfterConstruction();
    void recordAfterApply();
    void portEntryTexts_data();
    void portEntryTexts();
    void formLabelsBeforeSelection();
    void constructionFollowsFirstListedPort();
    void detailLabelsFollowSelection_data();
    void detailLabelsFollowSelection();
    void preselectPutsPathFirstAndStoresIt();
    void closingWithoutApplyKeepsRecord_data();
    void closingWithoutApplyKeepsRecord();
    void applyWithEmptyListStoresEmptyPort();
    void showPortInfoIgnoresNoSelection();
    void devicePathPolicy();
    void baudRatePolicy();
    void parameterBoxesHoldOneFixedEntry_data();
    void parameterBoxesHoldOneFixedEntry();
    void returnPressesApply();
    void tabChainOfTheDialog();
    void titleAndSize();
    void refreshKeepsSelectionAndGivenPaths();
    void refreshFallsBackWhenChosenPortIsGone();
    void showingListsPortsAgain();
    void stableNameShownWhereThereIsOne();
    void reconnectChoiceIsStoredOnApply();
    void configureShowsModelessTopLevelDialog();
    void connectUsesStoredRecord();
};

void TestSettingsDialog::recordAfterConstruction()
{
    SettingsDialog dialog;
    verifyFixedParameters(dialog.settings());
    QCOMPARE(dialog.settings().portName, portList(dialog)->currentText());
}

void TestSettingsDialog::recordAfterApply()
{
    SettingsDialog dialog;
    dialog.preselectPort(QStringLiteral("/dev/ttyMIRA1"));
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QTest::mouseClick(applyButton(dialog), Qt::LeftButton);
    QVERIFY(!dialog.isVisible());
    verifyFixedParameters(dialog.settings());
    QCOMPARE(dialog.settings().portName, QStringLiteral("/dev/ttyMIRA1"));
}

void TestSettingsDialog::portEntryTexts_data()
{
    QTest::addColumn<QString>("description");
    QTest::addColumn<QString>("manufacturer");
    QTest::addColumn<QString>("serialNumber");
    QTest::addColumn<QString>("location");
    QTest::addColumn<int>("vid");
    QTest::addColumn<int>("pid");
    QTest::addColumn<QStringList>("expected");

    const QString na = QStringLiteral("N/A");
    QTest::newRow("nothing known")
        << QString() << QString() << QString() << QStringLiteral("/dev/ttyS0") << 0 << 0
        << QStringList{"ttyS0", na, na, na, "/dev/ttyS0", na, na};
    QTest::newRow("empty location stays empty")
        << QStringLiteral("Bridge") << QString() << QString() << QString() << 0 << 0
        << QStringList{"ttyS0", "Bridge", na, na, QString(), na, na};
    QTest::newRow("ftdi") << QStringLiteral("FT232R USB UART") << QStringLiteral("FTDI")
                          << QStringLiteral("A50285BI") << QStringLiteral("/dev/ttyUSB0") << 0x0403
                          << 0x6001 << QStringList{"ttyS0",    "FT232R USB UART", "FTDI",
                                                   "A50285BI", "/dev/ttyUSB0",    "403",
                                                   "6001"};
    QTest::newRow("lower case hex")
        << QString() << QString() << QString() << QStringLiteral("/dev/ttyUSB1") << 0x10C4 << 0xEA60
        << QStringList{"ttyS0", na, na, na, "/dev/ttyUSB1", "10c4", "ea60"};
    QTest::newRow("largest identifiers")
        << QString() << QString() << QString() << QStringLiteral("/dev/ttyACM0") << 0xFFFF << 0xFFFF
        << QStringList{"ttyS0", na, na, na, "/dev/ttyACM0", "ffff", "ffff"};
    QTest::newRow("only product known")
        << QString() << QString() << QString() << QStringLiteral("/dev/ttyACM1") << 0 << 0x1
        << QStringList{"ttyS0", na, na, na, "/dev/ttyACM1", na, "1"};
}

void TestSettingsDialog::portEntryTexts()
{
    QFETCH(QString, description);
    QFETCH(QString, manufacturer);
    QFETCH(QString, serialNumber);
    QFETCH(QString, location);
    QFETCH(int, vid);
    QFETCH(int, pid);
    QFETCH(QStringList, expected);

    const QStringList texts = ::portEntryTexts(QStringLiteral("ttyS0"), description, manufacturer,
                                               serialNumber, location, quint16(vid), quint16(pid));
    QCOMPARE(texts, expected);
}

void TestSettingsDialog::formLabelsBeforeSelection()
{
    QDialog plain;
    Ui::SettingsDialog form;
    form.setupUi(&plain);
    QCOMPARE(labelTexts(plain), (QStringList{"Description:", "Manufacturer:", "Serial number:",
                                             "Location:", "Vendor ID:", "Product ID:"}));
    QCOMPARE(form.serialPortInfoListBox->count(), 0);
    QVERIFY(form.serialPortInfoListBox->isEnabled());
    QVERIFY(!form.serialPortInfoListBox->isEditable());
}

// Whatever the machine offers: an empty list leaves the form texts and an empty port name, a
// list with ports shows and stores its first entry.
void TestSettingsDialog::constructionFollowsFirstListedPort()
{
    SettingsDialog dialog;
    QComboBox *list = portList(dialog);
    if (list->count() == 0) {
        QCOMPARE(list->currentIndex(), -1);
        QVERIFY(dialog.settings().portName.isEmpty());
        QCOMPARE(labelTexts(dialog), (QStringList{"Description:", "Manufacturer:", "Serial number:",
                                                  "Location:", "Vendor ID:", "Product ID:"}));
        return;
    }
    QCOMPARE(list->currentIndex(), 0);
    QVERIFY(!list->isEditable());
    QCOMPARE(dialog.settings().portName, list->itemText(0));
    const QStringList entry = list->itemData(0).toStringList();
    QCOMPARE(entry.size(), 7);
    QCOMPARE(entry.first(), list->itemText(0));
    QCOMPARE(labelTexts(dialog),
             (QStringList{"Description: " + entry[1], "Manufacturer: " + entry[2],
                          "Serial number: " + entry[3], "Location: " + entry[4],
                          "Vendor Identifier: " + entry[5], "Product Identifier: " + entry[6]}));
}

void TestSettingsDialog::detailLabelsFollowSelection_data()
{
    QTest::addColumn<QStringList>("entry");
    QTest::addColumn<QStringList>("labels");

    QTest::newRow("unknown port") << ::portEntryTexts("/dev/ttyMIRA7", QString(), QString(),
                                                      QString(), "/dev/ttyMIRA7", 0, 0)
                                  << QStringList{
                                         "Description: N/A",       "Manufacturer: N/A",
                                         "Serial number: N/A",     "Location: /dev/ttyMIRA7",
                                         "Vendor Identifier: N/A", "Product Identifier: N/A"};
    QTest::newRow("usb adapter") << ::portEntryTexts("ttyUSB0", "CP2102 USB to UART",
                                                     "Silicon Labs", "0001", "/dev/ttyUSB0", 0x10C4,
                                                     0xEA60)
                                 << QStringList{"Description: CP2102 USB to UART",
                                                "Manufacturer: Silicon Labs",
                                                "Serial number: 0001",
                                                "Location: /dev/ttyUSB0",
                                                "Vendor Identifier: 10c4",
                                                "Product Identifier: ea60"};
    QTest::newRow("empty location")
        << ::portEntryTexts("ttyS3", QString(), QString(), QString(), QString(), 0, 0)
        << QStringList{"Description: N/A", "Manufacturer: N/A",      "Serial number: N/A",
                       "Location: ",       "Vendor Identifier: N/A", "Product Identifier: N/A"};
    QTest::newRow("short entry") << QStringList{"ttyMIRA9", "Bench adapter"}
                                 << QStringList{
                                        "Description: Bench adapter", "Manufacturer: N/A",
                                        "Serial number: N/A",         "Location: N/A",
                                        "Vendor Identifier: N/A",     "Product Identifier: N/A"};
}

void TestSettingsDialog::detailLabelsFollowSelection()
{
    QFETCH(QStringList, entry);
    QFETCH(QStringList, labels);

    SettingsDialog dialog;
    QComboBox *list = portList(dialog);
    QVERIFY(list);
    list->addItem(entry.first(), entry);
    list->setCurrentIndex(list->count() - 1);
    QCOMPARE(labelTexts(dialog), labels);
    QVERIFY(!list->isEditable());
}

void TestSettingsDialog::preselectPutsPathFirstAndStoresIt()
{
    SettingsDialog dialog;
    QComboBox *list = portList(dialog);
    const int before = list->count();
    const QString path = QStringLiteral("/dev/serial/by-id/usb-MIRA_stage-if00");

    dialog.preselectPort(path);
    QCOMPARE(list->count(), before + 1);
    QCOMPARE(list->currentIndex(), 0);
    QCOMPARE(list->itemText(0), path);
    const QStringList entry = list->itemData(0).toStringList();
    QCOMPARE(entry.size(), 7);
    QCOMPARE(entry.at(0), path);
    QCOMPARE(entry.at(4), path);
    QCOMPARE(dialog.settings().portName, path);
    QCOMPARE(labelTexts(dialog).at(3), "Location: " + path);
    verifyFixedParameters(dialog.settings());
}

void TestSettingsDialog::closingWithoutApplyKeepsRecord_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("close") << QStringLiteral("close");
    QTest::newRow("reject") << QStringLiteral("reject");
    QTest::newRow("escape") << QStringLiteral("escape");
}

void TestSettingsDialog::closingWithoutApplyKeepsRecord()
{
    QFETCH(QString, how);

    SettingsDialog dialog;
    dialog.preselectPort(QStringLiteral("/dev/ttyMIRA_A"));
    dialog.preselectPort(QStringLiteral("/dev/ttyMIRA_B"));
    QCOMPARE(dialog.settings().portName, QStringLiteral("/dev/ttyMIRA_B"));

    QVERIFY(showAndActivate(dialog));
    QComboBox *list = portList(dialog);
    list->setCurrentIndex(1);
    QCOMPARE(list->currentText(), QStringLiteral("/dev/ttyMIRA_A"));

    if (how == QLatin1String("close"))
        dialog.close();
    else if (how == QLatin1String("reject"))
        dialog.reject();
    else
        QTest::keyClick(&dialog, Qt::Key_Escape);
    QVERIFY(!dialog.isVisible());
    QCOMPARE(dialog.settings().portName, QStringLiteral("/dev/ttyMIRA_B"));

    // Reopened, the list still shows the operator's choice, and Apply stores it.
    QVERIFY(showAndActivate(dialog));
    QCOMPARE(list->currentText(), QStringLiteral("/dev/ttyMIRA_A"));
    QTest::mouseClick(applyButton(dialog), Qt::LeftButton);
    QVERIFY(!dialog.isVisible());
    QCOMPARE(dialog.settings().portName, QStringLiteral("/dev/ttyMIRA_A"));
    verifyFixedParameters(dialog.settings());
}

void TestSettingsDialog::applyWithEmptyListStoresEmptyPort()
{
    SettingsDialog dialog;
    dialog.preselectPort(QStringLiteral("/dev/ttyMIRA1"));
    QCOMPARE(dialog.settings().portName, QStringLiteral("/dev/ttyMIRA1"));

    // Showing lists the ports again, so the list is emptied once the dialog is up.
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    portList(dialog)->clear();
    QTest::mouseClick(applyButton(dialog), Qt::LeftButton);
    QVERIFY(!dialog.isVisible());
    QVERIFY(dialog.settings().portName.isEmpty());
    verifyFixedParameters(dialog.settings());
}

void TestSettingsDialog::showPortInfoIgnoresNoSelection()
{
    SettingsDialog dialog;
    dialog.preselectPort(QStringLiteral("/dev/ttyMIRA5"));
    const QStringList before = labelTexts(dialog);
    QCOMPARE(before.at(3), QStringLiteral("Location: /dev/ttyMIRA5"));

    QVERIFY(QMetaObject::invokeMethod(&dialog, "showPortInfo", Q_ARG(int, -1)));
    QCOMPARE(labelTexts(dialog), before);
}

void TestSettingsDialog::devicePathPolicy()
{
    SettingsDialog dialog;
    dialog.preselectPort(QStringLiteral("/dev/ttyMIRA2"));
    QComboBox *list = portList(dialog);
    QVERIFY(!list->isEditable());

    QVERIFY(QMetaObject::invokeMethod(&dialog, "checkCustomDevicePathPolicy", Q_ARG(int, -1)));
    QVERIFY(list->isEditable());
    QVERIFY(list->lineEdit());
    QVERIFY(list->currentText().isEmpty());
    QVERIFY(list->lineEdit()->text().isEmpty());

    QVERIFY(QMetaObject::invokeMethod(&dialog, "checkCustomDevicePathPolicy", Q_ARG(int, 0)));
    QVERIFY(!list->isEditable());
    QCOMPARE(list->currentText(), QStringLiteral("/dev/ttyMIRA2"));
}

void TestSettingsDialog::baudRatePolicy()
{
    SettingsDialog dialog;
    QComboBox *baud = combo(dialog, QStringLiteral("baudRateBox"));
    QVERIFY(baud);
    QVERIFY(!baud->isEditable());
    QCOMPARE(baud->insertPolicy(), QComboBox::NoInsert);

    // An entry without item data stands for a rate typed by hand.
    baud->addItem(QStringLiteral("Custom"));
    QVERIFY(QMetaObject::invokeMethod(&dialog, "checkCustomBaudRatePolicy", Q_ARG(int, 1)));
    QVERIFY(baud->isEditable());
    QVERIFY(baud->lineEdit());
    QVERIFY(baud->lineEdit()->text().isEmpty());
    const auto *validator = qobject_cast<const QIntValidator *>(baud->lineEdit()->validator());
    QVERIFY(validator);
    QCOMPARE(validator->bottom(), 0);
    QCOMPARE(validator->top(), 4000000);

    QVERIFY(QMetaObject::invokeMethod(&dialog, "checkCustomBaudRatePolicy", Q_ARG(int, 0)));
    QVERIFY(!baud->isEditable());

    QVERIFY(QMetaObject::invokeMethod(&dialog, "checkCustomBaudRatePolicy", Q_ARG(int, -1)));
    QVERIFY(baud->isEditable());
    QVERIFY(baud->lineEdit()->text().isEmpty());
    QCOMPARE(baud->lineEdit()->validator(), validator);
}

void TestSettingsDialog::parameterBoxesHoldOneFixedEntry_data()
{
    QTest::addColumn<QString>("box");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("value");
    QTest::newRow("baud rate") << QStringLiteral("baudRateBox") << QStringLiteral("115200")
                               << 115200;
    QTest::newRow("data bits") << QStringLiteral("dataBitsBox") << QStringLiteral("8") << 8;
    QTest::newRow("parity") << QStringLiteral("parityBox") << QStringLiteral("None") << 0;
    QTest::newRow("stop bits") << QStringLiteral("stopBitsBox") << QStringLiteral("1") << 1;
}

void TestSettingsDialog::parameterBoxesHoldOneFixedEntry()
{
    QFETCH(QString, box);
    QFETCH(QString, text);
    QFETCH(int, value);

    SettingsDialog dialog;
    QComboBox *b = combo(dialog, box);
    QVERIFY(b);
    QVERIFY(!b->isEnabled());
    QVERIFY(!b->isEditable());
    QCOMPARE(b->count(), 1);
    QCOMPARE(b->currentIndex(), 0);
    QCOMPARE(b->currentText(), text);
    QCOMPARE(b->currentData().userType(), int(QMetaType::Int));
    QCOMPARE(b->currentData().toInt(), value);
}

void TestSettingsDialog::returnPressesApply()
{
    SettingsDialog dialog;
    // Refresh stands beside the port list; Apply stays the one button Return presses.
    const QList<QPushButton *> buttons = dialog.findChildren<QPushButton *>();
    QCOMPARE(buttons.size(), 2);
    QPushButton *apply = applyButton(dialog);
    QCOMPARE(apply->text(), QStringLiteral("Apply"));
    QVERIFY(apply->autoDefault());
    QVERIFY(!refreshButton(dialog)->autoDefault());

    dialog.preselectPort(QStringLiteral("/dev/ttyMIRA_A"));
    dialog.preselectPort(QStringLiteral("/dev/ttyMIRA_B"));
    portList(dialog)->setCurrentIndex(1);

    QVERIFY(showAndActivate(dialog));
    QVERIFY(apply->isDefault());
    QTest::keyClick(&dialog, Qt::Key_Return);
    QVERIFY(!dialog.isVisible());
    QCOMPARE(dialog.settings().portName, QStringLiteral("/dev/ttyMIRA_A"));
}

void TestSettingsDialog::tabChainOfTheDialog()
{
    SettingsDialog dialog;
    QVERIFY(showAndActivate(dialog));
    const QList<QWidget *> chain = {portList(dialog), refreshButton(dialog),
                                    dialog.findChild<QCheckBox *>("reconnectCheckBox"),
                                    applyButton(dialog)};

    chain.first()->setFocus(Qt::OtherFocusReason);
    QTRY_COMPARE(QApplication::focusWidget(), chain.first());
    for (int i = 1; i <= chain.size(); ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), chain.at(i % chain.size()));
    }
    for (int i = chain.size() - 1; i >= 0; --i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
        QCOMPARE(QApplication::focusWidget(), chain.at(i));
    }
}

void TestSettingsDialog::titleAndSize()
{
    SettingsDialog dialog;
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Settings"));
    QCOMPARE(dialog.size(), QSize(397, 323));
    QVERIFY(dialog.isWindow());
    QVERIFY(!dialog.isVisible());
}

void TestSettingsDialog::configureShowsModelessTopLevelDialog()
{
    Panel panel;
    MainWindow &window = panel.window();
    MainWindowProbe probe(window);
    QVERIFY(showAndActivate(window));
    SettingsDialog *dialog = probe.settingsDialog();
    QVERIFY(dialog);
    QVERIFY(!dialog->isVisible());

    probe.ui()->actionConfigure->trigger();
    QVERIFY(dialog->isVisible());
    QVERIFY(QTest::qWaitForWindowExposed(dialog));
    QVERIFY(dialog->isWindow());
    QCOMPARE(dialog->parentWidget(), nullptr);
    QVERIFY(!dialog->isModal());
    QCOMPARE(dialog->windowModality(), Qt::NonModal);
    QCOMPARE(QApplication::activeModalWidget(), nullptr);
    QVERIFY(window.isEnabled());
    QVERIFY(window.isVisible());

    QTest::mouseClick(applyButton(*dialog), Qt::LeftButton);
    QVERIFY(!dialog->isVisible());
}

void TestSettingsDialog::connectUsesStoredRecord()
{
    FakeController controller;
    Panel panel;
    MainWindow &window = panel.window();
    MainWindowProbe probe(window);
    MessageBoxWatcher watcher;
    SettingsDialog *dialog = probe.settingsDialog();
    const QString bogus = QStringLiteral("/dev/mirastellon-no-such-port");
    dialog->preselectPort(bogus);
    panel.preselectPort(controller.portPath());

    // A choice closed without Apply does not reach the connection.
    probe.ui()->actionConfigure->trigger();
    QComboBox *list = portList(*dialog);
    QCOMPARE(list->itemText(1), bogus);
    list->setCurrentIndex(1);
    dialog->close();

    probe.ui()->actionConnect->trigger();
    QVERIFY(probe.serialPort()->isOpen());
    const QString status = probe.statusLabel()->text();
    QVERIFY2(status.startsWith(QStringLiteral("Connected to /dev/pts/")), qPrintable(status));
    QCOMPARE(status, "Connected to " + controller.portPath() + ": 115200, 8, None, 1, ");
    QVERIFY(controller.waitForReceived(">inform\r>status\r"));
    probe.ui()->actionDisconnect->trigger();
    QVERIFY(!probe.serialPort()->isOpen());
    QCOMPARE(watcher.count(), 0);

    // Once applied, the next connection uses the new choice.
    probe.ui()->actionConfigure->trigger();
    QCOMPARE(list->currentText(), bogus);
    QTest::mouseClick(applyButton(*dialog), Qt::LeftButton);
    probe.ui()->actionConnect->trigger();
    QVERIFY(!probe.serialPort()->isOpen());
    QCOMPARE(probe.statusLabel()->text(), QStringLiteral("Open error"));
    QTRY_COMPARE(watcher.count(), 1);
    QCOMPARE(watcher.titles.first(), QStringLiteral("Error"));
}

void TestSettingsDialog::refreshKeepsSelectionAndGivenPaths()
{
    auto lister = std::make_shared<FakePortLister>();
    lister->list = {FakePortLister::port("ttyFAKE0"), FakePortLister::port("ttyFAKE1")};
    SettingsDialog dialog(lister);
    QComboBox *list = portList(dialog);
    dialog.preselectPort(QStringLiteral("/dev/ttyMIRA_A"));
    dialog.preselectPort(QStringLiteral("/dev/ttyMIRA_B"));
    list->setCurrentIndex(3);
    QCOMPARE(list->currentText(), QStringLiteral("ttyFAKE1"));

    // An adapter is plugged in, another one pulled out.
    lister->list = {FakePortLister::port("ttyFAKE2"), FakePortLister::port("ttyFAKE1")};
    QTest::mouseClick(refreshButton(dialog), Qt::LeftButton);
    QStringList texts;
    for (int i = 0; i < list->count(); ++i)
        texts << list->itemText(i);
    QCOMPARE(texts, (QStringList{"/dev/ttyMIRA_B", "/dev/ttyMIRA_A", "ttyFAKE2", "ttyFAKE1"}));
    QCOMPARE(list->currentText(), QStringLiteral("ttyFAKE1"));
    QCOMPARE(labelTexts(dialog).first(), QStringLiteral("Description: Adapter ttyFAKE1"));
    QVERIFY(!list->isEditable());
    // Refreshing is no Apply.
    QCOMPARE(dialog.settings().portName, QStringLiteral("/dev/ttyMIRA_B"));

    // A given path chosen stays chosen, with its own details.
    list->setCurrentIndex(1);
    QTest::mouseClick(refreshButton(dialog), Qt::LeftButton);
    QCOMPARE(list->currentText(), QStringLiteral("/dev/ttyMIRA_A"));
    QCOMPARE(labelTexts(dialog).at(3), QStringLiteral("Location: /dev/ttyMIRA_A"));
    QCOMPARE(list->count(), 4);
}

void TestSettingsDialog::refreshFallsBackWhenChosenPortIsGone()
{
    auto lister = std::make_shared<FakePortLister>();
    lister->list = {FakePortLister::port("ttyFAKE0"), FakePortLister::port("ttyFAKE1")};
    SettingsDialog dialog(lister);
    QComboBox *list = portList(dialog);
    list->setCurrentIndex(1);

    lister->list = {FakePortLister::port("ttyFAKE0")};
    QTest::mouseClick(refreshButton(dialog), Qt::LeftButton);
    QCOMPARE(list->count(), 1);
    QCOMPARE(list->currentText(), QStringLiteral("ttyFAKE0"));
    QCOMPARE(labelTexts(dialog).first(), QStringLiteral("Description: Adapter ttyFAKE0"));

    // Nothing left: no selection, nothing stored until Apply, and Apply stores nothing.
    lister->list.clear();
    QTest::mouseClick(refreshButton(dialog), Qt::LeftButton);
    QCOMPARE(list->count(), 0);
    QCOMPARE(list->currentIndex(), -1);
    QCOMPARE(dialog.settings().portName, QStringLiteral("ttyFAKE0"));
    QTest::mouseClick(applyButton(dialog), Qt::LeftButton);
    QVERIFY(dialog.settings().portName.isEmpty());
}

void TestSettingsDialog::showingListsPortsAgain()
{
    auto lister = std::make_shared<FakePortLister>();
    SettingsDialog dialog(lister);
    QComboBox *list = portList(dialog);
    QCOMPARE(list->count(), 0);

    lister->list = {FakePortLister::port("ttyUSB0")};
    const int queries = lister->portQueries;
    QVERIFY(showAndActivate(dialog));
    QCOMPARE(lister->portQueries, queries + 1);
    QCOMPARE(list->count(), 1);
    QCOMPARE(list->currentText(), QStringLiteral("ttyUSB0"));
    QCOMPARE(labelTexts(dialog).first(), QStringLiteral("Description: Adapter ttyUSB0"));

    dialog.close();
    lister->list = {FakePortLister::port("ttyS0"), FakePortLister::port("ttyUSB0")};
    QVERIFY(showAndActivate(dialog));
    QCOMPARE(list->count(), 2);
    QCOMPARE(list->currentText(), QStringLiteral("ttyUSB0"));
}

void TestSettingsDialog::stableNameShownWhereThereIsOne()
{
    const QString link = QStringLiteral("/dev/serial/by-id/usb-FTDI_FT232R_A50285BI-if00-port0");
    auto lister = std::make_shared<FakePortLister>();
    lister->list = {FakePortLister::port("ttyUSB0", "A50285BI", 0x0403, 0x6001, link),
                    FakePortLister::port("ttyS0")};
    lister->links.insert(link, link);
    SettingsDialog dialog(lister);
    QVERIFY(showAndActivate(dialog));
    auto *label = dialog.findChild<QLabel *>(QStringLiteral("stableNameLabel"));
    QVERIFY(label);
    QCOMPARE(portList(dialog)->currentText(), QStringLiteral("ttyUSB0"));
    QVERIFY(label->isVisible());
    QCOMPARE(label->text(), "Stable name: " + link);
    // The six details keep their texts.
    QCOMPARE(labelTexts(dialog).at(2), QStringLiteral("Serial number: A50285BI"));

    portList(dialog)->setCurrentIndex(1);
    QVERIFY(!label->isVisible());

    // A stable link given on the command line names itself.
    dialog.preselectPort(link);
    QVERIFY(label->isVisible());
    QCOMPARE(label->text(), "Stable name: " + link);
}

void TestSettingsDialog::reconnectChoiceIsStoredOnApply()
{
    SettingsDialog dialog(std::make_shared<FakePortLister>());
    auto *box = dialog.findChild<QCheckBox *>(QStringLiteral("reconnectCheckBox"));
    QVERIFY(box);
    QCOMPARE(box->text(), QStringLiteral("Reconnect automatically"));
    QVERIFY(!box->isChecked());
    QVERIFY(!dialog.settings().reconnectAutomatically);

    QVERIFY(showAndActivate(dialog));
    box->click();
    dialog.close();
    QVERIFY(!dialog.settings().reconnectAutomatically);
    QVERIFY(showAndActivate(dialog));
    QVERIFY(box->isChecked());
    QTest::mouseClick(applyButton(dialog), Qt::LeftButton);
    QVERIFY(dialog.settings().reconnectAutomatically);
    verifyFixedParameters(dialog.settings());
}

QTEST_MAIN(TestSettingsDialog)
#include "tst_settingsdialog.moc"
