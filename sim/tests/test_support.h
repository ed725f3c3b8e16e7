// Shared by the double's own tests: the Special Edition offsets written out
// independently of the double's tables, files read whole, and run folders
// that clean up.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "image/image.h"
#include "nimbrel_sim/game_double.h"

namespace nimbrel_sim_tests {

// Skyrim Special Edition 1.5.39 offsets.
inline constexpr uint32_t kFormFromId = 0x1943b0;
inline constexpr uint32_t kDynamicCast = 0x1363522;
inline constexpr uint32_t kSpellCast = 0x980de0;
inline constexpr uint32_t kRefMoveTo = 0x994cf0;
inline constexpr uint32_t kCellAttached = 0x98f3c0;
inline constexpr uint32_t kImodApply = 0x988fa0;
inline constexpr uint32_t kImodRemove = 0x989010;
inline constexpr uint32_t kEventSourcesGet = 0x186910;
inline constexpr uint32_t kAddSink = 0x56bab0;
inline constexpr uint32_t kHeapAllocate = 0xc02770;
inline constexpr uint32_t kHeapFree = 0xc02a70;
inline constexpr uint32_t kInternCreate = 0xc28c50;
inline constexpr uint32_t kInternAssign = 0xc28dc0;
inline constexpr uint32_t kNativeInit = 0x12683e0;
inline constexpr uint32_t kNativeRelease = 0x1268630;
inline constexpr uint32_t kArgOffset = 0x125c0d0;
inline constexpr uint32_t kArgValue = 0x125c130;
inline constexpr uint32_t kValueClear = 0x124e470;
inline constexpr uint32_t kFunctionBase7 = 0x1267dd0;
inline constexpr uint32_t kFunctionBase16 = 0x1267f50;
inline constexpr uint32_t kFunctionBase17 = 0x1267eb0;
inline constexpr uint32_t kFunctionBase19 = 0x1267ed0;
inline constexpr uint32_t kScriptVmHolder = 0x1eeab78;
inline constexpr uint32_t kDataRegistryHolder = 0x1ee5428;
inline constexpr uint32_t kMenuManagerHolder = 0x1ee5b20;
inline constexpr uint32_t kSkyHolder = 0x2f283d8;
inline constexpr uint32_t kPlayerHolder = 0x2f4def8;
inline constexpr uint32_t kEngineHeap = 0x1ee4280;
inline constexpr uint32_t kRttiForm = 0x1e36e80;
inline constexpr uint32_t kRttiSpell = 0x1e36ea0;
inline constexpr uint32_t kRttiEffectArt = 0x1e37240;
inline constexpr uint32_t kRttiImod = 0x1e37670;
inline constexpr uint32_t kRttiFormList = 0x1e37818;
inline constexpr uint32_t kRttiGlobal = 0x1e38090;
inline constexpr uint32_t kRttiReference = 0x1e397e8;
inline constexpr uint32_t kRttiObjectReference = kRttiReference;
inline constexpr uint32_t kRttiPlayer = 0x1e3ab28;
inline constexpr uint32_t kPatchSite = 0x12734bd;

// A file's bytes (none when it cannot be read).
inline std::vector<uint8_t> ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A folder under the temp folder for one run, removed when the process ends.
inline std::string RunFolder(const std::string& prefix, const char* name) {
  struct Folders {
    std::vector<std::string> paths;
    ~Folders() {
      std::error_code ignored;
      for (const auto& path : paths) std::filesystem::remove_all(path, ignored);
    }
  };
  static Folders folders;
  std::string path =
      (std::filesystem::temp_directory_path() / (prefix + name + "-" + std::to_string(::getpid()))).string();
  folders.paths.push_back(path);
  return path;
}

// A field of an engine object, read as the plug-in reads it (relaxed: the
// double writes it from the game's threads).
template <typename T>
T Field(uintptr_t object, size_t offset) {
  T value;
  __atomic_load(reinterpret_cast<const T*>(object + offset), &value, __ATOMIC_RELAXED);
  return value;
}

// What a holder of the image laid out in this process points at.
inline uintptr_t HolderValue(const nimbrel_sim::GameDouble& game, nimbrel_sim::EntryId holder) {
  return Field<uintptr_t>(game.checks().imageBase(), nimbrel_sim::offsetOf(holder, nimbrel_sim::image().layout()));
}

// The VR edition's own runtime, as the options name it.
inline constexpr uint32_t kVrRuntime = 0;

// A run on a runtime (kVrRuntime: the VR edition's own) in a folder of its own.
inline nimbrel_sim::Options OptionsOn(uint32_t runtime, const std::string& prefix, const char* name) {
  nimbrel_sim::Options o;
  o.edition = runtime == kVrRuntime ? nimbrel_sim::Edition::VR : nimbrel_sim::Edition::SpecialEdition;
  o.runtimeVersion = runtime;
  o.outDir = RunFolder(prefix, name);
  return o;
}

// Where a runtime keeps the cell's worldspace and the VM's script machine,
// written out from runtimes.md.
inline size_t WorldspaceOffset(uint32_t runtime) { return runtime >= 0x01062750 ? 0x128 : 0x120; }
inline size_t MachineOffset(uint32_t runtime) { return runtime >= 0x01070630 ? 0x210 : 0x200; }

}  // namespace nimbrel_sim_tests
