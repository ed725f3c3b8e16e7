#include "support/loaded_data.h"

namespace fuzzsupport {

void FreshData(nimbrel_sim::GameDouble& game) { game.data().resetData(); }

void AddFile(nimbrel_sim::GameDouble& game, const std::string& name, uint8_t modIndex, uint16_t lightIndex) {
  game.data().addLoadedFile(name, modIndex, lightIndex);
}

void AddNullFileNode(nimbrel_sim::GameDouble& game) { game.data().addNullFileNode(); }

void* AddForm(nimbrel_sim::GameDouble& game, nimbrel_sim::FormKind kind, uint32_t formId) {
  return game.data().addForm(kind, formId);
}

void* AddFormList(nimbrel_sim::GameDouble& game, uint32_t formId, const std::vector<void*>& entries) {
  return game.data().addFormList(formId, entries);
}

void* AddWeather(nimbrel_sim::GameDouble& game, uint32_t formId, uint8_t flags, uint8_t lightningFrequency) {
  return game.data().addWeather(formId, flags, lightningFrequency);
}

void* AddEffectArt(nimbrel_sim::GameDouble& game, uint32_t formId, const char* modelPath) {
  return game.data().addEffectArt(formId, modelPath);
}

}  // namespace fuzzsupport
