#pragma once

#include "attributeconventions.h"
#include "panelclient.h"
#include "stagemodel.h"

#include <tango.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

// One positioning stage as a Tango motor. Every request goes to the running panel through its
// control socket: the panel stays the only owner of the serial port and shows what we do.
class DvxStage : public TANGO_BASE_CLASS {
public:
    DvxStage(Tango::DeviceClass *deviceClass, std::string &name);
    ~DvxStage() override;

    void init_device() override;
    void delete_device() override;
    Tango::DevState dev_state() override;
    Tango::ConstDevString dev_status() override;
    // Tango 9.3 stores a client's attribute configuration in the database even when it runs
    // without one, and crashes: without a database these refuse instead.
    void set_attribute_config(const Tango::AttributeConfigList &config) override;
    void set_attribute_config_3(const Tango::AttributeConfigList_3 &config) override;
    void set_attribute_config_4(const Tango::AttributeConfigList_3 &config,
                                const Tango::ClntIdent &client) override;
    void set_attribute_config_5(const Tango::AttributeConfigList_5 &config,
                                const Tango::ClntIdent &client) override;

    void readPosition(Tango::Attribute &attribute);
    void writePosition(Tango::WAttribute &attribute);
    void readTarget(Tango::Attribute &attribute);
    void readHomed(Tango::Attribute &attribute);
    void readText(Tango::Attribute &attribute, const QString &value);

    void home();
    void stop();
    void moveRelative(Tango::DevDouble stepUm);
    void autoCalibrate();
    void connectStage();
    void disconnectStage();
    void send(const char *line);

    // The fields the string attributes read, under the model's lock.
    QString textOf(const std::string &attributeName);

private:
    // Sends a request and turns a refusal into a DevFailed whose reason is the panel's code.
    QJsonObject call(const QString &command, const QJsonObject &arguments = {},
                     int timeoutMs = 3000);
    // Asks the panel for its whole state; false when it could not be asked.
    bool refreshState();
    void onEvent(const QJsonObject &event);
    void onLink(bool up);
    // Events reach Tango's attributes from a thread of their own, holding the device's monitor;
    // the socket's reader only wakes it, so a command waiting for its reply never blocks it.
    void pushLoop();
    void wakePusher(bool refresh = false);
    void publish();
    void keepPositionLimits(const std::optional<std::pair<double, double>> &travel);
    AttributeConventions::Criteria criteriaOf(Tango::Attribute &attribute, bool archive);
    static Tango::DevState tangoState(StageModel::State state);
    static Tango::AttrQuality tangoQuality(StageModel::Quality quality);

    std::string socketPath;
    std::unique_ptr<PanelClient> client;

    std::mutex modelMutex;
    StageModel model;

    std::mutex pushMutex;
    std::condition_variable pushWanted;
    bool pushPending = false;
    bool refreshWanted = true;
    bool pushStopping = false;
    std::thread pusher;

    // The pusher's own, used under the device's monitor.
    AttributeConventions::EventGate positionChanges;
    AttributeConventions::EventGate positionArchive;
    AttributeConventions::EventGate targetChanges;
    AttributeConventions::ManagedLimit minimumLimit;
    AttributeConventions::ManagedLimit maximumLimit;
    Tango::DevDouble pushedPosition = 0.0;
    Tango::DevDouble pushedTarget = 0.0;
    Tango::DevState lastPushedState = Tango::UNKNOWN;
    bool statePushed = false;
    std::string lastPushedStatus;

    Tango::DevDouble positionValue = 0.0;
    Tango::DevDouble targetValue = 0.0;
    Tango::DevBoolean homedValue = false;
    Tango::DevString textValue = nullptr;
    std::string textStorage;
    std::string statusText;
};

class DvxStageClass : public Tango::DeviceClass {
public:
    static DvxStageClass *init(const char *name);
    static DvxStageClass *instance();

protected:
    explicit DvxStageClass(std::string &name);
    void command_factory() override;
    void attribute_factory(std::vector<Tango::Attr *> &attributes) override;
    void device_factory(const Tango::DevVarStringArray *names) override;
    void device_name_factory(std::vector<std::string> &) override {}

private:
    static DvxStageClass *only;
};
