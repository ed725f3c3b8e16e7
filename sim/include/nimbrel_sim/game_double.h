// The game double: a stand-in for the game process and the SKSE host, so the
// plug-in can be loaded and driven on a machine without the game.
//
// It is written from the engine's and the host's contracts alone: it never
// includes the plug-in's headers, keeps its own offset tables and object
// layouts, and calls the plug-in only through exported symbols and raw
// vtable slots, as the engine would. A wrong offset, field or slot in the
// plug-in therefore fails a run here.
//
// One edition per process: the fake game image (the arena) is laid out for
// the edition of the first GameDouble created in the process.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace nimbrel_sim {

enum class Edition { SpecialEdition, VR };

// Runtime versions the two editions report.
inline constexpr uint32_t kRuntimeSE = 0x01050270;  // 1.5.39
inline constexpr uint32_t kRuntimeVR = 0x010400F1;

// Host message types (the host's numbering).
inline constexpr uint32_t kMsgPostLoad = 0;
inline constexpr uint32_t kMsgPostPostLoad = 1;
inline constexpr uint32_t kMsgPreLoadGame = 2;
inline constexpr uint32_t kMsgPostLoadGame = 3;
inline constexpr uint32_t kMsgSaveGame = 4;
inline constexpr uint32_t kMsgDeleteGame = 5;
inline constexpr uint32_t kMsgInputLoaded = 6;
inline constexpr uint32_t kMsgNewGame = 7;
inline constexpr uint32_t kMsgDataLoaded = 8;

struct Options {
  Edition edition = Edition::SpecialEdition;
  // Run folder. The documents folder is outDir/Documents (created), the trace
  // is outDir/trace.jsonl.
  std::string outDir;
  // 0 means the edition's own runtime (kRuntimeSE or kRuntimeVR).
  uint32_t runtimeVersion = 0;
  bool editor = false;
  // Sleeps of the plug-in are divided by this (simulation platform only).
  double timeScale = 1.0;
  // Make the documents-folder lookup fail with this result code and last
  // error (simulation platform only; 0 = succeed).
  uint32_t documentsFailure = 0;
  uint32_t documentsLastError = 0;
  // Host interfaces (2 script, 4 task, 5 messaging) the host hands out as null.
  std::vector<uint32_t> missingInterfaces;
  // The menu manager and the script event-source holder may be absent.
  bool noMenuManager = false;
  bool noScriptEventSources = false;
  // False: no trace is kept (no file, no lines; callCount still counts), so
  // that millions of calls, as in a fuzzing run, keep memory and disk flat.
  bool trace = true;
};

// Event sources a plug-in can add sinks to.
enum class Source { MenuOpenClose, Hit, Action };

// Kinds of forms the double can make.
enum class FormKind { Spell, EffectArt, ImageSpaceModifier, FormList, GlobalVariable, ObjectReference, Weather, Worldspace, Weapon };

// The default data set's variations.
struct DataSet {
  bool pluginLoaded = true;
  uint8_t pluginModIndex = 0x12;
  uint16_t pluginLightIndex = 0;  // the engine keeps it in 16 bits, 0..0xFFF
  bool dawnguardLoaded = true;
  uint8_t dawnguardModIndex = 0x02;
  uint16_t dawnguardLightIndex = 0;
};

// Weathers of the default data set.
enum class DefaultWeather { Clear, Cloudy, Rain, Thunderstorm, Snow, RainySnow, ExemptStorm, Unclassified };

// A script argument as the machine passes it (type words: 0 none, 1 object,
// 2 string, 3 integer, 4 float, 5 bool).
struct ScriptArg {
  uint64_t type = 0;
  std::string text;
  uint64_t raw = 0;
  static ScriptArg None() { return {}; }
  static ScriptArg String(const std::string& t) { return {2, t, 0}; }
  static ScriptArg Int(int32_t v) { return {3, {}, static_cast<uint32_t>(v)}; }
  static ScriptArg Float(float v) {
    uint32_t bits = 0;
    std::memcpy(&bits, &v, sizeof bits);
    return {4, {}, bits};
  }
  static ScriptArg Bool(bool v) { return {5, {}, v ? 1u : 0u}; }
  static ScriptArg Object() { return {1, {}, 0}; }
};

struct Position {
  float x = 0, y = 0, z = 0;
};

struct MoveRecord {
  double ms = 0;                // since the double started, on the simulated clock
  uint32_t referenceFormId = 0;
  uint32_t destinationFormId = 0;
  Position offset;
  Position placedAt;            // world position after the move
  bool inCell = false;
  bool attached = false;
};

