// Reading a scenario: the grammar of its lines (set-up, end, the timed
// events), each line checked as it is read, then the whole put in time order.
#include "scenario/reader.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <sstream>
#include <utility>

#include "engine/event_sources.h"
#include "engine/layout_faults.h"
#include "engine/world.h"
#include "scenario/words.h"

namespace nimbrel_sim {

namespace {

using namespace scenario_words;

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
      if (endLine_ != 0) return fail("a second 'end' line; the first is on line " + std::to_string(endLine_));
      double seconds = 0;
      if (t.size() != 2) return fail("end reads 'end SECONDS'");
      if (!decimal(t[1], "end", 0, kMaxScenarioSeconds, false, " s (24 simulated hours at most)", seconds))
        return false;
      endLine_ = line_;
      out_.endMs = seconds * 1000.0;
      return true;
    }
    if (t[0] == "fps") {
      double fps = 0;
      if (t.size() != 2) return fail("fps reads 'fps N'");
      if (!decimal(t[1], "fps", 1, 1000, false, " frames per simulated second", fps)) return false;
      out_.fps = fps;
      return true;
    }
    if (t[0] == "load-time") {
      double seconds = 0;
      if (t.size() != 2) return fail("load-time reads 'load-time SECONDS'");
      if (!decimal(t[1], "load-time", 0, 600, false, " s", seconds)) return false;
      out_.loadMs = seconds * 1000.0;
      return true;
    }
    if (t[0] == "timer-resolution") {
      double ms = 0;
      if (t.size() != 2) return fail("timer-resolution reads 'timer-resolution MS'");
      if (!decimal(t[1], "timer-resolution", 0, 1000, false, " ms (0: exact)", ms)) return false;
      out_.timerResolutionMs = ms;
      return true;
    }
    if (t[0] == "layout-fault") {
      std::string names;
      for (const std::string& name : layoutFaultNames()) names += (names.empty() ? "" : ", ") + name;
      if (t.size() != 2) return fail("layout-fault reads 'layout-fault KIND' (" + names + ")");
      if (layoutFaultLine_ != 0)
        return fail("a second 'layout-fault' line; the first is on line " + std::to_string(layoutFaultLine_));
      if (!parseLayoutFault(t[1], out_.layoutFault))
        return fail("layout-fault: " + quoted(t[1]) + " is none of " + names);
      layoutFaultLine_ = line_;
      return true;
    }
    if (t[0] == "vm-hit-sink") {
      const char* kinds = "start-up, data-ready, first-load, never";
      if (t.size() != 2) return fail(std::string("vm-hit-sink reads 'vm-hit-sink WHEN' (") + kinds + ")");
      if (out_.vmHitSink)
        return fail("a second 'vm-hit-sink' line; the first is on line " + std::to_string(vmHitSinkLine_));
      VmHitSink moment{};
      if (!parseVmHitSink(t[1], moment)) return fail("vm-hit-sink: " + quoted(t[1]) + " is none of " + kinds);
      out_.vmHitSink = moment;
      vmHitSinkLine_ = line_;
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
    return fail(
        "unknown line " + quoted(t[0]) +
        " (set-up: data, world, loaded-area, fps, load-time, timer-resolution, layout-fault, vm-hit-sink, end; events: "
        "at "
        "SECONDS ...)");
  }

  bool finish(int lines) {
    // Light files sit at the mod index 0xFE unless a line says otherwise.
    DataSet& d = out_.data;
    if (d.pluginLightIndex != 0 && !pluginModGiven_) d.pluginModIndex = 0xFE;
    if (d.dawnguardLightIndex != 0 && !dawnguardModGiven_) d.dawnguardModIndex = 0xFE;
    std::stable_sort(out_.events.begin(), out_.events.end(),
                     [](const ScenarioEvent& a, const ScenarioEvent& b) { return a.atMs < b.atMs; });
    double last = out_.events.empty() ? 0.0 : out_.events.back().atMs;
    if (endLine_ == 0) {
      out_.endMs = last;
    } else if (last > out_.endMs) {
      line_ = out_.events.back().line;
      return fail("an event at " + seconds(last) + " s, after the end at " + seconds(out_.endMs) + " s (line " +
                  std::to_string(endLine_) + ")");
    }
    // A scenario that plays nothing for no time is a mistake, not a run.
    if (out_.events.empty() && out_.endMs <= 0) {
      line_ = std::max(lines, 1);
      return fail(lines == 0 ? "the scenario is empty: no events and no end, so there is nothing to play"
                             : "no events and no end line (only blank lines, comments or set-up), so there is "
                               "nothing to play; add events or 'end SECONDS'");
    }
    return true;
  }

