// The game double's vocabulary: editions, options, the records of what the
// world saw, and the values tests and the command pass in.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace nimbrel_sim {

enum class Edition { SpecialEdition, VR };

// Runtime versions the two editions report by default.
inline constexpr uint32_t kRuntimeSE = 0x01050270;  // 1.5.39
inline constexpr uint32_t kRuntimeVR = 0x010400F1;

// The Address Library database the double leaves in its game folder
// (Options::outDir + "/Game") for a plug-in of the SE edition on a runtime
// whose plug-ins read one (1.5.x other than 1.5.39, and 1.6 on):
// `Written` by the double from the table of the layout it laid out (the
// runtime's own or the nearest), left out, damaged, or the user's file
// copied in.
enum class AddressLibrary { Written, Missing, TruncatedBody, WrongHeader, WrongVersion, File };

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

// A fault of an engine entry ("FormFromId", "EngineDynamicCast",
// "CellAttachedNative", "EngineHeapAllocate", ...; GameDouble::faultEntries()): the
// entry answers null or false, or does nothing, at its n-th call (1-based),
// at every call from the n-th on, or at each call with a probability.
struct Fault {
  std::string entry;
  uint64_t nthCall = 0;
  uint64_t everyCallFrom = 0;
  double probability = 0;
};

// A field the plug-in reads, moved for one run as a game update would move
// it: what lies at the place the plug-in reads is what the moved layout
// leaves there (an object of another class, heap memory that is no object,
// a pointer into a page no one may read). The double's own world keeps
// working through what it knows itself. The plug-in is to check the class
// of what it finds and stand down.
enum class LayoutFault {
  None,
  SkyWeather,      // the sky's current weather (+0x48): the sky's Clouds object
  PlayerCell,      // the player's parent cell (+0x60): heap memory that is no object
  CellWorldspace,  // every cell's worldspace: an address in the no-access poison page
  VmMachine,       // the script VM's script machine: the VM's event sink object
  RootNode,        // the player's root node: its animation controller (a NiObject, no NiAVObject)
  EffectArtModel,  // +0x40 of every effect-art form: the vtable of another base (BGSPreloadable's)
  FadeDuration,    // the effect art's fade duration (+0xc4): the high half of a pointer at +0xc0
  FormList,        // the entries of the form lists: heap data that is no forms
  HitSource,       // the hit source (+0x5d8): another event's source, one inserted before it
  HitEvent,        // the hit event's target: the hit's source form, no reference
  ScenePosition,   // the player's root node's world position: not a number
};

// When the script VM joins the hit source as one of its sinks: as the game
// sets itself up, before the host loads the plug-in (the game's way), once
// host message 6 has been delivered (before 8), at the first saved-game load
// (before its message 2), or never.
enum class VmHitSink { StartUp, BeforeDataReady, FirstLoad, Never };

