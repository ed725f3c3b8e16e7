// The game runtimes the double can play and what differs between them: the
// offset column of the image, the Address Library database the runtime's
// plug-ins read, the host that loads them, the store the game comes from and
// the fields that moved. Facts from /work/shared/runtimes.md, never from the
// plug-in's own tables.
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
inline constexpr uint32_t kRuntime1_7_99 = 0x01070630;
inline constexpr uint32_t kRuntime1_7_104 = 0x01070680;
inline constexpr uint32_t kRuntimeGog1_6_1179 = 0x010649B1;
inline constexpr uint32_t kRuntimeEpic1_6_678 = 0x01062A62;

// SKSE's own versions, packed the same way.
inline constexpr uint32_t kSkse2_0_20 = 0x02000140;
inline constexpr uint32_t kSkse2_1_5 = 0x02010050;
inline constexpr uint32_t kSkse2_2_6 = 0x02020060;
inline constexpr uint32_t kSkse2_3_0 = 0x02030000;
inline constexpr uint32_t kSkse2_3_1 = 0x02030010;

// One offset column of the image per runtime whose engine layout the double
// knows.
enum class Layout : int { Se1_5_39, Se1_5_97, Ae1_6_353, Ae1_6_1170, Ae1_7_99, Ae1_7_104, Vr, Count };
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
// "1.5.97", "1.6.1170" (any major.minor.build[.sub] in range), a store
// suffix ("1.6.1179-gog", "1.6.678-epic") or the packed hex ("0x01070630",
// "01070630", "0x010649B1"). False with what is wrong.
bool parseRuntime(const std::string& text, uint32_t& packed, std::string& problem);

// The store a game of the SE edition comes from, the low nibble of its
// runtime from 1.5 on (SKSE's runtime type: 0 Bethesda's own, on Steam; 1
// GOG; 2 Epic). VR and runtimes before 1.5 have none: their nibble is a
// sub-version.
enum class Store { Steam, Gog, Epic, Unknown };
Store storeOf(Edition edition, uint32_t runtime);
// The runtime with its store nibble cleared, for comparisons of versions.
uint32_t versionOf(Edition edition, uint32_t runtime);
// The runtime in words with its store where it is not Steam: "1.7.99",
// "1.6.1179 GOG", "1.6.678 Epic", "1.6.1170 store 5", "1.4.15.1".
std::string runtimeLabel(Edition edition, uint32_t runtime);

// The runtime a run plays: the option, or the edition's own.
uint32_t runtimeOf(const Options& options);
// The column laid out for a runtime: its own, or the nearest one the double
// knows (1.7.99 for the other 1.7 runtimes before 1.7.104, 1.7.104 for the
// later ones, 1.6.1170 for the other 1.6 runtimes and every store's 1.6,
// 1.5.97 for the other 1.5 and older SE runtimes); VR has one column.
Layout layoutFor(Edition edition, uint32_t runtime);
// Whether the column is the runtime's own rather than the nearest.
bool layoutExact(Edition edition, uint32_t runtime);
const char* layoutName(Layout layout);

// The Anniversary Edition's runtimes (1.6 and later) and their host, SKSE for
// AE, which reads SKSEPlugin_Version and never calls SKSEPlugin_Query.
bool isAnniversaryRuntime(Edition edition, uint32_t runtime);
// The host's own version, packed like a runtime: 2.0.20 for 1.5.x, 2.1.5 for
// 1.6.353, 2.2.6 for the later 1.6 (GOG's own build on GOG), 2.3.0 for
// 1.7.99, 2.3.1 from 1.7.104 on.
uint32_t hostVersionFor(Edition edition, uint32_t runtime);
std::string hostName(Edition edition, uint32_t runtime);
// No SKSE of the runtime's store is public (Epic, which SKSE refuses
// outright; GOG's other than 1.6; an unknown store): the double plays the
// nearest Steam SKSE in its place, handing it the runtime as it is, so that
// the plug-in's own answer can be seen. Empty when the host is the real one.
std::string hostStandInNote(Edition edition, uint32_t runtime);

// The database of a runtime, relative to the game folder:
// Data/SKSE/Plugins/version-1-5-97-0.bin (format 1) on 1.5.x,
// versionlib-1-6-1170-0.bin (format 2) on 1.6, versionlib-1-7-99-0.bin
// (format 5) from 1.7 on; the store is not in the name. Empty for runtimes
// whose plug-ins read none (1.5.39, VR and runtimes older than 1.5).
std::string databaseFileName(Edition edition, uint32_t runtime);
inline const char* kDatabaseFolder = "Data/SKSE/Plugins";
int databaseFormat(uint32_t runtime);
// How many offsets the runtime's own format-5 database holds (its highest id
// + 1): 565073 on 1.7.99, 565759 on 1.7.104, whatever the store (the ids are
// the same). 0 for a runtime whose count the double does not know.
uint32_t databaseOffsetCount(Edition edition, uint32_t runtime);

// The folder below "My Games" the host SKSE and the plug-ins write to:
// "Skyrim Special Edition", "Skyrim Special Edition GOG" with SKSE's GOG
// build.
std::string documentsFolderName(Edition edition, uint32_t runtime);

// Where the cell keeps its worldspace pointer: 0x128 from 1.6.629 on (the
// extra-data list before it gained a vtable), 0x120 before and in VR.
size_t cellWorldspaceOffset(Edition edition, uint32_t runtime);
// The other of the two offsets, where the double keeps a poison value.
size_t cellUnusedWorldspaceOffset(Edition edition, uint32_t runtime);

// Where the script VM object keeps the script machine (the registry every
// native call takes): 0x210 from 1.7.99 on (two event sinks came before it),
// 0x200 before and in VR.
size_t scriptVmMachineOffset(Edition edition, uint32_t runtime);
// The other of the two offsets, where the double keeps an object whose use
// fails the run.
size_t scriptVmOtherOffset(Edition edition, uint32_t runtime);

}  // namespace nimbrel_sim
