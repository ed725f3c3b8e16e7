// The game runtimes the double can play and what differs between them: the
// offset column of the image, the Address Library database the runtime's
// plug-ins read, the host that loads them and the cell's layout. Facts from
// /work/shared/runtimes.md, never from the plug-in's own tables.
#pragma once

#include <cstdint>
#include <string>

#include "nimbrel_sim/types.h"

namespace nimbrel_sim {

// Packed as the host packs them: major << 24 | minor << 16 | build << 4 | sub.
inline constexpr uint32_t kRuntime1_5_39 = 0x01050270;
inline constexpr uint32_t kRuntime1_5_97 = 0x01050610;
inline constexpr uint32_t kRuntime1_6_353 = 0x01061610;
inline constexpr uint32_t kRuntime1_6_629 = 0x01062750;
inline constexpr uint32_t kRuntime1_6_1170 = 0x01064920;

// One offset column of the image per runtime whose engine layout the double
// knows.
enum class Layout : int { Se1_5_39, Se1_5_97, Ae1_6_353, Ae1_6_1170, Vr, Count };
inline constexpr int kLayoutCount = static_cast<int>(Layout::Count);

// The parts SKSE packs a runtime from: major << 24 | minor << 16 | build << 4 | sub.
struct RuntimeParts {
  unsigned major, minor, build, sub;
};
constexpr RuntimeParts partsOf(uint32_t packed) {
  return {packed >> 24, (packed >> 16) & 0xFF, (packed >> 4) & 0xFFF, packed & 0xF};
}

// "1.6.1170", "1.4.15.1" (the sub-version only when set).
std::string runtimeName(uint32_t packed);
// "1.5.97", "1.6.1170" (any major.minor.build[.sub] in range) or the packed
// hex ("0x01070630", "01070630"). False with what is wrong.
bool parseRuntime(const std::string& text, uint32_t& packed, std::string& problem);

// The runtime a run plays: the option, or the edition's own.
uint32_t runtimeOf(const Options& options);
// The column laid out for a runtime: its own, or the nearest one the double
// knows (1.6.1170 for 1.6 and later, 1.5.97 for the other 1.5 and older SE
// runtimes); VR has one column.
Layout layoutFor(Edition edition, uint32_t runtime);
// Whether the column is the runtime's own rather than the nearest.
bool layoutExact(Edition edition, uint32_t runtime);
const char* layoutName(Layout layout);

// The Anniversary Edition's runtimes (1.6 and later) and their host, SKSE for
// AE, which reads SKSEPlugin_Version and never calls SKSEPlugin_Query.
bool isAnniversaryRuntime(Edition edition, uint32_t runtime);
// The host's own version, packed like a runtime (2.0.20 for 1.5.97, 2.1.5 for
// 1.6.353, 2.2.6 for later runtimes).
uint32_t hostVersionFor(Edition edition, uint32_t runtime);
std::string hostName(Edition edition, uint32_t runtime);

// The database of a runtime, relative to the game folder:
// Data/SKSE/Plugins/version-1-5-97-0.bin (format 1) on 1.5.x,
// versionlib-1-6-1170-0.bin (format 2) from 1.6 on. Empty for runtimes whose
// plug-ins read none (1.5.39, VR and runtimes older than 1.5).
std::string databaseFileName(Edition edition, uint32_t runtime);
inline const char* kDatabaseFolder = "Data/SKSE/Plugins";
int databaseFormat(uint32_t runtime);

// Where the cell keeps its worldspace pointer: 0x128 from 1.6.629 on (the
// extra-data list before it gained a vtable), 0x120 before and in VR.
size_t cellWorldspaceOffset(Edition edition, uint32_t runtime);
// The other of the two offsets, where the double keeps a poison value.
size_t cellUnusedWorldspaceOffset(Edition edition, uint32_t runtime);

}  // namespace nimbrel_sim
