#include "dvxstage.h"

#include "socketpath.h"

#include <QDir>
#include <QJsonArray>
#include <QStandardPaths>

#include <cmath>
#include <unistd.h>

namespace {

// The panel's own default socket path, so an unconfigured device finds an unconfigured panel.
QString defaultSocketPath()
{
    return SocketPath::defaultPath();
}

DvxStage *stageOf(Tango::DeviceImpl *device)
{
    return static_cast<DvxStage *>(device);
}

class PositionAttr : public Tango::Attr {
public:
    PositionAttr() : Attr("Position", Tango::DEV_DOUBLE, Tango::READ_WRITE) {}
    void read(Tango::DeviceImpl *device, Tango::Attribute &a) override
    {
        stageOf(device)->readPosition(a);
    }
    void write(Tango::DeviceImpl *device, Tango::WAttribute &a) override
    {
        stageOf(device)->writePosition(a);
    }
};

class TargetAttr : public Tango::Attr {
public:
    TargetAttr() : Attr("Target", Tango::DEV_DOUBLE, Tango::READ) {}
    void read(Tango::DeviceImpl *device, Tango::Attribute &a) override
    {
        stageOf(device)->readTarget(a);
    }
};

class HomedAttr : public Tango::Attr {
public:
    HomedAttr() : Attr("Homed", Tango::DEV_BOOLEAN, Tango::READ) {}
    void read(Tango::DeviceImpl *device, Tango::Attribute &a) override
    {
        stageOf(device)->readHomed(a);
    }
};

class TextAttr : public Tango::Attr {
public:
    explicit TextAttr(const char *name) : Attr(name, Tango::DEV_STRING, Tango::READ) {}
    void read(Tango::DeviceImpl *device, Tango::Attribute &a) override
    {
        DvxStage *stage = stageOf(device);
        stage->readText(a, stage->textOf(get_name()));
    }
};

class VoidCommand : public Tango::Command {
public:
    VoidCommand(const char *name, void (DvxStage::*action)())
        : Command(name, Tango::DEV_VOID, Tango::DEV_VOID), action(action)
    {
    }
    CORBA::Any *execute(Tango::DeviceImpl *device, const CORBA::Any &) override
    {
        (stageOf(device)->*action)();
        return insert();
    }

private:
    void (DvxStage::*action)();
};

class MoveRelativeCommand : public Tango::Command {
public:
    MoveRelativeCommand() : Command("MoveRelative", Tango::DEV_DOUBLE, Tango::DEV_VOID) {}
    CORBA::Any *execute(Tango::DeviceImpl *device, const CORBA::Any &in) override
    {
        Tango::DevDouble step;
        extract(in, step);
        stageOf(device)->moveRelative(step);
        return insert();
    }
};

class SendCommand : public Tango::Command {
public:
    SendCommand() : Command("Send", Tango::DEV_STRING, Tango::DEV_VOID) {}
    CORBA::Any *execute(Tango::DeviceImpl *device, const CORBA::Any &in) override
    {
        const char *line = nullptr;
        extract(in, line);
        stageOf(device)->send(line);
        return insert();
    }
};

[[noreturn]] void refuse(const QString &reason, const QString &description, const char *origin)
{
    Tango::Except::throw_exception(reason.toStdString(), description.toStdString(), origin);
}

} // namespace

DvxStage::DvxStage(Tango::DeviceClass *deviceClass, std::string &name)
    : TANGO_BASE_CLASS(deviceClass, name.c_str())
{
    init_device();
}

DvxStage::~DvxStage()
{
    delete_device();
}

void DvxStage::init_device()
{
    socketPath = defaultSocketPath().toStdString();
    Tango::DbData properties;
    properties.push_back(Tango::DbDatum("ControlSocket"));
    if (Tango::Util::instance()->_UseDb)
        get_db_device()->get_property(properties);
    if (!properties[0].is_empty())
        properties[0] >> socketPath;

    set_change_event("Position", true, false);
    set_archive_event("Position", true, false);
    set_change_event("State", true, false);

    pushStopping = false;
    pusher = std::thread([this] { pushLoop(); });
    client = std::make_unique<PanelClient>(
        QString::fromStdString(socketPath), [this](const QJsonObject &e) { onEvent(e); },
        [this](bool up) { onLink(up); });
}

void DvxStage::delete_device()
{
    client.reset();
    {
        std::lock_guard<std::mutex> lock(pushMutex);
        pushStopping = true;
    }
    pushWanted.notify_all();
    if (pusher.joinable())
        pusher.join();
}

