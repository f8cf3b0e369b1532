#include "dvxstage.h"

#include "socketpath.h"

#include <QDir>
#include <QJsonArray>
#include <QStandardPaths>

#include <chrono>
#include <cmath>
#include <sys/time.h>
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

using AttributeConventions::tangoText;

// The attributes' units, formats and event thresholds are Tango's class defaults: the database
// or a client may set others, and Tango keeps those.
// PyTango (9.3, Debian 12's) reads attribute properties as UTF-8, unlike values and errors.
constexpr const char *kUnit = "\xc2\xb5m";     // "µm"
constexpr const char *kStandardUnit = "1e-06"; // the factor from µm to metres
constexpr const char *kFormat = "%9.3f";
// Changes smaller than the controller's last digit are noise, not news.
constexpr const char *kDefaultChange = "0.001";

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
    Tango::Except::throw_exception(tangoText(reason), tangoText(description), origin);
}

std::optional<double> limitOf(const std::string &text)
{
    if (text == Tango::AlrmValueNotSpec)
        return std::nullopt;
    bool ok = false;
    const double value = QString::fromStdString(text).toDouble(&ok);
    return ok ? std::optional<double>(value) : std::nullopt;
}

std::string limitText(const std::optional<double> &value)
{
    if (!value)
        return Tango::AlrmValueNotSpec;
    return QString::number(*value, 'g', 17).toStdString();
}

qint64 nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
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
    {
        std::lock_guard<std::mutex> lock(modelMutex);
        model = StageModel();
        model.socketPath = QString::fromStdString(socketPath);
    }

    // Pushed by the device, filtered by the attributes' own change and archive properties.
    for (const char *name : {"Position", "Target", "State", "Status"}) {
        set_change_event(name, true, false);
        set_archive_event(name, true, false);
    }

    {
        std::lock_guard<std::mutex> lock(pushMutex);
        pushStopping = false;
        refreshWanted = true;
    }
    // After Init every subscriber hears the state as it is now.
    positionChanges.reset();
    positionArchive.reset();
    targetChanges.reset();
    statePushed = false;
    lastPushedStatus.clear();
    client = std::make_unique<PanelClient>(
        QString::fromStdString(socketPath), [this](const QJsonObject &e) { onEvent(e); },
        [this](bool up) { onLink(up); });
    pusher = std::thread([this] { pushLoop(); });
}

void DvxStage::delete_device()
{
    // The pusher asks the client for the state: it stops first.
    {
        std::lock_guard<std::mutex> lock(pushMutex);
        pushStopping = true;
    }
    pushWanted.notify_all();
    if (pusher.joinable())
        pusher.join();
    client.reset();
}

Tango::DevState DvxStage::tangoState(StageModel::State state)
{
    switch (state) {
    case StageModel::State::On:
        return Tango::ON;
    case StageModel::State::Moving:
        return Tango::MOVING;
    case StageModel::State::Alarm:
        return Tango::ALARM;
    case StageModel::State::Fault:
        return Tango::FAULT;
    case StageModel::State::Disable:
        return Tango::DISABLE;
    case StageModel::State::Unknown:
        return Tango::UNKNOWN;
    }
    return Tango::UNKNOWN;
}

Tango::AttrQuality DvxStage::tangoQuality(StageModel::Quality quality)
{
    switch (quality) {
    case StageModel::Quality::Valid:
        return Tango::ATTR_VALID;
    case StageModel::Quality::Changing:
        return Tango::ATTR_CHANGING;
    case StageModel::Quality::Invalid:
        return Tango::ATTR_INVALID;
    }
    return Tango::ATTR_INVALID;
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
        statusText = AttributeConventions::statusText(model.status());
    }
    set_status(statusText);
    return statusText.c_str();
}

namespace {
void refuseWithoutDatabase()
{
    if (!Tango::Util::_UseDb)
        refuse(QStringLiteral("unsupported"),
               QStringLiteral("Attribute properties live in the Tango database, and this server "
                              "runs without one (-nodb)"),
               "DvxStage::set_attribute_config");
}
} // namespace

void DvxStage::set_attribute_config(const Tango::AttributeConfigList &config)
{
    refuseWithoutDatabase();
    TANGO_BASE_CLASS::set_attribute_config(config);
}

void DvxStage::set_attribute_config_3(const Tango::AttributeConfigList_3 &config)
{
    refuseWithoutDatabase();
    TANGO_BASE_CLASS::set_attribute_config_3(config);
}

void DvxStage::set_attribute_config_4(const Tango::AttributeConfigList_3 &config,
                                      const Tango::ClntIdent &client)
{
    refuseWithoutDatabase();
    TANGO_BASE_CLASS::set_attribute_config_4(config, client);
}

void DvxStage::set_attribute_config_5(const Tango::AttributeConfigList_5 &config,
                                      const Tango::ClntIdent &client)
{
    refuseWithoutDatabase();
    TANGO_BASE_CLASS::set_attribute_config_5(config, client);
}

