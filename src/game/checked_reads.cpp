#include "game/checked_reads.h"

#include <cmath>
#include <cstdio>

#include "game/engine_binding.h"
#include "game/fields.h"
#include "game/layout.h"
#include "game/script_machine.h"
#include "game/weather.h"
#include "game/world.h"
#include "platform/process_wide.h"

namespace NimbrelVR::game {
namespace {

// The fields followed, each with its own guard.
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
  kFieldCount,
};

struct Guards {
  TypeScope scope = GameScope();
  TypeGuard guard[kFieldCount];
};
ProcessWide<Guards> guards;

const void* ExpectedDescriptor(Field field) {
  const EngineBinding& engine = Engine();
  switch (field) {
    case kSky:
      return engine.RttiSky;
    case kCurrentWeather:
    case kOutgoingWeather:
    case kRegistryWeather:
      return engine.RttiWeather;
    case kPlayer:
      return engine.RttiPlayerCharacter;
    case kPlayerCell:
      return engine.RttiCell;
    case kCellWorldspace:
      return engine.RttiWorldSpace;
    case kRootNode:
      return engine.RttiNiAVObject;
    case kScriptVm:
      return engine.RttiSkyrimVM;
    case kScriptMachine:
      return engine.RttiVirtualMachine;
    case kFieldCount:
      break;
  }
  return nullptr;
}

const char* ClassName(Field field) {
  switch (field) {
    case kSky:
      return "Sky";
    case kCurrentWeather:
    case kOutgoingWeather:
    case kRegistryWeather:
      return "TESWeather";
    case kPlayer:
      return "PlayerCharacter";
    case kPlayerCell:
      return "TESObjectCELL";
    case kCellWorldspace:
      return "TESWorldSpace";
    case kRootNode:
      return "NiAVObject";
    case kScriptVm:
      return "SkyrimVM";
    case kScriptMachine:
      return "BSScript::Internal::VirtualMachine";
    case kFieldCount:
      break;
  }
  return "?";
}

// The field in the log's words, with its offset where it has one.
void Describe(Field field, int index, char* out, size_t size) {
  const EngineBinding& engine = Engine();
  const auto at = [](ptrdiff_t offset) { return static_cast<unsigned>(offset); };
  switch (field) {
    case kSky:
      std::snprintf(out, size, "the sky (from %s)", engine.SkyGetSingleton ? "the engine's accessor" : "its holder");
      return;
    case kCurrentWeather:
      std::snprintf(out, size, "the sky's current weather (+0x%x)", at(layout::sky::kCurrentWeather));
      return;
    case kOutgoingWeather:
      std::snprintf(out, size, "the sky's outgoing weather (+0x%x)", at(layout::sky::kOutgoingWeather));
      return;
    case kPlayer:
      std::snprintf(out, size, "the player (from its holder)");
      return;
    case kPlayerCell:
      std::snprintf(out, size, "the player's cell (+0x%x)", at(layout::reference::kParentCell));
      return;
    case kCellWorldspace:
      std::snprintf(out, size, "the cell's worldspace (+0x%x)", at(engine.cellWorldspace));
      return;
    case kRootNode:
      std::snprintf(out, size, "the player's root node (+0x%x of its loaded 3D state at +0x%x)",
                    at(layout::loaded_3d::kRootNode), at(layout::reference::kLoaded3D));
      return;
    case kScriptVm:
      std::snprintf(out, size, "the script VM object (from its holder)");
      return;
    case kScriptMachine:
      std::snprintf(out, size, "the script VM object's script machine (+0x%x)", at(engine.scriptMachineRegistry));
      return;
    case kRegistryWeather:
      std::snprintf(out, size, "weather %d of the data registry's weather array (+0x%x)", index,
                    at(layout::data_registry::kWeathers));
      return;
    case kFieldCount:
      break;
  }
  std::snprintf(out, size, "?");
}

// Whether `object`, read from `field`, may be followed: null, or of the
// field's class. A failure stands lightning down. `index` numbers the entries
// of an array field.
bool Follow(Field field, const void* object, Holding holding, int index = 0) {
  if (!object) return true;
  Guards& g = *guards;
  TypeGuard& guard = g.guard[field];
  // The binding is installed before any check; a guard takes its class from
  // the first check after (and again after a test installs another).
  const auto expected = reinterpret_cast<uintptr_t>(ExpectedDescriptor(field));
  if (guard.expected() != expected) guard.Expect(expected);
  TypeFinding finding;
  if (guard.Check(g.scope, reinterpret_cast<uintptr_t>(object), &finding)) return true;
  char name[128];
  Describe(field, index, name, sizeof name);
  char wanted[80];
  std::snprintf(wanted, sizeof wanted, "an object of class %s", ClassName(field));
  StandDown(name, wanted, finding.text, holding);
  return false;
}

// A float beside the pointers: plausible, or lightning stands down.
bool Plausible(bool plausible, const char* field, ptrdiff_t offset, const char* wanted, float value) {
  if (plausible) return true;
  char name[96];
  std::snprintf(name, sizeof name, "%s (+0x%x)", field, static_cast<unsigned>(offset));
  char found[48];
  std::snprintf(found, sizeof found, "%g", static_cast<double>(value));
  StandDown(name, wanted, found, Holding::Nothing);
  return false;
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

}  // namespace

void SetCheckScope(const TypeScope& scope) { guards->scope = scope; }

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
  *player = nullptr;
  if (StoodDown()) return false;
  void* object = ReadHolder(Engine().PlayerRefHolder);
  if (!Follow(kPlayer, object, holding)) return false;
  *player = object;
  return true;
}

bool CheckedPlayerCell(const void* player, void** cell) {
  *cell = nullptr;
  if (StoodDown()) return false;
  void* object = ParentCell(player);
  if (!Follow(kPlayerCell, object, Holding::Nothing)) return false;
  *cell = object;
  return true;
}

bool CheckedCellWorldspace(const void* cell, void** worldspace) {
  *worldspace = nullptr;
  if (StoodDown()) return false;
  void* object = CellWorldspace(cell);
  if (!Follow(kCellWorldspace, object, Holding::Nothing)) return false;
  *worldspace = object;
  return true;
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
    if (!Follow(kRegistryWeather, weather, Holding::Nothing, static_cast<int>(i))) return false;
    ++checked;
  }
  *weathers = all;
  return true;
}

}  // namespace NimbrelVR::game
