// The simulated engine: the objects the holders point at, the forms, the
// script machine's registry, strings and heap, the event sources, and the
// functions behind every function entry of the image. Its bookkeeping is in
// engine.cpp, the calls the plug-in makes in engine_calls.cpp, and the
// functions the image's entries lead to in entry_targets.cpp.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/event_sources.h"
#include "image/image.h"
#include "nimbrel_sim/types.h"
#include "run/run.h"

namespace nimbrel_sim {

class GameData;
class ScriptMachine;

// Classes of simulated objects, as the double's own checks tell them apart.
// Forms derive from Form (the player from Actor, an ObjectReference); the
// rest are engine objects outside the form tree. Each holds the vtable of
// its class in the game (classOfObject) at offset 0.
enum class Cls : uint8_t {
  Form,
  Spell,
  EffectArt,
  ImageSpaceModifier,
  FormList,
  GlobalVariable,
  ObjectReference,
  Actor,
  Player,
  Weather,
  Cell,
  Worldspace,
  Sky,
  ScriptVm,
  ScriptRegistry,
  // What the script VM keeps at the offset the script machine does not use
  // in this runtime: on 1.7 one of its new event sinks at +0x200.
  ScriptVmOther,
  DataRegistry,
  MenuManager,
  ScriptEventSources,  // no vtable: a run of event sources
  ActionEventSource,   // the host's, not the engine's: no vtable
  SceneNode,           // a reference's root node (NiNode)
  FadeNode,            // the player's root node (BSFadeNode)
  // What the layout faults leave where the plug-in reads (layoutFaultWords).
  SkyClouds,
  AnimationController,
};

// The game's class of an object of the double (ClassId::Count for the event
// sources, which have no vtable).
ClassId gameClassOf(Cls cls);

// Fields of engine objects the double lays out (byte offsets).
namespace field {
inline constexpr size_t kFormId = 0x14;
// The script VM object reaches past both offsets of its script machine
// (0x200 before 1.7.99, 0x210 from it on; runtimes.h).
inline constexpr size_t kVmSize = 0x220;
inline constexpr size_t kWeatherArray = 0x520;
inline constexpr size_t kWeatherCount = 0x530;
inline constexpr size_t kLoadedFiles = 0xd60;
// The menu manager's sources of menu events and of menu mode changes, and
// its size (runtimes.md: 0x1c8).
inline constexpr size_t kMenuEventSource = 0x8;
inline constexpr size_t kMenuModeSource = 0x60;
inline constexpr size_t kMenuManagerSize = 0x1c8;
}  // namespace field

// A script value as the VM keeps it: type word, then payload.
struct ScriptValue {
  uint64_t type;
  uint64_t payload;
};

class Engine {
 public:
  static constexpr uint32_t kPlayerFormId = 0x14;
  // The player carries its event-sink bases up to 0x2d0.
  static constexpr size_t kPlayerSize = 0x2d0;
  static constexpr uint32_t kOtherActorFormId = 0xff000801;

  Engine(Run& run, const Options& options);
  ~Engine();
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  // The simulated function of each function entry (indexed by EntryId), and
  // the slots of the vtables the engine's code calls.
  static const void* const* functionTargets();
  static VirtualSlots virtualSlots();
  // Points the image's holders at this engine's objects and routes every
  // engine call to it.
  void activate();

  // A zeroed object of a class, known to the dynamic cast, holding its
  // class's vtable at offset 0 (ClassId of gameClassOf).
  void* create(Cls cls, size_t size);
  // Forgets objects made by create: no form id finds them, the dynamic cast
  // no longer knows them, and their memory goes back.
  void destroy(const std::vector<void*>& objects);
  void addForm(uint32_t formId, void* form);

  void* scriptRegistry() const { return registry_; }
  void* player() const { return player_; }
  void* otherActor() const { return otherActor_; }
  // The engine's source of an event the double sends, and the plug-in's
  // sinks in it (the game's own left out), in the order of its array.
  void* eventSource(Source source) const;
  std::vector<void*> sinks(Source source) const;
  // Every sink of the source, the game's own marked, as delivery walks them.
  std::vector<EventSources::Sink> deliveryList(Source source) const;
  const EventSources& sources() const { return sources_; }
  // The game's own sinks join the sources as it sets itself up, before the
  // host loads the plug-in: the script VM every source of the script event
  // holder it has a sink base for but the hit source, the player the menu
  // manager's. The VM joins the hit source by its BSTEventSink<TESHitEvent>
  // base at a moment of its own (Options::vmHitSink); once only.
  void joinGameSinks();
  void joinVmHitSink();
  // Lays the script event holder's sources out, with the source a game
  // update inserts before the hit source or without; false with why when
  // the holder already holds sinks.
  bool layOutScriptEvents(bool inserted, std::string& problem);
  bool scriptEventsInserted() const { return holderInserted_; }
  void* scriptEventHolder() const { return scriptEventSources_; }
  size_t scriptEventHolderBytes() const { return holderBytes_; }
  size_t registeredFunctionCount() const;
  size_t liveHeapBlocks() const;

