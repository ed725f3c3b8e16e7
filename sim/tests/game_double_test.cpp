// Tests of the game double itself: the image it lays out, the engine calls
// behind it, the host records and the checks that fail a run. The offsets
// below are written out independently of the double's own table.
#include <gtest/gtest.h>
#include <link.h>
#include <sys/mman.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "image/image.h"
#include "nimbrel_sim/game_double.h"
#include "run/os.h"
#include "run/trace.h"
#include "test_support.h"

using nimbrel_sim::Edition;
using nimbrel_sim::GameDouble;
using nimbrel_sim::Image;
using nimbrel_sim::image;
using nimbrel_sim::kMsgDataLoaded;
using nimbrel_sim::kRuntimeSE;
using nimbrel_sim::Options;
using nimbrel_sim::Source;

using namespace nimbrel_sim_tests;

namespace {

uintptr_t firstImageBase() {
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

std::string outDir(const char* name) { return RunFolder("nimbrel-double-", name); }

Options seOptions(const char* name) {
  Options o;
  o.outDir = outDir(name);
  return o;
}

bool anyFailureContains(const GameDouble& game, const std::string& text) {
  for (const auto& f : game.checks().failures())
    if (f.find(text) != std::string::npos) return true;
  return false;
}

template <typename Fn>
Fn at(const GameDouble& game, uint32_t offset) {
  return reinterpret_cast<Fn>(game.checks().imageBase() + offset);
}

void* holder(const GameDouble& game, uint32_t offset) {
  return *reinterpret_cast<void* const*>(game.checks().imageBase() + offset);
}

void* descriptor(const GameDouble& game, uint32_t offset) {
  return reinterpret_cast<void*>(game.checks().imageBase() + offset);
}

// --- a plug-in made of plain functions, as a library would export them -------

struct HostRec {
  uint32_t version, runtime, editorVersion, editor;
  void* (*query)(uint32_t);
  uint32_t (*handle)();
};
struct DescRec {
  uint32_t info;
  const char* name;
  uint32_t version;
};
struct MsgRec {
  const char* sender;
  uint32_t type, length;
  void* data;
};
struct ScriptRec {
  uint32_t version;
  bool (*registerFunctions)(bool (*)(void*));
};
struct TaskRec {
  uint32_t version;
  void (*add)(void*);
};
struct MessagingRec {
  uint32_t version;
  bool (*listen)(uint32_t, const char*, void (*)(MsgRec*));
  void* dispatch;
  void* (*dispatcher)(uint32_t);
};

const HostRec* gHost = nullptr;
bool gFillDescription = true;
std::vector<std::pair<uint32_t, uint64_t>> gMessages;
int gNullMessages = 0;
void* gRegistryGiven = nullptr;

void onMessage(MsgRec* m) {
  if (!m) {
    ++gNullMessages;
    return;
  }
  EXPECT_STREQ(m->sender, "SKSE");
  gMessages.emplace_back(m->type, reinterpret_cast<uint64_t>(m->data));
}

bool registerFunctions(void* registry) {
  gRegistryGiven = registry;
  return true;
}

bool testQuery(const void* host, void* description) {
  gHost = static_cast<const HostRec*>(host);
  if (gFillDescription) {
    auto* d = static_cast<DescRec*>(description);
    d->info = 1;
    d->name = "TestPlugin";
    d->version = 0x1234;
  }
  return gHost->editor == 0;
}

bool testLoad(const void* host) {
  auto* h = static_cast<const HostRec*>(host);
  auto* script = static_cast<ScriptRec*>(h->query(2));
  auto* messaging = static_cast<MessagingRec*>(h->query(5));
  messaging->listen(h->handle(), "SKSE", onMessage);
  script->registerFunctions(registerFunctions);
  return true;
}

// A sink and a task in the engine's layout: table pointer first.
struct TestSink {
  void* const* table;
  uint32_t result;
  int calls;
  std::string lastMenu;
  int lastOpening;
  uint32_t lastAction;
  void* lastActor;
  void* lastSource;
};
uint32_t menuReceive(TestSink* self, const void* event, void* source) {
  ++self->calls;
  self->lastSource = source;
  const char* name = *static_cast<const char* const*>(event);
  self->lastMenu = name ? name : "";
  self->lastOpening = static_cast<const uint8_t*>(event)[8];
  return self->result;
}
uint32_t actionReceive(TestSink* self, const void* event, void* source) {
  ++self->calls;
  self->lastSource = source;
  self->lastAction = *static_cast<const uint32_t*>(event);
  self->lastActor = *reinterpret_cast<void* const*>(static_cast<const uint8_t*>(event) + 8);
  return self->result;
}
void* const kSinkTable[] = {nullptr, reinterpret_cast<void*>(&menuReceive)};
void* const kActionSinkTable[] = {nullptr, reinterpret_cast<void*>(&actionReceive)};

struct TestTask {
  void* const* table;
  std::vector<std::string>* log;
  std::thread::id ranOn;
};
void taskExecute(TestTask* t) {
  t->ranOn = std::this_thread::get_id();
  t->log->push_back("execute");
}
void taskRelease(TestTask* t) { t->log->push_back("release"); }
void* const kTaskTable[] = {reinterpret_cast<void*>(&taskExecute), reinterpret_cast<void*>(&taskRelease)};

}  // namespace

// --- the image -----------------------------------------------------------------

TEST(Image, ArenaIsPinnedAtRva0x1000AndLaidOutForSpecialEdition) {
  GameDouble game(seOptions("image"));
  ASSERT_TRUE(game.checks().ok()) << game.checks().failures().front();
  EXPECT_EQ(game.checks().imageBase(), firstImageBase());
  const uint8_t* base = reinterpret_cast<const uint8_t*>(game.checks().imageBase());
  for (uint32_t fn : {kFormFromId, kDynamicCast, kImodApply, kAddSink, kHeapFree, kNativeInit}) {
    const uint8_t jump[6] = {0xFF, 0x25, 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(base + fn, jump, 6), 0) << std::hex << fn;
    uint64_t target = 0;
    std::memcpy(&target, base + fn + 6, 8);
    EXPECT_NE(target, 0u);
    EXPECT_EQ(base[fn + 14], 0xCC) << "filler after the jump at " << std::hex << fn;
  }
  EXPECT_EQ(base[0x1000], 0xCC);
  EXPECT_EQ(base[0x1000 + 0x4000000 - 1], 0xCC);
  EXPECT_EQ(holder(game, kSkyHolder), nullptr);
  EXPECT_EQ(holder(game, kPlayerHolder), nullptr);
  EXPECT_NE(holder(game, kMenuManagerHolder), nullptr);
  EXPECT_EQ(game.checks().patchSiteAddress(), game.checks().imageBase() + kPatchSite);
  EXPECT_EQ(game.checks().patchSiteProtection(), "r-x");
  EXPECT_TRUE(game.checks().patchTailIntact());
  std::vector<uint8_t> head = game.checks().patchSiteBytes(5);
  EXPECT_NE(head, (std::vector<uint8_t>{0xE9, 0x2D, 0, 0, 0}));
}

TEST(Image, VrEditionUsesTheVrColumn) {
  if (image().ready() && image().edition() != Edition::VR) GTEST_SKIP() << "process already holds the SE image";
  Options o;
  o.edition = Edition::VR;
  o.outDir = outDir("vr");
  GameDouble game(o);
  ASSERT_TRUE(game.checks().ok());
  const uint8_t* base = reinterpret_cast<const uint8_t*>(game.checks().imageBase());
  EXPECT_EQ(base[0x1a3f60], 0xFF);     // FormFromId, VR
  EXPECT_EQ(base[kFormFromId], 0xCC);  // the SE offset is filler here
  EXPECT_EQ(game.checks().patchSiteAddress(), game.checks().imageBase() + 0x127b7ed);
  EXPECT_NE(holder(game, 0x1f889d8), nullptr);  // script VM
  EXPECT_EQ(game.pluginLogPath(), o.outDir + "/Documents/My Games/Skyrim VR/SKSE/NimbrelVRPlugin.log");
}

// --- engine objects and functions ------------------------------------------------

TEST(Engine, ObjectsBehindTheHolders) {
  GameDouble game(seOptions("objects"));
  auto* vm = static_cast<uint8_t*>(holder(game, kScriptVmHolder));
  ASSERT_NE(vm, nullptr);
  void* registry = *reinterpret_cast<void**>(vm + 0x200);
  ASSERT_NE(registry, nullptr);
  auto* data = static_cast<uint8_t*>(holder(game, kDataRegistryHolder));
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(*reinterpret_cast<void**>(data + 0x520), nullptr);
  EXPECT_EQ(*reinterpret_cast<uint32_t*>(data + 0x530), 0u);
  EXPECT_EQ(*reinterpret_cast<void**>(data + 0xd60), nullptr);  // no file in the head node
  EXPECT_EQ(*reinterpret_cast<void**>(data + 0xd68), nullptr);
  auto* events = static_cast<uint8_t*>(at<void* (*)()>(game, kEventSourcesGet)());
  ASSERT_NE(events, nullptr);
  EXPECT_EQ(game.checks().callCount("ScriptEventSourcesGet"), 1u);
  EXPECT_TRUE(game.checks().ok());
}

TEST(Engine, FormLookupAndDynamicCastFollowTheClassTree) {
  GameDouble game(seOptions("cast"));
  auto formFromId = at<void* (*)(uint32_t)>(game, kFormFromId);
  auto cast = at<void* (*)(void*, int32_t, void*, void*, int32_t)>(game, kDynamicCast);
  EXPECT_EQ(formFromId(0x12345), nullptr);
  void* player = formFromId(0x14);
  ASSERT_NE(player, nullptr);
  EXPECT_EQ(*reinterpret_cast<uint32_t*>(static_cast<uint8_t*>(player) + 0x14), 0x14u);
  void* form = descriptor(game, kRttiForm);
  EXPECT_EQ(cast(player, 0, form, descriptor(game, kRttiPlayer), 0), player);
  EXPECT_EQ(cast(player, 0, form, descriptor(game, kRttiObjectReference), 0), player);
  EXPECT_EQ(cast(player, 0, form, descriptor(game, kRttiSpell), 0), nullptr);
  EXPECT_EQ(cast(nullptr, 0, form, descriptor(game, kRttiSpell), 0), nullptr);
  // The player's descriptor is the engine's actor type: every actor passes.
  void* otherActor = formFromId(0xff000801);
  ASSERT_NE(otherActor, nullptr);
  EXPECT_EQ(cast(otherActor, 0, form, descriptor(game, kRttiPlayer), 0), otherActor);
  EXPECT_TRUE(game.checks().ok());
  EXPECT_EQ(game.checks().callCount("EngineDynamicCast"), 5u);
  EXPECT_EQ(game.checks().callCount("FormFromId"), 3u);
  // A descriptor address the engine does not have fails the run.
  EXPECT_EQ(cast(player, 0, form, descriptor(game, kRttiSpell + 8), 0), nullptr);
  EXPECT_TRUE(anyFailureContains(game, "unknown type descriptor"));
}

TEST(Engine, HeapFreesMustMatchAllocations) {
  GameDouble game(seOptions("heap"));
  void* heap = descriptor(game, kEngineHeap);
  auto allocate = at<void* (*)(void*, uint64_t, uint32_t, bool)>(game, kHeapAllocate);
  auto release = at<void (*)(void*, void*, bool)>(game, kHeapFree);
  void* block = allocate(heap, 96, 0, false);
  ASSERT_NE(block, nullptr);
  std::memset(block, 0, 96);
  release(heap, block, false);
  EXPECT_TRUE(game.checks().ok());
  release(heap, block, false);  // the second free of the same block
  EXPECT_TRUE(anyFailureContains(game, "did not hand out"));
}

TEST(Engine, HeapCallsOnAnotherObjectFail) {
  GameDouble game(seOptions("heap-other"));
  auto allocate = at<void* (*)(void*, uint64_t, uint32_t, bool)>(game, kHeapAllocate);
  int notTheHeap = 0;
  EXPECT_EQ(allocate(&notTheHeap, 16, 0, false), nullptr);
  EXPECT_TRUE(anyFailureContains(game, "EngineHeap object"));
}

TEST(Engine, NativeFunctionRegistrationThroughRegistrySlot24) {
  GameDouble game(seOptions("register"));
  void* heap = descriptor(game, kEngineHeap);
  auto allocate = at<void* (*)(void*, uint64_t, uint32_t, bool)>(game, kHeapAllocate);
  auto intern = at<void* (*)(void*, const char*)>(game, kInternCreate);
  auto init = at<void* (*)(void*, const char*, const char*, bool, uint32_t)>(game, kNativeInit);
  auto* fn = static_cast<uint8_t*>(allocate(heap, 96, 0, false));
  for (int offset : {16, 24, 32, 72}) intern(fn + offset, "");
  EXPECT_STREQ(*reinterpret_cast<const char**>(fn + 32), "");
  init(fn, "SetIntValue", "NimbrelPluginScript", true, 2);
  EXPECT_STREQ(*reinterpret_cast<const char**>(fn + 16), "SetIntValue");
  EXPECT_STREQ(*reinterpret_cast<const char**>(fn + 24), "NimbrelPluginScript");
  EXPECT_EQ(*reinterpret_cast<uint16_t*>(fn + 58), 2);
  ASSERT_NE(*reinterpret_cast<void**>(fn + 48), nullptr);
  static void* const kFunctionTable[23] = {};
  const void* table0 = kFunctionTable;
  std::memcpy(fn, &table0, sizeof table0);  // the function's own table, set before registration

  void* registry = *reinterpret_cast<void**>(static_cast<uint8_t*>(holder(game, kScriptVmHolder)) + 0x200);
  void* const* table = *static_cast<void* const* const*>(registry);
  reinterpret_cast<void (*)(void*, void*)>(table[0xc0 / 8])(registry, fn);
  EXPECT_EQ(game.scripts().registeredFunctionCount(), 1u);
  // Accepted, then read through its operations: this table has none.
  EXPECT_TRUE(anyFailureContains(game, "operation 2 (GetName) of SetIntValue is a null entry of its table"));
  bool namedInTrace = false;
  for (const auto& line : game.checks().trace())
    namedInTrace |= line.find("\"fn\":\"RegisterFunction\"") != std::string::npos &&
                    line.find("\"name\":\"SetIntValue\"") != std::string::npos;
  EXPECT_TRUE(namedInTrace);
  reinterpret_cast<void (*)(void*, void*)>(table[23])(registry, fn);  // one slot too early
  EXPECT_TRUE(anyFailureContains(game, "slot 23"));
  EXPECT_EQ(game.scripts().registeredFunctionCount(), 1u);
}

TEST(Engine, RegisteringMemoryNotFromTheEngineHeapFails) {
  GameDouble game(seOptions("register-foreign"));
  alignas(16) uint8_t fn[96] = {};
  void* registry = *reinterpret_cast<void**>(static_cast<uint8_t*>(holder(game, kScriptVmHolder)) + 0x200);
  void* const* table = *static_cast<void* const* const*>(registry);
  reinterpret_cast<void (*)(void*, void*)>(table[24])(registry, fn);
  EXPECT_EQ(game.scripts().registeredFunctionCount(), 0u);
  EXPECT_TRUE(anyFailureContains(game, "engine heap"));
}

TEST(Engine, WorldChangingNativeOffTheMainThreadFails) {
  GameDouble game(seOptions("off-main"));
  void* registry = *reinterpret_cast<void**>(static_cast<uint8_t*>(holder(game, kScriptVmHolder)) + 0x200);
  at<void (*)(void*, uint32_t, void*, float)>(game, kImodApply)(registry, 0, nullptr, 1.0f);
  EXPECT_TRUE(anyFailureContains(game, "ImodApplyNative called off the game's main thread"));
}

TEST(Engine, AddSinkAcceptsOnlyTheEnginesEventSources) {
  GameDouble game(seOptions("sources"));
  auto addSink = at<void (*)(void*, void*)>(game, kAddSink);
  TestSink sink{kSinkTable, 0, 0, "", 0, 0, nullptr, nullptr};
  auto* menus = static_cast<uint8_t*>(holder(game, kMenuManagerHolder));
  addSink(menus + 8, &sink);
  EXPECT_EQ(game.checks().sinkCount(Source::MenuOpenClose), 1u);
  EXPECT_TRUE(game.checks().ok());
  addSink(menus, &sink);  // the manager itself, not its event source
  EXPECT_TRUE(anyFailureContains(game, "no event source"));
  EXPECT_EQ(game.checks().sinkCount(Source::MenuOpenClose), 1u);
}

TEST(Engine, MenuEventsReachSinksThroughSlotOne) {
  GameDouble game(seOptions("menu-event"));
  TestSink sink{kSinkTable, 0, 0, "", 0, 0, nullptr, nullptr};
  auto* menus = static_cast<uint8_t*>(holder(game, kMenuManagerHolder));
  at<void (*)(void*, void*)>(game, kAddSink)(menus + 8, &sink);
  game.world().sendMenuEvent("Journal Menu", true);
  EXPECT_NE(game.checks().trace().back().find("\"thread\":\"ui\""), std::string::npos)
      << "menus come from the UI thread";
  EXPECT_EQ(sink.calls, 1);
  EXPECT_EQ(sink.lastMenu, "Journal Menu");
  EXPECT_EQ(sink.lastOpening, 1);
  EXPECT_EQ(sink.lastSource, menus + 8);
  game.world().sendMenuEvent("Journal Menu", false);
  EXPECT_EQ(sink.lastOpening, 0);
  EXPECT_TRUE(game.checks().ok());
  sink.result = 1;
  game.world().sendMenuEvent("Console", true);
  EXPECT_TRUE(anyFailureContains(game, "sink returned 1"));
}

// --- the host --------------------------------------------------------------------

TEST(Host, QueryLoadAndTheStartUpOrder) {
  gMessages.clear();
  gFillDescription = true;
  GameDouble game(seOptions("startup"));
  ASSERT_TRUE(game.usePluginEntryPoints(testQuery, testLoad));
  ASSERT_TRUE(game.query());
  ASSERT_NE(gHost, nullptr);
  EXPECT_EQ(gHost->runtime, kRuntimeSE);
  EXPECT_EQ(gHost->editor, 0u);
  EXPECT_TRUE(game.description().filled);
  EXPECT_EQ(game.description().name, "TestPlugin");
  EXPECT_EQ(game.description().version, 0x1234u);
  ASSERT_TRUE(game.load());
  EXPECT_EQ(game.host().interfaceRequests(), (std::vector<uint32_t>{2, 5}));
  EXPECT_EQ(game.host().listenerHandle(), game.host().pluginHandle());
  EXPECT_EQ(game.host().listenerCount(), 1u);
  EXPECT_EQ(game.host().scriptCallbackCount(), 1u);
  game.startUp();
  void* registry = *reinterpret_cast<void**>(static_cast<uint8_t*>(holder(game, kScriptVmHolder)) + 0x200);
  EXPECT_EQ(gRegistryGiven, registry);
  game.host().loadSavedGame(true);
  game.host().loadSavedGame(false);
  std::vector<std::pair<uint32_t, uint64_t>> expected = {{0, 0}, {1, 0}, {6, 0}, {8, 0},
                                                         {2, 0}, {3, 1}, {2, 0}, {3, 0}};
  ASSERT_EQ(gMessages.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(gMessages[i].first, expected[i].first) << i;
    EXPECT_EQ(gMessages[i].second != 0, expected[i].second != 0) << i;
  }
  game.host().sendNullMessage();
  EXPECT_EQ(gNullMessages, 1);
}

TEST(Host, DescriptionNotWrittenIsNotFilled) {
  gFillDescription = false;
  Options o = seOptions("unfilled");
  o.editor = true;
  o.runtimeVersion = 0x01050271;
  GameDouble game(o);
  ASSERT_TRUE(game.usePluginEntryPoints(testQuery, testLoad));
  EXPECT_FALSE(game.query());  // the test plug-in refuses the editor
  EXPECT_FALSE(game.description().filled);
  EXPECT_EQ(gHost->runtime, 0x01050271u);
  EXPECT_EQ(gHost->editor, 1u);
  gFillDescription = true;
}

TEST(Host, MissingInterfacesAndAbsentSources) {
  Options o = seOptions("missing");
  o.missingInterfaces = {4};
  o.noMenuManager = true;
  o.noScriptEventSources = true;
  GameDouble game(o);
  ASSERT_TRUE(game.usePluginEntryPoints(testQuery, testLoad));
  ASSERT_TRUE(game.query());
  EXPECT_EQ(gHost->query(4), nullptr);
  EXPECT_NE(gHost->query(2), nullptr);
  EXPECT_EQ(holder(game, kMenuManagerHolder), nullptr);
  EXPECT_EQ(at<void* (*)()>(game, kEventSourcesGet)(), nullptr);
}

TEST(Host, ActionEventsComeFromDispatcherThree) {
  GameDouble game(seOptions("action"));
  ASSERT_TRUE(game.usePluginEntryPoints(testQuery, testLoad));
  ASSERT_TRUE(game.query());
  auto* messaging = static_cast<MessagingRec*>(gHost->query(5));
  void* source = messaging->dispatcher(3);
  ASSERT_NE(source, nullptr);
  TestSink sink{kActionSinkTable, 0, 0, "", 0, 0, nullptr, nullptr};
  at<void (*)(void*, void*)>(game, kAddSink)(source, &sink);
  EXPECT_EQ(game.checks().sinkCount(Source::Action), 1u);
  void* player = at<void* (*)(uint32_t)>(game, kFormFromId)(0x14);
  game.world().sendActionEvent(9, true);
  EXPECT_NE(game.checks().trace().back().find("\"thread\":\"main\""), std::string::npos)
      << "actions come from the main thread";
  EXPECT_EQ(sink.lastAction, 9u);
  EXPECT_EQ(sink.lastActor, player);
  game.world().sendActionEvent(10, false);
  EXPECT_NE(sink.lastActor, player);
  EXPECT_NE(sink.lastActor, nullptr);
  EXPECT_EQ(sink.calls, 2);
  EXPECT_TRUE(game.checks().ok());
}

TEST(Host, TasksRunOnTheMainThreadExecuteThenRelease) {
  GameDouble game(seOptions("tasks"));
  ASSERT_TRUE(game.usePluginEntryPoints(testQuery, testLoad));
  ASSERT_TRUE(game.query());
  auto* tasks = static_cast<TaskRec*>(gHost->query(4));
  std::vector<std::string> log;
  TestTask first{kTaskTable, &log, {}};
  TestTask second{kTaskTable, &log, {}};
  tasks->add(&first);
  tasks->add(&second);
  game.host().drainTasks();
  EXPECT_EQ(log, (std::vector<std::string>{"execute", "release", "execute", "release"}));
  EXPECT_NE(first.ranOn, std::this_thread::get_id());
  EXPECT_EQ(first.ranOn, second.ranOn);
  game.checks().finalChecks();
  EXPECT_TRUE(game.checks().ok());
  size_t mainLines = 0;
  for (const auto& line : game.checks().trace()) mainLines += line.find("\"thread\":\"main\"") != std::string::npos;
  EXPECT_EQ(mainLines, 4u);
}

TEST(Host, EnvironmentForTheSimulationPlatform) {
  Options o = seOptions("env");
  o.timeScale = 60;
  o.documentsFailure = 0x80004005;
  o.documentsLastError = 0x2;
  GameDouble game(o);
  ASSERT_NE(std::getenv("NIMBREL_DOCUMENTS"), nullptr);
  EXPECT_EQ(std::string(std::getenv("NIMBREL_DOCUMENTS")), game.documentsDir());
  EXPECT_TRUE(std::filesystem::is_directory(game.documentsDir()));
  EXPECT_EQ(std::string(std::getenv("NIMBREL_TIME_SCALE")), "60");
  EXPECT_EQ(std::string(std::getenv("NIMBREL_DOCUMENTS_RESULT")), "80004005");
  EXPECT_EQ(std::string(std::getenv("NIMBREL_DOCUMENTS_LASTERR")), "00000002");
  EXPECT_EQ(game.pluginLogPath(), o.outDir + "/Documents/My Games/Skyrim Special Edition/SKSE/NimbrelPlugin.log");
  Options clean = seOptions("env-clean");
  GameDouble second(clean);
  EXPECT_EQ(std::getenv("NIMBREL_DOCUMENTS_RESULT"), nullptr);
}

// --- final checks of the patch site -------------------------------------------------

namespace {

// Writes bytes at the patch site the way a plug-in must: make it writable,
// write, optionally give the protection back.
void writePatch(const GameDouble& game, const std::vector<uint8_t>& bytes, size_t offset, bool restore) {
  auto site = game.checks().patchSiteAddress();
  void* page = reinterpret_cast<void*>(site & ~uintptr_t{0xfff});
  ASSERT_EQ(mprotect(page, 0x1000, PROT_READ | PROT_WRITE | PROT_EXEC), 0);
  std::memcpy(reinterpret_cast<void*>(site + offset), bytes.data(), bytes.size());
  if (restore) {
    ASSERT_EQ(mprotect(page, 0x1000, PROT_READ | PROT_EXEC), 0);
  }
}

void restoreEngineCode(const GameDouble& game) {
  writePatch(game, std::vector<uint8_t>(Image::kEngineCode, Image::kEngineCode + Image::kEngineCodeSize), 0, true);
}

}  // namespace

namespace {

// A plug-in with a listener, so that data-ready reaches it.
void startPlugin(GameDouble& game) {
  ASSERT_TRUE(game.usePluginEntryPoints(testQuery, testLoad));
  ASSERT_TRUE(game.query());
  ASSERT_TRUE(game.load());
}

}  // namespace

TEST(FinalChecks, DataReadyThatReachedNoListenerDoesNotRequireTheJump) {
  GameDouble game(seOptions("final-nolistener"));
  game.host().sendMessage(kMsgDataLoaded);
  game.checks().finalChecks();
  EXPECT_TRUE(game.checks().ok());
}

TEST(FinalChecks, UntouchedSiteWithoutDataReadyPasses) {
  GameDouble game(seOptions("final-clean"));
  game.checks().finalChecks();
  EXPECT_TRUE(game.checks().ok());
  EXPECT_EQ(game.checks().callCount("FinalChecks"), 1u);
}

TEST(FinalChecks, MissingJumpAfterDataReadyFails) {
  GameDouble game(seOptions("final-nojump"));
  startPlugin(game);
  game.host().sendMessage(kMsgDataLoaded);
  game.checks().finalChecks();
  EXPECT_TRUE(anyFailureContains(game, "E9 2D 00 00 00"));
}

TEST(FinalChecks, CorrectJumpWithRestoredProtectionPasses) {
  GameDouble game(seOptions("final-jump"));
  startPlugin(game);
  game.host().sendMessage(kMsgDataLoaded);
  writePatch(game, {0xE9, 0x2D, 0, 0, 0}, 0, true);
  EXPECT_EQ(game.checks().patchSiteBytes(), (std::vector<uint8_t>{0xE9, 0x2D, 0, 0, 0}));
  game.checks().finalChecks();
  EXPECT_TRUE(game.checks().ok()) << game.checks().failures().front();
  restoreEngineCode(game);
}

TEST(FinalChecks, ProtectionLeftWritableFails) {
  GameDouble game(seOptions("final-rwx"));
  startPlugin(game);
  game.host().sendMessage(kMsgDataLoaded);
  writePatch(game, {0xE9, 0x2D, 0, 0, 0}, 0, false);
  EXPECT_EQ(game.checks().patchSiteProtection(), "rwx");
  game.checks().finalChecks();
  EXPECT_TRUE(anyFailureContains(game, "protection not restored"));
  restoreEngineCode(game);
}

TEST(FinalChecks, ChangedTailFails) {
  GameDouble game(seOptions("final-tail"));
  startPlugin(game);
  game.host().sendMessage(kMsgDataLoaded);
  writePatch(game, {0xE9, 0x2D, 0, 0, 0, 0x90}, 0, true);
  EXPECT_FALSE(game.checks().patchTailIntact());
  game.checks().finalChecks();
  EXPECT_TRUE(anyFailureContains(game, "after the jump were changed"));
  restoreEngineCode(game);
}

TEST(FinalChecks, TaskQueuedTwiceWhilePendingFails) {
  GameDouble game(seOptions("final-twice"));
  ASSERT_TRUE(game.usePluginEntryPoints(testQuery, testLoad));
  ASSERT_TRUE(game.query());
  auto* tasks = static_cast<TaskRec*>(gHost->query(4));
  std::vector<std::string> log;
  // Keep the main thread busy with a first task so the second stays pending.
  struct Slow {
    void* const* table;
  };
  static std::atomic<bool> go{false};
  static void* const slowTable[] = {reinterpret_cast<void*>(+[](Slow*) {
                                      while (!go.load()) std::this_thread::yield();
                                    }),
                                    reinterpret_cast<void*>(+[](Slow*) {})};
  Slow slow{slowTable};
  TestTask task{kTaskTable, &log, {}};
  tasks->add(&slow);
  tasks->add(&task);
  tasks->add(&task);
  go.store(true);
  game.host().drainTasks();
  EXPECT_EQ(log, (std::vector<std::string>{"execute", "release"}));
  EXPECT_TRUE(anyFailureContains(game, "queued again while still pending"));
}

// --- the main thread and the host's rules ------------------------------------------

namespace {

struct Recorder {
  std::mutex mutex;
  std::vector<std::string> events;
  void add(const std::string& e) {
    std::lock_guard lock(mutex);
    events.push_back(e);
  }
  std::vector<std::string> all() {
    std::lock_guard lock(mutex);
    return events;
  }
};
Recorder gOrder;
std::atomic<int> gPreLoads{0};

void orderListener(MsgRec* m) {
  if (!m) return;
  gOrder.add("message " + std::to_string(m->type));
  if (m->type == 2) gPreLoads.fetch_add(1);
}
bool orderLoad(const void* host) {
  auto* h = static_cast<const HostRec*>(host);
  static_cast<MessagingRec*>(h->query(5))->listen(h->handle(), "SKSE", orderListener);
  return true;
}

struct OrderTask {
  void* const* table;
  const char* name;
};
void* const kOrderTaskTable[] = {
    reinterpret_cast<void*>(+[](OrderTask* t) { gOrder.add(std::string("execute ") + t->name); }),
    reinterpret_cast<void*>(+[](OrderTask*) {})};

// A task whose Execute takes a while of wall time, and says when it began.
std::atomic<bool> gSlowStarted{false};
struct SlowTask {
  void* const* table;
};
void* const kSlowTaskTable[] = {reinterpret_cast<void*>(+[](SlowTask*) {
                                  gSlowStarted.store(true);
                                  std::this_thread::sleep_for(std::chrono::milliseconds(400));
                                }),
                                reinterpret_cast<void*>(+[](SlowTask*) {})};

std::atomic<int> gOtherHeard{0};
void otherPluginListener(void*) { gOtherHeard.fetch_add(1); }

}  // namespace

TEST(MainThread, FramesRunAtTheirRateAndEachRunsTheTasksQueuedBeforeIt) {
  Options o = seOptions("frames");
  o.timeScale = 10.0;
  GameDouble game(o);
  ASSERT_TRUE(game.usePluginEntryPoints(testQuery, testLoad));
  ASSERT_TRUE(game.query());
  const auto before = game.checks().mainThreadFigures();
  const auto start = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // about 5 simulated seconds
  const auto after = game.checks().mainThreadFigures();
  const double wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(after.fps, 60.0);
  // 600 frames a wall second are due; a loaded machine runs fewer, never more.
  const double due = wallSeconds * 600.0;
  EXPECT_GE(static_cast<double>(after.frames - before.frames), due * 0.3);
  EXPECT_LE(static_cast<double>(after.frames - before.frames), due + 2.0);
  auto* tasks = static_cast<TaskRec*>(gHost->query(4));
  OrderTask a{kOrderTaskTable, "a"}, b{kOrderTaskTable, "b"}, c{kOrderTaskTable, "c"};
  gOrder.events.clear();
  tasks->add(&a);
  tasks->add(&b);
  tasks->add(&c);
  game.host().drainTasks();
  EXPECT_EQ(gOrder.all(), (std::vector<std::string>{"execute a", "execute b", "execute c"}));
  const auto figures = game.checks().mainThreadFigures();
  EXPECT_GE(figures.maxTasksPerFrame, 1u);
  EXPECT_LE(figures.maxTaskLatencyFrames, 2u);
  Options vr = seOptions("frames-vr");
  vr.edition = Edition::VR;
  EXPECT_EQ(GameDouble(vr).checks().mainThreadFigures().fps, 90.0);
}

TEST(MainThread, ALoadHoldsItAndTasksQueuedMeanwhileRunAfterMessageThree) {
  Options o = seOptions("load-hold");
  o.timeScale = 4.0;
  o.loadMs = 4000;  // a second of wall time
  GameDouble game(o);
  game.data().installDefaultData();
  game.world().loadWorld();
  ASSERT_TRUE(game.usePluginEntryPoints(testQuery, orderLoad));
  ASSERT_TRUE(game.query());
  ASSERT_TRUE(game.load());
  gOrder.events.clear();
  gPreLoads.store(0);
  void* player = holder(game, kPlayerHolder);
  void* cell = *reinterpret_cast<void**>(static_cast<uint8_t*>(player) + 0x60);
  void* registry = *reinterpret_cast<void**>(static_cast<uint8_t*>(holder(game, kScriptVmHolder)) + 0x200);
  auto attached = at<bool (*)(void*, uint32_t, void*)>(game, kCellAttached);
  ASSERT_TRUE(attached(registry, 0, cell));

  std::thread loading([&] { game.host().loadSavedGame(); });
  while (gPreLoads.load() == 0) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  // During the load: no cell for the player, nothing attached, no frames.
  EXPECT_EQ(__atomic_load_n(reinterpret_cast<void**>(static_cast<uint8_t*>(player) + 0x60), __ATOMIC_RELAXED), nullptr);
  const uint64_t framesDuring = game.checks().mainThreadFigures().frames;
  // This thread queues a task, as a strike would, and then looks at a cell.
  OrderTask held{kOrderTaskTable, "held"};
  static_cast<TaskRec*>(gHost->query(4))->add(&held);
  EXPECT_FALSE(attached(registry, 0, cell));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(game.checks().mainThreadFigures().frames, framesDuring);
  loading.join();
  game.host().drainTasks();

  EXPECT_EQ(gOrder.all(), (std::vector<std::string>{"message 2", "message 3", "execute held"}));
  EXPECT_TRUE(attached(registry, 0, cell));
  const auto figures = game.checks().mainThreadFigures();
  EXPECT_EQ(figures.loads, 1u);
  EXPECT_NEAR(figures.stalledSeconds, 4.0, 0.01);
  EXPECT_EQ(figures.tasksHeldOverLoads, 1u);
  EXPECT_EQ(figures.pluginCallsDuringLoads, 2u);  // the attached check and the task
  game.checks().finalChecks();
  EXPECT_TRUE(game.checks().ok()) << ::testing::PrintToString(game.checks().failures());
}

class QueueLock : public ::testing::TestWithParam<Edition> {};

TEST_P(QueueLock, OnlyTheVrHostHoldsItsQueueLockWhileATaskRuns) {
  Options o = seOptions(GetParam() == Edition::VR ? "queue-vr" : "queue-se");
  o.edition = GetParam();
  GameDouble game(o);
  ASSERT_TRUE(game.usePluginEntryPoints(testQuery, testLoad));
  ASSERT_TRUE(game.query());
  auto* tasks = static_cast<TaskRec*>(gHost->query(4));
  gSlowStarted.store(false);
  SlowTask slow{kSlowTaskTable};
  OrderTask next{kOrderTaskTable, "next"};
  tasks->add(&slow);
  while (!gSlowStarted.load()) std::this_thread::yield();
  const auto start = std::chrono::steady_clock::now();
  tasks->add(&next);
  const double addMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  if (GetParam() == Edition::VR) {
    EXPECT_GE(addMs, 200.0) << "AddTask waits for the running task";
  } else {
    EXPECT_LT(addMs, 200.0) << "AddTask does not wait";
  }
  game.host().drainTasks();
  game.checks().finalChecks();
  EXPECT_TRUE(game.checks().ok()) << ::testing::PrintToString(game.checks().failures());
}

INSTANTIATE_TEST_SUITE_P(Editions, QueueLock, ::testing::Values(Edition::SpecialEdition, Edition::VR),
                         [](const ::testing::TestParamInfo<Edition>& info) {
                           return std::string(info.param == Edition::VR ? "VR" : "SE");
                         });

TEST(HostRules, SendersRegistrationsAndThePluginHandle) {
  Options o = seOptions("rules");
  o.loadIndex = 5;
  GameDouble game(o);
  ASSERT_TRUE(game.usePluginEntryPoints(testQuery, testLoad));
  ASSERT_TRUE(game.query());
  ASSERT_TRUE(game.load());
  EXPECT_EQ(game.host().listenerHandle(), 5u);  // the 1-based load index, asked during load
  auto* messaging = static_cast<MessagingRec*>(gHost->query(5));
  // Again for the same sender, in other letter case: true, and the first stays.
  EXPECT_TRUE(messaging->listen(5, "skse", orderListener));
  EXPECT_EQ(game.host().listenerCount(), 1u);
  // Another plug-in listening to every sender hears plug-ins, not the host.
  ASSERT_TRUE(game.host().registerListenerOf(9, nullptr, otherPluginListener));
  gMessages.clear();
  gOtherHeard.store(0);
  game.host().sendMessage(nimbrel_sim::kMsgInputLoaded);
  EXPECT_EQ(gMessages.size(), 1u);
  EXPECT_EQ(gOtherHeard.load(), 0);
  game.host().sendMessageFrom("SomeOtherPlugin", 42);
  EXPECT_EQ(gOtherHeard.load(), 1);
  EXPECT_EQ(gMessages.size(), 1u);
  EXPECT_TRUE(game.checks().ok());
  // Asked outside query and load, the handle is the plug-in's error.
  EXPECT_EQ(game.host().askPluginHandle(), 0xFFFFFFFFu);
  EXPECT_TRUE(anyFailureContains(game, "GetPluginHandle called outside"));
}

TEST(Faults, AnEntryRefusesAtItsNthCallFromACallOnOrByChance) {
  Options o = seOptions("faults");
  o.faults = {{"FormFromId", 2, 0, 0}, {"CellAttachedNative", 0, 3, 0}, {"EngineDynamicCast", 0, 0, 1.0}};
  GameDouble game(o);
  auto formFromId = at<void* (*)(uint32_t)>(game, kFormFromId);
  EXPECT_NE(formFromId(0x14), nullptr);
  EXPECT_EQ(formFromId(0x14), nullptr);
  EXPECT_NE(formFromId(0x14), nullptr);
  void* player = formFromId(0x14);
  auto cast = at<void* (*)(void*, int32_t, void*, void*, int32_t)>(game, kDynamicCast);
  EXPECT_EQ(cast(player, 0, descriptor(game, kRttiForm), descriptor(game, kRttiPlayer), 0), nullptr);
  game.world().loadWorld();
  void* cell = __atomic_load_n(reinterpret_cast<void**>(static_cast<uint8_t*>(player) + 0x60), __ATOMIC_RELAXED);
  void* registry = *reinterpret_cast<void**>(static_cast<uint8_t*>(holder(game, kScriptVmHolder)) + 0x200);
  auto attached = at<bool (*)(void*, uint32_t, void*)>(game, kCellAttached);
  EXPECT_TRUE(attached(registry, 0, cell));
  EXPECT_TRUE(attached(registry, 0, cell));
  EXPECT_FALSE(attached(registry, 0, cell));
  EXPECT_FALSE(attached(registry, 0, cell));
  EXPECT_EQ(game.checks().callCount("Fault"), 4u);
  EXPECT_TRUE(game.checks().ok());
}

// --- the trace ----------------------------------------------------------------------

TEST(Trace, JsonLinesWithIncreasingSequenceAndThreadNames) {
  GameDouble game(seOptions("trace"));
  at<void* (*)(uint32_t)>(game, kFormFromId)(0xABC);
  std::thread([&] { at<void* (*)(uint32_t)>(game, kFormFromId)(0xDEF); }).join();
  auto lines = game.checks().trace();
  ASSERT_GE(lines.size(), 3u);
  std::ifstream file(game.tracePath());
  std::string fileLine;
  size_t fileLines = 0;
  long lastSeq = -1;
  while (std::getline(file, fileLine)) {
    ++fileLines;
    ASSERT_EQ(fileLine.front(), '{');
    ASSERT_EQ(fileLine.back(), '}');
    long seq = std::stol(fileLine.substr(fileLine.find("\"seq\":") + 6));
    EXPECT_EQ(seq, lastSeq + 1);
    lastSeq = seq;
  }
  EXPECT_EQ(fileLines, lines.size());
  const std::string& host = lines[lines.size() - 2];
  const std::string& other = lines.back();
  EXPECT_NE(host.find("\"thread\":\"host\""), std::string::npos) << host;
  EXPECT_NE(host.find("\"formId\":2748"), std::string::npos) << host;
  EXPECT_NE(other.find("\"thread\":\"other\""), std::string::npos) << other;
  EXPECT_EQ(game.checks().callCount("FormFromId"), 2u);
}

TEST(Trace, ArgumentsKeepTheirJsonForm) {
  const nimbrel_sim::Args args = nimbrel_sim::Args()
                                     .f("x", 0.1f)
                                     .f("big", 1e12)
                                     .f("nan", std::nan(""))
                                     .i("i", -5)
                                     .u("u", 18446744073709551615ull)
                                     .p("p", reinterpret_cast<void*>(0xABCDEF))
                                     .p("none", nullptr)
                                     .s("s", "a\"b\\c\n\x01")
                                     .b("b", false);
  EXPECT_EQ(args.body(),
            "\"x\":0.100000001,\"big\":1e+12,\"nan\":\"nan\",\"i\":-5,\"u\":18446744073709551615,"
            "\"p\":\"0xabcdef\",\"none\":null,\"s\":\"a\\\"b\\\\c\\n\\u0001\",\"b\":false");
}

// The census keeps each thread's name file open between looks: a rename
// must still show, and an ended thread must drop out.
TEST(ThreadLister, SeesRenamesAndForgetsEndedThreads) {
  std::mutex mutex;
  std::condition_variable changed;
  int step = 0;
  uint64_t id = 0;
  auto waitFor = [&](int wanted) {
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return step >= wanted; });
  };
  auto advance = [&](int to) {
    std::lock_guard lock(mutex);
    step = to;
    changed.notify_all();
  };
  std::thread thread([&] {
    nimbrel_sim::os::nameThread("lister-one");
    {
      std::lock_guard lock(mutex);
      id = nimbrel_sim::os::osThreadId();
    }
    advance(1);
    waitFor(2);
    nimbrel_sim::os::nameThread("lister-two");
    advance(3);
    waitFor(4);
  });
  nimbrel_sim::os::ThreadLister lister;
  auto nameOf = [&](uint64_t wanted) {
    std::vector<nimbrel_sim::os::ThreadInfo> threads;
    EXPECT_TRUE(lister.list(threads, nullptr));
    for (const auto& thread : threads)
      if (thread.id == wanted) return thread.name;
    return std::string("(absent)");
  };
  waitFor(1);
  EXPECT_EQ(nameOf(id), "lister-one");
  advance(2);
  waitFor(3);
  EXPECT_EQ(nameOf(id), "lister-two");
  std::vector<nimbrel_sim::os::ThreadInfo> skipped;
  lister.list(skipped, [](uint64_t) { return true; });
  EXPECT_TRUE(skipped.empty());
  advance(4);
  thread.join();
  // The join returns once the thread's own code is done; the system drops it
  // from the process's task list a moment later.
  std::string last = nameOf(id);
  for (int i = 0; i < 500 && last != "(absent)"; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    last = nameOf(id);
  }
  EXPECT_EQ(last, "(absent)");
}
