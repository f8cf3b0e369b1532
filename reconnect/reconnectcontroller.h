#pragma once

#include <QObject>

#include <functional>
#include <memory>

class PortLister;
class ReconnectWaiter;
class StageSession;

// Unplug and come back: tells the wait which device the session opened, starts it when the link
// drops by itself and the operator asked for it, reopens the device through the session when it
// is back, and ends it when the session stops waiting.
class ReconnectController : public QObject {
    Q_OBJECT

public:
    // wanted: whether "Reconnect automatically" is on at the moment the link drops.
    ReconnectController(StageSession *session, std::shared_ptr<const PortLister> lister,
                        std::function<bool()> wanted, QObject *parent = nullptr);

    ReconnectWaiter *waiter() const { return wait; }

private:
    StageSession *session;
    std::shared_ptr<const PortLister> lister;
    std::function<bool()> wanted;
    ReconnectWaiter *wait;
};
