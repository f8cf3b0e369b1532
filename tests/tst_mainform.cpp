// The main window as it comes up before any port is opened: its widget tree, the properties and
// texts of every control, the actions and their compiled-in icons, the start-up state, and the
// actions and console toggle that work without a device.

#include "console.h"
#include "mainwindow.h"
#include "messageboxwatcher.h"
#include "mirastellon_version.h"
#include "probe.h"
#include "settingsdialog.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QBoxLayout>
#include <QDoubleSpinBox>
#include <QFile>
#include <QFrame>
#include <QGridLayout>
#include <QIcon>
#include <QImage>
#include <QImageReader>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QSlider>
#include <QSpinBox>
#include <QStatusBar>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolBar>
#include <QtTest>

#include <utility>

namespace {

const QSize kClosedSize(580, 550);
const QSize kOpenSize(580, 720);

// Object name of the widget, or of the layout, that a layout item holds; "" for a spacer.
QString itemName(QLayoutItem *item)
{
    if (QWidget *widget = item->widget())
        return widget->objectName();
    if (QLayout *layout = item->layout())
        return layout->objectName();
    return QString();
}

QStringList boxContents(const QLayout *layout)
{
    QStringList names;
    for (int i = 0; i < layout->count(); ++i)
        names << itemName(layout->itemAt(i));
    return names;
}

// Cells of a grid by row, "row,column=name"; spacers appear with an empty name.
QStringList gridContents(QGridLayout *grid)
{
    QStringList cells;
    for (int i = 0; i < grid->count(); ++i) {
        int row, column, rowSpan, columnSpan;
        grid->getItemPosition(i, &row, &column, &rowSpan, &columnSpan);
        cells << QStringLiteral("%1,%2=%3").arg(row).arg(column).arg(itemName(grid->itemAt(i)));
        if (rowSpan != 1 || columnSpan != 1)
            cells.last() += QStringLiteral(" span %1x%2").arg(rowSpan).arg(columnSpan);
    }
    cells.sort();
    return cells;
}

QSet<QWidget *> visibleTopLevels()
{
    QSet<QWidget *> shown;
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (widget->isVisible())
            shown.insert(widget);
    }
    return shown;
}

} // namespace

class TestMainForm : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();

    void widgetTree();
    void controlProperties_data();
    void controlProperties();
    void fontsAndSizes();
    void texts_data();
    void texts();
    void titles();
    void actions_data();
    void actions();
    void toolBarAndMenuBar();
    void spinBoxRanges_data();
    void spinBoxRanges();
    void sliderRangeReplacedByWindow();
    void startUpState();
    void windowIconFile();
    void quitClosesWindow();
    void clearEmptiesConsole();
    void aboutBoxes_data();
    void aboutBoxes();
    void consoleToggle();

private:
    QTemporaryDir emptyWorkDir;
};

void TestMainForm::initTestCase()
{
    // Run away from the source tree so nothing can come from a file next to the program.
    QVERIFY(emptyWorkDir.isValid());
    QVERIFY(QDir::setCurrent(emptyWorkDir.path()));
}

