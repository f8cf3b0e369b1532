#include "probe.h"

#include "fastsampler.h"
#include "portlister.h"
#include "reconnectcontroller.h"
#include "statusview.h"

#include <QMetaObject>
#include <QSerialPort>
#include <QTimer>

QSerialPort *MainWindowProbe::serialPort() const
{
    return link()->findChild<QSerialPort *>();
}

QString MainWindowProbe::notice() const
{
    return w.statusView()->notices()->text();
}

QTimer *MainWindowProbe::pollTimer() const
{
    return link()->findChild<QTimer *>(QStringLiteral("pollTimer"));
}

Panel *MainWindowProbe::panel() const
{
    return qobject_cast<Panel *>(session.parent());
}

ReconnectWaiter *MainWindowProbe::reconnectWaiter() const
{
    return panel()->reconnect()->waiter();
}

SystemPortLister *MainWindowProbe::portLister() const
{
    return panel()->portLister();
}

FastSampler *MainWindowProbe::fastSampler() const
{
    return link()->findChild<FastSampler *>();
}

bool MainWindowProbe::invoke(const char *slot)
{
    for (QObject *target : {static_cast<QObject *>(&w), static_cast<QObject *>(&session),
                            static_cast<QObject *>(link())}) {
        const QMetaObject *meta = target->metaObject();
        const QByteArray signature = QByteArray(slot) + "()";
        if (meta->indexOfMethod(signature.constData()) >= 0)
            return QMetaObject::invokeMethod(target, slot, Qt::DirectConnection);
    }
    return false;
}
