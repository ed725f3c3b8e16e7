// The stand-down: one pair of lines whichever thread fails first, nothing of
// lightning reaching the engine after it, a flash already applied still
// removed, and the lines' wait for strikes inside an engine call. Each test
// runs in a process of its own (gtest_discover_tests).
#include "unit/checked_game.h"

using namespace checked_test;

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
