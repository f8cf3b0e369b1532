#pragma once

#include <QCoreApplication>
#include <QString>

#include <cmath>

// What the operator is told when a move meets the end of the travel. Pure functions, so the
// wording is tested without a window.
namespace TravelNotice {

inline QString micrometres(double value)
{
    return QString::number(value, 'g', 6) + QStringLiteral(" \u00b5m");
}

// A typed target the panel refuses to send.
inline QString targetBeyond(double targetUm, double minUm, double maxUm)
{
    return QCoreApplication::translate("TravelNotice",
                                       "Target %1 refused: it lies beyond the travel (%2 to %3)")
        .arg(micrometres(targetUm), micrometres(minUm), micrometres(maxUm));
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
            .arg(micrometres(end), button);
    const double reach = baseUm + stepUm;
    if (stepUm >= 0.0 ? reach > end : reach < end)
        return QCoreApplication::translate("TravelNotice",
                                           "The step stops short at the end of the travel (%1)")
            .arg(micrometres(end));
    return QString();
}

} // namespace TravelNotice
