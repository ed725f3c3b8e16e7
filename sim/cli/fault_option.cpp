#include "cli/fault_option.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "nimbrel_sim/game_double.h"
#include "scenario/reader.h"

namespace nimbrel_sim::cli {

using nimbrel_sim::GameDouble;

bool ParseFault(const std::string& text, nimbrel_sim::Fault& fault, std::string& problem) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) {
    problem = "a fault reads ENTRY:N, ENTRY:N+ or ENTRY:pP";
    return false;
  }
  fault.entry = text.substr(0, colon);
  const auto& entries = GameDouble::faultEntries();
  if (std::find(entries.begin(), entries.end(), fault.entry) == entries.end()) {
    std::string list;
    std::string near;
    for (const std::string& entry : entries) {
      list += (list.empty() ? "" : ", ") + entry;
      if (entry.size() == fault.entry.size() &&
          std::equal(entry.begin(), entry.end(), fault.entry.begin(), [](char a, char b) {
            return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
          }))
        near = entry;
    }
    problem = "no engine entry is called " + nimbrel_sim::quoteScenarioText(fault.entry) +
              (near.empty() ? "" : "; did you mean '" + near + "'? entries are case-sensitive") + " (entries: " + list +
              ")";
    return false;
  }
  std::string when = text.substr(colon + 1);
  const auto digitsOnly = [](const std::string& t) {
    return !t.empty() && t.size() <= 18 && std::all_of(t.begin(), t.end(), [](char c) { return c >= '0' && c <= '9'; });
  };
  if (when[0] == 'p') {
    char* end = nullptr;
    fault.probability = std::strtod(when.c_str() + 1, &end);
    if (when.size() > 1 && *end == '\0' && fault.probability > 0 && fault.probability <= 1) return true;
    problem = "'" + when + "': a chance reads pP with 0 < P <= 1 (p0.2)";
    return false;
  }
  const bool from = when.back() == '+';
  if (from) when.pop_back();
  const unsigned long long n = digitsOnly(when) ? std::strtoull(when.c_str(), nullptr, 10) : 0;
  if (n == 0) {
    problem = nimbrel_sim::quoteScenarioText(text.substr(colon + 1)) +
              ": WHEN is N (the N-th call, from 1), N+ (every call from the N-th on) or pP (a chance, 0 < P <= 1)";
    return false;
  }
  (from ? fault.everyCallFrom : fault.nthCall) = n;
  return true;
}

std::string FaultText(const nimbrel_sim::Fault& f) {
  char when[48];
  if (f.probability > 0)
    std::snprintf(when, sizeof when, "p%g", f.probability);
  else if (f.everyCallFrom)
    std::snprintf(when, sizeof when, "%llu+", static_cast<unsigned long long>(f.everyCallFrom));
  else
    std::snprintf(when, sizeof when, "%llu", static_cast<unsigned long long>(f.nthCall));
  return f.entry + ":" + when;
}

}  // namespace nimbrel_sim::cli