  const std::string& error() const { return error_; }

 private:
  static std::string seconds(double ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", ms / 1000.0);
    return text;
  }

  bool fail(const std::string& what) {
    error_ = "line " + std::to_string(line_) + ": " + what;
    return false;
  }

  // A decimal number of a line in [lo, hi] (above lo when `loOpen`), or a
  // failure that names the word, what is wrong with it and the range.
  bool decimal(const std::string& text, const std::string& what, double lo, double hi, bool loOpen, const char* unit,
               double& out) {
    if (!decimalForm(text, true)) return fail(what + ": " + notANumber(text, false));
    out = std::strtod(text.c_str(), nullptr);
    if (out < lo || (loOpen && out == lo) || out > hi) {
      return fail(what + ": " + quoted(text) + " is out of range (" + (out > hi ? "above " : "below ") +
                  (out > hi ? Number(hi) : Number(lo)) + "); it takes " + (loOpen ? "above " : "") +
                  range(lo, hi, unit));
    }
    return true;
  }

  bool area(const std::vector<std::string>& t, size_t at, float& attached, float& cell) {
    const char* usage = "loaded-area reads 'loaded-area ATTACHED CELL' (world units, 0 <= ATTACHED <= CELL)";
    if (t.size() != at + 2) return fail(usage);
    double a = 0, c = 0;
    constexpr double kFar = 1e9;  // far beyond any worldspace
    if (!decimal(t[at], "loaded-area ATTACHED", 0, kFar, false, " world units", a) ||
        !decimal(t[at + 1], "loaded-area CELL", 0, kFar, false, " world units", c))
      return false;
    if (c < a) return fail("loaded-area: CELL " + quoted(t[at + 1]) + " is below ATTACHED " + quoted(t[at]));
    attached = static_cast<float>(a);
    cell = static_cast<float>(c);
    return true;
  }

  bool data(const std::vector<std::string>& t) {
    DataSet& d = out_.data;
    const char* choices =
        " (data takes: default, none, no-plugin, no-dawnguard, plugin-mod N, plugin-light N, dawnguard-mod N, "
        "dawnguard-light N)";
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
    const bool mod = what == "plugin-mod" || what == "dawnguard-mod";
    const bool light = what == "plugin-light" || what == "dawnguard-light";
    if (t.size() == 3 && (mod || light)) {
      uint32_t value = 0;
      const uint32_t most = mod ? 0xFF : 0xFFF;
      if (!id32(t[2], value) || value > most) {
        return fail("data " + what + ": " + quoted(t[2]) +
                    (mod ? " is not a mod index (0 to 255, or 0x00 to 0xFF)"
                         : " is not a light index (0 to 4095, or 0x0 to 0xFFF)"));
      }
      if (what == "plugin-mod") {
        d.pluginModIndex = static_cast<uint8_t>(value);
        pluginModGiven_ = true;
      } else if (what == "dawnguard-mod") {
        d.dawnguardModIndex = static_cast<uint8_t>(value);
        dawnguardModGiven_ = true;
      } else if (what == "plugin-light") {
        d.pluginLightIndex = static_cast<uint16_t>(value);
      } else {
        d.dawnguardLightIndex = static_cast<uint16_t>(value);
      }
      return true;
    }
    if (t.size() < 2) return fail(std::string("data needs a word") + choices);
    return fail("unknown data line " + quoted(what) + choices);
  }

