#pragma once

#include "panelclient.h"
#include "stagemodel.h"

#include <tango.h>

#include <condition_variable>
#include <deque>
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
    void refreshState();
    void onEvent(const QJsonObject &event);
    void onLink(bool up);
    // Events reach Tango's attributes from a thread of their own, holding the device's monitor;
    // the socket's reader only queues them, so a command waiting for its reply never blocks it.
    void pushLoop();
    void queuePush(bool positionChanged);
    static Tango::DevState tangoState(StageModel::State state);

    std::string socketPath;
    std::unique_ptr<PanelClient> client;

    std::mutex modelMutex;
    StageModel model;

    std::mutex pushMutex;
    std::condition_variable pushWanted;
    std::deque<bool> pushes; // true: a position changed, false: only the state may have
    bool pushStopping = false;
    std::thread pusher;

    Tango::DevDouble positionValue = 0.0;
    Tango::DevDouble targetValue = 0.0;
    Tango::DevBoolean homedValue = false;
    Tango::DevString textValue = nullptr;
    std::string textStorage;
    std::string statusText;
    Tango::DevState lastPushedState = Tango::UNKNOWN;
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