void TestMainForm::widgetTree()
{
    Panel panel;
    MainWindow &window = panel.window();
    MainWindowProbe probe(window);
    Ui::MainWindow *ui = probe.ui();

    QCOMPARE(window.objectName(), QStringLiteral("MainWindow"));
    // The form's central widget scrolls, rather than overlaps, on a screen too small for it.
    QCOMPARE(window.centralWidget(), window.scrollArea());
    QCOMPARE(window.scrollArea()->widget(), ui->centralWidget);
    QCOMPARE(window.menuBar(), ui->menuBar);
    QCOMPARE(window.statusBar(), ui->statusBar);
    QCOMPARE(window.toolBarArea(ui->mainToolBar), Qt::TopToolBarArea);

    QCOMPARE(ui->centralWidget->layout(), ui->verticalLayout);
    QCOMPARE(boxContents(ui->verticalLayout),
             QStringList({"horizontalLayout", "line", "label_6", "horizontalLayout_4", "label_5",
                          "horizontalLayout_2", "horizontalLayout_5", "tabWidget_LoopMode",
                          "horizontalLayout_3", "", "verticalLayout_3"}));
    QCOMPARE(ui->verticalLayout->spacing(), 6);
    QCOMPARE(ui->verticalLayout->contentsMargins(), QMargins(11, 11, 11, 11));

    QCOMPARE(boxContents(ui->horizontalLayout),
             QStringList({"pushButton_home", "pushButton_AutoCalibrate", ""}));
    QCOMPARE(boxContents(ui->horizontalLayout_4), QStringList({"", "label_Position", ""}));
    QCOMPARE(boxContents(ui->horizontalLayout_2),
             QStringList({"pushButton_SliderMinus", "label_Slidermin", "horizontalSlider",
                          "label_Slidermax", "pushButton_SliderPlus"}));
    QCOMPARE(boxContents(ui->horizontalLayout_5), QStringList({"", "pushButton_stop"}));
    QCOMPARE(boxContents(ui->horizontalLayout_3), QStringList({"", "pushButton_Console"}));
    // The form leaves this layout empty; the window puts the console there.
    QCOMPARE(ui->verticalLayout_3->count(), 1);
    QCOMPARE(ui->verticalLayout_3->itemAt(0)->widget(), probe.console());
    QCOMPARE(probe.console()->parentWidget(), ui->centralWidget);

    QCOMPARE(ui->tabWidget_LoopMode->count(), 2);
    QCOMPARE(ui->tabWidget_LoopMode->widget(0), ui->tab);
    QCOMPARE(ui->tabWidget_LoopMode->widget(1), ui->tab_2);

    QCOMPARE(ui->tab->layout(), ui->gridLayout_3);
    QCOMPARE(gridContents(ui->gridLayout_3),
             QStringList({"0,0=label", "0,1=doubleSpinBox_Position", "0,2=", "2,0=label_2",
                          "2,1=doubleSpinBox_mrstp", "3,0="}));
    QCOMPARE(ui->tab_2->layout(), ui->gridLayout);
    // The panel adds the measured step and the move by a distance beside interval and cycle.
    QCOMPARE(gridContents(ui->gridLayout),
             QStringList({"0,0=label_3", "0,1=spinBox_Duration", "0,2=", "0,3=pushButton_Bi",
                          "1,0=label_4", "1,1=spinBox_Interval", "1,2=openLoopMovePanel span 2x2",
                          "2,0=label_7", "2,1=spinBox_Cycle", "4,0="}));
    for (QGridLayout *grid : {ui->gridLayout_3, ui->gridLayout}) {
        QCOMPARE(grid->spacing(), 6);
        QCOMPARE(grid->contentsMargins(), QMargins(11, 11, 11, 11));
    }
}

void TestMainForm::controlProperties_data()
{
    QTest::addColumn<QString>("className");
    QTest::addColumn<bool>("enabled");

    QTest::newRow("pushButton_home") << "QPushButton" << false;
    QTest::newRow("pushButton_AutoCalibrate") << "QPushButton" << false;
    QTest::newRow("line") << "QFrame" << true;
    QTest::newRow("label_6") << "QLabel" << true;
    QTest::newRow("label_Position") << "QLabel" << true;
    QTest::newRow("label_5") << "QLabel" << true;
    QTest::newRow("pushButton_SliderMinus") << "QPushButton" << false;
    QTest::newRow("label_Slidermin") << "QLabel" << true;
    QTest::newRow("horizontalSlider") << "QSlider" << false;
    QTest::newRow("label_Slidermax") << "QLabel" << true;
    QTest::newRow("pushButton_SliderPlus") << "QPushButton" << false;
    QTest::newRow("pushButton_stop") << "QPushButton" << false;
    QTest::newRow("tabWidget_LoopMode") << "QTabWidget" << false;
    QTest::newRow("label") << "QLabel" << true;
    QTest::newRow("doubleSpinBox_Position") << "QDoubleSpinBox" << false;
    QTest::newRow("label_2") << "QLabel" << true;
    QTest::newRow("doubleSpinBox_mrstp") << "QDoubleSpinBox" << false;
    QTest::newRow("label_3") << "QLabel" << true;
    QTest::newRow("spinBox_Duration") << "QSpinBox" << true;
    QTest::newRow("pushButton_Bi") << "QPushButton" << true;
    QTest::newRow("label_4") << "QLabel" << true;
    QTest::newRow("spinBox_Interval") << "QSpinBox" << true;
    QTest::newRow("label_7") << "QLabel" << true;
    QTest::newRow("spinBox_Cycle") << "QSpinBox" << true;
    QTest::newRow("pushButton_Console") << "QPushButton" << true;
}

