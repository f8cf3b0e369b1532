#pragma once

#include "settling.h"

#include <QJsonObject>
#include <QString>

#include <optional>
#include <utility>

// What the Tango device knows of the stage, kept current from the panel's replies and events, and
// the device state, status and attribute quality it follows from. Plain code without Tango, so it
// is tested alone.
//
// The states are the ones generic motor clients read: ON ready, MOVING while a move, homing or
// calibration runs, ALARM at an end of the travel, FAULT for a lost link or a controller's
// refusal, UNKNOWN while the panel cannot be reached, DISABLE while nothing is connected or the
// stage is not homed.
class StageModel {
public:
    enum class State { On, Moving, Alarm, Fault, Unknown, Disable };
    // The quality Position is read and pushed with: Tango's VALID, CHANGING and INVALID.
    enum class Quality { Valid, Changing, Invalid };
    // Where an error the panel reported came from: an "_err" reply of the controller, a lost or
    // failed serial link, anything else of the panel's, or an older panel that does not say.
    enum class ErrorSource { Controller, Link, Panel, Unstated };

    static ErrorSource errorSource(const QJsonObject &errorEvent);
    static const char *stateName(State state);

    // An event line of the control socket: "position", "state", "console" or "error". Returns
    // false for any other, which changes nothing.
    bool applyEvent(const QJsonObject &event);
    // The control socket came (true) or went (false). Whatever was known of faults is forgotten:
    // the state is read afresh after every new link.
    void setLinked(bool linked);
    // A "state" result, or (event) a "state" event. An event that repeats the last state
    // announces a move to the current target again.
    void applyState(const QJsonObject &state, bool event = false);
    void applyPosition(double positionUm);
    // What the console shows: a stop from anywhere ends the wait for the current target.
    void applyConsole(const QString &text);
    // An error the panel reported ("error" event).
    void applyError(const QString &message, ErrorSource source);
    // The panel accepted a command of the device's own: an earlier refusal is past.
    void commandAccepted();
    // The device itself ordered a stop.
    void stopped();

    State state() const;
    QString status() const;
    Quality positionQuality() const;
    // The travel a client may write within, while a controller is connected.
    std::optional<std::pair<double, double>> travel() const;
    // Why a target cannot be written, or nothing when it can.
    std::optional<QString> refuseTarget(double targetUm) const;

    // Named in the status while the panel cannot be reached.
    QString socketPath;

    bool linked = false;
    bool connected = false;
    bool homed = false;
    bool calibrating = false;
    QString calibration;
    QString loop;
    QString model;
    QString firmware;
    QString port;
    std::optional<double> positionUm;
    std::optional<double> targetUm;
    double travelMinUm = 0.0;
    double travelMaxUm = 0.0;

private:
    void startTracking(double targetUm);
    bool atLowerEnd() const;
    bool atUpperEnd() const;

    Settling::Tracker tracker;
    bool waitingForTarget = false;
    // The last state seen, without its position, to recognise a repeated announcement.
    QJsonObject lastState;
    std::optional<double> lastMoveCount;
    bool firstSinceLink = false;
    // A lost or failed serial link (or an older panel's error): shown while nothing is connected.
    QString linkFault;
    // The controller's "_err" reply: shown until the next move, stop, calibration or connection.
    QString controllerFault;
};
