// The game double: a stand-in for the game process and the SKSE host, so the
// plug-in can be loaded and driven on a machine without the game.
//
// It is written from the engine's and the host's contracts alone: it never
// includes the plug-in's headers, keeps its own offset tables and object
// layouts, and calls the plug-in only through exported symbols and raw
// vtable slots, as the engine would. A wrong offset, field or slot in the
// plug-in therefore fails a run here.
//
// GameDouble is a small front: its options and life cycle (the plug-in's
// query and load, the game's start-up, scenarios), and one access object per
// room: host(), world(), data(), scripts() and checks().
//
// One layout per process: the fake game image (the arena) is laid out for
// the edition and runtime of the first GameDouble created in the process.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "nimbrel_sim/types.h"

namespace nimbrel_sim {

// Everything behind one double; opaque outside it.
struct DoubleState;

// The host: messages, loads, the task queue, and what the plug-in asked of it.
class HostAccess {
 public:
  explicit HostAccess(DoubleState& state) : impl_(&state) {}
  // The host calls the script-registration callbacks the plug-in handed to
  // interface 2, with the script registry.
  void registerScriptFunctions();
  // Delivers one message from the host ("SKSE") on the main thread to every
  // listener registered for that sender.
  void sendMessage(uint32_t type, uint64_t dataWord = 0);
  // Calls every "SKSE" listener with a null message pointer.
  void sendNullMessage();
  // One saved-game load on the main thread: message 2, then the load holds
  // the main thread for Options::loadMs with the world torn down, then 3
  // with a non-zero data word (zero when the load failed).
  void loadSavedGame(bool succeeded = true);
  // The host's rules towards other plug-ins: a message from another sender,
  // a listener of another plug-in (a null sender hears every plug-in but
  // never the host), and GetPluginHandle asked outside query and load.
  void sendMessageFrom(const std::string& sender, uint32_t type, uint64_t dataWord = 0);
  bool registerListenerOf(uint32_t otherHandle, const char* sender, void (*listener)(void* message));
  uint32_t askPluginHandle();
  // Waits until every task queued before the call has run (at once while
  // the queue is held).
  void drainTasks();
  // While held, the main thread's frames leave queued tasks in the queue,
  // and finalChecks reports those queued before it as not run.
  void holdMainThread(bool hold);
  size_t tasksRun() const;

  uint32_t pluginHandle() const;                    // the handle the host gives out (the load index)
  uint32_t listenerHandle() const;                  // the handle the plug-in registered with (0xFFFFFFFF if none)
  size_t listenerCount() const;                     // the plug-in's listeners for "SKSE"
  size_t scriptCallbackCount() const;               // callbacks handed to interface 2
  std::vector<uint32_t> interfaceRequests() const;  // ids asked for, in order

 private:
  DoubleState* impl_;
};

// The world: the player, cells, sky, weather and hour, the game's events,
// the main thread's frames, and what the world-changing natives did.
class WorldAccess {
 public:
  explicit WorldAccess(DoubleState& state) : impl_(&state) {}
  // Loads a world: the sky exists, the player has 3D and stands in an attached
  // exterior cell of Tamriel (worldspace 0x3C) at (0, 0, 0); the hour is
  // 12.0; clear current weather, no outgoing weather, transition 1.0.
  void loadWorld();
  void unloadWorld();  // sky and player holders null
  // The player's scene node shows a move from the frame after it on.
  void setPlayerPosition(float x, float y, float z);
  void setPlayerHas3D(bool has3D);
  void setPlayerHolderPresent(bool present);
  void setPlayerCellNull();  // player in no cell
  void enterInterior();      // a cell without worldspace
  void enterExterior(uint32_t worldspaceFormId = 0x3C);
  void setSkyPresent(bool present);
  // Current and outgoing weather (0 = none) and the transition progress.
  void setWeather(uint32_t currentFormId, uint32_t outgoingFormId, float transition);
  void setWeatherTransition(float transition);
  void setGameHour(float hour);
  // The loaded area: a move ends in an attached cell within this many world
  // units (horizontally) of the player, in an unattached cell up to
  // `cellRange`, and in no cell beyond.
  void setLoadedArea(float attachedRange, float cellRange);

  // The game's events, sent as the game would: menus from the UI thread,
  // hits and actions from the main thread. A sink that returns non-zero is a
  // failure of the run.
  void sendMenuEvent(const std::string& menuName, bool opening);
  void sendHitEvent(bool onPlayer, uint32_t sourceFormId);
  void sendActionEvent(uint32_t type, bool byPlayer);

