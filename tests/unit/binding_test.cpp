#include <gtest/gtest.h>

#include <link.h>

#include "game/engine_binding.h"
#include "game/offsets.h"

using namespace NimbrelVR::game;

namespace {

constexpr size_t kEntryCount = sizeof(EditionOffsets) / sizeof(uintptr_t);

const uintptr_t* Entries(const EditionOffsets& offsets) { return reinterpret_cast<const uintptr_t*>(&offsets); }

uintptr_t ExecutableBase() {
  uintptr_t base = 0;
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* out) {
        uintptr_t lowest = UINTPTR_MAX;
        for (int i = 0; i < info->dlpi_phnum; ++i)
          if (info->dlpi_phdr[i].p_type == PT_LOAD && info->dlpi_phdr[i].p_vaddr < lowest)
            lowest = info->dlpi_phdr[i].p_vaddr;
        *static_cast<uintptr_t*>(out) = info->dlpi_addr + lowest;
        return 1;
      },
      &base);
  return base;
}

}  // namespace

TEST(EngineBinding, EveryEntryDiffersBetweenTheEditions) {
  for (size_t i = 0; i < kEntryCount; ++i) {
    if (Entries(kSpecialEditionOffsets)[i] == 0 && Entries(kVrOffsets)[i] == 0) continue;  // in neither table
    EXPECT_NE(Entries(kSpecialEditionOffsets)[i], Entries(kVrOffsets)[i]) << "entry " << i;
  }
}

TEST(EngineBinding, EntriesAreTheMainImageBasePlusThisEditionsColumn) {
  const EngineBinding& engine = Engine();
  EXPECT_EQ(engine.gameBase, ExecutableBase());
#if NIMBREL_EDITION_VR
  EXPECT_EQ(reinterpret_cast<uintptr_t>(engine.FormFromId), engine.gameBase + 0x1a3f60);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(engine.SkyHolder), engine.gameBase + 0x2fc62c8);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(engine.RttiPlayer), engine.gameBase + 0x1edaa58);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(engine.RttiSky), engine.gameBase + 0x1ee7560);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(engine.JumpPatchSite), engine.gameBase + 0x127b7ed);
  EXPECT_EQ(engine.FunctionBaseImpl[3], engine.gameBase + 0x129dd10);
#else
  EXPECT_EQ(reinterpret_cast<uintptr_t>(engine.FormFromId), engine.gameBase + 0x1943b0);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(engine.SkyHolder), engine.gameBase + 0x2f283d8);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(engine.RttiPlayer), engine.gameBase + 0x1e3ab28);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(engine.RttiSky), engine.gameBase + 0x1e47670);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(engine.JumpPatchSite), engine.gameBase + 0x12734bd);
  EXPECT_EQ(engine.FunctionBaseImpl[3], engine.gameBase + 0x1267ed0);
#endif
  EXPECT_EQ(engine.JumpPatchTarget - engine.JumpPatchSite, 0x32);
  // The sky through its holder: the accessor is in neither built-in table.
  EXPECT_EQ(engine.SkyGetSingleton, nullptr);
}
