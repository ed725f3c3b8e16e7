#include "scenario/scenario.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <sstream>
#include <thread>

#include "engine/world.h"

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
at 0     load
at 0.5   menu close Loading Menu
at 0     weather clear
at 0     hour 18.5 rate 0.5             # 19:00 after a minute, 20:30 at the end
at 1     set-int EnableSheetFlash 1     # near strikes flash the screen
at 1     set-int EnableForkFlash 1
at 15    weather cloudy over 15
at 35    weather rain over 25           # the rain front
at 70    player position 3000 1000 0
at 90    weather thunderstorm over 15   # the peak
at 100   menu open Loading Menu         # a load in the middle of the storm
at 100   load
at 100.5 menu close Loading Menu
at 110   menu open MapMenu
at 116   menu close MapMenu
at 125   hit player spell
at 140   action player 1
at 145   hitch 0.5                      # the game stalls for half a second
at 150   weather cloudy over 20         # the storm moves off
at 175   weather clear over 20
at 200   menu open Loading Menu
at 200   load
at 201   menu close Loading Menu
)";

std::vector<std::string> tokens(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> out;
  for (std::string t; in >> t;) out.push_back(t);
  return out;
}

bool number(const std::string& text, double& out) {
  if (text.empty()) return false;
  char* end = nullptr;
  out = std::strtod(text.c_str(), &end);
  return *end == '\0';
}

// Every number of a scenario becomes a float or a time in milliseconds: one
// beyond the float range is refused, not overflowed.
bool inFloatRange(double value) { return std::fabs(value) <= std::numeric_limits<float>::max(); }

bool finiteNumber(const std::string& text, double& out) { return number(text, out) && inFloatRange(out); }

bool id32(const std::string& text, uint32_t& out) {
  if (text.empty() || text[0] == '-' || text[0] == '+') return false;
  char* end = nullptr;
  unsigned long long value = std::strtoull(text.c_str(), &end, 0);
  if (*end != '\0' || value > 0xFFFFFFFFull) return false;
  out = static_cast<uint32_t>(value);
  return true;
}

bool int32(const std::string& text, int32_t& out) {
  if (text.empty()) return false;
  char* end = nullptr;
  long long value = std::strtoll(text.c_str(), &end, 0);
  if (*end != '\0' || value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max())
    return false;
  out = static_cast<int32_t>(value);
  return true;
}

bool byte(const std::string& text, uint8_t& out) {
  uint32_t value = 0;
  if (!id32(text, value) || value > 0xFF) return false;
  out = static_cast<uint8_t>(value);
  return true;
}

bool weatherRef(const std::string& text, FormRef& out) {
  static const std::pair<const char*, DefaultWeather> kNames[] = {
      {"clear", DefaultWeather::Clear},
      {"cloudy", DefaultWeather::Cloudy},
      {"rain", DefaultWeather::Rain},
      {"thunderstorm", DefaultWeather::Thunderstorm},
      {"snow", DefaultWeather::Snow},
      {"rainy-snow", DefaultWeather::RainySnow},
      {"exempt-storm", DefaultWeather::ExemptStorm},
      {"unclassified", DefaultWeather::Unclassified},
  };
  if (text == "none") {
    out = {};
    return true;
  }
  for (const auto& [name, weather] : kNames) {
    if (text == name) {
      out = {FormRef::Kind::Named, weather, 0};
      return true;
    }
  }
  uint32_t id = 0;
  if (!id32(text, id) || id == 0) return false;
  out = {FormRef::Kind::Id, DefaultWeather::Clear, id};
  return true;
}

bool onOff(const std::string& text, bool& out) {
  if (text == "on") {
    out = true;
    return true;
  }
  if (text == "off") {
    out = false;
    return true;
  }
  return false;
}

// The rest of a line from token `from` on, as written (menu names have spaces).
std::string restOf(const std::string& line, size_t from) {
  std::istringstream in(line);
  std::string t;
  for (size_t i = 0; i < from && in >> t; ++i) {
  }
  std::string rest;
  std::getline(in, rest);
  size_t first = rest.find_first_not_of(" \t");
  size_t last = rest.find_last_not_of(" \t\r");
  return first == std::string::npos ? std::string() : rest.substr(first, last - first + 1);
}

