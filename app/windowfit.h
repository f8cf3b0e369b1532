#pragma once

#include <QSize>

// The main window's fixed size: its designed size at the default font, more where the fonts or
// the scale make the contents need more, and never more than the screen has room for. With the
// console shown, the console's height gives way first, then the room the contents have beyond
// their minimum; what still does not fit scrolls. A pure rule, so it is tested as a table.
struct WindowFit {
    struct Input {
        // The designed size without the console, and the console's designed height.
        QSize designed;
        int designedConsoleHeight = 0;
        bool consoleShown = false;
        // Menu bar, tool bar and status bar together, at their smallest.
        int chromeHeight = 0;
        int chromeWidth = 0;
        // The central contents without the console, at their smallest.
        QSize contentMinimum;
        int consoleMinimumHeight = 0;
        // Between the contents and the console.
        int spacing = 0;
        // What the screen offers the window, its frame taken off.
        QSize available;
        int scrollBarExtent = 0;
    };

    QSize window;
    // The console's height when it is shown.
    int consoleHeight = 0;
    bool scrollsVertically = false;
    bool scrollsHorizontally = false;

    static WindowFit of(const Input &in);
};
