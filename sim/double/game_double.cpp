// GameDouble: its life cycle and options. The state behind it, the
// settings the plug-in's simulation platform reads, the game's threads
// started and stopped, the plug-in's query and load, the game's start-up,
// and where the run writes.
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
#include "engine/layout_faults.h"
#include "host/host.h"
#include "host/version_data.h"
#include "image/image.h"
#include "image/runtimes.h"
#include "run/os.h"
#include "run/plugin_calls.h"
#include "run/run.h"

namespace nimbrel_sim {

namespace {

// A double's engine and host are never freed while the process runs: the
// plug-in's threads and the host records it keeps outlive any one test body,
// and their calls must still land somewhere valid.
std::mutex gKeepMutex;
std::vector<void*>& kept() {
  static auto* list = new std::vector<void*>();
  return *list;
}

DoubleState* newState(Options options) {
  if (options.outDir.empty()) options.outDir = std::string("out/sim-") + (options.edition == Edition::VR ? "vr" : "se");
  // Absolute, since a Windows run makes the game folder the current one.
  std::error_code ec;
  const std::filesystem::path absolute = std::filesystem::absolute(options.outDir, ec);
  if (!ec) options.outDir = absolute.string();
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
  // The image was laid out first (64 MiB take a while); the trace clock
  // starts after.
  std::string problem;
  std::error_code ec;
  d.startDir = std::filesystem::current_path(ec).string();
  std::filesystem::create_directories(d.documentsDir(), ec);
  if (!d.options.trace) {
    d.run.trace.countOnly();
  } else if (!d.run.trace.open(d.options.outDir + "/trace.jsonl")) {
    d.run.fail("cannot write the trace in " + d.options.outDir + ": " + std::strerror(errno));
  }
  d.world.startClock();  // the simulated clock starts with the trace
  d.run.lightningWorks.setLook([&d] { return d.logWatch.look(); });

  // The simulation platform of the plug-in reads these before its query runs.
  // The game folder and its database come before the plug-in is loaded.
  d.runtime = layGameFolder(d.options, d.gameDir(), d.run);
  if (!os::enterGameFolder(d.gameDir(), problem)) d.run.fail("game folder: " + problem);

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

  if (!d.imageReady) {
    d.run.fail("game image: " + d.imageProblem);
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
  if (d.options.layoutFault != LayoutFault::None) d.applyLayoutFault(d.options.layoutFault);
  d.run.trace.record("GameDouble", Args()
                                       .s("edition", d.options.edition == Edition::VR ? "vr" : "se")
                                       .p("imageBase", image().base())
                                       .u("runtime", d.host.record()->runtimeVersion)
                                       .s("runtimeName", d.runtime.name)
                                       .s("layout", d.runtime.layout)
                                       .s("host", d.runtime.host)
                                       .s("database", d.runtime.database)
                                       .s("databaseNote", d.runtime.databaseNote)
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
  impl_->logWatch.stop();
}

void DoubleState::applyLayoutFault(LayoutFault fault) {
  if (fault == LayoutFault::None || layoutFault != LayoutFault::None) return;
  layoutFault = fault;
  engine.setLayoutFault(fault);
  world.setLayoutFault(fault);
  data.setLayoutFault(fault);
  run.trace.record("LayoutFault", Args()
                                      .s("fault", layoutFaultName(fault))
                                      .s("what", layoutFaultWords(fault, options.edition, runtimeOf(options))));
  // A plug-in that follows the field instead of standing down fails the
  // run, crash or not.
  static std::string note;
  note = std::string("the layout fault ") + layoutFaultName(fault) +
         " was in force: the plug-in was to check what it found there and stand down, not crash";
  os::setFaultExit(1, note.c_str());
}

void DoubleState::startGame() {
  std::call_once(gameStarted, [this] {
    const Scenario* read = scenarioLoaded ? &scenario : nullptr;
    const VmHitSink moment =
        options.vmHitSink.value_or(read && read->vmHitSink ? *read->vmHitSink : VmHitSink::StartUp);
    vmHitSink.store(moment);
    const LayoutFault fault = options.layoutFault != LayoutFault::None ? options.layoutFault
                              : read                                   ? read->layoutFault
                                                                       : LayoutFault::None;
    std::string problem;
    if (fault == LayoutFault::HitSource && !engine.scriptEventsInserted() && !engine.layOutScriptEvents(true, problem))
      run.fail(problem);
    engine.joinGameSinks();
    if (moment == VmHitSink::StartUp) engine.joinVmHitSink();
    void* hit = engine.eventSource(Source::Hit);
    void* holder = engine.scriptEventHolder();
    // Where the image holds each function entry of the runtime laid out,
    // so that a reader of the trace can tell the layout's own offsets.
    Args entries;
    entries.s("layout", layoutName(image().layout()));
    for (int i = kFirstFunction; i <= kLastFunction; ++i) {
      const auto id = static_cast<EntryId>(i);
      if (!image().has(id)) continue;
      char offset[24];
      std::snprintf(offset, sizeof offset, "+0x%x", offsetOf(id, image().layout()));
      entries.s(entry(id).name, offset);
    }
    run.trace.record("ImageEntries", entries);
    run.trace.record(
        "GameStarted",
        Args()
            .s("vmHitSink", vmHitSinkName(moment))
            .u("scriptEventHolderBytes", engine.scriptEventHolderBytes())
            .u("hitSource", hit && holder ? static_cast<uint8_t*>(hit) - static_cast<uint8_t*>(holder) : 0));
  });
}

LayoutFault GameDouble::layoutFault() const { return impl_->layoutFault; }

// --- the plug-in ----------------------------------------------------------------

bool GameDouble::loadPlugin(const std::string& path) {
  DoubleState& d = *impl_;
  if (!image().ready()) {
    d.error = "the game image is not ready; see failures()";
    return false;
  }
  // A relative path names a file from where the process started.
  std::filesystem::path file(path);
  if (file.is_relative() && !d.startDir.empty()) file = std::filesystem::path(d.startDir) / file;
  d.library = os::loadLibrary(file.string(), d.error);
  d.run.trace.record("LoadPlugin", Args().s("path", path).b("result", d.library != nullptr));
  if (!d.library) return false;
  d.queryFn = os::findSymbol(d.library, "SKSEPlugin_Query");
  d.loadFn = os::findSymbol(d.library, "SKSEPlugin_Load");
  d.versionData = os::findSymbol(d.library, "SKSEPlugin_Version");
  // SKSE for AE needs no query; the other hosts call both.
  if (!d.loadFn || (!d.runtime.anniversary && !d.queryFn)) {
    d.error = path + (d.runtime.anniversary ? " does not export SKSEPlugin_Load"
                                            : " does not export SKSEPlugin_Query and SKSEPlugin_Load");
    return false;
  }
  return true;
}

bool GameDouble::usePluginEntryPoints(QueryFunction queryFn, LoadFunction loadFn, const void* versionData) {
  DoubleState& d = *impl_;
  if (!image().ready()) {
    d.error = "the game image is not ready; see failures()";
    return false;
  }
  d.queryFn = reinterpret_cast<void*>(queryFn);
  d.loadFn = reinterpret_cast<void*>(loadFn);
  d.versionData = const_cast<void*>(versionData);
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
  d.startGame();
  d.descriptionRecord = {kSentinelWord, kSentinelName, kSentinelWord};
  d.logWatch.start(pluginLogPath());
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

PluginStart GameDouble::startPlugin() {
  DoubleState& d = *impl_;
  PluginStart start;
  start.host = d.runtime.host;
  start.readsVersionData = d.runtime.anniversary;
  auto declined = [&](PluginStart::Outcome outcome, const std::string& why) {
    start.outcome = outcome;
    start.why = why;
    d.run.trace.record("PluginDeclined",
                       Args()
                           .s("by", outcome == PluginStart::Outcome::DeclinedByHost ? "host" : "plug-in")
                           .s("host", start.host)
                           .s("why", why));
    return start;
  };
  if (d.runtime.anniversary) {
    // The host reads the version data, never calls the query, then loads.
    PluginVersionData data{};
    if (d.versionData) std::memcpy(&data, d.versionData, sizeof data);
    if (d.versionData) start.versionData = describeVersionData(data);
    AeHostContext context;
    context.runtime = d.runtime.packed;
    context.hostVersion = d.host.record()->skseVersion;
    std::error_code ec;
    context.databasePresent = std::filesystem::is_regular_file(d.runtime.databasePath, ec);
    context.databasePath = std::string(kDatabaseFolder) + "/" + d.runtime.database;
    d.run.trace.record("SKSEPlugin_Version",
                       Args().b("exported", d.versionData != nullptr).s("data", start.versionData));
    const std::string refusal = aeHostRefusal(d.versionData ? &data : nullptr, context);
    if (!refusal.empty()) return declined(PluginStart::Outcome::DeclinedByHost, refusal);
  } else {
    start.queried = true;
    start.queryAccepted = query();
    if (!start.queryAccepted)
      return declined(PluginStart::Outcome::DeclinedByPlugin, "SKSEPlugin_Query returned false");
  }
  start.loadCalled = true;
  if (!load()) return declined(PluginStart::Outcome::DeclinedByPlugin, "SKSEPlugin_Load returned false");
  start.outcome = PluginStart::Outcome::Loaded;
  return start;
}

RuntimeFacts GameDouble::runtime() const { return impl_->runtime; }
std::string GameDouble::gameDir() const { return impl_->gameDir(); }

bool GameDouble::load() {
  DoubleState& d = *impl_;
  if (!d.loadFn) {
    d.error = "no plug-in loaded";
    return false;
  }
  d.startGame();
  d.logWatch.start(pluginLogPath());
  d.host.setInQueryOrLoad(true);
  bool result = plugin_calls::load(d.loadFn, d.host.record());
  d.host.setInQueryOrLoad(false);
  d.run.trace.record("SKSEPlugin_Load", Args().b("result", result));
  return result;
}

void GameDouble::startUp() {
  host().sendMessage(kMsgPostLoad);
  host().sendMessage(kMsgPostPostLoad);
  host().registerScriptFunctions();
  host().sendMessage(kMsgInputLoaded);
  host().sendMessage(kMsgDataLoaded);
}

const std::vector<std::string>& GameDouble::faultEntries() { return nimbrel_sim::faultEntries(); }

// --- paths of this run ------------------------------------------------------------

std::string GameDouble::documentsDir() const { return impl_->documentsDir(); }

std::string GameDouble::pluginLogPath() const {
  const Options& o = impl_->options;
  const bool vr = o.edition == Edition::VR;
  const std::string sep(1, os::kSeparator);
  // The game's folder there follows the store: GOG's SKSE writes below
  // "Skyrim Special Edition GOG".
  return os::pluginDocumentsDir(documentsDir()) + sep + "My Games" + sep +
         documentsFolderName(o.edition, runtimeOf(o)) + sep + "SKSE" + sep +
         (vr ? "NimbrelVRPlugin.log" : "NimbrelPlugin.log");
}

std::string GameDouble::tracePath() const { return impl_->run.trace.path(); }

void GameDouble::installFaultHandler() { os::installFaultHandler(); }

}  // namespace nimbrel_sim
