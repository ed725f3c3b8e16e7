// The engine's event sources in their real layout, read as a plug-in reads
// them: 0x58 bytes each, sinks a BSTArray at 0x00 (data, capacity 0x08,
// size 0x10). The game's own sinks are in them from its start-up (the
// script VM by its sink bases, the player by its menu sink), a sink a test
// registers joins the array, delivery walks it and passes the game's own
// sinks over, and the VM joins the hit source at the moment the options
// name. Offsets written out from runtimes.md.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "nimbrel_sim/game_double.h"
#include "rtti_reader.h"
#include "test_support.h"

using namespace nimbrel_sim;
using nimbrel_sim_tests::Field;
using nimbrel_sim_tests::Found;
using nimbrel_sim_tests::HolderValue;
using nimbrel_sim_tests::RttiReader;

namespace {

constexpr size_t kSourceSize = 0x58;
constexpr size_t kHitSource = 0x5d8;
constexpr uint32_t kAddSink = 0x56bab0;          // EventSourceAddSink in 1.5.39
constexpr uint32_t kEventSourcesGet = 0x186910;  // ScriptEventSourcesGet in 1.5.39
constexpr uint32_t kAddSinkVr = 0x571c00;
constexpr uint32_t kEventSourcesGetVr = 0x1964c0;

Options OptionsOn(uint32_t runtime, const char* name) {
  return nimbrel_sim_tests::OptionsOn(runtime, "nimbrel-sources-", name);
}

// A source's sink array as it lies in memory.
struct SinkArray {
  uintptr_t data = 0;
  uint32_t capacity = 0, size = 0;
  std::vector<uintptr_t> entries;
};
SinkArray ReadSinks(uintptr_t source) {
  SinkArray a;
  a.data = Field<uintptr_t>(source, 0x00);
  a.capacity = Field<uint32_t>(source, 0x08);
  a.size = Field<uint32_t>(source, 0x10);
  for (uint32_t i = 0; i < a.size && a.data; ++i) a.entries.push_back(Field<uintptr_t>(a.data, 8 * i));
  return a;
}
// What a BSTArray always holds: size <= capacity, data null when capacity is 0.
void ExpectSane(const SinkArray& a, const std::string& what) {
  EXPECT_LE(a.size, a.capacity) << what;
  EXPECT_EQ(a.data == 0, a.capacity == 0) << what;
}

// A plug-in-like sink: vtable first, slot 1 receives the event.
struct Sink {
  void* const* table;
  int calls = 0;
  const void* lastSource = nullptr;
  uint8_t notifying = 0;  // the source's flag while the event is delivered
};
uint32_t Receive(Sink* self, const void*, const void* source) {
  ++self->calls;
  self->lastSource = source;
  self->notifying = Field<uint8_t>(reinterpret_cast<uintptr_t>(source), 0x50);
  return 0;
}
void* const kSinkTable[] = {nullptr, reinterpret_cast<void*>(&Receive)};

bool FakeQuery(const void*, void*) { return true; }
bool FakeLoad(const void*) { return true; }

struct EditionCase {
  const char* name;
  uint32_t runtime;
  uint32_t addSink, sourcesGet;
  size_t sources;  // in the script event holder
};
void PrintTo(const EditionCase& e, std::ostream* out) { *out << e.name; }
class Sources : public ::testing::TestWithParam<EditionCase> {};

}  // namespace

