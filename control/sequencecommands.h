#pragma once

class ControlServer;
class SequenceRunner;

// "sequence_run", "sequence_abort" and the "sequence" events: scripts drive the same runner the
// sequence window drives, so a run started from either is one run and a second start is busy.
// While a run goes on, moves from clients are refused as busy.
void addSequenceCommands(ControlServer &server, SequenceRunner *runner);
