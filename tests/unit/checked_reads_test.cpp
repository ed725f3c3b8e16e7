// The checked reads of the engine's pointer fields and the stand-down, over
// a game laid out in this process with hand-written type information. A
// stand-down lasts for the process: every test that causes one runs in a
// process of its own (gtest_discover_tests), as the plug-in's state demands.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "game/checked_reads.h"
#include "game/hit_source.h"
#include "game/layout.h"
#include "game/stand_down.h"
#include "lightning/effects_loop.h"
#include "lightning/lightning_state.h"
#include "lightning/storm_policy.h"
#include "lightning/strike_execution.h"
#include "lightning/tasks.h"
#include "lightning/weather_monitor.h"
#include "log/debug_log.h"
#include "settings/settings.h"
#include "support/fake_game.h"
#include "support/temp_dir.h"

using namespace NimbrelVR;
using namespace NimbrelVR::game;
using testsupport::FakeGame;

namespace {

#if NIMBREL_EDITION_VR
constexpr const char* kRuntime = "1.4.15.1";
constexpr const char* kSkyField = "the sky (from its holder)";
constexpr const char* kWorldspaceField = "the cell's worldspace (+0x120)";
constexpr const char* kMachineField = "the script VM object's script machine (+0x200)";
#else
constexpr const char* kRuntime = "1.7.99 (Steam)";
constexpr const char* kSkyField = "the sky (from the engine's accessor)";
constexpr const char* kWorldspaceField = "the cell's worldspace (+0x128)";
constexpr const char* kMachineField = "the script VM object's script machine (+0x210)";
#endif

std::string Hex(const void* address) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(address)));
  return text;
}

std::string FirstLine(const std::string& field, const std::string& expected, const std::string& found) {
  return std::string("Runtime ") + kRuntime + " is not laid out as this build expects: " + field + " should hold " +
         expected + ", but holds " + found + ".";
}

std::string SecondLine() {
  return std::string(
             "Lightning stands down for this game session; the game goes on without it. Please report runtime ") +
         kRuntime + " and the line above.";
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The fake game, the log in a folder of its own, and the stand-down's hook as
// the load hands it in.
class Checked : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.path() + "/NimbrelPlugin.log";
    IDebugLog::OpenLogFile(path_.c_str());
    SetStandDownHook(&EndEffectsForStandDown);
  }
  std::string Log() const { return testsupport::ReadFile(path_); }
  // The stand-down's lines in the log, in order.
  std::vector<std::string> StandDownLines() const {
    std::vector<std::string> found;
    for (const std::string& line : Lines(Log()))
      if (line.starts_with("Runtime ") || line.starts_with("Lightning stands down")) found.push_back(line);
    return found;
  }

  testsupport::TempDir dir_;
  std::string path_;
  FakeGame game_;
};

// Reads as lightning makes them. A failed one gives no object.
bool Gives(bool ok, const void* object) {
  EXPECT_TRUE(ok || !object) << "a failed read gives an object";
  return ok;
}
bool ReadTheSky(FakeGame&) {
  void* sky = &sky;
  const bool ok = CheckedSky(&sky);
  return Gives(ok, sky);
}
bool ReadWeathers(FakeGame& g) {
  void *current, *outgoing;
  return CheckedSkyWeathers(g.sky, &current, &outgoing);
}
bool ReadTime(FakeGame& g) {
  float hour, transition;
  return CheckedSkyTime(g.sky, &hour, &transition);
}
bool ReadPlayer(FakeGame&) {
  void* player;
  return CheckedPlayer(&player);
}
bool ReadCell(FakeGame& g) {
  void* cell = &cell;
  const bool ok = CheckedPlayerCell(g.player, &cell);
  return Gives(ok, cell);
}
bool ReadWorldspace(FakeGame& g) {
  void* worldspace;
  return CheckedCellWorldspace(g.cell, &worldspace);
}
bool ReadRootNode(FakeGame& g) {
  void* node;
  return CheckedPlayerRootNode(g.player, &node, Holding::WorldAccess);
}
bool ReadRegistry(FakeGame&) {
  void* registry;
  return CheckedScriptRegistry(&registry);
}
bool ReadAllWeathers(FakeGame&) {
  std::span<void* const> weathers;
  return CheckedAllWeathers(&weathers);
}
bool ReadModel(FakeGame& g) {
  void* component;
  return CheckedModelComponent(g.effectArt, FakeGame::kEffectArtId, &component);
}
bool WriteFade(FakeGame& g) { return CheckedSetFadeDuration(g.effectArt, FakeGame::kEffectArtId, 2.0f); }
bool ReadFormList(FakeGame& g) {
  std::span<void* const> entries;
  return CheckedFormListEntries(g.formList, FakeGame::kFormListId, &entries);
}
bool ReadHitTarget(FakeGame& g) {
  void* target;
  return CheckedHitTarget(g.hitEvent, &target);
}
bool ReadMenuName(FakeGame& g) {
  const char* name;
  return CheckedMenuName(g.menuEvent, &name);
}
bool ReadPosition(FakeGame& g) {
  Position position;
  return CheckedNodePosition(g.rootNode, &position);
}
bool LookAtTheHitSource(FakeGame& g) { return LookAtHitSource(g.hitSource) != HitSourceLook::StoodDown; }

