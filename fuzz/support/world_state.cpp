#include "support/world_state.h"

namespace fuzzsupport {

void ApplyWorld(nimbrel_sim::GameDouble& game, const WorldState& state) {
  game.setPlayerHolderPresent(state.playerHolder);
  game.setPlayerHas3D(state.player3D);
  switch (state.cell) {
    case WorldState::Cell::Exterior: game.enterExterior(state.worldspace); break;
    case WorldState::Cell::Interior: game.enterInterior(); break;
    case WorldState::Cell::None: game.setPlayerCellNull(); break;
  }
  game.setSkyPresent(state.sky);
  game.setWeather(state.current, state.outgoing, state.transition);
  game.setGameHour(state.hour);
}

void SendMenu(nimbrel_sim::GameDouble& game, const std::string& name, bool opening) {
  game.sendMenuEvent(name, opening);
}

}  // namespace fuzzsupport