  // The main thread: a hitch of simulated time, and a wait for frames.
  void stallMainThread(double simulatedMs);
  void waitFrames(uint64_t count);
  // Milliseconds on the simulated clock since the double started.
  double simulatedMs() const;

  // What the world saw: every move, cast and flash, in order.
  std::vector<MoveRecord> moves() const;
  std::vector<CastRecord> casts() const;
  std::vector<FlashRecord> flashes() const;

 private:
  DoubleState* impl_;
};

// Game data: loaded files, forms, the default data set.
class DataAccess {
 public:
  explicit DataAccess(DoubleState& state) : impl_(&state) {}
  // Appends a file to the loaded-file list (list order = call order).
  void addLoadedFile(const std::string& name, uint8_t modIndex, uint16_t lightIndex = 0);
  // Appends a list node whose file entry is null.
  void addNullFileNode();
  // A form of a kind with a full id; FormFromId finds it from then on (a form
  // added again under the same id replaces the old one). Weapon stands for any
  // form that is none of the other kinds.
  void* addForm(FormKind kind, uint32_t formId);
  void removeForm(uint32_t formId);  // FormFromId no longer finds it
  void* findForm(uint32_t formId) const;
  // A form list whose entries are these pointers (null entries allowed).
  void* addFormList(uint32_t formId, const std::vector<void*>& entries);
  void* addGlobal(uint32_t formId, float value);
  // An effect-art form with a model component; a null path gives a component
  // whose get operation answers null.
  void* addEffectArt(uint32_t formId, const char* modelPath, float fadeDuration = 1.5f);
  // A weather, appended to the data registry's weather array.
  void* addWeather(uint32_t formId, uint8_t flags, uint8_t lightningFrequency);
  void addNullWeather();
  // Drops every loaded file, weather and form added since the double started
  // (by the calls above or installDefaultData): the loaded-file list and the
  // weather array are empty again, FormFromId finds none of those forms, and
  // their memory goes back. Whoever held pointers to them must drop them.
  // installDefaultData may be called again afterwards.
  void resetData();
  // Fade duration of an effect-art form; NaN when the id names none.
  float fadeDuration(uint32_t formId) const;
  // Current model path of an effect-art form; empty optional when null.
  std::optional<std::string> modelPath(uint32_t formId) const;
  size_t modelPathSets(uint32_t formId) const;  // set operations the form received

  // The data the plug-in expects: "Nimbrel.esp" with its two imagespace
  // modifiers, sixteen lists (spells and hidden caster/target references), six
  // globals, 29 effect-art forms with night model paths under "magic\", and
  // "Dawnguard.esm"; plus weathers of every class, some with exempt ids.
  // Tests change any of it afterwards with the calls above. Once per double:
  // a second call appends the files and weathers again.
  void installDefaultData(const DataSet& data = DataSet{});
  // Full id of a local id of "Nimbrel.esp" / "Dawnguard.esm" in the installed
  // data set, composed by the double's own rule for the run's edition.
  uint32_t pluginFormId(uint32_t localId) const;
  uint32_t dawnguardFormId(uint32_t localId) const;
  // Weathers of the default data set by role.
  uint32_t weatherId(DefaultWeather weather) const;

 private:
  DoubleState* impl_;
};

// The script machine and the engine heap.
class ScriptAccess {
 public:
  explicit ScriptAccess(DoubleState& state) : impl_(&state) {}
  // Calls a registered native function as a script would, on one of the
  // script machine's threads: a stack frame with the two arguments, then the
  // function object's call operation (slot 23) through its own vtable. False
  // when no such function is registered, or when the call operation answers
  // false. The result value's type word after the call goes to *resultType
  // (it holds a string before the call). Argument fetches outside the
  // frame's two arguments fail the run.
  bool callNative(const std::string& className, const std::string& function, const ScriptArg& first,
                  const ScriptArg& second, uint64_t* resultType = nullptr);
  // The same with a frame of any number of arguments.
  bool callNative(const std::string& className, const std::string& function, const std::vector<ScriptArg>& args,
                  uint64_t* resultType = nullptr);
  // Calls operation `slot` (1-based, as the machine numbers them; not 16 or
  // 23, which run through callNative) of a registered function object as the
  // engine does: `argument` is the engine's first input (flags, index, frame,
  // instruction offset or flag), out parameters point at fresh words whose
  // values after the call go to outs[0] and outs[1], every other argument
  // position holds a guard whose change fails the run. The raw result word.
  // The machine also runs every operation itself: at registration, in each
  // script call and when the checks end (the destructor, as at quit).
  uint64_t callFunctionSlot(const std::string& function, int slot, uint64_t argument = 0, uint64_t* outs = nullptr);
  // Address of a registered function object (null if none).
  void* registeredFunction(const std::string& function) const;
  size_t registeredFunctionCount() const;  // native functions the script registry accepted
  // The next `count` engine heap allocations fail (return null).
  // Heap frees that match no live block, and frees or releases of a
  // registered function outside its destructor (slot 1), fail the run.
  void failHeapAllocations(int count);
  size_t liveHeapBlocks() const;

