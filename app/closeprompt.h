#pragma once

#include <QObject>
#include <QString>

#include <functional>

class ActivityTracker;
class QWidget;
class StageSession;

// What closing the panel asks first: with the stage busy, whether to stop it, quit leaving it
// as it is, or stay; then whatever else may keep the panel open (unsaved edits).
class ClosePrompt : public QObject {
    Q_OBJECT

public:
    ClosePrompt(StageSession *session, const ActivityTracker *activity, QWidget *window);

    // Asked after the question about a busy stage: false keeps the panel open.
    void setCloseCheck(std::function<bool()> check) { closeCheck = std::move(check); }
    // What closing would leave running: empty when the stage is at rest.
    QString busyWith() const;
    // Asks what is to be asked; true when the panel may close. A chosen Stop goes out only then.
    bool mayClose();

private:
    StageSession *stage;
    const ActivityTracker *activity;
    QWidget *window;
    std::function<bool()> closeCheck;
};