std::string ImageOffset(const FakeGame& g, uintptr_t address) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(address - g.imageBase()));
  return text;
}

}  // namespace

TEST_F(Checked, ObjectsOfTheirClassPassAndNullPassesWhereTheEngineAllowsIt) {
  FakeGame& g = game_;
  void *sky, *current, *outgoing, *player, *cell, *worldspace, *node, *registry;
  ASSERT_TRUE(CheckedSky(&sky) && CheckedSkyWeathers(sky, &current, &outgoing) && CheckedPlayer(&player) &&
              CheckedPlayerCell(player, &cell) && CheckedCellWorldspace(cell, &worldspace) &&
              CheckedPlayerRootNode(player, &node) && CheckedScriptRegistry(&registry));
  EXPECT_EQ((std::vector{sky, current, outgoing, player, cell, worldspace, node, registry}),
            (std::vector{g.sky, g.weathers[0], g.weathers[1], g.player, g.cell, g.worldspace, g.rootNode,
                         g.scriptMachine}));  // the node is a fade node: derived from NiAVObject
  std::span<void* const> weathers;
  ASSERT_TRUE(CheckedAllWeathers(&weathers));
  EXPECT_EQ(weathers.size(), 7u);
  // Another object of a class already seen, as when the weather changes; the
  // floats at the ends of their ranges.
  FakeGame::Put<void*>(g.sky, layout::sky::kCurrentWeather, g.weathers[2]);
  ASSERT_TRUE(CheckedSkyWeathers(g.sky, &current, &outgoing));
  EXPECT_EQ(current, g.weathers[2]);
  for (const auto& [hour, transition] : {std::pair{0.0f, 0.0f}, std::pair{24.0f, 7.5f}}) {
    FakeGame::Put<float>(g.sky, layout::sky::kGameHour, hour);
    FakeGame::Put<float>(g.sky, layout::sky::kTransition, transition);
    float read[2] = {-1.0f, -1.0f};
    ASSERT_TRUE(CheckedSkyTime(g.sky, &read[0], &read[1])) << hour << " " << transition;
    EXPECT_EQ(read[0], hour);
    EXPECT_EQ(read[1], transition);
  }

  // Null wherever the engine allows it: each read passes and gives null.
  for (const auto& [object, offset] : {std::pair{g.sky, layout::sky::kCurrentWeather},
                                       {g.sky, layout::sky::kOutgoingWeather},
                                       {g.player, layout::reference::kParentCell},
                                       {g.cell, Engine().cellWorldspace},
                                       {g.loaded3D, layout::loaded_3d::kRootNode},
                                       {g.scriptVm, Engine().scriptMachineRegistry}})
    FakeGame::Put<void*>(object, offset, nullptr);
  EXPECT_TRUE(CheckedSkyWeathers(g.sky, &current, &outgoing) && CheckedPlayerCell(g.player, &cell) &&
              CheckedCellWorldspace(g.cell, &worldspace) && CheckedPlayerRootNode(g.player, &node) &&
              CheckedScriptRegistry(&registry));
  EXPECT_EQ((std::vector{current, outgoing, cell, worldspace, node, registry}), std::vector<void*>(6, nullptr));
  FakeGame::Put<void*>(g.player, layout::reference::kLoaded3D, nullptr);  // no 3D at all
  EXPECT_TRUE(CheckedPlayerRootNode(g.player, &node));
  EXPECT_EQ(node, nullptr);
  g.skyHolder = g.playerHolder = g.scriptVmHolder = g.dataRegistryHolder = nullptr;
  EXPECT_TRUE(CheckedSky(&sky) && CheckedPlayer(&player) && CheckedScriptRegistry(&registry) &&
              CheckedAllWeathers(&weathers));
  EXPECT_EQ((std::vector{sky, player, registry}), std::vector<void*>(3, nullptr));
  EXPECT_TRUE(weathers.empty());

  EXPECT_FALSE(StoodDown());
  EXPECT_EQ(Log(), "");
}

