#include "closeprompt.h"

#include "activitytracker.h"
#include "stagesession.h"

#include <QMessageBox>
#include <QPushButton>

ClosePrompt::ClosePrompt(StageSession *session, const ActivityTracker *tracker, QWidget *parent)
    : QObject(parent), stage(session), activity(tracker), window(parent)
{
}

QString ClosePrompt::busyWith() const
{
    const PanelState now = stage->state();
    if (!now.connected)
        return QString();
    if (now.motionOwner && now.motionOwner->kind != Mover::Kind::Operator &&
        now.motionOwner->kind != Mover::Kind::Console) {
        QString who = moverName(*now.motionOwner);
        if (!who.isEmpty())
            who[0] = who[0].toUpper();
        return tr("%1 is under way.").arg(who);
    }
    switch (activity->activity()) {
    case ActivityTracker::Activity::Homing:
        return tr("The stage is homing.");
    case ActivityTracker::Activity::Moving:
        return tr("The stage is moving.");
    case ActivityTracker::Activity::Calibrating:
        return tr("The stage is calibrating.");
    case ActivityTracker::Activity::OpenLoopDrive:
        return tr("An open-loop drive is under way.");
    case ActivityTracker::Activity::Idle:
        break;
    }
    return QString();
}

bool ClosePrompt::mayClose()
{
    bool stopFirst = false;
    const QString busy = busyWith();
    if (!busy.isEmpty()) {
        QMessageBox box(QMessageBox::Question, tr("Quit"), busy, QMessageBox::NoButton, window);
        box.setInformativeText(tr("Stop and quit sends Stop to the controller, then closes the "
                                  "panel. Quit closes the panel and leaves the stage as it is."));
        QAbstractButton *stopAndQuit = box.addButton(tr("Stop and quit"), QMessageBox::AcceptRole);
        QAbstractButton *quit = box.addButton(tr("Quit"), QMessageBox::DestructiveRole);
        QPushButton *cancel = box.addButton(QMessageBox::Cancel);
        stopAndQuit->setObjectName(QStringLiteral("pushButton_StopAndQuit"));
        quit->setObjectName(QStringLiteral("pushButton_Quit"));
        cancel->setObjectName(QStringLiteral("pushButton_Cancel"));
        // A reflexive Enter keeps the panel as it is.
        box.setDefaultButton(cancel);
        box.setEscapeButton(cancel);
        box.exec();
        if (box.clickedButton() == stopAndQuit)
            stopFirst = true;
        else if (box.clickedButton() != quit)
            return false;
    }
    if (closeCheck && !closeCheck())
        return false;
    // Only now, with the panel sure to close, does the Stop go out.
    if (stopFirst && stage->state().connected)
        stage->operatorStop();
    return true;
}