class Parser {
 public:
  explicit Parser(Scenario& out) : out_(out) {}

  bool line(int number, const std::string& raw) {
    line_ = number;
    std::string text = raw.substr(0, raw.find('#'));
    std::vector<std::string> t = tokens(text);
    if (t.empty()) return true;
    if (t[0] == "at") return timed(text, t);
    if (t[0] == "data") return data(t);
    if (t[0] == "end") {
      double seconds = 0;
      if (t.size() != 2 || !finiteNumber(t[1], seconds) || seconds < 0) return fail("end needs a time in seconds");
      endGiven_ = true;
      out_.endMs = seconds * 1000.0;
      return true;
    }
    if (t[0] == "fps") {
      double fps = 0;
      if (t.size() != 2 || !finiteNumber(t[1], fps) || fps < 1 || fps > 1000)
        return fail("fps needs the main thread's frames per second, 1 to 1000");
      out_.fps = fps;
      return true;
    }
    if (t[0] == "load-time") {
      double seconds = 0;
      if (t.size() != 2 || !finiteNumber(t[1], seconds) || seconds < 0 || seconds > 600)
        return fail("load-time needs the seconds a saved-game load holds the main thread, 0 to 600");
      out_.loadMs = seconds * 1000.0;
      return true;
    }
    if (t[0] == "timer-resolution") {
      double ms = 0;
      if (t.size() != 2 || !finiteNumber(t[1], ms) || ms < 0 || ms > 1000)
        return fail("timer-resolution needs the OS timer's tick in milliseconds, 0 to 1000");
      out_.timerResolutionMs = ms;
      return true;
    }
    if (t[0] == "world") {
      if (t.size() != 2 || t[1] != "unloaded") return fail("a set-up 'world' line reads 'world unloaded'");
      out_.loadWorld = false;
      return true;
    }
    if (t[0] == "loaded-area") {
      float attached = 0, cell = 0;
      if (!area(t, 1, attached, cell)) return false;
      out_.loadedArea = std::make_pair(attached, cell);
      return true;
    }
    return fail("unknown line '" + t[0] +
                "' (set-up: data, world, loaded-area, fps, load-time, timer-resolution, end; events: at SECONDS ...)");
  }

  bool finish() {
    // Light files sit at the mod index 0xFE unless a line says otherwise.
    DataSet& d = out_.data;
    if (d.pluginLightIndex != 0 && !pluginModGiven_) d.pluginModIndex = 0xFE;
    if (d.dawnguardLightIndex != 0 && !dawnguardModGiven_) d.dawnguardModIndex = 0xFE;
    std::stable_sort(out_.events.begin(), out_.events.end(),
                     [](const ScenarioEvent& a, const ScenarioEvent& b) { return a.atMs < b.atMs; });
    double last = out_.events.empty() ? 0.0 : out_.events.back().atMs;
    if (!endGiven_) {
      out_.endMs = last;
    } else if (last > out_.endMs) {
      line_ = out_.events.back().line;
      return fail("event after the end time");
    }
    return true;
  }

  const std::string& error() const { return error_; }

 private:
  bool fail(const std::string& what) {
    error_ = "line " + std::to_string(line_) + ": " + what;
    return false;
  }

  bool area(const std::vector<std::string>& t, size_t at, float& attached, float& cell) {
    double a = 0, c = 0;
    if (t.size() != at + 2 || !finiteNumber(t[at], a) || !finiteNumber(t[at + 1], c) || a < 0 || c < a)
      return fail("loaded-area needs ATTACHED and CELL ranges in world units, 0 <= ATTACHED <= CELL");
    attached = static_cast<float>(a);
    cell = static_cast<float>(c);
    return true;
  }