struct Options {
  Edition edition = Edition::SpecialEdition;
  // Run folder. The documents folder is outDir/Documents (created), the trace
  // is outDir/trace.jsonl.
  std::string outDir;
  // 0 means the edition's own runtime (kRuntimeSE or kRuntimeVR), packed
  // with the store in its low nibble (0 Steam, 1 GOG, 2 Epic). The SE
  // edition plays 1.5.39, 1.5.97, 1.6.353, 1.6.1170, 1.7.99 and 1.7.104 with
  // their own layouts; any other runtime (1.8.0, every GOG runtime) gets the
  // nearest layout and a database written to match it. From 1.6 on the host
  // is SKSE for AE (2.3.0 on 1.7.99, 2.3.1 from 1.7.104 on, the GOG build on
  // GOG 1.6).
  uint32_t runtimeVersion = 0;
  AddressLibrary addressLibrary = AddressLibrary::Written;
  std::string addressLibraryFile;  // for AddressLibrary::File
  bool editor = false;
  // Sleeps of the plug-in are divided by this (simulation platform only).
  double timeScale = 1.0;
  // The OS timer's tick, in simulated milliseconds (simulation platform
  // only; 0: exact): every sleep of the plug-in ends at the first tick at or
  // after its due time, as Windows ends a Sleep. Above 0 it wins over a
  // scenario's `timer-resolution` line. Fixed once the plug-in first sleeps.
  double timerResolutionMs = 0;
  // Make the documents-folder lookup fail with this result code and last
  // error (simulation platform only; 0 = succeed).
  uint32_t documentsFailure = 0;
  uint32_t documentsLastError = 0;
  // Host interfaces (2 script, 4 task, 5 messaging) the host hands out as null.
  std::vector<uint32_t> missingInterfaces;
  // The menu manager and the script event-source holder may be absent.
  bool noMenuManager = false;
  bool noScriptEventSources = false;
  // The messaging interface answers null for the action-event dispatcher.
  bool noActionDispatcher = false;
  // False: no trace is kept (no file, no lines; callCount still counts), so
  // that millions of calls, as in a fuzzing run, keep memory and disk flat.
  bool trace = true;
  // False: the plug-in's threads are not counted by name (the summary's
  // thread peaks read as not observed). The census reads every thread's name
  // 50 times a second; a benchmark of the plug-in's own CPU leaves it out.
  bool threadCensus = true;
  // The game's main thread: frames per simulated second (0: the edition's
  // own, 60 for SE and 90 for VR), and how long a saved-game load holds it.
  double fps = 0;
  double loadMs = 2000;
  // The plug-in's 1-based load index, which the host gives out as its handle.
  uint32_t loadIndex = 3;
  // Engine entries that refuse (see Fault).
  std::vector<Fault> faults;
  // A field moved for the run (wins over a scenario's layout-fault line).
  LayoutFault layoutFault = LayoutFault::None;
  // When the script VM joins the hit source (wins over a scenario's
  // vm-hit-sink line; neither: at start-up).
  std::optional<VmHitSink> vmHitSink;
  // Faults of the operating system as the plug-in meets it (simulation
  // platform only): a page protection change refused ("make" or
  // "restore"), threads refused by name ("nb-monitor,nb-strike"), and a
  // disk that is full after so many bytes of the plug-in's log (0: room).
  std::string refuseProtection;
  std::string refuseThreads;
  uint64_t diskSpaceBytes = 0;
};

// Event sources a plug-in can add sinks to.
enum class Source { MenuOpenClose, Hit, Action };

// Kinds of forms the double can make.
enum class FormKind {
  Spell,
  EffectArt,
  ImageSpaceModifier,
  FormList,
  GlobalVariable,
  ObjectReference,
  Weather,
  Worldspace,
  Weapon
};

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
  double ms = 0;        // since the double started, on the simulated clock
  double queuedMs = 0;  // when the plug-in queued the move, on the same clock
  uint32_t referenceFormId = 0;
  uint32_t destinationFormId = 0;
  Position offset;
  Position placedAt;  // world position after the move
  bool inCell = false;
  bool attached = false;
  uint32_t queuedBy = 0;  // as CastRecord::queuedBy
};

struct CastRecord {
  double ms = 0;
  uint32_t spellFormId = 0;
  uint32_t casterFormId = 0;
  uint32_t targetFormId = 0;
  Position caster;  // world positions at the moment of the cast
  Position target;
  Position player;
  uint32_t queuedBy = 0;  // the tasks of one strike (of a thread's burst of tasks) share this number
};

struct FlashRecord {
  double ms = 0;
  bool applied = false;  // false: removed
  uint32_t modifierFormId = 0;
};

// A set-int or set-float key of a scenario that the plug-in does not know:
// the game does not check keys, so this is a warning, not a failure.
struct UnknownSettingKey {
  int line = 0;
  std::string key;
  std::string hint;  // the near key when only the letter case differs, or why it is unknown
};

// What became of one scenario event in a played run.
struct ScenarioOutcome {
  enum class Status {
    OnTime,
    Late,       // a load or hitch held the main thread when it was due, or the main thread ran behind
    NotPlayed,  // due before the end but never played: a failure of the run
    AfterEnd,   // after an end moved earlier (setScenarioEnd, --duration)
  };
  int line = 0;
  std::string text;
  double dueMs = 0;      // simulated ms from the start of play
  double playedMs = -1;  // when it played; -1 when it did not
  Status status = Status::NotPlayed;
  std::string why;  // late or not played: what held it
};

