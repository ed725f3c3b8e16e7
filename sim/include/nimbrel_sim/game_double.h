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
};

// Event sources a plug-in can add sinks to.
enum class Source { MenuOpenClose, Hit, Action };

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
  // The game's main thread: waits until every queued task has run.
  void drainTasks();

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
  // adds to failures().
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
