// The double's scenario reader on any text. A read scenario is playable: its
// times are finite and ordered, nothing happens after its end and the end is
// within the cap; a refused one says on which line, in printable text only
// (bytes of the input are shown escaped, never sent raw to a terminal).
#include <cmath>
#include <string>

#include "scenario/reader.h"
#include "support/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  nimbrel_sim::Scenario scenario;
  std::string error;
  if (!nimbrel_sim::parseScenario(text, scenario, error)) {
    FUZZ_CHECK(error.rfind("line ", 0) == 0, "a refusal without its line: %s", error.c_str());
    for (char c : error)
      FUZZ_CHECK(c >= 0x20 && c < 0x7F, "a raw byte 0x%02X in the refusal: %s", static_cast<unsigned char>(c),
                 error.c_str());
    return 0;
  }
  FUZZ_CHECK(std::isfinite(scenario.endMs) && scenario.endMs >= 0 &&
                 scenario.endMs <= nimbrel_sim::kMaxScenarioSeconds * 1000.0,
             "end at %g ms", scenario.endMs);
  double previous = 0;
  for (const auto& event : scenario.events) {
    FUZZ_CHECK(std::isfinite(event.atMs) && event.atMs >= previous && event.atMs <= scenario.endMs,
               "line %d: an event at %g ms after one at %g ms, end %g ms", event.line, event.atMs, previous,
               scenario.endMs);
    previous = event.atMs;
    if (event.kind == nimbrel_sim::ScenarioEvent::Kind::Weather)
      FUZZ_CHECK(std::isfinite(event.overMs) && event.overMs >= 0, "line %d: a transition over %g ms", event.line,
                 event.overMs);
  }
  return 0;
}
