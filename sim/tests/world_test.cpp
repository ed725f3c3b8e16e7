// Tests of the double's world: the objects and fields the plug-in reads, the
// world-changing natives with the loaded area, the held main thread, hit
// events, and scenarios. Offsets are written out here independently of the
// double's own tables.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "main_thread_tasks.h"
#include "nimbrel_sim/game_double.h"
#include "scenario/reader.h"
#include "test_support.h"

using nimbrel_sim::DefaultWeather;
using nimbrel_sim::FormKind;
using nimbrel_sim::GameDouble;
using nimbrel_sim::Options;
using nimbrel_sim::Scenario;
using nimbrel_sim::ScenarioEvent;

using namespace nimbrel_sim_tests;

namespace {

constexpr float kGrid = 4096.0f;

Options options(const char* name, double timeScale = 1.0) {
  Options o;
  o.outDir = RunFolder("nimbrel-world-", name);
  o.timeScale = timeScale;
  return o;
}

bool anyFailureContains(const GameDouble& game, const std::string& text) {
  for (const auto& f : game.checks().failures())
    if (f.find(text) != std::string::npos) return true;
  return false;
}

template <typename T>
T field(const void* object, size_t offset) {
  // The game's threads write these fields as the test reads them.
  T value;
  __atomic_load(reinterpret_cast<const T*>(static_cast<const uint8_t*>(object) + offset), &value, __ATOMIC_RELAXED);
  return value;
}

void* holder(const GameDouble& game, uint32_t offset) {
  return *reinterpret_cast<void* const*>(game.checks().imageBase() + offset);
}

void* registry(const GameDouble& game) { return field<void*>(holder(game, kScriptVmHolder), 0x200); }

template <typename Fn>
Fn at(const GameDouble& game, uint32_t offset) {
  return reinterpret_cast<Fn>(game.checks().imageBase() + offset);
}

// The world position of a reference, through its 3D as the plug-in reads it.
nimbrel_sim::Position nodePosition(const void* reference) {
  void* loaded3D = field<void*>(reference, 0x68);
  void* node = field<void*>(loaded3D, 0x68);
  return {field<float>(node, 0xd4), field<float>(node, 0xd8), field<float>(node, 0xdc)};
}

struct Sink {
  explicit Sink(void* const* t) : table(t) {}
  void* const* table;
  int calls = 0;
  uint32_t result = 0;
  void* target = nullptr;
  void* unused = nullptr;
  uint32_t source = 0;
  std::vector<std::string> menus;
};
uint32_t hitReceive(Sink* self, const void* event, void*) {
  ++self->calls;
  self->target = field<void*>(event, 0x0);
  self->unused = field<void*>(event, 0x8);
  self->source = field<uint32_t>(event, 0x10);
  return self->result;
}
uint32_t menuReceive(Sink* self, const void* event, void*) {
  ++self->calls;
  self->menus.push_back(std::string(field<const char*>(event, 0)) + (field<uint8_t>(event, 8) ? " open" : " close"));
  return 0;
}
void* const kHitTable[] = {nullptr, reinterpret_cast<void*>(&hitReceive)};
void* const kMenuTable[] = {nullptr, reinterpret_cast<void*>(&menuReceive)};

}  // namespace

// --- the world the plug-in reads -------------------------------------------------

TEST(World, LoadWorldLaysOutTheSkyThePlayerAndItsCell) {
  GameDouble game(options("load"));
  game.data().installDefaultData();
  EXPECT_EQ(holder(game, kSkyHolder), nullptr);
  EXPECT_EQ(holder(game, kPlayerHolder), nullptr);
  game.world().loadWorld();

  void* player = holder(game, kPlayerHolder);
  ASSERT_NE(player, nullptr);
  EXPECT_EQ(field<uint32_t>(player, 0x14), 0x14u);
  void* cell = field<void*>(player, 0x60);
  ASSERT_NE(cell, nullptr);
  void* worldspace = field<void*>(cell, 0x120);
  ASSERT_NE(worldspace, nullptr);
  EXPECT_EQ(field<uint32_t>(worldspace, 0x14), 0x3Cu);
  ASSERT_NE(field<void*>(player, 0x68), nullptr);
  nimbrel_sim::Position p = nodePosition(player);
  EXPECT_EQ(p.x, 0.0f);
  EXPECT_EQ(p.y, 0.0f);
  EXPECT_EQ(p.z, 0.0f);

  void* sky = holder(game, kSkyHolder);
  ASSERT_NE(sky, nullptr);
  void* current = field<void*>(sky, 0x48);
  ASSERT_NE(current, nullptr);
  EXPECT_EQ(field<uint32_t>(current, 0x14), game.data().weatherId(DefaultWeather::Clear));
  EXPECT_EQ(field<void*>(sky, 0x50), nullptr);
  EXPECT_EQ(field<float>(sky, 0x1b0), 12.0f);
  EXPECT_EQ(field<float>(sky, 0x1b8), 1.0f);

  game.world().unloadWorld();
  EXPECT_EQ(holder(game, kSkyHolder), nullptr);
  EXPECT_EQ(holder(game, kPlayerHolder), nullptr);
  EXPECT_TRUE(game.checks().ok());
}

