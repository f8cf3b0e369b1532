// The main window at any font size and scale: its fixed size as a rule (a table), and the window
// itself under large fonts, a scale of 2 and screens of several sizes, each in a process of its
// own (Qt reads the font DPI and the scale once, at start): nothing overlaps, nothing is cut,
// and the window stays on the screen.

#include "console.h"
#include "noticearea.h"
#include "probe.h"
#include "statusview.h"
#include "windowfit.h"

#include <QAbstractButton>
#include <QAbstractSpinBox>
#include <QLabel>
#include <QProcess>
#include <QProgressBar>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSignalSpy>
#include <QStatusBar>
#include <QStyle>
#include <QTextLayout>
#include <QToolButton>
#include <QVBoxLayout>
#include <QtTest>

namespace {

const char *kChild = "MIRASTELLON_FIT_CHILD";
// Set in the child when its screen has room for the designed sizes at the default font.
const char *kExpectDesigned = "MIRASTELLON_FIT_DESIGNED";

const QSize kDesigned(580, 550);
const int kDesignedWithConsole = 720;

QString text(const QSize &size)
{
    return QStringLiteral("%1 x %2").arg(size.width()).arg(size.height());
}

QString text(const QRect &rect)
{
    return QStringLiteral("%1 x %2 at %3, %4")
        .arg(rect.width())
        .arg(rect.height())
        .arg(rect.x())
        .arg(rect.y());
}

// The first line of text, wrapped at word boundaries as a label wraps it, that is wider than
// width; empty when every line fits.
QString cutWord(const QString &text, const QFont &font, int width)
{
    QTextLayout layout(text, font);
    QTextOption option;
    option.setWrapMode(QTextOption::WordWrap);
    layout.setTextOption(option);
    QString cut;
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(width);
        if (cut.isEmpty() && line.naturalTextWidth() > width)
            cut = text.mid(line.textStart(), line.textLength());
    }
    layout.endLayout();
    return cut;
}

bool internal(const QWidget *widget)
{
    return widget->objectName().startsWith(QLatin1String("qt_"));
}

// Everything the operator could see that is squeezed, overlapping or cut, one line each.
QStringList problems(QWidget *window)
{
    QStringList found;
    const auto name = [](const QWidget *w) {
        return w->objectName().isEmpty() ? QString::fromLatin1(w->metaObject()->className())
                                         : w->objectName();
    };
    const QList<QWidget *> widgets = window->findChildren<QWidget *>();
    for (QWidget *widget : widgets) {
        if (!widget->isVisible() || widget->isWindow())
            continue;
        QWidget *parent = widget->parentWidget();
        bool insideInternal = false;
        for (QWidget *up = parent; up && up != window; up = up->parentWidget())
            insideInternal = insideInternal || up->inherits("QAbstractSpinBox") ||
                             up->inherits("QTabBar") || up->inherits("QScrollBar");
        if (insideInternal)
            continue;
        // A scrolling viewport may hold more than it shows: that is what it is for.
        const bool scrolled =
            parent && parent->objectName() == QLatin1String("qt_scrollarea_viewport");
        if (!scrolled && !QRect(QPoint(0, 0), parent->size()).contains(widget->geometry()))
            found << QStringLiteral("%1 %2 sticks out of %3 %4")
                         .arg(name(widget))
                         .arg(text(widget->geometry()))
                         .arg(name(parent))
                         .arg(text(parent->size()));
        // Laid out widgets get at least their smallest size, within what they allow.
        // As layouts take it: a minimum size set on the widget, else its own hint.
        const QSize set = widget->minimumSize();
        const QSize hint = widget->minimumSizeHint();
        const QSize least = QSize(set.width() > 0 ? set.width() : hint.width(),
                                  set.height() > 0 ? set.height() : hint.height())
                                .boundedTo(widget->maximumSize());
        if (parent && parent->layout() && !internal(widget) &&
            widget->sizePolicy().horizontalPolicy() != QSizePolicy::Ignored &&
            (widget->width() < least.width() || widget->height() < least.height()))
            found << QStringLiteral("%1 squeezed to %2, needs %3")
                         .arg(name(widget))
                         .arg(text(widget->size()))
                         .arg(text(least));

        if (auto *label = qobject_cast<QLabel *>(widget); label && !label->text().isEmpty()) {
            const QRect room = label->contentsRect();
            const QFontMetrics metrics = label->fontMetrics();
            if (label->wordWrap()) {
                if (label->heightForWidth(label->width()) > label->height())
                    found << QStringLiteral("%1 needs %2 px of height, has %3")
                                 .arg(name(label))
                                 .arg(label->heightForWidth(label->width()))
                                 .arg(label->height());
                // A word may be broken only where it is longer than a whole line.
                if (!qobject_cast<WrapLabel *>(label))
                    if (const QString cut = cutWord(label->text(), label->font(), room.width());
                        !cut.isEmpty())
                        found << QStringLiteral("%1 cuts \"%2\"").arg(name(label), cut);
            } else if (metrics.horizontalAdvance(label->text()) > room.width() ||
                       metrics.height() > room.height()) {
                found << QStringLiteral("%1 cuts \"%2\" in %3")
                             .arg(name(label), label->text(), text(room.size()));
            }
        }
        const auto *tool = qobject_cast<QToolButton *>(widget);
        // A tool bar's buttons show their icons only.
        const bool iconOnly = tool && tool->toolButtonStyle() == Qt::ToolButtonIconOnly;
        if (auto *button = qobject_cast<QAbstractButton *>(widget);
            button && !button->text().isEmpty() && !iconOnly) {
            const QFontMetrics metrics = button->fontMetrics();
            const QString text = QString(button->text()).remove(QLatin1Char('&'));
            if (metrics.horizontalAdvance(text) > button->width() - 4 ||
                metrics.height() > button->height())
                found << QStringLiteral("%1 cuts \"%2\"").arg(name(button), text);
        }
    }
    // Siblings never overlap.
    for (QWidget *parent : widgets + QList<QWidget *>{window}) {
        if (!parent->isVisible() || parent->inherits("QAbstractSpinBox") ||
            parent->inherits("QTabWidget") || parent->inherits("QAbstractScrollArea") ||
            parent->inherits("QToolBar"))
            continue;
        QList<QWidget *> children;
        for (QObject *child : parent->children()) {
            auto *w = qobject_cast<QWidget *>(child);
            if (w && w->isVisible() && !w->isWindow() && !internal(w))
                children << w;
        }
        for (int i = 0; i < children.size(); ++i)
            for (int j = i + 1; j < children.size(); ++j)
                if (children[i]->geometry().intersects(children[j]->geometry()))
                    found << QStringLiteral("%1 overlaps %2")
                                 .arg(name(children[i]), name(children[j]));
    }
    return found;
}

} // namespace

