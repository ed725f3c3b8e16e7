// The stand-down's state, shared by game/stand_down.cpp and the fuzz
// targets, which play many game sessions in one process and lower the flag
// between them. Nothing else includes it: the game never lowers it.
#pragma once

#include <atomic>
#include <cstdint>

#include "game/stand_down.h"
#include "platform/process_wide.h"

namespace NimbrelVR::game::stand_down_state {

struct State {
  std::atomic<bool> stoodDown{false};
  std::atomic<StandDownHook> hook{nullptr};
  std::atomic<uint32_t> passes{0};
};
extern ProcessWide<State> state;

}  // namespace NimbrelVR::game::stand_down_state
