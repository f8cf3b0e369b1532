#pragma once

#include <QIcon>
#include <QString>

// The window icon's file, "images/Mirastellon_Icon_only@500x.png", looked for first under the
// working directory (a run from the source tree), then in the data folder of the installation
// that holds the program (applicationDir/../share/mirastellon). Empty when neither has it.
QString windowIconFile(const QString &workingDir, const QString &applicationDir);

// The icon from that file, read when first drawn; without one, the "mirastellon" icon of the
// desktop's icon theme, which the installation puts in hicolor. A null icon when there is none at
// all.
QIcon loadWindowIcon(const QString &workingDir, const QString &applicationDir);
