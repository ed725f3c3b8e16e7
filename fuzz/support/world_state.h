// A fuzzed state of the live world, put into the double in one go. Every use
// of the double's world calls is here.
#pragma once

#include <cstdint>
#include <string>

#include "nimbrel_sim/game_double.h"

namespace fuzzsupport {

struct WorldState {
  bool playerHolder = true;  // the player's holder filled
  bool player3D = true;
  enum class Cell { Exterior, Interior, None } cell = Cell::Exterior;
  uint32_t worldspace = 0x3C;  // of an exterior cell; the double makes its own worldspace per id
  bool sky = true;
  uint32_t current = 0;  // weather form ids, 0 for none
  uint32_t outgoing = 0;
  float transition = 1.0f;
  float hour = 12.0f;
};

void ApplyWorld(nimbrel_sim::GameDouble& game, const WorldState& state);
void SendMenu(nimbrel_sim::GameDouble& game, const std::string& name, bool opening);

}  // namespace fuzzsupport