  bool data(const std::vector<std::string>& t) {
    DataSet& d = out_.data;
    const std::string what = t.size() > 1 ? t[1] : "";
    if (t.size() == 2) {
      if (what == "default") return true;
      if (what == "none") {
        out_.installData = false;
        return true;
      }
      if (what == "no-plugin") {
        d.pluginLoaded = false;
        return true;
      }
      if (what == "no-dawnguard") {
        d.dawnguardLoaded = false;
        return true;
      }
    }
    if (t.size() == 3) {
      uint8_t value = 0;
      bool ok = byte(t[2], value);
      uint32_t light = 0;
      const bool lightOk = id32(t[2], light) && light <= 0xFFF;
      if (ok && what == "plugin-mod") {
        d.pluginModIndex = value;
        pluginModGiven_ = true;
        return true;
      }
      if (lightOk && what == "plugin-light") {
        d.pluginLightIndex = static_cast<uint16_t>(light);
        return true;
      }
      if (ok && what == "dawnguard-mod") {
        d.dawnguardModIndex = value;
        dawnguardModGiven_ = true;
        return true;
      }
      if (lightOk && what == "dawnguard-light") {
        d.dawnguardLightIndex = static_cast<uint16_t>(light);
        return true;
      }
    }
    return fail(
        "data takes: default, none, no-plugin, no-dawnguard, plugin-mod N, plugin-light N, dawnguard-mod N, "
        "dawnguard-light N (mod indexes a byte, light indexes 0..4095)");
  }

  bool timed(const std::string& text, const std::vector<std::string>& all) {
    double seconds = 0;
    if (all.size() < 3 || !finiteNumber(all[1], seconds) || seconds < 0)
      return fail("an event reads 'at SECONDS COMMAND ...'");
    std::vector<std::string> t(all.begin() + 2, all.end());
    ScenarioEvent e;
    e.atMs = seconds * 1000.0;
    e.line = line_;
    e.text = restOf(text, 2);
    const std::string& cmd = t[0];
    bool ok = false;
    if (cmd == "weather") {
      ok = weather(t, e);
    } else if (cmd == "transition") {
      ok = transition(t, e);
    } else if (cmd == "hour") {
      ok = hour(t, e);
    } else if (cmd == "player") {
      ok = player(t, e);
    } else if (cmd == "sky") {
      e.kind = ScenarioEvent::Kind::Sky;
      ok = t.size() == 2 && onOff(t[1], e.on);
      if (!ok) fail("expected: sky on|off");
    } else if (cmd == "world") {
      ok = t.size() == 2 && (t[1] == "load" || t[1] == "unload");
      e.kind = ok && t[1] == "load" ? ScenarioEvent::Kind::WorldLoad : ScenarioEvent::Kind::WorldUnload;
      if (!ok) fail("expected: world load|unload");
    } else if (cmd == "loaded-area") {
      e.kind = ScenarioEvent::Kind::LoadedArea;
      ok = area(t, 1, e.attachedRange, e.cellRange);
    } else if (cmd == "menu") {
      e.kind = ScenarioEvent::Kind::Menu;
      e.name = restOf(text, 4);
      ok = t.size() >= 3 && (t[1] == "open" || t[1] == "close");
      e.on = ok && t[1] == "open";
      if (!ok) fail("expected: menu open|close NAME");
    } else if (cmd == "hit") {
      ok = hit(t, e);
    } else if (cmd == "action") {
      e.kind = ScenarioEvent::Kind::Action;
      ok = t.size() == 3 && (t[1] == "player" || t[1] == "other") && id32(t[2], e.actionType);
      e.byPlayer = ok && t[1] == "player";
      if (!ok) fail("expected: action player|other TYPE");
    } else if (cmd == "load") {
      e.kind = ScenarioEvent::Kind::SavedGameLoad;
      ok = t.size() == 1 || (t.size() == 2 && t[1] == "failed");
      e.on = t.size() == 1;
      if (!ok) fail("expected: load [failed]");
    } else if (cmd == "hitch") {
      e.kind = ScenarioEvent::Kind::Hitch;
      double seconds = 0;
      ok = t.size() == 2 && finiteNumber(t[1], seconds) && seconds > 0 && seconds <= 600;
      e.stallMs = seconds * 1000.0;
      if (!ok) fail("expected: hitch SECONDS (above 0, at most 600)");
    } else if (cmd == "set-int") {
      e.kind = ScenarioEvent::Kind::SetInt;
      ok = t.size() == 3 && int32(t[2], e.intValue);
      e.name = t.size() > 1 ? t[1] : "";
      if (!ok) fail("expected: set-int KEY INTEGER");
    } else if (cmd == "set-float") {
      e.kind = ScenarioEvent::Kind::SetFloat;
      double value = 0;
      // nan and inf are script values too.
      ok = t.size() == 3 && number(t[2], value) && (!std::isfinite(value) || inFloatRange(value));
      if (ok) e.floatValue = static_cast<float>(value);
      e.name = t.size() > 1 ? t[1] : "";
      if (!ok) fail("expected: set-float KEY NUMBER");
    } else {
      return fail("unknown event '" + cmd + "'");
    }
    if (!ok) return false;
    out_.events.push_back(std::move(e));
    return true;
  }