// The records the plug-in hands the engine or gets from it pass when sound:
// the effect art's model component, a plausible fade duration written over
// a plausible one, a form list's entries (a null among them), a hit event's
// target (or none), a menu's name (or none), a position at the edge of the
// world, and a hit source whose game sink listens for hits.
TEST_F(Checked, SoundRecordsPassAndGiveWhatTheyHold) {
  FakeGame& g = game_;
  void* component = nullptr;
  for (int repeat = 0; repeat < 2; ++repeat) {
    ASSERT_TRUE(CheckedModelComponent(g.effectArt, FakeGame::kEffectArtId, &component));
    EXPECT_EQ(component, static_cast<uint8_t*>(g.effectArt) + layout::effect_art::kModelComponent);
  }
  ASSERT_TRUE(CheckedSetFadeDuration(g.effectArt, FakeGame::kEffectArtId, 0.0f));
  ASSERT_TRUE(CheckedSetFadeDuration(g.effectArt, FakeGame::kEffectArtId, 3600.0f));
  EXPECT_EQ(std::atomic_ref<float>(
                *reinterpret_cast<float*>(static_cast<uint8_t*>(g.effectArt) + layout::effect_art::kFadeDuration))
                .load(),
            3600.0f);
  std::span<void* const> entries;
  ASSERT_TRUE(CheckedFormListEntries(g.formList, FakeGame::kFormListId, &entries));
  EXPECT_EQ(std::vector<void*>(entries.begin(), entries.end()), (std::vector<void*>{g.spell, nullptr, g.spell}));
  void* target = nullptr;
  ASSERT_TRUE(CheckedHitTarget(g.hitEvent, &target));
  EXPECT_EQ(target, g.player);
  const char* name = nullptr;
  ASSERT_TRUE(CheckedMenuName(g.menuEvent, &name));
  EXPECT_STREQ(name, "Console");
  FakeGame::Put<void*>(g.hitEvent, layout::hit_event::kTarget, nullptr);
  FakeGame::Put<const char*>(g.menuEvent, layout::menu_event::kMenuName, nullptr);
  EXPECT_TRUE(CheckedHitTarget(g.hitEvent, &target) && CheckedMenuName(g.menuEvent, &name));
  EXPECT_EQ(target, nullptr);
  EXPECT_EQ(name, nullptr);
  for (ptrdiff_t axis : {layout::scene_node::kWorldX, layout::scene_node::kWorldY, layout::scene_node::kWorldZ})
    FakeGame::Put<float>(g.rootNode, axis,
                         axis == layout::scene_node::kWorldY ? -kMaxWorldCoordinate : kMaxWorldCoordinate);
  Position position;
  ASSERT_TRUE(CheckedNodePosition(g.rootNode, &position));
  EXPECT_EQ(position.y, -kMaxWorldCoordinate);
  EXPECT_EQ(LookAtHitSource(g.hitSource), HitSourceLook::IsHitSource);
  EXPECT_FALSE(StoodDown());
  EXPECT_EQ(Log(), "");
}

// A fade duration is 0 or a normal number of seconds up to an hour: the high
// half of a pointer (a denormal) is none, nor is anything not finite.
TEST(FadeDuration, IsZeroOrANormalNumberOfSecondsUpToAnHour) {
  for (float plausible : {0.0f, 0.5f, 1.5f, 3600.0f}) EXPECT_TRUE(PlausibleFadeDuration(plausible)) << plausible;
  for (float implausible : {-0.5f, -0.0f + -1e-30f, 3600.5f, 1.4e-45f, 1e-39f, std::nanf(""), INFINITY})
    EXPECT_FALSE(PlausibleFadeDuration(implausible)) << implausible;
}

// Until the game registers a sink of its own there, the hit source says
// nothing: empty, or holding only sinks without the game's type information
// (other plug-ins'). Nothing stands down.
TEST_F(Checked, AHitSourceWithoutTheGamesSinksYetTellsNothing) {
  FakeGame& g = game_;
  FakeGame::Put<uint32_t>(g.hitSource, layout::event_source::kSinkCount, 0);
  EXPECT_EQ(LookAtHitSource(g.hitSource), HitSourceLook::NoGameSinkYet);
  static_cast<void**>(g.hitSinks)[0] = g.NotAnObject();
  FakeGame::Put<uint32_t>(g.hitSource, layout::event_source::kSinkCount, 1);
  EXPECT_EQ(LookAtHitSource(g.hitSource), HitSourceLook::NoGameSinkYet);
  // The game's own joins after a plug-in's: now it is known.
  static_cast<void**>(g.hitSinks)[1] = static_cast<uint8_t*>(g.scriptVm) + FakeGame::kVmHitSink;
  FakeGame::Put<uint32_t>(g.hitSource, layout::event_source::kSinkCount, 2);
  EXPECT_EQ(LookAtHitSource(g.hitSource), HitSourceLook::IsHitSource);
  EXPECT_FALSE(StoodDown());
  EXPECT_EQ(Log(), "");
}

// Each field a check guards, holding what a moved layout would leave there:
// one line names the runtime, the field, the class expected and what was
// found; a second says lightning stands down. Then every read stops.
struct Failure {
  const char* name;
  bool (*read)(FakeGame&);
  std::string field;
  std::string expected;
  // Damages the game; gives what the line says the field holds.
  std::string (*damage)(FakeGame&);
};
void PrintTo(const Failure& failure, std::ostream* out) { *out << failure.name; }