Tango::DevState DvxStage::tangoState(StageModel::State state)
{
    switch (state) {
    case StageModel::State::On:
        return Tango::ON;
    case StageModel::State::Moving:
        return Tango::MOVING;
    case StageModel::State::Disable:
        return Tango::DISABLE;
    case StageModel::State::Fault:
        return Tango::FAULT;
    case StageModel::State::Alarm:
        return Tango::ALARM;
    }
    return Tango::UNKNOWN;
}

Tango::DevState DvxStage::dev_state()
{
    std::lock_guard<std::mutex> lock(modelMutex);
    const Tango::DevState state = tangoState(model.state());
    set_state(state);
    return state;
}

Tango::ConstDevString DvxStage::dev_status()
{
    {
        std::lock_guard<std::mutex> lock(modelMutex);
        statusText = model.status().toStdString();
    }
    set_status(statusText);
    return statusText.c_str();
}

QJsonObject DvxStage::call(const QString &command, const QJsonObject &arguments, int timeoutMs)
{
    const PanelClient::Reply reply = client->request(command, arguments, timeoutMs);
    if (!reply.ok) {
        if (reply.code == QLatin1String("unreachable")) {
            std::lock_guard<std::mutex> lock(modelMutex);
            model.setLinked(false);
        }
        refuse(reply.code, reply.message, "DvxStage::call");
    }
    return reply.result;
}

void DvxStage::refreshState()
{
    const PanelClient::Reply reply = client->request(QStringLiteral("state"));
    if (!reply.ok)
        return;
    {
        std::lock_guard<std::mutex> lock(modelMutex);
        model.applyState(reply.result);
    }
    queuePush(false);
}

void DvxStage::onLink(bool up)
{
    {
        std::lock_guard<std::mutex> lock(modelMutex);
        model.setLinked(up);
    }
    queuePush(false);
    // The reader thread must not wait for its own reply: fetch the state from the pusher.
    if (up) {
        std::lock_guard<std::mutex> lock(pushMutex);
        pushes.push_back(false);
    }
}

void DvxStage::onEvent(const QJsonObject &event)
{
    const QString kind = event.value(QStringLiteral("event")).toString();
    bool positionChanged = false;
    {
        std::lock_guard<std::mutex> lock(modelMutex);
        if (kind == QLatin1String("position")) {
            const double um = event.value(QStringLiteral("um")).toDouble(qQNaN());
            positionChanged = std::isfinite(um);
            model.applyPosition(um);
        } else if (kind == QLatin1String("state")) {
            model.applyState(event);
        } else if (kind == QLatin1String("console")) {
            model.applyConsole(event.value(QStringLiteral("text")).toString());
        } else if (kind == QLatin1String("error")) {
            model.applyError(event.value(QStringLiteral("message")).toString());
        } else {
            return;
        }
    }
    queuePush(positionChanged);
}

void DvxStage::queuePush(bool positionChanged)
{
    {
        std::lock_guard<std::mutex> lock(pushMutex);
        // A slow Tango client must not make the queue grow without bound: positions coalesce.
        if (pushes.size() > 1000)
            pushes.pop_front();
        pushes.push_back(positionChanged);
    }
    pushWanted.notify_one();
}

void DvxStage::pushLoop()
{
    bool fetchState = true;
    for (;;) {
        bool positionChanged = false;
        {
            std::unique_lock<std::mutex> lock(pushMutex);
            pushWanted.wait_for(lock, std::chrono::seconds(1),
                                [this] { return pushStopping || !pushes.empty(); });
            if (pushStopping)
                return;
            while (!pushes.empty()) {
                positionChanged = positionChanged || pushes.front();
                pushes.pop_front();
            }
        }
        if (fetchState || !client->isLinked()) {
            fetchState = !client->isLinked();
            if (!fetchState)
                refreshState();
        }
        double position;
        Tango::DevState state;
        {
            std::lock_guard<std::mutex> lock(modelMutex);
            position = model.positionUm.value_or(0.0);
            state = tangoState(model.state());
        }
        try {
            Tango::AutoTangoMonitor guard(this);
            if (positionChanged) {
                positionValue = position;
                push_change_event("Position", &positionValue);
                push_archive_event("Position", &positionValue);
            }
            if (state != lastPushedState) {
                lastPushedState = state;
                set_state(state);
                push_change_event("State");
            }
        } catch (const Tango::DevFailed &) {
            // Nobody subscribed, or the device is being deleted: nothing to tell.
        }
    }
}

void DvxStage::readPosition(Tango::Attribute &attribute)
{
    {
        std::lock_guard<std::mutex> lock(modelMutex);
        if (!model.positionUm)
            refuse(QStringLiteral("no_position"),
                   QStringLiteral("The panel has shown no position yet"), "DvxStage::readPosition");
        positionValue = *model.positionUm;
    }
    attribute.set_value(&positionValue);
}

