#pragma once

#include <QIcon>
#include <QString>

// The window icon from an image file, read only when a platform first draws it. QIcon(fileName)
// decodes the whole image at once, before the window's first frame, although a platform without
// window decorations (offscreen) never asks for it. A missing file gives a null icon, as
// QIcon(fileName) does.
QIcon windowIconFromFile(const QString &fileName);