struct CastRecord {
  double ms = 0;
  uint32_t spellFormId = 0;
  uint32_t casterFormId = 0;
  uint32_t targetFormId = 0;
  Position caster;              // world positions at the moment of the cast
  Position target;
  Position player;
  uint32_t queuedBy = 0;        // tasks one thread queued back to back share this number
};

struct FlashRecord {
  double ms = 0;
  bool applied = false;         // false: removed
  uint32_t modifierFormId = 0;
};

struct PluginDescription {
  bool filled = false;
  uint32_t infoVersion = 0;
  std::string name;
  uint32_t version = 0;
};

class GameDouble {
 public:
  explicit GameDouble(Options options);
  ~GameDouble();
  GameDouble(const GameDouble&) = delete;
  GameDouble& operator=(const GameDouble&) = delete;

  // --- the plug-in ---------------------------------------------------------
  // Loads the library (dlopen, or LoadLibraryA in the Windows build).
  bool loadPlugin(const std::string& path);
  // Default plug-in file of an edition in a folder ("Nimbrel.so"/"NimbrelVR.so",
  // or ".dll" in the Windows build).
  static std::string defaultPluginPath(const std::string& folder, Edition edition);
  const std::string& error() const;
  // Entry points linked into the calling program instead of a library (a
  // test that builds the plug-in's code in). Same role as loadPlugin.
  using QueryFunction = bool (*)(const void* host, void* description);
  using LoadFunction = bool (*)(const void* host);
  bool usePluginEntryPoints(QueryFunction queryFn, LoadFunction loadFn);

  // SKSEPlugin_Query with the host interface; the description record is kept.
  bool query();
  const PluginDescription& description() const;
  // SKSEPlugin_Load.
  bool load();
  // The host calls the script-registration callbacks the plug-in handed to
  // interface 2, with the script registry.
  void registerScriptFunctions();
  // Delivers one message to every listener registered for the sender "SKSE".
  void sendMessage(uint32_t type, uint64_t dataWord = 0);
  // Calls every "SKSE" listener with a null message pointer.
  void sendNullMessage();
  // Game start-up after load: messages 0 and 1, script registration, 6, 8.
  void startUp();
  // One saved-game load: message 2, then 3 with a non-zero data word (zero
  // when the load failed).
  void loadSavedGame(bool succeeded = true);

  // --- the world -------------------------------------------------------------
  // Sends an event to every sink of a source, as the game would; a sink that
  // returns non-zero is a failure of the run.
  void sendMenuEvent(const std::string& menuName, bool opening);
  void sendActionEvent(uint32_t type, bool byPlayer);
  // The game's main thread: waits until every task queued before the call
  // has run (at once while the main thread is held, see holdMainThread).
  void drainTasks();

  // --- game data: loaded files, forms, the default data set ------------------
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

  // --- the script machine -----------------------------------------------------
  // Calls a registered native function as a script would: a stack frame with
  // the two arguments, then the function object's call operation (slot 23)
  // through its own vtable. False when no such function is registered, or
  // when the call operation answers false. The result value's type word
  // after the call goes to *resultType (it holds a string before the call).
  // Argument fetches outside the frame's two arguments fail the run.
  bool callNative(const std::string& className, const std::string& function, const ScriptArg& first,
                  const ScriptArg& second, uint64_t* resultType = nullptr);
  // The same with a frame of any number of arguments.
  bool callNative(const std::string& className, const std::string& function, const std::vector<ScriptArg>& args,
                  uint64_t* resultType = nullptr);
  // Calls operation `slot` (1-based, as the machine numbers them) of a
  // registered function object with up to three extra word arguments; the
  // raw result word. For the layout checks of the function objects.
  uint64_t callFunctionSlot(const std::string& function, int slot, uint64_t a = 0, uint64_t b = 0, uint64_t c = 0);
  // Address of a registered function object (null if none).
  void* registeredFunction(const std::string& function) const;
  // The next `count` engine heap allocations fail (return null).
  // Heap frees that match no live block, and frees or releases of a
  // registered function outside its destructor (slot 1), fail the run.
  void failHeapAllocations(int count);
  size_t liveHeapBlocks() const;

