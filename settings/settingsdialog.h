#pragma once

#include "serialsettings.h"

#include <QDialog>
#include <QString>
#include <QStringList>

#include <memory>

class PortLister;
class QIntValidator;

namespace Ui {
class SettingsDialog;
}

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