  bool timed(const std::string& text, const std::vector<std::string>& all) {
    if (all.size() < 3) return fail("an event reads 'at SECONDS COMMAND ...'");
    double seconds = 0;
    if (!decimal(all[1], "the event time", 0, kMaxScenarioSeconds, false, " s (24 simulated hours at most)", seconds))
      return false;
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
      ok = t.size() == 3 && (t[1] == "player" || t[1] == "other");
      if (!ok) {
        fail("expected: action player|other TYPE");
      } else if (!id32(t[2], e.actionType)) {
        ok = fail("action: the type " + quoted(t[2]) + " is not a number (0 to 4294967295, or hexadecimal after 0x)");
      }
      e.byPlayer = ok && t[1] == "player";
    } else if (cmd == "load") {
      e.kind = ScenarioEvent::Kind::SavedGameLoad;
      ok = t.size() == 1 || (t.size() == 2 && t[1] == "failed");
      e.on = t.size() == 1;
      if (!ok) fail("expected: load [failed]");
    } else if (cmd == "hitch") {
      e.kind = ScenarioEvent::Kind::Hitch;
      double stall = 0;
      ok = t.size() == 2 ? decimal(t[1], "hitch", 0, 600, true, " s", stall) : fail("expected: hitch SECONDS");
      e.stallMs = stall * 1000.0;
    } else if (cmd == "set-int" || cmd == "set-float") {
      ok = setting(t, e);
    } else {
      return fail("unknown event " + quoted(cmd) +
                  " (events: weather, transition, hour, player, sky, world, loaded-area, menu, hit, action, load, "
                  "hitch, set-int, set-float)");
    }
    if (!ok) return false;
    out_.events.push_back(std::move(e));
    return true;
  }

  bool setting(const std::vector<std::string>& t, ScenarioEvent& e) {
    const bool isInt = t[0] == "set-int";
    e.kind = isInt ? ScenarioEvent::Kind::SetInt : ScenarioEvent::Kind::SetFloat;
    if (t.size() != 3) return fail(isInt ? "expected: set-int KEY INTEGER" : "expected: set-float KEY NUMBER");
    e.name = t[1];
    const std::string& value = t[2];
    if (isInt) {
      if (!decimalForm(value, false)) return fail("set-int " + quoted(e.name) + ": " + notANumber(value, true));
      errno = 0;
      const long long v = std::strtoll(value.c_str(), nullptr, 10);
      if (errno == ERANGE || v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max())
        return fail("set-int " + quoted(e.name) + ": " + quoted(value) +
                    " is out of range; an integer setting takes -2147483648 to 2147483647");
      e.intValue = static_cast<int32_t>(v);
    } else {
      // nan and inf are script values too.
      static const std::pair<const char*, float> kSpecial[] = {
          {"nan", std::numeric_limits<float>::quiet_NaN()},
          {"inf", std::numeric_limits<float>::infinity()},
          {"-inf", -std::numeric_limits<float>::infinity()},
      };
      bool special = false;
      for (const auto& [word, v] : kSpecial) {
        if (value == word) {
          e.floatValue = v;
          special = true;
        }
      }
      if (!special) {
        const double most = std::numeric_limits<float>::max();
        double v = 0;
        if (!decimalForm(value, true)) return fail("set-float " + quoted(e.name) + ": " + notANumber(value, false));
        if (!decimal(value, "set-float " + quoted(e.name), -most, most, false, " (a float; or nan, inf, -inf)", v))
          return false;
        e.floatValue = static_cast<float>(v);
      }
    }
    std::string problem = settingProblem(e.name, isInt);
    if (!problem.empty()) out_.unknownKeys.push_back({line_, e.name, std::move(problem)});
    return true;
  }

  bool weather(const std::vector<std::string>& t, ScenarioEvent& e) {
    e.kind = ScenarioEvent::Kind::Weather;
    const std::string usage = "expected: weather CURRENT [from OUTGOING] [transition T] [over SECONDS]";
    if (t.size() < 2) return fail(usage);
    if (!weatherRef(t[1], e.current)) return fail(unknownWeather(t[1]));
    for (size_t i = 2; i < t.size(); i += 2) {
      if (i + 1 >= t.size()) return fail(usage + " (" + quoted(t[i]) + " needs a value)");
      double value = 0;
      if (t[i] == "from") {
        if (!weatherRef(t[i + 1], e.outgoing)) return fail(unknownWeather(t[i + 1]));
        e.outgoingGiven = true;
      } else if (t[i] == "transition") {
        if (!decimal(t[i + 1], "weather transition", -kFloatMost, kFloatMost, false, "", value)) return false;
        e.transition = static_cast<float>(value);
      } else if (t[i] == "over") {
        if (!decimal(t[i + 1], "weather over", 0, kMaxScenarioSeconds, true, " s", value)) return false;
        e.overMs = value * 1000.0;
      } else {
        return fail(usage + " (" + quoted(t[i]) + " is none of from, transition, over)");
      }
    }
    return true;
  }

  bool transition(const std::vector<std::string>& t, ScenarioEvent& e) {
    e.kind = ScenarioEvent::Kind::Transition;
    double value = 0, over = 0;
    if (!(t.size() == 2 || (t.size() == 4 && t[2] == "over"))) return fail("expected: transition T [over SECONDS]");
    if (!decimal(t[1], "transition", -kFloatMost, kFloatMost, false, "", value)) return false;
    if (t.size() == 4 && !decimal(t[3], "transition over", 0, kMaxScenarioSeconds, true, " s", over)) return false;
    e.transition = static_cast<float>(value);
    e.overMs = over * 1000.0;
    return true;
  }

  bool hour(const std::vector<std::string>& t, ScenarioEvent& e) {
    e.kind = ScenarioEvent::Kind::Hour;
    double h = 0, rate = 0;
    if (!(t.size() == 2 || (t.size() == 4 && t[2] == "rate")))
      return fail("expected: hour H [rate GAME-HOURS-PER-MINUTE]");
    if (!decimalForm(t[1], true)) return fail("hour: " + notANumber(t[1], false));
    h = std::strtod(t[1].c_str(), nullptr);
    if (h < 0 || h >= 24) return fail("hour: " + quoted(t[1]) + " is out of range; 0 <= H < 24");
    if (t.size() == 4 && !decimal(t[3], "hour rate", -kFloatMost, kFloatMost, false, " game hours a minute", rate))
      return false;
    e.hour = static_cast<float>(h);
    e.rate = static_cast<float>(rate);
    return true;
  }

  bool player(const std::vector<std::string>& t, ScenarioEvent& e) {
    const char* usage =
        "player position X Y Z | interior | exterior [tamriel|ID] | 3d on|off | holder on|off | no-cell";
    if (t.size() < 2) return fail(std::string("expected: ") + usage);
    const std::string& what = t[1];
    if (what == "position" && t.size() == 5) {
      double xyz[3] = {};
      for (int i = 0; i < 3; ++i) {
        if (!decimal(t[2 + static_cast<size_t>(i)], std::string("player position ") + "XYZ"[i], -kFloatMost, kFloatMost,
                     false, " world units", xyz[i]))
          return false;
      }
      e.kind = ScenarioEvent::Kind::PlayerPosition;
      e.position = {static_cast<float>(xyz[0]), static_cast<float>(xyz[1]), static_cast<float>(xyz[2])};
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
        return fail("player exterior: " + notAnId(t[2]) + " (or tamriel)");
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
    if (i < t.size() && (!id32(t[i], e.sourceId) || e.sourceId == 0)) return fail("hit: " + notAnId(t[i]));
    if (i < t.size()) ++i;
    if (i != t.size()) return fail(std::string("expected: ") + usage);
    return true;
  }

  static constexpr double kFloatMost = std::numeric_limits<float>::max();

  Scenario& out_;
  int line_ = 0;
  int endLine_ = 0;
  int layoutFaultLine_ = 0;
  int vmHitSinkLine_ = 0;
  bool pluginModGiven_ = false;
  bool dawnguardModGiven_ = false;
  std::string error_;
};

}  // namespace

bool parseScenario(const std::string& text, Scenario& out, std::string& error) {
  Scenario parsed;
  Parser parser(parsed);
  // A byte-order mark at the start is what some editors write: taken.
  const bool mark = text.rfind(scenario_words::kByteOrderMark, 0) == 0;
  std::istringstream in(mark ? text.substr(3) : text);
  int number = 0;
  for (std::string line; std::getline(in, line);) {
    if (!parser.line(++number, line)) {
      error = parser.error();
      return false;
    }
  }
  if (!parser.finish(number)) {
    error = parser.error();
    return false;
  }
  out = std::move(parsed);
  return true;
}

}  // namespace nimbrel_sim
