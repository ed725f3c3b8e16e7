#include "support/in_process.h"

#include <stdexcept>

#include "events/sinks.h"
#include "game/engine_binding.h"
#include "game/event_records.h"
#include "plugin/host.h"
#include "support/temp_dir.h"

namespace testsupport {
namespace {

bool Query(const void* host, void* description) {
  return NimbrelVR::QueryPlugin(static_cast<const NimbrelVR::HostInterface*>(host),
                                static_cast<NimbrelVR::PluginDescription*>(description));
}
bool Load(const void* host) { return NimbrelVR::LoadPlugin(static_cast<const NimbrelVR::HostInterface*>(host)); }

}  // namespace

nimbrel_sim::Edition ThisEdition() {
#if NIMBREL_EDITION_VR
  return nimbrel_sim::Edition::VR;
#else
  return nimbrel_sim::Edition::SpecialEdition;
#endif
}

InProcessGame::InProcessGame(nimbrel_sim::Options options) {
  options.edition = ThisEdition();
  options.outDir = dir_.path();
  game_ = std::make_unique<nimbrel_sim::GameDouble>(std::move(options));
  if (!game_->usePluginEntryPoints(&Query, &Load)) throw std::runtime_error(game_->error());
}

std::string InProcessGame::Log() const { return ReadFile(game_->pluginLogPath()); }

void InProcessGame::StartWithDefaults(const nimbrel_sim::DataSet& data) {
  game_->data().installDefaultData(data);
  game_->world().loadWorld();
  if (!game_->query() || !game_->load()) throw std::runtime_error("the plug-in refused to load");
  game_->host().registerScriptFunctions();
  game_->host().sendMessage(nimbrel_sim::kMsgInputLoaded);
  // The menu sink as data-ready registers it, without the rest of data-ready.
  const NimbrelVR::game::EngineBinding& engine = NimbrelVR::game::Engine();
  if (void* menus = NimbrelVR::game::ReadHolder(engine.MenuManagerHolder))
    engine.EventSourceAddSink(NimbrelVR::game::MenuOpenCloseEventSource(menus), NimbrelVR::gMenuEventHandler.get());
}

}  // namespace testsupport