  // --- the world ---------------------------------------------------------------
  // Loads a world: the sky exists, the player has 3D and stands in an attached
  // exterior cell of Tamriel (worldspace 0x3C) at (0, 0, 0); the hour is
  // 12.0; clear current weather, no outgoing weather, transition 1.0.
  void loadWorld();
  void unloadWorld();  // sky and player holders null
  void setPlayerPosition(float x, float y, float z);
  void setPlayerHas3D(bool has3D);
  void setPlayerHolderPresent(bool present);
  void setPlayerCellNull();               // player in no cell
  void enterInterior();                   // a cell without worldspace
  void enterExterior(uint32_t worldspaceFormId = 0x3C);
  void setSkyPresent(bool present);
  // Current and outgoing weather (0 = none) and the transition progress.
  void setWeather(uint32_t currentFormId, uint32_t outgoingFormId, float transition);
  void setWeatherTransition(float transition);
  void setGameHour(float hour);
  void sendHitEvent(bool onPlayer, uint32_t sourceFormId);

  // What the world saw: every move, cast and flash, in order.
  std::vector<MoveRecord> moves() const;
  std::vector<CastRecord> casts() const;
  std::vector<FlashRecord> flashes() const;
  size_t tasksRun() const;
  // Holds the game's main thread: queued tasks wait until released, and
  // finalChecks reports those queued before it as not run.
  void holdMainThread(bool hold);
  // The loaded area: a move ends in an attached cell within this many world
  // units (horizontally) of the player, in an unattached cell up to
  // `cellRange`, and in no cell beyond.
  void setLoadedArea(float attachedRange, float cellRange);

  // --- scenarios -----------------------------------------------------------------
  // Reads a scenario (the format is documented in sim/SCENARIOS.md); false
  // with error() set when it does not parse. An empty text is the embedded
  // default storm.
  bool loadScenario(const std::string& text);
  static std::string defaultScenario();
  // Plays the loaded scenario: each event is applied at its time on the
  // simulated clock (wall time times Options::timeScale); returns at its end.
  // `progress`, when given, is called now and then with the fraction done.
  void playScenario(void (*progress)(double fraction, void* context) = nullptr, void* context = nullptr);
  // The loaded scenario's set-up, due before startUp(): its data set
  // (installDefaultData with the scenario's variations, unless it says
  // "data none"), its loaded area, and loadWorld() unless it starts unloaded.
  // Loads the default scenario first when none was loaded.
  void applyScenarioSetUp();
  // The loaded scenario's end, in simulated seconds from the start of play;
  // setScenarioEnd moves it (events after the new end are not played).
  double scenarioEndSeconds() const;
  void setScenarioEnd(double seconds);
  // Milliseconds on the simulated clock since the double started.
  double simulatedMs() const;

  // --- what the host and the engine saw -------------------------------------
  uint32_t pluginHandle() const;           // the handle the host gave out
  uint32_t listenerHandle() const;         // the handle the plug-in registered with (0xFFFFFFFF if none)
  size_t listenerCount() const;            // listeners for "SKSE"
  size_t scriptCallbackCount() const;      // callbacks handed to interface 2
  size_t registeredFunctionCount() const;  // native functions given to the script registry
  std::vector<uint32_t> interfaceRequests() const;  // ids asked for, in order
  size_t sinkCount(Source source) const;
  // The 5 bytes at the patch site, and whether the bytes after the jump are
  // still the engine's own.
  std::vector<uint8_t> patchSiteBytes(size_t count = 5) const;
  bool patchTailIntact() const;
  // Page protection of the patch site as the OS reports it ("r-x", "rwx", ...).
  std::string patchSiteProtection() const;
  uintptr_t imageBase() const;
  uintptr_t patchSiteAddress() const;

  // Paths of this run.
  std::string documentsDir() const;
  std::string pluginLogPath() const;  // where the edition's plug-in log is expected
  std::string tracePath() const;
  // Trace lines written so far (JSON, one object per line).
  std::vector<std::string> trace() const;
  // Number of trace lines whose "fn" is this simulated function.
  size_t callCount(const std::string& function) const;

  // Checks of the double that failed (empty when the run is sound). The CLI
  // exits non-zero when this is not empty.
  std::vector<std::string> failures() const;
  bool ok() const { return failures().empty(); }
  // Checks at the end of a run (patch bytes, tasks released, heap balance);
  // adds to failures(). Every task queued before the call must have run;
  // tasks the plug-in queues meanwhile may still be pending.
  void finalChecks();

  // Makes a fault (a call into 0xCC filler, an access violation) end the
  // process with exit code 4 and a line saying the plug-in called an
  // unmapped engine address. For programs that run a plug-in, such as the CLI.
  static void installFaultHandler();

 private:
  struct Impl;
  Impl* impl_;
};

}  // namespace nimbrel_sim
