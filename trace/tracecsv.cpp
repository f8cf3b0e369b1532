#include "tracecsv.h"

#include "utctext.h"
#include "wholefile.h"

#include <QStringList>

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
    if (text.startsWith('-') && text.count('0') + text.count('.') == text.size() - 1)
        text.remove(0, 1); // no "-0.000" nor "-0"
    return text;
}

namespace {

QByteArray optionalNumber(const std::optional<double> &value, int decimals)
{
    return value ? number(*value, decimals) : QByteArray();
}

QByteArray optionalMilliseconds(const std::optional<double> &seconds)
{
    return seconds ? number(*seconds * 1000.0, 0) : QByteArray();
}

bool save(const QString &path, const std::function<void(QIODevice *)> &write, QString *error)
{
    *error = WholeFile::writeStream(path, [&write](QIODevice *out) {
        write(out);
        return true;
    });
    return error->isEmpty();
}

const TraceSegment *segmentNumbered(const std::deque<TraceSegment> &segments, int number)
{
    if (segments.empty())
        return nullptr;
    const qint64 index = qint64(number) - segments.front().number;
    return index >= 0 && index < qint64(segments.size()) ? &segments[size_t(index)] : nullptr;
}

// "12.345,2026-12-07T14:03:22.123Z,2": seconds since the segment's start, the UTC time and the
// segment, for a time on the recording's clock.
void appendTimes(QByteArray &row, double timeS, int segmentNumber,
                 const std::deque<TraceSegment> &segments)
{
    const TraceSegment *segment = segmentNumbered(segments, segmentNumber);
    row += number(segment ? timeS - segment->startS : timeS, 3);
    row += ',';
    if (segment)
        appendUtcText(row, segment->utcMsAt(timeS));
    row += ',';
    row += QByteArray::number(segmentNumber);
}

QString segmentSummary(const TraceSegment &segment)
{
    const PanelState &link = segment.link;
    QStringList parts{isoUtc(segment.startUtcMs)};
    parts << (link.chosenPort.isEmpty() ? link.port : link.chosenPort);
    if (!link.model.isEmpty())
        parts << QStringLiteral("DVX") + link.model + QLatin1Char(' ') + link.firmware;
    return parts.join(QStringLiteral(", "));
}

} // namespace

Provenance provenance(const PanelState &now, const std::deque<TraceSegment> &segments)
{
    if (segments.empty())
        return Provenance::of(now);
    const TraceSegment &newest = segments.back();
    Provenance p = Provenance::of(newest.link);
    p.segmentStartUtcMs = newest.startUtcMs;
    p.extra.append({QStringLiteral("segments"), QString::number(segments.size())});
    if (segments.size() > 1) {
        for (const TraceSegment &segment : segments)
            p.extra.append(
                {QStringLiteral("segment_%1").arg(segment.number), segmentSummary(segment)});
    }
    return p;
}

void writeTrace(QIODevice *out, const QByteArray &header, const RingBuffer<TraceSample> &samples,
                const RingBuffer<TraceEvent> &events, const std::deque<TraceSegment> &segments)
{
    out->write(header);
    out->write("time_s,time_utc,segment,position_um,target_um,source,event\n");
    int e = 0;
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
            appendTimes(chunk, event.timeS, event.segment, segments);
            chunk += ",,,," + field(event.label()) + '\n';
        }
        if (s < samples.size()) {
            const TraceSample &sample = samples.at(s);
            appendTimes(chunk, sample.timeS, sample.segment, segments);
            chunk += ',' + number(sample.positionUm, 4) + ',' + number(sample.targetUm, 4) + ',' +
                     positionSourceName(sample.source).toLatin1() + ",\n";
        }
        if (chunk.size() > 65536)
            flush();
    }
    flush();
}

void writeMoves(QIODevice *out, const QByteArray &header,
                const QVector<MoveAnalysis::Result> &moves,
                const std::deque<TraceSegment> &segments)
{
    out->write(header);
    out->write("start_s,start_utc,segment,from_um,target_um,travel_ms,settling_ms,overshoot_um,"
               "final_error_um,status\n");
    for (const MoveAnalysis::Result &m : moves) {
        QByteArray row;
        appendTimes(row, m.startS, m.segment, segments);
        row += ',' + number(m.fromUm, 4) + ',' + number(m.targetUm, 4) + ',' +
               optionalMilliseconds(m.travelS) + ',' + optionalMilliseconds(m.settlingS) + ',' +
               number(m.overshootUm, 4) + ',' + optionalNumber(m.finalErrorUm, 4) + ',' +
               field(MoveAnalysis::statusText(m.status)) + '\n';
        out->write(row);
    }
}

bool saveTrace(const QString &path, const QByteArray &header,
               const RingBuffer<TraceSample> &samples, const RingBuffer<TraceEvent> &events,
               const std::deque<TraceSegment> &segments, QString *error)
{
    return save(
        path, [&](QIODevice *out) { writeTrace(out, header, samples, events, segments); }, error);
}

bool saveMoves(const QString &path, const QByteArray &header,
               const QVector<MoveAnalysis::Result> &moves, const std::deque<TraceSegment> &segments,
               QString *error)
{
    return save(
        path, [&](QIODevice *out) { writeMoves(out, header, moves, segments); }, error);
}

} // namespace TraceCsv