  // The engine calls, as the functions of the image run them.
  void* formFromId(uint32_t formId);
  void* dynamicCast(void* object, int32_t vfDelta, void* sourceType, void* targetType, int32_t isReference);
  void* scriptEventSourcesGet();
  void* skyGetSingleton();
  void addSink(void* source, void* sink);
  void* heapAllocate(void* heap, uint64_t size, uint32_t alignment, bool aligned);
  void heapFree(void* heap, void* block, bool aligned);
  void* internedCreate(void* ref, const char* text);
  void* internedAssign(void* ref, const char* data);
  void* nativeInit(void* function, const char* name, const char* className, bool isStatic, uint32_t paramCount);
  void nativeRelease(void* function);
  uint32_t frameArgOffset(void* stack, void* frame);
  ScriptValue* frameArgValue(void* stack, void* frame, uint32_t index, uint32_t offset);
  void valueClear(ScriptValue* value);
  void spellCast(void* registry, uint32_t stackId, void* spell, void* caster, void* target);
  void refMoveTo(void* registry, uint32_t stackId, void* ref, void* destination, float x, float y, float z,
                 bool matchRotation);
  bool cellAttached(void* registry, uint32_t stackId, void* cell);
  void imodApply(void* registry, uint32_t stackId, void* imod, float strength);
  void imodRemove(void* registry, uint32_t stackId, void* imod);
  uintptr_t functionBase(int operation, void* self, uintptr_t a, uintptr_t b, uintptr_t c);
  uintptr_t registerFunction(void* registry, void* function);
  void registryTrap(int slot);
  // A call through a virtual slot of the object at the script VM's other
  // offset: the plug-in took it for the script machine.
  void vmOtherTrap(int slot);
  // Why the object at the VM's other offset is not the script machine, in
  // the double's words.
  std::string vmOtherFieldWords() const;

  // The engine's layout fault (vm-machine): the script VM's machine field
  // holds the object kept at its other offset, an event sink. The host and
  // the engine go on with the machine they know.
  void setLayoutFault(LayoutFault fault);

  // The script machine whose frames the frame functions accept (defined in
  // script_machine.cpp).
  void attachScriptMachine(ScriptMachine* machine);
  // The next `count` heap allocations answer null.
  void failHeapAllocations(int count);

  Run& run() { return run_; }

 private:
  // The data and the script machine work on the engine's own tables.
  friend class GameData;
  friend class ScriptMachine;
  struct Object {
    Cls cls;
    size_t size;
  };
  // Checks shared by the script natives; world-changing ones must run on
  // the game's main thread. False when a check failed.
  bool checkNative(const char* fn, void* registry, uint32_t stackId, bool changesWorld);
  const char* intern(const std::string& text);
  bool isInterned(const char* text) const;
  size_t heapBlockSize(const void* block) const;  // 0 when not a live block
  std::optional<Cls> classOf(const void* object) const;
  void layOutSources();  // the menu manager's, the action dispatcher's, the holder's
  // Joins one of the game's own objects to every source of `sources` whose
  // event it has a sink base for, by that base.
  void joinSourcesOf(void* object, ClassId cls, const std::vector<void*>& among);

  Run& run_;
  const Options& options_;
  mutable std::mutex mutex_;
  std::vector<std::unique_ptr<uint8_t[]>> storage_;
  std::unordered_map<uintptr_t, Object> objects_;
  std::unordered_map<uint32_t, void*> forms_;
  std::unordered_set<std::string> strings_;
  std::unordered_set<uintptr_t> stringAddresses_;
  std::unordered_map<uintptr_t, size_t> heapBlocks_;
  std::unordered_map<uintptr_t, std::unique_ptr<uint8_t[]>> paramTables_;
  std::vector<void*> registeredFunctions_;
  size_t registrations_ = 0;            // functions the registry accepted, destroyed or not
  const char* noSourceFile_ = nullptr;  // the handle the engine answers for a native's source file
  EventSources sources_;
  bool holderInserted_ = false;
  size_t holderBytes_ = 0;
  std::atomic<bool> gameSinksJoined_{false};
  std::atomic<bool> vmInHitSource_{false};
  ScriptValue scratchValue_{};

  void* registry_ = nullptr;
  void* vm_ = nullptr;
  void* vmOther_ = nullptr;
  size_t vmMachineField_ = 0x200;
  size_t vmOtherField_ = 0x210;
  std::atomic<LayoutFault> fault_{LayoutFault::None};
  void* dataRegistry_ = nullptr;
  void* menuManager_ = nullptr;
  void* scriptEventSources_ = nullptr;
  void* actionSource_ = nullptr;
  void* player_ = nullptr;
  void* otherActor_ = nullptr;
  std::atomic<ScriptMachine*> machine_{nullptr};
  std::atomic<int> failAllocations_{0};
};

}  // namespace nimbrel_sim
