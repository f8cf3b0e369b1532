#include "windowfit.h"

#include <algorithm>

WindowFit WindowFit::of(const Input &in)
{
    WindowFit fit;
    const int closedHeight =
        std::max(in.designed.height(), in.chromeHeight + in.contentMinimum.height());
    int width = std::max({in.designed.width(), in.chromeWidth, in.contentMinimum.width()});

    int height = closedHeight;
    int wantedConsole = 0;
    if (in.consoleShown) {
        wantedConsole = std::max(in.designedConsoleHeight, in.consoleMinimumHeight);
        height += in.spacing + wantedConsole;
    }
    height = std::min(height, in.available.height());

    int contentsHeight = in.contentMinimum.height();
    if (in.consoleShown) {
        // What the console keeps of its designed height once the rest has what it was designed
        // with; never less than its smallest.
        const int room = height - closedHeight - in.spacing;
        fit.consoleHeight = std::clamp(room, in.consoleMinimumHeight, wantedConsole);
        contentsHeight += in.spacing + fit.consoleHeight;
    }

    fit.scrollsVertically = height - in.chromeHeight < contentsHeight;
    if (fit.scrollsVertically)
        width += in.scrollBarExtent;
    width = std::min(width, in.available.width());
    const int viewportWidth = width - (fit.scrollsVertically ? in.scrollBarExtent : 0);
    fit.scrollsHorizontally = viewportWidth < in.contentMinimum.width();
    // A horizontal bar takes its own height from the contents.
    if (fit.scrollsHorizontally && !fit.scrollsVertically)
        fit.scrollsVertically = height - in.chromeHeight - in.scrollBarExtent < contentsHeight;

    fit.window = QSize(width, height);
    return fit;
}