void TestMainForm::controlProperties()
{
    QFETCH(QString, className);
    QFETCH(bool, enabled);

    Panel panel;
    MainWindow &window = panel.window();
    const QString name = QString::fromLatin1(QTest::currentDataTag());
    const QList<QWidget *> found = window.findChildren<QWidget *>(name);
    QCOMPARE(found.size(), 1);
    QWidget *widget = found.first();
    QCOMPARE(QString::fromLatin1(widget->metaObject()->className()), className);
    // The widget's own flag: the open-loop controls are enabled but sit in a disabled tab widget.
    QCOMPARE(widget->isEnabledTo(widget->parentWidget()), enabled);
}

void TestMainForm::fontsAndSizes()
{
    Panel panel;
    MainWindow &window = panel.window();
    Ui::MainWindow *ui = MainWindowProbe(window).ui();

    for (QPushButton *bold : {ui->pushButton_home, ui->pushButton_AutoCalibrate,
                              ui->pushButton_stop, ui->pushButton_Console}) {
        QVERIFY2(bold->font().bold(), qPrintable(bold->objectName()));
        QCOMPARE(bold->font().weight(), int(QFont::Bold));
    }
    QCOMPARE(ui->label_Position->font().pointSize(), 24);
    QVERIFY(ui->label_Position->font().bold());
    QCOMPARE(ui->label_Position->frameShape(), QFrame::NoFrame);

    QCOMPARE(ui->line->frameShape(), QFrame::HLine);
    QCOMPARE(ui->line->frameShadow(), QFrame::Sunken);

    for (QPushButton *button : {ui->pushButton_SliderMinus, ui->pushButton_SliderPlus}) {
        QCOMPARE(button->font().pointSize(), 10);
        QVERIFY(button->font().bold());
        QCOMPARE(button->maximumSize(), QSize(55, 35));
        QCOMPARE(button->sizePolicy().horizontalPolicy(), QSizePolicy::Fixed);
        QCOMPARE(button->sizePolicy().verticalPolicy(), QSizePolicy::Fixed);
    }

    QSlider *slider = ui->horizontalSlider;
    QCOMPARE(slider->font().pointSize(), 8);
    QVERIFY(!slider->font().bold());
    QCOMPARE(slider->orientation(), Qt::Horizontal);
    QCOMPARE(slider->tickPosition(), QSlider::TicksBelow);
    QCOMPARE(slider->tickInterval(), 640);
    QVERIFY(!slider->invertedAppearance());
    QVERIFY(!slider->invertedControls());

    QCOMPARE(ui->doubleSpinBox_Position->maximumWidth(), 400);
    QCOMPARE(ui->doubleSpinBox_mrstp->maximumWidth(), 280);
}

void TestMainForm::texts_data()
{
    QTest::addColumn<QString>("text");

    const QString micro(QChar(0x00B5));
    QTest::newRow("pushButton_home") << "Home";
    QTest::newRow("pushButton_AutoCalibrate") << "AutoCalibrate";
    QTest::newRow("label_6") << "";
    QTest::newRow("label_Position") << "0.0 " + micro + "m";
    QTest::newRow("label_5") << "";
    QTest::newRow("pushButton_SliderMinus") << "-";
    QTest::newRow("label_Slidermin") << "-250" + micro + "m";
    QTest::newRow("label_Slidermax") << "6250" + micro + "m";
    QTest::newRow("pushButton_SliderPlus") << "+";
    QTest::newRow("pushButton_stop") << "Stop";
    QTest::newRow("label") << "Target Position [" + micro + "m]:";
    QTest::newRow("label_2") << "Relative Step [" + micro + "m]:";
    // The trailing blanks widen the first column of the open-loop page.
    QTest::newRow("label_3") << "Duration[ms]:" + QString(11, QLatin1Char(' '));
    QTest::newRow("pushButton_Bi") << "Bi";
    QTest::newRow("label_4") << "Interval[ms]:";
    QTest::newRow("label_7") << "Cycle:";
    QTest::newRow("pushButton_Console") << "Console >>";
}

