#include "scenario/scenario.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";

}  // namespace

std::string quoteScenarioText(const std::string& text) {
  // Bytes a terminal would act on, or show as nothing, are written as \xNN.
  constexpr size_t kMost = 40;
  std::string out = "'";
  for (size_t i = 0; i < text.size(); ++i) {
    if (i == kMost) {
      out += "...";
      break;
    }
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  out += "'";
  if (text.find(kByteOrderMark) != std::string::npos)
    out += " (\\xEF\\xBB\\xBF is a UTF-8 byte-order mark, taken only at the very start of the file)";
  return out;
}

namespace {

std::string quoted(const std::string& text) { return quoteScenarioText(text); }

// Numbers are written as digits with an optional '-' and one decimal point
// ("12", "-0.5", ".25"): no exponent, no hexadecimal, no sign '+', so that a
// number reads the same to every reader of the file.
bool decimalForm(const std::string& text, bool allowPoint) {
  size_t i = text.size() > 0 && text[0] == '-' ? 1 : 0;
  size_t digits = 0;
  bool point = false;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c >= '0' && c <= '9') {
      ++digits;
    } else if (c == '.' && allowPoint && !point) {
      point = true;
    } else {
      return false;
    }
  }
  return digits > 0;
}

// What is wrong with a word that should have been a number.
std::string notANumber(const std::string& text, bool integer) {
  const std::string q = quoted(text);
  const std::string unsignedText = !text.empty() && (text[0] == '-' || text[0] == '+') ? text.substr(1) : text;
  if (unsignedText.rfind("0x", 0) == 0 || unsignedText.rfind("0X", 0) == 0)
    return q + " is hexadecimal; only form ids take 0x, other numbers are decimal";
  if (!text.empty() && text[0] == '+') return q + " has a '+' sign; write the number without it";
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (!text.empty() && *end == '\0') {
    if (!std::isfinite(value)) return q + " is not a finite number";
    if (text.find_first_of("eE") != std::string::npos)
      return q + " has an exponent, which scenarios do not take; write the digits out";
    if (integer && decimalForm(text, true)) return q + " is not a whole number";
  }
  if (text.find(',') != std::string::npos) return q + " has a comma; the decimal point is '.'";
  return q + (integer ? " is not a whole number (digits with an optional '-', as 12)"
                      : " is not a number (digits with an optional '-' and '.', as 12.5)");
}