 private:
  DoubleState* impl_;
};

// What the run saw, and the checks that fail it.
class Checks {
 public:
  explicit Checks(DoubleState& state) : impl_(&state) {}
  // Checks of the double that failed (empty when the run is sound). The CLI
  // exits non-zero when this is not empty.
  std::vector<std::string> failures() const;
  bool ok() const { return failures().empty(); }
  // Checks at the end of a run (patch bytes, tasks released, heap balance);
  // adds to failures(). Every task queued before the call must have run;
  // tasks the plug-in queues meanwhile may still be pending. The script
  // machine destroys its native functions first, as the game does at quit.
  void finalChecks();
  // Trace lines written so far (JSON, one object per line), read back from
  // the file the trace streams to; and their number.
  std::vector<std::string> trace() const;
  size_t traceLineCount() const;
  // Number of trace lines whose "fn" is this simulated function.
  size_t callCount(const std::string& function) const;
  // Calls into the engine's functions so far (trace lines of function entries).
  size_t engineCallCount() const;
  // What changed in the game's code since set-up, one line per changed run
  // of bytes: the function entries' jumps, the engine heap object and the
  // 0xCC fill (the patch site apart; see patchSiteBytes). finalChecks fails
  // the run on any.
  std::vector<std::string> codeChanges() const;
  // The plug-in's sinks in a source, and the game's own (the script VM in
  // the hit source once it joined, the player in the menu source).
  size_t sinkCount(Source source) const;
  size_t gameSinkCount(Source source) const;
  // The bytes at the patch site, and whether the bytes after the jump are
  // still the engine's own (empty, false, "---" and 0 on runtimes without a
  // known patch site: every runtime but 1.5.39 and VR).
  std::vector<uint8_t> patchSiteBytes(size_t count = 5) const;
  bool patchTailIntact() const;
  // Page protection of the patch site as the OS reports it ("r-x", "rwx", ...).
  std::string patchSiteProtection() const;
  uintptr_t imageBase() const;
  uintptr_t patchSiteAddress() const;
  // Frames, loads and the plug-in's threads, as the main thread saw them.
  MainThreadFigures mainThreadFigures() const;
  // Calls the fault plan (Options::faults) refused, by engine entry.
  std::map<std::string, uint64_t> faultsRefused() const;
  // Whether the plug-in stood down, as the double saw its log while the game
  // ran (from the plug-in's first call on, a look every few milliseconds,
  // and once more in finalChecks), and its engine calls from its own
  // threads after that (each fails the run).
  StandDownSeen standDown() const;
  // What the double saw of the plug-in's line that lightning works, and of
  // its first spell cast (lightning_works.h): the checks on it fail the run.
  LightningWorksSeen lightningWorks() const;

 private:
  DoubleState* impl_;
};

class GameDouble {
 public:
  explicit GameDouble(Options options);
  ~GameDouble();
  GameDouble(const GameDouble&) = delete;
  GameDouble& operator=(const GameDouble&) = delete;

  const Options& options() const;
  HostAccess& host() { return host_; }
  WorldAccess& world() { return world_; }
  DataAccess& data() { return data_; }
  ScriptAccess& scripts() { return scripts_; }
  Checks& checks() { return checks_; }
  const HostAccess& host() const { return host_; }
  const WorldAccess& world() const { return world_; }
  const DataAccess& data() const { return data_; }
  const ScriptAccess& scripts() const { return scripts_; }
  const Checks& checks() const { return checks_; }

