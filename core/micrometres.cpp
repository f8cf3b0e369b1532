#include "micrometres.h"

namespace Micrometres {

QString number(double um)
{
    return QString::number(um, 'g', 6);
}

QString text(double um)
{
    return number(um) + QStringLiteral(" \u00b5m");
}

} // namespace Micrometres
