// The record of open menus, fed by the game's menu events.
#pragma once

#include <span>
#include <string_view>

namespace NimbrelVR {

// The menus during which the weather monitor holds lightning off, in the
// order it asks for them.
extern const std::span<const char* const> pauseMenuNames;

// Whether the menu was last reported open. A name the record does not track
// reads as closed.
bool IsMenuOpen(std::string_view name);

// Records one open (true) or close (false) of a tracked menu; other names
// change nothing.
void RecordMenuEvent(std::string_view name, bool opening);

// The first of pauseMenuNames reported open, or null. Reads flags only: the
// monitor calls it every cycle.
const char* FirstOpenPauseMenu();

}  // namespace NimbrelVR