TEST(World, PlayerAndSkyStatesReachTheirFields) {
  GameDouble game(options("states"));
  game.world().loadWorld();  // without data: no clear weather to show
  void* player = holder(game, kPlayerHolder);
  void* sky = holder(game, kSkyHolder);
  ASSERT_NE(player, nullptr);
  EXPECT_EQ(field<void*>(sky, 0x48), nullptr);

  game.world().setPlayerHas3D(false);
  EXPECT_EQ(field<void*>(player, 0x68), nullptr);
  game.world().setPlayerHas3D(true);
  EXPECT_NE(field<void*>(player, 0x68), nullptr);

  game.world().setPlayerHolderPresent(false);
  EXPECT_EQ(holder(game, kPlayerHolder), nullptr);
  game.world().setPlayerHolderPresent(true);
  EXPECT_EQ(holder(game, kPlayerHolder), player);

  void* tamrielCell = field<void*>(player, 0x60);
  game.world().setPlayerCellNull();
  EXPECT_EQ(field<void*>(player, 0x60), nullptr);

  game.world().enterInterior();
  void* interior = field<void*>(player, 0x60);
  ASSERT_NE(interior, nullptr);
  EXPECT_EQ(field<void*>(interior, 0x120), nullptr);

  game.world().enterExterior(0x69857);
  void* cell = field<void*>(player, 0x60);
  ASSERT_NE(cell, nullptr);
  EXPECT_NE(cell, tamrielCell);
  EXPECT_EQ(field<uint32_t>(field<void*>(cell, 0x120), 0x14), 0x69857u);
  game.world().enterExterior();
  EXPECT_EQ(field<void*>(player, 0x60), tamrielCell);

  // The scene node shows where the last frame ended: a move between frames
  // shows after the next one.
  game.world().waitFrames(2);
  const nimbrel_sim::Position before = nodePosition(player);
  game.world().setPlayerPosition(100.0f, -200.0f, 300.5f);
  EXPECT_EQ(nodePosition(player).x, before.x);
  game.world().waitFrames(2);
  nimbrel_sim::Position p = nodePosition(player);
  EXPECT_EQ(p.x, 100.0f);
  EXPECT_EQ(p.y, -200.0f);
  EXPECT_EQ(p.z, 300.5f);

  game.world().setSkyPresent(false);
  EXPECT_EQ(holder(game, kSkyHolder), nullptr);
  game.world().setSkyPresent(true);
  EXPECT_EQ(holder(game, kSkyHolder), sky);
  EXPECT_TRUE(game.checks().ok());
}

TEST(World, WeatherTransitionAndHourFields) {
  GameDouble game(options("weather"));
  game.data().installDefaultData();
  game.world().loadWorld();
  void* sky = holder(game, kSkyHolder);
  const uint32_t storm = game.data().weatherId(DefaultWeather::Thunderstorm);
  const uint32_t rain = game.data().weatherId(DefaultWeather::Rain);
  game.world().setWeather(storm, rain, 0.25f);
  void* current = field<void*>(sky, 0x48);
  void* outgoing = field<void*>(sky, 0x50);
  ASSERT_NE(current, nullptr);
  ASSERT_NE(outgoing, nullptr);
  EXPECT_EQ(field<uint32_t>(current, 0x14), storm);
  EXPECT_EQ(field<uint32_t>(outgoing, 0x14), rain);
  EXPECT_EQ(field<uint8_t>(current, 0x66f) & 0x04, 0x04);  // rainy
  EXPECT_EQ(field<float>(sky, 0x1b8), 0.25f);
  game.world().setWeatherTransition(0.75f);
  EXPECT_EQ(field<float>(sky, 0x1b8), 0.75f);
  game.world().setGameHour(19.5f);
  EXPECT_EQ(field<float>(sky, 0x1b0), 19.5f);
  game.world().setWeather(0, 0, 1.0f);
  EXPECT_EQ(field<void*>(sky, 0x48), nullptr);
  EXPECT_EQ(field<void*>(sky, 0x50), nullptr);
  EXPECT_TRUE(game.checks().ok());
  game.world().setWeather(0x7777, 0, 1.0f);
  EXPECT_TRUE(anyFailureContains(game, "no weather form 0x7777"));
}

