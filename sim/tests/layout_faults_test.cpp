// The layout faults: each leaves where the plug-in reads what a moved
// layout would leave there, says so in its words, and the double's own world
// goes on through what it knows. Read back with the tests' own RTTI reader;
// offsets written out from runtimes.md.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "image/image.h"
#include "main_thread_tasks.h"
#include "nimbrel_sim/game_double.h"
#include "rtti_reader.h"
#include "run/os.h"
#include "test_support.h"

using namespace nimbrel_sim;
using nimbrel_sim_tests::Field;
using nimbrel_sim_tests::Found;
using nimbrel_sim_tests::HolderValue;
using nimbrel_sim_tests::MachineOffset;
using nimbrel_sim_tests::RttiReader;
using nimbrel_sim_tests::WorldspaceOffset;

namespace {

Options OptionsOn(uint32_t runtime, const char* name) {
  return nimbrel_sim_tests::OptionsOn(runtime, "nimbrel-fault-", name);
}

struct FaultCase {
  const char* name;
  LayoutFault fault;
  uint32_t runtime;
};
void PrintTo(const FaultCase& c, std::ostream* out) { *out << c.name; }

class LayoutFaults : public ::testing::TestWithParam<FaultCase> {};

// The pointer a trace line gives for a key ("cell":"0x...").
uintptr_t TracePointer(const GameDouble& game, const std::string& fn, const std::string& key) {
  uintptr_t last = 0;
  for (const std::string& line : game.checks().trace()) {
    if (line.find("\"fn\":\"" + fn + "\"") == std::string::npos) continue;
    const size_t at = line.find("\"" + key + "\":\"0x");
    if (at != std::string::npos) last = std::stoull(line.substr(at + key.size() + 6), nullptr, 16);
  }
  return last;
}

uintptr_t Plugin(GameDouble& game, uint32_t local) {
  return reinterpret_cast<uintptr_t>(game.data().findForm(game.data().pluginFormId(local)));
}

bool TraceHas(const GameDouble& game, const std::string& a, const std::string& b) {
  const std::vector<std::string> trace = game.checks().trace();
  return std::any_of(trace.begin(), trace.end(),
                     [&](const std::string& l) { return l.find(a) != l.npos && l.find(b) != l.npos; });
}

// The events a fault added to the run are among its outcomes, with their words.
void ExpectAdded(const GameDouble& game, const std::vector<std::string>& lines) {
  for (const std::string& line : lines) {
    const auto outcomes = game.scenarioOutcomes();
    EXPECT_TRUE(std::any_of(outcomes.begin(), outcomes.end(), [&](const ScenarioOutcome& o) {
      return o.line == 0 && o.text.rfind(line + " (added by the layout fault ", 0) == 0;
    })) << line;
  }
}

// The script event holder, EventSourceAddSink and a source's sinks.
auto EventSources(const GameDouble& game) {
  return reinterpret_cast<uintptr_t (*)()>(game.checks().imageBase() +
                                           offsetOf(kScriptEventSourcesGet, image().layout()));
}
auto AddSink(const GameDouble& game) {
  return reinterpret_cast<void (*)(uintptr_t, void*)>(game.checks().imageBase() +
                                                      offsetOf(kEventSourceAddSink, image().layout()));
}
std::vector<uintptr_t> SinksIn(uintptr_t source) {
  std::vector<uintptr_t> sinks;
  for (uint32_t i = 0; i < Field<uint32_t>(source, 0x10); ++i)
    sinks.push_back(Field<uintptr_t>(Field<uintptr_t>(source, 0), 8 * i));
  return sinks;
}

// A sink in the engine's layout that keeps the event's first field.
struct Sink {
  void* const* table;
  int calls = 0;
  uintptr_t firstField = 0;
};
uint32_t Receive(Sink* self, const void* event, const void*) {
  ++self->calls;
  self->firstField = *static_cast<const uintptr_t*>(event);
  return 0;
}
void* const kSinkTable[] = {nullptr, reinterpret_cast<void*>(&Receive)};

}  // namespace

