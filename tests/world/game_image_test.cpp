// The type check's view of the game double: the image it reads is the
// executable the double lays its arena out in, arena included.
#include <gtest/gtest.h>

#include "game/type_check.h"
#include "platform/platform.h"
#include "support/in_process.h"

using namespace NimbrelVR;

TEST(GameImage, TheTypeCheckSeesTheWholeArenaAsTheGamesImage) {
  testsupport::InProcessGame world;
  world.StartWithDefaults();
  const uintptr_t base = world.game().checks().imageBase();
  const game::TypeScope scope = game::GameScope();
  EXPECT_EQ(scope.imageBase, base);
  // The arena: 64 MiB at RVA 0x1000, readable from its first byte to its last.
  constexpr uintptr_t kArenaRva = 0x1000;
  constexpr size_t kArenaSize = 0x4000000;
  EXPECT_GE(scope.imageSize, kArenaRva + kArenaSize);
  EXPECT_EQ(platform::ReadableBytes(base + kArenaRva, 64), 64u);
  EXPECT_EQ(platform::ReadableBytes(base + kArenaRva + kArenaSize - 64, 64), 64u);
}