void TestMainForm::texts()
{
    QFETCH(QString, text);

    Panel panel;
    MainWindow &window = panel.window();
    QObject *control = window.findChild<QObject *>(QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY(control);
    QCOMPARE(control->property("text").toString(), text);
}

void TestMainForm::titles()
{
    Panel panel;
    MainWindow &window = panel.window();
    QCOMPARE(window.windowTitle(), QStringLiteral("Mirastellon"));
    Ui::MainWindow *ui = MainWindowProbe(window).ui();
    QTabWidget *tabs = ui->tabWidget_LoopMode;
    QCOMPARE(tabs->tabText(tabs->indexOf(ui->tab)), QStringLiteral("Closed Loop"));
    QCOMPARE(tabs->tabText(tabs->indexOf(ui->tab_2)), QStringLiteral("Open Loop"));
}

void TestMainForm::actions_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("toolTip");
    QTest::addColumn<QKeySequence>("shortcut");
    QTest::addColumn<QString>("iconPath");

    // An action without a tool tip of its own shows its text without the mnemonic.
    QTest::newRow("actionAbout") << "&About"
                                 << "About program" << QKeySequence("Alt+A") << "";
    QTest::newRow("actionAboutQt") << "About Qt"
                                   << "About Qt" << QKeySequence() << "";
    QTest::newRow("actionConnect")
        << "C&onnect"
        << "Connect to serial port" << QKeySequence("Ctrl+O") << ":/images/connect.png";
    QTest::newRow("actionDisconnect")
        << "&Disconnect"
        << "Disconnect from serial port" << QKeySequence("Ctrl+D") << ":/images/disconnect.png";
    // The ellipsis says that a dialog opens; the menu shows the text.
    QTest::newRow("actionConfigure")
        << "&Configure\u2026"
        << "Configure serial port" << QKeySequence("Alt+C") << ":/images/settings.png";
    QTest::newRow("actionClear") << "C&lear"
                                 << "Clear data" << QKeySequence("Alt+L") << ":/images/clear.png";
    QTest::newRow("actionQuit") << "&Quit"
                                << "Quit" << QKeySequence("Ctrl+Q")
                                << ":/images/application-exit.png";
    QTest::newRow("actionSequence") << "Sequence"
                                    << "Run a list of positions with dwell times"
                                    << QKeySequence("Ctrl+Shift+S") << ":/images/sequence.png";
    QTest::newRow("actionTrace") << "Trace"
                                 << "Plot the position against time" << QKeySequence("Ctrl+Shift+T")
                                 << ":/images/trace.png";
    QTest::newRow("actionConsole") << "&Console"
                                   << "Show or hide the console: the traffic with the controller"
                                   << QKeySequence("Ctrl+Shift+C") << "";
    QTest::newRow("actionSaveConsole")
        << "&Save console\u2026"
        << "Save the console's text to a file" << QKeySequence("Ctrl+S") << "";
    QTest::newRow("actionConsoleTimeStamps")
        << "Time &stamps in console"
        << "Begin each new console line with the time it began at" << QKeySequence() << "";
}

void TestMainForm::actions()
{
    QFETCH(QString, text);
    QFETCH(QString, toolTip);
    QFETCH(QKeySequence, shortcut);
    QFETCH(QString, iconPath);

    Panel panel;
    MainWindow &window = panel.window();
    const QString name = QString::fromLatin1(QTest::currentDataTag());
    const QList<QAction *> found = window.findChildren<QAction *>(name);
    QCOMPARE(found.size(), 1);
    QAction *action = found.first();
    QCOMPARE(action->parent(), &window);
    QCOMPARE(action->text(), text);
    QCOMPARE(action->toolTip(), toolTip);
    QCOMPARE(action->shortcut(), shortcut);

    if (iconPath.isEmpty()) {
        QVERIFY(action->icon().isNull());
        return;
    }
    // The working directory holds no images: the icon can only come from the compiled-in tree.
    QVERIFY(!QFile::exists(iconPath.mid(2)));
    QVERIFY(QFile::exists(iconPath));
    const QImage image(iconPath);
    QCOMPARE(image.size(), QSize(48, 48));
    QVERIFY(image.hasAlphaChannel());

    const QIcon icon = action->icon();
    QVERIFY(!icon.isNull());
    QCOMPARE(icon.availableSizes(), QList<QSize>({QSize(48, 48)}));
    const QPixmap pixmap = icon.pixmap(QSize(48, 48));
    QVERIFY(!pixmap.isNull());
    QCOMPARE(pixmap.toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied),
             image.convertToFormat(QImage::Format_ARGB32_Premultiplied));
}