  bool weather(const std::vector<std::string>& t, ScenarioEvent& e) {
    e.kind = ScenarioEvent::Kind::Weather;
    const char* usage = "weather CURRENT [from OUTGOING] [transition T] [over SECONDS]";
    if (t.size() < 2 || !weatherRef(t[1], e.current)) return fail(std::string("expected: ") + usage);
    for (size_t i = 2; i < t.size(); i += 2) {
      if (i + 1 >= t.size()) return fail(std::string("expected: ") + usage);
      double value = 0;
      if (t[i] == "from" && weatherRef(t[i + 1], e.outgoing)) {
        e.outgoingGiven = true;
      } else if (t[i] == "transition" && finiteNumber(t[i + 1], value)) {
        e.transition = static_cast<float>(value);
      } else if (t[i] == "over" && finiteNumber(t[i + 1], value) && value > 0) {
        e.overMs = value * 1000.0;
      } else {
        return fail(std::string("expected: ") + usage);
      }
    }
    return true;
  }

  bool transition(const std::vector<std::string>& t, ScenarioEvent& e) {
    e.kind = ScenarioEvent::Kind::Transition;
    double value = 0, over = 0;
    bool ok = (t.size() == 2 || (t.size() == 4 && t[2] == "over" && finiteNumber(t[3], over) && over > 0)) &&
              finiteNumber(t[1], value);
    if (!ok) return fail("expected: transition T [over SECONDS]");
    e.transition = static_cast<float>(value);
    e.overMs = over * 1000.0;
    return true;
  }

  bool hour(const std::vector<std::string>& t, ScenarioEvent& e) {
    e.kind = ScenarioEvent::Kind::Hour;
    double h = 0, rate = 0;
    bool ok = (t.size() == 2 || (t.size() == 4 && t[2] == "rate" && finiteNumber(t[3], rate))) &&
              finiteNumber(t[1], h) && h >= 0 && h < 24;
    if (!ok) return fail("expected: hour H [rate GAME-HOURS-PER-MINUTE], 0 <= H < 24");
    e.hour = static_cast<float>(h);
    e.rate = static_cast<float>(rate);
    return true;
  }

  bool player(const std::vector<std::string>& t, ScenarioEvent& e) {
    const char* usage =
        "player position X Y Z | interior | exterior [tamriel|ID] | 3d on|off | holder on|off | no-cell";
    if (t.size() < 2) return fail(std::string("expected: ") + usage);
    const std::string& what = t[1];
    if (what == "position") {
      double x = 0, y = 0, z = 0;
      if (t.size() != 5 || !finiteNumber(t[2], x) || !finiteNumber(t[3], y) || !finiteNumber(t[4], z))
        return fail(std::string("expected: ") + usage);
      e.kind = ScenarioEvent::Kind::PlayerPosition;
      e.position = {static_cast<float>(x), static_cast<float>(y), static_cast<float>(z)};
      return true;
    }
    if (what == "interior" && t.size() == 2) {
      e.kind = ScenarioEvent::Kind::PlayerInterior;
      return true;
    }
    if (what == "exterior" && t.size() <= 3) {
      e.kind = ScenarioEvent::Kind::PlayerExterior;
      e.worldspaceId = kTamrielWorldspace;
      if (t.size() == 3 && t[2] != "tamriel" && (!id32(t[2], e.worldspaceId) || e.worldspaceId == 0))
        return fail(std::string("expected: ") + usage);
      return true;
    }
    if ((what == "3d" || what == "holder") && t.size() == 3 && onOff(t[2], e.on)) {
      e.kind = what == "3d" ? ScenarioEvent::Kind::Player3D : ScenarioEvent::Kind::PlayerHolder;
      return true;
    }
    if (what == "no-cell" && t.size() == 2) {
      e.kind = ScenarioEvent::Kind::PlayerNoCell;
      return true;
    }
    return fail(std::string("expected: ") + usage);
  }