class TestWindowFit : public QObject {
    Q_OBJECT

private slots:
    void rule_data();
    void rule();
    void underFontsAndScales_data();
    void underFontsAndScales();
    void layoutInThisEnvironment();
};

void TestWindowFit::rule_data()
{
    QTest::addColumn<bool>("console");
    QTest::addColumn<QSize>("contents");
    QTest::addColumn<QSize>("available");
    QTest::addColumn<QSize>("window");
    QTest::addColumn<int>("consoleHeight");
    QTest::addColumn<bool>("scrollsVertically");
    QTest::addColumn<bool>("scrollsHorizontally");

    // Chrome 110 high, the console's smallest 60, spacing 6, scroll bars 15.
    const QSize roomy(1920, 1050);
    QTest::newRow("default font") << false << QSize(580, 425) << roomy << QSize(580, 550) << 0
                                  << false << false;
    QTest::newRow("default font, console")
        << true << QSize(580, 425) << roomy << QSize(580, 720) << 164 << false << false;
    QTest::newRow("large font grows to the contents")
        << false << QSize(626, 572) << roomy << QSize(626, 682) << 0 << false << false;
    QTest::newRow("large font, console keeps its designed height")
        << true << QSize(626, 572) << roomy << QSize(626, 852) << 164 << false << false;
    QTest::newRow("short screen: the console gives way first")
        << true << QSize(580, 425) << QSize(1366, 650) << QSize(580, 650) << 94 << false << false;
    QTest::newRow("then the room beyond the contents' minimum")
        << true << QSize(580, 425) << QSize(1366, 610) << QSize(580, 610) << 60 << false << false;
    QTest::newRow("then the contents scroll")
        << true << QSize(580, 425) << QSize(1366, 560) << QSize(595, 560) << 60 << true << false;
    QTest::newRow("too small without the console")
        << false << QSize(580, 425) << QSize(683, 374) << QSize(595, 374) << 0 << true << false;
    QTest::newRow("too narrow as well")
        << false << QSize(626, 572) << QSize(400, 298) << QSize(400, 298) << 0 << true << true;
    QTest::newRow("too narrow only")
        << false << QSize(626, 300) << QSize(500, 1000) << QSize(500, 550) << 0 << false << true;
}