QJsonObject DvxStage::call(const QString &command, const QJsonObject &arguments, int timeoutMs)
{
    const PanelClient::Reply reply = client->request(command, arguments, timeoutMs);
    // A lost socket is the reader's news (onLink), not a failed request's: a request that fails
    // while the reader already linked again must not undo that.
    if (!reply.ok)
        refuse(reply.code, reply.message, "DvxStage::call");
    {
        std::lock_guard<std::mutex> lock(modelMutex);
        model.commandAccepted();
    }
    wakePusher();
    return reply.result;
}

bool DvxStage::refreshState()
{
    const PanelClient::Reply reply = client->request(QStringLiteral("state"));
    if (!reply.ok)
        return false;
    {
        std::lock_guard<std::mutex> lock(modelMutex);
        model.applyState(reply.result);
    }
    wakePusher();
    return true;
}

void DvxStage::onLink(bool up)
{
    {
        std::lock_guard<std::mutex> lock(modelMutex);
        model.setLinked(up);
    }
    // The reader thread must not wait for its own reply: the pusher reads the state afresh.
    wakePusher(up);
}

void DvxStage::onEvent(const QJsonObject &event)
{
    {
        std::lock_guard<std::mutex> lock(modelMutex);
        if (!model.applyEvent(event))
            return;
    }
    wakePusher();
}

void DvxStage::wakePusher(bool refresh)
{
    {
        std::lock_guard<std::mutex> lock(pushMutex);
        pushPending = true;
        refreshWanted = refreshWanted || refresh;
    }
    pushWanted.notify_one();
}

void DvxStage::pushLoop()
{
    for (;;) {
        bool refresh;
        {
            std::unique_lock<std::mutex> lock(pushMutex);
            // Woken by news; once a second anyway, for the archive period.
            pushWanted.wait_for(lock, std::chrono::seconds(1),
                                [this] { return pushStopping || pushPending; });
            if (pushStopping)
                return;
            pushPending = false;
            refresh = refreshWanted;
        }
        if (refresh && client->isLinked() && refreshState()) {
            std::lock_guard<std::mutex> lock(pushMutex);
            refreshWanted = false;
        }
        try {
            Tango::AutoTangoMonitor guard(this);
            publish();
        } catch (const Tango::DevFailed &) {
            // The device is being deleted, or a client's setting is out of reach: next time.
        }
    }
}

AttributeConventions::Criteria DvxStage::criteriaOf(Tango::Attribute &attribute, bool archive)
{
    Tango::MultiAttrProp<Tango::DevDouble> properties;
    attribute.get_properties(properties);
    AttributeConventions::Criteria criteria;
    const auto text = [](const std::string &s) { return QString::fromStdString(s); };
    if (archive) {
        criteria.absolute =
            AttributeConventions::Threshold::parse(text(properties.archive_abs_change.get_str()));
        criteria.relative =
            AttributeConventions::Threshold::parse(text(properties.archive_rel_change.get_str()));
        criteria.periodMs =
            AttributeConventions::parsePeriodMs(text(properties.archive_period.get_str()));
    } else {
        criteria.absolute =
            AttributeConventions::Threshold::parse(text(properties.abs_change.get_str()));
        criteria.relative =
            AttributeConventions::Threshold::parse(text(properties.rel_change.get_str()));
    }
    return criteria;
}

void DvxStage::keepPositionLimits(const std::optional<std::pair<double, double>> &travel)
{
    Tango::Attribute &position = dev_attr->get_attr_by_name("Position");
    Tango::AttributeConfig_5 config;
    position.get_properties(config);
    const auto newMinimum =
        minimumLimit.update(limitOf(config.min_value.in()),
                            travel ? std::optional<double>(travel->first) : std::nullopt);
    const auto newMaximum =
        maximumLimit.update(limitOf(config.max_value.in()),
                            travel ? std::optional<double>(travel->second) : std::nullopt);
    if (!newMinimum && !newMaximum)
        return;
    if (newMinimum)
        config.min_value = CORBA::string_dup(limitText(*newMinimum).c_str());
    if (newMaximum)
        config.max_value = CORBA::string_dup(limitText(*newMaximum).c_str());
    // The travel belongs to the controller connected now, not to the device's configuration:
    // it is set in memory only, and clients hear of it by an attribute configuration event.
    std::vector<Tango::Attribute::AttPropDb> unused;
    std::string name = get_name();
    position.set_properties(config, name, true, unused);
    push_att_conf_event(&position);
}