  bool hit(const std::vector<std::string>& t, ScenarioEvent& e) {
    e.kind = ScenarioEvent::Kind::Hit;
    const char* usage = "hit player|other [spell|weapon] [ID]";
    if (t.size() < 2 || (t[1] != "player" && t[1] != "other")) return fail(std::string("expected: ") + usage);
    e.byPlayer = t[1] == "player";
    size_t i = 2;
    if (i < t.size() && (t[i] == "spell" || t[i] == "weapon")) e.weapon = t[i++] == "weapon";
    if (i < t.size() && (!id32(t[i++], e.sourceId) || e.sourceId == 0)) return fail(std::string("expected: ") + usage);
    if (i != t.size()) return fail(std::string("expected: ") + usage);
    return true;
  }

  Scenario& out_;
  int line_ = 0;
  bool endGiven_ = false;
  bool pluginModGiven_ = false;
  bool dawnguardModGiven_ = false;
  std::string error_;
};

}  // namespace

bool parseScenario(const std::string& text, Scenario& out, std::string& error) {
  Scenario parsed;
  Parser parser(parsed);
  std::istringstream in(text);
  int number = 0;
  for (std::string line; std::getline(in, line);) {
    if (!parser.line(++number, line)) {
      error = parser.error();
      return false;
    }
  }
  if (!parser.finish()) {
    error = parser.error();
    return false;
  }
  out = std::move(parsed);
  return true;
}

const char* defaultScenarioText() { return kDefaultScenario; }

// --- playing -------------------------------------------------------------------------

ScenarioPlayer::ScenarioPlayer(GameDouble& game, Run& run, World& world, const Scenario& scenario, Hooks hooks)
    : game_(game), run_(run), world_(world), scenario_(scenario), hooks_(std::move(hooks)) {}

uint32_t ScenarioPlayer::weatherId(const FormRef& ref) const {
  switch (ref.kind) {
    case FormRef::Kind::None:
      return 0;
    case FormRef::Kind::Named:
      return game_.data().weatherId(ref.name);
    case FormRef::Kind::Id:
      return ref.id;
  }
  return 0;
}

bool ScenarioPlayer::step() {
  if (finished_.load()) return true;
  const double endMs = scenario_.endMs;
  if (!started_) {
    started_ = true;
    startMs_ = world_.simulatedMs();
    run_.trace.record("ScenarioStart", Args().f("endSeconds", endMs / 1000.0).u("events", scenario_.events.size()));
  }
  const double now = std::min(world_.simulatedMs() - startMs_, endMs);
  while (next_ < scenario_.events.size() && scenario_.events[next_].atMs <= now) apply(scenario_.events[next_++]);
  advance(now);
  const double after = std::min(world_.simulatedMs() - startMs_, endMs);  // a load or hitch took time
  playedMs_.store(after);
  playedOnce_.store(true);
  // Events after the end (a shortened scenario) are not played.
  if (after >= endMs) {
    run_.trace.record("ScenarioEnd", Args().f("seconds", (world_.simulatedMs() - startMs_) / 1000.0));
    finished_.store(true);
  }
  return finished_.load();
}

double ScenarioPlayer::fraction() const {
  return scenario_.endMs > 0 ? std::min(playedMs_.load() / scenario_.endMs, 1.0) : (finished_.load() ? 1.0 : 0.0);
}

void ScenarioPlayer::advance(double nowMs) {
  if (ramping_) {
    double done = rampMs_ > 0 ? (nowMs - rampStartMs_) / rampMs_ : 1.0;
    float t = 1.0f;
    if (done < 1.0) {
      t = rampFrom_ + (1.0f - rampFrom_) * static_cast<float>(std::max(done, 0.0));
    } else {
      ramping_ = false;
    }
    game_.world().setWeatherTransition(t);
  }
  if (hourSet_ && hourRate_ != 0) {
    double hour = hourBase_ + hourRate_ * (nowMs - hourStartMs_) / 60000.0;
    hour = std::fmod(hour, 24.0);
    if (hour < 0) hour += 24.0;
    game_.world().setGameHour(static_cast<float>(hour));
  }
}

