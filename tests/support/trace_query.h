#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "nimbrel_sim/game_double.h"

namespace testsupport {

// Whether the plug-in asked the engine for this form id.
inline bool LookedUp(const nimbrel_sim::GameDouble& game, uint32_t formId) {
  const std::string needle = "\"formId\":" + std::to_string(formId) + ",";
  for (const std::string& line : game.checks().trace()) {
    if (line.find("\"fn\":\"FormFromId\"") != std::string::npos && line.find(needle) != std::string::npos) return true;
  }
  return false;
}

// Lines of a log text, without their newlines.
inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    lines.push_back(text.substr(start, end - start));
  return lines;
}

inline bool HasLine(const std::string& log, const std::string& line) {
  return log.find("\n" + line + "\n") != std::string::npos || log.rfind(line + "\n", 0) == 0;
}

// The line right after `line` (empty when there is none).
inline std::string LineAfter(const std::string& log, const std::string& line) {
  const std::vector<std::string> lines = Lines(log);
  for (size_t i = 0; i + 1 < lines.size(); ++i)
    if (lines[i] == line) return lines[i + 1];
  return {};
}

}  // namespace testsupport
