#pragma once

#include <QString>

class QWidget;

// The About box's text: the program, its version, the Qt it runs on and its licence, as rich text.
QString aboutText();

// Shows the About box over the window and returns when the operator closes it.
void showAboutBox(QWidget *parent);