void ScenarioPlayer::apply(const ScenarioEvent& e) {
  using Kind = ScenarioEvent::Kind;
  run_.trace.record("ScenarioEvent", Args().f("at", e.atMs / 1000.0).i("line", e.line).s("text", e.text));
  switch (e.kind) {
    case Kind::Weather: {
      uint32_t current = weatherId(e.current);
      // A change over time leaves the weather shown so far as the outgoing one.
      uint32_t outgoing = e.outgoingGiven ? weatherId(e.outgoing) : e.overMs > 0 ? world_.currentWeatherId() : 0;
      float t = e.transition.value_or(e.overMs > 0 ? 0.0f : 1.0f);
      game_.world().setWeather(current, outgoing, t);
      ramping_ = e.overMs > 0;
      rampStartMs_ = e.atMs;
      rampMs_ = e.overMs;
      rampFrom_ = t;
      break;
    }
    case Kind::Transition:
      game_.world().setWeatherTransition(*e.transition);
      ramping_ = e.overMs > 0;
      rampStartMs_ = e.atMs;
      rampMs_ = e.overMs;
      rampFrom_ = *e.transition;
      break;
    case Kind::Hour:
      hourSet_ = true;
      hourBase_ = e.hour;
      hourRate_ = e.rate;
      hourStartMs_ = e.atMs;
      game_.world().setGameHour(e.hour);
      break;
    case Kind::PlayerPosition:
      game_.world().setPlayerPosition(e.position.x, e.position.y, e.position.z);
      break;
    case Kind::PlayerInterior:
      game_.world().enterInterior();
      break;
    case Kind::PlayerExterior:
      game_.world().enterExterior(e.worldspaceId);
      break;
    case Kind::Player3D:
      game_.world().setPlayerHas3D(e.on);
      break;
    case Kind::PlayerHolder:
      game_.world().setPlayerHolderPresent(e.on);
      break;
    case Kind::PlayerNoCell:
      game_.world().setPlayerCellNull();
      break;
    case Kind::Sky:
      game_.world().setSkyPresent(e.on);
      break;
    case Kind::WorldLoad:
      // A loaded world starts at noon under a clear sky.
      ramping_ = false;
      hourSet_ = false;
      game_.world().loadWorld();
      break;
    case Kind::WorldUnload:
      game_.world().unloadWorld();
      break;
    case Kind::LoadedArea:
      game_.world().setLoadedArea(e.attachedRange, e.cellRange);
      break;
    // Menu events come from the game's UI thread, not the main thread.
    case Kind::Menu:
      hooks_.toUi([this, name = e.name, on = e.on] { game_.world().sendMenuEvent(name, on); });
      break;
    case Kind::Hit: {
      uint32_t source = e.sourceId;
      if (source == 0) {
        source = e.weapon ? kScenarioHitWeapon : kScenarioHitSpell;
        if (!game_.data().findForm(source)) game_.data().addForm(e.weapon ? FormKind::Weapon : FormKind::Spell, source);
      }
      game_.world().sendHitEvent(e.byPlayer, source);
      break;
    }
    case Kind::Action:
      game_.world().sendActionEvent(e.actionType, e.byPlayer);
      break;
    case Kind::SavedGameLoad:
      game_.host().loadSavedGame(e.on);
      break;
    case Kind::Hitch:
      hooks_.stall(e.stallMs);
      break;
    case Kind::SetInt:
    case Kind::SetFloat: {
      // Script calls run on the script machine's threads, beside the frames.
      hooks_.toScripts([this, e] {
        const bool isInt = e.kind == Kind::SetInt;
        uint64_t resultType = 0;
        bool called = game_.scripts().callNative(
            "NimbrelPluginScript", isInt ? "SetIntValue" : "SetFloatValue", ScriptArg::String(e.name),
            isInt ? ScriptArg::Int(e.intValue) : ScriptArg::Float(e.floatValue), &resultType);
        run_.trace.record("ScenarioScriptCall",
                          Args().s("key", e.name).b("called", called).u("resultType", resultType));
      });
      break;
    }
  }
}

}  // namespace nimbrel_sim
