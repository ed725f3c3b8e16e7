#include "support/loaded_data.h"

namespace fuzzsupport {

void FreshData(nimbrel_sim::GameDouble& game) { game.resetData(); }

void AddFile(nimbrel_sim::GameDouble& game, const std::string& name, uint8_t modIndex, uint16_t lightIndex) {
  game.addLoadedFile(name, modIndex, lightIndex);
}

void AddNullFileNode(nimbrel_sim::GameDouble& game) { game.addNullFileNode(); }

void* AddForm(nimbrel_sim::GameDouble& game, nimbrel_sim::FormKind kind, uint32_t formId) {
  return game.addForm(kind, formId);
}

void* AddFormList(nimbrel_sim::GameDouble& game, uint32_t formId, const std::vector<void*>& entries) {
  return game.addFormList(formId, entries);
}

void* AddWeather(nimbrel_sim::GameDouble& game, uint32_t formId, uint8_t flags, uint8_t lightningFrequency) {
  return game.addWeather(formId, flags, lightningFrequency);
}

void* AddEffectArt(nimbrel_sim::GameDouble& game, uint32_t formId, const char* modelPath) {
  return game.addEffectArt(formId, modelPath);
}

}  // namespace fuzzsupport