void DvxStage::writePosition(Tango::WAttribute &attribute)
{
    Tango::DevDouble target;
    attribute.get_write_value(target);
    {
        std::lock_guard<std::mutex> lock(modelMutex);
        if (const auto why = model.refuseTarget(target))
            refuse(QStringLiteral("bad_request"), *why, "DvxStage::writePosition");
    }
    call(QStringLiteral("move_to"), {{QStringLiteral("um"), target}});
}

void DvxStage::readTarget(Tango::Attribute &attribute)
{
    {
        std::lock_guard<std::mutex> lock(modelMutex);
        targetValue = model.targetUm.value_or(0.0);
    }
    attribute.set_value(&targetValue);
}

void DvxStage::readHomed(Tango::Attribute &attribute)
{
    {
        std::lock_guard<std::mutex> lock(modelMutex);
        homedValue = model.homed;
    }
    attribute.set_value(&homedValue);
}

QString DvxStage::textOf(const std::string &name)
{
    std::lock_guard<std::mutex> lock(modelMutex);
    if (name == "Calibration")
        return model.calibration;
    if (name == "LoopMode")
        return model.loop;
    if (name == "Model")
        return model.model;
    if (name == "Firmware")
        return model.firmware;
    return model.port;
}

void DvxStage::readText(Tango::Attribute &attribute, const QString &value)
{
    textStorage = value.toStdString();
    textValue = const_cast<char *>(textStorage.c_str());
    attribute.set_value(&textValue);
}

void DvxStage::home()
{
    call(QStringLiteral("home"));
}

void DvxStage::stop()
{
    call(QStringLiteral("stop"));
    std::lock_guard<std::mutex> lock(modelMutex);
    model.stopped();
}

void DvxStage::moveRelative(Tango::DevDouble stepUm)
{
    if (!std::isfinite(stepUm))
        refuse(QStringLiteral("bad_request"), QStringLiteral("The step must be a finite number"),
               "DvxStage::moveRelative");
    call(QStringLiteral("move_by"), {{QStringLiteral("um"), stepUm}});
}

void DvxStage::autoCalibrate()
{
    call(QStringLiteral("auto_calibrate"));
}

void DvxStage::connectStage()
{
    // Identification takes the controller up to a poll tick or two.
    call(QStringLiteral("connect"), {}, 10000);
    refreshState();
}

void DvxStage::disconnectStage()
{
    call(QStringLiteral("disconnect"));
}

void DvxStage::send(const char *line)
{
    call(QStringLiteral("send"), {{QStringLiteral("line"), QString::fromUtf8(line)}});
}

DvxStageClass *DvxStageClass::only = nullptr;

DvxStageClass::DvxStageClass(std::string &name) : Tango::DeviceClass(name) {}

DvxStageClass *DvxStageClass::init(const char *name)
{
    if (!only) {
        std::string className(name);
        only = new DvxStageClass(className);
    }
    return only;
}

DvxStageClass *DvxStageClass::instance()
{
    return only;
}

void DvxStageClass::command_factory()
{
    command_list.push_back(new VoidCommand("Home", &DvxStage::home));
    command_list.push_back(new VoidCommand("Stop", &DvxStage::stop));
    command_list.push_back(new VoidCommand("AutoCalibrate", &DvxStage::autoCalibrate));
    command_list.push_back(new VoidCommand("Connect", &DvxStage::connectStage));
    command_list.push_back(new VoidCommand("Disconnect", &DvxStage::disconnectStage));
    command_list.push_back(new MoveRelativeCommand);
    command_list.push_back(new SendCommand);
}

void DvxStageClass::attribute_factory(std::vector<Tango::Attr *> &attributes)
{
    auto *position = new PositionAttr;
    Tango::UserDefaultAttrProp unit;
    unit.set_unit("um");
    unit.set_description("Stage position in micrometres; writing it is an absolute move");
    unit.set_format("%9.3f");
    position->set_default_properties(unit);
    attributes.push_back(position);
    attributes.push_back(new TargetAttr);
    attributes.push_back(new HomedAttr);
    for (const char *name : {"Calibration", "LoopMode", "Model", "Firmware", "Port"})
        attributes.push_back(new TextAttr(name));
}

void DvxStageClass::device_factory(const Tango::DevVarStringArray *names)
{
    for (unsigned long i = 0; i < names->length(); ++i) {
        std::string name((*names)[i].in());
        auto *device = new DvxStage(this, name);
        device_list.push_back(device);
        if (Tango::Util::_UseDb && !Tango::Util::_FileDb)
            export_device(device);
        else
            export_device(device, device->get_name().c_str());
    }
}
