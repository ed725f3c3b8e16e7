#include "support/world_state.h"

namespace fuzzsupport {

void ApplyWorld(nimbrel_sim::GameDouble& game, const WorldState& state) {
  game.world().setPlayerHolderPresent(state.playerHolder);
  game.world().setPlayerHas3D(state.player3D);
  switch (state.cell) {
    case WorldState::Cell::Exterior:
      game.world().enterExterior(state.worldspace);
      break;
    case WorldState::Cell::Interior:
      game.world().enterInterior();
      break;
    case WorldState::Cell::None:
      game.world().setPlayerCellNull();
      break;
  }
  game.world().setSkyPresent(state.sky);
  game.world().setWeather(state.current, state.outgoing, state.transition);
  game.world().setGameHour(state.hour);
}

void SendMenu(nimbrel_sim::GameDouble& game, const std::string& name, bool opening) {
  game.world().sendMenuEvent(name, opening);
}

}  // namespace fuzzsupport