void TestWindowFit::rule()
{
    QFETCH(bool, console);
    QFETCH(QSize, contents);
    QFETCH(QSize, available);
    QFETCH(QSize, window);
    QFETCH(int, consoleHeight);
    QFETCH(bool, scrollsVertically);
    QFETCH(bool, scrollsHorizontally);

    WindowFit::Input in;
    in.designed = kDesigned;
    in.designedConsoleHeight = kDesignedWithConsole - kDesigned.height() - 6;
    in.consoleShown = console;
    in.chromeHeight = 110;
    in.chromeWidth = 250;
    in.contentMinimum = contents;
    in.consoleMinimumHeight = 60;
    in.spacing = 6;
    in.available = available;
    in.scrollBarExtent = 15;
    const WindowFit fit = WindowFit::of(in);
    QCOMPARE(fit.window, window);
    QCOMPARE(fit.consoleHeight, consoleHeight);
    QCOMPARE(fit.scrollsVertically, scrollsVertically);
    QCOMPARE(fit.scrollsHorizontally, scrollsHorizontally);
    QVERIFY(fit.window.width() <= available.width() && fit.window.height() <= available.height());
}

void TestWindowFit::underFontsAndScales_data()
{
    QTest::addColumn<QStringList>("environment");

    // The test platform's screen is 800 x 600; a scale of 0.5 makes it 1600 x 1200 in the units
    // the window is laid out in, with the fonts as they are.
    const QString roomy = QStringLiteral("QT_SCALE_FACTOR=0.5");
    QTest::newRow("default font, roomy screen")
        << QStringList{roomy, QString::fromLatin1(kExpectDesigned) + QStringLiteral("=1")};
    QTest::newRow("default font, 800 x 600") << QStringList{};
    QTest::newRow("font DPI 168, roomy screen")
        << QStringList{roomy, QStringLiteral("QT_FONT_DPI=168")};
    QTest::newRow("font DPI 168, 800 x 600") << QStringList{QStringLiteral("QT_FONT_DPI=168")};
    QTest::newRow("scale 2, 400 x 300") << QStringList{QStringLiteral("QT_SCALE_FACTOR=2")};
    QTest::newRow("font DPI 144 and scale 1.5")
        << QStringList{QStringLiteral("QT_FONT_DPI=144"), QStringLiteral("QT_SCALE_FACTOR=1.5")};
}

void TestWindowFit::underFontsAndScales()
{
    QFETCH(QStringList, environment);
    if (qEnvironmentVariableIsSet(kChild))
        QSKIP("runs the children");
    qRegisterMetaType<QProcess::ExitStatus>();
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QString::fromLatin1(kChild), QStringLiteral("1"));
    for (const QString &setting : std::as_const(environment))
        env.insert(setting.section(QLatin1Char('='), 0, 0), setting.section(QLatin1Char('='), 1));
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::MergedChannels);
    QSignalSpy finished(&child, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
    child.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("layoutInThisEnvironment")});
    QVERIFY(finished.wait(60000));
    const QByteArray output = child.readAll();
    QVERIFY2(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0,
             output.constData());
    QVERIFY2(output.contains("PASS   : TestWindowFit::layoutInThisEnvironment()"),
             output.constData());
}

