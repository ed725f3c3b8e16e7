// The game double with the plug-in's code linked into the fuzz target, made
// once per process. Every use of the double's start-up is here.
#pragma once

#include "nimbrel_sim/game_double.h"

namespace fuzzsupport {

// The double without a trace (a fuzzing run makes millions of engine calls),
// the default data set and a loaded world; the plug-in queried and loaded,
// its script functions registered, message 6 sent and its menu sink added.
// No monitor thread runs: targets drive the plug-in's functions themselves.
nimbrel_sim::GameDouble& StartedGame();

// Empties the plug-in's log now and then so that a long run does not fill
// the disk.
void BoundLog();

// A check of the double that failed is a finding of this input.
void CheckDouble();

}  // namespace fuzzsupport
