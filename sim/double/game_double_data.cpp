// GameDouble: game data and the script machine.
#include "double/game_double_impl.h"

namespace nimbrel_sim {

// --- game data -------------------------------------------------------------------

void DataAccess::addLoadedFile(const std::string& name, uint8_t modIndex, uint16_t lightIndex) {
  impl_->data.addLoadedFile(name, modIndex, lightIndex);
}

void DataAccess::addNullFileNode() { impl_->data.addNullFileNode(); }

void* DataAccess::addForm(FormKind kind, uint32_t formId) { return impl_->data.addForm(kind, formId); }

void DataAccess::removeForm(uint32_t formId) { impl_->data.removeForm(formId); }

void* DataAccess::findForm(uint32_t formId) const { return impl_->data.findForm(formId); }

void* DataAccess::addFormList(uint32_t formId, const std::vector<void*>& entries) {
  return impl_->data.addFormList(formId, entries);
}

void* DataAccess::addGlobal(uint32_t formId, float value) { return impl_->data.addGlobal(formId, value); }

void* DataAccess::addEffectArt(uint32_t formId, const char* modelPath, float fadeDuration) {
  return impl_->data.addEffectArt(formId, modelPath, fadeDuration);
}

void* DataAccess::addWeather(uint32_t formId, uint8_t flags, uint8_t lightningFrequency) {
  return impl_->data.addWeather(formId, flags, lightningFrequency);
}

void DataAccess::addNullWeather() { impl_->data.addNullWeather(); }

void DataAccess::resetData() { impl_->data.resetData(); }

float DataAccess::fadeDuration(uint32_t formId) const { return impl_->data.fadeDuration(formId); }

std::optional<std::string> DataAccess::modelPath(uint32_t formId) const { return impl_->data.modelPath(formId); }

size_t DataAccess::modelPathSets(uint32_t formId) const { return impl_->data.modelPathSets(formId); }

void DataAccess::installDefaultData(const DataSet& data) { impl_->data.installDefaultData(data); }

uint32_t DataAccess::pluginFormId(uint32_t localId) const { return impl_->data.pluginFormId(localId); }

uint32_t DataAccess::dawnguardFormId(uint32_t localId) const { return impl_->data.dawnguardFormId(localId); }

uint32_t DataAccess::weatherId(DefaultWeather weather) const { return GameData::weatherId(weather); }

// --- the script machine ---------------------------------------------------------------

bool ScriptAccess::callNative(const std::string& className, const std::string& function, const ScriptArg& first,
                              const ScriptArg& second, uint64_t* resultType) {
  return callNative(className, function, std::vector<ScriptArg>{first, second}, resultType);
}

bool ScriptAccess::callNative(const std::string& className, const std::string& function,
                              const std::vector<ScriptArg>& args, uint64_t* resultType) {
  DoubleState& d = *impl_;
  // Native calls run on one of the script machine's threads.
  if (Run::onThreadOf("script")) return d.machine.callNative(className, function, args, resultType);
  bool result = false;
  d.scripts.call([&] { result = d.machine.callNative(className, function, args, resultType); });
  return result;
}

size_t ScriptAccess::registeredFunctionCount() const { return impl_->engine.registeredFunctionCount(); }

uint64_t ScriptAccess::callFunctionSlot(const std::string& function, int slot, uint64_t argument, uint64_t* outs) {
  return impl_->machine.callFunctionSlot(function, slot, argument, outs);
}

void* ScriptAccess::registeredFunction(const std::string& function) const {
  return impl_->machine.registeredFunction(function);
}

void ScriptAccess::failHeapAllocations(int count) { impl_->engine.failHeapAllocations(count); }

size_t ScriptAccess::liveHeapBlocks() const { return impl_->engine.liveHeapBlocks(); }

}  // namespace nimbrel_sim
