#include "game/hit_source.h"

#include <cstdio>
#include <cstring>

#include "game/checked_reads.h"
#include "game/event_records.h"
#include "game/layout.h"
#include "game/stand_down.h"
#include "game/type_check.h"

namespace NimbrelVR::game {
namespace {

using ULL = unsigned long long;

// What the source is checked to be, for the stand-down line.
constexpr const char* kField = "the hit event source (+0x5d8 of the script event holder)";
constexpr const char* kExpected =
    "the event source of TESHitEvent, whose game sinks are registered by their BSTEventSink<TESHitEvent> base";
constexpr uint32_t kMaxCapacity = 65535;

// The sink base names a source of hit events holds. No public source settles
// whether the game declares the event a struct or a class: both are taken.
bool IsHitSinkBase(const char* decorated) {
  static constexpr const char* kHitSinks[] = {
      ".?AV?$BSTEventSink@UTESHitEvent@@@@", ".?AV?$BSTEventSink@VTESHitEvent@@@@",
      ".?AU?$BSTEventSink@UTESHitEvent@@@@", ".?AU?$BSTEventSink@VTESHitEvent@@@@"};
  for (const char* name : kHitSinks)
    if (std::strcmp(decorated, name) == 0) return true;
  return false;
}

HitSourceLook NotTheHitSource(const char* found) {
  StandDown(kField, kExpected, found, Holding::Nothing);
  return HitSourceLook::StoodDown;
}

// The source's sink array, read so that a change by the game during the read
// is seen (the game may register a sink meanwhile): the header read before
// and after the entries agrees.
struct Sinks {
  uintptr_t array = 0;
  uint32_t capacity = 0;
  uint32_t count = 0;
  bool operator==(const Sinks&) const = default;
};
Sinks ReadHeader(const void* source) {
  return {reinterpret_cast<uintptr_t>(EventSourceSinks(source)), EventSourceSinkCapacity(source),
          EventSourceSinkCount(source)};
}

}  // namespace

HitSourceLook LookAtHitSource(const void* source) {
  if (StoodDown()) return HitSourceLook::StoodDown;
  const TypeScope& scope = CheckScope();
  const MemoryReader& memory = *scope.memory;
  char found[2 * kTypeFindingSize];
  const auto at = reinterpret_cast<uintptr_t>(source);
  if (memory.readable(memory.context, at, layout::event_source::kSinkCount + 4) <
      static_cast<size_t>(layout::event_source::kSinkCount + 4)) {
    std::snprintf(found, sizeof found, "unreadable memory at 0x%llx", ULL(at));
    return NotTheHitSource(found);
  }
  for (int attempt = 0; attempt < 3; ++attempt) {
    const Sinks sinks = ReadHeader(source);
    if (sinks.count > sinks.capacity || sinks.capacity > kMaxCapacity || (sinks.count && sinks.array % 8) ||
        (sinks.count && !sinks.array) ||
        (sinks.count && memory.readable(memory.context, sinks.array, 8 * sinks.count) < 8 * size_t{sinks.count})) {
      std::snprintf(found, sizeof found,
                    "no array of sinks: %u sinks in a capacity of %u at 0x%llx (at most %u, in readable memory)",
                    sinks.count, sinks.capacity, ULL(sinks.array), kMaxCapacity);
      return NotTheHitSource(found);
    }
    bool hitSink = false;
    bool torn = false;
    const uint32_t looked = sinks.count < kMaxSinksLookedAt ? sinks.count : kMaxSinksLookedAt;
    for (uint32_t i = 0; i < looked && !torn; ++i) {
      const uintptr_t sink = memory.load64(memory.context, sinks.array + 8 * i);
      if (!(ReadHeader(source) == sinks)) torn = true;
      uintptr_t word = 0;
      if (torn || sink == 0) continue;
      if (sink % 8 == 0 && memory.readable(memory.context, sink, 8) >= 8) word = memory.load64(memory.context, sink);
      // Sinks of other plug-ins (the plug-in's own among them) carry no
      // type information of the game's: they tell nothing.
      if (sink % 8 == 0 && word && (word < scope.imageBase || word - scope.imageBase >= scope.imageSize)) continue;
      PartOfObject part{};
      TypeFinding finding{};
      if (!FindPartBase(scope, sink, "?$BSTEventSink@", &part, &finding)) {
        std::snprintf(found, sizeof found, "sink %u at 0x%llx, which is no sink of the game's: %s", i, ULL(sink),
                      finding.text);
        return NotTheHitSource(found);
      }
      if (IsHitSinkBase(part.base)) {
        hitSink = true;
        continue;
      }
      char named[2 * kMaxClassNameBytes + 16] = "an unnamed class";
      NameOfDescriptor(scope, part.completeDescriptor, named, sizeof named);
      if (part.base[0])
        std::snprintf(found, sizeof found,
                      "another event's source: its sink %u is the part at +0x%x of an object of %s, registered by "
                      "its base %s",
                      i, part.part, named, part.base);
      else
        std::snprintf(found, sizeof found,
                      "no event source: its sink %u is the part at +0x%x of an object of %s, where no "
                      "BSTEventSink base lies",
                      i, part.part, named);
      return NotTheHitSource(found);
    }
    if (!torn) return hitSink ? HitSourceLook::IsHitSource : HitSourceLook::NoGameSinkYet;
  }
  // The game kept changing the source while it was read: nothing is known.
  return HitSourceLook::NoGameSinkYet;
}

}  // namespace NimbrelVR::game