  // --- the plug-in -----------------------------------------------------------
  // Loads the library (dlopen, or LoadLibraryA in the Windows build).
  bool loadPlugin(const std::string& path);
  // Default plug-in file of an edition in a folder ("Nimbrel.so"/"NimbrelVR.so",
  // or ".dll" in the Windows build).
  static std::string defaultPluginPath(const std::string& folder, Edition edition);
  const std::string& error() const;
  // Entry points linked into the calling program instead of a library (a
  // test that builds the plug-in's code in). Same role as loadPlugin.
  // `versionData`, when given, stands for SKSEPlugin_Version (0x350 bytes).
  using QueryFunction = bool (*)(const void* host, void* description);
  using LoadFunction = bool (*)(const void* host);
  bool usePluginEntryPoints(QueryFunction queryFn, LoadFunction loadFn, const void* versionData = nullptr);
  // Starts the plug-in as the runtime's host does. SKSE for SE and VR call
  // SKSEPlugin_Query, then SKSEPlugin_Load if the query took the game. SKSE
  // for AE (runtime 1.6 and later, SE edition) reads SKSEPlugin_Version,
  // declines the plug-in by its rules in its order (runtimes.md, "The host
  // on AE"), never calls the query, then calls SKSEPlugin_Load.
  PluginStart startPlugin();
  // SKSEPlugin_Query with the host interface; the description record is kept.
  // A single call, whatever the runtime's host would do.
  bool query();
  const PluginDescription& description() const;
  // SKSEPlugin_Load.
  bool load();
  // Game start-up after load: messages 0 and 1, script registration, 6, 8.
  void startUp();

  // --- scenarios -----------------------------------------------------------------
  // Reads a scenario (the format is documented in sim/SCENARIOS.md); false
  // with error() set when it does not parse. An empty text is the embedded
  // default storm.
  bool loadScenario(const std::string& text);
  static std::string defaultScenario();
  // The loaded scenario's set-up, due before startUp(): its data set
  // (installDefaultData with the scenario's variations, unless it says
  // "data none"), its loaded area, frame rate and load time, and loadWorld()
  // unless it starts unloaded. Loads the default scenario first when none
  // was loaded.
  void applyScenarioSetUp();
  // Plays the loaded scenario: the main thread applies each event at its
  // time on the simulated clock (wall time times Options::timeScale);
  // returns at its end. `progress`, when given, is called now and then with
  // the fraction done.
  void playScenario(void (*progress)(double fraction, void* context) = nullptr, void* context = nullptr);
  // The loaded scenario's end, in simulated seconds from the start of play;
  // setScenarioEnd moves it (events after the new end are not played).
  double scenarioEndSeconds() const;
  void setScenarioEnd(double seconds);
  // The loaded scenario's events as (simulated ms, text), in time order.
  std::vector<std::pair<double, std::string>> scenarioTimeline() const;
  // After playScenario: each event on time, late (and why), not played (a
  // failure of the run, in checks().failures()) or after a moved end.
  std::vector<ScenarioOutcome> scenarioOutcomes() const;
  // Keys of the scenario's set-int and set-float lines the plug-in does not know.
  std::vector<UnknownSettingKey> scenarioUnknownKeys() const;
  // The engine entries a Fault may name.
  static const std::vector<std::string>& faultEntries();

  // The runtime played (Options::runtimeVersion) and its files.
  RuntimeFacts runtime() const;
  // The layout fault in force: Options::layoutFault, else the scenario's
  // (applied with its set-up).
  LayoutFault layoutFault() const;

  // --- paths of this run -------------------------------------------------------
  // The game's folder, outDir/Game: the Address Library database lies in its
  // Data/SKSE/Plugins.
  std::string gameDir() const;
  std::string documentsDir() const;
  // Where the plug-in log is expected: My Games/<the game's folder>/SKSE, the
  // folder named for the edition and, with SKSE's GOG build, the store.
  std::string pluginLogPath() const;
  std::string tracePath() const;

  // Makes a fault (a call into 0xCC filler, an access violation) end the
  // process with exit code 5 and a line saying the plug-in called an
  // unmapped engine address (with a layout fault in force: exit code 1, and
  // a line that the plug-in was to stand down). For programs that run a
  // plug-in, such as the CLI.
  static void installFaultHandler();

 private:
  DoubleState* impl_;
  HostAccess host_;
  WorldAccess world_;
  DataAccess data_;
  ScriptAccess scripts_;
  Checks checks_;
};

}  // namespace nimbrel_sim
