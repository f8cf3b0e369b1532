#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>
#include <random>

namespace dvxsim {

enum class Model { Dvx1804, Dvx1901 };

// How the controller words its replies: model 1901 with firmware 3.x (and any other version
// but 1.26) uses the long "_cp" position line and a "_status" line the panel reads; firmware
// 1.26 and model 1804 use the short "P" position line.
enum class ReplyForm { Long1901, Short1901, Model1804 };

// How a closed-loop move (and homing) runs: straight to the target at constant speed, or as a
// damped servo that overshoots and rings before it settles.
enum class Dynamics { ConstantSpeed, SecondOrder };

// The servo of a second-order stage: x'' = w^2 (target - x) - 2 zeta w x', w = 2 pi naturalHz.
// Times in seconds, distances in micrometres; e is the position minus the target.
struct SecondOrder {
    double naturalHz = 20.0;
    double damping = 0.5;

    double errorAt(double e0, double v0, double t) const;
    double velocityAt(double e0, double v0, double t) const;
    // The first time after which |error| stays below limit, from an envelope of the response.
    double quietAfter(double e0, double v0, double limit) const;
};

struct StageConfig {
    Model model = Model::Dvx1901;
    QString firmware = QStringLiteral("3.12"); // "X.YZ"
    int offset = 2500;                         // tenths of a micrometre
    double travelRange = 6500.0;               // micrometres
    double speed = 2000.0;                     // micrometres per second, moves and homing
    double calibrationSeconds = 3.0;
    double openLoopRate = 0.1; // micrometres per millisecond of drive
    bool calibrated = false;   // state at power-up
    bool silent = false;       // never answers ">inform"
    Dynamics dynamics = Dynamics::ConstantSpeed;
    SecondOrder servo;
    double noiseNm = 0.0;     // RMS of the noise added to each reported position
    double driftNmPerS = 0.0; // creep while no closed-loop move holds the stage
    quint32 noiseSeed = 1;
};

// The firmware texts the simulator accepts: one digit, ".", two digits.
bool isValidFirmware(const QString &firmware);

// A single-axis stage controller. It does no I/O and reads no clock: every call carries the
// time in milliseconds, which must never go backwards, so a test can step time at will.
class StageController {
public:
    explicit StageController(const StageConfig &config = StageConfig(), qint64 nowMs = 0);

    // Runs one command as cut by CommandParser (">" included) and returns the reply lines, each
    // ending in "\r". Lines that motion produced up to nowMs come first.
    QList<QByteArray> execute(const QByteArray &command, qint64 nowMs);
    // Moves the clock on and returns the lines produced meanwhile: "_tg" when a move or homing
    // arrives (model 1901), "_status 9" when a calibration completes.
    QList<QByteArray> advance(qint64 nowMs);

    ReplyForm form() const { return replyForm; }
    double position() const { return pos; } // micrometres, as of the last call
    double minPosition() const;
    double maxPosition() const;
    bool isMoving() const { return active.has_value(); }
    bool isCalibrating() const { return calibrating; }
    bool isCalibrated() const { return calibrated; }
    int duration() const { return durationMs; }
    int interval() const { return intervalMs; }
    int cycles() const { return cycleCount; }
    // Size of one ">fo" or ">re" step in micrometres, before clamping to the travel.
    double openLoopStep() const;
    // Time one open-loop step takes when nothing stops it.
    double openLoopStepMs() const;

    QByteArray identificationLine() const;
    QByteArray offsetLine() const;
    QByteArray positionLine() const;
    QByteArray statusLine() const;

private:
    struct Motion {
        double from = 0.0;
        double to = 0.0;
        double startMs = 0.0;
        bool openLoop = false;
        bool reportArrival = false;
        double startVelocity = 0.0; // micrometres per second, second-order moves only
    };

    QList<QByteArray> run(const QByteArray &keyword, const QList<QByteArray> &args, double now);
    void startMotion(double target, bool openLoop, bool reportArrival, double now);
    void halt();
    double clampToTravel(double um) const;
    double arrivalMs(const Motion &m) const;
    double positionAt(const Motion &m, double t) const;
    double velocityAt(const Motion &m, double t) const;
    bool servoMove(const Motion &m) const;
    void drift(double fromMs, double toMs);
    static QByteArray number(double um);

    StageConfig cfg;
    ReplyForm replyForm;
    double clockMs;
    double pos = 0.0;
    std::optional<Motion> active;
    std::optional<double> returnTarget; // second half of ">bi"
    bool calibrated;
    bool calibrating = false;
    double calibrationDoneMs = 0.0;
    int durationMs = 100;
    int intervalMs = 500;
    int cycleCount = 1;
    // Set by a closed-loop move or homing, cleared by an open-loop step: only a free stage drifts.
    bool holding = false;
    mutable std::mt19937 noise;
};

} // namespace dvxsim
