// Feeds arbitrary bytes to the sequence file reader: it either refuses with a line number or
// hands back steps that keep every limit and that write and read back unchanged.

#include "sequencecsv.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

void require(bool condition, const char *what)
{
    if (condition)
        return;
    std::fprintf(stderr, "fuzz_sequencecsv: broken: %s\n", what);
    std::abort();
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
        return 0;
    }
    require(read.steps.size() <= Sequence::kMaxRows, "row limit");
    for (const SequenceStep &step : read.steps) {
        require(std::isfinite(step.targetUm), "finite target");
        require(std::abs(step.targetUm) <= Sequence::kMaxAbsTargetUm, "target within limits");
        require(step.dwellMs >= 0 && step.dwellMs <= Sequence::kMaxDwellMs, "dwell within limits");
    }
    const SequenceCsv::ParseResult again = SequenceCsv::parse(SequenceCsv::format(read.steps));
    require(again.ok(), "what was written reads back");
    require(again.steps == read.steps, "what was written reads back unchanged");
    return 0;
}
