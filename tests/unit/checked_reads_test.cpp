// The checked reads of the engine's pointer fields and records, over a game
// laid out in this process with hand-written type information. A stand-down
// lasts for the process: every test that causes one runs in a process of its
// own (gtest_discover_tests), as the plug-in's state demands.
#include "unit/checked_game.h"

using namespace checked_test;

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
