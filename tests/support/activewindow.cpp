#include "activewindow.h"

#include "fakecontroller.h"
#include "probe.h"

#include <QTest>

bool connectActiveWindow(MainWindowProbe &probe, FakeController &controller)
{
    probe.w.show();
    probe.w.activateWindow();
    if (!QTest::qWaitForWindowActive(&probe.w))
        return false;
    probe.panel()->preselectPort(controller.portPath());
    probe.ui()->actionConnect->trigger();
    if (!controller.waitForReceived(">inform\r>status\r"))
        return false;
    controller.send("_Ver 312 DVX1901\r");
    if (!QTest::qWaitFor([&probe] { return !probe.controllerModel().isEmpty(); }))
        return false;
    return probe.invoke("checkVersion");
}
