// Reading a scenario: a line-based script of what happens in the game while
// the plug-in runs (weather, hour, the player, menus, hits, actions,
// saved-game loads, script calls), read from text into a Scenario that the
// player plays. The format is described in sim/SCENARIOS.md.
#pragma once

#include <string>

#include "run/scenario_plan.h"

namespace nimbrel_sim {

// The longest a scenario may run, so that every run ends.
inline constexpr double kMaxScenarioSeconds = 24 * 60 * 60;

// Parses a scenario; false with "line N: ..." in `error` on the first fault.
bool parseScenario(const std::string& text, Scenario& out, std::string& error);

// A word of a scenario as a message shows it: quoted, bytes outside printable
// ASCII as \xNN, at most 40 characters, a byte-order mark named.
std::string quoteScenarioText(const std::string& text);

// The embedded default storm (default_storm.cpp).
const char* defaultScenarioText();

}  // namespace nimbrel_sim