void TestMainForm::toolBarAndMenuBar()
{
    Panel panel;
    MainWindow &window = panel.window();
    Ui::MainWindow *ui = MainWindowProbe(window).ui();

    // The operator's four come first; the capability windows follow them.
    QCOMPARE(ui->mainToolBar->actions(),
             QList<QAction *>({ui->actionConnect, ui->actionDisconnect, ui->actionConfigure,
                               ui->actionClear, ui->actionTrace, ui->actionSequence}));
    // File, View and Help; other parts of the panel find the first two by name.
    QMenu *file = window.findChild<QMenu *>(QStringLiteral("menuFile"));
    QMenu *view = window.findChild<QMenu *>(QStringLiteral("menuView"));
    QMenu *help = window.findChild<QMenu *>(QStringLiteral("menuHelp"));
    QVERIFY(file && view && help);
    QCOMPARE(file->title(), QStringLiteral("&File"));
    QCOMPARE(view->title(), QStringLiteral("&View"));
    QCOMPARE(help->title(), QStringLiteral("&Help"));
    QCOMPARE(ui->menuBar->actions(),
             QList<QAction *>({file->menuAction(), view->menuAction(), help->menuAction()}));
    const auto withoutSeparators = [](const QList<QAction *> &actions) {
        QList<QAction *> kept;
        for (QAction *action : actions)
            if (!action->isSeparator())
                kept << action;
        return kept;
    };
    // The session log and the step characterisation are the panel's additions to the menus.
    QCOMPARE(withoutSeparators(file->actions()),
             QList<QAction *>({ui->actionConnect, ui->actionDisconnect, ui->actionConfigure,
                               ui->actionSaveConsole,
                               window.findChild<QAction *>(QStringLiteral("actionSessionLog")),
                               ui->actionQuit}));
    QCOMPARE(
        withoutSeparators(view->actions()),
        QList<QAction *>(
            {ui->actionConsole, ui->actionConsoleTimeStamps, ui->actionTrace, ui->actionSequence,
             window.findChild<QAction *>(QStringLiteral("actionStepCharacterisation"))}));
    QCOMPARE(help->actions(), QList<QAction *>({ui->actionAbout, ui->actionAboutQt}));
    QCOMPARE(window.findChildren<QToolBar *>().size(), 1);

    // The icon file compiled in next to the tool-bar images is carried but not used.
    QVERIFY(QFile::exists(QStringLiteral(":/images/Mirastellon_Icon_only@500x.ico")));
}

void TestMainForm::spinBoxRanges_data()
{
    QTest::addColumn<double>("minimum");
    QTest::addColumn<double>("maximum");
    QTest::addColumn<double>("value");

    QTest::newRow("doubleSpinBox_Position") << -1000000.0 << 1000000.0 << 0.0;
    QTest::newRow("doubleSpinBox_mrstp") << 0.0 << 6000.0 << 200.0;
    QTest::newRow("spinBox_Duration") << 1.0 << 5000.0 << 100.0;
    QTest::newRow("spinBox_Interval") << 1.0 << 2000.0 << 500.0;
    QTest::newRow("spinBox_Cycle") << 1.0 << 214700000.0 << 1.0;
}

