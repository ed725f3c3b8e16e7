#include "game/checked_reads.h"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "game/effect_art.h"
#include "game/engine_binding.h"
#include "game/event_records.h"
#include "game/fields.h"
#include "game/forms.h"
#include "game/layout.h"
#include "game/script_machine.h"
#include "game/weather.h"
#include "platform/process_wide.h"

namespace NimbrelVR::game {
namespace {

// Where in its object (or array) a checked pointer was read: the log names it.
struct Place {
  int index = 0;        // an entry of an array field
  uint32_t formId = 0;  // the form the field belongs to, where it is one of many
};

unsigned Hex(ptrdiff_t offset) { return static_cast<unsigned>(offset); }

// One followed field: the class it must hold (its descriptor in the binding,
// its name, and where inside that class the pointer points) and the field in
// the log's words.
struct FieldRule {
  const void* EngineBinding::*descriptor;
  const char* expected;   // "an object of class TESWeather"
  const char* decorated;  // ".?AVTESWeather@@"
  uint32_t part;
  const char* partBase;
  void (*describe)(const Place& at, char* out, size_t size);
};

enum Field : int {
  kSky,
  kCurrentWeather,
  kOutgoingWeather,
  kPlayer,
  kPlayerCell,
  kCellWorldspace,
  kRootNode,
  kScriptVm,
  kScriptMachine,
  kRegistryWeather,
  kEffectArtModel,
  kFormListEntry,
  kHitTarget,
  kFieldCount,
};

using E = EngineBinding;
// clang-format off
const FieldRule kRules[kFieldCount] = {
    {&E::RttiSky, "an object of class Sky", ".?AVSky@@", 0, nullptr,
     [](const Place&, char* out, size_t size) {
       std::snprintf(out, size, "the sky (from %s)", Engine().SkyGetSingleton ? "the engine's accessor" : "its holder");
     }},
    {&E::RttiWeather, "an object of class TESWeather", ".?AVTESWeather@@", 0, nullptr,
     [](const Place&, char* out, size_t size) {
       std::snprintf(out, size, "the sky's current weather (+0x%x)", Hex(layout::sky::kCurrentWeather));
     }},
    {&E::RttiWeather, "an object of class TESWeather", ".?AVTESWeather@@", 0, nullptr,
     [](const Place&, char* out, size_t size) {
       std::snprintf(out, size, "the sky's outgoing weather (+0x%x)", Hex(layout::sky::kOutgoingWeather));
     }},
    {&E::RttiPlayerCharacter, "an object of class PlayerCharacter", ".?AVPlayerCharacter@@", 0, nullptr,
     [](const Place&, char* out, size_t size) { std::snprintf(out, size, "the player (from its holder)"); }},
    {&E::RttiCell, "an object of class TESObjectCELL", ".?AVTESObjectCELL@@", 0, nullptr,
     [](const Place&, char* out, size_t size) {
       std::snprintf(out, size, "the player's cell (+0x%x)", Hex(layout::reference::kParentCell));
     }},
    {&E::RttiWorldSpace, "an object of class TESWorldSpace", ".?AVTESWorldSpace@@", 0, nullptr,
     [](const Place&, char* out, size_t size) {
       std::snprintf(out, size, "the cell's worldspace (+0x%x)", Hex(Engine().cellWorldspace));
     }},
    {&E::RttiNiAVObject, "an object of class NiAVObject", ".?AVNiAVObject@@", 0, nullptr,
     [](const Place&, char* out, size_t size) {
       std::snprintf(out, size, "the player's root node (+0x%x of its loaded 3D state at +0x%x)",
                     Hex(layout::loaded_3d::kRootNode), Hex(layout::reference::kLoaded3D));
     }},
    {&E::RttiSkyrimVM, "an object of class SkyrimVM", ".?AVSkyrimVM@@", 0, nullptr,
     [](const Place&, char* out, size_t size) { std::snprintf(out, size, "the script VM object (from its holder)"); }},
    {&E::RttiVirtualMachine, "an object of class BSScript::Internal::VirtualMachine",
     ".?AVVirtualMachine@Internal@BSScript@@", 0, nullptr,
     [](const Place&, char* out, size_t size) {
       std::snprintf(out, size, "the script VM object's script machine (+0x%x)", Hex(Engine().scriptMachineRegistry));
     }},
    {&E::RttiWeather, "an object of class TESWeather", ".?AVTESWeather@@", 0, nullptr,
     [](const Place& at, char* out, size_t size) {
       std::snprintf(out, size, "weather %d of the data registry's weather array (+0x%x)", at.index,
                     Hex(layout::data_registry::kWeathers));
     }},
    {&E::RttiEffectArt, "the vtable of the TESModel part at +0x40 of an object of class BGSProjectile",
     ".?AVBGSProjectile@@", static_cast<uint32_t>(layout::effect_art::kModelComponent), ".?AVTESModel@@",
     [](const Place& at, char* out, size_t size) {
       std::snprintf(out, size, "the model component (+0x%x) of effect-art form 0x%08X",
                     Hex(layout::effect_art::kModelComponent), at.formId);
     }},
    {&E::RttiForm, "an object of class TESForm", ".?AVTESForm@@", 0, nullptr,
     [](const Place& at, char* out, size_t size) {
       std::snprintf(out, size, "entry %d of form list 0x%08X (its array at +0x%x)", at.index, at.formId,
                     Hex(layout::form_list::kEntries));
     }},
    {&E::RttiObjectReference, "an object of class TESObjectREFR", ".?AVTESObjectREFR@@", 0, nullptr,
     [](const Place&, char* out, size_t size) {
       std::snprintf(out, size, "the hit event's target (+0x%x)", Hex(layout::hit_event::kTarget));
     }},
};
// clang-format on

struct Guards {
  TypeScope scope = GameScope();
  TypeGuard guard[kFieldCount];
};
ProcessWide<Guards> guards;

// Whether `object`, read from `field`, may be followed: null, or of the
// field's class. A failure stands lightning down.
bool Follow(Field field, const void* object, Holding holding, const Place& at = {}) {
  if (!object) return true;
  Guards& g = *guards;
  TypeGuard& guard = g.guard[field];
  const FieldRule& rule = kRules[field];
  // The binding is installed before any check; a guard takes its class from
  // the first check after (and again after a test installs another).
  const auto expected = reinterpret_cast<uintptr_t>(Engine().*rule.descriptor);
  if (guard.expected() != expected) guard.Expect({expected, rule.part, rule.partBase, rule.decorated});
  TypeFinding finding;
  if (guard.Check(g.scope, reinterpret_cast<uintptr_t>(object), &finding)) return true;
  char name[160];
  rule.describe(at, name, sizeof name);
  StandDown(name, rule.expected, finding.text, holding);
  return false;
}

// The common shape of a checked read: nothing once lightning has stood down,
// else the field read and followed; `*out` holds it only when it passed.
template <typename Read>
bool ReadAndFollow(Field field, Read read, void** out, Holding holding = Holding::Nothing, const Place& at = {}) {
  *out = nullptr;
  if (StoodDown()) return false;
  void* const object = read();
  if (!Follow(field, object, holding, at)) return false;
  *out = object;
  return true;
}

// A value beside the pointers that is not what the game keeps there: the
// field, what it should hold and what it holds, in the log's words.
bool Implausible(const char* field, const char* wanted, const char* found, Holding holding = Holding::Nothing) {
  StandDown(field, wanted, found, holding);
  return false;
}

// A float beside the pointers: plausible, or lightning stands down.
bool Plausible(bool plausible, const char* field, ptrdiff_t offset, const char* wanted, float value) {
  if (plausible) return true;
  char name[96];
  std::snprintf(name, sizeof name, "%s (+0x%x)", field, Hex(offset));
  char found[48];
  std::snprintf(found, sizeof found, "%g", static_cast<double>(value));
  return Implausible(name, wanted, found);
}

bool ReadRegistry(void** registry, Holding holding) {
  *registry = nullptr;
  void* vm = ReadHolder(Engine().ScriptVmHolder);
  if (!Follow(kScriptVm, vm, holding)) return false;
  if (!vm) return true;
  void* machine = LoadField<void*>(vm, Engine().scriptMachineRegistry);
  if (!Follow(kScriptMachine, machine, holding)) return false;
  *registry = machine;
  return true;
}

bool Readable(uintptr_t address, size_t size) {
  const MemoryReader& memory = *guards->scope.memory;
  return memory.readable(memory.context, address, size) >= size;
}

}  // namespace

void SetCheckScope(const TypeScope& scope) { guards->scope = scope; }
const TypeScope& CheckScope() { return guards->scope; }

bool CheckedSky(void** sky) {
  *sky = nullptr;
  if (StoodDown()) return false;
  const EngineBinding& engine = Engine();
  void* object = nullptr;
  if (engine.SkyGetSingleton) {
    // An engine call on the caller's thread: not once lightning has stood down.
    EnginePass pass;
    if (!pass) return false;
    object = engine.SkyGetSingleton();
  } else {
    object = ReadHolder(engine.SkyHolder);
  }
  if (!Follow(kSky, object, Holding::Nothing)) return false;
  *sky = object;
  return true;
}

bool CheckedSkyWeathers(const void* sky, void** current, void** outgoing) {
  *current = *outgoing = nullptr;
  if (StoodDown()) return false;
  void* const cur = CurrentWeather(sky);
  if (!Follow(kCurrentWeather, cur, Holding::Nothing)) return false;
  void* const out = OutgoingWeather(sky);
  if (!Follow(kOutgoingWeather, out, Holding::Nothing)) return false;
  *current = cur;
  *outgoing = out;
  return true;
}

bool CheckedSkyTime(const void* sky, float* hour, float* transition) {
  if (StoodDown()) return false;
  *hour = GameHour(sky);
  *transition = WeatherTransition(sky);
  // Written so that NaN fails each test.
  return Plausible(*hour >= 0.0f && *hour <= 24.0f, "the sky's game hour", layout::sky::kGameHour,
                   "an hour from 0 to 24", *hour) &&
         Plausible(std::isfinite(*transition) && *transition >= 0.0f, "the sky's weather transition",
                   layout::sky::kTransition, "a finite transition, 0 or more", *transition);
}

bool CheckedPlayer(void** player, Holding holding) {
  return ReadAndFollow(
      kPlayer, [] { return ReadHolder(Engine().PlayerRefHolder); }, player, holding);
}

bool CheckedPlayerCell(const void* player, void** cell) {
  return ReadAndFollow(
      kPlayerCell, [player] { return ParentCell(player); }, cell);
}

bool CheckedCellWorldspace(const void* cell, void** worldspace) {
  return ReadAndFollow(
      kCellWorldspace, [cell] { return CellWorldspace(cell); }, worldspace);
}

bool CheckedPlayerRootNode(const void* player, void** node, Holding holding) {
  *node = nullptr;
  if (StoodDown()) return false;
  void* loaded = Loaded3D(player);
  if (!loaded) return true;
  void* object = RootNode(loaded);
  if (!Follow(kRootNode, object, holding)) return false;
  *node = object;
  return true;
}

bool CheckedNodePosition(const void* node, Position* position, Holding holding) {
  if (StoodDown()) return false;
  *position = NodeWorldPosition(node);
  // Written so that NaN fails.
  const auto near = [](float v) { return std::fabs(v) <= kMaxWorldCoordinate; };
  if (near(position->x) && near(position->y) && near(position->z)) return true;
  char name[96];
  std::snprintf(name, sizeof name, "the player's root node's world position (+0x%x, +0x%x, +0x%x)",
                Hex(layout::scene_node::kWorldX), Hex(layout::scene_node::kWorldY), Hex(layout::scene_node::kWorldZ));
  char found[96];
  std::snprintf(found, sizeof found, "(%g, %g, %g)", static_cast<double>(position->x), static_cast<double>(position->y),
                static_cast<double>(position->z));
  return Implausible(name, "a finite position within 10000000 units of the world's origin on every axis", found,
                     holding);
}

bool CheckedScriptRegistry(void** registry, Holding holding) {
  *registry = nullptr;
  if (StoodDown()) return false;
  return ReadRegistry(registry, holding);
}

bool CheckedScriptRegistryToUndo(void** registry) { return ReadRegistry(registry, Holding::Nothing); }

bool CheckedAllWeathers(std::span<void* const>* weathers) {
  *weathers = {};
  if (StoodDown()) return false;
  const std::span<void* const> all = AllWeathers();
  int checked = 0;
  for (size_t i = 0; i < all.size() && checked < kCheckedRegistryWeathers; ++i) {
    void* weather = all[i];
    if (!weather) continue;
    if (!Follow(kRegistryWeather, weather, Holding::Nothing, {static_cast<int>(i)})) return false;
    ++checked;
  }
  *weathers = all;
  return true;
}

bool CheckedModelComponent(void* effectArt, uint32_t formId, void** component, Holding holding) {
  return ReadAndFollow(kEffectArtModel, [effectArt] { return ModelComponent(effectArt); }, component, holding,
                       {0, formId});
}

bool PlausibleFadeDuration(float seconds) {
  return seconds == 0.0f || (std::isnormal(seconds) && seconds > 0.0f && seconds <= 3600.0f);
}

bool CheckedSetFadeDuration(void* effectArt, uint32_t formId, float seconds) {
  void* component = nullptr;
  if (!CheckedModelComponent(effectArt, formId, &component)) return false;
  const float there = FadeDuration(effectArt);
  if (!PlausibleFadeDuration(there)) {
    char name[96];
    std::snprintf(name, sizeof name, "the fade duration (+0x%x) of effect-art form 0x%08X",
                  Hex(layout::effect_art::kFadeDuration), formId);
    uint32_t bits = 0;
    std::memcpy(&bits, &there, sizeof bits);
    char found[64];
    std::snprintf(found, sizeof found, "the float %g (bits 0x%08x)", static_cast<double>(there), bits);
    return Implausible(name, "a number of seconds from 0 to 3600", found);
  }
  SetFadeDuration(effectArt, seconds);
  return true;
}

bool CheckedFormListEntries(const void* list, uint32_t formId, std::span<void* const>* entries) {
  *entries = {};
  if (StoodDown()) return false;
  void* const* array = FormListEntries(list);
  const uint32_t capacity = FormListCapacity(list);
  const uint32_t count = FormListCount(list);
  char name[128];
  std::snprintf(name, sizeof name, "form list 0x%08X's entries (array +0x%x, capacity +0x%x, count +0x%x)", formId,
                Hex(layout::form_list::kEntries), Hex(layout::form_list::kCapacity), Hex(layout::form_list::kCount));
  const auto address = reinterpret_cast<uintptr_t>(array);
  char found[160];
  if (count > capacity || count > kMaxFormListEntries || (count && (!array || address % 8))) {
    std::snprintf(found, sizeof found, "%u entries in a capacity of %u at 0x%llx", count, capacity,
                  static_cast<unsigned long long>(address));
    return Implausible(name, "an array of at most 65535 form pointers, no more than its capacity", found);
  }
  if (count && !Readable(address, count * sizeof(void*))) {
    std::snprintf(found, sizeof found, "%u entries at 0x%llx, memory that cannot be read", count,
                  static_cast<unsigned long long>(address));
    return Implausible(name, "an array of at most 65535 form pointers, no more than its capacity", found);
  }
  if (!count) return true;
  const std::span<void* const> all(array, count);
  for (uint32_t i = 0; i < count; ++i) {
    void* entry = std::atomic_ref<void*>(const_cast<void*&>(all[i])).load(std::memory_order_relaxed);
    if (!Follow(kFormListEntry, entry, Holding::Nothing, {static_cast<int>(i), formId})) return false;
  }
  *entries = all;
  return true;
}

bool CheckedHitTarget(const void* event, void** target) {
  return ReadAndFollow(
      kHitTarget, [event] { return HitEventTarget(event); }, target);
}

bool CheckedMenuName(const void* event, const char** name) {
  *name = MenuEventName(event);
  if (!*name) return true;
  const MemoryReader& memory = *guards->scope.memory;
  const auto address = reinterpret_cast<uintptr_t>(*name);
  const size_t readable = memory.readable(memory.context, address, kMaxMenuNameBytes);
  for (size_t i = 0; i < readable; ++i)
    if (memory.load8(memory.context, address + i) == 0) return true;
  *name = nullptr;
  char field[64];
  std::snprintf(field, sizeof field, "the menu event's name (+0x%x)", Hex(layout::menu_event::kMenuName));
  char found[96];
  if (readable < kMaxMenuNameBytes)
    std::snprintf(found, sizeof found, "0x%llx, where %zu bytes can be read and none ends a string",
                  static_cast<unsigned long long>(address), readable);
  else
    std::snprintf(found, sizeof found, "0x%llx, where no string ends within %zu bytes",
                  static_cast<unsigned long long>(address), kMaxMenuNameBytes);
  return Implausible(field, "a pointer to a readable C string", found);
}

}  // namespace NimbrelVR::game
