// Feeds arbitrary bytes to what the Tango device reads: events and state replies of the control
// socket into its model of the stage, and the text of Tango's event properties into its change
// filter. Checks that the state, status and quality stay coherent, that targets inside the travel
// are never refused, and that a sample offered twice is never news the second time.
//
// Each line is one step. "c ABS|REL|PERIOD|VALUE" offers a sample under those properties; "u",
// "l", "s" and "a" unlink, link, stop and accept; "r..." is a state reply and anything else an
// event, both built from the bytes as pairs of a key and a typed value (the JSON text itself is
// Qt's, fuzzed with the control socket).

#include "attributeconventions.h"
#include "stagemodel.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void require(bool condition, const char *what)
{
    if (condition)
        return;
    std::fprintf(stderr, "fuzz_tangomodel: broken: %s\n", what);
    std::abort();
}

// The keys the model reads, and words it tells apart, so that most pairs mean something.
const char *const kKeys[] = {"event",     "connected", "homed",    "calibrating", "calibration",
                             "loop",      "model",     "firmware", "port",        "position_um",
                             "target_um", "travel_um", "um",       "text",        "message",
                             "source",    "t"};
const char *const kWords[] = {"position", "state",   "console", "error", "controller", "link",
                              "panel",    ">stop\r", "closed",  "open",  "",           "1901"};

QJsonValue valueFrom(const QByteArray &bytes, int &i)
{
    const auto next = [&]() -> uchar { return i < bytes.size() ? uchar(bytes.at(i++)) : 0; };
    const auto number = [&] {
        double value = 0.0;
        char raw[sizeof value] = {};
        for (char &c : raw)
            c = char(next());
        std::memcpy(&value, raw, sizeof value);
        return value;
    };
    switch (next() % 7) {
    case 0:
        return bool(next() & 1);
    case 1:
        return number();
    case 2:
        return double(qint16(next() << 8 | next())); // a plain number in the travel's range
    case 3:
        return QString::fromLatin1(kWords[next() % (sizeof kWords / sizeof *kWords)]);
    case 4: {
        const int length = next() % 16;
        const QByteArray text = bytes.mid(i, length);
        i += length;
        return QString::fromUtf8(text);
    }
    case 5: {
        QJsonArray array;
        for (int n = next() % 4; n > 0; --n)
            array.append(double(qint16(next() << 8 | next())));
        return array;
    }
    default:
        return QJsonValue::Null;
    }
}

QJsonObject objectFrom(const QByteArray &bytes)
{
    QJsonObject object;
    int i = 0;
    while (i < bytes.size()) {
        const char *key = kKeys[uchar(bytes.at(i++)) % (sizeof kKeys / sizeof *kKeys)];
        object.insert(QString::fromLatin1(key), valueFrom(bytes, i));
    }
    return object;
}

void checkModel(const StageModel &model)
{
    const StageModel::State state = model.state();
    require(QByteArray(StageModel::stateName(state)) != "", "every state has a name");
    require(!model.status().isEmpty(), "the status says something");
    require(!AttributeConventions::statusText(model.status()).empty(), "a status reaches Tango");
    const bool invalid = model.positionQuality() == StageModel::Quality::Invalid;
    require(invalid == (!model.linked || !model.connected || !model.positionUm),
            "a position is invalid exactly when there is none to trust");
    if (const auto travel = model.travel()) {
        require(travel->first <= travel->second, "the travel's ends are in order");
        require(!model.refuseTarget((travel->first + travel->second) / 2),
                "a target inside the travel is allowed");
        require(!model.refuseTarget(travel->first) && !model.refuseTarget(travel->second),
                "the ends of the travel are allowed");
    }
    require(model.refuseTarget(std::nan("")).has_value(), "NaN is never a target");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), int(size));
    StageModel model;
    model.setLinked(true);
    AttributeConventions::EventGate gate;
    qint64 now = 0;
    for (const QByteArray &line : input.split('\n')) {
        if (line.startsWith("c ")) {
            const QList<QByteArray> parts = line.mid(2).split('|');
            if (parts.size() != 4)
                continue;
            AttributeConventions::Criteria criteria;
            criteria.absolute = AttributeConventions::Threshold::parse(QString::fromUtf8(parts[0]));
            criteria.relative = AttributeConventions::Threshold::parse(QString::fromUtf8(parts[1]));
            criteria.periodMs = AttributeConventions::parsePeriodMs(QString::fromUtf8(parts[2]));
            for (const auto &threshold : {criteria.absolute, criteria.relative}) {
                require(!threshold.down || (std::isfinite(*threshold.down) && *threshold.down < 0),
                        "a downward threshold is negative");
                require(!threshold.up || (std::isfinite(*threshold.up) && *threshold.up > 0),
                        "an upward threshold is positive");
            }
            require(!criteria.periodMs || *criteria.periodMs > 0, "a period is positive");
            bool ok = false;
            const double value = parts[3].toDouble(&ok);
            const std::optional<double> sample =
                ok && std::isfinite(value) ? std::optional<double>(value) : std::nullopt;
            const auto quality = sample ? model.positionQuality() : StageModel::Quality::Invalid;
            gate.offer(sample, quality, now, criteria);
            require(!gate.offer(sample, quality, now, criteria),
                    "the same sample at the same moment is no news");
            now += 100;
            continue;
        }
        if (line == "u") {
            model.setLinked(false);
        } else if (line == "l") {
            model.setLinked(true);
        } else if (line == "s") {
            model.stopped();
        } else if (line == "a") {
            model.commandAccepted();
        } else if (line.startsWith('r')) {
            model.applyState(objectFrom(line.mid(1)));
        } else {
            model.applyEvent(objectFrom(line));
        }
        checkModel(model);
    }
    return 0;
}