// Every source of the holder is an empty or sane array; at start-up the hit
// source holds the script VM by its BSTEventSink<TESHitEvent> base (+0x88),
// the first source the VM by its activate sink (+0x10), the menu source the
// player by its menu sink; a registered sink joins the array once, the array
// grows and keeps its order, and a hit reaches it but passes the VM over.
TEST_P(Sources, TheGamesSinksAreInTheArraysAndDeliveryPassesThemOver) {
  const EditionCase& e = GetParam();
  GameDouble game(OptionsOn(e.runtime, e.name));
  ASSERT_TRUE(game.usePluginEntryPoints(&FakeQuery, &FakeLoad));
  ASSERT_TRUE(game.load());  // the game's start-up comes first
  game.world().loadWorld();
  const uintptr_t base = game.checks().imageBase();
  const auto holder = reinterpret_cast<uintptr_t (*)()>(base + e.sourcesGet)();
  const uintptr_t vm = HolderValue(game, kScriptVmHolder);
  const uintptr_t player = HolderValue(game, kPlayerRefHolder);
  const RttiReader rtti(base);

  size_t withVm = 0;
  for (size_t i = 0; i < e.sources; ++i) {
    const SinkArray a = ReadSinks(holder + i * kSourceSize);
    ExpectSane(a, "source " + std::to_string(i));
    for (uintptr_t sink : a.entries) {
      // Each of the VM's sinks is one of its bases, at a place of its own.
      const Found f = rtti.classOf(sink);
      EXPECT_EQ(f.classes.front(), ".?AVSkyrimVM@@") << i;
      EXPECT_EQ(sink - vm, f.subobject) << i;
      ++withVm;
    }
  }
  EXPECT_EQ(withVm, 18u);  // its sinks from +0x10 to +0x98, each in its event's source
  const SinkArray hits = ReadSinks(holder + kHitSource);
  ASSERT_EQ(hits.entries, std::vector<uintptr_t>{vm + 0x88});
  const Found hitSink = rtti.classOf(vm + 0x88);
  EXPECT_EQ(hitSink.subobject, 0x88u);
  EXPECT_EQ(hitSink.baseAt(0x88), ".?AV?$BSTEventSink@UTESHitEvent@@@@");
  EXPECT_EQ(ReadSinks(holder).entries, std::vector<uintptr_t>{vm + 0x10});
  const uintptr_t menus = HolderValue(game, kMenuManagerHolder) + 0x08;
  const SinkArray menuSinks = ReadSinks(menus);
  ASSERT_EQ(menuSinks.size, 1u);
  EXPECT_EQ(rtti.classOf(menuSinks.entries[0]).baseAt(static_cast<int32_t>(menuSinks.entries[0] - player)),
            ".?AV?$BSTEventSink@VMenuOpenCloseEvent@@@@");
  EXPECT_EQ(game.checks().sinkCount(Source::Hit), 0u);  // the plug-in's sinks only

  auto addSink = reinterpret_cast<void (*)(uintptr_t, void*)>(base + e.addSink);
  std::vector<Sink> sinks(5, Sink{kSinkTable});
  addSink(holder + kHitSource, &sinks[0]);
  addSink(holder + kHitSource, &sinks[0]);  // once only
  SinkArray after = ReadSinks(holder + kHitSource);
  ExpectSane(after, "hit source");
  EXPECT_EQ(after.entries, (std::vector<uintptr_t>{vm + 0x88, reinterpret_cast<uintptr_t>(&sinks[0])}));
  for (size_t i = 1; i < sinks.size(); ++i) addSink(holder + kHitSource, &sinks[i]);
  after = ReadSinks(holder + kHitSource);
  ExpectSane(after, "hit source, grown");
  ASSERT_EQ(after.size, 6u);
  EXPECT_GE(after.capacity, 6u);
  EXPECT_EQ(after.entries[0], vm + 0x88);
  for (size_t i = 0; i < sinks.size(); ++i) EXPECT_EQ(after.entries[i + 1], reinterpret_cast<uintptr_t>(&sinks[i]));
  EXPECT_EQ(game.checks().sinkCount(Source::Hit), sinks.size());

  // The VM's sink slots point into code fill: had delivery called it, the
  // test would have stopped here.
  game.world().sendHitEvent(true, 0x00012FCD);
  for (const Sink& s : sinks) {
    EXPECT_EQ(s.calls, 1);
    EXPECT_EQ(s.lastSource, reinterpret_cast<const void*>(holder + kHitSource));
    EXPECT_EQ(s.notifying, 1);
  }
  EXPECT_EQ(Field<uint8_t>(holder + kHitSource, 0x50), 0);
  EXPECT_EQ(game.checks().callCount("GameSinkPassed"), 1u);
  // A sink in another source of the holder hears no hit.
  Sink grab{kSinkTable};
  addSink(holder + kHitSource - kSourceSize, &grab);
  game.world().sendHitEvent(false, 0x00012FCD);
  EXPECT_EQ(grab.calls, 0);
  EXPECT_TRUE(game.checks().ok()) << ::testing::PrintToString(game.checks().failures());
  // Inside a source is no source.
  addSink(holder + kHitSource + 8, &grab);
  EXPECT_EQ(game.checks().failures().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Editions, Sources,
    ::testing::Values(EditionCase{"se", kRuntime1_5_39, kAddSink, kEventSourcesGet, 0x1290 / 0x58},
                      EditionCase{"vr", nimbrel_sim_tests::kVrRuntime, kAddSinkVr, kEventSourcesGetVr, 0x1238 / 0x58}),
    [](const ::testing::TestParamInfo<EditionCase>& info) { return std::string(info.param.name); });

// --- when the script VM joins the hit source -------------------------------------------

namespace {

// A fake plug-in whose listener looks at the hit source at each message.
struct HostRec {
  uint32_t version, runtime, editorVersion, editor;
  void* (*query)(uint32_t);
  uint32_t (*handle)();
};
struct MsgRec {
  const char* sender;
  uint32_t type, length;
  void* data;
};
struct MessagingRec {
  uint32_t version;
  bool (*listen)(uint32_t, const char*, void (*)(MsgRec*));
};

uintptr_t gHitSource = 0;
std::vector<std::pair<uint32_t, uint32_t>> gSeen;  // message type, sinks in the hit source then

void Listener(MsgRec* m) { gSeen.emplace_back(m->type, Field<uint32_t>(gHitSource, 0x10)); }
bool ListeningLoad(const void* host) {
  auto* h = static_cast<const HostRec*>(host);
  static_cast<MessagingRec*>(h->query(5))->listen(h->handle(), "SKSE", &Listener);
  return true;
}

struct Moment {
  const char* name;
  std::optional<VmHitSink> option;
  const char* scenarioLine;  // a set-up line, read before the plug-in loads
  // The hit source's sinks at messages 6, 8, 2 (the first load) and 3.
  std::vector<uint32_t> expected;
};
void PrintTo(const Moment& m, std::ostream* out) { *out << m.name; }
class VmHitSinkMoments : public ::testing::TestWithParam<Moment> {};

}  // namespace

TEST_P(VmHitSinkMoments, TheVmJoinsTheHitSourceWhenTheOptionsSay) {
  const Moment& m = GetParam();
  Options options = OptionsOn(kRuntime1_5_39, m.name);
  options.vmHitSink = m.option;
  options.loadMs = 10;
  GameDouble game(options);
  if (*m.scenarioLine) {
    ASSERT_TRUE(game.loadScenario(std::string(m.scenarioLine) + "\nend 1\n")) << game.error();
  }
  gHitSource = reinterpret_cast<uintptr_t (*)()>(game.checks().imageBase() + kEventSourcesGet)() + kHitSource;
  gSeen.clear();
  ASSERT_TRUE(game.usePluginEntryPoints(&FakeQuery, &ListeningLoad));
  ASSERT_TRUE(game.load());
  game.startUp();
  game.host().loadSavedGame();
  game.host().loadSavedGame();
  std::vector<uint32_t> seen;
  for (const auto& [type, sinks] : gSeen)
    if (type == kMsgInputLoaded || type == kMsgDataLoaded || type == kMsgPreLoadGame || type == kMsgPostLoadGame)
      seen.push_back(sinks);
  EXPECT_EQ(seen, m.expected) << "sinks in the hit source at messages 6, 8, 2, 3, 2, 3";
  EXPECT_TRUE(game.checks().ok()) << ::testing::PrintToString(game.checks().failures());
}

INSTANTIATE_TEST_SUITE_P(
    Moments, VmHitSinkMoments,
    ::testing::Values(Moment{"start_up", std::nullopt, "", {1, 1, 1, 1, 1, 1}},
                      Moment{"data_ready", VmHitSink::BeforeDataReady, "", {0, 1, 1, 1, 1, 1}},
                      Moment{"first_load", VmHitSink::FirstLoad, "", {0, 0, 1, 1, 1, 1}},
                      Moment{"never", VmHitSink::Never, "", {0, 0, 0, 0, 0, 0}},
                      Moment{"scenario_line", std::nullopt, "vm-hit-sink data-ready", {0, 1, 1, 1, 1, 1}},
                      Moment{"option_wins", VmHitSink::FirstLoad, "vm-hit-sink start-up", {0, 0, 1, 1, 1, 1}}),
    [](const ::testing::TestParamInfo<Moment>& info) { return std::string(info.param.name); });