void TestMainForm::spinBoxRanges()
{
    QFETCH(double, minimum);
    QFETCH(double, maximum);
    QFETCH(double, value);

    Panel panel;
    MainWindow &window = panel.window();
    QAbstractSpinBox *box =
        window.findChild<QAbstractSpinBox *>(QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY(box);
    QCOMPARE(box->property("minimum").toDouble(), minimum);
    QCOMPARE(box->property("maximum").toDouble(), maximum);
    QCOMPARE(box->property("value").toDouble(), value);
    QVERIFY(box->property("prefix").toString().isEmpty());
    QVERIFY(box->property("suffix").toString().isEmpty());
    QVERIFY(box->specialValueText().isEmpty());

    // Values beyond the range are clamped, not taken.
    box->setProperty("value", maximum + 1);
    QCOMPARE(box->property("value").toDouble(), maximum);
    box->setProperty("value", minimum - 1);
    QCOMPARE(box->property("value").toDouble(), minimum);

    // The relative step is reached by Tab like the rest, but not by the wheel alone.
    const Qt::FocusPolicy expected = box->objectName() == QLatin1String("doubleSpinBox_mrstp")
                                         ? Qt::StrongFocus
                                         : Qt::WheelFocus;
    QCOMPARE(box->focusPolicy(), expected);
}

void TestMainForm::sliderRangeReplacedByWindow()
{
    Panel panel;
    MainWindow &window = panel.window();
    MainWindowProbe probe(window);
    QSlider *slider = probe.ui()->horizontalSlider;
    QCOMPARE(slider->minimum(), -250);
    QCOMPARE(slider->maximum(), 6250);
    QCOMPARE(probe.sliderMin(), -250.0);
    QCOMPARE(probe.sliderMax(), 6250.0);
}

void TestMainForm::startUpState()
{
    Panel panel;
    MainWindow &window = panel.window();
    MainWindowProbe probe(window);
    Ui::MainWindow *ui = probe.ui();

    QCOMPARE(window.minimumSize(), kClosedSize);
    QCOMPARE(window.maximumSize(), kClosedSize);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(window.size(), kClosedSize);
    // A resize from outside is refused.
    window.resize(700, 800);
    QCOMPARE(window.size(), kClosedSize);

    QVERIFY(!probe.console()->isEnabled());
    QVERIFY(!probe.console()->isVisible());
    QVERIFY(!probe.consoleVisible());

    QVERIFY(ui->actionConnect->isEnabled());
    QVERIFY(ui->actionConfigure->isEnabled());
    QVERIFY(ui->actionQuit->isEnabled());
    QVERIFY(!ui->actionDisconnect->isEnabled());

    QVERIFY(probe.statusLabel()->text().isEmpty());
    QVERIFY(ui->statusBar->isAncestorOf(probe.statusLabel()));
    QVERIFY(!probe.pollTimer()->isActive());
    QVERIFY(!probe.serialPort()->isOpen());
    QVERIFY(probe.controllerModel().isEmpty());
    QVERIFY(!probe.homed());
    QVERIFY(probe.closedLoop());

    QTabWidget *tabs = ui->tabWidget_LoopMode;
    QVERIFY(!tabs->isEnabled());
    QVERIFY(!ui->spinBox_Duration->isEnabled());
    QVERIFY(!ui->pushButton_Bi->isEnabled());
    QCOMPARE(tabs->currentIndex(), 0);
    QCOMPARE(tabs->currentWidget(), ui->tab);
    QCOMPARE(tabs->tabText(tabs->currentIndex()), QStringLiteral("Closed Loop"));

    // The settings dialog is its own top-level window and stays closed until asked for.
    QVERIFY(probe.settingsDialog()->isWindow());
    QVERIFY(!probe.settingsDialog()->isVisible());
}

void TestMainForm::windowIconFile()
{
    // The panel reads its window icon from "images/..." under the working directory it is started
    // in, which is the source tree's root for the file kept in the repository.
    const QString path =
        QStringLiteral(MIRASTELLON_SOURCE_DIR "/images/Mirastellon_Icon_only@500x.png");
    QVERIFY2(!path.isEmpty(), "window icon file missing from the source tree");
    QImageReader reader(path);
    QCOMPARE(reader.format(), QByteArray("png"));
    const QImage image = reader.read();
    QVERIFY2(!image.isNull(), qPrintable(reader.errorString()));
    QCOMPARE(image.size(), QSize(256, 256));

    const QString relative = QStringLiteral("images/Mirastellon_Icon_only@500x.png");
    const QString root = QFileInfo(path).absoluteDir().absoluteFilePath(QStringLiteral(".."));
    const QString here = QDir::currentPath();

    // Started from the root, the relative name resolves and the window gets the icon.
    QVERIFY(QDir::setCurrent(root));
    const QIcon found(relative);
    QVERIFY(QDir::setCurrent(here));
    QCOMPARE(found.availableSizes(), QList<QSize>({QSize(256, 256)}));
    Panel panel;
    MainWindow &window = panel.window();
    window.setWindowIcon(found);
    QCOMPARE(window.windowIcon().pixmap(QSize(256, 256)).size(), QSize(256, 256));

    // Started anywhere else, there is no icon and nothing complains.
    MessageBoxWatcher watcher;
    const QIcon missing(relative);
    QVERIFY(missing.availableSizes().isEmpty());
    Panel barePanel;
    MainWindow &bare = barePanel.window();
    bare.setWindowIcon(missing);
    QVERIFY(bare.windowIcon().pixmap(QSize(256, 256)).isNull());
    bare.show();
    QVERIFY(QTest::qWaitForWindowExposed(&bare));
    QCOMPARE(watcher.count(), 0);
}

void TestMainForm::quitClosesWindow()
{
    Panel panel;
    MainWindow &window = panel.window();
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    MainWindowProbe(window).ui()->actionQuit->trigger();
    QVERIFY(!window.isVisible());
}

void TestMainForm::clearEmptiesConsole()
{
    Panel panel;
    MainWindow &window = panel.window();
    MainWindowProbe probe(window);
    Console *console = probe.console();
    console->putData(">status\r_status 9\r");
    QVERIFY(!console->toPlainText().isEmpty());
    probe.ui()->actionClear->trigger();
    QCOMPARE(console->toPlainText(), QString());
    QCOMPARE(console->document()->blockCount(), 1);
}

void TestMainForm::aboutBoxes_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QStringList>("textParts");

    QTest::newRow("About") << "actionAbout"
                           << "About Mirastellon"
                           << QStringList({QStringLiteral("Mirastellon " MIRASTELLON_VERSION),
                                           QStringLiteral("GNU General Public License"),
                                           QStringLiteral("version 3"),
                                           QStringLiteral("any later version"),
                                           QStringLiteral("running on Qt ") + qVersion()});
    QTest::newRow("About Qt") << "actionAboutQt"
                              << "About Qt" << QStringList({QStringLiteral("Qt")});
}

