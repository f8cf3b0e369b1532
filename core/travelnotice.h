#pragma once

#include "micrometres.h"

#include <QCoreApplication>
#include <QString>

#include <cmath>

// What the operator is told when a move meets the end of the travel. Pure functions, so the
// wording is tested without a window.
namespace TravelNotice {

// A typed target the panel refuses to send.
inline QString targetBeyond(double targetUm, double minUm, double maxUm)
{
    return QCoreApplication::translate("TravelNotice",
                                       "Target %1 refused: it lies beyond the travel (%2 to %3)")
        .arg(Micrometres::text(targetUm), Micrometres::text(minUm), Micrometres::text(maxUm));
}

// A relative step from baseUm; empty when the whole step lies within the travel.
inline QString stepAtEnd(double baseUm, double stepUm, double minUm, double maxUm)
{
    constexpr double kAtEndUm = 0.5;
    const double end = stepUm >= 0.0 ? maxUm : minUm;
    const QString button = stepUm >= 0.0 ? QStringLiteral("+") : QStringLiteral("-");
    if (std::abs(baseUm - end) <= kAtEndUm || (stepUm >= 0.0 ? baseUm > end : baseUm < end))
        return QCoreApplication::translate("TravelNotice",
                                           "The stage is at the end of its travel (%1): \"%2\" "
                                           "moves it no further")
            .arg(Micrometres::text(end), button);
    const double reach = baseUm + stepUm;
    if (stepUm >= 0.0 ? reach > end : reach < end)
        return QCoreApplication::translate("TravelNotice",
                                           "The step stops short at the end of the travel (%1)")
            .arg(Micrometres::text(end));
    return QString();
}

} // namespace TravelNotice
