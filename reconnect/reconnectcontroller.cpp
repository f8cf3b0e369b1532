#include "reconnectcontroller.h"

#include "portlister.h"
#include "reconnectwaiter.h"
#include "stagesession.h"

ReconnectController::ReconnectController(StageSession *s, std::shared_ptr<const PortLister> l,
                                         std::function<bool()> w, QObject *parent)
    : QObject(parent), session(s), lister(std::move(l)), wanted(std::move(w)),
      wait(new ReconnectWaiter(lister, nullptr, this))
{
    connect(session, &StageSession::linkOpened, this,
            [this](const QString &portName, bool automatic) {
                if (automatic)
                    wait->reopened();
                else
                    wait->connected(DeviceIdentity::of(portName, *lister));
            });
    connect(session, &StageSession::linkLost, this, [this] {
        if (wanted() && wait->linkLost())
            session->startWaitingForDevice(wait->device().name());
    });
    connect(session, &StageSession::waitingStopped, wait, &ReconnectWaiter::stopWaiting);
    connect(wait, &ReconnectWaiter::deviceReturned, session, &StageSession::reconnectTo);
    connect(session, &StageSession::deviceIdentified, this, [this](const QString &model) {
        const ReconnectWaiter::Identification identification = wait->identified(model);
        if (identification.reconnected)
            session->noteReconnected(identification.previousModel, wait->device().name());
    });
}