// What the game's main thread went through.
struct MainThreadFigures {
  uint64_t frames = 0;
  double fps = 0;
  size_t maxTasksPerFrame = 0;
  uint64_t maxTaskLatencyFrames = 0;  // frames from a task's queuing to its run
  uint64_t loads = 0;
  double stalledSeconds = 0;      // simulated seconds loads and hitches held it
  size_t tasksHeldOverLoads = 0;  // queued during a load, run after it
  double longestTaskMs = 0;       // wall-clock ms of the longest task (Execute and Release)
  // Engine calls and queued tasks of the plug-in's own threads while a load
  // held the main thread (the game tears those references and cells down).
  uint64_t pluginCallsDuringLoads = 0;
  // The plug-in's threads by the names it gives them (peaks of a sampling).
  bool threadsObserved = false;
  size_t peakPluginThreads = 0;
  size_t peakSheetLoops = 0;
  size_t peakForkLoops = 0;
  size_t peakStrikeThreads = 0;
};

// The runtime a double plays, and what it laid out for it.
struct RuntimeFacts {
  uint32_t packed = 0;
  std::string name;    // "1.6.1170", "1.6.1179 GOG": the version and a store other than Steam
  std::string layout;  // the offset column laid out: the runtime's own, or the nearest known
  bool layoutExact = false;
  std::string host;  // "SKSE for AE 2.2.6"
  // Why the host is a stand-in, where no SKSE of the runtime's store is
  // public (Epic); empty otherwise.
  std::string hostNote;
  bool anniversary = false;  // SKSE for AE loads the plug-in
  // The Address Library database: its file name (empty when the runtime's
  // plug-ins read none), its path, whether it is there, and how it came.
  std::string database;
  std::string databasePath;
  bool databasePresent = false;
  std::string databaseNote;
  size_t cellWorldspace = 0x120;  // where a cell keeps its worldspace
  bool patchSiteKnown = false;    // engine bytes at the patch site are known (1.5.39, VR)
  uint32_t formFromIdRva = 0;
  uint32_t formFromIdDatabaseId = 0;  // 0 where the runtime needs no database
};

// What the double saw of the plug-in standing down: the lines of its log,
// as the double's log watch saw them while the game ran (a look every few
// milliseconds), and the engine calls from the plug-in's own threads after
// the first of them was seen (each fails the run).
struct StandDownSeen {
  bool seen = false;
  double seenMs = 0;          // on the trace's clock, when the first line was seen
  std::string reasonLine;     // "Runtime ... is not laid out as this build expects: ..."
  std::string standDownLine;  // "Lightning stands down for this game session; ..."
  uint64_t pluginEngineCallsAfter = 0;
};

// What the double saw of the plug-in's line that lightning works ("Lightning
// works on runtime ...: the first strike was cast, and every object checked
// so far was of the expected class."), which it writes once, right after its
// first strike's spell cast ran on the main thread. The double looks at the
// log on the main thread right before the first SpellCastNative call runs
// and right after the task that made that call returns from Execute, so
// that the line's place between them is proved.
struct LightningWorksSeen {
  size_t lines = 0;   // how many such lines the log holds (one at most is right)
  double seenMs = 0;  // on the trace's clock, when the first was seen
  std::string line;   // the first
  bool cast = false;  // a SpellCastNative call ran
  double castMs = 0;  // when the first began, on the trace's clock
  bool castOnMainThread = false;
  bool lookedAfterTask = false;   // the look after the first cast's task returned was made
  bool presentAfterTask = false;  // and the line was there
  bool beforeCast = false;        // a line was there before the first cast
  bool late = false;              // a line came only after that task had returned
};

// How the host's loading of the plug-in ended (GameDouble::startPlugin).
struct PluginStart {
  enum class Outcome { Loaded, DeclinedByHost, DeclinedByPlugin };
  Outcome outcome = Outcome::DeclinedByHost;
  std::string host;               // "SKSE for AE 2.2.6"
  bool readsVersionData = false;  // SKSE for AE: SKSEPlugin_Version, never SKSEPlugin_Query
  std::string versionData;        // what SKSEPlugin_Version says, when read
  bool queried = false;           // SKSEPlugin_Query was called (and its answer)
  bool queryAccepted = false;
  bool loadCalled = false;
  // Declined: the host's rule, or "SKSEPlugin_Query returned false" and the like.
  std::string why;
  bool loaded() const { return outcome == Outcome::Loaded; }
};

struct PluginDescription {
  bool filled = false;
  uint32_t infoVersion = 0;
  std::string name;
  uint32_t version = 0;
};

}  // namespace nimbrel_sim
