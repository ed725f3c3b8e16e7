// Strikes carried out in the simulated world: moves, waits, casts, flashes.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <thread>

#include "events/combat_pause.h"
#include "game/plugin_forms.h"
#include "lightning/lightning_state.h"
#include "lightning/strike_execution.h"
#include "lightning/tasks.h"
#include "plugin/host.h"
#include "settings/settings.h"
#include "support/in_process.h"
#include "support/trace_query.h"

using namespace NimbrelVR;
using testsupport::HasLine;

namespace {

// Slow enough that a loaded machine still runs the moves within the 2-second wait.
constexpr double kTimeScale = 5.0;

class Strikes : public ::testing::Test {
 protected:
  Strikes() : world_(Options()) {}
  static nimbrel_sim::Options Options() {
    nimbrel_sim::Options options;
    options.timeScale = kTimeScale;
    return options;
  }
  void SetUp() override {
    world_.StartWithDefaults();
    ASSERT_TRUE(ResolvePluginForms());
    ASSERT_FALSE(gPluginForms->forkCasters.empty());
    ASSERT_FALSE(gPluginForms->sheetTargets.empty());
    BeginEffectsWindow();
    gLightningState->weatherLightningFreq.exchange(60);
    // Near strikes: every placement lands in the loaded area.
    Set(IntSetting::ForkDistanceMax, 0);
    Set(IntSetting::SheetDistanceMin, 0);
    Set(IntSetting::SheetDistanceMax, 0);
  }
  nimbrel_sim::GameDouble& game() { return world_.game(); }
  std::string Log() const { return world_.Log(); }
  void Single(LightningType type) {
    const FormSequence& casters = type == Sheet ? gPluginForms->sheetCasters : gPluginForms->forkCasters;
    const FormSequence& targets = type == Sheet ? gPluginForms->sheetTargets : gPluginForms->forkTargets;
    RunSingleStrike(type, &casters, &targets, 0, 0);
    game().host().drainTasks();
  }
  static float Distance(const nimbrel_sim::Position& a, const nimbrel_sim::Position& b) {
    return std::sqrt((a.x - b.x) * (a.x - b.x) + (a.y - b.y) * (a.y - b.y) + (a.z - b.z) * (a.z - b.z));
  }

  testsupport::InProcessGame world_;
};

}  // namespace

TEST_F(Strikes, AForkStrikeMovesTwoReferencesAndCastsOnce) {
  game().world().setPlayerPosition(1000.0f, -2000.0f, 350.0f);
  game().world().waitFrames(2);  // the scene node shows the move a frame later
  Single(Fork);
  const auto moves = game().world().moves();
  const auto casts = game().world().casts();
  ASSERT_EQ(moves.size(), 2u);
  ASSERT_EQ(casts.size(), 1u);
  EXPECT_TRUE(game().world().flashes().empty());
  // The target first, relative to the player; then the caster, relative to the target.
  EXPECT_EQ(moves[0].destinationFormId, 0x14u);
  EXPECT_EQ(moves[1].destinationFormId, moves[0].referenceFormId);
  EXPECT_FLOAT_EQ(moves[0].placedAt.z, -15000.0f);
  EXPECT_NEAR(moves[1].placedAt.z, 350.0f + 16384.0f, 0.5f);
  EXPECT_LE(std::fabs(moves[0].placedAt.x - 1000.0f), 2048.0f);
  EXPECT_EQ(casts[0].casterFormId, moves[1].referenceFormId);
  EXPECT_EQ(casts[0].targetFormId, moves[0].referenceFormId);
  EXPECT_TRUE(HasLine(Log(), "----Fork Lightning positions are ready---"));
  EXPECT_TRUE(HasLine(Log(), "Casting Spell..."));
  game().checks().finalChecks();
  EXPECT_TRUE(game().checks().ok()) << ::testing::PrintToString(game().checks().failures());
}

TEST_F(Strikes, ASheetStrikeRunsHighAndLevel) {
  Single(Sheet);
  const auto moves = game().world().moves();
  ASSERT_EQ(moves.size(), 2u);
  EXPECT_GE(moves[0].placedAt.z, 25000.0f);
  EXPECT_LE(moves[0].placedAt.z, 30000.0f);
  EXPECT_NEAR(Distance(moves[0].placedAt, moves[1].placedAt), 200.0f, 51.0f);
  ASSERT_EQ(game().world().casts().size(), 1u);
}

TEST_F(Strikes, NearForkStrikesTakeTheNearBandsSpells) {
  Set(IntSetting::ForkDistanceMax, 1);
  for (int i = 0; i < 5; ++i) Single(Fork);
  for (const auto& cast : game().world().casts()) {
    bool near = false;
    for (void* spell : gPluginForms->forkSpells) near |= game().data().findForm(cast.spellFormId) == spell;
    EXPECT_TRUE(near) << std::hex << cast.spellFormId;
  }
}

