// GameDouble: game data and the script machine.
#include "game_double_impl.h"

namespace nimbrel_sim {

// --- game data -------------------------------------------------------------------

void GameDouble::addLoadedFile(const std::string& name, uint8_t modIndex, uint16_t lightIndex) {
  impl_->data.addLoadedFile(name, modIndex, lightIndex);
}

void GameDouble::addNullFileNode() { impl_->data.addNullFileNode(); }

void* GameDouble::addForm(FormKind kind, uint32_t formId) { return impl_->data.addForm(kind, formId); }

void GameDouble::removeForm(uint32_t formId) { impl_->data.removeForm(formId); }

void* GameDouble::findForm(uint32_t formId) const { return impl_->data.findForm(formId); }

void* GameDouble::addFormList(uint32_t formId, const std::vector<void*>& entries) {
  return impl_->data.addFormList(formId, entries);
}

void* GameDouble::addGlobal(uint32_t formId, float value) { return impl_->data.addGlobal(formId, value); }

void* GameDouble::addEffectArt(uint32_t formId, const char* modelPath, float fadeDuration) {
  return impl_->data.addEffectArt(formId, modelPath, fadeDuration);
}

void* GameDouble::addWeather(uint32_t formId, uint8_t flags, uint8_t lightningFrequency) {
  return impl_->data.addWeather(formId, flags, lightningFrequency);
}

void GameDouble::addNullWeather() { impl_->data.addNullWeather(); }

void GameDouble::resetData() { impl_->data.resetData(); }

float GameDouble::fadeDuration(uint32_t formId) const { return impl_->data.fadeDuration(formId); }

std::optional<std::string> GameDouble::modelPath(uint32_t formId) const { return impl_->data.modelPath(formId); }

size_t GameDouble::modelPathSets(uint32_t formId) const { return impl_->data.modelPathSets(formId); }

void GameDouble::installDefaultData(const DataSet& data) { impl_->data.installDefaultData(data); }

uint32_t GameDouble::pluginFormId(uint32_t localId) const { return impl_->data.pluginFormId(localId); }

uint32_t GameDouble::dawnguardFormId(uint32_t localId) const { return impl_->data.dawnguardFormId(localId); }

uint32_t GameDouble::weatherId(DefaultWeather weather) const { return GameData::weatherId(weather); }

// --- the script machine ---------------------------------------------------------------

bool GameDouble::callNative(const std::string& className, const std::string& function, const ScriptArg& first,
                            const ScriptArg& second, uint64_t* resultType) {
  return impl_->machine.callNative(className, function, std::vector<ScriptArg>{first, second}, resultType);
}

bool GameDouble::callNative(const std::string& className, const std::string& function,
                            const std::vector<ScriptArg>& args, uint64_t* resultType) {
  return impl_->machine.callNative(className, function, args, resultType);
}

uint64_t GameDouble::callFunctionSlot(const std::string& function, int slot, uint64_t a, uint64_t b, uint64_t c) {
  return impl_->machine.callFunctionSlot(function, slot, a, b, c);
}

void* GameDouble::registeredFunction(const std::string& function) const {
  return impl_->machine.registeredFunction(function);
}

void GameDouble::failHeapAllocations(int count) { impl_->engine.failHeapAllocations(count); }

size_t GameDouble::liveHeapBlocks() const { return impl_->engine.liveHeapBlocks(); }

}  // namespace nimbrel_sim