// Each fault leaves where the plug-in reads what it says, the trace names
// it, and the double's world goes on through what it knows.
TEST_P(LayoutFaults, EachLeavesWhatItSaysWhereThePluginReads) {
  const FaultCase& c = GetParam();
  Options options = OptionsOn(c.runtime, c.name);
  options.layoutFault = c.fault;
  GameDouble game(options);
  ASSERT_EQ(game.layoutFault(), c.fault);
  ASSERT_TRUE(game.loadScenario("at 0 weather thunderstorm\nat 0.05 weather clear over 1\nend 0.1\n"));
  game.applyScenarioSetUp();
  game.playScenario();
  const RttiReader rtti(game.checks().imageBase());
  const uintptr_t sky = HolderValue(game, kSkyHolder), player = HolderValue(game, kPlayerRefHolder);
  const uintptr_t vm = HolderValue(game, kScriptVmHolder);
  const uintptr_t cell = TracePointer(game, "WorldLoaded", "cell");
  ASSERT_NE(cell, 0u);
  switch (c.fault) {
    case LayoutFault::SkyWeather: {
      EXPECT_EQ(rtti.classOf(Field<uintptr_t>(sky, 0x48)).classes,
                (std::vector<std::string>{".?AVClouds@@", ".?AVSkyObject@@"}));
      // The world knew its current weather: the change made it the outgoing one.
      EXPECT_EQ(Field<void*>(sky, 0x50), game.data().findForm(game.data().weatherId(DefaultWeather::Thunderstorm)));
      break;
    }
    case LayoutFault::PlayerCell: {
      const uintptr_t found = Field<uintptr_t>(player, 0x60);
      ASSERT_NE(found, 0u);
      EXPECT_EQ(rtti.classOf(found).problem, "the first word is no vtable of the image");
      EXPECT_NE(Field<uintptr_t>(found, 0), 0u);  // a readable heap address
      game.world().enterInterior();
      EXPECT_EQ(Field<uintptr_t>(player, 0x60), found);
      break;
    }
    case LayoutFault::CellWorldspace: {
      const size_t used = WorldspaceOffset(c.runtime), other = used == 0x128 ? 0x120 : 0x128;
      EXPECT_EQ(Field<uintptr_t>(player, 0x60), cell);
      EXPECT_TRUE(image().isPoison(Field<uintptr_t>(cell, used)));
      EXPECT_TRUE(image().isPoison(Field<uintptr_t>(cell, other)));
      EXPECT_EQ(os::protectionOf(Field<uintptr_t>(cell, used)), "---");
      // A cell made later is laid out the same way.
      game.world().enterExterior(0x69857);
      const uintptr_t later = Field<uintptr_t>(player, 0x60);
      ASSERT_NE(later, cell);
      EXPECT_TRUE(image().isPoison(Field<uintptr_t>(later, used)));
      break;
    }
    case LayoutFault::VmMachine: {
      const size_t used = MachineOffset(c.runtime), other = used == 0x210 ? 0x200 : 0x210;
      const uintptr_t sink = Field<uintptr_t>(vm, used);
      EXPECT_EQ(rtti.classOf(sink).classes, std::vector<std::string>{".?AV?$BSTEventSink@UTESFormDeleteEvent@@@@"});
      EXPECT_EQ(Field<uintptr_t>(vm, other), sink);
      EXPECT_TRUE(game.checks().ok()) << game.checks().failures().front();
      using CellAttached = bool (*)(uintptr_t, uint32_t, void*);
      reinterpret_cast<CellAttached>(game.checks().imageBase() + offsetOf(kCellAttachedNative, image().layout()))(
          sink, 0, nullptr);
      ASSERT_EQ(game.checks().failures().size(), 1u);
      EXPECT_NE(game.checks().failures()[0].find("the layout fault vm-machine put it at"), std::string::npos)
          << game.checks().failures()[0];
      break;
    }
    case LayoutFault::RootNode: {
      const uintptr_t loaded = Field<uintptr_t>(player, 0x68);
      const Found found = rtti.classOf(Field<uintptr_t>(loaded, 0x68));
      EXPECT_EQ(found.classes, (std::vector<std::string>{".?AVNiControllerManager@@", ".?AVNiTimeController@@",
                                                         ".?AVNiObject@@", ".?AVNiRefObject@@"}));
      break;
    }
    case LayoutFault::EffectArtModel: {
      // The word at +0x40 is the projectile's vtable for its base at 0x68.
      const uintptr_t art = Plugin(game, 0x800);
      const Found found = rtti.classOf(art + 0x40);
      EXPECT_EQ(found.subobject, 0x68u);
      EXPECT_EQ(found.classes.front(), ".?AVBGSProjectile@@");
      EXPECT_EQ(found.baseAt(0x68), ".?AVBGSPreloadable@@");
      EXPECT_EQ(game.data().modelPath(game.data().pluginFormId(0x800)), "magic\\nimbrel\\sheet01.nif");
      const auto later = reinterpret_cast<uintptr_t>(game.data().addEffectArt(0xff000a01, "magic\\a.nif"));
      EXPECT_EQ(rtti.classOf(later + 0x40).subobject, 0x68u);
      ExpectAdded(game, {"hour 12", "hour 21"});
      break;
    }
    case LayoutFault::FadeDuration: {
      const uintptr_t art = Plugin(game, 0x800);
      EXPECT_TRUE(rtti.inImage(Field<uint64_t>(art, 0xc0), 8));
      EXPECT_EQ(std::fpclassify(Field<float>(art, 0xc4)), FP_SUBNORMAL) << Field<float>(art, 0xc4);
      EXPECT_EQ(Field<uint32_t>(art, 0xc4), Field<uint64_t>(art, 0xc0) >> 32);
      ExpectAdded(game, {"set-float SheetFadeDuration 2"});
      break;
    }
    case LayoutFault::FormList: {
      // The plug-in's spell list: three entries, sane as an array, none a form.
      const uintptr_t list = Plugin(game, 0x8CD);
      EXPECT_EQ(Field<uint32_t>(list, 0x30), 3u);
      EXPECT_EQ(Field<uint32_t>(list, 0x28), 3u);
      const auto entries = Field<uintptr_t>(list, 0x20);
      ASSERT_NE(entries, 0u);
      for (size_t i = 0; i < 3; ++i) {
        const auto entry = Field<uintptr_t>(entries, 8 * i);
        ASSERT_NE(entry, 0u);
        EXPECT_EQ(rtti.classOf(entry).problem, "the first word is no vtable of the image") << i;
      }
      // The spells themselves are still there for the game.
      EXPECT_EQ(rtti.classOf(Plugin(game, 0x900)).classes.front(), ".?AVSpellItem@@");
      break;
    }
    case LayoutFault::HitSource: {
      const uintptr_t holder = EventSources(game)();
      const std::vector<uintptr_t> grab = SinksIn(holder + 0x5d8), hits = SinksIn(holder + 0x630);
      ASSERT_EQ(grab.size(), 1u);
      EXPECT_EQ(grab[0], vm + 0x80);
      EXPECT_EQ(rtti.classOf(grab[0]).baseAt(0x80), ".?AV?$BSTEventSink@UTESGrabReleaseEvent@@@@");
      EXPECT_EQ(hits, std::vector<uintptr_t>{vm + 0x88});
      // Hits go to the hit source where it now lies, not to +0x5d8.
      Sink atOld{kSinkTable}, atNew{kSinkTable};
      AddSink(game)(holder + 0x5d8, &atOld);
      AddSink(game)(holder + 0x630, &atNew);
      game.world().sendHitEvent(true, 0x00012FCD);
      EXPECT_EQ(atOld.calls, 0);
      EXPECT_EQ(atNew.calls, 1);
      EXPECT_EQ(atNew.firstField, player);
      EXPECT_TRUE(TraceHas(game, "\"fn\":\"GameStarted\"", "\"scriptEventHolderBytes\":4840"));
      break;
    }
    case LayoutFault::HitEvent: {
      Sink sink{kSinkTable};
      AddSink(game)(EventSources(game)() + 0x5d8, &sink);
      const auto spell = reinterpret_cast<uintptr_t>(game.data().addForm(FormKind::Spell, 0x00012FCD));
      game.world().sendHitEvent(true, 0x00012FCD);
      EXPECT_EQ(sink.firstField, spell);
      game.world().sendHitEvent(true, 0x00BADBAD);  // a source no form has: still a spell
      EXPECT_EQ(rtti.classOf(sink.firstField).classes.front(), ".?AVSpellItem@@");
      EXPECT_EQ(sink.calls, 2);
      // The trace keeps the real target beside what the event held.
      EXPECT_TRUE(TraceHas(game, "\"fn\":\"TESHitEvent\"", "\"target\":\"0x"));
      ExpectAdded(game, {"hit player spell"});
      break;
    }
    case LayoutFault::ScenePosition: {
      const uintptr_t node = Field<uintptr_t>(Field<uintptr_t>(player, 0x68), 0x68);
      game.world().setPlayerPosition(1000, 2000, 30);
      game.world().waitFrames(2);
      for (size_t at : {0xd4, 0xd8, 0xdc}) EXPECT_TRUE(std::isnan(Field<float>(node, at))) << at;
      // The world still knows where the player stands: a reference moved to
      // the player lands there.
      auto* tasks = nimbrel_sim_tests::taskInterface(game);
      void* reference = game.data().addForm(FormKind::ObjectReference, 0xff000b01);
      using MoveTo = void (*)(uintptr_t, uint32_t, void*, uintptr_t, float, float, float, bool);
      const auto moveTo =
          reinterpret_cast<MoveTo>(game.checks().imageBase() + offsetOf(kRefMoveToNative, image().layout()));
      const uintptr_t registry = Field<uintptr_t>(vm, MachineOffset(c.runtime));
      nimbrel_sim_tests::onMainThread(game, tasks, [&] { moveTo(registry, 0, reference, player, 10, 0, 0, false); });
      ASSERT_FALSE(game.world().moves().empty());
      EXPECT_EQ(game.world().moves().back().placedAt.x, 1010.0f);
      EXPECT_EQ(game.world().moves().back().placedAt.y, 2000.0f);
      break;
    }
    case LayoutFault::None:
      break;
  }
  EXPECT_TRUE(TraceHas(game, "\"fn\":\"LayoutFault\"", std::string("\"fault\":\"") + c.name + "\""));
  if (c.fault != LayoutFault::VmMachine) {
    game.checks().finalChecks();
    EXPECT_TRUE(game.checks().ok()) << ::testing::PrintToString(game.checks().failures());
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, LayoutFaults,
                         ::testing::Values(FaultCase{"sky-weather", LayoutFault::SkyWeather, kRuntime1_7_99},
                                           FaultCase{"player-cell", LayoutFault::PlayerCell, kRuntime1_7_99},
                                           FaultCase{"cell-worldspace", LayoutFault::CellWorldspace, kRuntime1_7_99},
                                           FaultCase{"cell-worldspace", LayoutFault::CellWorldspace, kRuntime1_5_39},
                                           FaultCase{"vm-machine", LayoutFault::VmMachine, kRuntime1_7_99},
                                           FaultCase{"vm-machine", LayoutFault::VmMachine, kRuntime1_5_39},
                                           FaultCase{"root-node", LayoutFault::RootNode, kRuntime1_7_99},
                                           FaultCase{"effect-art-model", LayoutFault::EffectArtModel, kRuntime1_7_99},
                                           FaultCase{"fade-duration", LayoutFault::FadeDuration, kRuntime1_7_99},
                                           FaultCase{"form-list", LayoutFault::FormList, kRuntime1_7_99},
                                           FaultCase{"hit-source", LayoutFault::HitSource, kRuntime1_7_99},
                                           FaultCase{"hit-event", LayoutFault::HitEvent, kRuntime1_7_99},
                                           FaultCase{"scene-position", LayoutFault::ScenePosition, kRuntime1_5_39}),
                         [](const ::testing::TestParamInfo<FaultCase>& info) {
                           std::string name = std::string(info.param.name) +
                                              (info.param.runtime == kRuntime1_5_39 ? "_1_5_39" : "_1_7_99");
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name;
                         });

// A scenario's layout-fault line applies with its set-up; the command
// line's fault wins over it.
TEST(LayoutFaultLine, AppliesWithTheSetUpUnlessTheOptionsNameOne) {
  GameDouble plain(OptionsOn(kRuntime1_5_39, "line"));
  ASSERT_TRUE(plain.loadScenario("layout-fault root-node\nend 1\n"));
  EXPECT_EQ(plain.layoutFault(), LayoutFault::None);
  plain.applyScenarioSetUp();
  EXPECT_EQ(plain.layoutFault(), LayoutFault::RootNode);
  Options options = OptionsOn(kRuntime1_5_39, "line-option");
  options.layoutFault = LayoutFault::SkyWeather;
  GameDouble given(options);
  ASSERT_TRUE(given.loadScenario("layout-fault root-node\nend 1\n"));
  given.applyScenarioSetUp();
  EXPECT_EQ(given.layoutFault(), LayoutFault::SkyWeather);
}
