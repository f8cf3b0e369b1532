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

} // namespace

bool isValidFirmware(const QString &firmware)
{
    return firmware.size() == 4 && firmware.at(0).isDigit() && firmware.at(1) == QLatin1Char('.') &&
           firmware.at(2).isDigit() && firmware.at(3).isDigit();
}

StageController::StageController(const StageConfig &config, qint64 nowMs)
    : cfg(config), replyForm(formFor(config)), clockMs(double(nowMs)), calibrated(config.calibrated)
{
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
    while (active) {
        const double end = arrivalMs(*active);
        if (end > now)
            break;
        pos = active->to;
        const bool report = active->reportArrival;
        active.reset();
        if (report && replyForm != ReplyForm::Model1804)
            lines.append("_tg " + number(pos) + "\r");
        if (returnTarget) {
            const double back = *returnTarget;
            returnTarget.reset();
            startMotion(back, true, false, end);
        }
    }
    if (active)
        pos = positionAt(*active, now);
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
        startMotion(0.0, false, true, now);
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
        startMotion(target, false, true, now);
        return {};
    }
    if (keyword == "fo" || keyword == "re" || keyword == "bi") {
        if (!plain)
            return {kBadArgument};
        if (calibrating)
            return {kBusy};
        const double start = pos;
        const double step = keyword == "re" ? -openLoopStep() : openLoopStep();
        returnTarget.reset();
        startMotion(start + step, true, false, now);
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
    if (replyForm == ReplyForm::Long1901)
        return "_cp " + number(pos) + " um\r";
    return "P " + number(pos) + " um\r";
}

QByteArray StageController::statusLine() const
{
    return calibrated ? QByteArrayLiteral("_status 9\r") : QByteArrayLiteral("_status 1\r");
}

void StageController::startMotion(double target, bool openLoop, bool reportArrival, double now)
{
    active = Motion{pos, clampToTravel(target), now, openLoop, reportArrival};
}

void StageController::halt()
{
    active.reset();
    returnTarget.reset();
}

double StageController::clampToTravel(double um) const
{
    return qBound(minPosition(), um, maxPosition());
}

double StageController::arrivalMs(const Motion &m) const
{
    const double distance = std::abs(m.to - m.from);
    if (distance == 0.0)
        return m.startMs;
    if (!m.openLoop)
        return cfg.speed > 0.0 ? m.startMs + distance / cfg.speed * 1000.0 : kInfinity;
    if (!(cfg.openLoopRate > 0.0))
        return kInfinity;
    // Drive for durationMs, rest for intervalMs, and so on: the stage moves only while driven.
    const double drive = distance / cfg.openLoopRate;
    const double fullCycles = std::ceil(drive / durationMs) - 1.0;
    return m.startMs + fullCycles * (durationMs + intervalMs) + (drive - fullCycles * durationMs);
}

double StageController::positionAt(const Motion &m, double t) const
{
    const double elapsed = qMax(0.0, t - m.startMs);
    const double distance = std::abs(m.to - m.from);
    double travelled;
    if (!m.openLoop) {
        travelled = cfg.speed * elapsed / 1000.0;
    } else {
        const double period = double(durationMs) + intervalMs;
        const double fullCycles = std::floor(elapsed / period);
        const double driven =
            fullCycles * durationMs + qMin(double(durationMs), elapsed - fullCycles * period);
        travelled = cfg.openLoopRate * driven;
    }
    travelled = qBound(0.0, travelled, distance);
    return m.to >= m.from ? m.from + travelled : m.from - travelled;
}

QByteArray StageController::number(double um)
{
    double rounded = std::round(um * 1000.0) / 1000.0;
    if (rounded == 0.0)
        rounded = 0.0; // no "-0.000"
    return QByteArray::number(rounded, 'f', 3);
}

} // namespace dvxsim
