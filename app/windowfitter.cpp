#include "windowfitter.h"

#include "console.h"
#include "ui_mainwindow.h"
#include "windowfit.h"

#include <QEvent>
#include <QMainWindow>
#include <QScreen>
#include <QScrollArea>
#include <QStyle>
#include <QTimer>
#include <QWindow>

#include <algorithm>

namespace {

// The window's designed size, and its height with the console shown.
constexpr QSize kDesignedSize(580, 550);
constexpr int kDesignedHeightWithConsole = 720;

// The central contents when the screen is too small for them. Keys are not its business: the
// arrows step the stage in the window's own key handling.
class ContentScroller : public QScrollArea {
public:
    ContentScroller()
    {
        setObjectName(QStringLiteral("scrollArea_Central"));
        setFrameShape(QFrame::NoFrame);
        setWidgetResizable(true);
        setFocusPolicy(Qt::NoFocus);
    }

protected:
    void keyPressEvent(QKeyEvent *event) override { event->ignore(); }
};

} // namespace

WindowFitter::WindowFitter(QMainWindow *mainWindow, Ui::MainWindow *form, Console *console,
                           std::function<bool()> consoleIsShown)
    : QObject(mainWindow), window(mainWindow), ui(form), consolePane(console),
      consoleShown(std::move(consoleIsShown))
{
    scroller = new ContentScroller;
    scroller->setWidget(window->takeCentralWidget());
    window->setCentralWidget(scroller);
    // The window's fixed size, not the scroller, says how much of the contents shows.
    scroller->setMinimumSize(1, 1);
    window->setFixedSize(kDesignedSize);
    window->installEventFilter(this);
    contents = ui->centralWidget;
    ui->centralWidget->installEventFilter(this);
    // A status text that takes more lines makes the bar taller.
    statusBar = ui->statusBar;
    ui->statusBar->installEventFilter(this);
}

void WindowFitter::fitSoon()
{
    if (fitScheduled)
        return;
    fitScheduled = true;
    QTimer::singleShot(0, this, [this] {
        fitScheduled = false;
        fit();
    });
}

bool WindowFitter::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == window) {
        switch (event->type()) {
        case QEvent::LayoutRequest:
        case QEvent::FontChange:
        case QEvent::StyleChange:
        case QEvent::ScreenChangeInternal:
        case QEvent::Show:
            // The contents or the screen changed what the window needs.
            fitSoon();
            break;
        case QEvent::Move:
            // The window manager's frame is known once the window is mapped.
            if (window->windowHandle() && window->windowHandle()->frameMargins() != fittedFrame)
                fitSoon();
            break;
        default:
            break;
        }
    } else if ((watched == contents && event->type() == QEvent::LayoutRequest) ||
               (watched == statusBar && event->type() == QEvent::Resize)) {
        fitSoon();
    }
    return QObject::eventFilter(watched, event);
}

void WindowFitter::fit()
{
    QLabel *readout = ui->label_Position;
    QVBoxLayout *contents = ui->verticalLayout;
    const QMargins margins = contents->contentsMargins();

    // What the contents need, the readout's row at the width of its text and the console left
    // out: the readout is as wide as the window, and the console takes what is left.
    // Measured from the text: the label's own hint follows the width it was given.
    const QFontMetrics readoutFont(readout->font());
    const QMargins readoutMargins = readout->contentsMargins();
    const int readoutFrame = 2 * (readout->frameWidth() + readout->margin());
    int contentWidth = readoutFont.horizontalAdvance(readout->text()) + readoutFrame +
                       readoutMargins.left() + readoutMargins.right() +
                       2 * ui->horizontalLayout_4->spacing();
    for (int i = 0; i < contents->count(); ++i) {
        QLayoutItem *item = contents->itemAt(i);
        if (item->layout() == ui->horizontalLayout_4 || item->layout() == ui->verticalLayout_3)
            continue;
        contentWidth = std::max(contentWidth, item->minimumSize().width());
    }
    contentWidth += margins.left() + margins.right();
    const int readoutHeight =
        readoutFont.height() + readoutFrame + readoutMargins.top() + readoutMargins.bottom();
    if (readout->height() != readoutHeight)
        readout->setFixedHeight(readoutHeight);
    int contentHeight = contents->minimumSize().height();
    if (consoleShown())
        contentHeight -= ui->verticalLayout_3->minimumSize().height() + contents->spacing();

    // The bars above and below the contents: the menu and tool bars at their smallest, the
    // status bar as tall as its text needs at the window's width (the scroller asks for 1 x 1).
    QSize chrome = window->minimumSizeHint() - scroller->minimumSize();
    const int width = std::max({kDesignedSize.width(), chrome.width(), contentWidth});
    chrome.rheight() += std::max(0, ui->statusBar->heightForWidth(width) -
                                        ui->statusBar->minimumSizeHint().height());

    WindowFit::Input in;
    in.designed = kDesignedSize;
    in.designedConsoleHeight =
        kDesignedHeightWithConsole - kDesignedSize.height() - contents->spacing();
    in.consoleShown = consoleShown();
    in.chromeHeight = chrome.height();
    in.chromeWidth = chrome.width();
    in.contentMinimum = QSize(contentWidth, contentHeight);
    // A few lines of traffic stay in sight.
    const QFontMetrics console(consolePane->font());
    in.consoleMinimumHeight = 3 * console.lineSpacing() + 2 * consolePane->frameWidth() +
                              2 * int(consolePane->document()->documentMargin());
    in.spacing = contents->spacing();
    const QScreen *where = window->screen();
    const QMargins frame =
        window->windowHandle() ? window->windowHandle()->frameMargins() : QMargins();
    fittedFrame = frame;
    const QSize offered = where ? where->availableGeometry().size() : QSize(4096, 4096);
    in.available = offered - QSize(frame.left() + frame.right(), frame.top() + frame.bottom());
    in.scrollBarExtent =
        window->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, scroller);
    const WindowFit fit = WindowFit::of(in);

    if (consoleShown() && consolePane->height() != fit.consoleHeight)
        consolePane->setFixedHeight(fit.consoleHeight);
    scroller->setVerticalScrollBarPolicy(fit.scrollsVertically ? Qt::ScrollBarAlwaysOn
                                                               : Qt::ScrollBarAlwaysOff);
    scroller->setHorizontalScrollBarPolicy(fit.scrollsHorizontally ? Qt::ScrollBarAlwaysOn
                                                                   : Qt::ScrollBarAlwaysOff);
    const int viewportWidth = fit.window.width() - (fit.scrollsVertically ? in.scrollBarExtent : 0);
    const int readoutWidth =
        std::max(viewportWidth, contentWidth) - margins.left() - margins.right();
    if (readout->minimumWidth() != readoutWidth || readout->maximumWidth() != readoutWidth)
        readout->setFixedWidth(readoutWidth);
    if (window->minimumSize() != fit.window || window->maximumSize() != fit.window)
        window->setFixedSize(fit.window);

    // A window grown past the screen's edge comes back within it.
    if (window->isVisible() && where) {
        const QRect area = where->availableGeometry();
        QRect outer = window->frameGeometry();
        if (!area.contains(outer)) {
            outer.moveRight(std::min(outer.right(), area.right()));
            outer.moveBottom(std::min(outer.bottom(), area.bottom()));
            outer.moveLeft(std::max(outer.left(), area.left()));
            outer.moveTop(std::max(outer.top(), area.top()));
            window->move(outer.topLeft());
        }
    }
}