void TestWindowFit::layoutInThisEnvironment()
{
    if (!qEnvironmentVariableIsSet(kChild))
        QSKIP("runs in a child process, under the environment of a row of underFontsAndScales");
    const bool expectDesigned = qEnvironmentVariableIsSet(kExpectDesigned);

    Panel panel;
    MainWindow &window = panel.window();
    MainWindowProbe probe(window);
    Ui::MainWindow *ui = probe.ui();
    // What the status bar shows, as when connected (the session sets these).
    QLabel *activity = window.statusView()->activityLabel();
    probe.statusLabel()->setText(
        QStringLiteral("Connected to /dev/ttyUSB0 (DVX1901): 115200, 8, None, 1, None"));
    activity->setText(QStringLiteral("Idle"));
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const QRect screen = window.screen()->availableGeometry();

    // The window and its bars settle over a few rounds of layout.
    const auto scrollsWhereNeeded = [&] {
        const QScrollArea *area = window.scrollArea();
        return area->verticalScrollBar()->isVisible() ==
               (area->viewport()->height() < ui->centralWidget->minimumSizeHint().height());
    };
    const auto settled = [&] {
        return window.minimumSize() == window.maximumSize() &&
               window.size() == window.minimumSize() && scrollsWhereNeeded() &&
               problems(&window).isEmpty();
    };
    const auto check = [&](const char *state) {
        const bool calm = QTest::qWaitFor(settled, 1000);
        Q_UNUSED(calm) // the checks below say what is wrong
        // A window that keeps changing size never settles.
        QSize last = window.size();
        int still = 0;
        for (int round = 0; round < 100 && still < 5; ++round) {
            QTest::qWait(20);
            still = window.size() == last ? still + 1 : 0;
            last = window.size();
        }
        QVERIFY2(still >= 5, qPrintable(QLatin1String(state) + QStringLiteral(": still resizing")));
        QVERIFY2(
            screen.contains(window.frameGeometry()),
            qPrintable(QStringLiteral("%1: window %2 off the screen %3")
                           .arg(QLatin1String(state), text(window.frameGeometry()), text(screen))));
        // The contents are never squeezed: what does not fit scrolls.
        const QSize need = ui->centralWidget->minimumSizeHint();
        QVERIFY2(ui->centralWidget->width() >= need.width() &&
                     ui->centralWidget->height() >= need.height(),
                 state);
        const QStringList found = problems(&window);
        QVERIFY2(found.isEmpty(), qPrintable(QLatin1String(state) + QStringLiteral(": ") +
                                             found.join(QStringLiteral("; "))));
        // Laid out again a few times, as a running panel is, with new positions read between,
        // it stays as it is.
        const QSize settledSize = window.size();
        const QString shown = ui->label_Position->text();
        for (int round = 0; round < 5; ++round) {
            ui->label_Position->setText(QStringLiteral("%1.000 \u00b5m").arg(round));
            QCoreApplication::postEvent(ui->centralWidget, new QEvent(QEvent::LayoutRequest));
            QTest::qWait(20);
        }
        ui->label_Position->setText(shown);
        QVERIFY2(
            window.size() == settledSize,
            qPrintable(QStringLiteral("%1: %2, then %3")
                           .arg(QLatin1String(state), text(settledSize), text(window.size()))));
        // No wider than the widest row needs (the readout's at the width of its text): the
        // window does not creep wider with every round of layout.
        QVBoxLayout *rows = ui->verticalLayout;
        int widest =
            QFontMetrics(ui->label_Position->font()).horizontalAdvance(ui->label_Position->text());
        for (int i = 0; i < rows->count(); ++i) {
            QLayoutItem *row = rows->itemAt(i);
            if (row->layout() != ui->horizontalLayout_4 && row->layout() != ui->verticalLayout_3)
                widest = std::max(widest, row->minimumSize().width());
        }
        const int bound = std::max(kDesigned.width(), widest + 40) +
                          window.style()->pixelMetric(QStyle::PM_ScrollBarExtent);
        QVERIFY2(window.width() <= bound, qPrintable(QStringLiteral("%1: %2 wide, the rows need %3")
                                                         .arg(QLatin1String(state))
                                                         .arg(window.width())
                                                         .arg(widest)));
        // Scroll bars only where they are needed.
        QScrollArea *area = window.scrollArea();
        const QSize viewport = area->viewport()->size();
        QVERIFY2(area->verticalScrollBar()->isVisible() == (viewport.height() < need.height()),
                 qPrintable(QStringLiteral("%1: viewport %2, contents need %3, window %4")
                                .arg(QLatin1String(state), text(viewport), text(need),
                                     text(window.size()))));
    };

    check("closed");
    if (expectDesigned)
        QCOMPARE(window.size(), kDesigned);
    QVERIFY(window.width() >= kDesigned.width() ||
            window.frameGeometry().width() == screen.width());
    const QSize closed = window.size();

    probe.console()->putData("_cp 1234.5 um\r");
    ui->pushButton_Console->click();
    check("with the console");
    if (expectDesigned)
        QCOMPARE(window.size(), QSize(kDesigned.width(), kDesignedWithConsole));
    // The console shows a few lines at least.
    QVERIFY(probe.console()->height() >= 3 * probe.console()->fontMetrics().lineSpacing());
    ui->pushButton_Console->click();
    check("console hidden again");
    QCOMPARE(window.size(), closed);

    // The longest: a connection through a stable name, and the busiest indicator.
    probe.statusLabel()->setText(QStringLiteral(
        "Connected to /dev/serial/by-id/usb-FTDI_FT232R_A50285BI-if00-port0 (DVX1901): 115200, 8, "
        "None, 1, None"));
    activity->setText(QStringLiteral("Open-loop drive\u2026"));
    window.statusView()->busyBar()->show();
    check("long connection text");
    ui->pushButton_Console->click();
    check("long connection text, with the console");

    // A notice too long for one line is shown whole, no word broken.
    const QString refusal = QStringLiteral(
        "Target 9999 \u00b5m refused: it lies beyond the travel (-250 \u00b5m to 6250 \u00b5m)");
    window.statusView()->notify(refusal);
    check("with a notice");
    QLabel *notice = window.statusView()->notices()->noticeLabel();
    QVERIFY(notice->isVisible());
    QCOMPARE(notice->text(), refusal);
    QVERIFY2(cutWord(refusal, notice->font(), notice->contentsRect().width()).isEmpty(),
             qPrintable(text(notice->size())));

    {
        const QSignalBlocker quiet(ui->tabWidget_LoopMode);
        ui->tabWidget_LoopMode->setCurrentIndex(1);
    }
    check("open-loop page");
}

QTEST_MAIN(TestWindowFit)
#include "tst_windowfit.moc"
