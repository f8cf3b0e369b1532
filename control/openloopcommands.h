#pragma once

class CharacterisationRun;
class ControlServer;
class MeasuredSteps;
class OpenLoopMove;

// "characterise" (its arguments as the window's, its progress as "characterise" events, the
// result as its reply) and "open_loop_move" (um): scripts drive the same run and the same move
// the window and the open-loop page drive, so a second start while one goes on is busy.
void addOpenLoopCommands(ControlServer &server, CharacterisationRun *run, OpenLoopMove *move,
                         MeasuredSteps *measured);
