// The layout faults a run may play (LayoutFault in types.h): their names on
// the command line and in scenarios, and what each leaves where the plug-in
// reads, in words for the summary and the trace.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "nimbrel_sim/types.h"

namespace nimbrel_sim {

// "sky-weather", "player-cell", "cell-worldspace", "vm-machine", "root-node",
// "effect-art-model", "fade-duration", "form-list", "hit-source",
// "hit-event", "scene-position" ("none" for LayoutFault::None).
const char* layoutFaultName(LayoutFault fault);
const std::vector<std::string>& layoutFaultNames();  // every fault but none
// False when the text names no fault.
bool parseLayoutFault(const std::string& text, LayoutFault& fault);
// The events a fault adds to a played run so that the plug-in reads what it
// moved (a day/night switch, a script call, a hit): (seconds from the start
// of play, a scenario line's command), in time order; none for most.
std::vector<std::pair<double, std::string>> layoutFaultEvents(LayoutFault fault);
// What the fault puts where the plug-in reads, with that runtime's offsets:
// "the sky's current weather (+0x48) holds the sky's Clouds object ...".
std::string layoutFaultWords(LayoutFault fault, Edition edition, uint32_t runtime);

}  // namespace nimbrel_sim