// --- the natives -----------------------------------------------------------------

TEST(Natives, MoveToPlacesByDistanceFromThePlayer) {
  GameDouble game(options("move"));
  TaskRec* tasks = taskInterface(game);
  game.world().loadWorld();
  void* player = holder(game, kPlayerHolder);
  void* playerCell = field<void*>(player, 0x60);
  void* target = game.data().addForm(FormKind::ObjectReference, 0xff000901);
  void* caster = game.data().addForm(FormKind::ObjectReference, 0xff000902);
  ASSERT_NE(target, nullptr);
  ASSERT_EQ(field<void*>(target, 0x68), nullptr);
  auto moveTo = at<void (*)(void*, uint32_t, void*, void*, float, float, float, bool)>(game, kRefMoveTo);
  auto attached = at<bool (*)(void*, uint32_t, void*)>(game, kCellAttached);
  void* reg = registry(game);

  game.world().setPlayerPosition(1000, 1000, 50);
  onMainThread(game, tasks, [&] { moveTo(reg, 0, target, player, 2.0f * kGrid, 0, 25000, false); });
  ASSERT_NE(field<void*>(target, 0x68), nullptr) << "a moved reference gets 3D";
  nimbrel_sim::Position t = nodePosition(target);
  EXPECT_EQ(t.x, 1000 + 2.0f * kGrid);
  EXPECT_EQ(t.y, 1000.0f);
  EXPECT_EQ(t.z, 25050.0f);
  EXPECT_EQ(field<void*>(target, 0x60), playerCell);
  EXPECT_TRUE(attached(reg, 0, field<void*>(target, 0x60)));

  // Relative to the moved target, out to an unattached cell of Tamriel.
  onMainThread(game, tasks, [&] { moveTo(reg, 0, caster, target, 2.0f * kGrid, 0, 0, false); });
  void* unattached = field<void*>(caster, 0x60);
  ASSERT_NE(unattached, nullptr);
  EXPECT_NE(unattached, playerCell);
  EXPECT_EQ(field<void*>(unattached, 0x120), field<void*>(playerCell, 0x120));
  EXPECT_EQ(nodePosition(caster).x, 1000 + 4.0f * kGrid);
  EXPECT_FALSE(attached(reg, 0, unattached));

  // Beyond the cell range: no cell.
  onMainThread(game, tasks, [&] { moveTo(reg, 0, caster, player, 0, -11.0f * kGrid, 0, false); });
  EXPECT_EQ(field<void*>(caster, 0x60), nullptr);

  // The player walking off takes the loaded area along.
  game.world().setPlayerPosition(1000, -9.0f * kGrid, 0);
  EXPECT_EQ(field<void*>(caster, 0x60), playerCell);
  EXPECT_EQ(field<void*>(target, 0x60), unattached);
  game.world().setLoadedArea(20.0f * kGrid, 30.0f * kGrid);
  EXPECT_EQ(field<void*>(target, 0x60), playerCell);

  // Leaving for an interior detaches the cells the references stay in.
  game.world().enterInterior();
  EXPECT_EQ(field<void*>(target, 0x60), playerCell);
  EXPECT_FALSE(attached(reg, 0, playerCell));
  EXPECT_TRUE(attached(reg, 0, field<void*>(player, 0x60)));

  auto moves = game.world().moves();
  ASSERT_EQ(moves.size(), 3u);
  EXPECT_EQ(moves[0].referenceFormId, 0xff000901u);
  EXPECT_EQ(moves[0].destinationFormId, 0x14u);
  EXPECT_EQ(moves[0].offset.z, 25000.0f);
  EXPECT_TRUE(moves[0].inCell && moves[0].attached);
  EXPECT_EQ(moves[1].destinationFormId, 0xff000901u);
  EXPECT_TRUE(moves[1].inCell);
  EXPECT_FALSE(moves[1].attached);
  EXPECT_FALSE(moves[2].inCell);
  EXPECT_EQ(moves[2].placedAt.y, -11.0f * kGrid + 1000);
  EXPECT_TRUE(game.checks().ok());
}