std::string Number(double value) {
  char text[48];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

std::string range(double lo, double hi, const char* unit) {
  char text[96];
  std::snprintf(text, sizeof text, "%g to %g%s", lo, hi, unit);
  return text;
}

bool id32(const std::string& text, uint32_t& out) {
  // Decimal, or hexadecimal after 0x; a leading zero is not octal.
  const bool hex = text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0;
  const std::string digits = hex ? text.substr(2) : text;
  if (digits.empty() || digits.size() > 10) return false;
  for (char c : digits)
    if (!(hex ? std::isxdigit(static_cast<unsigned char>(c)) : std::isdigit(static_cast<unsigned char>(c))))
      return false;
  const unsigned long long value = std::strtoull(digits.c_str(), nullptr, hex ? 16 : 10);
  if (value > 0xFFFFFFFFull) return false;
  out = static_cast<uint32_t>(value);
  return true;
}

std::string notAnId(const std::string& text) {
  return quoted(text) + " is not a form id (decimal, or hexadecimal after 0x, at most 0xFFFFFFFF)";
}

const std::pair<const char*, DefaultWeather> kWeatherNames[] = {
    {"clear", DefaultWeather::Clear},
    {"cloudy", DefaultWeather::Cloudy},
    {"rain", DefaultWeather::Rain},
    {"thunderstorm", DefaultWeather::Thunderstorm},
    {"snow", DefaultWeather::Snow},
    {"rainy-snow", DefaultWeather::RainySnow},
    {"exempt-storm", DefaultWeather::ExemptStorm},
    {"unclassified", DefaultWeather::Unclassified},
};

bool weatherRef(const std::string& text, FormRef& out) {
  if (text == "none") {
    out = {};
    return true;
  }
  for (const auto& [name, weather] : kWeatherNames) {
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

std::string unknownWeather(const std::string& text) {
  std::string names;
  for (const auto& [name, weather] : kWeatherNames) names += std::string(name) + ", ";
  return "unknown weather " + quoted(text) + " (names: " + names + "none; or a weather's form id, as 0x0010E1F2)";
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

// The settings the plug-in's script functions know (docs/SETTINGS.md). The
// double keeps its own copy: the game does not check keys, but a scenario
// author wants to hear of a key that changes nothing.
const char* const kIntKeys[] = {
    "EnableSheet",     "EnableFork",      "EnableCloudySheet",   "EnableCloudyFork",    "EnableSnowySheet",
    "EnableSnowyFork", "SheetHostile",    "ForkHostile",         "SheetDistanceMin",    "SheetDistanceMax",
    "ForkDistanceMin", "ForkDistanceMax", "EnableSheetFlash",    "EnableForkFlash",     "SheetFlashAmount",
    "ForkFlashAmount", "MinFlashAmount",  "MinChainChildAmount", "MaxChainChildAmount", "CompatibilityMode",
    "EnableLog",
};
const char* const kFloatKeys[] = {
    "SheetFrequency", "ForkFrequency", "ChainLightningPercentage", "StrikeDistance",    "SheetHeightMin",
    "SheetHeightMax", "SkyCurve",      "FlashDropDistanceMin",     "SheetFadeDuration", "ForkFadeDuration",
};

bool sameIgnoringCase(const std::string& a, const char* b) {
  if (a.size() != std::strlen(b)) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

// Empty when the key is one of the plug-in's for this call; else why not.
std::string settingProblem(const std::string& key, bool isInt) {
  const auto* own = isInt ? std::begin(kIntKeys) : std::begin(kFloatKeys);
  const auto* ownEnd = isInt ? std::end(kIntKeys) : std::end(kFloatKeys);
  const auto* other = isInt ? std::begin(kFloatKeys) : std::begin(kIntKeys);
  const auto* otherEnd = isInt ? std::end(kFloatKeys) : std::end(kIntKeys);
  for (auto k = own; k != ownEnd; ++k)
    if (key == *k) return {};
  for (auto k = own; k != ownEnd; ++k)
    if (sameIgnoringCase(key, *k)) return "did you mean '" + std::string(*k) + "'? keys are case-sensitive";
  for (auto k = other; k != otherEnd; ++k) {
    if (key == *k || sameIgnoringCase(key, *k))
      return "'" + std::string(*k) + "' is " + (isInt ? "a float setting: set-float" : "an integer setting: set-int");
  }
  return "not a key of the plug-in (docs/SETTINGS.md lists them)";
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
    return fail("unknown line " + quoted(t[0]) +
                " (set-up: data, world, loaded-area, fps, load-time, timer-resolution, end; events: at SECONDS ...)");
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
  bool pluginModGiven_ = false;
  bool dawnguardModGiven_ = false;
  std::string error_;
};

}  // namespace

bool parseScenario(const std::string& text, Scenario& out, std::string& error) {
  Scenario parsed;
  Parser parser(parsed);
  // A byte-order mark at the start is what some editors write: taken.
  const bool mark = text.rfind(kByteOrderMark, 0) == 0;
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

const char* defaultScenarioText() { return kDefaultScenario; }

// --- playing -------------------------------------------------------------------------

ScenarioPlayer::ScenarioPlayer(GameDouble& game, Run& run, World& world, const Scenario& scenario, Hooks hooks)
    : game_(game),
      run_(run),
      world_(world),
      scenario_(scenario),
      hooks_(std::move(hooks)),
      playedAt_(scenario.events.size(), -1.0) {}

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
  while (next_ < scenario_.events.size() && scenario_.events[next_].atMs <= now) {
    const ScenarioEvent& e = scenario_.events[next_];
    const double played = world_.simulatedMs() - startMs_;
    playedAt_[next_++] = played;
    apply(e);
    if (e.kind == ScenarioEvent::Kind::SavedGameLoad || e.kind == ScenarioEvent::Kind::Hitch)
      holds_.push_back({played, world_.simulatedMs() - startMs_, e.line, e.kind == ScenarioEvent::Kind::SavedGameLoad});
  }
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

std::vector<ScenarioOutcome> ScenarioPlayer::account() {
  // Events play at the first frame after their time; later than this, with
  // no load or hitch to blame, the main thread itself ran behind.
  constexpr double kBehindMs = 500.0;
  const auto describe = [](const Hold& h) {
    return std::string(h.load ? "the saved-game load" : "the hitch") + " at line " + std::to_string(h.line) +
           " held the main thread";
  };
  const double endedMs = playedMs_.load();
  std::vector<ScenarioOutcome> outcomes;
  for (size_t i = 0; i < scenario_.events.size(); ++i) {
    const ScenarioEvent& e = scenario_.events[i];
    ScenarioOutcome o;
    o.line = e.line;
    o.text = e.text;
    o.dueMs = e.atMs;
    o.playedMs = playedAt_[i];
    if (o.playedMs >= 0) {
      // The last hold that was under way between the event's time and its play.
      const Hold* held = nullptr;
      for (const Hold& h : holds_)
        if (h.fromMs < o.playedMs && h.toMs > o.dueMs && h.line != e.line) held = &h;
      const double lateMs = o.playedMs - o.dueMs;
      if (held) {
        o.status = ScenarioOutcome::Status::Late;
        o.why = describe(*held);
      } else if (lateMs > kBehindMs) {
        o.status = ScenarioOutcome::Status::Late;
        o.why = "the main thread ran behind (a busy machine)";
      } else {
        o.status = ScenarioOutcome::Status::OnTime;
      }
    } else if (e.atMs > scenario_.endMs) {
      o.status = ScenarioOutcome::Status::AfterEnd;
      o.why = "after the end of play";
    } else {
      o.status = ScenarioOutcome::Status::NotPlayed;
      char ended[48];
      std::snprintf(ended, sizeof ended, "%.1f s", endedMs / 1000.0);
      o.why = "play ended at " + std::string(ended);
      if (!holds_.empty() && holds_.back().toMs >= endedMs && holds_.back().fromMs <= e.atMs)
        o.why += " while " + describe(holds_.back());
      else if (!finished_.load())
        o.why += " when the main thread stopped";
      char due[48];
      std::snprintf(due, sizeof due, "%.1f s", e.atMs / 1000.0);
      run_.fail("scenario line " + std::to_string(e.line) + " (at " + due + ": " + e.text +
                ") was not played: " + o.why);
    }
    outcomes.push_back(std::move(o));
  }
  return outcomes;
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