class EachField : public Checked, public ::testing::WithParamInterface<Failure> {};

TEST_P(EachField, FailingNamesTheFieldTheClassAndWhatItHolds) {
  const Failure& failure = GetParam();
  const std::string found = failure.damage(game_);
  EXPECT_FALSE(failure.read(game_));
  EXPECT_TRUE(StoodDown());
  EXPECT_EQ(Lines(Log()), (std::vector<std::string>{FirstLine(failure.field, failure.expected, found), SecondLine()}));
  // Every read stops now, sound fields included.
  EXPECT_FALSE(ReadPlayer(game_) || ReadRegistry(game_));
  EXPECT_EQ(Lines(Log()).size(), 2u);
}

namespace {

// Puts `value` at `offset` of `object`; gives `found`.
std::string Move(void* object, ptrdiff_t offset, void* value, std::string found) {
  FakeGame::Put<void*>(object, offset, value);
  return found;
}
std::string Put(void* sky, ptrdiff_t offset, float value, std::string found) {
  FakeGame::Put<float>(sky, offset, value);
  return found;
}
const std::string kWeather = "an object of class TESWeather";
const std::string kWeatherFound = "an object of class TESWeather (.?AVTESWeather@@)";
const std::string kSkyFound = "an object of class Sky (.?AVSky@@)";
const std::string kHour = "an hour from 0 to 24";
const std::string kTransition = "a finite transition, 0 or more";
const std::string kModelField = "the model component (+0x40) of effect-art form 0x12000ABC";
const std::string kModel = "the vtable of the TESModel part at +0x40 of an object of class BGSProjectile";
const std::string kProjectileFound = "an object of class BGSProjectile (.?AVBGSProjectile@@)";
const std::string kFormListField = "form list 0x12000CF4's entries (array +0x20, capacity +0x28, count +0x30)";
const std::string kFormListArray = "an array of at most 65535 form pointers, no more than its capacity";
const std::string kHitSourceField = "the hit event source (+0x5d8 of the script event holder)";
const std::string kHitSource =
    "the event source of TESHitEvent, whose game sinks are registered by their BSTEventSink<TESHitEvent> base";

}  // namespace

