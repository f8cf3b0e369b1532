#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <deque>
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

// An open-loop stage that moves in steps, one per drive cycle of ">fo" and ">re", with the faults
// of a real stick-slip drive. Off, each cycle moves duration x openLoopRate and a new step replaces
// the one under way (the behaviour before this model existed).
struct StepModel {
    bool enabled = false;
    // Size of one cycle's step; a direction without its own takes the other's, and with neither a
    // step is duration x openLoopRate.
    std::optional<double> forwardNm;
    std::optional<double> reverseNm;
    // Standard deviation of one step, in percent of its size; steps are independent.
    double noisePct = 0.0;
    // Cycles that move nothing after the direction turns, as the slack of the drive is taken up.
    double reversalLossSteps = 0.0;
    // After a train of steps ends the stage goes on by this much in the same direction, approaching
    // it as 1 - exp(-t / creepMs).
    double creepNm = 0.0;
    double creepMs = 500.0;
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
    quint32 noiseSeed = 1;    // also seeds the step noise, from a generator of its own
    StepModel steps;
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
    // With the step model: the nominal size of one cycle's step, forward (direction > 0) or
    // reverse, in micrometres.
    double cycleStep(int direction) const;
    // With the step model: trains of steps waiting behind the one under way.
    int queuedTrains() const { return int(stepQueue.size()); }
    // Queued trains beyond this are refused as busy.
    static constexpr int kMaxQueuedTrains = 1000;

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
        // Open loop: micrometres per millisecond of drive, and the drive before the stage moves
        // at all (slack taken up after a reversal).
        double rate = 0.0;
        double idleDriveMs = 0.0;
        bool stepTrain = false; // started from the step queue
    };
    struct StepTrain {
        int direction = 1;
        double cycles = 1.0;
    };
    struct Creep {
        double startMs = 0.0;
        double amountUm = 0.0;
    };

    QList<QByteArray> run(const QByteArray &keyword, const QList<QByteArray> &args, double now);
    void startMotion(double target, bool openLoop, bool reportArrival, double now);
    bool queueSteps(int direction, double cycles);
    void startNextTrain(double now);
    double creepAt(double t) const;
    void creepBetween(double fromMs, double toMs);
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
    // The step model's state: trains waiting, the direction of the last one (0: none since power-up
    // or the last closed-loop move), slack still to take up, creep under way.
    std::deque<StepTrain> stepQueue;
    int lastDirection = 0;
    double slackCyclesLeft = 0.0;
    std::optional<Creep> creep;
    std::mt19937 stepNoise;
};

} // namespace dvxsim
