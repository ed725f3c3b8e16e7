// The embedded default storm, played when no scenario is named. Kept alone
// so that the storm can be edited without touching the reader.
#include "scenario/reader.h"

namespace nimbrel_sim {

namespace {

const char* const kDefaultScenario = R"(# The default storm: an evening on the plains. A clear sky, a rain front
# moving in, a thunderstorm at its peak and the storm moving off again, while
# dusk passes 19:00. A map opened and closed, a spell hitting the player, an
# action, a hitch of the game's main thread, and a saved game loaded at the
# start, at the storm's peak and again near the end.
data default
end 240

at 0     menu open Loading Menu
at 0     load                           # holds the game for 2 s; what follows waits for it
at 3     weather clear
at 3     hour 18.5 rate 0.5             # 19:00 after a minute, 20:30 at the end
at 3     menu close Loading Menu
at 4     set-int EnableSheetFlash 1     # near strikes flash the screen
at 4     set-int EnableForkFlash 1
at 15    weather cloudy over 15
at 35    weather rain over 25           # the rain front
at 70    player position 3000 1000 0
at 90    weather thunderstorm over 15   # the peak
at 100   menu open Loading Menu         # a load in the middle of the storm
at 100   load
at 103   menu close Loading Menu
at 110   menu open MapMenu
at 116   menu close MapMenu
at 125   hit player spell
at 140   action player 1
at 145   hitch 0.5                      # the game stalls for half a second
at 150   weather cloudy over 20         # the storm moves off
at 175   weather clear over 20
at 200   menu open Loading Menu
at 200   load
at 203   menu close Loading Menu
)";

}  // namespace

const char* defaultScenarioText() { return kDefaultScenario; }

}  // namespace nimbrel_sim
