#pragma once

#include <QString>

// Micrometres as the panel writes them for a person: the number with at most six significant
// digits, as the controller's own limits are shown, and the unit.
namespace Micrometres {

// "12.5 µm", "-250 µm".
QString text(double um);
// "12.5" alone, for a text that names the unit once.
QString number(double um);

} // namespace Micrometres
