// The engine's event sources as the game lays them out (runtimes.md, "The
// effect-art form, the form list and the event sources"): each a 0x58-byte
// BSTEventSource<E> whose sinks are a BSTArray of pointers at 0x00, grown as
// sinks join and walked when an event is sent. Which sources there are, what
// event each is for, and which of their sinks are the game's own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "nimbrel_sim/types.h"

namespace nimbrel_sim {

// An event source's fields (byte offsets) and size.
namespace field {
inline constexpr size_t kSourceSinks = 0x00;  // BSTArray<BSTEventSink<E>*>: data pointer
inline constexpr size_t kSourceCapacity = 0x08;
inline constexpr size_t kSourceSize = 0x10;
inline constexpr size_t kSourcePendingRegisters = 0x18;
inline constexpr size_t kSourcePendingUnregisters = 0x30;
inline constexpr size_t kSourceLock = 0x48;
inline constexpr size_t kSourceNotifying = 0x50;
inline constexpr size_t kEventSourceSize = 0x58;
}  // namespace field

// The script event holder (ScriptEventSourceHolder): a run of sources from
// +0x0, the hit source at +0x5d8, 0x1290 bytes (0x1238 in VR). Its events in
// order: the double names those up to the hit source and the two after it
// that the script VM listens to; the rest are sources without a name here
// (empty). `inserted`: a game update put one more source before the hit
// source (the layout fault hit-source), which moves the hit source to +0x630.
std::vector<std::string> scriptEventHolderEvents(Edition edition, bool inserted);
inline constexpr size_t kHitSourceOffset = 0x5d8;
inline constexpr size_t kScriptEventHolderSize = 0x1290;
inline constexpr size_t kScriptEventHolderSizeVr = 0x1238;
// The event a fault's inserted source is for.
inline constexpr const char* kInsertedEvent = "TESFastTravelEndEvent";

// "start-up", "data-ready", "first-load", "never".
const char* vmHitSinkName(VmHitSink moment);
bool parseVmHitSink(const std::string& text, VmHitSink& moment);

class EventSources {
 public:
  // A source the engine keeps at `at` (its bytes zeroed: no sinks), for
  // events of `event` ("TESHitEvent"); `kind` when the double sends them.
  // `where` says where it lies, for the trace ("+0x5d8 of the script event
  // holder").
  void lay(void* at, const std::string& event, std::optional<Source> kind, const std::string& where);
  // Sources within [begin, end) are no longer sources (their bytes stay).
  void forget(const void* begin, const void* end);
  // Whether any source within [begin, end) holds a sink.
  bool anySinkWithin(const void* begin, const void* end) const;

  void* find(Source kind) const;
  bool known(const void* at) const;
  // The source's event ("TESGrabReleaseEvent", or "source 21 of the script
  // event holder" for one without a name) and where it lies; empty when
  // `at` is no source.
  std::string eventOf(const void* at) const;
  std::string whereOf(const void* at) const;
  // Every source and its event, for the game's own sinks to join.
  std::vector<std::pair<void*, std::string>> all() const;

  // Appends a sink to the source's array as the engine does (the array
  // grows when full); false, and nothing added, when the sink is there
  // already or `at` is no source.
  bool append(void* at, void* sink, bool game);
  struct Sink {
    void* object;
    bool game;  // one of the game's own sinks, not the plug-in's
  };
  // The sinks as the source's array holds them, in order.
  std::vector<Sink> sinksOf(const void* at) const;
  // While the source sends an event its notifying flag is set.
  void setNotifying(void* at, bool notifying) const;

 private:
  struct Info {
    std::string event;
    std::optional<Source> kind;
    std::string where;
    std::unordered_set<const void*> gameSinks;
  };
  mutable std::mutex mutex_;
  std::map<uintptr_t, Info> sources_;
  // Arrays outgrown stay allocated: a reader that took the data pointer a
  // moment before the array grew still reads valid memory.
  std::vector<std::unique_ptr<void*[]>> arrays_;
};

}  // namespace nimbrel_sim
