#pragma once

#include <QMargins>
#include <QObject>

#include <functional>

class Console;
class QMainWindow;
class QScrollArea;

namespace Ui {
class MainWindow;
}

// Keeps the main window as large as its contents need and no larger than its screen (the rule
// is WindowFit's): it puts the central contents in a scroll area, and fits the window again
// whenever the contents, the fonts, the style, the screen or the window manager's frame change.
class WindowFitter : public QObject {
    Q_OBJECT

public:
    // consoleShown says whether the console pane is part of the contents now.
    WindowFitter(QMainWindow *window, Ui::MainWindow *form, Console *console,
                 std::function<bool()> consoleShown);

    QScrollArea *scrollArea() const { return scroller; }
    // Fits now; fitSoon() fits once the events now queued are handled.
    void fit();
    void fitSoon();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QMainWindow *window;
    Ui::MainWindow *ui;
    Console *consolePane;
    std::function<bool()> consoleShown;
    QScrollArea *scroller = nullptr;
    // Compared with, never followed: the form's pointers may be gone before the widgets are.
    const QObject *contents = nullptr;
    const QObject *statusBar = nullptr;
    bool fitScheduled = false;
    QMargins fittedFrame;
};