void TestMainForm::aboutBoxes()
{
    QFETCH(QString, action);
    QFETCH(QString, title);
    QFETCH(QStringList, textParts);

    Panel panel;
    MainWindow &window = panel.window();
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const QSet<QWidget *> before = visibleTopLevels();

    // Each opens one modal box over the window and leaves the window as it was once closed.
    MessageBoxWatcher watcher;
    QAction *about = window.findChild<QAction *>(action);
    QVERIFY(about);
    QTimer::singleShot(0, about, &QAction::trigger);
    QTRY_COMPARE(watcher.count(), 1);
    QCOMPARE(watcher.titles.first(), title);
    for (const QString &part : std::as_const(textParts))
        QVERIFY2(watcher.texts.first().contains(part), qPrintable(watcher.texts.first()));

    QTRY_COMPARE(QApplication::activeModalWidget(), nullptr);
    QTRY_COMPARE(visibleTopLevels(), before);
    QCOMPARE(window.size(), kClosedSize);
    QVERIFY(window.isVisible());
}

void TestMainForm::consoleToggle()
{
    Panel panel;
    MainWindow &window = panel.window();
    MainWindowProbe probe(window);
    QPushButton *toggle = probe.ui()->pushButton_Console;
    Console *console = probe.console();
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    // Text shown while the pane is hidden is there when it opens.
    console->putData(">inform\r");
    const QString text = console->toPlainText();

    QTest::mouseClick(toggle, Qt::LeftButton);
    QVERIFY(console->isVisible());
    QVERIFY(probe.consoleVisible());
    // 720 high where the screen has the room (tst_windowfit has one that does); the test
    // platform's screen is 600 high, and the window stays on it.
    const QRect screen = window.screen()->availableGeometry();
    const QSize open =
        screen.height() >= kOpenSize.height() + 10
            ? kOpenSize
            : QSize(window.width(),
                    screen.height() - (window.frameGeometry().height() - window.height()));
    QCOMPARE(window.minimumSize(), open);
    QCOMPARE(window.maximumSize(), open);
    QTRY_COMPARE(window.size(), open);
    QVERIFY(window.width() >= kOpenSize.width());
    QCOMPARE(toggle->text(), QStringLiteral("Console <<"));
    QVERIFY(!toggle->hasFocus());
    QCOMPARE(console->toPlainText(), text);

    QTest::mouseClick(toggle, Qt::LeftButton);
    QVERIFY(!console->isVisible());
    QVERIFY(!probe.consoleVisible());
    QCOMPARE(window.minimumSize(), kClosedSize);
    QCOMPARE(window.maximumSize(), kClosedSize);
    QTRY_COMPARE(window.size(), kClosedSize);
    QCOMPARE(toggle->text(), QStringLiteral("Console >>"));
    QVERIFY(!toggle->hasFocus());
    QCOMPARE(console->toPlainText(), text);
    // Showing the pane does not enable it: it takes input only while a port is open.
    QVERIFY(!console->isEnabled());
}

QTEST_MAIN(TestMainForm)
#include "tst_mainform.moc"
