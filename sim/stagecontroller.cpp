#include "stagecontroller.h"

#include <cmath>
#include <limits>

namespace dvxsim {

namespace {

const QByteArray kOk = QByteArrayLiteral("ok\r");
const QByteArray kBadArgument = QByteArrayLiteral("_err bad argument\r");
const QByteArray kBusy = QByteArrayLiteral("_err busy\r");
const QByteArray kUnknown = QByteArrayLiteral("_err unknown command\r");

constexpr double kInfinity = std::numeric_limits<double>::infinity();

ReplyForm formFor(const StageConfig &config)
{
    if (config.model == Model::Dvx1804)
        return ReplyForm::Model1804;
    return config.firmware == QLatin1String("1.26") ? ReplyForm::Short1901 : ReplyForm::Long1901;
}

std::optional<double> parseNumber(const QList<QByteArray> &args)
{
    if (args.size() != 1)
        return std::nullopt;
    bool ok = false;
    const double value = args.first().toDouble(&ok);
    if (!ok || !std::isfinite(value))
        return std::nullopt;
    return value;
}

std::optional<int> parseInteger(const QList<QByteArray> &args, int min, int max)
{
    if (args.size() != 1)
        return std::nullopt;
    bool ok = false;
    const qlonglong value = args.first().toLongLong(&ok, 10);
    if (!ok || value < min || value > max)
        return std::nullopt;
    return int(value);
}

// Below this the reported position (three decimals) no longer changes.
constexpr double kQuietUm = 0.0005;
constexpr double kPi = 3.14159265358979323846;

} // namespace

double SecondOrder::errorAt(double e0, double v0, double t) const
{
    const double w = 2.0 * kPi * naturalHz;
    const double z = damping;
    if (z < 1.0 - 1e-9) {
        const double wd = w * std::sqrt(1.0 - z * z);
        return std::exp(-z * w * t) *
               (e0 * std::cos(wd * t) + (v0 + z * w * e0) / wd * std::sin(wd * t));
    }
    if (z <= 1.0 + 1e-9)
        return std::exp(-w * t) * (e0 + (v0 + w * e0) * t);
    const double root = w * std::sqrt(z * z - 1.0);
    const double r1 = -z * w + root;
    const double r2 = -z * w - root;
    const double a = (v0 - r2 * e0) / (r1 - r2);
    return a * std::exp(r1 * t) + (e0 - a) * std::exp(r2 * t);
}

double SecondOrder::velocityAt(double e0, double v0, double t) const
{
    const double w = 2.0 * kPi * naturalHz;
    const double z = damping;
    if (z < 1.0 - 1e-9) {
        const double wd = w * std::sqrt(1.0 - z * z);
        const double b = (v0 + z * w * e0) / wd;
        const double c = std::cos(wd * t);
        const double s = std::sin(wd * t);
        return std::exp(-z * w * t) * (-z * w * (e0 * c + b * s) + wd * (b * c - e0 * s));
    }
    if (z <= 1.0 + 1e-9) {
        const double c = v0 + w * e0;
        return std::exp(-w * t) * (c - w * (e0 + c * t));
    }
    const double root = w * std::sqrt(z * z - 1.0);
    const double r1 = -z * w + root;
    const double r2 = -z * w - root;
    const double a = (v0 - r2 * e0) / (r1 - r2);
    return a * r1 * std::exp(r1 * t) + (e0 - a) * r2 * std::exp(r2 * t);
}

double SecondOrder::quietAfter(double e0, double v0, double limit) const
{
    const double w = 2.0 * kPi * naturalHz;
    const double z = damping;
    // |e(t)| <= scale * exp(-decay * t) for every t.
    double scale;
    double decay;
    if (z < 1.0 - 1e-9) {
        const double wd = w * std::sqrt(1.0 - z * z);
        const double b = (v0 + z * w * e0) / wd;
        scale = std::sqrt(e0 * e0 + b * b);
        decay = z * w;
    } else if (z <= 1.0 + 1e-9) {
        // t exp(-w t / 2) never exceeds 2 / (e w).
        scale = std::abs(e0) + std::abs(v0 + w * e0) * 2.0 / (std::exp(1.0) * w);
        decay = w / 2.0;
    } else {
        const double root = w * std::sqrt(z * z - 1.0);
        const double r1 = -z * w + root;
        const double r2 = -z * w - root;
        const double a = (v0 - r2 * e0) / (r1 - r2);
        scale = std::abs(a) + std::abs(e0 - a);
        decay = -r1;
    }
    if (scale <= limit)
        return 0.0;
    return std::log(scale / limit) / decay;
}

bool isValidFirmware(const QString &firmware)
{
    return firmware.size() == 4 && firmware.at(0).isDigit() && firmware.at(1) == QLatin1Char('.') &&
           firmware.at(2).isDigit() && firmware.at(3).isDigit();
}

StageController::StageController(const StageConfig &config, qint64 nowMs)
    : cfg(config), replyForm(formFor(config)), clockMs(double(nowMs)),
      calibrated(config.calibrated), noise(config.noiseSeed)
{
    // Apart from the readout noise, so how often the position is asked for leaves the steps alone.
    std::seed_seq stepSeed{config.noiseSeed, 0x57e9u};
    stepNoise.seed(stepSeed);
}

QList<QByteArray> StageController::execute(const QByteArray &command, qint64 nowMs)
{
    QList<QByteArray> replies = advance(nowMs);
    const QByteArray body = command.startsWith('>') ? command.mid(1) : command;
    QList<QByteArray> words = body.simplified().split(' ');
    const QByteArray keyword = words.takeFirst();
    replies += run(keyword, words, clockMs);
    // A move to where the stage already is, or a calibration of zero length, ends at once.
    replies += advance(nowMs);
    return replies;
}

QList<QByteArray> StageController::advance(qint64 nowMs)
{
    QList<QByteArray> lines;
    const double now = qMax(double(nowMs), clockMs);
    double restingSince = clockMs;
    while (active) {
        const double end = arrivalMs(*active);
        if (end > now)
            break;
        pos = active->to;
        restingSince = end;
        const bool report = active->reportArrival;
        const bool stepTrain = active->stepTrain;
        active.reset();
        if (report && replyForm != ReplyForm::Model1804)
            lines.append("_tg " + number(pos) + "\r");
        if (returnTarget) {
            const double back = *returnTarget;
            returnTarget.reset();
            startMotion(back, true, false, end);
        } else if (!stepQueue.empty()) {
            startNextTrain(end);
        } else if (stepTrain && cfg.steps.creepNm != 0.0) {
            creep = Creep{end, lastDirection * cfg.steps.creepNm / 1000.0};
        }
    }
    if (active) {
        pos = positionAt(*active, now);
    } else {
        drift(restingSince, now);
        creepBetween(restingSince, now);
    }
    if (calibrating && calibrationDoneMs <= now) {
        calibrating = false;
        calibrated = true;
        // Unasked: the panel asks for the status only right after ">auto", long before the end.
        lines.append(statusLine());
    }
    clockMs = now;
    return lines;
}

QList<QByteArray> StageController::run(const QByteArray &keyword, const QList<QByteArray> &args,
                                       double now)
{
    const bool plain = args.isEmpty();

    if (keyword == "inform") {
        if (!plain)
            return {kBadArgument};
        if (cfg.silent)
            return {};
        if (cfg.model == Model::Dvx1804)
            return {identificationLine()};
        return {identificationLine(), offsetLine()};
    }
    if (keyword == "status")
        return {plain ? statusLine() : kBadArgument};
    if (keyword == "cp")
        return {plain ? positionLine() : kBadArgument};
    if (keyword == "stop") {
        if (!plain)
            return {kBadArgument};
        halt();
        calibrating = false;
        return {kOk};
    }
    if (keyword == "home") {
        if (!plain)
            return {kBadArgument};
        if (calibrating)
            return {kBusy};
        returnTarget.reset();
        stepQueue.clear();
        startMotion(0.0, false, true, now);
        holding = true;
        lastDirection = 0;
        slackCyclesLeft = 0.0;
        return {kOk};
    }
    if (keyword == "ma" || keyword == "mr") {
        const std::optional<double> tenths = parseNumber(args);
        if (!tenths)
            return {kBadArgument};
        if (calibrating)
            return {kBusy};
        const double um = *tenths / 10.0;
        double target = um;
        if (keyword == "mr") {
            // Steps given while a move is under way add up from its target, as an operator
            // pressing "+" three times expects three steps.
            target += (active && !active->openLoop) ? active->to : pos;
        }
        returnTarget.reset();
        stepQueue.clear();
        startMotion(target, false, true, now);
        holding = true;
        // The servo leaves the drive's slack taken up; the next step loses nothing.
        lastDirection = 0;
        slackCyclesLeft = 0.0;
        return {};
    }
    if (keyword == "fo" || keyword == "re" || keyword == "bi") {
        if (!plain)
            return {kBadArgument};
        if (calibrating)
            return {kBusy};
        if (cfg.steps.enabled) {
            // Steps given while a train is under way queue behind it, as every press counts.
            const std::deque<StepTrain> before = stepQueue;
            const bool queued = keyword == "bi"
                                    ? queueSteps(1, cycleCount) && queueSteps(-1, cycleCount)
                                    : queueSteps(keyword == "re" ? -1 : 1, cycleCount);
            if (!queued) {
                stepQueue = before;
                return {kBusy};
            }
            holding = false;
            if (!active || !active->stepTrain) {
                returnTarget.reset();
                startNextTrain(now);
            }
            return {kOk};
        }
        const double start = pos;
        const double step = keyword == "re" ? -openLoopStep() : openLoopStep();
        returnTarget.reset();
        startMotion(start + step, true, false, now);
        holding = false;
        if (keyword == "bi")
            returnTarget = start;
        return {kOk};
    }
    if (keyword == "auto") {
        if (!plain)
            return {kBadArgument};
        halt();
        calibrating = true;
        calibrated = false;
        calibrationDoneMs = now + qMax(0.0, cfg.calibrationSeconds) * 1000.0;
        return {kOk};
    }
    if (keyword == "duration" || keyword == "interval" || keyword == "cycle") {
        const int min = keyword == "interval" ? 0 : 1;
        const int max = keyword == "cycle" ? 1000000000 : 100000;
        const std::optional<int> value = parseInteger(args, min, max);
        if (!value)
            return {kBadArgument};
        if (keyword == "duration")
            durationMs = *value;
        else if (keyword == "interval")
            intervalMs = *value;
        else
            cycleCount = *value;
        return {kOk};
    }
    return {kUnknown};
}

double StageController::minPosition() const
{
    return -cfg.offset * 0.1;
}

double StageController::maxPosition() const
{
    return cfg.travelRange - cfg.offset * 0.1;
}

double StageController::openLoopStep() const
{
    return double(cycleCount) * durationMs * cfg.openLoopRate;
}

double StageController::openLoopStepMs() const
{
    return double(cycleCount) * durationMs + double(cycleCount - 1) * intervalMs;
}

double StageController::cycleStep(int direction) const
{
    const std::optional<double> own = direction > 0 ? cfg.steps.forwardNm : cfg.steps.reverseNm;
    const std::optional<double> other = direction > 0 ? cfg.steps.reverseNm : cfg.steps.forwardNm;
    if (own)
        return *own / 1000.0;
    if (other)
        return *other / 1000.0;
    return durationMs * cfg.openLoopRate;
}

bool StageController::queueSteps(int direction, double cycles)
{
    if (!stepQueue.empty() && stepQueue.back().direction == direction) {
        stepQueue.back().cycles += cycles;
        return true;
    }
    if (int(stepQueue.size()) >= kMaxQueuedTrains)
        return false;
    stepQueue.push_back(StepTrain{direction, cycles});
    return true;
}

void StageController::startNextTrain(double now)
{
    const StepTrain train = stepQueue.front();
    stepQueue.pop_front();
    if (lastDirection != 0 && lastDirection != train.direction)
        slackCyclesLeft = cfg.steps.reversalLossSteps;
    lastDirection = train.direction;
    const double idleCycles = qMin(train.cycles, slackCyclesLeft);
    slackCyclesLeft -= idleCycles;
    const double movingCycles = train.cycles - idleCycles;

    // The sum of independent steps: its spread grows with the square root of their number.
    const double step = cycleStep(train.direction);
    double distance = step * movingCycles;
    const double spread = cfg.steps.noisePct / 100.0 * step * std::sqrt(movingCycles);
    if (spread > 0.0)
        distance += std::normal_distribution<double>(0.0, spread)(stepNoise);
    distance = qMax(0.0, distance);

    startMotion(pos + train.direction * distance, true, false, now);
    // The stage moves evenly while driven, so the train ends with its last cycle.
    active->idleDriveMs = idleCycles * durationMs;
    if (movingCycles > 0.0 && distance > 0.0)
        active->rate = distance / (movingCycles * durationMs);
    active->stepTrain = true;
}

double StageController::creepAt(double t) const
{
    if (!creep || t <= creep->startMs)
        return 0.0;
    if (!(cfg.steps.creepMs > 0.0))
        return creep->amountUm;
    return creep->amountUm * (1.0 - std::exp(-(t - creep->startMs) / cfg.steps.creepMs));
}

void StageController::creepBetween(double fromMs, double toMs)
{
    if (!creep || toMs <= fromMs)
        return;
    pos = clampToTravel(pos + creepAt(toMs) - creepAt(fromMs));
}

QByteArray StageController::identificationLine() const
{
    QByteArray digits;
    for (const QChar c : cfg.firmware) {
        if (c.isDigit())
            digits.append(char(c.unicode()));
    }
    digits = digits.leftJustified(3, '0', true);
    if (cfg.model == Model::Dvx1804)
        return "VELDMARK Ver " + digits + " DVX1804\r";
    return "_Ver " + digits + " DVX1901 stage controller\r";
}

QByteArray StageController::offsetLine() const
{
    return "_offset " + QByteArray::number(cfg.offset) + "\r";
}

QByteArray StageController::positionLine() const
{
    double reported = pos;
    if (cfg.noiseNm > 0.0)
        reported += std::normal_distribution<double>(0.0, cfg.noiseNm / 1000.0)(noise);
    if (replyForm == ReplyForm::Long1901)
        return "_cp " + number(reported) + " um\r";
    return "P " + number(reported) + " um\r";
}

QByteArray StageController::statusLine() const
{
    return calibrated ? QByteArrayLiteral("_status 9\r") : QByteArrayLiteral("_status 1\r");
}

void StageController::startMotion(double target, bool openLoop, bool reportArrival, double now)
{
    // A servo move that replaces one under way keeps the stage's momentum.
    const double velocity = active && !openLoop ? velocityAt(*active, now) : 0.0;
    active = Motion{pos, clampToTravel(target), now, openLoop, reportArrival, velocity};
    active->rate = cfg.openLoopRate;
    creep.reset();
}

bool StageController::servoMove(const Motion &m) const
{
    return !m.openLoop && cfg.dynamics == Dynamics::SecondOrder;
}

void StageController::drift(double fromMs, double toMs)
{
    if (holding || cfg.driftNmPerS == 0.0 || toMs <= fromMs)
        return;
    pos = clampToTravel(pos + cfg.driftNmPerS / 1000.0 * (toMs - fromMs) / 1000.0);
}

void StageController::halt()
{
    active.reset();
    returnTarget.reset();
    stepQueue.clear();
    creep.reset();
}

double StageController::clampToTravel(double um) const
{
    return qBound(minPosition(), um, maxPosition());
}

double StageController::arrivalMs(const Motion &m) const
{
    const double distance = std::abs(m.to - m.from);
    if (servoMove(m))
        return m.startMs + cfg.servo.quietAfter(m.from - m.to, m.startVelocity, kQuietUm) * 1000.0;
    if (distance == 0.0 && m.idleDriveMs == 0.0)
        return m.startMs;
    if (!m.openLoop)
        return cfg.speed > 0.0 ? m.startMs + distance / cfg.speed * 1000.0 : kInfinity;
    if (distance > 0.0 && !(m.rate > 0.0))
        return kInfinity;
    // Drive for durationMs, rest for intervalMs, and so on: the stage moves only while driven.
    const double drive = m.idleDriveMs + (distance > 0.0 ? distance / m.rate : 0.0);
    // A drive a rounding error past a whole number of cycles ends with that cycle, not an
    // interval later.
    const double fullCycles = std::ceil(drive / durationMs * (1.0 - 1e-12)) - 1.0;
    return m.startMs + fullCycles * (durationMs + intervalMs) + (drive - fullCycles * durationMs);
}

double StageController::positionAt(const Motion &m, double t) const
{
    const double elapsed = qMax(0.0, t - m.startMs);
    if (servoMove(m))
        return m.to + cfg.servo.errorAt(m.from - m.to, m.startVelocity, elapsed / 1000.0);
    const double distance = std::abs(m.to - m.from);
    double travelled;
    if (!m.openLoop) {
        travelled = cfg.speed * elapsed / 1000.0;
    } else {
        const double period = double(durationMs) + intervalMs;
        const double fullCycles = std::floor(elapsed / period);
        const double driven =
            fullCycles * durationMs + qMin(double(durationMs), elapsed - fullCycles * period);
        travelled = m.rate * qMax(0.0, driven - m.idleDriveMs);
    }
    travelled = qBound(0.0, travelled, distance);
    return m.to >= m.from ? m.from + travelled : m.from - travelled;
}

double StageController::velocityAt(const Motion &m, double t) const
{
    const double elapsed = qMax(0.0, t - m.startMs);
    if (servoMove(m))
        return cfg.servo.velocityAt(m.from - m.to, m.startVelocity, elapsed / 1000.0);
    if (m.openLoop || t >= arrivalMs(m))
        return 0.0;
    return m.to >= m.from ? cfg.speed : -cfg.speed;
}

QByteArray StageController::number(double um)
{
    double rounded = std::round(um * 1000.0) / 1000.0;
    if (rounded == 0.0)
        rounded = 0.0; // no "-0.000"
    return QByteArray::number(rounded, 'f', 3);
}

} // namespace dvxsim