void DvxStage::publish()
{
    std::optional<double> position;
    std::optional<double> target;
    StageModel::Quality quality;
    StageModel::State state;
    std::string status;
    std::optional<std::pair<double, double>> travel;
    {
        std::lock_guard<std::mutex> lock(modelMutex);
        position = model.positionUm;
        target = model.targetUm;
        quality = model.positionQuality();
        state = model.state();
        status = AttributeConventions::statusText(model.status());
        travel = model.travel();
    }
    try {
        keepPositionLimits(travel);
    } catch (const Tango::DevFailed &) {
        // Limits that Tango finds incoherent with a client's own: those stand.
    }

    const qint64 now = nowMs();
    timeval when{};
    gettimeofday(&when, nullptr);
    Tango::Attribute &positionAttribute = dev_attr->get_attr_by_name("Position");
    const Tango::AttrQuality tangoPositionQuality = tangoQuality(quality);
    pushedPosition = position.value_or(0.0);
    if (positionChanges.offer(position, quality, now, criteriaOf(positionAttribute, false)))
        push_change_event("Position", &pushedPosition, when, tangoPositionQuality);
    if (positionArchive.offer(position, quality, now, criteriaOf(positionAttribute, true)))
        push_archive_event("Position", &pushedPosition, when, tangoPositionQuality);

    const StageModel::Quality targetQuality =
        target ? StageModel::Quality::Valid : StageModel::Quality::Invalid;
    pushedTarget = target.value_or(0.0);
    if (targetChanges.offer(target, targetQuality, now, {})) {
        const Tango::AttrQuality q = target ? Tango::ATTR_VALID : Tango::ATTR_INVALID;
        push_change_event("Target", &pushedTarget, when, q);
        push_archive_event("Target", &pushedTarget, when, q);
    }

    const Tango::DevState tangoStateNow = tangoState(state);
    if (!statePushed || tangoStateNow != lastPushedState) {
        statePushed = true;
        lastPushedState = tangoStateNow;
        set_state(tangoStateNow);
        push_change_event("State");
        push_archive_event("State");
    }
    if (status != lastPushedStatus) {
        lastPushedStatus = status;
        set_status(status);
        push_change_event("Status");
        push_archive_event("Status");
    }
}

void DvxStage::readPosition(Tango::Attribute &attribute)
{
    StageModel::Quality quality;
    {
        std::lock_guard<std::mutex> lock(modelMutex);
        quality = model.positionQuality();
        positionValue = model.positionUm.value_or(0.0);
    }
    // Before the first position (a subscription made before Connect, say) there is no value:
    // Tango's way to say so is the INVALID quality, not an error.
    if (quality != StageModel::Quality::Invalid)
        attribute.set_value(&positionValue);
    attribute.set_quality(tangoQuality(quality));
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
    bool known;
    {
        std::lock_guard<std::mutex> lock(modelMutex);
        known = model.targetUm.has_value();
        targetValue = model.targetUm.value_or(0.0);
    }
    if (known)
        attribute.set_value(&targetValue);
    attribute.set_quality(known ? Tango::ATTR_VALID : Tango::ATTR_INVALID);
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
    textStorage = tangoText(value);
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
    {
        std::lock_guard<std::mutex> lock(modelMutex);
        model.stopped();
    }
    wakePusher();
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
    const auto connectedNow = [this] {
        std::lock_guard<std::mutex> lock(modelMutex);
        return model.connected;
    };
    // Connecting a connected panel is done already: a script may say it once too often.
    if (refreshState() && connectedNow())
        return;
    // Identification takes the controller up to a poll tick or two.
    const PanelClient::Reply reply = client->request(QStringLiteral("connect"), {}, 10000);
    if (!reply.ok &&
        !(reply.code == QLatin1String("unavailable") && refreshState() && connectedNow()))
        refuse(reply.code, reply.message, "DvxStage::connectStage");
    {
        std::lock_guard<std::mutex> lock(modelMutex);
        model.commandAccepted();
    }
    refreshState();
}

void DvxStage::disconnectStage()
{
    call(QStringLiteral("disconnect"));
    refreshState();
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
    // What generic motor clients call to stop.
    command_list.push_back(new VoidCommand("Abort", &DvxStage::stop));
    command_list.push_back(new VoidCommand("AutoCalibrate", &DvxStage::autoCalibrate));
    command_list.push_back(new VoidCommand("Connect", &DvxStage::connectStage));
    command_list.push_back(new VoidCommand("Disconnect", &DvxStage::disconnectStage));
    command_list.push_back(new MoveRelativeCommand);
    command_list.push_back(new SendCommand);
}

void DvxStageClass::attribute_factory(std::vector<Tango::Attr *> &attributes)
{
    auto *position = new PositionAttr;
    Tango::UserDefaultAttrProp positionProperties;
    positionProperties.set_label("Position");
    positionProperties.set_unit(kUnit);
    positionProperties.set_standard_unit(kStandardUnit);
    positionProperties.set_display_unit(kUnit);
    positionProperties.set_format(kFormat);
    positionProperties.set_description(
        "Stage position in micrometres; writing it is an absolute move. min_value and max_value "
        "follow the travel the controller reports unless set otherwise");
    positionProperties.set_event_abs_change(kDefaultChange);
    positionProperties.set_archive_event_abs_change(kDefaultChange);
    position->set_default_properties(positionProperties);
    attributes.push_back(position);

    auto *target = new TargetAttr;
    Tango::UserDefaultAttrProp targetProperties;
    targetProperties.set_label("Target");
    targetProperties.set_unit(kUnit);
    targetProperties.set_standard_unit(kStandardUnit);
    targetProperties.set_display_unit(kUnit);
    targetProperties.set_format(kFormat);
    targetProperties.set_description("The last target commanded, in micrometres");
    target->set_default_properties(targetProperties);
    attributes.push_back(target);

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
