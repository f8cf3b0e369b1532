#pragma once

#include "settling.h"

#include <QJsonObject>
#include <QString>

#include <optional>

// What the Tango device knows of the stage, kept current from the panel's replies and events, and
// the device state and status it follows from. Plain code without Tango, so it is tested alone.
class StageModel {
public:
    enum class State { On, Moving, Disable, Fault, Alarm };

    // The control socket came (true) or went (false).
    void setLinked(bool linked);
    // A "state" result or event of the control socket.
    void applyState(const QJsonObject &state);
    void applyPosition(double positionUm);
    // What the console shows: a stop from anywhere ends the wait for the current target.
    void applyConsole(const QString &text);
    // An error the panel reported ("error" event).
    void applyError(const QString &message);
    // The device itself ordered a stop.
    void stopped();

    State state() const;
    QString status() const;
    // Why a target cannot be written, or nothing when it can.
    std::optional<QString> refuseTarget(double targetUm) const;

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
    QString fault;

private:
    Settling::Tracker tracker;
    bool waitingForTarget = false;
};
