#include "game/plugin_forms.h"

#include <cstdint>
#include <span>

#include "game/checked_reads.h"
#include "game/data_files.h"
#include "game/engine_binding.h"
#include "game/forms.h"
#include "log/debug_log.h"

namespace NimbrelVR {

constinit ProcessWide<PluginForms> gPluginForms;

namespace {

struct ModifierRow {
  void* PluginForms::*field;
  uint32_t localId;
  const char* foundMessage;
  const char* notFoundMessage;
};

enum class Element { Spell, Reference };

struct ListRow {
  FormSequence PluginForms::*field;
  uint32_t localId;
  Element element;
  const char* notFoundMessage;
  const char* countMessage;
};

constexpr ModifierRow kModifierRows[] = {
    {&PluginForms::sheetImod, 0x84B, "Sheet ImageSpaceModifier formid: %x",
     "Sheet ImageSpaceModifier not found. formid: %x"},
    {&PluginForms::forkImod, 0x807, "Fork ImageSpaceModifier formid: %x",
     "Fork ImageSpaceModifier not found. formid: %x"},
};

constexpr ListRow kListRows[] = {
    {&PluginForms::sheetSpells, 0x8CD, Element::Spell, "Sheet spells not found. formid: %x", "Sheet spells count: %d"},
    {&PluginForms::forkSpells, 0x87C, Element::Spell, "Fork spells not found. formid: %x", "Fork spells count: %d"},
    {&PluginForms::hostileSheetSpells, 0x8CE, Element::Spell, "HostileSheet spells not found. formid: %x",
     "Hostile Sheet spells count: %d"},
    {&PluginForms::hostileForkSpells, 0x87D, Element::Spell, "HostileFork spells not found. formid: %x",
     "Hostile Fork spells count: %d"},
    {&PluginForms::farForkSpells, 0xCEE, Element::Spell, "FarFork spells not found. formid: %x",
     "FarFork spells count: %d"},
    {&PluginForms::hostileFarForkSpells, 0xCEF, Element::Spell, "HostileFarFork spells not found. formid: %x",
     "Hostile FarFork spells count: %d"},
    {&PluginForms::closeFarForkSpells, 0xCF0, Element::Spell, "CloseFarFork spells not found. formid: %x",
     "CloseFarFork spells count: %d"},
    {&PluginForms::hostileCloseFarForkSpells, 0xCF1, Element::Spell, "HostileCloseFarFork spells not found. formid: %x",
     "Hostile CloseFarFork spells count: %d"},
    {&PluginForms::veryFarForkSpells, 0xCF2, Element::Spell, "VeryFarFork spells not found. formid: %x",
     "VeryFarFork spells count: %d"},
    {&PluginForms::hostileVeryFarForkSpells, 0xCF3, Element::Spell, "HostileVeryFarFork spells not found. formid: %x",
     "Hostile VeryFarFork spells count: %d"},
    {&PluginForms::tooFarForkSpells, 0xCF4, Element::Spell, "TooFarFork spells not found. formid: %x",
     "TooFarFork spells count: %d"},
    {&PluginForms::hostileTooFarForkSpells, 0xCF5, Element::Spell, "HostileTooFarFork spells not found. formid: %x",
     "Hostile TooFarFork spells count: %d"},
    {&PluginForms::sheetCasters, 0x8D3, Element::Reference, "SheetCasters not found. formid: %x",
     "Sheet Casters count: %d"},
    {&PluginForms::sheetTargets, 0x8D5, Element::Reference, "SheetTargets not found. formid: %x",
     "Sheet Targets count: %d"},
    {&PluginForms::forkCasters, 0x8D4, Element::Reference, "ForkCasters not found. formid: %x",
     "Fork Casters count: %d"},
    {&PluginForms::forkTargets, 0x8D6, Element::Reference, "ForkTargets not found. formid: %x",
     "Fork Targets count: %d"},
};

void ResolveModifier(const game::LoadedFile* file, const ModifierRow& row) {
  const game::EngineBinding& engine = game::Engine();
  const uint32_t id = game::ComposeFormId(file, row.localId);
  void* form = engine.FormFromId(id);
  if (!form) {
    PluginLog(0, row.notFoundMessage, id);
    return;
  }
  PluginLog(2, row.foundMessage, id);
  // Null when the form is of another kind.
  (*gPluginForms).*row.field = engine.EngineDynamicCast(form, 0, engine.RttiForm, engine.RttiImageSpaceModifier, 0);
}

// Appends the list's entries of the row's kind; nulls and other kinds are
// dropped. An id that names something other than a form list reads as empty.
// False when the list failed its check (lightning has stood down).
bool CopyListEntries(void* form, uint32_t id, const ListRow& row) {
  const game::EngineBinding& engine = game::Engine();
  void* list = engine.EngineDynamicCast(form, 0, engine.RttiForm, engine.RttiFormList, 0);
  if (!list) return true;
  const void* elementType = row.element == Element::Spell ? engine.RttiSpell : engine.RttiObjectReference;
  // Every entry is checked before the engine's cast follows its vtable.
  std::span<void* const> entries;
  if (!game::CheckedFormListEntries(list, id, &entries)) return false;
  FormSequence& sequence = (*gPluginForms).*row.field;
  for (void* entry : entries) {
    if (!entry) continue;
    if (void* element = engine.EngineDynamicCast(entry, 0, engine.RttiForm, elementType, 0))
      sequence.push_back(element);
  }
  return true;
}

// False when the list failed its check: resolution ends there.
bool ResolveList(const game::LoadedFile* file, const ListRow& row) {
  const uint32_t id = game::ComposeFormId(file, row.localId);
  if (void* form = game::Engine().FormFromId(id)) {
    if (!CopyListEntries(form, id, row)) return false;
  } else {
    PluginLog(0, row.notFoundMessage, id);
  }
  PluginLog(2, row.countMessage, static_cast<int>(((*gPluginForms).*row.field).size()));
  return true;
}

}  // namespace

bool ResolvePluginForms() {
  PluginLog(2, "Trying to find the plugin: %s", game::kPluginFileName);
  const game::LoadedFile* file = game::FindLoadedFile(game::kPluginFileName);
  if (!file) {
    PluginLog(0, "Plugin is not loaded. Use real esp instead. %s", game::kPluginFileName);
    return false;
  }
  PluginLog(2, "Plugin is loaded. Trying to find forms.");
  if (!game::HasUsableModIndex(file)) {
    PluginLog(0, "Plugin mod index is not valid. ModIndex: %x LightIndex: %x", game::ModIndex(file),
              game::LightIndex(file));
    return false;
  }
  for (const ModifierRow& row : kModifierRows) ResolveModifier(file, row);
  for (const ListRow& row : kListRows) {
    if (!ResolveList(file, row)) break;
  }
  return true;
}

}  // namespace NimbrelVR
