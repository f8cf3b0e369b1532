#include "probe.h"

#include <QMetaObject>

bool MainWindowProbe::invoke(const char *slot)
{
    return QMetaObject::invokeMethod(&w, slot, Qt::DirectConnection);
}