TEST(Natives, MoveOffTheMainThreadOrWithAnotherRegistryChangesNothing) {
  GameDouble game(options("move-bad"));
  TaskRec* tasks = taskInterface(game);
  game.world().loadWorld();
  void* player = holder(game, kPlayerHolder);
  void* target = game.data().addForm(FormKind::ObjectReference, 0xff000901);
  auto moveTo = at<void (*)(void*, uint32_t, void*, void*, float, float, float, bool)>(game, kRefMoveTo);
  moveTo(registry(game), 0, target, player, 10, 0, 0, false);
  EXPECT_TRUE(anyFailureContains(game, "RefMoveToNative called off the game's main thread"));
  int other = 0;
  onMainThread(game, tasks, [&] { moveTo(&other, 0, target, player, 10, 0, 0, false); });
  EXPECT_TRUE(anyFailureContains(game, "RefMoveToNative called with something other than the script registry"));
  EXPECT_TRUE(game.world().moves().empty());
  EXPECT_EQ(field<void*>(target, 0x60), nullptr);
  bool result = at<bool (*)(void*, uint32_t, void*)>(game, kCellAttached)(&other, 0, field<void*>(player, 0x60));
  EXPECT_FALSE(result);
  EXPECT_TRUE(anyFailureContains(game, "CellAttachedNative called with something other than the script registry"));
}

