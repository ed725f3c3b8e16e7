// The game's loaded data files and the form ids of their records.
#pragma once

#include <cstdint>

namespace NimbrelVR::game {

// A loaded data file's entry in the engine's data registry (opaque).
struct LoadedFile;

inline constexpr const char* kPluginFileName = "Nimbrel.esp";
inline constexpr const char* kDawnguardFileName = "Dawnguard.esm";

// The first loaded file whose name equals `name`, ignoring ASCII letter case;
// null when there is none (or no data registry yet).
const LoadedFile* FindLoadedFile(const char* name);

uint8_t ModIndex(const LoadedFile* file);
// The engine keeps the light index in 16 bits (0 = not a light file).
uint16_t LightIndex(const LoadedFile* file);
// Mod index 0 and 0xFF mark a file whose forms cannot be reached.
inline bool HasUsableModIndex(const LoadedFile* file) {
  const uint8_t index = ModIndex(file);
  return index != 0 && index != 0xFF;
}

// The full form id of `localId` in `file`. Light files get the 0xFE scheme in
// the Special Edition build only (the low 12 bits of the light index); VR has
// no light files.
uint32_t ComposeFormId(const LoadedFile* file, uint32_t localId);

// FormFromId, then the engine's dynamic cast from the form base class to
// `type`; null when either finds nothing.
void* LookUpFormAs(uint32_t formId, const void* type);

}  // namespace NimbrelVR::game
