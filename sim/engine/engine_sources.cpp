// The engine's event sources: where they lie (the menu manager's, the
// host's action-event dispatcher, the run of sources that is the script
// event holder), the game's own sinks that join them as it sets itself up,
// and the plug-in's sinks added through EventSourceAddSink.
#include <cstdio>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine/event_sources.h"
#include "engine/relaxed.h"

namespace nimbrel_sim {

namespace {

std::string hex(size_t offset) {
  char text[24];
  std::snprintf(text, sizeof text, "+0x%zx", offset);
  return text;
}

}  // namespace

void Engine::layOutSources() {
  if (!options_.noMenuManager) {
    auto* ui = static_cast<uint8_t*>(menuManager_);
    sources_.lay(ui + field::kMenuEventSource, "MenuOpenCloseEvent", Source::MenuOpenClose,
                 hex(field::kMenuEventSource) + " of the menu manager");
    sources_.lay(ui + field::kMenuModeSource, "MenuModeChangeEvent", std::nullopt,
                 hex(field::kMenuModeSource) + " of the menu manager");
  }
  sources_.lay(actionSource_, "SKSEActionEvent", Source::Action, "the host's action-event dispatcher");
  std::string ignored;
  layOutScriptEvents(options_.layoutFault == LayoutFault::HitSource, ignored);
}

bool Engine::layOutScriptEvents(bool inserted, std::string& problem) {
  if (options_.noScriptEventSources) return true;
  auto* holder = static_cast<uint8_t*>(scriptEventSources_);
  const uint8_t* end = holder + kScriptEventHolderSize + field::kEventSourceSize;
  if (sources_.anySinkWithin(holder, end)) {
    problem = "the script event holder's sources already hold sinks: its layout is the game's from its start-up";
    return false;
  }
  sources_.forget(holder, end);
  const std::vector<std::string> events = scriptEventHolderEvents(options_.edition, inserted);
  for (size_t i = 0; i < events.size(); ++i) {
    const size_t at = i * field::kEventSourceSize;
    const std::string where = hex(at) + " of the script event holder";
    const std::string event =
        events[i].empty() ? "source " + std::to_string(i) + " of the script event holder" : events[i];
    sources_.lay(holder + at, event, event == "TESHitEvent" ? std::optional<Source>(Source::Hit) : std::nullopt, where);
  }
  holderInserted_ = inserted;
  holderBytes_ = events.size() * field::kEventSourceSize;
  return true;
}

void* Engine::eventSource(Source source) const { return sources_.find(source); }

std::vector<void*> Engine::sinks(Source source) const {
  std::vector<void*> plugin;
  for (const EventSources::Sink& s : sources_.sinksOf(eventSource(source)))
    if (!s.game) plugin.push_back(s.object);
  return plugin;
}

std::vector<EventSources::Sink> Engine::deliveryList(Source source) const {
  return sources_.sinksOf(eventSource(source));
}

void Engine::joinSourcesOf(void* object, ClassId cls, const std::vector<void*>& among) {
  for (void* at : among) {
    const std::string event = sources_.eventOf(at);
    const std::optional<uint32_t> base = displacementOf(cls, "BSTEventSink<" + event + ">");
    if (!base) continue;
    void* sink = static_cast<uint8_t*>(object) + *base;
    sources_.append(at, sink, true);
    run_.trace.record("GameSinkJoined", Args()
                                            .s("source", event)
                                            .s("where", sources_.whereOf(at))
                                            .s("sink", std::string(className(cls)) + " " + hex(*base))
                                            .p("address", sink));
  }
}

void Engine::joinGameSinks() {
  if (gameSinksJoined_.exchange(true)) return;
  void* hit = eventSource(Source::Hit);
  std::vector<void*> script, menus;
  auto* ui = static_cast<uint8_t*>(menuManager_);
  for (const auto& [at, event] : sources_.all()) {
    if (at == hit || at == actionSource_) continue;
    (at >= ui && at < ui + field::kMenuManagerSize ? menus : script).push_back(at);
  }
  joinSourcesOf(vm_, gameClassOf(Cls::ScriptVm), script);
  joinSourcesOf(player_, gameClassOf(Cls::Player), menus);
}

void Engine::joinVmHitSink() {
  void* hit = eventSource(Source::Hit);
  if (!hit || vmInHitSource_.exchange(true)) return;
  joinSourcesOf(vm_, gameClassOf(Cls::ScriptVm), {hit});
}

// --- the plug-in's calls --------------------------------------------------------

void* Engine::scriptEventSourcesGet() {
  void* holder = options_.noScriptEventSources ? nullptr : scriptEventSources_;
  run_.trace.record("ScriptEventSourcesGet", Args().p("result", holder));
  return holder;
}

void Engine::addSink(void* source, void* sink) {
  const bool known = sources_.known(source);
  // The engine keeps one entry per sink.
  const bool added = known && sink && sources_.append(source, sink, false);
  Args args;
  args.p("source", source).s("sourceName", known ? sources_.eventOf(source) : "unknown");
  if (known) args.s("where", sources_.whereOf(source));
  args.p("sink", sink).b("duplicate", known && sink && !added);
  run_.trace.record("EventSourceAddSink", args);
  if (!known) run_.fail("EventSourceAddSink on an address that is no event source of the engine");
  if (!sink) run_.fail("EventSourceAddSink with a null sink");
}

}  // namespace nimbrel_sim
