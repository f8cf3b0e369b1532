// Feeds arbitrary bytes to the sequence file reader: it either refuses with a line number or
// hands back steps that keep every limit and that write and read back unchanged. The same bytes
// then drive edits of the table's model, as the operator's editors and buttons would make them
// (any text as a label, any text or number as a target or dwell, rows added, removed and moved,
// in several locales, edits undone and redone): whatever the table holds afterwards writes and
// reads back unchanged, and undoing every edit brings back the list it started from.

#include "sequencecsv.h"
#include "sequencemodel.h"

#include <QLocale>
#include <QUndoStack>

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
    std::fprintf(stderr, "fuzz_sequencecsv: broken: %s\n", what);
    std::abort();
}

void requireWithinLimits(const SequenceSteps &steps)
{
    require(steps.size() <= Sequence::kMaxRows, "row limit");
    for (const SequenceStep &step : steps) {
        require(std::isfinite(step.targetUm), "finite target");
        require(std::abs(step.targetUm) <= Sequence::kMaxAbsTargetUm, "target within limits");
        require(step.dwellMs >= 0 && step.dwellMs <= Sequence::kMaxDwellMs, "dwell within limits");
        require(Sequence::stepProblem(step).isEmpty(), "every step keeps the step rules");
    }
}

// Reads the edit script the input also is: one byte of operation, one of row, one of length,
// then that many bytes of payload.
class Script {
public:
    Script(const uint8_t *data, size_t size) : data(data), size(size) {}

    bool atEnd() const { return at >= size; }
    uint8_t byte() { return at < size ? data[at++] : 0; }
    QByteArray bytes(size_t count)
    {
        count = std::min(count, size - std::min(at, size));
        const QByteArray taken(reinterpret_cast<const char *>(data + at), int(count));
        at += count;
        return taken;
    }

private:
    const uint8_t *data;
    size_t size;
    size_t at = 0;
};

// Any sequence of UTF-16 code units: controls, lone and reversed surrogate halves included.
QString codeUnits(const QByteArray &bytes)
{
    QString text;
    for (int i = 0; i + 1 < bytes.size(); i += 2)
        text += QChar(ushort(uchar(bytes[i]) | uchar(bytes[i + 1]) << 8));
    return text;
}

QVariant payloadValue(uint8_t kind, const QByteArray &payload)
{
    switch (kind % 4) {
    case 0:
        return QString::fromLatin1(payload); // typed: "0,500", "1e3", " 7 "
    case 1:
        return codeUnits(payload);
    case 2: {
        double value = 0.0;
        std::memcpy(&value, payload.leftJustified(sizeof value, '\0').constData(), sizeof value);
        return value; // NaN and infinities among them
    }
    default: {
        int value = 0;
        std::memcpy(&value, payload.leftJustified(sizeof value, '\0').constData(), sizeof value);
        return value;
    }
    }
}

void editThroughTheModel(const SequenceSteps &start, const uint8_t *data, size_t size)
{
    static const char *const locales[] = {"C", "de_DE", "en_US", "de_CH", "fr_FR"};
    SequenceModel model;
    model.setSteps(start.mid(0, 200));
    const SequenceSteps first = model.steps();
    Script script(data, size);
    for (int edits = 0; edits < 64 && !script.atEnd(); ++edits) {
        const uint8_t operation = script.byte();
        const int rows = model.rowCount();
        const int row = rows > 0 ? script.byte() % rows : 0;
        const QByteArray payload = script.bytes(script.byte() % 64);
        const uint8_t kind = operation >> 3;
        switch (operation % 8) {
        case 0:
            model.setData(model.index(row, SequenceModel::LabelColumn), codeUnits(payload));
            break;
        case 1:
            model.setData(model.index(row, SequenceModel::LabelColumn), QString::fromUtf8(payload));
            break;
        case 2:
            model.setData(model.index(row, SequenceModel::TargetColumn),
                          payloadValue(kind, payload));
            break;
        case 3:
            model.setData(model.index(row, SequenceModel::DwellColumn),
                          payloadValue(kind, payload));
            break;
        case 4:
            model.insertStep(row, {codeUnits(payload), double(kind), kind});
            break;
        case 5:
            switch (kind % 6) {
            case 0:
                model.removeStep(row);
                break;
            case 1:
                model.moveStep(row, kind % 2 ? 1 : -1);
                break;
            case 2:
                model.duplicateStep(row);
                break;
            case 3:
                model.history()->undo();
                break;
            case 4:
                model.history()->redo();
                break;
            default:
                model.replaceSteps(
                    Sequence::linearScan(double(row), double(kind), kind % 9, kind, kind % 2),
                    QStringLiteral("Generate"));
                break;
            }
            break;
        case 6:
            QLocale::setDefault(QLocale(QLatin1String(locales[kind % 5])));
            break;
        default:
            model.setEditable(kind % 4 != 0);
            break;
        }
    }
    QLocale::setDefault(QLocale::c());

    const SequenceSteps edited = model.steps();
    requireWithinLimits(edited);
    const SequenceCsv::ParseResult again = SequenceCsv::parse(SequenceCsv::format(edited));
    require(again.ok(), "an edited table that was written reads back");
    require(again.steps == edited, "an edited table that was written reads back unchanged");

    // The model may have been left read-only by the script; undo is the window's, not a run's.
    while (model.history()->canUndo())
        model.history()->undo();
    require(model.steps() == first, "undoing every edit gives back the list edited");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray text(reinterpret_cast<const char *>(data), int(size));
    const SequenceCsv::ParseResult read = SequenceCsv::parse(text);
    if (!read.ok()) {
        require(read.steps.isEmpty(), "a refused file hands back no steps");
        require(read.line >= 1, "a refusal names its line");
        require(read.error.startsWith(QStringLiteral("Line %1: ").arg(read.line)),
                "the message starts with the line");
        editThroughTheModel(Sequence::linearScan(0.0, 1000.0, 5, 200, false), data, size);
        return 0;
    }
    requireWithinLimits(read.steps);
    const SequenceCsv::ParseResult again = SequenceCsv::parse(SequenceCsv::format(read.steps));
    require(again.ok(), "what was written reads back");
    require(again.steps == read.steps, "what was written reads back unchanged");
    editThroughTheModel(read.steps, data, size);
    return 0;
}
