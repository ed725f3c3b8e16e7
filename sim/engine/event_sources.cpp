#include "engine/event_sources.h"

#include <algorithm>
#include <cstring>

#include "engine/relaxed.h"

namespace nimbrel_sim {

namespace {

// The holder's sources before the hit source in the double's order (the
// script VM's sink order is its guide), then the two after it the VM
// listens to.
constexpr const char* kBeforeHit[] = {
    "TESActivateEvent",
    "TESActiveEffectApplyRemoveEvent",
    "TESActorLocationChangeEvent",
    "TESBookReadEvent",
    "TESCellAttachDetachEvent",
    "TESCellFullyLoadedEvent",
    "TESCellReadyToApplyDecalsEvent",
    "TESCombatEvent",
    "TESContainerChangedEvent",
    "TESDeathEvent",
    "TESDestructionStageChangedEvent",
    "TESEnterBleedoutEvent",
    "TESEquipEvent",
    "TESFormDeleteEvent",
    "TESFormIDRemapEvent",
    "TESFurnitureEvent",
    "TESGrabReleaseEvent",
};
constexpr const char* kAfterHit[] = {"TESInitScriptEvent", "TESLoadGameEvent"};
// Where the fault's source goes in: right before the source at +0x580, so
// that that one lies at +0x5d8.
constexpr size_t kInsertedAt = 16;

constexpr uint32_t kFirstCapacity = 4;

uint32_t capacityOf(const void* at) { return loadField<uint32_t>(at, field::kSourceCapacity); }
uint32_t sizeOf(const void* at) { return loadField<uint32_t>(at, field::kSourceSize); }
void* const* dataOf(const void* at) { return loadField<void* const*>(at, field::kSourceSinks); }

}  // namespace

std::vector<std::string> scriptEventHolderEvents(Edition edition, bool inserted) {
  static_assert(std::size(kBeforeHit) * field::kEventSourceSize == kHitSourceOffset);
  const size_t bytes = edition == Edition::VR ? kScriptEventHolderSizeVr : kScriptEventHolderSize;
  std::vector<std::string> events(kBeforeHit, kBeforeHit + std::size(kBeforeHit));
  events.emplace_back("TESHitEvent");
  events.insert(events.end(), kAfterHit, kAfterHit + std::size(kAfterHit));
  events.resize(bytes / field::kEventSourceSize);
  if (inserted) events.insert(events.begin() + kInsertedAt, kInsertedEvent);
  return events;
}

const char* vmHitSinkName(VmHitSink moment) {
  switch (moment) {
    case VmHitSink::StartUp:
      return "start-up";
    case VmHitSink::BeforeDataReady:
      return "data-ready";
    case VmHitSink::FirstLoad:
      return "first-load";
    case VmHitSink::Never:
      return "never";
  }
  return "never";
}

bool parseVmHitSink(const std::string& text, VmHitSink& moment) {
  for (VmHitSink m : {VmHitSink::StartUp, VmHitSink::BeforeDataReady, VmHitSink::FirstLoad, VmHitSink::Never}) {
    if (text == vmHitSinkName(m)) {
      moment = m;
      return true;
    }
  }
  return false;
}

void EventSources::lay(void* at, const std::string& event, std::optional<Source> kind, const std::string& where) {
  std::lock_guard lock(mutex_);
  std::memset(at, 0, field::kEventSourceSize);
  sources_[reinterpret_cast<uintptr_t>(at)] = {event, kind, where, {}};
}

void EventSources::forget(const void* begin, const void* end) {
  std::lock_guard lock(mutex_);
  sources_.erase(sources_.lower_bound(reinterpret_cast<uintptr_t>(begin)),
                 sources_.lower_bound(reinterpret_cast<uintptr_t>(end)));
}

bool EventSources::anySinkWithin(const void* begin, const void* end) const {
  std::lock_guard lock(mutex_);
  for (auto it = sources_.lower_bound(reinterpret_cast<uintptr_t>(begin));
       it != sources_.end() && it->first < reinterpret_cast<uintptr_t>(end); ++it)
    if (sizeOf(reinterpret_cast<const void*>(it->first)) != 0) return true;
  return false;
}

void* EventSources::find(Source kind) const {
  std::lock_guard lock(mutex_);
  for (const auto& [at, info] : sources_)
    if (info.kind == kind) return reinterpret_cast<void*>(at);
  return nullptr;
}

bool EventSources::known(const void* at) const {
  std::lock_guard lock(mutex_);
  return sources_.count(reinterpret_cast<uintptr_t>(at)) != 0;
}

std::string EventSources::eventOf(const void* at) const {
  std::lock_guard lock(mutex_);
  auto it = sources_.find(reinterpret_cast<uintptr_t>(at));
  return it == sources_.end() ? "" : it->second.event;
}

std::string EventSources::whereOf(const void* at) const {
  std::lock_guard lock(mutex_);
  auto it = sources_.find(reinterpret_cast<uintptr_t>(at));
  return it == sources_.end() ? "" : it->second.where;
}

std::vector<std::pair<void*, std::string>> EventSources::all() const {
  std::lock_guard lock(mutex_);
  std::vector<std::pair<void*, std::string>> all;
  for (const auto& [at, info] : sources_) all.emplace_back(reinterpret_cast<void*>(at), info.event);
  return all;
}

bool EventSources::append(void* at, void* sink, bool game) {
  std::lock_guard lock(mutex_);
  auto it = sources_.find(reinterpret_cast<uintptr_t>(at));
  if (it == sources_.end()) return false;
  const uint32_t size = sizeOf(at), capacity = capacityOf(at);
  void* const* data = dataOf(at);
  for (uint32_t i = 0; i < size; ++i)
    if (loadField<void*>(data, i * sizeof(void*)) == sink) return false;  // one entry per sink
  if (size == capacity) {
    // Full: a new array of twice the room (four at first), the entries
    // copied over, then published; the old one stays allocated.
    const uint32_t grown = capacity ? 2 * capacity : kFirstCapacity;
    arrays_.push_back(std::make_unique<void*[]>(grown));
    void** fresh = arrays_.back().get();
    for (uint32_t i = 0; i < size; ++i)
      storeField<void*>(fresh, i * sizeof(void*), loadField<void*>(data, i * sizeof(void*)));
    storeField<void**>(at, field::kSourceSinks, fresh);
    storeField<uint32_t>(at, field::kSourceCapacity, grown);
    data = fresh;
  }
  // The entry first, then the size that makes it part of the array.
  storeField<void*>(const_cast<void**>(data), size * sizeof(void*), sink);
  storeField<uint32_t>(at, field::kSourceSize, size + 1);
  if (game) it->second.gameSinks.insert(sink);
  return true;
}

std::vector<EventSources::Sink> EventSources::sinksOf(const void* at) const {
  std::lock_guard lock(mutex_);
  std::vector<Sink> sinks;
  auto it = sources_.find(reinterpret_cast<uintptr_t>(at));
  if (it == sources_.end()) return sinks;
  void* const* data = dataOf(at);
  for (uint32_t i = 0, size = sizeOf(at); i < size; ++i) {
    void* sink = loadField<void*>(data, i * sizeof(void*));
    sinks.push_back({sink, it->second.gameSinks.count(sink) != 0});
  }
  return sinks;
}

void EventSources::setNotifying(void* at, bool notifying) const {
  storeField<uint8_t>(at, field::kSourceNotifying, notifying ? 1 : 0);
}

}  // namespace nimbrel_sim
