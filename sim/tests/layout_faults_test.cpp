// The layout faults: each leaves where the plug-in reads what a moved
// layout would leave there, says so in its words, and the double's own world
// goes on through what it knows. Read back with the tests' own RTTI reader;
// offsets written out from runtimes.md.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "image/image.h"
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
    default:
      break;
  }
  const std::vector<std::string> trace = game.checks().trace();
  EXPECT_TRUE(std::any_of(trace.begin(), trace.end(), [&](const std::string& line) {
    return line.find("\"fn\":\"LayoutFault\"") != std::string::npos &&
           line.find(std::string("\"fault\":\"") + c.name) != std::string::npos;
  }));
}

INSTANTIATE_TEST_SUITE_P(Kinds, LayoutFaults,
                         ::testing::Values(FaultCase{"sky-weather", LayoutFault::SkyWeather, kRuntime1_7_99},
                                           FaultCase{"player-cell", LayoutFault::PlayerCell, kRuntime1_7_99},
                                           FaultCase{"cell-worldspace", LayoutFault::CellWorldspace, kRuntime1_7_99},
                                           FaultCase{"cell-worldspace", LayoutFault::CellWorldspace, kRuntime1_5_39},
                                           FaultCase{"vm-machine", LayoutFault::VmMachine, kRuntime1_7_99},
                                           FaultCase{"vm-machine", LayoutFault::VmMachine, kRuntime1_5_39},
                                           FaultCase{"root-node", LayoutFault::RootNode, kRuntime1_7_99}),
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