TEST_F(Strikes, WithTheFlashOnTheModifierIsAppliedAndRemoved) {
  Set(IntSetting::EnableForkFlash, 1);
  Set(IntSetting::MinFlashAmount, 0);
  Single(Fork);
  const auto flashes = game().world().flashes();
  ASSERT_EQ(flashes.size(), 2u);
  EXPECT_TRUE(flashes[0].applied);
  EXPECT_FALSE(flashes[1].applied);
  EXPECT_EQ(flashes[0].modifierFormId, game().data().pluginFormId(0x807));
  EXPECT_LE(flashes[0].ms, game().world().casts()[0].ms + 1.0);
  EXPECT_TRUE(HasLine(Log(), "Applying image space modifier..."));
  EXPECT_TRUE(HasLine(Log(), "Removing image space modifier..."));
}

TEST_F(Strikes, ATargetThatNeverArrivesEndsTheStrikeAfterAboutTwoSeconds) {
  game().world().setLoadedArea(0.0f, 0.0f);  // every placement lands in no cell
  const double start = game().world().simulatedMs();
  Single(Fork);
  const double took = game().world().simulatedMs() - start;
  EXPECT_TRUE(HasLine(Log(), "Target is not alive in new position. Skipping...")) << Log();
  EXPECT_EQ(game().world().moves().size(), 1u);
  EXPECT_TRUE(game().world().casts().empty());
  EXPECT_GE(took, 1900.0);
  EXPECT_LE(took, 30000.0);
}

TEST_F(Strikes, AChainWhoseFirstCasterNeverArrivesMovesNothingElse) {
  game().world().setLoadedArea(0.0f, 0.0f);
  RunChainStrike({0, 1}, {0, 1}, 2);
  game().host().drainTasks();
  EXPECT_TRUE(HasLine(Log(), "Caster is not alive in new position. Skipping...")) << Log();
  EXPECT_EQ(game().world().moves().size(), 1u);
  EXPECT_TRUE(game().world().casts().empty());
}

TEST_F(Strikes, AReferenceMissingLaterInTheStrikeEndsItWithoutACast) {
  // A single strike whose caster never arrives: the target has moved, nothing is cast.
  gPluginForms->forkCasters[0] = nullptr;
  Single(Fork);
  EXPECT_TRUE(HasLine(Log(), "Caster is not alive in new position. Skipping...")) << Log();
  EXPECT_EQ(game().world().moves().size(), 1u);
  EXPECT_TRUE(game().world().casts().empty());
  // A chain whose second caster never arrives: the first pair has moved, no bolt goes out.
  gPluginForms->sheetCasters[1] = nullptr;
  RunChainStrike({0, 1, 2}, {0, 1, 0}, 3);
  game().host().drainTasks();
  EXPECT_EQ(game().world().moves().size(), 1u + 2u);
  EXPECT_TRUE(game().world().casts().empty());
  game().checks().finalChecks();
  EXPECT_TRUE(game().checks().ok()) << ::testing::PrintToString(game().checks().failures());
}

TEST_F(Strikes, WhenItsWindowEndsAWaitingStrikeStopsTouchingTheWorldAtOnce) {
  // Every reference the strikes use stands in a cell first, so that a strike
  // polls its cell from its first check, however late a busy main thread
  // runs its move.
  Single(Fork);
  RunChainStrike({0, 1}, {0, 1}, 2);
  game().host().drainTasks();
  const size_t casts = game().world().casts().size();
  game().world().setLoadedArea(0.0f, 1e9f);  // every reference lands in a cell that never attaches
  for (bool chain : {false, true}) {
    const size_t polled = game().checks().callCount("CellAttachedNative");
    std::thread strike([&] {
      if (chain) {
        RunChainStrike({0, 1}, {0, 1}, 2);
      } else {
        RunSingleStrike(Fork, &gPluginForms->forkCasters, &gPluginForms->forkTargets, 0, 0);
      }
    });
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (game().checks().callCount("CellAttachedNative") < polled + 3 && std::chrono::steady_clock::now() < giveUp)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const bool waiting = game().checks().callCount("CellAttachedNative") >= polled + 3;
    // Message 2 (a saved game loads), then effects on again in a new window.
    HostMessage message{"SKSE", 2, 0, nullptr};
    OnHostMessage(&message);
    const double ended = game().world().simulatedMs();
    const size_t calls =
        game().checks().callCount("CellAttachedNative") + game().checks().callCount("EngineDynamicCast");
    BeginEffectsWindow();
    strike.join();
    ASSERT_TRUE(waiting) << "the strike never polled its cell (chain " << chain << ")";
    EXPECT_LT(game().world().simulatedMs() - ended, 1000.0) << chain;  // not the rest of the 2-second wait
    EXPECT_EQ(game().checks().callCount("CellAttachedNative") + game().checks().callCount("EngineDynamicCast"), calls)
        << chain;
  }
  game().host().drainTasks();
  EXPECT_EQ(game().world().casts().size(), casts);
  EXPECT_EQ(Log().find("Skipping"), std::string::npos) << Log();
}

