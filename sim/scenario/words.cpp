// The words of a scenario line and what is wrong with them: the split into
// words, numbers, form ids, weather names, on and off, the plug-in's setting
// keys, and the quoting every message uses.
#include "scenario/words.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <sstream>
#include <utility>

#include "scenario/reader.h"

namespace nimbrel_sim {

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
  if (text.find(scenario_words::kByteOrderMark) != std::string::npos)
    out += " (\\xEF\\xBB\\xBF is a UTF-8 byte-order mark, taken only at the very start of the file)";
  return out;
}

namespace scenario_words {

std::vector<std::string> tokens(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> out;
  for (std::string t; in >> t;) out.push_back(t);
  return out;
}

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

namespace {

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

}  // namespace

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

namespace {

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

}  // namespace

// Empty when the key is one of the plug-in's for this call; else why not.
std::string settingProblem(const std::string& key, bool isInt) {
  const auto* own = isInt ? std::begin(kIntKeys) : std::begin(kFloatKeys);
  const auto* ownEnd = isInt ? std::end(kIntKeys) : std::end(kFloatKeys);
  const auto* other = isInt ? std::begin(kFloatKeys) : std::begin(kIntKeys);
  const auto* otherEnd = isInt ? std::end(kFloatKeys) : std::end(kIntKeys);
  for (auto k = own; k != ownEnd; ++k)
    if (key == *k) return {};
  for (auto k = own; k != ownEnd; ++k)
    if (sameIgnoringCase(key, *k)) return std::string("did you mean '") + *k + "'? keys are case-sensitive";
  for (auto k = other; k != otherEnd; ++k) {
    if (key == *k || sameIgnoringCase(key, *k)) {
      // Appended piece by piece: GCC 12 warns (-Wrestrict) on "..." + std::string&& once inlined.
      std::string problem = "'";
      problem += *k;
      problem += isInt ? "' is a float setting: set-float" : "' is an integer setting: set-int";
      return problem;
    }
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

}  // namespace scenario_words

}  // namespace nimbrel_sim
