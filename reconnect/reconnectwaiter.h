#pragma once

#include "deviceidentity.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>

class PortLister;

// The clock the wait looks for the device by; tests fire it by hand.
class WaitTimer {
public:
    virtual ~WaitTimer() = default;
    virtual void start(int intervalMs, std::function<void()> onTimeout) = 0;
    virtual void stop() = 0;
    virtual bool isActive() const = 0;
};

class QtWaitTimer : public WaitTimer {
public:
    QtWaitTimer();
    void start(int intervalMs, std::function<void()> onTimeout) override;
    void stop() override;
    bool isActive() const override { return timer.isActive(); }

private:
    QTimer timer;
    std::function<void()> callback;
};

// Remembers the device the panel is connected to and, when its link drops by itself, looks for
// it about once a second until it is back, the operator ends the wait, or the panel closes. It
// only says where the device is; opening it is the window's business.
class ReconnectWaiter : public QObject {
    Q_OBJECT

public:
    enum class State {
        // Not connected, or the operator ended the link or the wait.
        Idle,
        Connected,
        Waiting,
        // Opened again by the wait; its identification decides whether it is the same model.
        Reopened,
    };

    static constexpr int kLookIntervalMs = 1000;

    // What an identification means for the wait.
    struct Identification {
        bool reconnected = false;
        // The model identified before the link dropped, when a different one answers now.
        QString previousModel;
        bool differentModel() const { return !previousModel.isEmpty(); }
    };

    explicit ReconnectWaiter(std::shared_ptr<const PortLister> lister,
                             std::unique_ptr<WaitTimer> timer = nullptr, QObject *parent = nullptr);
    ~ReconnectWaiter() override;

    State state() const { return current; }
    bool isWaiting() const { return current == State::Waiting; }
    // The device last connected by the operator; kept for as long as the panel runs.
    const DeviceIdentity &device() const { return remembered; }

    // The operator opened this device.
    void connected(const DeviceIdentity &device);
    // The link dropped through a port error: starts the wait for a known device. Returns
    // whether it waits now.
    bool linkLost();
    // The wait's own open of the returned device succeeded.
    void reopened();
    Identification identified(const QString &model);
    // Disconnect, Configure, a manual Connect or closing the panel.
    void stopWaiting();

signals:
    // The device is present at path again; emitted on every look until it is reopened.
    void deviceReturned(const QString &path);

private:
    void look();

    std::shared_ptr<const PortLister> lister;
    std::unique_ptr<WaitTimer> timer;
    DeviceIdentity remembered;
    QString lastModel;
    State current = State::Idle;
};