TEST(Natives, CastsAndFlashesAreRecordedOnTheSimulatedClock) {
  GameDouble game(options("cast", 10.0));
  TaskRec* tasks = taskInterface(game);
  game.world().loadWorld();
  void* player = holder(game, kPlayerHolder);
  void* caster = game.data().addForm(FormKind::ObjectReference, 0xff000902);
  void* target = game.data().addForm(FormKind::ObjectReference, 0xff000901);
  void* spell = game.data().addForm(FormKind::Spell, 0xff000a01);
  void* imod = game.data().addForm(FormKind::ImageSpaceModifier, 0xff000b01);
  void* reg = registry(game);
  auto moveTo = at<void (*)(void*, uint32_t, void*, void*, float, float, float, bool)>(game, kRefMoveTo);
  auto cast = at<void (*)(void*, uint32_t, void*, void*, void*)>(game, kSpellCast);
  auto apply = at<void (*)(void*, uint32_t, void*, float)>(game, kImodApply);
  auto remove = at<void (*)(void*, uint32_t, void*)>(game, kImodRemove);

  onMainThread(game, tasks, [&] {
    moveTo(reg, 0, target, player, 500, 0, -15000, false);
    moveTo(reg, 0, caster, target, 0, 300, 31384, false);
    apply(reg, 0, imod, 1.0f);
    cast(reg, 0, spell, caster, target);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  onMainThread(game, tasks, [&] { remove(reg, 0, imod); });

  auto casts = game.world().casts();
  ASSERT_EQ(casts.size(), 1u);
  EXPECT_EQ(casts[0].spellFormId, 0xff000a01u);
  EXPECT_EQ(casts[0].casterFormId, 0xff000902u);
  EXPECT_EQ(casts[0].targetFormId, 0xff000901u);
  EXPECT_EQ(casts[0].target.x, 500.0f);
  EXPECT_EQ(casts[0].target.z, -15000.0f);
  EXPECT_EQ(casts[0].caster.y, 300.0f);
  EXPECT_EQ(casts[0].caster.z, 16384.0f);
  auto flashes = game.world().flashes();
  ASSERT_EQ(flashes.size(), 2u);
  EXPECT_TRUE(flashes[0].applied);
  EXPECT_FALSE(flashes[1].applied);
  EXPECT_EQ(flashes[1].modifierFormId, 0xff000b01u);
  // 20 ms of wall time at scale 10 is at least 200 simulated ms.
  EXPECT_GE(flashes[1].ms - flashes[0].ms, 200.0);
  EXPECT_LT(flashes[1].ms - flashes[0].ms, 60000.0);
  EXPECT_TRUE(game.checks().ok());

  // One thread's tasks back to back: a strike, another strike, a chain of
  // two. A move after a cast begins the next strike.
  for (const char task : std::string("mcmcmmcc")) {
    if (task == 'm') queue(tasks, [&] { moveTo(reg, 0, target, player, 500, 0, 0, false); });
    if (task == 'c') queue(tasks, [&] { cast(reg, 0, spell, caster, target); });
  }
  game.host().drainTasks();
  casts = game.world().casts();
  ASSERT_EQ(casts.size(), 5u);
  EXPECT_NE(casts[1].queuedBy, casts[2].queuedBy);
  EXPECT_NE(casts[2].queuedBy, casts[3].queuedBy);
  EXPECT_EQ(casts[3].queuedBy, casts[4].queuedBy);

  onMainThread(game, tasks, [&] { cast(reg, 0, nullptr, caster, target); });
  EXPECT_TRUE(anyFailureContains(game, "SpellCastNative with a spell that is no spell"));
  onMainThread(game, tasks, [&] { cast(reg, 0, spell, caster, nullptr); });
  EXPECT_TRUE(anyFailureContains(game, "SpellCastNative with a target that is no reference"));
  EXPECT_EQ(game.world().casts().size(), 5u);
}

// --- the main thread ---------------------------------------------------------------

TEST(MainThread, HeldTasksWaitUntilReleasedAndFailTheChecksMeanwhile) {
  GameDouble game(options("hold"));
  TaskRec* tasks = taskInterface(game);
  std::atomic<int> ran{0};
  game.host().holdMainThread(true);
  queue(tasks, [&] { ++ran; });
  queue(tasks, [&] { ++ran; });
  game.host().drainTasks();  // returns although the tasks are held
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(ran.load(), 0);
  EXPECT_EQ(game.host().tasksRun(), 0u);
  game.checks().finalChecks();
  EXPECT_TRUE(anyFailureContains(game, "2 queued, 0 released, 2 pending"));
  game.host().holdMainThread(false);
  game.host().drainTasks();
  EXPECT_EQ(ran.load(), 2);
  EXPECT_EQ(game.host().tasksRun(), 2u);
  game.checks().finalChecks();
  EXPECT_TRUE(game.checks().ok()) << game.checks().failures().front();
}

// --- events -----------------------------------------------------------------------------

TEST(Events, HitEventsReachTheHitSourceSinks) {
  GameDouble game(options("hit"));
  game.world().loadWorld();
  void* events = at<void* (*)()>(game, kEventSourcesGet)();
  Sink sink(kHitTable);
  at<void (*)(void*, void*)>(game, kAddSink)(static_cast<uint8_t*>(events) + 0x5d8, &sink);
  game.world().sendHitEvent(true, 0x00012FCD);
  EXPECT_EQ(sink.calls, 1);
  EXPECT_EQ(sink.target, holder(game, kPlayerHolder));
  EXPECT_EQ(sink.unused, nullptr);
  EXPECT_EQ(sink.source, 0x00012FCDu);
  game.world().sendHitEvent(false, 0x00012EB7);
  EXPECT_NE(sink.target, holder(game, kPlayerHolder));
  EXPECT_NE(sink.target, nullptr);
  EXPECT_EQ(sink.source, 0x00012EB7u);
  EXPECT_TRUE(game.checks().ok());
  sink.result = 2;
  game.world().sendHitEvent(true, 1);
  EXPECT_TRUE(anyFailureContains(game, "TESHitEvent sink returned 2"));
}

// --- scenarios ---------------------------------------------------------------------------

// Input that would play nothing, never end or read differently to another
// reader is refused, and the message says what is wrong with the word it
// quotes (escaped when it is not printable) and lists the few choices.
TEST(Scenario, RefusalsSayWhatIsWrongWithTheWord) {
  const struct {
    const char* text;
    const char* line;
    const char* says;
  } cases[] = {
      {"end 5\n\nat 1 weather sunny\n", "line 3:", "unknown weather 'sunny'"},
      {"# storm\nat 1 hour 25\n", "line 2:", "0 <= H < 24"},
      {"end 10\nat 11 load\n", "line 2:", "after the end at 10 s (line 1)"},
      {"at 1 menu open\n", "line 1:", "menu open|close NAME"},
      {"rain\n", "line 1:", "unknown line 'rain'"},
      {"", "line 1:", "the scenario is empty"},
      {"# only a comment\n\ndata no-plugin\n", "line 3:", "nothing to play"},
      {"end 10\nend 20\n", "line 2:", "a second 'end' line; the first is on line 1"},
      {"end 1e30\n", "line 1:", "'1e30' has an exponent"},
      {"end 1e308\n", "line 1:", "exponent"},
      {"end 0x10\n", "line 1:", "'0x10' is hexadecimal"},
      {"end 86401\n", "line 1:", "0 to 86400 s"},
      {"at 86400.5 load\n", "line 1:", "above 86400"},
      {"at 1x load\n", "line 1:", "'1x' is not a number"},
      {"at -5 load\n", "line 1:", "'-5' is out of range (below 0)"},
      {"at +5 load\n", "line 1:", "'+' sign"},
      {"at 1 transition 1e39\n", "line 1:", "exponent"},
      {"at 1 weather drizzle\n", "line 1:", "unknown weather 'drizzle' (names: clear, cloudy, rain, thunderstorm"},
      {"at 1 weather rain over 0\n", "line 1:", "'0' is out of range"},
      {"at 1 set-int EnableFork 3000000000\n", "line 1:", "-2147483648 to 2147483647"},
      {"at 1 set-int EnableFork 0x10\n", "line 1:", "hexadecimal"},
      {"at 1 set-int EnableFork 1.5\n", "line 1:", "'1.5' is not a whole number"},
      {"at 1 set-float SkyCurve -1e39\n", "line 1:", "exponent"},
      {"end 5\n\x01\xFFjunk\x1B[31m\n", "line 2:", "unknown line '\\x01\\xFFjunk\\x1B[31m'"},
      {"end 5\nat 1 \xEF\xBB\xBFload\n", "line 2:", "byte-order mark"},
      {"data plugin-light 4096\n", "line 1:", "0 to 4095"},
      {"at 1 hit player spell 010x\n", "line 1:", "'010x' is not a form id"},
      {"layout-fault sky\nend 1\n", "line 1:", "'sky' is none of sky-weather, player-cell, cell-worldspace"},
      {"layout-fault root-node\nlayout-fault vm-machine\n", "line 2:", "a second 'layout-fault' line"},
  };
  for (const auto& c : cases) {
    Scenario s;
    std::string error;
    EXPECT_FALSE(nimbrel_sim::parseScenario(c.text, s, error)) << c.text;
    EXPECT_EQ(error.rfind(c.line, 0), 0u) << c.text << " -> " << error;
    EXPECT_NE(error.find(c.says), std::string::npos) << c.text << " -> " << error;
  }
  // A byte-order mark at the very start is what some editors write; a form
  // id with a leading zero is decimal, not octal.
  Scenario s;
  std::string error;
  ASSERT_TRUE(
      nimbrel_sim::parseScenario("\xEF\xBB\xBF"
                                 "end 5\nat 1 hit player spell 010\n",
                                 s, error))
      << error;
  EXPECT_EQ(s.events.at(0).sourceId, 10u);
  EXPECT_TRUE(nimbrel_sim::parseScenario("at 1 set-float SkyCurve -inf\n", s, error)) << error;
  // Keys the plug-in does not know are a warning, with the near key when only
  // the case differs.
  ASSERT_TRUE(
      nimbrel_sim::parseScenario("at 1 set-int enablesheet 1\nat 1 set-float SheetFrequncy 5\n"
                                 "at 1 set-int SheetFrequency 5\nat 1 set-int EnableSheet 0\n",
                                 s, error))
      << error;
  ASSERT_EQ(s.unknownKeys.size(), 3u);
  EXPECT_EQ(s.unknownKeys[0].line, 1);
  EXPECT_NE(s.unknownKeys[0].hint.find("did you mean 'EnableSheet'?"), std::string::npos);
  EXPECT_EQ(s.unknownKeys[1].key, "SheetFrequncy");
  EXPECT_NE(s.unknownKeys[2].hint.find("set-float"), std::string::npos);
}

TEST(Scenario, LinesBecomeOrderedEventsAndSetUp) {
  Scenario s;
  std::string error;
  ASSERT_TRUE(
      nimbrel_sim::parseScenario("data plugin-light 3\n"
                                 "data no-dawnguard\n"
                                 "loaded-area 100 200\n"
                                 "at 2 menu open Sleep/Wait Menu   # a name with spaces\n"
                                 "at 1 weather thunderstorm from 0x10E1E9 transition 0.2 over 4\n"
                                 "at 1 hit other weapon\n"
                                 "at 0.5 set-float SheetFrequency nan\n"
                                 "at 3 player exterior 0x69857\n",
                                 s, error))
      << error;
  EXPECT_TRUE(s.installData);
  EXPECT_EQ(s.data.pluginLightIndex, 3);
  EXPECT_EQ(s.data.pluginModIndex, 0xFE);
  EXPECT_FALSE(s.data.dawnguardLoaded);
  ASSERT_TRUE(s.loadedArea.has_value());
  EXPECT_EQ(s.loadedArea->second, 200.0f);
  EXPECT_EQ(s.endMs, 3000.0);
  ASSERT_EQ(s.events.size(), 5u);
  EXPECT_EQ(s.events[0].kind, ScenarioEvent::Kind::SetFloat);
  EXPECT_TRUE(std::isnan(s.events[0].floatValue));
  const ScenarioEvent& w = s.events[1];
  EXPECT_EQ(w.kind, ScenarioEvent::Kind::Weather);
  EXPECT_EQ(w.current.name, DefaultWeather::Thunderstorm);
  EXPECT_EQ(w.outgoing.id, 0x10E1E9u);
  EXPECT_EQ(*w.transition, 0.2f);
  EXPECT_EQ(w.overMs, 4000.0);
  EXPECT_EQ(s.events[2].kind, ScenarioEvent::Kind::Hit);
  EXPECT_TRUE(s.events[2].weapon);
  EXPECT_FALSE(s.events[2].byPlayer);
  EXPECT_EQ(s.events[3].name, "Sleep/Wait Menu");
  EXPECT_EQ(s.events[4].worldspaceId, 0x69857u);

  // Set-up lines combine in any order.
  ASSERT_TRUE(nimbrel_sim::parseScenario("data dawnguard-mod 5\ndata dawnguard-light 2\nend 1\n", s, error)) << error;
  EXPECT_EQ(s.data.dawnguardModIndex, 5);
  EXPECT_EQ(s.data.dawnguardLightIndex, 2);
  EXPECT_EQ(s.data.pluginModIndex, nimbrel_sim::DataSet{}.pluginModIndex);

  ASSERT_TRUE(nimbrel_sim::parseScenario(GameDouble::defaultScenario(), s, error)) << error;
  EXPECT_GE(s.endMs, 120000.0);
  size_t loads = 0;
  for (const auto& e : s.events) loads += e.kind == ScenarioEvent::Kind::SavedGameLoad;
  EXPECT_GE(loads, 1u);
  // The newcomer's first run plays every event on time: none is due while a
  // load holds the main thread (the default 2 s, with a second to spare).
  for (const auto& load : s.events) {
    if (load.kind != ScenarioEvent::Kind::SavedGameLoad) continue;
    for (const auto& e : s.events)
      EXPECT_FALSE((e.atMs > load.atMs || (e.atMs == load.atMs && e.line > load.line)) && e.atMs < load.atMs + 3000.0)
          << "line " << e.line << " (" << e.text << ") is due during the load of line " << load.line;
  }
}

TEST(Scenario, PlayRunsTheTransitionTheHourAndTheEvents) {
  GameDouble game(options("play", 100.0));
  ASSERT_TRUE(
      game.loadScenario("end 6\n"
                        "at 0 weather rain\n"
                        "at 0 hour 18 rate 20\n"  // a game hour every 3 simulated seconds
                        "at 1 weather thunderstorm over 4\n"
                        "at 2 menu open MapMenu\n"
                        "at 3 menu close MapMenu\n"
                        "at 4 player interior\n"))
      << game.error();
  game.applyScenarioSetUp();
  void* sky = holder(game, kSkyHolder);
  ASSERT_NE(sky, nullptr);
  Sink sink(kMenuTable);
  at<void (*)(void*, void*)>(game, kAddSink)(static_cast<uint8_t*>(holder(game, kMenuManagerHolder)) + 8, &sink);

  std::vector<double> fractions;
  const double before = game.world().simulatedMs();
  game.playScenario([](double f, void* c) { static_cast<std::vector<double>*>(c)->push_back(f); }, &fractions);
  const double played = game.world().simulatedMs() - before;

  EXPECT_GE(played, 6000.0);
  EXPECT_LT(played, 60000.0);
  ASSERT_FALSE(fractions.empty());
  EXPECT_EQ(fractions.back(), 1.0);
  EXPECT_EQ(sink.menus, (std::vector<std::string>{"MapMenu open", "MapMenu close"}));
  EXPECT_EQ(field<uint32_t>(field<void*>(sky, 0x48), 0x14), game.data().weatherId(DefaultWeather::Thunderstorm));
  EXPECT_EQ(field<uint32_t>(field<void*>(sky, 0x50), 0x14), game.data().weatherId(DefaultWeather::Rain));
  EXPECT_EQ(field<float>(sky, 0x1b8), 1.0f);
  EXPECT_NEAR(field<float>(sky, 0x1b0), 20.0f, 0.01f);
  EXPECT_EQ(field<void*>(field<void*>(holder(game, kPlayerHolder), 0x60), 0x120), nullptr);
  EXPECT_TRUE(game.checks().ok());
}

// Every event is accounted for: one due while a hitch or a load holds the
// main thread plays late and names it; one due before the end that the end
// overtook (a load held the thread past it) fails the run by its line; one
// after an end moved earlier is neither.
TEST(Scenario, EveryEventIsOnTimeLateOrNotPlayed) {
  using Status = nimbrel_sim::ScenarioOutcome::Status;
  GameDouble game(options("account", 100.0));
  ASSERT_TRUE(
      game.loadScenario("load-time 2\nend 5\n"
                        "at 0 hitch 1\n"
                        "at 0.5 weather rain\n"
                        "at 4 load\n"
                        "at 4.5 weather clear\n"))
      << game.error();
  game.applyScenarioSetUp();
  game.playScenario();
  const auto outcomes = game.scenarioOutcomes();
  ASSERT_EQ(outcomes.size(), 4u);
  EXPECT_EQ(outcomes[1].status, Status::Late);
  EXPECT_GE(outcomes[1].playedMs, 1000.0);
  EXPECT_NE(outcomes[1].why.find("the hitch at line 3"), std::string::npos) << outcomes[1].why;
  EXPECT_NE(outcomes[2].status, Status::NotPlayed);
  EXPECT_EQ(outcomes[3].status, Status::NotPlayed);
  EXPECT_NE(outcomes[3].why.find("while the saved-game load at line 5 held the main thread"), std::string::npos);
  EXPECT_EQ(game.checks().failures(),
            std::vector<std::string>{"scenario line 6 (at 4.5 s: weather clear) was not played: " + outcomes[3].why});

  GameDouble shortened(options("account-short", 100.0));
  ASSERT_TRUE(shortened.loadScenario("end 5\nat 0 weather rain\nat 4 weather clear\n"));
  shortened.setScenarioEnd(2);
  shortened.applyScenarioSetUp();
  shortened.playScenario();
  EXPECT_EQ(shortened.scenarioOutcomes().at(1).status, Status::AfterEnd);
  EXPECT_TRUE(shortened.checks().ok()) << ::testing::PrintToString(shortened.checks().failures());
}

TEST(Scenario, TheTransitionRisesLinearlyWhilePlaying) {
  GameDouble game(options("ramp", 20.0));
  ASSERT_TRUE(game.loadScenario("end 4\nat 0 weather thunderstorm from rain over 4\n")) << game.error();
  game.applyScenarioSetUp();
  void* sky = holder(game, kSkyHolder);
  std::vector<std::pair<double, float>> samples;  // (fraction of play, transition)
  struct Context {
    void* sky;
    std::vector<std::pair<double, float>>* samples;
  } context{sky, &samples};
  game.playScenario(
      [](double f, void* c) {
        auto* ctx = static_cast<Context*>(c);
        ctx->samples->emplace_back(f, field<float>(ctx->sky, 0x1b8));
      },
      &context);
  ASSERT_GE(samples.size(), 3u);
  for (const auto& [f, t] : samples) EXPECT_NEAR(t, f, 0.02) << "at " << f;
}
