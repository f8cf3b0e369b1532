#include "tracecsv.h"

#include "wholefile.h"

#include <functional>

namespace TraceCsv {

QByteArray field(const QString &text)
{
    QByteArray bytes = text.toUtf8();
    if (!bytes.contains(',') && !bytes.contains('"') && !bytes.contains('\n') &&
        !bytes.contains('\r'))
        return bytes;
    bytes.replace('"', "\"\"");
    return '"' + bytes + '"';
}

QByteArray number(double value, int decimals)
{
    if (!std::isfinite(value))
        return QByteArray();
    // QByteArray::number knows no locale: always ".", never a group separator. Absurd
    // magnitudes (a controller gone wrong) go out in exponent form rather than 300 digits.
    if (std::abs(value) >= 1e15)
        return QByteArray::number(value, 'g', 17);
    QByteArray text = QByteArray::number(value, 'f', decimals);
    if (text.startsWith('-') && text.count('0') == text.size() - 2)
        text.remove(0, 1); // no "-0.000"
    return text;
}

namespace {

QByteArray optionalNumber(const std::optional<double> &value, int decimals)
{
    return value ? number(*value, decimals) : QByteArray();
}

bool save(const QString &path, const std::function<void(QIODevice *)> &write, QString *error)
{
    *error = WholeFile::writeStream(path, [&write](QIODevice *out) {
        write(out);
        return true;
    });
    return error->isEmpty();
}

} // namespace

void writeTrace(QIODevice *out, const RingBuffer<TraceSample> &samples,
                const RingBuffer<TraceEvent> &events)
{
    out->write("time_s,position_um,target_um,source,event\n");
    int e = 0;
    QByteArray row;
    // Keep the writes large: a 360,000-row file in one go would double the memory it takes.
    QByteArray chunk;
    const auto flush = [&] {
        out->write(chunk);
        chunk.clear();
    };
    for (int s = 0; s <= samples.size(); ++s) {
        const double limit = s < samples.size() ? samples.at(s).timeS : qInf();
        while (e < events.size() && events.at(e).timeS <= limit) {
            const TraceEvent &event = events.at(e++);
            chunk += number(event.timeS, 3) + ",,,," + field(event.label()) + '\n';
        }
        if (s < samples.size()) {
            const TraceSample &sample = samples.at(s);
            chunk += number(sample.timeS, 3) + ',' + number(sample.positionUm, 4) + ',' +
                     number(sample.targetUm, 4) + ',' +
                     positionSourceName(sample.source).toLatin1() + ",\n";
        }
        if (chunk.size() > 65536)
            flush();
    }
    flush();
}

void writeMoves(QIODevice *out, const QVector<MoveAnalysis::Result> &moves)
{
    out->write("start_s,from_um,target_um,travel_s,settling_s,overshoot_um,final_error_um,"
               "status\n");
    for (const MoveAnalysis::Result &m : moves) {
        out->write(number(m.startS, 3) + ',' + number(m.fromUm, 4) + ',' + number(m.targetUm, 4) +
                   ',' + optionalNumber(m.travelS, 3) + ',' + optionalNumber(m.settlingS, 3) + ',' +
                   number(m.overshootUm, 4) + ',' + optionalNumber(m.finalErrorUm, 4) + ',' +
                   field(MoveAnalysis::statusText(m.status)) + '\n');
    }
}

bool saveTrace(const QString &path, const RingBuffer<TraceSample> &samples,
               const RingBuffer<TraceEvent> &events, QString *error)
{
    return save(
        path, [&](QIODevice *out) { writeTrace(out, samples, events); }, error);
}

bool saveMoves(const QString &path, const QVector<MoveAnalysis::Result> &moves, QString *error)
{
    return save(
        path, [&](QIODevice *out) { writeMoves(out, moves); }, error);
}

} // namespace TraceCsv