TEST_F(Strikes, AChainMovesEverythingFirstThenCastsEveryBolt) {
  RunChainStrike({0, 1, 2}, {0, 1, 0}, 3);
  game().host().drainTasks();
  const auto moves = game().world().moves();
  const auto casts = game().world().casts();
  ASSERT_EQ(moves.size(), 6u);
  ASSERT_EQ(casts.size(), 3u);
  EXPECT_GE(casts[0].ms, moves.back().ms);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(moves[2 * i].destinationFormId, 0x14u);                             // caster from the player
    EXPECT_EQ(moves[2 * i + 1].destinationFormId, moves[2 * i].referenceFormId);  // target from its caster
  }
  // The main bolt is 500 units long.
  EXPECT_NEAR(Distance(moves[0].placedAt, moves[1].placedAt), 500.0f, 51.0f);
}

TEST_F(Strikes, APauseThatBeganDuringTheMovesDropsTheStrike) {
  game().host().holdMainThread(true);
  std::thread strike([&] { RunSingleStrike(Sheet, &gPluginForms->sheetCasters, &gPluginForms->sheetTargets, 0, 0); });
  // The strike has taken its rate once it moves its first reference.
  while (!HasLine(Log(), "Moving target")) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  gCombatPause->pauseFlag.exchange(1);
  game().host().holdMainThread(false);
  strike.join();
  game().host().drainTasks();
  EXPECT_EQ(game().world().moves().size(), 2u);
  EXPECT_TRUE(game().world().casts().empty());
  gCombatPause->pauseFlag.exchange(0);
}

TEST_F(Strikes, APauseThatLastedThroughTheMovesLetsTheStrikeGo) {
  gCombatPause->pauseFlag.exchange(1);
  Single(Sheet);
  EXPECT_EQ(game().world().casts().size(), 1u);
  gCombatPause->pauseFlag.exchange(0);
}

TEST_F(Strikes, EffectsSwitchedOffDuringTheMovesEndTheStrikeSilently) {
  game().host().holdMainThread(true);
  std::thread strike([&] { RunSingleStrike(Fork, &gPluginForms->forkCasters, &gPluginForms->forkTargets, 1, 1); });
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EndEffectsWindow();
  game().host().holdMainThread(false);
  strike.join();
  game().host().drainTasks();
  EXPECT_TRUE(game().world().casts().empty());
  EXPECT_EQ(Log().find("Skipping"), std::string::npos);
}

TEST_F(Strikes, SpellListsFollowTheBandAndTheHostileSetting) {
  const auto in = [](void* spell, const FormSequence& list) {
    return std::find(list.begin(), list.end(), spell) != list.end();
  };
  EXPECT_TRUE(in(ChooseStrikeSpell(Fork, 2.99f), gPluginForms->forkSpells));
  EXPECT_TRUE(in(ChooseStrikeSpell(Fork, 3.0f), gPluginForms->closeFarForkSpells));
  EXPECT_TRUE(in(ChooseStrikeSpell(Fork, 9.0f), gPluginForms->farForkSpells));
  EXPECT_TRUE(in(ChooseStrikeSpell(Fork, 17.0f), gPluginForms->veryFarForkSpells));
  EXPECT_TRUE(in(ChooseStrikeSpell(Fork, 25.0f), gPluginForms->tooFarForkSpells));
  EXPECT_TRUE(in(ChooseStrikeSpell(Fork, std::nanf("")), gPluginForms->tooFarForkSpells));
  Set(IntSetting::ForkHostile, 2);
  EXPECT_TRUE(in(ChooseStrikeSpell(Fork, 0.0f), gPluginForms->forkSpells));
  Set(IntSetting::ForkHostile, 1);
  EXPECT_TRUE(in(ChooseStrikeSpell(Fork, 0.0f), gPluginForms->hostileForkSpells));
  EXPECT_TRUE(in(ChooseStrikeSpell(Fork, 30.0f), gPluginForms->hostileTooFarForkSpells));
  Set(IntSetting::SheetHostile, 2);
  EXPECT_TRUE(in(ChooseStrikeSpell(Sheet, 0.0f), gPluginForms->sheetSpells));
  Set(IntSetting::SheetHostile, 1);
  EXPECT_TRUE(in(ChooseStrikeSpell(Sheet, 0.0f), gPluginForms->hostileSheetSpells));
  gPluginForms->hostileSheetSpells.clear();
  EXPECT_EQ(ChooseStrikeSpell(Sheet, 0.0f), nullptr);
}

TEST_F(Strikes, WithoutTheTaskInterfaceAStrikeEndsWithoutMoving) {
  // A host that hands out no task interface: nothing can reach the main thread.
  const TaskQueue saved = SetTaskQueue(nullptr);
  Single(Fork);
  SetTaskQueue(saved);
  EXPECT_TRUE(game().world().moves().empty());
  EXPECT_TRUE(game().world().casts().empty());
}

TEST_F(Strikes, WithThePlayerGoneAStrikeMovesNothing) {
  game().world().setPlayerHolderPresent(false);
  Single(Fork);
  RunChainStrike({0, 1}, {0, 1}, 2);
  game().host().drainTasks();
  EXPECT_TRUE(game().world().moves().empty());
  game().checks().finalChecks();
  EXPECT_TRUE(game().checks().ok()) << ::testing::PrintToString(game().checks().failures());
}
