#include "engine/data.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <limits>

#include "engine/relaxed.h"

namespace nimbrel_sim {

namespace {

constexpr size_t kFileEntrySize = 0x480;
constexpr size_t kFileNameCapacity = 260;  // the engine's name buffer, terminator included
constexpr size_t kNodeSize = 16;           // file entry pointer, next node pointer
// The weather array never moves once published: a reader that took the
// pointer may index it with any count it sees later.
constexpr uint32_t kWeatherCapacity = 1024;

// The model component's table: slot 4 (byte offset 0x20) gets the model
// path, slot 5 (0x28) sets it; any other slot is a fault of the caller. The
// image holds it as the vtable of the effect art's TESModel (rtti.h).
constexpr size_t kComponentSlots = kModelComponentSlots;

GameData* ownerOf(void* component) { return loadField<GameData*>(component, field::kComponentOwner); }

const char* componentGet(void* component) { return ownerOf(component)->componentGet(component); }
void componentSet(void* component, const char* path) { ownerOf(component)->componentSet(component, path); }
template <int Slot>
uintptr_t componentTrap(void* component) {
  ownerOf(component)->componentTrap(component, Slot);
  return 0;
}

const void* const kComponentTable[kComponentSlots] = {
    reinterpret_cast<const void*>(&componentTrap<0>), reinterpret_cast<const void*>(&componentTrap<1>),
    reinterpret_cast<const void*>(&componentTrap<2>), reinterpret_cast<const void*>(&componentTrap<3>),
    reinterpret_cast<const void*>(&componentGet),     reinterpret_cast<const void*>(&componentSet),
    reinterpret_cast<const void*>(&componentTrap<6>), reinterpret_cast<const void*>(&componentTrap<7>),
};

struct KindLayout {
  Cls cls;
  size_t size;
};

KindLayout layoutOf(FormKind kind) {
  switch (kind) {
    case FormKind::Spell:
      return {Cls::Spell, 0x100};
    case FormKind::EffectArt:
      return {Cls::EffectArt, 0xd0};
    case FormKind::ImageSpaceModifier:
      return {Cls::ImageSpaceModifier, 0x100};
    case FormKind::FormList:
      return {Cls::FormList, 0x40};
    case FormKind::GlobalVariable:
      return {Cls::GlobalVariable, 0x40};
    case FormKind::ObjectReference:
      return {Cls::ObjectReference, 0x100};
    case FormKind::Weather:
      return {Cls::Weather, 0x680};
    case FormKind::Worldspace:
      return {Cls::Worldspace, 0x100};
    case FormKind::Weapon:
      return {Cls::Form, 0x160};  // a weapon's bases reach to 0x160
  }
  return {Cls::Form, 0x100};
}

// Spell lists of "Nimbrel.esp": sheet lightning and the five fork distance
// bands from near to far, each with its hostile variant. The counts differ so
// that a list read into the wrong field shows.
struct SpellList {
  uint32_t list;
  int spells;
};
constexpr SpellList kSpellLists[] = {
    {0x8CD, 3}, {0x8CE, 2},  // sheet, hostile sheet
    {0x87C, 3}, {0x87D, 2},  // fork (nearest band), hostile fork
    {0xCF0, 3}, {0xCF1, 2},  // close-far fork, hostile
    {0xCEE, 3}, {0xCEF, 2},  // far fork, hostile
    {0xCF2, 3}, {0xCF3, 2},  // very-far fork, hostile
    {0xCF4, 3}, {0xCF5, 2},  // too-far fork, hostile
};
constexpr uint32_t kFirstSpell = 0x900;  // list i holds 0x900 + 0x10 * i + k
constexpr uint32_t kReferenceLists[] = {local::kSheetCasters, local::kSheetTargets, local::kForkCasters,
                                        local::kForkTargets};
constexpr int kReferencesPerList = 4;
constexpr uint32_t kFirstReference = 0xA00;  // list j holds 0xA00 + 0x10 * j + k

struct GlobalValue {
  uint32_t local;
  float value;
};
constexpr GlobalValue kGlobals[] = {
    {local::kCompatibilityMode, 0.0f}, {local::kMinChainChildren, 3.0f}, {local::kMaxChainChildren, 7.0f},
    {local::kChainPercentage, 30.0f},  {local::kSheetFade, 1.5f},        {local::kForkFade, 1.5f},
};

struct DefaultWeatherData {
  DefaultWeather role;
  uint32_t id;
  uint8_t flags;
  uint8_t frequency;
};
// Weathers of every class. Only ExemptStorm's id is one the plug-in sets
// apart; the rainy ones that count give a floor of 30 (Thunderstorm).
constexpr DefaultWeatherData kWeathers[] = {
    {DefaultWeather::Clear, 0x0010A7A8, 0x01, 255},      {DefaultWeather::Cloudy, 0x000C8220, 0x02, 120},
    {DefaultWeather::Rain, 0x0010E1E9, 0x04, 60},        {DefaultWeather::Thunderstorm, 0x0010E1F2, 0x04, 30},
    {DefaultWeather::Snow, 0x0010E1F0, 0x08, 200},       {DefaultWeather::RainySnow, 0x0010E1EE, 0x0C, 90},
    {DefaultWeather::ExemptStorm, 0x0010DA13, 0x04, 10}, {DefaultWeather::Unclassified, 0x0010E3D4, 0x00, 0},
};
constexpr size_t kNullWeatherAfter = 3;  // the array's null entry follows Rain

}  // namespace

const void* const* GameData::modelComponentTable() { return kComponentTable; }

GameData::GameData(Run& run, Engine& engine, Edition edition) : run_(run), engine_(engine), edition_(edition) {
  weatherArray_ = std::make_unique<void*[]>(kWeatherCapacity);  // zeroed
  weathers_ = weatherArray_.get();
}

uint32_t GameData::composeFormId(Edition edition, uint8_t modIndex, uint16_t lightIndex, uint32_t localId) {
  // The engine keeps light indexes up to 0xFFF in a 16-bit field.
  if (edition == Edition::SpecialEdition && lightIndex != 0)
    return 0xFE000000u | ((uint32_t{lightIndex} & 0xFFFu) << 12) | (localId & 0xFFFu);
  return (uint32_t{modIndex} << 24) | (localId & 0xFFFFFFu);
}

void* GameData::keep(size_t size) {
  auto block = std::make_unique<uint8_t[]>(size);  // zeroed
  void* memory = block.get();
  std::lock_guard lock(mutex_);
  storage_.push_back(std::move(block));
  return memory;
}

// --- the loaded-file list -----------------------------------------------------

void GameData::appendNode(void* file) {
  void* head = static_cast<uint8_t*>(engine_.dataRegistry_) + field::kLoadedFiles;
  void* node = keep(kNodeSize);  // unused when the file goes into the head node
  std::lock_guard lock(mutex_);
  if (fileNodes_ == 0) {
    storeField<void*>(head, 0, file);  // the head node is embedded and holds the first file
    lastNode_ = head;
  } else {
    storeField<void*>(node, 0, file);
    storeField<void*>(lastNode_, 8, node);  // linked last, once the node is complete
    lastNode_ = node;
  }
  ++fileNodes_;
}

void GameData::addLoadedFile(const std::string& name, uint8_t modIndex, uint16_t lightIndex) {
  auto* file = static_cast<uint8_t*>(keep(kFileEntrySize));
  std::memcpy(file + field::kFileName, name.data(), std::min(name.size(), kFileNameCapacity - 1));
  storeField<uint8_t>(file, field::kFileModIndex, modIndex);
  storeField<uint16_t>(file, field::kFileLightIndex, lightIndex);
  appendNode(file);
  run_.trace.record("AddLoadedFile", Args().s("name", name).u("modIndex", modIndex).u("lightIndex", lightIndex));
}

void GameData::addNullFileNode() {
  appendNode(nullptr);
  run_.trace.record("AddLoadedFile", Args().b("null", true));
}

// --- forms --------------------------------------------------------------------

void* GameData::newForm(FormKind kind, uint32_t formId) {
  KindLayout layout = layoutOf(kind);
  void* form = engine_.create(layout.cls, layout.size);
  if (kind == FormKind::EffectArt) {
    // Its TESModel's vtable came with the object; the component knows its owner.
    void* component = static_cast<uint8_t*>(form) + field::kModelComponent;
    storeField<GameData*>(component, field::kComponentOwner, this);
  }
  engine_.addForm(formId, form);
  std::lock_guard lock(mutex_);
  forms_.push_back(form);
  return form;
}

void* GameData::addForm(FormKind kind, uint32_t formId) {
  void* form = newForm(kind, formId);
  leaveFault(form, layoutOf(kind).cls);
  return form;
}

void GameData::removeForm(uint32_t formId) {
  std::lock_guard lock(engine_.mutex_);
  engine_.forms_.erase(formId);
}

void* GameData::findForm(uint32_t formId) const {
  std::lock_guard lock(engine_.mutex_);
  auto it = engine_.forms_.find(formId);
  return it == engine_.forms_.end() ? nullptr : it->second;
}

void* GameData::addFormList(uint32_t formId, const std::vector<void*>& entries) {
  void* list = newForm(FormKind::FormList, formId);
  if (!entries.empty()) {
    auto* array = static_cast<void**>(keep(entries.size() * sizeof(void*)));
    for (size_t i = 0; i < entries.size(); ++i) storeField<void*>(array, i * sizeof(void*), entries[i]);
    storeField<void**>(list, field::kFormListEntries, array);
  }
  // A BSTArray: its capacity holds its count, and no array while both are 0.
  storeField<uint32_t>(list, field::kFormListCapacity, static_cast<uint32_t>(entries.size()));
  storeField<uint32_t>(list, field::kFormListCount, static_cast<uint32_t>(entries.size()));
  leaveFault(list, Cls::FormList);
  return list;
}

void* GameData::addGlobal(uint32_t formId, float value) {
  void* global = newForm(FormKind::GlobalVariable, formId);
  storeField<float>(global, field::kGlobalValue, value);
  return global;
}

void* GameData::addEffectArt(uint32_t formId, const char* modelPath, float fadeDuration) {
  void* art = newForm(FormKind::EffectArt, formId);
  void* component = static_cast<uint8_t*>(art) + field::kModelComponent;
  if (modelPath)
    __atomic_store_n(reinterpret_cast<const char**>(static_cast<uint8_t*>(component) + field::kComponentPath),
                     engine_.intern(modelPath), __ATOMIC_RELEASE);
  storeField<float>(art, field::kFadeDuration, fadeDuration);
  leaveFault(art, Cls::EffectArt);
  return art;
}

void* GameData::addWeather(uint32_t formId, uint8_t flags, uint8_t lightningFrequency) {
  void* weather = newForm(FormKind::Weather, formId);
  storeField<uint8_t>(weather, field::kWeatherFrequency, lightningFrequency);
  storeField<uint8_t>(weather, field::kWeatherFlags, flags);
  std::lock_guard lock(mutex_);
  if (weatherCount_ >= kWeatherCapacity) {
    run_.fail("more weathers than the double's weather array holds");
    return weather;
  }
  storeField<void*>(weathers_, weatherCount_ * sizeof(void*), weather);
  ++weatherCount_;
  storeField<void**>(engine_.dataRegistry_, field::kWeatherArray, weathers_);
  storeField<uint32_t>(engine_.dataRegistry_, field::kWeatherCount, weatherCount_);
  return weather;
}

void GameData::addNullWeather() {
  std::lock_guard lock(mutex_);
  if (weatherCount_ >= kWeatherCapacity) {
    run_.fail("more weathers than the double's weather array holds");
    return;
  }
  storeField<void*>(weathers_, weatherCount_ * sizeof(void*), nullptr);
  ++weatherCount_;
  storeField<void**>(engine_.dataRegistry_, field::kWeatherArray, weathers_);
  storeField<uint32_t>(engine_.dataRegistry_, field::kWeatherCount, weatherCount_);
}

void GameData::resetData() {
  std::vector<void*> forms;
  {
    std::lock_guard lock(mutex_);
    void* head = static_cast<uint8_t*>(engine_.dataRegistry_) + field::kLoadedFiles;
    storeField<void*>(head, 8, nullptr);  // unlinked first, then emptied
    storeField<void*>(head, 0, nullptr);
    fileNodes_ = 0;
    lastNode_ = nullptr;
    storeField<uint32_t>(engine_.dataRegistry_, field::kWeatherCount, 0);
    for (uint32_t i = 0; i < weatherCount_; ++i) storeField<void*>(weathers_, i * sizeof(void*), nullptr);
    weatherCount_ = 0;
    installed_.reset();
    storage_.clear();
    forms.swap(forms_);
  }
  engine_.destroy(forms);
  run_.trace.record("ResetData", Args().u("forms", forms.size()));
}

void* GameData::effectArt(uint32_t formId) const {
  void* form = findForm(formId);
  if (!form) return nullptr;
  std::optional<Cls> cls = engine_.classOf(form);
  return cls && *cls == Cls::EffectArt ? form : nullptr;
}

float GameData::fadeDuration(uint32_t formId) const {
  void* art = effectArt(formId);
  return art ? loadField<float>(art, field::kFadeDuration) : std::numeric_limits<float>::quiet_NaN();
}

std::optional<std::string> GameData::modelPath(uint32_t formId) const {
  void* art = effectArt(formId);
  if (!art) return std::nullopt;
  const char* path = __atomic_load_n(
      reinterpret_cast<const char* const*>(static_cast<uint8_t*>(art) + field::kModelComponent + field::kComponentPath),
      __ATOMIC_ACQUIRE);
  if (!path) return std::nullopt;
  return std::string(path);
}

size_t GameData::modelPathSets(uint32_t formId) const {
  void* art = effectArt(formId);
  if (!art) return 0;
  return loadField<uint64_t>(static_cast<uint8_t*>(art) + field::kModelComponent, field::kComponentSets);
}

// --- the model component --------------------------------------------------------

namespace {
uint32_t formIdOfComponent(void* component) {
  return loadField<uint32_t>(static_cast<uint8_t*>(component) - field::kModelComponent, field::kFormId);
}
const char** pathSlot(void* component) {
  return reinterpret_cast<const char**>(static_cast<uint8_t*>(component) + field::kComponentPath);
}
}  // namespace

// The path is published with release and read with acquire, so whoever gets
// the pointer also sees the text behind it.
const char* GameData::componentGet(void* component) {
  run_.noteEngineEntry("ModelPathGet");
  const char* path = __atomic_load_n(pathSlot(component), __ATOMIC_ACQUIRE);
  run_.trace.record("ModelPathGet",
                    Args().u("formId", formIdOfComponent(component)).s("result", path ? path : "(null)"));
  return path;
}

void GameData::componentSet(void* component, const char* path) {
  run_.noteEngineEntry("ModelPathSet");
  uint32_t formId = formIdOfComponent(component);
  if (!path) {
    run_.trace.record("ModelPathSet", Args().u("formId", formId).s("path", "(null)"));
    run_.fail("set model path with a null string");
    return;
  }
  // The engine keeps its own copy: the caller frees its string right after.
  const char* copy = engine_.intern(path);
  const char* old = __atomic_exchange_n(pathSlot(component), copy, __ATOMIC_ACQ_REL);
  __atomic_fetch_add(reinterpret_cast<uint64_t*>(static_cast<uint8_t*>(component) + field::kComponentSets), 1,
                     __ATOMIC_RELAXED);
  run_.trace.record("ModelPathSet", Args().u("formId", formId).s("old", old ? old : "(null)").s("path", copy));
}

void GameData::componentTrap(void* component, int slot) {
  run_.noteEngineEntry("ModelComponentSlot");
  run_.trace.record("ModelComponentSlot", Args().u("formId", formIdOfComponent(component)).i("slot", slot));
  run_.fail("model component virtual slot " + std::to_string(slot) +
            " called; only slots 4 (get, 0x20) and 5 (set, 0x28) are used");
}

// --- the default data set --------------------------------------------------------

uint32_t GameData::pluginFormId(uint32_t localId) const {
  DataSet data;
  {
    std::lock_guard lock(mutex_);
    if (installed_) data = *installed_;
  }
  return composeFormId(edition_, data.pluginModIndex, data.pluginLightIndex, localId);
}

uint32_t GameData::dawnguardFormId(uint32_t localId) const {
  DataSet data;
  {
    std::lock_guard lock(mutex_);
    if (installed_) data = *installed_;
  }
  return composeFormId(edition_, data.dawnguardModIndex, data.dawnguardLightIndex, localId);
}

uint32_t GameData::weatherId(DefaultWeather weather) {
  for (const auto& w : kWeathers)
    if (w.role == weather) return w.id;
  return 0;
}

void GameData::addFormListLocal(uint32_t localId, const std::vector<void*>& entries) {
  addFormList(pluginFormId(localId), entries);
}

void GameData::installDefaultData(const DataSet& data) {
  {
    std::lock_guard lock(mutex_);
    installed_ = data;
  }
  run_.trace.record("InstallDefaultData", Args()
                                              .b("pluginLoaded", data.pluginLoaded)
                                              .u("pluginModIndex", data.pluginModIndex)
                                              .u("pluginLightIndex", data.pluginLightIndex)
                                              .b("dawnguardLoaded", data.dawnguardLoaded)
                                              .u("dawnguardModIndex", data.dawnguardModIndex)
                                              .u("dawnguardLightIndex", data.dawnguardLightIndex));

  addLoadedFile("Skyrim.esm", 0x00, 0);
  addLoadedFile("Update.esm", 0x01, 0);
  if (data.dawnguardLoaded) {
    addLoadedFile("Dawnguard.esm", data.dawnguardModIndex, data.dawnguardLightIndex);
    for (uint32_t id : local::kDawnguardWorldspaces) newForm(FormKind::Worldspace, dawnguardFormId(id));
  }
  addNullFileNode();  // the game's list can hold empty nodes; walkers must pass over them

  if (data.pluginLoaded) {
    addLoadedFile("Nimbrel.esp", data.pluginModIndex, data.pluginLightIndex);
    newForm(FormKind::ImageSpaceModifier, pluginFormId(local::kSheetImod));
    newForm(FormKind::ImageSpaceModifier, pluginFormId(local::kForkImod));

    for (size_t i = 0; i < std::size(kSpellLists); ++i) {
      std::vector<void*> spells;
      for (int k = 0; k < kSpellLists[i].spells; ++k)
        spells.push_back(newForm(
            FormKind::Spell, pluginFormId(kFirstSpell + 0x10 * static_cast<uint32_t>(i) + static_cast<uint32_t>(k))));
      addFormListLocal(kSpellLists[i].list, spells);
    }
    // Hidden casters and targets: they stand in no cell until a strike moves them.
    for (size_t j = 0; j < std::size(kReferenceLists); ++j) {
      std::vector<void*> references;
      for (int k = 0; k < kReferencesPerList; ++k)
        references.push_back(
            newForm(FormKind::ObjectReference,
                    pluginFormId(kFirstReference + 0x10 * static_cast<uint32_t>(j) + static_cast<uint32_t>(k))));
      addFormListLocal(kReferenceLists[j], references);
    }
    for (const auto& g : kGlobals) addGlobal(pluginFormId(g.local), g.value);

    // Night art as the data file ships it; the day variants live under
    // "magic\daytime\".
    char path[64];
    int n = 0;
    for (uint32_t id : local::kSheetArt) {
      std::snprintf(path, sizeof path, "magic\\nimbrel\\sheet%02d.nif", ++n);
      addEffectArt(pluginFormId(id), path, 1.5f);
    }
    n = 0;
    for (uint32_t id : local::kForkArt) {
      std::snprintf(path, sizeof path, "magic\\nimbrel\\fork%02d.nif", ++n);
      addEffectArt(pluginFormId(id), path, 1.5f);
    }
  }

  for (size_t i = 0; i < std::size(kWeathers); ++i) {
    addWeather(kWeathers[i].id, kWeathers[i].flags, kWeathers[i].frequency);
    if (i + 1 == kNullWeatherAfter) addNullWeather();
  }
}

}  // namespace nimbrel_sim
