#include "statusview.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QDoubleSpinBox>
#include <QEvent>
#include <QGraphicsOpacityEffect>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QShortcut>
#include <QStatusBar>

StatusView::StatusView(Stage *stage, QLabel *readout, QStatusBar *bar, int pollIntervalMs,
                       QObject *parent)
    : QObject(parent), stage(stage), monitor(new ReadoutMonitor(stage, pollIntervalMs, {}, this)),
      tracker(new ActivityTracker(stage, {}, this)), readout(readout),
      liveToolTip(readout->toolTip()), bar(bar), noticeArea(new NoticeArea(bar, this))
{
    auto *indicator = new QWidget;
    indicator->setObjectName(QStringLiteral("activityIndicator"));
    auto *layout = new QHBoxLayout(indicator);
    layout->setContentsMargins(0, 0, 0, 0);
    progress = new QProgressBar;
    progress->setObjectName(QStringLiteral("progressBar_Busy"));
    // No end is known in advance: the bar only shows that something runs.
    progress->setRange(0, 0);
    progress->setTextVisible(false);
    progress->setFixedWidth(70);
    progress->setMaximumHeight(14);
    progress->setVisible(false);
    label = new QLabel;
    label->setObjectName(QStringLiteral("label_Activity"));
    layout->addWidget(progress);
    layout->addWidget(label);
    indicator->setToolTip(tr("What the stage is doing: homing, moving, calibrating, an open-loop "
                             "drive, or idle"));
    bar->addPermanentWidget(indicator);
    // The connection text on the left shows this tooltip.
    bar->setToolTip(tr("The port, its line parameters and, once it has identified itself, the "
                       "controller model"));

    connect(monitor, &ReadoutMonitor::changed, this, &StatusView::showReadout);
    connect(tracker, &ActivityTracker::activityChanged, this, &StatusView::showActivity);
    // "Idle" says something about a stage the panel is connected to, and only then.
    connect(stage, &Stage::stateChanged, this, [this] { showActivity(tracker->activity()); });
    showReadout(monitor->isLive(), monitor->reason());
    showActivity(tracker->activity());
}

void StatusView::showReadout(bool live, const QString &reason)
{
    if (!readout)
        return;
    if (live) {
        // Back to the inherited colours.
        readout->setPalette(QPalette());
        readout->setToolTip(liveToolTip);
        return;
    }
    QPalette greyed = readout->palette();
    const QColor grey = greyed.color(QPalette::Disabled, QPalette::WindowText);
    greyed.setColor(QPalette::Active, QPalette::WindowText, grey);
    greyed.setColor(QPalette::Inactive, QPalette::WindowText, grey);
    readout->setPalette(greyed);
    // Until a position was read, the readout shows the form's placeholder, not a position.
    if (monitor->hasReading())
        readout->setToolTip(tr("Last known position, not live: %1").arg(reason));
    else
        readout->setToolTip(tr("No position has been read yet (%1)").arg(reason));
}

void StatusView::showActivity(ActivityTracker::Activity activity)
{
    const bool connected = stage->state().connected;
    const QString text = connected ? ActivityTracker::text(activity) : QString();
    if (label->text() != text)
        label->setText(text);
    progress->setVisible(connected && activity != ActivityTracker::Activity::Idle);
}

void StatusView::notify(const QString &message)
{
    noticeArea->show(message, kMessageMs);
    emit noticed(message);
}

void StatusView::refuse(QWidget *field, const QString &message)
{
    notify(message);
    if (refused != field) {
        clearRefusal(refused);
        refused = field;
        refusedToolTip = field->toolTip();
    }
    field->setProperty("refused", true);
    field->setStyleSheet(QStringLiteral("border: 2px solid #e03030;"));
    field->setToolTip(message);
    if (auto *spinBox = qobject_cast<QDoubleSpinBox *>(field)) {
        disconnect(refusedEdit);
        refusedEdit = connect(spinBox, QOverload<double>::of(&QDoubleSpinBox::valueChanged), this,
                              [this, field] { clearRefusal(field); });
    }
}

void StatusView::clearRefusal(QWidget *field)
{
    if (!field || field != refused)
        return;
    disconnect(refusedEdit);
    field->setProperty("refused", false);
    field->setStyleSheet(QString());
    field->setToolTip(refusedToolTip);
    refused = nullptr;
}

EscapeStop::EscapeStop(QAbstractButton *stopButton, QWidget *window)
    : QObject(window), stop(stopButton), key(new QShortcut(QKeySequence(Qt::Key_Escape), window))
{
    key->setObjectName(QStringLiteral("shortcut_Stop"));
    key->setContext(Qt::ApplicationShortcut);
    key->setEnabled(stop->isEnabled());
    connect(key, &QShortcut::activated, this, &EscapeStop::press);
    stop->installEventFilter(this);
}

bool EscapeStop::eventFilter(QObject *watched, QEvent *event)
{
    // Stop becomes disabled also when its window is: it is enabled for Esc only while it could
    // be clicked.
    if (watched == stop && event->type() == QEvent::EnabledChange)
        key->setEnabled(stop->isEnabled());
    return false;
}

void EscapeStop::press()
{
    if (!stop->isEnabled())
        return;
    stop->click();
    // Esc in a dialog still closes it, as it would without the stage to stop.
    if (auto *dialog = qobject_cast<QDialog *>(QApplication::activeWindow()))
        dialog->reject();
}

StateColourGuard::StateColourGuard(QObject *parent) : QObject(parent) {}

void StateColourGuard::watch(QWidget *button)
{
    // A widget never polished takes a new style sheet without telling it.
    button->ensurePolished();
    button->installEventFilter(this);
    apply(button);
}

bool StateColourGuard::isDark(const QPalette &palette)
{
    return palette.color(QPalette::Active, QPalette::Button).lightness() < 128;
}

QString StateColourGuard::darkShade(const QString &styleSheet)
{
    if (styleSheet == QLatin1String("color: red"))
        return QStringLiteral("color: #ff7070");
    if (styleSheet == QLatin1String("color: green"))
        return QStringLiteral("color: #5fd35f");
    if (styleSheet == QLatin1String("color: grey"))
        return QStringLiteral("color: #a8a8a8");
    return QString();
}

bool StateColourGuard::eventFilter(QObject *watched, QEvent *event)
{
    switch (event->type()) {
    case QEvent::StyleChange:
    case QEvent::EnabledChange:
    case QEvent::PaletteChange:
        if (auto *button = qobject_cast<QWidget *>(watched))
            apply(button);
        break;
    default:
        break;
    }
    return false;
}

void StateColourGuard::apply(QWidget *button)
{
    if (applying)
        return;
    applying = true;
    if (isDark(button->palette())) {
        const QString shade = darkShade(button->styleSheet());
        if (!shade.isEmpty())
            button->setStyleSheet(shade);
    }
    // A style sheet colour overrides the disabled look; fading brings it back.
    const bool coloured = !button->styleSheet().isEmpty();
    const bool fade = coloured && !button->isEnabled();
    if (fade && !button->graphicsEffect()) {
        auto *effect = new QGraphicsOpacityEffect(button);
        effect->setOpacity(0.45);
        button->setGraphicsEffect(effect);
    } else if (!fade && button->graphicsEffect()) {
        button->setGraphicsEffect(nullptr);
    }
    applying = false;
}