INSTANTIATE_TEST_SUITE_P(
    Checks, EachField,
    ::testing::Values(
        Failure{"Sky", &ReadTheSky, kSkyField, "an object of class Sky",
                [](FakeGame& g) { return (g.skyHolder = g.weathers[0]), kWeatherFound; }},
        Failure{"CurrentWeather", &ReadWeathers, "the sky's current weather (+0x48)", kWeather,
                [](FakeGame& g) { return Move(g.sky, layout::sky::kCurrentWeather, g.AnotherSky(), kSkyFound); }},
        Failure{"OutgoingWeather", &ReadWeathers, "the sky's outgoing weather (+0x50)", kWeather,
                [](FakeGame& g) {
                  void* stranger = g.NotAnObject();
                  return Move(g.sky, layout::sky::kOutgoingWeather, stranger,
                              "the word 0x1d0c0 at " + Hex(stranger) + ", which points outside the game's image");
                }},
        Failure{"Player", &ReadPlayer, "the player (from its holder)", "an object of class PlayerCharacter",
                [](FakeGame& g) {
                  return (g.playerHolder = g.cell),
                         std::string("an object of class TESObjectCELL (.?AVTESObjectCELL@@)");
                }},
        Failure{"PlayerCell", &ReadCell, "the player's cell (+0x60)", "an object of class TESObjectCELL",
                [](FakeGame& g) {
                  return Move(g.player, layout::reference::kParentCell, g.Unreadable(),
                              "unreadable memory at " + Hex(g.Unreadable()));
                }},
        Failure{"CellWorldspace", &ReadWorldspace, kWorldspaceField, "an object of class TESWorldSpace",
                [](FakeGame& g) { return Move(g.cell, Engine().cellWorldspace, g.weathers[1], kWeatherFound); }},
        Failure{"RootNode", &ReadRootNode, "the player's root node (+0x68 of its loaded 3D state at +0x68)",
                "an object of class NiAVObject",
                [](FakeGame& g) {
                  return Move(g.loaded3D, layout::loaded_3d::kRootNode, g.player,
                              "an object of class PlayerCharacter (.?AVPlayerCharacter@@)");
                }},
        Failure{"ScriptVm", &ReadRegistry, "the script VM object (from its holder)", "an object of class SkyrimVM",
                [](FakeGame& g) {
                  return (g.scriptVmHolder = g.scriptMachine),
                         std::string(
                             "an object of class BSScript::Internal::VirtualMachine "
                             "(.?AVVirtualMachine@Internal@BSScript@@)");
                }},
        Failure{"ScriptMachine", &ReadRegistry, kMachineField, "an object of class BSScript::Internal::VirtualMachine",
                [](FakeGame& g) {
                  void* inside = static_cast<uint8_t*>(g.scriptMachine) + 4;
                  return Move(g.scriptVm, Engine().scriptMachineRegistry, inside,
                              "the misaligned address " + Hex(inside) + ", where no object starts");
                }},
        // The fourth non-null entry: the storm and a null entry come first.
        Failure{"RegistryWeather", &ReadAllWeathers, "weather 4 of the data registry's weather array (+0x520)",
                kWeather,
                [](FakeGame& g) { return Move(g.registryWeathers, 4 * sizeof(void*), g.AnotherSky(), kSkyFound); }},
        Failure{"GameHourAbove24", &ReadTime, "the sky's game hour (+0x1b0)", kHour,
                [](FakeGame& g) { return Put(g.sky, layout::sky::kGameHour, 24.5f, "24.5"); }},
        Failure{"GameHourNaN", &ReadTime, "the sky's game hour (+0x1b0)", kHour,
                [](FakeGame& g) { return Put(g.sky, layout::sky::kGameHour, std::nanf(""), "nan"); }},
        Failure{"TransitionNegative", &ReadTime, "the sky's weather transition (+0x1b8)", kTransition,
                [](FakeGame& g) { return Put(g.sky, layout::sky::kTransition, -0.25f, "-0.25"); }},
        Failure{"TransitionInfinite", &ReadTime, "the sky's weather transition (+0x1b8)", kTransition,
                [](FakeGame& g) { return Put(g.sky, layout::sky::kTransition, INFINITY, "inf"); }},
        // The binding's descriptor is not the one the object's class has,
        // although the names agree: the words must not contradict.
        Failure{"WeatherOfTheSameNameElsewhere", &ReadWeathers, "the sky's current weather (+0x48)", kWeather,
                [](FakeGame& g) {
                  return Move(g.sky, layout::sky::kCurrentWeather, g.twinWeather,
                              kWeatherFound + ": the name matches, but its type descriptor is the one at image offset " +
                                  ImageOffset(g, g.twinWeatherDescriptor) +
                                  ", and this build binds that class's at image offset " +
                                  ImageOffset(g, reinterpret_cast<uintptr_t>(Engine().RttiWeather)));
                }},
        Failure{"EffectArtModelOfAnotherBase", &ReadModel, kModelField, kModel,
                [](FakeGame& g) {
                  FakeGame::Put<uintptr_t>(g.effectArt, layout::effect_art::kModelComponent, g.preloadablePartVtable);
                  return "the vtable of the part at +0x68 of " + kProjectileFound;
                }},
        Failure{"EffectArtModelMoved", &ReadModel, kModelField, kModel,
                [](FakeGame& g) {
                  FakeGame::Put<uintptr_t>(g.effectArt, layout::effect_art::kModelComponent, g.modelElsewhereVtable);
                  return "the vtable of the part at +0x40 of " + kProjectileFound +
                         ", where no base .?AVTESModel@@ lies";
                }},
        Failure{"FadeDurationPointerBits", &WriteFade,
                "the fade duration (+0xc4) of effect-art form 0x12000ABC", "a number of seconds from 0 to 3600",
                [](FakeGame& g) {
                  FakeGame::Put<uint64_t>(g.effectArt, 0xc0, 0x00000001'40001000);  // an address of an image
                  return std::string("the float 1.4013e-45 (bits 0x00000001)");
                }},
        Failure{"FormListOverItsCapacity", &ReadFormList, kFormListField, kFormListArray,
                [](FakeGame& g) {
                  FakeGame::Put<uint32_t>(g.formList, layout::form_list::kCount, 5);
                  return "5 entries in a capacity of 4 at " + Hex(g.formListArray);
                }},
        Failure{"FormListUnreadable", &ReadFormList, kFormListField, kFormListArray,
                [](FakeGame& g) {
                  FakeGame::Put<void*>(g.formList, layout::form_list::kEntries, g.Unreadable());
                  return "3 entries at " + Hex(g.Unreadable()) + ", memory that cannot be read";
                }},
        Failure{"FormListEntryNoForm", &ReadFormList, "entry 2 of form list 0x12000CF4 (its array at +0x20)",
                "an object of class TESForm",
                [](FakeGame& g) {
                  void* stranger = g.NotAnObject();
                  static_cast<void**>(g.formListArray)[2] = stranger;
                  return "the word 0x1d0c0 at " + Hex(stranger) + ", which points outside the game's image";
                }},
        Failure{"HitTargetNoReference", &ReadHitTarget, "the hit event's target (+0x0)",
                "an object of class TESObjectREFR",
                [](FakeGame& g) {
                  return Move(g.hitEvent, layout::hit_event::kTarget, g.spell,
                              "an object of class SpellItem (.?AVSpellItem@@)");
                }},
        Failure{"MenuNameUnreadable", &ReadMenuName, "the menu event's name (+0x0)", "a pointer to a readable C string",
                [](FakeGame& g) {
                  return Move(g.menuEvent, layout::menu_event::kMenuName, g.Unreadable(),
                              Hex(g.Unreadable()) + ", where 0 bytes can be read and none ends a string");
                }},
        Failure{"PositionNotANumber", &ReadPosition,
                "the player's root node's world position (+0xd4, +0xd8, +0xdc)",
                "a finite position within 10000000 units of the world's origin on every axis",
                [](FakeGame& g) {
                  FakeGame::Put<float>(g.rootNode, layout::scene_node::kWorldY, std::nanf(""));
                  return std::string("(0, nan, 0)");
                }},
        Failure{"HitSourceOfAnotherEvent", &LookAtTheHitSource, kHitSourceField, kHitSource,
                [](FakeGame& g) {
                  static_cast<void**>(g.hitSinks)[0] = static_cast<uint8_t*>(g.scriptVm) + FakeGame::kVmGrabReleaseSink;
                  return std::string(
                      "another event's source: its sink 0 is the part at +0x80 of an object of class SkyrimVM "
                      "(.?AVSkyrimVM@@), registered by its base .?AV?$BSTEventSink@UTESGrabReleaseEvent@@@@");
                }},
        Failure{"HitSourceWithoutAnArray", &LookAtTheHitSource, kHitSourceField, kHitSource,
                [](FakeGame& g) {
                  FakeGame::Put<uint32_t>(g.hitSource, layout::event_source::kSinkCount, 9);
                  return "no array of sinks: 9 sinks in a capacity of 4 at " + Hex(g.hitSinks) +
                         " (at most 65535, in readable memory)";
                }}),
    [](const ::testing::TestParamInfo<Failure>& info) { return std::string(info.param.name); });

namespace {

// The process's memory, but the first look at each of a few objects waits
// until every reader is at one of them: the checks then fail at once, each on
// its own thread, past the test for an earlier stand-down.
struct Gate {
  std::vector<uintptr_t> objects;
  std::atomic<int> arrived{0};
};
Gate gGate;

size_t GatedReadable(const void*, uintptr_t address, size_t wanted) {
  if (std::find(gGate.objects.begin(), gGate.objects.end(), address) != gGate.objects.end()) {
    const int expected = static_cast<int>(gGate.objects.size());
    gGate.arrived.fetch_add(1);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (gGate.arrived.load() < expected && std::chrono::steady_clock::now() < until) std::this_thread::yield();
  }
  return ProcessMemory().readable(nullptr, address, wanted);
}
uint64_t GatedLoad64(const void*, uintptr_t address) { return ProcessMemory().load64(nullptr, address); }
uint32_t GatedLoad32(const void*, uintptr_t address) { return ProcessMemory().load32(nullptr, address); }
uint8_t GatedLoad8(const void*, uintptr_t address) { return ProcessMemory().load8(nullptr, address); }
const MemoryReader kGatedMemory{nullptr, &GatedReadable, &GatedLoad64, &GatedLoad32, &GatedLoad8};

}  // namespace

// Four threads find four failures at the same moment: one pair of lines, the
// first finder's; every reader stops.
TEST_F(Checked, OnePairOfLinesWhicheverThreadFailsFirst) {
  FakeGame& g = game_;
  void* const moved[] = {g.AnotherSky(), g.AnotherSky(), g.AnotherSky(), g.AnotherSky()};
  FakeGame::Put<void*>(g.sky, layout::sky::kCurrentWeather, moved[0]);
  FakeGame::Put<void*>(g.player, layout::reference::kParentCell, moved[1]);
  FakeGame::Put<void*>(g.loaded3D, layout::loaded_3d::kRootNode, moved[2]);
  FakeGame::Put<void*>(g.scriptVm, Engine().scriptMachineRegistry, moved[3]);
  for (void* object : moved) gGate.objects.push_back(reinterpret_cast<uintptr_t>(object));
  SetCheckScope({&kGatedMemory, g.scope().imageBase, g.scope().imageSize});
  const std::function<bool(FakeGame&)> reads[] = {&ReadWeathers, &ReadCell, &ReadRootNode, &ReadRegistry};
  const std::string fields[] = {"the sky's current weather (+0x48)", "the player's cell (+0x60)",
                                "the player's root node (+0x68 of its loaded 3D state at +0x68)", kMachineField};

  std::atomic<int> succeeded{0};
  std::vector<std::thread> threads;
  for (const auto& read : reads) {
    threads.emplace_back([&] {
      for (int round = 0; round < 10; ++round)
        if (read(g)) succeeded.fetch_add(1);
    });
  }
  for (std::thread& thread : threads) thread.join();

  EXPECT_EQ(gGate.arrived.load(), 4);
  EXPECT_EQ(succeeded.load(), 0);
  const std::vector<std::string> lines = Lines(Log());
  ASSERT_EQ(lines.size(), 2u) << Log();
  int named = 0;
  for (const std::string& field : fields)
    named +=
        lines[0].starts_with(std::string("Runtime ") + kRuntime + " is not laid out as this build expects: " + field +
                             " should hold an object of class ");
  EXPECT_EQ(named, 1) << lines[0];
  EXPECT_TRUE(lines[0].ends_with(", but holds an object of class Sky (.?AVSky@@).")) << lines[0];
  EXPECT_EQ(lines[1], SecondLine());
}

namespace {

// The host's task queue as the plug-in sees it: what is queued is kept, to be
// run (or only released) by the test as the game's main thread would.
std::mutex gQueuedMutex;
std::vector<TaskDelegate*> gQueued;
void (*gOnQueued)(TaskDelegate* task) = nullptr;
FakeGame* gGame = nullptr;

void RecordTask(TaskDelegate* task) {
  {
    std::lock_guard lock(gQueuedMutex);
    gQueued.push_back(task);
  }
  if (gOnQueued) gOnQueued(task);
}

std::vector<TaskDelegate*> TakeQueued() {
  std::lock_guard lock(gQueuedMutex);
  return std::exchange(gQueued, {});
}

void RunAll(const std::vector<TaskDelegate*>& tasks) {
  for (TaskDelegate* task : tasks) {
    task->Execute();
    task->Release();
  }
}

std::vector<LightningType> gLoopsStarted;
void RecordLoopStart(LightningType type) { gLoopsStarted.push_back(type); }

int gLaunches = 0;
void CountSingle(LightningType, const FormSequence*, const FormSequence*, uint32_t, uint32_t) { ++gLaunches; }
void CountChain(std::vector<uint32_t>, std::vector<uint32_t>, int) { ++gLaunches; }

// Strikes aimed at references that stand in the player's cell at once.
struct Strikes {
  explicit Strikes(FakeGame& g) {
    for (void*& reference : references) {
      reference = g.AnotherSky();  // the references' own class is not checked
      FakeGame::Put<void*>(reference, layout::reference::kParentCell, g.cell);
    }
    gPluginForms->sheetCasters = gPluginForms->forkCasters = {references[0], references[1]};
    gPluginForms->sheetTargets = gPluginForms->forkTargets = {references[2], references[3]};
    gPluginForms->sheetSpells = gPluginForms->forkSpells = {g.weathers[5]};  // the fakes never look
    gPluginForms->sheetImod = gPluginForms->forkImod = g.weathers[4];
    gLightningState->weatherLightningFreq.exchange(60);
    Set(IntSetting::ForkDistanceMax, 0);  // the nearest band: the plain fork spells
  }
  void* references[4];
};

}  // namespace

// The monitor runs over the fake game with every check passing, until a
// field moves. From then on nothing of lightning reaches the engine.
TEST_F(Checked, AfterTheStandDownNoLoopStrikeOrTaskReachesTheEngine) {
  FakeGame& g = game_;
  SetTaskQueue(&RecordTask);
  SetEffectsLoopStarter(&RecordLoopStart);
  Strikes strikes(g);
  ScanMinLightningFrequency();
  EXPECT_EQ(gLightningState->minLightningFrequency.load(), 30);
  gLightningState->weatherLightningFreq.exchange(kNoLightning);
  MonitorMemory memory;
  ASSERT_EQ(RunMonitorCycle(memory), 3000u);
  EXPECT_EQ(gLightningState->effectsRunning.load(), 1);
  EXPECT_EQ(gLoopsStarted, (std::vector<LightningType>{Sheet, Fork}));
  const uint32_t window = CurrentEffectsWindow();

  FakeGame::Put<void*>(g.sky, layout::sky::kCurrentWeather, g.AnotherSky());
  EXPECT_EQ(RunMonitorCycle(memory), kMonitorStopped);
  EXPECT_EQ(StandDownLines().size(), 2u) << Log();
  EXPECT_EQ(gLightningState->effectsRunning.load(), 0);
  EXPECT_FALSE(EffectsWindowOpen(window));

  // The field is sound again: lightning stays down all the same.
  FakeGame::Put<void*>(g.sky, layout::sky::kCurrentWeather, g.weathers[0]);
  FakeGame::ResetCalls();
  EXPECT_EQ(RunMonitorCycle(memory), kMonitorStopped);
  WeatherMonitorLoop();  // returns: the monitor's thread ends
  EXPECT_FALSE(BeginEffectsWindow());
  EXPECT_EQ(gLightningState->effectsRunning.load(), 0);
  RunEffectsLoop(Sheet, {&CountSingle, &CountChain});
  EXPECT_EQ(gLaunches, 0);
  RunSingleStrike(Fork, &gPluginForms->forkCasters, &gPluginForms->forkTargets, 0, 1);
  RunChainStrike({0, 1}, {0, 1}, 2);
  EXPECT_EQ(AwaitPlacement(&strikes.references[0], window), Arrival::WindowEnded);
  EXPECT_FALSE(QueueTask(new taskCastSpell(strikes.references[0], strikes.references[2], g.weathers[5])));
  EXPECT_TRUE(TakeQueued().empty());
  // Tasks queued before the stand-down and run after it do nothing.
  RunAll({new taskApplyImod(Sheet), new taskCastSpell(strikes.references[0], strikes.references[2], g.weathers[5]),
          new taskMoveTo(strikes.references[0], g.player, {0.0f, 0.0f, 0.0f})});
  EXPECT_EQ(FakeGame::EngineCalls(), 0);
  EXPECT_EQ(gLoopsStarted.size(), 2u);
  EXPECT_EQ(StandDownLines().size(), 2u);
}

// A flash applied before the stand-down is removed after it: the strike
// queues the removal when the flash's time is up, and the removal runs while
// the script machine passes its check. Once it does not, removals are
// dropped, and the log says so.
TEST_F(Checked, AFlashAppliedBeforeTheStandDownIsStillRemoved) {
  FakeGame& g = game_;
  SetTaskQueue(&RecordTask);
  Strikes strikes(g);
  Set(IntSetting::EnableForkFlash, 1);
  Set(IntSetting::MinFlashAmount, 0);
  ASSERT_TRUE(BeginEffectsWindow());
  // The cast is queued after the flash; the monitor finds a moved field just
  // then.
  gGame = &g;
  gOnQueued = [](TaskDelegate* task) {
    if (dynamic_cast<taskCastSpell*>(task)) {
      EXPECT_FALSE(ReadWeathers(*gGame));
    }
  };
  FakeGame::Put<void*>(g.sky, layout::sky::kOutgoingWeather, g.cell);
  RunSingleStrike(Fork, &gPluginForms->forkCasters, &gPluginForms->forkTargets, 0, 1);
  gOnQueued = nullptr;

  ASSERT_TRUE(StoodDown());
  const std::vector<TaskDelegate*> queued = TakeQueued();
  ASSERT_EQ(queued.size(), 5u);  // two moves, the flash, the cast, the removal
  EXPECT_NE(dynamic_cast<taskApplyImod*>(queued[2]), nullptr);
  EXPECT_NE(dynamic_cast<taskRemoveImod*>(queued[4]), nullptr);
  FakeGame::ResetCalls();
  RunAll(queued);
  EXPECT_EQ(FakeGame::Calls(FakeGame::ImodRemove), 1);
  EXPECT_EQ(FakeGame::EngineCalls(), 1);

  // The script machine fails its check now: the next removal is dropped.
  FakeGame::Put<void*>(g.scriptVm, Engine().scriptMachineRegistry, g.AnotherSky());
  EXPECT_TRUE(QueueFlashRemoval(Fork));
  RunAll(TakeQueued());
  EXPECT_EQ(FakeGame::EngineCalls(), 1);
  const std::vector<std::string> lines = Lines(Log());
  EXPECT_EQ(lines.back(), "The flash's removal is dropped: the script machine failed its check.");
  EXPECT_EQ(StandDownLines().size(), 2u) << Log();
}

namespace {

std::string gLogPath;
std::atomic<bool> gInsideCall{false};
std::atomic<bool> gLinesDuringCall{false};

// A strike's engine call that takes a while; meanwhile another thread stands
// lightning down.
void SlowCall() {
  gInsideCall.store(true);
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  gLinesDuringCall.store(testsupport::ReadFile(gLogPath).find("stands down") != std::string::npos);
}

}  // namespace

// The lines follow every engine call under way on a strike thread: the
// stand-down ends the window and waits for the other strikes' world accesses,
// but not for the finder's own (a strike whose check fails inside its access;
// the drain would give up on it only after 50 ms).
TEST_F(Checked, TheLinesWaitForOtherStrikesInsideAnEngineCallButNotForTheFinder) {
  FakeGame& g = game_;
  Strikes strikes(g);
  ASSERT_TRUE(BeginEffectsWindow());
  const uint32_t window = CurrentEffectsWindow();
  gLogPath = path_;
  FakeGame::duringCellAttached = &SlowCall;
  Arrival arrival = Arrival::NotArrived;
  std::thread other([&] { arrival = AwaitPlacement(&strikes.references[0], window); });
  while (!gInsideCall.load()) std::this_thread::yield();
  FakeGame::Put<void*>(g.scriptVm, Engine().scriptMachineRegistry, g.cell);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(AwaitPlacement(&strikes.references[1], window), Arrival::WindowEnded);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(40));
  other.join();
  FakeGame::duringCellAttached = nullptr;
  EXPECT_EQ(arrival, Arrival::Arrived);
  EXPECT_FALSE(gLinesDuringCall.load());
  EXPECT_EQ(StandDownLines().size(), 2u) << Log();
  EXPECT_EQ(FakeGame::Calls(FakeGame::CellAttached), 1);
}
