// Game data of the simulated engine: the data registry's loaded-file list and
// weather array, forms of each kind with the fields the plug-in reads, the
// effect-art model components, and the default data set a run starts from.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "nimbrel_sim/types.h"
#include "run/run.h"

namespace nimbrel_sim {

// Fields of data objects (byte offsets), beside those in engine.h.
namespace field {
inline constexpr size_t kFormListEntries = 0x20;  // BSTArray<TESForm*>: data, capacity, size
inline constexpr size_t kFormListCapacity = 0x28;
inline constexpr size_t kFormListCount = 0x30;
inline constexpr size_t kGlobalValue = 0x34;
inline constexpr size_t kModelComponent = 0x40;
inline constexpr size_t kFadeDuration = 0xc4;
inline constexpr size_t kFadeDurationWord = 0xc0;  // the 8-byte word the fade duration is the high half of
inline constexpr size_t kWeatherFrequency = 0x66e;
inline constexpr size_t kWeatherFlags = 0x66f;
inline constexpr size_t kFileName = 0x58;
inline constexpr size_t kFileModIndex = 0x478;
inline constexpr size_t kFileLightIndex = 0x47a;
// The model component's own layout (the engine's business, not read by the
// plug-in): its table, the current path, its owner, the count of sets.
inline constexpr size_t kComponentPath = 0x08;
inline constexpr size_t kComponentOwner = 0x10;
inline constexpr size_t kComponentSets = 0x18;
}  // namespace field

// Local ids of "Nimbrel.esp" and "Dawnguard.esm" the default data set fills.
namespace local {
inline constexpr uint32_t kSheetImod = 0x84B;
inline constexpr uint32_t kForkImod = 0x807;
inline constexpr uint32_t kSheetCasters = 0x8D3;
inline constexpr uint32_t kSheetTargets = 0x8D5;
inline constexpr uint32_t kForkCasters = 0x8D4;
inline constexpr uint32_t kForkTargets = 0x8D6;
inline constexpr uint32_t kCompatibilityMode = 0xA6A;
inline constexpr uint32_t kMinChainChildren = 0xCB5;
inline constexpr uint32_t kMaxChainChildren = 0xCB6;
inline constexpr uint32_t kChainPercentage = 0xCB4;
inline constexpr uint32_t kSheetFade = 0xCF6;
inline constexpr uint32_t kForkFade = 0xCF7;
inline constexpr uint32_t kSheetArt[15] = {0x800, 0x80C, 0x814, 0x815, 0x816, 0x817, 0x818, 0x819,
                                           0x81A, 0x81B, 0x81C, 0x81D, 0x81E, 0xAB6, 0xAB7};
inline constexpr uint32_t kForkArt[14] = {0x801, 0x811, 0xA6B, 0xA6C, 0xA6D, 0xA6E, 0xA6F,
                                          0xA70, 0xA71, 0xA72, 0xA73, 0xA74, 0xA75, 0xA76};
inline constexpr uint32_t kDawnguardWorldspaces[3] = {0x48C7, 0x4BEA, 0x2F64};
}  // namespace local

class GameData {
 public:
  GameData(Run& run, Engine& engine, Edition edition);
  GameData(const GameData&) = delete;
  GameData& operator=(const GameData&) = delete;

  // The double's own rule for full ids (the Special Edition knows light
  // files; VR composes every id from the mod index).
  static uint32_t composeFormId(Edition edition, uint8_t modIndex, uint16_t lightIndex, uint32_t localId);

  void addLoadedFile(const std::string& name, uint8_t modIndex, uint16_t lightIndex);
  void addNullFileNode();
  void* addForm(FormKind kind, uint32_t formId);
  void removeForm(uint32_t formId);
  void* findForm(uint32_t formId) const;
  void* addFormList(uint32_t formId, const std::vector<void*>& entries);
  void* addGlobal(uint32_t formId, float value);
  void* addEffectArt(uint32_t formId, const char* modelPath, float fadeDuration);
  void* addWeather(uint32_t formId, uint8_t flags, uint8_t lightningFrequency);
  void addNullWeather();
  void resetData();
  // NaN when the id names no effect-art form.
  float fadeDuration(uint32_t formId) const;
  std::optional<std::string> modelPath(uint32_t formId) const;
  size_t modelPathSets(uint32_t formId) const;

  void installDefaultData(const DataSet& data);
  uint32_t pluginFormId(uint32_t localId) const;
  uint32_t dawnguardFormId(uint32_t localId) const;
  static uint32_t weatherId(DefaultWeather weather);

  // Moves one field of the data's forms for the rest of the run (layout
  // faults effect-art-model, fade-duration, form-list): every form of the
  // kind, those made later too, holds what a moved layout leaves there. The
  // double itself reads those fields only to report them.
  void setLayoutFault(LayoutFault fault);

  // The model component's vtable slots (kModelComponentSlots), and its
  // operations as they run them.
  static const void* const* modelComponentTable();
  const char* componentGet(void* component);
  void componentSet(void* component, const char* path);
  void componentTrap(void* component, int slot);

 private:
  void* newForm(FormKind kind, uint32_t formId);
  void* effectArt(uint32_t formId) const;  // null unless an effect-art form
  void* keep(size_t size);                 // zeroed memory that lives as long as the process
  void appendNode(void* file);
  void addFormListLocal(uint32_t localId, const std::vector<void*>& entries);
  // What the layout fault in force leaves in a form of the class (data_faults.cpp).
  void leaveFault(void* form, Cls cls);
  std::atomic<LayoutFault> fault_{LayoutFault::None};

  Run& run_;
  Engine& engine_;
  const Edition edition_;
  mutable std::mutex mutex_;
  std::vector<std::unique_ptr<uint8_t[]>> storage_;  // file entries, list nodes, form-list arrays
  std::vector<void*> forms_;                         // every form made here, for resetData
  std::unique_ptr<void*[]> weatherArray_;
  size_t fileNodes_ = 0;      // nodes in the loaded-file list, the head included
  void* lastNode_ = nullptr;  // where the next node is linked
  void** weathers_ = nullptr;
  uint32_t weatherCount_ = 0;
  std::optional<DataSet> installed_;
};

}  // namespace nimbrel_sim
