#pragma once

#include "sequencestep.h"

#include <optional>

class ControlServer;
class QJsonArray;
class SequenceRunner;

// "sequence_run", "sequence_abort" and the "sequence" events: scripts drive the same runner the
// sequence window drives, so a run started from either is one run and a second start is busy.
// While a run goes on, moves from clients are refused as busy.
void addSequenceCommands(ControlServer &server, SequenceRunner *runner);

// The "steps" of a "sequence_run" request, held to the rules every sequence step is held to; on
// a bad one, problem names it ("step 2: the dwell -1 ms is not between 0 and 86400000 ms").
std::optional<SequenceSteps> readSequenceSteps(const QJsonArray &array, QString *problem);
