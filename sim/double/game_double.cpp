// GameDouble: one run of the plug-in inside the simulated game and host.
#include "nimbrel_sim/game_double.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>

#include "double/game_double_impl.h"
#include "engine/engine.h"
#include "host/host.h"
#include "image/image.h"
#include "run/os.h"
#include "run/plugin_calls.h"
#include "run/run.h"

namespace nimbrel_sim {

namespace {

constexpr uint8_t kJumpBytes[5] = {0xE9, 0x2D, 0x00, 0x00, 0x00};
constexpr size_t kJumpSize = 5;
constexpr size_t kSkippedBytes = 45;

// A double's engine and host are never freed while the process runs: the
// plug-in's threads and the host records it keeps outlive any one test body,
// and their calls must still land somewhere valid.
std::mutex gKeepMutex;
std::vector<void*>& kept() {
  static auto* list = new std::vector<void*>();
  return *list;
}

}  // namespace

namespace {

DoubleState* newState(Options options) {
  if (options.outDir.empty()) options.outDir = std::string("out/sim-") + (options.edition == Edition::VR ? "vr" : "se");
  auto* state = new DoubleState(std::move(options));
  std::lock_guard lock(gKeepMutex);
  kept().push_back(state);
  return state;
}

}  // namespace

void setTimerResolutionEnv(double ms) {
  if (!(ms > 0)) {
    os::unsetEnv("NIMBREL_TIMER_RESOLUTION");
    return;
  }
  char text[40];
  std::snprintf(text, sizeof text, "%.17g", ms);
  os::setEnv("NIMBREL_TIMER_RESOLUTION", text);
}

GameDouble::GameDouble(Options options)
    : impl_(newState(std::move(options))),
      host_(*impl_),
      world_(*impl_),
      data_(*impl_),
      scripts_(*impl_),
      checks_(*impl_) {
  DoubleState& d = *impl_;
  // Laying out the image takes a while (64 MiB); the trace clock starts after.
  std::string problem;
  bool imageReady = image().prepare(d.options.edition, Engine::functionTargets(), problem);
  std::error_code ec;
  std::filesystem::create_directories(d.documentsDir(), ec);
  if (!d.options.trace) {
    d.run.trace.countOnly();
  } else if (!d.run.trace.open(d.options.outDir + "/trace.jsonl")) {
    d.run.fail("cannot write the trace in " + d.options.outDir + ": " + std::strerror(errno));
  }
  d.world.startClock();  // the simulated clock starts with the trace

  // The simulation platform of the plug-in reads these before its query runs.
  os::setEnv("NIMBREL_DOCUMENTS", d.documentsDir());
  char scale[40];
  std::snprintf(scale, sizeof scale, "%.17g", d.options.timeScale);
  os::setEnv("NIMBREL_TIME_SCALE", scale);
  setTimerResolutionEnv(d.options.timerResolutionMs);
  auto setOrUnset = [](const char* name, const std::string& value) {
    if (value.empty())
      os::unsetEnv(name);
    else
      os::setEnv(name, value);
  };
  setOrUnset("NIMBREL_REFUSE_PROTECT", d.options.refuseProtection);
  setOrUnset("NIMBREL_REFUSE_THREADS", d.options.refuseThreads);
  setOrUnset("NIMBREL_DISK_SPACE", d.options.diskSpaceBytes ? std::to_string(d.options.diskSpaceBytes) : "");
  if (d.options.documentsFailure != 0) {
    char text[16];
    std::snprintf(text, sizeof text, "%08x", d.options.documentsFailure);
    os::setEnv("NIMBREL_DOCUMENTS_RESULT", text);
    std::snprintf(text, sizeof text, "%08x", d.options.documentsLastError);
    os::setEnv("NIMBREL_DOCUMENTS_LASTERR", text);
  } else {
    os::unsetEnv("NIMBREL_DOCUMENTS_RESULT");
    os::unsetEnv("NIMBREL_DOCUMENTS_LASTERR");
  }

  if (!imageReady) {
    d.run.fail("game image: " + problem);
  } else {
    d.engine.activate();
    d.host.activate();
    d.world.activate();
  }
  d.loadMs.store(d.options.loadMs);
  d.run.faults.plan(d.options.faults);
  for (const Fault& f : d.options.faults) {
    const auto& known = faultEntries();
    if (std::find(known.begin(), known.end(), f.entry) == known.end())
      d.run.fail("fault plan: no engine entry is called '" + f.entry + "'; a fault would never fire");
  }
  // Each frame: the world moves on, scene nodes catch up, the host runs its
  // task queue.
  d.mainThread.start([&d](uint64_t frame) {
    d.host.setFrame(frame);
    {
      std::lock_guard lock(d.playMutex);
      if (d.playing) d.playing();
    }
    d.world.frame();
    d.host.runFrameTasks(frame);
    d.world.endFrame();
  });
  d.run.trace.record("GameDouble", Args()
                                       .s("edition", d.options.edition == Edition::VR ? "vr" : "se")
                                       .p("imageBase", image().base())
                                       .u("runtime", d.host.record()->runtimeVersion)
                                       .b("editor", d.options.editor)
                                       .s("documents", d.documentsDir()));
}

GameDouble::~GameDouble() {
  // Queued tasks finish and the game's threads end; the objects stay (see kept()).
  impl_->scripts.drain();
  impl_->ui.drain();
  impl_->host.drainTasks();
  impl_->mainThread.stop();
  impl_->host.setFramesStopped();
  impl_->scripts.stop();
  impl_->ui.stop();
  impl_->census.stop();
}

// --- the plug-in ----------------------------------------------------------------

bool GameDouble::loadPlugin(const std::string& path) {
  DoubleState& d = *impl_;
  if (!image().ready()) {
    d.error = "the game image is not ready; see failures()";
    return false;
  }
  d.library = os::loadLibrary(path, d.error);
  d.run.trace.record("LoadPlugin", Args().s("path", path).b("result", d.library != nullptr));
  if (!d.library) return false;
  d.queryFn = os::findSymbol(d.library, "SKSEPlugin_Query");
  d.loadFn = os::findSymbol(d.library, "SKSEPlugin_Load");
  if (!d.queryFn || !d.loadFn) {
    d.error = path + " does not export SKSEPlugin_Query and SKSEPlugin_Load";
    return false;
  }
  return true;
}

bool GameDouble::usePluginEntryPoints(QueryFunction queryFn, LoadFunction loadFn) {
  DoubleState& d = *impl_;
  if (!image().ready()) {
    d.error = "the game image is not ready; see failures()";
    return false;
  }
  d.queryFn = reinterpret_cast<void*>(queryFn);
  d.loadFn = reinterpret_cast<void*>(loadFn);
  return queryFn && loadFn;
}

std::string GameDouble::defaultPluginPath(const std::string& folder, Edition edition) {
  return os::libraryFile(folder, edition == Edition::VR ? "NimbrelVR" : "Nimbrel");
}

const std::string& GameDouble::error() const { return impl_->error; }

const Options& GameDouble::options() const { return impl_->options; }

bool GameDouble::query() {
  DoubleState& d = *impl_;
  if (!d.queryFn) {
    d.error = "no plug-in loaded";
    return false;
  }
  d.descriptionRecord = {kSentinelWord, kSentinelName, kSentinelWord};
  d.host.setInQueryOrLoad(true);
  bool accepted = plugin_calls::query(d.queryFn, d.host.record(), &d.descriptionRecord);
  d.host.setInQueryOrLoad(false);
  const auto& r = d.descriptionRecord;
  PluginDescription desc;
  desc.filled = r.infoVersion != kSentinelWord || r.name != kSentinelName || r.version != kSentinelWord;
  if (desc.filled) {
    desc.infoVersion = r.infoVersion;
    desc.version = r.version;
    if (r.name != kSentinelName && r.name) desc.name = r.name;
  }
  d.description = desc;
  d.run.trace.record("SKSEPlugin_Query", Args()
                                             .b("result", accepted)
                                             .b("filled", desc.filled)
                                             .u("infoVersion", desc.infoVersion)
                                             .s("name", desc.name)
                                             .u("version", desc.version));
  return accepted;
}

const PluginDescription& GameDouble::description() const { return impl_->description; }

bool GameDouble::load() {
  DoubleState& d = *impl_;
  if (!d.loadFn) {
    d.error = "no plug-in loaded";
    return false;
  }
  d.host.setInQueryOrLoad(true);
  bool result = plugin_calls::load(d.loadFn, d.host.record());
  d.host.setInQueryOrLoad(false);
  d.run.trace.record("SKSEPlugin_Load", Args().b("result", result));
  return result;
}

void HostAccess::registerScriptFunctions() {
  DoubleState& d = *impl_;
  d.mainThread.call([&d] { d.host.registerScriptFunctions(); });
}

// Host messages reach the plug-in on the game's main thread.
void HostAccess::sendMessage(uint32_t type, uint64_t dataWord) {
  DoubleState& d = *impl_;
  d.mainThread.call([&d, type, dataWord] {
    // The jump is due only once a listener has been told the data is ready.
    size_t reached = d.host.sendMessage(type, dataWord);
    if (type == kMsgDataLoaded && reached > 0) d.dataReadySent = true;
  });
}

void HostAccess::sendMessageFrom(const std::string& sender, uint32_t type, uint64_t dataWord) {
  DoubleState& d = *impl_;
  d.mainThread.call([&d, &sender, type, dataWord] { d.host.sendMessage(type, dataWord, sender.c_str()); });
}

bool HostAccess::registerListenerOf(uint32_t otherHandle, const char* sender, void (*listener)(void* message)) {
  return impl_->host.registerListenerOf(otherHandle, sender, reinterpret_cast<void*>(listener));
}

uint32_t HostAccess::askPluginHandle() { return impl_->host.record()->getPluginHandle(); }

void HostAccess::sendNullMessage() {
  DoubleState& d = *impl_;
  d.mainThread.call([&d] { d.host.sendNullMessage(); });
}

void GameDouble::startUp() {
  host().sendMessage(kMsgPostLoad);
  host().sendMessage(kMsgPostPostLoad);
  host().registerScriptFunctions();
  host().sendMessage(kMsgInputLoaded);
  host().sendMessage(kMsgDataLoaded);
}

void HostAccess::loadSavedGame(bool succeeded) {
  DoubleState& d = *impl_;
  d.mainThread.call([&d, succeeded] {
    d.host.sendMessage(kMsgPreLoadGame, 0);
    // The load holds the main thread: no frame and no task runs, and the
    // world is torn down until it is over.
    d.run.loading.store(true);
    d.host.setLoading(true);
    d.world.beginLoad();
    d.mainThread.stall(d.loadMs.load());
    d.world.endLoad();
    d.host.setLoading(false);
    d.run.loading.store(false);
    d.loads.fetch_add(1);
    d.host.sendMessage(kMsgPostLoadGame, succeeded ? 1 : 0);
  });
}

void WorldAccess::stallMainThread(double simulatedMs) {
  DoubleState& d = *impl_;
  d.mainThread.call([&d, simulatedMs] {
    d.run.trace.record("Hitch", Args().f("ms", simulatedMs));
    d.mainThread.stall(simulatedMs);
  });
}

void WorldAccess::waitFrames(uint64_t count) { impl_->mainThread.waitFrames(count); }

MainThreadFigures Checks::mainThreadFigures() const {
  const DoubleState& d = *impl_;
  MainThreadFigures f;
  const TaskStats tasks = d.host.taskStats();
  f.frames = d.mainThread.frames();
  f.fps = d.mainThread.fps();
  f.maxTasksPerFrame = tasks.maxPerFrame;
  f.maxTaskLatencyFrames = tasks.maxLatencyFrames;
  f.loads = d.loads.load();
  f.stalledSeconds = d.mainThread.stalledMs() / 1000.0;
  f.tasksHeldOverLoads = tasks.heldOverLoads;
  f.pluginCallsDuringLoads = d.run.pluginCallsDuringLoads.load();
  const ThreadCensus::Peaks peaks = d.census.peaks();
  f.threadsObserved = peaks.observed;
  f.peakPluginThreads = peaks.plugin;
  f.peakSheetLoops = peaks.sheetLoops;
  f.peakForkLoops = peaks.forkLoops;
  f.peakStrikeThreads = peaks.strikes;
  return f;
}

// --- the world ------------------------------------------------------------------

namespace {

struct MenuOpenCloseEvent {
  const char* name;
  uint8_t opening;
};
static_assert(offsetof(MenuOpenCloseEvent, opening) == 8);

struct ActionEvent {
  uint32_t type;
  void* actor;
  void* sourceForm;
  uint32_t slot;
};
static_assert(offsetof(ActionEvent, actor) == 8);

}  // namespace

void deliver(Run& run, Engine& engine, Source source, const void* event, const char* what) {
  void* eventSource = engine.eventSource(source);
  for (void* sink : engine.sinks(source)) {
    uint32_t result = plugin_calls::receiveEvent(sink, event, eventSource);
    run.trace.record("ReceiveEvent", Args().s("event", what).p("sink", sink).u("result", result));
    if (result != 0) run.fail(std::string("a ") + what + " sink returned " + std::to_string(result));
  }
}

// Menu events come from the game's UI thread.
void WorldAccess::sendMenuEvent(const std::string& menuName, bool opening) {
  DoubleState& d = *impl_;
  auto send = [&d, menuName, opening] {
    std::string name = menuName;  // the engine's menu names live as long as the call
    MenuOpenCloseEvent event{name.c_str(), static_cast<uint8_t>(opening ? 1 : 0)};
    d.run.trace.record("MenuOpenCloseEvent", Args().s("menu", menuName).b("opening", opening));
    deliver(d.run, d.engine, Source::MenuOpenClose, &event, "MenuOpenCloseEvent");
  };
  if (Run::onThreadOf("ui"))
    send();
  else
    d.ui.call(send);
}

// Action events come from the main thread: a sink that blocks stalls the game.
void WorldAccess::sendActionEvent(uint32_t type, bool byPlayer) {
  DoubleState& d = *impl_;
  d.mainThread.call([&d, type, byPlayer] {
    ActionEvent event{type, byPlayer ? d.engine.player() : d.engine.otherActor(), nullptr, 0};
    d.run.trace.record("SKSEActionEvent", Args().u("type", type).b("byPlayer", byPlayer).p("actor", event.actor));
    deliver(d.run, d.engine, Source::Action, &event, "SKSEActionEvent");
  });
}

void HostAccess::drainTasks() { impl_->host.drainTasks(); }

// --- what the host and the engine saw ---------------------------------------------

uint32_t HostAccess::pluginHandle() const { return impl_->host.handle(); }
uint32_t HostAccess::listenerHandle() const { return impl_->host.listenerHandle(); }
size_t HostAccess::listenerCount() const { return impl_->host.listenerCount(); }
size_t HostAccess::scriptCallbackCount() const { return impl_->host.scriptCallbackCount(); }
std::vector<uint32_t> HostAccess::interfaceRequests() const { return impl_->host.interfaceRequests(); }
std::map<std::string, uint64_t> Checks::faultsRefused() const { return impl_->run.faults.refusedByEntry(); }

const std::vector<std::string>& GameDouble::faultEntries() { return nimbrel_sim::faultEntries(); }

size_t Checks::sinkCount(Source source) const { return impl_->engine.sinks(source).size(); }
size_t ScriptAccess::registeredFunctionCount() const { return impl_->engine.registeredFunctionCount(); }

std::vector<uint8_t> Checks::patchSiteBytes(size_t count) const {
  if (!image().ready()) return {};
  count = std::min(count, Image::kEngineCodeSize);
  const auto* site = reinterpret_cast<const uint8_t*>(image().address(kJumpPatchSite));
  return std::vector<uint8_t>(site, site + count);
}

bool Checks::patchTailIntact() const {
  if (!image().ready()) return false;
  const auto* site = reinterpret_cast<const uint8_t*>(image().address(kJumpPatchSite));
  return std::memcmp(site + kJumpSize, Image::kEngineCode + kJumpSize, kSkippedBytes) == 0;
}

std::string Checks::patchSiteProtection() const {
  return image().ready() ? os::protectionOf(image().address(kJumpPatchSite)) : "---";
}

uintptr_t Checks::imageBase() const { return image().base(); }
uintptr_t Checks::patchSiteAddress() const { return image().ready() ? image().address(kJumpPatchSite) : 0; }

std::string GameDouble::documentsDir() const { return impl_->documentsDir(); }

std::string GameDouble::pluginLogPath() const {
  const bool vr = impl_->options.edition == Edition::VR;
  const std::string sep(1, os::kSeparator);
  return os::pluginDocumentsDir(documentsDir()) + sep + "My Games" + sep +
         (vr ? "Skyrim VR" : "Skyrim Special Edition") + sep + "SKSE" + sep +
         (vr ? "NimbrelVRPlugin.log" : "NimbrelPlugin.log");
}

std::string GameDouble::tracePath() const { return impl_->run.trace.path(); }
std::vector<std::string> Checks::trace() const { return impl_->run.trace.lines(); }
size_t Checks::traceLineCount() const { return impl_->run.trace.lineCount(); }
size_t Checks::callCount(const std::string& function) const { return impl_->run.trace.count(function); }

std::vector<std::string> Checks::failures() const {
  std::vector<std::string> all = impl_->run.failures();
  std::lock_guard lock(impl_->finalMutex);
  all.insert(all.end(), impl_->finalFailures.begin(), impl_->finalFailures.end());
  return all;
}

void Checks::finalChecks() {
  DoubleState& d = *impl_;
  std::vector<std::string> found;

  // Strike threads may go on queuing tasks: those queued before the check
  // began must have run; later ones may still be pending.
  size_t due = 0;
  const TaskStats tasks = d.host.drainAndCount(due);
  const size_t queued = tasks.queued, released = tasks.released, pending = tasks.pending;
  if (released < due || released > queued || pending > queued - released)
    found.push_back("tasks not released exactly once: " + std::to_string(queued) + " queued, " +
                    std::to_string(released) + " released, " + std::to_string(pending) + " pending");

  if (image().ready()) {
    std::vector<uint8_t> head = patchSiteBytes(kJumpSize);
    if (d.dataReadySent) {
      if (std::memcmp(head.data(), kJumpBytes, kJumpSize) != 0)
        found.push_back("patch site does not hold the jump E9 2D 00 00 00 after data-ready");
    } else if (std::memcmp(head.data(), Image::kEngineCode, kJumpSize) != 0) {
      found.push_back("patch site written before data-ready");
    }
    if (!patchTailIntact()) found.push_back("engine bytes after the jump were changed");
    const auto* site = reinterpret_cast<const uint8_t*>(image().address(kJumpPatchSite));
    if (std::memcmp(site + 0x32, Image::kEngineCode + 0x32, Image::kEngineCodeSize - 0x32) != 0)
      found.push_back("engine code at the jump target was changed");
    std::string protection = patchSiteProtection();
    if (protection != "r-x") found.push_back("patch site protection not restored: " + protection);
  }

  // The game quits: the script machine destroys its native functions.
  d.machine.shutDown();

  Args args;
  args.u("tasksQueued", queued).u("tasksReleased", released).u("heapBlocks", d.engine.liveHeapBlocks());
  args.u("failures", found.size());
  d.run.trace.record("FinalChecks", args);
  for (const auto& f : found) d.run.trace.record("Failure", Args().s("what", f));
  std::lock_guard lock(d.finalMutex);
  d.finalFailures = std::move(found);
  d.run.trace.flush();
}

void GameDouble::installFaultHandler() { os::installFaultHandler(); }

}  // namespace nimbrel_sim
