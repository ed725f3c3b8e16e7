// The words of a scenario line, for the reader: each check of a word, and
// the message that says what is wrong with one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "run/scenario_plan.h"

namespace nimbrel_sim::scenario_words {

// What some editors write at the start of a file.
inline constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";

// The words of a line, split at blanks.
std::vector<std::string> tokens(const std::string& line);
// The rest of a line from word `from` on, as written.
std::string restOf(const std::string& line, size_t from);

// A word as a message shows it (quoteScenarioText).
std::string quoted(const std::string& text);

// Digits with an optional '-' and, when `allowPoint`, one decimal point.
bool decimalForm(const std::string& text, bool allowPoint);
// Why a word is not a number (or not a whole one).
std::string notANumber(const std::string& text, bool integer);
// A number and a range as messages write them.
std::string Number(double value);
std::string range(double lo, double hi, const char* unit);

// A form id: decimal, or hexadecimal after 0x, at most 0xFFFFFFFF.
bool id32(const std::string& text, uint32_t& out);
std::string notAnId(const std::string& text);

// A weather by name ("clear", ..., "none") or by form id.
bool weatherRef(const std::string& text, FormRef& out);
std::string unknownWeather(const std::string& text);

bool onOff(const std::string& text, bool& out);

// Empty when the key is one of the plug-in's for set-int (`isInt`) or
// set-float; else why not.
std::string settingProblem(const std::string& key, bool isInt);

}  // namespace nimbrel_sim::scenario_words
