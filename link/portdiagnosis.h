#pragma once

#include <QSerialPort>
#include <QString>

// Why a port could not be used, told the way an operator can act on it. The probes look at the
// device file and the processes holding it; nothing here shows a widget.
namespace PortDiagnosis {

enum class Cause {
    NoPortChosen,
    PermissionDenied,
    NoSuchFile,
    InUse,
    NotSerial,
    NoAnswer,
    Removed,
    Other,
};

struct Finding {
    Cause cause = Cause::Other;
    // The informative text of the error box: the port, the cause, the remedy.
    QString text;
};

// The device file a port name stands for: "ttyUSB0" is "/dev/ttyUSB0"; a path stays as it is.
QString systemLocation(const QString &portName);

// After QSerialPort::open failed with error and errorString. The texts name the device file.
Finding openFailure(const QString &portName, QSerialPort::SerialPortError error,
                    const QString &errorString);

// The port opened but nothing identified itself within waitedMs.
Finding noAnswer(const QString &portName, int waitedMs);

// An open port failed for good (unplugged, powered off, driver gone).
Finding lost(const QString &portName);

// Programs other than this one that hold the device open or hold its lock, as "name (process
// N)"; empty when none is found or the system does not tell.
QStringList holders(const QString &location);

} // namespace PortDiagnosis
